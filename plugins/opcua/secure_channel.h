#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "byte_writer.h"
#include "chunk_assembler.h"
#include "chunk_security.h"
#include "socket_fd.h"

// One UA-TCP connection with a secure channel: the Hello/Acknowledge
// exchange, chunking of outgoing messages within the limits the server
// acknowledged, sequence numbers, signing and encryption of every chunk by
// its ChunkSecurity, and whole incoming messages, each chunk checked first,
// through a ChunkAssembler.
//
// Thread rules: connect, receive and close run on the connection thread only.
// The send functions may run on any thread; `send_lock_` guards the socket's
// write side, the sequence number, the tokens and the send limits, and close
// takes it too, so a writer never writes to a closed descriptor.
class SecureChannel {
 public:
  explicit SecureChannel(const ChunkAssembler::Limits& receive_limits);

  // TCP connection and Hello/Acknowledge within timeout_ms. False with a
  // reason on failure (the channel is then closed).
  bool connect(const std::string& host, int port, const std::string& endpoint_url, int timeout_ms,
               std::string* error);

  // Status codes of zeb/status.h: 200 sent, 413 larger than the server takes,
  // -4 no connection or the write failed.
  int send_open(uint32_t request_id, const std::vector<uint8_t>& body);
  int send_message(uint32_t request_id, const std::vector<uint8_t>& body);
  int send_close(uint32_t request_id, const std::vector<uint8_t>& body);

  // Uses this channel and token for the chunks sent from now on.
  void set_token(uint32_t channel_id, uint32_t token_id);

  // The protection of the chunks; configured before the OpenSecureChannel
  // request and given the keys of each token the server issues.
  ChunkSecurity& security() { return security_; }

  // Waits up to timeout_ms for the next whole message. Returns true with a
  // message (kind kNone when nothing complete arrived in time); false with a
  // reason when the connection closed or failed, or a chunk failed its
  // signature or decryption (*error then starts with "security check
  // failed"). Throws DecodeError for a malformed stream.
  bool receive(int timeout_ms, ChunkAssembler::Message* out, std::string* error);
  // When `receive` last returned a whole message: any answer shows the server
  // alive, however long it kept its keep-alives waiting meanwhile.
  std::chrono::steady_clock::time_point last_heard() const { return last_heard_; }

  void close();
  // Ends the channel after a CLO: sends our FIN, then reads and discards what
  // the server still sends until it closes its side (at most timeout_ms), so
  // that unread data does not turn our close into a reset that would make
  // the server drop the CLO unread. Then closes.
  void finish(int timeout_ms);
  bool is_open();

  // The Hello message announcing our receive limits.
  static std::vector<uint8_t> hello(const ChunkAssembler::Limits& limits,
                                    const std::string& endpoint_url);
  // One chunk of an OPN (asymmetric header, token_id unused), MSG or CLO,
  // without protection. The OPN's security header is asymmetric_header, or
  // that of policy None when null.
  static std::vector<uint8_t> chunk(const char* type, char chunk_type, uint32_t channel_id,
                                    uint32_t token_id, uint32_t sequence, uint32_t request_id,
                                    const uint8_t* body, size_t size,
                                    const ByteWriter* asymmetric_header = nullptr);

 private:
  int send_chunks(const char* type, uint32_t request_id, const std::vector<uint8_t>& body,
                  bool asymmetric);
  bool write_all(const uint8_t* data, size_t size);
  uint32_t next_sequence();

  std::mutex send_lock_;
  SocketFd socket_;                  // written under send_lock_, read by the connection thread
  uint32_t sequence_ = 0;            // guarded by send_lock_
  uint32_t channel_id_ = 0;          // guarded by send_lock_
  uint32_t token_id_ = 0;            // guarded by send_lock_
  uint32_t send_chunk_size_ = 8192;  // guarded by send_lock_
  uint32_t send_max_message_ = 0;    // guarded by send_lock_
  uint32_t send_max_chunks_ = 0;     // guarded by send_lock_

  ChunkSecurity security_;                            // locks on its own
  ChunkAssembler assembler_;                          // connection thread
  std::chrono::steady_clock::time_point last_heard_;  // connection thread
  std::vector<uint8_t> inbound_;  // connection thread: bytes not yet a whole chunk
};
