#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Turns the chunks a server sends (OPC 10000-6 7.1) into whole messages:
// checks each chunk's header against the negotiated limits, strips the
// security and sequence headers and joins the body parts of a request id.
// Anything malformed throws DecodeError; the connection is then dropped.
//
// Thread rules: one assembler belongs to the connection thread.
class ChunkAssembler {
 public:
  struct Limits {
    uint32_t max_chunk_size = 65536;       // largest chunk we accept, header included
    uint32_t max_message_size = 16777216;  // largest joined body; 0 = no limit
    uint32_t max_chunk_count = 512;        // most chunks per message; 0 = no limit
  };

  enum class Kind { kNone, kAcknowledge, kError, kOpen, kMessage, kAbort, kClose };

  struct Message {
    Kind kind = Kind::kNone;
    uint32_t channel_id = 0;
    uint32_t token_id = 0;
    uint32_t request_id = 0;
    // Ack fields: protocol version, receive, send, max message, max chunks.
    uint32_t ack[5] = {0, 0, 0, 0, 0};
    // ERR and abort: status and reason.
    uint32_t error = 0;
    std::string reason;
    std::vector<uint8_t> body;  // whole body of an OPN or MSG
  };

  explicit ChunkAssembler(const Limits& limits) : limits_(limits) {}

  void set_limits(const Limits& limits) { limits_ = limits; }
  const Limits& limits() const { return limits_; }

  // Reads the size of a chunk from its first 8 bytes; throws DecodeError for
  // an unknown type or a size outside [8 + minimum, max_chunk_size].
  uint32_t chunk_size(const uint8_t* header) const;

  // Takes one whole chunk. Returns a message of kind kNone while a message is
  // still incomplete, else the finished message.
  Message feed(const uint8_t* chunk, size_t size);

  // Drops every partial message (after a reconnect).
  void reset() {
    partial_.clear();
    held_ = 0;
  }

 private:
  struct Partial {
    std::vector<uint8_t> body;
    uint32_t chunks = 0;
  };

  // Drops one partial message.
  void drop(std::map<uint32_t, Partial>::iterator at);

  Limits limits_;
  std::map<uint32_t, Partial> partial_;  // by request id
  // Body bytes of all partial messages together: no more than one whole
  // message may take, however many requests are interleaved.
  size_t held_ = 0;
};
