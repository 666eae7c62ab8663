#include "opcua_connection.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "decode_error.h"
#include "status_mapping.h"
#include "zeb/log.h"
#include "zeb/status.h"

namespace {

using std::chrono::milliseconds;

constexpr int kTickMs = 100;
constexpr int kFirstBackoffMs = 250;

std::string hex_status(uint32_t status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", status);
  return text;
}

const char* const kNullValue = R"({"type":"null","val":null})";

std::string dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

OpcuaConnection::OpcuaConnection(std::string plane_id, PlaneOptions options, void* log)
    : plane_id_(std::move(plane_id)),
      options_(std::move(options)),
      log_(log),
      session_(plane_id_, options_, log_,
               [this](ChunkAssembler::Message& message, std::string* error) {
                 return dispatch(message, error);
               }),
      subscriptions_(
          plane_id_, options_, log_, session_,
          [this](const Encoder& encode, uint32_t response_type, const char* service,
                 const SubscriptionSet::Decoder& decode) {
            return exchange(encode, response_type, service, decode);
          },
          ready_, stop_),
      thread_(&OpcuaConnection::run, this) {}

OpcuaConnection::~OpcuaConnection() {
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    stop_ = true;
  }
  state_cv_.notify_all();
  subscriptions_.wake();
  if (thread_.joinable()) thread_.join();
}

void OpcuaConnection::wait_first_attempt() {
  std::unique_lock<std::mutex> lock(state_lock_);
  state_cv_.wait_for(lock, milliseconds(options_.timeout_ms),
                     [this] { return attempts_ > 0 || stop_.load(); });
}

int OpcuaConnection::backoff_ms(int attempts) const {
  int delay = kFirstBackoffMs;
  for (int i = 1; i < attempts && delay < options_.reconnect_max_ms; ++i) delay *= 2;
  return std::min(delay, options_.reconnect_max_ms);
}

bool OpcuaConnection::sleep_backoff(int delay_ms) {
  std::unique_lock<std::mutex> lock(state_lock_);
  state_cv_.wait_for(lock, milliseconds(delay_ms), [this] { return stop_.load(); });
  return !stop_;
}

// ---- connection thread -------------------------------------------------------

void OpcuaConnection::run() {
  int failures = 0;
  while (!stop_) {
    std::string error;
    bool up = false;
    // Nothing may leave the thread: an unexpected failure counts as a lost
    // connection like any other.
    try {
      up = establish(&error);
    } catch (const std::exception& e) {
      error = std::string("internal error: ") + e.what();
      zeb::log_error(log_, "OPC UA: %s", error.c_str());
    }
    {
      std::lock_guard<std::mutex> guard(state_lock_);
      ++attempts_;
    }
    state_cv_.notify_all();
    if (up) {
      failures = 0;
      zeb::log_info(log_, "OPC UA: session active on %s (plane %s)", options_.endpoint_url.c_str(),
                    plane_id_.c_str());
      try {
        while (!stop_ && serve_once(&error)) {
        }
        if (stop_) session_.close();
      } catch (const std::exception& e) {
        error = std::string("internal error: ") + e.what();
        zeb::log_error(log_, "OPC UA: %s", error.c_str());
      }
    }
    if (stop_) break;
    lose(error);
    ++failures;
    if (!sleep_backoff(backoff_ms(failures))) break;
  }
  reset();
}

void OpcuaConnection::lose(const std::string& reason) {
  if (ready_ || session_.is_open()) {
    zeb::log_warn(log_, "OPC UA: connection to %s lost: %s", options_.endpoint_url.c_str(),
                  reason.c_str());
  } else {
    zeb::log_debug(log_, "OPC UA: cannot connect to %s: %s", options_.endpoint_url.c_str(),
                   reason.c_str());
  }
  reset();
}

void OpcuaConnection::reset() {
  ready_ = false;
  const bool session_lost = session_broken_;
  session_broken_ = false;
  session_.drop(session_lost, subscriptions_.last_alive());
  subscriptions_.reset();
  pending_.fail_all(zeb::kConnectionFailed);
}

