// The OPC UA binary encoder and decoder, checked against known byte sequences
// (OPC 10000-6 examples and messages exchanged with a real server).
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base64.h"
#include "byte_reader.h"
#include "byte_writer.h"
#include "chunk_assembler.h"
#include "date_time.h"
#include "node_id.h"
#include "pending_requests.h"
#include "plane_options.h"
#include "secure_channel.h"
#include "service_codec.h"
#include "status_mapping.h"
#include "variant_codec.h"
#include "zeb/opcua_value_record.h"
#include "zeb/status.h"

namespace {

// "01 0A ff" -> bytes.
std::vector<uint8_t> hex(const std::string& text) {
  std::vector<uint8_t> bytes;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte) bytes.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
  return bytes;
}

std::string to_hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char part[4];
  for (uint8_t b : bytes) {
    std::snprintf(part, sizeof part, "%02X ", b);
    text += part;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

constexpr int64_t kTimestamp = 133486382456780000LL;  // 2024-01-02T03:04:05.678Z

ServiceCodec::RequestHeader header(uint32_t handle) {
  ServiceCodec::RequestHeader h;
  h.timestamp = kTimestamp;
  h.request_handle = handle;
  h.timeout_hint = 10000;
  return h;
}

std::string variant_json(const std::string& bytes) {
  const std::vector<uint8_t> data = hex(bytes);
  ByteReader r(data.data(), data.size());
  const std::string text = VariantCodec::decode_variant(r).dump();
  EXPECT_EQ(r.remaining(), 0u);
  return text;
}

}  // namespace

// ---- messages ------------------------------------------------------------------

TEST(OpcuaMessages, HelloMatchesTheKnownBytes) {
  ChunkAssembler::Limits limits;
  limits.max_chunk_size = 65536;
  limits.max_message_size = 0;
  limits.max_chunk_count = 0;
  EXPECT_EQ(to_hex(SecureChannel::hello(limits, "opc.tcp://127.0.0.1:4840")),
            "48 45 4C 46 38 00 00 00 00 00 00 00 00 00 01 00 00 00 01 00 00 00 00 00 "
            "00 00 00 00 18 00 00 00 6F 70 63 2E 74 63 70 3A 2F 2F 31 32 37 2E 30 2E "
            "30 2E 31 3A 34 38 34 30");
}

