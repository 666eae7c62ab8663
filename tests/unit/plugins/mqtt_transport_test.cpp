// The MQTT plug-in, loaded by libzeb from build/ext_lib, against a real broker.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/fake_broker.h"
#include "support/mosquitto_broker.h"
#include "support/mqtt_test_client.h"
#include "support/test_certificates.h"
#include "unit/lib/log_capture.h"
#include "zeb/client.h"
#include "zeb/connection_mapping.h"
#include "zeb/registry_file.h"
#include "zeb/status.h"
#include "zeb/transport.h"

using namespace std::chrono_literals;
using weft_test::FakeBroker;
using weft_test::MosquittoBroker;
using weft_test::MqttTestClient;

namespace {

struct Received {
  std::mutex lock;
  std::vector<std::pair<std::string, std::string>> messages;
  std::vector<size_t> lengths;
  zeb::IClient* client = nullptr;

  size_t count() {
    std::lock_guard<std::mutex> guard(lock);
    return messages.size();
  }
  bool wait_for(size_t n, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (count() >= n) return true;
      std::this_thread::sleep_for(10ms);
    }
    return count() >= n;
  }
};

void collect(const char* plane, const char* topic, zeb::_Msg* msg, void* user) {
  auto* received = static_cast<Received*>(user);
  EXPECT_EQ(plane, nullptr);
  EXPECT_EQ(msg->data[msg->len], '\0');
  std::string body(msg->data, msg->len);
  const size_t length = msg->len;
  EXPECT_EQ(received->client->free_msg(msg), 1);
  // Recorded last: once the waiting test sees the count, it may end and take
  // `received` with it.
  std::lock_guard<std::mutex> guard(received->lock);
  received->messages.emplace_back(topic, std::move(body));
  received->lengths.push_back(length);
}

// Numbered payloads: "<i>:" then filler.
void number_payload(std::string& payload, int i) {
  const std::string head = std::to_string(i) + ":";
  payload.replace(0, head.size(), head);
}
std::string payload_number(const std::string& body) {
  return body.substr(0, body.find(':'));
}

class MqttTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("ZEB_EXT_LIB_PATH", (weft_test::build_dir() + "/ext_lib").c_str(), 1);
  }

  // A client over a registry with plane `plane` on the broker, all references.
  zeb::IClient* make_client(const std::string& plane, const std::string& options_json,
                            const char* log_name = nullptr) {
    auto registry = std::make_unique<zeb::RegistryFile>();
    EXPECT_TRUE(registry->add_plane(plane.c_str(), options_json.c_str()));
    EXPECT_TRUE(registry->append_rule(plane.c_str(), zeb::kMethodAny, ".*", ""));
    zeb::IClient* client = zeb::makeClient(registry.get(), log_name);
    registries_.push_back(std::move(registry));
    clients_.emplace_back(client);
    return client;
  }

  std::string plane_json(const std::string& extra = "") const {
    return R"({"transport_addr":")" + broker_.url() + "\"" + extra + "}";
  }

  void TearDown() override { free_clients(); }

  // Subscribes `client` to `topic`, delivering into `received`.
  int subscribe(zeb::IClient* client, const char* topic, Received& received) {
    received.client = client;
    return client->sub(topic, collect, &received);
  }

  // Publishes empty messages on `topic` until `received` gets one, so the
  // publisher's connection is open and the subscription active; what arrived
  // so far is then forgotten.
  void await_route(zeb::IClient* publisher, const char* topic, Received& received) {
    for (int i = 0; i < 100 && received.count() == 0; ++i) {
      ASSERT_EQ(publisher->pub(topic, nullptr, 0), zeb::kSuccess);
      std::this_thread::sleep_for(100ms);
    }
    ASSERT_GE(received.count(), 1u);
    std::this_thread::sleep_for(200ms);
    std::lock_guard<std::mutex> guard(received.lock);
    received.messages.clear();
    received.lengths.clear();
  }

  // Frees every client now; how long that took.
  std::chrono::steady_clock::duration free_clients() {
    const auto start = std::chrono::steady_clock::now();
    for (auto* client : clients_) zeb::freeClient(client);
    clients_.clear();
    return std::chrono::steady_clock::now() - start;
  }

  MosquittoBroker broker_;
  std::vector<std::unique_ptr<zeb::RegistryFile>> registries_;
  std::vector<zeb::IClient*> clients_;
};

}  // namespace

TEST_F(MqttTransport, PublishAndSubscribeCarryExactPayloads) {
  zeb::IClient* client = make_client("plane", plane_json());
  Received received;
  ASSERT_EQ(subscribe(client, "a/b", received), zeb::kSuccess);
  EXPECT_EQ(client->sub("a/b", collect, &received), zeb::kDuplicateSubscription);

  std::string binary("x\0y", 3);
  ASSERT_EQ(client->pub("a/b", binary.data(), binary.size()), zeb::kSuccess);
  ASSERT_EQ(client->pub("a/b"), zeb::kSuccess);  // empty payload
  ASSERT_TRUE(received.wait_for(2));
  EXPECT_EQ(received.messages[0], std::make_pair(std::string("a/b"), binary));
  EXPECT_EQ(received.messages[1], std::make_pair(std::string("a/b"), std::string()));
  EXPECT_EQ(received.lengths[1], 0u);
}

