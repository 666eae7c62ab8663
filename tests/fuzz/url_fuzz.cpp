// libFuzzer target for zeb::Url.
//
// Arbitrary bytes are parsed as a URL. When they parse and the components build, the
// built text must parse again, give the same components, and build to itself.
//
// The invariant is "same components" with one exception: the port. Parsing keeps a
// port as written ("http://h:80" gives port "80") while building leaves the scheme's
// default port out, so the rebuilt text reads back with an empty port. The port is
// therefore compared after dropping http 80 / https 443.
//
// A parse that succeeds does not always build (empty query keys as in "x:?" or "x:?a&&b",
// ':' in the first segment of a relative path as in "./a:b"): build_error is accepted
// on the first build only. The rebuilt text must never fail to parse or build.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "zeb/url.h"

namespace {

std::string effective_port(const zeb::Url& u) {
  if ((u.scheme() == "http" && u.port() == "80") || (u.scheme() == "https" && u.port() == "443"))
    return "";
  return u.port();
}

[[noreturn]] void fail(const char* what, const std::string& in, const std::string& built) {
  std::cerr << "url_fuzz: " << what << "\n  input: " << in << "\n  built: " << built << "\n";
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  zeb::Url a(in);
  try {
    a.parse_url();
  } catch (const zeb::Url::parse_error&) {
    return 0;
  }
  std::string built;
  try {
    built = a.url();
  } catch (const zeb::Url::build_error&) {
    return 0;
  }
  {
    std::ostringstream os;
    a.output(os);
  }

  const zeb::Url b(built);
  try {
    b.parse_url();
  } catch (const zeb::Url::parse_error& e) {
    fail(e.what(), in, built);
  }
  if (a.scheme() != b.scheme()) fail("scheme differs", in, built);
  if (a.user_info() != b.user_info()) fail("user info differs", in, built);
  if (a.host() != b.host()) fail("host differs", in, built);
  if (a.ip_version() != b.ip_version()) fail("ip_version differs", in, built);
  if (effective_port(a) != b.port()) fail("port differs", in, built);
  if (a.path() != b.path()) fail("path differs", in, built);
  if (a.query() != b.query()) fail("query differs", in, built);
  if (a.fragment() != b.fragment()) fail("fragment differs", in, built);
  try {
    if (b.url() != built) fail("rebuild is not a fixed point", in, built);
  } catch (const zeb::Url::build_error& e) {
    fail(e.what(), in, built);
  }
  return 0;
}
