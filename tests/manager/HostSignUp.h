// The start-up of a host in a process of its own, through the public API.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "pelk/Pelk.h"
#include "support/WaitFor.h"

namespace pelk::test {

// The kit, then a user (a start-up still fetching its token may refuse the
// first try, as the demo host knows), whose own positions the app follows.
inline bool signUpHost(const std::string& key, const std::string& rest, const std::string& mqtt) {
  Pelk::initialize(key, rest, mqtt);
  for (int attempt = 0; attempt < 5; ++attempt) {
    // Shared with the handler: an answer later than the wait finds it still there.
    struct Answer {
      std::mutex m;
      bool done = false;
      bool created = false;
    };
    auto answer = std::make_shared<Answer>();
    Pelk::createUser("host", [answer](std::shared_ptr<PelkUser> user, std::optional<PelkError>) {
      std::lock_guard lock(answer->m);
      answer->created = user != nullptr;
      answer->done = true;
    });
    waitFor([&] {
      std::lock_guard lock(answer->m);
      return answer->done;
    });
    std::lock_guard lock(answer->m);
    if (!answer->created) continue;
    // The app follows its own positions (the delegate hears of them).
    Pelk::subscribe(PelkSubscribe::location, "u-1");
    return true;
  }
  return false;
}

}  // namespace pelk::test
