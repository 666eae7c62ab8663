#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

extern char** environ;
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace weft_test {

const char* const kUnset = "\x01unset";

namespace {

std::string temp_root() {
  static const std::string root = [] {
    char pattern[] = "/tmp/weft-test-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (dir == nullptr) throw std::runtime_error("mkdtemp failed");
    return std::string(dir);
  }();
  return root;
}

int next_id() {
  static int id = 0;
  return ++id;
}

}  // namespace

std::string temp_path(const std::string& name) {
  return temp_root() + "/" + std::to_string(::getpid()) + "-" + std::to_string(next_id()) + "-" +
         name;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool file_exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

// The environment may point elsewhere (a relocated build); the defaults are
// the directories this support library was configured in.
std::string build_dir() {
  const char* dir = std::getenv("WEFT_BUILD_DIR");
  return dir ? dir : WEFT_TEST_BUILD_DIR;
}

std::string source_dir() {
  const char* dir = std::getenv("WEFT_SOURCE_DIR");
  return dir ? dir : WEFT_TEST_SOURCE_DIR;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& env,
                           const std::string& working_dir)
    : out_path_(temp_path("stdout")), err_path_(temp_path("stderr")) {
  std::vector<std::string> argv_text;
  argv_text.push_back(program);
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  // Built before fork: only async-signal-safe calls may follow it in the child.
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text(*entry);
    const size_t eq = text.find('=');
    if (eq != std::string::npos) merged[text.substr(0, eq)] = text.substr(eq + 1);
  }
  for (const auto& [key, value] : env) {
    if (value == kUnset) {
      merged.erase(key);
    } else {
      merged[key] = value;
    }
  }
  std::vector<std::string> env_text;
  for (const auto& [key, value] : merged) env_text.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int out = ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) ::_exit(126);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    if (!working_dir.empty() && ::chdir(working_dir.c_str()) != 0) ::_exit(126);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
}

ChildProcess::~ChildProcess() {
  kill();
}

int ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!reaped_) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

bool ChildProcess::running() {
  return wait_exit(std::chrono::milliseconds(0)) == -1;
}

void ChildProcess::kill() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    wait_exit(std::chrono::seconds(10));
  }
}

std::string ChildProcess::out() const {
  return read_file(out_path_);
}
std::string ChildProcess::err() const {
  return read_file(err_path_);
}

bool ChildProcess::wait_for_output(const std::string& text,
                                   std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (out().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return out().find(text) != std::string::npos;
}

}  // namespace weft_test
