#pragma once

#include <chrono>

namespace pelk::platform {

using TimePoint = std::chrono::system_clock::time_point;
using Duration = std::chrono::system_clock::duration;

// Wall-clock time of the process.  Tests switch it to a virtual clock that only
// moves when they advance it; the manual main queue schedules against it.
class Clock {
 public:
  static TimePoint now();

  // Virtual time for tests.  While virtual, now() answers the virtual moment.
  static void useVirtual(TimePoint start);
  static void useSystem();
  static bool isVirtual();
  static void advance(Duration by);
  static void setVirtualNow(TimePoint t);

  static double secondsSince1970(TimePoint t);
  static TimePoint fromSecondsSince1970(double seconds);
};

// Seconds as a clock duration (fractions kept to the clock's resolution).
Duration seconds(double s);

}  // namespace pelk::platform
