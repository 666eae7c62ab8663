// A libzeb client with one OPC UA plane, as the OPC UA blocks set it up, and
// a subscriber that keeps what it receives: shared by the plug-in's tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/opcua_test_server.h"
#include "zeb/client.h"
#include "zeb/connection_mapping.h"
#include "zeb/connection_metadata.h"
#include "zeb/opcua_value_record.h"
#include "zeb/registry_file.h"
#include "zeb/status.h"
#include "zeb/transport.h"

namespace weft_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Values delivered to a subscriber, released the way the OPC UA blocks do.
struct Received {
  std::mutex lock;
  std::vector<std::pair<std::string, std::string>> messages;
  std::vector<std::string> planes;

  size_t count() {
    std::lock_guard<std::mutex> guard(lock);
    return messages.size();
  }
  bool wait_for(size_t n, std::chrono::milliseconds limit = 15s) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
      if (count() >= n) return true;
      std::this_thread::sleep_for(20ms);
    }
    return count() >= n;
  }
  std::pair<std::string, std::string> at(size_t i) {
    std::lock_guard<std::mutex> guard(lock);
    return messages.at(i);
  }
};

inline void collect(const char* plane, const char* topic, zeb::_Msg* msg, void* user) {
  auto* received = static_cast<Received*>(user);
  EXPECT_EQ(msg->data[msg->len], '\0');
  {
    std::lock_guard<std::mutex> guard(received->lock);
    received->messages.emplace_back(topic, std::string(msg->data, msg->len));
    received->planes.emplace_back(plane != nullptr ? plane : "(null)");
  }
  std::free(msg->data);
  delete msg;
}

// A client over a registry with one OPC UA plane set up as the OPC UA blocks do:
// get and sub receive "/json?" + reference, set the reference unchanged.
class OpcuaPlane {
 public:
  OpcuaPlane(const std::string& url, const std::string& extra_options = "",
             const std::string& plane = "plane", const char* log_name = nullptr) {
    ::setenv("ZEB_EXT_LIB_PATH", (weft_test::build_dir() + "/ext_lib").c_str(), 1);
    const std::string options = R"({"transport_addr":")" + url + "\"" + extra_options + "}";
    EXPECT_TRUE(registry_.add_plane(plane.c_str(), options.c_str()));
    EXPECT_TRUE(registry_.append_rule(plane.c_str(), zeb::kMethodSub | zeb::kMethodGet, "(.+)",
                                      "/json?$1"));
    EXPECT_TRUE(registry_.append_rule(plane.c_str(), zeb::kMethodSet, "(.+)", ""));
    client_ = zeb::makeClient(&registry_, log_name);
    mapping_ = std::make_unique<zeb::ConnectionMapping>(registry_);
  }
  ~OpcuaPlane() {
    mapping_.reset();
    zeb::freeClient(client_);
  }

  zeb::IClient* client() { return client_; }

  // Status and payload of a get.
  std::pair<int, std::string> get(const std::string& ref) {
    zeb::_Msg* msg = nullptr;
    const int status = client_->get(ref.c_str(), &msg);
    std::string text;
    if (msg != nullptr) {
      text.assign(msg->data, msg->len);
      EXPECT_EQ(msg->data[msg->len], '\0');
      std::free(msg->data);
      delete msg;
    }
    return {status, text};
  }

  int set(const std::string& ref, int32_t code, const void* value, uint64_t length) {
    opcua_value::ValueRecord record{code, 0, length, value};
    return client_->set(ref.c_str(), reinterpret_cast<char*>(&record), sizeof record);
  }

  bool healthy(const std::string& ref = "ns=1;s=Int32") {
    zeb::ConnectionMetadata metadata;
    if (mapping_->get_metadata(ref.c_str(), &metadata) != zeb::kSuccess) return false;
    return metadata.healthy();
  }

  bool wait_healthy(bool want, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
      if (healthy() == want) return true;
      std::this_thread::sleep_for(50ms);
    }
    return healthy() == want;
  }

 private:
  zeb::RegistryFile registry_;
  zeb::IClient* client_ = nullptr;
  std::unique_ptr<zeb::ConnectionMapping> mapping_;
};

}  // namespace weft_test
