// URL parser and builder for the generic syntax of RFC 3986.
#include "zeb/url.h"

#include <cstddef>
#include <ostream>
#include <utility>

namespace zeb {

namespace {

constexpr std::size_t kMaxUrl = 8000;
constexpr std::size_t kMaxUserInfo = 256;
constexpr std::size_t kMaxHostSetter = 253;
constexpr std::size_t kMaxIpv6Text = 254;
constexpr std::size_t kMaxPath = 8000;
constexpr std::size_t kMaxFragment = 256;

bool is_alpha(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}
bool is_hex(unsigned char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
int hex_value(unsigned char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// Class U: unreserved and sub-delims of RFC 3986.
bool is_u(unsigned char c) {
  if (is_alpha(c) || is_digit(c)) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
      return true;
    default:
      return false;
  }
}

// Class U plus the characters in `extra`.
bool all_of_class(const std::string& s, const char* extra) {
  for (unsigned char c : s) {
    if (is_u(c)) continue;
    bool ok = false;
    for (const char* e = extra; *e != '\0'; ++e) {
      if (c == static_cast<unsigned char>(*e)) {
        ok = true;
        break;
      }
    }
    if (!ok) return false;
  }
  return true;
}

std::string lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

bool valid_scheme(const std::string& s) {
  if (s.empty() || !is_alpha(static_cast<unsigned char>(s[0]))) return false;
  for (unsigned char c : s) {
    if (!(is_alpha(c) || is_digit(c) || c == '+' || c == '-' || c == '.')) return false;
  }
  return true;
}

// Decimal digits, no leading zero (except "0"), value at most 65535; not empty.
bool valid_port(const std::string& p) {
  if (p.empty() || p.size() > 5) return false;
  for (unsigned char c : p) {
    if (!is_digit(c)) return false;
  }
  if (p.size() > 1 && p[0] == '0') return false;
  return std::stoul(p) <= 65535;
}

// '%' and two hex digits give that byte; with plus_is_blank, '+' gives a blank.
std::string decode(const std::string& s, bool plus_is_blank) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '%') {
      if (i + 2 >= s.size() || !is_hex(static_cast<unsigned char>(s[i + 1])) ||
          !is_hex(static_cast<unsigned char>(s[i + 2]))) {
        throw Url::parse_error("Invalid percent encoding");
      }
      out.push_back(static_cast<char>(hex_value(static_cast<unsigned char>(s[i + 1])) * 16 +
                                      hex_value(static_cast<unsigned char>(s[i + 2]))));
      i += 2;
    } else if (plus_is_blank && c == '+') {
      out.push_back(' ');
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

void escape_byte(std::string& out, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  out.push_back('%');
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 0x0F]);
}

// Bytes of class U and `extra` kept, every other byte escaped.
void append_escaped(std::string& out, const std::string& s, const char* extra) {
  for (unsigned char c : s) {
    bool keep = is_u(c);
    for (const char* e = extra; !keep && *e != '\0'; ++e)
      keep = c == static_cast<unsigned char>(*e);
    if (keep) {
      out.push_back(static_cast<char>(c));
    } else {
      escape_byte(out, c);
    }
  }
}

void append_query_part(std::string& out, const std::string& s, bool is_key) {
  for (unsigned char c : s) {
    if (c == ' ') {
      out.push_back('+');
    } else if (c == '+' || c == '&' || c == ';' || (is_key && c == '=')) {
      escape_byte(out, c);
    } else if (is_u(c) || c == '@' || c == ':' || c == '/' || c == '?') {
      out.push_back(static_cast<char>(c));
    } else {
      escape_byte(out, c);
    }
  }
}

// Four decimal parts of 0 to 255 (one to three digits each), separated by dots.
bool valid_ipv4(const std::string& s) {
  int parts = 0;
  std::size_t i = 0;
  while (true) {
    std::size_t start = i;
    int value = 0;
    while (i < s.size() && is_digit(static_cast<unsigned char>(s[i])) && i - start < 3) {
      value = value * 10 + (s[i] - '0');
      ++i;
    }
    if (i == start || value > 255) return false;
    ++parts;
    if (i == s.size()) return parts == 4;
    if (s[i] != '.' || parts == 4) return false;
    ++i;
  }
}

bool digits_and_dots(const std::string& s) {
  for (unsigned char c : s) {
    if (!is_digit(c) && c != '.') return false;
  }
  return true;
}

// Reads one side of "::" (or the whole text): ':'-separated groups of 1 to 4 hex
// digits; when may_have_tail, the last part may be a dotted IPv4 tail.
bool read_ipv6_side(const std::string& side, bool may_have_tail, std::vector<unsigned>& groups,
                    std::string& tail) {
  if (side.empty()) return true;
  std::size_t start = 0;
  while (true) {
    const std::size_t colon = side.find(':', start);
    const std::string part =
        side.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    const bool last = colon == std::string::npos;
    if (last && may_have_tail && part.find('.') != std::string::npos) {
      if (!valid_ipv4(part)) return false;
      tail = part;
      return true;
    }
    if (part.empty() || part.size() > 4) return false;
    unsigned value = 0;
    for (unsigned char c : part) {
      if (!is_hex(c)) return false;
      value = value * 16 + static_cast<unsigned>(hex_value(c));
    }
    groups.push_back(value);
    if (last) return true;
    start = colon + 1;
  }
}

// Canonical IPv6 text; false when the text does not read as an IPv6 address.
bool canonical_ipv6(const std::string& text, std::string& out) {
  if (text.size() < 2 || text.size() > kMaxIpv6Text) return false;
  std::vector<unsigned> groups;
  std::string tail;
  const std::size_t dc = text.find("::");
  if (dc == std::string::npos) {
    if (!read_ipv6_side(text, true, groups, tail)) return false;
    if (groups.size() + (tail.empty() ? 0 : 2) != 8) return false;
  } else {
    if (text.find("::", dc + 1) != std::string::npos) return false;  // second "::" or ":::"
    std::vector<unsigned> right;
    if (!read_ipv6_side(text.substr(0, dc), false, groups, tail)) return false;
    if (!read_ipv6_side(text.substr(dc + 2), true, right, tail)) return false;
    const std::size_t have = groups.size() + right.size() + (tail.empty() ? 0 : 2);
    if (have >= 8) return false;  // "::" stands for at least one zero group
    groups.insert(groups.end(), 8 - have, 0U);
    groups.insert(groups.end(), right.begin(), right.end());
  }
  // Longest run of two or more zero groups, the first one on a tie (the groups of an
  // IPv4 tail are not part of it: the tail is copied as written).
  std::size_t best_start = groups.size();
  std::size_t best_len = 1;
  for (std::size_t i = 0; i < groups.size();) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < groups.size() && groups[j] == 0) ++j;
    if (j - i > best_len) {
      best_start = i;
      best_len = j - i;
    }
    i = j;
  }
  static const char kHex[] = "0123456789abcdef";
  std::string r;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    if (i == best_start) {
      r += "::";
      i += best_len - 1;
      continue;
    }
    if (!r.empty() && r.back() != ':') r += ':';
    std::string h;
    unsigned v = groups[i];
    do {
      h.insert(h.begin(), kHex[v & 0xFU]);
      v >>= 4;
    } while (v != 0);
    r += h;
  }
  if (!tail.empty()) {
    if (!r.empty() && r.back() != ':') r += ':';
    r += tail;
  }
  out = r;
  return true;
}

