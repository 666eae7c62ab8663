#include "secure_channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "byte_writer.h"
#include "decode_error.h"
#include "service_codec.h"
#include "zeb/status.h"

namespace {

constexpr uint32_t kHelloBufferSize = 65536;
constexpr size_t kSymmetricHeader = 24;
// Legacy sequence numbers wrap before UInt32 max - 1024, to a value below 1024.
constexpr uint32_t kSequenceWrap = 4294966271u;

}  // namespace

SecureChannel::SecureChannel(const ChunkAssembler::Limits& receive_limits)
    : assembler_(receive_limits) {}

bool SecureChannel::is_open() {
  std::lock_guard<std::mutex> guard(send_lock_);
  return socket_.valid();
}

void SecureChannel::close() {
  std::lock_guard<std::mutex> guard(send_lock_);
  if (socket_.valid()) ::shutdown(socket_.fd(), SHUT_RDWR);
  socket_.reset();
  inbound_.clear();
  assembler_.reset();
}

void SecureChannel::finish(int timeout_ms) {
  {
    std::lock_guard<std::mutex> guard(send_lock_);
    if (socket_.valid()) ::shutdown(socket_.fd(), SHUT_WR);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char sink[4096];
  while (socket_.valid()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd ready = {socket_.fd(), POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) break;
    const ssize_t got = ::recv(socket_.fd(), sink, sizeof sink, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
  }
  close();
}

void SecureChannel::set_token(uint32_t channel_id, uint32_t token_id) {
  std::lock_guard<std::mutex> guard(send_lock_);
  channel_id_ = channel_id;
  token_id_ = token_id;
}

uint32_t SecureChannel::next_sequence() {
  sequence_ = sequence_ >= kSequenceWrap ? 1 : sequence_ + 1;
  return sequence_;
}

bool SecureChannel::connect(const std::string& host, int port, const std::string& endpoint_url,
                            int timeout_ms, std::string* error) {
  close();
  SocketFd socket = SocketFd::connect_tcp(host, port, timeout_ms, error);
  if (!socket.valid()) return false;
  // Writes never block a caller longer than a request may take.
  timeval send_timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  ::setsockopt(socket.fd(), SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);

  const std::vector<uint8_t> hello_message = hello(assembler_.limits(), endpoint_url);
  {
    std::lock_guard<std::mutex> guard(send_lock_);
    socket_ = std::move(socket);
    sequence_ = 0;
    channel_id_ = 0;
    token_id_ = 0;
    send_chunk_size_ = 8192;
    send_max_message_ = 0;
    send_max_chunks_ = 0;
    if (!write_all(hello_message.data(), hello_message.size())) {
      *error = std::string("cannot send Hello: ") + std::strerror(errno);
      socket_.reset();
      return false;
    }
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  ChunkAssembler::Message reply;
  try {
    while (reply.kind == ChunkAssembler::Kind::kNone) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) {
        *error = "no Acknowledge within the timeout";
        close();
        return false;
      }
      if (!receive(static_cast<int>(left), &reply, error)) {
        close();
        return false;
      }
    }
  } catch (const DecodeError& e) {
    *error = std::string("bad Acknowledge: ") + e.what();
    close();
    return false;
  }
  if (reply.kind != ChunkAssembler::Kind::kAcknowledge) {
    char text[96];
    std::snprintf(text, sizeof text, "Hello refused with status 0x%08X", reply.error);
    *error = reply.kind == ChunkAssembler::Kind::kError ? text : "unexpected reply to Hello";
    close();
    return false;
  }
  // ack: version, server receive buffer, server send buffer, max message, max chunks.
  if (reply.ack[1] < 8192) {
    *error = "server receive buffer below 8192 bytes";
    close();
    return false;
  }
  std::lock_guard<std::mutex> guard(send_lock_);
  send_chunk_size_ = std::min(reply.ack[1], kHelloBufferSize);
  send_max_message_ = reply.ack[3];
  send_max_chunks_ = reply.ack[4];
  return true;
}

bool SecureChannel::write_all(const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(socket_.fd(), data, size, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

std::vector<uint8_t> SecureChannel::hello(const ChunkAssembler::Limits& limits,
                                          const std::string& endpoint_url) {
  ByteWriter w;
  w.raw("HELF", 4);
  w.u32(0);  // size, patched below
  w.u32(0);  // ProtocolVersion
  w.u32(limits.max_chunk_size);
  w.u32(kHelloBufferSize);
  w.u32(limits.max_message_size);
  w.u32(limits.max_chunk_count);
  w.string(endpoint_url);
  w.patch_u32(4, static_cast<uint32_t>(w.size()));
  return std::move(w.bytes());
}

std::vector<uint8_t> SecureChannel::chunk(const char* type, char chunk_type, uint32_t channel_id,
                                          uint32_t token_id, uint32_t sequence, uint32_t request_id,
                                          const uint8_t* body, size_t size,
                                          const ByteWriter* asymmetric_header) {
  ByteWriter w;
  w.raw(type, 3);
  w.u8(static_cast<uint8_t>(chunk_type));
  w.u32(0);  // size, patched below
  w.u32(channel_id);
  if (std::strcmp(type, "OPN") == 0 && asymmetric_header) {
    w.raw(asymmetric_header->bytes().data(), asymmetric_header->size());
  } else if (std::strcmp(type, "OPN") == 0) {
    w.string(ServiceCodec::kSecurityPolicyNone);
    w.null_length();  // SenderCertificate
    w.null_length();  // ReceiverCertificateThumbprint
  } else {
    w.u32(token_id);
  }
  w.u32(sequence);
  w.u32(request_id);
  w.raw(body, size);
  w.patch_u32(4, static_cast<uint32_t>(w.size()));
  return std::move(w.bytes());
}

int SecureChannel::send_open(uint32_t request_id, const std::vector<uint8_t>& body) {
  return send_chunks("OPN", request_id, body, true);
}

int SecureChannel::send_message(uint32_t request_id, const std::vector<uint8_t>& body) {
  return send_chunks("MSG", request_id, body, false);
}

int SecureChannel::send_close(uint32_t request_id, const std::vector<uint8_t>& body) {
  return send_chunks("CLO", request_id, body, false);
}

int SecureChannel::send_chunks(const char* type, uint32_t request_id,
                               const std::vector<uint8_t>& body, bool asymmetric) {
  std::lock_guard<std::mutex> guard(send_lock_);
  if (!socket_.valid()) return zeb::kConnectionFailed;
  const bool single = asymmetric || std::strcmp(type, "CLO") == 0;
  const size_t room = security_.body_room(send_chunk_size_);
  const size_t chunks = single ? 1 : std::max<size_t>(1, (body.size() + room - 1) / room);
  if (send_max_message_ != 0 && body.size() > send_max_message_) return zeb::kPayloadTooLarge;
  if (send_max_chunks_ != 0 && chunks > send_max_chunks_) return zeb::kPayloadTooLarge;
  if (single && !asymmetric && body.size() > room) return zeb::kPayloadTooLarge;

  ByteWriter security_header;
  if (asymmetric) security_.write_asymmetric_header(security_header);
  size_t at = 0;
  for (size_t i = 0; i < chunks; ++i) {
    const size_t part = single ? body.size() : std::min(room, body.size() - at);
    std::vector<uint8_t> bytes =
        chunk(type, i + 1 == chunks ? 'F' : 'C', channel_id_, token_id_, next_sequence(),
              request_id, body.data() + at, part, asymmetric ? &security_header : nullptr);
    at += part;
    std::string refused;
    const size_t header_end = asymmetric ? 12 + security_header.size() : kSymmetricHeader - 8;
    if (!security_.seal(&bytes, header_end, &refused)) return zeb::kInternalError;
    // An OPN carries a certificate or two and is never split: it must fit.
    if (asymmetric && bytes.size() > send_chunk_size_) return zeb::kPayloadTooLarge;
    if (!write_all(bytes.data(), bytes.size())) {
      // A half-written message leaves the stream unusable.
      ::shutdown(socket_.fd(), SHUT_RDWR);
      return zeb::kConnectionFailed;
    }
  }
  return zeb::kSuccess;
}

bool SecureChannel::receive(int timeout_ms, ChunkAssembler::Message* out, std::string* error) {
  *out = ChunkAssembler::Message();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    // Whole chunks already buffered come first.
    while (inbound_.size() >= 8) {
      const uint32_t size = assembler_.chunk_size(inbound_.data());
      if (inbound_.size() < size) break;
      std::vector<uint8_t> chunk(inbound_.begin(), inbound_.begin() + size);
      inbound_.erase(inbound_.begin(), inbound_.begin() + size);
      std::string refused;
      if (!security_.unseal(&chunk, &refused)) {
        *error = "security check failed: " + refused;
        return false;
      }
      ChunkAssembler::Message message = assembler_.feed(chunk.data(), chunk.size());
      if (message.kind != ChunkAssembler::Kind::kNone) {
        last_heard_ = std::chrono::steady_clock::now();
        *out = std::move(message);
        return true;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return true;
    const int fd = socket_.fd();
    if (fd < 0) {
      *error = "connection closed";
      return false;
    }
    pollfd waiter{fd, POLLIN, 0};
    const int ready = ::poll(&waiter, 1, static_cast<int>(left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      *error = std::string("poll failed: ") + std::strerror(errno);
      return false;
    }
    if (ready == 0) return true;
    uint8_t buffer[65536];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got == 0) {
      *error = "connection closed by the server";
      return false;
    }
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      *error = std::string("receive failed: ") + std::strerror(errno);
      return false;
    }
    inbound_.insert(inbound_.end(), buffer, buffer + got);
  }
}
