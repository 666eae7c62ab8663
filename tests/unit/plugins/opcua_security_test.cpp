// Security policies, certificates, the PKI directory and chunk protection.
// Known answers come from outside this code: P_SHA256 and HMAC from Python's
// hmac module, AES from the NIST SP 800-38A examples, and certificate facts
// and chunk decryption from the openssl command line.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "byte_writer.h"
#include "certificate.h"
#include "chunk_security.h"
#include "pki_store.h"
#include "plane_options.h"
#include "private_key.h"
#include "secure_channel.h"
#include "security_policy.h"
#include "service_codec.h"

namespace {

std::string from_hex(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes += static_cast<char>(std::stoul(text.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

std::string to_hex(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += kHex[c >> 4];
    text += kHex[c & 15];
  }
  return text;
}

std::string counting(int from, int count) {
  std::string bytes;
  for (int i = 0; i < count; ++i) bytes += static_cast<char>(from + i);
  return bytes;
}

// Standard output of a shell command.
std::string run(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) return out;
  std::array<char, 4096> buffer;
  size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) {
    out.append(buffer.data(), got);
  }
  return out;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/weft-security-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Two key pairs made once: RSA generation is slow.
struct Party {
  std::shared_ptr<const PrivateKey> key;
  std::shared_ptr<const Certificate> certificate;
};

const Party& client_party() {
  static const Party party = [] {
    auto key = std::make_shared<PrivateKey>(PrivateKey::generate_rsa(2048));
    auto cert = std::make_shared<Certificate>(
        Certificate::self_signed(key->get(), "urn:test:client", "client", "127.0.0.1", 30));
    return Party{key, cert};
  }();
  return party;
}

const Party& server_party() {
  static const Party party = [] {
    auto key = std::make_shared<PrivateKey>(PrivateKey::generate_rsa(2048));
    auto cert = std::make_shared<Certificate>(
        Certificate::self_signed(key->get(), "urn:test:server", "server", "localhost", 30));
    return Party{key, cert};
  }();
  return party;
}

const std::string kSecret = counting(0, 32);
const std::string kSeed = counting(32, 32);
// P_SHA256(kSecret, kSeed), 80 bytes, from Python's hmac module.
const char* const kPSha256 =
    "b72593c43fee5fafa0256cd6bb904ff40c066a225db95f66dd744e20858a2220"
    "ddf75067e3d76ac714c08e24eabd85ff425d7f5fb25e6e083b94b174e29db89b"
    "c513e9172274d5ed54e52a3552901ae0";

TEST(SecurityPolicyTest, FindsPoliciesByNameAndUri) {
  ASSERT_NE(SecurityPolicy::find("Basic256Sha256"), nullptr);
  EXPECT_EQ(SecurityPolicy::find("Basic256Sha256"),
            SecurityPolicy::find("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256"));
  EXPECT_TRUE(SecurityPolicy::find("None")->is_none());
  EXPECT_EQ(SecurityPolicy::find("Basic128Rsa15"), nullptr);
  EXPECT_EQ(SecurityPolicy::find("basic256sha256"), nullptr);
  EXPECT_GT(SecurityPolicy::find("Aes256_Sha256_RsaPss")->strength,
            SecurityPolicy::find("Basic256Sha256")->strength);
  EXPECT_GT(SecurityPolicy::find("Basic256Sha256")->strength,
            SecurityPolicy::find("Aes128_Sha256_RsaOaep")->strength);
}

TEST(SecurityPolicyTest, PSha256MatchesIndependentVectors) {
  std::string out;
  ASSERT_TRUE(SecurityPolicy::p_sha256(kSecret, kSeed, 80, &out));
  EXPECT_EQ(to_hex(out), kPSha256);
  // Shorter output is a prefix; swapped inputs give an unrelated stream.
  ASSERT_TRUE(SecurityPolicy::p_sha256(kSecret, kSeed, 20, &out));
  EXPECT_EQ(to_hex(out), std::string(kPSha256).substr(0, 40));
  ASSERT_TRUE(SecurityPolicy::p_sha256(kSeed, kSecret, 64, &out));
  EXPECT_EQ(to_hex(out),
            "dd585db0c102dd1a4c1ed4dd195606dec3f7a1c789afca78f9479ed3a5d668af"
            "ce49cb8f1c65a827f412c48e71c9f9cb3b5c2ee2fc2e4b3bd46d4098b5e45475");
}

TEST(SecurityPolicyTest, DeriveSplitsSigningEncryptingAndIv) {
  const std::string stream = from_hex(kPSha256);
  SecurityPolicy::Keys keys;
  ASSERT_TRUE(SecurityPolicy::find("Basic256Sha256")->derive(kSecret, kSeed, &keys));
  EXPECT_EQ(keys.signing, stream.substr(0, 32));
  EXPECT_EQ(keys.encrypting, stream.substr(32, 32));
  EXPECT_EQ(keys.iv, stream.substr(64, 16));
  ASSERT_TRUE(SecurityPolicy::find("Aes128_Sha256_RsaOaep")->derive(kSecret, kSeed, &keys));
  EXPECT_EQ(keys.signing, stream.substr(0, 32));
  EXPECT_EQ(keys.encrypting, stream.substr(32, 16));
  EXPECT_EQ(keys.iv, stream.substr(48, 16));
}

TEST(SecurityPolicyTest, HmacAndAesMatchKnownAnswers) {
  const std::string text = "The quick brown fox jumps over the lazy dog";
  uint8_t mac[32];
  ASSERT_TRUE(
      SecurityPolicy::hmac("key", reinterpret_cast<const uint8_t*>(text.data()), text.size(), mac));
  EXPECT_EQ(to_hex(std::string(reinterpret_cast<char*>(mac), 32)),
            "f7bc83f430538424b13298e6aa6fb143ef4d59a14946175997479dbc2d1a3cd8");

  // NIST SP 800-38A F.2.5, first block.
  const std::string key =
      from_hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  const std::string iv = from_hex("000102030405060708090a0b0c0d0e0f");
  const std::string plain = from_hex("6bc1bee22e409f96e93d7e117393172a");
  uint8_t out[16];
  ASSERT_TRUE(SecurityPolicy::aes_cbc(key, iv, true, reinterpret_cast<const uint8_t*>(plain.data()),
                                      16, out));
  EXPECT_EQ(to_hex(std::string(reinterpret_cast<char*>(out), 16)),
            "f58c4c04d6e5f1ba779eabfb5f7bfbd6");
  uint8_t back[16];
  ASSERT_TRUE(SecurityPolicy::aes_cbc(key, iv, false, out, 16, back));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back), 16), plain);
  // No padding of its own: a partial block and a wrong key length fail.
  EXPECT_FALSE(SecurityPolicy::aes_cbc(key, iv, true, out, 15, back));
  EXPECT_FALSE(SecurityPolicy::aes_cbc(key.substr(0, 24), iv, true, out, 16, back));
}

