// The monitoring endpoint of a running weft-pipe against real brokers: the
// counters of /metrics follow the messages sent, through an outage with a
// full queue; /health names the block that lost its broker or went silent;
// --check lists every problem of a configuration without running it.
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/mosquitto_broker.h"
#include "support/mqtt_test_client.h"
#include "support/weft_pipe_run.h"

using namespace std::chrono_literals;
using weft_test::ChildProcess;
using weft_test::MosquittoBroker;
using weft_test::MqttTestClient;

namespace {

struct Answer {
  int status = 0;
  std::string body;
};

Answer get(int port, const std::string& path) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(2, 0);
  client.set_read_timeout(5, 0);
  auto result = client.Get(path.c_str());
  if (!result) return {};
  return {result->status, result->body};
}

// The value of the sample `series` (name with its labels, as written) in a
// scrape; -1 when the scrape has no such sample.
double sample(const std::string& scrape, const std::string& series) {
  const std::string start = series + " ";
  size_t at = 0;
  while (at < scrape.size()) {
    const size_t end = scrape.find('\n', at);
    const std::string line =
        scrape.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (line.compare(0, start.size(), start) == 0) return std::stod(line.substr(start.size()));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return -1;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < until) {
    if (condition()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return condition();
}

// Waits until the sample reaches `value`; the last value seen otherwise.
double await_sample(int port, const std::string& series, double value,
                    std::chrono::milliseconds timeout = 10s) {
  double seen = -1;
  eventually(
      [&] {
        seen = sample(get(port, "/metrics").body, series);
        return seen == value;
      },
      timeout);
  return seen;
}

std::string in_series(const std::string& name, const std::string& block, const std::string& type) {
  return name + "{block=\"" + block + "\",type=\"" + type + "\"}";
}

// `weft-pipe --check` on `config`, written to a fresh file; ended when this returns.
std::unique_ptr<ChildProcess> check(const std::string& config) {
  static int files = 0;
  const std::string path = weft_test::temp_path("check-" + std::to_string(++files) + ".json");
  weft_test::write_file(path, config);
  auto process = std::make_unique<ChildProcess>(
      weft_test::build_dir() + "/weft-pipe", std::vector<std::string>{"--check", "-f", path},
      std::map<std::string, std::string>{
          {"ZEB_EXT_LIB_PATH", weft_test::build_dir() + "/ext_lib"}});
  process->wait_exit(20s);
  return process;
}

std::string dropped(const std::string& block, const std::string& type, const std::string& reason) {
  return "weft_block_messages_dropped_total{block=\"" + block + "\",type=\"" + type +
         "\",reason=\"" + reason + "\"}";
}

}  // namespace

// ZEBIN on one broker feeds ZEBOUTQUEUE on another. Every count is checked
// against what was sent; during the outage the queue fills to its budget and
// the rest is counted as dropped for it.
TEST(Monitoring, CountsFollowMessagesThroughAnOutageWithAFullQueue) {
  MosquittoBroker in_broker;
  MosquittoBroker out_broker;
  auto watcher = std::make_unique<MqttTestClient>(out_broker.port());
  ASSERT_TRUE(watcher->subscribe("plant/out", 1));
  const int port = weft_test::free_port();
  const std::string queue_dir = weft_test::temp_path("queue");
  const std::string config = R"({
    "service": {"listen": "127.0.0.1:)" +
                             std::to_string(port) + R"("},
    "blocks": {
      "in": {"type": "ZEBIN", "config": {"transport_addr": ")" +
                             in_broker.url() +
                             R"(", "method": "SUB", "node_ref": "plant/in",
                             "options": {"qos": 1, "clientid": "monitoring-in"}}},
      "out": {"type": "ZEBOUTQUEUE", "config": {"transport_addr": ")" +
                             out_broker.url() +
                             R"(", "method": "PUB", "node_ref": "plant/out",
                             "options": {"qos": 1}, "directory": ")" +
                             queue_dir +
                             R"(", "max_cache_size": 600, "max_cache_size_units": "b"}}
    },
    "mappings": {"in:output": "out:input"}
  })";
  auto weft = weft_test::run_weft_pipe(config, {});
  ASSERT_TRUE(
      weft->wait_for_output("Monitoring endpoint on http://127.0.0.1:" + std::to_string(port), 10s))
      << weft->err();
  ASSERT_TRUE(eventually([&] { return get(port, "/ready").status == 200; }, 10s))
      << get(port, "/ready").body;

  MqttTestClient sender(in_broker.port());
  const std::string twenty(20, 'a');
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(sender.publish("plant/in", twenty, 1));
  ASSERT_TRUE(watcher->wait_for(10, 10s));
  EXPECT_EQ(
      await_sample(port, in_series("weft_block_messages_out_total", "out", "ZEBOUTQUEUE"), 10), 10);
  std::string scrape = get(port, "/metrics").body;
  EXPECT_EQ(sample(scrape, in_series("weft_block_messages_in_total", "in", "ZEBIN")), 10);
  EXPECT_EQ(sample(scrape, in_series("weft_block_messages_out_total", "in", "ZEBIN")), 10);
  EXPECT_EQ(sample(scrape, in_series("weft_block_messages_in_total", "out", "ZEBOUTQUEUE")), 10);
  EXPECT_EQ(sample(scrape, "weft_queue_records{block=\"out\"}"), 0);
  EXPECT_EQ(sample(scrape, "weft_queue_stored_bytes{block=\"out\"}"), 0);
  EXPECT_EQ(sample(scrape, "weft_plane_connected{plane=\"in\"}"), 1);
  EXPECT_EQ(sample(scrape, "weft_plane_connected{plane=\"out\"}"), 1);
  EXPECT_EQ(sample(scrape, "weft_link_capacity{source=\"in:output\",sink=\"out:input\"}"), 32);
  EXPECT_EQ(sample(scrape, "weft_build_info{version=\"" WEFT_TEST_VERSION "\"}"), 1);
  for (const char* reason : {"overflow", "bad_input", "budget", "refused"}) {
    EXPECT_EQ(sample(scrape, dropped("out", "ZEBOUTQUEUE", reason)), 0) << reason;
  }
  EXPECT_EQ(get(port, "/health").status, 200);

  out_broker.stop();
  Answer health;
  ASSERT_TRUE(eventually(
      [&] {
        health = get(port, "/health");
        return health.status == 503;
      },
      10s));
  EXPECT_NE(health.body.find(R"({"block":"out","reason":"no connection to )" + out_broker.url()),
            std::string::npos)
      << health.body;
  EXPECT_EQ(health.body.find(R"("block":"in")"), std::string::npos) << health.body;
  EXPECT_EQ(await_sample(port, "weft_plane_connected{plane=\"out\"}", 0), 0);

  // Each record takes 50 bytes and a 16-byte header: nine fit the budget at
  // most, so some of the twelve must be dropped for it.
  const std::string fifty(50, 'b');
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(sender.publish("plant/in", fifty, 1));
  EXPECT_EQ(await_sample(port, in_series("weft_block_messages_in_total", "out", "ZEBOUTQUEUE"), 22),
            22);
  scrape = get(port, "/metrics").body;
  const double records = sample(scrape, "weft_queue_records{block=\"out\"}");
  const double budget_drops = sample(scrape, dropped("out", "ZEBOUTQUEUE", "budget"));
  EXPECT_GT(records, 0);
  EXPECT_LE(records, 9);
  EXPECT_EQ(records + budget_drops, 12);
  EXPECT_EQ(sample(scrape, "weft_queue_stored_bytes{block=\"out\"}"), records * 66);
  EXPECT_GE(sample(scrape, "weft_queue_disk_bytes{block=\"out\"}"), records * 66);
  EXPECT_LE(sample(scrape, "weft_queue_disk_bytes{block=\"out\"}"), 600);
  EXPECT_EQ(sample(scrape, in_series("weft_block_messages_out_total", "out", "ZEBOUTQUEUE")), 10);
  EXPECT_GT(sample(scrape, in_series("weft_block_errors_total", "out", "ZEBOUTQUEUE")), 0);

  // Held still while the broker comes back and a new watcher subscribes, so
  // nothing is published to a broker nobody listens on yet.
  ASSERT_EQ(::kill(weft->pid(), SIGSTOP), 0);
  watcher.reset();
  ASSERT_TRUE(out_broker.start());
  watcher = std::make_unique<MqttTestClient>(out_broker.port());
  ASSERT_TRUE(watcher->subscribe("plant/out", 1));
  ASSERT_EQ(::kill(weft->pid(), SIGCONT), 0);
  const size_t expected = static_cast<size_t>(records);
  ASSERT_TRUE(watcher->wait_for(expected, 40s))
      << watcher->messages().size() << " of " << expected << "\n"
      << get(port, "/metrics").body;
  EXPECT_EQ(await_sample(port, "weft_queue_records{block=\"out\"}", 0), 0);
  scrape = get(port, "/metrics").body;
  EXPECT_EQ(sample(scrape, in_series("weft_block_messages_out_total", "out", "ZEBOUTQUEUE")),
            10 + records);
  EXPECT_EQ(sample(scrape, "weft_queue_oldest_record_age_seconds{block=\"out\"}"), 0);
  EXPECT_GE(sample(scrape, "weft_plane_reconnects_total{plane=\"out\"}"), 1);
  EXPECT_EQ(sample(scrape, "weft_plane_reconnects_total{plane=\"in\"}"), 0);
  EXPECT_TRUE(eventually([&] { return get(port, "/health").status == 200; }, 10s));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(watcher->messages().size(), expected);
  for (const auto& message : watcher->messages()) EXPECT_EQ(message.second, fifty);
}

