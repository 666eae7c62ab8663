#pragma once

#include <string>

namespace weft_test {

// TLS material for tests, made with the openssl command line in a fresh
// directory: a CA, a server certificate for "localhost" only (so connecting
// to 127.0.0.1 is a host-name mismatch), a client certificate with the common
// name "weft-client", and a second CA that signed none of them.
class TestCertificates {
 public:
  // Throws when openssl fails.
  TestCertificates();

  std::string ca_file() const { return dir_ + "/ca.crt"; }
  std::string server_cert() const { return dir_ + "/server.crt"; }
  std::string server_key() const { return dir_ + "/server.key"; }
  std::string client_cert() const { return dir_ + "/client.crt"; }
  std::string client_key() const { return dir_ + "/client.key"; }
  std::string other_ca_file() const { return dir_ + "/other-ca.crt"; }
  const std::string& dir() const { return dir_; }

 private:
  void make_ca(const std::string& name, const std::string& subject);
  void make_signed(const std::string& name, const std::string& subject,
                   const std::string& extensions);

  std::string dir_;
};

}  // namespace weft_test
