#pragma once

#include <string>

namespace qor {

// Results of port and block operations, also carried by qor::Exception.
enum Status : int {
  SUCCESS = 0,
  PORT_EXISTS = 1,
  CANNOT_CONNECT = 2,
  NOT_CONNECTED = 3,
  MISSING_PORT = 4,
  PORT_FULL = 5,
  BAD_PROPERTY_TYPE = 6,
  UNDELIVERED_EVENTS = 7,
  ALREADY_CONNECTED = 8,
  NULL_PORT = 9,
  PORT_OWNED = 10,
  BLOCK_STOPPED = 11,
};

std::string status_text(int code);

}  // namespace qor
