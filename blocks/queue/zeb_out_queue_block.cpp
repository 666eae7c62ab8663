#include "blocks/queue/zeb_out_queue_block.h"

#include <sys/stat.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "blocks/config_getters.h"
#include "blocks/util/text_case.h"
#include "framework/metric_families.h"
#include "zeb/log.h"
#include "zeb/status.h"

using nlohmann::json;

namespace {

// Longest sleep of the drain when it has nothing to send; a push or an answer
// of the plane wakes it at once.
constexpr auto kIdleWait = std::chrono::milliseconds(1000);
// How often the drain looks again while it waits for the last answers of the
// plane after a failure.
constexpr auto kAnswerWait = std::chrono::milliseconds(100);
// Texts published and not yet acknowledged. Enough to keep a loopback or LAN
// broker busy at QoS 1 (measured with `make bench`); the duplicates a kill can
// cause are bounded by it.
constexpr int32_t kDefaultInFlight = 64;
constexpr int32_t kLargestInFlight = 65535;
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
  const int32_t in_flight = config_int(config, "max_in_flight", kDefaultInFlight);
  if (in_flight < 1 || in_flight > kLargestInFlight) {
    throw std::invalid_argument("max_in_flight must be an integer in range (1-" +
                                std::to_string(kLargestInFlight) + ")");
  }
  max_in_flight_ = static_cast<size_t>(in_flight);
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
  if (checking()) {
    // Nothing is made: the directory, or the one it would be made in, must exist.
    const std::string parent =
        directory.substr(0, directory.find_last_of('/', directory.size() - 2) + 1);
    if (::stat(directory.c_str(), &info) != 0 &&
        ::stat((parent.empty() ? "." : parent).c_str(), &info) != 0) {
      throw std::runtime_error("Unable to open, or create directory");
    }
    return;
  }
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
  ages_.taken_over(queue_->records(), RecordAges::Clock::now());
  zeb::log_info(logger(), "ZEBOutQueueBlock: Max cache size in bytes: %ld",
                static_cast<long>(max_cache_bytes_));
  zeb::log_info(logger(), "ZEBOutQueueBlock: Starting Queue Muncher thread");
}

ZebOutQueueBlock::~ZebOutQueueBlock() {
  // The worker and the client go first: answers of the plane reach
  // `window_` until the client is freed.
  shutdown();
}

void ZebOutQueueBlock::process(qor::Port* /*port*/) {
  if (stopping()) return;
  std::string text = input_.receive();
  zeb::log_debug(logger(), "Disk backed queue size in bytes: %llu",
                 static_cast<unsigned long long>(queue_->size_bytes()));
  if (queue_->push(text.data(), text.size()) != 0) {
    ages_.pushed(RecordAges::Clock::now());
    zeb::log_debug(logger(), "Pushed %zu bytes to queue", text.size());
    wake_worker();
  } else {
    zeb::log_error(logger(), "Queue is full, unable to push data. code: %d. Dropping new data", 0);
    stats().count_drop(qor::DropReason::kBudget);
  }
}

void ZebOutQueueBlock::work() {
  zeb::log_debug(logger(), "ZebOutQueueBlock: Starting munching");
  retry_ms_ = kFirstRetryMs;
  while (!stopping()) {
    // Nothing below is meant to throw; should it, the drain must go on and
    // the process must not end.
    try {
      const int failure = pop_acknowledged();
      if (failure != zeb::kSuccess) {
        recover(failure);
      } else if (!send_next()) {
        worker_wait(kIdleWait);
      }
    } catch (const std::exception& e) {
      report_error(e.what());
      worker_wait(kIdleWait);
    } catch (...) {
      report_error("unknown error in the drain loop");
      worker_wait(kIdleWait);
    }
  }
  // What the plane took before the stop is not sent again by the next run.
  pop_acknowledged();
}

void ZebOutQueueBlock::on_published(void* user, uint64_t tag, int status) {
  auto* block = static_cast<ZebOutQueueBlock*>(user);
  {
    std::lock_guard<std::mutex> guard(block->window_lock_);
    // Tags are consecutive from the front, so the slot is found by its distance.
    if (!block->window_.empty() && tag >= block->window_.front().tag) {
      const uint64_t index = tag - block->window_.front().tag;
      if (index < block->window_.size() && block->window_[index].tag == tag) {
        block->window_[index].answered = true;
        block->window_[index].status = status;
      }
    }
  }
  block->wake_worker();
}

int ZebOutQueueBlock::pop_acknowledged() {
  size_t taken = 0;
  int failure = zeb::kSuccess;
  {
    std::lock_guard<std::mutex> guard(window_lock_);
    while (!window_.empty() && window_.front().answered &&
           window_.front().status == zeb::kSuccess) {
      window_.pop_front();
      ++taken;
    }
    for (const Sent& sent : window_) {
      if (sent.answered && sent.status != zeb::kSuccess) {
        failure = sent.status;
        break;
      }
    }
  }
  // The window was read from the oldest stored text on, so its front is the
  // queue's oldest.
  for (size_t i = 0; i < taken; ++i) {
    zeb::log_debug(logger(), "Successfully sent data");
    pop_delivered();
  }
  if (taken > 0) retry_ms_ = kFirstRetryMs;
  return failure;
}

