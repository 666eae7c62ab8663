#include "mqtt_callback_handler.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "mqtt_plane_health.h"
#include "zeb/log.h"
#include "zeb/status.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kKeepAliveSeconds = 5;
constexpr int kFirstBackoffSeconds = 1;
// The delay doubles while it is at most this many seconds: 1, 2, ... 2048.
constexpr int kLastDoublingSeconds = 1199;
// A connection that stayed up this long resets the back-off. Six keep-alive
// periods: a broker that accepts and then drops the connection for missing
// pings (after one and a half periods) or a load balancer that closes idle
// connections after a few seconds never counts as healed.
constexpr auto kStableUp = std::chrono::seconds(30);
// The longest wait for socket events; keep-alive pings are due well after it.
constexpr int kPollMilliseconds = 1000;
// Packets read in a row before writing and keep-alive get their turn.
constexpr int kReadBurst = 64;
// The longest a publisher waits at a time before looking at the connection again.
constexpr auto kRoomWait = std::chrono::seconds(1);
// Publishes a connection may have unconfirmed (QoS 1 and 2: unacknowledged;
// QoS 0: not yet written) before publishers wait: about half a megabyte of
// copies for typical telemetry documents.
constexpr int kMaxUnconfirmed = 256;
// Received messages waiting for their subscriber before the connection stops
// reading from the socket, by count and by bytes (at least one message of the
// largest size allowed always fits).
constexpr size_t kDeliveryCount = 256;
constexpr size_t kDeliveryBytes = 32u * 1024 * 1024;
// How long an orderly end waits for the broker to acknowledge what was published.
constexpr auto kStopAckWait = std::chrono::seconds(3);
// How long a publishing connection lets acknowledgements gather after reading
// some: far below any wait of the publishers, and it turns one wake-up per
// published message into one per batch.
constexpr int kGatherMilliseconds = 1;
// While the socket is not read (the subscriber is slow) libmosquitto cannot see
// the broker's answers to its pings and would drop the connection, so the
// network thread keeps the broker's keep-alive timer fed itself: an
// unsubscription from a filter nobody subscribes to, every half period.
constexpr char kNudgeFilter[] = "$weft/keep-alive";
constexpr auto kNudgeEvery = std::chrono::milliseconds(kKeepAliveSeconds * 500);
// Data sent but not acknowledged by the broker's TCP for this long ends the
// connection: a vanished broker is noticed even while the socket is not read.
constexpr unsigned kTcpUserTimeoutMs = 3 * kKeepAliveSeconds * 1000;
// Error lines kept per connection attempt: the first ones name the cause.
constexpr size_t kMaxTlsErrors = 4;

const char* or_null(const std::string& text) {
  return text.empty() ? nullptr : text.c_str();
}

// libmosquitto's line without its "OpenSSL Error[0]: " or "Error: " lead, and
// an OpenSSL error string ("error:0A000086:SSL routines::certificate verify
// failed") reduced to its reason.
std::string plain_reason(std::string line) {
  const size_t lead = line.find(": ");
  if (line.compare(0, 6, "Error:") == 0 || line.compare(0, 13, "OpenSSL Error") == 0) {
    if (lead != std::string::npos) line.erase(0, lead + 2);
  }
  if (line.compare(0, 6, "error:") == 0) line.erase(0, line.rfind(':') + 1);
  while (!line.empty() && (line.back() == '.' || line.back() == '\n')) line.pop_back();
  return line;
}

// "$share/GROUP/FILTER" delivers topics that match FILTER.
const char* strip_share_prefix(const std::string& filter) {
  static const char kShare[] = "$share/";
  if (filter.compare(0, sizeof kShare - 1, kShare) != 0) return filter.c_str();
  const size_t group_end = filter.find('/', sizeof kShare - 1);
  return group_end == std::string::npos ? filter.c_str() : filter.c_str() + group_end + 1;
}

// The network thread's reads and writes must return when there is nothing to
// do, so that it can keep the connection alive and stop when asked.
void tune_socket(mosquitto* mosq) {
  const int sock = mosquitto_socket(mosq);
  if (sock < 0) return;
  const int flags = ::fcntl(sock, F_GETFL);
  if (flags >= 0) ::fcntl(sock, F_SETFL, flags | O_NONBLOCK);
  const unsigned timeout = kTcpUserTimeoutMs;
  ::setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
}

