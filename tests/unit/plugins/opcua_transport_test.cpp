// The OPC UA plug-in, loaded by libzeb from build/ext_lib, against a real
// OPC UA server (tests/opcua_server).
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include "opcua_test_plane.h"
#include "zeb/opcua_value_record.h"

#include "support/loopback_socket.h"
#include "support/mosquitto_broker.h"
#include "support/opcua_test_server.h"
#include "zeb/client.h"
#include "zeb/connection_mapping.h"
#include "zeb/connection_metadata.h"
#include "zeb/log.h"
#include "zeb/registry_file.h"
#include "zeb/status.h"
#include "zeb/transport.h"

using namespace std::chrono_literals;
using weft_test::Clock;
using weft_test::collect;
using weft_test::OpcuaPlane;
using weft_test::OpcuaTestServer;
using weft_test::Received;

namespace {

// One server for the cases that do not stop it.
class OpcuaShared : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new OpcuaTestServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static OpcuaTestServer* server_;
};
OpcuaTestServer* OpcuaShared::server_ = nullptr;

}  // namespace

struct GetCase {
  const char* node;
  const char* json;
};

// One table per test: each test process starts a server of its own.
const GetCase kGetCases[] = {
    GetCase{"ns=1;s=ReadOnly.Boolean", R"({"type":"bool","val":true})"},
    GetCase{"ns=1;s=ReadOnly.SByte", R"({"type":"int8","val":-8})"},
    GetCase{"ns=1;s=ReadOnly.Byte", R"({"type":"uint8","val":200})"},
    GetCase{"ns=1;s=ReadOnly.Int16", R"({"type":"int16","val":-16})"},
    GetCase{"ns=1;s=ReadOnly.UInt16", R"({"type":"uint16","val":16})"},
    GetCase{"ns=1;s=ReadOnly.Int32", R"({"type":"int32","val":-32})"},
    GetCase{"ns=1;s=ReadOnly.UInt32", R"({"type":"uint32","val":32})"},
    GetCase{"ns=1;s=ReadOnly.Int64", R"({"type":"int64","val":-64})"},
    GetCase{"ns=1;s=ReadOnly.UInt64", R"({"type":"uint64","val":64})"},
    GetCase{"ns=1;s=ReadOnly.Float", R"({"type":"float","val":1.5})"},
    GetCase{"ns=1;s=ReadOnly.Double", R"({"type":"double","val":2.25})"},
    GetCase{"ns=1;s=ReadOnly.String", R"({"type":"string","val":"hello"})"},
    GetCase{"ns=1;s=ReadOnly.DateTime", R"({"type":"datetime","val":"2024-01-02T03:04:05.678Z"})"},
    GetCase{"ns=1;s=Array.Int32", R"({"type":"int32","val":[1,-2,3]})"},
    GetCase{"ns=1;s=Array.Double", R"({"type":"double","val":[0.5,1.25]})"},
    GetCase{"ns=1;s=Array.String", R"({"type":"string","val":["a","b"]})"},
    GetCase{"ns=1;s=Array.Boolean", R"({"type":"bool","val":[true,false]})"},
    GetCase{"ns=1;s=Array.Empty", R"({"type":"int32","val":[]})"},
    GetCase{"ns=1;s=Matrix.Byte", R"({"type":"uint8","val":[[1,2,3],[4,5,6]]})"},
    GetCase{"ns=1;s=ByteString", R"({"type":"bytestring","val":"AQID"})"},
    GetCase{"ns=1;s=Guid", R"({"type":"guid","val":"72962B91-FA75-4AE6-8D28-B404DC7DAF63"})"},
    GetCase{"ns=1;s=LocalizedText", R"({"type":"localizedtext","val":"Hi"})"},
    GetCase{"ns=1;s=NodeId", R"({"type":"nodeid","val":"i=85"})"},
    GetCase{"ns=1;s=StatusCode", R"({"type":"statuscode","val":2150891520})"},
    GetCase{"ns=1;s=QualifiedName", R"({"type":"qualifiedname","val":"1:Q"})"}};

