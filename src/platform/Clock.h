#pragma once

#include <chrono>

namespace pelk::platform {

using TimePoint = std::chrono::system_clock::time_point;
using Duration = std::chrono::system_clock::duration;
using SteadyTimePoint = std::chrono::steady_clock::time_point;

// Wall-clock time of the process.  Tests switch it to a virtual clock that only
// moves when they advance it; the manual main queue schedules against it.
class Clock {
 public:
  static TimePoint now();
  // A clock that never jumps: it does not follow the host's clock when that is
  // set (NTP's first answer on a box without a real-time clock, a user fixing
  // the date).  For how long ago something happened in this process.
  static SteadyTimePoint steadyNow();

  // Virtual time for tests.  While virtual, now() answers the virtual moment
  // and steadyNow() a virtual steady moment.
  static void useVirtual(TimePoint start);
  static void useSystem();
  static bool isVirtual();
  // Time passes: both clocks move by `by`.  A negative step sets the wall
  // clock back only; the steady clock never goes back.
  static void advance(Duration by);
  // The host's clock is set to `t`: the wall clock jumps, the steady clock
  // stays where it was.
  static void setVirtualNow(TimePoint t);

  static double secondsSince1970(TimePoint t);
  static TimePoint fromSecondsSince1970(double seconds);
};

// Seconds as a clock duration (fractions kept to the clock's resolution).
Duration seconds(double s);

}  // namespace pelk::platform
