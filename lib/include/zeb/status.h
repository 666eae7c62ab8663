#pragma once

#include "zeb/export.h"

// Status codes of the client library. Positive values read like HTTP codes,
// negative values are the library's own errors. They are returned by clients,
// transports and the C interface alike; plug-ins return them too.
namespace zeb {

enum StatusCode : int {
  kSuccess = 200,
  kBadRequest = 400,
  kUnauthorized = 401,
  kNotFoundOnRemote = 404,
  kPayloadTooLarge = 413,
  kNotImplemented = 501,
  kNodeNotFound = -1,
  kTransportNotFound = -2,
  kUnsupportedMethod = -3,
  kConnectionFailed = -4,
  kRemoteError = -5,
  kUnableToDeliver = -6,
  kCantSubscribe = -7,
  kDuplicateSubscription = -8,
  kInvalidOption = -9,
  kConnectionError = -10,
  kInternalError = -11,
  kTimedOut = -12,
  kGeneralTransportError = -13,
  kMemoryAllocationError = -14,
  kNullClientHandle = -15,
  kNullRegistryHandle = -16,
  kRegistryError = -17,
  kInvalidResponse = -18,
};

// The constant text of a status code; "Unknown status code" for any other value.
// Safe on any thread.
ZEB_EXPORT const char* status_to_str(int code);

}  // namespace zeb
