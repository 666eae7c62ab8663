// The OPC UA plug-in over signed and encrypted channels and with user
// identities, against the test server (tests/opcua_server) started with a
// certificate the test makes with the openssl command line.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "opcua_test_plane.h"
#include "support/captured_log.h"
#include "support/child_process.h"
#include "support/loopback_socket.h"
#include "support/opcua_test_server.h"
#include "zeb/log.h"
#include "zeb/status.h"

using namespace std::chrono_literals;
using weft_test::CapturedLog;
using weft_test::Clock;
using weft_test::collect;
using weft_test::occurrences;
using weft_test::OpcuaPlane;
using weft_test::OpcuaTestServer;
using weft_test::Received;

namespace {

const char* const kQuick =
    R"(,"timeout_ms":3000,"reconnect_max_ms":500,"publishing_interval_ms":100,)"
    R"("sampling_interval_ms":50,"keep_alive_count":5)";

int shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

// A self-signed certificate and key as an administrator would make them.
void make_certificate(const std::string& stem, const std::string& uri) {
  ASSERT_EQ(shell("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout " + stem +
                  ".key -out " + stem +
                  ".pem -subj /CN=weft-test -addext "
                  "subjectAltName=URI:" +
                  uri +
                  ",IP:127.0.0.1,DNS:localhost -addext "
                  "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,"
                  "dataEncipherment -addext extendedKeyUsage=serverAuth,clientAuth"),
            0);
}

// Certificates of the server and of the client in a fresh directory; the
// client's PKI folder trusts the server.
class Pki {
 public:
  Pki() : dir_(weft_test::temp_path("secure")) {
    shell("rm -rf " + dir_);
    ::mkdir(dir_.c_str(), 0755);
    make_certificate(dir_ + "/server", "urn:weft-test:server");
    make_certificate(dir_ + "/client", "urn:weft-test:client");
    ::mkdir(client_pki().c_str(), 0755);
    ::mkdir((client_pki() + "/trusted").c_str(), 0755);
  }
  ~Pki() { shell("rm -rf " + dir_); }

  const std::string& dir() const { return dir_; }
  std::string client_pki() const { return dir_ + "/client-pki"; }
  void trust_server() const {
    shell("cp " + dir_ + "/server.pem " + client_pki() + "/trusted/server.pem");
  }

  // Server arguments offering the policies and modes, trusting our client.
  std::vector<std::string> server_args(const std::string& policies, const std::string& modes,
                                       std::vector<std::string> extra = {}) const {
    std::vector<std::string> args = {"--policies",
                                     policies,
                                     "--modes",
                                     modes,
                                     "--cert",
                                     dir_ + "/server.pem",
                                     "--key",
                                     dir_ + "/server.key",
                                     "--application-uri",
                                     "urn:weft-test:server",
                                     "--pki",
                                     dir_ + "/server-pki",
                                     "--trust",
                                     dir_ + "/client.pem"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  // Plane options with our configured certificate.
  std::string options(const std::string& policy, const std::string& mode,
                      const std::string& extra = "") const {
    return std::string(kQuick) + R"(,"security_policy":")" + policy + R"(","security_mode":")" +
           mode + R"(","pki_dir":")" + client_pki() + R"(","certificate":")" + dir_ +
           R"(/client.pem","private_key":")" + dir_ + R"(/client.key")" + extra;
  }

 private:
  std::string dir_;
};

// Get, set and subscribe over one plane; received outlives the plane.
void exercise(OpcuaPlane& plane, Received& received) {
  EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32"),
            std::make_pair(static_cast<int>(zeb::kSuccess),
                           std::string(R"({"type":"int32","val":-32})")));
  const int32_t value = 4711;
  EXPECT_EQ(plane.set("ns=1;s=Int32", opcua_value::kInt32, &value, 4), zeb::kSuccess);
  EXPECT_EQ(plane.get("ns=1;s=Int32").second, R"({"type":"int32","val":4711})");
  // A value larger than one chunk travels in several signed chunks.
  const std::string big(100000, 'w');
  EXPECT_EQ(plane.set("ns=1;s=String", opcua_value::kString, big.data(), big.size()),
            zeb::kSuccess);
  const std::string back = plane.get("ns=1;s=String").second;
  EXPECT_TRUE(back == R"({"type":"string","val":")" + big + "\"}") << back.size() << " bytes";
  ASSERT_EQ(plane.client()->sub("ns=1;s=Counter", collect, &received), zeb::kSuccess);
  ASSERT_TRUE(received.wait_for(3));
  EXPECT_EQ(received.at(2).first, "ns=1;s=Counter");
}

