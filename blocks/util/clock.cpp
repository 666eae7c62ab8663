#include "blocks/util/clock.h"

#include <algorithm>
#include <chrono>
#include <thread>

int64_t now_milliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void pause_unless_stopped(const qor::Block& block, int64_t milliseconds) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kStep = std::chrono::milliseconds(100);
  const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (!block.stopping()) {
    const auto left = end - Clock::now();
    if (left <= Clock::duration::zero()) return;
    std::this_thread::sleep_for(std::min<Clock::duration>(left, kStep));
  }
}
