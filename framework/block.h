#pragma once

#include <atomic>
#include <map>
#include <string>

#include <boost/interprocess/sync/interprocess_semaphore.hpp>
#include <boost/thread/thread.hpp>

#include "framework/port.h"

namespace qor {

// A block owns named ports and runs on a thread of its own once the chain
// starts. Derived blocks override `process` (one message of one input port per
// call, on the block's thread) or `run` (a loop of their own that tests
// `stopping()`), and `is_healthy` (called from the health-check thread, so it
// must only read state that is safe to read across threads).
//
// Construction registers the block in BlockChain; destruction removes it.
// Construction and port registration happen on the main thread before the
// chain starts.
class Block {
 public:
  explicit Block(std::string name);
  virtual ~Block();
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  const std::string& name() const { return name_; }

  // PORT_EXISTS for a duplicate name (nothing changes); throws PORT_OWNED for a
  // port that already belongs to a block.
  int add_port(Port* port);
  Port* find_port(const std::string& name) const;
  const std::map<std::string, Port*>& ports() const { return ports_; }

  // Sets the stop flag and wakes the block's thread. Any thread.
  void stop();
  // Stops the block and waits for its thread to end (not from the block's own thread).
  void join();
  bool stopping() const { return stop_flag_.load(std::memory_order_acquire); }

  // Starts the block's thread unless it already has one; errors propagate.
  virtual void start_thread();
  bool has_thread() const { return thread_.get_id() != boost::thread::id(); }

  // Body of the block's thread. The default waits on the semaphore and hands
  // every port that has data to `process`, until the stop flag is set.
  virtual void run();
  // Wakes the block's loop once. Ports call it after queueing a message; any thread.
  virtual void notify();
  // Handles one message of `port`; the default ignores it.
  virtual void process(Port* port);
  virtual bool is_healthy() { return true; }

 protected:
  // Reports an error that escaped `run` or `process`; the loop keeps going.
  virtual void report_error(const std::string& what);

 private:
  void thread_main();

  const std::string name_;
  std::atomic<bool> stop_flag_{false};
  std::map<std::string, Port*> ports_;  // ports are members of the derived block
  boost::interprocess::interprocess_semaphore semaphore_{0};
  boost::thread thread_;
};

}  // namespace qor