// The handler whose network thread this is, if any.
thread_local const MQTTCallbackHandler* tls_serving = nullptr;

int remaining_ms(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

MQTTCallbackHandler::MQTTCallbackHandler(zeb::Transport* owner, const MQTTPlaneSettings& settings,
                                         void** log_ref, bool direct)
    : owner_(owner),
      settings_(settings),
      log_ref_(log_ref),
      direct_(direct),
      wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!wake_fd_.valid()) throw std::runtime_error(std::strerror(errno));
  mosq_.reset(mosquitto_new(settings_.client_id.empty() ? nullptr : settings_.client_id.c_str(),
                            settings_.clean_session, this));
  if (!mosq_) throw std::runtime_error(std::strerror(errno));
  delivery_ = std::make_unique<MQTTDelivery>(
      kDeliveryCount, std::max(kDeliveryBytes, settings_.max_message_size), [this] { wake(); });
}

MQTTCallbackHandler::~MQTTCallbackHandler() {
  stop();
}

void MQTTCallbackHandler::start() {
  net_thread_ = std::thread(&MQTTCallbackHandler::net_loop, this);
}

void MQTTCallbackHandler::await_first_attempt() {
  std::unique_lock<std::mutex> guard(wake_lock_);
  wake_.wait_for(guard, std::chrono::seconds(settings_.connect_timeout_seconds + 1),
                 [this] { return first_attempt_done_ || !running_; });
}

int MQTTCallbackHandler::add_subscription(const char* topic, zeb::MessageCallback callback,
                                          void* user) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!subscriptions_.emplace(topic, Subscriber(callback, user)).second) {
      return zeb::kDuplicateSubscription;
    }
  }
  // Recorded before the broker is asked, so a message arriving right after the
  // subscription is never without its subscriber; taken back on refusal. While
  // down, the network thread subscribes on connecting (`io_lock_` is not taken
  // then: the network thread may be resolving the broker's name under it).
  if (!connected_.load()) return zeb::kSuccess;
  std::lock_guard<std::mutex> io(io_lock_);
  if (!connected_.load()) return zeb::kSuccess;
  if (mosquitto_subscribe(mosq_.get(), nullptr, topic, settings_.qos) != MOSQ_ERR_SUCCESS) {
    std::lock_guard<std::mutex> guard(lock_);
    subscriptions_.erase(topic);
    return zeb::kCantSubscribe;
  }
  wake();
  return zeb::kSuccess;
}

int MQTTCallbackHandler::publish(const char* topic, int length, const void* payload,
                                 zeb::PublishCallback done, void* user, uint64_t tag) {
  while (unconfirmed_.load() >= kMaxUnconfirmed && connected_.load() && running_.load()) {
    wait_until([this] { return unconfirmed_.load() < kMaxUnconfirmed || !connected_.load(); });
  }
  // Checked before `io_lock_` too, which a connection attempt holds while the
  // broker's name is resolved: a publish while down never waits.
  if (!connected_.load()) return zeb::kConnectionFailed;
  {
    std::unique_lock<std::mutex> io(io_lock_);
    if (!connected_.load() || !running_.load()) return zeb::kConnectionFailed;
    // Counted before libmosquitto has it, so its confirmation never comes first.
    unconfirmed_.fetch_add(1);
    int mid = 0;
    const int result =
        mosquitto_publish(mosq_.get(), &mid, topic, length, payload, settings_.qos, false);
    if (result != MOSQ_ERR_SUCCESS) {
      // At QoS 1 and 2 libmosquitto may keep the message all the same.
      if (settings_.qos > 0) stale_copies_ = true;
      unconfirmed_.fetch_sub(1);
      return result == MOSQ_ERR_NO_CONN ? zeb::kConnectionFailed : zeb::kUnableToDeliver;
    }
    Pending pending;
    pending.done = done;
    pending.user = user;
    pending.tag = tag;
    pending.order = next_order_++;
    if (done == nullptr && settings_.qos > 0) {
      pending.kept = true;
      pending.topic = topic;
      pending.payload.assign(static_cast<const char*>(payload), static_cast<size_t>(length));
    }
    track(mid, std::move(pending));
    if (direct_.load() && mosquitto_want_write(mosq_.get())) socket_full_.store(true);
  }
  // In direct mode the packet is written already; only what the socket did not
  // take needs the network thread.
  if (!direct_.load() || socket_full_.load()) wake();
  if (socket_full_.load()) {
    wait_until([this] { return !socket_full_.load() || !connected_.load(); });
  }
  return zeb::kSuccess;
}

