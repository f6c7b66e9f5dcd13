// A small host app: starts the kit's settings, stores and reads values back,
// makes a location id and a wire time stamp, and writes one log line.
#include <cstdio>
#include <fstream>
#include <string>

#include "foundation/AppDefaults.h"
#include "foundation/DateExtensions.h"
#include "foundation/DeravObjectId.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "platform/AppInfo.h"
#include "platform/Clock.h"
#include "platform/Paths.h"

int main(int argc, char** argv) {
  using namespace pelk;
  platform::AppInfo::setBundleId("org.example.pelkdemo");
  platform::AppInfo::setAppVersion("1.0");
  if (argc > 1) platform::Paths::setRoot(std::string(argv[1]));

  const auto launches = SharedUtil::getDefaultInteger("demoLaunchCount") + 1;
  SharedUtil::setDefaultInteger(launches, "demoLaunchCount");
  TokenManager::setPublishKey(std::string("pk_demo_key"));
  SharedUtil::setDefaultBoolean(true, kLoggingEnabled);

  std::printf("settings file:     %s\n", SharedUtil::userDefaultValue()->path().c_str());
  std::printf("launch number:     %lld\n", static_cast<long long>(launches));
  std::printf("publishable key:   %s\n", TokenManager::getPublishKey().c_str());
  std::printf("location id:       %s\n", DeravObjectId::shared().generate().c_str());
  std::printf("time stamp:        %s\n", iso8601(platform::Clock::now()).c_str());
  std::printf("offset from UTC:   %s\n", TimeZone::current().offsetFromUTC().c_str());

  LoggerManager::sharedInstance().writeLocationToFile("demo launch " + std::to_string(launches));
  std::printf("log file:          %s\n", LoggerManager::fileUrl().c_str());
  std::ifstream log(LoggerManager::fileUrl());
  std::string line, last;
  while (std::getline(log, line)) last = line;
  std::printf("last log line:     %s\n", last.c_str());
  return 0;
}