TEST_F(MqttTransport, GetAndSetAreUnsupported) {
  zeb::IClient* client = make_client("plane", plane_json());
  zeb::_Msg* msg = reinterpret_cast<zeb::_Msg*>(0x1);
  EXPECT_EQ(client->get("t", &msg), zeb::kUnsupportedMethod);
  EXPECT_EQ(msg, nullptr);
  char data[] = "v";
  EXPECT_EQ(client->set("t", data, 1), zeb::kUnsupportedMethod);
}

TEST_F(MqttTransport, UnreachableBrokerRefusesPublishesAtOnceAndKeepsSubscriptions) {
  const int port = weft_test::free_port();
  LogCapture capture("unreachable");
  zeb::IClient* client = make_client(
      "down", R"({"transport_addr":"mqtt-tcp://127.0.0.1:)" + std::to_string(port) + "\"}",
      "unreachable");
  Received received;
  EXPECT_EQ(client->pub("t"), zeb::kConnectionFailed);
  // Later publishes do not pay for a connect of their own.
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(client->pub("t"), zeb::kConnectionFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  // A subscription is kept for when the broker is there.
  EXPECT_EQ(subscribe(client, "t", received), zeb::kSuccess);
  EXPECT_EQ(client->sub("t", collect, &received), zeb::kDuplicateSubscription);
  free_clients();
  const std::string log = capture.text();
  EXPECT_NE(log.find("MQTT: Connection to 127.0.0.1:" + std::to_string(port) +
                     " failed: Connection refused; next attempt in 1 s"),
            std::string::npos)
      << log;
}

TEST_F(MqttTransport, AnUnknownHostIsReportedAsSuch) {
  LogCapture capture("nohost");
  zeb::IClient* client =
      make_client("nohost", R"({"transport_addr":"mqtt-tcp://no-such-host.invalid"})", "nohost");
  EXPECT_EQ(client->pub("t"), zeb::kConnectionFailed);
  free_clients();
  const std::string log = capture.text();
  EXPECT_NE(log.find("MQTT: Connection to no-such-host.invalid:1883 failed: host not found ("),
            std::string::npos)
      << log;
}

TEST_F(MqttTransport, BadOptionsAreReportedNotThrown) {
  zeb::IClient* client = make_client("bad", plane_json(R"(,"clientid":5)"));
  EXPECT_EQ(client->pub("t"), zeb::kInvalidOption);
}

TEST_F(MqttTransport, WildcardAndSharedSubscriptionsDeliver) {
  zeb::IClient* client = make_client("plane", plane_json());
  Received single, multi, shared;
  single.client = multi.client = shared.client = client;
  ASSERT_EQ(client->sub("plant/+/temp", collect, &single), zeb::kSuccess);
  zeb::IClient* other = make_client("other", plane_json());
  multi.client = other;
  ASSERT_EQ(other->sub("site/#", collect, &multi), zeb::kSuccess);
  zeb::IClient* third = make_client("third", plane_json());
  shared.client = third;
  ASSERT_EQ(third->sub("$share/group/shared/+", collect, &shared), zeb::kSuccess);
  std::this_thread::sleep_for(200ms);  // subscriptions reach the broker

  MqttTestClient publisher(broker_.port());
  publisher.publish("plant/line1/temp", "21.5");
  publisher.publish("plant/line1/pressure", "ignored");
  publisher.publish("site/a/b/c", "deep");
  publisher.publish("shared/x", "split");
  ASSERT_TRUE(single.wait_for(1));
  ASSERT_TRUE(multi.wait_for(1));
  ASSERT_TRUE(shared.wait_for(1));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(single.messages,
            (std::vector<std::pair<std::string, std::string>>{{"plant/line1/temp", "21.5"}}));
  EXPECT_EQ(multi.messages[0], std::make_pair(std::string("site/a/b/c"), std::string("deep")));
  EXPECT_EQ(shared.messages[0], std::make_pair(std::string("shared/x"), std::string("split")));
}

TEST_F(MqttTransport, QosOneWithClientIdKeepsASessionWhileAway) {
  Received received;
  {
    zeb::IClient* client =
        make_client("durable", plane_json(R"(,"qos":1,"clientid":"weft-durable")"));
    ASSERT_EQ(subscribe(client, "durable/t", received), zeb::kSuccess);
    std::this_thread::sleep_for(200ms);
    free_clients();
  }
  MqttTestClient publisher(broker_.port());
  ASSERT_TRUE(publisher.publish("durable/t", "while away", 1));
  std::this_thread::sleep_for(200ms);

  // The same client id picks the session up again: the broker kept the
  // subscription and the message.
  zeb::IClient* again = make_client("durable", plane_json(R"(,"qos":1,"clientid":"weft-durable")"));
  Received late;
  late.client = again;
  ASSERT_EQ(again->sub("durable/t", collect, &late), zeb::kSuccess);
  ASSERT_TRUE(late.wait_for(1));
  EXPECT_EQ(late.messages[0].second, "while away");
}

TEST_F(MqttTransport, SubscriptionResumesAfterBrokerRestart) {
  zeb::IClient* client = make_client("plane", plane_json());
  Received received;
  ASSERT_EQ(subscribe(client, "restart/t", received), zeb::kSuccess);
  broker_.stop();
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(broker_.start());
  // Back-off of 1 s, then 2 s, ...: publish until the subscription is back.
  MqttTestClient publisher(broker_.port());
  for (int i = 0; i < 100 && received.count() == 0; ++i) {
    publisher.publish("restart/t", "back");
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_GE(received.count(), 1u);
  EXPECT_EQ(received.messages[0].second, "back");
}

TEST_F(MqttTransport, DestroyingDuringBackoffDoesNotWait) {
  zeb::IClient* client = make_client("plane", plane_json());
  Received received;
  ASSERT_EQ(subscribe(client, "t", received), zeb::kSuccess);
  broker_.stop();
  std::this_thread::sleep_for(3500ms);  // the network thread is now in a 2 s or 4 s back-off
  EXPECT_LT(free_clients(), 1500ms);
}

TEST_F(MqttTransport, IdleConnectionIsKeptAliveAndClosesAtOnce) {
  zeb::IClient* client = make_client("plane", plane_json());
  Received received;
  ASSERT_EQ(subscribe(client, "idle/t", received), zeb::kSuccess);
  // Longer than the broker waits for a ping (one and a half keep-alive periods
  // of 5 s) plus the broker's own checking interval.
  std::this_thread::sleep_for(13s);
  MqttTestClient publisher(broker_.port());
  publisher.publish("idle/t", "still here");
  ASSERT_TRUE(received.wait_for(1, 3s));
  EXPECT_EQ(received.messages[0].second, "still here");
  const std::string log = broker_.log();
  ASSERT_NE(log.find("New client connected"), std::string::npos) << log;  // the log is read
  EXPECT_EQ(log.find("exceeded timeout"), std::string::npos) << log;

  EXPECT_LT(free_clients(), 1s);
}

TEST_F(MqttTransport, PublishesLargerThanTheSocketTakesArriveWholeAndInOrder) {
  zeb::IClient* client = make_client("plane", plane_json());
  Received received;
  ASSERT_EQ(subscribe(client, "bulk/t", received), zeb::kSuccess);
  constexpr int kMessages = 400;
  std::string payload(64 * 1024, 'x');
  for (int i = 0; i < kMessages; ++i) {
    number_payload(payload, i);
    ASSERT_EQ(client->pub("bulk/t", payload.data(), payload.size()), zeb::kSuccess);
  }
  ASSERT_TRUE(received.wait_for(kMessages, 30s));
  for (int i = 0; i < kMessages; ++i) {
    const std::string& body = received.messages[i].second;
    ASSERT_EQ(body.size(), payload.size());
    EXPECT_EQ(payload_number(body), std::to_string(i));
  }
}

TEST_F(MqttTransport, AcknowledgedPublishingWaitsWhileTheBrokerIsSilent) {
  zeb::IClient* subscriber = make_client("in", plane_json(R"(,"qos":1)"));
  Received received;
  ASSERT_EQ(subscribe(subscriber, "acked/t", received), zeb::kSuccess);
  zeb::IClient* publisher = make_client("out", plane_json(R"(,"qos":1)"));
  await_route(publisher, "acked/t", received);

  // 256 unacknowledged messages go out at once; the next one waits for an
  // acknowledgement that a frozen broker does not send.
  broker_.pause();
  constexpr int kMessages = 256 + 1;
  for (int i = 0; i < kMessages - 1; ++i) {
    std::string text = std::to_string(i);
    ASSERT_EQ(publisher->pub("acked/t", text.data(), text.size()), zeb::kSuccess);
  }
  auto last = std::async(std::launch::async, [publisher] {
    std::string text = std::to_string(kMessages - 1);
    return publisher->pub("acked/t", text.data(), text.size());
  });
  EXPECT_EQ(last.wait_for(1500ms), std::future_status::timeout);
  broker_.resume();
  EXPECT_EQ(last.get(), zeb::kSuccess);

  ASSERT_TRUE(received.wait_for(kMessages, 20s));
  for (int i = 0; i < kMessages; ++i) EXPECT_EQ(received.messages[i].second, std::to_string(i));
}

TEST_F(MqttTransport, PublishingWaitsWhileTheBrokerReadsNothing) {
  zeb::IClient* subscriber = make_client("in", plane_json());
  Received received;
  ASSERT_EQ(subscribe(subscriber, "frozen/t", received), zeb::kSuccess);
  zeb::IClient* publisher = make_client("out", plane_json());
  await_route(publisher, "frozen/t", received);

  // Once the socket buffers are full, a publish waits instead of queueing
  // copies in the process.
  broker_.pause();
  std::string payload(256 * 1024, 'x');
  int sent = 0;
  bool waited = false;
  while (sent < 400 && !waited) {
    number_payload(payload, sent);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(publisher->pub("frozen/t", payload.data(), payload.size()), zeb::kSuccess);
    waited = std::chrono::steady_clock::now() - start >= 500ms;
    ++sent;
  }
  EXPECT_TRUE(waited) << sent << " publishes never waited for a frozen broker";
  broker_.resume();

  ASSERT_TRUE(received.wait_for(sent, 30s));
  for (int i = 0; i < sent; ++i) {
    const std::string& body = received.messages[i].second;
    EXPECT_EQ(payload_number(body), std::to_string(i));
  }
}

TEST_F(MqttTransport, APlaneOpenedToPublishSubscribesToo) {
  zeb::IClient* client = make_client("plane", plane_json());
  Received received;
  std::string before = "before";
  ASSERT_EQ(client->pub("mixed/t", before.data(), before.size()), zeb::kSuccess);
  ASSERT_EQ(subscribe(client, "mixed/t", received), zeb::kSuccess);
  // One connection: the subscription reaches the broker ahead of this message.
  std::string after = "after";
  ASSERT_EQ(client->pub("mixed/t", after.data(), after.size()), zeb::kSuccess);
  ASSERT_TRUE(received.wait_for(1));
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(received.count(), 1u);
  EXPECT_EQ(received.messages[0].second, "after");
}

namespace {

// Every completion of tracked publishes, by tag.
struct Completions {
  std::mutex lock;
  std::vector<std::pair<uint64_t, int>> calls;
  std::vector<std::thread::id> threads;

  static void record(void* user, uint64_t tag, int status) {
    auto* self = static_cast<Completions*>(user);
    std::lock_guard<std::mutex> guard(self->lock);
    self->calls.emplace_back(tag, status);
    self->threads.push_back(std::this_thread::get_id());
  }
  std::vector<std::pair<uint64_t, int>> snapshot() {
    std::lock_guard<std::mutex> guard(lock);
    return calls;
  }
  bool wait_for(size_t n, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (snapshot().size() < n && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(10ms);
    }
    return snapshot().size() >= n;
  }
};

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

long resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

}  // namespace

TEST_F(MqttTransport, TrackedPublishesCompleteWhenTheBrokerConfirms) {
  MqttTestClient watcher(broker_.port());
  ASSERT_TRUE(watcher.subscribe("tracked/#", 2));
  Completions completions;
  for (int qos = 0; qos <= 2; ++qos) {
    zeb::IClient* client =
        make_client("q" + std::to_string(qos), plane_json(",\"qos\":" + std::to_string(qos)));
    for (uint64_t i = 0; i < 3; ++i) {
      std::string text = std::to_string(qos) + "." + std::to_string(i);
      ASSERT_EQ(client->pub_tracked("tracked/t", text.data(), text.size(), Completions::record,
                                    &completions, qos * 10 + i),
                zeb::kSuccess);
    }
    EXPECT_EQ(client->pub_tracked("tracked/t", nullptr, 0, nullptr, nullptr, 99),
              zeb::kInvalidOption);
  }
  ASSERT_TRUE(completions.wait_for(9, 5s));
  auto calls = completions.snapshot();
  std::sort(calls.begin(), calls.end());
  const std::vector<std::pair<uint64_t, int>> expected{{0, 200},  {1, 200},  {2, 200},
                                                       {10, 200}, {11, 200}, {12, 200},
                                                       {20, 200}, {21, 200}, {22, 200}};
  EXPECT_EQ(calls, expected);
  ASSERT_TRUE(watcher.wait_for(9, 5s));
  {
    // Never from inside the publisher's own call, where it may hold its locks.
    std::lock_guard<std::mutex> guard(completions.lock);
    for (const auto& thread : completions.threads) EXPECT_NE(thread, std::this_thread::get_id());
  }
  free_clients();
  EXPECT_EQ(completions.snapshot().size(), 9u);  // exactly once each
}

TEST_F(MqttTransport, UnacknowledgedPublishesFailWhenTheConnectionGoesAndAreNotResent) {
  FakeBroker fake(FakeBroker::Behaviour{0, false, false});
  zeb::IClient* client =
      make_client("silent", R"({"transport_addr":")" + fake.url() + R"(","qos":1})");
  Completions completions;
  std::string head = "head";
  ASSERT_EQ(
      client->pub_tracked("t", head.data(), head.size(), Completions::record, &completions, 1),
      zeb::kSuccess);
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(completions.snapshot().empty());  // no PUBACK, no completion

  // The broker goes and refuses to take us back for a while: the pending
  // publish fails, and new ones are refused at once.
  fake.set_behaviour(FakeBroker::Behaviour{3, false, true});
  fake.drop_clients();
  ASSERT_TRUE(completions.wait_for(1, 3s));
  EXPECT_EQ(completions.snapshot()[0], std::make_pair(uint64_t{1}, int{zeb::kConnectionError}));
  std::string payload(10 * 1024, 'r');
  const long before = resident_kib();
  for (int i = 0; i < 5000; ++i) {
    ASSERT_EQ(client->pub_tracked("t", payload.data(), payload.size(), Completions::record,
                                  &completions, 100 + i),
              zeb::kConnectionFailed);
  }
  // 50 MB refused: nothing of it is kept.
  EXPECT_LT(resident_kib() - before, 8 * 1024);

  fake.set_behaviour(FakeBroker::Behaviour{});
  std::string next = "next";
  int result = zeb::kConnectionFailed;
  for (int i = 0; i < 100 && result != zeb::kSuccess; ++i) {
    result =
        client->pub_tracked("t", next.data(), next.size(), Completions::record, &completions, 2);
    if (result != zeb::kSuccess) std::this_thread::sleep_for(100ms);
  }
  ASSERT_EQ(result, zeb::kSuccess);
  ASSERT_TRUE(completions.wait_for(2, 3s));
  EXPECT_EQ(completions.snapshot()[1], std::make_pair(uint64_t{2}, int{zeb::kSuccess}));
  // The head went out once; libmosquitto did not send its own copy again.
  EXPECT_EQ(fake.payloads(), (std::vector<std::string>{"head", "next"}));
}

TEST_F(MqttTransport, PlainPublishesLostWithTheConnectionAreSentAgainInOrder) {
  FakeBroker fake(FakeBroker::Behaviour{0, false, false});
  zeb::IClient* client =
      make_client("plain", R"({"transport_addr":")" + fake.url() + R"(","qos":1})");
  for (std::string text : {"a", "b", "c"}) {
    ASSERT_EQ(client->pub("t", text.data(), text.size()), zeb::kSuccess);
  }
  for (int i = 0; i < 100 && fake.payloads().size() < 3; ++i) std::this_thread::sleep_for(20ms);
  ASSERT_EQ(fake.payloads().size(), 3u);

  // Lost unacknowledged: the plug-in's own copies go again once the broker is
  // back, ahead of anything published later, and libmosquitto's do not.
  fake.set_behaviour(FakeBroker::Behaviour{});
  fake.drop_clients();
  std::string next = "d";
  int result = zeb::kConnectionFailed;
  for (int i = 0; i < 100 && result != zeb::kSuccess; ++i) {
    result = client->pub("t", next.data(), next.size());
    if (result != zeb::kSuccess) std::this_thread::sleep_for(100ms);
  }
  ASSERT_EQ(result, zeb::kSuccess);
  for (int i = 0; i < 100 && fake.payloads().size() < 7; ++i) std::this_thread::sleep_for(20ms);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(fake.payloads(), (std::vector<std::string>{"a", "b", "c", "a", "b", "c", "d"}));
}

TEST_F(MqttTransport, FreeingCompletesUnacknowledgedPublishesWithoutHanging) {
  FakeBroker fake(FakeBroker::Behaviour{0, false, false});
  zeb::IClient* client =
      make_client("silent", R"({"transport_addr":")" + fake.url() + R"(","qos":2})");
  Completions completions;
  std::string text = "x";
  ASSERT_EQ(client->pub_tracked("t", text.data(), 1, Completions::record, &completions, 7),
            zeb::kSuccess);
  const auto took = free_clients();
  EXPECT_LT(took, 5s);
  EXPECT_EQ(completions.snapshot(),
            (std::vector<std::pair<uint64_t, int>>{{7, zeb::kConnectionError}}));
}

TEST_F(MqttTransport, EveryKindOfRefusalBacksOffAndSaysWhy) {
  FakeBroker unauthorised(FakeBroker::Behaviour{5, false, true});
  FakeBroker unavailable(FakeBroker::Behaviour{3, false, true});
  FakeBroker closing(FakeBroker::Behaviour{0, true, true});
  LogCapture capture("refusals");
  Received received;
  for (FakeBroker* fake : {&unauthorised, &unavailable, &closing}) {
    zeb::IClient* client = make_client("p" + std::to_string(fake->port()),
                                       R"({"transport_addr":")" + fake->url() + "\"}", "refusals");
    EXPECT_EQ(client->pub("t"), zeb::kConnectionFailed);
    EXPECT_EQ(subscribe(client, "s", received), zeb::kSuccess);
  }
  // Attempts at 0, 1, 3 and 7 s.
  std::this_thread::sleep_for(10s);
  free_clients();
  const std::string log = capture.text();
  for (FakeBroker* fake : {&unauthorised, &unavailable, &closing}) {
    EXPECT_GE(fake->connections(), 3) << fake->port();
    EXPECT_LE(fake->connections(), 5) << fake->port();
    // One line per attempt.
    const std::string line =
        "MQTT: Connection to 127.0.0.1:" + std::to_string(fake->port()) + " failed: ";
    EXPECT_EQ(occurrences(log, line), static_cast<size_t>(fake->connections())) << log;
  }
  EXPECT_NE(log.find("failed: refused by the broker: Connection Refused: not authorised."),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("failed: refused by the broker: Connection Refused: broker unavailable."),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("failed: closed by the broker before it answered"), std::string::npos) << log;
  EXPECT_NE(log.find("next attempt in 4 s"), std::string::npos) << log;
  EXPECT_EQ(received.count(), 0u);
}

TEST_F(MqttTransport, AHostThatDropsConnectsTimesOutWithinTheLimit) {
  weft_test::SynDropListener hanging;
  LogCapture capture("hanging");
  zeb::IClient* client = make_client(
      "hang", R"({"transport_addr":")" + hanging.url() + R"(","connect_timeout":1})", "hanging");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client->pub("t"), zeb::kConnectionFailed);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 2500ms);
  // The reconnect (after 1 s) is bounded the same way.
  std::this_thread::sleep_for(2500ms);
  EXPECT_LT(free_clients(), 1500ms);
  const std::string log = capture.text();
  EXPECT_EQ(occurrences(log, "failed: no answer within the connect timeout (1 s)"), 2u) << log;
}

