#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One parsed JSON document held in a few flat arrays, for handlers that read a
// message once and write a reshaped copy of it as compact text.
//
// It holds the document the JSON library's own parser builds from the same
// text: the same texts are accepted (what a fast reader of its own declines,
// the library's parser reads, and reports errors of), the members of an object are in ascending
// byte order of their keys, and a repeated key keeps its last value. Scalars are kept as their
// compact text, so `write` gives, byte for byte, what the library's compact dump of the same
// document gives, and `write_pretty` what its indented dump gives.
//
// Neither parsing, nor writing, nor any look-up recurses: nesting depth is
// bounded by memory only, never by the stack.
//
// Not thread-safe. A handler keeps one tree on its own thread and parses every
// message into it; the buffers are reused, so a steady stream of messages of
// similar size allocates nothing here.
class JsonTree {
 public:
  enum class Kind : uint8_t {
    kNull,
    kBoolean,
    kInteger,
    kUnsigned,
    kFloat,
    kString,
    kArray,
    kObject
  };
  using Id = size_t;
  static constexpr Id kNone = static_cast<Id>(-1);

  // A member of an object (its key) or an element of an array (empty key).
  struct Child {
    std::string_view key;
    Id value;
  };

  JsonTree() = default;
  JsonTree(const JsonTree&) = delete;
  JsonTree& operator=(const JsonTree&) = delete;

  // Replaces the tree by the document in text. False when text is not exactly
  // one JSON document; then `error` holds the parser's text and the tree must
  // not be read.
  bool parse(std::string_view text);
  const std::string& error() const { return error_; }

  Id root() const { return 0; }
  Kind kind(Id node) const { return nodes_[node].kind; }
  bool is_object(Id node) const { return kind(node) == Kind::kObject; }
  // Members of an object or elements of an array; 0 for a scalar.
  size_t size(Id node) const;
  // Object members come in ascending byte order of their keys.
  Child child(Id node, size_t index) const;
  // The member of an object with this key, or kNone (also for non-objects).
  Id find(Id object, std::string_view key) const;

  bool boolean(Id node) const { return nodes_[node].number.boolean; }
  int64_t integer(Id node) const { return nodes_[node].number.integer; }
  uint64_t unsigned_integer(Id node) const { return nodes_[node].number.unsigned_integer; }
  double floating(Id node) const { return nodes_[node].number.floating; }

  // Appends the compact text of a node.
  void write(Id node, std::string& out) const;
  // Appends the indented text of a node, as the library's dump with this indent.
  void write_pretty(Id node, std::string& out, unsigned indent) const;

  // "null", "a boolean", "a number", "a string", "an array" or "an object",
  // for messages that say what a value is.
  static const char* kind_phrase(Kind kind);

 private:
  class Builder;
  class Reader;

  struct Node {
    Kind kind;
    size_t begin;  // scalars: offset of the text in text_; containers: first entry in entries_
    size_t size;   // scalars: length of the text; containers: number of entries
    union {
      bool boolean;
      int64_t integer;
      uint64_t unsigned_integer;
      double floating;
    } number;
  };
  struct Entry {
    size_t key_begin;  // in keys_
    size_t key_size;
    Id value;
  };
  // A container whose end has not been read yet and where its entries start in pending_.
  struct Open {
    Id node;
    size_t pending_begin;
  };

  std::string_view key_of(const Entry& entry) const {
    return std::string_view(keys_.data() + entry.key_begin, entry.key_size);
  }
  bool is_scalar_or_empty(Id node) const;
  void write_scalar_or_empty(Id node, std::string& out) const;
  void write_tree(Id node, std::string& out, unsigned indent, bool pretty) const;
  void clear();

  std::vector<Node> nodes_;     // the root is node 0
  std::vector<Entry> entries_;  // entries of each container, contiguous
  std::string keys_;            // object keys as read (unescaped)
  std::string text_;            // compact text of the numbers and strings
  std::vector<Entry> pending_;  // parsing only: entries of the open containers
  std::vector<Open> open_;      // parsing only: innermost last
  std::string scratch_;         // parsing only: a string with its escapes replaced
  std::string error_;
};
