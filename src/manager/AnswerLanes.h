#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/Dispatch.h"

namespace pelk {

// Where the app's handlers run.  Answers that come later than the call (a
// server reply, a fix) are not run on the thread that produced them - the
// HTTP callback queue, which carries every REST reply and the token renewal,
// or the main queue, which carries tracking - but handed to the lane of their
// kind: one thread per kind that runs them one at a time, in the order the
// kit produced them.  A handler that blocks then holds up only the later
// answers of its own kind.
//
// An answer the kit gives before the call returns, on the caller's thread (a
// refused precondition, a reply from the local store), runs there at once,
// unless an earlier answer of the same kind is still waiting or running: it
// then waits its turn on the lane, so answers of one kind never overtake one
// another and never run two at a time.
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

  // Queues `task` behind the answers of this kind.
  void post(platform::Task task);
  // Runs `task` on the calling thread now when no answer of this kind waits
  // or runs, otherwise queues it.  An exception of the task goes on to the
  // caller, after the lane was freed.
  void runHereOrPost(platform::Task task);

 private:
  void runNext();
  // Frees the lane, or hands the next waiting answer to its thread.
  void next();

  std::shared_ptr<platform::Queue> queue_;
  // Lock order: a leaf (platform/LockOrder.h); nothing is called under it.
  std::mutex mutex_;
  std::deque<platform::Task> waiting_;
  // An answer of this lane runs, or its thread was asked to run the next one.
  bool busy_ = false;
};

// One public call with a handler, on the caller's thread.  The handler it
// wraps goes through the lane of `kind`: run on the caller's thread while the
// call is in progress there, otherwise on the lane's thread.
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
      platform::Task task = [handler, values = std::make_tuple(std::move(args)...)]() mutable {
        std::apply(handler, std::move(values));
      };
      if (state->open.load(std::memory_order_acquire) && std::this_thread::get_id() == state->caller) {
        lane->runHereOrPost(std::move(task));
      } else {
        lane->post(std::move(task));
      }
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
