// The MQTT plug-in, loaded by libzeb from build/ext_lib, against a real broker.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/mosquitto_broker.h"
#include "support/mqtt_test_client.h"
#include "zeb/client.h"
#include "zeb/registry_file.h"
#include "zeb/status.h"
#include "zeb/transport.h"

using namespace std::chrono_literals;
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
  zeb::IClient* make_client(const std::string& plane, const std::string& options_json) {
    auto registry = std::make_unique<zeb::RegistryFile>();
    EXPECT_TRUE(registry->add_plane(plane.c_str(), options_json.c_str()));
    EXPECT_TRUE(registry->append_rule(plane.c_str(), zeb::kMethodAny, ".*", ""));
    zeb::IClient* client = zeb::makeClient(registry.get());
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

TEST_F(MqttTransport, UnreachableBrokerGivesConnectionFailedAndIsRetried) {
  const int port = weft_test::free_port();
  zeb::IClient* client = make_client(
      "down", R"({"transport_addr":"mqtt-tcp://127.0.0.1:)" + std::to_string(port) + "\"}");
  Received received;
  EXPECT_EQ(client->pub("t"), zeb::kConnectionFailed);
  EXPECT_EQ(subscribe(client, "t", received), zeb::kConnectionFailed);
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

  // 256 unacknowledged messages go out at once; each further one waits up to
  // a second for acknowledgements that a frozen broker never sends.
  broker_.pause();
  const auto start = std::chrono::steady_clock::now();
  constexpr int kMessages = 256 + 3;
  for (int i = 0; i < kMessages; ++i) {
    std::string text = std::to_string(i);
    ASSERT_EQ(publisher->pub("acked/t", text.data(), text.size()), zeb::kSuccess);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2500ms);
  broker_.resume();

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
