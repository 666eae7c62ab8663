// weft-pipe against a broker that asks for TLS and a login: credentials and
// client certificates carry messages both ways; a wrong password, an
// untrusted CA and a host-name mismatch each say why and back off.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/mosquitto_broker.h"
#include "support/mqtt_test_client.h"
#include "support/test_certificates.h"
#include "support/weft_pipe_run.h"

using namespace std::chrono_literals;
using weft_test::BrokerSecurity;
using weft_test::MosquittoBroker;
using weft_test::MqttTestClient;
using weft_test::TestCertificates;

namespace {

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

class MqttSecure : public ::testing::Test {
 protected:
  MqttSecure() : broker_(security()) {}

  BrokerSecurity security() const {
    return BrokerSecurity{certs_.ca_file(),
                          certs_.server_cert(),
                          certs_.server_key(),
                          {{"weft", "s3cret"}},
                          "user weft\ntopic readwrite secure/#\n"
                          "user weft-client\ntopic readwrite secure/#\n"};
  }
  std::string tls_url(const char* host = "localhost") const {
    return std::string("mqtts://") + host + ":" + std::to_string(broker_.tls_port());
  }
  std::string mtls_url() const {
    return "mqtts://localhost:" + std::to_string(broker_.mtls_port());
  }

  // A ZEBIN block "name" subscribed to `topic` with `options`, into "dump".
  static std::string input(const std::string& name, const std::string& url_var,
                           const std::string& topic, const std::string& options) {
    return "\"" + name + R"(": {"type": "ZEBIN", "config": {"transport_addr": "$)" + url_var +
           R"(", "method": "SUB", "node_ref": ")" + topic + R"(", "options": )" + options + "}}";
  }

  TestCertificates certs_;
  MosquittoBroker broker_;
};

}  // namespace

// Two relays through the broker's TLS listeners: one subscribes with a user
// name and password (the password from the environment) and publishes with a
// client certificate, the other the reverse.
TEST_F(MqttSecure, CredentialsAndClientCertificatesCarryMessagesBothWays) {
  const std::string login = R"({"username": "weft", "password": "$PASS", "ca_file": "$CA"})";
  const std::string cert =
      R"({"ca_file": "$CA", "cert_file": "$CERT", "key_file": "$KEY", "tls_version": "tlsv1.3"})";
  const std::string config = "{\"blocks\": {" + input("in1", "LOGIN", "secure/a", login) + ", " +
                             input("in2", "MTLS", "secure/c", cert) + R"(,
      "out1": {"type": "ZEBOUT", "config": {"transport_addr": "$MTLS", "method": "PUB",
                                             "node_ref": "secure/b", "options": )" +
                             cert + R"(}},
      "out2": {"type": "ZEBOUT", "config": {"transport_addr": "$LOGIN", "method": "PUB",
                                             "node_ref": "secure/d", "options": )" +
                             login + R"(}}
    },
    "mappings": {"in1:output": "out1:input", "in2:output": "out2:input"}})";
  auto pipe = weft_test::run_weft_pipe(config, {{"healthcheck_path", weft_test::temp_path("h")},
                                                {"LOGIN", tls_url()},
                                                {"MTLS", mtls_url()},
                                                {"PASS", "s3cret"},
                                                {"CA", certs_.ca_file()},
                                                {"CERT", certs_.client_cert()},
                                                {"KEY", certs_.client_key()}});
  MqttTestClient watcher(broker_.port());
  ASSERT_TRUE(watcher.subscribe("secure/#", 1));
  MqttTestClient sender(broker_.port());
  const auto relayed = [&](const std::string& topic) {
    for (const auto& message : watcher.messages()) {
      if (message.first == topic) return true;
    }
    return false;
  };
  // Until both subscriptions are in place.
  for (int i = 0; i < 100 && !(relayed("secure/b") && relayed("secure/d")); ++i) {
    sender.publish("secure/a", "probe");
    sender.publish("secure/c", "probe");
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(relayed("secure/b") && relayed("secure/d")) << pipe->out() << pipe->err();

  // A burst in both directions (no more than a block's input queue holds)
  // arrives whole, none of it left waiting in a decrypted TLS record that the
  // socket no longer shows.
  const size_t before = watcher.messages().size();
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(sender.publish("secure/a", "a" + std::to_string(i), 1));
    ASSERT_TRUE(sender.publish("secure/c", "c" + std::to_string(i), 1));
  }
  ASSERT_TRUE(watcher.wait_for(before + 80, 4s)) << watcher.messages().size() - before;
  size_t relayed_b = 0;
  size_t relayed_d = 0;
  for (const auto& [topic, payload] : watcher.messages()) {
    if (topic == "secure/b" && payload[0] == 'a') ++relayed_b;
    if (topic == "secure/d" && payload[0] == 'c') ++relayed_d;
  }
  EXPECT_EQ(relayed_b, 20u);
  EXPECT_EQ(relayed_d, 20u);
  EXPECT_EQ(occurrences(pipe->out() + pipe->err(), "failed"), 0u) << pipe->out() << pipe->err();
  // The broker saw the client certificate's name as the user.
  const std::string log = broker_.log();
  EXPECT_NE(log.find("u'weft-client'"), std::string::npos) << log;
  EXPECT_NE(log.find("u'weft'"), std::string::npos) << log;
}

