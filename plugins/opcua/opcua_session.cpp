#include "opcua_session.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "date_time.h"
#include "decode_error.h"
#include "status_mapping.h"
#include "zeb/log.h"
#include "zeb/status.h"

namespace {

using std::chrono::milliseconds;

constexpr int kTickMs = 100;
// The orderly close on shutdown waits no longer than this.
constexpr int kCloseTimeoutMs = 1000;

ChunkAssembler::Limits receive_limits() {
  ChunkAssembler::Limits limits;
  limits.max_chunk_size = 65536;
  limits.max_message_size = 16777216;
  limits.max_chunk_count = 512;
  return limits;
}

std::string random_nonce() {
  std::random_device device;
  std::string nonce(32, '\0');
  for (char& c : nonce) c = static_cast<char>(device() & 0xFF);
  return nonce;
}

}  // namespace

OpcuaSession::OpcuaSession(std::string plane_id, const PlaneOptions& options, void* log,
                           Dispatcher dispatch)
    : plane_id_(std::move(plane_id)),
      options_(options),
      log_(log),
      dispatch_(std::move(dispatch)),
      channel_(receive_limits()) {}

uint32_t OpcuaSession::next_request_id() {
  uint32_t id = ++request_ids_;
  if (id == 0) id = ++request_ids_;
  return id;
}

ServiceCodec::RequestHeader OpcuaSession::header(uint32_t request_id, uint32_t timeout_hint) {
  ServiceCodec::RequestHeader h;
  {
    std::lock_guard<std::mutex> guard(token_lock_);
    h.authentication_token = authentication_token_;
  }
  h.timestamp = DateTime::now();
  h.request_handle = request_id;
  h.timeout_hint = timeout_hint;
  return h;
}

void OpcuaSession::set_token(const NodeId& token) {
  std::lock_guard<std::mutex> guard(token_lock_);
  authentication_token_ = token;
}

bool OpcuaSession::transact(const Encoder& encode, bool open, int timeout_ms,
                            std::vector<uint8_t>* response, std::string* error) {
  const uint32_t id = next_request_id();
  ByteWriter w;
  encode(w, header(id, static_cast<uint32_t>(timeout_ms)));
  const int sent = open ? channel_.send_open(id, w.bytes()) : channel_.send_message(id, w.bytes());
  if (sent != zeb::kSuccess) {
    *error = std::string("cannot send request: ") + zeb::status_to_str(sent);
    return false;
  }
  const auto deadline = Clock::now() + milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      *error = "no response within the timeout";
      return false;
    }
    ChunkAssembler::Message message;
    try {
      if (!channel_.receive(static_cast<int>(std::min<int64_t>(left, kTickMs)), &message, error)) {
        return false;
      }
    } catch (const DecodeError& e) {
      *error = std::string("malformed message: ") + e.what();
      zeb::log_error(log_, "OPC UA: %s from %s", error->c_str(), options_.endpoint_url.c_str());
      return false;
    }
    if (message.kind == ChunkAssembler::Kind::kNone) continue;
    if (message.request_id == id && (message.kind == ChunkAssembler::Kind::kMessage ||
                                     message.kind == ChunkAssembler::Kind::kOpen)) {
      *response = std::move(message.body);
      return true;
    }
    if (message.request_id == id && message.kind == ChunkAssembler::Kind::kAbort) {
      *error = "request aborted by the server: " + StatusMapping::hex(message.error);
      return false;
    }
    if (!dispatch_(message, error)) return false;
  }
}

bool OpcuaSession::set_up_step(const Encoder& encode, bool open, uint32_t response_type,
                               const char* what, std::vector<uint8_t>* body, ByteReader* reader,
                               std::string* error) {
  if (!transact(encode, open, options_.timeout_ms, body, error)) return false;
  *reader = ByteReader(body->data(), body->size());
  const ServiceCodec::ResponseHeader h = ServiceCodec::decode_header(*reader);
  if (StatusMapping::is_bad(h.service_result) ||
      (response_type != 0 && h.type_id != response_type)) {
    *error = std::string(what) + " refused: " + StatusMapping::hex(h.service_result);
    return false;
  }
  return true;
}

bool OpcuaSession::open(bool* resumed, std::string* error) {
  renew_request_id_ = 0;
  if (!channel_.connect(options_.host, options_.port, options_.endpoint_url, options_.timeout_ms,
                        error)) {
    return false;
  }
  std::vector<uint8_t> body;
  ByteReader reader(nullptr, 0);
  if (!set_up_step(
          [this](ByteWriter& w, const ServiceCodec::RequestHeader& h) {
            ServiceCodec::open_secure_channel(w, h, false,
                                              static_cast<uint32_t>(options_.token_lifetime_ms));
          },
          true, ServiceCodec::kOpenSecureChannelResponse, "OpenSecureChannel", &body, &reader,
          error)) {
    return false;
  }
  const ServiceCodec::OpenChannelResult open = ServiceCodec::decode_open_secure_channel(reader);
  channel_id_ = open.channel_id;
  channel_.set_token(open.channel_id, open.token_id);
  token_renew_at_ = Clock::now() + milliseconds(open.revised_lifetime * 3 / 4);
  return open_session(resumed, error);
}