struct Security {
  const char* policy;
  const char* mode;
};

class OpcuaSecureChannel : public ::testing::TestWithParam<Security> {};

}  // namespace

TEST_P(OpcuaSecureChannel, GetSetAndSubscribeWork) {
  Pki pki;
  pki.trust_server();
  // The None endpoint serves the discovery of the secured one.
  const auto args = pki.server_args(std::string("None,") + GetParam().policy, GetParam().mode);
  OpcuaTestServer server(args);
  CapturedLog log(std::string("secure_") + GetParam().policy + GetParam().mode);
  Received received;
  {
    OpcuaPlane plane(
        server.url(),
        pki.options(GetParam().policy, GetParam().mode, R"(,"token_lifetime_ms":3000)"), "plane",
        log.name());
    exercise(plane, received);
    // Past a renewal of the 3 s token the channel still carries requests.
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32").first, zeb::kSuccess);
    // A restarted server gets a new secured channel and session.
    server.stop();
    ASSERT_TRUE(plane.wait_healthy(false, 5s));
    const size_t before = received.count();
    ASSERT_TRUE(server.start(args));
    ASSERT_TRUE(plane.wait_healthy(true, 30s));
    ASSERT_TRUE(received.wait_for(before + 2));
  }
  EXPECT_GE(occurrences(log.text(), "secure channel token"), 1u) << log.text();
  EXPECT_NE(
      log.text().find(std::string("using security ") + GetParam().policy + " " + GetParam().mode),
      std::string::npos)
      << log.text();
}

INSTANTIATE_TEST_SUITE_P(Policies, OpcuaSecureChannel,
                         ::testing::Values(Security{"Basic256Sha256", "SignAndEncrypt"},
                                           Security{"Basic256Sha256", "Sign"},
                                           Security{"Aes128_Sha256_RsaOaep", "SignAndEncrypt"},
                                           Security{"Aes128_Sha256_RsaOaep", "Sign"},
                                           Security{"Aes256_Sha256_RsaPss", "SignAndEncrypt"},
                                           Security{"Aes256_Sha256_RsaPss", "Sign"}),
                         [](const ::testing::TestParamInfo<Security>& param) {
                           return std::string(param.param.policy) + "_" + param.param.mode;
                         });

TEST(OpcuaSecurity, UserAndPasswordLogInAndAWrongPasswordIsRefusedWithALogLine) {
  Pki pki;
  pki.trust_server();
  OpcuaTestServer server(
      pki.server_args("None,Basic256Sha256", "SignAndEncrypt", {"--user", "alice:s3cret"}));
  Received received;
  {
    OpcuaPlane plane(server.url(), pki.options("Basic256Sha256", "SignAndEncrypt",
                                               R"(,"user":"alice","password":"s3cret")"));
    exercise(plane, received);
  }
  CapturedLog log("secure_wrong_password");
  {
    OpcuaPlane plane(
        server.url(),
        pki.options("Basic256Sha256", "SignAndEncrypt", R"(,"user":"alice","password":"wrong")"),
        "plane", log.name());
    EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32").first, zeb::kConnectionFailed);
    std::this_thread::sleep_for(3s);  // several attempts on the back-off
    EXPECT_FALSE(plane.healthy());
  }
  const std::string text = log.text();
  EXPECT_EQ(occurrences(text, "[error] OPC UA: " + server.url() +
                                  " refused the login as user alice: ActivateSession refused"),
            1u)
      << text;
  // It went on trying on the back-off, logging the refusal as an error once.
  EXPECT_GE(occurrences(text, "ActivateSession refused: 0x801F0000"), 3u) << text;
}

