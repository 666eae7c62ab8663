#pragma once

#include <semaphore.h>

namespace qor {

// Counting semaphore private to the process: one post per message handed to
// a block, or per wake-up. A process-private count lets the kernel key its
// waits by address alone, which matters when a block is woken thousands of
// times a second. Any thread may post; the block's own thread waits.
class WakeCount {
 public:
  WakeCount();
  ~WakeCount();
  WakeCount(const WakeCount&) = delete;
  WakeCount& operator=(const WakeCount&) = delete;

  void post();
  // Takes one count, sleeping while there is none.
  void wait();

 private:
  sem_t count_;
};

}  // namespace qor
