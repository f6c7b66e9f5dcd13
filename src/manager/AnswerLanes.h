#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/Dispatch.h"

namespace pelk {

// Where the app's handlers run.  Answers that come later than the call (a
// server reply, a trip action once its fix came) are not run on the thread
// that produced them - the HTTP callback queue, which carries every REST reply
// and the token renewal, or the main queue, which carries tracking - but
// handed to the lane of their kind: one thread per kind that runs them one at
// a time, in the order the kit produced them.  A handler that blocks then
// holds up only the later answers of its own kind.
//
// An answer the kit gives before the call returns, on the caller's thread (a
// refused precondition, a reply from the local store), runs there at once,
// as it always has: a caller can rely on a refusal having come when the call
// returns, whatever its earlier calls still wait for.
class AnswerLane {
 public:
  enum class Kind {
    user,   // the user record and its server-side switches
    trips,  // trips: actions, queries, sync
  };
  static AnswerLane& of(Kind kind);

  explicit AnswerLane(std::string label);
  AnswerLane(const AnswerLane&) = delete;
  AnswerLane& operator=(const AnswerLane&) = delete;

  // Runs `task` on the lane's thread after the answers queued before it.
  void post(platform::Task task);

 private:
  std::shared_ptr<platform::Queue> queue_;
};

// One public call with a handler, on the caller's thread.  The handler it
// wraps runs at once when called on the caller's thread while the call is in
// progress there, otherwise on the lane of `kind`.
class PublicCall {
 public:
  explicit PublicCall(AnswerLane::Kind kind) : lane_(AnswerLane::of(kind)), state_(std::make_shared<State>()) {}
  ~PublicCall() { state_->open.store(false, std::memory_order_release); }
  PublicCall(const PublicCall&) = delete;
  PublicCall& operator=(const PublicCall&) = delete;

  // An empty handler stays empty: the kit may skip work nobody waits for.
  template <class... Args>
  std::function<void(Args...)> handler(std::function<void(Args...)> handler) const {
    if (!handler) return nullptr;
    return [lane = &lane_, state = state_, handler = std::move(handler)](Args... args) {
      if (state->open.load(std::memory_order_acquire) && std::this_thread::get_id() == state->caller) {
        handler(std::move(args)...);
        return;
      }
      lane->post([handler, values = std::make_tuple(std::move(args)...)]() mutable {
        std::apply(handler, std::move(values));
      });
    };
  }

 private:
  struct State {
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> open{true};
  };
  AnswerLane& lane_;
  std::shared_ptr<State> state_;
};

}  // namespace pelk