TEST(OpcuaSecurity, PasswordIsEncryptedForTheTokenPolicyOverANoneChannel) {
  Pki pki;
  pki.trust_server();  // the certificate the password is encrypted for
  OpcuaTestServer server(
      pki.server_args("None,Basic256Sha256", "SignAndEncrypt", {"--user", "bob:pa55"}));
  CapturedLog log("secure_none_password");
  {
    OpcuaPlane plane(server.url(),
                     std::string(kQuick) + R"(,"user":"bob","password":"pa55","pki_dir":")" +
                         pki.client_pki() + "\"",
                     "plane", log.name());
    EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32").second, R"({"type":"int32","val":-32})");
  }
  const std::string text = log.text();
  EXPECT_NE(text.find("using security None for " + server.url() + " as user bob"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("password of user bob encrypted with "
                      "http://www.w3.org/2001/04/xmlenc#rsa-oaep"),
            std::string::npos)
      << text;
}

TEST(OpcuaSecurity, UntrustedServerIsRefusedOnceInTheLogUntilTrusted) {
  Pki pki;
  OpcuaTestServer server(pki.server_args("None,Basic256Sha256", "SignAndEncrypt"));
  ASSERT_EQ(std::system(("openssl x509 -in " + pki.dir() +
                         "/server.pem -noout -fingerprint -sha1 | "
                         "sed 's/.*=//; s/://g' | tr -d '\\n' > " +
                         pki.dir() + "/fp")
                            .c_str()),
            0);
  const std::string sha1 = weft_test::read_file(pki.dir() + "/fp");
  ASSERT_EQ(sha1.size(), 40u);
  CapturedLog log("secure_untrusted");
  {
    OpcuaPlane plane(server.url(), pki.options("Basic256Sha256", "SignAndEncrypt"), "plane",
                     log.name());
    EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32").first, zeb::kConnectionFailed);
    std::this_thread::sleep_for(3s);
    EXPECT_FALSE(plane.healthy());
    const std::string rejected = pki.client_pki() + "/rejected/" + sha1 + ".der";
    ASSERT_TRUE(weft_test::file_exists(rejected));
    // Moved into trusted/, it is accepted on the next attempt.
    shell("mv " + rejected + " " + pki.client_pki() + "/trusted/");
    ASSERT_TRUE(plane.wait_healthy(true, 20s));
    EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32").first, zeb::kSuccess);
  }
  const std::string text = log.text();
  EXPECT_EQ(occurrences(text, "[error] OPC UA: refused the untrusted certificate of " +
                                  server.url() + ", SHA-1 thumbprint " + sha1),
            1u)
      << text;
  EXPECT_NE(text.find("into " + pki.client_pki() + "/trusted/"), std::string::npos) << text;
}

TEST(OpcuaSecurity, ReconnectsAfterAServerRestartAndRenewsTokens) {
  Pki pki;
  pki.trust_server();
  const auto args = pki.server_args("Basic256Sha256", "SignAndEncrypt");
  OpcuaTestServer server(args);
  CapturedLog log("secure_restart");
  Received received;
  {
    // This server offers no None endpoint to discover it: its certificate is
    // configured instead.
    OpcuaPlane plane(server.url(),
                     pki.options("Basic256Sha256", "SignAndEncrypt",
                                 R"(,"token_lifetime_ms":3000,"server_certificate":")" + pki.dir() +
                                     "/server.pem\""),
                     "plane", log.name());
    ASSERT_EQ(plane.client()->sub("ns=1;s=Counter", collect, &received), zeb::kSuccess);
    // Long enough for at least two renewals of a 3 s token.
    std::this_thread::sleep_for(6s);
    EXPECT_TRUE(plane.healthy());
    server.stop();
    ASSERT_TRUE(plane.wait_healthy(false, 5s));
    const size_t before = received.count();
    ASSERT_TRUE(server.start(args));
    ASSERT_TRUE(plane.wait_healthy(true, 30s));
    ASSERT_TRUE(received.wait_for(before + 3));
    EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32").first, zeb::kSuccess);
  }
  EXPECT_GE(occurrences(log.text(), "secure channel token"), 2u) << log.text();
}

