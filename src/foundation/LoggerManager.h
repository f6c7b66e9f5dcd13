#pragma once

#include <string>

namespace pelk {

// The kit's optional diagnostic log.  With "isLoggingEnabled" on, each
// non-empty text becomes one line of "Zezovu.log" in the caches directory and
// one record {"timeStamp", "response"} of the array "savelocationServerLogs".
class LoggerManager {
 public:
  static LoggerManager& sharedInstance();
  LoggerManager() = default;
  virtual ~LoggerManager() = default;

  virtual void writeLocationToFile(const std::string& text);

  static void savelocationServerLogs(const std::string& text);
  // The local time as "yyyy-MM-dd HH:mm:ss".
  static std::string getCurrentTimeStamp();
  // The log file's path.
  static std::string fileUrl();
};

}  // namespace pelk