// Path normalisation (on the decoded path).
std::string normalise_path(const std::string& path) {
  std::vector<std::string> segs;
  std::vector<std::string> kept;
  std::size_t start = 0;
  while (true) {
    std::size_t slash = path.find('/', start);
    segs.push_back(
        path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  for (std::size_t i = 0; i < segs.size(); ++i) {
    const std::string& s = segs[i];
    const bool last = i + 1 == segs.size();
    if (!last) {
      if (s.empty() || s == ".") continue;
      if (s == "..") {
        if (!kept.empty()) kept.pop_back();
        continue;
      }
      kept.push_back(s);
    } else {
      if (s == ".") {
        kept.emplace_back();
      } else if (s == "..") {
        if (!kept.empty()) kept.pop_back();
      } else {
        kept.push_back(s);
      }
    }
  }
  std::string out;
  if (!path.empty() && path[0] == '/') out.push_back('/');
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) out.push_back('/');
    out += kept[i];
  }
  return out;
}

bool is_default_port(const std::string& scheme, const std::string& port) {
  return (scheme == "http" && port == "80") || (scheme == "https" && port == "443");
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction, assignment

Url::Url() = default;
Url::Url(const std::string& url) : url_(url) {}
Url::Url(const char* url) : url_(url != nullptr ? url : "") {}
Url::Url(const Url& other) = default;
Url::Url(Url&& other) noexcept
    : scheme_(std::move(other.scheme_)),
      user_info_(std::move(other.user_info_)),
      host_(std::move(other.host_)),
      port_(std::move(other.port_)),
      path_(std::move(other.path_)),
      query_(std::move(other.query_)),
      fragment_(std::move(other.fragment_)),
      url_(std::move(other.url_)),
      parsed_(other.parsed_),
      built_(other.built_),
      ip_version_(other.ip_version_) {
  other.reset_fields();
}
Url& Url::operator=(const Url& other) = default;
Url& Url::operator=(Url&& other) noexcept {
  if (this != &other) {
    scheme_ = std::move(other.scheme_);
    user_info_ = std::move(other.user_info_);
    host_ = std::move(other.host_);
    port_ = std::move(other.port_);
    path_ = std::move(other.path_);
    query_ = std::move(other.query_);
    fragment_ = std::move(other.fragment_);
    url_ = std::move(other.url_);
    parsed_ = other.parsed_;
    built_ = other.built_;
    ip_version_ = other.ip_version_;
    other.reset_fields();
  }
  return *this;
}
Url::~Url() = default;

Url& Url::assign(const Url& other) {
  return *this = other;
}
Url& Url::assign(Url&& other) noexcept {
  return *this = std::move(other);
}

void Url::reset_fields() const noexcept {
  scheme_.clear();
  user_info_.clear();
  host_.clear();
  port_.clear();
  path_.clear();
  query_.clear();
  fragment_.clear();
  url_.clear();
  parsed_ = false;
  built_ = false;
  ip_version_ = -1;
}

void Url::clear() {
  reset_fields();
  parsed_ = true;
  built_ = true;
}

// ---------------------------------------------------------------------------
// Parsing

void Url::parse_url() const {
  const std::string& u = url_;
  if (u.empty()) {
    reset_fields();
    parsed_ = true;
    built_ = true;
    return;
  }
  if (u.size() > kMaxUrl) throw parse_error("URI is longer than 8000 characters");

  std::string scheme, user_info, host, port, path, fragment;
  std::vector<KeyVal> query;
  std::int8_t ip_version = -1;
  bool has_user_info = false;

  std::size_t pos = 0;
  // 2. Scheme.
  {
    const std::size_t first = u.find_first_of(":/?#");
    if (first != std::string::npos && u[first] == ':') {
      scheme = u.substr(0, first);
      if (!valid_scheme(scheme)) throw parse_error("Scheme in '" + u + "' is invalid");
      pos = first + 1;
    }
  }
  // 3. Authority.
  if (u.compare(pos, 2, "//") == 0) {
    pos += 2;
    std::size_t end = u.find_first_of("/?#", pos);
    if (end == std::string::npos) end = u.size();
    std::string auth = u.substr(pos, end - pos);
    pos = end;

    const std::size_t at = auth.find('@');
    std::string hostport = auth;
    if (at != std::string::npos) {
      user_info = auth.substr(0, at);
      hostport = auth.substr(at + 1);
      has_user_info = true;
      // '%' is accepted here (RFC 3986 pct-encoded) because build_url escapes user info bytes
      // outside class U and ':' as %XX.
      if (!all_of_class(user_info, ":%")) throw parse_error("User info in '" + u + "' is invalid");
    }

    std::string rest;  // what follows the host: empty or ":" port
    if (!hostport.empty() && hostport[0] == '[') {
      const std::size_t close = hostport.find(']');
      if (close == std::string::npos) throw parse_error("Missing ] in '" + u + "'");
      const std::string lit = hostport.substr(1, close - 1);
      rest = hostport.substr(close + 1);
      if (!rest.empty() && rest[0] != ':')
        throw parse_error("Host address in '" + u + "' is invalid");
      // IPvFuture: "v", one hex digit, '.', one or more class U or ':' characters.
      // Versions 0 and 4 are refused (ip_version could not
      // tell them from a registered name or IPv4, and the rebuilt text would not parse
      // back). Version 6 is read as IPv6 and made canonical in step 7.
      if (lit.size() >= 4 && lit[0] == 'v' && is_hex(static_cast<unsigned char>(lit[1])) &&
          lit[2] == '.' && all_of_class(lit.substr(3), ":")) {
        const int ver = hex_value(static_cast<unsigned char>(lit[1]));
        if (ver == 0 || ver == 4) throw parse_error("Host address in '" + u + "' is invalid");
        ip_version = static_cast<std::int8_t>(ver);
        host = lit.substr(3);
      } else {
        if (lit.size() < 2 || lit.size() > kMaxIpv6Text) {
          throw parse_error("Host address in '" + u + "' is invalid");
        }
        for (unsigned char c : lit) {
          if (!is_hex(c) && c != ':' && c != '.')
            throw parse_error("Host address in '" + u + "' is invalid");
        }
        ip_version = 6;
        host = lit;
      }
    } else {
      const std::size_t colon = hostport.find(':');
      host = hostport.substr(0, colon);
      rest = colon == std::string::npos ? std::string() : hostport.substr(colon);
      if (host.size() >= 7 && host.size() <= 254 && digits_and_dots(host)) {
        ip_version = 4;
      } else if (all_of_class(host, "")) {
        ip_version = 0;
      } else {
        throw parse_error("Host address in '" + u + "' is invalid");
      }
    }
    if (!rest.empty()) {  // rest starts with ':'
      port = rest.substr(1);
      if (!valid_port(port)) throw parse_error("Port '" + port + "' in '" + u + "' is invalid");
    }
  }
  // 4. Path.
  {
    std::size_t end = u.find_first_of("?#", pos);
    if (end == std::string::npos) end = u.size();
    path = u.substr(pos, end - pos);
    pos = end;
    if (!all_of_class(path, "@:/%"))
      throw parse_error("Path '" + path + "' in '" + u + "' is invalid");
  }
  // 5. Query.
  if (pos < u.size() && u[pos] == '?') {
    ++pos;
    std::size_t end = u.find('#', pos);
    if (end == std::string::npos) end = u.size();
    const std::string q = u.substr(pos, end - pos);
    pos = end;
    std::size_t start = 0;
    while (true) {
      const std::size_t sep = q.find_first_of("&;", start);
      const std::string item =
          q.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
      const std::size_t eq = item.find('=');
      const std::string key = item.substr(0, eq);
      const std::string val = eq == std::string::npos ? std::string() : item.substr(eq + 1);
      if (!all_of_class(key, "@:/?%"))
        throw parse_error("Query key '" + key + "' in '" + u + "' is invalid");
      if (!all_of_class(val, "@:/?%"))
        throw parse_error("Query value '" + val + "' in '" + u + "' is invalid");
      query.push_back(KeyVal{decode(key, true), decode(val, true)});
      if (sep == std::string::npos) break;
      start = sep + 1;
    }
  }
  // 6. Fragment.
  if (pos < u.size() && u[pos] == '#') {
    fragment = u.substr(pos + 1);
    if (!all_of_class(fragment, "@:/?%")) {
      throw parse_error("Fragment '" + fragment + "' in '" + u + "' is invalid");
    }
  }
  // 7. Decoding and normalisation.
  scheme = lower(scheme);
  if (has_user_info) user_info = decode(user_info, false);
  host = decode(host, false);  // no '%' can reach here; kept as the Part says
  path = decode(path, false);
  fragment = decode(fragment, false);
  if (ip_version == 0) host = lower(host);
  if (ip_version == 6) {
    std::string canon;
    if (!canonical_ipv6(host, canon)) throw parse_error("IPv6 [" + host + "] is invalid");
    host = canon;
  }
  path = normalise_path(path);

  // 8. Store.
  scheme_ = std::move(scheme);
  user_info_ = std::move(user_info);
  host_ = std::move(host);
  port_ = std::move(port);
  path_ = std::move(path);
  query_ = std::move(query);
  fragment_ = std::move(fragment);
  ip_version_ = ip_version;
  parsed_ = true;
  built_ = false;
}

void Url::ensure_parsed() const {
  if (!parsed_) parse_url();
}

// ---------------------------------------------------------------------------
// Building

void Url::build_url() const {
  ensure_parsed();
  std::string out;
  if (!scheme_.empty()) {
    out += scheme_;
    out += ':';
  }
  // "There is a host" when the URL has a host part (ip_version != -1), so that an
  // empty host after "//" (file:///x) survives a rebuild.
  if (ip_version_ != -1) {
    out += "//";
    if (!user_info_.empty()) {
      append_escaped(out, user_info_, ":");
      out += '@';
    }
    if (ip_version_ == 6) {
      out += '[';
      out += host_;
      out += ']';
    } else if (ip_version_ != 0 && ip_version_ != 4) {
      static const char kHex[] = "0123456789abcdef";
      out += "[v";
      out += kHex[static_cast<unsigned>(ip_version_) & 0xF];
      out += '.';
      out += host_;
      out += ']';
    } else {
      out += host_;
    }
    if (!port_.empty() && !is_default_port(scheme_, port_)) {
      out += ':';
      out += port_;
    }
    if (!path_.empty() && path_[0] != '/')
      throw build_error("Path must start with '/' when host is not empty");
  } else {
    if (!user_info_.empty()) throw build_error("User info defined, but host is empty");
    if (!port_.empty()) throw build_error("Port defined, but host is empty");
    // Only without a scheme: with one, "x:a:b" parses back
    // (the first ':' ends the scheme), so e.g. "urn:isbn:123" can be built.
    if (scheme_.empty() && path_.substr(0, path_.find('/')).find(':') != std::string::npos) {
      throw build_error("The first segment of the relative path can't contain ':'");
    }
  }
  append_escaped(out, path_, "@:/");
  if (!query_.empty()) {
    out += '?';
    for (std::size_t i = 0; i < query_.size(); ++i) {
      const KeyVal& kv = query_[i];
      if (kv.key.empty()) {
        throw build_error(i == 0 ? "First query entry has no key" : "A query entry has no key");
      }
      if (i > 0) out += '&';
      append_query_part(out, kv.key, true);
      if (!kv.val.empty()) {
        out += '=';
        append_query_part(out, kv.val, false);
      }
    }
  }
  if (!fragment_.empty()) {
    out += '#';
    append_escaped(out, fragment_, "@:/?");
  }
  url_ = std::move(out);
  built_ = true;
}

// ---------------------------------------------------------------------------
// Readers

const std::string& Url::scheme() const {
  ensure_parsed();
  return scheme_;
}
const std::string& Url::user_info() const {
  ensure_parsed();
  return user_info_;
}
const std::string& Url::host() const {
  ensure_parsed();
  return host_;
}
const std::string& Url::port() const {
  ensure_parsed();
  return port_;
}
const std::string& Url::path() const {
  ensure_parsed();
  return path_;
}
const std::vector<Url::KeyVal>& Url::query() const {
  ensure_parsed();
  return query_;
}
const std::string& Url::fragment() const {
  ensure_parsed();
  return fragment_;
}
std::int8_t Url::ip_version() const {
  ensure_parsed();
  return ip_version_;
}

const std::string& Url::url() const {
  if (!built_) build_url();
  return url_;
}

// ---------------------------------------------------------------------------
// Setters

void Url::drop_default_port() {
  if (is_default_port(scheme_, port_)) port_.clear();
}

Url& Url::scheme(const std::string& s) {
  ensure_parsed();
  if (!valid_scheme(s)) throw parse_error("Invalid scheme '" + s + "'");
  const std::string v = lower(s);
  if (v != scheme_) scheme_ = v;
  drop_default_port();
  built_ = false;
  return *this;
}

Url& Url::user_info(const std::string& s) {
  ensure_parsed();
  if (s.size() > kMaxUserInfo)
    throw parse_error("User info is longer than 256 characters '" + s + "'");
  if (s != user_info_) user_info_ = s;
  built_ = false;
  return *this;
}

Url& Url::host(const std::string& h, std::int8_t ip_version) {
  ensure_parsed();
  if (h.size() > kMaxHostSetter)
    throw parse_error("Host is longer than 253 characters '" + h + "'");
  std::string value;
  std::int8_t version = ip_version;
  if (h.empty()) {
    version = -1;
  } else {
    // Order of tries (left to the implementer): 0 or -1 picks the kind from the text,
    // as parsing would read it back; 4 and 6 accept only that kind; 1 to 15 (other
    // than 4 and 6) are IPvFuture versions; anything else is a bad IPvFuture version.
    if (version == 0 || version == -1) {
      if (h.size() >= 7 && digits_and_dots(h)) {
        version = 4;
      } else if (h.find(':') != std::string::npos) {
        version = 6;
      } else {
        version = 0;
      }
    }
    if (version == 4) {
      if (!valid_ipv4(h)) throw parse_error("Invalid IPv4 address '" + h + "'");
      value = h;
    } else if (version == 6) {
      if (!canonical_ipv6(h, value)) throw parse_error("Invalid IPv6 address '" + h + "'");
    } else if (version == 0) {
      if (!all_of_class(h, "")) throw parse_error("Invalid host '" + h + "'");
      value = lower(h);
    } else {
      if (version < 1 || version > 15 || !all_of_class(h, ":")) {
        throw parse_error("Invalid IPvFuture address '" + h + "'");
      }
      value = h;
    }
  }
  if (value != host_ || version != ip_version_) {
    host_ = value;
    ip_version_ = version;
  }
  built_ = false;
  return *this;
}

Url& Url::port(const std::string& p) {
  ensure_parsed();
  if (!p.empty() && !valid_port(p)) throw parse_error("Invalid port '" + p + "'");
  if (p != port_) port_ = p;
  drop_default_port();
  built_ = false;
  return *this;
}

Url& Url::path(const std::string& p) {
  ensure_parsed();
  if (p.size() > kMaxPath) throw parse_error("Path is longer than 8000 characters '" + p + "'");
  const std::string v = normalise_path(p);
  if (v != path_) path_ = v;
  built_ = false;
  return *this;
}

Url& Url::fragment(const std::string& f) {
  ensure_parsed();
  if (f.size() > kMaxFragment)
    throw parse_error("Fragment is longer than 256 characters '" + f + "'");
  if (f != fragment_) fragment_ = f;
  built_ = false;
  return *this;
}

// ---------------------------------------------------------------------------
// Debug output

void Url::output(std::ostream& os) const {
  const std::string& text = url();  // parses and builds when needed
  os << "Url:{url(" << text << ")";
  if (!scheme_.empty()) os << " scheme(" << scheme_ << ")";
  if (!user_info_.empty()) os << " user_info(" << user_info_ << ")";
  // The IP version is written as a decimal number (left to the implementer).
  if (ip_version_ != -1)
    os << " host(" << host_ << ") IPv(" << static_cast<int>(ip_version_) << ")";
  if (!port_.empty()) os << " port(" << port_ << ")";
  if (!path_.empty()) os << " path(" << path_ << ")";
  if (!query_.empty()) {
    os << " query(";
    for (std::size_t i = 0; i < query_.size(); ++i) {
      if (i > 0) os << ' ';
      os << "<key(" << query_[i].key << ") val(" << query_[i].val << ")>";
    }
    os << ")";
  }
  if (!fragment_.empty()) os << "fragment(" << fragment_ << ") ";
  os << "}";
}

std::ostream& operator<<(std::ostream& os, const Url& url) {
  url.output(os);
  return os;
}

}  // namespace zeb
