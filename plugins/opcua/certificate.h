#pragma once

#include <openssl/evp.h>

#include <string>

#include "openssl_owners.h"

// An X.509 certificate with its DER bytes, as the OPC UA messages carry it.
//
// Thread rules: immutable after construction; may be shared between threads.
class Certificate {
 public:
  Certificate() = default;
  // Throws std::runtime_error when the bytes are not one DER certificate.
  static Certificate from_der(const std::string& der);
  // A PEM or DER file. Throws std::runtime_error when it cannot be read or
  // holds no certificate.
  static Certificate load(const std::string& path);
  // A self-signed application instance certificate for key: the application
  // URI and host in subjectAltName, key usage for signing and key
  // encipherment, client and server authentication, valid for `days`.
  // Throws std::runtime_error when OpenSSL refuses.
  static Certificate self_signed(EVP_PKEY* key, const std::string& application_uri,
                                 const std::string& common_name, const std::string& host, int days);

  bool empty() const { return !x509_; }
  const std::string& der() const { return der_; }
  // SHA-1 of the DER bytes: raw (20 bytes) and as upper-case hex.
  std::string thumbprint() const;
  std::string thumbprint_hex() const;
  // Borrowed from the certificate.
  EVP_PKEY* public_key() const;
  // The first URI of subjectAltName; empty when there is none.
  std::string application_uri() const;
  // True when the certificate's public key belongs to key.
  bool matches(EVP_PKEY* key) const;
  // Writes the DER bytes; false with a reason on failure.
  bool save(const std::string& path, std::string* error) const;

 private:
  X509Ptr x509_;
  std::string der_;
};