void MQTTCallbackHandler::track(int mid, Pending pending) {
  {
    std::lock_guard<std::mutex> guard(pending_lock_);
    if (early_.erase(mid) == 0) {
      pending_[mid] = std::move(pending);
      return;
    }
  }
  unconfirmed_.fetch_sub(1);
  confirm(pending);
}

void MQTTCallbackHandler::completed(int mid) {
  Pending pending;
  {
    std::lock_guard<std::mutex> guard(pending_lock_);
    const auto it = pending_.find(mid);
    if (it == pending_.end()) {
      // libmosquitto may confirm (QoS 0: written) before `publish` has its mid.
      early_.insert(mid);
      return;
    }
    pending = std::move(it->second);
    pending_.erase(it);
  }
  unconfirmed_.fetch_sub(1);
  confirm(pending);
  notify_waiters();
}

void MQTTCallbackHandler::confirm(const Pending& pending) {
  if (pending.done == nullptr) return;
  if (tls_serving == this) {
    pending.done(pending.user, pending.tag, zeb::kSuccess);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(pending_lock_);
    confirmed_.push_back(pending);
  }
  wake();
}

void MQTTCallbackHandler::report_confirmed() {
  std::vector<Pending> confirmed;
  {
    std::lock_guard<std::mutex> guard(pending_lock_);
    if (confirmed_.empty()) return;
    confirmed.swap(confirmed_);
  }
  for (const Pending& pending : confirmed) pending.done(pending.user, pending.tag, zeb::kSuccess);
}

size_t MQTTCallbackHandler::fail_pending(int status, bool keep) {
  report_confirmed();
  std::map<int, Pending> failed;
  {
    std::lock_guard<std::mutex> guard(pending_lock_);
    failed.swap(pending_);
    early_.clear();
  }
  unconfirmed_.fetch_sub(static_cast<int>(failed.size()));
  for (auto& entry : failed) {
    Pending& pending = entry.second;
    if (pending.done != nullptr) {
      pending.done(pending.user, pending.tag, status);
    } else if (keep && pending.kept) {
      lost_.push_back(std::move(pending));
    }
  }
  // Message ids wrap around; the order of publishing does not.
  std::sort(lost_.begin(), lost_.end(),
            [](const Pending& a, const Pending& b) { return a.order < b.order; });
  notify_waiters();
  return failed.size();
}

void MQTTCallbackHandler::send_lost() {
  if (lost_.empty()) return;
  std::vector<Pending> lost;
  lost.swap(lost_);
  size_t sent = 0;
  for (Pending& pending : lost) {
    unconfirmed_.fetch_add(1);
    int mid = 0;
    const int result = mosquitto_publish(mosq_.get(), &mid, pending.topic.c_str(),
                                         static_cast<int>(pending.payload.size()),
                                         pending.payload.data(), settings_.qos, false);
    if (result != MOSQ_ERR_SUCCESS) {
      unconfirmed_.fetch_sub(1);
      stale_copies_ = true;
      lost_.push_back(std::move(pending));
      continue;
    }
    ++sent;
    track(mid, std::move(pending));
  }
  zeb::log_info(*log_ref_,
                "MQTT: Sent %zu publishes again that the lost connection left unconfirmed", sent);
}

template <typename Done>
void MQTTCallbackHandler::wait_until(Done done) {
  room_waiters_.fetch_add(1);
  {
    std::unique_lock<std::mutex> guard(room_lock_);
    room_.wait_for(guard, kRoomWait, [this, &done] { return done() || !running_; });
  }
  room_waiters_.fetch_sub(1);
}

void MQTTCallbackHandler::notify_waiters() {
  if (room_waiters_.load() == 0) return;
  // Taking the lock orders this wake-up after the waiter's check.
  std::lock_guard<std::mutex> guard(room_lock_);
  room_.notify_all();
}

