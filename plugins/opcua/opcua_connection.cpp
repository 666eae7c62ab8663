#include "opcua_connection.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "date_time.h"
#include "decode_error.h"
#include "status_mapping.h"
#include "zeb/log.h"
#include "zeb/status.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kTickMs = 100;
constexpr int kFirstBackoffMs = 250;
// Monitored items per CreateMonitoredItems request when the server states no
// limit of its own.
constexpr size_t kDefaultItemsPerCall = 500;
// Server_ServerCapabilities_OperationLimits_MaxMonitoredItemsPerCall and
// Server_ServerCapabilities_MaxMonitoredItemsPerSubscription.
constexpr uint32_t kMaxMonitoredItemsPerCallNode = 11714;
constexpr uint32_t kMaxMonitoredItemsPerSubscriptionNode = 24104;
// The orderly close on shutdown waits no longer than this.
constexpr int kCloseTimeoutMs = 1000;

ChunkAssembler::Limits receive_limits() {
  ChunkAssembler::Limits limits;
  limits.max_chunk_size = 65536;
  limits.max_message_size = 16777216;
  limits.max_chunk_count = 512;
  return limits;
}

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
      channel_(receive_limits()),
      security_(options_, log),
      thread_(&OpcuaConnection::run, this) {}

OpcuaConnection::~OpcuaConnection() {
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    stop_ = true;
  }
  state_cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

uint32_t OpcuaConnection::next_request_id() {
  uint32_t id = ++request_ids_;
  if (id == 0) id = ++request_ids_;
  return id;
}

ServiceCodec::RequestHeader OpcuaConnection::header(uint32_t request_id, uint32_t timeout_hint) {
  ServiceCodec::RequestHeader h;
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    h.authentication_token = authentication_token_;
  }
  h.timestamp = DateTime::now();
  h.request_handle = request_id;
  h.timeout_hint = timeout_hint;
  return h;
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
        if (stop_) close_session();
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
  if (ready_ || channel_.is_open()) {
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
  ++generation_;
  channel_.close();
  publish_ids_.clear();
  acks_.clear();
  renew_request_id_ = 0;
  const bool session_lost = session_broken_;
  session_broken_ = false;
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    if (session_lost) {
      resumable_token_ = NodeId();
    } else if (!authentication_token_.is_null()) {
      resumable_token_ = authentication_token_;
      resumable_until_ = last_alive_ + milliseconds(static_cast<int64_t>(session_timeout_ms_));
    }
    if (!subscriptions_.empty()) resumable_subscriptions_ = subscriptions_;
    authentication_token_ = NodeId();
    subscriptions_.clear();
    items_per_subscription_ = 0;
    subscription_wanted_ = false;
  }
  state_cv_.notify_all();
  pending_.fail_all(zeb::kConnectionFailed);
  const auto now = Clock::now();
  std::lock_guard<std::mutex> guard(items_lock_);
  for (auto& [handle, item] : items_by_handle_) {
    if (item->state == ItemState::kActive) {
      item->state = ItemState::kPending;
      item->restorable = true;
      item->retry_at = now;
      item->attempts = 0;
    }
  }
}

bool OpcuaConnection::transact(const Encoder& encode, bool open, int timeout_ms,
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
      *error = "request aborted by the server: " + hex_status(message.error);
      return false;
    }
    if (!dispatch(message, error)) return false;
  }
}

bool OpcuaConnection::set_up_step(const Encoder& encode, bool open, uint32_t response_type,
                                  const char* what, std::vector<uint8_t>* body, ByteReader* reader,
                                  std::string* error) {
  if (!transact(encode, open, options_.timeout_ms, body, error)) return false;
  *reader = ByteReader(body->data(), body->size());
  const ServiceCodec::ResponseHeader h = ServiceCodec::decode_header(*reader);
  if (StatusMapping::is_bad(h.service_result) ||
      (response_type != 0 && h.type_id != response_type)) {
    *error = std::string(what) + " refused: " + hex_status(h.service_result);
    return false;
  }
  return true;
}

