#include "platform/Link.h"

#include <vector>

namespace pelk::platform {
namespace {

// Lock order: a leaf (platform/LockOrder.h).
std::mutex& registryMutex() {
  static auto* m = new std::mutex();
  return *m;
}
std::vector<detail::LinkSlotBase*>& registry() {
  static auto* slots = new std::vector<detail::LinkSlotBase*>();
  return *slots;
}

}  // namespace

void detail::enroll(LinkSlotBase* slot) {
  std::lock_guard lock(registryMutex());
  registry().push_back(slot);
}

void resetAllLinks() {
  std::vector<detail::LinkSlotBase*> slots;
  {
    std::lock_guard lock(registryMutex());
    slots = registry();
  }
  for (auto* slot : slots) slot->reset();
}

}  // namespace pelk::platform
