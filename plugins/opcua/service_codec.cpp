#include "service_codec.h"

namespace {

constexpr int32_t kMessageSecurityModeNone = 1;
constexpr int32_t kApplicationTypeClient = 1;
constexpr uint32_t kAttributeValue = 13;
constexpr int32_t kTimestampsSource = 0;
constexpr int32_t kTimestampsNeither = 3;
constexpr int32_t kMonitoringReporting = 2;
constexpr int32_t kUserTokenAnonymous = 0;
constexpr int32_t kBrowseForward = 0;
constexpr uint32_t kHierarchicalReferences = 33;
constexpr uint32_t kNodeClassObject = 1;
constexpr uint32_t kNodeClassVariable = 2;
constexpr uint32_t kBrowseResultAll = 63;

void type_id(ByteWriter& w, uint32_t id) {
  NodeId::numeric(0, id).encode(w);
}

void null_extension_object(ByteWriter& w) {
  w.u8(0);
  w.u8(0);
  w.u8(0);
}

// ReadValueId of node's Value attribute.
void read_value_id(ByteWriter& w, const NodeId& node) {
  node.encode(w);
  w.u32(kAttributeValue);
  w.null_length();  // IndexRange
  w.u16(0);         // DataEncoding: QualifiedName ns 0, null name
  w.null_length();
}

void string_or_null(ByteWriter& w, const std::string& v) {
  if (v.empty()) {
    w.null_length();
  } else {
    w.string(v);
  }
}

void skip_application_description(ByteReader& r) {
  r.string();  // ApplicationUri
  r.string();  // ProductUri
  VariantCodec::decode_localized_text(r);
  r.i32();     // ApplicationType
  r.string();  // GatewayServerUri
  r.string();  // DiscoveryProfileUri
  const size_t urls = r.array_length(4);
  for (size_t i = 0; i < urls; ++i) r.string();
}

}  // namespace

const char* const ServiceCodec::kSecurityPolicyNone =
    "http://opcfoundation.org/UA/SecurityPolicy#None";
const char* const ServiceCodec::kApplicationUri = "urn:weft-pipe:zebt_opcua";

void ServiceCodec::request_header(ByteWriter& w, uint32_t id, const RequestHeader& h) {
  type_id(w, id);
  h.authentication_token.encode(w);
  w.i64(h.timestamp);
  w.u32(h.request_handle);
  w.u32(0);         // ReturnDiagnostics
  w.null_length();  // AuditEntryId
  w.u32(h.timeout_hint);
  null_extension_object(w);
}

void ServiceCodec::open_secure_channel(ByteWriter& w, const RequestHeader& h, bool renew,
                                       uint32_t lifetime_ms, int32_t mode,
                                       const std::string& nonce) {
  request_header(w, kOpenSecureChannelRequest, h);
  w.u32(0);  // ClientProtocolVersion
  w.i32(renew ? 1 : 0);
  w.i32(mode);
  if (nonce.empty()) {
    w.null_length();
  } else {
    w.string(nonce);
  }
  w.u32(lifetime_ms);
}

void ServiceCodec::get_endpoints(ByteWriter& w, const RequestHeader& h,
                                 const std::string& endpoint) {
  request_header(w, kGetEndpointsRequest, h);
  w.string(endpoint);
  w.null_length();  // LocaleIds
  w.null_length();  // ProfileUris
}

void ServiceCodec::close_secure_channel(ByteWriter& w, const RequestHeader& h) {
  request_header(w, kCloseSecureChannelRequest, h);
}

void ServiceCodec::create_session(ByteWriter& w, const RequestHeader& h,
                                  const std::string& endpoint, const std::string& session_name,
                                  const std::string& nonce, double timeout_ms,
                                  const std::string& client_certificate,
                                  const std::string& application_uri) {
  request_header(w, kCreateSessionRequest, h);
  // ClientDescription
  w.string(application_uri);
  w.string("urn:weft-pipe");
  w.u8(0x02);
  w.string("weft-pipe zebt_opcua");
  w.i32(kApplicationTypeClient);
  w.null_length();  // GatewayServerUri
  w.null_length();  // DiscoveryProfileUri
  w.null_length();  // DiscoveryUrls
  w.null_length();  // ServerUri
  w.string(endpoint);
  w.string(session_name);
  w.string(nonce);
  if (client_certificate.empty()) {
    w.null_length();
  } else {
    w.string(client_certificate);
  }
  w.f64(timeout_ms);
  w.u32(0);  // MaxResponseMessageSize: the chunk limits of the Hello apply
}

