#include "foundation/DateExtensions.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

#include "platform/Dispatch.h"

namespace pelk {
namespace {

using namespace std::chrono;

struct Civil {
  int year;
  unsigned month, day;
  int hour, minute, second, millisecond;
};

Civil civilUtc(Date date) {
  const auto ms = floor<milliseconds>(date);
  const auto day = floor<days>(ms);
  const year_month_day ymd{sys_days(day)};
  const auto inDay = ms - day;
  const auto total = inDay.count();
  return Civil{static_cast<int>(ymd.year()),         static_cast<unsigned>(ymd.month()),
               static_cast<unsigned>(ymd.day()),     static_cast<int>(total / 3600000),
               static_cast<int>(total / 60000 % 60), static_cast<int>(total / 1000 % 60),
               static_cast<int>(total % 1000)};
}

bool digits(const std::string& s, std::size_t pos, std::size_t n, int& out) {
  if (pos + n > s.size()) return false;
  int v = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  out = v;
  return true;
}

}  // namespace

std::string iso8601(Date date) {
  const Civil c = civilUtc(date);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", c.year, c.month, c.day, c.hour, c.minute,
                c.second, c.millisecond);
  return buf;
}

std::string iso8601Second(Date date) {
  const Civil c = civilUtc(date);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dGMT", c.year, c.month, c.day, c.hour, c.minute,
                c.second);
  return buf;
}

std::optional<Date> parseIso8601(const std::string& s) {
  int y, mo, d, h, mi, se, ms;
  if (!digits(s, 0, 4, y) || s.size() < 23 || s[4] != '-' || !digits(s, 5, 2, mo) || s[7] != '-' ||
      !digits(s, 8, 2, d) || s[10] != 'T' || !digits(s, 11, 2, h) || s[13] != ':' || !digits(s, 14, 2, mi) ||
      s[16] != ':' || !digits(s, 17, 2, se) || s[19] != '.' || !digits(s, 20, 3, ms)) {
    return std::nullopt;
  }
  const year_month_day ymd{year(y), month(static_cast<unsigned>(mo)), day(static_cast<unsigned>(d))};
  if (!ymd.ok() || h > 23 || mi > 59 || se > 59) return std::nullopt;

  // Zone: Z, or a sign with hours and minutes (colon optional) and optional seconds.
  const std::string zone = s.substr(23);
  int offset = 0;
  if (zone == "Z") {
    offset = 0;
  } else if (!zone.empty() && (zone[0] == '+' || zone[0] == '-')) {
    int zh = 0, zm = 0, zs = 0;
    std::size_t p = 1;
    if (!digits(zone, p, 2, zh)) return std::nullopt;
    p += 2;
    if (p < zone.size() && zone[p] == ':') ++p;
    if (!digits(zone, p, 2, zm)) return std::nullopt;
    p += 2;
    if (p < zone.size()) {
      if (zone[p] == ':') ++p;
      if (!digits(zone, p, 2, zs)) return std::nullopt;
      p += 2;
    }
    if (p != zone.size() || zh > 23 || zm > 59 || zs > 59) return std::nullopt;
    offset = (zh * 3600 + zm * 60 + zs) * (zone[0] == '-' ? -1 : 1);
  } else {
    return std::nullopt;
  }
  // Milliseconds in 64 bits hold every year of the format; the clock's own
  // ticks (nanoseconds) end in 2262 and start in 1677, so a moment outside
  // that span is refused rather than wrapped.
  const auto local = sys_days(ymd) + hours(h) + minutes(mi) + std::chrono::seconds(se) + milliseconds(ms);
  const milliseconds utc = (local - std::chrono::seconds(offset)).time_since_epoch();
  constexpr auto kLatest = duration_cast<milliseconds>(Date::duration::max());
  constexpr auto kEarliest = duration_cast<milliseconds>(Date::duration::min());
  if (utc > kLatest || utc < kEarliest) return std::nullopt;
  return Date(duration_cast<Date::duration>(utc));
}

namespace {

// `date - from` in the clock's ticks, clamped to what they can hold.
Date::duration saturatedDifference(Date date, Date from) {
  Date::rep ticks = 0;
  if (__builtin_sub_overflow(date.time_since_epoch().count(), from.time_since_epoch().count(), &ticks)) {
    return date > from ? Date::duration::max() : Date::duration::min();
  }
  return Date::duration(ticks);
}

}  // namespace

std::int64_t hoursFrom(Date date, Date from) { return duration_cast<hours>(saturatedDifference(date, from)).count(); }

std::int64_t minutesFrom(Date date, Date from) {
  return duration_cast<minutes>(saturatedDifference(date, from)).count();
}

double secondsFrom(Date date, Date from) {
  // Whole seconds and the rest apart, in the clock's own ticks, so no step
  // can overflow and the result keeps the precision of each part.
  constexpr Date::rep kTicksPerSecond = Date::period::den / Date::period::num;
  auto split = [](Date d) {
    const Date::rep ticks = d.time_since_epoch().count();
    Date::rep whole = ticks / kTicksPerSecond;
    Date::rep rest = ticks % kTicksPerSecond;
    if (rest < 0) {
      rest += kTicksPerSecond;
      --whole;
    }
    return std::pair{whole, rest};
  };
  const auto [wholeDate, restDate] = split(date);
  const auto [wholeFrom, restFrom] = split(from);
  return (static_cast<double>(wholeDate) - static_cast<double>(wholeFrom)) +
         static_cast<double>(restDate - restFrom) / static_cast<double>(kTicksPerSecond);
}

std::int64_t minutesOf(double secs) {
  const std::int64_t whole = toInt(secs);
  return (whole / 60) % 60;
}

TimeZone TimeZone::current() { return TimeZone(std::nullopt); }

TimeZone TimeZone::fixed(int secondsFromGMT) { return TimeZone(secondsFromGMT); }

int TimeZone::secondsFromGMT() const {
  if (fixed_) return *fixed_;
  const std::time_t now = system_clock::to_time_t(platform::Clock::now());
  std::tm tm{};
  if (!localtime_r(&now, &tm)) return 0;
  return static_cast<int>(tm.tm_gmtoff);
}

std::string TimeZone::offsetFromUTC() const {
  // One reading of the offset gives both parts and the sign, so an offset
  // under an hour west of UTC keeps its minus sign.
  const int offset = secondsFromGMT();
  const int magnitude = offset < 0 ? -offset : offset;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%c%02d%02d", offset < 0 ? '-' : '+', magnitude / 3600, magnitude / 60 % 60);
  return buf;
}

double roundToInt(double value) {
  const double factor = std::pow(10.0, 4.0);
  return std::round(value * factor) / factor;
}

std::int64_t toInt(double value) {
  if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) return 0;
  return static_cast<std::int64_t>(value);
}

void DispatchQueue::background(double delay, std::function<void()> background, std::function<void()> completion) {
  platform::Dispatch::global().async([delay, background = std::move(background), completion = std::move(completion)] {
    if (background) background();
    if (completion) platform::Dispatch::main().asyncAfter(platform::seconds(delay), completion);
  });
}

}  // namespace pelk