TEST(OpcuaSecurity, ApplicationCertificateIsMadeOnceAndReused) {
  Pki pki;
  pki.trust_server();
  const std::string own = pki.client_pki() + "/own/cert.der";
  const std::string options = std::string(kQuick) +
                              R"(,"security_policy":"Basic256Sha256","pki_dir":")" +
                              pki.client_pki() + "\"";
  {
    // The server does not know the made certificate yet: no session, but
    // the certificate is there.
    OpcuaTestServer server(pki.server_args("None,Basic256Sha256", "SignAndEncrypt"));
    OpcuaPlane plane(server.url(), options);
    EXPECT_NE(plane.get("ns=1;s=ReadOnly.Int32").first, zeb::kSuccess);
  }
  ASSERT_TRUE(weft_test::file_exists(own));
  const std::string made = weft_test::read_file(own);
  ASSERT_EQ(shell("openssl x509 -inform DER -in " + own +
                  " -noout -ext subjectAltName | grep -q 'URI:urn:weft-pipe:zebt_opcua'"),
            0);
  // Trusted by the server now, the same certificate connects.
  auto args = pki.server_args("None,Basic256Sha256", "SignAndEncrypt");
  args.back() = own;
  OpcuaTestServer server(args);
  OpcuaPlane plane(server.url(), options);
  EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32").second, R"({"type":"int32","val":-32})");
  EXPECT_EQ(weft_test::read_file(own), made);
}

TEST(OpcuaSecurity, AutoPicksTheStrongestOffered) {
  Pki pki;
  pki.trust_server();
  OpcuaTestServer server(pki.server_args(
      "None,Basic256Sha256,Aes256_Sha256_RsaPss,Aes128_Sha256_RsaOaep", "Sign,SignAndEncrypt"));
  CapturedLog log("secure_auto");
  {
    OpcuaPlane plane(server.url(),
                     std::string(kQuick) + R"(,"security_policy":"auto","pki_dir":")" +
                         pki.client_pki() + R"(","certificate":")" + pki.dir() +
                         R"(/client.pem","private_key":")" + pki.dir() + R"(/client.key")",
                     "plane", log.name());
    EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32").first, zeb::kSuccess);
  }
  EXPECT_NE(log.text().find("using security Aes256_Sha256_RsaPss SignAndEncrypt"),
            std::string::npos)
      << log.text();
}

TEST(OpcuaSecurity, X509UserCertificateLogsIn) {
  Pki pki;
  pki.trust_server();
  OpcuaTestServer server(pki.server_args("None,Basic256Sha256", "SignAndEncrypt",
                                         {"--user", "alice:s3cret", "--user-certificates"}));
  OpcuaPlane plane(server.url(), pki.options("Basic256Sha256", "SignAndEncrypt",
                                             R"(,"user_certificate":")" + pki.dir() +
                                                 R"(/client.pem","user_private_key":")" +
                                                 pki.dir() + "/client.key\""));
  EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32").second, R"({"type":"int32","val":-32})");
}

TEST(OpcuaSecurity, TrustOnFirstUseKeepsTheFirstCertificateWhenAsked) {
  Pki pki;
  OpcuaTestServer server(pki.server_args("None,Basic256Sha256", "SignAndEncrypt"));
  OpcuaPlane plane(server.url(), pki.options("Basic256Sha256", "SignAndEncrypt",
                                             R"(,"trust_on_first_use":true)"));
  EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32").first, zeb::kSuccess);
  // The kept copy is the server's certificate, and nothing was rejected.
  EXPECT_EQ(shell("for f in " + pki.client_pki() +
                  "/trusted/*.der; do openssl x509 -inform DER -in $f -noout -subject; done | "
                  "grep -q weft-test"),
            0);
  EXPECT_FALSE(weft_test::file_exists(pki.client_pki() + "/rejected"));
}

namespace {

// Forwards loopback connections to `target_port`, reading what the server
// sends chunk by chunk; once armed, it flips the last byte (the signature)
// of the next MSG chunk, as an attacker on the path would.
class TamperingProxy {
 public:
  explicit TamperingProxy(int target_port) : target_port_(target_port) {
    listener_ = weft_test::listen_loopback(&port_);
    if (listener_ < 0) ADD_FAILURE() << "proxy cannot listen";
    thread_ = std::thread([this] { serve(); });
  }
  ~TamperingProxy() {
    stop_ = true;
    thread_.join();
    for (Pair& pair : pairs_) close_pair(pair);
    ::close(listener_);
  }

