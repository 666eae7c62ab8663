#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/child_process.h"
#include "zeb/log.h"

namespace {

// The text of a file log after its lines are on disk.
std::string contents_of(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int count_lines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// File loggers flush when destroyed; each test destroys what it made.
struct FileLog {
  explicit FileLog(const std::string& logger_name, bool truncate = true)
      : name(logger_name), path(weft_test::temp_path(logger_name + ".log")) {
    zeb::create_file_log(name.c_str(), path.c_str(), truncate);
  }
  void* handle() const { return zeb::get_log_safe(name.c_str()); }
  std::string close() {
    zeb::destroy_log(name.c_str());
    return contents_of(path);
  }
  std::string name;
  std::string path;
};

}  // namespace

TEST(NamedLog, NullLoggerStandsInForEmptyAndUnknownNames) {
  void* none = init_null_log();
  EXPECT_EQ(zeb::get_log_safe(nullptr), none);
  EXPECT_EQ(zeb::get_log_safe(""), none);
  EXPECT_EQ(zeb::get_log_safe("no-such-log"), none);
  EXPECT_EQ(zeb::log(none, 5, "%s", "dropped"), 0);
  EXPECT_EQ(zeb::log(nullptr, 5, "%s", "dropped"), 0);
  zeb::destroy_log("none");
  EXPECT_EQ(zeb::get_log_safe(""), none) << "the fallback survives a destroy";
}

TEST(NamedLog, LevelsFilterLines) {
  FileLog log("levels");
  EXPECT_EQ(zeb::log(log.handle(), 1, "debug %d", 1), 0) << "a new logger starts at info";
  zeb::log_debug(log.handle(), "hidden");
  zeb::log_info(log.handle(), "shown %s", "info");
  zeb::set_log_level("levels", 1);
  zeb::log_debug(log.handle(), "now debug shows");
  EXPECT_EQ(zeb::log(log.handle(), 6, "off is not a message level"), 0);
  EXPECT_EQ(zeb::log(log.handle(), -1, "nor is -1"), 0);
  zeb::set_log_level("levels", 6);
  zeb::log_critical(log.handle(), "silenced");
  const std::string text = log.close();
  EXPECT_EQ(count_lines(text), 2) << text;
  EXPECT_NE(text.find("[levels] [info] shown info"), std::string::npos) << text;
  EXPECT_NE(text.find("[levels] [debug] now debug shows"), std::string::npos) << text;
}

TEST(NamedLog, LongMessagesAreCutTo2047Bytes) {
  FileLog log("long");
  const std::string message(3000, 'x');
  EXPECT_EQ(zeb::log(log.handle(), 4, "%s", message.c_str()), 1);
  const std::string text = log.close();
  EXPECT_NE(text.find(std::string(2047, 'x') + "\n"), std::string::npos);
  EXPECT_EQ(text.find(std::string(2048, 'x')), std::string::npos);
}

TEST(NamedLog, CreatingTwiceKeepsTheLoggerAndItsLevel) {
  zeb::create_stdout_log("twice");
  zeb::set_log_level("twice", 4);
  void* first = zeb::get_log_safe("twice");
  zeb::create_stdout_log("twice");
  EXPECT_EQ(zeb::get_log_safe("twice"), first);
  EXPECT_EQ(zeb::log(first, 3, "warn is below error"), 0);
  EXPECT_EQ(zeb::log(first, 4, "error passes"), 1);
  zeb::destroy_log("twice");
  EXPECT_EQ(zeb::get_log_safe("twice"), init_null_log());
}

TEST(NamedLog, LevelSetBeforeCreationDoesNotCarryOver) {
  zeb::set_log_level("early", 0);
  FileLog log("early");
  EXPECT_EQ(zeb::log(log.handle(), 1, "debug"), 0);
  log.close();
}

TEST(NamedLog, FileLogAppendsOrTruncates) {
  const std::string path = weft_test::temp_path("append.log");
  weft_test::write_file(path, "old line\n");
  zeb::create_file_log("appender", path.c_str(), false);
  zeb::log_error(zeb::get_log_safe("appender"), "new line");
  zeb::destroy_log("appender");
  std::string text = contents_of(path);
  EXPECT_EQ(text.rfind("old line\n", 0), 0u);
  EXPECT_NE(text.find("new line"), std::string::npos);

  zeb::create_file_log("truncater", path.c_str(), true);
  zeb::log_error(zeb::get_log_safe("truncater"), "only line");
  zeb::destroy_log("truncater");
  text = contents_of(path);
  EXPECT_EQ(text.find("old line"), std::string::npos);
  EXPECT_EQ(count_lines(text), 1);
}

TEST(NamedLog, UnopenableFileRaises) {
  // Beneath a regular file no directory can be made.
  const std::string file = weft_test::temp_path("plain-file");
  weft_test::write_file(file, "");
  EXPECT_ANY_THROW(zeb::create_file_log("nowhere", (file + "/x.log").c_str(), true));
  EXPECT_EQ(zeb::get_log_safe("nowhere"), init_null_log());
}
