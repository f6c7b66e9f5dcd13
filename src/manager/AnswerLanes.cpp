#include "manager/AnswerLanes.h"

#include <exception>
#include <string>

#include "platform/Console.h"

namespace pelk {

AnswerLane& AnswerLane::of(Kind kind) {
  // Process lifetime: answers may still be handed over from other threads at exit.
  static auto* user = new AnswerLane("pelk.answers.user");
  static auto* trips = new AnswerLane("pelk.answers.trips");
  return kind == Kind::user ? *user : *trips;
}

AnswerLane::AnswerLane(std::string label) : queue_(platform::Dispatch::makeSerial(std::move(label))) {}

void AnswerLane::post(platform::Task task) {
  {
    std::lock_guard lock(mutex_);
    waiting_.push_back(std::move(task));
    if (busy_) return;
    busy_ = true;
  }
  queue_->async([this] { runNext(); });
}

void AnswerLane::runHereOrPost(platform::Task task) {
  {
    std::lock_guard lock(mutex_);
    if (busy_) {
      waiting_.push_back(std::move(task));
      return;
    }
    busy_ = true;
  }
  struct Release {
    AnswerLane* lane;
    ~Release() { lane->next(); }
  } release{this};
  task();
}

void AnswerLane::runNext() {
  platform::Task task;
  {
    std::lock_guard lock(mutex_);
    if (waiting_.empty()) {
      busy_ = false;
      return;
    }
    task = std::move(waiting_.front());
    waiting_.pop_front();
  }
  // The app's code must not end the lane: the answers behind it still go out.
  try {
    task();
  } catch (const std::exception& e) {
    platform::Console::print(std::string("A handler threw: ") + e.what(), platform::Console::Level::Error);
  } catch (...) {
    platform::Console::print("A handler threw", platform::Console::Level::Error);
  }
  task = nullptr;
  next();
}

void AnswerLane::next() {
  {
    std::lock_guard lock(mutex_);
    if (waiting_.empty()) {
      busy_ = false;
      return;
    }
  }
  // One answer per task of the queue, so that at process exit, when the
  // queue takes no more work, the answers still waiting are dropped instead
  // of run while the process's statics go away.
  queue_->async([this] { runNext(); });
}

}  // namespace pelk
