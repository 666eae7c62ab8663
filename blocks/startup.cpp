#include "blocks/startup.h"

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <args.hxx>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "blocks/block_factory.h"
#include "blocks/chain_builder.h"
#include "blocks/config_block.h"
#include "blocks/env_substitution.h"
#include "blocks/monitor/listen_address.h"
#include "blocks/monitor/monitor_server.h"
#include "blocks/monitor/service_notifier.h"
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
constexpr int kDefaultShutdownTimeout = 10;

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kStartupContinues = -1;

struct Options {
  bool list = false;
  bool version = false;
  bool check = false;
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
  args::Flag check(utility_group, "check",
                   "Check the configuration: build the chain without running it, list every "
                   "problem, exit 0 when there is none",
                   {"check"});
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
  options.check = check;
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

// Reads the configuration file and replaces its environment references.
int load_document(const std::string& path, json& document) {
  std::ifstream stream(path);
  if (!stream.is_open()) return fail("ERROR: Unable to open config file: " + path);

  try {
    document = json::parse(stream);
  } catch (const std::exception& e) {
    // Read errors (a directory, say) land here as well as syntax errors.
    return fail(std::string("ERROR: Unable to parse JSON\n\t") + e.what());
  }
  substitute_environment(document);
  return kStartupContinues;
}

// Where the monitoring endpoint listens: "$service_listen" when it is set,
// else the configuration's "service": {"listen": ...}; *wanted is false when
// neither asks for one. Returns the problem, or "" when there is none.
std::string monitor_address(const json& document, ListenAddress* address, bool* wanted) {
  std::string text = resolve_value("$service_listen");
  if (text.empty() && document.is_object() && document.contains("service")) {
    const json& service = document["service"];
    if (!service.is_null() && !service.is_object()) return "\"service\" must be an object";
    if (service.is_object() && service.contains("listen")) {
      if (!service["listen"].is_string()) return "\"service\": \"listen\" must be a string";
      text = service["listen"].get<std::string>();
    }
  }
  *wanted = !text.empty();
  if (!*wanted) return "";
  std::string error;
  if (!ListenAddress::parse(text, address, &error)) return "monitoring address " + error;
  return "";
}

// Builds the chain: blocks, then links. The builder keeps the blocks alive
// for the life of the process.
int build_chain(const json& document, ChainBuilder& builder) {
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
  return kStartupContinues;
}

// Builds the whole chain of the file, with every block's plane and plug-in,
// but starts no block and connects nowhere; lists every problem found.
int check_configuration(const std::string& path) {
  if (!path_accessible(path)) return fail("ERROR: Unable to open config file: " + path);
  json document;
  int status = load_document(path, document);
  if (status != kStartupContinues) return status;
  ConfigBlock::set_checking(true);
  ChainBuilder builder(std::cerr);
  size_t problems = 0;
  if (!document.is_object() || !document.contains("blocks")) {
    return fail("ERROR: Unable to read blocks portion of config file");
  }
  if (!document["blocks"].is_object() && !document["blocks"].is_null()) {
    return fail("ERROR: The blocks portion of config file must be an object");
  }
  builder.create_blocks(document, true);
  if (!document.contains("mappings")) {
    std::cerr << "ERROR: Unable to read mappings portion of config file" << std::endl;
    ++problems;
  } else if (!document["mappings"].is_object() && !document["mappings"].is_null()) {
    std::cerr << "ERROR: The mappings portion of config file must be an object" << std::endl;
    ++problems;
  } else {
    builder.map_blocks(document);
  }
  builder.check_blocks();
  ListenAddress address;
  bool wanted = false;
  const std::string service_problem = monitor_address(document, &address, &wanted);
  if (!service_problem.empty()) {
    std::cerr << "ERROR: " << service_problem << std::endl;
    ++problems;
  }
  problems += builder.problems();
  if (problems > 0) {
    std::cerr << "Configuration " << path << ": " << problems
              << (problems == 1 ? " problem" : " problems") << std::endl;
    return kExitError;
  }
  std::cout << "Configuration " << path << ": OK" << std::endl;
  return kExitOk;
}

// A number of seconds from the environment reference `reference`, or
// `fallback` when it resolves to nothing; false when it is not a 32-bit
// integer. Leading blanks are allowed and text after the digits ignored.
bool seconds_setting(const char* reference, int fallback, int& seconds) {
  const std::string text = resolve_value(reference);
  if (text.empty()) {
    seconds = fallback;
    return true;
  }
  try {
    seconds = std::stoi(text);
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
  if (!seconds_setting("$healthcheck_interval", kDefaultHealthInterval, interval))
    return fail("ERROR: healthcheck_interval must be an integer");
  try {
    timer = std::make_unique<qor::FDTimer>(interval);
    timer->set_callback(qor::HealthCheck(path));
    timer->start();
  } catch (const std::system_error& e) {
    std::cerr << "ERROR: Unable to start healthcheck timer: " << e.code().message() << std::endl;
  }
  return kStartupContinues;
}

// SIGTERM and SIGINT, blocked in every thread (the mask is inherited) and
// taken by the main thread with sigwait: no work happens in a signal handler.
sigset_t stop_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

int wait_for_signal(const sigset_t& signals) {
  int signal_number = 0;
  while (sigwait(&signals, &signal_number) != 0) {
  }
  return signal_number;
}

// What the thread that stops the chain is doing, so that the main thread can
// tell at the deadline what was left behind. `lock` guards everything but
// `done`; the stopping thread destroys a block only while it holds `lock` and
// `abandoned` is false, so the main thread may read the blocks' ports under it.
struct StopProgress {
  enum class Step { kIntake, kDraining, kClosing };
  std::mutex lock;
  Step step = Step::kIntake;
  bool abandoned = false;
  std::string block;  // the input being stopped or the block being closed
  std::atomic<bool> done{false};
};

// What watches the running chain: the health-file timer, the monitoring
// endpoint and the service manager's watchdog. All of them call into the
// blocks, so they end before any block is destroyed.
struct Supervision {
  std::unique_ptr<qor::FDTimer> timer;
  std::unique_ptr<MonitorServer> server;
  ServiceNotifier notifier;

  void end() {
    server.reset();
    timer.reset();
  }
};

// Inputs stop first; then the chain is drained, in chain order; then every
// block is destroyed (its clients freed), feeding blocks first.
void stop_chain(ChainBuilder& builder, Supervision& supervision,
                const std::vector<qor::Block*>& order, StopProgress& progress) {
  using Step = StopProgress::Step;
  for (qor::Block* block : order) {
    if (!qor::BlockChain::is_input(*block)) continue;
    {
      std::lock_guard<std::mutex> guard(progress.lock);
      progress.block = block->name();
    }
    block->stop_intake();
  }
  {
    std::lock_guard<std::mutex> guard(progress.lock);
    progress.step = Step::kDraining;
  }
  while (!qor::BlockChain::drained(order)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  {
    std::lock_guard<std::mutex> guard(progress.lock);
    if (progress.abandoned) return;
    progress.step = Step::kClosing;
  }
  supervision.end();
  for (qor::Block* block : order) {
    std::lock_guard<std::mutex> guard(progress.lock);
    if (progress.abandoned) return;
    progress.block = block->name();
    builder.destroy_block(block);
  }
  std::lock_guard<std::mutex> guard(progress.lock);
  progress.done = true;
}

// One write per line: block threads print to standard output at the same time.
void say(const std::string& text) {
  std::cout << text + "\n" << std::flush;
}

[[noreturn]] void leave_now(int status) {
  std::cout.flush();
  std::cerr.flush();
  ::_exit(status);
}

// Runs after the first stop signal. 0 once every message inside the chain has
// reached its output and every block is gone. At the deadline the process
// ends anyway (status 1), saying what it left behind; a second signal ends it
// at once (status 128 + the signal).
int stop_orderly(ChainBuilder& builder, Supervision& supervision, int timeout,
                 const sigset_t& signals) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(timeout);
  say("Stopping: taking no new messages, delivering those in the chain");
  supervision.notifier.stopping();
  const std::vector<qor::Block*> order =
      qor::BlockChain::chain_order(qor::BlockChain::instance().blocks());
  StopProgress progress;
  std::thread stopper([&] {
    try {
      stop_chain(builder, supervision, order, progress);
    } catch (const std::exception& e) {
      std::cerr << "ERROR: Orderly stop failed: " << e.what() << std::endl;
      leave_now(kExitError);
    }
  });
  while (!progress.done) {
    const timespec slice = {0, 20 * 1000 * 1000};
    const int signal_number = sigtimedwait(&signals, nullptr, &slice);
    if (signal_number > 0) {
      std::cerr << "ERROR: Second signal: stopping at once" << std::endl;
      leave_now(128 + signal_number);
    }
    if (Clock::now() < deadline) continue;
    std::lock_guard<std::mutex> guard(progress.lock);
    if (progress.done) break;
    progress.abandoned = true;
    std::cerr << "ERROR: Orderly stop took longer than " << timeout
              << " s; left behind:" << std::endl;
    if (progress.step == StopProgress::Step::kClosing) {
      std::cerr << "\tblock " << progress.block << " still closing its connections" << std::endl;
    } else {
      if (progress.step == StopProgress::Step::kIntake) {
        std::cerr << "\tblock " << progress.block << " still stopping its intake" << std::endl;
      }
      const std::vector<std::string> held = qor::BlockChain::held_messages(order);
      for (const std::string& line : held) std::cerr << "\t" << line << std::endl;
      if (held.empty() && progress.step == StopProgress::Step::kDraining) {
        std::cerr << "\tmessages still being handled by blocks" << std::endl;
      }
    }
    leave_now(kExitError);
  }
  stopper.join();
  say("Stopped");
  return kExitOk;
}

}  // namespace

int run_weft_pipe(int argc, char** argv) {
  const auto started = std::chrono::steady_clock::now();
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
  if (options.check) return check_configuration(choose_config_path(options));

  // Before any other thread exists, so that every thread inherits the mask.
  const sigset_t signals = stop_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  int timeout = 0;
  if (!seconds_setting("$shutdown_timeout", kDefaultShutdownTimeout, timeout) || timeout < 0) {
    return fail("ERROR: shutdown_timeout must be a non-negative integer");
  }

  const std::string path = choose_config_path(options);
  ChainBuilder builder(std::cerr);
  Supervision supervision;
  json document;
  const bool waiting = !path_accessible(path);
  if (waiting) {
    std::cout << "Waiting for config file: " << path << std::endl;
  } else {
    status = load_document(path, document);
    if (status != kStartupContinues) return status;
    status = build_chain(document, builder);
    if (status != kStartupContinues) return status;
  }

  ListenAddress address;
  bool monitored = false;
  const std::string problem = monitor_address(document, &address, &monitored);
  if (!problem.empty()) return fail("ERROR: " + problem);
  // Every block has taken what it needs: the document (megabytes with a large
  // data map) is given back before the blocks' threads allocate theirs.
  document = json();
  ::malloc_trim(0);
  if (monitored) {
    supervision.server = std::make_unique<MonitorServer>(
        ChainMetrics([&builder](const std::string& name) { return builder.type_of(name); }, started,
                     WEFT_VERSION));
    std::string error;
    if (!supervision.server->start(address, &error)) {
      return fail("ERROR: Unable to start the monitoring endpoint: " + error);
    }
    std::cout << "Monitoring endpoint on http://" << address.text() << std::endl;
  }

  if (!waiting) {
    try {
      qor::BlockChain::instance().start();
    } catch (...) {
      return fail("ERROR: Failed to start weft block chain");
    }
  }

  status = arm_health_check(supervision.timer);
  if (status != kStartupContinues) return status;
  supervision.notifier.ready();

  wait_for_signal(signals);
  if (waiting) return kExitOk;
  return stop_orderly(builder, supervision, timeout, signals);
}