void MQTTCallbackHandler::queue_mode() {
  if (!direct_.load()) return;
  std::lock_guard<std::mutex> io(io_lock_);
  mosquitto_threaded_set(mosq_.get(), true);
  direct_.store(false);
}

void MQTTCallbackHandler::stop() {
  if (stopped_.exchange(true)) return;
  void* log = *log_ref_;
  // Publishes already written get their acknowledgements if the broker answers soon.
  const auto deadline = Clock::now() + kStopAckWait;
  while (net_thread_.joinable() && connected_.load() && unconfirmed_.load() > 0 &&
         Clock::now() < deadline) {
    wait_until([this] { return unconfirmed_.load() == 0 || !connected_.load(); });
  }
  {
    std::lock_guard<std::mutex> guard(wake_lock_);
    running_ = false;
  }
  wake_.notify_all();
  wake();
  notify_waiters();
  if (net_thread_.joinable()) net_thread_.join();
  if (connected_.load()) {
    // With the network thread gone this thread may touch the socket: a polite
    // farewell, written at once if the socket takes it.
    std::lock_guard<std::mutex> io(io_lock_);
    if (mosquitto_disconnect(mosq_.get()) == MOSQ_ERR_SUCCESS) mosquitto_loop_write(mosq_.get(), 1);
    connected_ = false;
  }
  // Messages already read (and acknowledged to the broker) still reach their subscribers.
  delivery_->finish();
  const int unconfirmed = unconfirmed_.load();
  if (unconfirmed > 0) {
    zeb::log_warn(log, "MQTT: Closing %s with %d publishes unacknowledged", settings_.plane.c_str(),
                  unconfirmed);
  }
  fail_pending(zeb::kConnectionError, false);
  if (!lost_.empty()) {
    zeb::log_warn(log, "MQTT: Closing %s with %zu publishes of a lost connection not sent again",
                  settings_.plane.c_str(), lost_.size());
    lost_.clear();
  }
  mqtt_plane_health_forget(settings_.plane);
}

void MQTTCallbackHandler::wake() {
  const uint64_t one = 1;
  // A full counter already wakes the thread, so a failed write loses nothing.
  if (::write(wake_fd_.get(), &one, sizeof one) < 0) return;
}

bool MQTTCallbackHandler::find_subscriber(const char* topic, Subscriber& out) {
  std::lock_guard<std::mutex> guard(lock_);
  auto exact = subscriptions_.find(topic);
  if (exact != subscriptions_.end()) {
    out = exact->second;
    return true;
  }
  // The broker also delivers for wildcard and shared subscriptions; such a
  // topic never equals the filter it was subscribed under.
  for (const auto& [filter, subscriber] : subscriptions_) {
    bool matches = false;
    if (mosquitto_topic_matches_sub(strip_share_prefix(filter), topic, &matches) ==
            MOSQ_ERR_SUCCESS &&
        matches) {
      out = subscriber;
      return true;
    }
  }
  return false;
}

void MQTTCallbackHandler::received(const mosquitto_message* msg) {
  void* log = *log_ref_;
  const char* topic = msg->topic;
  const int length = msg->payloadlen > 0 ? msg->payloadlen : 0;
  if (static_cast<size_t>(length) > settings_.max_message_size) {
    zeb::log_error(log,
                   "MQTT: Dropped a message of %d bytes on \"%s\": larger than max_message_size "
                   "(%zu bytes)",
                   length, topic, settings_.max_message_size);
    return;
  }
  zeb::log_debug(log, "MQTT: Message received from topic \"%s\":\n%.*s", topic, length,
                 static_cast<const char*>(msg->payload));
  Subscriber subscriber;
  if (!find_subscriber(topic, subscriber)) {
    zeb::log_error(log, "MQTT: No callback found for topic \"%s\"", topic);
    return;
  }
  if (subscriber.first == nullptr) return;

  char* data = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
  if (data == nullptr) {
    zeb::log_error(log, "MQTT: Out of memory for a message of %d bytes on \"%s\"", length, topic);
    return;
  }
  if (length > 0) std::memcpy(data, msg->payload, static_cast<size_t>(length));
  data[length] = '\0';
  auto* message = new (std::nothrow) zeb::_Msg{owner_, 0, data, static_cast<size_t>(length)};
  if (message == nullptr) {
    std::free(data);
    zeb::log_error(log, "MQTT: Out of memory for a message of %d bytes on \"%s\"", length, topic);
    return;
  }
  delivery_->push(MQTTDelivery::Item{subscriber.first, subscriber.second, topic, message});
}

