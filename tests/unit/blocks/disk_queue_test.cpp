// The disk-backed queue: its file format byte by byte, restarts, file
// switches, the budget, damaged files, one producer with one consumer, and
// processes killed at random.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "blocks/queue/disk_queue.h"
#include "support/child_process.h"
#include "unit/blocks/crash_record.h"
#include "unit/blocks/queue_record_bytes.h"
#include "zeb/log.h"

using weft_test::file_exists;
using weft_test::read_file;
using weft_test::write_file;

namespace {

struct Peeked {
  bool found = false;
  std::string text;
};

Peeked peek(DiskQueue& queue) {
  char* data = nullptr;
  Peeked result;
  const size_t length = queue.peek(&data, &result.found);
  if (result.found) {
    EXPECT_NE(data, nullptr);
    result.text.assign(data, length);
    std::free(data);
  } else {
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(data, nullptr) << "*out must be untouched";
  }
  return result;
}

// Peeks and pops until the queue is empty, as the drain loop does.
std::vector<std::string> drain(DiskQueue& queue) {
  std::vector<std::string> texts;
  for (Peeked next = peek(queue); next.found; next = peek(queue)) {
    texts.push_back(next.text);
    EXPECT_EQ(queue.pop(), next.text.size() + 16) << "popping " << next.text;
  }
  EXPECT_EQ(queue.pop(), 0u);
  return texts;
}

size_t push(DiskQueue& queue, const std::string& text) {
  return queue.push(text.data(), text.size());
}

// A copy of the queue's files as they are now, as a process killed at this
// moment would leave them.
std::string snapshot(const std::string& dir) {
  const std::string copy = weft_test::temp_path("copy");
  EXPECT_EQ(::mkdir(copy.c_str(), 0775), 0);
  for (const char* name : {"0", "1", "0.new", "1.new"}) {
    if (file_exists(dir + "/" + name)) write_file(copy + "/" + name, read_file(dir + "/" + name));
  }
  return copy;
}

class DiskQueueTest : public QueueDirectoryTest {};

}  // namespace

TEST_F(DiskQueueTest, NewDirectoryGetsFileZeroAndItsMarker) {
  const std::string fresh = path("sub");
  DiskQueue queue(fresh, 1000);
  struct stat info;
  ASSERT_EQ(::stat(fresh.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0775u & ~mask);
  EXPECT_TRUE(file_exists(fresh + "/0"));
  EXPECT_TRUE(file_exists(fresh + "/0.new"));
  EXPECT_FALSE(file_exists(fresh + "/1"));
  EXPECT_FALSE(file_exists(fresh + "/1.new"));
  EXPECT_EQ(read_file(fresh + "/0"), "");
  EXPECT_EQ(queue.size_bytes(), 0u);
  EXPECT_FALSE(peek(queue).found);
  EXPECT_EQ(queue.pop(), 0u);
}

TEST_F(DiskQueueTest, PushWritesHeadersAndPayloadsByteForByte) {
  {
    DiskQueue queue(dir_, 1000);
    EXPECT_EQ(push(queue, "abc"), 19u);
    EXPECT_EQ(push(queue, ""), 16u);
    EXPECT_EQ(push(queue, std::string("x\0y", 3)), 19u);
    EXPECT_EQ(queue.size_bytes(), 54u);
    EXPECT_EQ(read_file(path("0")).substr(0, 54),
              stored(1, "abc") + stored(1, "") + stored(1, std::string("x\0y", 3)));
    ASSERT_EQ(peek(queue).text, "abc");
    EXPECT_EQ(queue.pop(), 19u);
    EXPECT_EQ(queue.size_bytes(), 35u);
  }
  // Consumed in place; nothing beyond the last record once the queue is closed.
  EXPECT_EQ(read_file(path("0")),
            stored(3, "abc") + stored(1, "") + stored(1, std::string("x\0y", 3)));
}

TEST_F(DiskQueueTest, ReadsRecordsWrittenByHand) {
  const std::string stored = record(3, "gone") + record(1, "a") + record(2, "b") + record(1, "") +
                             record(1, std::string(300, 'z'));
  write_file(path("0"), stored + record(0, "unfinished"));
  DiskQueue queue(dir_, 10000);
  EXPECT_EQ(queue.size_bytes(), 17u + 17 + 16 + 316) << "state 3 is not counted, any other is";
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"a", "b", "", std::string(300, 'z')}));
  EXPECT_EQ(queue.size_bytes(), 0u);
  // Consumed in place; the next record takes the place of the unfinished one.
  EXPECT_EQ(push(queue, "new"), 19u);
  const std::string consumed = record(3, "gone") + record(3, "a") + record(3, "b") + record(3, "") +
                               record(3, std::string(300, 'z'));
  EXPECT_EQ(read_file(path("0")).substr(0, stored.size() + 19), consumed + ::stored(1, "new"));
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"new"}));
}

