#include "blocks/util/json_tree.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "blocks/util/json_text.h"

namespace {

// A tree keeps its buffers between messages; after an unusually large one it
// gives the memory back instead of holding it for the rest of the run.
constexpr size_t kKeepBytes = size_t{1} << 20;

template <typename Buffer>
void reset(Buffer& buffer) {
  if (buffer.capacity() * sizeof(buffer[0]) > kKeepBytes) {
    Buffer().swap(buffer);
  } else {
    buffer.clear();
  }
}

}  // namespace

// Receives the parser's events and appends nodes. Containers get their entries
// when they end: the entries of an object are then sorted by key (the value's
// node id, which grows in reading order, breaks ties) and a repeated key keeps
// its last value.
class JsonTree::Builder {
 public:
  using json = nlohmann::json;

  explicit Builder(JsonTree& tree) : t_(tree) {}

  bool null() {
    add(Kind::kNull, 0, 0);
    return true;
  }

  bool boolean(bool value) {
    add(Kind::kBoolean, 0, 0).number.boolean = value;
    return true;
  }

  bool number_integer(json::number_integer_t value) {
    const size_t begin = t_.text_.size();
    append_json_integer(t_.text_, value);
    with_text(Kind::kInteger, begin).number.integer = value;
    return true;
  }

  bool number_unsigned(json::number_unsigned_t value) {
    const size_t begin = t_.text_.size();
    append_json_unsigned(t_.text_, value);
    with_text(Kind::kUnsigned, begin).number.unsigned_integer = value;
    return true;
  }

  bool number_float(json::number_float_t value, const json::string_t& /*text*/) {
    const size_t begin = t_.text_.size();
    append_json_float(t_.text_, value);
    with_text(Kind::kFloat, begin).number.floating = value;
    return true;
  }

  bool string(json::string_t& value) {
    const size_t begin = t_.text_.size();
    append_json_string(t_.text_, value);
    with_text(Kind::kString, begin);
    return true;
  }

  // JSON text holds no binary values.
  bool binary(json::binary_t& /*value*/) { return false; }

  bool start_object(size_t /*elements*/) { return start(Kind::kObject); }
  bool start_array(size_t /*elements*/) { return start(Kind::kArray); }

  bool key(json::string_t& key) {
    t_.pending_.push_back(Entry{t_.keys_.size(), key.size(), kNone});
    t_.keys_.append(key);
    return true;
  }

  bool end_object() {
    const Open open = t_.open_.back();
    const auto first = t_.pending_.begin() + static_cast<ptrdiff_t>(open.pending_begin);
    const auto last = t_.pending_.end();
    std::sort(first, last, [this](const Entry& a, const Entry& b) {
      const int order = t_.key_of(a).compare(t_.key_of(b));
      return order < 0 || (order == 0 && a.value < b.value);
    });
    Node& node = t_.nodes_[open.node];
    node.begin = t_.entries_.size();
    for (auto it = first; it != last; ++it) {
      const bool repeated = std::next(it) != last && t_.key_of(*it) == t_.key_of(*std::next(it));
      if (!repeated) t_.entries_.push_back(*it);
    }
    node.size = t_.entries_.size() - node.begin;
    return finish(open);
  }

  bool end_array() {
    const Open open = t_.open_.back();
    Node& node = t_.nodes_[open.node];
    node.begin = t_.entries_.size();
    node.size = t_.pending_.size() - open.pending_begin;
    t_.entries_.insert(t_.entries_.end(),
                       t_.pending_.begin() + static_cast<ptrdiff_t>(open.pending_begin),
                       t_.pending_.end());
    return finish(open);
  }

  bool parse_error(size_t /*position*/, const std::string& /*last_token*/,
                   const nlohmann::detail::exception& error) {
    t_.error_ = error.what();
    return false;
  }

 private:
  // A node for a value just read, attached to the container it belongs to.
  Node& add(Kind kind, size_t begin, size_t size) {
    const Id id = t_.nodes_.size();
    t_.nodes_.push_back(Node{kind, begin, size, {}});
    if (!t_.open_.empty()) {
      if (t_.is_object(t_.open_.back().node)) {
        t_.pending_.back().value = id;  // the key came just before
      } else {
        t_.pending_.push_back(Entry{0, 0, id});
      }
    }
    return t_.nodes_.back();
  }

  // A number or string whose text was appended to text_ from begin on.
  Node& with_text(Kind kind, size_t begin) { return add(kind, begin, t_.text_.size() - begin); }

  bool start(Kind kind) {
    add(kind, 0, 0);
    t_.open_.push_back(Open{t_.nodes_.size() - 1, t_.pending_.size()});
    return true;
  }

