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
  if (thread_.joinable()) thread_.detach();
}

int Block::add_port(Port* port) {
  if (port == nullptr) return NULL_PORT;
  if (ports_.count(port->name()) != 0) return PORT_EXISTS;
  if (port->owner() != nullptr) throw Exception(PORT_OWNED);
  port->set_owner(this);
  ports_.emplace(port->name(), port);
  return SUCCESS;
}

Port* Block::find_port(const std::string& name) const {
  auto it = ports_.find(name);
  return it == ports_.end() ? nullptr : it->second;
}

void Block::stop() {
  stop_flag_.store(true, std::memory_order_release);
  semaphore_.post();
}

void Block::join() {
  stop();
  if (thread_.joinable() && thread_.get_id() != boost::this_thread::get_id()) thread_.join();
}

void Block::start_thread() {
  if (has_thread()) return;
  thread_ = boost::thread(&Block::thread_main, this);
}

void Block::notify() {
  semaphore_.post();
}

void Block::process(Port* /*port*/) {}

void Block::run() {
  for (;;) {
    semaphore_.wait();
    if (stopping()) return;
    for (auto& entry : ports_) {
      if (!entry.second->has_data()) continue;
      // A failing message must not end the block: report it and go on.
      try {
        process(entry.second);
      } catch (const std::exception& e) {
        report_error(e.what());
      } catch (...) {
        report_error("unknown error");
      }
    }
  }
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
      report_error(e.what());
    } catch (...) {
      report_error("unknown error");
    }
    if (!stopping()) std::this_thread::sleep_for(kRestartPause);
  }
}

}  // namespace qor
