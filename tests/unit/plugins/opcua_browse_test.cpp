// weft-opcua-browse against the test server, whose address space is known.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/child_process.h"
#include "support/opcua_test_server.h"

using namespace std::chrono_literals;
using weft_test::OpcuaTestServer;

namespace {

struct BrowseRun {
  int status;
  std::string out;
};

BrowseRun browse(const std::vector<std::string>& args) {
  weft_test::ChildProcess program(weft_test::build_dir() + "/weft-opcua-browse", args, {});
  const int status = program.wait_exit(60s);
  return {status, program.out()};
}

bool has_line(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

const char* const kScalars[] = {"Boolean", "SByte",  "Byte",    "Int16",  "UInt16",
                                "Int32",   "UInt32", "Int64",   "UInt64", "Float",
                                "Double",  "String", "DateTime"};
const char* const kRecordTypes[] = {"bool",   "int8",   "uint8",   "int16",  "uint16",
                                    "int32",  "uint32", "int64",   "uint64", "float",
                                    "double", "string", "datetime"};

}  // namespace

class OpcuaBrowse : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new OpcuaTestServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static OpcuaTestServer* server_;
};
OpcuaTestServer* OpcuaBrowse::server_ = nullptr;

TEST_F(OpcuaBrowse, ListsEveryVariableWithPathTypeAndAccess) {
  const BrowseRun run = browse({server_->url()});
  ASSERT_EQ(run.status, 0) << run.out;
  for (size_t i = 0; i < 13; ++i) {
    const std::string name = kScalars[i];
    const std::string type = kRecordTypes[i];
    EXPECT_TRUE(
        has_line(run.out, "ns=1;s=" + name + "\t1:Dev/1:" + name + "\t" + type + "\twritable"))
        << name << "\n"
        << run.out;
    EXPECT_TRUE(has_line(run.out, "ns=1;s=ReadOnly." + name + "\t1:Dev/1:ReadOnly." + name + "\t" +
                                      type + "\tread-only"))
        << name;
  }
  EXPECT_TRUE(has_line(run.out, "ns=1;s=Counter\t1:Dev/1:Counter\tint32\tread-only"));
  EXPECT_TRUE(has_line(run.out, "ns=1;s=Guid\t1:Dev/1:Guid\ti=14\twritable"));
  EXPECT_TRUE(has_line(run.out, "ns=1;s=Array.Int32\t1:Dev/1:Array.Int32\tint32[]\twritable"));
  EXPECT_TRUE(has_line(run.out, "i=2267\tServer/ServiceLevel\tuint8\tread-only"));
  EXPECT_EQ(run.out.find("1:Dev\t"), std::string::npos);  // objects are not listed
}

TEST_F(OpcuaBrowse, DepthAndStartNodeLimitTheWalk) {
  const BrowseRun shallow = browse({server_->url(), "--depth", "1"});
  ASSERT_EQ(shallow.status, 0);
  EXPECT_EQ(shallow.out.find("ns=1;s="), std::string::npos) << shallow.out;
  const BrowseRun server_only = browse({server_->url(), "--from", "i=2253", "--depth", "1"});
  ASSERT_EQ(server_only.status, 0);
  EXPECT_TRUE(has_line(server_only.out, "i=2267\tServiceLevel\tuint8\tread-only"));
  EXPECT_EQ(server_only.out.find("ns=1;"), std::string::npos);
}

TEST_F(OpcuaBrowse, PrintsReadyDataMaps) {
  const BrowseRun sub = browse({server_->url(), "--data-map", "subflat"});
  ASSERT_EQ(sub.status, 0);
  const nlohmann::json subscribe = nlohmann::json::parse(sub.out);
  ASSERT_TRUE(subscribe.is_array());
  EXPECT_NE(std::find(subscribe.begin(), subscribe.end(),
                      nlohmann::json{{"id", "ns=1;s=Counter"}, {"alias", "Dev.Counter"}}),
            subscribe.end());
  const BrowseRun sink = browse({server_->url(), "--data-map", "sinkflat"});
  ASSERT_EQ(sink.status, 0);
  const nlohmann::json write = nlohmann::json::parse(sink.out);
  EXPECT_EQ(write.at("ns=1;s=Double"),
            (nlohmann::json{{"type", "double"}, {"aliases", {"Dev.Double"}}}));
  // Only what can be written, and only with a type the sink knows.
  EXPECT_EQ(write.count("ns=1;s=ReadOnly.Double"), 0u);
  EXPECT_EQ(write.count("ns=1;s=Guid"), 0u);
  EXPECT_EQ(write.count("ns=1;s=Array.Int32"), 0u);
  EXPECT_EQ(write.size(), 13u) << write.dump();
}

TEST(OpcuaBrowseBad, NoServerAndBadArgumentsFail) {
  EXPECT_EQ(browse({"opc.tcp://127.0.0.1:1"}).status, 1);
  EXPECT_EQ(browse({"opc.tcp://127.0.0.1:1", "--depth", "0"}).status, 2);
  EXPECT_EQ(browse({"http://127.0.0.1:1"}).status, 2);
}
