#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "byte_writer.h"
#include "node_id.h"
#include "variant_codec.h"

// The OPC UA services this client uses (OPC 10000-4), as message bodies:
// requests are encoded with their TypeId and RequestHeader; responses are
// decoded from a whole reassembled body. Decoders throw DecodeError on bad
// input; a ServiceFault or any response decodes its header first, so the
// caller can test the service result before the rest.
//
// Thread rules: pure functions.
class ServiceCodec {
 public:
  // Binary encoding ids (TypeIds) of the messages.
  enum TypeId : uint32_t {
    kServiceFault = 397,
    kOpenSecureChannelRequest = 446,
    kOpenSecureChannelResponse = 449,
    kCloseSecureChannelRequest = 452,
    kCreateSessionRequest = 461,
    kCreateSessionResponse = 464,
    kActivateSessionRequest = 467,
    kActivateSessionResponse = 470,
    kCloseSessionRequest = 473,
    kCloseSessionResponse = 476,
    kBrowseRequest = 527,
    kBrowseResponse = 530,
    kBrowseNextRequest = 533,
    kBrowseNextResponse = 536,
    kReadRequest = 631,
    kReadResponse = 634,
    kWriteRequest = 673,
    kWriteResponse = 676,
    kCreateMonitoredItemsRequest = 751,
    kCreateMonitoredItemsResponse = 754,
    kCreateSubscriptionRequest = 787,
    kCreateSubscriptionResponse = 790,
    kSetPublishingModeRequest = 799,
    kSetPublishingModeResponse = 802,
    kPublishRequest = 826,
    kPublishResponse = 829,
    kGetEndpointsRequest = 428,
    kGetEndpointsResponse = 431,
    kAnonymousIdentityToken = 321,
    kUserNameIdentityToken = 324,
    kX509IdentityToken = 327,
    kDataChangeNotification = 811,
    kStatusChangeNotification = 820,
  };

  struct RequestHeader {
    NodeId authentication_token;
    int64_t timestamp = 0;  // DateTime ticks
    uint32_t request_handle = 0;
    uint32_t timeout_hint = 0;
  };

  // Type and header of a response; the body reader stands after the header.
  struct ResponseHeader {
    uint32_t type_id = 0;  // numeric id in namespace 0; 0 for anything else
    uint32_t request_handle = 0;
    uint32_t service_result = 0;
  };

  struct OpenChannelResult {
    uint32_t channel_id = 0;
    uint32_t token_id = 0;
    uint32_t revised_lifetime = 0;
    std::string server_nonce;
  };

  enum UserTokenType : int32_t { kAnonymous = 0, kUserName = 1, kCertificate = 2 };

  struct UserTokenPolicy {
    std::string policy_id;
    int32_t token_type = 0;
    std::string security_policy_uri;  // empty: the endpoint's policy applies
  };

  // What a server offers at one endpoint.
  struct Endpoint {
    std::string server_certificate;
    int32_t security_mode = 0;  // 1 None, 2 Sign, 3 SignAndEncrypt
    std::string security_policy_uri;
    std::vector<UserTokenPolicy> user_tokens;
    uint8_t security_level = 0;
  };

  // The parts of an ActivateSession request that depend on the security in
  // use: our signature of the server's certificate and nonce (empty under
  // None), and the user identity token as an encoded ExtensionObject body.
  struct Activation {
    std::string signature_algorithm;
    std::string signature;
    uint32_t token_type_id = kAnonymousIdentityToken;
    std::string token_body;
    std::string token_signature_algorithm;
    std::string token_signature;
  };

  struct CreateSessionResult {
    NodeId authentication_token;
    double revised_timeout = 0;
    std::string server_nonce;
    std::string server_certificate;
    std::vector<Endpoint> endpoints;
    std::string signature;  // the server's signature of our certificate and nonce
    // PolicyId of the anonymous token on a None endpoint; "" when the server
    // listed none (the server then gets a null PolicyId).
    std::string anonymous_policy_id;
    bool anonymous_found = false;
  };

  struct SubscriptionParameters {
    double publishing_interval = 0;
    uint32_t lifetime_count = 0;
    uint32_t keep_alive_count = 0;
  };

  struct CreateSubscriptionResult {
    uint32_t subscription_id = 0;
    SubscriptionParameters revised;
  };

  struct ItemToCreate {
    NodeId node;
    uint32_t client_handle = 0;
  };

  struct MonitoringParameters {
    double sampling_interval = 0;
    uint32_t queue_size = 1;
  };

  struct ItemResult {
    uint32_t status = 0;
    uint32_t monitored_item_id = 0;
  };

  struct Acknowledgement {
    uint32_t subscription_id = 0;
    uint32_t sequence_number = 0;
  };

  struct ItemNotification {
    uint32_t client_handle = 0;
    VariantCodec::DataValue value;
  };

  // A node one hierarchical reference away from the browsed one.
  struct Reference {
    NodeId node;
    std::string browse_name;  // "ns:Name", or "Name" in namespace 0
    int32_t node_class = 0;   // 1 Object, 2 Variable, ...
  };