TEST_F(MqttTransport, ALostBrokerMakesThePlaneUnhealthyUntilItReturns) {
  zeb::IClient* client = make_client("watched", plane_json());
  // The health check loads its own transport, as the program's health file does.
  zeb::RegistryFile& registry = *registries_.back();
  zeb::ConnectionMapping mapping(registry);
  const auto healthy = [&mapping] {
    zeb::ConnectionMetadata metadata;
    EXPECT_EQ(mapping.get_metadata("x", &metadata), zeb::kSuccess);
    return metadata.healthy();
  };
  const auto wait_health = [&](bool wanted, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (healthy() != wanted && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(50ms);
    }
    return healthy() == wanted;
  };
  EXPECT_TRUE(healthy());  // nothing attempted yet
  ASSERT_EQ(client->pub("t"), zeb::kSuccess);
  EXPECT_TRUE(healthy());
  broker_.stop();
  EXPECT_TRUE(wait_health(false, 3s));
  EXPECT_EQ(client->pub("t"), zeb::kConnectionFailed);
  ASSERT_TRUE(broker_.start());
  EXPECT_TRUE(wait_health(true, 10s));
  EXPECT_EQ(client->pub("t"), zeb::kSuccess);
}

TEST_F(MqttTransport, MessagesOverTheSizeLimitAreDroppedAndLogged) {
  LogCapture capture("sized");
  zeb::IClient* client = make_client("sized", plane_json(R"(,"max_message_size":1000)"), "sized");
  Received received;
  ASSERT_EQ(subscribe(client, "size/t", received), zeb::kSuccess);
  std::this_thread::sleep_for(300ms);
  MqttTestClient publisher(broker_.port());
  publisher.publish("size/t", std::string(1001, 'b'));
  publisher.publish("size/t", std::string(1000, 's'));
  ASSERT_TRUE(received.wait_for(1));
  std::this_thread::sleep_for(200ms);
  free_clients();
  EXPECT_EQ(received.count(), 1u);
  EXPECT_EQ(received.lengths[0], 1000u);
  const std::string log = capture.text();
  EXPECT_NE(log.find("Dropped a message of 1001 bytes on \"size/t\": larger than "
                     "max_message_size (1000 bytes)"),
            std::string::npos);
}

