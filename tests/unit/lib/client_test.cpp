#include "zeb/client.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "unit/lib/log_capture.h"
#include "unit/lib/plugin_env.h"
#include "zeb/connection_mapping.h"
#include "zeb/registry_file.h"
#include "zeb/status.h"
#include "zeb/transport.h"

namespace {

using zeb::_Msg;

// What a subscription callback received, copied before the message is freed.
struct Delivery {
  zeb::IClient* client = nullptr;
  std::vector<std::string> planes;
  std::vector<std::string> topics;
  std::vector<std::string> payloads;
  bool nul_terminated = true;
  bool stamped = true;
};

void on_message(const char* plane, const char* topic, _Msg* msg, void* user) {
  auto* delivery = static_cast<Delivery*>(user);
  delivery->planes.emplace_back(plane != nullptr ? plane : "(null)");
  delivery->topics.emplace_back(topic);
  delivery->payloads.emplace_back(msg->data, msg->len);
  delivery->nul_terminated = delivery->nul_terminated && msg->data[msg->len] == '\0';
  delivery->stamped = delivery->stamped && msg->transport != nullptr;
  EXPECT_EQ(delivery->client->free_msg(msg), 1);
}

// Planes: p (loopback), d (a transport that only publishes, answering 501),
// b (the base transport), n (a scheme nobody serves).
class ClientTest : public PluginEnv {
 protected:
  void SetUp() override {
    PluginEnv::SetUp();
    // The duplicate plug-in also claims "loop"; loaded first, it leaves it to the loopback.
    search(dir("ext_lib_duplicate") + ":" + dir("ext_lib") + ":" + dir("ext_lib_base"));
    registry_ = std::make_unique<zeb::RegistryFile>();
    add("p", "loop://local");
    add("d", "dup://x");
    add("b", "base://x");
    add("n", "none://x");
    rule("p", zeb::kMethodAny, "v/(.*)", "store/$1");
    rule("p", zeb::kMethodPub | zeb::kMethodSub, "ps/.*", "");
    rule("p", zeb::kMethodAny, "twice/(.*)", "$1$1");
    rule("p", zeb::kMethodAny, "raw/.*", "");
    rule("d", zeb::kMethodAny, "d/.*", "");
    rule("b", zeb::kMethodAny, "b/.*", "");
    rule("n", zeb::kMethodAny, "n/.*", "");
    client_.reset(zeb::makeClient(registry_.get(), "client"));
    delivery_.client = client_.get();
  }
  void TearDown() override {
    client_.reset();
    registry_.reset();
    PluginEnv::TearDown();
  }
  void add(const char* plane, const std::string& addr) {
    ASSERT_TRUE(registry_->add_plane(plane, (R"({"transport_addr":")" + addr + "\"}").c_str()));
  }
  void rule(const char* plane, int methods, const char* pattern, const char* rewrite) {
    ASSERT_TRUE(registry_->append_rule(plane, methods, pattern, rewrite));
  }
  int publish(const std::string& ref, std::string payload) {
    return client_->pub(ref.c_str(), payload.data(), payload.size());
  }

  struct ClientDeleter {
    void operator()(zeb::IClient* client) const { zeb::freeClient(client); }
  };
  std::unique_ptr<zeb::RegistryFile> registry_;
  std::unique_ptr<zeb::IClient, ClientDeleter> client_;
  Delivery delivery_;
};

TEST_F(ClientTest, PublishReachesSubscriberOfRewrittenReference) {
  ASSERT_EQ(client_->sub("v/t", on_message, &delivery_), zeb::kSuccess);
  ASSERT_EQ(publish("v/t", std::string("a\0b", 3)), zeb::kSuccess);
  ASSERT_EQ(delivery_.payloads.size(), 1u);
  EXPECT_EQ(delivery_.payloads[0], std::string("a\0b", 3));
  EXPECT_EQ(delivery_.topics[0], "store/t");
  EXPECT_EQ(delivery_.planes[0], "p");
  EXPECT_TRUE(delivery_.nul_terminated);
  EXPECT_TRUE(delivery_.stamped);
  // Another reference rewritten to the same topic reaches the same subscriber;
  // an unrelated one does not.
  ASSERT_EQ(publish("v/u", "x"), zeb::kSuccess);
  EXPECT_EQ(delivery_.payloads.size(), 1u);
}

// Every completion a tracked publish reported, in order.
struct Completions {
  std::vector<std::pair<uint64_t, int>> calls;
  size_t delivered_before = 0;  // deliveries seen when the last completion came
  const Delivery* delivery = nullptr;
};

