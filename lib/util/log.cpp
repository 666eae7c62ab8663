#include "zeb/log.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace {

constexpr size_t kMessageBuffer = 2048;
constexpr int kLowestLevel = SPDLOG_LEVEL_TRACE;
constexpr int kHighestMessageLevel = SPDLOG_LEVEL_CRITICAL;
constexpr int kOffLevel = SPDLOG_LEVEL_OFF;

// Makes look-up plus creation one step, so two threads creating the same name
// cannot both register it. spdlog's own registry lock guards each single call.
std::mutex& creation_lock() {
  static std::mutex lock;
  return lock;
}

// One standard-output sink for every standard-output logger, so lines from
// different loggers never interleave.
std::shared_ptr<spdlog::sinks::stdout_sink_mt> shared_stdout_sink() {
  static auto sink = std::make_shared<spdlog::sinks::stdout_sink_mt>();
  return sink;
}

bool valid_name(const char* name) {
  return name != nullptr && name[0] != '\0';
}

void register_new(const char* name, spdlog::sink_ptr sink) {
  auto logger = std::make_shared<spdlog::logger>(name, std::move(sink));
  // Takes the registry's defaults (level info, error handler) and registers.
  spdlog::initialize_logger(logger);
}

}  // namespace

void* init_null_log() {
  // Held here as well as in the registry, so destroy_log("none") cannot leave
  // callers with a dangling fallback handle.
  static std::shared_ptr<spdlog::logger> null_logger = [] {
    std::lock_guard<std::mutex> guard(creation_lock());
    auto existing = spdlog::get("none");
    if (existing) return existing;
    auto logger =
        std::make_shared<spdlog::logger>("none", std::make_shared<spdlog::sinks::null_sink_mt>());
    logger->set_level(spdlog::level::off);
    spdlog::register_logger(logger);
    return logger;
  }();
  return null_logger.get();
}

namespace zeb {

void* get_log_safe(const char* name) {
  if (valid_name(name)) {
    auto logger = spdlog::get(name);
    if (logger) return logger.get();
  }
  return init_null_log();
}

void create_stdout_log(const char* name) {
  if (name == nullptr) return;
  std::lock_guard<std::mutex> guard(creation_lock());
  if (spdlog::get(name)) return;
  register_new(name, shared_stdout_sink());
}

void create_file_log(const char* name, const char* path, bool truncate) {
  if (name == nullptr || path == nullptr) throw std::invalid_argument("null logger name or path");
  std::lock_guard<std::mutex> guard(creation_lock());
  if (spdlog::get(name)) return;
  register_new(name, std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, truncate));
}

void set_log_level(const char* name, int level) {
  if (name == nullptr) return;
  auto logger = spdlog::get(name);
  if (!logger) return;
  level = std::clamp(level, kLowestLevel, kOffLevel);
  logger->set_level(static_cast<spdlog::level::level_enum>(level));
}

void destroy_log(const char* name) {
  if (name == nullptr) return;
  std::lock_guard<std::mutex> guard(creation_lock());
  spdlog::drop(name);
}

int vlog(void* handle, int level, const char* format, va_list args) {
  if (handle == nullptr || format == nullptr) return 0;
  // "off" and anything outside the scale is not a message level: writing such a
  // line would print a level name the reader cannot place.
  if (level < kLowestLevel || level > kHighestMessageLevel) return 0;
  auto* logger = static_cast<spdlog::logger*>(handle);
  const auto lvl = static_cast<spdlog::level::level_enum>(level);
  if (!logger->should_log(lvl)) return 0;

  char buffer[kMessageBuffer];
  int written = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (written < 0) written = 0;
  const size_t length = std::min(static_cast<size_t>(written), sizeof buffer - 1);
  // spdlog hands write errors to the logger's error handler itself.
  logger->log(spdlog::source_loc{}, lvl, spdlog::string_view_t(buffer, length));
  return 1;
}

int log(void* logger, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = vlog(logger, level, format, args);
  va_end(args);
  return result;
}

#define ZEB_LEVEL_FUNCTION(fn, level)              \
  void fn(void* logger, const char* format, ...) { \
    va_list args;                                  \
    va_start(args, format);                        \
    vlog(logger, level, format, args);             \
    va_end(args);                                  \
  }

ZEB_LEVEL_FUNCTION(log_debug, SPDLOG_LEVEL_DEBUG)
ZEB_LEVEL_FUNCTION(log_info, SPDLOG_LEVEL_INFO)
ZEB_LEVEL_FUNCTION(log_warn, SPDLOG_LEVEL_WARN)
ZEB_LEVEL_FUNCTION(log_error, SPDLOG_LEVEL_ERROR)
ZEB_LEVEL_FUNCTION(log_critical, SPDLOG_LEVEL_CRITICAL)

#undef ZEB_LEVEL_FUNCTION

}  // namespace zeb
