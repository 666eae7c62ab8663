#pragma once

#include <string>

#include "support/child_process.h"
#include "zeb/log.h"

namespace weft_test {

// A log file of its own for one test; the text once the logger is gone.
// Header only: it needs libzeb, which only some users of the support library
// link.
class CapturedLog {
 public:
  explicit CapturedLog(const std::string& name, int level = 0)
      : name_(name), path_(temp_path(name + ".log")) {
    zeb::create_file_log(name_.c_str(), path_.c_str(), true);
    zeb::set_log_level(name_.c_str(), level);
  }
  ~CapturedLog() { close(); }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  const char* name() const { return name_.c_str(); }
  void* logger() const { return zeb::get_log_safe(name_.c_str()); }
  // Everything logged; the log ends here, so call it once its users are gone.
  std::string text() {
    close();
    return read_file(path_);
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

// How often part occurs in text.
inline size_t occurrences(const std::string& text, const std::string& part) {
  size_t found = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

}  // namespace weft_test
