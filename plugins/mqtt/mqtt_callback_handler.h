#pragma once

#include <mosquitto.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "framework/unique_fd.h"
#include "zeb/client.h"

class MQTTTransport;

// One broker connection: its subscriptions, its publishing, and the network
// thread that reads the connection, delivers messages, writes what is queued
// and repairs the connection after a loss.
//
// Thread rules: `add_subscription`, `has_subscription`, `publish` and
// `queue_mode` run on caller threads; `net_loop` and `msg_rcvd` on the network
// thread. `lock_` guards `subscriptions_` and is never held while calling into
// libmosquitto or a subscriber callback. `io_lock_` (direct mode only) is held
// around every libmosquitto call that writes to or may close the socket, never
// around a subscriber callback. `running_` is cleared by the destroying
// thread, which also wakes a back-off sleep through `wake_`.
class MQTTCallbackHandler {
 public:
  using Subscriber = std::pair<zeb::MessageCallback, void*>;

  // `direct`: publishers write to the socket themselves until the first
  // subscription (a connection opened to publish); otherwise every packet is
  // queued for the network thread, and `mosq` must be in threaded mode.
  MQTTCallbackHandler(MQTTTransport* transport, mosquitto* mosq, void** log_ref, bool direct);
  // Stops and joins the network thread; never waits on the broker or a back-off.
  ~MQTTCallbackHandler();
  MQTTCallbackHandler(const MQTTCallbackHandler&) = delete;
  MQTTCallbackHandler& operator=(const MQTTCallbackHandler&) = delete;

  // Inserts or replaces the subscriber of `topic` (a topic or a topic filter).
  void add_subscription(const char* topic, zeb::MessageCallback callback, void* user);
  void remove_subscription(const char* topic);
  // Exact, byte-wise look-up.
  bool has_subscription(const char* topic);

  // Starts the network thread. 0 on success; MOSQ_ERR_INVAL when there is no
  // handle or it was already started; MOSQ_ERR_ERRNO when the thread cannot be made.
  int loop_start(int qos);

  // Delivers one message to the subscriber of its topic; network thread.
  void msg_rcvd(void* obj, const char* topic, const mosquitto_message* msg);

  // Ends the network thread: clears `running`, wakes a back-off sleep and joins.
  void stop();

  // Publishes one message on the connection; a libmosquitto status. Any
  // thread. Waits (at most a second per wait) while the socket does not take
  // what is queued, and at QoS 1 and 2 while too many messages are
  // unacknowledged: a slow broker slows the publisher down instead of making
  // libmosquitto hold an ever longer queue of copies.
  int publish(const char* topic, int length, const void* payload, int qos);
  // Ends direct mode; called before the first subscription is recorded.
  void queue_mode();

  // Makes the network thread look at the connection again. Any thread.
  void wake();

  // The broker confirmed an acknowledged publish; network thread.
  void acknowledged();

 private:
  void net_loop(int qos);
  // One round of socket events, reads, pending writes and keep-alive; a
  // libmosquitto status, not MOSQ_ERR_SUCCESS when the connection is lost.
  int serve();
  void reconnect(int qos);
  int reconnect_once();
  // `io_lock_`, taken in direct mode only: what the network thread holds while
  // libmosquitto may write to, close or reopen the socket.
  std::unique_lock<std::mutex> socket_guard();
  // Gives the message to libmosquitto: written here in direct mode, queued for
  // the network thread otherwise.
  int hand_over(const char* topic, int length, const void* payload, int qos);
  // Waits up to a second for `done` (checked under `room_lock_`) or a stop.
  template <typename Done>
  void wait_until(Done done);
  // Wakes publishers in `wait_until` to check their condition again.
  void notify_waiters();
  // Sleeps up to `seconds`; false when woken because the handler stops.
  bool backoff_sleep(int seconds);
  // The subscriber for a delivered topic: exact match first, then the filters.
  bool find_subscriber(const char* topic, Subscriber& out);

  MQTTTransport* const transport_;
  mosquitto* const mosq_;
  void** const log_ref_;

  std::mutex lock_;
  std::map<std::string, Subscriber> subscriptions_;  // guarded by lock_

  std::atomic<bool> running_{true};
  bool loop_started_ = false;  // caller thread only
  std::thread net_thread_;
  std::mutex wake_lock_;
  std::condition_variable wake_;
  qor::UniqueFd wake_fd_;  // eventfd that ends the network thread's poll
  std::atomic<int> room_waiters_{0};
  std::atomic<bool> socket_full_{false};
  std::mutex io_lock_;        // in direct mode, held by whoever uses the socket
  std::atomic<bool> direct_;  // cleared once, by `queue_mode`, under io_lock_
  std::atomic<int> unacknowledged_{0};
  std::mutex room_lock_;
  std::condition_variable room_;
};
