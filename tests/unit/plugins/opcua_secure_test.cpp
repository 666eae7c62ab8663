// The OPC UA plug-in over signed and encrypted channels and with user
// identities, against the test server (tests/opcua_server) started with a
// certificate the test makes with the openssl command line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "opcua_test_plane.h"
#include "support/child_process.h"
#include "support/opcua_test_server.h"
#include "zeb/log.h"
#include "zeb/status.h"

using namespace std::chrono_literals;
using weft_test::Clock;
using weft_test::collect;
using weft_test::OpcuaPlane;
using weft_test::OpcuaTestServer;
using weft_test::Received;

namespace {

const char* const kQuick =
    R"(,"timeout_ms":3000,"reconnect_max_ms":500,"publishing_interval_ms":100,)"
    R"("sampling_interval_ms":50,"keep_alive_count":5)";

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

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

// A file log of a plane at debug level, read after the plane is gone.
class PlaneLog {
 public:
  explicit PlaneLog(const std::string& name)
      : name_(name), path_(weft_test::temp_path(name + ".log")) {
    zeb::create_file_log(name_.c_str(), path_.c_str(), true);
    zeb::set_log_level(name_.c_str(), 1);
  }
  ~PlaneLog() { close(); }
  const char* name() const { return name_.c_str(); }
  // Everything logged; the log ends here, so call it once its plane is gone.
  std::string text() {
    close();
    return weft_test::read_file(path_);
  }

 private:
  void close() {
    if (open_) zeb::destroy_log(name_.c_str());
    open_ = false;
  }

  std::string name_;
  std::string path_;
  bool open_ = true;
};

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// Get, set and subscribe over one plane.
void exercise(OpcuaPlane& plane) {
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
  Received received;
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
  OpcuaTestServer server(
      pki.server_args(std::string("None,") + GetParam().policy, GetParam().mode));
  PlaneLog log(std::string("secure_") + GetParam().policy + GetParam().mode);
  {
    OpcuaPlane plane(server.url(), pki.options(GetParam().policy, GetParam().mode), "plane",
                     log.name());
    exercise(plane);
  }
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
  {
    OpcuaPlane plane(server.url(), pki.options("Basic256Sha256", "SignAndEncrypt",
                                               R"(,"user":"alice","password":"s3cret")"));
    exercise(plane);
  }
  PlaneLog log("secure_wrong_password");
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
  OpcuaTestServer server(
      pki.server_args("None,Basic256Sha256", "SignAndEncrypt", {"--user", "bob:pa55"}));
  OpcuaPlane plane(server.url(), std::string(kQuick) + R"(,"user":"bob","password":"pa55")");
  EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32").second, R"({"type":"int32","val":-32})");
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
  PlaneLog log("secure_untrusted");
  {
    OpcuaPlane plane(server.url(), pki.options("Basic256Sha256", "SignAndEncrypt"), "plane",
                     log.name());
    EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32").first, zeb::kConnectionFailed);
    std::this_thread::sleep_for(3s);
    EXPECT_FALSE(plane.healthy());
    const std::string rejected = pki.client_pki() + "/rejected/" + sha1 + ".der";
    ASSERT_TRUE(exists(rejected));
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
  PlaneLog log("secure_restart");
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
  ASSERT_TRUE(exists(own));
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
  PlaneLog log("secure_auto");
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
