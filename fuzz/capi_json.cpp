// The C API's JSON bridges: custom tracking options, the publish choice, trip
// coordinates and an opened notification's user info, each read from the text
// a C caller passes (NUL-terminated, as a C string is).
#include "FuzzSupport.h"
#include "manager/CApiJson.h"
#include "messaging/LocationPublishParameter.h"
#include "network/ServerResponse.h"

using namespace pelk;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::useScratchKitRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = fuzz::text(data, size);
  const char* c = text.c_str();  // stops at the first NUL, as the caller's string would

  std::string why;
  const auto options = capi::customMethodsFromJson(c, why);
  if (!options && why.empty()) fuzz::broken();  // a refusal always says why

  std::optional<PelkPublish> choice;
  if (capi::publishChoiceOf(c, choice) != choice.has_value()) fuzz::broken();
  // The choice is stored as the publish switches and metadata next.
  if (choice) LocationPublishParameter::sharedInstance().publishOnly(&*choice);

  std::optional<nlohmann::json> coordinates;
  if (capi::tripCoordinatesOf(c, coordinates) != coordinates.has_value()) fuzz::broken();
  if (coordinates && !coordinates->is_object()) fuzz::broken();

  const auto notification = capi::openedNotificationOf(c);
  if (!notification.userInfo.is_object()) fuzz::broken();
  // What the kit reads of it.
  const PelkNotificationResponse payload(notification.userInfo);
  (void)payload;
  return 0;
}
