// One test of this test program run in a process of its own: fresh statics,
// folders and environment, as a host app starting anew.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace pelk::test {

struct SelfProcess {
  std::string test{};                // the one test it runs ("Suite.Name")
  std::vector<std::string> env{};    // NAME=value added to the environment (replacing ours of NAME)
  bool withoutKitVariables = false;  // leave out the PELK_ variables of this process
  std::string stdoutTo{};            // a file for its standard output; empty keeps ours
  bool stderrToo = false;            // its standard error into the same file
};

// Starts it; its pid, or -1.
pid_t spawnSelf(const SelfProcess& process);

// How a child process ended.  One that did not end within the time given is
// killed, so that no test leaves a process behind.
struct ProcessEnd {
  bool inTime = false;  // it ended by itself within the time
  int status = 0;       // its wait status
  bool passed() const;  // it exited with status 0
};
ProcessEnd waitForEnd(pid_t pid, std::chrono::milliseconds limit);

}  // namespace pelk::test