TEST_F(OpcuaShared, GetReturnsTypeAndValueOfEveryType) {
  OpcuaPlane plane(server_->url());
  for (const GetCase& c : kGetCases) {
    SCOPED_TRACE(c.node);
    const auto [status, text] = plane.get(c.node);
    EXPECT_EQ(status, zeb::kSuccess);
    EXPECT_EQ(text, c.json);
  }
}

TEST_F(OpcuaShared, ServerClockIsAnIsoDateTime) {
  OpcuaPlane plane(server_->url());
  const auto [status, text] = plane.get("i=2258");
  ASSERT_EQ(status, zeb::kSuccess);
  // {"type":"datetime","val":"YYYY-MM-DDTHH:MM:SS.mmmZ"}
  ASSERT_EQ(text.size(), 52u) << text;
  EXPECT_EQ(text.substr(0, 28), R"({"type":"datetime","val":"20)");
  EXPECT_EQ(text[36], 'T') << text;
  EXPECT_EQ(text[45], '.') << text;
  EXPECT_EQ(text.substr(49), R"(Z"})") << text;
}

struct SetCase {
  const char* node;
  int32_t code;
  std::string bytes;  // native value bytes, or the text for string and datetime
  const char* json;   // what a get gives afterwards
};

template <typename T>
std::string native(T value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

const SetCase kSetCases[] = {
    SetCase{"ns=1;s=Boolean", opcua_value::kBool, native<uint8_t>(0),
            R"({"type":"bool","val":false})"},
    SetCase{"ns=1;s=SByte", opcua_value::kInt8, native<int8_t>(-100),
            R"({"type":"int8","val":-100})"},
    SetCase{"ns=1;s=Byte", opcua_value::kUint8, native<uint8_t>(255),
            R"({"type":"uint8","val":255})"},
    SetCase{"ns=1;s=Int16", opcua_value::kInt16, native<int16_t>(-30000),
            R"({"type":"int16","val":-30000})"},
    SetCase{"ns=1;s=UInt16", opcua_value::kUint16, native<uint16_t>(4464),
            R"({"type":"uint16","val":4464})"},
    SetCase{"ns=1;s=Int32", opcua_value::kInt32, native<int32_t>(-2000000000),
            R"({"type":"int32","val":-2000000000})"},
    SetCase{"ns=1;s=UInt32", opcua_value::kUint32, native<uint32_t>(4000000000u),
            R"({"type":"uint32","val":4000000000})"},
    SetCase{"ns=1;s=Int64", opcua_value::kInt64, native<int64_t>(-9000000000000000000LL),
            R"({"type":"int64","val":-9000000000000000000})"},
    SetCase{"ns=1;s=UInt64", opcua_value::kUint64, native<uint64_t>(18000000000000000000ULL),
            R"({"type":"uint64","val":18000000000000000000})"},
    SetCase{"ns=1;s=Float", opcua_value::kFloat, native<float>(0.1f),
            R"({"type":"float","val":0.1})"},
    SetCase{"ns=1;s=Double", opcua_value::kDouble, native<double>(12.5),
            R"({"type":"double","val":12.5})"},
    SetCase{"ns=1;s=String", opcua_value::kString, "grüße \"x\"",
            R"({"type":"string","val":"grüße \"x\""})"},
    SetCase{"ns=1;s=DateTime", opcua_value::kDatetime, "2025-06-30T12:34:56.789+02:00",
            R"({"type":"datetime","val":"2025-06-30T10:34:56.789Z"})"}};

TEST_F(OpcuaShared, SetWritesEveryTypeOnTheServer) {
  OpcuaPlane plane(server_->url());
  for (const SetCase& c : kSetCases) {
    SCOPED_TRACE(c.node);
    EXPECT_EQ(plane.set(c.node, c.code, c.bytes.data(), c.bytes.size()), zeb::kSuccess);
    EXPECT_EQ(plane.get(c.node),
              std::make_pair(static_cast<int>(zeb::kSuccess), std::string(c.json)));
  }
}

