#include "device/Model.h"

#include <map>

#include "platform/Device.h"

namespace pelk {
namespace {

struct Entry {
  Model model;
  const char* name;
};

// Display names, in declaration order of Model.
const Entry kNames[] = {
    {Model::simulator, "simulator/sandbox"},
    {Model::iPod1, "iPod 1"},
    {Model::iPod2, "iPod 2"},
    {Model::iPod3, "iPod 3"},
    {Model::iPod4, "iPod 4"},
    {Model::iPod5, "iPod 5"},
    {Model::iPod6, "iPod 6"},
    {Model::iPod7, "iPod 7"},
    {Model::iPad2, "iPad 2"},
    {Model::iPad3, "iPad 3"},
    {Model::iPad4, "iPad 4"},
    {Model::iPadAir, "iPad Air "},
    {Model::iPadAir2, "iPad Air 2"},
    {Model::iPadAir3, "iPad Air 3"},
    {Model::iPadAir4, "iPad Air 4"},
    {Model::iPad5, "iPad 5"},
    {Model::iPad6, "iPad 6"},
    {Model::iPad7, "iPad 7"},
    {Model::iPad8, "iPad 8"},
    {Model::iPadMini, "iPad Mini"},
    {Model::iPadMini2, "iPad Mini 2"},
    {Model::iPadMini3, "iPad Mini 3"},
    {Model::iPadMini4, "iPad Mini 4"},
    {Model::iPadMini5, "iPad Mini 5"},
    {Model::iPadPro9_7, "iPad Pro 9.7\""},
    {Model::iPadPro10_5, "iPad Pro 10.5\""},
    {Model::iPadPro11, "iPad Pro 11\""},
    {Model::iPadPro2_11, "iPad Pro 11\" 2nd gen"},
    {Model::iPadPro12_9, "iPad Pro 12.9\""},
    {Model::iPadPro2_12_9, "iPad Pro 2 12.9\""},
    {Model::iPadPro3_12_9, "iPad Pro 3 12.9\""},
    {Model::iPadPro4_12_9, "iPad Pro 4 12.9\""},
    {Model::iPhone4, "iPhone 4"},
    {Model::iPhone4S, "iPhone 4S"},
    {Model::iPhone5, "iPhone 5"},
    {Model::iPhone5S, "iPhone 5S"},
    {Model::iPhone5C, "iPhone 5C"},
    {Model::iPhone6, "iPhone 6"},
    {Model::iPhone6Plus, "iPhone 6 Plus"},
    {Model::iPhone6S, "iPhone 6S"},
    {Model::iPhone6SPlus, "iPhone 6S Plus"},
    {Model::iPhoneSE, "iPhone SE"},
    {Model::iPhone7, "iPhone 7"},
    {Model::iPhone7Plus, "iPhone 7 Plus"},
    {Model::iPhone8, "iPhone 8"},
    {Model::iPhone8Plus, "iPhone 8 Plus"},
    {Model::iPhoneX, "iPhone X"},
    {Model::iPhoneXS, "iPhone XS"},
    {Model::iPhoneXSMax, "iPhone XS Max"},
    {Model::iPhoneXR, "iPhone XR"},
    {Model::iPhone11, "iPhone 11"},
    {Model::iPhone11Pro, "iPhone 11 Pro"},
    {Model::iPhone11ProMax, "iPhone 11 Pro Max"},
    {Model::iPhoneSE2, "iPhone SE 2nd gen"},
    {Model::iPhone12Mini, "iPhone 12 Mini"},
    {Model::iPhone12, "iPhone 12"},
    {Model::iPhone12Pro, "iPhone 12 Pro"},
    {Model::iPhone12ProMax, "iPhone 12 Pro Max"},
    {Model::AppleWatch1, "Apple Watch 1gen"},
    {Model::AppleWatchS1, "Apple Watch Series 1"},
    {Model::AppleWatchS2, "Apple Watch Series 2"},
    {Model::AppleWatchS3, "Apple Watch Series 3"},
    {Model::AppleWatchS4, "Apple Watch Series 4"},
    {Model::AppleWatchS5, "Apple Watch Series 5"},
    {Model::AppleWatchSE, "Apple Watch Special Edition"},
    {Model::AppleWatchS6, "Apple Watch Series 6"},
    {Model::AppleTV1, "Apple TV 1gen"},
    {Model::AppleTV2, "Apple TV 2gen"},
    {Model::AppleTV3, "Apple TV 3gen"},
    {Model::AppleTV4, "Apple TV 4gen"},
    {Model::AppleTV_4K, "Apple TV 4K"},
    {Model::unrecognized, "?unrecognized?"},
};

using M = Model;

// One row per model reads better than one identifier a line.
// clang-format off
const std::vector<std::pair<std::string, Model>> kIdentifiers = {
    // Simulators run on the host's machine names.
    {"i386", M::simulator}, {"x86_64", M::simulator},
    {"iPod1,1", M::iPod1}, {"iPod2,1", M::iPod2}, {"iPod3,1", M::iPod3}, {"iPod4,1", M::iPod4},
    {"iPod5,1", M::iPod5}, {"iPod7,1", M::iPod6}, {"iPod9,1", M::iPod7},
    {"iPad2,1", M::iPad2}, {"iPad2,2", M::iPad2}, {"iPad2,3", M::iPad2}, {"iPad2,4", M::iPad2},
    {"iPad3,1", M::iPad3}, {"iPad3,2", M::iPad3}, {"iPad3,3", M::iPad3},
    {"iPad3,4", M::iPad4}, {"iPad3,5", M::iPad4}, {"iPad3,6", M::iPad4},
    {"iPad6,11", M::iPad5}, {"iPad6,12", M::iPad5},
    {"iPad7,5", M::iPad6}, {"iPad7,6", M::iPad6},
    {"iPad7,11", M::iPad7}, {"iPad7,12", M::iPad7},
    {"iPad11,6", M::iPad8}, {"iPad11,7", M::iPad8},
    {"iPad2,5", M::iPadMini}, {"iPad2,6", M::iPadMini}, {"iPad2,7", M::iPadMini},
    {"iPad4,4", M::iPadMini2}, {"iPad4,5", M::iPadMini2}, {"iPad4,6", M::iPadMini2},
    {"iPad4,7", M::iPadMini3}, {"iPad4,8", M::iPadMini3}, {"iPad4,9", M::iPadMini3},
    {"iPad5,1", M::iPadMini4}, {"iPad5,2", M::iPadMini4},
    {"iPad11,1", M::iPadMini5}, {"iPad11,2", M::iPadMini5},
    {"iPad6,3", M::iPadPro9_7}, {"iPad6,4", M::iPadPro9_7},
    {"iPad7,3", M::iPadPro10_5}, {"iPad7,4", M::iPadPro10_5},
    {"iPad6,7", M::iPadPro12_9}, {"iPad6,8", M::iPadPro12_9},
    {"iPad7,1", M::iPadPro2_12_9}, {"iPad7,2", M::iPadPro2_12_9},
    {"iPad8,1", M::iPadPro11}, {"iPad8,2", M::iPadPro11}, {"iPad8,3", M::iPadPro11}, {"iPad8,4", M::iPadPro11},
    {"iPad8,9", M::iPadPro2_11}, {"iPad8,10", M::iPadPro2_11},
    {"iPad8,5", M::iPadPro3_12_9}, {"iPad8,6", M::iPadPro3_12_9}, {"iPad8,7", M::iPadPro3_12_9},
    {"iPad8,8", M::iPadPro3_12_9},
    {"iPad8,11", M::iPadPro4_12_9}, {"iPad8,12", M::iPadPro4_12_9},
    {"iPad4,1", M::iPadAir}, {"iPad4,2", M::iPadAir}, {"iPad4,3", M::iPadAir},
    {"iPad5,3", M::iPadAir2}, {"iPad5,4", M::iPadAir2},
    {"iPad11,3", M::iPadAir3}, {"iPad11,4", M::iPadAir3},
    {"iPad13,1", M::iPadAir4}, {"iPad13,2", M::iPadAir4},
    {"iPhone3,1", M::iPhone4}, {"iPhone3,2", M::iPhone4}, {"iPhone3,3", M::iPhone4},
    {"iPhone4,1", M::iPhone4S},
    {"iPhone5,1", M::iPhone5}, {"iPhone5,2", M::iPhone5},
    {"iPhone5,3", M::iPhone5C}, {"iPhone5,4", M::iPhone5C},
    {"iPhone6,1", M::iPhone5S}, {"iPhone6,2", M::iPhone5S},
    {"iPhone7,1", M::iPhone6Plus}, {"iPhone7,2", M::iPhone6},
    {"iPhone8,1", M::iPhone6S}, {"iPhone8,2", M::iPhone6SPlus}, {"iPhone8,4", M::iPhoneSE},
    {"iPhone9,1", M::iPhone7}, {"iPhone9,3", M::iPhone7},
    {"iPhone9,2", M::iPhone7Plus}, {"iPhone9,4", M::iPhone7Plus},
    {"iPhone10,1", M::iPhone8}, {"iPhone10,4", M::iPhone8},
    {"iPhone10,2", M::iPhone8Plus}, {"iPhone10,5", M::iPhone8Plus},
    {"iPhone10,3", M::iPhoneX}, {"iPhone10,6", M::iPhoneX},
    {"iPhone11,2", M::iPhoneXS},
    {"iPhone11,4", M::iPhoneXSMax}, {"iPhone11,6", M::iPhoneXSMax},
    {"iPhone11,8", M::iPhoneXR},
    {"iPhone12,1", M::iPhone11}, {"iPhone12,3", M::iPhone11Pro}, {"iPhone12,5", M::iPhone11ProMax},
    {"iPhone12,8", M::iPhoneSE2},
    {"iPhone13,1", M::iPhone12Mini}, {"iPhone13,2", M::iPhone12}, {"iPhone13,3", M::iPhone12Pro},
    {"iPhone13,4", M::iPhone12ProMax},
    {"Watch1,1", M::AppleWatch1}, {"Watch1,2", M::AppleWatch1},
    {"Watch2,6", M::AppleWatchS1}, {"Watch2,7", M::AppleWatchS1},
    {"Watch2,3", M::AppleWatchS2}, {"Watch2,4", M::AppleWatchS2},
    {"Watch3,1", M::AppleWatchS3}, {"Watch3,2", M::AppleWatchS3}, {"Watch3,3", M::AppleWatchS3},
    {"Watch3,4", M::AppleWatchS3},
    {"Watch4,1", M::AppleWatchS4}, {"Watch4,2", M::AppleWatchS4}, {"Watch4,3", M::AppleWatchS4},
    {"Watch4,4", M::AppleWatchS4},
    {"Watch5,1", M::AppleWatchS5}, {"Watch5,2", M::AppleWatchS5}, {"Watch5,3", M::AppleWatchS5},
    {"Watch5,4", M::AppleWatchS5},
    {"Watch5,9", M::AppleWatchSE}, {"Watch5,10", M::AppleWatchSE}, {"Watch5,11", M::AppleWatchSE},
    {"Watch5,12", M::AppleWatchSE},
    {"Watch6,1", M::AppleWatchS6}, {"Watch6,2", M::AppleWatchS6}, {"Watch6,3", M::AppleWatchS6},
    {"Watch6,4", M::AppleWatchS6},
    {"AppleTV1,1", M::AppleTV1}, {"AppleTV2,1", M::AppleTV2},
    {"AppleTV3,1", M::AppleTV3}, {"AppleTV3,2", M::AppleTV3},
    {"AppleTV5,3", M::AppleTV4}, {"AppleTV6,2", M::AppleTV_4K},
};
// clang-format on

const std::map<std::string, Model, std::less<>>& identifierIndex() {
  // Never destroyed: a position stored while the process exits still asks for the model.
  static const auto* index = new std::map<std::string, Model, std::less<>>(kIdentifiers.begin(), kIdentifiers.end());
  return *index;
}

}  // namespace

const std::vector<Model>& allModels() {
  static const auto* models = [] {
    auto* out = new std::vector<Model>();
    for (const auto& e : kNames) out->push_back(e.model);
    return out;
  }();
  return *models;
}

std::string rawValue(Model model) {
  for (const auto& e : kNames) {
    if (e.model == model) return e.name;
  }
  return rawValue(Model::unrecognized);
}

std::optional<Model> modelFromRawValue(std::string_view raw) {
  for (const auto& e : kNames) {
    if (raw == e.name) return e.model;
  }
  return std::nullopt;
}

const std::vector<std::pair<std::string, Model>>& hardwareIdentifierTable() { return kIdentifiers; }

std::optional<Model> modelForHardwareIdentifier(std::string_view identifier) {
  const auto& index = identifierIndex();
  auto it = index.find(identifier);
  if (it == index.end()) return std::nullopt;
  return it->second;
}

Model deviceType() {
  const auto found = modelForHardwareIdentifier(platform::Device::machine());
  if (!found) return Model::unrecognized;
  if (*found != Model::simulator) return *found;
  if (auto simulated = platform::Device::environment("SIMULATOR_MODEL_IDENTIFIER")) {
    if (auto model = modelForHardwareIdentifier(*simulated)) return *model;
  }
  return Model::simulator;
}

}  // namespace pelk
