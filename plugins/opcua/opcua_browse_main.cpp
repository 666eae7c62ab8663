// weft-opcua-browse: lists the variables of an OPC UA server, for writing the
// data_map of the OPC UA blocks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "opcua_browser.h"
#include "opcua_connection.h"
#include "plane_options.h"
#include "zeb/status.h"

namespace {

constexpr const char* kUsage =
    "usage: weft-opcua-browse opc.tcp://HOST[:PORT][/PATH] [--from NODE] [--depth N]\n"
    "                         [--data-map subflat|pollflat|sinkflat]\n"
    "Lists every variable under NODE (default i=85, the Objects folder) down to\n"
    "depth N (default 4): node id, browse path, data type, writable or read-only.\n"
    "With --data-map, prints a data_map for OPCUASUBFLAT, OPCUAPOLLFLAT or\n"
    "OPCUASINKFLAT instead.\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) return usage();
  const std::string url = argv[1];
  std::string from = "i=85";
  int depth = 4;
  std::string kind;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    if (arg == "--from") {
      from = argv[++i];
    } else if (arg == "--depth") {
      depth = std::atoi(argv[++i]);
      if (depth < 1) return usage();
    } else if (arg == "--data-map") {
      kind = argv[++i];
      if (kind != "subflat" && kind != "pollflat" && kind != "sinkflat") return usage();
    } else {
      return usage();
    }
  }
  try {
    NodeId start;
    if (!NodeId::parse(from, &start)) {
      std::fprintf(stderr, "weft-opcua-browse: not a node id: %s\n", from.c_str());
      return 2;
    }
    PlaneOptions options;
    std::string error;
    if (!PlaneOptions::parse(nlohmann::json{{"transport_addr", url}}.dump(), &options, &error)) {
      std::fprintf(stderr, "weft-opcua-browse: %s\n", error.c_str());
      return 2;
    }
    OpcuaConnection connection("browse", options, nullptr);
    connection.wait_first_attempt();
    if (!connection.healthy()) {
      std::fprintf(stderr, "weft-opcua-browse: cannot connect to %s\n", url.c_str());
      return 1;
    }
    OpcuaBrowser browser(&connection);
    std::vector<OpcuaBrowser::Variable> variables;
    const int status = browser.walk(start, depth, &variables);
    if (status != zeb::kSuccess) {
      std::fprintf(stderr, "weft-opcua-browse: browsing %s failed: %s\n", from.c_str(),
                   zeb::status_to_str(status));
      return 1;
    }
    const std::string text = kind.empty() ? OpcuaBrowser::table(variables)
                                          : OpcuaBrowser::data_map(variables, kind).dump(2) + "\n";
    std::fputs(text.c_str(), stdout);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "weft-opcua-browse: %s\n", e.what());
    return 1;
  }
}
