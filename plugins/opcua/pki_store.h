#pragma once

#include <string>

#include "certificate.h"
#include "private_key.h"

// The directory that holds this client's application instance certificate
// and the certificates of servers:
//   own/cert.der       our certificate, made on first use when none is given
//   private/key.pem    its private key, readable by the owner alone
//   trusted/           server certificates we trust (DER or PEM, any name)
//   rejected/          certificates we refused, named by SHA-1 thumbprint,
//                      for an administrator to review and move to trusted/
//
// Thread rules: used by one connection thread at a time; two connections on
// the same directory may both create a missing identity, the last one
// written wins and both stay usable for their own connection.
class PkiStore {
 public:
  explicit PkiStore(std::string root) : root_(std::move(root)) {}

  const std::string& root() const { return root_; }
  std::string trusted_dir() const { return root_ + "/trusted"; }
  std::string rejected_dir() const { return root_ + "/rejected"; }
  std::string own_certificate_path() const { return root_ + "/own/cert.der"; }
  std::string own_key_path() const { return root_ + "/private/key.pem"; }

  // Our certificate and key: the given files when both are named, else the
  // ones in the store, made (self-signed, RSA 2048, with application_uri and
  // host) when the store has none. *created tells whether they were made
  // now. False with a reason when files are unreadable, do not belong
  // together, or cannot be written.
  bool load_identity(const std::string& certificate_file, const std::string& key_file,
                     const std::string& application_uri, const std::string& host,
                     Certificate* certificate, PrivateKey* key, bool* created,
                     std::string* error) const;

  // True when a file in trusted/ holds exactly this certificate.
  bool is_trusted(const Certificate& certificate) const;
  // Copies the certificate to rejected/ (or, with trust, to trusted/) under
  // its thumbprint; the path written, empty when it could not be.
  std::string reject(const Certificate& certificate) const;
  std::string trust(const Certificate& certificate) const;

 private:
  std::string store(const Certificate& certificate, const std::string& dir) const;

  std::string root_;
};
