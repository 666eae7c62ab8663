// weft-pipe with a ZEBOUTQUEUE block against a real Mosquitto broker: texts
// kept on disk through a broker outage and through kill -9 of the program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/mosquitto_broker.h"
#include "support/mqtt_test_client.h"
#include "support/weft_pipe_run.h"

using namespace std::chrono_literals;
using weft_test::ChildProcess;
using weft_test::MosquittoBroker;
using weft_test::MqttTestClient;

namespace {

size_t count(const std::string& text, const std::string& part) {
  size_t found = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

class QueueBlock : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> run(const std::string& config) {
    return weft_test::run_weft_pipe(config, {{"healthcheck_path", weft_test::temp_path("health")},
                                             {"BROKER", broker_.url()},
                                             {"QUEUE_DIR", queue_dir_}});
  }

  // Waits until the program reports `texts` texts stored in its queue.
  static bool wait_for_pushes(ChildProcess& pipe, size_t texts) {
    for (int i = 0; i < 1000; ++i) {
      if (count(pipe.out(), "[debug] Pushed ") >= texts) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  // The texts of a REPSTR with counter, "Test 0", "Test 1", ..., each once and
  // in order. A number may be missing only if the generator's link overflowed
  // before the queue saw the text; the tests count what the queue stored.
  static void expect_in_order(const std::vector<std::pair<std::string, std::string>>& messages) {
    long last = -1;
    for (size_t i = 0; i < messages.size(); ++i) {
      const std::string& text = messages[i].second;
      ASSERT_EQ(text.rfind("Test ", 0), 0u) << text;
      const long number = std::stol(text.substr(5));
      ASSERT_GT(number, last) << "at " << i;
      last = number;
    }
  }

  static constexpr const char* kProducer = R"({
    "blocks": {
      "gen": {"type": "REPSTR", "config": {"delay": 40, "append_counter": "true"}},
      "q": {"type": "ZEBOUTQUEUE", "config": {"transport_addr": "$BROKER", "method": "PUB",
            "node_ref": "queue/out", "options": {"qos": 1}, "directory": "$QUEUE_DIR",
            "log_level": "debug"}}
    },
    "mappings": {"gen:output": "q:input"}
  })";

  MosquittoBroker broker_;
  std::string queue_dir_ = weft_test::temp_path("queue");
};

}  // namespace

TEST_F(QueueBlock, KeepsTextsWhileTheBrokerIsDownAndDeliversThemInOrder) {
  broker_.stop();
  auto pipe = run(kProducer);
  ASSERT_TRUE(wait_for_pushes(*pipe, 25)) << pipe->out() << pipe->err();
  EXPECT_NE(pipe->out().find("[error] ZEB error:"), std::string::npos);
  // Held still while the subscriber gets ready, so nothing is published to a
  // broker nobody listens on yet.
  ASSERT_EQ(::kill(pipe->pid(), SIGSTOP), 0);
  const size_t stored = count(pipe->out(), "[debug] Pushed ");
  ASSERT_TRUE(broker_.start());
  MqttTestClient subscriber(broker_.port());
  ASSERT_TRUE(subscriber.subscribe("queue/out", 1));
  ASSERT_EQ(::kill(pipe->pid(), SIGCONT), 0);

  ASSERT_TRUE(subscriber.wait_for(stored + 10, 30s))
      << subscriber.messages().size() << " of " << stored << "\n"
      << pipe->out();
  const auto messages = subscriber.messages();
  EXPECT_EQ(messages.front().second, "Test 0");
  expect_in_order(messages);
  EXPECT_TRUE(pipe->running());
}

TEST_F(QueueBlock, RestartAfterKillNineDeliversWhatWasQueued) {
  broker_.stop();
  size_t stored = 0;
  {
    auto pipe = run(kProducer);
    ASSERT_TRUE(wait_for_pushes(*pipe, 30)) << pipe->out() << pipe->err();
    pipe->kill();
    stored = count(pipe->out(), "[debug] Pushed ");
  }
  ASSERT_TRUE(broker_.start());
  MqttTestClient subscriber(broker_.port());
  ASSERT_TRUE(subscriber.subscribe("queue/out", 1));
  // Only the queue this time: what it sends is what the killed run stored.
  auto pipe = run(R"({
    "blocks": {
      "q": {"type": "ZEBOUTQUEUE", "config": {"transport_addr": "$BROKER", "method": "PUB",
            "node_ref": "queue/out", "options": {"qos": 1}, "directory": "$QUEUE_DIR",
            "max_cache_size": 10, "max_cache_size_units": "mb"}}
    },
    "mappings": {}
  })");
  ASSERT_TRUE(subscriber.wait_for(stored, 30s))
      << subscriber.messages().size() << " of " << stored << "\n"
      << pipe->out();
  std::this_thread::sleep_for(500ms);  // nothing more than that may follow
  const auto messages = subscriber.messages();
  // A text stored in the instant of the kill may not have been logged yet.
  EXPECT_LE(messages.size(), stored + 1);
  EXPECT_EQ(messages.front().second, "Test 0");
  expect_in_order(messages);
}

TEST_F(QueueBlock, QueueDirectoryErrorsEndStartup) {
  const std::string base = weft_test::temp_path("errors");
  ASSERT_EQ(::mkdir(base.c_str(), 0775), 0);
  weft_test::write_file(base + "/file", "not a directory");
  ASSERT_EQ(::mkdir((base + "/record").c_str(), 0775), 0);
  ASSERT_EQ(::mkdir((base + "/record/0").c_str(), 0775), 0);
  ASSERT_EQ(::mkdir((base + "/marker").c_str(), 0775), 0);
  ASSERT_EQ(::mkdir((base + "/marker/0.new").c_str(), 0775), 0);
  struct Case {
    std::string directory;
    std::string extra;
    std::string error;
  };
  const Case cases[] = {
      {base + "/file/queue", "", "Unable to open, or create directory"},
      {base + "/record", "", "Could not open, or create file"},
      {base + "/marker", "", "Could not open, or create new file"},
      {base + "/fine", R"(, "max_cache_size": 150)",
       "max_cache_size percentage must be an int in range (0-100)"},
      {base + "/fine", R"(, "max_cache_size": 1, "max_cache_size_units": "tb")",
       "Invalid max_cache_size_units type"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directory + c.extra);
    auto pipe = run(R"({"blocks": {"q": {"type": "ZEBOUTQUEUE", "config": {
        "transport_addr": "$BROKER", "method": "PUB", "node_ref": "t", "directory": ")" +
                    c.directory + "\"" + c.extra + R"(}}}, "mappings": {}})");
    EXPECT_EQ(pipe->wait_exit(20s), 1);
    EXPECT_EQ(pipe->err(), "ERROR unable to initialize block: q of type: ZEBOUTQUEUE\n\t" +
                               c.error + "\nERROR: Unable to initialize blocks\n");
  }
}