// An input whose connection stays up but that receives nothing for longer
// than "max_idle_s" takes the health file away and is named by /health; data
// brings both back.
TEST(Monitoring, SilentInputBecomesUnhealthyUntilDataComes) {
  MosquittoBroker broker;
  const int port = weft_test::free_port();
  const std::string health_file = weft_test::temp_path("healthy");
  const std::string config = R"({
    "service": {"listen": ")" +
                             std::to_string(port) + R"("},
    "blocks": {
      "quiet": {"type": "ZEBIN", "config": {"transport_addr": ")" +
                             broker.url() +
                             R"(", "method": "SUB", "node_ref": "plant/quiet", "max_idle_s": 2}},
      "sink": {"type": "DUMPSTRINGBLOCK", "config": {"output_method": "log"}}
    },
    "mappings": {"quiet:output": "sink:input"}
  })";
  auto weft = weft_test::run_weft_pipe(
      config, {{"healthcheck_path", health_file}, {"healthcheck_interval", "1"}});
  ASSERT_TRUE(weft->wait_for_output("Monitoring endpoint on http://127.0.0.1:", 10s));
  ASSERT_TRUE(eventually([&] { return get(port, "/ready").status == 200; }, 10s));
  EXPECT_EQ(get(port, "/health").status, 200);
  EXPECT_TRUE(weft_test::file_exists(health_file));

  Answer health;
  ASSERT_TRUE(eventually(
      [&] {
        health = get(port, "/health");
        return health.status == 503;
      },
      8s));
  EXPECT_NE(health.body.find(R"({"block":"quiet","reason":"no data for )"), std::string::npos)
      << health.body;
  EXPECT_TRUE(eventually([&] { return !weft_test::file_exists(health_file); }, 5s));
  EXPECT_TRUE(eventually(
      [&] { return weft->err().find("WARNING: block quiet: no data for") != std::string::npos; },
      5s))
      << weft->err();
  EXPECT_EQ(sample(get(port, "/metrics").body, in_series("weft_block_healthy", "quiet", "ZEBIN")),
            0);

  MqttTestClient sender(broker.port());
  ASSERT_TRUE(sender.publish("plant/quiet", "{}", 1));
  EXPECT_TRUE(eventually([&] { return get(port, "/health").status == 200; }, 5s));
  EXPECT_TRUE(eventually([&] { return weft_test::file_exists(health_file); }, 5s));
  EXPECT_EQ(sample(get(port, "/metrics").body,
                   in_series("weft_block_messages_in_total", "quiet", "ZEBIN")),
            1);
}