TEST_F(OpcuaShared, WrongNodeIs404AndWrongType400) {
  Received received;
  OpcuaPlane plane(server_->url());
  EXPECT_EQ(plane.get("ns=1;s=Missing").first, zeb::kNotFoundOnRemote);
  const int32_t value = 1;
  EXPECT_EQ(plane.set("ns=1;s=Missing", opcua_value::kInt32, &value, 4), zeb::kNotFoundOnRemote);
  // An Int32 into a Double node.
  EXPECT_EQ(plane.set("ns=1;s=Double", opcua_value::kInt32, &value, 4), zeb::kBadRequest);
  // A subscription is taken at once and created with the next batch; the
  // server's refusal leaves the node unhealthy (the connection is not) and
  // nothing arrives for it.
  EXPECT_EQ(plane.client()->sub("ns=1;s=Missing", collect, &received), zeb::kSuccess);
  std::this_thread::sleep_for(1s);
  EXPECT_FALSE(plane.healthy("ns=1;s=Missing"));
  EXPECT_TRUE(plane.healthy());
  EXPECT_EQ(received.count(), 0u);
}

TEST_F(OpcuaShared, ReadOnlyNodeIsNotWritten) {
  OpcuaPlane plane(server_->url());
  const double value = 7.5;
  const int status = plane.set("ns=1;s=ReadOnly.Double", opcua_value::kDouble, &value, 8);
  EXPECT_TRUE(status == zeb::kUnauthorized || status == zeb::kBadRequest) << status;
  EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Double").second, R"({"type":"double","val":2.25})");
}

TEST_F(OpcuaShared, BadRecordsAndReferencesAreRefusedLocally) {
  OpcuaPlane plane(server_->url());
  const int32_t value = 1;
  // Unknown code, wrong length, bad datetime text, short record, bad reference.
  EXPECT_EQ(plane.set("ns=1;s=Int32", 13, &value, 4), zeb::kBadRequest);
  EXPECT_EQ(plane.set("ns=1;s=Int32", opcua_value::kInt32, &value, 2), zeb::kBadRequest);
  EXPECT_EQ(plane.set("ns=1;s=DateTime", opcua_value::kDatetime, "yesterday", 9), zeb::kBadRequest);
  char shorter[8] = {};
  EXPECT_EQ(plane.client()->set("ns=1;s=Int32", shorter, sizeof shorter), zeb::kBadRequest);
  EXPECT_EQ(plane.get("ns=x;i=5").first, zeb::kBadRequest);
  EXPECT_EQ(plane.get("q=5").first, zeb::kBadRequest);
}

TEST_F(OpcuaShared, ValueLargerThanTheServerTakesIs413) {
  OpcuaPlane plane(server_->url());
  const std::string huge(70 * 1024 * 1024, 'x');
  EXPECT_EQ(plane.set("ns=1;s=String", opcua_value::kString, huge.data(), huge.size()),
            zeb::kPayloadTooLarge);
  // Nothing was sent, so the connection is still good.
  EXPECT_EQ(plane.get("ns=1;s=ReadOnly.UInt16").second, R"({"type":"uint16","val":16})");
}

TEST_F(OpcuaShared, SubscriptionDeliversChangesWithTheReferenceAsTopic) {
  Received received;
  OpcuaPlane plane(server_->url(), R"(,"publishing_interval_ms":100,"sampling_interval_ms":50)");
  ASSERT_EQ(plane.client()->sub("ns=1;s=Counter", collect, &received), zeb::kSuccess);
  EXPECT_EQ(plane.client()->sub("ns=1;s=Counter", collect, &received), zeb::kDuplicateSubscription);
  ASSERT_TRUE(received.wait_for(4));
  int64_t previous = -1;
  for (size_t i = 0; i < 4; ++i) {
    const auto [topic, payload] = received.at(i);
    EXPECT_EQ(topic, "ns=1;s=Counter");
    ASSERT_EQ(payload.rfind(R"({"type":"int32","val":)", 0), 0u) << payload;
    const int64_t value = std::stoll(payload.substr(22));
    EXPECT_GT(value, previous);
    previous = value;
  }
  EXPECT_EQ(received.planes.at(0), "plane");
}

