#include "foundation/DeravObjectId.h"

#include <array>
#include <cmath>

#include "foundation/DateExtensions.h"
#include "platform/Clock.h"

namespace pelk {
namespace {
constexpr std::int64_t kCounterMax = 0xFFFFFF;

std::mt19937_64 seededEngine() {
  std::random_device rd;
  std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
  return std::mt19937_64(seq);
}
}  // namespace

DeravObjectId& DeravObjectId::shared() {
  static auto* instance = new DeravObjectId();
  return *instance;
}

DeravObjectId::DeravObjectId() : random_(seededEngine()) {
  counter_ = std::uniform_int_distribution<std::int64_t>(0, kCounterMax)(random_);
}

std::int64_t DeravObjectId::counter() const {
  platform::LockGuard lock(mutex_);
  return counter_;
}

void DeravObjectId::setCounterForTesting(std::int64_t value) {
  platform::LockGuard lock(mutex_);
  counter_ = value < 0 || value > kCounterMax ? 0 : value;
}

std::int64_t DeravObjectId::takeCounter() {
  platform::LockGuard lock(mutex_);
  const std::int64_t value = counter_;
  counter_ = counter_ >= kCounterMax ? 0 : counter_ + 1;
  return value;
}

std::string DeravObjectId::generate() {
  const std::int64_t time = toInt(std::trunc(platform::Clock::secondsSince1970(platform::Clock::now())));
  std::uint64_t random;
  {
    platform::LockGuard lock(mutex_);
    random = random_() & 0xFFFFFFFFFFull;
  }
  const std::int64_t count = takeCounter();

  std::array<std::uint8_t, 12> bytes{};
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>((time >> (24 - 8 * i)) & 0xFF);
  for (int i = 0; i < 5; ++i) bytes[4 + i] = static_cast<std::uint8_t>((random >> (32 - 8 * i)) & 0xFF);
  for (int i = 0; i < 3; ++i) bytes[9 + i] = static_cast<std::uint8_t>((count >> (16 - 8 * i)) & 0xFF);

  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(24);
  for (auto b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0xF]);
  }
  return out;
}

}  // namespace pelk
