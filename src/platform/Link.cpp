#include "platform/Link.h"

#include <vector>

namespace pelk::platform {
namespace {

struct Registry {
  // Lock order: a leaf (platform/LockOrder.h).
  Mutex mutex;
  std::vector<detail::LinkSlotBase*> slots PELK_GUARDED_BY(mutex);
};
Registry& registry() {
  static auto* r = new Registry();
  return *r;
}

}  // namespace

void detail::enroll(LinkSlotBase* slot) {
  auto& r = registry();
  LockGuard lock(r.mutex);
  r.slots.push_back(slot);
}

void resetAllLinks() {
  auto& r = registry();
  std::vector<detail::LinkSlotBase*> slots;
  {
    LockGuard lock(r.mutex);
    slots = r.slots;
  }
  for (auto* slot : slots) slot->reset();
}

}  // namespace pelk::platform
