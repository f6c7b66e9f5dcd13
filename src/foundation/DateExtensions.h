#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "foundation/SharedUtil.h"

namespace pelk {

// The kit's wire time stamp: "yyyy-MM-dd'T'HH:mm:ss.SSS" in UTC followed by Z,
// independent of the host's locale and time zone.
std::string iso8601(Date date);
// The same moment to the second, followed by the zone's short name ("GMT").
std::string iso8601Second(Date date);
// Reads a time stamp in the wire format back ("Z" or a numeric offset such as
// "+05:30"); nothing when the text does not match exactly or names a moment
// the kit's clock cannot hold (before 1677 or after 2262).
std::optional<Date> parseIso8601(const std::string& text);

// Whole hours / minutes from `from` to `date` (negative when `from` is later).
// Moments far apart (a stored date near either end of the clock) give the
// largest span the clock holds, never a wrapped one.
std::int64_t hoursFrom(Date date, Date from);
std::int64_t minutesFrom(Date date, Date from);
// Seconds from `from` to `date`, exact for moments any distance apart.
double secondsFrom(Date date, Date from);
// The minutes part of a duration in seconds: (whole seconds / 60) mod 60.
std::int64_t minutesOf(double seconds);

class TimeZone {
 public:
  // The host's zone; its offset is read at each use, so daylight saving counts.
  static TimeZone current();
  static TimeZone fixed(int secondsFromGMT);

  int secondsFromGMT() const;
  // "+HHMM" / "-HHMM" of the offset at this moment; "+0000" for UTC.
  std::string offsetFromUTC() const;

 private:
  explicit TimeZone(std::optional<int> fixed) : fixed_(fixed) {}
  std::optional<int> fixed_;
};

// Rounds to four decimal places, halves away from zero.
double roundToInt(double value);
// Truncates toward zero; 0 for NaN, infinities and values beyond 64 bits.
std::int64_t toInt(double value);

struct DispatchQueue {
  // Runs `background` on the global queue, then `completion` on the main queue
  // `delay` seconds after `background` returned.
  static void background(double delay = 0, std::function<void()> background = nullptr,
                         std::function<void()> completion = nullptr);
};

}  // namespace pelk
