#include "platform/Console.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace pelk::platform {
namespace {
// Lock order: a leaf (platform/LockOrder.h).
std::mutex gMutex;
int gCaptures = 0;
std::vector<std::string> gLines;
}  // namespace

void Console::print(const std::string& line) {
  std::lock_guard lock(gMutex);
  if (gCaptures > 0) {
    gLines.push_back(line);
    return;
  }
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

Console::Capture::Capture() {
  std::lock_guard lock(gMutex);
  if (gCaptures++ == 0) gLines.clear();
}

Console::Capture::~Capture() {
  std::lock_guard lock(gMutex);
  --gCaptures;
}

std::vector<std::string> Console::Capture::lines() const {
  std::lock_guard lock(gMutex);
  return gLines;
}

bool Console::Capture::contains(const std::string& line) const {
  std::lock_guard lock(gMutex);
  return std::find(gLines.begin(), gLines.end(), line) != gLines.end();
}

}  // namespace pelk::platform
