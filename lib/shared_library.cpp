#include "shared_library.h"

#include <dlfcn.h>

#include <utility>

namespace zeb {

namespace {

std::string loader_error() {
  const char* text = ::dlerror();
  return text != nullptr ? text : "unknown dynamic loader error";
}

}  // namespace

SharedLibrary::~SharedLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

SharedLibrary::SharedLibrary(SharedLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) ::dlclose(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

SharedLibrary SharedLibrary::open(const std::string& path, std::string& error) {
  void* handle = ::dlopen(path.c_str(), RTLD_LAZY);
  if (handle == nullptr) error = loader_error();
  return SharedLibrary(handle);
}

void* SharedLibrary::symbol(const char* name, std::string& error) const {
  ::dlerror();
  void* address = ::dlsym(handle_, name);
  const char* text = ::dlerror();
  if (text != nullptr) {
    error = text;
    return nullptr;
  }
  return address;
}

bool SharedLibrary::close(std::string& error) {
  if (handle_ == nullptr) return true;
  const int rc = ::dlclose(std::exchange(handle_, nullptr));
  if (rc != 0) {
    error = loader_error();
    return false;
  }
  return true;
}

}  // namespace zeb
