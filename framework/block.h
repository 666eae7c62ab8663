#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

#include <boost/thread/thread.hpp>

#include "framework/block_stats.h"
#include "framework/idle_watch.h"
#include "framework/port.h"
#include "framework/wake_count.h"

namespace qor {

class MetricFamilies;

// A block owns named ports and runs on a thread of its own once the chain
// starts. Derived blocks override `process` (one message of one input port per
// call, on the block's thread) or `run` (a loop of their own that tests
// `stopping()`), and `is_healthy` (called from the health-check thread, so it
// must only read state that is safe to read across threads).
//
// A block may also have a second thread, its worker (see `has_worker`), which
// starts and stops with the block's own thread.
//
// Construction registers the block in BlockChain; destruction removes it.
// Construction and port registration happen on the main thread before the
// chain starts; the port map is not changed while the block's threads run.
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

  // Sets the stop flag and wakes the block's thread, its worker and every
  // producer waiting for room in one of its input ports. Any thread.
  void stop();
  // Stops the block and waits for its thread and its worker to end (not from
  // either of them).
  void join();
  bool stopping() const { return stop_flag_.load(std::memory_order_acquire); }

  // Starts the block's thread (and its worker, if it has one) unless it
  // already has one; errors propagate.
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
  // True once the block can do its work (an input: its connection is up).
  // Asked from any thread until it first answers true.
  virtual bool is_ready() { return is_healthy(); }
  // Why `is_healthy` answered false, in a few words for an operator.
  virtual std::string unhealthy_reason() const { return "reports itself unhealthy"; }
  // Adds the block's own metrics (beyond its message counters) to a scrape.
  // Any thread; reads only what is safe to read across threads.
  virtual void add_metrics(MetricFamilies& /*metrics*/) const {}

  // Message counters; the framework counts what passes the block's ports.
  // Counting is no change of the block's state: const blocks count too.
  BlockStats& stats() const { return stats_; }
  // Watches for silence: no message taken or handed on for longer than a limit.
  IdleWatch& idle_watch() { return idle_watch_; }
  // Set once `is_ready` has answered true.
  void note_ready() { ever_ready_.store(true, std::memory_order_relaxed); }
  bool ever_ready() const { return ever_ready_.load(std::memory_order_relaxed); }

  // True while the default loop is not handling a message. Any thread. A
  // block whose input ports are empty and which is idle holds no message.
  bool idle() const { return !busy_.load(); }
  // Makes a block that brings data into the chain (one without input ports)
  // take no more: the default stops and joins its threads. Blocks fed by
  // another thread (a transport's callbacks) also end that feed. Main thread.
  virtual void stop_intake();

  // Called by a port that is being destroyed while it is still registered.
  void forget_port(Port* port);

 protected:
  // A block whose `has_worker()` is true gets a second thread running `work()`,
  // started with the block's own thread and stopped and joined with it (`join`).
  // `work` should return once `worker_wait` returns false; an error escaping it
  // is reported and `work` is called again after a pause.
  virtual bool has_worker() const { return false; }
  virtual void work() {}
  // Interruptible wait for the worker: returns after `timeout`, after
  // `wake_worker()`, or at once when the block stops. False when stopping.
  bool worker_wait(std::chrono::milliseconds timeout);
  // Any thread: ends the current (or the next) `worker_wait` early.
  void wake_worker();

  // Reports an error that escaped `run` or `process`; the loop keeps going.
  virtual void report_error(const std::string& what);

 private:
  // Counts a processing error, then reports it.
  void failed(const std::string& what);
  void thread_main();
  void worker_main();

  const std::string name_;
  std::atomic<bool> stop_flag_{false};
  // Set by the default loop while it hands messages to `process`; read by
  // the thread that drains the chain at the end.
  std::atomic<bool> busy_{false};
  std::map<std::string, Port*> ports_;  // ports are members of the derived block
  mutable BlockStats stats_;
  IdleWatch idle_watch_;
  std::atomic<bool> ever_ready_{false};
  WakeCount semaphore_;
  boost::thread thread_;
  boost::thread worker_;
  // `worker_lock_` guards `worker_woken_`; `worker_wake_` is tied to it. `stop`
  // takes the lock after setting the stop flag, so a waiting worker cannot
  // miss it.
  std::mutex worker_lock_;
  std::condition_variable worker_wake_;
  bool worker_woken_ = false;
};

}  // namespace qor
