#pragma once

#include <boost/circular_buffer.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

#include "framework/block.h"
#include "framework/port.h"
#include "framework/status.h"

namespace qor {

// Input port: a bounded ring queue filled by producing threads (any number)
// and emptied by the owning block's thread. `lock_` guards `queue_`; `not_empty_`
// and `not_full_` are tied to it. Each queued message posts the owner's
// semaphore once, so the owner's loop wakes once per message.
template <typename T>
class SinkPort : public Port {
 public:
  static constexpr size_t kDefaultCapacity = 32;

  explicit SinkPort(std::string name, size_t capacity = kDefaultCapacity)
      : Port(std::move(name)), queue_(capacity) {}

  const std::type_info& data_type() const override { return typeid(T); }

  bool has_data() override {
    boost::lock_guard<boost::mutex> guard(lock_);
    return !queue_.empty();
  }

  size_t size() {
    boost::lock_guard<boost::mutex> guard(lock_);
    return queue_.size();
  }

  size_t capacity() const override { return queue_.capacity(); }

  bool is_input() const override { return true; }
  size_t queued() override { return size(); }

  void owner_stopped() override {
    boost::lock_guard<boost::mutex> guard(lock_);
    not_full_.notify_all();
  }

  // Blocking hand-over: waits while the queue is full (back-pressure), for as
  // long as it takes, and never overwrites a queued message. BLOCK_STOPPED when
  // the owning block stops before there is room: the value is not queued.
  int push(T value) {
    bool waiting = false;
    {
      boost::unique_lock<boost::mutex> guard(lock_);
      for (;;) {
        // Tested under lock_: owner_stopped takes lock_ after the flag is set,
        // so a stop cannot slip between this test and the wait.
        if (owner_stopping()) return BLOCK_STOPPED;
        if (!queue_.full()) break;
        ++waiting_producers_;
        not_full_.wait(guard);
        --waiting_producers_;
      }
      queue_.push_back(std::move(value));
      waiting = waiting_consumers_ > 0;
    }
    delivered(waiting);
    return SUCCESS;
  }

  // Non-blocking hand-over: a full queue refuses the message.
  int try_push(T value) {
    bool waiting = false;
    {
      boost::lock_guard<boost::mutex> guard(lock_);
      if (queue_.full()) return PORT_FULL;
      queue_.push_back(std::move(value));
      waiting = waiting_consumers_ > 0;
    }
    delivered(waiting);
    return SUCCESS;
  }

  // Takes the oldest message, waiting while the queue is empty.
  T receive() {
    boost::unique_lock<boost::mutex> guard(lock_);
    while (queue_.empty()) {
      ++waiting_consumers_;
      not_empty_.wait(guard);
      --waiting_consumers_;
    }
    T value = std::move(queue_.front());
    queue_.pop_front();
    // Producers held back by a full queue go on once it is half empty: woken
    // for every free slot, a producer and the owner would take turns sleeping
    // and waking for each message.
    if (waiting_producers_ > 0 && queue_.size() <= queue_.capacity() / 2) not_full_.notify_all();
    if (Block* block = owner()) block->stats().count_in();
    return value;
  }

 protected:
  boost::mutex lock_;
  boost::condition_variable not_empty_;
  boost::condition_variable not_full_;
  boost::circular_buffer<T> queue_;  // guarded by lock_
  size_t waiting_producers_ = 0;     // guarded by lock_
  size_t waiting_consumers_ = 0;     // guarded by lock_

 private:
  bool owner_stopping() const {
    const Block* block = owner();
    return block != nullptr && block->stopping();
  }

  // Called with lock_ released; `waiting` was read under it.
  void delivered(bool waiting) {
    if (waiting) not_empty_.notify_one();
    if (Block* block = owner()) block->notify();
  }
};

}  // namespace qor
