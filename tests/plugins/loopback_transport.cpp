// Test-only transport for the scheme "loop": a value store and a publish/
// subscribe switch in memory, so clients and blocks can be tested without a
// broker. Publish delivers synchronously, on the publisher's thread, to the
// subscriber of the same (rewritten) reference; set stores a value that get
// returns. The plane option "healthy" (default true) is what
// connection_metadata reports. A tracked publish is delivered like pub and
// then completed with the plane option "complete": a status (default 200), or
// "hold" to keep it pending until the transport is destroyed, which completes
// it with -10.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "zeb/base_transport.h"
#include "zeb/log.h"
#include "zeb/status.h"

namespace {

class LoopbackTransport : public zeb::BaseTransport {
 public:
  LoopbackTransport(int id, void* log) : BaseTransport(id), log_(log) {
    zeb::log_debug(log_, "LOOPBACK: transport %d created", id_);
  }
  ~LoopbackTransport() override {
    std::vector<Pending> held;
    {
      std::lock_guard<std::mutex> guard(lock_);
      held.swap(held_);
    }
    for (const Pending& pending : held)
      pending.done(pending.user, pending.tag, zeb::kConnectionError);
    zeb::log_debug(log_, "LOOPBACK: transport %d destroyed", id_);
  }

  const char* get_transport_name() override { return "LOOPBACK"; }
  const char** get_schemes() override { return kSchemes; }
  int get_supported_methods() override { return zeb::kMethodAny; }

  int get(const char* ref, void*, zeb::_Msg** out) override {
    if (out == nullptr) return zeb::kInvalidOption;
    *out = nullptr;
    std::string value;
    {
      std::lock_guard<std::mutex> guard(lock_);
      const auto it = values_.find(ref);
      if (it == values_.end()) return zeb::kNotFoundOnRemote;
      value = it->second;
    }
    *out = make_msg(value.data(), value.size());
    return *out != nullptr ? zeb::kSuccess : zeb::kMemoryAllocationError;
  }

  int set(const char* ref, void*, char* data, size_t len) override {
    std::lock_guard<std::mutex> guard(lock_);
    values_[ref] = len > 0 ? std::string(data, len) : std::string();
    return zeb::kSuccess;
  }

  int pub(const char* ref, void*, char* data, size_t len) override {
    Subscription subscription;
    {
      std::lock_guard<std::mutex> guard(lock_);
      const auto it = subscriptions_.find(ref);
      if (it == subscriptions_.end()) return zeb::kSuccess;
      subscription = it->second;
    }
    // Delivered outside the lock: the callback may free the message or publish.
    zeb::_Msg* msg = make_msg(data, len);
    if (msg == nullptr) return zeb::kMemoryAllocationError;
    subscription.callback(subscription.plane.c_str(), ref, msg, subscription.user);
    return zeb::kSuccess;
  }

  int pub_tracked(const char* ref, void* entry, char* data, size_t len, zeb::PublishCallback done,
                  void* user, uint64_t tag) override {
    if (done == nullptr) return zeb::kInvalidOption;
    const auto options = nlohmann::json::parse(zeb_get_options(entry), nullptr, false);
    const auto complete = options.is_object() ? options.find("complete") : options.end();
    const int result = pub(ref, entry, data, len);
    if (result != zeb::kSuccess) return result;
    if (complete != options.end() && complete->is_string() && *complete == "hold") {
      std::lock_guard<std::mutex> guard(lock_);
      held_.push_back(Pending{done, user, tag});
      return zeb::kSuccess;
    }
    const bool has_status = complete != options.end() && complete->is_number_integer();
    done(user, tag, has_status ? complete->get<int>() : zeb::kSuccess);
    return zeb::kSuccess;
  }

  int sub(const char* ref, void* entry, zeb::MessageCallback callback, void* user) override {
    if (callback == nullptr) return zeb::kInvalidOption;
    std::lock_guard<std::mutex> guard(lock_);
    const bool added =
        subscriptions_.emplace(ref, Subscription{callback, user, zeb_get_plane_id(entry)}).second;
    return added ? zeb::kSuccess : zeb::kDuplicateSubscription;
  }

  zeb::ConnectionMetadata connection_metadata(const char*, void* entry) override {
    zeb::ConnectionMetadata metadata;
    const auto options = nlohmann::json::parse(zeb_get_options(entry), nullptr, false);
    const auto flag = options.is_object() ? options.find("healthy") : options.end();
    metadata.healthy(flag == options.end() || !flag->is_boolean() || flag->get<bool>());
    return metadata;
  }

  int free_msg(zeb::_Msg* msg) override {
    if (msg == nullptr) return 1;
    std::free(msg->data);
    delete msg;
    return 1;
  }

 private:
  struct Subscription {
    zeb::MessageCallback callback = nullptr;
    void* user = nullptr;
    std::string plane;
  };

  struct Pending {
    zeb::PublishCallback done;
    void* user;
    uint64_t tag;
  };

  zeb::_Msg* make_msg(const char* data, size_t len) {
    auto* bytes = static_cast<char*>(std::malloc(len + 1));
    if (bytes == nullptr) return nullptr;
    if (len > 0) std::memcpy(bytes, data, len);
    bytes[len] = '\0';
    return new zeb::_Msg{this, 0, bytes, len};
  }

  static const char* kSchemes[];

  void* log_;
  std::mutex lock_;
  std::map<std::string, std::string> values_;
  std::map<std::string, Subscription> subscriptions_;
  std::vector<Pending> held_;  // tracked publishes kept pending by "complete": "hold"
};

const char* LoopbackTransport::kSchemes[] = {"loop", nullptr};

}  // namespace

extern "C" {

zeb::Transport* init_transport(int id, void* log) {
  return new LoopbackTransport(id, log);
}

const char* get_version() {
  return R"({"ext_name":"loopback","zeb_int_ver":1,"ext_ver":[1,0,0,0]})";
}

int cleanup_transport(zeb::Transport* transport) {
  delete transport;
  return 1;
}
}
