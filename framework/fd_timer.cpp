#include "framework/fd_timer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace qor {

namespace {

[[noreturn]] void throw_errno() {
  throw std::system_error(errno, std::generic_category());
}

void read_counter(int fd) {
  uint64_t count = 0;
  if (::read(fd, &count, sizeof count) != static_cast<ssize_t>(sizeof count)) throw_errno();
}

}  // namespace

FDTimer::FDTimer(int64_t interval_seconds) {
  spec_.it_interval.tv_sec = static_cast<time_t>(interval_seconds);
  spec_.it_value.tv_sec = static_cast<time_t>(interval_seconds);
  timer_fd_ = UniqueFd(::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC));
  if (!timer_fd_.valid()) throw_errno();
  event_fd_ = UniqueFd(::eventfd(0, EFD_CLOEXEC));
  if (!event_fd_.valid()) throw_errno();
}

FDTimer::~FDTimer() {
  try {
    stop();
  } catch (...) {
    // Nothing sensible is left to do with an error while tearing down.
  }
}

void FDTimer::set_callback(std::function<void()> callback) {
  callback_ = std::move(callback);
}

void FDTimer::start() {
  loop_ = std::async(std::launch::async, [this] { loop(); });
  if (::timerfd_settime(timer_fd_.get(), 0, &spec_, nullptr) != 0) throw_errno();
}

void FDTimer::loop() {
  for (;;) {
    // poll has no limit on descriptor numbers, unlike select.
    pollfd fds[2] = {{timer_fd_.get(), POLLIN, 0}, {event_fd_.get(), POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 1 || ready > 2) throw_errno();
    if (fds[0].revents & POLLIN) {
      read_counter(timer_fd_.get());
      callback_();
    }
    if (fds[1].revents & POLLIN) {
      read_counter(event_fd_.get());
      return;
    }
  }
}

void FDTimer::stop() {
  if (loop_.valid()) {
    const uint64_t one = 1;
    if (::write(event_fd_.get(), &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
      throw_errno();
    }
    loop_.wait();
  }
  if (event_fd_.reset() != 0) throw_errno();
  if (timer_fd_.reset() != 0) throw_errno();
}

}  // namespace qor
