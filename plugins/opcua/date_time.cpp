#include "date_time.h"

#include <chrono>
#include <cstdio>

namespace {

constexpr int64_t kTicksPerMs = 10000;
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksPerDay = 86400 * kTicksPerSecond;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDays = 134774;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

int64_t max_ticks() {
  return (days_from_civil(10000, 1, 1) + kEpochDays) * kTicksPerDay - kTicksPerMs;
}

bool digits(const std::string& text, size_t at, size_t count, int* out) {
  if (at + count > text.size()) return false;
  int value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  *out = value;
  return true;
}

bool leap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

}  // namespace

int64_t DateTime::now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const int64_t ticks =
      std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(
          since_epoch)
          .count();
  return ticks + kUnixEpochTicks;
}

std::string DateTime::format(int64_t ticks) {
  if (ticks < 0) ticks = 0;
  if (ticks > max_ticks()) ticks = max_ticks();
  const int64_t days = ticks / kTicksPerDay;
  const int64_t in_day = ticks % kTicksPerDay;
  int64_t y = 0;
  unsigned m = 0, d = 0;
  civil_from_days(days - kEpochDays, &y, &m, &d);
  const int64_t ms = in_day / kTicksPerMs;
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<long long>(y), m, d, static_cast<int>(ms / 3600000),
                static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
                static_cast<int>(ms % 1000));
  return text;
}

bool DateTime::parse(const std::string& text, int64_t* ticks) {
  int year, month, day, hour, minute, second;
  if (!digits(text, 0, 4, &year) || text.size() < 19 || text[4] != '-' ||
      !digits(text, 5, 2, &month) || text[7] != '-' || !digits(text, 8, 2, &day)) {
    return false;
  }
  const char sep = text[10];
  if (sep != 'T' && sep != 't' && sep != ' ') return false;
  if (!digits(text, 11, 2, &hour) || text[13] != ':' || !digits(text, 14, 2, &minute) ||
      text[16] != ':' || !digits(text, 17, 2, &second)) {
    return false;
  }
  size_t at = 19;
  int64_t fraction = 0;
  if (at < text.size() && text[at] == '.') {
    ++at;
    int count = 0;
    int64_t scale = kTicksPerSecond;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      if (++count > 7) return false;
      scale /= 10;
      fraction += (text[at] - '0') * scale;
      ++at;
    }
    if (count == 0) return false;
  }
  int offset_minutes = 0;
  if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
    ++at;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    int oh, om;
    if (!digits(text, at + 1, 2, &oh) || at + 3 >= text.size() || text[at + 3] != ':' ||
        !digits(text, at + 4, 2, &om) || oh > 23 || om > 59) {
      return false;
    }
    offset_minutes = (oh * 60 + om) * (text[at] == '-' ? -1 : 1);
    at += 6;
  } else {
    return false;
  }
  if (at != text.size()) return false;
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1601 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 ||
      second > 59) {
    return false;
  }
  const int month_days = kDays[month - 1] + (month == 2 && leap(year) ? 1 : 0);
  if (day > month_days) return false;
  const int64_t days =
      days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) + kEpochDays;
  int64_t value = days * kTicksPerDay + (hour * 3600 + minute * 60 + second) * kTicksPerSecond +
                  fraction - static_cast<int64_t>(offset_minutes) * 60 * kTicksPerSecond;
  if (value < 0) value = 0;
  *ticks = value;
  return true;
}
