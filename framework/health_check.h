#pragma once

#include <string>

namespace qor {

// Liveness through a file: after each check the file exists exactly when the
// chain has no health problem (ChainHealth). Runs on the timer thread.
class HealthCheck {
 public:
  explicit HealthCheck(std::string path) : path_(std::move(path)) {}

  void operator()() const;

  // Creates (or empties) the file; false when that fails.
  static bool create_file(const std::string& path);

 private:
  std::string path_;
};

}  // namespace qor