bool OpcuaSession::open_session(bool* resumed, std::string* error) {
  std::vector<uint8_t> body;
  ByteReader reader(nullptr, 0);
  const auto activate = [this](ByteWriter& w, const ServiceCodec::RequestHeader& rh) {
    ServiceCodec::activate_session(w, rh, policy_id_, policy_found_);
  };
  *resumed = false;
  if (!resumable_token_.is_null() && Clock::now() < resumable_until_) {
    set_token(resumable_token_);
    std::string refused;
    if (set_up_step(activate, false, 0, "ActivateSession", &body, &reader, &refused)) {
      *resumed = true;
      resumable_token_ = NodeId();
      zeb::log_info(log_, "OPC UA: session reactivated on a new channel to %s",
                    options_.endpoint_url.c_str());
      return true;
    }
    if (!channel_.is_open()) {
      *error = refused;
      return false;
    }
    zeb::log_debug(log_, "OPC UA: %s; opening a new session", refused.c_str());
  }
  resumable_token_ = NodeId();
  if (!set_up_step(
          [this](ByteWriter& w, const ServiceCodec::RequestHeader& rh) {
            ServiceCodec::create_session(w, rh, options_.endpoint_url, "zebt_opcua " + plane_id_,
                                         random_nonce(), options_.session_timeout_ms);
          },
          false, ServiceCodec::kCreateSessionResponse, "CreateSession", &body, &reader, error)) {
    return false;
  }
  const ServiceCodec::CreateSessionResult session = ServiceCodec::decode_create_session(reader);
  policy_id_ = session.anonymous_policy_id;
  policy_found_ = session.anonymous_found;
  session_timeout_ms_ = session.revised_timeout;
  set_token(session.authentication_token);
  return set_up_step(activate, false, 0, "ActivateSession", &body, &reader, error);
}

bool OpcuaSession::renew_if_due(std::string* error) {
  if (renew_request_id_ != 0 || Clock::now() < token_renew_at_) return true;
  const uint32_t id = next_request_id();
  ByteWriter w;
  ServiceCodec::open_secure_channel(w, header(id, static_cast<uint32_t>(options_.timeout_ms)), true,
                                    static_cast<uint32_t>(options_.token_lifetime_ms));
  if (channel_.send_open(id, w.bytes()) != zeb::kSuccess) {
    *error = "cannot send the token renewal";
    return false;
  }
  renew_request_id_ = id;
  return true;
}

bool OpcuaSession::handle_open(const ChunkAssembler::Message& message, std::string* error) {
  if (message.request_id != renew_request_id_) return true;
  renew_request_id_ = 0;
  ByteReader r(message.body.data(), message.body.size());
  const ServiceCodec::ResponseHeader h = ServiceCodec::decode_header(r);
  if (StatusMapping::is_bad(h.service_result)) {
    *error = "token renewal refused: " + StatusMapping::hex(h.service_result);
    return false;
  }
  const ServiceCodec::OpenChannelResult open = ServiceCodec::decode_open_secure_channel(r);
  channel_.set_token(channel_id_, open.token_id);
  token_renew_at_ = Clock::now() + milliseconds(open.revised_lifetime * 3 / 4);
  zeb::log_debug(log_, "OPC UA: secure channel token %u for %u ms", open.token_id,
                 open.revised_lifetime);
  return true;
}

void OpcuaSession::close() {
  std::vector<uint8_t> body;
  std::string error;
  // Best effort: a server that does not answer in time keeps the session until
  // it times out.
  transact([](ByteWriter& w,
              const ServiceCodec::RequestHeader& h) { ServiceCodec::close_session(w, h, true); },
           false, std::min(options_.timeout_ms, kCloseTimeoutMs), &body, &error);
  const uint32_t id = next_request_id();
  ByteWriter w;
  ServiceCodec::close_secure_channel(w, header(id, 0));
  if (channel_.send_close(id, w.bytes()) == zeb::kSuccess) {
    channel_.finish(std::min(options_.timeout_ms, kCloseTimeoutMs));
  }
}

void OpcuaSession::drop(bool session_lost, Clock::time_point last_alive) {
  channel_.close();
  renew_request_id_ = 0;
  std::lock_guard<std::mutex> guard(token_lock_);
  if (session_lost) {
    resumable_token_ = NodeId();
  } else if (!authentication_token_.is_null()) {
    resumable_token_ = authentication_token_;
    resumable_until_ = last_alive + milliseconds(static_cast<int64_t>(session_timeout_ms_));
  }
  authentication_token_ = NodeId();
}
