#include "blocks/queue/zeb_out_queue_block.h"

#include <sys/stat.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "blocks/config_getters.h"
#include "blocks/util/clock.h"
#include "blocks/util/text_case.h"
#include "zeb/log.h"
#include "zeb/status.h"

using nlohmann::json;

namespace {

// Pause of the drain loop when the queue is empty.
constexpr int64_t kIdleMs = 100;
// Pauses between attempts while the plane refuses a text: short at first,
// doubling up to a second, back to short after a success.
constexpr int64_t kFirstRetryMs = 10;
constexpr int64_t kLongestRetryMs = 1000;
// Calls of `pop` for a delivered text before it is left for a second delivery.
constexpr int kPopAttempts = 6;

constexpr const char* kSizeKey = "max_cache_size";
constexpr const char* kUnitsKey = "max_cache_size_units";
// Budgets are logged as signed 64-bit numbers; nothing larger is meaningful.
constexpr uint64_t kLargestBudget = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

struct CacheSize {
  uint64_t value = 0;
  bool negative = false;
};

CacheSize read_cache_size(const json& config) {
  CacheSize size;
  if (!config.is_object() || !config.contains(kSizeKey)) return size;
  const json& value = config[kSizeKey];
  if (!value.is_number()) {
    throw std::invalid_argument(std::string(kSizeKey) +
                                ": [json.exception.type_error.302] type must be number, but is " +
                                value.type_name());
  }
  if (value.is_number_unsigned()) {
    size.value = value.get<uint64_t>();
  } else if (value.is_number_integer()) {
    const int64_t number = value.get<int64_t>();
    size.negative = number < 0;
    size.value = size.negative ? 0 - static_cast<uint64_t>(number) : static_cast<uint64_t>(number);
  } else {
    const double number = std::trunc(value.get<double>());
    size.negative = number < 0;
    const double magnitude = std::fabs(number);
    size.value = magnitude >= 18446744073709551616.0 ? std::numeric_limits<uint64_t>::max()
                                                     : static_cast<uint64_t>(magnitude);
  }
  return size;
}

// `count` units of `unit` bytes, truncated, and no more than kLargestBudget.
uint64_t scaled(uint64_t count, double unit) {
  const double bytes = static_cast<double>(count) * unit;
  return bytes >= static_cast<double>(kLargestBudget) ? kLargestBudget
                                                      : static_cast<uint64_t>(bytes);
}

}  // namespace

void ZebOutQueueBlock::FreeDeleter::operator()(char* block) const {
  std::free(block);
}

uint64_t ZebOutQueueBlock::cache_budget(const json& config, uint64_t available) {
  CacheSize size = read_cache_size(config);
  std::string units = to_lower(config_string(config, kUnitsKey));
  if (size.value == 0) {
    size.value = 90;
    units = "%";
  }
  if (units.empty() || units == "%") {
    if (size.negative || size.value > 100) {
      throw std::invalid_argument("max_cache_size percentage must be an int in range (0-100)");
    }
    return std::min(kLargestBudget, static_cast<uint64_t>(static_cast<double>(size.value) / 100 *
                                                          static_cast<double>(available)));
  }
  double unit = 0;
  if (units == "b") {
    unit = 1;
  } else if (units == "kb") {
    unit = 1024;
  } else if (units == "mb") {
    unit = 1048576;
  } else if (units == "gb") {
    unit = 1073741824;
  } else {
    throw std::invalid_argument("Invalid max_cache_size_units type");
  }
  if (size.negative) throw std::invalid_argument("max_cache_size must not be negative");
  return units == "b" ? std::min(size.value, kLargestBudget) : scaled(size.value, unit);
}