// Each refusal (and a client certificate missing) names its own cause, once per attempt, and the
// attempts back off (at 0, 1 and 3 s within the time watched).
TEST_F(MqttSecure, WrongPasswordUntrustedCaAndNameMismatchEachSayWhyAndBackOff) {
  const std::string config =
      "{\"blocks\": {" +
      input("password", "GOOD", "secure/x",
            R"({"username": "weft", "password": "wrong", "ca_file": "$CA"})") +
      ", " +
      input("untrusted", "GOOD", "secure/x",
            R"({"username": "weft", "password": "s3cret", "ca_file": "$OTHER"})") +
      ", " +
      input("mismatch", "BYADDRESS", "secure/x",
            R"({"username": "weft", "password": "s3cret", "ca_file": "$CA"})") +
      ", " + input("nocert", "MTLS", "secure/x", R"({"ca_file": "$CA"})") +
      R"(, "d": {"type": "DUMPSTRINGBLOCK"}},
    "mappings": {"password:output": "d:input"}})";
  auto pipe = weft_test::run_weft_pipe(config, {{"healthcheck_path", weft_test::temp_path("h")},
                                                {"GOOD", tls_url()},
                                                {"BYADDRESS", tls_url("127.0.0.1")},
                                                {"MTLS", mtls_url()},
                                                {"CA", certs_.ca_file()},
                                                {"OTHER", certs_.other_ca_file()}});
  std::this_thread::sleep_for(4500ms);
  ASSERT_TRUE(pipe->running());
  const std::string log = pipe->out() + pipe->err();
  const std::string port = std::to_string(broker_.tls_port());
  const std::string lines[] = {
      "MQTT: Connection to localhost:" + port +
          " failed: refused by the broker: Connection Refused: not authorised.",
      "MQTT: Connection to localhost:" + port +
          // The broker sends its CA along, which the other CA did not sign.
          " failed: the broker's certificate is not trusted: self-signed certificate in "
          "certificate chain",
      "MQTT: Connection to 127.0.0.1:" + port +
          " failed: the broker's certificate does not name host \"127.0.0.1\"",
      // TLS 1.3 lets the broker refuse the missing client certificate only
      // after the handshake, with an alert.
      "MQTT: Connection to localhost:" + std::to_string(broker_.mtls_port()) +
          " failed: TLS: tlsv13 alert certificate required",
  };
  for (const std::string& line : lines) {
    EXPECT_GE(occurrences(log, line), 2u) << line << "\n" << log;
    EXPECT_LE(occurrences(log, line), 4u) << line << "\n" << log;
  }
  // Nothing else failed, and nothing got through.
  EXPECT_EQ(occurrences(log, "failed: "), occurrences(log, lines[0]) + occurrences(log, lines[1]) +
                                              occurrences(log, lines[2]) +
                                              occurrences(log, lines[3]))
      << log;
  EXPECT_EQ(occurrences(broker_.log(), "u'weft'"), 0u) << broker_.log();
}
