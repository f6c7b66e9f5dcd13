#include "device/UserAgentsBuilder.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "device/DeviceFixture.h"

namespace pelk::test {
namespace {

std::string curlVersion() { return curl_version_info(CURLVERSION_NOW)->version; }

TEST_F(DeviceTest, UserAgentNamesKitAppModelSystemHttpLibraryAndKernel) {
  EXPECT_EQ(UAString(), "PelkSDK/2.1 simulator/sandbox debian/12 CFNetwork/" + curlVersion() + " Darwin/6.1.0-test");

  simulating("iPhone12,1");
  EXPECT_EQ(UAString(), "PelkSDK/2.1 iPhone 11 debian/12 CFNetwork/" + curlVersion() + " Darwin/6.1.0-test");

  // Blanks and inch marks inside the model stay.
  simulating("iPad4,1");
  EXPECT_EQ(deviceName(), "iPad Air ");
  EXPECT_NE(UAString().find("PelkSDK/2.1 iPad Air  debian/12 "), std::string::npos) << UAString();
  simulating("iPad8,9");
  EXPECT_NE(UAString().find(" iPad Pro 11\" 2nd gen debian/12 "), std::string::npos) << UAString();
}

TEST_F(DeviceTest, UserAgentPiecesWhenSourcesAreMissing) {
  platform::AppInfo::setAppVersion(std::nullopt);
  EXPECT_EQ(appNameAndVersion(), "PelkSDK/unknown");
  platform::AppInfo::setAppVersion("");
  EXPECT_EQ(appNameAndVersion(), "PelkSDK/unknown");

  std::filesystem::remove(root_ + "/etc/os-release");
  EXPECT_EQ(deviceVersion(), "Linux/6.1.0-test");

  // Control characters never reach the header: trimmed at the ends of the
  // kernel release, dropped from a host's version text.
  platform::Device::setUname(platform::Device::Uname{"Linux", std::string("6.1.0\0\0", 7) + "\x01", "x86_64"});
  EXPECT_EQ(DarwinVersion(), "Darwin/6.1.0");
  platform::AppInfo::setAppVersion("2.1\r\nX-Injected: 1");
  const std::string ua = UAString();
  EXPECT_EQ(ua.find_first_of("\r\n"), std::string::npos) << ua;
  EXPECT_EQ(ua.rfind("PelkSDK/2.1X-Injected: 1 ", 0), 0u) << ua;
}

TEST_F(DeviceTest, ClassCopyNamesTheHostAppAndTheRawMachine) {
  simulating("iPhone12,1");
  EXPECT_EQ(UserAgents::deviceName(), "x86_64");
  EXPECT_EQ(UserAgents::appNameAndVersion(), platform::AppInfo::executableName() + "/2.1");
  EXPECT_EQ(UserAgents::UAString(), platform::AppInfo::executableName() + "/2.1 x86_64 debian/12 CFNetwork/" +
                                        curlVersion() + " Darwin/6.1.0-test");
}

}  // namespace
}  // namespace pelk::test
