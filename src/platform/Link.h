#pragma once

#include <atomic>
#include <functional>
#include <type_traits>
#include <utility>

#include "platform/ThreadSafety.h"

namespace pelk::platform {

// Empties every link that was ever set or called, in one step (tests start
// from a kit with nothing wired).
void resetAllLinks();

namespace detail {

// The registered part of a link: resetAllLinks() reaches every slot through it.
class LinkSlotBase {
 public:
  virtual void reset() = 0;

 protected:
  // Slots are made once per link and never destroyed (kit threads may call a
  // link until the process ends), so there is no destructor to run.
  ~LinkSlotBase() = default;
};

// Puts a new slot on the list resetAllLinks() goes through.
void enroll(LinkSlotBase* slot);

}  // namespace detail

template <class Signature>
class Link;

// An upward link: a lower layer calls a function a higher layer installed.
// The lower layer declares the link with its signature (and, where the kit
// has one, the fallback an unset link runs); the manager layer installs the
// function once for the process.  A call copies the function out and runs it
// with no lock held, so it may take any lock of the kit or set this link.
// Unset and without a fallback, a call does nothing and answers a
// value-initialised result (false, 0, nullptr).
//
// A link is constant-initialised and has no destructor: it may be called
// from any thread, from static initialisers and from work still queued at exit.
template <class R, class... Args>
class Link<R(Args...)> {
 public:
  using Function = std::function<R(Args...)>;
  using Fallback = R (*)(Args...);

  constexpr Link() = default;
  constexpr explicit Link(Fallback fallback) : fallback_(fallback) {}
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  void set(Function function) { slot().store(std::move(function)); }
  void reset() { set(nullptr); }
  // True when a function is installed (the fallback does not count).
  bool isSet() const { return static_cast<bool>(slot().load()); }
  // The installed function, or an empty one.
  Function get() const { return slot().load(); }

  R operator()(Args... args) const {
    if (auto function = get()) return function(std::forward<Args>(args)...);
    if (fallback_) return fallback_(std::forward<Args>(args)...);
    if constexpr (!std::is_void_v<R>) return R{};
  }

 private:
  class Slot final : public detail::LinkSlotBase {
   public:
    void reset() override { store(nullptr); }
    void store(Function function) {
      {
        LockGuard lock(mutex_);
        function_.swap(function);
      }
      // The replaced function (and what it captured) goes here, unlocked.
    }
    Function load() {
      LockGuard lock(mutex_);
      return function_;
    }

   private:
    // Lock order: a leaf (platform/LockOrder.h).
    Mutex mutex_;
    Function function_ PELK_GUARDED_BY(mutex_);
  };

  Slot& slot() const {
    if (auto* existing = slot_.load(std::memory_order_acquire)) return *existing;
    auto* made = new Slot();
    Slot* expected = nullptr;
    if (!slot_.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
      delete made;
      return *expected;
    }
    detail::enroll(made);
    return *made;
  }

  Fallback fallback_ = nullptr;
  mutable std::atomic<Slot*> slot_{nullptr};
};

}  // namespace pelk::platform