bool OpcuaConnection::establish(std::string* error) {
  // A new server may hold other limits than the last.
  publish_target_ = static_cast<size_t>(options_.publish_requests);
  publish_limit_ = static_cast<size_t>(options_.max_publish_requests);
  publish_refused_ = false;
  items_per_call_ = kDefaultItemsPerCall;
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
  try {
    // Secure channel.
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

    bool resumed = false;
    if (!open_session(&resumed, error) || !read_limits(error)) return false;
    bool restored = false;
    if (resumed && !restore_subscriptions(error, &restored)) return false;
    if (!restored) {
      resumable_subscriptions_.clear();
      std::lock_guard<std::mutex> guard(items_lock_);
      for (auto& [handle, item] : items_by_handle_) item->restorable = false;
    }
    if (subscriptions_.empty() && !add_subscription(error)) return false;
  } catch (const DecodeError& e) {
    *error = std::string("malformed response: ") + e.what();
    zeb::log_error(log_, "OPC UA: %s from %s", error->c_str(), options_.endpoint_url.c_str());
    return false;
  }

  if (!retry_items(true, error)) return false;
  security_.clear_report();
  last_alive_ = Clock::now();
  ready_ = true;
  return send_publishes(error);
}

bool OpcuaConnection::open_session(bool* resumed, std::string* error) {
  std::vector<uint8_t> body;
  ByteReader reader(nullptr, 0);
  ServiceCodec::Activation activation;
  const auto activate = [&activation](ByteWriter& w, const ServiceCodec::RequestHeader& rh) {
    ServiceCodec::activate_session(w, rh, activation);
  };
  *resumed = false;
  if (!resumable_token_.is_null() && Clock::now() < resumable_until_) {
    {
      std::lock_guard<std::mutex> guard(state_lock_);
      authentication_token_ = resumable_token_;
    }
    std::string refused;
    if (security_.activation(&activation, &refused) &&
        set_up_step(activate, false, ServiceCodec::kActivateSessionResponse, "ActivateSession",
                    &body, &reader, &refused)) {
      security_.set_server_nonce(ServiceCodec::decode_activate_session(reader));
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
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    authentication_token_ = session.authentication_token;
  }
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
  return true;
}

bool OpcuaConnection::discover(std::string* error) {
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
  try {
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
    const std::vector<ServiceCodec::Endpoint> endpoints =
        ServiceCodec::decode_get_endpoints(reader);
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
  } catch (const DecodeError& e) {
    *error = std::string("malformed endpoint list: ") + e.what();
    return false;
  }
  return security_.check_trust(error);
}

bool OpcuaConnection::restore_subscriptions(std::string* error, bool* restored) {
  *restored = false;
  if (resumable_subscriptions_.empty()) return true;
  std::vector<uint32_t> ids;
  for (const Subscription& subscription : resumable_subscriptions_) ids.push_back(subscription.id);
  std::vector<uint8_t> body;
  ByteReader reader(nullptr, 0);
  std::string refused;
  if (!set_up_step(
          [&ids](ByteWriter& w, const ServiceCodec::RequestHeader& h) {
            ServiceCodec::set_publishing_mode(w, h, ids);
          },
          false, ServiceCodec::kSetPublishingModeResponse, "SetPublishingMode", &body, &reader,
          &refused)) {
    if (channel_.is_open()) return true;
    *error = refused;
    return false;
  }
  const std::vector<uint32_t> results = ServiceCodec::decode_set_publishing_mode(reader);
  if (results.size() != ids.size()) return true;
  for (uint32_t result : results) {
    if (StatusMapping::is_bad(result)) return true;
  }
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    subscriptions_ = std::move(resumable_subscriptions_);
  }
  resumable_subscriptions_.clear();
  std::lock_guard<std::mutex> guard(items_lock_);
  for (auto& [handle, item] : items_by_handle_) {
    if (item->restorable && item->state == ItemState::kPending) item->state = ItemState::kActive;
    item->restorable = false;
  }
  *restored = true;
  return true;
}

