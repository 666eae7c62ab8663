#pragma once

#include <gtest/gtest.h>

#include <string>

#include "zeb/log.h"

// Captures what a named logger writes to standard output, at every level, from
// construction until text() is called. Make it before the object under test,
// which takes its logger handle by name when it is built.
class LogCapture {
 public:
  explicit LogCapture(const char* name) {
    zeb::create_stdout_log(name);
    zeb::set_log_level(name, 0);
    testing::internal::CaptureStdout();
  }
  ~LogCapture() {
    if (!done_) testing::internal::GetCapturedStdout();
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() {
    done_ = true;
    return testing::internal::GetCapturedStdout();
  }

 private:
  bool done_ = false;
};
