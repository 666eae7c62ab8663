#include "blocks/util/json_tree.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

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
    floating(value);
    return true;
  }

  void floating(double value) {
    const size_t begin = t_.text_.size();
    append_json_float(t_.text_, value);
    with_text(Kind::kFloat, begin).number.floating = value;
  }

  bool string(json::string_t& value) {
    const size_t begin = t_.text_.size();
    append_json_string(t_.text_, value);
    with_text(Kind::kString, begin);
    return true;
  }

  // A string whose text, as read between its quotes, holds no escape: its
  // compact text is that text in quotes.
  void plain_string(std::string_view text) {
    const size_t begin = t_.text_.size();
    t_.text_.push_back('"');
    t_.text_.append(text);
    t_.text_.push_back('"');
    with_text(Kind::kString, begin);
  }

  // JSON text holds no binary values.
  bool binary(json::binary_t& /*value*/) { return false; }

  bool start_object(size_t /*elements*/) { return start(Kind::kObject); }
  bool start_array(size_t /*elements*/) { return start(Kind::kArray); }

  bool key(json::string_t& key) { return key_text(key); }

  bool key_text(std::string_view key) {
    t_.pending_.push_back(Entry{t_.keys_.size(), key.size(), kNone});
    t_.keys_.append(key);
    return true;
  }

  // Whether a container is open, and whether the innermost one is an object.
  bool nested() const { return !t_.open_.empty(); }
  bool in_object() const { return t_.is_object(t_.open_.back().node); }

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

// Reads the common run of JSON text straight into a Builder, several times
// faster than the library's parser. It accepts only text the library accepts,
// with the same values, and declines whatever it is not sure of: any error, a
// byte order mark, a \u escape, a number it cannot convert exactly. The
// library's parser then reads the text instead.
//
// Containers are tracked by the Builder's stack, not by recursion.
class JsonTree::Reader {
 public:
  Reader(std::string_view text, Builder& builder, std::string& scratch)
      : p_(text.data()), end_(text.data() + text.size()), b_(builder), scratch_(scratch) {}

  bool read() {
    bool want_value = true;
    for (;;) {
      skip_space();
      if (want_value) {
        if (p_ == end_) return false;
        const char c = *p_;
        if (c != '{' && c != '[') {
          if (!scalar()) return false;
          want_value = false;
          continue;
        }
        ++p_;
        c == '{' ? b_.start_object(0) : b_.start_array(0);
        skip_space();
        if (p_ != end_ && *p_ == (c == '{' ? '}' : ']')) {
          ++p_;
          close();
          want_value = false;
        } else if (c == '{' && !key()) {
          return false;
        }
        continue;
      }
      if (!b_.nested()) return p_ == end_;
      if (p_ == end_) return false;
      const char c = *p_++;
      const bool object = b_.in_object();
      if (c == ',') {
        skip_space();
        if (object && !key()) return false;
        want_value = true;
      } else if (c == (object ? '}' : ']')) {
        close();
      } else {
        return false;
      }
    }
  }

 private:
  void skip_space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  void close() { b_.in_object() ? b_.end_object() : b_.end_array(); }

  bool key() {
    std::string_view text;
    bool plain = false;
    if (p_ == end_ || *p_ != '"' || !string(text, plain)) return false;
    b_.key_text(text);
    skip_space();
    if (p_ == end_ || *p_ != ':') return false;
    ++p_;
    return true;
  }

  bool scalar() {
    switch (*p_) {
      case '"': {
        std::string_view text;
        bool plain = false;
        if (!string(text, plain)) return false;
        if (plain) {
          b_.plain_string(text);
        } else {
          b_.string(scratch_);
        }
        return true;
      }
      case 't':
        return literal("true") && b_.boolean(true);
      case 'f':
        return literal("false") && b_.boolean(false);
      case 'n':
        return literal("null") && b_.null();
      default:
        return number();
    }
  }

  bool literal(std::string_view word) {
    if (static_cast<size_t>(end_ - p_) < word.size() ||
        word.compare(0, word.size(), p_, word.size()) != 0) {
      return false;
    }
    p_ += word.size();
    return true;
  }

