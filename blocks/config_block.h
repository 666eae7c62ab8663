#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "framework/block.h"

// Base of every block type: the block's JSON configuration, its two common keys
// "log_name" and "log_level", and a named standard-output log.
//
// Built and torn down on the main thread; afterwards `config`, `log_name` and
// `logger` are only read (the logger from any thread).
class ConfigBlock : public qor::Block {
 public:
  // Throws std::invalid_argument for a "log_level" that is neither a number nor a string.
  ConfigBlock(const std::string& name, const nlohmann::json& config);
  ~ConfigBlock() override;

  const std::string& log_name() const { return log_name_; }
  int log_level() const { return log_level_; }
  void* logger() const { return logger_; }
  const nlohmann::json& config() const { return config_; }
  bool config_ok() const { return config_ok_; }

  // Level named by a "log_level" value: a number as it is, a string by name
  // (case-insensitive; unknown names turn the log off).
  static int parse_log_level(const nlohmann::json& config);

 protected:
  void report_error(const std::string& what) override;

  const nlohmann::json config_;
  const bool config_ok_ = true;

 private:
  std::string log_name_;
  int log_level_;
  void* logger_;
  bool owns_log_;
};