bool OpcuaConnection::establish(std::string* error) {
  bool resumed = false;
  try {
    if (!session_.open(&resumed, error)) return false;
  } catch (const DecodeError& e) {
    *error = std::string("malformed response: ") + e.what();
    zeb::log_error(log_, "OPC UA: %s from %s", error->c_str(), options_.endpoint_url.c_str());
    return false;
  }
  if (!subscriptions_.start(resumed, error)) return false;
  ready_ = true;
  return subscriptions_.send_publishes(error);
}

bool OpcuaConnection::serve_once(std::string* error) {
  if (session_broken_) {
    *error = "the server no longer knows the session";
    return false;
  }
  if (!subscriptions_.add_wanted(error)) return false;
  ChunkAssembler::Message message;
  try {
    if (!session_.channel().receive(kTickMs, &message, error)) return false;
    if (message.kind != ChunkAssembler::Kind::kNone && !dispatch(message, error)) return false;
  } catch (const DecodeError& e) {
    *error = std::string("malformed message: ") + e.what();
    zeb::log_error(log_, "OPC UA: %s from %s", error->c_str(), options_.endpoint_url.c_str());
    return false;
  }
  if (!subscriptions_.alive(Clock::now())) {
    *error = "no keep-alive or data within the keep-alive window";
    return false;
  }
  if (!session_.renew_if_due(error)) return false;
  return subscriptions_.retry_due(error) && subscriptions_.send_publishes(error);
}

bool OpcuaConnection::dispatch(ChunkAssembler::Message& message, std::string* error) {
  switch (message.kind) {
    case ChunkAssembler::Kind::kError:
      *error = "server error " + hex_status(message.error) + " " + message.reason;
      zeb::log_error(log_, "OPC UA: %s from %s", error->c_str(), options_.endpoint_url.c_str());
      return false;
    case ChunkAssembler::Kind::kClose:
      *error = "server closed the secure channel";
      return false;
    case ChunkAssembler::Kind::kAcknowledge:
      *error = "unexpected Acknowledge";
      return false;
    case ChunkAssembler::Kind::kOpen:
      return session_.handle_open(message, error);
    case ChunkAssembler::Kind::kAbort:
    case ChunkAssembler::Kind::kMessage: {
      if (subscriptions_.is_publish(message.request_id)) {
        if (message.kind == ChunkAssembler::Kind::kAbort) return true;
        return subscriptions_.handle_publish(message.body, error);
      }
      // An answer whose caller gave up waiting is dropped.
      if (message.kind == ChunkAssembler::Kind::kAbort) {
        pending_.complete(message.request_id, zeb::kRemoteError, {});
      } else {
        pending_.complete(message.request_id, zeb::kSuccess, std::move(message.body));
      }
      return true;
    }
    default:
      return true;
  }
}

// ---- callers' threads ----------------------------------------------------------

int OpcuaConnection::call(const Encoder& encode, std::vector<uint8_t>* response) {
  if (!ready_) return zeb::kConnectionFailed;
  const uint32_t id = session_.next_request_id();
  ByteWriter w;
  try {
    encode(w, session_.header(id, static_cast<uint32_t>(options_.timeout_ms)));
  } catch (const std::exception& e) {
    zeb::log_error(log_, "OPC UA: cannot encode request: %s", e.what());
    return zeb::kBadRequest;
  }
  pending_.expect(id);
  const int sent = session_.channel().send_message(id, w.bytes());
  if (sent != zeb::kSuccess) {
    pending_.cancel(id);
    return sent;
  }
  return pending_.wait(id, options_.timeout_ms, response);
}

int OpcuaConnection::check_header(ByteReader& r, uint32_t expected_type) {
  const ServiceCodec::ResponseHeader h = ServiceCodec::decode_header(r);
  if (StatusMapping::is_bad(h.service_result)) {
    if (StatusMapping::connection_lost(h.service_result)) session_broken_ = true;
    return StatusMapping::to_zeb(h.service_result);
  }
  return h.type_id == expected_type ? zeb::kSuccess : zeb::kInvalidResponse;
}

