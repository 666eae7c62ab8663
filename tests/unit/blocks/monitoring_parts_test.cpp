// The pieces of the program's monitoring that stand alone: the listening
// address, the age of a queue's oldest record, and the queue's record count.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "blocks/monitor/listen_address.h"
#include "blocks/queue/disk_queue.h"
#include "blocks/queue/record_ages.h"
#include "support/child_process.h"

using namespace std::chrono_literals;

TEST(ListenAddress, PortAloneStaysOnLoopback) {
  ListenAddress address;
  std::string error;
  ASSERT_TRUE(ListenAddress::parse("9108", &address, &error)) << error;
  EXPECT_EQ(address.host, "127.0.0.1");
  EXPECT_EQ(address.port, 9108);
  ASSERT_TRUE(ListenAddress::parse(":9108", &address, &error)) << error;
  EXPECT_EQ(address.host, "127.0.0.1");
  ASSERT_TRUE(ListenAddress::parse("0.0.0.0:80", &address, &error)) << error;
  EXPECT_EQ(address.host, "0.0.0.0");
  EXPECT_EQ(address.port, 80);
  ASSERT_TRUE(ListenAddress::parse("[::1]:65535", &address, &error)) << error;
  EXPECT_EQ(address.host, "::1");
  EXPECT_EQ(address.text(), "[::1]:65535");
}

TEST(ListenAddress, RejectsWhatIsNoPort) {
  ListenAddress address;
  address.port = 7;
  std::string error;
  for (const char* text : {"", "host:", "host:0", "host:65536", "host:http", "[::1]9108", "[::1",
                           "127.0.0.1:99999999999", "-1"}) {
    EXPECT_FALSE(ListenAddress::parse(text, &address, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  EXPECT_EQ(address.port, 7);
}

TEST(RecordAges, OldestAgeFollowsPushesAndPops) {
  RecordAges ages(1s);
  const auto t0 = RecordAges::Clock::now();
  EXPECT_EQ(ages.oldest_age(t0), RecordAges::Clock::duration::zero());
  ages.pushed(t0);
  ages.pushed(t0 + 500ms);  // within the resolution: shares the first mark
  ages.pushed(t0 + 2s);
  ages.pushed(t0 + 5s);
  EXPECT_EQ(ages.oldest_age(t0 + 10s),
            std::chrono::duration_cast<RecordAges::Clock::duration>(10s));
  ages.popped();
  ages.popped();
  EXPECT_EQ(ages.oldest_age(t0 + 10s), std::chrono::duration_cast<RecordAges::Clock::duration>(8s));
  ages.popped();
  EXPECT_EQ(ages.oldest_age(t0 + 10s), std::chrono::duration_cast<RecordAges::Clock::duration>(5s));
  ages.popped();
  EXPECT_EQ(ages.oldest_age(t0 + 10s), RecordAges::Clock::duration::zero());
  ages.popped();  // more pops than records change nothing
  ages.pushed(t0 + 11s);
  EXPECT_EQ(ages.oldest_age(t0 + 12s), std::chrono::duration_cast<RecordAges::Clock::duration>(1s));
}

TEST(RecordAges, RecordsTakenOverCountFromTheOpening) {
  RecordAges ages(1s);
  const auto t0 = RecordAges::Clock::now();
  ages.taken_over(3, t0);
  ages.pushed(t0 + 4s);
  ages.popped();
  ages.popped();
  EXPECT_EQ(ages.oldest_age(t0 + 6s), std::chrono::duration_cast<RecordAges::Clock::duration>(6s));
  ages.popped();
  EXPECT_EQ(ages.oldest_age(t0 + 6s), std::chrono::duration_cast<RecordAges::Clock::duration>(2s));
}

TEST(RecordAges, ManyMarksNeverUnderstateTheOldestAge) {
  RecordAges ages(1s, 8);
  const auto t0 = RecordAges::Clock::now();
  for (int i = 0; i < 100; ++i) ages.pushed(t0 + std::chrono::seconds(i));
  EXPECT_EQ(ages.oldest_age(t0 + 100s),
            std::chrono::duration_cast<RecordAges::Clock::duration>(100s));
  for (int i = 0; i < 50; ++i) ages.popped();
  // Record 50 was pushed at t0 + 50 s; with few marks its age may be told
  // larger, never smaller.
  const auto age = ages.oldest_age(t0 + 100s);
  EXPECT_GE(age, std::chrono::duration_cast<RecordAges::Clock::duration>(50s));
  EXPECT_LE(age, std::chrono::duration_cast<RecordAges::Clock::duration>(100s));
}

TEST(DiskQueueRecords, CountedThroughPushPopAndReopening) {
  const std::string dir = weft_test::temp_path("records") + "/";
  {
    DiskQueue queue(dir, 1 << 20);
    EXPECT_EQ(queue.records(), 0u);
    for (const char* text : {"one", "two", "three"}) ASSERT_GT(queue.push(text, 3), 0u);
    EXPECT_EQ(queue.records(), 3u);
    ASSERT_GT(queue.pop(), 0u);
    EXPECT_EQ(queue.records(), 2u);
  }
  DiskQueue reopened(dir, 1 << 20);
  EXPECT_EQ(reopened.records(), 2u);
  EXPECT_EQ(reopened.size_bytes(), 2u * (3 + 16));
  ASSERT_GT(reopened.pop(), 0u);
  ASSERT_GT(reopened.pop(), 0u);
  EXPECT_EQ(reopened.pop(), 0u);
  EXPECT_EQ(reopened.records(), 0u);
}
