#include "zeb/transport_loader.h"

#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "shared_library.h"
#include "transport_ext_info.h"
#include "zeb/log.h"

namespace zeb {

namespace {

constexpr size_t kMaxSchemes = 8;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> dirs;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) dirs.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return dirs;
}

std::string search_path(const char* path) {
  if (path != nullptr) return path;
  const char* env = std::getenv("ZEB_EXT_LIB_PATH");
  return env != nullptr ? env : "ext_lib";
}

// A plug-in may leave its name null; log lines still need a text.
const char* display_name(Transport* transport) {
  const char* name = transport->get_transport_name();
  return name != nullptr ? name : "<unnamed>";
}

}  // namespace

TransportLoader::TransportLoader() = default;

TransportLoader::TransportLoader(const char* log_name)
    : log_name_(log_name != nullptr ? log_name : "") {}

TransportLoader::~TransportLoader() {
  void* log = get_log_safe(log_name_.c_str());
  // In load order, each transport before its library.
  for (auto& plugin : plugins_) {
    std::string error;
    if (!plugin->unload(error)) log_error(log, "DLclose error: %s", error.c_str());
    plugin.reset();
  }
}

void TransportLoader::initialize_transports(const char* path) {
  void* log = get_log_safe(log_name_.c_str());
  std::string found;
  std::string schemes;
  for (const std::string& dir : split_path(search_path(path))) {
    load_directory(dir, log, found, schemes);
  }
  log_debug(log, "TransportLoader: Found transports: %s", found.c_str());
  log_debug(log, "TransportLoader: Supported schemes: %s", schemes.c_str());
}

void TransportLoader::load_directory(const std::string& dir, void* log, std::string& found,
                                     std::string& schemes) {
  log_info(log, "TransportLoader: Searching %s for ZEB extensions", dir.c_str());
  DirHandle handle(::opendir(dir.c_str()));
  if (handle == nullptr) {
    log_warn(log, "Couldn't open transport dir: %s", dir.c_str());
    return;
  }
  while (const dirent* entry = ::readdir(handle.get())) {
    if (std::strstr(entry->d_name, "zebt_") == nullptr) continue;
    load_plugin(dir, entry->d_name, log, found, schemes);
  }
}

void TransportLoader::load_plugin(const std::string& dir, const char* name, void* log,
                                  std::string& found, std::string& schemes) {
  std::string error;
  SharedLibrary library = SharedLibrary::open(dir + "/" + name, error);
  if (!library) {
    log_warn(log, "Can't open shared library: %s", name);
    log_warn(log, "  Err: %s", error.c_str());
    return;
  }
  auto init = reinterpret_cast<zeb_init_transport_fn>(library.symbol("init_transport", error));
  if (init == nullptr) {
    log_warn(log, "Unable to find init_transport from: %s", name);
    return;
  }
  if (library.symbol("get_version", error) == nullptr) {
    log_warn(log, "Unable to find get_version from: %s", name);
    return;
  }
  auto cleanup =
      reinterpret_cast<zeb_cleanup_transport_fn>(library.symbol("cleanup_transport", error));
  if (cleanup == nullptr) {
    // Without it the transport could never be destroyed before its code is unloaded.
    log_warn(log, "Unable to find cleanup from: %s", name);
    return;
  }

  const int id = static_cast<int>(plugins_.size());
  Transport* transport = init(id, log);
  if (transport == nullptr) {
    log_warn(log, "Unable to initialize transport from: %s", name);
    return;
  }
  auto info = std::make_unique<TransportExtInfo>(transport, std::move(library), cleanup);

  found.append(display_name(transport)).append(" [").append(name).append("] ");

  const char** list = transport->get_schemes();
  for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i) {
    const char* scheme = list[i];
    schemes.append(scheme).append(" ");
    const auto existing = schemes_.find(scheme);
    if (existing != schemes_.end()) {
      log_warn(log, "Duplicate transport scheme %s, this will overwrite transport %s", scheme,
               display_name(existing->second));
    }
    schemes_[scheme] = transport;
    if (i + 1 == kMaxSchemes) {
      log_warn(log, "Maximum number of schemes reached for transport %s", display_name(transport));
      break;
    }
  }
  plugins_.push_back(std::move(info));
}

int TransportLoader::find_transport(const char* scheme, Transport** out) const {
  if (out == nullptr) return 0;
  *out = nullptr;
  if (scheme == nullptr) return 0;
  const auto it = schemes_.find(scheme);
  if (it == schemes_.end()) return 0;
  *out = it->second;
  return 1;
}

int TransportLoader::find_transport(int id, Transport** out) const {
  if (out == nullptr) return 0;
  *out = nullptr;
  if (id < 0 || static_cast<size_t>(id) >= plugins_.size()) return 0;
  *out = plugins_[static_cast<size_t>(id)]->transport();
  return 1;
}

}  // namespace zeb
