#include "chunk_security.h"

#include <openssl/crypto.h>

#include <cstring>

namespace {

constexpr size_t kSymmetricHeaderEnd = 16;  // type, size, channel id, token id
constexpr size_t kSequenceHeader = 8;
// Keys at most this large carry one padding byte; larger ones need a second.
constexpr size_t kSingleByteKeyLimit = 256;

uint32_t read_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void patch_size(std::vector<uint8_t>* chunk, size_t size) {
  for (int i = 0; i < 4; ++i) (*chunk)[4 + i] = static_cast<uint8_t>(size >> (8 * i));
}

bool is_type(const std::vector<uint8_t>& chunk, const char* type) {
  return chunk.size() >= 8 && std::memcmp(chunk.data(), type, 3) == 0;
}

// A ByteString of the asymmetric header: [at, at + length) of the chunk.
bool read_string(const std::vector<uint8_t>& chunk, size_t* at, std::string* out) {
  if (*at + 4 > chunk.size()) return false;
  const int32_t length = static_cast<int32_t>(read_u32(&chunk[*at]));
  *at += 4;
  if (length < 0) {
    out->clear();
    return true;
  }
  if (static_cast<size_t>(length) > chunk.size() - *at) return false;
  out->assign(reinterpret_cast<const char*>(&chunk[*at]), static_cast<size_t>(length));
  *at += static_cast<size_t>(length);
  return true;
}

// Padding bytes after the body: padding + 1 bytes of its low byte, then its
// high byte when the encrypting key is large.
void append_padding(std::vector<uint8_t>* out, size_t padding, bool extra) {
  out->insert(out->end(), padding + 1, static_cast<uint8_t>(padding & 0xff));
  if (extra) out->push_back(static_cast<uint8_t>(padding >> 8));
}

// Bytes of padding (with its size bytes) that end right before `end` in
// plain; 0 when they do not fit or are not all the same.
size_t padding_length(const uint8_t* plain, size_t end, bool extra) {
  const size_t size_bytes = extra ? 2 : 1;
  if (end < kSequenceHeader + size_bytes) return 0;
  const uint8_t low = plain[end - size_bytes];
  const size_t padding = extra ? (static_cast<size_t>(plain[end - 1]) << 8) | low : low;
  const size_t total = padding + size_bytes;
  if (total > end - kSequenceHeader) return 0;
  for (size_t i = end - total; i < end - size_bytes; ++i) {
    if (plain[i] != low) return 0;
  }
  return total;
}

}  // namespace

void ChunkSecurity::configure(const SecurityPolicy& policy, Mode mode,
                              std::shared_ptr<const Certificate> own_certificate,
                              std::shared_ptr<const PrivateKey> own_key,
                              std::shared_ptr<const Certificate> server_certificate) {
  std::lock_guard<std::mutex> guard(lock_);
  policy_ = &policy;
  mode_ = policy.is_none() ? Mode::kNone : mode;
  own_certificate_ = std::move(own_certificate);
  own_key_ = std::move(own_key);
  server_certificate_ = std::move(server_certificate);
  tokens_.clear();
}

bool ChunkSecurity::secured() const {
  std::lock_guard<std::mutex> guard(lock_);
  return mode_ != Mode::kNone;
}

const SecurityPolicy& ChunkSecurity::policy() const {
  std::lock_guard<std::mutex> guard(lock_);
  return *policy_;
}

ChunkSecurity::Mode ChunkSecurity::mode() const {
  std::lock_guard<std::mutex> guard(lock_);
  return mode_;
}

bool ChunkSecurity::install_token(uint32_t token_id, const std::string& client_nonce,
                                  const std::string& server_nonce, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (mode_ == Mode::kNone) return true;
  if (client_nonce.size() < SecurityPolicy::kNonceLength ||
      server_nonce.size() < SecurityPolicy::kNonceLength) {
    *error = "server nonce shorter than the policy requires";
    return false;
  }
  TokenKeys keys;
  if (!policy_->derive(server_nonce, client_nonce, &keys.sending) ||
      !policy_->derive(client_nonce, server_nonce, &keys.receiving)) {
    *error = "cannot derive the channel keys";
    return false;
  }
  tokens_[token_id] = std::move(keys);
  while (tokens_.size() > 2) {
    auto oldest = tokens_.begin();
    if (oldest->first == token_id) ++oldest;
    tokens_.erase(oldest);
  }
  return true;
}

void ChunkSecurity::write_asymmetric_header(ByteWriter& w) const {
  std::lock_guard<std::mutex> guard(lock_);
  w.string(policy_->uri);
  if (mode_ == Mode::kNone) {
    w.null_length();  // SenderCertificate
    w.null_length();  // ReceiverCertificateThumbprint
    return;
  }
  w.string(own_certificate_->der());
  w.string(server_certificate_->thumbprint());
}

