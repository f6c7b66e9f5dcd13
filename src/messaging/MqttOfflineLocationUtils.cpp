// STAND-IN: replaced by the real connection
#include "messaging/MqttOfflineLocationUtils.h"

namespace pelk {

MqttOfflineLocationUtils& MqttOfflineLocationUtils::sharedInstance() {
  static auto* instance = new MqttOfflineLocationUtils();
  return *instance;
}

void MqttOfflineLocationUtils::locationDataBatch(const std::vector<MqttLocationData>&) {}

}  // namespace pelk
