// Helper of the crash tests: a producer thread pushes records numbered from
// <first> on, a consumer thread delivers them, until the test kills the
// process. Standard output, written with one write(2) per line so nothing is
// lost in a buffer when the process is killed:
//   "P <n>"  after push reported record n stored
//   "D <n>"  record n delivered (announced before it is popped)
//   "BAD <offset>" a record whose payload is not what was pushed
// With <stall_at> the consumer stops for good after announcing that record,
// between delivery and pop.
//
// Usage: disk_queue_crash_helper <dir> <budget> <first> [<stall_at>]
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "blocks/queue/disk_queue.h"
#include "unit/blocks/crash_record.h"

namespace {

void say(const std::string& line) {
  const std::string text = line + "\n";
  if (::write(STDOUT_FILENO, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    std::_Exit(4);
  }
}

void produce(DiskQueue& queue, uint64_t first) {
  for (uint64_t n = first;; ++n) {
    const std::string payload = CrashRecord::payload(n);
    while (queue.push(payload.data(), payload.size()) == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    say("P " + std::to_string(n));
  }
}

void consume(DiskQueue& queue, int64_t stall_at) {
  std::minstd_rand random(static_cast<unsigned>(::getpid()));
  for (;;) {
    char* data = nullptr;
    bool found = false;
    const size_t length = queue.peek(&data, &found);
    if (!found) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      continue;
    }
    uint64_t n = 0;
    const bool good = CrashRecord::parse(std::string(data, length), &n);
    std::free(data);
    if (!good) {
      say("BAD " + std::to_string(length));
      std::_Exit(3);
    }
    say("D " + std::to_string(n));
    if (static_cast<int64_t>(n) == stall_at) {
      for (;;) ::pause();
    }
    queue.pop();
    // Now and then fall behind, so the queue fills up to its budget.
    if (random() % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  DiskQueue queue(argv[1], std::strtoull(argv[2], nullptr, 10));
  const uint64_t first = std::strtoull(argv[3], nullptr, 10);
  const int64_t stall_at = argc > 4 ? std::strtoll(argv[4], nullptr, 10) : -1;
  say("ready");
  std::thread consumer(consume, std::ref(queue), stall_at);
  produce(queue, first);
}
