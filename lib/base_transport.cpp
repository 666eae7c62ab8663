#include "zeb/base_transport.h"

#include "zeb/status.h"

namespace zeb {

const char* BaseTransport::schemes[3] = {"base", nullptr, nullptr};

BaseTransport::BaseTransport(int id) : id_(id) {}

BaseTransport::~BaseTransport() = default;

int BaseTransport::get_id() {
  return id_;
}

const char* BaseTransport::get_transport_name() {
  return "__BASE__";
}

const char** BaseTransport::get_schemes() {
  return schemes;
}

int BaseTransport::get_supported_methods() {
  return 0;
}

int BaseTransport::set_option(const char*, const char*) {
  return 1;
}

int BaseTransport::get(const char*, void*, _Msg** out) {
  if (out != nullptr) *out = nullptr;
  return kUnsupportedMethod;
}

int BaseTransport::set(const char*, void*, char*, size_t) {
  return kUnsupportedMethod;
}

int BaseTransport::pub(const char*, void*, char*, size_t) {
  return kUnsupportedMethod;
}

int BaseTransport::sub(const char*, void*, MessageCallback, void*) {
  return kUnsupportedMethod;
}

int BaseTransport::pub_tracked(const char*, void*, char*, size_t, PublishCallback, void*,
                               uint64_t) {
  return kUnsupportedMethod;
}

ConnectionMetadata BaseTransport::connection_metadata(const char*, void*) {
  ConnectionMetadata metadata;
  metadata.healthy(true);
  return metadata;
}

int BaseTransport::plane_stats(const char*, void*, PlaneStats*) {
  return kNotImplemented;
}

int BaseTransport::free_msg(_Msg*) {
  return 1;
}

}  // namespace zeb
