#include "opcua_session.h"

#include <algorithm>

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

}  // namespace

OpcuaSession::OpcuaSession(std::string plane_id, const PlaneOptions& options, void* log,
                           Dispatcher dispatch)
    : plane_id_(std::move(plane_id)),
      options_(options),
      log_(log),
      dispatch_(std::move(dispatch)),
      channel_(receive_limits()),
      security_(options, log) {}

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
  if (!security_.plain()) {
    const bool chosen =
        security_.needs_discovery() ? discover(error) : security_.use_configured_server(error);
    if (!chosen) return false;
  }
  if (!channel_.connect(options_.host, options_.port, options_.endpoint_url, options_.timeout_ms,
                        error)) {
    return false;
  }
  std::vector<uint8_t> body;
  ByteReader reader(nullptr, 0);
  security_.configure(channel_.security());
  const std::string nonce = security_.channel_nonce();
  if (!set_up_step(
          [this, &nonce](ByteWriter& w, const ServiceCodec::RequestHeader& h) {
            ServiceCodec::open_secure_channel(w, h, false,
                                              static_cast<uint32_t>(options_.token_lifetime_ms),
                                              static_cast<int32_t>(security_.mode()), nonce);
          },
          true, ServiceCodec::kOpenSecureChannelResponse, "OpenSecureChannel", &body, &reader,
          error)) {
    return false;
  }
  const ServiceCodec::OpenChannelResult open = ServiceCodec::decode_open_secure_channel(reader);
  channel_id_ = open.channel_id;
  if (!channel_.security().install_token(open.token_id, nonce, open.server_nonce, error)) {
    return false;
  }
  channel_.set_token(open.channel_id, open.token_id);
  token_renew_at_ = Clock::now() + milliseconds(open.revised_lifetime * 3 / 4);
  return open_session(resumed, error);
}

bool OpcuaSession::open_session(bool* resumed, std::string* error) {
  std::vector<uint8_t> body;
  ByteReader reader(nullptr, 0);
  ServiceCodec::Activation activation;
  const auto activate = [&activation](ByteWriter& w, const ServiceCodec::RequestHeader& rh) {
    ServiceCodec::activate_session(w, rh, activation);
  };
  *resumed = false;
  if (!resumable_token_.is_null() && Clock::now() < resumable_until_) {
    set_token(resumable_token_);
    std::string refused;
    if (security_.activation(&activation, &refused) &&
        set_up_step(activate, false, ServiceCodec::kActivateSessionResponse, "ActivateSession",
                    &body, &reader, &refused)) {
      security_.set_server_nonce(ServiceCodec::decode_activate_session(reader));
      security_.clear_report();
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
  const std::string nonce = SecurityPolicy::random_bytes(SecurityPolicy::kNonceLength);
  if (!set_up_step(
          [this, &nonce](ByteWriter& w, const ServiceCodec::RequestHeader& rh) {
            ServiceCodec::create_session(w, rh, options_.endpoint_url, "zebt_opcua " + plane_id_,
                                         nonce, options_.session_timeout_ms,
                                         security_.client_certificate(),
                                         security_.application_uri());
          },
          false, ServiceCodec::kCreateSessionResponse, "CreateSession", &body, &reader, error)) {
    return false;
  }
  const ServiceCodec::CreateSessionResult session = ServiceCodec::decode_create_session(reader);
  session_timeout_ms_ = session.revised_timeout;
  set_token(session.authentication_token);
  if (!security_.accept_session(session, nonce, error) ||
      !security_.activation(&activation, error)) {
    if (security_.first_report(*error)) {
      zeb::log_error(log_, "OPC UA: %s: %s", options_.endpoint_url.c_str(), error->c_str());
    }
    return false;
  }
  if (!set_up_step(activate, false, ServiceCodec::kActivateSessionResponse, "ActivateSession",
                   &body, &reader, error)) {
    if (channel_.is_open() && security_.first_report(*error)) {
      zeb::log_error(log_, "OPC UA: %s refused the login as %s: %s", options_.endpoint_url.c_str(),
                     security_.identity().c_str(), error->c_str());
    }
    return false;
  }
  security_.set_server_nonce(ServiceCodec::decode_activate_session(reader));
  security_.clear_report();
  return true;
}

bool OpcuaSession::discover(std::string* error) {
  std::vector<uint8_t> body;
  ByteReader reader(nullptr, 0);
  if (!security_.prepare(error)) {
    if (security_.first_report(*error)) {
      zeb::log_error(log_, "OPC UA: %s: %s", options_.endpoint_url.c_str(), error->c_str());
    }
    return false;
  }
  if (!channel_.connect(options_.host, options_.port, options_.endpoint_url, options_.timeout_ms,
                        error)) {
    return false;
  }
  channel_.security().configure(SecurityPolicy::none(), ChunkSecurity::Mode::kNone, nullptr,
                                nullptr, nullptr);
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
  channel_.set_token(open.channel_id, open.token_id);
  if (!set_up_step(
          [this](ByteWriter& w, const ServiceCodec::RequestHeader& h) {
            ServiceCodec::get_endpoints(w, h, options_.endpoint_url);
          },
          false, ServiceCodec::kGetEndpointsResponse, "GetEndpoints", &body, &reader, error)) {
    return false;
  }
  const std::vector<ServiceCodec::Endpoint> endpoints = ServiceCodec::decode_get_endpoints(reader);
  const uint32_t id = next_request_id();
  ByteWriter w;
  ServiceCodec::close_secure_channel(w, header(id, 0));
  channel_.send_close(id, w.bytes());
  channel_.close();
  if (!security_.choose(endpoints, error)) {
    if (security_.first_report(*error)) {
      zeb::log_error(log_, "OPC UA: %s: %s", options_.endpoint_url.c_str(), error->c_str());
    }
    return false;
  }
  if (security_.changed_choice()) {
    zeb::log_info(log_, "OPC UA: using security %s for %s as %s", security_.describe().c_str(),
                  options_.endpoint_url.c_str(), security_.identity().c_str());
  }
  return security_.check_trust(error);
}

bool OpcuaSession::renew_if_due(std::string* error) {
  if (renew_request_id_ != 0 || Clock::now() < token_renew_at_) return true;
  const uint32_t id = next_request_id();
  ByteWriter w;
  renew_nonce_ = security_.channel_nonce();
  ServiceCodec::open_secure_channel(w, header(id, static_cast<uint32_t>(options_.timeout_ms)), true,
                                    static_cast<uint32_t>(options_.token_lifetime_ms),
                                    static_cast<int32_t>(security_.mode()), renew_nonce_);
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
  if (!channel_.security().install_token(open.token_id, renew_nonce_, open.server_nonce, error)) {
    return false;
  }
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
