// The disk-backed queue keeping its promises: reading ahead and going back,
// files changed underneath while it runs, a budget that bounds the disk
// (consumed space given back mid-file, space claimed ahead), a full file
// system, checksums against torn records, and the sync modes.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "blocks/queue/crc32c.h"
#include "blocks/queue/disk_queue.h"
#include "blocks/queue/zeb_out_queue_block.h"
#include "support/captured_log.h"
#include "support/child_process.h"
#include "unit/blocks/queue_record_bytes.h"
#include "zeb/log.h"

using weft_test::file_exists;
using weft_test::read_file;
using weft_test::write_file;
using namespace std::chrono_literals;

namespace {

size_t push(DiskQueue& queue, const std::string& text) {
  return queue.push(text.data(), text.size());
}

std::string peek_text(DiskQueue& queue, bool* found) {
  char* data = nullptr;
  const size_t length = queue.peek(&data, found);
  std::string text = *found ? std::string(data, length) : std::string();
  std::free(data);
  return text;
}

std::vector<std::string> drain(DiskQueue& queue) {
  std::vector<std::string> texts;
  std::string text;
  while (queue.next(text)) {
    texts.push_back(text);
    EXPECT_EQ(queue.pop(), text.size() + 16) << "popping " << text;
  }
  return texts;
}

// The records of a file as a reader that knows only the record format reads
// them: state 3 skipped with its payload, padding ignored, state 0 or fewer
// than 16 bytes left end it.
std::vector<std::string> read_as_plain_format(const std::string& file) {
  const std::string bytes = read_file(file);
  std::vector<std::string> texts;
  for (size_t at = 0; bytes.size() - at >= 16;) {
    const uint16_t state = static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                                 static_cast<unsigned char>(bytes[at + 1]) << 8);
    uint64_t length = 0;
    for (int i = 7; i >= 0; --i)
      length = length << 8 | static_cast<unsigned char>(bytes[at + 8 + i]);
    if (state == 0 || length > bytes.size() - at - 16) break;
    if (state != 3) texts.push_back(bytes.substr(at + 16, length));
    at += 16 + length;
  }
  return texts;
}

uint64_t blocks_of(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return 0;
  return static_cast<uint64_t>(info.st_blocks) * 512;
}

std::string numbered(int n, size_t size) {
  std::string text = std::to_string(n) + ":";
  text.resize(size, static_cast<char>('a' + n % 26));
  return text;
}

// A tmpfs of its own, unmounted when the test ends; `mounted()` is false where
// mounting is not allowed.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::string& size) : dir_(weft_test::temp_path("small-fs")) {
    ::mkdir(dir_.c_str(), 0775);
    const std::string options = "size=" + size;
    mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted_) error_ = std::strerror(errno);
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    ::rmdir(dir_.c_str());
  }
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  uint64_t free_blocks() const {
    struct statvfs info;
    return ::statvfs(dir_.c_str(), &info) == 0 ? info.f_bavail : 0;
  }

 private:
  std::string dir_;
  std::string error_;
  bool mounted_ = false;
};

#define SKIP_UNLESS_MOUNTED(fs)                                                          \
  if (!(fs).mounted()) {                                                                 \
    GTEST_SKIP() << "cannot mount a tmpfs here (" << (fs).error() << "); needs root or " \
                 << "CAP_SYS_ADMIN";                                                     \
  }

class DiskQueueDurability : public QueueDirectoryTest {};

}  // namespace

TEST(Crc32c, MatchesTheKnownValuesAndChainsPieces) {
  EXPECT_EQ(crc32c("", 0), 0u);
  EXPECT_EQ(crc32c("123456789", 9), 0xe3069283u);
  const std::string zeros(32, '\0');
  EXPECT_EQ(crc32c(zeros.data(), zeros.size()), 0x8a9136aau);
  const std::string long_text(1000, 'q');
  EXPECT_EQ(crc32c(long_text.data() + 300, 700, crc32c(long_text.data(), 300)),
            crc32c(long_text.data(), long_text.size()));
}

