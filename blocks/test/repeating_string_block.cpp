#include "blocks/test/repeating_string_block.h"

#include <time.h>

#include <cerrno>

#include "blocks/config_getters.h"
#include "zeb/log.h"

RepeatingStringBlock::RepeatingStringBlock(const std::string& name, const nlohmann::json& config)
    : ConfigBlock(name, config),
      delay_(config_int(config, "delay", 1000)),
      test_string_(config_string(config, "test_string", "Test")),
      append_counter_(config_string(config, "append_counter", "false") == "true") {
  add_port(&output_);
}

void RepeatingStringBlock::run() {
  zeb::log_debug(logger(), "Repeating string block %s: %s @ %d ms, counter: %s", name().c_str(),
                 test_string_.c_str(), delay_, append_counter_ ? "true" : "false");
  while (!stopping()) {
    std::string message = test_string_;
    if (append_counter_) message += " " + std::to_string(counter_);
    // Wraps instead of overflowing after 2^31 messages.
    counter_ = static_cast<int32_t>(static_cast<uint32_t>(counter_) + 1u);
    output_.send(std::move(message));  // an unlinked output drops it
    if (delay_ > 0) {
      timespec pause{delay_ / 1000, static_cast<long>(delay_ % 1000) * 1000000L};
      while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
      }
    }
  }
}
