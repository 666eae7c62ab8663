#include "mqtt_callback_handler.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "mqtt_transport.h"
#include "zeb/log.h"

namespace {

constexpr int kFirstBackoffSeconds = 1;
// The delay doubles while it is at most this many seconds: 1, 2, ... 2048.
constexpr int kLastDoublingSeconds = 1199;
// The longest wait for socket events; keep-alive pings are due well after it.
constexpr int kPollMilliseconds = 1000;
// Packets read in a row before keep-alive gets its turn, so a flood of
// incoming messages never starves the pings the broker expects.
constexpr int kReadBurst = 64;
// The longest a publisher waits for the socket to take what it left behind,
// or for acknowledgements.
constexpr auto kRoomWait = std::chrono::seconds(1);
// Acknowledged messages a connection may have outstanding before publishers
// wait; about half a megabyte of copies for typical telemetry documents.
constexpr int kMaxUnacknowledged = 256;
// How long a publishing connection lets acknowledgements gather after reading
// some: far below any wait of the publishers, and it turns one wake-up per
// published message into one per batch.
constexpr int kGatherMilliseconds = 1;

// The network thread's reads and writes must return when there is nothing to
// do, so that it can keep the connection alive and stop when asked; the socket
// is made non-blocking after every connect, whatever libmosquitto chose.
void make_nonblocking(mosquitto* mosq) {
  const int sock = mosquitto_socket(mosq);
  if (sock < 0) return;
  const int flags = ::fcntl(sock, F_GETFL);
  if (flags >= 0) ::fcntl(sock, F_SETFL, flags | O_NONBLOCK);
}

// "$share/GROUP/FILTER" delivers topics that match FILTER.
const char* strip_share_prefix(const std::string& filter) {
  static const char kShare[] = "$share/";
  if (filter.compare(0, sizeof kShare - 1, kShare) != 0) return filter.c_str();
  const size_t group_end = filter.find('/', sizeof kShare - 1);
  return group_end == std::string::npos ? filter.c_str() : filter.c_str() + group_end + 1;
}

}  // namespace

MQTTCallbackHandler::MQTTCallbackHandler(MQTTTransport* transport, mosquitto* mosq, void** log_ref,
                                         bool direct)
    : transport_(transport),
      mosq_(mosq),
      log_ref_(log_ref),
      wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      direct_(direct) {}

int MQTTCallbackHandler::publish(const char* topic, int length, const void* payload, int qos) {
  // Counted before libmosquitto has it, so its acknowledgement never comes first.
  if (qos > 0) unacknowledged_.fetch_add(1);
  const int result = hand_over(topic, length, payload, qos);
  if (qos > 0 && result != MOSQ_ERR_SUCCESS) unacknowledged_.fetch_sub(1);
  if (socket_full_.load()) {
    wake();  // the network thread writes the rest when the socket has room
    wait_until([this] { return !socket_full_.load(); });
  }
  if (qos > 0 && result == MOSQ_ERR_SUCCESS && unacknowledged_.load() > kMaxUnacknowledged) {
    wait_until([this] { return unacknowledged_.load() <= kMaxUnacknowledged; });
  }
  return result;
}

int MQTTCallbackHandler::hand_over(const char* topic, int length, const void* payload, int qos) {
  if (direct_.load()) {
    std::lock_guard<std::mutex> io(io_lock_);
    if (direct_.load()) {
      const int result = mosquitto_publish(mosq_, nullptr, topic, length, payload, qos, false);
      if (mosquitto_want_write(mosq_)) socket_full_.store(true);
      return result;
    }
  }
  const int result = mosquitto_publish(mosq_, nullptr, topic, length, payload, qos, false);
  wake();
  return result;
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
  mosquitto_threaded_set(mosq_, true);
  direct_.store(false);
}

MQTTCallbackHandler::~MQTTCallbackHandler() {
  stop();
}

void MQTTCallbackHandler::add_subscription(const char* topic, zeb::MessageCallback callback,
                                           void* user) {
  std::lock_guard<std::mutex> guard(lock_);
  subscriptions_[topic] = Subscriber(callback, user);
}

void MQTTCallbackHandler::remove_subscription(const char* topic) {
  std::lock_guard<std::mutex> guard(lock_);
  subscriptions_.erase(topic);
}

bool MQTTCallbackHandler::has_subscription(const char* topic) {
  std::lock_guard<std::mutex> guard(lock_);
  return subscriptions_.count(topic) != 0;
}

int MQTTCallbackHandler::loop_start(int qos) {
  if (mosq_ == nullptr || loop_started_) return MOSQ_ERR_INVAL;
  if (!wake_fd_.valid()) return MOSQ_ERR_ERRNO;
  make_nonblocking(mosq_);
  loop_started_ = true;
  try {
    net_thread_ = std::thread(&MQTTCallbackHandler::net_loop, this, qos);
  } catch (const std::system_error&) {
    loop_started_ = false;
    return MOSQ_ERR_ERRNO;
  }
  return MOSQ_ERR_SUCCESS;
}

void MQTTCallbackHandler::stop() {
  {
    std::lock_guard<std::mutex> guard(wake_lock_);
    running_ = false;
  }
  wake_.notify_all();
  wake();
  if (!net_thread_.joinable()) return;
  net_thread_.join();
  // With the network thread gone this thread may touch the socket: a polite
  // farewell, written at once if the socket takes it.
  if (mosquitto_disconnect(mosq_) == MOSQ_ERR_SUCCESS) mosquitto_loop_write(mosq_, 1);
}