TEST(SecurityPolicyTest, AsymmetricSignaturesVerifyAndCatchTampering) {
  const Party& client = client_party();
  const std::string data = "server certificate and nonce";
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  for (const char* name : {"Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss"}) {
    SCOPED_TRACE(name);
    const SecurityPolicy& policy = *SecurityPolicy::find(name);
    std::string signature;
    ASSERT_TRUE(policy.sign(client.key->get(), bytes, data.size(), &signature));
    EXPECT_EQ(signature.size(), 256u);
    const auto* sig = reinterpret_cast<const uint8_t*>(signature.data());
    EXPECT_TRUE(
        policy.verify(client.certificate->public_key(), bytes, data.size(), sig, signature.size()));
    EXPECT_FALSE(policy.verify(client.certificate->public_key(), bytes, data.size() - 1, sig,
                               signature.size()));
    std::string bad = signature;
    bad[100] ^= 1;
    EXPECT_FALSE(policy.verify(client.certificate->public_key(), bytes, data.size(),
                               reinterpret_cast<const uint8_t*>(bad.data()), bad.size()));
    EXPECT_FALSE(policy.verify(server_party().certificate->public_key(), bytes, data.size(), sig,
                               signature.size()));
  }
  // PSS and PKCS#1 v1.5 signatures are not interchangeable.
  std::string pss;
  ASSERT_TRUE(SecurityPolicy::find("Aes256_Sha256_RsaPss")
                  ->sign(client.key->get(), bytes, data.size(), &pss));
  EXPECT_FALSE(SecurityPolicy::find("Basic256Sha256")
                   ->verify(client.certificate->public_key(), bytes, data.size(),
                            reinterpret_cast<const uint8_t*>(pss.data()), pss.size()));
}

