#pragma once

#include <string>

namespace zeb {

// Owns one handle of the dynamic loader; closes it when destroyed unless it
// was closed (or given up) before. Move-only.
//
// Thread rules: one owner thread; the loader's error text is per thread.
class SharedLibrary {
 public:
  SharedLibrary() = default;
  ~SharedLibrary();
  SharedLibrary(SharedLibrary&& other) noexcept;
  SharedLibrary& operator=(SharedLibrary&& other) noexcept;
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // Opens path with lazy binding. On failure the result is empty and error
  // holds the loader's text.
  static SharedLibrary open(const std::string& path, std::string& error);

  explicit operator bool() const { return handle_ != nullptr; }

  // The address of an exported symbol; null with error set when it is missing.
  // The loader's error state is cleared first, so an old error is not taken
  // for this look-up's.
  void* symbol(const char* name, std::string& error) const;

  // Closes the handle now; false with the loader's text when that fails.
  bool close(std::string& error);

 private:
  explicit SharedLibrary(void* handle) : handle_(handle) {}

  void* handle_ = nullptr;
};

}  // namespace zeb
