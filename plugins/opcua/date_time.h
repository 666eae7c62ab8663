#pragma once

#include <cstdint>
#include <string>

// OPC UA DateTime (100 ns ticks since 1601-01-01T00:00:00Z) and its text form,
// ISO 8601 UTC with milliseconds: "2024-01-02T03:04:05.678Z".
//
// Thread rules: pure functions, except now() reading the system clock.
class DateTime {
 public:
  static constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

  // Ticks of the current system time.
  static int64_t now();
  // Text form with milliseconds (sub-millisecond ticks are dropped). Ticks at or
  // below 0 give "1601-01-01T00:00:00.000Z"; ticks past 9999-12-31T23:59:59.999Z
  // give that date.
  static std::string format(int64_t ticks);
  // Reads "YYYY-MM-DDTHH:MM:SS[.f...]" followed by "Z" or "+HH:MM"/"-HH:MM"
  // ("t" and a blank are taken for "T"; "z" for "Z"). At most 7 fraction digits.
  // False for anything else, a date outside 1601..9999, or a field out of range.
  static bool parse(const std::string& text, int64_t* ticks);
};
