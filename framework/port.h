#pragma once

#include <cstddef>
#include <string>
#include <typeinfo>
#include <vector>

namespace qor {

class Block;

// Base of all ports. A port belongs to one block (as a member) and dies with it.
// Links are one-sided: a source lists the sink it feeds; a sink lists nothing.
// Ports are linked on the main thread before any block thread starts and are
// only read afterwards.
class Port {
 public:
  explicit Port(std::string name) : name_(std::move(name)) {}
  // Leaves its owner's port map, so that a block never reaches a port that is gone.
  virtual ~Port();
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  // Links this port to other. The base refuses: only a source can start a link.
  virtual void connect(Port* other);
  // Removes the first link to other; NOT_CONNECTED when there is none.
  virtual int disconnect(Port* other);
  // The linked port at index, or null when out of range.
  virtual Port* connection(size_t index) const;
  virtual size_t connection_count() const { return connections_.size(); }
  virtual const std::type_info& data_type() const = 0;
  virtual bool has_data() = 0;
  // True for ports that receive messages (sinks).
  virtual bool is_input() const { return false; }
  // Messages waiting in this port; 0 for ports that hold none.
  virtual size_t queued() { return 0; }
  // Messages this port holds at most; 0 for ports that hold none.
  virtual size_t capacity() const { return 0; }
  // Called by the owner when it stops: producers waiting for room give up.
  virtual void owner_stopped() {}

  const std::string& name() const { return name_; }
  Block* owner() const { return owner_; }
  // Set by Block::add_port and cleared when the owner goes first.
  void set_owner(Block* owner) { owner_ = owner; }

 protected:
  std::vector<Port*> connections_;

 private:
  const std::string name_;
  Block* owner_ = nullptr;
};

}  // namespace qor
