#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One OPC UA security policy: its URI, the lengths of what it derives and the
// algorithms it uses, and those algorithms themselves, all done by OpenSSL.
// Byte strings (keys, nonces, signatures, certificates) are std::string, as
// the encoder writes them.
//
// Thread rules: the policies are immutable tables; every operation is a pure
// function of its arguments and may run on any thread.
class SecurityPolicy {
 public:
  enum class Signature { kPkcs1Sha256, kPssSha256 };
  enum class Oaep { kSha1, kSha256 };

  // Keys of one direction of a secure channel.
  struct Keys {
    std::string signing;
    std::string encrypting;
    std::string iv;
  };

  static constexpr size_t kNonceLength = 32;
  static constexpr size_t kBlockSize = 16;           // AES
  static constexpr size_t kSymmetricSignature = 32;  // HMAC-SHA256

  const char* name;  // short name used in the plane options
  const char* uri;
  int strength;  // ranks the policies for "auto"; None is 0
  size_t signing_key_length;
  size_t encrypting_key_length;
  Signature signature;
  Oaep oaep;
  const char* signature_uri;   // of asymmetric signatures (session and user token)
  const char* encryption_uri;  // of asymmetric encryption (user password)

  bool is_none() const { return strength == 0; }

  // The policy by short name or URI; nullptr when unknown.
  static const SecurityPolicy* find(const std::string& name_or_uri);
  static const SecurityPolicy& none();
  // Every policy, None first.
  static const std::vector<const SecurityPolicy*>& all();

  // Keys derived as P_SHA256(secret, seed): the sender's keys come from the
  // peer's nonce as secret and its own nonce as seed.
  bool derive(const std::string& secret, const std::string& seed, Keys* keys) const;
  static bool p_sha256(const std::string& secret, const std::string& seed, size_t length,
                       std::string* out);

  // Asymmetric operations; false when OpenSSL refuses (bad key, bad padding,
  // wrong length).
  bool sign(EVP_PKEY* key, const uint8_t* data, size_t size, std::string* out) const;
  bool verify(EVP_PKEY* key, const uint8_t* data, size_t size, const uint8_t* signature,
              size_t signature_size) const;
  // RSA-OAEP over as many key-sized blocks as the data needs.
  bool encrypt(EVP_PKEY* key, const uint8_t* data, size_t size, std::string* out) const;
  bool decrypt(EVP_PKEY* key, const uint8_t* data, size_t size, std::string* out) const;
  // Plain text bytes one OAEP block of key can carry.
  size_t plain_block(EVP_PKEY* key) const;
  static size_t key_bytes(EVP_PKEY* key);

  // Symmetric operations: HMAC-SHA256 and AES-CBC without padding (the chunk
  // carries its own); the AES key length picks AES-128 or AES-256.
  static bool hmac(const std::string& key, const uint8_t* data, size_t size, uint8_t* out32);
  static bool aes_cbc(const std::string& key, const std::string& iv, bool encrypt,
                      const uint8_t* data, size_t size, uint8_t* out);

  // count random bytes; empty when OpenSSL has no entropy.
  static std::string random_bytes(size_t count);
};
