// Makes and frees clients, registries, mappings and messages over and over; the
// sanitizer build's leak checker fails this process if anything is left behind.
#include <gtest/gtest.h>

#include <string>

#include "unit/lib/plugin_env.h"
#include "zeb/client.h"
#include "zeb/connection_mapping.h"
#include "zeb/registry_file.h"
#include "zeb/status.h"
#include "zeb/zeb.h"

namespace {

const char kRegistry[] =
    R"({"info":{"file_version":1},"config":{"p":{"transport_addr":"loop://x"}},)"
    R"("mapping":[["p",15,"t/.*",""]]})";

void take(const char*, const char*, zeb::_Msg* msg, void* user) {
  static_cast<zeb::IClient*>(user)->free_msg(msg);
}

void take_c(const char*, const char*, zeb_msg* msg, void* user) {
  ++*static_cast<int*>(user);
  zeb_free_msg(msg);
}

class Leak : public PluginEnv {};

TEST_F(Leak, ClientsAndRegistriesInALoop) {
  search(dir("ext_lib"));
  for (int i = 0; i < 20; ++i) {
    zeb::_client_info info{};
    ASSERT_EQ(zeb::makeClient(kRegistry, nullptr, &info), zeb::kSuccess);
    std::string data = "value " + std::to_string(i);
    ASSERT_EQ(info.client->sub("t/a", take, info.client), zeb::kSuccess);
    ASSERT_EQ(info.client->pub("t/a", data.data(), data.size()), zeb::kSuccess);
    ASSERT_EQ(info.client->set("t/b", data.data(), data.size()), zeb::kSuccess);
    zeb::_Msg* msg = nullptr;
    ASSERT_EQ(info.client->get("t/b", &msg), zeb::kSuccess);
    ASSERT_EQ(info.client->free_msg(msg), 1);
    {
      zeb::ConnectionMapping mapping(*info.registry);
      zeb::ConnectionMetadata metadata;
      ASSERT_EQ(mapping.get_metadata("t/a", &metadata), zeb::kSuccess);
    }
    zeb::freeClient(info.client);
    delete info.registry;

    ASSERT_EQ(zeb::makeClient("{", nullptr, &info), zeb::kRegistryError);

    zeb_registry* reg = nullptr;
    zeb_client* client = nullptr;
    ASSERT_EQ(zeb_make_registry(nullptr, kRegistry, &reg), 1001);
    ASSERT_EQ(zeb_make_client(nullptr, reg, &client), 200);
    int received = 0;
    ASSERT_EQ(zeb_sub(client, "t/c", take_c, &received), 200);
    ASSERT_EQ(zeb_pub(client, "t/c", data.data(), data.size()), 200);
    ASSERT_EQ(received, 1);
    zeb_free_client(client);
    zeb_free_registry(reg);
    ASSERT_EQ(zeb_make_registry(nullptr, "{}", &reg), -1002);
  }
}

}  // namespace
