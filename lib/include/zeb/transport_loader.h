#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zeb/export.h"
#include "zeb/transport.h"

namespace zeb {

class TransportExtInfo;

// Finds transport plug-ins at run time, loads them, and keeps a table from
// URL scheme to transport. Every client and connection mapping owns a loader
// of its own, and so its own transport objects.
//
// Search path: the path given to initialize_transports; else the environment
// variable ZEB_EXT_LIB_PATH when set (even when empty); else "ext_lib" relative
// to the working directory followed by the installation's plug-in folder, found
// relative to this library's own file so that a copy installed or unpacked
// anywhere finds its own plug-ins. Directories are separated by ':' and empty
// pieces are skipped. Every file whose name contains "zebt_" is tried, in
// directory order; problems with a directory or file are logged and skip only
// it. On a given path a later plug-in takes over a scheme; in the default search
// the earlier folder keeps it, and a file already loaded from "ext_lib" is not
// loaded again from the installation.
//
// Ownership: the loader owns the plug-ins and their transports; destroying it
// destroys every transport (through the plug-in's cleanup_transport) and
// unloads the libraries, so nothing a transport handed out may be used later.
// Thread rules: no lock. initialize_transports runs once, before the loader is
// shared; the find_transport look-ups may then run on any number of threads.
class ZEB_EXPORT TransportLoader {
 public:
  TransportLoader();
  // Logger name for the loader's lines and its transports; null gives "".
  explicit TransportLoader(const char* log_name);
  ~TransportLoader();
  TransportLoader(const TransportLoader&) = delete;
  TransportLoader& operator=(const TransportLoader&) = delete;

  // Loads every plug-in found on the search path (path, or the default when
  // null). Never fails; a loader without transports is valid.
  void initialize_transports(const char* path = nullptr);

  // 1 and the transport registered under exactly this scheme, or 0 and null.
  int find_transport(const char* scheme, Transport** out) const;
  // 1 and the transport with this id (its position in the order of loading),
  // or 0 and null.
  int find_transport(int id, Transport** out) const;

 private:
  struct Search;
  void load_directory(const std::string& dir, Search& search);
  void load_plugin(const std::string& dir, const char* name, Search& search);

  std::map<std::string, Transport*> schemes_;
  std::vector<std::unique_ptr<TransportExtInfo>> plugins_;
  std::string log_name_;
};

}  // namespace zeb