// Three faults in different places of one file: all three are listed, with
// the names of their blocks, and the check runs nothing.
TEST(Monitoring, CheckListsEveryProblemWithoutRunningAnything) {
  const std::string queue_dir = weft_test::temp_path("never-made");
  const std::string config = R"({
    "service": {"listen": "127.0.0.1:1"},
    "blocks": {
      "ghost": {"type": "NOSUCHBLOCK"},
      "publisher": {"type": "ZEBOUT", "config": {"transport_addr": "mqtt-tcp://127.0.0.1:1",
                                                 "method": "PUB"}},
      "store": {"type": "ZEBOUTQUEUE", "config": {"transport_addr": "carrier-pigeon://loft",
                "method": "PUB", "node_ref": "x", "directory": ")" +
                             queue_dir + R"("}},
      "source": {"type": "REPSTR", "config": {"test_string": "x"}}
    },
    "mappings": {"source:output": "store:input"}
  })";
  auto checked = check(config);
  ASSERT_EQ(checked->wait_exit(0ms), 1) << checked->err();
  const std::string err = checked->err();
  EXPECT_NE(err.find("ghost could not find block type: NOSUCHBLOCK"), std::string::npos) << err;
  EXPECT_NE(err.find("block: publisher of type: ZEBOUT\n\tUnable to find: node_ref"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("ERROR: block store: no transport plug-in serves the address "
                     "carrier-pigeon://loft"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find(": 3 problems"), std::string::npos) << err;
  EXPECT_FALSE(weft_test::file_exists(queue_dir));

  // The same chain with the faults mended passes, still without a queue directory.
  const std::string mended = R"({
    "blocks": {
      "store": {"type": "ZEBOUTQUEUE", "config": {"transport_addr": "mqtt-tcp://127.0.0.1:1",
                "method": "PUB", "node_ref": "x", "directory": ")" +
                             queue_dir + R"("}},
      "source": {"type": "REPSTR", "config": {"test_string": "x"}}
    },
    "mappings": {"source:output": "store:input"}
  })";
  auto rechecked = check(mended);
  ASSERT_EQ(rechecked->wait_exit(0ms), 0) << rechecked->err();
  EXPECT_NE(rechecked->out().find(": OK"), std::string::npos);
  EXPECT_FALSE(weft_test::file_exists(queue_dir));
}

