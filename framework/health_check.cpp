#include "framework/health_check.h"

#include <sys/stat.h>

#include <cstdio>
#include <iostream>

#include "framework/chain_health.h"

namespace qor {

namespace {
bool file_exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}
}  // namespace

bool HealthCheck::create_file(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  return std::fclose(file) == 0;
}

void HealthCheck::operator()() const {
  const bool healthy = ChainHealth::problems().empty();
  if (healthy) {
    if (!file_exists(path_) && !create_file(path_)) {
      std::cerr << "ERROR: Unable to create healthcheck file, container will report unhealthy"
                << std::endl;
    }
  } else if (file_exists(path_) && std::remove(path_.c_str()) != 0) {
    std::cerr << "ERROR: Unable to remove healthcheck file, container will report healthy"
              << std::endl;
  }
}

}  // namespace qor
