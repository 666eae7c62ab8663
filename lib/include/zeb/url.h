#pragma once

#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "zeb/export.h"

// URL parser: splits a URL text into its RFC 3986 components, checks
// and decodes them, and builds a normalised URL text from components set one by one.
//
// Parsing is lazy: a Url made from a text holds only that text. Reading or setting a
// component parses first when the components are not up to date (and may therefore
// throw parse_error); reading url() builds first when the text is not up to date with
// the components (and may throw parse_error or build_error).
//
// Thread rules: none. Const reads may parse or build and so change the object; a Url
// shared between threads must be parsed and built (parse_url(), build_url()) before
// it is shared and only read afterwards.
namespace zeb {

class ZEB_EXPORT Url {
 public:
  // One query item, decoded.
  struct KeyVal {
    std::string key;
    std::string val;
    bool operator==(const KeyVal& o) const { return key == o.key && val == o.val; }
    bool operator!=(const KeyVal& o) const { return !(*this == o); }
  };

  // Bad input text or bad component value.
  class ZEB_EXPORT parse_error : public std::invalid_argument {
   public:
    using std::invalid_argument::invalid_argument;
  };
  // Components that cannot form a URL.
  class ZEB_EXPORT build_error : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  // An empty, not yet parsed URL text (parses to the cleared state).
  Url();
  // Holds the text only; nothing is checked until a component is read or set.
  Url(const std::string& url);  // NOLINT(google-explicit-constructor): implicit by design
  Url(const char* url);         // NOLINT(google-explicit-constructor): null is the empty text
  Url(const Url& other);
  Url(Url&& other) noexcept;  // leaves other as Url()
  Url& operator=(const Url& other);
  Url& operator=(Url&& other) noexcept;
  ~Url();

  Url& assign(const Url& other);
  Url& assign(Url&& other) noexcept;

  // Empties every component and the text; ip_version -1; parsed and built.
  void clear();

  // Parses url() into the components; all-or-nothing. Throws parse_error.
  void parse_url() const;
  // Builds url() from the components (parsing first when needed). Throws build_error
  // (or parse_error when the held text does not parse).
  void build_url() const;

  // Readers (parse first when needed).
  const std::string& scheme() const;
  const std::string& user_info() const;
  const std::string& host() const;
  const std::string& port() const;
  const std::string& path() const;
  const std::vector<KeyVal>& query() const;
  const std::string& fragment() const;
  // -1 no host part; 0 registered name (or empty host after "//"); 4 IPv4; 6 IPv6;
  // any other value is the version of an IPvFuture literal.
  std::int8_t ip_version() const;
  // The text as given, or as last built (builds first when needed).
  const std::string& url() const;

  // Setters: parse first when needed, check the value (throwing parse_error with the
  // texts below), store it and mark the text out of date.
  Url& scheme(const std::string& s);
  Url& user_info(const std::string& s);
  // ip_version selects the kind of address: 0 (or -1) picks it from the text
  // (digits and dots of 7+ chars: IPv4; containing ':': IPv6; else registered name),
  // 4 IPv4 only, 6 IPv6 only, any other value IPvFuture of that version (1 to 15).
  // An empty text removes the host.
  Url& host(const std::string& h, std::int8_t ip_version = 0);
  Url& port(const std::string& p);
  Url& path(const std::string& p);
  Url& fragment(const std::string& f);

  // Debug form: "Url:{url(...) scheme(...) ...}" (parses and builds first when needed).
  void output(std::ostream& os) const;

 private:
  mutable std::string scheme_;
  mutable std::string user_info_;
  mutable std::string host_;
  mutable std::string port_;
  mutable std::string path_;
  mutable std::vector<KeyVal> query_;
  mutable std::string fragment_;
  mutable std::string url_;
  mutable bool parsed_ = false;
  mutable bool built_ = false;
  mutable std::int8_t ip_version_ = -1;

  void ensure_parsed() const;
  void reset_fields() const noexcept;
  void drop_default_port();
};

ZEB_EXPORT std::ostream& operator<<(std::ostream& os, const Url& url);

}  // namespace zeb
