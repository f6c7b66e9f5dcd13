#include "messaging/MessagingHooks.h"

#include <mutex>

namespace pelk {
namespace {
// Lock order: a leaf (platform/LockOrder.h).
std::mutex gHooksMutex;
MessagingHooks& hooksStorage() {
  static auto* hooks = new MessagingHooks();
  return *hooks;
}
}  // namespace

MessagingHooks messagingHooks() {
  std::lock_guard lock(gHooksMutex);
  return hooksStorage();
}

void setMessagingHooks(MessagingHooks hooks) {
  std::lock_guard lock(gHooksMutex);
  hooksStorage() = std::move(hooks);
}

void updateMessagingHooks(const std::function<void(MessagingHooks&)>& edit) {
  std::lock_guard lock(gHooksMutex);
  edit(hooksStorage());
}

}  // namespace pelk