TEST_F(OpcuaShared, SubscribedWriteComesBack) {
  Received received;
  Received strings;
  OpcuaPlane plane(server_->url(), R"(,"publishing_interval_ms":100)");
  ASSERT_EQ(plane.client()->sub("ns=1;s=Array.Double", collect, &received), zeb::kSuccess);
  ASSERT_TRUE(received.wait_for(1));  // the initial value
  OpcuaPlane writer(server_->url());
  ASSERT_EQ(writer.set("ns=1;s=String", opcua_value::kString, "x", 1), zeb::kSuccess);
  ASSERT_EQ(plane.client()->sub("ns=1;s=String", collect, &strings), zeb::kSuccess);
  ASSERT_TRUE(strings.wait_for(1));
  ASSERT_EQ(writer.set("ns=1;s=String", opcua_value::kString, "after", 5), zeb::kSuccess);
  ASSERT_TRUE(strings.wait_for(2));
  EXPECT_EQ(strings.at(1).second, R"({"type":"string","val":"after"})");
}

// ---- connection loss, restart and keep-alive: a server of their own each ----

namespace {

// Options that make the tests quick: short back-off, short keep-alive window.
const char* const kQuick =
    R"(,"timeout_ms":2000,"reconnect_max_ms":500,"publishing_interval_ms":100,)"
    R"("sampling_interval_ms":50,"keep_alive_count":5)";

int64_t elapsed_ms(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

}  // namespace

TEST(OpcuaConnection, NoServerFailsFastAndIsUnhealthy) {
  const int port = weft_test::free_port();
  Received received;
  OpcuaPlane plane("opc.tcp://127.0.0.1:" + std::to_string(port), kQuick);
  const auto start = Clock::now();
  EXPECT_EQ(plane.get("ns=1;s=Int32").first, zeb::kConnectionFailed);
  const int32_t value = 1;
  EXPECT_EQ(plane.set("ns=1;s=Int32", opcua_value::kInt32, &value, 4), zeb::kConnectionFailed);
  EXPECT_EQ(plane.client()->sub("ns=1;s=Counter", collect, &received), zeb::kConnectionFailed);
  EXPECT_LT(elapsed_ms(start), 2000);
  EXPECT_FALSE(plane.healthy());
}

TEST(OpcuaConnection, BadPlaneOptionsAreReported) {
  OpcuaPlane wrong_scheme("nosuch://127.0.0.1:1", "", "p1");
  EXPECT_EQ(wrong_scheme.get("i=2258").first, zeb::kTransportNotFound);
  OpcuaPlane bad_option("opc.tcp://127.0.0.1:1", R"(,"timeout_ms":"soon")", "p2");
  EXPECT_EQ(bad_option.get("i=2258").first, zeb::kInvalidOption);
  OpcuaPlane bad_range("opc.tcp://127.0.0.1:1", R"(,"queue_size":0)", "p3");
  EXPECT_EQ(bad_range.get("i=2258").first, zeb::kInvalidOption);
  EXPECT_FALSE(bad_range.healthy());
}

TEST(OpcuaConnection, ServerRestartRestoresTheSubscriptionWithoutANewSub) {
  OpcuaTestServer server;
  Received received;
  OpcuaPlane plane(server.url(), kQuick);
  ASSERT_EQ(plane.client()->sub("ns=1;s=Counter", collect, &received), zeb::kSuccess);
  ASSERT_TRUE(received.wait_for(2));
  EXPECT_TRUE(plane.healthy());

  server.stop();
  ASSERT_TRUE(plane.wait_healthy(false, 3s));
  const auto start = Clock::now();
  EXPECT_EQ(plane.get("ns=1;s=Int32").first, zeb::kConnectionFailed);
  const int32_t value = 1;
  EXPECT_EQ(plane.set("ns=1;s=Int32", opcua_value::kInt32, &value, 4), zeb::kConnectionFailed);
  EXPECT_LT(elapsed_ms(start), 2000);
  const size_t before = received.count();

  ASSERT_TRUE(server.start());
  ASSERT_TRUE(plane.wait_healthy(true, 20s));
  // A new server counts from 0 again: values below the last one prove delivery
  // from the new session.
  ASSERT_TRUE(received.wait_for(before + 3));
  const auto [topic, payload] = received.at(received.count() - 1);
  EXPECT_EQ(topic, "ns=1;s=Counter");
  EXPECT_EQ(payload.rfind(R"({"type":"int32","val":)", 0), 0u) << payload;
  EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32"),
            std::make_pair(static_cast<int>(zeb::kSuccess),
                           std::string(R"({"type":"int32","val":-32})")));
}

