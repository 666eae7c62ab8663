#include "zeb/transport_loader.h"

#include <dirent.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "shared_library.h"
#include "transport_ext_info.h"
#include "zeb/log.h"

namespace zeb {

namespace {

constexpr size_t kMaxSchemes = 8;
constexpr int kLevelInfo = 2;
constexpr int kLevelWarn = 3;

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

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};

// The installation keeps its plug-ins in a folder beside libzeb's own file, so
// looking there from wherever this library was loaded finds the plug-ins of the
// same installation, whatever its prefix. Symbolic links are resolved first: a
// link to the library elsewhere still leads to the real installation. Empty
// when the library's file cannot be told.
std::string installed_plugin_dir() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&installed_plugin_dir), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  const std::unique_ptr<char, FreeDeleter> real(::realpath(info.dli_fname, nullptr));
  if (real == nullptr) return {};
  const std::string file(real.get());
  return file.substr(0, file.rfind('/') + 1) + ZEB_INSTALLED_PLUGIN_SUBDIR;
}

// A plug-in library is "libzebt_NAME.so" or "zebt_NAME.so" and nothing else:
// a backup such as "libzebt_mqtt.so.old" left beside the real file must never
// be loaded in its place.
bool is_plugin_file_name(const char* name) {
  static const char kSuffix[] = ".so";
  const size_t suffix = sizeof kSuffix - 1;
  std::string text(name);
  if (text.compare(0, 3, "lib") == 0) text.erase(0, 3);
  const size_t prefix = std::strlen("zebt_");
  return text.size() > prefix + suffix && text.compare(0, prefix, "zebt_") == 0 &&
         text.compare(text.size() - suffix, suffix, kSuffix) == 0;
}

// A plug-in may leave its name null; log lines still need a text.
const char* display_name(Transport* transport) {
  const char* name = transport->get_transport_name();
  return name != nullptr ? name : "<unnamed>";
}

}  // namespace

// What one initialize_transports call has gathered so far.
struct TransportLoader::Search {
  void* log = nullptr;
  // The default search: the earlier folder keeps a scheme, a file name is
  // loaded once, and a missing folder is normal.
  bool earlier_wins = false;
  std::string found;
  std::string schemes;
  std::set<std::string> loaded_names;
  std::map<std::string, std::string> scheme_dirs;
};

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
  Search search;
  search.log = get_log_safe(log_name_.c_str());
  std::vector<std::string> dirs;
  const char* env = std::getenv("ZEB_EXT_LIB_PATH");
  if (path != nullptr) {
    dirs = split_path(path);
  } else if (env != nullptr) {
    dirs = split_path(env);
  } else {
    search.earlier_wins = true;
    dirs.push_back("ext_lib");
    const std::string installed = installed_plugin_dir();
    if (!installed.empty()) dirs.push_back(installed);
  }
  for (const std::string& dir : dirs) load_directory(dir, search);

  for (const auto& served : search.scheme_dirs) {
    log_info(search.log, "TransportLoader: Scheme %s served from %s", served.first.c_str(),
             served.second.c_str());
  }
  if (search.earlier_wins && plugins_.empty()) {
    log_warn(search.log,
             "TransportLoader: No ZEB extensions found in ext_lib or the installation; set "
             "ZEB_EXT_LIB_PATH to their folder");
  }
  log_debug(search.log, "TransportLoader: Found transports: %s", search.found.c_str());
  log_debug(search.log, "TransportLoader: Supported schemes: %s", search.schemes.c_str());
}

void TransportLoader::load_directory(const std::string& dir, Search& search) {
  log_info(search.log, "TransportLoader: Searching %s for ZEB extensions", dir.c_str());
  DirHandle handle(::opendir(dir.c_str()));
  if (handle == nullptr) {
    // In the default search either folder may well be absent.
    log(search.log, search.earlier_wins ? kLevelInfo : kLevelWarn,
        "Couldn't open transport dir: %s", dir.c_str());
    return;
  }
  while (const dirent* entry = ::readdir(handle.get())) {
    if (!is_plugin_file_name(entry->d_name)) continue;
    if (search.earlier_wins && search.loaded_names.count(entry->d_name) != 0) {
      log_debug(search.log, "TransportLoader: %s already loaded from an earlier folder, skipped",
                entry->d_name);
      continue;
    }
    load_plugin(dir, entry->d_name, search);
  }
}

void TransportLoader::load_plugin(const std::string& dir, const char* name, Search& search) {
  void* log = search.log;
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

  search.found.append(display_name(transport)).append(" [").append(name).append("] ");

  const char** list = transport->get_schemes();
  for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i) {
    const char* scheme = list[i];
    search.schemes.append(scheme).append(" ");
    const auto existing = schemes_.find(scheme);
    if (existing != schemes_.end() && search.earlier_wins) {
      log_info(log, "TransportLoader: Scheme %s stays with transport %s from %s", scheme,
               display_name(existing->second), search.scheme_dirs[scheme].c_str());
    } else {
      if (existing != schemes_.end()) {
        log_warn(log, "Duplicate transport scheme %s, this will overwrite transport %s", scheme,
                 display_name(existing->second));
      }
      schemes_[scheme] = transport;
      search.scheme_dirs[scheme] = dir;
    }
    if (i + 1 == kMaxSchemes) {
      log_warn(log, "Maximum number of schemes reached for transport %s", display_name(transport));
      break;
    }
  }
  search.loaded_names.insert(name);
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