size_t ChunkSecurity::body_room(size_t chunk_size) const {
  std::lock_guard<std::mutex> guard(lock_);
  const size_t overhead = kSymmetricHeaderEnd + kSequenceHeader;
  switch (mode_) {
    case Mode::kNone:
      return chunk_size - overhead;
    case Mode::kSign:
      return chunk_size - overhead - SecurityPolicy::kSymmetricSignature;
    case Mode::kSignAndEncrypt: {
      const size_t encrypted = (chunk_size - kSymmetricHeaderEnd) / SecurityPolicy::kBlockSize *
                               SecurityPolicy::kBlockSize;
      return encrypted - kSequenceHeader - SecurityPolicy::kSymmetricSignature - 1;
    }
  }
  return 0;
}

bool ChunkSecurity::seal(std::vector<uint8_t>* chunk, size_t header_end, std::string* error) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (mode_ == Mode::kNone) return true;
  if (is_type(*chunk, "OPN")) return seal_asymmetric(chunk, header_end, error);
  return seal_symmetric(chunk, error);
}

bool ChunkSecurity::unseal(std::vector<uint8_t>* chunk, std::string* error) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (mode_ == Mode::kNone) return true;
  if (is_type(*chunk, "OPN")) return unseal_asymmetric(chunk, error);
  if (is_type(*chunk, "MSG") || is_type(*chunk, "CLO")) return unseal_symmetric(chunk, error);
  return true;
}

bool ChunkSecurity::seal_asymmetric(std::vector<uint8_t>* chunk, size_t header_end,
                                    std::string* error) const {
  EVP_PKEY* server_key = server_certificate_->public_key();
  EVP_PKEY* own_key = own_key_->get();
  const size_t plain_block = policy_->plain_block(server_key);
  const size_t cipher_block = SecurityPolicy::key_bytes(server_key);
  const size_t signature_size = SecurityPolicy::key_bytes(own_key);
  if (plain_block == 0 || signature_size == 0) {
    *error = "unusable RSA key";
    return false;
  }
  const bool extra = cipher_block > kSingleByteKeyLimit;
  const size_t payload = chunk->size() - header_end;
  const size_t base = payload + 1 + (extra ? 1 : 0) + signature_size;
  const size_t padding = (plain_block - base % plain_block) % plain_block;
  const size_t blocks = (base + padding) / plain_block;

  std::vector<uint8_t> out(chunk->begin(), chunk->end());
  patch_size(&out, header_end + blocks * cipher_block);
  append_padding(&out, padding, extra);
  std::string signature;
  if (!policy_->sign(own_key, out.data(), out.size(), &signature) ||
      signature.size() != signature_size) {
    *error = "cannot sign the OpenSecureChannel request";
    return false;
  }
  out.insert(out.end(), signature.begin(), signature.end());
  std::string cipher;
  if (!policy_->encrypt(server_key, out.data() + header_end, out.size() - header_end, &cipher) ||
      cipher.size() != blocks * cipher_block) {
    *error = "cannot encrypt the OpenSecureChannel request";
    return false;
  }
  out.resize(header_end);
  out.insert(out.end(), cipher.begin(), cipher.end());
  *chunk = std::move(out);
  return true;
}

bool ChunkSecurity::seal_symmetric(std::vector<uint8_t>* chunk, std::string* error) const {
  if (chunk->size() < kSymmetricHeaderEnd + kSequenceHeader) {
    *error = "chunk too short to secure";
    return false;
  }
  const auto keys = tokens_.find(read_u32(chunk->data() + 12));
  if (keys == tokens_.end()) {
    *error = "no keys for the channel token";
    return false;
  }
  const SecurityPolicy::Keys& sending = keys->second.sending;
  const size_t signature = SecurityPolicy::kSymmetricSignature;
  std::vector<uint8_t> out(chunk->begin(), chunk->end());
  if (mode_ == Mode::kSignAndEncrypt) {
    const size_t base = out.size() - kSymmetricHeaderEnd + 1 + signature;
    const size_t block = SecurityPolicy::kBlockSize;
    append_padding(&out, (block - base % block) % block, false);
  }
  patch_size(&out, out.size() + signature);
  out.resize(out.size() + signature);
  if (!SecurityPolicy::hmac(sending.signing, out.data(), out.size() - signature,
                            out.data() + out.size() - signature)) {
    *error = "cannot sign the chunk";
    return false;
  }
  if (mode_ == Mode::kSignAndEncrypt &&
      !SecurityPolicy::aes_cbc(sending.encrypting, sending.iv, true,
                               out.data() + kSymmetricHeaderEnd, out.size() - kSymmetricHeaderEnd,
                               out.data() + kSymmetricHeaderEnd)) {
    *error = "cannot encrypt the chunk";
    return false;
  }
  *chunk = std::move(out);
  return true;
}