TEST_F(DiskQueueDurability, NextReadsAheadAndRewindGoesBackToTheOldestUnpopped) {
  DiskQueue queue(dir_, 10000);
  for (const char* text : {"a", "b", "c", "d"}) push(queue, text);
  std::string out;
  ASSERT_TRUE(queue.next(out));
  EXPECT_EQ(out, "a");
  ASSERT_TRUE(queue.next(out));
  EXPECT_EQ(out, "b");
  bool found = false;
  EXPECT_EQ(peek_text(queue, &found), "c") << "peek reads at the read position";
  EXPECT_TRUE(found);
  EXPECT_EQ(queue.size_bytes(), 4u * 17) << "read ahead, nothing popped";
  EXPECT_EQ(queue.pop(), 17u);  // "a"
  ASSERT_TRUE(queue.next(out));
  EXPECT_EQ(out, "c");
  queue.rewind();
  std::vector<std::string> again;
  while (queue.next(out)) again.push_back(out);
  EXPECT_EQ(again, (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_FALSE(queue.next(out));

  // Popping past the read position takes it along.
  queue.rewind();
  EXPECT_EQ(queue.pop(), 17u);  // "b"
  EXPECT_EQ(queue.pop(), 17u);  // "c"
  ASSERT_TRUE(queue.next(out));
  EXPECT_EQ(out, "d");
  EXPECT_EQ(queue.pop(), 17u);
  EXPECT_FALSE(queue.next(out));
  push(queue, "e");
  ASSERT_TRUE(queue.next(out));
  EXPECT_EQ(out, "e");
}

TEST_F(DiskQueueDurability, NextReusesTheCallersBufferAndReturnsEmptyRecords) {
  DiskQueue queue(dir_, 1 << 20);
  push(queue, "");
  push(queue, std::string(100, 'x'));
  push(queue, std::string(200000, 'y'));  // larger than a read of the file
  std::string out;
  out.reserve(1000);
  const char* buffer = out.data();
  ASSERT_TRUE(queue.next(out));
  EXPECT_EQ(out, "");
  ASSERT_TRUE(queue.next(out));
  EXPECT_EQ(out, std::string(100, 'x'));
  EXPECT_EQ(out.data(), buffer) << "the record fits the capacity the caller gave";
  ASSERT_TRUE(queue.next(out));
  EXPECT_EQ(out, std::string(200000, 'y'));
  EXPECT_FALSE(queue.next(out));
  EXPECT_EQ(queue.pop(), 16u);
}

TEST_F(DiskQueueDurability, RewindGoesBackIntoTheOlderFile) {
  write_file(path("0"), record(3, "gone") + record(1, "a") + record(1, "b"));
  write_file(path("1"), record(1, "c"));
  write_file(path("1.new"), "");
  DiskQueue queue(dir_, 10000);
  std::string out;
  std::vector<std::string> first;
  while (queue.next(out)) first.push_back(out);
  EXPECT_EQ(first, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(file_exists(path("0"))) << "nothing popped yet";
  queue.rewind();
  ASSERT_TRUE(queue.next(out));
  EXPECT_EQ(out, "a");
  EXPECT_EQ(queue.pop(), 17u);
  ASSERT_TRUE(queue.next(out));
  EXPECT_EQ(out, "b");
  EXPECT_EQ(queue.pop(), 17u);
  ASSERT_TRUE(queue.next(out));
  EXPECT_EQ(out, "c");
  EXPECT_FALSE(file_exists(path("0"))) << "read through and consumed";
  queue.rewind();
  ASSERT_TRUE(queue.next(out));
  EXPECT_EQ(out, "c");
}

// Files that someone else changes while the queue runs: never a crash (the
// files used to be mapped, and a truncated one killed the process with
// SIGBUS), the change is logged and the queue carries on with what the files
// still hold.
TEST_F(DiskQueueDurability, WriteFileTruncatedWhileRunningIsNoticedAndTheQueueGoesOn) {
  weft_test::CapturedLog log("queue_truncated");
  {
    DiskQueue queue(dir_, 1 << 20, log.logger());
    for (int i = 0; i < 200; ++i) push(queue, numbered(i, 1000));
    std::string out;
    ASSERT_TRUE(queue.next(out));
    ASSERT_EQ(queue.pop(), 1016u);
    // Record 147 is cut; the reader has not read that far yet.
    ASSERT_EQ(::truncate(path("0").c_str(), 150000), 0);
    std::vector<std::string> read = drain(queue);
    const std::vector<std::string> rest = drain(queue);
    read.insert(read.end(), rest.begin(), rest.end());
    ASSERT_EQ(read.size(), 146u);
    for (int i = 1; i <= 146; ++i) EXPECT_EQ(read[i - 1], numbered(i, 1000));
    EXPECT_EQ(queue.size_bytes(), 0u);
    ASSERT_EQ(push(queue, "after"), 21u);
    EXPECT_EQ(queue.size_bytes(), 21u);
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"after"}));
  }
  const std::string text = log.text();
  EXPECT_EQ(
      weft_test::occurrences(text, "was cut short or overwritten while the queue was running"), 1u)
      << text;
  EXPECT_EQ(weft_test::occurrences(text, "changed while the queue was running"), 1u) << text;
}

