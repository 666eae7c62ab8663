#pragma once

#include "framework/exception.h"
#include "framework/port.h"
#include "framework/sink_port.h"

namespace qor {

// Output port: feeds exactly one sink of the same payload type. Holds no data.
template <typename T>
class SourcePort : public Port {
 public:
  explicit SourcePort(std::string name) : Port(std::move(name)) {}

  void connect(Port* other) override {
    if (dynamic_cast<SinkPort<T>*>(other) == nullptr) throw Exception(CANNOT_CONNECT);
    if (!connections_.empty()) throw Exception(ALREADY_CONNECTED);
    connections_.push_back(other);
  }

  const std::type_info& data_type() const override { return typeid(T); }
  bool has_data() override { return false; }

  int unlink() {
    if (connections_.size() != 1) return NOT_CONNECTED;
    connections_.clear();
    return SUCCESS;
  }

  // Blocking send (see SinkPort::push); NOT_CONNECTED drops the value.
  int send(T value) {
    SinkPort<T>* sink = linked_sink();
    return counted(sink ? sink->push(std::move(value)) : NOT_CONNECTED);
  }

  // Non-blocking send: PORT_FULL drops the value.
  int try_send(T value) {
    SinkPort<T>* sink = linked_sink();
    return counted(sink ? sink->try_push(std::move(value)) : NOT_CONNECTED);
  }

 private:
  int counted(int status) {
    if (status == SUCCESS) {
      if (Block* block = owner()) block->stats().count_out();
    }
    return status;
  }

  SinkPort<T>* linked_sink() const {
    return connections_.size() == 1 ? static_cast<SinkPort<T>*>(connections_.front()) : nullptr;
  }
};

}  // namespace qor