TEST(SecurityPolicyTest, OaepEncryptionRoundTripsOverSeveralBlocks) {
  const Party& server = server_party();
  const std::string data = counting(1, 200) + counting(1, 200) + counting(7, 100);
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  for (const char* name : {"Basic256Sha256", "Aes256_Sha256_RsaPss"}) {
    SCOPED_TRACE(name);
    const SecurityPolicy& policy = *SecurityPolicy::find(name);
    std::string cipher;
    ASSERT_TRUE(policy.encrypt(server.certificate->public_key(), bytes, data.size(), &cipher));
    const size_t block = policy.plain_block(server.key->get());
    EXPECT_EQ(cipher.size(), (data.size() + block - 1) / block * 256);
    std::string plain;
    ASSERT_TRUE(policy.decrypt(server.key->get(), reinterpret_cast<const uint8_t*>(cipher.data()),
                               cipher.size(), &plain));
    EXPECT_EQ(plain, data);
    EXPECT_FALSE(policy.decrypt(client_party().key->get(),
                                reinterpret_cast<const uint8_t*>(cipher.data()), cipher.size(),
                                &plain));
  }
  EXPECT_EQ(SecurityPolicy::find("Basic256Sha256")->plain_block(server.key->get()), 214u);
  EXPECT_EQ(SecurityPolicy::find("Aes256_Sha256_RsaPss")->plain_block(server.key->get()), 190u);
  // OAEP with SHA-1 is not readable as OAEP with SHA-256.
  std::string cipher;
  ASSERT_TRUE(SecurityPolicy::find("Basic256Sha256")
                  ->encrypt(server.certificate->public_key(), bytes, 10, &cipher));
  std::string plain;
  EXPECT_FALSE(SecurityPolicy::find("Aes256_Sha256_RsaPss")
                   ->decrypt(server.key->get(), reinterpret_cast<const uint8_t*>(cipher.data()),
                             cipher.size(), &plain));
}

