#include "private_key.h"

#include <fcntl.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

PrivateKey PrivateKey::load(const std::string& path) {
  BioPtr bio(BIO_new_file(path.c_str(), "rb"));
  if (!bio) throw std::runtime_error("cannot read " + path);
  PrivateKey key;
  key.key_.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key.key_) throw std::runtime_error("no unencrypted private key in " + path);
  if (EVP_PKEY_get_base_id(key.key_.get()) != EVP_PKEY_RSA) {
    throw std::runtime_error("the key in " + path + " is not an RSA key");
  }
  return key;
}

PrivateKey PrivateKey::generate_rsa(int bits) {
  PrivateKey key;
  key.key_.reset(EVP_RSA_gen(static_cast<unsigned int>(bits)));
  if (!key.key_) throw std::runtime_error("cannot generate an RSA key");
  return key;
}

bool PrivateKey::save(const std::string& path, std::string* error) const {
  // Created with owner-only permissions before any secret is written.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = "cannot create " + path;
    return false;
  }
  BioPtr bio(BIO_new_fd(fd, BIO_CLOSE));
  if (!bio) {
    ::close(fd);
    *error = "cannot write " + path;
    return false;
  }
  if (PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      BIO_flush(bio.get()) != 1) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}
