#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qor {

// Why a block let a message go without handing it on.
enum class DropReason {
  kOverflow,  // no room in the next block and the block was told not to wait
  kBadInput,  // the message could not be read (not the JSON the block expects)
  kBudget,    // a size limit of the block (a queue's byte budget) was reached
  kRefused,   // the plane answered the delivery with a failure
};
constexpr size_t kDropReasons = 4;

// The label value of a reason: "overflow", "bad_input", "budget", "refused".
const char* drop_reason_name(DropReason reason);

// The message counters of one block. Every count is a relaxed atomic addition,
// so counting costs the hot path next to nothing; the counters are only read,
// from any thread, by whoever reports them. The framework counts messages
// taken from input ports, handed to output ports and errors escaping a
// block's loop; blocks count what enters from or leaves to the outside, and
// what they drop.
class BlockStats {
 public:
  void count_in() { in_.fetch_add(1, std::memory_order_relaxed); }
  void count_out() { out_.fetch_add(1, std::memory_order_relaxed); }
  void count_error() { errors_.fetch_add(1, std::memory_order_relaxed); }
  void count_drop(DropReason reason) {
    dropped_[static_cast<size_t>(reason)].fetch_add(1, std::memory_order_relaxed);
  }

  uint64_t in() const { return in_.load(std::memory_order_relaxed); }
  uint64_t out() const { return out_.load(std::memory_order_relaxed); }
  uint64_t errors() const { return errors_.load(std::memory_order_relaxed); }
  uint64_t dropped(DropReason reason) const {
    return dropped_[static_cast<size_t>(reason)].load(std::memory_order_relaxed);
  }

 private:
  std::atomic<uint64_t> in_{0};
  std::atomic<uint64_t> out_{0};
  std::atomic<uint64_t> errors_{0};
  std::atomic<uint64_t> dropped_[kDropReasons] = {{0}, {0}, {0}, {0}};
};

}  // namespace qor
