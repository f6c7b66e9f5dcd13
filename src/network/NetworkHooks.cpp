#include "network/NetworkHooks.h"

#include <mutex>

namespace pelk {
namespace {
// Lock order: a leaf (platform/LockOrder.h).
std::mutex gHooksMutex;
NetworkHooks& hooksStorage() {
  static auto* hooks = new NetworkHooks();
  return *hooks;
}
}  // namespace

NetworkHooks networkHooks() {
  std::lock_guard lock(gHooksMutex);
  return hooksStorage();
}

void setNetworkHooks(NetworkHooks hooks) {
  std::lock_guard lock(gHooksMutex);
  hooksStorage() = std::move(hooks);
}

void updateNetworkHooks(const std::function<void(NetworkHooks&)>& edit) {
  std::lock_guard lock(gHooksMutex);
  edit(hooksStorage());
}

}  // namespace pelk
