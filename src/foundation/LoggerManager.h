#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pelk {

// The kit's optional diagnostic log.  With "isLoggingEnabled" on, each
// non-empty text becomes one line of "Zezovu.log" in the caches directory and
// one record {"timeStamp", "response"} of the array "savelocationServerLogs".
//
// Both stay small, and a line costs the same after a day of logging as on the
// first:
// - the line is appended to the file at once; before a line would take the
//   file past kMaxFileBytes, the file becomes "Zezovu.log.1" (replacing the
//   one there) and a new one is started;
// - the record joins the records waiting for the settings, and those are
//   written together, in one settings transaction, kFlushDelay after the first
//   of them (or at flush()), so that a burst of lines costs one commit of the
//   settings file rather than one each.  The array keeps the newest
//   kMaxRecords records within kMaxRecordBytes of text (the newest record
//   always); an array left longer by an older build is cut at the next write.
//
// Lock order: a line takes only the log's own lock, a leaf under which
// nothing but the file and the waiting records is touched, so code may log
// while it holds any other lock of the kit (a settings transaction included).
// Writing the records takes the settings suite's lock first, then the log's.
class LoggerManager {
 public:
  static constexpr std::size_t kMaxRecords = 200;
  static constexpr std::size_t kMaxRecordBytes = 64 * 1024;
  static constexpr std::uintmax_t kMaxFileBytes = 1024 * 1024;
  static constexpr std::chrono::milliseconds kFlushDelay{1000};

  static LoggerManager& sharedInstance();
  LoggerManager() = default;
  virtual ~LoggerManager() = default;

  virtual void writeLocationToFile(const std::string& text);

  // Appends one record for `text` to the array now (after the records still
  // waiting), in one settings transaction.
  static void savelocationServerLogs(const std::string& text);
  // Writes the records still waiting into the settings now.  Must not be
  // called with a lock of the kit held (it takes the settings suite's lock);
  // does nothing, and touches no setting, when none wait.
  static void flush();
  // Drops the records still waiting, for the logout's reset of the settings:
  // records logged before it must not come back after it.  Called inside the
  // reset's settings transaction, so that no waiting record slips past it;
  // records a flush had taken out before it, and could not write, are not
  // put back to wait either.
  static void discardWaiting();
  // The local time as "yyyy-MM-dd HH:mm:ss".
  static std::string getCurrentTimeStamp();
  // The log file's path, and the path of the file it was last rotated to.
  static std::string fileUrl();
  static std::string previousFileUrl();
};

}  // namespace pelk
