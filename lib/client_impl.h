#pragma once

#include <memory>
#include <string>

#include "zeb/client.h"
#include "zeb/registry.h"
#include "zeb/transport_loader.h"

namespace zeb {

// The client behind makeClient: looks each reference up in the borrowed
// registry, finds the transport for the entry's scheme in its own loader,
// rewrites the reference and calls the transport.
//
// Thread rules: see IClient; the client holds no mutable state of its own.
class ClientImpl : public IClient {
 public:
  // Runs init; throws std::invalid_argument for a null registry.
  ClientImpl(Registry* registry, const char* log_name);
  ~ClientImpl() override;
  ClientImpl(const ClientImpl&) = delete;
  ClientImpl& operator=(const ClientImpl&) = delete;

  using IClient::pub;
  // A null out is refused (-9) before any look-up: the transport would write through it.
  int get(const char* ref, _Msg** out) override;
  // Null data with a non-zero length is refused (-9).
  int set(const char* ref, char* data, size_t len) override;
  int pub(const char* ref, char* data, size_t len) override;
  // A null callback is refused (-9): the transport would call it on delivery.
  int sub(const char* ref, MessageCallback callback, void* user) override;
  // Routed like pub (method PUB). A null done is refused (-9).
  int pub_tracked(const char* ref, char* data, size_t len, PublishCallback done, void* user,
                  uint64_t tag) override;
  int free_msg(_Msg* msg) override;

 private:
  void init(Registry* registry, const char* log_name);

  Registry* registry_ = nullptr;
  std::unique_ptr<TransportLoader> loader_;
  void* log_ = nullptr;
  std::string log_name_;
};

}  // namespace zeb
