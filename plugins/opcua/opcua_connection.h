#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chunk_assembler.h"
#include "connection_security.h"
#include "node_id.h"
#include "pending_requests.h"
#include "plane_options.h"
#include "secure_channel.h"
#include "service_codec.h"
#include "zeb/client.h"

// One OPC UA server connection of a plane: a secure channel, an anonymous
// session, and as many subscriptions as the server's limit of monitored items
// per subscription needs, with a monitored item per subscribed node.
//
// Its thread (the connection thread) connects, receives every response and
// delivers data changes to the subscribers. After a lost connection it
// reconnects with a capped back-off, forever, opens a new channel and session
// and re-creates the subscriptions and every monitored item, in batches no
// larger than the server's operation limit; an item the server refuses is
// retried on the same back-off. The connection counts as lost on a socket
// error, an ERR message, a lost session, a malformed message, or when no
// Publish response (data or keep-alive) arrives within the subscription's
// keep-alive window plus a margin.
//
// The server can only answer the Publish requests it holds, and fills each
// answer up to its own cap; so while answers report more notifications
// waiting, the thread keeps one more request outstanding, up to
// "max_publish_requests" or the server's own limit, and gives one back per
// keep-alive.
//
// Thread rules: read, write, subscribe, healthy and wait_first_attempt run on
// callers' threads and never block longer than the request timeout (plus the
// wait for the first connection). `state_lock_` guards the session token, the
// subscription table and the attempt count (`state_cv_` signals them and
// stop); `pending_` matches callers' requests to answers under a lock of its own;
// `items_lock_` guards the item tables. None is held while a subscriber's
// callback runs or while the thread waits for the network. Everything marked
// "connection thread" is touched by that thread only. A subscriber's callback
// runs on the connection thread, so it must not wait for a call on the same
// connection: that call's response could only arrive after the callback.
class OpcuaConnection {
 public:
  using Clock = std::chrono::steady_clock;

  OpcuaConnection(std::string plane_id, PlaneOptions options, void* log);
  // Stops the thread, closing the session when it is active. Must not run on
  // the connection thread (from inside a subscriber's callback).
  ~OpcuaConnection();
  OpcuaConnection(const OpcuaConnection&) = delete;
  OpcuaConnection& operator=(const OpcuaConnection&) = delete;

  // Waits until the first connection attempt has ended, at most the timeout.
  void wait_first_attempt();
  // True while the session and its subscription are active.
  bool healthy() const { return ready_.load(); }

  // Status codes of zeb/status.h. read gives the {"type","val"} text.
  int read(const NodeId& node, std::string* json_text);
  int write(const NodeId& node, const std::vector<uint8_t>& variant);
  // Every forward hierarchical reference of node to an Object or Variable,
  // following continuation points.
  int browse(const NodeId& node, std::vector<ServiceCodec::Reference>* references);
  // One attribute of each node, in order.
  int read_attributes(const std::vector<NodeId>& nodes, uint32_t attribute,
                      std::vector<VariantCodec::DataValue>* values);
  // 200 once the monitored item exists; it then survives reconnections. Its
  // values reach the callback as messages of `owner`.
  int subscribe(zeb::Transport* owner, const std::string& topic, const NodeId& node,
                zeb::MessageCallback callback, void* user);
  // Stops delivering to the subscribers of `owner`; once it returns, none of
  // their callbacks runs or will run.
  void forget(zeb::Transport* owner);

  const PlaneOptions& options() const { return options_; }

 private:
  enum class ItemState { kCreating, kActive, kPending };

  struct Item {
    std::string topic;
    NodeId node;
    zeb::Transport* owner = nullptr;
    zeb::MessageCallback callback = nullptr;
    void* user = nullptr;
    uint32_t handle = 0;
    ItemState state = ItemState::kCreating;
    // Active when the connection was lost: it lives on at the server if the
    // session and its subscription do.
    bool restorable = false;
    std::chrono::steady_clock::time_point retry_at;
    int attempts = 0;
  };

  // A subscription and the monitored items counted against it; `full` once
  // the server refused one more.
  struct Subscription {
    uint32_t id = 0;
    size_t items = 0;
    bool full = false;
  };

  using Encoder = std::function<void(ByteWriter&, const ServiceCodec::RequestHeader&)>;

