// Store and forward under faults: weft-pipe's ZEBOUTQUEUE against a broker that
// never acknowledges, through a long broker outage, and through a series of
// SIGKILLs while data flows from ZEBIN. The promise under test: a text the
// queue has stored reaches the output broker at least once, in order, and a
// text leaves the queue only once the broker has acknowledged it.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/fake_broker.h"
#include "support/mosquitto_broker.h"
#include "support/mqtt_test_client.h"
#include "support/weft_pipe_run.h"

using namespace std::chrono_literals;
using weft_test::ChildProcess;
using weft_test::FakeBroker;
using weft_test::MosquittoBroker;
using weft_test::MqttTestClient;

namespace {

constexpr int kWindow = 16;

// A sanitizer's allocator holds freed memory back (quarantine, shadow), so the
// resident size says nothing about what the program keeps.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentSizeMeaningful = false;
#else
constexpr bool kResidentSizeMeaningful = true;
#endif

// The records of a queue directory, read straight from its files as a
// restarted program would: the older file first, stopping at the first
// uncommitted header. Only for a directory no process is using.
struct StoredRecords {
  std::vector<std::string> unconsumed;
  // Consumed records whose bytes are still in place (space already reclaimed
  // reads as one consumed record of no meaning).
  std::vector<std::string> consumed;
};

void read_record_file(const std::string& path, StoredRecords& out) {
  std::ifstream file(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  size_t at = 0;
  while (bytes.size() - at >= 16) {
    const auto byte = [&](size_t i) {
      return static_cast<uint64_t>(static_cast<uint8_t>(bytes[at + i]));
    };
    const uint64_t state = byte(0) | byte(1) << 8;
    uint64_t length = 0;
    for (int i = 7; i >= 0; --i) length = length << 8 | byte(8 + static_cast<size_t>(i));
    if (state == 0 || length > bytes.size() - at - 16) return;
    if (state == 3) {
      out.consumed.push_back(bytes.substr(at + 16, length));
    } else {
      out.unconsumed.push_back(bytes.substr(at + 16, length));
    }
    at += 16 + length;
  }
}

StoredRecords read_queue(const std::string& dir) {
  StoredRecords records;
  const bool newer_is_one = weft_test::file_exists(dir + "/1.new");
  for (const char* name :
       newer_is_one ? std::vector<const char*>{"0", "1"} : std::vector<const char*>{"1", "0"}) {
    if (weft_test::file_exists(dir + "/" + name)) read_record_file(dir + "/" + name, records);
  }
  return records;
}

std::string tail(const std::string& text, size_t length) {
  return text.size() > length ? text.substr(text.size() - length) : text;
}

long rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// The number at the end of a text "<anything> <number>".
long number_of(const std::string& text) {
  return std::stol(text.substr(text.rfind(' ') + 1));
}

// Numbers of the texts, in arrival order.
std::vector<long> numbers(const std::vector<std::pair<std::string, std::string>>& messages) {
  std::vector<long> out;
  for (const auto& message : messages) out.push_back(number_of(message.second));
  return out;
}

// First arrivals must come in increasing order: a text is sent again only
// together with the texts behind it, never ahead of an older one.
void expect_first_arrivals_in_order(const std::vector<long>& arrived) {
  std::set<long> seen;
  long last = -1;
  for (size_t i = 0; i < arrived.size(); ++i) {
    if (!seen.insert(arrived[i]).second) continue;
    ASSERT_GT(arrived[i], last) << "at " << i;
    last = arrived[i];
  }
}

class StoreAndForward : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> run(const std::string& config, const std::string& broker_url) {
    return weft_test::run_weft_pipe(config, {{"healthcheck_path", weft_test::temp_path("health")},
                                             {"BROKER", broker_url},
                                             {"QUEUE_DIR", queue_dir_},
                                             {"WINDOW", std::to_string(kWindow)}});
  }

  // A queue block only, fed by a generator of "n0", "n1", ...
  static std::string generator_to_queue(int delay_ms, const std::string& text = "n") {
    return R"({
      "blocks": {
        "gen": {"type": "REPSTR", "config": {"delay": )" +
           std::to_string(delay_ms) + R"(, "append_counter": "true", "test_string": ")" + text +
           R"("}},
        "q": {"type": "ZEBOUTQUEUE", "config": {"transport_addr": "$BROKER", "method": "PUB",
              "node_ref": "queue/out", "options": {"qos": 1, "clientid": "sf-out"},
              "directory": "$QUEUE_DIR", "max_in_flight": 16, "max_cache_size": 200,
              "max_cache_size_units": "mb", "log_level": "debug"}}
      },
      "mappings": {"gen:output": "q:input"}
    })";
  }

  static std::string queue_only() {
    return R"({
      "blocks": {
        "q": {"type": "ZEBOUTQUEUE", "config": {"transport_addr": "$BROKER", "method": "PUB",
              "node_ref": "queue/out", "options": {"qos": 1, "clientid": "sf-out"},
              "directory": "$QUEUE_DIR", "max_in_flight": 16, "max_cache_size": 200,
              "max_cache_size_units": "mb"}}
      },
      "mappings": {}
    })";
  }

  std::string queue_dir_ = weft_test::temp_path("queue");
};

}  // namespace