int OpcuaConnection::exchange(const Encoder& encode, uint32_t response_type, const char* service,
                              const SubscriptionSet::Decoder& decode) {
  std::vector<uint8_t> body;
  const int status = call(encode, &body);
  if (status != zeb::kSuccess) return status;
  try {
    ByteReader r(body.data(), body.size());
    const int checked = check_header(r, response_type);
    return checked != zeb::kSuccess ? checked : decode(r);
  } catch (const DecodeError& e) {
    zeb::log_error(log_, "OPC UA: malformed %s response from %s: %s", service,
                   options_.endpoint_url.c_str(), e.what());
    return zeb::kInvalidResponse;
  }
}

int OpcuaConnection::read(const NodeId& node, std::string* json_text) {
  return exchange([&node](ByteWriter& w,
                          const ServiceCodec::RequestHeader& h) { ServiceCodec::read(w, h, node); },
                  ServiceCodec::kReadResponse, "Read",
                  [&](ByteReader& r) -> int {
                    try {
                      const VariantCodec::DataValue value = ServiceCodec::decode_read(r);
                      if (StatusMapping::is_bad(value.status))
                        return StatusMapping::to_zeb(value.status);
                      *json_text = value.has_value ? dump(value.value) : kNullValue;
                      return zeb::kSuccess;
                    } catch (const DecodeTooLarge& e) {
                      zeb::log_error(log_, "OPC UA: value of %s from %s refused: %s",
                                     node.to_text().c_str(), options_.endpoint_url.c_str(),
                                     e.what());
                      return zeb::kPayloadTooLarge;
                    }
                  });
}

int OpcuaConnection::browse(const NodeId& node, std::vector<ServiceCodec::Reference>* references) {
  std::string continuation;
  bool first = true;
  // A server answers in parts; a bound keeps a looping one from holding us.
  for (int part = 0; part < 10000 && (first || !continuation.empty()); ++part) {
    std::vector<uint8_t> body;
    int status = call(
        [&](ByteWriter& w, const ServiceCodec::RequestHeader& h) {
          if (first) {
            ServiceCodec::browse(w, h, node);
          } else {
            ServiceCodec::browse_next(w, h, continuation);
          }
        },
        &body);
    if (status != zeb::kSuccess) return status;
    try {
      ByteReader r(body.data(), body.size());
      status = check_header(
          r, first ? ServiceCodec::kBrowseResponse : ServiceCodec::kBrowseNextResponse);
      if (status != zeb::kSuccess) return status;
      ServiceCodec::BrowseResult result = ServiceCodec::decode_browse(r);
      if (StatusMapping::is_bad(result.status)) return StatusMapping::to_zeb(result.status);
      for (ServiceCodec::Reference& reference : result.references) {
        references->push_back(std::move(reference));
      }
      continuation = std::move(result.continuation_point);
    } catch (const DecodeError& e) {
      zeb::log_error(log_, "OPC UA: malformed Browse response from %s: %s",
                     options_.endpoint_url.c_str(), e.what());
      return zeb::kInvalidResponse;
    }
    first = false;
  }
  return zeb::kSuccess;
}

int OpcuaConnection::read_attributes(const std::vector<NodeId>& nodes, uint32_t attribute,
                                     std::vector<VariantCodec::DataValue>* values) {
  return exchange(
      [&](ByteWriter& w, const ServiceCodec::RequestHeader& h) {
        ServiceCodec::read_attributes(w, h, nodes, attribute);
      },
      ServiceCodec::kReadResponse, "Read",
      [&](ByteReader& r) -> int {
        *values = ServiceCodec::decode_read_values(r);
        return values->size() == nodes.size() ? zeb::kSuccess : zeb::kInvalidResponse;
      });
}

int OpcuaConnection::write(const NodeId& node, const std::vector<uint8_t>& variant) {
  return exchange(
      [&](ByteWriter& w, const ServiceCodec::RequestHeader& h) {
        ServiceCodec::write(w, h, node, variant);
      },
      ServiceCodec::kWriteResponse, "Write",
      [](ByteReader& r) -> int { return StatusMapping::to_zeb(ServiceCodec::decode_write(r)); });
}

void OpcuaConnection::forget(zeb::Transport* owner) {
  subscriptions_.forget(owner);
}

int OpcuaConnection::subscribe(zeb::Transport* owner, const std::string& topic, const NodeId& node,
                               zeb::MessageCallback callback, void* user) {
  return subscriptions_.subscribe(owner, topic, node, callback, user);
}