  // Connection thread.
  void run();
  bool establish(std::string* error);
  // Asks the server for its endpoints over a channel of policy None, picks
  // one and checks its certificate; the channel is closed again.
  bool discover(std::string* error);
  bool serve_once(std::string* error);
  // Logs the loss, then reset().
  void lose(const std::string& reason);
  // Closes the channel, fails the waiting callers and marks every created item
  // for re-creation.
  void reset();
  bool transact(const Encoder& encode, bool open, int timeout_ms, std::vector<uint8_t>* response,
                std::string* error);
  // One request of setting the connection up, answered in time with a good
  // service result and (unless `response_type` is 0) that response type; on
  // success `reader` stands after the answer's header in `body`. Throws
  // DecodeError on a malformed answer.
  bool set_up_step(const Encoder& encode, bool open, uint32_t response_type, const char* what,
                   std::vector<uint8_t>* body, ByteReader* reader, std::string* error);
  bool dispatch(ChunkAssembler::Message& message, std::string* error);
  bool handle_publish(const std::vector<uint8_t>& body, std::string* error);
  // Reads the server's limits of monitored items per call and per
  // subscription; a server without them keeps the defaults.
  bool read_limits(std::string* error);
  // Creates and activates a session, or reactivates the last one when it may
  // still live; *resumed tells which.
  bool open_session(bool* resumed, std::string* error);
  // After a reactivation: takes the last subscriptions and their items back
  // when the server still has every one; false when it does not.
  bool restore_subscriptions(std::string* error, bool* restored);
  bool add_subscription(std::string* error);
  bool send_publishes(std::string* error);
  bool retry_items(bool all, std::string* error);
  bool renew_token(std::string* error);
  void deliver(const ServiceCodec::ItemNotification& notification);
  void close_session();
  bool sleep_backoff(int delay_ms);
  int backoff_ms(int attempts) const;

  // Any thread. A slot is a place for one more item in a subscription with
  // room: its id, or 0 when none has room. The _locked forms and reserve_slot
  // are called with state_lock_ held.
  uint32_t reserve_slot();
  // Gives a slot back; with `full` (the server refused one more item) the
  // subscription takes no more. True when it was so marked.
  bool release_slot_locked(uint32_t subscription_id, bool full = false);
  // Takes state_lock_.
  bool release_slot(uint32_t subscription_id, bool full);
  // Caller's thread: a slot, asking the connection thread for a new
  // subscription when every one is full; 0 when none came in time.
  uint32_t wait_for_slot();
  uint32_t next_request_id();
  ServiceCodec::RequestHeader header(uint32_t request_id, uint32_t timeout_hint);
  int call(const Encoder& encode, std::vector<uint8_t>* response);
  // Decodes a caller's response header: 200 or the mapped failure.
  int check_header(ByteReader& r, uint32_t expected_type);
  // A caller's request and its answer: `decode` gets the answer's body once
  // its header checked out and gives the status. A malformed answer is logged
  // (`service` names it) and gives -18.
  using Decoder = std::function<int(ByteReader&)>;
  int exchange(const Encoder& encode, uint32_t response_type, const char* service,
               const Decoder& decode);

  const std::string plane_id_;
  const PlaneOptions options_;
  void* const log_;

  std::atomic<bool> stop_{false};
  std::atomic<bool> ready_{false};
  std::atomic<bool> session_broken_{false};
  std::atomic<uint64_t> generation_{0};
  std::atomic<uint32_t> request_ids_{0};

  mutable std::mutex state_lock_;
  std::condition_variable state_cv_;
  NodeId authentication_token_;              // guarded by state_lock_
  std::vector<Subscription> subscriptions_;  // guarded by state_lock_
  size_t items_per_subscription_ = 0;        // guarded by state_lock_; 0 = no limit known
  bool subscription_wanted_ = false;         // guarded by state_lock_
  int attempts_ = 0;                         // guarded by state_lock_

  PendingRequests pending_;

  // Held by the connection thread while a subscriber's callback runs, so
  // forget can wait for it.
  std::mutex delivery_lock_;

  std::mutex items_lock_;
  // By subscribing transport and topic; guarded by items_lock_.
  std::map<std::pair<zeb::Transport*, std::string>, std::shared_ptr<Item>> items_by_topic_;
  std::map<uint32_t, std::shared_ptr<Item>> items_by_handle_;  // guarded by items_lock_
  uint32_t next_handle_ = 1;                                   // guarded by items_lock_

  SecureChannel channel_;
  // Connection thread.
  std::vector<uint32_t> publish_ids_;
  size_t publish_target_ = 0;
  size_t publish_limit_ = 0;
  bool publish_refused_ = false;  // until the next answer that is not a refusal
  size_t items_per_call_ = 0;
  // The session of the lost connection, tried again on the next channel.
  NodeId resumable_token_;
  std::vector<Subscription> resumable_subscriptions_;
  Clock::time_point resumable_until_;
  double session_timeout_ms_ = 0;
  ConnectionSecurity security_;
  std::string renew_nonce_;  // our nonce of the outstanding token renewal
  std::vector<ServiceCodec::Acknowledgement> acks_;
  ServiceCodec::SubscriptionParameters revised_;
  Clock::time_point last_alive_;
  std::chrono::steady_clock::time_point token_renew_at_;
  uint32_t renew_request_id_ = 0;
  uint32_t channel_id_ = 0;

  std::thread thread_;  // started last, so every member above exists first
};