bool OpcuaConnection::read_limits(std::string* error) {
  const std::vector<NodeId> nodes{NodeId::numeric(0, kMaxMonitoredItemsPerCallNode),
                                  NodeId::numeric(0, kMaxMonitoredItemsPerSubscriptionNode)};
  std::vector<uint8_t> body;
  if (!transact(
          [&nodes](ByteWriter& w, const ServiceCodec::RequestHeader& h) {
            ServiceCodec::read_values(w, h, nodes);
          },
          false, options_.timeout_ms, &body, error)) {
    return false;
  }
  ByteReader reader(body.data(), body.size());
  const ServiceCodec::ResponseHeader h = ServiceCodec::decode_header(reader);
  // A server refusing the Read keeps the defaults; nodes it lacks come back
  // with a bad status and count as no limit.
  if (StatusMapping::is_bad(h.service_result) || h.type_id != ServiceCodec::kReadResponse) {
    return true;
  }
  const std::vector<VariantCodec::DataValue> values = ServiceCodec::decode_read_values(reader);
  const auto limit = [&values](size_t i) -> uint64_t {
    if (i >= values.size() || !values[i].has_value || StatusMapping::is_bad(values[i].status)) {
      return 0;
    }
    const nlohmann::json& val = values[i].value["val"];
    return val.is_number_unsigned() ? val.get<uint64_t>() : 0;
  };
  const uint64_t per_call = limit(0);
  items_per_call_ = per_call > 0 ? static_cast<size_t>(std::min<uint64_t>(per_call, 100000))
                                 : kDefaultItemsPerCall;
  std::lock_guard<std::mutex> guard(state_lock_);
  items_per_subscription_ = static_cast<size_t>(limit(1));
  return true;
}

bool OpcuaConnection::add_subscription(std::string* error) {
  ServiceCodec::SubscriptionParameters requested;
  requested.publishing_interval = options_.publishing_interval_ms;
  requested.keep_alive_count = static_cast<uint32_t>(options_.keep_alive_count);
  requested.lifetime_count = static_cast<uint32_t>(options_.lifetime_count);
  std::vector<uint8_t> body;
  ByteReader reader(nullptr, 0);
  try {
    if (!set_up_step(
            [&requested](ByteWriter& w, const ServiceCodec::RequestHeader& rh) {
              ServiceCodec::create_subscription(w, rh, requested);
            },
            false, ServiceCodec::kCreateSubscriptionResponse, "CreateSubscription", &body, &reader,
            error)) {
      return false;
    }
    const ServiceCodec::CreateSubscriptionResult subscription =
        ServiceCodec::decode_create_subscription(reader);
    std::lock_guard<std::mutex> guard(state_lock_);
    // The first subscription's keep-alives prove the connection alive.
    if (subscriptions_.empty()) {
      revised_ = subscription.revised;
      revised_.publishing_interval = std::max(revised_.publishing_interval, 1.0);
      revised_.keep_alive_count = std::max<uint32_t>(revised_.keep_alive_count, 1);
    }
    subscriptions_.push_back({subscription.subscription_id, 0, false});
    subscription_wanted_ = false;
  } catch (const DecodeError& e) {
    *error = std::string("malformed response: ") + e.what();
    zeb::log_error(log_, "OPC UA: %s from %s", error->c_str(), options_.endpoint_url.c_str());
    return false;
  }
  state_cv_.notify_all();
  return true;
}

uint32_t OpcuaConnection::reserve_slot() {
  for (Subscription& subscription : subscriptions_) {
    if (subscription.full) continue;
    if (items_per_subscription_ != 0 && subscription.items >= items_per_subscription_) continue;
    ++subscription.items;
    return subscription.id;
  }
  return 0;
}

bool OpcuaConnection::release_slot(uint32_t subscription_id, bool full) {
  std::lock_guard<std::mutex> guard(state_lock_);
  return release_slot_locked(subscription_id, full);
}

bool OpcuaConnection::release_slot_locked(uint32_t subscription_id, bool full) {
  for (Subscription& subscription : subscriptions_) {
    if (subscription.id != subscription_id) continue;
    if (subscription.items > 0) --subscription.items;
    // A refusal in an empty subscription is a limit of the whole server,
    // which another subscription would not lift.
    if (full && subscription.items > 0) {
      subscription.full = true;
      return true;
    }
    return false;
  }
  return false;
}

