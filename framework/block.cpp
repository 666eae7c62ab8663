#include "framework/block.h"

#include <pthread.h>

#include <chrono>
#include <iostream>
#include <thread>

#include "framework/block_chain.h"
#include "framework/exception.h"
#include "framework/status.h"

namespace qor {

namespace {
// A `run` that keeps failing at once is restarted at this pace, not in a tight loop.
constexpr auto kRestartPause = std::chrono::seconds(1);
}  // namespace

Block::Block(std::string name) : name_(std::move(name)) {
  BlockChain::instance().add(this);
}

Block::~Block() {
  // A destroyed block must not stay reachable for the health check.
  BlockChain::instance().remove(this);
  for (auto& entry : ports_) entry.second->set_owner(nullptr);
  if (thread_.joinable()) thread_.detach();
  if (worker_.joinable()) worker_.detach();
}

int Block::add_port(Port* port) {
  if (port == nullptr) return NULL_PORT;
  if (ports_.count(port->name()) != 0) return PORT_EXISTS;
  if (port->owner() != nullptr) throw Exception(PORT_OWNED);
  port->set_owner(this);
  ports_.emplace(port->name(), port);
  return SUCCESS;
}

void Block::forget_port(Port* port) {
  auto it = ports_.find(port->name());
  if (it != ports_.end() && it->second == port) ports_.erase(it);
}

Port* Block::find_port(const std::string& name) const {
  auto it = ports_.find(name);
  return it == ports_.end() ? nullptr : it->second;
}

void Block::stop() {
  stop_flag_.store(true, std::memory_order_release);
  semaphore_.post();
  { std::lock_guard<std::mutex> guard(worker_lock_); }
  worker_wake_.notify_all();
  for (auto& entry : ports_) entry.second->owner_stopped();
}

void Block::join() {
  stop();
  const boost::thread::id self = boost::this_thread::get_id();
  if (thread_.joinable() && thread_.get_id() != self) thread_.join();
  if (worker_.joinable() && worker_.get_id() != self) worker_.join();
}

void Block::start_thread() {
  if (has_thread()) return;
  thread_ = boost::thread(&Block::thread_main, this);
  if (has_worker()) worker_ = boost::thread(&Block::worker_main, this);
}

void Block::stop_intake() {
  join();
}

bool Block::worker_wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(worker_lock_);
  worker_wake_.wait_for(guard, timeout, [this] { return worker_woken_ || stopping(); });
  worker_woken_ = false;
  return !stopping();
}

void Block::wake_worker() {
  {
    std::lock_guard<std::mutex> guard(worker_lock_);
    worker_woken_ = true;
  }
  worker_wake_.notify_all();
}

void Block::notify() {
  semaphore_.post();
}

void Block::process(Port* /*port*/) {}

void Block::run() {
  for (;;) {
    semaphore_.wait();
    if (stopping()) return;
    // Set before any message leaves its port, so that an observer who finds
    // the ports empty and then this flag clear knows the message went on.
    busy_.store(true);
    for (auto& entry : ports_) {
      if (!entry.second->has_data()) continue;
      // A failing message must not end the block: report it and go on.
      try {
        process(entry.second);
      } catch (const std::exception& e) {
        failed(e.what());
      } catch (...) {
        failed("unknown error");
      }
    }
    busy_.store(false);
  }
}

void Block::failed(const std::string& what) {
  stats_.count_error();
  report_error(what);
}

void Block::report_error(const std::string& what) {
  std::cerr << "ERROR: block " << name_ << ": " << what << std::endl;
}

void Block::thread_main() {
  // Named after the block (the system's limit is 15 bytes), so that top -H
  // and perf show which block a thread serves.
  pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
  while (!stopping()) {
    try {
      run();
      return;
    } catch (const std::exception& e) {
      failed(e.what());
    } catch (...) {
      failed("unknown error");
    }
    if (!stopping()) std::this_thread::sleep_for(kRestartPause);
  }
}

void Block::worker_main() {
  pthread_setname_np(pthread_self(), (name_.substr(0, 13) + ".w").c_str());
  while (!stopping()) {
    try {
      work();
      return;
    } catch (const std::exception& e) {
      failed(e.what());
    } catch (...) {
      failed("unknown error");
    }
    worker_wait(kRestartPause);
  }
}

}  // namespace qor