  bool finish(const Open& open) {
    t_.pending_.resize(open.pending_begin);
    t_.open_.pop_back();
    return true;
  }

  JsonTree& t_;
};

bool JsonTree::parse(std::string_view text) {
  clear();
  Builder builder(*this);
  const bool ok = nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &builder);
  if (!ok && error_.empty()) error_ = "not a JSON document";
  return ok;
}

void JsonTree::clear() {
  reset(nodes_);
  reset(entries_);
  reset(keys_);
  reset(text_);
  reset(pending_);
  reset(open_);
  error_.clear();
}

size_t JsonTree::size(Id node) const {
  const Node& n = nodes_[node];
  return n.kind == Kind::kObject || n.kind == Kind::kArray ? n.size : 0;
}

JsonTree::Child JsonTree::child(Id node, size_t index) const {
  const Entry& entry = entries_[nodes_[node].begin + index];
  return Child{key_of(entry), entry.value};
}

JsonTree::Id JsonTree::find(Id object, std::string_view key) const {
  if (!is_object(object)) return kNone;
  const Node& node = nodes_[object];
  const auto first = entries_.begin() + static_cast<ptrdiff_t>(node.begin);
  const auto last = first + static_cast<ptrdiff_t>(node.size);
  const auto it = std::lower_bound(
      first, last, key,
      [this](const Entry& entry, std::string_view k) { return key_of(entry) < k; });
  return it != last && key_of(*it) == key ? it->value : kNone;
}

bool JsonTree::is_scalar_or_empty(Id node) const {
  const Kind k = kind(node);
  return (k != Kind::kObject && k != Kind::kArray) || nodes_[node].size == 0;
}

void JsonTree::write_scalar_or_empty(Id node, std::string& out) const {
  const Node& n = nodes_[node];
  switch (n.kind) {
    case Kind::kNull:
      out.append("null");
      break;
    case Kind::kBoolean:
      out.append(n.number.boolean ? "true" : "false");
      break;
    case Kind::kObject:
      out.append("{}");
      break;
    case Kind::kArray:
      out.append("[]");
      break;
    case Kind::kInteger:
    case Kind::kUnsigned:
    case Kind::kFloat:
    case Kind::kString:
      out.append(text_, n.begin, n.size);
      break;
  }
}

void JsonTree::write(Id node, std::string& out) const {
  if (is_scalar_or_empty(node)) {
    write_scalar_or_empty(node, out);
  } else {
    write_tree(node, out, 0, false);
  }
}

void JsonTree::write_pretty(Id node, std::string& out, unsigned indent) const {
  if (is_scalar_or_empty(node)) {
    write_scalar_or_empty(node, out);
  } else {
    write_tree(node, out, indent, true);
  }
}

// Depth first with a stack of its own: a frame per non-empty container being
// written, holding the index of its next entry.
void JsonTree::write_tree(Id node, std::string& out, unsigned indent, bool pretty) const {
  struct Frame {
    Id node;
    size_t next;
  };
  std::vector<Frame> stack;
  const auto new_line = [&](size_t depth) {
    out.push_back('\n');
    out.append(depth * indent, ' ');
  };
  out.push_back(is_object(node) ? '{' : '[');
  stack.push_back(Frame{node, 0});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const Node& container = nodes_[frame.node];
    const bool object = container.kind == Kind::kObject;
    if (frame.next == container.size) {
      stack.pop_back();
      if (pretty) new_line(stack.size());
      out.push_back(object ? '}' : ']');
      continue;
    }
    if (frame.next > 0) out.push_back(',');
    if (pretty) new_line(stack.size());
    const Entry& entry = entries_[container.begin + frame.next++];
    if (object) {
      append_json_string(out, key_of(entry));
      out.append(pretty ? ": " : ":");
    }
    if (is_scalar_or_empty(entry.value)) {
      write_scalar_or_empty(entry.value, out);
    } else {
      out.push_back(is_object(entry.value) ? '{' : '[');
      stack.push_back(Frame{entry.value, 0});  // frame is not used past this point
    }
  }
}

const char* JsonTree::kind_phrase(Kind kind) {
  switch (kind) {
    case Kind::kNull:
      return "null";
    case Kind::kBoolean:
      return "a boolean";
    case Kind::kInteger:
    case Kind::kUnsigned:
    case Kind::kFloat:
      return "a number";
    case Kind::kString:
      return "a string";
    case Kind::kArray:
      return "an array";
    case Kind::kObject:
      return "an object";
  }
  return "unknown";
}