  std::string url() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }
  void arm() { armed_ = true; }
  bool fired() const { return fired_; }

 private:
  struct Pair {
    int client;
    int server;
    std::string from_server;  // bytes not yet a whole chunk
  };

  static void close_pair(Pair& pair) {
    ::close(pair.client);
    ::close(pair.server);
  }

  // Whole chunks of pair.from_server go on to the client.
  bool forward_chunks(Pair& pair) {
    std::string& in = pair.from_server;
    while (in.size() >= 8) {
      const uint32_t size = static_cast<uint8_t>(in[4]) | static_cast<uint8_t>(in[5]) << 8 |
                            static_cast<uint8_t>(in[6]) << 16 |
                            static_cast<uint32_t>(static_cast<uint8_t>(in[7])) << 24;
      if (size < 8 || in.size() < size) break;
      std::string chunk = in.substr(0, size);
      in.erase(0, size);
      if (armed_ && chunk.compare(0, 3, "MSG") == 0) {
        chunk[size - 1] = static_cast<char>(chunk[size - 1] ^ 0x01);
        armed_ = false;
        fired_ = true;
      }
      if (::send(pair.client, chunk.data(), chunk.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(chunk.size())) {
        return false;
      }
    }
    return true;
  }

  void serve() {
    while (!stop_) {
      std::vector<pollfd> fds{{listener_, POLLIN, 0}};
      for (Pair& pair : pairs_) {
        fds.push_back({pair.client, POLLIN, 0});
        fds.push_back({pair.server, POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        const int client = ::accept(listener_, nullptr, nullptr);
        const int server = client >= 0 ? weft_test::connect_loopback(target_port_) : -1;
        if (server >= 0) {
          pairs_.push_back(Pair{client, server, {}});
        } else if (client >= 0) {
          ::close(client);
        }
      }
      std::vector<size_t> dead;
      for (size_t i = 1; i < fds.size(); ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        Pair& pair = pairs_[(i - 1) / 2];
        char buffer[65536];
        const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
        bool ok = n > 0;
        if (ok && fds[i].fd == pair.client) {
          ok = ::send(pair.server, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
        } else if (ok) {
          pair.from_server.append(buffer, static_cast<size_t>(n));
          ok = forward_chunks(pair);
        }
        if (!ok) dead.push_back((i - 1) / 2);
      }
      for (auto at = dead.rbegin(); at != dead.rend(); ++at) {
        if (*at >= pairs_.size()) continue;
        close_pair(pairs_[*at]);
        pairs_.erase(pairs_.begin() + static_cast<std::ptrdiff_t>(*at));
      }
    }
  }

  int target_port_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> armed_{false};
  std::atomic<bool> fired_{false};
  std::vector<Pair> pairs_;  // serving thread, then the destructor
  std::thread thread_;
};

}  // namespace

TEST(OpcuaSecurity, ChunkWithABadSignatureEndsTheConnectionWithALogLine) {
  Pki pki;
  pki.trust_server();
  OpcuaTestServer server(pki.server_args("Basic256Sha256", "Sign"));
  TamperingProxy proxy(server.port());
  CapturedLog log("secure_tampered");
  Received received;
  {
    OpcuaPlane plane(proxy.url(),
                     pki.options("Basic256Sha256", "Sign",
                                 R"(,"server_certificate":")" + pki.dir() + "/server.pem\""),
                     "plane", log.name());
    ASSERT_EQ(plane.client()->sub("ns=1;s=Counter", collect, &received), zeb::kSuccess);
    ASSERT_TRUE(received.wait_for(2));
    proxy.arm();
    ASSERT_TRUE(plane.wait_healthy(false, 5s));
    EXPECT_TRUE(proxy.fired());
    // A clean connection afterwards carries on.
    ASSERT_TRUE(plane.wait_healthy(true, 20s));
    const size_t before = received.count();
    ASSERT_TRUE(received.wait_for(before + 2));
  }
  EXPECT_NE(log.text().find("lost: security check failed: bad signature on a chunk"),
            std::string::npos)
      << log.text();
}
