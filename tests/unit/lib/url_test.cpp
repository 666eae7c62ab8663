// Unit tests of zeb::Url.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "zeb/url.h"

using zeb::Url;
using KV = Url::KeyVal;

namespace {

template <typename E, typename F>
std::string error_text(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("wrong exception type: ") + e.what();
  }
  return "no exception";
}

std::string out(const Url& u) {
  std::ostringstream os;
  u.output(os);
  return os.str();
}

}  // namespace

// ---------------------------------------------------------------------------
// Successful parses: every component.

struct ParseCase {
  const char* name;
  std::string text;
  std::string scheme, user_info, host;
  int ip_version;
  std::string port, path;
  std::vector<KV> query;
  std::string fragment;
};
void PrintTo(const ParseCase& c, std::ostream* os) {
  *os << c.name;
}

class UrlParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(UrlParse, Components) {
  const ParseCase& c = GetParam();
  const Url u(c.text);
  EXPECT_EQ(u.scheme(), c.scheme);
  EXPECT_EQ(u.user_info(), c.user_info);
  EXPECT_EQ(u.host(), c.host);
  EXPECT_EQ(static_cast<int>(u.ip_version()), c.ip_version);
  EXPECT_EQ(u.port(), c.port);
  EXPECT_EQ(u.path(), c.path);
  EXPECT_EQ(u.query(), c.query);
  EXPECT_EQ(u.fragment(), c.fragment);
}

