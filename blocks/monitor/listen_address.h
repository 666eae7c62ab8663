#pragma once

#include <string>

// Where the monitoring endpoint listens: "PORT" alone (loopback),
// "HOST:PORT" or "[IPv6]:PORT". Without a host the endpoint stays on the
// loopback interface; listening elsewhere has to be asked for by name.
struct ListenAddress {
  std::string host;
  int port = 0;

  // False with a reason in *error for a text that is not such an address.
  static bool parse(const std::string& text, ListenAddress* out, std::string* error);
  std::string text() const;
};