TEST_F(DiskQueueDurability, RemovedWriteFileIsMadeAnew) {
  weft_test::CapturedLog log("queue_removed");
  DiskQueue queue(dir_, 1 << 20, log.logger());
  push(queue, "lost with its file");
  ASSERT_EQ(::unlink(path("0").c_str()), 0);
  ASSERT_EQ(::unlink(path("0.new").c_str()), 0);
  // The producer looks at its file a few times a second.
  std::this_thread::sleep_for(400ms);
  ASSERT_EQ(push(queue, "kept"), 20u);
  EXPECT_TRUE(file_exists(path("0")));
  EXPECT_TRUE(file_exists(path("0.new")));
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"kept"}));
  EXPECT_EQ(read_as_plain_format(path("0")), (std::vector<std::string>{}));
  EXPECT_NE(log.text().find("changed while the queue was running"), std::string::npos);
}

TEST_F(DiskQueueDurability, ReplacedWriteFileIsReadAsItIsNow) {
  DiskQueue queue(dir_, 1 << 20);
  push(queue, "old");
  const std::string replacement = path("replacement");
  write_file(replacement, record(1, "put there by hand"));
  ASSERT_EQ(::rename(replacement.c_str(), path("0").c_str()), 0);
  std::this_thread::sleep_for(400ms);
  ASSERT_EQ(push(queue, "new"), 19u);
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"put there by hand", "new"}));
}

TEST_F(DiskQueueDurability, OlderFileCutShortGivesWhatItStillHoldsThenTheNewer) {
  std::string older;
  for (int i = 0; i < 200; ++i) older += record(1, numbered(i, 1000));
  write_file(path("0"), older);
  write_file(path("1"), record(1, "d"));
  write_file(path("1.new"), "");
  DiskQueue queue(dir_, 1 << 20);
  EXPECT_EQ(queue.size_bytes(), 200u * 1016 + 17);
  std::string out;
  ASSERT_TRUE(queue.next(out));
  EXPECT_EQ(queue.pop(), 1016u);
  ASSERT_EQ(::truncate(path("0").c_str(), 150000), 0);
  std::vector<std::string> read = drain(queue);
  const std::vector<std::string> rest = drain(queue);
  read.insert(read.end(), rest.begin(), rest.end());
  ASSERT_EQ(read.size(), 147u);
  for (int i = 1; i <= 146; ++i) EXPECT_EQ(read[i - 1], numbered(i, 1000));
  EXPECT_EQ(read.back(), "d");
  EXPECT_EQ(queue.size_bytes(), 0u);
  push(queue, "e");
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"e"}));
}

TEST_F(DiskQueueDurability, SpaceClaimedAheadCountsAndGoesWhenTheQueueCloses) {
  const uint64_t budget = 10 << 20;
  {
    DiskQueue queue(dir_, budget);
    ASSERT_EQ(push(queue, "x"), 17u);
    // Claimed in steps of a sixteenth of the budget, rounded to pages.
    EXPECT_EQ(queue.disk_bytes(), budget / 16 / 4096 * 4096);
    EXPECT_GE(blocks_of(path("0")), queue.disk_bytes());
    EXPECT_EQ(DiskQueue::bytes_on_disk(dir_), blocks_of(path("0")));
  }
  EXPECT_EQ(read_file(path("0")), stored(1, "x"));
  EXPECT_LE(DiskQueue::bytes_on_disk(dir_), 4096u);
  DiskQueue again(dir_, budget);
  EXPECT_EQ(again.disk_bytes(), 17u) << "a small file counts with its size, not a whole block";
}

