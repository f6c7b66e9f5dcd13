// Shadow documents: the account shadow (stored switches) and the user shadow
// (stored event and listener switches), parsed as the shadow topics parse
// them and stored in a settings suite of the target's own.
#include "FuzzSupport.h"
#include "messaging/MQTTUtilis.h"

using namespace pelk;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::useScratchKitRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto document = MQTTUtilis::parseMessageObject(fuzz::text(data, size));
  if (!document) return 0;
  const PelkShadowState state = MQTTUtilis::pubsubState(*document);
  // What the document held is what is stored.
  if (state.location_tracking && TokenManager::getLocationTrackingState() != *state.location_tracking) fuzz::broken();
  if (state.pub_sub && TokenManager::getPubSubState() != *state.pub_sub) fuzz::broken();
  MQTTUtilis::saveUserShadow(*document);
  return 0;
}
