#pragma once

#include <functional>
#include <string>
#include <vector>

namespace pelk::platform {

// The kit's status output: one line per call, to stdout unless a test has
// installed a capture sink.
class Console {
 public:
  static void print(const std::string& line);

  // Collects printed lines for as long as it lives (tests).
  class Capture {
   public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    std::vector<std::string> lines() const;
    bool contains(const std::string& line) const;
  };
};

}  // namespace pelk::platform
