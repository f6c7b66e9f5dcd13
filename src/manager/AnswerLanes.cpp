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
  // A serial queue: one answer at a time, in the order posted.  At process
  // exit it takes no more, and the answers still waiting are dropped.
  queue_->async([task = std::move(task)] {
    // The app's code must not end the lane: the answers behind it still go out.
    try {
      task();
    } catch (const std::exception& e) {
      platform::Console::print(std::string("A handler threw: ") + e.what(), platform::Console::Level::Error);
    } catch (...) {
      platform::Console::print("A handler threw", platform::Console::Level::Error);
    }
  });
}

}  // namespace pelk