TEST_F(DiskQueueTest, RestartCountsWhatIsLeftAndGoesOnWithTheSecondRecord) {
  {
    DiskQueue queue(dir_, 1000);
    push(queue, "one");
    push(queue, "two");
    push(queue, "three");
    ASSERT_EQ(peek(queue).text, "one");
    ASSERT_EQ(queue.pop(), 19u);
  }
  DiskQueue queue(dir_, 1000);
  EXPECT_EQ(queue.size_bytes(), 19u + 21);
  EXPECT_EQ(peek(queue).text, "two");
  push(queue, "four");
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"two", "three", "four"}));
}

TEST_F(DiskQueueTest, PeekedButNotPoppedComesBackAfterRestart) {
  {
    DiskQueue queue(dir_, 1000);
    push(queue, "first");
    push(queue, "second");
    ASSERT_EQ(peek(queue).text, "first");
    ASSERT_EQ(peek(queue).text, "first") << "peek leaves the record in place";
  }
  DiskQueue queue(dir_, 1000);
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"first", "second"}));
}

TEST_F(DiskQueueTest, BudgetCountsHeadersAndComparesStrictly) {
  DiskQueue queue(dir_, 100);
  EXPECT_EQ(push(queue, std::string(85, 'a')), 0u) << "101 bytes with its header";
  EXPECT_EQ(queue.size_bytes(), 0u);
  EXPECT_EQ(push(queue, std::string(84, 'a')), 100u);
  EXPECT_EQ(push(queue, ""), 0u) << "a bare header does not fit either";
  EXPECT_EQ(queue.size_bytes(), 100u);
  ASSERT_EQ(queue.pop(), 100u);
  EXPECT_EQ(push(queue, ""), 16u);
}

TEST_F(DiskQueueTest, LengthsNearTheTopOfTheRangeAreDeclinedWithoutReadingData) {
  DiskQueue queue(dir_, UINT64_MAX);
  const char byte = 'x';
  EXPECT_EQ(queue.push(&byte, SIZE_MAX), 0u);
  EXPECT_EQ(queue.push(&byte, SIZE_MAX - 15), 0u);
  EXPECT_EQ(queue.size_bytes(), 0u);
  EXPECT_EQ(queue.push(&byte, 1), 17u);
}

