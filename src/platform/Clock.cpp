#include "platform/Clock.h"

#include <atomic>
#include <cmath>
#include <limits>

namespace pelk::platform {
namespace {
std::atomic<bool> gVirtual{false};
std::atomic<Duration::rep> gVirtualNow{0};
}  // namespace

TimePoint Clock::now() {
  if (gVirtual.load(std::memory_order_acquire)) {
    return TimePoint(Duration(gVirtualNow.load(std::memory_order_acquire)));
  }
  return std::chrono::system_clock::now();
}

void Clock::useVirtual(TimePoint start) {
  gVirtualNow.store(start.time_since_epoch().count(), std::memory_order_release);
  gVirtual.store(true, std::memory_order_release);
}

void Clock::useSystem() { gVirtual.store(false, std::memory_order_release); }

bool Clock::isVirtual() { return gVirtual.load(std::memory_order_acquire); }

void Clock::advance(Duration by) {
  // Saturates at the ends of the clock's range instead of wrapping round.
  using Rep = Duration::rep;
  Rep now = gVirtualNow.load(std::memory_order_acquire);
  Rep next;
  do {
    const Rep step = by.count();
    if (step > 0 && now > std::numeric_limits<Rep>::max() - step) {
      next = std::numeric_limits<Rep>::max();
    } else if (step < 0 && now < std::numeric_limits<Rep>::min() - step) {
      next = std::numeric_limits<Rep>::min();
    } else {
      next = now + step;
    }
  } while (!gVirtualNow.compare_exchange_weak(now, next, std::memory_order_acq_rel));
}

void Clock::setVirtualNow(TimePoint t) {
  gVirtualNow.store(t.time_since_epoch().count(), std::memory_order_release);
}

double Clock::secondsSince1970(TimePoint t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

TimePoint Clock::fromSecondsSince1970(double s) {
  return TimePoint(seconds(s));
}

Duration seconds(double s) {
  if (std::isnan(s)) return Duration::zero();
  if (std::isinf(s)) return s > 0 ? Duration::max() : Duration::min();
  const double ticks = s * static_cast<double>(Duration::period::den) / Duration::period::num;
  if (ticks >= static_cast<double>(std::numeric_limits<Duration::rep>::max())) return Duration::max();
  if (ticks <= static_cast<double>(std::numeric_limits<Duration::rep>::min())) return Duration::min();
  return Duration(static_cast<Duration::rep>(std::llround(ticks)));
}

}  // namespace pelk::platform
