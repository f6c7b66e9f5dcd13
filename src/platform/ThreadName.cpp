#include "platform/ThreadName.h"

#include <pthread.h>

namespace pelk::platform {

namespace {
constexpr std::size_t kMaxName = 15;
}

void nameThisThread(const std::string& name) {
  (void)::pthread_setname_np(::pthread_self(), name.substr(0, kMaxName).c_str());
}

std::string thisThreadName() {
  char name[kMaxName + 1] = {};
  if (::pthread_getname_np(::pthread_self(), name, sizeof name) != 0) return "?";
  return name;
}

std::string threadNameForLabel(const std::string& label) {
  const auto dot = label.rfind('.');
  const std::string last = dot == std::string::npos ? label : label.substr(dot + 1);
  return ("pelk-" + last).substr(0, kMaxName);
}

}  // namespace pelk::platform