TEST(OpcuaConnection, ItemRefusedAfterRestartIsRetriedUntilCreated) {
  OpcuaTestServer server({"--late", "0"});
  Received received;
  OpcuaPlane plane(server.url(), kQuick);
  // Wait for the node to exist, as a subscribe block would by retrying.
  const auto end = Clock::now() + 10s;
  int status = zeb::kNotFoundOnRemote;
  while (status != zeb::kSuccess && Clock::now() < end) {
    status = plane.client()->sub("ns=1;s=Late", collect, &received);
    if (status != zeb::kSuccess) std::this_thread::sleep_for(100ms);
  }
  ASSERT_EQ(status, zeb::kSuccess);
  ASSERT_TRUE(received.wait_for(2));

  server.stop();
  ASSERT_TRUE(plane.wait_healthy(false, 3s));
  // The restarted server adds the node only 3 s after it is up.
  ASSERT_TRUE(server.start({"--late", "3000"}));
  ASSERT_TRUE(plane.wait_healthy(true, 20s));
  const size_t before = received.count();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(received.count(), before);  // not there yet
  ASSERT_TRUE(received.wait_for(before + 2, 15s));
  EXPECT_EQ(received.at(received.count() - 1).first, "ns=1;s=Late");
}

TEST(OpcuaConnection, SilentServerIsLostAfterTheKeepAliveWindow) {
  OpcuaTestServer server;
  OpcuaPlane plane(server.url(), kQuick);
  // The client and the connection mapping share the plane's connection.
  ASSERT_EQ(plane.get("ns=1;s=ReadOnly.Int16").first, zeb::kSuccess);
  ASSERT_TRUE(plane.wait_healthy(true, 10s));
  server.pause();
  const auto start = Clock::now();
  // Window 100 ms x 5 plus the 2 s margin.
  ASSERT_TRUE(plane.wait_healthy(false, 6s));
  EXPECT_GE(elapsed_ms(start), 2000);
  const auto call = Clock::now();
  const int status = plane.get("ns=1;s=Int32").first;
  EXPECT_EQ(status, zeb::kConnectionFailed);
  EXPECT_LT(elapsed_ms(call), 2500);
  server.resume();
  EXPECT_TRUE(plane.wait_healthy(true, 20s));
  const auto end = Clock::now() + 10s;
  std::pair<int, std::string> got;
  do {
    got = plane.get("ns=1;s=ReadOnly.Int16");
    if (got.first != zeb::kSuccess) std::this_thread::sleep_for(100ms);
  } while (got.first != zeb::kSuccess && Clock::now() < end);
  EXPECT_EQ(got, std::make_pair(static_cast<int>(zeb::kSuccess),
                                std::string(R"({"type":"int16","val":-16})")));
}

