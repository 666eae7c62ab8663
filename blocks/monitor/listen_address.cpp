#include "blocks/monitor/listen_address.h"

#include <cctype>

namespace {

constexpr const char* kLoopback = "127.0.0.1";

bool parse_port(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  *port = value;
  return true;
}

}  // namespace

bool ListenAddress::parse(const std::string& text, ListenAddress* out, std::string* error) {
  std::string host;
  std::string port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *error = "\"" + text + "\" is not [IPv6 address]:port";
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
      port = text;
    } else {
      host = text.substr(0, colon);
      port = text.substr(colon + 1);
    }
  }
  ListenAddress address;
  if (!parse_port(port, &address.port)) {
    *error = "\"" + text + "\" does not end in a port from 1 to 65535";
    return false;
  }
  address.host = host.empty() ? kLoopback : host;
  *out = address;
  return true;
}

std::string ListenAddress::text() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}
