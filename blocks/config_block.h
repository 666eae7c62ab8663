#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "framework/block.h"

// Base of every block type: the block's JSON configuration, its common keys
// "log_name", "log_level" and "max_idle_s", and a named standard-output log.
// "max_idle_s" (seconds, default 0: no limit) makes the block unhealthy while
// it has taken or handed on no message for longer than that.
//
// Built and torn down on the main thread; afterwards `log_name` and `logger`
// are only read (the logger from any thread). The configuration itself is not
// kept: a derived block takes what it needs while it is built.
class ConfigBlock : public qor::Block {
 public:
  // Throws std::invalid_argument for a "log_level" that is neither a number nor a string.
  ConfigBlock(const std::string& name, const nlohmann::json& config);
  ~ConfigBlock() override;

  const std::string& log_name() const { return log_name_; }
  int log_level() const { return log_level_; }
  void* logger() const { return logger_; }
  bool config_ok() const { return config_ok_; }

  // Level named by a "log_level" value: a number as it is, a string by name
  // (case-insensitive; unknown names turn the log off).
  static int parse_log_level(const nlohmann::json& config);

  // Logs a message that could not be read as dropped, and counts it.
  void drop_bad_input(const std::string& reason) const;

  // Problems a configuration check can find beyond what construction
  // rejects, without connecting anywhere; the default finds none.
  virtual void check(std::vector<std::string>& /*problems*/) const {}

  // Set for the whole process by the configuration check before any block is
  // made: constructors then leave out what would touch the outside (files,
  // threads) once the configuration itself has been checked.
  static void set_checking(bool checking);
  static bool checking();

 protected:
  void report_error(const std::string& what) override;

  const bool config_ok_ = true;

 private:
  std::string log_name_;
  int log_level_;
  void* logger_;
  bool owns_log_;
};