void ServiceCodec::activate_session(ByteWriter& w, const RequestHeader& h,
                                    const std::string& policy_id, bool policy_found) {
  Activation a;
  ByteWriter body;
  if (policy_found) {
    body.string(policy_id);
  } else {
    body.null_length();
  }
  a.token_body.assign(body.bytes().begin(), body.bytes().end());
  activate_session(w, h, a);
}

void ServiceCodec::activate_session(ByteWriter& w, const RequestHeader& h, const Activation& a) {
  request_header(w, kActivateSessionRequest, h);
  string_or_null(w, a.signature_algorithm);
  string_or_null(w, a.signature);
  w.i32(0);  // ClientSoftwareCertificates
  w.i32(0);  // LocaleIds
  type_id(w, a.token_type_id);
  w.u8(0x01);
  w.string(a.token_body);
  string_or_null(w, a.token_signature_algorithm);
  string_or_null(w, a.token_signature);
}

std::string ServiceCodec::user_name_token(const std::string& policy_id, const std::string& user,
                                          const std::string& password,
                                          const std::string& encryption_algorithm) {
  ByteWriter w;
  string_or_null(w, policy_id);
  w.string(user);
  w.string(password);
  string_or_null(w, encryption_algorithm);
  return std::string(w.bytes().begin(), w.bytes().end());
}

std::string ServiceCodec::x509_token(const std::string& policy_id, const std::string& certificate) {
  ByteWriter w;
  string_or_null(w, policy_id);
  w.string(certificate);
  return std::string(w.bytes().begin(), w.bytes().end());
}

void ServiceCodec::close_session(ByteWriter& w, const RequestHeader& h, bool delete_subscriptions) {
  request_header(w, kCloseSessionRequest, h);
  w.boolean(delete_subscriptions);
}

void ServiceCodec::read(ByteWriter& w, const RequestHeader& h, const NodeId& node) {
  request_header(w, kReadRequest, h);
  w.f64(0);  // MaxAge: a fresh value
  w.i32(kTimestampsNeither);
  w.i32(1);
  read_value_id(w, node);
}

void ServiceCodec::read_values(ByteWriter& w, const RequestHeader& h,
                               const std::vector<NodeId>& nodes) {
  read_attributes(w, h, nodes, kAttributeValue);
}

void ServiceCodec::read_attributes(ByteWriter& w, const RequestHeader& h,
                                   const std::vector<NodeId>& nodes, uint32_t attribute) {
  request_header(w, kReadRequest, h);
  w.f64(0);
  w.i32(kTimestampsNeither);
  w.i32(static_cast<int32_t>(nodes.size()));
  for (const NodeId& node : nodes) {
    node.encode(w);
    w.u32(attribute);
    w.null_length();  // IndexRange
    w.u16(0);         // DataEncoding
    w.null_length();
  }
}

void ServiceCodec::browse(ByteWriter& w, const RequestHeader& h, const NodeId& node) {
  request_header(w, kBrowseRequest, h);
  NodeId().encode(w);  // View: the whole address space
  w.i64(0);
  w.u32(0);
  w.u32(0);  // RequestedMaxReferencesPerNode: the server's choice
  w.i32(1);
  node.encode(w);
  w.i32(kBrowseForward);
  NodeId::numeric(0, kHierarchicalReferences).encode(w);
  w.boolean(true);  // IncludeSubtypes
  w.u32(kNodeClassObject | kNodeClassVariable);
  w.u32(kBrowseResultAll);
}

void ServiceCodec::browse_next(ByteWriter& w, const RequestHeader& h,
                               const std::string& continuation_point) {
  request_header(w, kBrowseNextRequest, h);
  w.boolean(false);  // ReleaseContinuationPoints
  w.i32(1);
  w.string(continuation_point);
}

void ServiceCodec::write(ByteWriter& w, const RequestHeader& h, const NodeId& node,
                         const std::vector<uint8_t>& variant) {
  request_header(w, kWriteRequest, h);
  w.i32(1);
  node.encode(w);
  w.u32(kAttributeValue);
  w.null_length();  // IndexRange
  w.u8(0x01);       // DataValue with a value only
  w.raw(variant.data(), variant.size());
}

void ServiceCodec::create_subscription(ByteWriter& w, const RequestHeader& h,
                                       const SubscriptionParameters& p) {
  request_header(w, kCreateSubscriptionRequest, h);
  w.f64(p.publishing_interval);
  w.u32(p.lifetime_count);
  w.u32(p.keep_alive_count);
  w.u32(0);  // MaxNotificationsPerPublish: no limit
  w.boolean(true);
  w.u8(0);  // Priority
}