// A link refused by the chain and a monitoring address that is no address
// are problems too.
TEST(Monitoring, CheckReportsBadLinksAndBadMonitoringAddress) {
  const std::string config = R"({
    "service": {"listen": "127.0.0.1:http"},
    "blocks": {"source": {"type": "REPSTR", "config": {"test_string": "x"}}},
    "mappings": {"source:output": "nowhere:input"}
  })";
  auto checked = check(config);
  ASSERT_EQ(checked->wait_exit(0ms), 1) << checked->err();
  const std::string err = checked->err();
  EXPECT_NE(err.find("ERROR: Unable to find block: nowhere"), std::string::npos) << err;
  EXPECT_NE(err.find("monitoring address \"127.0.0.1:http\""), std::string::npos) << err;
  EXPECT_NE(err.find(": 2 problems"), std::string::npos) << err;
}

namespace {

// The service manager's end of NOTIFY_SOCKET: a datagram socket in a temporary
// folder, collecting what the program sends.
class NotifySocket {
 public:
  NotifySocket() : path_(weft_test::temp_path("notify.sock")) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
  }
  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }

  // The next datagram within `timeout`, or "" when none came.
  std::string next(std::chrono::milliseconds timeout) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return "";
    char buffer[512];
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
  }
  // Every datagram that arrives within `span`.
  std::vector<std::string> collect(std::chrono::milliseconds span) {
    std::vector<std::string> got;
    const auto until = std::chrono::steady_clock::now() + span;
    for (auto now = std::chrono::steady_clock::now(); now < until;
         now = std::chrono::steady_clock::now()) {
      const std::string message =
          next(std::chrono::duration_cast<std::chrono::milliseconds>(until - now));
      if (!message.empty()) got.push_back(message);
    }
    return got;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

size_t count_of(const std::vector<std::string>& messages, const std::string& text) {
  return static_cast<size_t>(std::count(messages.begin(), messages.end(), text));
}

}  // namespace

// Run as a unit of Type=notify with a watchdog: ready is told once, the
// watchdog is fed at half its period while the chain is healthy and not while
// a broker is gone, and the stop is announced.
TEST(Monitoring, ServiceManagerHearsReadinessAndAWatchdogFedOnlyWhileHealthy) {
  MosquittoBroker broker;
  NotifySocket manager;
  ASSERT_TRUE(manager.bound());
  const std::string config = R"({
    "blocks": {
      "in": {"type": "ZEBIN", "config": {"transport_addr": ")" +
                             broker.url() +
                             R"(", "method": "SUB", "node_ref": "plant/in"}},
      "sink": {"type": "DUMPSTRINGBLOCK", "config": {"output_method": "log"}}
    },
    "mappings": {"in:output": "sink:input"}
  })";
  auto weft = weft_test::run_weft_pipe(
      config, {{"NOTIFY_SOCKET", manager.path()}, {"WATCHDOG_USEC", "400000"}});
  EXPECT_EQ(manager.next(10s), "READY=1") << weft->err();
  const auto healthy = manager.collect(1000ms);
  EXPECT_GE(count_of(healthy, "WATCHDOG=1"), 3u);
  EXPECT_EQ(count_of(healthy, "WATCHDOG=1"), healthy.size());

  broker.stop();
  // The loss is noticed within a feeding period or two; from then on, silence.
  manager.collect(1500ms);
  EXPECT_TRUE(manager.collect(1500ms).empty()) << weft->err();
  EXPECT_NE(weft->err().find("the service watchdog is no longer fed"), std::string::npos)
      << weft->err();

  ASSERT_TRUE(broker.start());
  EXPECT_EQ(manager.next(15s), "WATCHDOG=1");

  ASSERT_EQ(::kill(weft->pid(), SIGTERM), 0);
  std::string message;
  for (int i = 0; i < 20 && message != "STOPPING=1"; ++i) message = manager.next(2s);
  EXPECT_EQ(message, "STOPPING=1");
  EXPECT_EQ(weft->wait_exit(15s), 0) << weft->err();
}