TEST(CertificateTest, SelfSignedCarriesWhatServersCheck) {
  TempDir dir;
  const Party& client = client_party();
  const std::string path = dir.path() + "/cert.der";
  std::string error;
  ASSERT_TRUE(client.certificate->save(path, &error)) << error;
  const std::string text = run("openssl x509 -inform DER -noout -text -in " + path);
  EXPECT_NE(text.find("URI:urn:test:client"), std::string::npos) << text;
  EXPECT_NE(text.find("IP Address:127.0.0.1"), std::string::npos) << text;
  EXPECT_NE(text.find("Digital Signature, Non Repudiation, Key Encipherment, Data Encipherment"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("TLS Web Server Authentication, TLS Web Client Authentication"),
            std::string::npos);
  EXPECT_NE(text.find("sha256WithRSAEncryption"), std::string::npos);
  EXPECT_NE(text.find("Public-Key: (2048 bit)"), std::string::npos);

  std::string fingerprint = run("openssl x509 -inform DER -noout -fingerprint -sha1 -in " + path);
  std::string hex;
  for (char c : fingerprint.substr(fingerprint.find('=') + 1)) {
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  }
  EXPECT_EQ(client.certificate->thumbprint_hex(), hex);
  EXPECT_EQ(client.certificate->thumbprint().size(), 20u);
  EXPECT_EQ(client.certificate->application_uri(), "urn:test:client");
  EXPECT_TRUE(client.certificate->matches(client.key->get()));
  EXPECT_FALSE(client.certificate->matches(server_party().key->get()));
}

TEST(CertificateTest, LoadsPemAndDerAndRefusesGarbage) {
  TempDir dir;
  const std::string der = dir.path() + "/c.der";
  const std::string pem = dir.path() + "/c.pem";
  std::string error;
  ASSERT_TRUE(server_party().certificate->save(der, &error));
  run("openssl x509 -inform DER -in " + der + " -out " + pem);
  EXPECT_EQ(Certificate::load(pem).der(), server_party().certificate->der());
  EXPECT_EQ(Certificate::load(der).der(), server_party().certificate->der());
  write_file(dir.path() + "/junk", "not a certificate");
  EXPECT_THROW(Certificate::load(dir.path() + "/junk"), std::runtime_error);
  EXPECT_THROW(Certificate::load(dir.path() + "/missing"), std::runtime_error);
  EXPECT_THROW(Certificate::from_der(server_party().certificate->der().substr(0, 100)),
               std::runtime_error);
}

TEST(PkiStoreTest, MakesTheIdentityOnceAndReusesIt) {
  TempDir dir;
  PkiStore store(dir.path() + "/pki");
  Certificate first_cert;
  PrivateKey first_key;
  bool created = false;
  std::string error;
  ASSERT_TRUE(store.load_identity("", "", "urn:host:weft", "gateway", &first_cert, &first_key,
                                  &created, &error))
      << error;
  EXPECT_TRUE(created);
  EXPECT_EQ(first_cert.application_uri(), "urn:host:weft");
  struct stat st;
  ASSERT_EQ(::stat(store.own_key_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  Certificate second_cert;
  PrivateKey second_key;
  ASSERT_TRUE(store.load_identity("", "", "urn:host:weft", "gateway", &second_cert, &second_key,
                                  &created, &error))
      << error;
  EXPECT_FALSE(created);
  EXPECT_EQ(second_cert.der(), first_cert.der());
  EXPECT_TRUE(second_cert.matches(second_key.get()));
}

TEST(PkiStoreTest, ConfiguredFilesMustBelongTogether) {
  TempDir dir;
  PkiStore store(dir.path());
  std::string error;
  ASSERT_TRUE(client_party().certificate->save(dir.path() + "/c.der", &error));
  ASSERT_TRUE(client_party().key->save(dir.path() + "/c.pem", &error));
  ASSERT_TRUE(server_party().key->save(dir.path() + "/s.pem", &error));
  Certificate cert;
  PrivateKey key;
  bool created = true;
  ASSERT_TRUE(store.load_identity(dir.path() + "/c.der", dir.path() + "/c.pem", "urn:x", "", &cert,
                                  &key, &created, &error))
      << error;
  EXPECT_FALSE(created);
  EXPECT_EQ(cert.der(), client_party().certificate->der());
  EXPECT_FALSE(store.load_identity(dir.path() + "/c.der", dir.path() + "/s.pem", "urn:x", "", &cert,
                                   &key, &created, &error));
  EXPECT_NE(error.find("does not belong"), std::string::npos) << error;
  EXPECT_FALSE(
      store.load_identity(dir.path() + "/c.der", "", "urn:x", "", &cert, &key, &created, &error));
}

TEST(PkiStoreTest, TrustsOnlyWhatIsInTheTrustedFolder) {
  TempDir dir;
  PkiStore store(dir.path());
  const Certificate& server = *server_party().certificate;
  EXPECT_FALSE(store.is_trusted(server));
  const std::string rejected = store.reject(server);
  EXPECT_EQ(rejected, dir.path() + "/rejected/" + server.thumbprint_hex() + ".der");
  EXPECT_EQ(Certificate::load(rejected).der(), server.der());
  EXPECT_FALSE(store.is_trusted(server));

  // A PEM copy under any name counts; other files are ignored.
  ::mkdir(store.trusted_dir().c_str(), 0755);
  write_file(store.trusted_dir() + "/readme.txt", "hello");
  std::string error;
  ASSERT_TRUE(client_party().certificate->save(store.trusted_dir() + "/other.der", &error));
  EXPECT_FALSE(store.is_trusted(server));
  run("openssl x509 -inform DER -in " + rejected + " -out " + store.trusted_dir() + "/plc.pem");
  EXPECT_TRUE(store.is_trusted(server));
}

// A client and the server side seen by a second ChunkSecurity with the
// roles swapped: its "own" identity is the server's and its nonces come in
// the other order, so it derives the server's keys.
struct ChannelPair {
  ChunkSecurity client;
  ChunkSecurity server;

  ChannelPair(const char* policy, ChunkSecurity::Mode mode) {
    const SecurityPolicy& p = *SecurityPolicy::find(policy);
    client.configure(p, mode, client_party().certificate, client_party().key,
                     server_party().certificate);
    server.configure(p, mode, server_party().certificate, server_party().key,
                     client_party().certificate);
  }

  void install(uint32_t token, const std::string& client_nonce, const std::string& server_nonce) {
    std::string error;
    ASSERT_TRUE(client.install_token(token, client_nonce, server_nonce, &error)) << error;
    ASSERT_TRUE(server.install_token(token, server_nonce, client_nonce, &error)) << error;
  }
};

std::vector<uint8_t> message_chunk(uint32_t token, const std::string& body) {
  return SecureChannel::chunk("MSG", 'F', 7, token, 42, 9,
                              reinterpret_cast<const uint8_t*>(body.data()), body.size());
}

bool contains(const std::vector<uint8_t>& haystack, const std::string& needle) {
  const std::vector<uint8_t> bytes(needle.begin(), needle.end());
  return std::search(haystack.begin(), haystack.end(), bytes.begin(), bytes.end()) !=
         haystack.end();
}

TEST(ChunkSecurityTest, MessagesRoundTripUnderEveryPolicyAndMode) {
  const std::string body = "Read request body " + counting(65, 40);
  for (const char* name : {"Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss"}) {
    for (auto mode : {ChunkSecurity::Mode::kSign, ChunkSecurity::Mode::kSignAndEncrypt}) {
      SCOPED_TRACE(std::string(name) + (mode == ChunkSecurity::Mode::kSign ? " Sign" : " Enc"));
      ChannelPair pair(name, mode);
      pair.install(1, counting(1, 32), counting(101, 32));
      const std::vector<uint8_t> plain = message_chunk(1, body);
      std::vector<uint8_t> chunk = plain;
      std::string error;
      ASSERT_TRUE(pair.client.seal(&chunk, 16, &error)) << error;
      const uint32_t size = chunk[4] | chunk[5] << 8 | chunk[6] << 16 | chunk[7] << 24;
      EXPECT_EQ(size, chunk.size());
      if (mode == ChunkSecurity::Mode::kSign) {
        EXPECT_EQ(chunk.size(), plain.size() + 32);
        EXPECT_TRUE(contains(chunk, body));
      } else {
        EXPECT_EQ((chunk.size() - 16) % 16, 0u);
        EXPECT_FALSE(contains(chunk, "Read request"));
      }
      std::vector<uint8_t> opened = chunk;
      ASSERT_TRUE(pair.server.unseal(&opened, &error)) << error;
      EXPECT_EQ(opened, plain);

      // Any flipped byte after the header is caught.
      for (size_t at : {size_t{12}, size_t{20}, chunk.size() / 2, chunk.size() - 1}) {
        std::vector<uint8_t> tampered = chunk;
        tampered[at] ^= 0x10;
        EXPECT_FALSE(pair.server.unseal(&tampered, &error)) << "byte " << at;
      }
      // The client's own keys do not open what it sent: directions differ.
      std::vector<uint8_t> wrong_side = chunk;
      EXPECT_FALSE(pair.client.unseal(&wrong_side, &error));
    }
  }
}

TEST(ChunkSecurityTest, KeysFollowTheTokens) {
  ChannelPair pair("Basic256Sha256", ChunkSecurity::Mode::kSignAndEncrypt);
  pair.install(1, counting(1, 32), counting(101, 32));
  std::string error;
  std::vector<uint8_t> unknown = message_chunk(5, "x");
  EXPECT_FALSE(pair.client.seal(&unknown, 16, &error));
  EXPECT_NE(error.find("no keys"), std::string::npos);

  std::vector<uint8_t> old_token = message_chunk(1, "sent before the renewal");
  ASSERT_TRUE(pair.client.seal(&old_token, 16, &error));
  pair.install(2, counting(2, 32), counting(102, 32));
  std::vector<uint8_t> new_token = message_chunk(2, "sent after the renewal");
  ASSERT_TRUE(pair.client.seal(&new_token, 16, &error));
  // Both tokens are still open; a third renewal drops the first.
  std::vector<uint8_t> a = old_token;
  std::vector<uint8_t> b = new_token;
  EXPECT_TRUE(pair.server.unseal(&a, &error)) << error;
  EXPECT_TRUE(pair.server.unseal(&b, &error)) << error;
  pair.install(3, counting(3, 32), counting(103, 32));
  a = old_token;
  EXPECT_FALSE(pair.server.unseal(&a, &error));
  EXPECT_NE(error.find("unknown channel token 1"), std::string::npos) << error;
  b = new_token;
  EXPECT_TRUE(pair.server.unseal(&b, &error)) << error;

  // A short nonce is refused.
  EXPECT_FALSE(pair.client.install_token(4, counting(1, 32), counting(1, 16), &error));
}

TEST(ChunkSecurityTest, BodyRoomFillsAChunkExactly) {
  for (auto mode : {ChunkSecurity::Mode::kSign, ChunkSecurity::Mode::kSignAndEncrypt}) {
    ChannelPair pair("Aes128_Sha256_RsaOaep", mode);
    pair.install(1, counting(1, 32), counting(101, 32));
    for (size_t chunk_size : {size_t{8192}, size_t{8200}, size_t{65536}}) {
      const size_t room = pair.client.body_room(chunk_size);
      std::vector<uint8_t> chunk = message_chunk(1, std::string(room, 'x'));
      std::string error;
      ASSERT_TRUE(pair.client.seal(&chunk, 16, &error));
      EXPECT_LE(chunk.size(), chunk_size);
      EXPECT_GT(chunk.size() + 16, chunk_size);
      ASSERT_TRUE(pair.server.unseal(&chunk, &error)) << error;
      EXPECT_EQ(chunk.size(), 24 + room);
    }
  }
}

TEST(ChunkSecurityTest, EncryptedChunkDecryptsWithTheOpensslCommandLine) {
  // With the nonces of the P_SHA256 vector the client's keys are that stream:
  // client keys = P_SHA256(server nonce, client nonce).
  ChannelPair pair("Basic256Sha256", ChunkSecurity::Mode::kSignAndEncrypt);
  pair.install(1, kSeed, kSecret);
  const std::string body = "plain text the server must read";
  std::vector<uint8_t> chunk = message_chunk(1, body);
  std::string error;
  ASSERT_TRUE(pair.client.seal(&chunk, 16, &error)) << error;

  TempDir dir;
  write_file(dir.path() + "/cipher", std::string(chunk.begin() + 16, chunk.end()));
  const std::string stream(kPSha256);
  const std::string plain =
      run("openssl enc -d -aes-256-cbc -nopad -K " + stream.substr(64, 64) + " -iv " +
          stream.substr(128, 32) + " -in " + dir.path() + "/cipher");
  ASSERT_EQ(plain.size(), chunk.size() - 16);
  // Sequence number 42, request id 9, the body, then padding and the HMAC.
  EXPECT_EQ(plain.substr(0, 8), std::string("\x2a\0\0\0\x09\0\0\0", 8));
  EXPECT_EQ(plain.substr(8, body.size()), body);
  const size_t padding = static_cast<unsigned char>(plain[plain.size() - 33]);
  EXPECT_EQ(8 + body.size() + padding + 1 + 32, plain.size());

  std::string header(chunk.begin(), chunk.begin() + 16);
  write_file(dir.path() + "/signed", header + plain.substr(0, plain.size() - 32));
  const std::string mac =
      run("openssl dgst -sha256 -mac HMAC -macopt hexkey:" + stream.substr(0, 64) + " -r " +
          dir.path() + "/signed");
  EXPECT_EQ(mac.substr(0, 64), to_hex(plain.substr(plain.size() - 32)));
}

TEST(ChunkSecurityTest, OpenRequestIsSignedAndEncryptedForTheServer) {
  for (const char* name : {"Basic256Sha256", "Aes256_Sha256_RsaPss"}) {
    SCOPED_TRACE(name);
    ChannelPair pair(name, ChunkSecurity::Mode::kSign);
    ByteWriter header;
    pair.client.write_asymmetric_header(header);
    const std::string body = "OpenSecureChannel request with a nonce";
    const std::vector<uint8_t> plain =
        SecureChannel::chunk("OPN", 'F', 0, 0, 1, 1, reinterpret_cast<const uint8_t*>(body.data()),
                             body.size(), &header);
    const size_t header_end = plain.size() - 8 - body.size();
    std::vector<uint8_t> chunk = plain;
    std::string error;
    ASSERT_TRUE(pair.client.seal(&chunk, header_end, &error)) << error;
    EXPECT_FALSE(contains(chunk, "OpenSecureChannel"));  // encrypted even in mode Sign
    EXPECT_EQ((chunk.size() - header_end) % 256, 0u);
    EXPECT_TRUE(contains(chunk, client_party().certificate->der()));

    std::vector<uint8_t> opened = chunk;
    ASSERT_TRUE(pair.server.unseal(&opened, &error)) << error;
    EXPECT_EQ(opened, plain);

    std::vector<uint8_t> tampered = chunk;
    tampered[tampered.size() - 5] ^= 1;
    EXPECT_FALSE(pair.server.unseal(&tampered, &error));
    // The same bytes from a peer whose certificate we were not given.
    ChunkSecurity stranger;
    stranger.configure(*SecurityPolicy::find(name), ChunkSecurity::Mode::kSign,
                       server_party().certificate, server_party().key, server_party().certificate);
    std::vector<uint8_t> copy = chunk;
    EXPECT_FALSE(stranger.unseal(&copy, &error));
    EXPECT_NE(error.find("another certificate"), std::string::npos) << error;
  }
}

TEST(ChunkSecurityTest, PolicyNoneLeavesChunksAlone) {
  ChunkSecurity none;
  EXPECT_FALSE(none.secured());
  std::vector<uint8_t> chunk = message_chunk(1, "plain");
  const std::vector<uint8_t> before = chunk;
  std::string error;
  EXPECT_TRUE(none.seal(&chunk, 16, &error));
  EXPECT_TRUE(none.unseal(&chunk, &error));
  EXPECT_EQ(chunk, before);
  EXPECT_EQ(none.body_room(8192), 8192u - 24);
}

TEST(SecurityOptionsTest, ReadsAndChecksTheSecurityOptions) {
  PlaneOptions options;
  std::string error;
  ASSERT_TRUE(PlaneOptions::parse(R"({"transport_addr":"opc.tcp://h"})", &options, &error));
  EXPECT_EQ(options.security_policy, "None");
  EXPECT_EQ(options.pki_dir, "./pki");
  EXPECT_FALSE(options.trust_on_first_use);
  ASSERT_TRUE(PlaneOptions::parse(
      R"({"transport_addr":"opc.tcp://h","security_policy":"auto","security_mode":"Sign",)"
      R"("pki_dir":"/p","user":"u","password":"pw","trust_on_first_use":true})",
      &options, &error))
      << error;
  EXPECT_EQ(options.security_policy, "auto");
  EXPECT_EQ(options.security_mode, "Sign");
  EXPECT_EQ(options.user, "u");
  EXPECT_EQ(options.password, "pw");
  EXPECT_TRUE(options.trust_on_first_use);
  for (
      const char* bad :
      {R"({"transport_addr":"opc.tcp://h","security_policy":"Basic128Rsa15"})",
       R"({"transport_addr":"opc.tcp://h","security_mode":"None"})",
       R"({"transport_addr":"opc.tcp://h","security_policy":1})",
       R"({"transport_addr":"opc.tcp://h","trust_on_first_use":"yes"})",
       R"({"transport_addr":"opc.tcp://h","pki_dir":""})",
       R"({"transport_addr":"opc.tcp://h","user":"u","user_certificate":"c","user_private_key":"k"})",
       R"({"transport_addr":"opc.tcp://h","user_certificate":"c"})"}) {
    EXPECT_FALSE(PlaneOptions::parse(bad, &options, &error)) << bad;
  }
}

TEST(SecurityCodecTest, OpenRequestCarriesModeAndNonce) {
  ServiceCodec::RequestHeader header;
  ByteWriter w;
  ServiceCodec::open_secure_channel(w, header, true, 60000, 3, counting(1, 32));
  const std::vector<uint8_t>& b = w.bytes();
  // After the request header: version, renew, mode 3, nonce of 32, lifetime.
  ASSERT_GE(b.size(), 52u);
  const size_t tail = b.size() - 52;
  EXPECT_EQ(b[tail + 4], 1);    // RequestType Renew
  EXPECT_EQ(b[tail + 8], 3);    // SignAndEncrypt
  EXPECT_EQ(b[tail + 12], 32);  // nonce length
  EXPECT_EQ(b[tail + 16], 1);   // first nonce byte
  EXPECT_EQ(b[tail + 48] | b[tail + 49] << 8 | b[tail + 50] << 16, 60000);
}

TEST(SecurityCodecTest, UserNameTokenLayout) {
  const std::string token = ServiceCodec::user_name_token("pw", "alice", "secret", "");
  // PolicyId, UserName, Password, EncryptionAlgorithm null.
  EXPECT_EQ(token, std::string("\x02\0\0\0pw\x05\0\0\0alice\x06\0\0\0secret\xff\xff\xff\xff", 29));
}

}  // namespace
