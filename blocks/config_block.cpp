#include "blocks/config_block.h"

#include <iostream>
#include <stdexcept>

#include "blocks/config_getters.h"
#include "blocks/util/text_case.h"
#include "zeb/log.h"

namespace {
constexpr int kLevelError = 4;
constexpr int kLevelOff = 6;
// Longest idle limit: a week; more is a mistake, not a choice.
constexpr int kLongestIdleSeconds = 7 * 24 * 3600;

// Written by the main thread before any block exists, read only afterwards.
bool checking_only = false;
}  // namespace

void ConfigBlock::set_checking(bool checking) {
  checking_only = checking;
}

bool ConfigBlock::checking() {
  return checking_only;
}

ConfigBlock::ConfigBlock(const std::string& name, const nlohmann::json& config)
    : qor::Block(name),
      log_name_(config_string(config, "log_name", name)),
      log_level_(parse_log_level(config)) {
  // Checked before the log exists: a throwing constructor leaves nothing behind.
  const int32_t max_idle = config_int(config, "max_idle_s", 0);
  if (max_idle < 0 || max_idle > kLongestIdleSeconds) {
    throw std::invalid_argument("max_idle_s must be an integer in range (0-" +
                                std::to_string(kLongestIdleSeconds) + ")");
  }
  idle_watch().set_limit(std::chrono::seconds(max_idle));
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

void ConfigBlock::drop_bad_input(const std::string& reason) const {
  zeb::log_error(logger_, "%s: dropped a message: %s", name().c_str(), reason.c_str());
  stats().count_drop(qor::DropReason::kBadInput);
}

void ConfigBlock::report_error(const std::string& what) {
  zeb::log_error(logger_, "%s", what.c_str());
  // With its log silenced the block would fail without a trace.
  if (log_level_ > kLevelError) std::cerr << "ERROR: block " << name() << ": " << what << std::endl;
}
