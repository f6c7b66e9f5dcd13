#pragma once

// Records what the kit hands to a completion handler, from whichever thread
// it calls it.  The calls live in a state the handlers share, so a handler
// the kit calls late (after the test stopped waiting, or once too often)
// never touches a destroyed recorder.

#include <chrono>
#include <concepts>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "pelk/PelkError.h"
#include "support/WaitFor.h"

namespace pelk::test {

template <class Result>
class HandlerRecorder {
 public:
  using Call = std::pair<Result, std::optional<PelkError>>;

  // A handler of (result, error); the result is kept as a Result, so a
  // HandlerRecorder<bool> keeps only whether a result came.
  auto handler() const {
    return [state = state_]<class R>(
               R && result, std::optional<PelkError> error) -> void requires std::constructible_from<Result, R&&> {
      state->add(Result(std::forward<R>(result)), std::move(error));
    };
  }
  // A handler of an error alone; its calls keep an empty result.
  auto errorHandler() const {
    return [state = state_](std::optional<PelkError> error) { state->add(Result{}, std::move(error)); };
  }

  std::size_t count() const {
    std::lock_guard lock(state_->mutex);
    return state_->calls.size();
  }
  // The last call; an empty one (and a failure) when there was none.
  Call last() const {
    std::lock_guard lock(state_->mutex);
    if (state_->calls.empty()) {
      ADD_FAILURE() << "the handler was not called";
      return Call{};
    }
    return state_->calls.back();
  }
  Result result() const { return last().first; }
  std::vector<Call> all() const {
    std::lock_guard lock(state_->mutex);
    return state_->calls;
  }
  std::optional<PelkError> error() const { return last().second; }

  // Waits (draining a manual main queue) until the handler was called `n`
  // times; answers whether it was.
  bool wait(std::size_t n = 1, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    return waitFor([&] { return count() >= n; }, timeout);
  }
  // Waits for the one answer and hands it over; fails on none or on more.
  Call only(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    EXPECT_TRUE(wait(1, timeout));
    EXPECT_EQ(count(), 1u);
    return count() ? last() : Call{};
  }

 private:
  struct State {
    void add(Result result, std::optional<PelkError> error) {
      std::lock_guard lock(mutex);
      calls.emplace_back(std::move(result), std::move(error));
    }
    std::mutex mutex;
    std::vector<Call> calls;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// The recorder of a trip action's handler: a text, or the error.
using TextCalls = HandlerRecorder<std::optional<std::string>>;

// A result of any type, not kept: for recorders that look at errors alone.
struct AnyResult {
  AnyResult() = default;
  template <class T>
  explicit AnyResult(T&&) {}
};

// Runs `op` with a recording handler (of an error alone, or of a result and
// an error, whichever `op` takes) and waits for its first answer: the error
// it came with, or none.
template <class Op>
std::optional<PelkError> errorOf(Op&& op) {
  HandlerRecorder<AnyResult> calls;
  if constexpr (std::is_invocable_v<Op&, decltype(calls.errorHandler())>) {
    op(calls.errorHandler());
  } else {
    op(calls.handler());
  }
  EXPECT_TRUE(calls.wait());
  return calls.count() ? calls.error() : std::nullopt;
}

}  // namespace pelk::test
