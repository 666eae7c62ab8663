#include "zeb/status.h"

namespace zeb {

const char* status_to_str(int code) {
  switch (code) {
    case kSuccess:
      return "Success";
    case kBadRequest:
      return "Bad request";
    case kUnauthorized:
      return "Unauthorized";
    case kNotFoundOnRemote:
      return "Reference not found on remote";
    case kPayloadTooLarge:
      return "Payload too large";
    case kNotImplemented:
      return "Not implemented";
    case kNodeNotFound:
      return "Node reference not found in registry";
    case kTransportNotFound:
      return "Transport not found";
    case kUnsupportedMethod:
      return "Unsupported method for transport";
    case kConnectionFailed:
      return "Connection failed";
    case kRemoteError:
      return "Remote error";
    case kUnableToDeliver:
      return "Unable to deliver";
    case kCantSubscribe:
      return "Can't subscribe";
    case kDuplicateSubscription:
      return "Duplicate subscription";
    case kInvalidOption:
      return "Invalid option";
    case kConnectionError:
      return "Connection error";
    case kInternalError:
      return "Internal error";
    case kTimedOut:
      return "Timed out";
    case kGeneralTransportError:
      return "General transport error";
    case kMemoryAllocationError:
      return "Memory allocation error";
    case kNullClientHandle:
      return "Null client handle";
    case kNullRegistryHandle:
      return "Null registry handle";
    case kRegistryError:
      return "Encountered registry error";
    case kInvalidResponse:
      return "Invalid Response";
  }
  return "Unknown status code";
}

}  // namespace zeb