void ServiceCodec::create_monitored_items(ByteWriter& w, const RequestHeader& h,
                                          uint32_t subscription_id,
                                          const std::vector<ItemToCreate>& items,
                                          const MonitoringParameters& p) {
  request_header(w, kCreateMonitoredItemsRequest, h);
  w.u32(subscription_id);
  w.i32(kTimestampsSource);
  w.i32(static_cast<int32_t>(items.size()));
  for (const ItemToCreate& item : items) {
    read_value_id(w, item.node);
    w.i32(kMonitoringReporting);
    w.u32(item.client_handle);
    w.f64(p.sampling_interval);
    null_extension_object(w);  // Filter: StatusValue, no deadband
    w.u32(p.queue_size);
    w.boolean(true);  // DiscardOldest
  }
}

void ServiceCodec::publish(ByteWriter& w, const RequestHeader& h,
                           const std::vector<Acknowledgement>& acks) {
  request_header(w, kPublishRequest, h);
  w.i32(static_cast<int32_t>(acks.size()));
  for (const Acknowledgement& ack : acks) {
    w.u32(ack.subscription_id);
    w.u32(ack.sequence_number);
  }
}

void ServiceCodec::set_publishing_mode(ByteWriter& w, const RequestHeader& h,
                                       const std::vector<uint32_t>& subscription_ids) {
  request_header(w, kSetPublishingModeRequest, h);
  w.boolean(true);
  w.i32(static_cast<int32_t>(subscription_ids.size()));
  for (uint32_t id : subscription_ids) w.u32(id);
}

ServiceCodec::ResponseHeader ServiceCodec::decode_header(ByteReader& r) {
  ResponseHeader header;
  const NodeId id = NodeId::decode(r);
  if (id.kind() == NodeId::Kind::kNumeric && id.ns() == 0) header.type_id = id.numeric_id();
  r.i64();  // Timestamp
  header.request_handle = r.u32();
  header.service_result = r.u32();
  VariantCodec::skip_diagnostic_info(r);
  const size_t strings = r.array_length(4);
  for (size_t i = 0; i < strings; ++i) r.string();
  VariantCodec::decode_extension_object(r);  // AdditionalHeader
  return header;
}

ServiceCodec::OpenChannelResult ServiceCodec::decode_open_secure_channel(ByteReader& r) {
  OpenChannelResult result;
  r.u32();  // ServerProtocolVersion
  result.channel_id = r.u32();
  result.token_id = r.u32();
  r.i64();  // CreatedAt
  result.revised_lifetime = r.u32();
  result.server_nonce = r.string();
  return result;
}

ServiceCodec::Endpoint ServiceCodec::decode_endpoint(ByteReader& r) {
  Endpoint endpoint;
  r.string();  // EndpointUrl
  skip_application_description(r);
  endpoint.server_certificate = r.string();
  endpoint.security_mode = r.i32();
  endpoint.security_policy_uri = r.string();
  const size_t tokens = r.array_length(1);
  for (size_t t = 0; t < tokens; ++t) {
    UserTokenPolicy token;
    token.policy_id = r.string();
    token.token_type = r.i32();
    r.string();  // IssuedTokenType
    r.string();  // IssuerEndpointUrl
    token.security_policy_uri = r.string();
    endpoint.user_tokens.push_back(std::move(token));
  }
  r.string();  // TransportProfileUri
  endpoint.security_level = r.u8();
  return endpoint;
}

std::vector<ServiceCodec::Endpoint> ServiceCodec::decode_get_endpoints(ByteReader& r) {
  std::vector<Endpoint> endpoints;
  const size_t count = r.array_length(1);
  for (size_t e = 0; e < count; ++e) endpoints.push_back(decode_endpoint(r));
  return endpoints;
}

std::string ServiceCodec::decode_activate_session(ByteReader& r) {
  return r.string();
}

ServiceCodec::CreateSessionResult ServiceCodec::decode_create_session(ByteReader& r) {
  CreateSessionResult result;
  NodeId::decode(r);  // SessionId
  result.authentication_token = NodeId::decode(r);
  result.revised_timeout = r.f64();
  result.server_nonce = r.string();
  result.server_certificate = r.string();
  result.endpoints = decode_get_endpoints(r);
  for (const Endpoint& endpoint : result.endpoints) {
    for (const UserTokenPolicy& token : endpoint.user_tokens) {
      if (!result.anonymous_found && endpoint.security_mode == kMessageSecurityModeNone &&
          endpoint.security_policy_uri == kSecurityPolicyNone &&
          token.token_type == kUserTokenAnonymous) {
        result.anonymous_found = true;
        result.anonymous_policy_id = token.policy_id;
      }
    }
  }
  const size_t software_certificates = r.array_length(8);
  for (size_t i = 0; i < software_certificates; ++i) {
    r.string();  // CertificateData
    r.string();  // Signature
  }
  r.string();  // SignatureAlgorithm
  result.signature = r.string();
  return result;
}

