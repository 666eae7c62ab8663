#include "framework/status.h"

namespace qor {

std::string status_text(int code) {
  switch (code) {
    case SUCCESS:
      return "Success";
    case PORT_EXISTS:
      return "Port already exists";
    case CANNOT_CONNECT:
      return "Can't connect to port";
    case NOT_CONNECTED:
      return "Not Connected";
    case MISSING_PORT:
      return "Missing Port";
    case PORT_FULL:
      return "Port is full";
    case BAD_PROPERTY_TYPE:
      return "Bad property Type";
    case UNDELIVERED_EVENTS:
      return "Undelivered events";
    case ALREADY_CONNECTED:
      return "Port already connected";
    case NULL_PORT:
      return "Port pointer is null";
    case BLOCK_STOPPED:
      return "Block stopped";
    default:
      return "Unknown error code";
  }
}

}  // namespace qor
