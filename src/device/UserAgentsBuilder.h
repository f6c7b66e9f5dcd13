#pragma once

#include <string>

namespace pelk {

// The "User-Agent" of every REST request:
//   PelkSDK/<app version> <model> <system name>/<system version> CFNetwork/<http library version> Darwin/<kernel release>
// Built afresh for each request.
std::string UAString();
std::string appNameAndVersion();
std::string deviceName();
std::string deviceVersion();
std::string CFNetworkVersion();
std::string DarwinVersion();

// A second set of builders that names the host app (its name instead of the
// product token) and the raw hardware identifier instead of the model's name.
class UserAgents {
 public:
  static std::string UAString();
  static std::string appNameAndVersion();
  static std::string deviceName();
  static std::string deviceVersion();
  static std::string CFNetworkVersion();
  static std::string DarwinVersion();
};

}  // namespace pelk