  // Reads a string from its opening quote on. plain: no escapes, and text is
  // the raw text between the quotes; else text is the unescaped text, held in
  // scratch_.
  bool string(std::string_view& text, bool& plain) {
    const char* first = ++p_;
    const char* run = first;  // start of the bytes not yet copied to scratch_
    plain = true;
    for (;;) {
      if (p_ == end_) return false;
      const auto c = static_cast<unsigned char>(*p_);
      if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
        ++p_;
      } else if (c == '"') {
        break;
      } else if (c == '\\') {
        if (plain) scratch_.clear();
        plain = false;
        scratch_.append(run, p_);
        if (++p_ == end_ || !unescape(*p_)) return false;
        run = ++p_;
      } else {
        const size_t length = utf8_length(p_);
        if (length == 0) return false;
        p_ += length;
      }
    }
    if (plain) {
      text = std::string_view(first, static_cast<size_t>(p_ - first));
    } else {
      scratch_.append(run, p_);
      text = scratch_;
    }
    ++p_;
    return true;
  }

  // The short escapes; \u is left to the library's parser.
  bool unescape(char c) {
    switch (c) {
      case '"':
      case '\\':
      case '/':
        scratch_.push_back(c);
        return true;
      case 'b':
        scratch_.push_back('\b');
        return true;
      case 'f':
        scratch_.push_back('\f');
        return true;
      case 'n':
        scratch_.push_back('\n');
        return true;
      case 'r':
        scratch_.push_back('\r');
        return true;
      case 't':
        scratch_.push_back('\t');
        return true;
      default:
        return false;
    }
  }

  // Length of the well-formed UTF-8 sequence of more than one byte at p, or 0.
  size_t utf8_length(const char* p) const {
    const auto at = [&](size_t i, unsigned char low, unsigned char high) {
      if (static_cast<size_t>(end_ - p) <= i) return false;
      const auto c = static_cast<unsigned char>(p[i]);
      return c >= low && c <= high;
    };
    const auto c = static_cast<unsigned char>(*p);
    if (c >= 0xC2 && c <= 0xDF) return at(1, 0x80, 0xBF) ? 2 : 0;
    if (c == 0xE0) return at(1, 0xA0, 0xBF) && at(2, 0x80, 0xBF) ? 3 : 0;
    if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
      return at(1, 0x80, 0xBF) && at(2, 0x80, 0xBF) ? 3 : 0;
    }
    if (c == 0xED) return at(1, 0x80, 0x9F) && at(2, 0x80, 0xBF) ? 3 : 0;
    if (c == 0xF0) return at(1, 0x90, 0xBF) && at(2, 0x80, 0xBF) && at(3, 0x80, 0xBF) ? 4 : 0;
    if (c >= 0xF1 && c <= 0xF3) {
      return at(1, 0x80, 0xBF) && at(2, 0x80, 0xBF) && at(3, 0x80, 0xBF) ? 4 : 0;
    }
    if (c == 0xF4) return at(1, 0x80, 0x8F) && at(2, 0x80, 0xBF) && at(3, 0x80, 0xBF) ? 4 : 0;
    return 0;
  }

  bool digit() const { return p_ != end_ && *p_ >= '0' && *p_ <= '9'; }

  bool digits() {
    if (!digit()) return false;
    while (digit()) ++p_;
    return true;
  }

  // As the library does: a number without fraction or exponent is an unsigned
  // integer, or a signed one when negative, unless it does not fit; then, as
  // every other number, a double.
  bool number() {
    const char* first = p_;
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    if (p_ != end_ && *p_ == '0') {
      ++p_;
    } else if (!digits()) {
      return false;
    }
    const char* integer_end = p_;
    bool fraction_or_exponent = false;
    if (p_ != end_ && *p_ == '.') {
      ++p_;
      if (!digits()) return false;
      fraction_or_exponent = true;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (!digits()) return false;
      fraction_or_exponent = true;
    }
    if (!fraction_or_exponent) {
      constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
      constexpr uint64_t kMinMagnitude = uint64_t{1} << 63;  // of the smallest int64
      uint64_t magnitude = 0;
      bool fits = true;
      for (const char* d = negative ? first + 1 : first; d != integer_end && fits; ++d) {
        const auto value = static_cast<uint64_t>(*d - '0');
        fits = magnitude <= (kMax - value) / 10;
        magnitude = magnitude * 10 + value;
      }
      if (fits && !negative) return b_.number_unsigned(magnitude);
      if (fits && magnitude <= kMinMagnitude) {
        return b_.number_integer(magnitude == kMinMagnitude ? std::numeric_limits<int64_t>::min()
                                                            : -static_cast<int64_t>(magnitude));
      }
    }
    double value = 0;
    const auto result = std::from_chars(first, p_, value);
    if (result.ec != std::errc() || result.ptr != p_ || !std::isfinite(value)) return false;
    b_.floating(value);
    return true;
  }

  const char* p_;
  const char* const end_;
  Builder& b_;
  std::string& scratch_;
};

bool JsonTree::parse(std::string_view text) {
  clear();
  Builder builder(*this);
  if (Reader(text, builder, scratch_).read()) return true;
  clear();
  Builder fallback(*this);
  const bool ok = nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &fallback);
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
  reset(scratch_);
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
