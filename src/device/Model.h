#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelk {

// The hardware models the kit can name, with their display names as raw values
// (rawValue).  The names go to the server as they are, odd blanks and inch
// marks included.
// One row per family reads better than one case a line.
// clang-format off
enum class Model {
  simulator,
  iPod1, iPod2, iPod3, iPod4, iPod5, iPod6, iPod7,
  iPad2, iPad3, iPad4, iPadAir, iPadAir2, iPadAir3, iPadAir4,
  iPad5, iPad6, iPad7, iPad8,
  iPadMini, iPadMini2, iPadMini3, iPadMini4, iPadMini5,
  iPadPro9_7, iPadPro10_5, iPadPro11, iPadPro2_11, iPadPro12_9, iPadPro2_12_9, iPadPro3_12_9, iPadPro4_12_9,
  iPhone4, iPhone4S, iPhone5, iPhone5S, iPhone5C, iPhone6, iPhone6Plus, iPhone6S, iPhone6SPlus, iPhoneSE,
  iPhone7, iPhone7Plus, iPhone8, iPhone8Plus, iPhoneX, iPhoneXS, iPhoneXSMax, iPhoneXR,
  iPhone11, iPhone11Pro, iPhone11ProMax, iPhoneSE2, iPhone12Mini, iPhone12, iPhone12Pro, iPhone12ProMax,
  AppleWatch1, AppleWatchS1, AppleWatchS2, AppleWatchS3, AppleWatchS4, AppleWatchS5, AppleWatchSE, AppleWatchS6,
  AppleTV1, AppleTV2, AppleTV3, AppleTV4, AppleTV_4K,
  unrecognized,
};
// clang-format on

// Every case, in declaration order.
const std::vector<Model>& allModels();

// The display name.
std::string rawValue(Model model);
// The case whose display name is exactly `raw`, or nothing.
std::optional<Model> modelFromRawValue(std::string_view raw);

// The hardware identifiers the kit knows, each with its model.
const std::vector<std::pair<std::string, Model>>& hardwareIdentifierTable();
// Exact, case-sensitive lookup of a whole identifier.
std::optional<Model> modelForHardwareIdentifier(std::string_view identifier);

// The model of the hardware the process runs on, from the kernel's machine
// name.  On a simulator's machine names the simulated model comes from the
// environment variable "SIMULATOR_MODEL_IDENTIFIER"; an unknown machine is
// `unrecognized`.
Model deviceType();

}  // namespace pelk
