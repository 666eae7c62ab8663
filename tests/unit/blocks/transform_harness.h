#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/block.h"
#include "framework/sink_port.h"

// Drives a transform block without threads: a message is queued on its
// "input" port, `process` runs once on the test's thread, and what the block
// sent is taken from sinks linked to the named outputs.
class TransformHarness {
 public:
  TransformHarness(qor::Block& block, const std::vector<std::string>& outputs) : block_(block) {
    input_ = dynamic_cast<qor::SinkPort<std::string>*>(block.find_port("input"));
    EXPECT_NE(input_, nullptr) << "no input port";
    for (const std::string& name : outputs) {
      qor::Port* port = block.find_port(name);
      EXPECT_NE(port, nullptr) << "no output " << name;
      if (port == nullptr) continue;
      auto sink = std::make_unique<qor::SinkPort<std::string>>("sink");
      port->connect(sink.get());
      sinks_.emplace(name, std::move(sink));
    }
  }

  // Hands one message to the block and returns what each output received.
  std::map<std::string, std::vector<std::string>> feed(const std::string& message) {
    std::map<std::string, std::vector<std::string>> received;
    if (input_ == nullptr) return received;
    EXPECT_EQ(input_->try_push(message), 0);
    block_.process(input_);
    EXPECT_EQ(input_->size(), 0u) << "process must take exactly one message";
    for (auto& [name, sink] : sinks_) {
      auto& list = received[name];
      while (sink->size() > 0) list.push_back(sink->receive());
    }
    return received;
  }

  // What the single output "output" received for one message.
  std::vector<std::string> feed_one(const std::string& message) { return feed(message)["output"]; }

  qor::SinkPort<std::string>& sink(const std::string& name) { return *sinks_.at(name); }

 private:
  qor::Block& block_;
  qor::SinkPort<std::string>* input_ = nullptr;
  std::map<std::string, std::unique_ptr<qor::SinkPort<std::string>>> sinks_;
};
