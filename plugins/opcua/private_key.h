#pragma once

#include <openssl/evp.h>

#include <string>

#include "openssl_owners.h"

// An RSA private key read from or written to an unencrypted PEM file.
//
// Thread rules: immutable after construction; OpenSSL allows signing and
// decrypting with one key on several threads at once.
class PrivateKey {
 public:
  PrivateKey() = default;
  // Throws std::runtime_error when the file cannot be read or holds no key.
  static PrivateKey load(const std::string& path);
  // Throws std::runtime_error when OpenSSL refuses.
  static PrivateKey generate_rsa(int bits);

  bool empty() const { return !key_; }
  EVP_PKEY* get() const { return key_.get(); }
  // Writes PEM readable by the owner alone; false with a reason on failure.
  bool save(const std::string& path, std::string* error) const;

 private:
  EvpPkeyPtr key_;
};
