#include "chunk_assembler.h"

#include <cstring>

#include "byte_reader.h"

namespace {

constexpr size_t kHeaderSize = 8;
// Partially received messages kept at once; more means a garbled stream.
constexpr size_t kMaxPartialMessages = 64;

bool type_is(const uint8_t* header, const char* type) {
  return std::memcmp(header, type, 3) == 0;
}

// A status code and its reason text (error and abort bodies). The reason is
// informational and some servers lay it out oddly, so a bad one is left empty.
void read_error(ByteReader& r, ChunkAssembler::Message& message) {
  message.error = r.u32();
  try {
    message.reason = r.string();
  } catch (const DecodeError&) {
    message.reason.clear();
  }
}

}  // namespace

void ChunkAssembler::drop(std::map<uint32_t, Partial>::iterator at) {
  held_ -= at->second.body.size();
  partial_.erase(at);
}

uint32_t ChunkAssembler::chunk_size(const uint8_t* header) const {
  const bool known = type_is(header, "ACK") || type_is(header, "ERR") || type_is(header, "OPN") ||
                     type_is(header, "MSG") || type_is(header, "CLO");
  if (!known) throw DecodeError("unknown message type");
  ByteReader r(header + 4, 4);
  const uint32_t size = r.u32();
  if (size < kHeaderSize + 8) throw DecodeError("chunk too small");
  if (size > limits_.max_chunk_size) throw DecodeError("chunk larger than the receive buffer");
  return size;
}

ChunkAssembler::Message ChunkAssembler::feed(const uint8_t* chunk, size_t size) {
  if (size < kHeaderSize || chunk_size(chunk) != size) throw DecodeError("chunk size mismatch");
  const char chunk_type = static_cast<char>(chunk[3]);
  ByteReader r(chunk + kHeaderSize, size - kHeaderSize);
  Message message;

  if (type_is(chunk, "ACK")) {
    if (chunk_type != 'F') throw DecodeError("bad chunk type");
    message.kind = Kind::kAcknowledge;
    for (uint32_t& field : message.ack) field = r.u32();
    return message;
  }
  if (type_is(chunk, "ERR")) {
    message.kind = Kind::kError;
    read_error(r, message);
    return message;
  }
  if (type_is(chunk, "OPN")) {
    if (chunk_type != 'F') throw DecodeError("OPN must be a single chunk");
    message.kind = Kind::kOpen;
    message.channel_id = r.u32();
    r.string();  // SecurityPolicyUri
    r.string();  // SenderCertificate
    r.string();  // ReceiverCertificateThumbprint
    r.u32();     // SequenceNumber
    message.request_id = r.u32();
    const uint8_t* body = r.take(r.remaining());
    message.body.assign(body, chunk + size);
    return message;
  }

  // MSG or CLO: symmetric header.
  message.channel_id = r.u32();
  message.token_id = r.u32();
  r.u32();  // SequenceNumber
  message.request_id = r.u32();
  if (type_is(chunk, "CLO")) {
    message.kind = Kind::kClose;
    return message;
  }
  if (chunk_type == 'A') {
    const auto aborted = partial_.find(message.request_id);
    if (aborted != partial_.end()) drop(aborted);
    message.kind = Kind::kAbort;
    read_error(r, message);
    return message;
  }
  if (chunk_type != 'C' && chunk_type != 'F') throw DecodeError("bad chunk type");

  auto found = partial_.find(message.request_id);
  if (found == partial_.end()) {
    if (partial_.size() >= kMaxPartialMessages) throw DecodeError("too many partial messages");
    found = partial_.emplace(message.request_id, Partial()).first;
  }
  Partial& partial = found->second;
  const size_t part = r.remaining();
  if (limits_.max_chunk_count != 0 && partial.chunks + 1 > limits_.max_chunk_count) {
    drop(found);
    throw DecodeError("message has too many chunks");
  }
  if (limits_.max_message_size != 0 && partial.body.size() + part > limits_.max_message_size) {
    drop(found);
    throw DecodeError("message larger than the negotiated maximum");
  }
  if (limits_.max_message_size != 0 && held_ + part > limits_.max_message_size) {
    drop(found);
    throw DecodeError("partial messages larger than the negotiated maximum together");
  }
  const uint8_t* body = r.take(part);
  partial.body.insert(partial.body.end(), body, body + part);
  held_ += part;
  ++partial.chunks;
  if (chunk_type == 'C') return Message();

  message.kind = Kind::kMessage;
  message.body = std::move(partial.body);
  held_ -= message.body.size();
  partial_.erase(found);
  return message;
}
