#include "mqtt_delivery.h"

#include <pthread.h>

#include <utility>

MQTTDelivery::MQTTDelivery(size_t max_count, size_t max_bytes, std::function<void()> room)
    : max_count_(max_count), max_bytes_(max_bytes), room_(std::move(room)) {
  thread_ = std::thread(&MQTTDelivery::run, this);
}

MQTTDelivery::~MQTTDelivery() {
  finish();
}

bool MQTTDelivery::over_bound() const {
  return items_.size() >= max_count_ || bytes_ >= max_bytes_;
}

void MQTTDelivery::push(Item item) {
  std::lock_guard<std::mutex> guard(lock_);
  bytes_ += item.msg->len;
  items_.push_back(std::move(item));
  full_.store(over_bound());
  ready_.notify_one();
}

void MQTTDelivery::finish() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    finishing_ = true;
  }
  ready_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void MQTTDelivery::run() {
  pthread_setname_np(pthread_self(), "mqtt-deliver");
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    ready_.wait(guard, [this] { return !items_.empty() || finishing_; });
    if (items_.empty()) return;
    Item item = std::move(items_.front());
    items_.pop_front();
    bytes_ -= item.msg->len;
    const bool had_no_room = full_.load();
    full_.store(over_bound());
    guard.unlock();
    if (had_no_room && room_) room_();
    // The subscriber owns the message from here; it may block as long as it needs.
    item.callback(nullptr, item.topic.c_str(), item.msg, item.user);
    guard.lock();
  }
}
