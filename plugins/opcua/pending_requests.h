#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

// Requests that callers' threads sent on a connection and wait for, matched
// by request id to the answers the connection thread receives.
//
// Thread rules: any thread. `lock_` guards `waiting_`; `cv_` wakes the waiters.
// A waiter holds its entry from expect until wait returns, so an answer that
// comes after the caller gave up finds no entry and is dropped.
class PendingRequests {
 public:
  // Registers request id before it is sent.
  void expect(uint32_t id);
  // Takes back a request that could not be sent.
  void cancel(uint32_t id);
  // Waits for the answer to id at most timeout_ms: 200 with its body, the
  // status it was completed with, or -12 (timed out).
  int wait(uint32_t id, int timeout_ms, std::vector<uint8_t>* body);
  // Completes id with status and body; false when no one waits for it.
  bool complete(uint32_t id, int status, std::vector<uint8_t> body);
  // Completes every waiting request with status (the connection was lost).
  void fail_all(int status);

 private:
  struct Entry {
    bool done = false;
    int status = 0;
    std::vector<uint8_t> body;
  };

  std::mutex lock_;
  std::condition_variable cv_;
  std::map<uint32_t, std::shared_ptr<Entry>> waiting_;  // guarded by lock_
};