bool ChunkSecurity::unseal_asymmetric(std::vector<uint8_t>* chunk, std::string* error) const {
  size_t at = 12;  // after type, size and channel id
  std::string uri;
  std::string sender;
  std::string thumbprint;
  if (!read_string(*chunk, &at, &uri) || !read_string(*chunk, &at, &sender) ||
      !read_string(*chunk, &at, &thumbprint)) {
    *error = "malformed OpenSecureChannel security header";
    return false;
  }
  if (uri != policy_->uri) {
    *error = "OpenSecureChannel answered with security policy " + uri;
    return false;
  }
  if (sender != server_certificate_->der()) {
    *error = "OpenSecureChannel answered with another certificate than the server's";
    return false;
  }
  if (thumbprint != own_certificate_->thumbprint()) {
    *error = "OpenSecureChannel answer is not meant for our certificate";
    return false;
  }
  const size_t header_end = at;
  std::string plain;
  if (!policy_->decrypt(own_key_->get(), chunk->data() + header_end, chunk->size() - header_end,
                        &plain)) {
    *error = "cannot decrypt the OpenSecureChannel answer";
    return false;
  }
  const size_t signature_size = SecurityPolicy::key_bytes(server_certificate_->public_key());
  if (plain.size() < signature_size + kSequenceHeader + 1) {
    *error = "OpenSecureChannel answer too short";
    return false;
  }
  const size_t signed_plain = plain.size() - signature_size;
  std::vector<uint8_t> out(chunk->begin(), chunk->begin() + static_cast<ptrdiff_t>(header_end));
  out.insert(out.end(), plain.begin(), plain.begin() + static_cast<ptrdiff_t>(signed_plain));
  if (!policy_->verify(server_certificate_->public_key(), out.data(), out.size(),
                       reinterpret_cast<const uint8_t*>(plain.data()) + signed_plain,
                       signature_size)) {
    *error = "bad signature on the OpenSecureChannel answer";
    return false;
  }
  const bool extra = SecurityPolicy::key_bytes(own_key_->get()) > kSingleByteKeyLimit;
  const size_t padding = padding_length(out.data() + header_end, signed_plain, extra);
  if (padding == 0) {
    *error = "bad padding in the OpenSecureChannel answer";
    return false;
  }
  out.resize(out.size() - padding);
  patch_size(&out, out.size());
  *chunk = std::move(out);
  return true;
}

bool ChunkSecurity::unseal_symmetric(std::vector<uint8_t>* chunk, std::string* error) const {
  const size_t signature = SecurityPolicy::kSymmetricSignature;
  if (chunk->size() < kSymmetricHeaderEnd + kSequenceHeader + signature) {
    *error = "secured chunk too short";
    return false;
  }
  const uint32_t token = read_u32(chunk->data() + 12);
  const auto keys = tokens_.find(token);
  if (keys == tokens_.end()) {
    *error = "chunk for unknown channel token " + std::to_string(token);
    return false;
  }
  const SecurityPolicy::Keys& receiving = keys->second.receiving;
  std::vector<uint8_t>& c = *chunk;
  const bool encrypted = mode_ == Mode::kSignAndEncrypt;
  if (encrypted) {
    const size_t length = c.size() - kSymmetricHeaderEnd;
    if (length % SecurityPolicy::kBlockSize != 0 ||
        !SecurityPolicy::aes_cbc(receiving.encrypting, receiving.iv, false,
                                 c.data() + kSymmetricHeaderEnd, length,
                                 c.data() + kSymmetricHeaderEnd)) {
      *error = "cannot decrypt a chunk";
      return false;
    }
  }
  uint8_t expected[SecurityPolicy::kSymmetricSignature];
  const size_t signed_size = c.size() - signature;
  if (!SecurityPolicy::hmac(receiving.signing, c.data(), signed_size, expected) ||
      CRYPTO_memcmp(expected, c.data() + signed_size, signature) != 0) {
    *error = "bad signature on a chunk";
    return false;
  }
  size_t end = signed_size;
  if (encrypted) {
    const size_t padding =
        padding_length(c.data() + kSymmetricHeaderEnd, signed_size - kSymmetricHeaderEnd, false);
    if (padding == 0) {
      *error = "bad padding in a chunk";
      return false;
    }
    end -= padding;
  }
  c.resize(end);
  patch_size(&c, c.size());
  return true;
}
