// The disk-backed queue: push, peek and pop of 200-byte records, one thread
// and a producer with a consumer thread, and the scan that opening a queue
// of 1 GB does. Queues go into a directory under $TMPDIR (default /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "blocks/queue/disk_queue.h"

namespace {

constexpr size_t kRecordBytes = 200;
// Large enough that the writer changes files now and then, as in service.
constexpr uint64_t kBudget = uint64_t{256} << 20;
constexpr uint64_t kScanBytes = uint64_t{1} << 30;

std::string fresh_directory(const char* name) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/" + name + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

void remove_queue(const std::string& dir) {
  for (const char* file : {"/0", "/1", "/0.new", "/1.new"}) std::remove((dir + file).c_str());
  ::rmdir(dir.c_str());
}

void BM_PushPeekPop(benchmark::State& state) {
  const std::string dir = fresh_directory("queue-bench");
  {
    DiskQueue queue(dir, kBudget);
    const std::string record(kRecordBytes, 'r');
    for (auto _ : state) {
      if (queue.push(record.data(), record.size()) == 0) state.SkipWithError("push declined");
      char* out = nullptr;
      bool found = false;
      benchmark::DoNotOptimize(queue.peek(&out, &found));
      std::free(out);
      if (queue.pop() == 0) state.SkipWithError("nothing to pop");
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kRecordBytes));
  }
  remove_queue(dir);
}
BENCHMARK(BM_PushPeekPop)->MinTime(3.0)->UseRealTime();

// The producer pushes while the consumer thread peeks and pops, as the block
// thread and the drain thread do.
void BM_ProducerAndConsumer(benchmark::State& state) {
  const std::string dir = fresh_directory("queue-bench");
  constexpr int64_t kBatch = 100000;
  {
    DiskQueue queue(dir, kBudget);
    const std::string record(kRecordBytes, 'r');
    for (auto _ : state) {
      std::thread consumer([&queue] {
        for (int64_t taken = 0; taken < kBatch;) {
          char* out = nullptr;
          bool found = false;
          queue.peek(&out, &found);
          if (!found) continue;
          std::free(out);
          if (queue.pop() != 0) ++taken;
        }
      });
      for (int64_t i = 0; i < kBatch;) {
        if (queue.push(record.data(), record.size()) != 0) ++i;
      }
      consumer.join();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.SetBytesProcessed(state.iterations() * kBatch * static_cast<int64_t>(kRecordBytes));
  }
  remove_queue(dir);
}
BENCHMARK(BM_ProducerAndConsumer)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMillisecond);

// Opening a queue that holds 1 GB of committed 200-byte records: the scan that
// counts them. The file is written once, in the queue's format, and is in the
// page cache when the queue opens it.
void BM_OpenScan(benchmark::State& state) {
  const std::string dir = fresh_directory("queue-scan-bench");
  {
    std::ofstream out(dir + "/0", std::ios::binary);
    std::vector<char> block(16 + kRecordBytes, 'p');
    std::memset(block.data(), 0, 16);
    block[0] = 1;
    for (int i = 0; i < 8; ++i) block[8 + i] = static_cast<char>(kRecordBytes >> (8 * i) & 0xff);
    std::vector<char> chunk;
    for (int i = 0; i < 4096; ++i) chunk.insert(chunk.end(), block.begin(), block.end());
    uint64_t written = 0;
    for (; written + chunk.size() <= kScanBytes; written += chunk.size()) {
      out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
    std::ofstream marker(dir + "/0.new");
    state.counters["records"] = static_cast<double>(written / block.size());
  }
  uint64_t counted = 0;
  for (auto _ : state) {
    DiskQueue queue(dir, uint64_t{2} << 30);
    counted = queue.size_bytes();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(counted));
  remove_queue(dir);
}
BENCHMARK(BM_OpenScan)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