// A subscriber that takes its time: the connection stops reading, yet the
// broker never drops it for silence, and nothing is lost.
TEST_F(MqttTransport, ASlowSubscriberDoesNotCostTheConnection) {
  LogCapture capture("slow");
  zeb::IClient* client =
      make_client("slow", plane_json(R"(,"qos":1,"clientid":"weft-slow")"), "slow");
  struct Gate {
    std::atomic<bool> open{false};
    Received received;
  } gate;
  gate.received.client = client;
  const auto slow = [](const char* plane, const char* topic, zeb::_Msg* msg, void* user) {
    auto* self = static_cast<Gate*>(user);
    while (!self->open.load()) std::this_thread::sleep_for(10ms);
    collect(plane, topic, msg, &self->received);
  };
  ASSERT_EQ(client->sub("slow/t", slow, &gate), zeb::kSuccess);
  std::this_thread::sleep_for(300ms);
  MqttTestClient publisher(broker_.port());
  constexpr int kMessages = 2000;
  std::string payload(1024, 'p');
  for (int i = 0; i < kMessages; ++i) {
    number_payload(payload, i);
    ASSERT_TRUE(publisher.publish("slow/t", payload, 1));
  }
  // Longer than the broker waits for a sign of life (one and a half keep-alive
  // periods) plus its checking interval.
  std::this_thread::sleep_for(12s);
  gate.open = true;
  const bool all_arrived = gate.received.wait_for(kMessages, 30s);
  free_clients();
  // Taken before any check, which would otherwise report into the capture.
  const std::string log = capture.text();
  ASSERT_TRUE(all_arrived) << gate.received.count() << "\n" << log;
  const std::string broker_log = broker_.log();
  for (int i = 0; i < kMessages; ++i) {
    ASSERT_EQ(payload_number(gate.received.messages[i].second), std::to_string(i))
        << broker_log
        << log.substr(log.find("[error]") == std::string::npos ? log.size() : log.find("[error]"));
  }
  EXPECT_EQ(broker_log.find("exceeded timeout"), std::string::npos) << broker_log;
  EXPECT_EQ(log.find("lost:"), std::string::npos) << log;
}