TEST_F(DiskQueueTest, WriterMovesOnFromAReadFileAndTakesTheReadersAlong) {
  DiskQueue queue(dir_, 100);
  ASSERT_EQ(push(queue, std::string(40, 'a')), 56u);
  ASSERT_EQ(peek(queue).text, std::string(40, 'a'));
  ASSERT_EQ(queue.pop(), 56u);
  EXPECT_EQ(queue.disk_bytes(), 100u) << "56 consumed but still there, 44 claimed ahead";
  // 56 + 56 > 100: file 0 is full although the queue is empty. Everything in
  // it is consumed, so it goes at once.
  ASSERT_EQ(push(queue, std::string(40, 'b')), 56u);
  EXPECT_TRUE(file_exists(path("1")));
  EXPECT_TRUE(file_exists(path("1.new")));
  EXPECT_FALSE(file_exists(path("0.new")));
  EXPECT_FALSE(file_exists(path("0")));
  EXPECT_EQ(read_file(path("1")).substr(0, 56), stored(1, std::string(40, 'b')));
  EXPECT_EQ(queue.disk_bytes(), 100u) << "file 1 only, claimed up to the budget";

  EXPECT_EQ(peek(queue).text, std::string(40, 'b'));
  ASSERT_EQ(queue.pop(), 56u);
  // And back to file 0, created anew.
  ASSERT_EQ(push(queue, std::string(40, 'c')), 56u);
  EXPECT_TRUE(file_exists(path("0.new")));
  EXPECT_FALSE(file_exists(path("1.new")));
  EXPECT_FALSE(file_exists(path("1")));
  EXPECT_EQ(drain(queue), (std::vector<std::string>{std::string(40, 'c')}));
}

// Consumed records take their bytes until they are given back, so the last
// record of a full file holds up the writer until it is popped.
TEST_F(DiskQueueTest, ConsumedBytesCountUntilTheFileIsLeft) {
  DiskQueue queue(dir_, 50);
  ASSERT_EQ(push(queue, std::string(18, 'x')), 34u);
  ASSERT_EQ(push(queue, ""), 16u);  // file 0 now ends exactly at the budget
  ASSERT_EQ(peek(queue).text, std::string(18, 'x'));
  ASSERT_EQ(queue.pop(), 34u);
  EXPECT_EQ(queue.size_bytes(), 16u);
  EXPECT_EQ(queue.disk_bytes(), 50u);
  EXPECT_EQ(push(queue, "y"), 0u) << "16 + 34 consumed + 17 > 50";
  EXPECT_EQ(queue.dropped(), 1u);
  const Peeked empty = peek(queue);
  EXPECT_TRUE(empty.found);
  EXPECT_EQ(empty.text, "");
  EXPECT_EQ(queue.pop(), 16u);
  ASSERT_EQ(push(queue, "y"), 17u);
  EXPECT_EQ(queue.disk_bytes(), 50u) << "file 1 only, claimed up to the budget";
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"y"}));
}

TEST_F(DiskQueueTest, EmptyPayloadsAreFoundAndPopped) {
  DiskQueue queue(dir_, 1000);
  push(queue, "");
  push(queue, "a");
  push(queue, "");
  push(queue, "");
  push(queue, "b");
  EXPECT_EQ(queue.size_bytes(), 16u * 5 + 2);
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"", "a", "", "", "b"}));
}

TEST_F(DiskQueueTest, RestartWithBothFilesReadsTheOlderFirstAndAppendsToTheNewer) {
  const std::string older = record(3, "x") + record(1, "a") + record(1, "b");
  const std::string newer = record(1, "c");
  write_file(path("0"), older);
  write_file(path("1"), newer);
  write_file(path("1.new"), "");
  {
    DiskQueue queue(dir_, 10000);
    EXPECT_EQ(queue.size_bytes(), 17u * 3);
    ASSERT_EQ(push(queue, "d"), 17u);
    EXPECT_EQ(read_file(path("1")).substr(0, 34), newer + stored(1, "d"));
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_FALSE(file_exists(path("0")));
  }
  EXPECT_EQ(read_file(path("1")), record(3, "c") + stored(3, "d"));
}

TEST_F(DiskQueueTest, WithoutMarkerTheOtherFileIsLeftAlone) {
  write_file(path("0"), record(1, "mine"));
  write_file(path("1"), record(1, "unknown age"));
  DiskQueue queue(dir_, 10000);
  EXPECT_EQ(queue.size_bytes(), 20u);
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"mine"}));
}

