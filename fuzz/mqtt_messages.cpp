// MQTT payloads the kit receives: incoming events (each entry of "events") and
// other users' positions, parsed as the subscriptions parse them and read into
// the models the app is handed.
#include "FuzzSupport.h"
#include "ModelReads.h"
#include "foundation/StringExtensions.h"
#include "messaging/MQTTUtilis.h"
#include "pelk/PelkEvents.h"
#include "pelk/PelkLocation.h"

using namespace pelk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto message = MQTTUtilis::parseMessageObject(fuzz::text(data, size));
  if (!message) return 0;
  if (!message->is_object()) fuzz::broken();
  // A message is promised to nest at most 64 containers deep.
  if (!jsonNestedWithin(*message, 64 + 1)) fuzz::broken();

  if (const auto it = message->find("events"); it != message->end() && it->is_array()) {
    for (const auto& entry : *it) {
      if (auto events = PelkEvents::fromDictionary(entry)) fuzz::readNumbers(*events);
    }
  }
  auto received = PelkLocationReceived::fromDictionary(*message);
  if (!received) fuzz::broken();  // refused only when not an object
  fuzz::readNumbers(*received);
  return 0;
}
