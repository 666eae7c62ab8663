#include "blocks/config_block.h"

#include <iostream>
#include <stdexcept>

#include "blocks/config_getters.h"
#include "blocks/util/text_case.h"
#include "zeb/log.h"

namespace {
constexpr int kLevelError = 4;
constexpr int kLevelOff = 6;
}  // namespace

ConfigBlock::ConfigBlock(const std::string& name, const nlohmann::json& config)
    : qor::Block(name),
      config_(config),
      log_name_(config_string(config, "log_name", name)),
      log_level_(parse_log_level(config)) {
  // Blocks may share a log by name; only the block that made it takes it down.
  owns_log_ = zeb::get_log_safe(log_name_.c_str()) == init_null_log();
  zeb::create_stdout_log(log_name_.c_str());
  zeb::set_log_level(log_name_.c_str(), log_level_);
  logger_ = zeb::get_log_safe(log_name_.c_str());
}

ConfigBlock::~ConfigBlock() {
  // Ports (members of the derived block) are already gone and have left the
  // port map: after a failed constructor they were never linked, and at the
  // orderly stop every block that fed them went first. Only the threads and
  // the log are left to release.
  join();
  if (owns_log_) zeb::destroy_log(log_name_.c_str());
}

int ConfigBlock::parse_log_level(const nlohmann::json& config) {
  if (!config.is_object() || !config.contains("log_level")) return kLevelOff;
  const nlohmann::json& level = config["log_level"];
  if (level.is_number()) return config_int(config, "log_level");
  if (!level.is_string()) throw std::invalid_argument("log_level must be an int or a string");
  const std::string text = to_lower(level.get<std::string>());
  if (text == "debug") return 1;
  if (text == "info") return 2;
  if (text == "warn") return 3;
  if (text == "err") return 4;
  if (text == "critical") return 5;
  return kLevelOff;
}

void ConfigBlock::report_error(const std::string& what) {
  zeb::log_error(logger_, "%s", what.c_str());
  // With its log silenced the block would fail without a trace.
  if (log_level_ > kLevelError) std::cerr << "ERROR: block " << name() << ": " << what << std::endl;
}