uint32_t OpcuaConnection::wait_for_slot() {
  const auto deadline = Clock::now() + milliseconds(options_.timeout_ms);
  std::unique_lock<std::mutex> lock(state_lock_);
  for (;;) {
    if (stop_ || !ready_) return 0;
    const uint32_t id = reserve_slot();
    if (id != 0) return id;
    subscription_wanted_ = true;
    if (state_cv_.wait_until(lock, deadline) == std::cv_status::timeout) return 0;
  }
}

bool OpcuaConnection::serve_once(std::string* error) {
  if (session_broken_) {
    *error = "the server no longer knows the session";
    return false;
  }
  bool wanted;
  {
    std::lock_guard<std::mutex> guard(state_lock_);
    wanted = subscription_wanted_;
  }
  if (wanted && !add_subscription(error)) return false;
  ChunkAssembler::Message message;
  try {
    if (!channel_.receive(kTickMs, &message, error)) return false;
    if (message.kind != ChunkAssembler::Kind::kNone && !dispatch(message, error)) return false;
  } catch (const DecodeError& e) {
    *error = std::string("malformed message: ") + e.what();
    zeb::log_error(log_, "OPC UA: %s from %s", error->c_str(), options_.endpoint_url.c_str());
    return false;
  }
  const auto now = Clock::now();
  const double window = revised_.publishing_interval * revised_.keep_alive_count;
  const double margin = std::max(2000.0, window / 2);
  if (now - last_alive_ > milliseconds(static_cast<int64_t>(window + margin))) {
    *error = "no keep-alive or data within the keep-alive window";
    return false;
  }
  if (renew_request_id_ == 0 && now >= token_renew_at_ && !renew_token(error)) return false;
  return retry_items(false, error) && send_publishes(error);
}