void on_done(void* user, uint64_t tag, int status) {
  auto* completions = static_cast<Completions*>(user);
  completions->calls.emplace_back(tag, status);
  if (completions->delivery != nullptr) {
    completions->delivered_before = completions->delivery->payloads.size();
  }
}

TEST_F(ClientTest, TrackedPublishCompletesOnceWithItsTag) {
  Completions completions;
  completions.delivery = &delivery_;
  ASSERT_EQ(client_->sub("v/t", on_message, &delivery_), zeb::kSuccess);
  char data[] = "abc";
  ASSERT_EQ(client_->pub_tracked("v/t", data, 3, on_done, &completions, 41), zeb::kSuccess);
  ASSERT_EQ(client_->pub_tracked("v/t", data, 1, on_done, &completions, 42), zeb::kSuccess);
  ASSERT_EQ(delivery_.payloads.size(), 2u);
  EXPECT_EQ(delivery_.payloads[0], "abc");
  EXPECT_EQ(delivery_.payloads[1], "a");
  EXPECT_EQ(delivery_.topics[1], "store/t");
  const std::vector<std::pair<uint64_t, int>> expected{{41, zeb::kSuccess}, {42, zeb::kSuccess}};
  EXPECT_EQ(completions.calls, expected);
  // Completed after the message was carried, not before.
  EXPECT_EQ(completions.delivered_before, 2u);
}

TEST_F(ClientTest, RefusedTrackedPublishNeverCompletes) {
  Completions completions;
  char data[] = "x";
  EXPECT_EQ(client_->pub_tracked("b/x", data, 1, on_done, &completions, 1),
            zeb::kUnsupportedMethod);
  EXPECT_EQ(client_->pub_tracked("nothing/x", data, 1, on_done, &completions, 2),
            zeb::kNodeNotFound);
  EXPECT_EQ(client_->pub_tracked("n/x", data, 1, on_done, &completions, 3),
            zeb::kTransportNotFound);
  EXPECT_EQ(client_->pub_tracked("v/t", data, 1, nullptr, &completions, 4), zeb::kInvalidOption);
  EXPECT_EQ(client_->pub_tracked("v/t", nullptr, 1, on_done, &completions, 5), zeb::kInvalidOption);
  // A client that is not the library's own supports none.
  struct Bare : zeb::IClient {
    int get(const char*, _Msg**) override { return 0; }
    int set(const char*, char*, size_t) override { return 0; }
    using IClient::pub;
    int pub(const char*, char*, size_t) override { return 0; }
    int sub(const char*, zeb::MessageCallback, void*) override { return 0; }
    int free_msg(_Msg*) override { return 0; }
  } bare;
  EXPECT_EQ(bare.pub_tracked("v/t", data, 1, on_done, &completions, 6), zeb::kUnsupportedMethod);
  EXPECT_TRUE(completions.calls.empty());
}

