#pragma once

#include <string>

namespace pelk::platform {

// Names the calling thread, as `top -H`, gdb and /proc/<pid>/task/*/comm show
// it; the kernel keeps at most 15 characters, so a longer name is cut.
void nameThisThread(const std::string& name);

// The calling thread's name ("?" when it cannot be read).
std::string thisThreadName();

// The thread name of a queue labelled `label`: "pelk-" and the label's last
// dot-separated part, cut to 15 characters ("pelk.mqtt.control" gives
// "pelk-control").
std::string threadNameForLabel(const std::string& label);

}  // namespace pelk::platform