bool OpcuaConnection::renew_token(std::string* error) {
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
    case ChunkAssembler::Kind::kOpen: {
      if (message.request_id != renew_request_id_) return true;
      renew_request_id_ = 0;
      ByteReader r(message.body.data(), message.body.size());
      const ServiceCodec::ResponseHeader h = ServiceCodec::decode_header(r);
      if (StatusMapping::is_bad(h.service_result)) {
        *error = "token renewal refused: " + hex_status(h.service_result);
        return false;
      }
      const ServiceCodec::OpenChannelResult open = ServiceCodec::decode_open_secure_channel(r);
      if (!channel_.security().install_token(open.token_id, renew_nonce_, open.server_nonce,
                                             error)) {
        return false;
      }
      channel_.set_token(channel_id_, open.token_id);
      token_renew_at_ = Clock::now() + milliseconds(open.revised_lifetime * 3 / 4);
      zeb::log_debug(log_, "OPC UA: secure channel token %u for %u ms", open.token_id,
                     open.revised_lifetime);
      return true;
    }
    case ChunkAssembler::Kind::kAbort:
    case ChunkAssembler::Kind::kMessage: {
      const auto publish = std::find(publish_ids_.begin(), publish_ids_.end(), message.request_id);
      if (publish != publish_ids_.end()) {
        publish_ids_.erase(publish);
        if (message.kind == ChunkAssembler::Kind::kAbort) return true;
        return handle_publish(message.body, error);
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

bool OpcuaConnection::handle_publish(const std::vector<uint8_t>& body, std::string* error) {
  ByteReader r(body.data(), body.size());
  const ServiceCodec::ResponseHeader h = ServiceCodec::decode_header(r);
  if (StatusMapping::is_bad(h.service_result)) {
    const uint32_t code = StatusMapping::code(h.service_result);
    if (StatusMapping::connection_lost(h.service_result) ||
        code == StatusMapping::kBadNoSubscription) {
      *error = "Publish refused: " + hex_status(h.service_result);
      return false;
    }
    // The requests the server still holds are all it takes; the refusals of
    // one burst all tell the same.
    if (code == StatusMapping::kBadTooManyPublishRequests && !publish_refused_) {
      publish_refused_ = true;
      publish_limit_ = std::max<size_t>(1, publish_ids_.size());
      publish_target_ = std::min(publish_target_, publish_limit_);
      zeb::log_debug(log_, "OPC UA: %s holds at most %zu Publish requests",
                     options_.endpoint_url.c_str(), publish_limit_);
    }
    // Other faults (BadTimeout) end only that request; a new one replaces it.
    return true;
  }
  if (h.type_id != ServiceCodec::kPublishResponse) throw DecodeError("unexpected response type");
  ServiceCodec::PublishResult result;
  try {
    result = ServiceCodec::decode_publish(r);
  } catch (const DecodeTooLarge& e) {
    // The channel is sound; only these changes are lost. Unacknowledged, the
    // server keeps them for a while and then lets them go.
    zeb::log_error(log_, "OPC UA: data changes from %s refused: %s", options_.endpoint_url.c_str(),
                   e.what());
    last_alive_ = Clock::now();
    return true;
  }
  last_alive_ = Clock::now();
  publish_refused_ = false;
  if (result.has_data) acks_.push_back({result.subscription_id, result.sequence_number});
  if (result.more_notifications) {
    publish_target_ = std::min(publish_target_ + 1, publish_limit_);
  } else if (!result.has_data) {
    publish_target_ = std::max(publish_target_ - 1, static_cast<size_t>(options_.publish_requests));
  }
  if (result.status_changed && StatusMapping::is_bad(result.status_change)) {
    *error = "subscription ended by the server: " + hex_status(result.status_change);
    return false;
  }
  for (const ServiceCodec::ItemNotification& item : result.items) deliver(item);
  return true;
}

bool OpcuaConnection::send_publishes(std::string* error) {
  const double window = revised_.publishing_interval * revised_.keep_alive_count;
  // Requests queue at the server; the last must outlive all keep-alives before it.
  const uint32_t hint =
      static_cast<uint32_t>(std::min(window * static_cast<double>(publish_target_ + 1), 4.0e9));
  while (publish_ids_.size() < publish_target_) {
    const uint32_t id = next_request_id();
    ByteWriter w;
    ServiceCodec::publish(w, header(id, hint), acks_);
    if (channel_.send_message(id, w.bytes()) != zeb::kSuccess) {
      *error = "cannot send Publish";
      return false;
    }
    acks_.clear();
    publish_ids_.push_back(id);
  }
  return true;
}

bool OpcuaConnection::retry_items(bool all, std::string* error) {
  const auto now = Clock::now();
  std::vector<std::shared_ptr<Item>> due;
  {
    std::lock_guard<std::mutex> guard(items_lock_);
    for (auto& [handle, item] : items_by_handle_) {
      if (item->state == ItemState::kPending && (all || item->retry_at <= now)) {
        due.push_back(item);
      }
    }
  }
  if (due.empty()) return true;
  const uint64_t generation = generation_;
  ServiceCodec::MonitoringParameters parameters;
  parameters.sampling_interval = options_.sampling_interval_ms;
  parameters.queue_size = static_cast<uint32_t>(options_.queue_size);

  size_t next = 0;
  while (next < due.size()) {
    // One batch: items of one subscription, no more than the server takes per call.
    std::vector<ServiceCodec::ItemToCreate> batch;
    uint32_t subscription_id = 0;
    {
      std::unique_lock<std::mutex> lock(state_lock_);
      while (batch.size() < items_per_call_ && next + batch.size() < due.size()) {
        const uint32_t id = reserve_slot();
        if (id == 0 || (subscription_id != 0 && id != subscription_id)) {
          if (id != 0) release_slot_locked(id);
          if (id != 0 || !batch.empty()) break;
          lock.unlock();
          if (!add_subscription(error)) return false;
          lock.lock();
          continue;
        }
        subscription_id = id;
        const Item& item = *due[next + batch.size()];
        batch.push_back({item.node, item.handle});
      }
    }
    if (batch.empty()) return true;
    const size_t first = next;
    next += batch.size();
    std::vector<uint8_t> body;
    if (!transact(
            [&](ByteWriter& w, const ServiceCodec::RequestHeader& h) {
              ServiceCodec::create_monitored_items(w, h, subscription_id, batch, parameters);
            },
            false, options_.timeout_ms, &body, error)) {
      return false;
    }
    std::vector<ServiceCodec::ItemResult> results;
    try {
      ByteReader r(body.data(), body.size());
      const ServiceCodec::ResponseHeader h = ServiceCodec::decode_header(r);
      if (StatusMapping::is_bad(h.service_result)) {
        if (StatusMapping::connection_lost(h.service_result)) {
          *error = "CreateMonitoredItems refused: " + hex_status(h.service_result);
          return false;
        }
        // A server whose limit per call we could not read halves the batch.
        if (StatusMapping::code(h.service_result) == StatusMapping::kBadTooManyOperations &&
            batch.size() > 1) {
          items_per_call_ = batch.size() / 2;
          for (size_t i = 0; i < batch.size(); ++i) release_slot(subscription_id, false);
          next = first;
          continue;
        }
        results.assign(batch.size(), ServiceCodec::ItemResult{h.service_result, 0});
      } else {
        results = ServiceCodec::decode_create_monitored_items(r);
      }
    } catch (const DecodeError& e) {
      *error = std::string("malformed response: ") + e.what();
      zeb::log_error(log_, "OPC UA: %s from %s", error->c_str(), options_.endpoint_url.c_str());
      return false;
    }
    for (size_t i = 0; i < batch.size(); ++i) {
      const uint32_t status = i < results.size()
                                  ? results[i].status
                                  : static_cast<uint32_t>(StatusMapping::kBadTooManyOperations);
      Item& item = *due[first + i];
      const bool good = !StatusMapping::is_bad(status) && generation == generation_;
      const bool full =
          !good && release_slot(subscription_id, StatusMapping::code(status) ==
                                                     StatusMapping::kBadTooManyMonitoredItems);
      std::lock_guard<std::mutex> guard(items_lock_);
      if (good) {
        item.state = ItemState::kActive;
        item.attempts = 0;
        continue;
      }
      // A full subscription is no fault of the item: it goes into the next one.
      if (full) {
        item.retry_at = Clock::now();
        continue;
      }
      ++item.attempts;
      item.retry_at = Clock::now() + milliseconds(backoff_ms(item.attempts));
      zeb::log_warn(log_, "OPC UA: monitored item %s refused by %s: %s; retrying",
                    item.topic.c_str(), options_.endpoint_url.c_str(), hex_status(status).c_str());
    }
  }
  return true;
}

void OpcuaConnection::deliver(const ServiceCodec::ItemNotification& notification) {
  // Once stopping, subscribers may already be gone.
  if (stop_) return;
  std::string topic;
  zeb::Transport* owner = nullptr;
  zeb::MessageCallback callback = nullptr;
  void* user = nullptr;
  std::lock_guard<std::mutex> delivering(delivery_lock_);
  {
    std::lock_guard<std::mutex> guard(items_lock_);
    const auto found = items_by_handle_.find(notification.client_handle);
    if (found == items_by_handle_.end()) return;
    topic = found->second->topic;
    owner = found->second->owner;
    callback = found->second->callback;
    user = found->second->user;
  }
  const VariantCodec::DataValue& value = notification.value;
  if (!value.has_value) {
    if (StatusMapping::is_bad(value.status)) {
      zeb::log_warn(log_, "OPC UA: %s reports status %s", topic.c_str(),
                    hex_status(value.status).c_str());
    }
    return;
  }
  const std::string text = dump(value.value);
  auto* data = static_cast<char*>(std::malloc(text.size() + 1));
  if (data == nullptr) {
    zeb::log_error(log_, "OPC UA: no memory for a value of %s", topic.c_str());
    return;
  }
  std::memcpy(data, text.c_str(), text.size() + 1);
  // The OPC UA blocks release the payload with free and the record with delete.
  auto* msg = new (std::nothrow) zeb::_Msg{owner, 0, data, text.size()};
  if (msg == nullptr) {
    std::free(data);
    zeb::log_error(log_, "OPC UA: no memory for a value of %s", topic.c_str());
    return;
  }
  try {
    callback(plane_id_.c_str(), topic.c_str(), msg, user);
  } catch (...) {
    zeb::log_error(log_, "OPC UA: the subscriber of %s threw", topic.c_str());
  }
}

void OpcuaConnection::close_session() {
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

// ---- callers' threads ----------------------------------------------------------

int OpcuaConnection::call(const Encoder& encode, std::vector<uint8_t>* response) {
  if (!ready_) return zeb::kConnectionFailed;
  const uint32_t id = next_request_id();
  ByteWriter w;
  try {
    encode(w, header(id, static_cast<uint32_t>(options_.timeout_ms)));
  } catch (const std::exception& e) {
    zeb::log_error(log_, "OPC UA: cannot encode request: %s", e.what());
    return zeb::kBadRequest;
  }
  pending_.expect(id);
  const int sent = channel_.send_message(id, w.bytes());
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
                              const Decoder& decode) {
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
  {
    std::lock_guard<std::mutex> guard(items_lock_);
    for (auto it = items_by_topic_.begin(); it != items_by_topic_.end();) {
      if (it->second->owner == owner) {
        items_by_handle_.erase(it->second->handle);
        it = items_by_topic_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // A delivery that found its item before it went ends here.
  std::lock_guard<std::mutex> delivered(delivery_lock_);
}

int OpcuaConnection::subscribe(zeb::Transport* owner, const std::string& topic, const NodeId& node,
                               zeb::MessageCallback callback, void* user) {
  if (!ready_) return zeb::kConnectionFailed;
  auto item = std::make_shared<Item>();
  item->owner = owner;
  item->topic = topic;
  item->node = node;
  item->callback = callback;
  item->user = user;
  {
    std::lock_guard<std::mutex> guard(items_lock_);
    if (items_by_topic_.count({owner, topic}) != 0) return zeb::kDuplicateSubscription;
    item->handle = next_handle_++;
    // Recorded before the server is asked, so the first value is never without
    // its subscriber; taken back on failure.
    items_by_topic_[{owner, topic}] = item;
    items_by_handle_[item->handle] = item;
  }
  const auto forget = [this, &item] {
    std::lock_guard<std::mutex> guard(items_lock_);
    items_by_topic_.erase({item->owner, item->topic});
    items_by_handle_.erase(item->handle);
  };
  const uint64_t generation = generation_;
  ServiceCodec::MonitoringParameters parameters;
  parameters.sampling_interval = options_.sampling_interval_ms;
  parameters.queue_size = static_cast<uint32_t>(options_.queue_size);
  const std::vector<ServiceCodec::ItemToCreate> items{{node, item->handle}};
  int status = zeb::kConnectionFailed;
  uint32_t subscription_id = 0;
  // A second try when the subscription turned out full: the next has room.
  for (int attempt = 0; attempt < 2; ++attempt) {
    subscription_id = wait_for_slot();
    if (subscription_id == 0) {
      status = ready_ ? zeb::kTimedOut : zeb::kConnectionFailed;
      break;
    }
    std::vector<uint8_t> body;
    uint32_t result = StatusMapping::kGood;
    status = call(
        [&](ByteWriter& w, const ServiceCodec::RequestHeader& h) {
          ServiceCodec::create_monitored_items(w, h, subscription_id, items, parameters);
        },
        &body);
    if (status == zeb::kSuccess) {
      try {
        ByteReader r(body.data(), body.size());
        status = check_header(r, ServiceCodec::kCreateMonitoredItemsResponse);
        if (status == zeb::kSuccess) {
          const std::vector<ServiceCodec::ItemResult> results =
              ServiceCodec::decode_create_monitored_items(r);
          if (results.empty()) {
            status = zeb::kInvalidResponse;
          } else {
            result = results[0].status;
            status = StatusMapping::to_zeb(result);
          }
        }
      } catch (const DecodeError& e) {
        zeb::log_error(log_, "OPC UA: malformed CreateMonitoredItems response from %s: %s",
                       options_.endpoint_url.c_str(), e.what());
        status = zeb::kInvalidResponse;
      }
    }
    if (status == zeb::kSuccess) break;
    const bool full = release_slot(
        subscription_id, StatusMapping::code(result) == StatusMapping::kBadTooManyMonitoredItems);
    if (!full) break;
  }
  if (status != zeb::kSuccess) {
    forget();
    return status;
  }
  std::lock_guard<std::mutex> guard(items_lock_);
  if (generation == generation_) {
    item->state = ItemState::kActive;
  } else {
    // The session changed under the request: the new one gets the item too.
    item->state = ItemState::kPending;
    item->retry_at = Clock::now();
  }
  return zeb::kSuccess;
}
