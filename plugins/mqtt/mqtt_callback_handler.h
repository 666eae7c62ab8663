#pragma once

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "framework/unique_fd.h"
#include "mqtt_delivery.h"
#include "zeb/client.h"
#include "zeb/transport.h"

// libmosquitto handle owner.
struct MosquittoDeleter {
  void operator()(mosquitto* mosq) const { mosquitto_destroy(mosq); }
};
using MosquittoPtr = std::unique_ptr<mosquitto, MosquittoDeleter>;

// What a plane's options say about its connection.
struct MQTTPlaneSettings {
  std::string plane;
  std::string host;
  int port = 1883;
  std::string client_id;
  int qos = 0;
  bool clean_session = true;
  bool no_delay = true;
  int connect_timeout_seconds = 5;
  size_t max_message_size = 16u * 1024 * 1024;
  // Credentials, sent only when `username` is not empty.
  std::string username;
  std::string password;
  // TLS, for "mqtts" addresses. Without a CA file or folder the system's
  // trusted certificates are used. `tls_insecure` skips only the check that
  // the broker's certificate names the host connected to.
  bool tls = false;
  std::string ca_file;
  std::string ca_dir;
  std::string cert_file;
  std::string key_file;
  std::string key_password;
  std::string tls_version = "tlsv1.2";
  bool tls_insecure = false;
};

// One broker connection: its subscriptions, its publishing, the network thread
// that connects, reads, writes and repairs it, and the delivery thread that
// hands received messages to subscribers.
//
// The network thread owns the connection's life: an attempt after a lost
// connection that had publishes in flight starts from a freshly initialised
// libmosquitto handle (so no copy of an earlier publish is sent again), every
// attempt ends within the connect timeout, and a failed
// attempt or a connection that did not stay up backs off (1 s doubling to
// 2048 s). Publishing while down is refused at once.
//
// Thread rules: `add_subscription`, `publish`, `queue_mode` and
// `await_first_attempt` run on caller threads; `net_loop` and the libmosquitto
// callbacks on the network thread; `stop` on the destroying thread.
// `io_lock_` is held by publishers and subscribers around every libmosquitto
// call, by the network thread around re-initialising and connecting the handle
// and, in direct mode only, around every call that writes to or may close the
// socket; `connected_` changes only under it. `lock_` guards
// `subscriptions_`; `pending_lock_` guards `pending_` and `early_`; neither is
// held while calling into libmosquitto or a callback of a caller.
class MQTTCallbackHandler {
 public:
  using Subscriber = std::pair<zeb::MessageCallback, void*>;

  // `direct`: publishers write to the socket themselves until the first
  // subscription (a connection opened to publish); otherwise every packet is
  // queued for the network thread. Throws when libmosquitto or a thread cannot
  // be set up.
  // Received messages name `owner` as the transport that frees them.
  MQTTCallbackHandler(zeb::Transport* owner, const MQTTPlaneSettings& settings, void** log_ref,
                      bool direct);
  // `stop`, if not done yet.
  ~MQTTCallbackHandler();
  MQTTCallbackHandler(const MQTTCallbackHandler&) = delete;
  MQTTCallbackHandler& operator=(const MQTTCallbackHandler&) = delete;

  // Starts the network thread, which makes the first attempt at once.
  void start();
  // Waits until the first connection attempt has ended (bounded by the connect
  // timeout); later calls return at once.
  void await_first_attempt();
  bool connected() const { return connected_.load(); }
  // Publishes not yet confirmed (QoS 1 and 2: unacknowledged; QoS 0: not yet written).
  int64_t unconfirmed() const { return unconfirmed_.load(std::memory_order_relaxed); }

  // Records the subscriber of `topic` (a topic or a topic filter) and asks the
  // broker now when connected, else on connecting. kDuplicateSubscription when
  // `topic` already has one; kCantSubscribe when the broker cannot be asked.
  int add_subscription(const char* topic, zeb::MessageCallback callback, void* user);

  // Publishes one message; a zeb status. kConnectionFailed at once while the
  // connection is down. With `done`, a 200 result is followed by exactly one
  // done(user, tag, status). Waits while too many publishes are unconfirmed
  // (QoS 1 and 2: unacknowledged; QoS 0: not yet written) or the socket does
  // not take what is queued.
  int publish(const char* topic, int length, const void* payload, zeb::PublishCallback done,
              void* user, uint64_t tag);
  // Ends direct mode; called before the first subscription is recorded.
  void queue_mode();

  // Orderly end: waits a bounded time for acknowledgements of publishes,
  // sends DISCONNECT, hands every message already read to its subscriber and
  // completes what is still unconfirmed with -10. Never waits on a dead broker
  // or a back-off. Idempotent.
  void stop();