TEST(OpcuaConnection, ServerSlowerThanTheKeepAliveButWithinTheTimeoutIsKept) {
  OpcuaTestServer server;
  // Keep-alive window 0.5 s, request timeout 6 s: a server that stalls for 4 s
  // (an overloaded one does) must not cost the connection and its items.
  OpcuaPlane plane(server.url(), std::string(kQuick) + R"(,"timeout_ms":6000)");
  Received received;
  ASSERT_EQ(plane.client()->sub("ns=1;s=Ramp", collect, &received), zeb::kSuccess);
  ASSERT_TRUE(plane.wait_healthy(true, 10s));
  ASSERT_TRUE(received.wait_for(1));
  server.pause();
  const auto end = Clock::now() + 4s;
  bool kept = true;
  while (Clock::now() < end && kept) {
    kept = plane.healthy();
    std::this_thread::sleep_for(50ms);
  }
  server.resume();
  EXPECT_TRUE(kept) << "connection dropped while the server was only slow";
  const size_t before = received.count();
  EXPECT_TRUE(received.wait_for(before + 5));
  EXPECT_TRUE(plane.healthy());
}

TEST(OpcuaConnection, BusySubscriptionStaysConnectedAndTokensAreRenewed) {
  OpcuaTestServer server;
  // Token lifetime 2.5 s (the server's floor): renewed every ~1.9 s.
  Received received;
  OpcuaPlane plane(server.url(), std::string(kQuick) + R"(,"token_lifetime_ms":2500)");
  ASSERT_EQ(plane.client()->sub("ns=1;s=Ramp", collect, &received), zeb::kSuccess);
  ASSERT_TRUE(received.wait_for(1));
  const auto end = Clock::now() + 7s;
  int reads = 0;
  while (Clock::now() < end) {
    ASSERT_TRUE(plane.healthy());
    ASSERT_EQ(plane.get("ns=1;s=ReadOnly.Byte").first, zeb::kSuccess);
    ++reads;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_GT(reads, 50);
  // About 10 changes a second, each value once and rising.
  EXPECT_GT(received.count(), 40u);
  std::lock_guard<std::mutex> guard(received.lock);
  double previous = -1;
  for (const auto& [topic, payload] : received.messages) {
    const double value = std::stod(payload.substr(std::strlen(R"({"type":"double","val":)")));
    EXPECT_GT(value, previous) << payload;
    previous = value;
  }
}

namespace {

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

}  // namespace

// A PLC allows a handful of sessions: the health check must not take one of
// its own, and must report the connection that carries the data.
TEST(OpcuaConnection, HealthCheckUsesThePlanesOneSession) {
  OpcuaTestServer server;
  Received received;
  OpcuaPlane plane(server.url(), kQuick);
  ASSERT_EQ(plane.client()->sub("ns=1;s=Counter", collect, &received), zeb::kSuccess);
  ASSERT_TRUE(received.wait_for(2));
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(plane.healthy());
    EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int16").first, zeb::kSuccess);
  }
  const std::string log = server.log();
  EXPECT_EQ(occurrences(log, "channel opened"), 1u) << log;
  EXPECT_EQ(occurrences(log, "session created"), 1u) << log;
  // The health is that of the data connection: when it is lost, so is health.
  server.pause();
  EXPECT_TRUE(plane.wait_healthy(false, 6s));
  const size_t before = received.count();
  server.resume();
  EXPECT_TRUE(plane.wait_healthy(true, 20s));
  EXPECT_TRUE(received.wait_for(before + 2));
}

