#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "byte_writer.h"
#include "chunk_assembler.h"
#include "connection_security.h"
#include "node_id.h"
#include "plane_options.h"
#include "secure_channel.h"
#include "service_codec.h"

// The secure channel and the session of one server connection, with the
// security and user identity its plane asks for: opening both, renewing the channel's token before
// it expires, reactivating the session of a lost connection on the next channel while the server
// may still hold it, and closing both in order on a stop.
//
// Thread rules: next_request_id, header and channel().send_* may run on any
// thread; `token_lock_` guards the session's authentication token. Everything
// else runs on the connection thread only.
class OpcuaSession {
 public:
  using Clock = std::chrono::steady_clock;
  using Encoder = std::function<void(ByteWriter&, const ServiceCodec::RequestHeader&)>;
  // Handles a message that arrives while a request of the connection thread
  // waits for its own answer; false with a reason ends the connection.
  using Dispatcher = std::function<bool(ChunkAssembler::Message&, std::string*)>;

  OpcuaSession(std::string plane_id, const PlaneOptions& options, void* log, Dispatcher dispatch);

  SecureChannel& channel() { return channel_; }
  uint32_t next_request_id();
  ServiceCodec::RequestHeader header(uint32_t request_id, uint32_t timeout_hint);

  // Connects, opens the secure channel and creates and activates a session,
  // or reactivates the last one when it may still live; *resumed tells which.
  bool open(bool* resumed, std::string* error);
  // A request of the connection thread and its answer within timeout_ms;
  // other messages meanwhile go to the dispatcher.
  bool transact(const Encoder& encode, bool open, int timeout_ms, std::vector<uint8_t>* response,
                std::string* error);
  // One request of setting the connection up, answered in time with a good
  // service result and (unless `response_type` is 0) that response type; on
  // success `reader` stands after the answer's header in `body`. Throws
  // DecodeError on a malformed answer.
  bool set_up_step(const Encoder& encode, bool open, uint32_t response_type, const char* what,
                   std::vector<uint8_t>* body, ByteReader* reader, std::string* error);
  // Asks for a new token when the current one nears its end.
  bool renew_if_due(std::string* error);
  // An OpenSecureChannel answer: the renewal's takes the new token; false
  // with a reason when the server refused it.
  bool handle_open(const ChunkAssembler::Message& message, std::string* error);
  // Closes the session, then the channel; best effort within a short wait.
  void close();
  // Closes the channel after a lost connection. The session is kept for
  // reactivation until it would have timed out since `last_alive`, unless
  // `session_lost` (the server said it no longer knows it).
  void drop(bool session_lost, Clock::time_point last_alive);
  bool is_open() { return channel_.is_open(); }

 private:
  // Asks the server for its endpoints over a channel of policy None, picks
  // one and checks its certificate; that channel is closed again.
  bool discover(std::string* error);
  bool open_session(bool* resumed, std::string* error);
  void set_token(const NodeId& token);

  const std::string plane_id_;
  const PlaneOptions& options_;
  void* const log_;
  const Dispatcher dispatch_;

  std::atomic<uint32_t> request_ids_{0};
  std::mutex token_lock_;
  NodeId authentication_token_;  // guarded by token_lock_

  SecureChannel channel_;
  // Connection thread.
  NodeId resumable_token_;
  Clock::time_point resumable_until_;
  double session_timeout_ms_ = 0;
  ConnectionSecurity security_;
  std::string renew_nonce_;  // our nonce of the outstanding token renewal
  Clock::time_point token_renew_at_;
  uint32_t renew_request_id_ = 0;
  uint32_t channel_id_ = 0;
};