// Consumed records are given back while their file is still being read: the
// header at offset 0 spans them and their blocks are freed. The files stay
// readable by any reader of the record format.
TEST_F(DiskQueueDurability, ConsumedSpaceIsGivenBackMidFile) {
  const uint64_t budget = 8 << 20;
  constexpr int kRecords = 4000;
  DiskQueue queue(dir_, budget);
  for (int i = 0; i < kRecords; ++i) ASSERT_GT(push(queue, numbered(i, 1000)), 0u) << i;
  const uint64_t full_disk = queue.disk_bytes();
  const uint64_t full_blocks = blocks_of(path("0"));
  ASSERT_GE(full_disk, kRecords * 1016u);
  uint64_t previous = full_disk;
  bool fell_while_reading = false;
  std::string out;
  for (int i = 0; i < kRecords / 2; ++i) {
    ASSERT_TRUE(queue.next(out));
    ASSERT_EQ(out, numbered(i, 1000));
    ASSERT_EQ(queue.pop(), 1016u);
    fell_while_reading = fell_while_reading || queue.disk_bytes() < previous;
    previous = queue.disk_bytes();
  }
  EXPECT_TRUE(fell_while_reading);
  // Half of the records consumed: at most a reclaim step (budget / 32) and a
  // page of them still take space.
  EXPECT_LE(queue.disk_bytes(), full_disk - kRecords / 2 * 1016u + budget / 32 + 4096);
  EXPECT_LT(blocks_of(path("0")), full_blocks - (kRecords / 2 * 1016u - budget / 32 - 8192));
  EXPECT_TRUE(file_exists(path("0")));
  EXPECT_FALSE(file_exists(path("1"))) << "still the same file";

  std::vector<std::string> expected;
  for (int i = kRecords / 2; i < kRecords; ++i) expected.push_back(numbered(i, 1000));
  EXPECT_EQ(read_as_plain_format(path("0")), expected);
}

TEST_F(DiskQueueDurability, RestartAfterGivingSpaceBackReadsTheRestAndKeepsTheCount) {
  const uint64_t budget = 8 << 20;
  {
    DiskQueue queue(dir_, budget);
    for (int i = 0; i < 3000; ++i) push(queue, numbered(i, 1000));
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(queue.pop(), 1016u);
  }
  const uint64_t on_disk = DiskQueue::bytes_on_disk(dir_);
  EXPECT_LT(on_disk, 1500u * 1016u) << "2000 consumed records were given back";
  DiskQueue queue(dir_, budget);
  EXPECT_EQ(queue.size_bytes(), 1000u * 1016u);
  EXPECT_LE(queue.disk_bytes(), on_disk);
  std::string out;
  for (int i = 2000; i < 3000; ++i) {
    ASSERT_TRUE(queue.next(out));
    ASSERT_EQ(out, numbered(i, 1000));
    ASSERT_EQ(queue.pop(), 1016u);
  }
  EXPECT_FALSE(queue.next(out));
}

// With the consumed start of the write file given back, the writer can move
// on to the other file while the readers still have records in this one.
TEST_F(DiskQueueDurability, WriterMovesOnWhileTheReadersAreBehind) {
  const uint64_t budget = 1 << 20;
  DiskQueue queue(dir_, budget);
  int pushed = 0;
  while (push(queue, numbered(pushed, 984)) != 0) ++pushed;
  ASSERT_GT(pushed, 1000);
  std::string out;
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(queue.next(out));
    ASSERT_EQ(queue.pop(), 1000u);
  }
  int more = 0;
  while (push(queue, numbered(pushed + more, 984)) != 0) ++more;
  ASSERT_GT(more, 0);
  EXPECT_TRUE(file_exists(path("1")));
  EXPECT_TRUE(file_exists(path("1.new")));
  EXPECT_FALSE(file_exists(path("0.new")));
  EXPECT_TRUE(file_exists(path("0"))) << "still being read";
  EXPECT_LE(queue.disk_bytes(), budget);
  EXPECT_LE(DiskQueue::bytes_on_disk(dir_), budget + 8192);
  for (int i = 300; i < pushed + more; ++i) {
    ASSERT_TRUE(queue.next(out)) << i;
    ASSERT_EQ(out, numbered(i, 984));
    ASSERT_EQ(queue.pop(), 1000u);
  }
  EXPECT_FALSE(file_exists(path("0")));
  EXPECT_EQ(queue.size_bytes(), 0u);
}