TEST_F(StoreAndForward, BrokerThatNeverAcknowledgesGetsNothingPopped) {
  FakeBroker silent(FakeBroker::Behaviour{0, false, false});
  size_t stored = 0;
  {
    auto pipe = run(generator_to_queue(5), silent.url());
    for (int i = 0; i < 200 && silent.payloads().size() < kWindow; ++i)
      std::this_thread::sleep_for(20ms);
    // Long enough for many more sends than the window, were pops to happen.
    std::this_thread::sleep_for(1500ms);
    pipe->kill();
    const size_t sent = silent.payloads().size();
    EXPECT_EQ(sent, static_cast<size_t>(kWindow)) << "only the window goes out unacknowledged";
    const StoredRecords records = read_queue(queue_dir_);
    EXPECT_TRUE(records.consumed.empty()) << "nothing was acknowledged, so nothing may be consumed";
    stored = records.unconsumed.size();
    ASSERT_GT(stored, static_cast<size_t>(kWindow)) << pipe->out();
  }

  MosquittoBroker broker;
  MqttTestClient subscriber(broker.port());
  ASSERT_TRUE(subscriber.subscribe("queue/out", 1));
  auto pipe = run(queue_only(), broker.url());
  ASSERT_TRUE(subscriber.wait_for(stored, 30s))
      << subscriber.messages().size() << " of " << stored << "\n"
      << pipe->out();
  const std::vector<long> arrived = numbers(subscriber.messages());
  for (size_t i = 0; i < stored; ++i) ASSERT_EQ(arrived[i], static_cast<long>(i));
}

TEST_F(StoreAndForward, OutageLeavesOneCopyOfTheHeadAndMemoryFlat) {
  MosquittoBroker broker;
  auto before = std::make_unique<MqttTestClient>(broker.port());
  ASSERT_TRUE(before->subscribe("queue/out", 1));
  // Large texts, so that a copy per refused publish would show in the RSS.
  const std::string big(512 * 1024, 'x');
  auto pipe = run(generator_to_queue(250, big), broker.url());
  ASSERT_TRUE(before->wait_for(5, 20s)) << tail(pipe->out(), 4000);

  broker.stop();
  std::this_thread::sleep_for(5s);
  const long rss_early = rss_kib(pipe->pid());
  std::this_thread::sleep_for(25s);
  const long rss_late = rss_kib(pipe->pid());
  // Held still while the broker comes back and a subscriber gets ready, so
  // nothing is published to a broker nobody listens on yet.
  ASSERT_EQ(::kill(pipe->pid(), SIGSTOP), 0);
  std::vector<long> arrived = numbers(before->messages());
  before.reset();
  ASSERT_TRUE(broker.start());
  MqttTestClient after(broker.port());
  ASSERT_TRUE(after.subscribe("queue/out", 1));
  ASSERT_EQ(::kill(pipe->pid(), SIGCONT), 0);

  // About 120 texts were stored during the outage; all of them arrive.
  ASSERT_TRUE(after.wait_for(120, 60s)) << after.messages().size() << "\n"
                                        << tail(pipe->out(), 4000);
  for (long n : numbers(after.messages())) arrived.push_back(n);
  std::map<long, int> copies;
  for (long n : arrived) ++copies[n];
  for (const auto& [n, count] : copies) EXPECT_LE(count, 2) << "text " << n;
  expect_first_arrivals_in_order(arrived);
  if (kResidentSizeMeaningful) {
    EXPECT_LT(rss_late - rss_early, 4096)
        << "RSS grew from " << rss_early << " to " << rss_late << " KiB during the outage";
  }
}

