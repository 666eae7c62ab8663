#include "pending_requests.h"

#include <chrono>

#include "zeb/status.h"

void PendingRequests::expect(uint32_t id) {
  std::lock_guard<std::mutex> guard(lock_);
  waiting_[id] = std::make_shared<Entry>();
}

void PendingRequests::cancel(uint32_t id) {
  std::lock_guard<std::mutex> guard(lock_);
  waiting_.erase(id);
}

int PendingRequests::wait(uint32_t id, int timeout_ms, std::vector<uint8_t>* body) {
  std::unique_lock<std::mutex> lock(lock_);
  const auto found = waiting_.find(id);
  if (found == waiting_.end()) return zeb::kInternalError;
  const std::shared_ptr<Entry> entry = found->second;
  const bool done =
      cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&entry] { return entry->done; });
  waiting_.erase(id);
  if (!done) return zeb::kTimedOut;
  if (entry->status == zeb::kSuccess) *body = std::move(entry->body);
  return entry->status;
}

bool PendingRequests::complete(uint32_t id, int status, std::vector<uint8_t> body) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = waiting_.find(id);
    if (found == waiting_.end()) return false;
    found->second->done = true;
    found->second->status = status;
    found->second->body = std::move(body);
  }
  cv_.notify_all();
  return true;
}

void PendingRequests::fail_all(int status) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [id, entry] : waiting_) {
      entry->done = true;
      entry->status = status;
    }
  }
  cv_.notify_all();
}
