#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chunk_assembler.h"
#include "node_id.h"
#include "opcua_session.h"
#include "pending_requests.h"
#include "plane_options.h"
#include "service_codec.h"
#include "subscription_set.h"
#include "zeb/client.h"

// One OPC UA server connection of a plane: an OpcuaSession (secure channel
// and session), a SubscriptionSet (subscriptions and monitored items), and
// the requests of callers' threads matched to their answers.
//
// Its thread (the connection thread) connects, receives every response and
// hands data changes to the subscription set. After a lost connection it
// reconnects with a capped back-off, forever. The connection counts as lost
// on a socket error, an ERR message, a lost session, a malformed message, or
// when no Publish response (data or keep-alive) arrives within the
// subscription's keep-alive window plus a margin.
//
// Thread rules: read, write, browse, read_attributes, subscribe, forget,
// healthy and wait_first_attempt run on callers' threads and never block
// longer than the request timeout (plus the wait for the first connection).
// `state_lock_` guards the attempt count (`state_cv_` signals it and stop);
// `pending_` matches callers' requests to answers under a lock of its own.
// A subscriber's callback runs on the connection thread, so it must not wait
// for a call on the same connection: that call's response could only arrive
// after the callback.
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
  using Encoder = OpcuaSession::Encoder;

  // Connection thread.
  void run();
  bool establish(std::string* error);
  bool serve_once(std::string* error);
  // Logs the loss, then reset().
  void lose(const std::string& reason);
  // Closes the channel, fails the waiting callers and marks every created item
  // for re-creation.
  void reset();
  bool dispatch(ChunkAssembler::Message& message, std::string* error);
  bool sleep_backoff(int delay_ms);
  int backoff_ms(int attempts) const;

  // Callers' threads.
  int call(const Encoder& encode, std::vector<uint8_t>* response);
  // Decodes a caller's response header: 200 or the mapped failure.
  int check_header(ByteReader& r, uint32_t expected_type);
  // A caller's request and its answer: `decode` gets the answer's body once
  // its header checked out and gives the status. A malformed answer is logged
  // (`service` names it) and gives -18.
  int exchange(const Encoder& encode, uint32_t response_type, const char* service,
               const SubscriptionSet::Decoder& decode);

  const std::string plane_id_;
  const PlaneOptions options_;
  void* const log_;

  std::atomic<bool> stop_{false};
  std::atomic<bool> ready_{false};
  std::atomic<bool> session_broken_{false};

  mutable std::mutex state_lock_;
  std::condition_variable state_cv_;
  int attempts_ = 0;  // guarded by state_lock_

  PendingRequests pending_;
  OpcuaSession session_;
  SubscriptionSet subscriptions_;

  std::thread thread_;  // started last, so every member above exists first
};