bool ZebOutQueueBlock::send_next() {
  {
    std::lock_guard<std::mutex> guard(window_lock_);
    if (window_.size() >= max_in_flight_) return false;
  }
  if (!queue_->next(text_)) return false;
  if (method_ != zeb::kMethodPub || !tracked_) {
    const int status = deliver(text_);
    if (status != zeb::kSuccess) {
      recover(status);
      return true;
    }
    zeb::log_debug(logger(), "Successfully sent data");
    pop_delivered();
    retry_ms_ = kFirstRetryMs;
    return true;
  }
  const uint64_t tag = next_tag_++;
  {
    std::lock_guard<std::mutex> guard(window_lock_);
    window_.push_back(Sent{tag, false, 0});
  }
  int status = zeb::kInternalError;
  try {
    status = client_->pub_tracked(node_ref_.c_str(), text_.data(), text_.size(),
                                  &ZebOutQueueBlock::on_published, this, tag);
  } catch (const std::exception& e) {
    zeb::log_error(logger(), "ZebOutQueueBlock [%s]: %s", name().c_str(), e.what());
  }
  if (status == zeb::kSuccess) return true;
  {
    // A refused publish is never answered: its slot and tag go again.
    std::lock_guard<std::mutex> guard(window_lock_);
    window_.pop_back();
  }
  --next_tag_;
  if (status == zeb::kUnsupportedMethod) {
    // A plane that cannot report outcomes: plain calls from now on.
    tracked_ = false;
    zeb::log_info(logger(),
                  "The plane does not acknowledge publishes; a text counts as "
                  "delivered once the plane has taken it");
    recover(zeb::kSuccess);
  } else {
    recover(status);
  }
  return true;
}

bool ZebOutQueueBlock::window_answered() {
  std::lock_guard<std::mutex> guard(window_lock_);
  for (const Sent& sent : window_) {
    if (!sent.answered) return false;
  }
  return true;
}

void ZebOutQueueBlock::recover(int status) {
  if (status != zeb::kSuccess) log_failure(status);
  // Every text in flight is answered one way or the other (a lost
  // connection answers them all), so this wait ends.
  while (!stopping() && !window_answered()) worker_wait(kAnswerWait);
  if (stopping()) return;
  pop_acknowledged();
  {
    std::lock_guard<std::mutex> guard(window_lock_);
    window_.clear();
  }
  queue_->rewind();
  if (status == zeb::kSuccess) return;
  // The same text again, and nothing behind it before it: order and delivery
  // stay as they are, the pause keeps a long outage from costing a core and
  // flooding the log. Pushes wake the worker; they must not shorten the pause.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(retry_ms_);
  for (auto now = std::chrono::steady_clock::now(); now < until && !stopping();
       now = std::chrono::steady_clock::now()) {
    worker_wait(std::chrono::duration_cast<std::chrono::milliseconds>(until - now));
  }
  retry_ms_ = std::min(retry_ms_ * 2, kLongestRetryMs);
}

void ZebOutQueueBlock::log_failure(int status) {
  stats().count_error();
  zeb::log_error(logger(), "ZEB error:");
  zeb::log_error(logger(), "\tError: %s", zeb::status_to_str(status));
  zeb::log_error(logger(), "\tCode:  %d", status);
}

void ZebOutQueueBlock::pop_delivered() {
  stats().count_out();
  for (int attempt = 1; queue_->pop() == 0; ++attempt) {
    // Left in the queue, the text is sent again later: twice rather than never.
    if (attempt == kPopAttempts) return;
    zeb::log_info(logger(), "Unable to pop the data, trying again");
  }
  ages_.popped();
}

void ZebOutQueueBlock::add_metrics(qor::MetricFamilies& metrics) const {
  ZebOutBlock::add_metrics(metrics);
  if (!queue_) return;
  const qor::MetricFamilies::Labels labels = {{"block", name()}};
  metrics.add("weft_queue_records", "gauge", "Records stored in the disk queue, not yet delivered",
              labels, static_cast<double>(queue_->records()));
  metrics.add("weft_queue_stored_bytes", "gauge",
              "Bytes of the records stored in the disk queue, 16-byte headers included", labels,
              static_cast<double>(queue_->size_bytes()));
  metrics.add("weft_queue_disk_bytes", "gauge", "Bytes the disk queue's files take on disk", labels,
              static_cast<double>(queue_->disk_bytes()));
  metrics.add("weft_queue_budget_bytes", "gauge", "The disk queue's byte budget", labels,
              static_cast<double>(max_cache_bytes_));
  const auto age = ages_.oldest_age(RecordAges::Clock::now());
  metrics.add("weft_queue_oldest_record_age_seconds", "gauge",
              "How long the oldest stored record has waited (within a second)", labels,
              std::chrono::duration<double>(age).count());
}