// Two clients of one plane share its connection; the one that goes takes its
// subscribers with it and the other keeps receiving.
TEST(OpcuaConnection, ClientThatGoesStopsOnlyItsOwnDeliveries) {
  OpcuaTestServer server;
  Received first;
  Received second;
  OpcuaPlane staying(server.url(), kQuick);
  {
    OpcuaPlane going(server.url(), kQuick);
    ASSERT_EQ(going.client()->sub("ns=1;s=Ramp", collect, &first), zeb::kSuccess);
    ASSERT_EQ(staying.client()->sub("ns=1;s=Ramp", collect, &second), zeb::kSuccess);
    ASSERT_TRUE(first.wait_for(2));
  }
  const size_t gone_at = first.count();
  const size_t staying_at = second.count();
  EXPECT_TRUE(second.wait_for(staying_at + 5));
  EXPECT_EQ(first.count(), gone_at);
  EXPECT_EQ(occurrences(server.log(), "session created"), 1u);
}

TEST_F(OpcuaShared, CInterfaceGetsSetsAndSubscribes) {
  weft_test::ChildProcess program(weft_test::build_dir() + "/tests/zeb_opcua_c_api_test",
                                  {server_->url()},
                                  {{"ZEB_EXT_LIB_PATH", weft_test::build_dir() + "/ext_lib"}});
  EXPECT_EQ(program.wait_exit(60s), 0) << program.out() << program.err();
  EXPECT_NE(program.out().find("opcua C interface: all checks passed"), std::string::npos);
}

// ---- a server that answers the Hello, then sends bad bytes -------------------

namespace {

// Listens on a loopback port; every connection gets an Acknowledge to its
// Hello followed by `reply`, and is then held open. Counts connections.
class FakeServer {
 public:
  explicit FakeServer(std::string reply) : reply_(std::move(reply)) {
    listener_ = weft_test::listen_loopback(&port_);
    if (listener_ < 0) ADD_FAILURE() << "fake server cannot listen";
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeServer() {
    stop_ = true;
    thread_.join();
    for (int fd : clients_) ::close(fd);
    ::close(listener_);
  }

  std::string url() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }
  int connections() const { return connections_; }

 private:
  void serve() {
    while (!stop_) {
      pollfd waiter{listener_, POLLIN, 0};
      if (::poll(&waiter, 1, 50) <= 0) continue;
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      ++connections_;
      clients_.push_back(fd);
      char hello[256];
      if (::recv(fd, hello, sizeof hello, 0) <= 0) continue;
      static const unsigned char ack[28] = {'A', 'C', 'K', 'F', 28, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                            1,   0,   0,   0,   1,  0, 0, 0, 0, 0, 0, 0, 0, 0};
      std::string bytes(reinterpret_cast<const char*>(ack), sizeof ack);
      bytes += reply_;
      if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) continue;
    }
  }

  std::string reply_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::vector<int> clients_;  // serving thread, then the destructor
  std::thread thread_;
};

struct BadReply {
  const char* name;
  std::string bytes;
};

std::string header(const char* type, uint32_t size) {
  std::string bytes(type, 4);
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((size >> (8 * i)) & 0xFF);
  return bytes;
}

}  // namespace

class OpcuaBadServer : public ::testing::TestWithParam<BadReply> {};

