#include "status_mapping.h"

#include <cstdio>

#include "zeb/status.h"

int StatusMapping::to_zeb(uint32_t status) {
  if (!is_bad(status)) return zeb::kSuccess;
  switch (code(status)) {
    case kBadNodeIdUnknown:
    case kBadNodeIdInvalid:
      return zeb::kNotFoundOnRemote;
    case kBadTypeMismatch:
    case kBadNotWritable:
    case kBadNotReadable:
    case kBadWriteNotSupported:
    case kBadOutOfRange:
    case kBadAttributeIdInvalid:
      return zeb::kBadRequest;
    case kBadRequestTooLarge:
      return zeb::kPayloadTooLarge;
    case kBadUserAccessDenied:
      return zeb::kUnauthorized;
    case kBadTimeout:
    case kBadRequestTimeout:
      return zeb::kTimedOut;
    default:
      return connection_lost(status) ? zeb::kConnectionFailed : zeb::kRemoteError;
  }
}

bool StatusMapping::connection_lost(uint32_t status) {
  switch (code(status)) {
    case kBadSecureChannelIdInvalid:
    case kBadSessionIdInvalid:
    case kBadSessionClosed:
    case kBadSessionNotActivated:
    case kBadSecureChannelClosed:
    case kBadSecureChannelTokenUnknown:
    case kBadNotConnected:
    case kBadConnectionClosed:
      return true;
    default:
      return false;
  }
}

std::string StatusMapping::hex(uint32_t status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", status);
  return text;
}