VariantCodec::DataValue ServiceCodec::decode_read(ByteReader& r) {
  const size_t count = r.array_length(1);
  if (count == 0) throw DecodeError("read response without results");
  return VariantCodec::decode_data_value(r);
}

std::vector<VariantCodec::DataValue> ServiceCodec::decode_read_values(ByteReader& r) {
  const size_t count = r.array_length(1);
  std::vector<VariantCodec::DataValue> values;
  values.reserve(count);
  for (size_t i = 0; i < count; ++i) values.push_back(VariantCodec::decode_data_value(r));
  return values;
}

uint32_t ServiceCodec::decode_write(ByteReader& r) {
  const size_t count = r.array_length(4);
  if (count == 0) throw DecodeError("write response without results");
  return r.u32();
}

ServiceCodec::CreateSubscriptionResult ServiceCodec::decode_create_subscription(ByteReader& r) {
  CreateSubscriptionResult result;
  result.subscription_id = r.u32();
  result.revised.publishing_interval = r.f64();
  result.revised.lifetime_count = r.u32();
  result.revised.keep_alive_count = r.u32();
  return result;
}

std::vector<ServiceCodec::ItemResult> ServiceCodec::decode_create_monitored_items(ByteReader& r) {
  const size_t count = r.array_length(23);
  std::vector<ItemResult> results;
  results.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    ItemResult item;
    item.status = r.u32();
    item.monitored_item_id = r.u32();
    r.f64();  // RevisedSamplingInterval
    r.u32();  // RevisedQueueSize
    VariantCodec::decode_extension_object(r);
    results.push_back(item);
  }
  return results;
}

ServiceCodec::BrowseResult ServiceCodec::decode_browse(ByteReader& r) {
  BrowseResult result;
  if (r.array_length(8) == 0) throw DecodeError("browse response without results");
  result.status = r.u32();
  result.continuation_point = r.string();
  const size_t count = r.array_length(8);
  result.references.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    r.charge(sizeof(Reference) + 64);
    Reference reference;
    NodeId::decode(r);  // ReferenceTypeId
    r.boolean();        // IsForward
    reference.node = NodeId::decode(r, true);
    const uint16_t ns = r.u16();
    const std::string name = r.string();
    reference.browse_name = ns == 0 ? name : std::to_string(ns) + ":" + name;
    VariantCodec::decode_localized_text(r);  // DisplayName
    reference.node_class = r.i32();
    NodeId::decode(r, true);  // TypeDefinition
    result.references.push_back(std::move(reference));
  }
  return result;
}

std::vector<uint32_t> ServiceCodec::decode_set_publishing_mode(ByteReader& r) {
  const size_t count = r.array_length(4);
  std::vector<uint32_t> results;
  results.reserve(count);
  for (size_t i = 0; i < count; ++i) results.push_back(r.u32());
  return results;
}

ServiceCodec::PublishResult ServiceCodec::decode_publish(ByteReader& r) {
  PublishResult result;
  result.subscription_id = r.u32();
  const size_t available = r.array_length(4);
  r.skip(available * 4);
  result.more_notifications = r.boolean();
  result.sequence_number = r.u32();
  r.i64();  // PublishTime
  const size_t notifications = r.array_length(3);
  for (size_t n = 0; n < notifications; ++n) {
    const VariantCodec::ExtensionObject object = VariantCodec::decode_extension_object(r);
    const bool binary = object.encoding == 1 && object.type_id.ns() == 0 &&
                        object.type_id.kind() == NodeId::Kind::kNumeric;
    if (!binary) continue;
    ByteReader body(reinterpret_cast<const uint8_t*>(object.body.data()), object.body.size());
    if (object.type_id.numeric_id() == kDataChangeNotification) {
      result.has_data = true;
      const size_t items = body.array_length(5);
      for (size_t i = 0; i < items; ++i) {
        ItemNotification item;
        item.client_handle = body.u32();
        item.value = VariantCodec::decode_data_value(body);
        result.items.push_back(std::move(item));
      }
      VariantCodec::skip_diagnostic_infos(body);
    } else if (object.type_id.numeric_id() == kStatusChangeNotification) {
      result.has_data = true;
      result.status_changed = true;
      result.status_change = body.u32();
      VariantCodec::skip_diagnostic_info(body);
    } else {
      // Event notifications are not asked for; any other body is a server's
      // own matter and still counts as data, so it is acknowledged.
      result.has_data = true;
    }
  }
  const size_t results = r.array_length(4);
  r.skip(results * 4);
  VariantCodec::skip_diagnostic_infos(r);
  return result;
}
