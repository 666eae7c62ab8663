#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace weft_test {

// A program started for a test, with standard output and standard error going
// to files of its own. Killed (by pid) when the object goes away.
class ChildProcess {
 public:
  // env entries are set on top of the test's own environment; an empty value
  // set as "\x01unset" removes the variable.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env = {},
               const std::string& working_dir = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits for the exit; returns the exit status, or -1 when it did not end in time.
  int wait_exit(std::chrono::milliseconds timeout);
  bool running();
  void kill();

  std::string out() const;
  std::string err() const;
  // Waits until standard output holds `text`; false on timeout or exit.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) const;

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  bool reaped_ = false;
  std::string out_path_;
  std::string err_path_;
};

extern const char* const kUnset;

// Path of a file in a fresh temporary directory of this test run.
std::string temp_path(const std::string& name);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);
// build/ and the source tree, as CTest passes them.
std::string build_dir();
std::string source_dir();

}  // namespace weft_test