INSTANTIATE_TEST_SUITE_P(
    url, UrlParse,
    ::testing::Values(
        ParseCase{
            "MqttTcp", "mqtt-tcp://broker:1883", "mqtt-tcp", "", "broker", 0, "1883", "", {}, ""},
        ParseCase{
            "LowerCase", "MQTT://Host.Example", "mqtt", "", "host.example", 0, "", "", {}, ""},
        ParseCase{"Ipv6Canonical",
                  "x://[2001:DB8:0:0:0:0:0:1]",
                  "x",
                  "",
                  "2001:db8::1",
                  6,
                  "",
                  "",
                  {},
                  ""},
        ParseCase{
            "Ipv6FirstRun", "x://[0:0:1:0:0:1:0:0]", "x", "", "::1:0:0:1:0:0", 6, "", "", {}, ""},
        ParseCase{"Ipv4", "x://10.0.0.1", "x", "", "10.0.0.1", 4, "", "", {}, ""},
        ParseCase{"Ipv4NoRange", "x://999.1.1.1", "x", "", "999.1.1.1", 4, "", "", {}, ""},
        ParseCase{"ShortDigitsRegName", "x://1.2.3", "x", "", "1.2.3", 0, "", "", {}, ""},
        ParseCase{"PathDecoded", "x:/a/%41", "x", "", "", -1, "", "/a/A", {}, ""},
        ParseCase{"Query",
                  "x:?a=1&b=x+y;c",
                  "x",
                  "",
                  "",
                  -1,
                  "",
                  "",
                  {{"a", "1"}, {"b", "x y"}, {"c", ""}},
                  ""},
        ParseCase{"Full",
                  "HTTPS://us%65r:pw@Example.COM:8443/a/b/../c?k=v%20w#Frag%2F",
                  "https",
                  "user:pw",
                  "example.com",
                  0,
                  "8443",
                  "/a/c",
                  {{"k", "v w"}},
                  "Frag/"},
        ParseCase{"Relative", "a/b/./c", "", "", "", -1, "", "a/b/c", {}, ""},
        ParseCase{"NetworkPath", "//h/p", "", "", "h", 0, "", "/p", {}, ""},
        ParseCase{"EmptyHost", "file:///etc/hosts", "file", "", "", 0, "", "/etc/hosts", {}, ""},
        ParseCase{"EmptyHostWithPort", "x://:5", "x", "", "", 0, "5", "", {}, ""},
        ParseCase{"Port0", "x://h:0", "x", "", "h", 0, "0", "", {}, ""},
        ParseCase{"Port65535", "x://h:65535", "x", "", "h", 0, "65535", "", {}, ""},
        ParseCase{"IpvFuture", "x://[vA.Ab:c]:1", "x", "", "Ab:c", 10, "1", "", {}, ""},
        ParseCase{"IpvFuture6IsIpv6", "x://[v6.0::1]", "x", "", "::1", 6, "", "", {}, ""},
        ParseCase{"Ipv6Port", "x://[::1]:80/", "x", "", "::1", 6, "80", "/", {}, ""},
        ParseCase{"Ipv6V4Tail",
                  "x://[0:0:0:0:0:ffff:1.2.3.4]",
                  "x",
                  "",
                  "::ffff:1.2.3.4",
                  6,
                  "",
                  "",
                  {},
                  ""},
        ParseCase{"EmptyQueryItems", "x:?&=v", "x", "", "", -1, "", "", {{"", ""}, {"", "v"}}, ""},
        ParseCase{"QueryKeepsEquals", "x:?a==b%3D", "x", "", "", -1, "", "", {{"a", "=b="}}, ""},
        ParseCase{"QueryQuestionMark", "x:?a?b=/@:", "x", "", "", -1, "", "", {{"a?b", "/@:"}}, ""},
        ParseCase{"EmptyFragment", "x:p#", "x", "", "", -1, "", "p", {}, ""},
        ParseCase{"FragmentChars", "x:#a?/@:%25", "x", "", "", -1, "", "", {}, "a?/@:%"},
        ParseCase{"ColonAfterSlashNoScheme", "a/b:c", "", "", "", -1, "", "a/b:c", {}, ""},
        ParseCase{"SchemeChars", "A1+.-:x", "a1+.-", "", "", -1, "", "x", {}, ""},
        ParseCase{"UserInfoEmpty", "x://@h", "x", "", "h", 0, "", "", {}, ""},
        // '%' is accepted in user info (build_url escapes user info as %XX).
        ParseCase{"UserInfoPercent", "x://a%40b:c@h", "x", "a@b:c", "h", 0, "", "", {}, ""},
        ParseCase{"DotSegmentsDecoded", "x:/a/%2E%2E/b", "x", "", "", -1, "", "/b", {}, ""},
        ParseCase{"Empty", "", "", "", "", -1, "", "", {}, ""}),
    [](const ::testing::TestParamInfo<ParseCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// Parse errors: exact texts.

struct ErrorCase {
  const char* name;
  std::string text;
  std::string message;
};
void PrintTo(const ErrorCase& c, std::ostream* os) {
  *os << c.name;
}

class UrlParseError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(UrlParseError, Message) {
  const ErrorCase& c = GetParam();
  Url u(c.text);  // construction never parses
  EXPECT_EQ(error_text<Url::parse_error>([&] { u.parse_url(); }), c.message);
  // Reading any component, or the text, parses first and fails the same way.
  EXPECT_EQ(error_text<Url::parse_error>([&] { (void)u.host(); }), c.message);
  EXPECT_EQ(error_text<Url::parse_error>([&] { (void)u.url(); }), c.message);
  EXPECT_EQ(error_text<Url::parse_error>([&] { u.port("1"); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    url, UrlParseError,
    ::testing::Values(
        ErrorCase{"PortLeadingZero", "x://h:080", "Port '080' in 'x://h:080' is invalid"},
        ErrorCase{"PortTooBig", "x://h:65536", "Port '65536' in 'x://h:65536' is invalid"},
        ErrorCase{"PortEmpty", "x://h:", "Port '' in 'x://h:' is invalid"},
        ErrorCase{"PortNotDigits", "x://h:8a", "Port '8a' in 'x://h:8a' is invalid"},
        ErrorCase{"PortHuge", "x://h:99999999999999999999",
                  "Port '99999999999999999999' in 'x://h:99999999999999999999' is invalid"},
        ErrorCase{"PortAfterIpv6", "x://[::1]:", "Port '' in 'x://[::1]:' is invalid"},
        ErrorCase{"BadPercent", "x:/a/%4", "Invalid percent encoding"},
        ErrorCase{"BadPercentHex", "x:/a/%zz", "Invalid percent encoding"},
        ErrorCase{"BadPercentQuery", "x:?a=%", "Invalid percent encoding"},
        ErrorCase{"BadPercentFragment", "x:#%g0", "Invalid percent encoding"},
        ErrorCase{"SchemeDigit", "1x:y", "Scheme in '1x:y' is invalid"},
        ErrorCase{"SchemeEmpty", ":y", "Scheme in ':y' is invalid"},
        ErrorCase{"SchemeBadChar", "a_b:y", "Scheme in 'a_b:y' is invalid"},
        ErrorCase{"UserInfo", "x://a b@h", "User info in 'x://a b@h' is invalid"},
        ErrorCase{"MissingBracket", "x://[::1/p", "Missing ] in 'x://[::1/p'"},
        ErrorCase{"HostBadChar", "x://h%41", "Host address in 'x://h%41' is invalid"},
        ErrorCase{"HostTwoAts", "x://a@b@c", "Host address in 'x://a@b@c' is invalid"},
        ErrorCase{"LiteralBadChar", "x://[::g]", "Host address in 'x://[::g]' is invalid"},
        ErrorCase{"LiteralTooShort", "x://[1]", "Host address in 'x://[1]' is invalid"},
        ErrorCase{"LiteralTrailing", "x://[::1]x", "Host address in 'x://[::1]x' is invalid"},
        ErrorCase{"IpvFutureEmpty", "x://[v1.]", "Host address in 'x://[v1.]' is invalid"},
        // IPvFuture versions 0 and 4 collide with ip_version 0 and 4.
        ErrorCase{"IpvFuture4", "x://[v4.a]", "Host address in 'x://[v4.a]' is invalid"},
        // Version 6 is an IPv6 host: its text must be an IPv6 address.
        ErrorCase{"IpvFuture6", "x://[v6.a]", "IPv6 [a] is invalid"},
        ErrorCase{"IpvFuture0", "x://[v0.a:b]", "Host address in 'x://[v0.a:b]' is invalid"},
        ErrorCase{"Ipv6TooManyGroups", "x://[1:2:3:4:5:6:7:8:9]",
                  "IPv6 [1:2:3:4:5:6:7:8:9] is invalid"},
        ErrorCase{"Ipv6TooFewGroups", "x://[1:2:3]", "IPv6 [1:2:3] is invalid"},
        ErrorCase{"Ipv6TwoGaps", "x://[1::2::3]", "IPv6 [1::2::3] is invalid"},
        ErrorCase{"Ipv6TripleColon", "x://[1:::3]", "IPv6 [1:::3] is invalid"},
        ErrorCase{"Ipv6LongGroup", "x://[12345::]", "IPv6 [12345::] is invalid"},
        ErrorCase{"Ipv6LeadingColon", "x://[:1:2:3:4:5:6:7]", "IPv6 [:1:2:3:4:5:6:7] is invalid"},
        ErrorCase{"Ipv6FullGap", "x://[1:2:3:4::5:6:7:8]", "IPv6 [1:2:3:4::5:6:7:8] is invalid"},
        ErrorCase{"Ipv6BadTail", "x://[::1.2.3.256]", "IPv6 [::1.2.3.256] is invalid"},
        ErrorCase{"Ipv6TailNotLast", "x://[1.2.3.4::]", "IPv6 [1.2.3.4::] is invalid"},
        ErrorCase{"Path", "x:/a b", "Path '/a b' in 'x:/a b' is invalid"},
        ErrorCase{"PathHighByte", "x:/\xC3\xA9", "Path '/\xC3\xA9' in 'x:/\xC3\xA9' is invalid"},
        ErrorCase{"QueryKey", "x:?a b=1", "Query key 'a b' in 'x:?a b=1' is invalid"},
        ErrorCase{"QueryValue", "x:?a=1&b=<", "Query value '<' in 'x:?a=1&b=<' is invalid"},
        ErrorCase{"Fragment", "x:#a#b", "Fragment 'a#b' in 'x:#a#b' is invalid"},
        // Checks run in the order of the Part: the fragment (step 6) before decoding (7).
        ErrorCase{"FragmentBeforeDecoding", "x:/%4#a b",
                  "Fragment 'a b' in 'x:/%4#a b' is invalid"},
        ErrorCase{"TooLong", "x:/" + std::string(7998, 'a'), "URI is longer than 8000 characters"}),
    [](const ::testing::TestParamInfo<ErrorCase>& i) { return std::string(i.param.name); });

TEST(url, LengthLimitIs8000) {
  const std::string ok = "x:/" + std::string(7997, 'a');
  ASSERT_EQ(ok.size(), 8000u);
  EXPECT_EQ(Url(ok).path().size(), 7998u);
  EXPECT_EQ(error_text<Url::parse_error>([] { Url(std::string(8001, 'a')).parse_url(); }),
            "URI is longer than 8000 characters");
}

TEST(url, ParseErrorTypes) {
  static_assert(std::is_base_of<std::invalid_argument, Url::parse_error>::value, "");
  static_assert(std::is_base_of<std::runtime_error, Url::build_error>::value, "");
  EXPECT_THROW(Url("x://h:").parse_url(), std::invalid_argument);
}

// ---------------------------------------------------------------------------
// IPv6 canonical form (through the parser and the host setter).

struct Ipv6Case {
  const char* name;
  std::string in, canon;
};
void PrintTo(const Ipv6Case& c, std::ostream* os) {
  *os << c.name;
}
class UrlIpv6 : public ::testing::TestWithParam<Ipv6Case> {};

TEST_P(UrlIpv6, Canonical) {
  const Ipv6Case& c = GetParam();
  EXPECT_EQ(Url("x://[" + c.in + "]").host(), c.canon);
  Url u("x:");
  u.host(c.in, 6);
  EXPECT_EQ(u.host(), c.canon);
  EXPECT_EQ(u.ip_version(), 6);
  EXPECT_EQ(u.url(), "x://[" + c.canon + "]");
  EXPECT_EQ(Url(u.url()).host(), c.canon);
}

INSTANTIATE_TEST_SUITE_P(
    url, UrlIpv6,
    ::testing::Values(Ipv6Case{"AllZero", "::", "::"},
                      Ipv6Case{"AllZeroLong", "0:0:0:0:0:0:0:0", "::"},
                      Ipv6Case{"Loopback", "0:0:0:0:0:0:0:1", "::1"},
                      Ipv6Case{"TrailingGap", "1::", "1::"},
                      Ipv6Case{"NoRunOfOne", "1:0:2:0:3:0:4:0", "1:0:2:0:3:0:4:0"},
                      Ipv6Case{"GapOfOne", "1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
                      Ipv6Case{"LongerSecondRun", "1:0:0:2:0:0:0:3", "1:0:0:2::3"},
                      Ipv6Case{"TieFirst", "1:0:0:2:3:0:0:4", "1::2:3:0:0:4"},
                      Ipv6Case{"LeadingZeros", "0001:00AB:0:0:0:0:0:FFFF", "1:ab::ffff"},
                      Ipv6Case{"RecompressGap", "1::0:2", "1::2"},
                      Ipv6Case{"V4TailAllZero", "::1.2.3.4", "::1.2.3.4"},
                      Ipv6Case{"V4TailCopied", "1:0:0:0:0:0:01.2.3.4", "1::01.2.3.4"},
                      Ipv6Case{"V4TailFull", "1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:1.2.3.4"}),
    [](const ::testing::TestParamInfo<Ipv6Case>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// Path normalisation (through the path setter and the parser).

struct PathCase {
  const char* name;
  std::string in, out;
};
void PrintTo(const PathCase& c, std::ostream* os) {
  *os << c.name;
}
class UrlPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(UrlPath, Normalised) {
  const PathCase& c = GetParam();
  Url u("");
  u.path(c.in);
  EXPECT_EQ(u.path(), c.out);
  EXPECT_EQ(Url("x:" + c.in).path(), c.out);
}

INSTANTIATE_TEST_SUITE_P(
    url, UrlPath,
    ::testing::Values(PathCase{"Example", "a//b/./c/../d", "a/b/d"},
                      PathCase{"TrailingSlashKept", "/x/y/", "/x/y/"}, PathCase{"Empty", "", ""},
                      PathCase{"Root", "/", "/"}, PathCase{"DoubleSlash", "/.//a", "/a"},
                      PathCase{"LastDot", "/a/.", "/a/"}, PathCase{"LastDotDot", "/a/b/..", "/a"},
                      PathCase{"DotDotAboveRoot", "/../a", "/a"},
                      PathCase{"RelativeDotDot", "../a", "a"}, PathCase{"OnlyDot", ".", ""},
                      PathCase{"RootDotDot", "/..", "/"},
                      PathCase{"MiddleDotDot", "/a/b/../../c", "/c"}),
    [](const ::testing::TestParamInfo<PathCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// Building: text from components (and parse-then-build normalisation).

struct BuildCase {
  const char* name;
  std::string in, out;
};
void PrintTo(const BuildCase& c, std::ostream* os) {
  *os << c.name;
}
class UrlRebuild : public ::testing::TestWithParam<BuildCase> {};

TEST_P(UrlRebuild, Text) {
  const BuildCase& c = GetParam();
  const Url u(c.in);
  EXPECT_EQ(u.url(), c.out);
  // The built text parses back and builds to itself.
  EXPECT_EQ(Url(u.url()).url(), c.out);
}

INSTANTIATE_TEST_SUITE_P(
    url, UrlRebuild,
    ::testing::Values(
        BuildCase{"Normalised", "MQTT-TCP://Broker:1883", "mqtt-tcp://broker:1883"},
        BuildCase{"HttpDefaultPort", "http://h:80/p", "http://h/p"},
        BuildCase{"HttpsDefaultPort", "HTTPS://h:443", "https://h"},
        BuildCase{"HttpOtherPort", "http://h:443", "http://h:443"},
        BuildCase{"QueryEscapes", "x:?a+b=c%2Bd%26e%3Bf%3Dg&k%3D=%25",
                  "x:?a+b=c%2Bd%26e%3Bf=g&k%3D=%25"},
        BuildCase{"QuerySemicolon", "x:?a=1;b", "x:?a=1&b"},
        BuildCase{"PathEscapes", "x:/a%20b/%C3%A9%3F%23%25", "x:/a%20b/%C3%A9%3F%23%25"},
        BuildCase{"PathLowerHexUpper", "x:/%c3%a9", "x:/%C3%A9"},
        BuildCase{"FragmentEscapes", "x:#a%20b?/", "x:#a%20b?/"},
        BuildCase{"UserInfoEscapes", "x://a%40b%3A:c@h", "x://a%40b::c@h"},
        BuildCase{"Ipv6", "x://[::1]:8/p", "x://[::1]:8/p"},
        BuildCase{"IpvFuture", "x://[vA.Ab:c]", "x://[va.Ab:c]"},
        BuildCase{"EmptyHost", "file:///etc/hosts", "file:///etc/hosts"},
        BuildCase{"EmptyHostNoPath", "x://", "x://"},
        BuildCase{"EmptyFragmentDropped", "x:/p#", "x:/p"},
        BuildCase{"RelativeRef", "a/./b?q#f", "a/b?q#f"},
        BuildCase{"SchemeRootlessColon", "urn:isbn:0451450523", "urn:isbn:0451450523"},
        BuildCase{"Empty", "", ""}),
    [](const ::testing::TestParamInfo<BuildCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// Build errors: exact texts.

struct BuildErrorCase {
  const char* name;
  std::string in;  // parsed first, then `setup` changes it
  int setup;
  std::string message;
};
void PrintTo(const BuildErrorCase& c, std::ostream* os) {
  *os << c.name;
}
class UrlBuildError : public ::testing::TestWithParam<BuildErrorCase> {};

TEST_P(UrlBuildError, Message) {
  const BuildErrorCase& c = GetParam();
  Url u(c.in);
  switch (c.setup) {
    case 1:
      u.path("a");
      break;
    case 2:
      u.host("");
      break;
    default:
      break;
  }
  EXPECT_EQ(error_text<Url::build_error>([&] { u.build_url(); }), c.message);
  EXPECT_EQ(error_text<Url::build_error>([&] { (void)u.url(); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    url, UrlBuildError,
    ::testing::Values(
        BuildErrorCase{"RelativePathWithHost", "x://h", 1,
                       "Path must start with '/' when host is not empty"},
        BuildErrorCase{"UserInfoNoHost", "x://u@h/p", 2, "User info defined, but host is empty"},
        BuildErrorCase{"PortNoHost", "x://h:5/p", 2, "Port defined, but host is empty"},
        BuildErrorCase{"ColonFirstSegment", "./a:b/c", 0,
                       "The first segment of the relative path can't contain ':'"},
        BuildErrorCase{"ColonFirstSegmentDecoded", "%3A", 0,
                       "The first segment of the relative path can't contain ':'"},
        BuildErrorCase{"FirstQueryNoKey", "x:?=v", 0, "First query entry has no key"},
        BuildErrorCase{"EmptyQuery", "x:?", 0, "First query entry has no key"},
        BuildErrorCase{"LaterQueryNoKey", "x:?a&&b", 0, "A query entry has no key"}),
    [](const ::testing::TestParamInfo<BuildErrorCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// Setters: accepted values and exact error texts.

TEST(url, SettersBuildFromScratch) {
  Url u("");
  u.scheme("HTTP").user_info("me:pw").host("Example.COM").port("8080").path("/a/b").fragment("f g");
  EXPECT_EQ(u.scheme(), "http");
  EXPECT_EQ(u.host(), "example.com");
  EXPECT_EQ(u.ip_version(), 0);
  EXPECT_EQ(u.url(), "http://me:pw@example.com:8080/a/b#f%20g");
}

TEST(url, SettersDefaultPortRule) {
  Url u("");
  u.scheme("http").host("h").port("80");
  EXPECT_EQ(u.port(), "");
  EXPECT_EQ(u.url(), "http://h");
  u.scheme("x").port("80");
  EXPECT_EQ(u.port(), "80");
  u.scheme("http");  // the rule of scheme() applies to an existing port
  EXPECT_EQ(u.port(), "");
  u.scheme("https").port("443");
  EXPECT_EQ(u.port(), "");
  u.port("80");
  EXPECT_EQ(u.port(), "80");
  EXPECT_EQ(u.url(), "https://h:80");
  // Parsing does not apply the rule; building leaves the default port out.
  const Url p("http://h:80");
  EXPECT_EQ(p.port(), "80");
  EXPECT_EQ(p.url(), "http://h");
}

TEST(url, SettersPathNeverStartsWithTwoSlashes) {
  // A path "//a" would read back as an authority; normalisation drops the empty segment.
  Url u("x:");
  u.path("//a");
  EXPECT_EQ(u.path(), "/a");
  EXPECT_EQ(u.url(), "x:/a");
  EXPECT_EQ(Url(u.url()).ip_version(), -1);
}

TEST(url, SettersUserInfoReadsBack) {
  // Parsing accepts '%' in user info, so escaped user info reads back.
  Url u("x://h");
  u.user_info("a b@c:d%");
  EXPECT_EQ(u.url(), "x://a%20b%40c:d%25@h");
  EXPECT_EQ(Url(u.url()).user_info(), "a b@c:d%");
}

TEST(url, SettersEmptyValuesRemove) {
  Url u("x://u@h:1/p#f");
  u.user_info("").port("").path("").fragment("").host("");
  EXPECT_EQ(u.ip_version(), -1);
  EXPECT_EQ(u.url(), "x:");
}

TEST(url, SettersLimitsAccepted) {
  Url u("x:");
  EXPECT_NO_THROW(u.user_info(std::string(256, 'u')));
  EXPECT_NO_THROW(u.host(std::string(253, 'h')));
  EXPECT_NO_THROW(u.fragment(std::string(256, 'f')));
  EXPECT_NO_THROW(u.path("/" + std::string(7999, 'p')));
  EXPECT_NO_THROW(u.port("65535"));
  EXPECT_NO_THROW(u.port("0"));
}

struct SetterErrorCase {
  const char* name;
  int which;  // 0 scheme, 1 user_info, 2 host, 3 port, 4 path, 5 fragment
  std::string value;
  int ip_version;
  std::string message;
};
void PrintTo(const SetterErrorCase& c, std::ostream* os) {
  *os << c.name;
}
class UrlSetterError : public ::testing::TestWithParam<SetterErrorCase> {};

TEST_P(UrlSetterError, Message) {
  const SetterErrorCase& c = GetParam();
  Url u("x://h/p");
  const std::string before = u.url();
  const std::string msg = error_text<Url::parse_error>([&] {
    switch (c.which) {
      case 0:
        u.scheme(c.value);
        break;
      case 1:
        u.user_info(c.value);
        break;
      case 2:
        u.host(c.value, static_cast<std::int8_t>(c.ip_version));
        break;
      case 3:
        u.port(c.value);
        break;
      case 4:
        u.path(c.value);
        break;
      default:
        u.fragment(c.value);
        break;
    }
  });
  EXPECT_EQ(msg, c.message);
  EXPECT_EQ(u.url(), before);  // a refused value changes nothing
}

const std::string kLong257(257, 'a');
const std::string kLong254(254, 'a');
const std::string kLong8001(8001, 'a');

INSTANTIATE_TEST_SUITE_P(
    url, UrlSetterError,
    ::testing::Values(
        SetterErrorCase{"SchemeDigit", 0, "1x", 0, "Invalid scheme '1x'"},
        SetterErrorCase{"SchemeEmpty", 0, "", 0, "Invalid scheme ''"},
        SetterErrorCase{"SchemeBad", 0, "a b", 0, "Invalid scheme 'a b'"},
        SetterErrorCase{"UserInfoLong", 1, kLong257, 0,
                        "User info is longer than 256 characters '" + kLong257 + "'"},
        SetterErrorCase{"HostLong", 2, kLong254, 0,
                        "Host is longer than 253 characters '" + kLong254 + "'"},
        SetterErrorCase{"Ipv4Range", 2, "1.2.3.256", 4, "Invalid IPv4 address '1.2.3.256'"},
        SetterErrorCase{"Ipv4Parts", 2, "1.2.3", 4, "Invalid IPv4 address '1.2.3'"},
        SetterErrorCase{"Ipv4Name", 2, "host", 4, "Invalid IPv4 address 'host'"},
        SetterErrorCase{"Ipv4AutoDetected", 2, "999.1.1.1", 0, "Invalid IPv4 address '999.1.1.1'"},
        SetterErrorCase{"Ipv6Bad", 2, "1::2::3", 6, "Invalid IPv6 address '1::2::3'"},
        SetterErrorCase{"Ipv6AutoDetected", 2, "a:b", 0, "Invalid IPv6 address 'a:b'"},
        SetterErrorCase{"Ipv6Bracketed", 2, "[::1]", 6, "Invalid IPv6 address '[::1]'"},
        SetterErrorCase{"IpvFutureBad", 2, "a b", 7, "Invalid IPvFuture address 'a b'"},
        SetterErrorCase{"IpvFutureVersion", 2, "ab", 16, "Invalid IPvFuture address 'ab'"},
        SetterErrorCase{"IpvFutureNegative", 2, "ab", -2, "Invalid IPvFuture address 'ab'"},
        SetterErrorCase{"HostBad", 2, "a b", 0, "Invalid host 'a b'"},
        SetterErrorCase{"HostPercent", 2, "a%41", 0, "Invalid host 'a%41'"},
        SetterErrorCase{"PortLeadingZero", 3, "080", 0, "Invalid port '080'"},
        SetterErrorCase{"PortTooBig", 3, "65536", 0, "Invalid port '65536'"},
        SetterErrorCase{"PortSign", 3, "+1", 0, "Invalid port '+1'"},
        SetterErrorCase{"PathLong", 4, kLong8001, 0,
                        "Path is longer than 8000 characters '" + kLong8001 + "'"},
        SetterErrorCase{"FragmentLong", 5, kLong257, 0,
                        "Fragment is longer than 256 characters '" + kLong257 + "'"}),
    [](const ::testing::TestParamInfo<SetterErrorCase>& i) { return std::string(i.param.name); });

// The host setter picks the address kind (left to the implementer): 0 or -1 reads
// the kind from the text as parsing would, 4 and 6 take only that kind, other
// versions 1 to 15 are IPvFuture.
struct HostCase {
  const char* name;
  std::string value;
  int ip_version_in;
  std::string host;
  int ip_version;
  std::string url;
};
void PrintTo(const HostCase& c, std::ostream* os) {
  *os << c.name;
}
class UrlHostSetter : public ::testing::TestWithParam<HostCase> {};

TEST_P(UrlHostSetter, Kind) {
  const HostCase& c = GetParam();
  Url u("x:");
  u.host(c.value, static_cast<std::int8_t>(c.ip_version_in));
  EXPECT_EQ(u.host(), c.host);
  EXPECT_EQ(static_cast<int>(u.ip_version()), c.ip_version);
  EXPECT_EQ(u.url(), c.url);
  const Url back(u.url());
  EXPECT_EQ(back.host(), c.host);
  EXPECT_EQ(static_cast<int>(back.ip_version()), c.ip_version);
}

INSTANTIATE_TEST_SUITE_P(
    url, UrlHostSetter,
    ::testing::Values(HostCase{"Name", "Broker", 0, "broker", 0, "x://broker"},
                      HostCase{"ShortDigits", "1.2.3", 0, "1.2.3", 0, "x://1.2.3"},
                      HostCase{"AutoIpv4", "10.0.0.1", 0, "10.0.0.1", 4, "x://10.0.0.1"},
                      HostCase{"MinusOneAuto", "10.0.0.1", -1, "10.0.0.1", 4, "x://10.0.0.1"},
                      HostCase{"Ipv4", "10.0.0.1", 4, "10.0.0.1", 4, "x://10.0.0.1"},
                      HostCase{"AutoIpv6", "::FFFF", 0, "::ffff", 6, "x://[::ffff]"},
                      HostCase{"IpvFuture", "Ab:c", 7, "Ab:c", 7, "x://[v7.Ab:c]"},
                      HostCase{"IpvFutureF", "z", 15, "z", 15, "x://[vf.z]"}),
    [](const ::testing::TestParamInfo<HostCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// Laziness, state, copies.

TEST(url, StateConstructionDoesNotParse) {
  EXPECT_NO_THROW(Url("x://h:99999"));
  EXPECT_NO_THROW(Url(std::string(9000, 'a')));
  const char* null_text = nullptr;
  EXPECT_EQ(Url(null_text).url(), "");
  EXPECT_EQ(Url().ip_version(), -1);
}

TEST(url, StateUrlIsGivenTextOnceBuilt) {
  Url u("x://H");
  u.build_url();
  EXPECT_EQ(u.url(), "x://h");
  u.path("/p");  // marks the text out of date
  EXPECT_EQ(u.url(), "x://h/p");
}

TEST(url, StateReparseAndFailedParse) {
  Url u("x://h/p?a=1#f");
  u.path("/q");   // components parsed, then one changed; the text is the old one
  u.parse_url();  // reparses the held text
  EXPECT_EQ(u.path(), "/p");
  Url bad("x://h/p?a=1#a b");
  EXPECT_THROW(bad.parse_url(), Url::parse_error);
  EXPECT_THROW((void)bad.path(), Url::parse_error);  // still unparsed: tries again
}

TEST(url, StateClear) {
  Url u("x://u@h:1/p?a#f");
  u.clear();
  EXPECT_EQ(u.url(), "");
  EXPECT_EQ(u.scheme(), "");
  EXPECT_EQ(u.host(), "");
  EXPECT_TRUE(u.query().empty());
  EXPECT_EQ(u.ip_version(), -1);
  Url bad("x://h:");
  bad.clear();  // the bad text is gone
  EXPECT_NO_THROW(bad.host());
  EXPECT_EQ(out(bad), "Url:{url()}");
}

TEST(url, StateCopyMoveAssign) {
  const Url a("X://H/p");
  Url b(a);
  EXPECT_EQ(b.host(), "h");
  Url c;
  c.assign(b);
  EXPECT_EQ(c.url(), "x://h/p");
  Url d(std::move(c));
  EXPECT_EQ(d.url(), "x://h/p");
  EXPECT_EQ(c.url(), "");  // NOLINT(bugprone-use-after-move): moved-from is Url()
  Url e("y:");
  e.assign(std::move(d));
  EXPECT_EQ(e.scheme(), "x");
  e = Url("z://q");
  EXPECT_EQ(e.host(), "q");
  e = "w:";
  EXPECT_EQ(e.scheme(), "w");
}

TEST(url, StateNulBytes) {
  const Url u("x:/a%00b?k%00=v%00#f%00");
  EXPECT_EQ(u.path(), std::string("/a\0b", 4));
  EXPECT_EQ(u.query().at(0).key, std::string("k\0", 2));
  EXPECT_EQ(u.query().at(0).val, std::string("v\0", 2));
  EXPECT_EQ(u.fragment(), std::string("f\0", 2));
  EXPECT_EQ(u.url(), "x:/a%00b?k%00=v%00#f%00");
  Url s("x:");
  s.path(std::string("/\0/..", 5));
  EXPECT_EQ(s.path(), "/");
  s.user_info(std::string("\0", 1)).host("h");
  EXPECT_EQ(s.url(), "x://%00@h/");
  EXPECT_EQ(Url(s.url()).user_info(), std::string("\0", 1));
}

// ---------------------------------------------------------------------------
// Debug output.

struct OutputCase {
  const char* name;
  std::string in, out;
};
void PrintTo(const OutputCase& c, std::ostream* os) {
  *os << c.name;
}
class UrlOutput : public ::testing::TestWithParam<OutputCase> {};

TEST_P(UrlOutput, Text) {
  const OutputCase& c = GetParam();
  EXPECT_EQ(out(Url(c.in)), c.out);
  std::ostringstream os;
  os << Url(c.in);
  EXPECT_EQ(os.str(), c.out);
}

INSTANTIATE_TEST_SUITE_P(
    url, UrlOutput,
    ::testing::Values(
        OutputCase{"Empty", "", "Url:{url()}"},
        OutputCase{
            "Broker", "mqtt-tcp://broker:1883",
            "Url:{url(mqtt-tcp://broker:1883) scheme(mqtt-tcp) host(broker) IPv(0) port(1883)}"},
        // The IP version is written as a decimal number (left to the implementer).
        OutputCase{"Ipv6", "x://[::1]", "Url:{url(x://[::1]) scheme(x) host(::1) IPv(6)}"},
        OutputCase{"IpvFuture", "x://[vC.a]", "Url:{url(x://[vc.a]) scheme(x) host(a) IPv(12)}"},
        OutputCase{"EmptyHost", "x://", "Url:{url(x://) scheme(x) host() IPv(0)}"},
        OutputCase{
            "All", "x://u@h:1/p?a=1&b#f",
            "Url:{url(x://u@h:1/p?a=1&b#f) scheme(x) user_info(u) host(h) IPv(0) port(1) path(/p) "
            "query(<key(a) val(1)> <key(b) val()>)fragment(f) }"}),
    [](const ::testing::TestParamInfo<OutputCase>& i) { return std::string(i.param.name); });

TEST(url, OutputThrowsOnBadText) {
  EXPECT_THROW(out(Url("x://h:")), Url::parse_error);
  EXPECT_THROW(out(Url("x:?=1")), Url::build_error);
}