TEST_F(DiskQueueDurability, TornRecordStopsTheRestartInsteadOfBeingDelivered) {
  // What a power cut can leave: a header that reached the disk saying
  // committed, with a payload that did not (here: one byte changed).
  std::string torn = stored(1, "second record");
  torn[20] = 'X';
  write_file(path("0"), stored(1, "first") + torn + stored(1, "third"));
  weft_test::CapturedLog log("queue_torn_checksum");
  {
    DiskQueue queue(dir_, 10000, log.logger());
    EXPECT_EQ(queue.size_bytes(), 21u);
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"first"}));
    ASSERT_EQ(push(queue, "after"), 21u);
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"after"}));
  }
  EXPECT_EQ(read_file(path("0")), stored(3, "first") + stored(3, "after"));
  EXPECT_NE(log.text().find("/0: the record at offset 21 is torn"), std::string::npos);
}

TEST_F(DiskQueueDurability, PayloadChangedWhileRunningIsNeverDelivered) {
  DiskQueue queue(dir_, 10000);
  push(queue, "good");
  push(queue, "to be damaged");
  push(queue, "behind it");
  {
    const std::string file = path("0");
    std::string bytes = read_file(file);
    bytes[20 + 16 + 3] = '#';
    write_file(file, bytes);
  }
  std::string out;
  ASSERT_TRUE(queue.next(out));
  EXPECT_EQ(out, "good");
  EXPECT_FALSE(queue.next(out));
  // The queue starts over at the damaged record, which it takes as the end.
  push(queue, "new");
  EXPECT_EQ(drain(queue), (std::vector<std::string>{"good", "new"}));
}

TEST(DiskQueueFullDisk, WritesThatDoNotFitAreDroppedCountedAndReportedRarely) {
  SmallFileSystem fs("1m");
  SKIP_UNLESS_MOUNTED(fs);
  weft_test::CapturedLog log("queue_enospc");
  const std::string dir = fs.path("queue");
  int stored_count = 0;
  {
    // A budget far beyond the file system: the disk fills before the budget.
    DiskQueue queue(dir, uint64_t{100} << 20, log.logger());
    int declined = 0;
    for (int i = 0; i < 5000 && declined < 200; ++i) {
      if (push(queue, numbered(i, 1000)) != 0) {
        ++stored_count;
      } else {
        ++declined;
      }
    }
    EXPECT_EQ(declined, 200);
    EXPECT_EQ(queue.dropped(), 200u);
    EXPECT_GT(stored_count, 500);
    EXPECT_LT(stored_count, 1100);
    // Everything stored is intact, and once read, its space serves again.
    std::string out;
    for (int i = 0; i < stored_count; ++i) {
      ASSERT_TRUE(queue.next(out));
      ASSERT_EQ(out, numbered(i, 1000));
      ASSERT_EQ(queue.pop(), 1016u);
    }
    EXPECT_GT(push(queue, "room again"), 0u);
  }
  const std::string text = log.text();
  EXPECT_EQ(weft_test::occurrences(text, "unable to store a record: No space left on device"), 1u)
      << text;
  EXPECT_NE(text.find("1 record(s) dropped since the last report"), std::string::npos);
}