void MQTTCallbackHandler::on_connect(mosquitto*, void* obj, int code) {
  static_cast<MQTTCallbackHandler*>(obj)->connack_ = code;
}

void MQTTCallbackHandler::on_disconnect(mosquitto*, void* obj, int code) {
  static_cast<MQTTCallbackHandler*>(obj)->disconnect_reason_ = code;
}

void MQTTCallbackHandler::on_publish(mosquitto*, void* obj, int mid) {
  try {
    static_cast<MQTTCallbackHandler*>(obj)->completed(mid);
  } catch (...) {
    // Nothing may unwind into libmosquitto.
  }
}

void MQTTCallbackHandler::on_message(mosquitto*, void* obj, const mosquitto_message* msg) {
  try {
    static_cast<MQTTCallbackHandler*>(obj)->received(msg);
  } catch (...) {
    // Nothing may unwind into libmosquitto; the message is lost either way.
  }
}

// libmosquitto reports why a TLS connection failed only through its log; the
// lines of this handle's own attempts are kept for the one line that says why.
void MQTTCallbackHandler::on_log(mosquitto* mosq, void* obj, int level, const char* text) {
  auto* self = static_cast<MQTTCallbackHandler*>(obj);
  if (level != MOSQ_LOG_ERR || text == nullptr || tls_serving != self) return;
  try {
    if (self->tls_errors_.size() < kMaxTlsErrors) self->tls_errors_.emplace_back(text);
    // The failing handshake's SSL object is still there while it is reported.
    const SSL* ssl = static_cast<const SSL*>(mosquitto_ssl_get(mosq));
    if (self->verify_error_ == X509_V_OK && ssl != nullptr) {
      self->verify_error_ = SSL_get_verify_result(ssl);
    }
  } catch (...) {
    // Nothing may unwind into libmosquitto; the reason is only less precise.
  }
}

// An encrypted client key is opened with "key_password"; without one the
// load fails instead of OpenSSL asking on a terminal nobody watches.
int MQTTCallbackHandler::key_password(char* buf, int size, int, void* mosq) {
  const auto* self =
      static_cast<const MQTTCallbackHandler*>(mosquitto_userdata(static_cast<mosquitto*>(mosq)));
  if (self == nullptr || buf == nullptr || size <= 0) return 0;
  const std::string& password = self->settings_.key_password;
  if (password.size() >= static_cast<size_t>(size)) return 0;
  std::memcpy(buf, password.data(), password.size());
  buf[password.size()] = '\0';
  return static_cast<int>(password.size());
}

void MQTTCallbackHandler::net_loop() {
  pthread_setname_np(pthread_self(), "mqtt-net");
  tls_serving = this;
  void* log = *log_ref_;
  int delay = kFirstBackoffSeconds;
  while (running_) {
    std::string why;
    Clock::time_point up_since;
    const bool was_up = session(why, up_since);
    if (!running_) break;
    if (!was_up) mqtt_plane_health_set(settings_.plane, false);
    if (was_up && Clock::now() - up_since >= kStableUp) delay = kFirstBackoffSeconds;
    zeb::log_error(log, "MQTT: Connection to %s:%d %s; next attempt in %d s",
                   settings_.host.c_str(), settings_.port, why.c_str(), delay);
    attempt_ended();
    if (!backoff_sleep(delay)) break;
    if (delay <= kLastDoublingSeconds) delay *= 2;
  }
  attempt_ended();
}

void MQTTCallbackHandler::attempt_ended() {
  {
    std::lock_guard<std::mutex> guard(wake_lock_);
    if (first_attempt_done_) return;
    first_attempt_done_ = true;
  }
  wake_.notify_all();
}

