#pragma once

#include <cstdint>
#include <string>

// OPC UA status codes the client acts on, and their mapping to the library's
// status codes (zeb/status.h).
//
// Thread rules: constants and pure functions.
class StatusMapping {
 public:
  enum UaStatus : uint32_t {
    kGood = 0,
    kBadTimeout = 0x800A0000,
    kBadTooManyOperations = 0x80100000,
    kBadUserAccessDenied = 0x801F0000,
    kBadSecureChannelIdInvalid = 0x80220000,
    kBadSessionIdInvalid = 0x80250000,
    kBadSessionClosed = 0x80260000,
    kBadSessionNotActivated = 0x80270000,
    kBadSubscriptionIdInvalid = 0x80280000,
    kBadNodeIdInvalid = 0x80330000,
    kBadNodeIdUnknown = 0x80340000,
    kBadAttributeIdInvalid = 0x80350000,
    kBadNotReadable = 0x803A0000,
    kBadNotWritable = 0x803B0000,
    kBadOutOfRange = 0x803C0000,
    kBadWriteNotSupported = 0x80730000,
    kBadTypeMismatch = 0x80740000,
    kBadTooManyPublishRequests = 0x80780000,
    kBadNoSubscription = 0x80790000,
    kBadRequestTimeout = 0x80850000,
    kBadSecureChannelClosed = 0x80860000,
    kBadSecureChannelTokenUnknown = 0x80870000,
    kBadNotConnected = 0x808A0000,
    kBadRequestTooLarge = 0x80B80000,
    kBadConnectionClosed = 0x80AE0000,
    kBadTooManyMonitoredItems = 0x80DB0000,
  };

  static bool is_bad(uint32_t status) { return status >= 0x80000000u; }
  static uint32_t code(uint32_t status) { return status & 0xFFFF0000u; }

  // Good 200; unknown node 404; type mismatch, not writable or readable and
  // other rejected values 400; access denied 401; timeouts -12; a lost channel
  // or session -4; everything else Bad -5. Uncertain counts as Good.
  static int to_zeb(uint32_t status);

  // True for results that mean the session or channel is gone.
  static bool connection_lost(uint32_t status);
  // The status as log lines show it: "0x" and eight hex digits.
  static std::string hex(uint32_t status);
};
