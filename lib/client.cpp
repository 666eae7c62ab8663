#include "zeb/client.h"

#include <memory>

#include "client_impl.h"
#include "zeb/registry_file.h"
#include "zeb/status.h"
#include "zeb/transport.h"

namespace zeb {

IClient::~IClient() = default;

int IClient::pub(const char* ref) {
  return pub(ref, nullptr, 0);
}

int IClient::pub_tracked(const char*, char*, size_t, PublishCallback, void*, uint64_t) {
  return kUnsupportedMethod;
}

int IClient::unsub(const char*) {
  return kSuccess;
}

int IClient::exists(const char*) {
  return kSuccess;
}

IClient* makeClient(Registry* registry) {
  return makeClient(registry, nullptr);
}

IClient* makeClient(Registry* registry, const char* log_name) {
  return new ClientImpl(registry, log_name);
}

int makeClient(const char* source, const char* log_name, _client_info* info) {
  if (info == nullptr) return kInvalidOption;
  auto registry = std::make_unique<RegistryFile>(log_name, source);
  info->status = registry->initialize();
  if (info->status <= 1000) {
    info->registry = nullptr;
    info->client = nullptr;
    return kRegistryError;
  }
  info->client = makeClient(registry.get(), log_name);
  info->registry = registry.release();
  return kSuccess;
}

void freeClient(IClient* client) {
  delete client;
}

int freeMsg(_Msg* msg) {
  if (msg == nullptr) return 1;
  if (msg->transport == nullptr) return 0;
  return msg->transport->free_msg(msg);
}

}  // namespace zeb
