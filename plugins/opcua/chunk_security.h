#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "byte_writer.h"
#include "certificate.h"
#include "private_key.h"
#include "security_policy.h"

// Signs and encrypts the chunks we send and checks and decrypts the chunks we
// receive, for the policy and mode of one secure channel.
//
// OPN chunks use the asymmetric keys (signed with our key, encrypted with the
// server's certificate); MSG and CLO chunks use the symmetric keys of the
// token in their header, derived from both nonces when the token was issued.
// A chunk that fails its check is refused, never passed on: a peer that
// cannot sign is not the server we trust.
//
// Thread rules: seal runs on callers' threads (under the channel's send lock),
// unseal and the set-up calls on the connection thread; `lock_` guards every
// member, so set-up and use never overlap.
class ChunkSecurity {
 public:
  enum class Mode : int32_t { kNone = 1, kSign = 2, kSignAndEncrypt = 3 };

  // Security policy None until configured.
  ChunkSecurity() = default;

  // Uses policy and mode from the next chunk on and forgets every token. With
  // policy None the certificates may be null.
  void configure(const SecurityPolicy& policy, Mode mode,
                 std::shared_ptr<const Certificate> own_certificate,
                 std::shared_ptr<const PrivateKey> own_key,
                 std::shared_ptr<const Certificate> server_certificate);
  bool secured() const;
  const SecurityPolicy& policy() const;
  Mode mode() const;

  // Keys of a token the server issued, from the nonces sent in the OPN pair.
  // Keeps the keys of the previous token for chunks still on their way.
  bool install_token(uint32_t token_id, const std::string& client_nonce,
                     const std::string& server_nonce, std::string* error);

  // The security header of an OPN chunk: policy URI, our certificate and the
  // thumbprint of the server's.
  void write_asymmetric_header(ByteWriter& w) const;
  // Most body bytes a MSG chunk of chunk_size can carry.
  size_t body_room(size_t chunk_size) const;

  // chunk is a whole chunk as sent without security, its sequence header at
  // header_end; on success it is replaced by the secured chunk.
  bool seal(std::vector<uint8_t>* chunk, size_t header_end, std::string* error) const;
  // chunk is a whole received chunk; OPN, MSG and CLO chunks are checked and
  // turned into their form without security (same headers, no padding or
  // signature, size patched). Other types pass unchanged. False with a reason
  // when a check fails.
  bool unseal(std::vector<uint8_t>* chunk, std::string* error) const;

 private:
  struct TokenKeys {
    SecurityPolicy::Keys sending;
    SecurityPolicy::Keys receiving;
  };

  bool seal_asymmetric(std::vector<uint8_t>* chunk, size_t header_end, std::string* error) const;
  bool seal_symmetric(std::vector<uint8_t>* chunk, std::string* error) const;
  bool unseal_asymmetric(std::vector<uint8_t>* chunk, std::string* error) const;
  bool unseal_symmetric(std::vector<uint8_t>* chunk, std::string* error) const;

  mutable std::mutex lock_;
  const SecurityPolicy* policy_ = &SecurityPolicy::none();  // guarded by lock_
  Mode mode_ = Mode::kNone;                                 // guarded by lock_
  std::shared_ptr<const Certificate> own_certificate_;      // guarded by lock_
  std::shared_ptr<const PrivateKey> own_key_;               // guarded by lock_
  std::shared_ptr<const Certificate> server_certificate_;   // guarded by lock_
  std::map<uint32_t, TokenKeys> tokens_;                    // guarded by lock_; two at most
};