int MQTTCallbackHandler::begin_connect() {
  std::lock_guard<std::mutex> io(io_lock_);
  mosquitto* mosq = mosq_.get();
  // libmosquitto keeps publishes it was given across connections and sends
  // them again after the next CONNACK. When some may be left, the attempt
  // starts from a fresh handle, so nothing is sent twice behind the
  // publishers' backs. Otherwise the handle is kept: it holds the QoS 2
  // messages received and acknowledged with PUBREC whose PUBREL the broker
  // sends again on a persistent session.
  if (stale_copies_.exchange(false)) {
    const int reset = mosquitto_reinitialise(
        mosq, settings_.client_id.empty() ? nullptr : settings_.client_id.c_str(),
        settings_.clean_session, this);
    if (reset != MOSQ_ERR_SUCCESS) {
      stale_copies_ = true;
      return reset;
    }
  }
  if (!direct_.load()) mosquitto_threaded_set(mosq, true);
  mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, settings_.no_delay ? 1 : 0);
  mosquitto_connect_callback_set(mosq, on_connect);
  mosquitto_disconnect_callback_set(mosq, on_disconnect);
  mosquitto_publish_callback_set(mosq, on_publish);
  mosquitto_message_callback_set(mosq, on_message);
  mosquitto_log_callback_set(mosq, on_log);
  const int secured = apply_security(mosq);
  if (secured != MOSQ_ERR_SUCCESS) return secured;
  errno = 0;
  const int result =
      mosquitto_connect_async(mosq, settings_.host.c_str(), settings_.port, kKeepAliveSeconds);
  if (result == MOSQ_ERR_SUCCESS) tune_socket(mosq);
  return result;
}

int MQTTCallbackHandler::apply_security(mosquitto* mosq) {
  const MQTTPlaneSettings& s = settings_;
  if (!s.username.empty()) {
    const int result = mosquitto_username_pw_set(mosq, s.username.c_str(), or_null(s.password));
    if (result != MOSQ_ERR_SUCCESS) return result;
  }
  if (!s.tls) return MOSQ_ERR_SUCCESS;
  const bool own_ca = !s.ca_file.empty() || !s.ca_dir.empty();
  // libmosquitto needs a CA source to take a client certificate along.
  const char* ca_dir = own_ca ? or_null(s.ca_dir) : X509_get_default_cert_dir();
  int result = mosquitto_tls_set(mosq, or_null(s.ca_file), ca_dir, or_null(s.cert_file),
                                 or_null(s.key_file), key_password);
  if (result == MOSQ_ERR_SUCCESS && !own_ca) {
    result = mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
  }
  if (result == MOSQ_ERR_SUCCESS) {
    result = mosquitto_tls_opts_set(mosq, SSL_VERIFY_PEER, s.tls_version.c_str(), nullptr);
  }
  if (result == MOSQ_ERR_SUCCESS) result = mosquitto_tls_insecure_set(mosq, s.tls_insecure);
  if (result != MOSQ_ERR_SUCCESS && tls_errors_.size() < kMaxTlsErrors) {
    tls_errors_.emplace_back("Error: the TLS files of the plane cannot be read any more");
  }
  return result;
}

std::string MQTTCallbackHandler::tls_reason() const {
  for (const std::string& line : tls_errors_) {
    if (line.find("host name verification failed") != std::string::npos) {
      return "the broker's certificate does not name host \"" + settings_.host + "\"";
    }
  }
  // OpenSSL reports a check refused by libmosquitto's own callback as unspecified.
  if (verify_error_ != X509_V_OK && verify_error_ != X509_V_ERR_UNSPECIFIED) {
    return std::string("the broker's certificate is not trusted: ") +
           X509_verify_cert_error_string(verify_error_);
  }
  if (tls_errors_.empty())
    return std::string("TLS: ") + X509_verify_cert_error_string(verify_error_);
  return "TLS: " + plain_reason(tls_errors_.front());
}

