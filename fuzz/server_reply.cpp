// The REST reply envelope: the reply body as the transport reads it, then
// every envelope reader of the client over the object it hands on.
#include "FuzzSupport.h"
#include "foundation/StringExtensions.h"
#include "network/APIClient.h"
#include "network/ServerResponse.h"

using namespace pelk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto reply = APIClient::readReply(fuzz::text(data, size));
  if (!reply) return 0;
  if (!reply->is_object()) fuzz::broken();
  // Handlers copy and write replies, both recursively: an accepted reply nests
  // no deeper than promised (containers, plus one for the plain values).
  if (!jsonNestedWithin(*reply, APIClient::kMaxReplyDepth + 1)) fuzz::broken();

  const PelkServerResponse envelope(*reply);
  const PelkOAuthResponse oauth(*reply);
  const PelkActiveTripResponse active(*reply);
  const PelkNotificationResponse notification(*reply);
  // The active-trips list is always there, and empty when malformed.
  if (!active.trips || (active.malformed && !active.trips->empty())) fuzz::broken();
  for (const auto& trip : *active.trips) {
    if (!trip) fuzz::broken();
  }
  // The client logs a reply this way; text that is not UTF-8 must not throw.
  (void)reply->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return 0;
}