void MQTTCallbackHandler::acknowledged() {
  unacknowledged_.fetch_sub(1);
  notify_waiters();
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

void MQTTCallbackHandler::msg_rcvd(void* /*obj*/, const char* topic, const mosquitto_message* msg) {
  void* log = *log_ref_;
  const int length = msg->payloadlen > 0 ? msg->payloadlen : 0;
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
  auto* message = new (std::nothrow) zeb::_Msg{transport_, 0, data, static_cast<size_t>(length)};
  if (message == nullptr) {
    std::free(data);
    zeb::log_error(log, "MQTT: Out of memory for a message of %d bytes on \"%s\"", length, topic);
    return;
  }
  subscriber.first(nullptr, topic, message, subscriber.second);
}

void MQTTCallbackHandler::net_loop(int qos) {
  if (mosq_ == nullptr) return;
  pthread_setname_np(pthread_self(), "mqtt-net");
  void* log = *log_ref_;
  zeb::log_debug(log, "MQTT net_loop: Starting loop_forever");
  while (running_) {
    const int result = serve();
    if (result == MOSQ_ERR_SUCCESS) continue;
    if (!running_) break;
    zeb::log_error(
        log, "MQTT: Disconnected from broker with return code %d. Attempting to reconnect", result);
    reconnect(qos);
  }
  zeb::log_debug(log, "MQTT net_loop: Exiting loop_forever");
}

// A publisher must never write while this thread closes or reopens the
// connection (libmosquitto does that inside its calls when the connection
// fails), or it could write into whatever descriptor took the socket's number.
// In queue mode only this thread touches the socket: publishers queue their
// packets and wake it through `wake_fd_`. In direct mode publishers write
// themselves and this thread holds `io_lock_` around every libmosquitto call
// that may close the socket; that mode ends with the first subscription, so no
// subscriber callback ever runs under the lock. The socket and `wake_fd_` are
// all this thread polls.
int MQTTCallbackHandler::serve() {
  const int sock = mosquitto_socket(mosq_);
  if (sock < 0) return MOSQ_ERR_NO_CONN;
  pollfd fds[2] = {
      {sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0},
      {wake_fd_.get(), POLLIN, 0}};
  if (::poll(fds, 2, kPollMilliseconds) < 0) {
    return errno == EINTR ? MOSQ_ERR_SUCCESS : MOSQ_ERR_ERRNO;
  }
  if (fds[1].revents != 0) {
    uint64_t count = 0;
    if (::read(wake_fd_.get(), &count, sizeof count) < 0) count = 0;
  }
  if (!running_) return MOSQ_ERR_SUCCESS;
  std::unique_lock<std::mutex> io = socket_guard();
  bool drained = false;
  if (fds[0].revents != 0) {
    // Whatever the socket holds is read before polling again; a read that
    // finds nothing more leaves errno at EAGAIN.
    for (int packets = 0; packets < kReadBurst; ++packets) {
      errno = 0;
      const int result = mosquitto_loop_read(mosq_, 1);
      if (result != MOSQ_ERR_SUCCESS) return result;
      drained = errno == EAGAIN || errno == EWOULDBLOCK;
      if (drained || !running_) break;
    }
  }
  if (mosquitto_want_write(mosq_)) {
    const int result = mosquitto_loop_write(mosq_, 1);
    if (result != MOSQ_ERR_SUCCESS) return result;
  }
  // Whatever is still queued now is more than the socket takes.
  socket_full_.store(mosquitto_want_write(mosq_));
  const int result = mosquitto_loop_misc(mosq_);
  if (io.owns_lock()) io.unlock();
  notify_waiters();
  // A connection without subscriptions hears only acknowledgements and
  // keep-alive answers, none of which is late for waiting a moment once the
  // socket is read empty; a stop (or any wake) ends the wait at once.
  if (drained && direct_.load() && running_) {
    pollfd wake_only = {wake_fd_.get(), POLLIN, 0};
    ::poll(&wake_only, 1, kGatherMilliseconds);
  }
  return result;
}

std::unique_lock<std::mutex> MQTTCallbackHandler::socket_guard() {
  std::unique_lock<std::mutex> io(io_lock_, std::defer_lock);
  if (direct_.load()) io.lock();
  return io;
}

int MQTTCallbackHandler::reconnect_once() {
  std::unique_lock<std::mutex> io = socket_guard();
  const int result = mosquitto_reconnect(mosq_);
  if (result == MOSQ_ERR_SUCCESS) make_nonblocking(mosq_);
  return result;
}

void MQTTCallbackHandler::reconnect(int qos) {
  void* log = *log_ref_;
  int delay = kFirstBackoffSeconds;
  while (reconnect_once() != MOSQ_ERR_SUCCESS) {
    if (!running_) return;
    zeb::log_error(log, "MQTT: Failed to reconnect. Backing off to retry");
    if (!backoff_sleep(delay)) return;
    if (delay <= kLastDoublingSeconds) delay *= 2;
    zeb::log_debug(log, "MQTT: Attempting to reconnect");
  }
  zeb::log_debug(log, "MQTT: Successfully reconnected to broker");

  std::vector<std::string> topics;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& entry : subscriptions_) topics.push_back(entry.first);
  }
  for (const std::string& topic : topics) {
    zeb::log_debug(log, "MQTT: Resubscribing to topic \"%s\" with qos: %d", topic.c_str(), qos);
    if (mosquitto_subscribe(mosq_, nullptr, topic.c_str(), qos) == MOSQ_ERR_SUCCESS) {
      zeb::log_debug(log, "MQTT: Successfully resubscribed to topic \"%s\"", topic.c_str());
    } else {
      zeb::log_error(log, "MQTT: Could not resubscribe to topic \"%s\"", topic.c_str());
    }
  }
}

bool MQTTCallbackHandler::backoff_sleep(int seconds) {
  std::unique_lock<std::mutex> guard(wake_lock_);
  return !wake_.wait_for(guard, std::chrono::seconds(seconds), [this] { return !running_; });
}
