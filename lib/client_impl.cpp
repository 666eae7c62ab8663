#include "client_impl.h"

#include <stdexcept>

#include "route.h"
#include "zeb/log.h"
#include "zeb/status.h"

namespace zeb {

ClientImpl::ClientImpl(Registry* registry, const char* log_name) {
  init(registry, log_name);
}

ClientImpl::~ClientImpl() = default;

void ClientImpl::init(Registry* registry, const char* log_name) {
  if (registry == nullptr) throw std::invalid_argument("NULL registry is not allowed");
  registry_ = registry;
  log_ = get_log_safe(log_name);
  log_name_ = log_name != nullptr ? log_name : "";
  loader_ = std::make_unique<TransportLoader>(log_name_.c_str());
  loader_->initialize_transports();
  log_info(log_, "ZEB client initialized");
}

int ClientImpl::get(const char* ref, _Msg** out) {
  if (out == nullptr) return kInvalidOption;
  *out = nullptr;
  Route route;
  const int rc = route.resolve(*registry_, *loader_, kMethodGet, kMethodGet, ref);
  if (rc != kSuccess) return rc;
  const int result = route.transport()->get(route.ref(), route.entry(), out);
  if (*out != nullptr) (*out)->transport = route.transport();
  return result;
}

int ClientImpl::set(const char* ref, char* data, size_t len) {
  if (data == nullptr && len != 0) return kInvalidOption;
  Route route;
  const int rc = route.resolve(*registry_, *loader_, kMethodSet, kMethodSet, ref);
  if (rc != kSuccess) return rc;
  return route.transport()->set(route.ref(), route.entry(), data, len);
}

int ClientImpl::pub(const char* ref, char* data, size_t len) {
  if (data == nullptr && len != 0) return kInvalidOption;
  Route route;
  const int rc = route.resolve(*registry_, *loader_, kMethodPub, kMethodPub, ref);
  if (rc != kSuccess) return rc;
  return route.transport()->pub(route.ref(), route.entry(), data, len);
}

int ClientImpl::pub_tracked(const char* ref, char* data, size_t len, PublishCallback done,
                            void* user, uint64_t tag) {
  if ((data == nullptr && len != 0) || done == nullptr) return kInvalidOption;
  Route route;
  const int rc = route.resolve(*registry_, *loader_, kMethodPub, kMethodPub, ref);
  if (rc != kSuccess) return rc;
  return route.transport()->pub_tracked(route.ref(), route.entry(), data, len, done, user, tag);
}

int ClientImpl::sub(const char* ref, MessageCallback callback, void* user) {
  if (callback == nullptr) return kInvalidOption;
  Route route;
  const int rc = route.resolve(*registry_, *loader_, kMethodSub, kMethodSub, ref);
  if (rc != kSuccess) return rc;
  return route.transport()->sub(route.ref(), route.entry(), callback, user);
}

int ClientImpl::free_msg(_Msg* msg) {
  const int rc = freeMsg(msg);
  if (rc != 1) log_error(log_, "ClientImpl::free_msg - Unable to free: Error code: %d", rc);
  return rc;
}

}  // namespace zeb