TEST_F(ClientTest, TrackedPublishCarriesTheTransportsOutcome) {
  ASSERT_TRUE(registry_->add_plane("f", R"({"transport_addr":"loop://f","complete":-6})"));
  rule("f", zeb::kMethodPub, "f/.*", "");
  std::unique_ptr<zeb::IClient, ClientDeleter> client(zeb::makeClient(registry_.get()));
  Completions completions;
  char data[] = "x";
  ASSERT_EQ(client->pub_tracked("f/x", data, 1, on_done, &completions, 9), zeb::kSuccess);
  const std::vector<std::pair<uint64_t, int>> expected{{9, zeb::kUnableToDeliver}};
  EXPECT_EQ(completions.calls, expected);
}

TEST_F(ClientTest, FreeingTheClientCompletesPendingPublishes) {
  ASSERT_TRUE(registry_->add_plane("h", R"({"transport_addr":"loop://h","complete":"hold"})"));
  rule("h", zeb::kMethodPub, "h/.*", "");
  std::unique_ptr<zeb::IClient, ClientDeleter> client(zeb::makeClient(registry_.get()));
  Completions completions;
  char data[] = "x";
  ASSERT_EQ(client->pub_tracked("h/1", data, 1, on_done, &completions, 1), zeb::kSuccess);
  ASSERT_EQ(client->pub_tracked("h/2", data, 1, on_done, &completions, 2), zeb::kSuccess);
  EXPECT_TRUE(completions.calls.empty());
  client.reset();
  const std::vector<std::pair<uint64_t, int>> expected{{1, zeb::kConnectionError},
                                                       {2, zeb::kConnectionError}};
  EXPECT_EQ(completions.calls, expected);
}

TEST_F(ClientTest, OneArgumentPublishSendsEmptyPayload) {
  ASSERT_EQ(client_->sub("ps/e", on_message, &delivery_), zeb::kSuccess);
  ASSERT_EQ(client_->pub("ps/e"), zeb::kSuccess);
  ASSERT_EQ(delivery_.payloads.size(), 1u);
  EXPECT_EQ(delivery_.payloads[0], "");
  EXPECT_TRUE(delivery_.nul_terminated);
}

TEST_F(ClientTest, SetThenGetReturnsStampedMessage) {
  std::string value = "{\"v\":1}";
  ASSERT_EQ(client_->set("v/k", value.data(), value.size()), zeb::kSuccess);
  _Msg* msg = nullptr;
  ASSERT_EQ(client_->get("v/k", &msg), zeb::kSuccess);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(std::string(msg->data, msg->len), value);
  EXPECT_EQ(msg->data[msg->len], '\0');
  zeb::Transport* loop = msg->transport;
  ASSERT_NE(loop, nullptr);
  EXPECT_STREQ(loop->get_transport_name(), "LOOPBACK");
  EXPECT_EQ(client_->free_msg(msg), 1);
}

TEST_F(ClientTest, TransportErrorsComeBackUnchanged) {
  _Msg* msg = reinterpret_cast<_Msg*>(1);
  EXPECT_EQ(client_->get("v/unset", &msg), zeb::kNotFoundOnRemote);
  EXPECT_EQ(msg, nullptr);
  ASSERT_EQ(client_->sub("v/s", on_message, &delivery_), zeb::kSuccess);
  EXPECT_EQ(client_->sub("v/s", on_message, &delivery_), zeb::kDuplicateSubscription);
  EXPECT_EQ(publish("d/x", "p"), zeb::kNotImplemented);
}

TEST_F(ClientTest, NoRuleForTheMethodIsNotFound) {
  _Msg* msg = nullptr;
  EXPECT_EQ(client_->get("ps/x", &msg), zeb::kNodeNotFound);
  EXPECT_EQ(publish("ps/x", "p"), zeb::kSuccess);
  EXPECT_EQ(publish("nothing", "p"), zeb::kNodeNotFound);
  EXPECT_EQ(publish(std::string(), "p"), zeb::kNodeNotFound);
  EXPECT_EQ(client_->pub(nullptr, nullptr, 0), zeb::kNodeNotFound);
}

TEST_F(ClientTest, SchemeWithoutTransportIsNotFound) {
  EXPECT_EQ(publish("n/x", "p"), zeb::kTransportNotFound);
}

TEST_F(ClientTest, UnsupportedMethodStopsBeforeTheTransport) {
  _Msg* msg = reinterpret_cast<_Msg*>(1);
  EXPECT_EQ(client_->get("d/x", &msg), zeb::kUnsupportedMethod);
  EXPECT_EQ(msg, nullptr);
  char data[] = "x";
  EXPECT_EQ(client_->set("d/x", data, 1), zeb::kUnsupportedMethod);
  EXPECT_EQ(client_->sub("d/x", on_message, &delivery_), zeb::kUnsupportedMethod);
}

TEST_F(ClientTest, BaseTransportSupportsNothing) {
  _Msg* msg = nullptr;
  char data[] = "x";
  EXPECT_EQ(client_->get("b/x", &msg), zeb::kUnsupportedMethod);
  EXPECT_EQ(client_->set("b/x", data, 1), zeb::kUnsupportedMethod);
  EXPECT_EQ(client_->pub("b/x", data, 1), zeb::kUnsupportedMethod);
  EXPECT_EQ(client_->sub("b/x", on_message, &delivery_), zeb::kUnsupportedMethod);
}

TEST_F(ClientTest, ReferenceMustFitTheTransportBuffer) {
  ASSERT_EQ(client_->sub(("raw/" + std::string(1019, 'r')).c_str(), on_message, &delivery_),
            zeb::kSuccess);
  EXPECT_EQ(publish("raw/" + std::string(1019, 'r'), "fits"), zeb::kSuccess);
  EXPECT_EQ(delivery_.payloads.size(), 1u);
  // Cut to 1023 bytes it would reach the subscriber above: refused instead.
  EXPECT_EQ(publish("raw/" + std::string(1020, 'r'), "cut"), zeb::kRegistryError);
  EXPECT_EQ(publish("raw/" + std::string(300000, 'r'), "huge"), zeb::kRegistryError);
  EXPECT_EQ(delivery_.payloads.size(), 1u);
  EXPECT_EQ(publish("twice/" + std::string(511, 'x'), "p"), zeb::kSuccess);
  EXPECT_EQ(publish("twice/" + std::string(512, 'x'), "p"), zeb::kRegistryError);
}

TEST_F(ClientTest, UnusableArgumentsAreRefusedEarly) {
  // -9 even for a reference no rule matches: nothing is looked up.
  EXPECT_EQ(client_->get("nothing", nullptr), zeb::kInvalidOption);
  EXPECT_EQ(client_->get("v/k", nullptr), zeb::kInvalidOption);
  EXPECT_EQ(client_->set("v/k", nullptr, 3), zeb::kInvalidOption);
  EXPECT_EQ(client_->pub("v/k", nullptr, 3), zeb::kInvalidOption);
  EXPECT_EQ(client_->sub("v/k", nullptr, nullptr), zeb::kInvalidOption);
  // The refused subscription left no trace behind.
  EXPECT_EQ(client_->sub("v/k", on_message, &delivery_), zeb::kSuccess);
  EXPECT_EQ(client_->set("v/k", nullptr, 0), zeb::kSuccess);
}

TEST_F(ClientTest, DefaultOperations) {
  EXPECT_EQ(client_->unsub("v/k"), zeb::kSuccess);
  EXPECT_EQ(client_->exists("v/k"), zeb::kSuccess);
}

TEST_F(ClientTest, FreeingMessages) {
  LogCapture capture("free_client");
  std::unique_ptr<zeb::IClient, ClientDeleter> logged(
      zeb::makeClient(registry_.get(), "free_client"));
  EXPECT_EQ(zeb::freeMsg(nullptr), 1);
  EXPECT_EQ(logged->free_msg(nullptr), 1);
  char data[] = "x";
  _Msg orphan{nullptr, 0, data, 1};
  EXPECT_EQ(zeb::freeMsg(&orphan), 0);
  EXPECT_EQ(logged->free_msg(&orphan), 0);
  const std::string log = capture.text();
  const auto line = log.find("ClientImpl::free_msg - Unable to free: Error code: 0");
  ASSERT_NE(line, std::string::npos);
  // Only the orphan was worth a line; freeing null was not.
  EXPECT_EQ(log.find("Unable to free", line + 30), std::string::npos);
}

TEST_F(ClientTest, ClientsOwnTheirTransports) {
  std::unique_ptr<zeb::IClient, ClientDeleter> other(zeb::makeClient(registry_.get()));
  Delivery second;
  second.client = other.get();
  ASSERT_EQ(client_->sub("v/t", on_message, &delivery_), zeb::kSuccess);
  ASSERT_EQ(other->sub("v/t", on_message, &second), zeb::kSuccess);
  ASSERT_EQ(other->pub("v/t", nullptr, 0), zeb::kSuccess);
  EXPECT_EQ(delivery_.payloads.size(), 0u);
  EXPECT_EQ(second.payloads.size(), 1u);
}

TEST(MakeClient, NullRegistryIsRefused) {
  try {
    zeb::makeClient(nullptr, "x");
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "NULL registry is not allowed");
  }
}

class MakeClientFromSource : public PluginEnv {
 protected:
  void SetUp() override {
    PluginEnv::SetUp();
    search(dir("ext_lib"));
  }
  void TearDown() override {
    zeb::freeClient(info_.client);
    delete info_.registry;
    PluginEnv::TearDown();
  }
  zeb::_client_info info_{0, nullptr, nullptr};
};

TEST_F(MakeClientFromSource, InlineRegistry) {
  LogCapture capture("made");
  ASSERT_EQ(zeb::makeClient(R"({"info":{"file_version":1},"config":{"p":{"transport_addr":)"
                            R"("loop://x"}},"mapping":[["p","set","k",""]]})",
                            "made", &info_),
            zeb::kSuccess);
  EXPECT_EQ(info_.status, zeb::kRegistryParsed);
  ASSERT_NE(info_.registry, nullptr);
  ASSERT_NE(info_.client, nullptr);
  char data[] = "v";
  EXPECT_EQ(info_.client->set("k", data, 1), zeb::kSuccess);
  EXPECT_NE(capture.text().find("ZEB client initialized"), std::string::npos);
}

TEST_F(MakeClientFromSource, EmptySourceGivesEmptyRegistry) {
  ASSERT_EQ(zeb::makeClient("", nullptr, &info_), zeb::kSuccess);
  EXPECT_EQ(info_.status, zeb::kRegistryNoSource);
  ASSERT_NE(info_.client, nullptr);
  EXPECT_EQ(info_.client->pub("k"), zeb::kNodeNotFound);
}

TEST_F(MakeClientFromSource, FailedLoadReturnsNothing) {
  info_.registry = reinterpret_cast<zeb::Registry*>(&info_);
  info_.client = reinterpret_cast<zeb::IClient*>(&info_);
  EXPECT_EQ(zeb::makeClient("{", nullptr, &info_), zeb::kRegistryError);
  EXPECT_EQ(info_.status, zeb::kRegistryBadDocument);
  EXPECT_EQ(info_.registry, nullptr);
  EXPECT_EQ(info_.client, nullptr);
  EXPECT_EQ(zeb::makeClient("", nullptr, nullptr), zeb::kInvalidOption);
}

class MappingTest : public PluginEnv {
 protected:
  void SetUp() override {
    PluginEnv::SetUp();
    search(dir("ext_lib"));
    ASSERT_TRUE(registry_.add_plane("up", R"({"transport_addr":"loop://a"})"));
    ASSERT_TRUE(registry_.add_plane("down", R"({"transport_addr":"loop://b","healthy":false})"));
    ASSERT_TRUE(registry_.add_plane("none", R"({"transport_addr":"none://b"})"));
    ASSERT_TRUE(registry_.append_rule("up", zeb::kMethodSub, "up/.*", nullptr));
    ASSERT_TRUE(registry_.append_rule("down", zeb::kMethodGet, "down/(.*)", "$1$1"));
    ASSERT_TRUE(registry_.append_rule("none", zeb::kMethodPub, "none/.*", nullptr));
    mapping_ = std::make_unique<zeb::ConnectionMapping>(registry_);
  }
  void TearDown() override {
    mapping_.reset();
    PluginEnv::TearDown();
  }
  zeb::RegistryFile registry_;
  std::unique_ptr<zeb::ConnectionMapping> mapping_;
};

TEST_F(MappingTest, ReportsTheTransportsHealthForAnyMethod) {
  zeb::ConnectionMetadata metadata;
  ASSERT_EQ(mapping_->get_metadata("up/1", &metadata), zeb::kSuccess);
  EXPECT_TRUE(metadata.healthy());
  ASSERT_EQ(mapping_->get_metadata("down/1", &metadata), zeb::kSuccess);
  EXPECT_FALSE(metadata.healthy());
}

TEST_F(MappingTest, FailuresLeaveTheResultAlone) {
  zeb::ConnectionMetadata metadata;
  metadata.healthy(true);
  EXPECT_EQ(mapping_->get_metadata("other", &metadata), zeb::kNodeNotFound);
  EXPECT_EQ(mapping_->get_metadata(nullptr, &metadata), zeb::kNodeNotFound);
  EXPECT_EQ(mapping_->get_metadata("none/1", &metadata), zeb::kTransportNotFound);
  EXPECT_EQ(mapping_->get_metadata(("down/" + std::string(511, 'x')).c_str(), &metadata),
            zeb::kSuccess);
  metadata.healthy(true);
  EXPECT_EQ(mapping_->get_metadata(("down/" + std::string(512, 'x')).c_str(), &metadata),
            zeb::kRegistryError);
  EXPECT_TRUE(metadata.healthy());
  EXPECT_EQ(mapping_->get_metadata(("up/" + std::string(300000, 'x')).c_str(), &metadata),
            zeb::kRegistryError);
  EXPECT_EQ(mapping_->get_metadata("up/1", nullptr), zeb::kInvalidOption);
}

struct StatusText {
  int code;
  const char* text;
};
void PrintTo(const StatusText& status, std::ostream* os) {
  *os << status.code;
}

class StatusToStr : public testing::TestWithParam<StatusText> {};

TEST_P(StatusToStr, Text) {
  EXPECT_STREQ(zeb::status_to_str(GetParam().code), GetParam().text);
}

// Codes whose text callers compare or show, and values outside the table.
INSTANTIATE_TEST_SUITE_P(
    Codes, StatusToStr,
    testing::Values(StatusText{200, "Success"}, StatusText{404, "Reference not found on remote"},
                    StatusText{-3, "Unsupported method for transport"},
                    StatusText{-17, "Encountered registry error"},
                    StatusText{-18, "Invalid Response"}, StatusText{-19, "Unknown status code"},
                    StatusText{0, "Unknown status code"}, StatusText{1001, "Unknown status code"}));

}  // namespace
