#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace pelk::platform {

// The kit's status output: one line per call, to stdout unless the host has
// named another destination (a handler of its own, or none at all) or a test
// has installed a capture sink.
class Console {
 public:
  // How much a line matters to the host: a failure that no handler of the
  // host's receives is an Error; what the kit did, Info.
  enum class Level { Debug, Info, Warning, Error };

  // Calls nothing of the host's while the caller's locks are held: a host
  // handler receives the line later, on the console's own thread (below), and
  // print never waits for it, so print may be called with any lock held.
  // Stdout is written at once, as it always was.
  static void print(const std::string& line, Level level = Level::Info);

  using Handler = std::function<void(Level level, const std::string& line)>;

  // Where lines go from now on.  The host's handler runs on one thread of the
  // kit ("pelk-console"), one line at a time and in the order printed, with no
  // lock of the kit held: it may call the kit.  Lines wait for it in a queue
  // of kMaxQueued; while that is full (a handler that blocks or is slow) newer
  // lines are dropped and counted, and once it has room again the handler gets
  // one Warning line saying how many were dropped, in their place.  Lines
  // still queued when the destination changes go to the new one.  Called from
  // anywhere but the handler itself, each setter returns once the previous
  // handler is no longer running, so its captures may be released.
  static void setHandler(Handler handler);  // an empty handler silences
  static void silence();
  static void useStdout();  // the default
  static constexpr std::size_t kMaxQueued = 1024;
  // Lines dropped because the queue was full, since the process started.
  static std::size_t droppedLines();

  // At process exit: lines queued for a handler are still handed to it for up
  // to this long (a handler that blocks holds up the exit no longer than
  // that); what is left then, and what is printed afterwards, is dropped.
  static constexpr int kExitGraceMs = 1000;

  // Collects printed lines for as long as it lives (tests); meanwhile nothing
  // is written to stdout, while a host handler still receives every line.
  // `onLine`, when given, also sees each line as it is printed, on the
  // printing thread and with no lock of the console held (whatever locks the
  // printer holds).
  class Capture {
   public:
    Capture();
    explicit Capture(std::function<void(const std::string& line)> onLine);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    std::vector<std::string> lines() const;
    // The lines printed at `level` (in order).
    std::vector<std::string> lines(Level level) const;
    bool contains(const std::string& line) const;
  };
};

}  // namespace pelk::platform
