#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "zeb/log.h"
#include "zeb/zeb.h"

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class CInterface : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(zeb_make_registry(nullptr, "", &registry_), 1002);
    ASSERT_NE(registry_, nullptr);
  }
  void TearDown() override { zeb_free_registry(registry_); }
  zeb_registry* registry_ = nullptr;
};

TEST_F(CInterface, RegistryEditsReportOutcomes) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(zeb_reg_add_conn(registry_, "p", "{"), -11);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error adding conn\n");
  EXPECT_EQ(zeb_reg_add_conn(registry_, "p", nullptr), 400);
  EXPECT_EQ(zeb_reg_add_conn(registry_, nullptr, R"({"transport_addr":"loop://x"})"), 400);
  EXPECT_EQ(zeb_reg_add_conn(registry_, "p", R"({"transport_addr":"loop://x"})"), 200);
  EXPECT_EQ(zeb_reg_add_rule(registry_, "p", ZEB_METHOD_GET, "(", nullptr), 400);
  EXPECT_EQ(zeb_reg_add_rule(registry_, "p", ZEB_METHOD_GET, "a", nullptr), 200);
}

TEST_F(CInterface, FailedLoadGivesCodeAndNoHandle) {
  zeb_registry* failed = registry_;
  EXPECT_EQ(zeb_make_registry(nullptr, "{", &failed), -1008);
  EXPECT_EQ(failed, nullptr);
  EXPECT_EQ(zeb_make_client(nullptr, registry_, nullptr), -9);
}

TEST(CInterfaceLog, LevelOutsideTheScaleChangesNothing) {
  zeb_create_stdout_log("c_level");
  void* handle = zeb::get_log_safe("c_level");
  ASSERT_NE(handle, zeb::get_log_safe(nullptr));
  testing::internal::CaptureStdout();
  zeb_set_log_level("c_level", 1);
  EXPECT_EQ(zeb::log(handle, 1, "debug line"), 1);
  zeb_set_log_level("c_level", 7);
  EXPECT_EQ(zeb::log(handle, 1, "debug line"), 1);
  zeb_set_log_level("c_level", -1);
  EXPECT_EQ(zeb::log(handle, 1, "debug line"), 1);
  zeb_set_log_level("c_level", 6);
  EXPECT_EQ(zeb::log(handle, 5, "critical line"), 0);
  testing::internal::GetCapturedStdout();
}

TEST(CInterfaceLog, FileLogThatCannotOpenStaysQuiet) {
  // Below a regular file: no directory can be made there, not even by root.
  const std::string blocker = testing::TempDir() + "c_plain_file";
  std::ofstream(blocker) << "x";
  const std::string path = blocker + "/x.log";
  testing::internal::CaptureStderr();
  zeb_create_file_log("c_bad_file", path.c_str(), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Unable to create log c_bad_file on file " +
                                                        path),
            std::string::npos);
  EXPECT_EQ(zeb::get_log_safe("c_bad_file"), zeb::get_log_safe(nullptr));
}

TEST(CInterfaceLog, FileLogTruncatesOnRequest) {
  const std::string path = testing::TempDir() + "c_file.log";
  std::ofstream(path) << "old line\n";
  zeb_create_file_log("c_file", path.c_str(), 1);
  zeb::log_warn(zeb::get_log_safe("c_file"), "new line");
  zeb::destroy_log("c_file");
  const std::string text = read_all(path);
  EXPECT_EQ(text.find("old line"), std::string::npos);
  EXPECT_NE(text.find("new line"), std::string::npos);
}

}  // namespace