ZebOutQueueBlock::ZebOutQueueBlock(const std::string& name, const json& config)
    : ZebOutBlock(name, config) {
  std::string directory = config_string_required(config, "directory");
  // An unset environment reference gives an empty text; "/" is no place for
  // queue files.
  if (directory.empty()) throw std::invalid_argument("directory must not be empty");
  if (directory.back() != '/') directory += '/';
  // Checked before the directory is touched, so a rejected configuration
  // leaves nothing behind; the errors do not depend on the free space.
  cache_budget(config, 0);
  DiskQueue::Options options{0, DiskQueue::Sync::kNone, 1000};
  if (!DiskQueue::parse_sync(config_string(config, "sync", "none"), &options.sync)) {
    throw std::invalid_argument("sync must be \"none\", \"interval\" or \"always\"");
  }
  const int32_t interval_ms = config_int(config, "sync_interval_ms", 1000);
  if (interval_ms < 1) throw std::invalid_argument("sync_interval_ms must be at least 1");
  options.interval_ms = static_cast<uint32_t>(interval_ms);

  struct stat info;
  if (::stat(directory.c_str(), &info) != 0 && ::mkdir(directory.c_str(), 0775) != 0) {
    throw std::runtime_error("Unable to open, or create directory");
  }
  // The queue's own files count as available, so a restart never makes the
  // budget smaller than what is stored.
  const uint64_t available =
      boost::filesystem::space(directory).available + DiskQueue::bytes_on_disk(directory);
  max_cache_bytes_ = cache_budget(config, available);
  if (available < max_cache_bytes_) {
    zeb::log_warn(logger(),
                  "Max cache size is greater then the ammount of disk space available: (%ld/%ld)",
                  static_cast<long>(max_cache_bytes_),
                  static_cast<long>(std::min(available, kLargestBudget)));
  }
  options.max_bytes = max_cache_bytes_;
  queue_ = std::make_unique<DiskQueue>(directory, options, logger());
  zeb::log_info(logger(), "ZEBOutQueueBlock: Max cache size in bytes: %ld",
                static_cast<long>(max_cache_bytes_));
  zeb::log_info(logger(), "ZEBOutQueueBlock: Starting Queue Muncher thread");
  drain_thread_ = std::thread(&ZebOutQueueBlock::drain, this);
}

ZebOutQueueBlock::~ZebOutQueueBlock() {
  stop_draining();
  shutdown();
}

void ZebOutQueueBlock::stop_draining() {
  stop();
  if (drain_thread_.joinable()) drain_thread_.join();
}

void ZebOutQueueBlock::process(qor::Port* /*port*/) {
  if (stopping()) return;
  std::string text = input_.receive();
  zeb::log_debug(logger(), "Disk backed queue size in bytes: %llu",
                 static_cast<unsigned long long>(queue_->size_bytes()));
  if (queue_->push(text.data(), text.size()) != 0) {
    zeb::log_debug(logger(), "Pushed %zu bytes to queue", text.size());
  } else {
    zeb::log_error(logger(), "Queue is full, unable to push data. code: %d. Dropping new data", 0);
  }
}

void ZebOutQueueBlock::drain() {
  zeb::log_debug(logger(), "ZebOutQueueBlock: Starting munching");
  int64_t retry_ms = kFirstRetryMs;
  while (!stopping()) {
    // Nothing below is meant to throw; should it, the thread must go on and
    // the process must not end.
    try {
      drain_one(retry_ms);
    } catch (const std::exception& e) {
      report_error(e.what());
      pause_unless_stopped(*this, kIdleMs);
    } catch (...) {
      report_error("unknown error in the drain loop");
      pause_unless_stopped(*this, kIdleMs);
    }
  }
}

void ZebOutQueueBlock::drain_one(int64_t& retry_ms) {
  char* data = nullptr;
  bool found = false;
  const size_t length = queue_->peek(&data, &found);
  if (!found) {
    pause_unless_stopped(*this, kIdleMs);
    return;
  }
  const std::unique_ptr<char, FreeDeleter> text(data);
  bool sent = false;
  while (!sent) {
    const int status = deliver(text.get(), length);
    if (status == zeb::kSuccess) {
      zeb::log_debug(logger(), "Successfully sent data");
      retry_ms = kFirstRetryMs;
      sent = true;
      break;
    }
    zeb::log_error(logger(), "ZEB error:");
    zeb::log_error(logger(), "\tError: %s", zeb::status_to_str(status));
    zeb::log_error(logger(), "\tCode:  %d", status);
    if (stopping()) break;
    // The same text again, and nothing behind it before it: order and
    // delivery stay as they are, the pause keeps a long outage from costing a
    // core and flooding the log.
    pause_unless_stopped(*this, retry_ms);
    retry_ms = std::min(retry_ms * 2, kLongestRetryMs);
    if (stopping()) break;
  }
  // Stopped before the plane took it: it stays queued for the next run.
  if (sent) pop_delivered();
}

void ZebOutQueueBlock::pop_delivered() {
  for (int attempt = 1; queue_->pop() == 0; ++attempt) {
    // Left in the queue, the text is sent again later: twice rather than never.
    if (attempt == kPopAttempts) return;
    zeb::log_info(logger(), "Unable to pop the data, trying again");
  }
}
