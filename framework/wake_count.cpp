#include "framework/wake_count.h"

#include <cerrno>
#include <system_error>

namespace qor {

WakeCount::WakeCount() {
  if (::sem_init(&count_, 0, 0) != 0) throw std::system_error(errno, std::generic_category());
}

WakeCount::~WakeCount() {
  ::sem_destroy(&count_);
}

void WakeCount::post() {
  ::sem_post(&count_);
}

void WakeCount::wait() {
  while (::sem_wait(&count_) != 0 && errno == EINTR) {
  }
}

}  // namespace qor
