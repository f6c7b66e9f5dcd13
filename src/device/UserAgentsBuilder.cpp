#include "device/UserAgentsBuilder.h"

#include <algorithm>

#include "device/DeviceInfo.h"
#include "platform/AppInfo.h"
#include "platform/Device.h"

namespace pelk {
namespace {

bool isControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7f;
}

std::string trimControls(const std::string& text) {
  auto first = std::find_if_not(text.begin(), text.end(), isControl);
  auto last = std::find_if_not(text.rbegin(), text.rend(), isControl).base();
  return first < last ? std::string(first, last) : std::string();
}

// A header value ends at a line break; control characters inside a piece (a
// host's version text, say) would let it end early and start a header of its
// own, so they are dropped.
std::string headerSafe(std::string text) {
  text.erase(std::remove_if(text.begin(), text.end(), isControl), text.end());
  return text;
}

std::string appVersion() {
  auto v = platform::AppInfo::appVersion();
  return v && !v->empty() ? *v : "unknown";
}

std::string join(std::initializer_list<std::string> pieces) {
  std::string out;
  for (const auto& p : pieces) {
    if (!out.empty()) out += ' ';
    out += p;
  }
  return headerSafe(out);
}

}  // namespace

std::string UAString() {
  return join({appNameAndVersion(), deviceName(), deviceVersion(), CFNetworkVersion(), DarwinVersion()});
}

std::string appNameAndVersion() { return "PelkSDK/" + appVersion(); }

std::string deviceName() { return DeviceInfo::sharedInstance().deviceModel(); }

std::string deviceVersion() { return platform::Device::systemName() + "/" + platform::Device::systemVersion(); }

std::string CFNetworkVersion() { return "CFNetwork/" + platform::Device::networkingVersion(); }

std::string DarwinVersion() { return "Darwin/" + trimControls(platform::Device::kernelRelease()); }

std::string UserAgents::UAString() {
  return join({appNameAndVersion(), deviceName(), deviceVersion(), CFNetworkVersion(), DarwinVersion()});
}

std::string UserAgents::appNameAndVersion() { return platform::AppInfo::executableName() + "/" + appVersion(); }

std::string UserAgents::deviceName() { return trimControls(platform::Device::machine()); }

std::string UserAgents::deviceVersion() { return pelk::deviceVersion(); }

std::string UserAgents::CFNetworkVersion() { return pelk::CFNetworkVersion(); }

std::string UserAgents::DarwinVersion() { return pelk::DarwinVersion(); }

}  // namespace pelk