TEST_P(OpcuaBadServer, ClosesTheConnectionLogsAndReconnects) {
  FakeServer server(GetParam().bytes);
  const std::string log_path = weft_test::temp_path("opcua.log");
  const std::string log_name = std::string("opcua_bad_") + GetParam().name;
  zeb::create_file_log(log_name.c_str(), log_path.c_str(), true);
  zeb::set_log_level(log_name.c_str(), 1);
  {
    OpcuaPlane plane(server.url(), R"(,"timeout_ms":1000,"reconnect_max_ms":200)", "plane",
                     log_name.c_str());
    const auto start = Clock::now();
    EXPECT_EQ(plane.get("i=2258").first, zeb::kConnectionFailed);
    EXPECT_LT(elapsed_ms(start), 2500);
    // It keeps trying: new connections arrive on the back-off.
    const auto end = Clock::now() + 10s;
    while (server.connections() < 4 && Clock::now() < end) std::this_thread::sleep_for(50ms);
    EXPECT_GE(server.connections(), 4);
  }
  zeb::destroy_log(log_name.c_str());
  const std::string log = weft_test::read_file(log_path);
  EXPECT_NE(log.find("[error] OPC UA: malformed message"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Garbage, OpcuaBadServer,
    ::testing::Values(BadReply{"unknown_type", header("XYZF", 16) + std::string(8, '\0')},
                      // A 2 GiB chunk is refused from its header, before any allocation.
                      BadReply{"oversized", header("MSGF", 0x7FFFFFFF) + std::string(16, 'x')},
                      BadReply{"truncated_open", header("OPNF", 20) + std::string(12, '\xff')},
                      BadReply{"tiny", header("MSGF", 9) + std::string(1, 'x')}),
    [](const ::testing::TestParamInfo<BadReply>& param) { return param.param.name; });

// ---- a connection lost while the server keeps the session --------------------

namespace {

// Forwards loopback connections to `target_port`; cut() drops every forwarded
// connection at once, as a broken network would, while the server runs on.
class CuttingProxy {
 public:
  explicit CuttingProxy(int target_port) : target_port_(target_port) {
    listener_ = weft_test::listen_loopback(&port_);
    if (listener_ < 0) ADD_FAILURE() << "proxy cannot listen";
    thread_ = std::thread([this] { serve(); });
  }
  ~CuttingProxy() {
    stop_ = true;
    thread_.join();
    close_pairs();
    ::close(listener_);
  }

  std::string url() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }
  void cut() { cut_ = true; }

 private:
  void close_pairs() {
    for (auto& [a, b] : pairs_) {
      ::close(a);
      ::close(b);
    }
    pairs_.clear();
  }

  // One thread moves every byte; enough for a test's few connections.
  void serve() {
    while (!stop_) {
      if (cut_.exchange(false)) close_pairs();
      std::vector<pollfd> fds{{listener_, POLLIN, 0}};
      for (auto& [a, b] : pairs_) {
        fds.push_back({a, POLLIN, 0});
        fds.push_back({b, POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        const int client = ::accept(listener_, nullptr, nullptr);
        const int server = client >= 0 ? weft_test::connect_loopback(target_port_) : -1;
        if (server >= 0) {
          pairs_.emplace_back(client, server);
        } else if (client >= 0) {
          ::close(client);
        }
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const auto& pair = pairs_[(i - 1) / 2];
        const int to = fds[i].fd == pair.first ? pair.second : pair.first;
        char buffer[65536];
        const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
        if (n <= 0 || ::send(to, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
          cut_ = true;
          break;
        }
      }
    }
  }

  int target_port_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> cut_{false};
  std::vector<std::pair<int, int>> pairs_;  // serving thread, then the destructor
  std::thread thread_;
};

}  // namespace

// The server still holds the session and its subscription: the client takes
// them up again on the new channel instead of leaving them abandoned there.
TEST(OpcuaConnection, LostConnectionReactivatesTheSession) {
  OpcuaTestServer server;
  CuttingProxy proxy(server.port());
  Received received;
  OpcuaPlane plane(proxy.url(), kQuick);
  ASSERT_EQ(plane.client()->sub("ns=1;s=Counter", collect, &received), zeb::kSuccess);
  ASSERT_TRUE(received.wait_for(2));
  proxy.cut();
  ASSERT_TRUE(plane.wait_healthy(false, 5s));
  ASSERT_TRUE(plane.wait_healthy(true, 20s));
  const size_t before = received.count();
  ASSERT_TRUE(received.wait_for(before + 3));
  // Values go on from where they were, from the same monitored item.
  const auto [topic, payload] = received.at(received.count() - 1);
  EXPECT_EQ(topic, "ns=1;s=Counter");
  const std::string log = server.log();
  EXPECT_EQ(occurrences(log, "session created"), 1u) << log;
  EXPECT_GE(occurrences(log, "channel opened"), 2u) << log;
  EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32").first, zeb::kSuccess);
}