bool MQTTCallbackHandler::session(std::string& why, Clock::time_point& up_since) {
  void* log = *log_ref_;
  connack_ = -1;
  disconnect_reason_ = 0;
  tls_errors_.clear();
  verify_error_ = X509_V_OK;
  drained_ = true;
  const auto deadline = Clock::now() + std::chrono::seconds(settings_.connect_timeout_seconds);
  zeb::log_debug(log, "MQTT: Connecting to %s:%d", settings_.host.c_str(), settings_.port);
  int result = begin_connect();
  int error = errno;
  // The broker's answer or the deadline, whichever comes first.
  while (result == MOSQ_ERR_SUCCESS && connack_ < 0 && running_) {
    const int left = remaining_ms(deadline);
    if (left == 0) {
      why = "failed: no answer within the connect timeout (" +
            std::to_string(settings_.connect_timeout_seconds) + " s)";
      return false;
    }
    errno = 0;
    result = serve(std::min(left, kPollMilliseconds), true);
    error = errno;
  }
  if (!running_) return false;
  if (result != MOSQ_ERR_SUCCESS || connack_ != 0) {
    why = "failed: " + describe(result, error);
    return false;
  }
  {
    std::lock_guard<std::mutex> io(io_lock_);
    connected_ = true;
    subscribe_all();
    send_lost();
  }
  mqtt_plane_health_set(settings_.plane, true);
  attempt_ended();
  zeb::log_info(log, "MQTT: Connected to %s:%d", settings_.host.c_str(), settings_.port);
  up_since = Clock::now();
  last_nudge_ = up_since;
  while (running_ && result == MOSQ_ERR_SUCCESS) {
    errno = 0;
    result = serve(kPollMilliseconds, false);
    error = errno;
  }
  if (!running_) return true;
  why = "lost: " + describe(result, error);
  went_down();
  return true;
}

void MQTTCallbackHandler::went_down() {
  {
    std::lock_guard<std::mutex> io(io_lock_);
    connected_ = false;
  }
  mqtt_plane_health_set(settings_.plane, false);
  // Whoever published them sends them again; libmosquitto's copies go with the
  // next attempt's fresh handle.
  if (fail_pending(zeb::kConnectionError, true) > 0) stale_copies_ = true;
}

std::string MQTTCallbackHandler::describe(int result, int error) const {
  if (connack_ > 0)
    return std::string("refused by the broker: ") + mosquitto_connack_string(connack_);
  if (settings_.tls && (!tls_errors_.empty() || verify_error_ != X509_V_OK)) return tls_reason();
  if (result == MOSQ_ERR_NO_CONN && disconnect_reason_ != 0) result = disconnect_reason_;
  switch (result) {
    case MOSQ_ERR_ERRNO:
      return error != 0 ? std::strerror(error) : mosquitto_strerror(result);
    case MOSQ_ERR_EAI:
      return std::string("host not found (") + gai_strerror(error) + ")";
    case MOSQ_ERR_KEEPALIVE:
      return "no answer to a keep-alive ping within " + std::to_string(kKeepAliveSeconds) + " s";
    case MOSQ_ERR_CONN_LOST:
      return connack_ < 0 ? "closed by the broker before it answered" : "closed by the broker";
    default:
      return mosquitto_strerror(result);
  }
}

void MQTTCallbackHandler::subscribe_all() {
  std::vector<std::string> topics;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& entry : subscriptions_) topics.push_back(entry.first);
  }
  void* log = *log_ref_;
  for (const std::string& topic : topics) {
    if (mosquitto_subscribe(mosq_.get(), nullptr, topic.c_str(), settings_.qos) !=
        MOSQ_ERR_SUCCESS) {
      zeb::log_error(log, "MQTT: Could not subscribe to topic \"%s\"", topic.c_str());
    }
  }
}