// The issue this pins down: with the default budget an outage filled a small
// file system to 100 %, and a restart during the outage computed a budget of
// 0 from what was left free.
TEST(DiskQueueFullDisk, DefaultBudgetNeverFillsASmallFileSystemAndSurvivesARestart) {
  SmallFileSystem fs("8m");
  SKIP_UNLESS_MOUNTED(fs);
  const std::string dir = fs.path("queue");
  ASSERT_EQ(::mkdir(dir.c_str(), 0775), 0);
  const nlohmann::json defaults = nlohmann::json::object();
  auto budget = [&] {
    return ZebOutQueueBlock::cache_budget(
        defaults, boost::filesystem::space(dir).available + DiskQueue::bytes_on_disk(dir));
  };
  uint64_t lowest_free = UINT64_MAX;
  int pushed = 0;
  int popped = 0;
  uint64_t stored_bytes = 0;
  {
    DiskQueue queue(dir, budget());
    // Traffic with the consumer keeping up, through several file changes...
    std::string out;
    for (int i = 0; i < 20000; ++i) {
      ASSERT_GT(push(queue, numbered(pushed++, 1000)), 0u);
      ASSERT_TRUE(queue.next(out));
      ASSERT_EQ(queue.pop(), 1016u);
      ++popped;
      if (i % 64 == 0) lowest_free = std::min(lowest_free, fs.free_blocks());
    }
    // ...then an outage: nothing is read, the queue fills up to its budget.
    int declined = 0;
    while (declined < 100) {
      if (push(queue, numbered(pushed, 1000)) != 0) {
        ++pushed;
      } else {
        ++declined;
      }
      lowest_free = std::min(lowest_free, fs.free_blocks());
    }
    stored_bytes = queue.size_bytes();
    EXPECT_EQ(stored_bytes, static_cast<uint64_t>(pushed - popped) * 1016u);
    EXPECT_GT(stored_bytes, uint64_t{6} << 20) << "most of the 8 MB hold records";
    EXPECT_LE(queue.disk_bytes(), budget());
  }
  EXPECT_GT(lowest_free, 0u) << "the file system reached 100 %";

  // A restart in the middle of the outage.
  const uint64_t restarted_budget = budget();
  EXPECT_GE(restarted_budget, stored_bytes);
  // The budget counts bytes; the file system hands out pages, at most one
  // more per file (the last, partly used) than the bytes say.
  EXPECT_LE(DiskQueue::bytes_on_disk(dir), restarted_budget + 2 * 4096);
  DiskQueue queue(dir, restarted_budget);
  EXPECT_EQ(queue.size_bytes(), stored_bytes);
  EXPECT_EQ(push(queue, numbered(pushed, 1000)), 0u) << "still full, nothing lost";
  std::string out;
  for (int i = popped; i < pushed; ++i) {
    ASSERT_TRUE(queue.next(out));
    ASSERT_EQ(out, numbered(i, 1000));
    ASSERT_EQ(queue.pop(), 1016u);
  }
  EXPECT_GT(push(queue, numbered(pushed, 1000)), 0u);
  EXPECT_GT(fs.free_blocks(), 0u);
}

TEST(DiskQueueSync, ModesAreNamedNoneIntervalAndAlways) {
  DiskQueue::Sync sync = DiskQueue::Sync::kNone;
  EXPECT_TRUE(DiskQueue::parse_sync("always", &sync));
  EXPECT_EQ(sync, DiskQueue::Sync::kAlways);
  EXPECT_TRUE(DiskQueue::parse_sync("interval", &sync));
  EXPECT_EQ(sync, DiskQueue::Sync::kInterval);
  EXPECT_TRUE(DiskQueue::parse_sync("none", &sync));
  EXPECT_EQ(sync, DiskQueue::Sync::kNone);
  EXPECT_FALSE(DiskQueue::parse_sync("Always", &sync));
  EXPECT_FALSE(DiskQueue::parse_sync("", &sync));
  EXPECT_EQ(sync, DiskQueue::Sync::kNone);
}

TEST(DiskQueueSync, AlwaysForcesEveryPushNoneNever) {
  const std::string always_dir = weft_test::temp_path("always");
  DiskQueue always(always_dir, DiskQueue::Options{1 << 20, DiskQueue::Sync::kAlways, 1000});
  const std::string none_dir = weft_test::temp_path("none");
  DiskQueue none(none_dir, 1 << 20);
  for (int i = 0; i < 5; ++i) {
    push(always, numbered(i, 100));
    push(none, numbered(i, 100));
  }
  EXPECT_EQ(always.syncs(), 5u);
  EXPECT_EQ(none.syncs(), 0u);
  EXPECT_EQ(drain(always).size(), 5u);
}

