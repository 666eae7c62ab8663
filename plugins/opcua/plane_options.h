#pragma once

#include <string>

// The settings of one OPC UA plane, read from the plane's options object
// ({"transport_addr": "opc.tcp://host[:port][/path]", ...}). Members of the
// options that are not listed here are ignored, so a block may carry its own.
//
// Thread rules: a value type, fixed once the connection is made.
class PlaneOptions {
 public:
  std::string endpoint_url;  // "transport_addr" as given; sent in Hello and CreateSession
  std::string host;
  int port = 4840;
  int timeout_ms = 5000;                // "timeout_ms": every request and connect
  double publishing_interval_ms = 500;  // "publishing_interval_ms"
  double sampling_interval_ms = 250;    // "sampling_interval_ms"; -1 = publishing interval
  int queue_size = 10;                  // "queue_size": values kept per item between publishes
  int keep_alive_count = 10;            // "keep_alive_count"
  int lifetime_count = 60;              // "lifetime_count"; raised to 3 x keep_alive_count
  double session_timeout_ms = 60000;    // "session_timeout_ms"
  int token_lifetime_ms = 600000;       // "token_lifetime_ms": secure channel token
  int reconnect_max_ms = 10000;         // "reconnect_max_ms": cap of the back-off
  int publish_requests = 3;             // "publish_requests": kept outstanding at first
  // "max_publish_requests": the most kept outstanding while the server's
  // answers report more notifications waiting; the server may set a lower one.
  int max_publish_requests = 100;

  // Security. "security_policy": "None", "Basic256Sha256",
  // "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss" or "auto" (the strongest
  // the server offers); "security_mode": "Sign" or "SignAndEncrypt" (left
  // empty: SignAndEncrypt, or with "auto" the best the server offers).
  std::string security_policy = "None";
  std::string security_mode;
  std::string pki_dir = "./pki";        // "pki_dir": own/, private/, trusted/, rejected/
  std::string certificate_file;         // "certificate": our certificate instead of a made one
  std::string private_key_file;         // "private_key": its key (PEM)
  std::string application_uri;          // "application_uri": else the certificate's
  std::string server_certificate_file;  // "server_certificate": trusted besides trusted/
  bool trust_on_first_use = false;      // "trust_on_first_use": keep the first one seen
  // User identity: anonymous unless "user" (with "password") or
  // "user_certificate" (with "user_private_key") is given.
  std::string user;
  std::string password;
  std::string user_certificate_file;
  std::string user_private_key_file;

  // Reads the options JSON text. False, with a reason in *error, for text that
  // is not a JSON object, a missing or malformed "opc.tcp" address, or a
  // listed option of the wrong type or out of range.
  static bool parse(const std::string& json_text, PlaneOptions* out, std::string* error);

  // The wait before the next try after `attempts` failed ones: 250 ms,
  // doubled per failure, at most "reconnect_max_ms".
  int backoff_ms(int attempts) const;
};