// Messages read (and so acknowledged) before the client is freed reach the
// subscriber; the rest stay with the broker's session.
TEST_F(MqttTransport, FreeingLosesNoAcknowledgedMessage) {
  const std::string options = plane_json(R"(,"qos":1,"clientid":"weft-end")");
  zeb::IClient* client = make_client("end", options);
  Received first;
  first.client = client;
  const auto slow = [](const char* plane, const char* topic, zeb::_Msg* msg, void* user) {
    std::this_thread::sleep_for(2ms);
    collect(plane, topic, msg, user);
  };
  ASSERT_EQ(client->sub("end/t", slow, &first), zeb::kSuccess);
  std::this_thread::sleep_for(300ms);
  MqttTestClient publisher(broker_.port());
  constexpr int kMessages = 1000;
  for (int i = 0; i < kMessages; ++i) ASSERT_TRUE(publisher.publish("end/t", std::to_string(i), 1));
  ASSERT_TRUE(first.wait_for(10));
  free_clients();
  const size_t before_end = first.count();
  ASSERT_LT(before_end, static_cast<size_t>(kMessages)) << "the test needs a backlog";

  zeb::IClient* again = make_client("end", options);
  Received second;
  second.client = again;
  ASSERT_EQ(again->sub("end/t", collect, &second), zeb::kSuccess);
  std::vector<bool> seen(kMessages, false);
  const auto all_seen = [&] {
    std::fill(seen.begin(), seen.end(), false);
    for (Received* part : {&first, &second}) {
      std::lock_guard<std::mutex> guard(part->lock);
      for (const auto& message : part->messages) seen[std::stoul(message.second)] = true;
    }
    return std::count(seen.begin(), seen.end(), true) == kMessages;
  };
  for (int i = 0; i < 100 && !all_seen(); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(all_seen()) << std::count(seen.begin(), seen.end(), true) << " of " << kMessages;
}

// A broker frozen for longer than the keep-alive: the connection is given up,
// attempts against the frozen broker time out, and once it thaws publishing
// goes on.
TEST_F(MqttTransport, PublishingResumesAfterTheBrokerWasFrozen) {
  LogCapture capture("frozen");
  zeb::IClient* client =
      make_client("frozen", plane_json(R"(,"qos":1,"connect_timeout":2)"), "frozen");
  Completions completions;
  std::string text = "before";
  ASSERT_EQ(
      client->pub_tracked("f/t", text.data(), text.size(), Completions::record, &completions, 1),
      zeb::kSuccess);
  ASSERT_TRUE(completions.wait_for(1, 3s));
  broker_.pause();
  ASSERT_EQ(
      client->pub_tracked("f/t", text.data(), text.size(), Completions::record, &completions, 2),
      zeb::kSuccess);
  ASSERT_TRUE(completions.wait_for(2, 15s));
  EXPECT_EQ(completions.snapshot()[1], std::make_pair(uint64_t{2}, int{zeb::kConnectionError}));
  broker_.resume();
  int result = zeb::kConnectionFailed;
  for (int i = 0; i < 200 && result != zeb::kSuccess; ++i) {
    result = client->pub("f/t", text.data(), text.size());
    if (result != zeb::kSuccess) std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(result, zeb::kSuccess);
  free_clients();
  const std::string log = capture.text();
  EXPECT_NE(log.find("lost: no answer to a keep-alive ping within 5 s"), std::string::npos) << log;
}

// A wrong TLS option or a file that is not there is said once, at the first
// use of the plane, and no connection is attempted however often it is used.
TEST_F(MqttTransport, SecurityOptionsAreCheckedOnceBeforeAnyAttempt) {
  const std::string folder = weft_test::temp_path("tls-options");
  ::mkdir(folder.c_str(), 0700);
  const std::string file = folder + "/ca.crt";
  std::ofstream(file) << "not used";
  const std::string tls =
      R"({"transport_addr":"mqtts://127.0.0.1:)" + std::to_string(broker_.port()) + "\"";
  const std::pair<std::string, std::string> cases[] = {
      {tls + R"(,"ca_file":"/no/such/ca.crt"})",
       "ca_file \"/no/such/ca.crt\" cannot be used: No such file or directory"},
      {tls + R"(,"ca_dir":")" + file + "\"}",
       "ca_dir \"" + file + "\" cannot be used: not a folder"},
      {tls + R"(,"ca_file":")" + folder + "\"}",
       "ca_file \"" + folder + "\" cannot be used: not a file"},
      {tls + R"(,"cert_file":")" + file + "\"}", "cert_file and key_file go together"},
      {tls + R"(,"tls_version":"tlsv1.0"})",
       "tls_version must be \"tlsv1.2\" or \"tlsv1.3\", not \"tlsv1.0\""},
      {tls + R"(,"tls_insecure":"yes"})", "tls_insecure must be true or false"},
      {tls + R"(,"password":"secret"})", "password needs a username"},
      {tls + R"(,"username":7})", "username must be a text"},
      {plane_json(R"(,"ca_file":")" + file + "\""), "ca_file needs an mqtts:// transport address"},
      {plane_json(R"(,"tls_insecure":false)"), "tls_insecure needs an mqtts:// transport address"},
  };
  LogCapture capture("options");
  int index = 0;
  for (const auto& [options, reason] : cases) {
    zeb::IClient* client = make_client("bad" + std::to_string(index++), options, "options");
    Received received;
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(client->pub("t"), zeb::kInvalidOption) << options;
      EXPECT_EQ(subscribe(client, "t", received), zeb::kInvalidOption) << options;
    }
  }
  const std::string log = capture.text();
  index = 0;
  for (const auto& [options, reason] : cases) {
    const std::string plane = "bad" + std::to_string(index++);
    EXPECT_EQ(occurrences(log, "MQTT: Invalid plane options of " + plane + ": " + reason + "\n"),
              1u)
        << log;
  }
  EXPECT_EQ(occurrences(log, "MQTT: Connecting to"), 0u);
}

