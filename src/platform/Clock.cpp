#include "platform/Clock.h"

#include <atomic>
#include <cmath>
#include <limits>

namespace pelk::platform {
namespace {
std::atomic<bool> gVirtual{false};
std::atomic<Duration::rep> gVirtualNow{0};
std::atomic<std::chrono::steady_clock::rep> gVirtualSteady{0};

// `value` moved by `step`, held at the ends of the range instead of wrapping.
template <class Rep>
Rep saturatingAdd(Rep value, Rep step) {
  if (step > 0 && value > std::numeric_limits<Rep>::max() - step) return std::numeric_limits<Rep>::max();
  if (step < 0 && value < std::numeric_limits<Rep>::min() - step) return std::numeric_limits<Rep>::min();
  return value + step;
}
}  // namespace

TimePoint Clock::now() {
  if (gVirtual.load(std::memory_order_acquire)) {
    return TimePoint(Duration(gVirtualNow.load(std::memory_order_acquire)));
  }
  return std::chrono::system_clock::now();
}

SteadyTimePoint Clock::steadyNow() {
  if (gVirtual.load(std::memory_order_acquire)) {
    return SteadyTimePoint(std::chrono::steady_clock::duration(gVirtualSteady.load(std::memory_order_acquire)));
  }
  return std::chrono::steady_clock::now();
}

void Clock::useVirtual(TimePoint start) {
  // The virtual steady clock starts where the real one stands (never at its
  // epoch) and never goes back, also when a test starts virtual time again.
  const auto real = std::chrono::steady_clock::now().time_since_epoch().count();
  auto steady = gVirtualSteady.load(std::memory_order_acquire);
  while (steady < real && !gVirtualSteady.compare_exchange_weak(steady, real, std::memory_order_acq_rel)) {
  }
  gVirtualNow.store(start.time_since_epoch().count(), std::memory_order_release);
  gVirtual.store(true, std::memory_order_release);
}

void Clock::useSystem() { gVirtual.store(false, std::memory_order_release); }

bool Clock::isVirtual() { return gVirtual.load(std::memory_order_acquire); }

void Clock::advance(Duration by) {
  Duration::rep now = gVirtualNow.load(std::memory_order_acquire);
  while (!gVirtualNow.compare_exchange_weak(now, saturatingAdd(now, by.count()), std::memory_order_acq_rel)) {
  }
  if (by <= Duration::zero()) return;
  using SteadyRep = std::chrono::steady_clock::rep;
  const auto step = std::chrono::duration_cast<std::chrono::steady_clock::duration>(by).count();
  SteadyRep steady = gVirtualSteady.load(std::memory_order_acquire);
  while (!gVirtualSteady.compare_exchange_weak(steady, saturatingAdd<SteadyRep>(steady, step),
                                               std::memory_order_acq_rel)) {
  }
}

void Clock::setVirtualNow(TimePoint t) { gVirtualNow.store(t.time_since_epoch().count(), std::memory_order_release); }

double Clock::secondsSince1970(TimePoint t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

TimePoint Clock::fromSecondsSince1970(double s) { return TimePoint(seconds(s)); }

Duration seconds(double s) {
  if (std::isnan(s)) return Duration::zero();
  if (std::isinf(s)) return s > 0 ? Duration::max() : Duration::min();
  const double ticks = s * static_cast<double>(Duration::period::den) / Duration::period::num;
  if (ticks >= static_cast<double>(std::numeric_limits<Duration::rep>::max())) return Duration::max();
  if (ticks <= static_cast<double>(std::numeric_limits<Duration::rep>::min())) return Duration::min();
  return Duration(static_cast<Duration::rep>(std::llround(ticks)));
}

}  // namespace pelk::platform
