// The disk-backed queue with 1 KiB records, for each "sync" mode: push alone,
// reading (next) alone, pop alone, and push, peek and pop of one record at a
// time; then a producer with a consumer thread, and the scan that opening a
// queue of 1 GB does. Queues go into a directory under $TMPDIR (default /tmp),
// so the figures are those of that file system.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "blocks/queue/disk_queue.h"

namespace {

constexpr size_t kRecordBytes = 1024;
// Large enough that the writer changes files now and then, as in service.
constexpr uint64_t kBudget = uint64_t{256} << 20;
constexpr uint64_t kScanBytes = uint64_t{1} << 30;
// Records stored (or read) between two pauses of the timer in which the queue
// is emptied (or filled) again.
constexpr int64_t kBatch = 50000;
const char* const kModes[] = {"none", "interval", "always"};

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

DiskQueue::Options options_for(const benchmark::State& state) {
  DiskQueue::Options options;
  options.max_bytes = kBudget;
  DiskQueue::parse_sync(kModes[state.range(0)], &options.sync);
  options.interval_ms = 100;
  return options;
}

void name_mode(benchmark::State& state) {
  state.SetLabel(std::string("sync ") + kModes[state.range(0)]);
}

void count(benchmark::State& state, int64_t records) {
  state.SetItemsProcessed(records);
  state.SetBytesProcessed(records * static_cast<int64_t>(kRecordBytes));
}

void fill(DiskQueue& queue, const std::string& record, int64_t records) {
  for (int64_t i = 0; i < records; ++i) {
    if (queue.push(record.data(), record.size()) == 0) std::abort();
  }
}

void empty(DiskQueue& queue) {
  while (queue.pop() != 0) {
  }
}

// Empties the queue and stores a batch of records with nothing forced to
// disk (a batch stored record by record with "always" would take minutes),
// then opens the queue again in the mode measured.
void refill(std::unique_ptr<DiskQueue>& queue, const std::string& dir,
            const DiskQueue::Options& options) {
  queue.reset();
  {
    DiskQueue plain(dir, kBudget);
    empty(plain);
    fill(plain, std::string(kRecordBytes, 'r'), kBatch);
  }
  queue = std::make_unique<DiskQueue>(dir, options);
}

void BM_Push(benchmark::State& state) {
  name_mode(state);
  const std::string dir = fresh_directory("queue-bench");
  {
    DiskQueue queue(dir, options_for(state));
    const std::string record(kRecordBytes, 'r');
    int64_t in_batch = 0;
    for (auto _ : state) {
      if (queue.push(record.data(), record.size()) == 0) state.SkipWithError("push declined");
      if (++in_batch == kBatch) {
        state.PauseTiming();
        empty(queue);
        in_batch = 0;
        state.ResumeTiming();
      }
    }
    count(state, state.iterations());
  }
  remove_queue(dir);
}

void BM_Next(benchmark::State& state) {
  name_mode(state);
  const std::string dir = fresh_directory("queue-bench");
  {
    std::unique_ptr<DiskQueue> queue;
    refill(queue, dir, options_for(state));
    std::string out;
    for (auto _ : state) {
      if (!queue->next(out)) {
        state.PauseTiming();
        refill(queue, dir, options_for(state));
        state.ResumeTiming();
        if (!queue->next(out)) state.SkipWithError("nothing to read");
      }
      benchmark::DoNotOptimize(out.data());
    }
    count(state, state.iterations());
  }
  remove_queue(dir);
}

void BM_Pop(benchmark::State& state) {
  name_mode(state);
  const std::string dir = fresh_directory("queue-bench");
  {
    std::unique_ptr<DiskQueue> queue;
    refill(queue, dir, options_for(state));
    for (auto _ : state) {
      if (queue->pop() == 0) {
        state.PauseTiming();
        refill(queue, dir, options_for(state));
        state.ResumeTiming();
        if (queue->pop() == 0) state.SkipWithError("nothing to pop");
      }
    }
    count(state, state.iterations());
  }
  remove_queue(dir);
}

void BM_PushPeekPop(benchmark::State& state) {
  name_mode(state);
  const std::string dir = fresh_directory("queue-bench");
  {
    DiskQueue queue(dir, options_for(state));
    const std::string record(kRecordBytes, 'r');
    for (auto _ : state) {
      if (queue.push(record.data(), record.size()) == 0) state.SkipWithError("push declined");
      char* out = nullptr;
      bool found = false;
      benchmark::DoNotOptimize(queue.peek(&out, &found));
      std::free(out);
      if (queue.pop() == 0) state.SkipWithError("nothing to pop");
    }
    count(state, state.iterations());
  }
  remove_queue(dir);
}

// "always" waits for the disk on every push: fewer seconds, or the run takes
// minutes on a slow disk.
void modes(benchmark::internal::Benchmark* bench) {
  bench->ArgName("sync")->Arg(0)->Arg(1)->Arg(2)->MinTime(2.0)->UseRealTime();
}
BENCHMARK(BM_Push)->Apply(modes);
BENCHMARK(BM_Next)->Apply(modes);
BENCHMARK(BM_Pop)->Apply(modes);
BENCHMARK(BM_PushPeekPop)->Apply(modes);

// The producer pushes while the consumer thread reads ahead and pops, as the
// block thread and the drain thread do.
void BM_ProducerAndConsumer(benchmark::State& state) {
  name_mode(state);
  const std::string dir = fresh_directory("queue-bench");
  constexpr int64_t kRecords = 100000;
  {
    DiskQueue queue(dir, options_for(state));
    const std::string record(kRecordBytes, 'r');
    for (auto _ : state) {
      std::thread consumer([&queue] {
        std::string out;
        for (int64_t taken = 0; taken < kRecords;) {
          if (!queue.next(out)) continue;
          if (queue.pop() != 0) ++taken;
        }
      });
      for (int64_t i = 0; i < kRecords;) {
        if (queue.push(record.data(), record.size()) != 0) ++i;
      }
      consumer.join();
    }
    count(state, state.iterations() * kRecords);
  }
  remove_queue(dir);
}
BENCHMARK(BM_ProducerAndConsumer)
    ->ArgName("sync")
    ->Arg(0)
    ->Arg(1)
    ->MinTime(3.0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Opening a queue that holds 1 GB of committed 200-byte records: the scan that
// counts them. The file is written once, in the queue's format, and is in the
// page cache when the queue opens it.
void BM_OpenScan(benchmark::State& state) {
  constexpr size_t kScanRecord = 200;
  const std::string dir = fresh_directory("queue-scan-bench");
  {
    std::ofstream out(dir + "/0", std::ios::binary);
    std::vector<char> block(16 + kScanRecord, 'p');
    std::memset(block.data(), 0, 16);
    block[0] = 1;
    for (int i = 0; i < 8; ++i) block[8 + i] = static_cast<char>(kScanRecord >> (8 * i) & 0xff);
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
