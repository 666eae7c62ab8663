// Runs the OPC UA message decoder on arbitrary bytes as if a server had sent
// them: chunk framing and reassembly, then every response type the client
// decodes, and the Variant decoder on its own. Only DecodeError may come out.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "chunk_assembler.h"
#include "decode_error.h"
#include "service_codec.h"
#include "variant_codec.h"

namespace {

std::string dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void decode_body(const std::vector<uint8_t>& body) {
  ByteReader r(body.data(), body.size());
  const ServiceCodec::ResponseHeader header = ServiceCodec::decode_header(r);
  switch (header.type_id) {
    case ServiceCodec::kOpenSecureChannelResponse:
      ServiceCodec::decode_open_secure_channel(r);
      break;
    case ServiceCodec::kCreateSessionResponse:
      ServiceCodec::decode_create_session(r);
      break;
    case ServiceCodec::kReadResponse:
      dump(ServiceCodec::decode_read(r).value);
      break;
    case ServiceCodec::kWriteResponse:
      ServiceCodec::decode_write(r);
      break;
    case ServiceCodec::kCreateSubscriptionResponse:
      ServiceCodec::decode_create_subscription(r);
      break;
    case ServiceCodec::kCreateMonitoredItemsResponse:
      ServiceCodec::decode_create_monitored_items(r);
      break;
    default: {
      const ServiceCodec::PublishResult result = ServiceCodec::decode_publish(r);
      for (const ServiceCodec::ItemNotification& item : result.items) dump(item.value.value);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ChunkAssembler::Limits limits;
  limits.max_chunk_size = 65536;
  limits.max_message_size = 1 << 20;
  limits.max_chunk_count = 64;
  ChunkAssembler assembler(limits);
  size_t at = 0;
  try {
    while (size - at >= 8) {
      const uint32_t chunk = assembler.chunk_size(data + at);
      if (chunk > size - at) break;
      const ChunkAssembler::Message message = assembler.feed(data + at, chunk);
      at += chunk;
      if (message.kind != ChunkAssembler::Kind::kMessage &&
          message.kind != ChunkAssembler::Kind::kOpen) {
        continue;
      }
      try {
        decode_body(message.body);
      } catch (const DecodeError&) {
        // A bad body ends that message; the stream decoder goes on.
      }
    }
  } catch (const DecodeError&) {
  }
  try {
    ByteReader r(data, size);
    dump(VariantCodec::decode_variant(r));
  } catch (const DecodeError&) {
  }
  try {
    ByteReader r(data, size);
    dump(VariantCodec::decode_data_value(r).value);
  } catch (const DecodeError&) {
  }
  return 0;
}
