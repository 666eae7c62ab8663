#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

// Points the plug-in search path at the test plug-in directories under
// build/tests and puts the environment and working directory back afterwards.
class PluginEnv : public testing::Test {
 public:
  // A directory of test plug-ins, e.g. dir("ext_lib") is build/tests/ext_lib.
  static std::string dir(const std::string& name) {
    const char* build = std::getenv("WEFT_BUILD_DIR");
    return std::string(build != nullptr ? build : ".") + "/tests/" + name;
  }

 protected:
  void SetUp() override {
    const char* old = std::getenv("ZEB_EXT_LIB_PATH");
    had_path_ = old != nullptr;
    if (had_path_) old_path_ = old;
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    old_cwd_ = cwd;
  }
  void TearDown() override {
    if (had_path_) {
      ::setenv("ZEB_EXT_LIB_PATH", old_path_.c_str(), 1);
    } else {
      ::unsetenv("ZEB_EXT_LIB_PATH");
    }
    EXPECT_EQ(::chdir(old_cwd_.c_str()), 0);
  }

  static void search(const std::string& path) { ::setenv("ZEB_EXT_LIB_PATH", path.c_str(), 1); }

 private:
  bool had_path_ = false;
  std::string old_path_;
  std::string old_cwd_;
};