 private:
  // An unconfirmed publish. A plain one (no `done`) at QoS 1 or 2 keeps its
  // own copy, so that a lost connection does not lose it: the plug-in sends
  // it again after the next CONNACK, in the order it was first published.
  struct Pending {
    zeb::PublishCallback done = nullptr;
    void* user = nullptr;
    uint64_t tag = 0;
    uint64_t order = 0;
    bool kept = false;
    std::string topic;
    std::string payload;
  };

  static void on_connect(mosquitto* mosq, void* obj, int code);
  static void on_disconnect(mosquitto* mosq, void* obj, int code);
  static void on_publish(mosquitto* mosq, void* obj, int mid);
  static void on_message(mosquitto* mosq, void* obj, const mosquitto_message* msg);
  static void on_log(mosquitto* mosq, void* obj, int level, const char* text);
  static int key_password(char* buf, int size, int rwflag, void* mosq);

  void net_loop();
  // One connection attempt and, when it succeeds, the connection's life. The
  // reason it ended goes to `why`; true when the broker accepted it.
  bool session(std::string& why, std::chrono::steady_clock::time_point& up_since);
  // Re-initialises the handle and starts a non-blocking connect.
  int begin_connect();
  // Credentials and TLS settings, given to the handle before every attempt
  // (re-initialising the handle forgets them).
  int apply_security(mosquitto* mosq);
  // Why a TLS connection failed, from what libmosquitto and OpenSSL reported.
  std::string tls_reason() const;
  // One round of socket events, reads, pending writes and keep-alive, waiting
  // at most `wait_ms`; a libmosquitto status, not MOSQ_ERR_SUCCESS when the
  // connection is lost.
  int serve(int wait_ms, bool handshake);
  void keep_alive();
  void subscribe_all();
  void went_down();
  // Lets callers waiting in `await_first_attempt` go.
  void attempt_ended();
  // Completes every unconfirmed publish with `status`; how many there were.
  // With `keep`, plain publishes that kept a copy go to `lost_` instead.
  size_t fail_pending(int status, bool keep);
  // Publishes what `lost_` holds again, oldest first; under `io_lock_`, just
  // after connecting, so no new publish goes out before them.
  void send_lost();
  std::string describe(int result, int error) const;
  std::unique_lock<std::mutex> socket_guard();
  void wake();
  template <typename Done>
  void wait_until(Done done);
  void notify_waiters();
  bool backoff_sleep(int seconds);
  bool find_subscriber(const char* topic, Subscriber& out);
  void received(const mosquitto_message* msg);
  // Completion of the publish `mid`: from libmosquitto, or recorded by `track`.
  void completed(int mid);
  void track(int mid, Pending pending);
  // Reports a confirmed publish: at once on the network thread; from any
  // other thread (libmosquitto confirms a QoS 0 publish inside the publisher's
  // own write) it is handed to the network thread, so a publisher is never
  // called back from inside its own publish.
  void confirm(const Pending& pending);
  void report_confirmed();

  zeb::Transport* const owner_;
  const MQTTPlaneSettings settings_;
  void** const log_ref_;
  MosquittoPtr mosq_;
  std::unique_ptr<MQTTDelivery> delivery_;

  std::mutex lock_;
  std::map<std::string, Subscriber> subscriptions_;  // guarded by lock_

  std::mutex io_lock_;
  std::atomic<bool> direct_;  // cleared once, by `queue_mode`, under io_lock_
  std::atomic<bool> connected_{false};
  // libmosquitto may hold copies of publishes from a lost connection.
  std::atomic<bool> stale_copies_{false};

  std::mutex pending_lock_;
  std::map<int, Pending> pending_;  // unconfirmed publishes by mid; guarded by pending_lock_
  std::set<int> early_;             // confirmed before `track` saw them; guarded by pending_lock_
  std::vector<Pending> confirmed_;  // for the network thread to report; guarded by pending_lock_
  std::atomic<int> unconfirmed_{0};
  uint64_t next_order_ = 0;    // guarded by io_lock_
  std::vector<Pending> lost_;  // network thread only (and `stop` once it has ended)

  // Network thread only.
  int connack_ = -1;           // CONNACK return code of the current attempt, -1 before it
  int disconnect_reason_ = 0;  // what libmosquitto said when it closed the socket
  bool drained_ = true;        // the last read found the socket empty
  // Error lines libmosquitto logged during the current attempt (at most a
  // few) and the certificate check's verdict on the broker.
  std::vector<std::string> tls_errors_;
  long verify_error_ = 0;
  std::chrono::steady_clock::time_point last_nudge_;

  std::atomic<bool> running_{true};
  std::atomic<bool> stopped_{false};
  std::thread net_thread_;
  std::mutex wake_lock_;
  std::condition_variable wake_;
  bool first_attempt_done_ = false;  // guarded by wake_lock_
  qor::UniqueFd wake_fd_;            // eventfd that ends the network thread's poll
  std::atomic<int> room_waiters_{0};
  std::atomic<bool> socket_full_{false};
  std::mutex room_lock_;
  std::condition_variable room_;
};