TEST_F(StoreAndForward, RandomKillsLoseNothingTheQueueStored) {
  // Input and output on brokers of their own; the output one stalls now and
  // then, so that the kills find texts stored and texts in flight.
  MosquittoBroker in_broker;
  MosquittoBroker out_broker;
  MqttTestClient collector(out_broker.port(), "sf-collector", true);
  ASSERT_TRUE(collector.subscribe("queue/out", 1));
  const std::string chain = R"({
    "blocks": {
      "in": {"type": "ZEBIN", "config": {"transport_addr": "$IN_BROKER", "method": "SUB",
             "node_ref": "queue/in", "options": {"qos": 1, "clientid": "sf-in"}}},
      "q": {"type": "ZEBOUTQUEUE", "config": {"transport_addr": "$BROKER", "method": "PUB",
            "node_ref": "queue/out", "options": {"qos": 1, "clientid": "sf-out"},
            "directory": "$QUEUE_DIR", "max_in_flight": 16, "max_cache_size": 200,
            "max_cache_size_units": "mb"}}
    },
    "mappings": {"in:output": "q:input"}
  })";
  const auto start = [&] {
    return weft_test::run_weft_pipe(chain, {{"healthcheck_path", weft_test::temp_path("health")},
                                            {"BROKER", out_broker.url()},
                                            {"IN_BROKER", in_broker.url()},
                                            {"QUEUE_DIR", queue_dir_}});
  };
  // The first run makes the persistent input session; from then on the broker
  // keeps what arrives while the program is down.
  auto pipe = start();
  MqttTestClient publisher(in_broker.port());
  std::this_thread::sleep_for(1s);

  constexpr long kMessages = 10000;
  constexpr int kKills = 20;
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> pause_ms(200, 600);
  std::set<long> must_arrive;
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    // 2,000 messages a second, in steps of a millisecond.
    for (long n = 0; n < kMessages; n += 2) {
      publisher.publish("queue/in", "n " + std::to_string(n), 1);
      publisher.publish("queue/in", "n " + std::to_string(n + 1), 1);
      std::this_thread::sleep_for(1ms);
    }
    feeding = false;
  });
  std::thread staller([&] {
    while (feeding) {
      out_broker.pause();
      std::this_thread::sleep_for(300ms);
      out_broker.resume();
      std::this_thread::sleep_for(400ms);
    }
  });
  for (int kill = 0; kill < kKills; ++kill) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(random)));
    pipe->kill();
    // Everything stored must arrive: what is still queued later, what is
    // marked consumed because the broker has acknowledged it.
    const StoredRecords records = read_queue(queue_dir_);
    for (const auto* texts : {&records.unconsumed, &records.consumed}) {
      for (const std::string& text : *texts) {
        if (text.rfind("n ", 0) == 0) must_arrive.insert(number_of(text));
      }
    }
    pipe = start();
  }
  feeder.join();
  staller.join();

  // The last run carries the rest; give it time to go quiet.
  size_t seen = 0;
  for (int quiet = 0; quiet < 6;) {
    std::this_thread::sleep_for(500ms);
    const size_t now = collector.messages().size();
    quiet = now == seen ? quiet + 1 : 0;
    seen = now;
  }
  const std::vector<long> arrived = numbers(collector.messages());
  const std::set<long> distinct(arrived.begin(), arrived.end());
  std::vector<long> lost_stored;
  for (long n : must_arrive) {
    if (distinct.count(n) == 0) lost_stored.push_back(n);
  }
  const long missing = kMessages - static_cast<long>(distinct.size());
  const size_t duplicates = arrived.size() - distinct.size();
  std::printf(
      "store-and-forward: %ld sent, %d kills, %zu arrived, %ld missing (%zu of them seen in the "
      "queue at a kill), %zu duplicates, %zu texts seen in the queue at kills\n",
      kMessages, kKills, arrived.size(), missing, lost_stored.size(), duplicates,
      must_arrive.size());
  EXPECT_TRUE(lost_stored.empty())
      << lost_stored.size() << " stored texts never arrived, first n" << lost_stored.front();
  expect_first_arrivals_in_order(arrived);
  EXPECT_LE(duplicates, static_cast<size_t>(kKills * kWindow));
}
