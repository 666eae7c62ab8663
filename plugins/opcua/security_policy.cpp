#include "security_policy.h"

#include <openssl/core_names.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>

#include "openssl_owners.h"

namespace {

const char* const kRsaSha256 = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
const char* const kRsaPssSha256 = "http://opcfoundation.org/UA/security/rsa-pss-sha2-256";
const char* const kRsaOaep = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
const char* const kRsaOaepSha256 = "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256";

const SecurityPolicy kNone{"None",
                           "http://opcfoundation.org/UA/SecurityPolicy#None",
                           0,
                           0,
                           0,
                           SecurityPolicy::Signature::kPkcs1Sha256,
                           SecurityPolicy::Oaep::kSha1,
                           "",
                           ""};
const SecurityPolicy kBasic256Sha256{"Basic256Sha256",
                                     "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256",
                                     2,
                                     32,
                                     32,
                                     SecurityPolicy::Signature::kPkcs1Sha256,
                                     SecurityPolicy::Oaep::kSha1,
                                     kRsaSha256,
                                     kRsaOaep};
const SecurityPolicy kAes128{"Aes128_Sha256_RsaOaep",
                             "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep",
                             1,
                             32,
                             16,
                             SecurityPolicy::Signature::kPkcs1Sha256,
                             SecurityPolicy::Oaep::kSha1,
                             kRsaSha256,
                             kRsaOaep};
const SecurityPolicy kAes256{"Aes256_Sha256_RsaPss",
                             "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss",
                             3,
                             32,
                             32,
                             SecurityPolicy::Signature::kPssSha256,
                             SecurityPolicy::Oaep::kSha256,
                             kRsaPssSha256,
                             kRsaOaepSha256};

// Both OAEP variants use their digest for the mask too.
bool set_oaep(EVP_PKEY_CTX* ctx, SecurityPolicy::Oaep oaep) {
  const EVP_MD* md = oaep == SecurityPolicy::Oaep::kSha1 ? EVP_sha1() : EVP_sha256();
  return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0 &&
         EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md) > 0 && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) > 0;
}

bool set_signature(EVP_PKEY_CTX* ctx, SecurityPolicy::Signature signature) {
  if (signature == SecurityPolicy::Signature::kPkcs1Sha256) {
    return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0;
  }
  return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) > 0 &&
         EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, RSA_PSS_SALTLEN_DIGEST) > 0;
}

}  // namespace

const SecurityPolicy& SecurityPolicy::none() {
  return kNone;
}

const std::vector<const SecurityPolicy*>& SecurityPolicy::all() {
  static const std::vector<const SecurityPolicy*> policies = {&kNone, &kBasic256Sha256, &kAes128,
                                                              &kAes256};
  return policies;
}

const SecurityPolicy* SecurityPolicy::find(const std::string& name_or_uri) {
  for (const SecurityPolicy* policy : all()) {
    if (name_or_uri == policy->name || name_or_uri == policy->uri) return policy;
  }
  return nullptr;
}

bool SecurityPolicy::p_sha256(const std::string& secret, const std::string& seed, size_t length,
                              std::string* out) {
  // The TLS 1.2 PRF without a label is exactly P_SHA256(secret, seed).
  EvpKdfPtr kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_TLS1_PRF, nullptr));
  if (!kdf) return false;
  EvpKdfCtxPtr ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) return false;
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, const_cast<char*>(secret.data()),
                                        secret.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, const_cast<char*>(seed.data()),
                                        seed.size()),
      OSSL_PARAM_construct_end()};
  out->assign(length, '\0');
  return EVP_KDF_derive(ctx.get(), reinterpret_cast<unsigned char*>(&(*out)[0]), length, params) >
         0;
}

bool SecurityPolicy::derive(const std::string& secret, const std::string& seed, Keys* keys) const {
  std::string material;
  if (!p_sha256(secret, seed, signing_key_length + encrypting_key_length + kBlockSize, &material)) {
    return false;
  }
  keys->signing = material.substr(0, signing_key_length);
  keys->encrypting = material.substr(signing_key_length, encrypting_key_length);
  keys->iv = material.substr(signing_key_length + encrypting_key_length, kBlockSize);
  return true;
}