TEST_F(MqttTransport, TlsAddressesWithoutAPortUse8883) {
  LogCapture capture("tlsport");
  zeb::IClient* client = make_client(
      "tlsport", R"({"transport_addr":"mqtts://127.0.0.1","connect_timeout":1})", "tlsport");
  EXPECT_EQ(client->pub("t"), zeb::kConnectionFailed);
  free_clients();
  const std::string log = capture.text();
  EXPECT_NE(log.find("MQTT: Connecting to 127.0.0.1:8883"), std::string::npos) << log;
}

// A broker with a TLS listener that asks for user "weft" and password "pw".
class MqttTransportTls : public MqttTransport {
 protected:
  MqttTransportTls()
      : secure_(weft_test::BrokerSecurity{certs_.ca_file(),
                                          certs_.server_cert(),
                                          certs_.server_key(),
                                          {{"weft", "pw"}},
                                          "user weft\ntopic readwrite #\n"}) {}

  std::string tls_plane(const std::string& host, const std::string& extra = "") const {
    return R"({"transport_addr":"mqtts://)" + host + ":" + std::to_string(secure_.tls_port()) +
           R"(","username":"weft","password":"pw","ca_file":")" + certs_.ca_file() + "\"" + extra +
           "}";
  }

  weft_test::TestCertificates certs_;
  MosquittoBroker secure_;
};

// Publishes in flight when the connection is lost make the next attempt start
// from a re-initialised libmosquitto handle; it must log in over TLS again.
TEST_F(MqttTransportTls, AConnectionRebuiltAfterALossLogsInOverTlsAgain) {
  zeb::IClient* client = make_client("rebuilt", tls_plane("localhost", R"(,"qos":1)"));
  Received received;
  ASSERT_EQ(subscribe(client, "t", received), zeb::kSuccess);
  await_route(client, "t", received);

  secure_.pause();
  for (std::string text : {"a", "b", "c"}) {
    ASSERT_EQ(client->pub("t", text.data(), text.size()), zeb::kSuccess);
  }
  secure_.stop();
  ASSERT_TRUE(secure_.start());
  // Sent again, after the subscription was renewed, once the plane is back.
  ASSERT_TRUE(received.wait_for(3, 15s)) << secure_.log();
  std::lock_guard<std::mutex> guard(received.lock);
  std::vector<std::string> payloads;
  for (const auto& message : received.messages) payloads.push_back(message.second);
  EXPECT_EQ(payloads, (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(MqttTransportTls, TlsInsecureSkipsOnlyTheHostNameCheck) {
  LogCapture capture("insecure");
  zeb::IClient* by_address =
      make_client("address", tls_plane("127.0.0.1", R"(,"tls_insecure":true)"), "insecure");
  zeb::IClient* untrusted =
      make_client("untrusted",
                  R"({"transport_addr":"mqtts://127.0.0.1:)" + std::to_string(secure_.tls_port()) +
                      R"(","tls_insecure":true,"username":"weft","password":"pw","ca_file":")" +
                      certs_.other_ca_file() + "\"}",
                  "insecure");
  EXPECT_EQ(by_address->pub("t"), zeb::kSuccess);
  EXPECT_EQ(untrusted->pub("t"), zeb::kConnectionFailed);
  free_clients();
  const std::string log = capture.text();
  EXPECT_NE(
      log.find("MQTT: tls_insecure is set for address: the broker's host name is not checked"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("failed: the broker's certificate is not trusted: "), std::string::npos)
      << log;
}

// A server that takes the TCP connection and never answers the TLS hello:
// the attempt ends at the connect timeout, waiting for the answer rather than
// spinning on a handshake that wants to read.
TEST_F(MqttTransport, ASilentTlsServerTimesOutWithoutSpinning) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);  // never accepted: the kernel completes the connect
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  LogCapture capture("silent");
  zeb::IClient* client =
      make_client("silent",
                  R"({"transport_addr":"mqtts://127.0.0.1:)" +
                      std::to_string(ntohs(address.sin_port)) + R"(","connect_timeout":1})",
                  "silent");
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  EXPECT_EQ(client->pub("t"), zeb::kConnectionFailed);
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  free_clients();
  ::close(listener);
  const auto cpu_ms = [](const rusage& usage) {
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000L +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000L;
  };
  EXPECT_LT(cpu_ms(after) - cpu_ms(before), 300L);
  const std::string log = capture.text();
  EXPECT_EQ(occurrences(log, "failed: no answer within the connect timeout (1 s)"), 1u) << log;
}

// The figures a monitoring scrape reads through a connection mapping, which
// has a transport of its own: unconfirmed publishes while the broker is
// frozen, the state while it is gone, and the reconnection after.
TEST_F(MqttTransport, PlaneFiguresFollowPublishesAndReconnections) {
  zeb::IClient* client = make_client("figures", plane_json(R"(,"qos":1)"));
  zeb::ConnectionMapping mapping(*registries_.back());
  zeb::PlaneStats stats;
  EXPECT_EQ(mapping.get_stats("plant/figures", &stats), zeb::kNotImplemented);
  EXPECT_EQ(stats.connected, -1);

  char text[] = "x";
  ASSERT_EQ(client->pub("plant/figures", text, 1), zeb::kSuccess);
  const auto figures = [&] {
    zeb::PlaneStats now;
    EXPECT_EQ(mapping.get_stats("plant/figures", &now), zeb::kSuccess);
    return now;
  };
  const auto eventually = [](const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + 15s;
    while (!condition() && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(20ms);
    }
    return condition();
  };
  EXPECT_TRUE(eventually([&] { return figures().publishes_pending == 0; }));
  stats = figures();
  EXPECT_EQ(stats.connected, 1);
  EXPECT_EQ(stats.reconnects, 0);
  EXPECT_EQ(stats.items_created, -1);  // MQTT has no monitored items

  broker_.pause();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(client->pub("plant/figures", text, 1), zeb::kSuccess);
  EXPECT_TRUE(eventually([&] { return figures().publishes_pending == 3; }))
      << figures().publishes_pending;
  broker_.resume();
  EXPECT_TRUE(eventually([&] { return figures().publishes_pending == 0; }))
      << figures().publishes_pending;

  broker_.stop();
  EXPECT_TRUE(eventually([&] { return figures().connected == 0; }));
  EXPECT_EQ(figures().reconnects, 0);
  ASSERT_TRUE(broker_.start());
  EXPECT_TRUE(eventually([&] { return figures().connected == 1; }));
  EXPECT_EQ(figures().reconnects, 1);
}