// A publisher must never write while this thread closes or reopens the
// connection (libmosquitto does that inside its calls when the connection
// fails), or it could write into whatever descriptor took the socket's number.
// In queue mode only this thread touches the socket: publishers queue their
// packets and wake it through `wake_fd_`. In direct mode publishers write
// themselves and this thread holds `io_lock_` around every libmosquitto call
// that may close the socket; that mode ends with the first subscription.
//
// While the delivery queue is full the socket is not read: the broker and TCP
// hold the rest. Writing (acknowledgements, publishes) goes on, and so does the
// broker's keep-alive (see `keep_alive`).
int MQTTCallbackHandler::serve(int wait_ms, bool handshake) {
  mosquitto* mosq = mosq_.get();
  const int sock = mosquitto_socket(mosq);
  if (sock < 0) return disconnect_reason_ != 0 ? disconnect_reason_ : MOSQ_ERR_NO_CONN;
  const bool reading = handshake || !delivery_->full();
  // TLS decrypts whole records: what the last read did not take of one waits
  // inside OpenSSL, where poll cannot see it, and is read without waiting.
  // (Publishers may be writing through the same SSL object in direct mode.)
  bool unread = false;
  if (reading) {
    const std::unique_lock<std::mutex> io = socket_guard();
    const SSL* ssl = static_cast<const SSL*>(mosquitto_ssl_get(mosq));
    unread = ssl != nullptr && SSL_pending(ssl) > 0;
  }
  pollfd fds[2] = {
      {sock,
       static_cast<short>((reading ? POLLIN : 0) | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0},
      {wake_fd_.get(), POLLIN, 0}};
  if (::poll(fds, 2, unread ? 0 : wait_ms) < 0) {
    return errno == EINTR ? MOSQ_ERR_SUCCESS : MOSQ_ERR_ERRNO;
  }
  if (fds[1].revents != 0) {
    uint64_t count = 0;
    if (::read(wake_fd_.get(), &count, sizeof count) < 0) count = 0;
  }
  report_confirmed();
  if (!running_) return MOSQ_ERR_SUCCESS;
  std::unique_lock<std::mutex> io = socket_guard();
  if (!reading && (fds[0].revents & (POLLERR | POLLHUP)) != 0) {
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size);
    errno = error != 0 ? error : ECONNRESET;
    return MOSQ_ERR_ERRNO;
  }
  if (reading && (fds[0].revents != 0 || unread)) {
    // Whatever the socket holds is read before polling again, while there is
    // room for it; a read that finds nothing more leaves errno at EAGAIN.
    for (int packets = 0; packets < kReadBurst; ++packets) {
      if (connack_ >= 0 && delivery_->full()) {
        drained_ = false;
        break;
      }
      errno = 0;
      const int result = mosquitto_loop_read(mosq, 1);
      if (result != MOSQ_ERR_SUCCESS) return result;
      drained_ = errno == EAGAIN || errno == EWOULDBLOCK;
      // The broker's answer ends the handshake; what follows it is read as connected.
      if (drained_ || !running_ || (handshake && connack_ >= 0)) break;
    }
  }
  if (mosquitto_want_write(mosq)) {
    const int result = mosquitto_loop_write(mosq, 1);
    if (result != MOSQ_ERR_SUCCESS) return result;
  }
  if (!handshake) keep_alive();
  // Whatever is still queued now is more than the socket takes.
  socket_full_.store(mosquitto_want_write(mosq));
  if (io.owns_lock()) io.unlock();
  notify_waiters();
  // A connection without subscriptions hears only acknowledgements and
  // keep-alive answers, none of which is late for waiting a moment once the
  // socket is read empty; a stop (or any wake) ends the wait at once.
  if (!handshake && drained_ && direct_.load() && running_) {
    pollfd wake_only = {wake_fd_.get(), POLLIN, 0};
    ::poll(&wake_only, 1, kGatherMilliseconds);
  }
  return MOSQ_ERR_SUCCESS;
}

// libmosquitto sends a ping when the connection was idle for a keep-alive
// period and closes the connection when the answer was not read within
// another; an answer queued behind messages the subscriber has no room for
// would be late through no fault of the broker. So libmosquitto's check runs
// only while everything the broker sent has been read, and otherwise this
// thread keeps the broker's timer fed itself.
void MQTTCallbackHandler::keep_alive() {
  mosquitto* mosq = mosq_.get();
  if (drained_ && !delivery_->full()) {
    mosquitto_loop_misc(mosq);
    return;
  }
  const auto now = Clock::now();
  if (now - last_nudge_ < kNudgeEvery) return;
  last_nudge_ = now;
  mosquitto_unsubscribe(mosq, nullptr, kNudgeFilter);
}

std::unique_lock<std::mutex> MQTTCallbackHandler::socket_guard() {
  std::unique_lock<std::mutex> io(io_lock_, std::defer_lock);
  if (direct_.load()) io.lock();
  return io;
}

bool MQTTCallbackHandler::backoff_sleep(int seconds) {
  std::unique_lock<std::mutex> guard(wake_lock_);
  return !wake_.wait_for(guard, std::chrono::seconds(seconds), [this] { return !running_; });
}