TEST(DiskQueueSync, IntervalForcesABurstInFewSyncsAndIdlesWhenNothingIsPushed) {
  const std::string dir = weft_test::temp_path("interval");
  DiskQueue queue(dir, DiskQueue::Options{8 << 20, DiskQueue::Sync::kInterval, 50});
  EXPECT_EQ(queue.syncs(), 0u);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 2000; ++i) ASSERT_GT(push(queue, numbered(i, 1000)), 0u);
  const auto took = std::chrono::steady_clock::now() - start;
  // Every record is forced out within 50 ms of its push; allow a slow machine
  // plenty before calling it missed.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  uint64_t syncs = 0;
  while ((syncs = queue.syncs()) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_GE(syncs, 1u);
  const auto rounds = std::chrono::duration_cast<std::chrono::milliseconds>(took).count() / 25 + 3;
  EXPECT_LE(queue.syncs(), static_cast<uint64_t>(rounds)) << "one sync per half interval at most";
  // Once the last sync of the burst is done, nothing more is forced while
  // nothing is pushed.
  uint64_t settled = queue.syncs();
  bool idle = false;
  for (int round = 0; round < 25 && !idle; ++round) {
    std::this_thread::sleep_for(200ms);
    const uint64_t now = queue.syncs();
    idle = now == settled;
    settled = now;
  }
  ASSERT_TRUE(idle) << "the flusher keeps forcing with nothing pushed";
  push(queue, "late");
  const auto late_deadline = std::chrono::steady_clock::now() + 5s;
  while (queue.syncs() == settled && std::chrono::steady_clock::now() < late_deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_GE(queue.syncs(), settled + 1) << "the late record was never forced to disk";
  std::this_thread::sleep_for(100ms);
  // One more at most: a sync of the burst that was still running when the
  // count looked settled.
  EXPECT_LE(queue.syncs(), settled + 2);
}

TEST(ZebOutQueueBlockSync, RejectsUnknownModesAndIntervals) {
  const char* old = std::getenv("ZEB_EXT_LIB_PATH");
  const std::string saved = old != nullptr ? old : "";
  const std::string plugins =
      weft_test::build_dir() + "/ext_lib:" + weft_test::build_dir() + "/tests/ext_lib";
  ::setenv("ZEB_EXT_LIB_PATH", plugins.c_str(), 1);
  auto error = [](const nlohmann::json& extra) -> std::string {
    nlohmann::json config = {{"transport_addr", "loop://plane"},
                             {"method", "PUB"},
                             {"node_ref", "out/t"},
                             {"directory", weft_test::temp_path("sync-block")}};
    config.update(extra);
    try {
      ZebOutQueueBlock block("q", config);
    } catch (const std::invalid_argument& e) {
      EXPECT_FALSE(file_exists(config["directory"].get<std::string>()))
          << "rejected before the directory is made";
      return e.what();
    }
    return "<constructed>";
  };
  EXPECT_EQ(error({{"sync", "sometimes"}}), "sync must be \"none\", \"interval\" or \"always\"");
  EXPECT_EQ(error({{"sync", "interval"}, {"sync_interval_ms", 0}}),
            "sync_interval_ms must be at least 1");
  EXPECT_EQ(error({{"sync", 3}}).rfind("sync: ", 0), 0u);
  EXPECT_EQ(error({{"sync_interval_ms", "often"}}).rfind("sync_interval_ms: ", 0), 0u);
  nlohmann::json accepted = {{"transport_addr", "loop://plane"},
                             {"method", "PUB"},
                             {"node_ref", "out/t"},
                             {"directory", weft_test::temp_path("sync-block")},
                             {"sync", "interval"},
                             {"sync_interval_ms", 20}};
  EXPECT_NO_THROW(ZebOutQueueBlock("q", accepted));
  if (old != nullptr) {
    ::setenv("ZEB_EXT_LIB_PATH", saved.c_str(), 1);
  } else {
    ::unsetenv("ZEB_EXT_LIB_PATH");
  }
}