// The writer makes the new file and its marker before it removes the old
// marker; a run that ends in between leaves these states behind.
TEST_F(DiskQueueTest, RunEndedWhileChangingFilesLosesNothing) {
  struct Case {
    const char* name;
    int marked_old;  // which file holds the records
    bool marker_new;
  };
  const Case cases[] = {{"new file without marker, 0 -> 1", 0, false},
                        {"new file without marker, 1 -> 0", 1, false},
                        {"both markers, 0 -> 1", 0, true},
                        {"both markers, 1 -> 0", 1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = weft_test::temp_path("switch");
    ASSERT_EQ(::mkdir(dir.c_str(), 0775), 0);
    const std::string old_name = std::to_string(c.marked_old);
    const std::string new_name = std::to_string(1 - c.marked_old);
    write_file(dir + "/" + old_name, record(3, "done") + record(1, "p") + record(1, "q"));
    write_file(dir + "/" + old_name + ".new", "");
    write_file(dir + "/" + new_name, "");
    if (c.marker_new) write_file(dir + "/" + new_name + ".new", "");
    DiskQueue queue(dir, 10000);
    EXPECT_EQ(queue.size_bytes(), 34u);
    push(queue, "r");
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"p", "q", "r"}));
    EXPECT_FALSE(file_exists(dir + "/0.new") && file_exists(dir + "/1.new"))
        << "a stale marker is cleared";
  }
}

// A run that removed the old marker before it made the new one leaves no
// marker and an empty newer file; the records are in the other file.
TEST_F(DiskQueueTest, EmptyNewerFileWithoutMarkerStillReadsTheOlder) {
  write_file(path("0"), "");
  write_file(path("1"), record(1, "kept") + record(1, "too"));
  DiskQueue queue(dir_, 10000);
  EXPECT_EQ(queue.size_bytes(), 39u);
  push(queue, "after");
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"kept", "too", "after"}));
}

TEST_F(DiskQueueTest, UnfinishedTailIsCutSoItIsNeverReadAsRecords) {
  // What an interrupted push of a longer record leaves: its header in state 0
  // and a payload that happens to look like a committed record further on.
  const std::string fake = record(1, "zzz");
  const std::string unfinished = header(0, 40) + "p" + fake + "tail";
  write_file(path("0"), record(1, "a") + unfinished);
  {
    DiskQueue queue(dir_, 10000);
    EXPECT_EQ(queue.size_bytes(), 17u);
    ASSERT_EQ(push(queue, "b"), 17u);  // ends where `fake` begins
    DiskQueue after_kill(snapshot(dir_), 10000);
    EXPECT_EQ(drain(after_kill), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"a", "b"}));
  }
  EXPECT_EQ(read_file(path("0")), record(3, "a") + stored(3, "b"));
}

TEST_F(DiskQueueTest, TornHeaderIsTakenAsTheEndAndReported) {
  const std::string log_path = weft_test::temp_path("torn.log");
  zeb::create_file_log("disk_queue_torn", log_path.c_str(), true);
  zeb::set_log_level("disk_queue_torn", 0);
  void* log = zeb::get_log_safe("disk_queue_torn");
  const uint64_t lengths[] = {1000, UINT64_MAX, UINT64_MAX - 15, uint64_t{1} << 62};
  for (uint64_t claimed : lengths) {
    SCOPED_TRACE(claimed);
    const std::string dir = weft_test::temp_path("torn");
    ASSERT_EQ(::mkdir(dir.c_str(), 0775), 0);
    write_file(dir + "/0", record(1, "a") + header(1, claimed) + "short");
    DiskQueue queue(dir, UINT64_MAX, log);
    EXPECT_EQ(queue.size_bytes(), 17u);
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"a"}));
    push(queue, "b");
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"b"}));
  }
  zeb::destroy_log("disk_queue_torn");
  const std::string text = read_file(log_path);
  EXPECT_NE(text.find("/0: the record at offset 17 is torn"), std::string::npos) << text;
}

TEST_F(DiskQueueTest, TornRecordInTheOlderFileEndsThatFileOnly) {
  write_file(path("0"), record(1, "a") + header(1, 50) + "cut short");
  write_file(path("1"), record(1, "b"));
  write_file(path("1.new"), "");
  DiskQueue queue(dir_, 10000);
  EXPECT_EQ(queue.size_bytes(), 34u);
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"a", "b"}));
}

