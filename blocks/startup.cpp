#include "blocks/startup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <args.hxx>

#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "blocks/block_factory.h"
#include "blocks/chain_builder.h"
#include "blocks/env_substitution.h"
#include "framework/block_chain.h"
#include "framework/fd_timer.h"
#include "framework/health_check.h"

using nlohmann::json;

namespace {

constexpr const char* kDescription =
    "The Zororuvu Zudoduvuru can be used to string together any number of blocks to translate "
    "one protocol to another, as well as format, and transform the data";
constexpr const char* kDefaultConfig = "config.json";
constexpr const char* kDefaultHealthPath = "/tmp/isHealthy";
constexpr int kDefaultHealthInterval = 30;

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kStartupContinues = -1;

struct Options {
  bool list = false;
  bool version = false;
  std::string config_file;
  bool has_config_file = false;
};

// -1 to go on with start-up, else the exit status.
int parse_command_line(int argc, char** argv, Options& options) {
  args::ArgumentParser parser(kDescription, "");
  args::HelpFlag help(parser, "help", "Display this help menu\n", {'h', "help"});
  args::Group config_group(parser, "Config:");
  args::ValueFlag<std::string> config_file(config_group, "config_file",
                                           "Read the configuration from a specified file",
                                           {'f', "config-file"});
  args::Group utility_group(parser, "Utility:");
  args::Flag list(utility_group, "list", "List the available block types", {'l', "list"});
  args::Flag version(utility_group, "version", "Print the version and exit", {"version"});
  try {
    parser.ParseCLI(argc, argv);
  } catch (const args::Help&) {
    std::cerr << parser;
    return kExitError;
  } catch (const args::Error& e) {
    std::cerr << e.what() << std::endl << parser;
    return kExitError;
  }
  options.list = list;
  options.version = version;
  options.has_config_file = bool(config_file);
  if (options.has_config_file) options.config_file = args::get(config_file);
  return kStartupContinues;
}

void list_block_types() {
  std::cout << "Available block types: " << std::endl;
  for (const auto& entry : block_factories()) std::cout << "\t" << entry.first << std::endl;
}

std::string choose_config_path(const Options& options) {
  if (options.has_config_file) return options.config_file;
  const std::string from_env = resolve_value("$config");
  return from_env.empty() ? kDefaultConfig : from_env;
}

bool path_accessible(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

int fail(const std::string& line) {
  std::cerr << line << std::endl;
  return kExitError;
}

// Loads, checks and builds the chain, then starts its threads. The builder
// keeps the blocks alive for the life of the process.
int build_chain(const std::string& path, ChainBuilder& builder) {
  std::ifstream stream(path);
  if (!stream.is_open()) return fail("ERROR: Unable to open config file: " + path);

  json document;
  try {
    document = json::parse(stream);
  } catch (const std::exception& e) {
    // Read errors (a directory, say) land here as well as syntax errors.
    return fail(std::string("ERROR: Unable to parse JSON\n\t") + e.what());
  }
  document = substitute_environment(document);

  if (!document.is_object() || !document.contains("blocks")) {
    return fail("ERROR: Unable to read blocks portion of config file");
  }
  if (!document["blocks"].is_object() && !document["blocks"].is_null()) {
    return fail("ERROR: The blocks portion of config file must be an object");
  }
  if (builder.create_blocks(document) != 0) return fail("ERROR: Unable to initialize blocks");

  if (!document.contains("mappings")) {
    return fail("ERROR: Unable to read mappings portion of config file");
  }
  if (!document["mappings"].is_object() && !document["mappings"].is_null()) {
    return fail("ERROR: The mappings portion of config file must be an object");
  }
  builder.map_blocks(document);

  try {
    qor::BlockChain::instance().start();
  } catch (...) {
    return fail("ERROR: Failed to start weft block chain");
  }
  return kStartupContinues;
}

// The interval in seconds from "$healthcheck_interval"; false when it is not a
// 32-bit integer. Leading blanks are allowed and text after the digits ignored.
bool health_interval(int& interval) {
  const std::string text = resolve_value("$healthcheck_interval");
  if (text.empty()) {
    interval = kDefaultHealthInterval;
    return true;
  }
  try {
    interval = std::stoi(text);
    return true;
  } catch (const std::logic_error&) {
    return false;
  }
}

// Creates the health file and arms the periodic check. The timer is never
// destroyed: it runs until the process ends.
int arm_health_check(std::unique_ptr<qor::FDTimer>& timer) {
  std::string path = resolve_value("$healthcheck_path");
  if (path.empty()) path = kDefaultHealthPath;
  if (!qor::HealthCheck::create_file(path)) {
    std::cerr << "ERROR: Unable to create healthcheck file, container will report unhealthy"
              << std::endl;
  }
  int interval = 0;
  if (!health_interval(interval)) return fail("ERROR: healthcheck_interval must be an integer");
  try {
    timer = std::make_unique<qor::FDTimer>(interval);
    timer->set_callback(qor::HealthCheck(path));
    timer->start();
  } catch (const std::system_error& e) {
    std::cerr << "ERROR: Unable to start healthcheck timer: " << e.code().message() << std::endl;
  }
  return kStartupContinues;
}

}  // namespace

int run_weft_pipe(int argc, char** argv) {
  Options options;
  int status = parse_command_line(argc, argv, options);
  if (status != kStartupContinues) return status;
  if (options.version) {
    std::cout << "weft-pipe " << WEFT_VERSION << std::endl;
    return kExitOk;
  }
  if (options.list) {
    list_block_types();
    return kExitOk;
  }

  const std::string path = choose_config_path(options);
  ChainBuilder builder(std::cerr);
  if (path_accessible(path)) {
    status = build_chain(path, builder);
    if (status != kStartupContinues) return status;
  } else {
    std::cout << "Waiting for config file: " << path << std::endl;
  }

  std::unique_ptr<qor::FDTimer> timer;
  status = arm_health_check(timer);
  if (status != kStartupContinues) return status;

  for (;;) ::sleep(1);
}