TEST(OpcuaMessages, OpenSecureChannelMatchesTheKnownBytes) {
  ByteWriter body;
  ServiceCodec::open_secure_channel(body, header(1), false, 600000);
  const std::vector<uint8_t> chunk =
      SecureChannel::chunk("OPN", 'F', 0, 0, 1, 1, body.bytes().data(), body.size());
  EXPECT_EQ(to_hex(chunk),
            to_hex(hex("4F 50 4E 46 84 00 00 00 00 00 00 00 2F 00 00 00 68 74 74 70 3A 2F 2F 6F "
                       "70 63 66 6F 75 6E 64 61 74 69 6F 6E 2E 6F 72 67 2F 55 41 2F 53 65 63 75 "
                       "72 69 74 79 50 6F 6C 69 63 79 23 4E 6F 6E 65 FF FF FF FF FF FF FF FF 01 "
                       "00 00 00 01 00 00 00 01 00 BE 01 00 00 E0 34 B0 58 28 3D DA 01 01 00 00 "
                       "00 00 00 00 00 FF FF FF FF 10 27 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                       "01 00 00 00 FF FF FF FF C0 27 09 00")));
}

TEST(OpcuaMessages, ReadMatchesTheKnownBytes) {
  NodeId node;
  ASSERT_TRUE(NodeId::parse("ns=2;s=Foo", &node));
  ByteWriter body;
  ServiceCodec::read(body, header(3), node);
  const std::vector<uint8_t> chunk =
      SecureChannel::chunk("MSG", 'F', 5, 1, 3, 3, body.bytes().data(), body.size());
  EXPECT_EQ(to_hex(chunk),
            to_hex(hex("4D 53 47 46 61 00 00 00 05 00 00 00 01 00 00 00 03 00 00 00 03 00 00 00 "
                       "01 00 77 02 00 00 E0 34 B0 58 28 3D DA 01 03 00 00 00 00 00 00 00 FF FF "
                       "FF FF 10 27 00 00 00 00 00 00 00 00 00 00 00 00 00 03 00 00 00 01 00 00 "
                       "00 03 02 00 03 00 00 00 46 6F 6F 0D 00 00 00 FF FF FF FF 00 00 FF FF FF "
                       "FF")));
}

TEST(OpcuaMessages, AnonymousIdentityTokenIsInActivateSession) {
  ByteWriter body;
  ServiceCodec::activate_session(body, header(4), "anonymous", true);
  const std::string bytes = to_hex(body.bytes());
  EXPECT_NE(bytes.find("01 00 41 01 01 0D 00 00 00 09 00 00 00 61 6E 6F 6E 79 6D 6F 75 73"),
            std::string::npos)
      << bytes;
}

TEST(OpcuaMessages, ServiceFaultHeaderDecodes) {
  ChunkAssembler assembler{ChunkAssembler::Limits()};
  const std::vector<uint8_t> chunk =
      hex("4D 53 47 46 34 00 00 00 1B 00 00 00 01 00 00 00 02 00 00 00 02 00 00 00 "
          "01 00 8D 01 00 00 00 00 00 00 00 00 02 00 00 00 00 00 25 80 00 00 00 00 00 "
          "00 00 00");
  const ChunkAssembler::Message message = assembler.feed(chunk.data(), chunk.size());
  ASSERT_EQ(message.kind, ChunkAssembler::Kind::kMessage);
  EXPECT_EQ(message.channel_id, 0x1Bu);
  EXPECT_EQ(message.request_id, 2u);
  ByteReader r(message.body.data(), message.body.size());
  const ServiceCodec::ResponseHeader h = ServiceCodec::decode_header(r);
  EXPECT_EQ(h.type_id, static_cast<uint32_t>(ServiceCodec::kServiceFault));
  EXPECT_EQ(h.request_handle, 2u);
  EXPECT_EQ(h.service_result, 0x80250000u);
  EXPECT_EQ(r.remaining(), 0u);
  EXPECT_EQ(StatusMapping::to_zeb(h.service_result), zeb::kConnectionFailed);
}

TEST(OpcuaMessages, PublishResponseDeliversTheDataChange) {
  const std::string response_header =
      "01 00 3D 03 00 00 00 00 00 00 00 00 07 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ";
  const std::string publish =
      "2A D8 0D 00 01 00 00 00 01 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 "
      "01 00 00 00 01 00 2B 03 01 26 00 00 00 "
      "01 00 00 00 07 00 00 00 3D 06 E7 00 00 00 00 80 3E D5 DE B1 9D 01 00 00 "
      "00 80 3E D5 DE B1 9D 01 00 00 00 00 00 00 "
      "00 00 00 00 00 00 00 00";
  const std::vector<uint8_t> body = hex(response_header + publish);
  ByteReader r(body.data(), body.size());
  const ServiceCodec::ResponseHeader h = ServiceCodec::decode_header(r);
  EXPECT_EQ(h.type_id, static_cast<uint32_t>(ServiceCodec::kPublishResponse));
  const ServiceCodec::PublishResult result = ServiceCodec::decode_publish(r);
  EXPECT_EQ(result.subscription_id, 0x000DD82Au);
  EXPECT_EQ(result.sequence_number, 1u);
  EXPECT_TRUE(result.has_data);
  EXPECT_FALSE(result.more_notifications);
  ASSERT_EQ(result.items.size(), 1u);
  EXPECT_EQ(result.items[0].client_handle, 7u);
  EXPECT_EQ(result.items[0].value.value.dump(), R"({"type":"int32","val":231})");
  EXPECT_EQ(result.items[0].value.source_time, DateTime::kUnixEpochTicks);
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(OpcuaMessages, KeepAliveHasNoData) {
  const std::vector<uint8_t> body =
      hex("01 00 3D 03 00 00 00 00 00 00 00 00 07 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
          "2A 00 00 00 00 00 00 00 00 05 00 00 00 00 00 00 00 00 00 00 00 "
          "00 00 00 00 00 00 00 00 00 00 00 00");
  ByteReader r(body.data(), body.size());
  ServiceCodec::decode_header(r);
  const ServiceCodec::PublishResult result = ServiceCodec::decode_publish(r);
  EXPECT_FALSE(result.has_data);
  EXPECT_EQ(result.sequence_number, 5u);
  EXPECT_TRUE(result.items.empty());
}

TEST(OpcuaMessages, CreateMonitoredItemsResultsDecode) {
  const std::vector<uint8_t> body =
      hex("02 00 00 00 "                                                           // 2 results
          "00 00 00 00 05 00 00 00 00 00 00 00 00 00 24 40 01 00 00 00 00 00 00 "  // Good, id 5
          "00 00 34 80 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "  // unknown node
          "00 00 00 00");                                                          // no diagnostics
  ByteReader r(body.data(), body.size());
  const std::vector<ServiceCodec::ItemResult> results =
      ServiceCodec::decode_create_monitored_items(r);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].status, 0u);
  EXPECT_EQ(results[0].monitored_item_id, 5u);
  EXPECT_EQ(results[1].status, 0x80340000u);
}

// ---- NodeId ----------------------------------------------------------------------

struct NodeIdCase {
  const char* text;
  const char* bytes;
};

class OpcuaNodeId : public ::testing::TestWithParam<NodeIdCase> {};

TEST_P(OpcuaNodeId, TextAndBytesRoundTrip) {
  NodeId node;
  ASSERT_TRUE(NodeId::parse(GetParam().text, &node));
  ByteWriter w;
  node.encode(w);
  EXPECT_EQ(to_hex(w.bytes()), to_hex(hex(GetParam().bytes)));
  ByteReader r(w.bytes().data(), w.size());
  const NodeId back = NodeId::decode(r);
  EXPECT_EQ(back, node);
  EXPECT_EQ(back.to_text(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, OpcuaNodeId,
    ::testing::Values(NodeIdCase{"i=13", "00 0D"}, NodeIdCase{"i=2258", "01 00 D2 08"},
                      NodeIdCase{"i=256", "01 00 00 01"}, NodeIdCase{"ns=1;i=1000", "01 01 E8 03"},
                      NodeIdCase{"ns=2;i=70000", "02 02 00 70 11 01 00"},
                      NodeIdCase{"ns=300;i=5", "02 2C 01 05 00 00 00"},
                      NodeIdCase{"ns=2;s=Foo", "03 02 00 03 00 00 00 46 6F 6F"},
                      NodeIdCase{"ns=3;s=a;b=c", "03 03 00 05 00 00 00 61 3B 62 3D 63"},
                      NodeIdCase{"ns=1;g=72962B91-FA75-4AE6-8D28-B404DC7DAF63",
                                 "04 01 00 91 2B 96 72 75 FA E6 4A 8D 28 B4 04 DC 7D AF 63"},
                      NodeIdCase{"ns=1;b=AQID", "05 01 00 03 00 00 00 01 02 03"}));

TEST(OpcuaNodeIdText, MalformedTextIsRefused) {
  NodeId node;
  for (const char* text : {"", "i=", "x=5", "ns=1", "ns=;i=5", "ns=65536;i=1", "i=4294967296",
                           "i=-1", "I=5", "ns=1;g=72962B91FA75", "ns=1;b=AQI", "ns=1;b=A*ID",
                           "ns=1;g=72962B91-FA75-4AE6-8D28-B404DC7DAF6G"}) {
    EXPECT_FALSE(NodeId::parse(text, &node)) << text;
  }
  EXPECT_TRUE(NodeId::parse("ns=65535;i=4294967295", &node));
  EXPECT_TRUE(NodeId::parse("s=", &node));  // empty string identifier
  EXPECT_TRUE(NodeId::parse("ns=1;g=72962b91-fa75-4ae6-8d28-b404dc7daf63", &node));
  EXPECT_EQ(node.to_text(), "ns=1;g=72962B91-FA75-4AE6-8D28-B404DC7DAF63");
}

TEST(OpcuaNodeIdText, ExpandedNodeIdDecodes) {
  const std::vector<uint8_t> bytes = hex("C0 05 05 00 00 00 75 72 6E 3A 78 02 00 00 00");
  ByteReader r(bytes.data(), bytes.size());
  EXPECT_EQ(NodeId::decode(r, true).to_text(), "svr=2;nsu=urn:x;i=5");
  ByteReader plain(bytes.data(), bytes.size());
  EXPECT_THROW(NodeId::decode(plain), DecodeError);
}

// ---- values ------------------------------------------------------------------------

struct VariantCase {
  const char* bytes;
  const char* json;
};

class OpcuaVariant : public ::testing::TestWithParam<VariantCase> {};

TEST_P(OpcuaVariant, DecodesToTypeAndValue) {
  EXPECT_EQ(variant_json(GetParam().bytes), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, OpcuaVariant,
    ::testing::Values(
        VariantCase{"01 01", R"({"type":"bool","val":true})"},
        VariantCase{"02 FF", R"({"type":"int8","val":-1})"},
        VariantCase{"05 70 11", R"({"type":"uint16","val":4464})"},
        VariantCase{"06 FB FF FF FF", R"({"type":"int32","val":-5})"},
        VariantCase{"08 FD FF FF FF FF FF FF FF", R"({"type":"int64","val":-3})"},
        VariantCase{"09 01 00 00 00 01 00 00 00", R"({"type":"uint64","val":4294967297})"},
        VariantCase{"0A 00 00 C0 3F", R"({"type":"float","val":1.5})"},
        VariantCase{"0A CD CC CC 3D", R"({"type":"float","val":0.1})"},
        VariantCase{"0B 00 00 00 00 00 00 29 40", R"({"type":"double","val":12.5})"},
        VariantCase{"0B 00 00 00 00 00 00 F8 7F", R"({"type":"double","val":null})"},
        VariantCase{"0C 03 00 00 00 61 62 63", R"({"type":"string","val":"abc"})"},
        VariantCase{"0C FF FF FF FF", R"({"type":"string","val":null})"},
        VariantCase{"0D 00 80 3E D5 DE B1 9D 01",
                    R"({"type":"datetime","val":"1970-01-01T00:00:00.000Z"})"},
        VariantCase{"0D 00 00 00 00 00 00 00 00",
                    R"({"type":"datetime","val":"1601-01-01T00:00:00.000Z"})"},
        VariantCase{"0D FF FF FF FF FF FF FF 7F",
                    R"({"type":"datetime","val":"9999-12-31T23:59:59.999Z"})"},
        VariantCase{"86 02 00 00 00 01 00 00 00 02 00 00 00", R"({"type":"int32","val":[1,2]})"},
        VariantCase{"86 FF FF FF FF", R"({"type":"int32","val":null})"},
        VariantCase{"C3 04 00 00 00 01 02 03 04 02 00 00 00 02 00 00 00 02 00 00 00",
                    R"({"type":"uint8","val":[[1,2],[3,4]]})"},
        VariantCase{"C3 00 00 00 00 02 00 00 00 FF FF FF 7F 00 00 00 00",
                    R"({"type":"uint8","val":[]})"},
        VariantCase{"0F 03 00 00 00 01 02 03", R"({"type":"bytestring","val":"AQID"})"},
        VariantCase{"15 03 02 00 00 00 65 6E 02 00 00 00 48 69",
                    R"({"type":"localizedtext","val":"Hi"})"},
        VariantCase{"14 01 00 01 00 00 00 51", R"({"type":"qualifiedname","val":"1:Q"})"},
        VariantCase{"13 00 00 34 80", R"({"type":"statuscode","val":2150891520})"},
        VariantCase{
            "98 02 00 00 00 06 05 00 00 00 0C 01 00 00 00 78",
            R"({"type":"variant","val":[{"type":"int32","val":5},{"type":"string","val":"x"}]})"},
        VariantCase{"00", R"({"type":"null","val":null})"}));

TEST(OpcuaVariantBad, GarbledVariantsThrow) {
  for (const char* bytes :
       {"", "06 FB FF", "0C 05 00 00 00 61", "86 FF FF FF 7F 01", "86 FE FF FF FF", "18 00", "40",
        "C6 01 00 00 00 01 00 00 00 FF FF FF 7F", "0C FE FF FF FF",
        "16 01 00 41 01 03 00 00 00 00"}) {
    const std::vector<uint8_t> data = hex(bytes);
    ByteReader r(data.data(), data.size());
    EXPECT_THROW(VariantCodec::decode_variant(r), DecodeError) << bytes;
  }
}

TEST(OpcuaVariantBad, DeepNestingIsRefused) {
  // Arrays of Variants holding arrays of Variants ... deeper than the guard.
  std::string bytes;
  for (int i = 0; i < 40; ++i) bytes += "98 01 00 00 00 ";
  bytes += "00";
  const std::vector<uint8_t> data = hex(bytes);
  ByteReader r(data.data(), data.size());
  EXPECT_THROW(VariantCodec::decode_variant(r), DecodeError);
}

TEST(OpcuaDataValue, MaskSelectsFields) {
  const std::vector<uint8_t> value = hex("01 0B 00 00 00 00 00 00 F8 3F");
  ByteReader r(value.data(), value.size());
  const VariantCodec::DataValue decoded = VariantCodec::decode_data_value(r);
  EXPECT_TRUE(decoded.has_value);
  EXPECT_EQ(decoded.value.dump(), R"({"type":"double","val":1.5})");
  EXPECT_EQ(decoded.status, 0u);

  const std::vector<uint8_t> bad = hex("02 00 00 34 80");
  ByteReader rb(bad.data(), bad.size());
  const VariantCodec::DataValue status = VariantCodec::decode_data_value(rb);
  EXPECT_FALSE(status.has_value);
  EXPECT_EQ(StatusMapping::to_zeb(status.status), zeb::kNotFoundOnRemote);
}

// ---- value records -------------------------------------------------------------------

struct RecordCase {
  int32_t code;
  std::string value;
  const char* bytes;
};

template <typename T>
std::string native(T value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

class OpcuaRecord : public ::testing::TestWithParam<RecordCase> {};

TEST_P(OpcuaRecord, EncodesTheVariantOfItsType) {
  const RecordCase& c = GetParam();
  const opcua_value::ValueRecord record{c.code, 0, c.value.size(), c.value.data()};
  ByteWriter w;
  std::string error;
  ASSERT_TRUE(VariantCodec::encode_record(w, &record, &error)) << error;
  EXPECT_EQ(to_hex(w.bytes()), to_hex(hex(c.bytes)));
}

INSTANTIATE_TEST_SUITE_P(
    EveryType, OpcuaRecord,
    ::testing::Values(
        RecordCase{opcua_value::kBool, native<uint8_t>(1), "01 01"},
        RecordCase{opcua_value::kInt8, native<int8_t>(-1), "02 FF"},
        RecordCase{opcua_value::kUint8, native<uint8_t>(200), "03 C8"},
        RecordCase{opcua_value::kInt16, native<int16_t>(-2), "04 FE FF"},
        RecordCase{opcua_value::kUint16, native<uint16_t>(4464), "05 70 11"},
        RecordCase{opcua_value::kInt32, native<int32_t>(-5), "06 FB FF FF FF"},
        RecordCase{opcua_value::kUint32, native<uint32_t>(7), "07 07 00 00 00"},
        RecordCase{opcua_value::kInt64, native<int64_t>(-3), "08 FD FF FF FF FF FF FF FF"},
        RecordCase{opcua_value::kUint64, native<uint64_t>(4294967297ULL),
                   "09 01 00 00 00 01 00 00 00"},
        RecordCase{opcua_value::kFloat, native<float>(1.5f), "0A 00 00 C0 3F"},
        RecordCase{opcua_value::kDouble, native<double>(12.5), "0B 00 00 00 00 00 00 29 40"},
        RecordCase{opcua_value::kString, "abc", "0C 03 00 00 00 61 62 63"},
        RecordCase{opcua_value::kString, "", "0C 00 00 00 00"},
        RecordCase{opcua_value::kDatetime, "1970-01-01T00:00:00Z", "0D 00 80 3E D5 DE B1 9D 01"},
        RecordCase{opcua_value::kDatetime, "2024-01-02T03:04:05.678Z",
                   "0D E0 34 B0 58 28 3D DA 01"}));

TEST(OpcuaRecordBad, RefusedRecords) {
  const int32_t four = 4;
  const std::vector<opcua_value::ValueRecord> records{
      {13, 0, 4, &four},                          // unknown code
      {-1, 0, 4, &four},                          // unknown code
      {opcua_value::kInt32, 0, 8, &four},         // wrong length
      {opcua_value::kDouble, 0, 4, &four},        // wrong length
      {opcua_value::kString, 0, 3, nullptr},      // null address
      {opcua_value::kDatetime, 0, 4, "2024"},     // not a date-time
      {opcua_value::kString, 0, 1ULL << 40, "x"}  // longer than a String holds
  };
  for (const opcua_value::ValueRecord& record : records) {
    ByteWriter w;
    std::string error;
    EXPECT_FALSE(VariantCodec::encode_record(w, &record, &error)) << record.type_code;
    EXPECT_FALSE(error.empty());
  }
}

TEST(OpcuaValueRecord, NamesAndCodesAreInverse) {
  for (int32_t code = 0; code < opcua_value::kTypeCount; ++code) {
    EXPECT_EQ(opcua_value::type_code(opcua_value::type_name(code)), code);
  }
  EXPECT_EQ(opcua_value::type_code("DateTime"), opcua_value::kDatetime);
  EXPECT_EQ(opcua_value::type_code("int"), -1);
  EXPECT_EQ(opcua_value::type_name(13), nullptr);
  EXPECT_EQ(opcua_value::builtin_type(opcua_value::kBool), 1);
}

// ---- date and time ---------------------------------------------------------------------

TEST(OpcuaDateTime, TextFormsRoundTrip) {
  EXPECT_EQ(DateTime::format(kTimestamp), "2024-01-02T03:04:05.678Z");
  EXPECT_EQ(DateTime::format(DateTime::kUnixEpochTicks), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(DateTime::format(-5), "1601-01-01T00:00:00.000Z");
  int64_t ticks = 0;
  ASSERT_TRUE(DateTime::parse("2024-01-02T03:04:05.678Z", &ticks));
  EXPECT_EQ(ticks, kTimestamp);
  ASSERT_TRUE(DateTime::parse("2024-01-02T05:04:05.678+02:00", &ticks));
  EXPECT_EQ(ticks, kTimestamp);
  ASSERT_TRUE(DateTime::parse("2024-01-02 03:04:05.6781234z", &ticks));
  EXPECT_EQ(ticks, kTimestamp + 1234);
  ASSERT_TRUE(DateTime::parse("2024-02-29T00:00:00Z", &ticks));
  EXPECT_EQ(DateTime::format(ticks), "2024-02-29T00:00:00.000Z");
  ASSERT_TRUE(DateTime::parse("1601-01-01T00:00:00Z", &ticks));
  EXPECT_EQ(ticks, 0);
  const int64_t now = DateTime::now();
  EXPECT_GT(now, kTimestamp);
}

TEST(OpcuaDateTime, MalformedTextIsRefused) {
  int64_t ticks = 0;
  for (const char* text :
       {"", "2024-01-02", "2024-01-02T03:04:05", "2023-02-29T00:00:00Z", "2024-13-01T00:00:00Z",
        "2024-01-32T00:00:00Z", "2024-01-02T24:00:00Z", "2024-01-02T03:04:05.Z",
        "2024-01-02T03:04:05.12345678Z", "1600-12-31T23:59:59Z", "2024-01-02T03:04:05Zx",
        "2024-01-02T03:04:05+2:00", "+2024-01-02T03:04:05Z", "２０２４-01-02T03:04:05Z"}) {
    EXPECT_FALSE(DateTime::parse(text, &ticks)) << text;
  }
}

// ---- base64, status mapping, options -------------------------------------------------------

TEST(OpcuaBase64, RoundTripsAndRefusesGarbage) {
  for (const std::string& bytes : {std::string(), std::string("\x01"), std::string("\x01\x02"),
                                   std::string("\x01\x02\x03"), std::string("\xff\x00\xfe", 3)}) {
    std::string back;
    ASSERT_TRUE(Base64::decode(Base64::encode(bytes), &back));
    EXPECT_EQ(back, bytes);
  }
  EXPECT_EQ(Base64::encode("\x33\xf4\x5b"), "M/Rb");
  std::string out;
  for (const char* text : {"A", "AB=C", "A===", "AQ=A", "****", "AQ==AQ=="}) {
    EXPECT_FALSE(Base64::decode(text, &out)) << text;
  }
}

TEST(OpcuaStatusMapping, ServerResultsBecomeLibraryCodes) {
  EXPECT_EQ(StatusMapping::to_zeb(0), zeb::kSuccess);
  EXPECT_EQ(StatusMapping::to_zeb(0x40920000), zeb::kSuccess);  // uncertain
  EXPECT_EQ(StatusMapping::to_zeb(0x80340000), zeb::kNotFoundOnRemote);
  EXPECT_EQ(StatusMapping::to_zeb(0x80740000), zeb::kBadRequest);
  EXPECT_EQ(StatusMapping::to_zeb(0x803B0000), zeb::kBadRequest);
  EXPECT_EQ(StatusMapping::to_zeb(0x801F0000), zeb::kUnauthorized);
  EXPECT_EQ(StatusMapping::to_zeb(0x800A0000), zeb::kTimedOut);
  EXPECT_EQ(StatusMapping::to_zeb(0x80860000), zeb::kConnectionFailed);
  EXPECT_EQ(StatusMapping::to_zeb(0x80010000), zeb::kRemoteError);
  EXPECT_EQ(StatusMapping::to_zeb(0x80340400), zeb::kNotFoundOnRemote);  // info bits ignored
}

TEST(OpcuaPlaneOptions, DefaultsAndLimits) {
  PlaneOptions options;
  std::string error;
  ASSERT_TRUE(PlaneOptions::parse(R"({"transport_addr":"opc.tcp://plc.local/UA/Server"})", &options,
                                  &error))
      << error;
  EXPECT_EQ(options.host, "plc.local");
  EXPECT_EQ(options.port, 4840);
  EXPECT_EQ(options.endpoint_url, "opc.tcp://plc.local/UA/Server");
  EXPECT_EQ(options.timeout_ms, 5000);
  ASSERT_TRUE(PlaneOptions::parse(
      R"({"transport_addr":"opc.tcp://[::1]:4841","keep_alive_count":30,"lifetime_count":10,"x":1})",
      &options, &error))
      << error;
  EXPECT_EQ(options.host, "::1");
  EXPECT_EQ(options.port, 4841);
  EXPECT_EQ(options.lifetime_count, 90);
  for (const char* text :
       {"", "[]", "{}", R"({"transport_addr":5})", R"({"transport_addr":"mqtt-tcp://h"})",
        R"({"transport_addr":"opc.tcp://h","timeout_ms":0})",
        R"({"transport_addr":"opc.tcp://h","publish_requests":"3"})",
        R"({"transport_addr":"opc.tcp://h:0"})", R"({"transport_addr":"opc.tcp:///x"})"}) {
    EXPECT_FALSE(PlaneOptions::parse(text, &options, &error)) << text;
  }
}

// ---- chunks ----------------------------------------------------------------------------------

namespace {

std::vector<uint8_t> msg_chunk(char type, uint32_t request_id, const std::string& body) {
  return SecureChannel::chunk("MSG", type, 1, 1, 1, request_id,
                              reinterpret_cast<const uint8_t*>(body.data()), body.size());
}

std::string body_of(const ChunkAssembler::Message& message) {
  return std::string(message.body.begin(), message.body.end());
}

}  // namespace

TEST(OpcuaChunks, PartsOfInterleavedMessagesAreJoined) {
  ChunkAssembler assembler{ChunkAssembler::Limits()};
  const auto a1 = msg_chunk('C', 7, "hel");
  const auto b1 = msg_chunk('F', 8, "other");
  const auto a2 = msg_chunk('F', 7, "lo");
  EXPECT_EQ(assembler.feed(a1.data(), a1.size()).kind, ChunkAssembler::Kind::kNone);
  const ChunkAssembler::Message b = assembler.feed(b1.data(), b1.size());
  EXPECT_EQ(b.kind, ChunkAssembler::Kind::kMessage);
  EXPECT_EQ(body_of(b), "other");
  const ChunkAssembler::Message a = assembler.feed(a2.data(), a2.size());
  EXPECT_EQ(a.request_id, 7u);
  EXPECT_EQ(body_of(a), "hello");
}

TEST(OpcuaChunks, AbortDropsTheCollectedParts) {
  ChunkAssembler assembler{ChunkAssembler::Limits()};
  const auto part = msg_chunk('C', 3, "xx");
  assembler.feed(part.data(), part.size());
  ByteWriter abort_body;
  abort_body.u32(0x80850000);
  abort_body.string("gave up");
  const std::string reason(abort_body.bytes().begin(), abort_body.bytes().end());
  const auto abort = msg_chunk('A', 3, reason);
  const ChunkAssembler::Message message = assembler.feed(abort.data(), abort.size());
  EXPECT_EQ(message.kind, ChunkAssembler::Kind::kAbort);
  EXPECT_EQ(message.error, 0x80850000u);
  EXPECT_EQ(message.reason, "gave up");
  const auto last = msg_chunk('F', 3, "new");
  EXPECT_EQ(body_of(assembler.feed(last.data(), last.size())), "new");
}

TEST(OpcuaChunks, LimitsAreEnforced) {
  ChunkAssembler::Limits limits;
  limits.max_chunk_size = 64;
  limits.max_message_size = 10;
  limits.max_chunk_count = 3;
  {
    ChunkAssembler assembler(limits);
    const auto big = msg_chunk('F', 1, std::string(41, 'x'));  // 65 bytes
    EXPECT_THROW(assembler.chunk_size(big.data()), DecodeError);
    EXPECT_THROW(assembler.feed(big.data(), big.size()), DecodeError);
  }
  {
    ChunkAssembler assembler(limits);
    const auto part = msg_chunk('C', 1, "123456");
    assembler.feed(part.data(), part.size());
    EXPECT_THROW(assembler.feed(part.data(), part.size()), DecodeError);  // 12 > 10 bytes
  }
  {
    ChunkAssembler assembler(limits);
    const auto part = msg_chunk('C', 1, "1");
    for (int i = 0; i < 3; ++i) assembler.feed(part.data(), part.size());
    EXPECT_THROW(assembler.feed(part.data(), part.size()), DecodeError);  // a 4th chunk
  }
  {
    ChunkAssembler assembler{ChunkAssembler::Limits()};
    auto bad = msg_chunk('F', 1, "x");
    bad[0] = 'X';
    EXPECT_THROW(assembler.chunk_size(bad.data()), DecodeError);
    auto lying = msg_chunk('F', 1, "x");
    lying[4] = 200;  // size field no longer matches
    EXPECT_THROW(assembler.feed(lying.data(), lying.size()), DecodeError);
    auto odd = msg_chunk('X', 1, "x");
    EXPECT_THROW(assembler.feed(odd.data(), odd.size()), DecodeError);
  }
}

TEST(OpcuaChunks, AcknowledgeAndErrorDecode) {
  ChunkAssembler assembler{ChunkAssembler::Limits()};
  const auto ack =
      hex("41 43 4B 46 1C 00 00 00 00 00 00 00 00 00 01 00 00 00 01 00 "
          "00 00 00 01 00 01 00 00");
  const ChunkAssembler::Message a = assembler.feed(ack.data(), ack.size());
  EXPECT_EQ(a.kind, ChunkAssembler::Kind::kAcknowledge);
  EXPECT_EQ(a.ack[1], 65536u);
  EXPECT_EQ(a.ack[3], 16777216u);
  EXPECT_EQ(a.ack[4], 256u);
  const auto err = hex("45 52 52 46 14 00 00 00 00 00 AC 80 04 00 00 00 6E 6F 70 65");
  const ChunkAssembler::Message e = assembler.feed(err.data(), err.size());
  EXPECT_EQ(e.kind, ChunkAssembler::Kind::kError);
  EXPECT_EQ(e.error, 0x80AC0000u);
  EXPECT_EQ(e.reason, "nope");
}

TEST(OpcuaChunks, InterleavedPartsTogetherStayWithinOneMessage) {
  ChunkAssembler::Limits limits;
  limits.max_message_size = 10;
  ChunkAssembler assembler(limits);
  // Each message alone fits; the two held at once would not.
  const auto a = msg_chunk('C', 1, "123456");
  const auto b = msg_chunk('C', 2, "123456");
  assembler.feed(a.data(), a.size());
  EXPECT_THROW(assembler.feed(b.data(), b.size()), DecodeError);
  // Once a message is whole its bytes are no longer held.
  const auto a_end = msg_chunk('F', 1, "78");
  EXPECT_EQ(body_of(assembler.feed(a_end.data(), a_end.size())), "12345678");
  const auto c = msg_chunk('F', 3, "abcdefghij");
  EXPECT_EQ(body_of(assembler.feed(c.data(), c.size())), "abcdefghij");
}

// ---- memory bounded by the wire -------------------------------------------------

namespace {

long peak_rss_kib() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// A ReadResponse body after its header: one DataValue holding a Variant array
// of `count` elements of `type`, each encoded as `element`.
std::vector<uint8_t> read_result(uint8_t type, size_t count, const std::vector<uint8_t>& element) {
  ByteWriter w;
  w.i32(1);
  w.u8(0x01);
  w.u8(static_cast<uint8_t>(0x80 | type));
  w.i32(static_cast<int32_t>(count));
  std::vector<uint8_t> bytes = w.bytes();
  bytes.reserve(bytes.size() + count * element.size() + 4);
  for (size_t i = 0; i < count; ++i) bytes.insert(bytes.end(), element.begin(), element.end());
  for (int i = 0; i < 4; ++i) bytes.push_back(0);  // no DiagnosticInfos
  return bytes;
}

}  // namespace

// 3 million empty Variants are 3 MB on the wire and were gigabytes as JSON.
TEST(OpcuaDecodeBudget, ArrayOfEmptyVariantsIsRefusedWithinBoundedMemory) {
  const std::vector<uint8_t> body = read_result(24, 3000000, {0x00});
  const long before = peak_rss_kib();
  ByteReader r(body.data(), body.size());
  try {
    ServiceCodec::decode_read(r);
    ADD_FAILURE() << "decoded";
  } catch (const DecodeTooLarge& e) {
    EXPECT_NE(std::string(e.what()).find("decoded value larger"), std::string::npos);
  }
  // The budget is 32 x 3 MB + 16 MiB of estimated cost; what it allocated
  // stays of that order (sanitizer builds add their own overhead).
  EXPECT_LT(peak_rss_kib() - before, 512 * 1024);
}

// Arrays of plain values cost a small multiple of their wire size and pass.
TEST(OpcuaDecodeBudget, LargeArraysOfPlainValuesDecode) {
  const std::vector<uint8_t> booleans = read_result(1, 2000000, {0x01});
  ByteReader b(booleans.data(), booleans.size());
  const VariantCodec::DataValue flags = ServiceCodec::decode_read(b);
  EXPECT_EQ(flags.value["val"].size(), 2000000u);
  const std::vector<uint8_t> strings = read_result(12, 200000, {0x02, 0, 0, 0, 'h', 'i'});
  ByteReader s(strings.data(), strings.size());
  const VariantCodec::DataValue texts = ServiceCodec::decode_read(s);
  EXPECT_EQ(texts.value["val"].size(), 200000u);
  EXPECT_EQ(texts.value["val"][199999], "hi");
}

TEST(OpcuaDecodeBudget, ChargeBeyondTheBudgetThrows) {
  const uint8_t data[4] = {0, 0, 0, 0};
  ByteReader r(data, sizeof data);
  r.charge(ByteReader::kCostAllowance + 4 * ByteReader::kCostPerByte);
  EXPECT_THROW(r.charge(1), DecodeTooLarge);
}

// ---- request matching -------------------------------------------------------------

TEST(OpcuaPendingRequests, AnswersReachTheirWaiterOnlyWhileItWaits) {
  PendingRequests pending;
  std::vector<uint8_t> body;
  pending.expect(1);
  EXPECT_TRUE(pending.complete(1, zeb::kSuccess, {1, 2}));
  EXPECT_EQ(pending.wait(1, 1000, &body), zeb::kSuccess);
  EXPECT_EQ(body, (std::vector<uint8_t>{1, 2}));
  // Gave up: a late answer finds no one.
  pending.expect(2);
  EXPECT_EQ(pending.wait(2, 10, &body), zeb::kTimedOut);
  EXPECT_FALSE(pending.complete(2, zeb::kSuccess, {3}));
  // A lost connection wakes every waiter with its status.
  pending.expect(3);
  std::thread failer([&pending] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pending.fail_all(zeb::kConnectionFailed);
  });
  EXPECT_EQ(pending.wait(3, 5000, &body), zeb::kConnectionFailed);
  failer.join();
  pending.expect(4);
  pending.cancel(4);
  EXPECT_FALSE(pending.complete(4, zeb::kSuccess, {}));
}