// Within the budget the readers have always left the other file when the
// writer needs it; damaged files can say otherwise. Then the writer waits
// rather than replace records nobody has read.
TEST_F(DiskQueueTest, WriterNeverReplacesAFileThatIsStillBeingRead) {
  write_file(path("0"), record(1, "older"));
  write_file(path("1"), record(3, std::string(50, 'q')) + record(1, "r"));
  write_file(path("1.new"), "");
  DiskQueue queue(dir_, 100);
  EXPECT_EQ(queue.size_bytes(), 38u);
  EXPECT_EQ(push(queue, std::string(40, 's')), 0u) << "fits the budget, but not file 1";
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"older", "r"}));
  EXPECT_EQ(push(queue, std::string(40, 's')), 56u);
  EXPECT_EQ(drain(queue), (std::vector<std::string>{std::string(40, 's')}));
}

TEST_F(DiskQueueTest, PopWithoutPeekKeepsPeekInStepAcrossFiles) {
  DiskQueue queue(dir_, 120);
  int pushed = 0;
  int popped = 0;
  ASSERT_EQ(push(queue, "r0"), 18u);
  ++pushed;
  ASSERT_EQ(peek(queue).text, "r0");
  // Many pops without a peek in between, while the writer changes files.
  for (int round = 0; round < 20; ++round) {
    while (push(queue, "r" + std::to_string(pushed)) != 0) ++pushed;
    while (queue.pop() != 0) ++popped;
  }
  ASSERT_EQ(popped, pushed);
  ASSERT_EQ(push(queue, "last"), 20u);
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"last"}));
}

TEST_F(DiskQueueTest, ProducerAndConsumerThreadsKeepOrderAcrossManySwitches) {
  constexpr int kRecords = 8000;
  // A few records per file: the writer changes files thousands of times while
  // the consumer reads.
  DiskQueue queue(dir_, 400);
  std::thread producer([&] {
    for (int i = 0; i < kRecords; ++i) {
      const std::string text = std::to_string(i) + std::string(i % 97, '.');
      while (queue.push(text.data(), text.size()) == 0) std::this_thread::yield();
    }
  });
  std::vector<std::string> received;
  while (static_cast<int>(received.size()) < kRecords) {
    const Peeked next = peek(queue);
    if (!next.found) {
      std::this_thread::yield();
      continue;
    }
    received.push_back(next.text);
    ASSERT_EQ(queue.pop(), next.text.size() + 16);
  }
  producer.join();
  for (int i = 0; i < kRecords; ++i) {
    ASSERT_EQ(received[i], std::to_string(i) + std::string(i % 97, '.')) << i;
  }
  EXPECT_EQ(queue.size_bytes(), 0u);
}

TEST_F(DiskQueueTest, ConstructionErrorsNameWhatFailed) {
  auto error = [](const std::string& dir) -> std::string {
    try {
      DiskQueue queue(dir, 100);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "<opened>";
  };
  write_file(path("plain"), "a file, not a directory");
  EXPECT_EQ(error(path("plain/sub")), "Unable to open, or create directory");
  EXPECT_EQ(error(path("missing/sub")), "Unable to open, or create directory");

  ASSERT_EQ(::mkdir(path("dir0").c_str(), 0775), 0);
  ASSERT_EQ(::mkdir(path("dir0/0").c_str(), 0775), 0);
  EXPECT_EQ(error(path("dir0")), "Could not open, or create file");

  ASSERT_EQ(::mkdir(path("marker").c_str(), 0775), 0);
  ASSERT_EQ(::mkdir(path("marker/0.new").c_str(), 0775), 0);
  EXPECT_EQ(error(path("marker")), "Could not open, or create new file");
}

namespace {

using namespace std::chrono_literals;

std::string crash_helper() {
  return weft_test::build_dir() + "/tests/disk_queue_crash_helper";
}

struct HelperOutput {
  std::vector<uint64_t> stored;
  std::vector<uint64_t> delivered;
  bool bad = false;
};

HelperOutput parse_output(const std::string& text) {
  HelperOutput output;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.rfind("P ", 0) == 0) output.stored.push_back(std::stoull(line.substr(2)));
    if (line.rfind("D ", 0) == 0) output.delivered.push_back(std::stoull(line.substr(2)));
    if (line.rfind("BAD", 0) == 0) output.bad = true;
  }
  return output;
}

