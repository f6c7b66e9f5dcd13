// The settings value decoder: any bytes a settings file can hold.  A value it
// accepts nests no deeper than promised, and survives being written and read
// again unchanged (compared by its byte form, which keeps NaN exactly).
#include "FuzzSupport.h"
#include "platform/SettingValue.h"

using pelk::platform::SettingValue;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto value = SettingValue::decode(pelk::fuzz::text(data, size));
  if (!value) return 0;
  if (value->depth() > SettingValue::kMaxDepth) pelk::fuzz::broken();
  const std::string bytes = value->encode();
  const auto again = SettingValue::decode(bytes);
  if (!again || again->encode() != bytes) pelk::fuzz::broken();
  // A value read from settings may be handed on as JSON.
  (void)SettingValue::fromJson(value->toJson());
  (void)value->integerValue();
  (void)value->doubleValue();
  (void)value->boolValue();
  return 0;
}
