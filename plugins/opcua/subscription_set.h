#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "node_id.h"
#include "opcua_session.h"
#include "plane_options.h"
#include "service_codec.h"
#include "zeb/client.h"

// The subscriptions of one server connection and their monitored items: as
// many subscriptions as the server's limit of items per subscription needs,
// items created in batches within its limit per call, Publish requests kept
// outstanding, and data changes delivered to the subscribers.
//
// After a lost connection every created item waits for re-creation; when the
// session was reactivated and the server still holds every subscription, they
// are taken back as they were. An item the server refuses is retried on the
// connection's back-off.
//
// The server can only answer the Publish requests it holds, and fills each
// answer up to its own cap; so while answers report more notifications
// waiting, one more request is kept outstanding, up to "max_publish_requests"
// or the server's own limit, and one is given back per keep-alive.
//
// Thread rules: subscribe, active and forget run on callers' threads;
// everything else on the connection thread. `items_lock_` guards the item
// tables; it is not held while a subscriber's callback runs or while the
// thread waits for the network.
// `delivery_lock_` is held while a callback runs, so forget can wait for it.
// Members marked "connection thread" are touched by that thread only.
class SubscriptionSet {
 public:
  using Clock = std::chrono::steady_clock;
  SubscriptionSet(std::string plane_id, const PlaneOptions& options, void* log,
                  OpcuaSession& session, const std::atomic<bool>& ready,
                  const std::atomic<bool>& stop);

  // Callers' threads. 200 once the item is recorded; the connection thread
  // creates it at the server with the next batch, within a tick, and keeps
  // retrying while the server refuses it. It then survives reconnections. Its
  // values reach the callback as messages of `owner`.
  int subscribe(zeb::Transport* owner, const std::string& topic, const NodeId& node,
                zeb::MessageCallback callback, void* user);
  // False while an item on `topic` waits for the server to create it; true
  // once every one exists, or when there is none.
  bool active(const std::string& topic);
  // Stops delivering to the subscribers of `owner`; once it returns, none of
  // their callbacks runs or will run.
  void forget(zeb::Transport* owner);
  // Any thread: items the server holds, and items waiting for it.
  void count_items(int64_t* created, int64_t* waiting);

  // Connection thread, on a new session: reads the server's limits, takes the
  // last subscriptions back when `resumed` and the server still has them, or
  // creates the first one, then every pending item.
  bool start(bool resumed, std::string* error);
  // Items due for creation or a retry, in batches.
  bool retry_due(std::string* error) { return retry_items(false, error); }
  // Keeps as many Publish requests outstanding as the answers need.
  bool send_publishes(std::string* error);
  // A Publish answer or abort of ours; false when the id is not one.
  bool is_publish(uint32_t request_id);
  bool handle_publish(const std::vector<uint8_t>& body, std::string* error);
  // False once nothing came from the server (no Publish answer, no other
  // answer) within the keep-alive window plus a margin.
  bool alive(Clock::time_point now);
  Clock::time_point last_alive() const { return last_alive_; }
  // After a lost connection: created items wait for re-creation.
  void reset();

 private:
  enum class ItemState { kActive, kPending };

  struct Item {
    std::string topic;
    NodeId node;
    zeb::Transport* owner = nullptr;
    zeb::MessageCallback callback = nullptr;
    void* user = nullptr;
    uint32_t handle = 0;
    ItemState state = ItemState::kPending;
    // Active when the connection was lost: it lives on at the server if the
    // session and its subscription do.
    bool restorable = false;
    Clock::time_point retry_at;
    int attempts = 0;
  };

  // A subscription and the monitored items counted against it; `full` once
  // the server refused one more.
  struct Subscription {
    uint32_t id = 0;
    size_t items = 0;
    bool full = false;
  };

  bool read_limits(std::string* error);
  // After a reactivation: takes the last subscriptions and their items back
  // when the server still has every one; false when it does not.
  bool restore(std::string* error, bool* restored);
  bool add_subscription(std::string* error);
  bool retry_items(bool all, std::string* error);
  void deliver(const ServiceCodec::ItemNotification& notification);

  // A slot is a place for one more item in a subscription with room: its id,
  // or 0 when none has room.
  uint32_t reserve_slot();
  // Gives a slot back; with `full` (the server refused one more item) the
  // subscription takes no more. True when it was so marked.
  bool release_slot(uint32_t subscription_id, bool full);
  const std::string plane_id_;
  const PlaneOptions& options_;
  void* const log_;
  OpcuaSession& session_;
  const std::atomic<bool>& ready_;
  const std::atomic<bool>& stop_;

  std::atomic<uint64_t> generation_{0};

  std::mutex delivery_lock_;

  std::mutex items_lock_;
  // By topic and subscribing transport; guarded by items_lock_.
  std::map<std::pair<std::string, zeb::Transport*>, std::shared_ptr<Item>> items_by_topic_;
  std::map<uint32_t, std::shared_ptr<Item>> items_by_handle_;  // guarded by items_lock_
  uint32_t next_handle_ = 1;                                   // guarded by items_lock_
  // No pending item is due before this; guarded by items_lock_.
  Clock::time_point next_retry_ = Clock::time_point::max();

  // Connection thread.
  std::vector<Subscription> subscriptions_;
  size_t items_per_subscription_ = 0;  // 0 = no limit known
  std::vector<Subscription> resumable_;
  std::vector<uint32_t> publish_ids_;
  size_t publish_target_ = 0;
  size_t publish_limit_ = 0;
  size_t items_per_call_ = 0;
  std::vector<ServiceCodec::Acknowledgement> acks_;
  ServiceCodec::SubscriptionParameters revised_;
  Clock::time_point last_alive_;
};