// The numbers of the records still queued in `dir`, read from a copy so the
// queue itself stays as the killed process left it.
std::vector<uint64_t> still_queued(const std::string& dir) {
  std::vector<uint64_t> numbers;
  DiskQueue queue(snapshot(dir), UINT64_MAX);
  for (const std::string& text : drain(queue)) {
    uint64_t n = 0;
    EXPECT_TRUE(CrashRecord::parse(text, &n))
        << "a corrupted record of " << text.size() << " bytes";
    numbers.push_back(n);
  }
  return numbers;
}

}  // namespace

TEST(DiskQueueCrash, KilledAtRandomMomentsLosesNoStoredRecord) {
  const std::string dir = weft_test::temp_path("crash");
  std::minstd_rand random(20240611);
  uint64_t next = 0;             // number of the next new record
  std::vector<uint64_t> queued;  // what the queue held after the last kill
  uint64_t total_delivered = 0;
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    HelperOutput output;
    {
      weft_test::ChildProcess child(crash_helper(), {dir, "65536", std::to_string(next)});
      // Every other round the kill may come while the queue is still opening.
      if (round % 2 == 0) {
        ASSERT_TRUE(child.wait_for_output("P ", 20s)) << child.err();
      }
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
      child.kill();
      output = parse_output(child.out());
    }
    ASSERT_FALSE(output.bad);
    const std::vector<uint64_t> left = still_queued(dir);

    // Delivered, then still queued: first what was queued before this round,
    // then new records numbered from `next`, each once. Only the record
    // delivered last may be queued still (killed between delivery and pop).
    std::vector<uint64_t> seen = output.delivered;
    const bool again = !seen.empty() && !left.empty() && seen.back() == left.front();
    seen.insert(seen.end(), left.begin() + (again ? 1 : 0), left.end());
    ASSERT_GE(seen.size(), queued.size());
    for (size_t i = 0; i < seen.size(); ++i) {
      const uint64_t expected = i < queued.size() ? queued[i] : next + (i - queued.size());
      ASSERT_EQ(seen[i], expected) << "at " << i;
    }
    const uint64_t added = seen.size() - queued.size();
    for (uint64_t n : output.stored) {
      ASSERT_GE(n, next);
      ASSERT_LT(n, next + added) << "record " << n << " was reported stored and is gone";
    }
    next += added;
    queued = left;
    total_delivered += output.delivered.size();
  }
  // The rounds did real work: many records, deliveries and file changes.
  EXPECT_GT(next, 2000u);
  EXPECT_GT(total_delivered, 1000u);
}

TEST(DiskQueueCrash, KilledBetweenDeliveryAndPopDeliversTheRecordAgain) {
  const std::string dir = weft_test::temp_path("stall");
  {
    weft_test::ChildProcess child(crash_helper(), {dir, "65536", "0", "5"});
    ASSERT_TRUE(child.wait_for_output("D 5\n", 20s)) << child.err();
    child.kill();
    const HelperOutput output = parse_output(child.out());
    EXPECT_EQ(output.delivered, (std::vector<uint64_t>{0, 1, 2, 3, 4, 5}));
  }
  ASSERT_FALSE(still_queued(dir).empty());
  EXPECT_EQ(still_queued(dir).front(), 5u);
  weft_test::ChildProcess child(crash_helper(), {dir, "65536", "1000000", "7"});
  ASSERT_TRUE(child.wait_for_output("D 7\n", 20s)) << child.err();
  child.kill();
  const HelperOutput output = parse_output(child.out());
  EXPECT_EQ(output.delivered, (std::vector<uint64_t>{5, 6, 7}));
}