bool SecurityPolicy::sign(EVP_PKEY* key, const uint8_t* data, size_t size, std::string* out) const {
  EvpMdCtxPtr md(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;  // owned by md
  if (!md || EVP_DigestSignInit(md.get(), &pctx, EVP_sha256(), nullptr, key) <= 0 ||
      !set_signature(pctx, signature)) {
    return false;
  }
  size_t length = 0;
  if (EVP_DigestSign(md.get(), nullptr, &length, data, size) <= 0) return false;
  out->assign(length, '\0');
  if (EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(&(*out)[0]), &length, data, size) <=
      0) {
    return false;
  }
  out->resize(length);
  return true;
}

bool SecurityPolicy::verify(EVP_PKEY* key, const uint8_t* data, size_t size,
                            const uint8_t* signature_bytes, size_t signature_size) const {
  EvpMdCtxPtr md(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;  // owned by md
  if (!md || EVP_DigestVerifyInit(md.get(), &pctx, EVP_sha256(), nullptr, key) <= 0 ||
      !set_signature(pctx, signature)) {
    return false;
  }
  return EVP_DigestVerify(md.get(), signature_bytes, signature_size, data, size) == 1;
}

size_t SecurityPolicy::key_bytes(EVP_PKEY* key) {
  const int size = EVP_PKEY_get_size(key);
  return size > 0 ? static_cast<size_t>(size) : 0;
}

size_t SecurityPolicy::plain_block(EVP_PKEY* key) const {
  // OAEP takes two digests and two bytes of every block.
  const size_t overhead = oaep == Oaep::kSha1 ? 42 : 66;
  const size_t bytes = key_bytes(key);
  return bytes > overhead ? bytes - overhead : 0;
}

bool SecurityPolicy::encrypt(EVP_PKEY* key, const uint8_t* data, size_t size,
                             std::string* out) const {
  const size_t block = plain_block(key);
  const size_t cipher_block = key_bytes(key);
  if (block == 0) return false;
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 || !set_oaep(ctx.get(), oaep)) return false;
  out->clear();
  out->reserve((size + block - 1) / block * cipher_block);
  for (size_t at = 0; at < size; at += block) {
    const size_t part = std::min(block, size - at);
    size_t length = cipher_block;
    const size_t start = out->size();
    out->resize(start + cipher_block);
    if (EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(&(*out)[start]), &length,
                         data + at, part) <= 0 ||
        length != cipher_block) {
      return false;
    }
  }
  return true;
}

bool SecurityPolicy::decrypt(EVP_PKEY* key, const uint8_t* data, size_t size,
                             std::string* out) const {
  const size_t cipher_block = key_bytes(key);
  if (cipher_block == 0 || size % cipher_block != 0) return false;
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 || !set_oaep(ctx.get(), oaep)) return false;
  out->clear();
  out->reserve(size);
  std::string block(cipher_block, '\0');
  for (size_t at = 0; at < size; at += cipher_block) {
    size_t length = block.size();
    if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(&block[0]), &length, data + at,
                         cipher_block) <= 0) {
      return false;
    }
    out->append(block.data(), length);
  }
  return true;
}

bool SecurityPolicy::hmac(const std::string& key, const uint8_t* data, size_t size,
                          uint8_t* out32) {
  unsigned int length = 0;
  return HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data, size, out32, &length) !=
             nullptr &&
         length == kSymmetricSignature;
}

bool SecurityPolicy::aes_cbc(const std::string& key, const std::string& iv, bool encrypt,
                             const uint8_t* data, size_t size, uint8_t* out) {
  if (size % kBlockSize != 0 || iv.size() != kBlockSize) return false;
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_cbc()
                             : key.size() == 32 ? EVP_aes_256_cbc()
                                                : nullptr;
  EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!cipher || !ctx ||
      EVP_CipherInit_ex(ctx.get(), cipher, nullptr,
                        reinterpret_cast<const unsigned char*>(key.data()),
                        reinterpret_cast<const unsigned char*>(iv.data()), encrypt ? 1 : 0) <= 0 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) <= 0) {
    return false;
  }
  int written = 0;
  int final_written = 0;
  return EVP_CipherUpdate(ctx.get(), out, &written, data, static_cast<int>(size)) > 0 &&
         EVP_CipherFinal_ex(ctx.get(), out + written, &final_written) > 0 &&
         static_cast<size_t>(written + final_written) == size;
}

std::string SecurityPolicy::random_bytes(size_t count) {
  std::string out(count, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&out[0]), static_cast<int>(count)) != 1) {
    out.clear();
  }
  return out;
}
