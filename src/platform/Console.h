#pragma once

#include <functional>
#include <string>
#include <vector>

namespace pelk::platform {

// The kit's status output: one line per call, to stdout unless a test has
// installed a capture sink.
class Console {
 public:
  // How much a line matters to the host: a failure that no handler of the
  // host's receives is an Error; what the kit did, Info.
  enum class Level { Debug, Info, Warning, Error };

  static void print(const std::string& line, Level level = Level::Info);

  // Collects printed lines for as long as it lives (tests).  `onLine`, when
  // given, also sees each line as it is printed, on the printing thread and
  // with no lock of the console held (whatever locks the printer holds).
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
