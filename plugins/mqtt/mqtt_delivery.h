#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "zeb/client.h"

// Hands received messages to their subscribers on a thread of its own, so a
// subscriber that blocks never holds up the connection's network thread.
//
// The queue is bounded by count and bytes, and `push` never blocks: the network
// thread asks `full` before reading the next packet and leaves the rest in the
// socket while the queue is full, so one message beyond the bound is the most
// it ever holds. `room` is called (delivery thread) whenever a full queue got
// room again.
//
// Thread rules: `push` and `full` from the network thread; `finish` from the
// destroying thread; `lock_` guards `items_` and `bytes_`, never held while a
// subscriber runs.
class MQTTDelivery {
 public:
  struct Item {
    zeb::MessageCallback callback;
    void* user;
    std::string topic;
    zeb::_Msg* msg;
  };

  // Throws std::system_error when the thread cannot be started.
  MQTTDelivery(size_t max_count, size_t max_bytes, std::function<void()> room);
  // Delivers what is queued, then joins (see `finish`).
  ~MQTTDelivery();
  MQTTDelivery(const MQTTDelivery&) = delete;
  MQTTDelivery& operator=(const MQTTDelivery&) = delete;

  void push(Item item);
  bool full() const { return full_.load(); }
  // Hands every queued message to its subscriber, then ends the thread.
  void finish();

 private:
  void run();
  bool over_bound() const;  // lock_ held

  const size_t max_count_;
  const size_t max_bytes_;
  const std::function<void()> room_;
  std::mutex lock_;
  std::condition_variable ready_;
  std::deque<Item> items_;  // guarded by lock_
  size_t bytes_ = 0;        // guarded by lock_
  bool finishing_ = false;  // guarded by lock_
  std::atomic<bool> full_{false};
  std::thread thread_;
};