  struct BrowseResult {
    uint32_t status = 0;
    std::string continuation_point;  // empty when all references came
    std::vector<Reference> references;
  };

  struct PublishResult {
    uint32_t subscription_id = 0;
    bool more_notifications = false;
    uint32_t sequence_number = 0;
    bool has_data = false;  // false for a keep-alive
    std::vector<ItemNotification> items;
    bool status_changed = false;
    uint32_t status_change = 0;
  };

  static const char* const kSecurityPolicyNone;
  // Our ApplicationUri unless the configuration names another; a certificate
  // made for us carries the same.
  static const char* const kApplicationUri;

  // Requests. Each writes the TypeId, the RequestHeader and the fields.
  // mode is a MessageSecurityMode (1 None); the nonce is null when empty.
  static void open_secure_channel(ByteWriter& w, const RequestHeader& h, bool renew,
                                  uint32_t lifetime_ms, int32_t mode = 1,
                                  const std::string& nonce = std::string());
  static void get_endpoints(ByteWriter& w, const RequestHeader& h, const std::string& endpoint);
  static void close_secure_channel(ByteWriter& w, const RequestHeader& h);
  static void create_session(ByteWriter& w, const RequestHeader& h, const std::string& endpoint,
                             const std::string& session_name, const std::string& nonce,
                             double timeout_ms, const std::string& client_certificate = "",
                             const std::string& application_uri = kApplicationUri);
  static void activate_session(ByteWriter& w, const RequestHeader& h, const std::string& policy_id,
                               bool policy_found);
  static void activate_session(ByteWriter& w, const RequestHeader& h, const Activation& a);
  // Bodies of the identity tokens (without their ExtensionObject framing).
  static std::string user_name_token(const std::string& policy_id, const std::string& user,
                                     const std::string& password,
                                     const std::string& encryption_algorithm);
  static std::string x509_token(const std::string& policy_id, const std::string& certificate);
  static void close_session(ByteWriter& w, const RequestHeader& h, bool delete_subscriptions);
  // Reads the Value attribute (13) of node.
  static void read(ByteWriter& w, const RequestHeader& h, const NodeId& node);
  // Reads the Value attribute of every node, in order.
  static void read_values(ByteWriter& w, const RequestHeader& h, const std::vector<NodeId>& nodes);
  // Reads one attribute of every node, in order.
  static void read_attributes(ByteWriter& w, const RequestHeader& h,
                              const std::vector<NodeId>& nodes, uint32_t attribute);
  // The forward hierarchical references of node to Objects and Variables.
  static void browse(ByteWriter& w, const RequestHeader& h, const NodeId& node);
  static void browse_next(ByteWriter& w, const RequestHeader& h,
                          const std::string& continuation_point);
  // Writes the Value attribute of node; variant holds one encoded Variant.
  static void write(ByteWriter& w, const RequestHeader& h, const NodeId& node,
                    const std::vector<uint8_t>& variant);
  static void create_subscription(ByteWriter& w, const RequestHeader& h,
                                  const SubscriptionParameters& p);
  static void create_monitored_items(ByteWriter& w, const RequestHeader& h,
                                     uint32_t subscription_id,
                                     const std::vector<ItemToCreate>& items,
                                     const MonitoringParameters& p);
  static void publish(ByteWriter& w, const RequestHeader& h,
                      const std::vector<Acknowledgement>& acks);
  // Turns publishing on for the subscriptions; the answer tells which exist.
  static void set_publishing_mode(ByteWriter& w, const RequestHeader& h,
                                  const std::vector<uint32_t>& subscription_ids);

  // Responses. decode_header reads the TypeId and the ResponseHeader; the
  // others read the rest of their type's body from there.
  static ResponseHeader decode_header(ByteReader& r);
  static OpenChannelResult decode_open_secure_channel(ByteReader& r);
  static CreateSessionResult decode_create_session(ByteReader& r);
  static std::vector<Endpoint> decode_get_endpoints(ByteReader& r);
  // The ServerNonce of an ActivateSessionResponse.
  static std::string decode_activate_session(ByteReader& r);
  // First DataValue of a ReadResponse.
  static VariantCodec::DataValue decode_read(ByteReader& r);
  // Every DataValue of a ReadResponse, in request order.
  static std::vector<VariantCodec::DataValue> decode_read_values(ByteReader& r);
  // First status of a WriteResponse.
  static uint32_t decode_write(ByteReader& r);
  static CreateSubscriptionResult decode_create_subscription(ByteReader& r);
  static std::vector<ItemResult> decode_create_monitored_items(ByteReader& r);
  // The first result of a BrowseResponse or BrowseNextResponse.
  static BrowseResult decode_browse(ByteReader& r);
  // The status per subscription of a SetPublishingModeResponse.
  static std::vector<uint32_t> decode_set_publishing_mode(ByteReader& r);
  static PublishResult decode_publish(ByteReader& r);

 private:
  static Endpoint decode_endpoint(ByteReader& r);
  static void request_header(ByteWriter& w, uint32_t type_id, const RequestHeader& h);
};
