#include "platform/Console.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

namespace pelk::platform {
namespace {
// Lock order: a leaf (platform/LockOrder.h).
std::mutex gMutex;
int gCaptures = 0;
std::vector<std::string> gLines;
std::vector<Console::Level> gLevels;
using Observer = std::function<void(const std::string&)>;
std::map<const Console::Capture*, std::shared_ptr<const Observer>> gObservers;
}  // namespace

void Console::print(const std::string& line, Level level) {
  std::vector<std::shared_ptr<const Observer>> observers;
  {
    std::lock_guard lock(gMutex);
    if (gCaptures == 0) {
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
      return;
    }
    gLines.push_back(line);
    gLevels.push_back(level);
    for (const auto& [capture, observer] : gObservers) observers.push_back(observer);
  }
  for (const auto& observer : observers) (*observer)(line);
}

Console::Capture::Capture() {
  std::lock_guard lock(gMutex);
  if (gCaptures++ == 0) {
    gLines.clear();
    gLevels.clear();
  }
}

Console::Capture::Capture(std::function<void(const std::string& line)> onLine) : Capture() {
  if (!onLine) return;
  std::lock_guard lock(gMutex);
  gObservers[this] = std::make_shared<const Observer>(std::move(onLine));
}

Console::Capture::~Capture() {
  std::lock_guard lock(gMutex);
  --gCaptures;
  gObservers.erase(this);
}

std::vector<std::string> Console::Capture::lines() const {
  std::lock_guard lock(gMutex);
  return gLines;
}

std::vector<std::string> Console::Capture::lines(Level level) const {
  std::lock_guard lock(gMutex);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < gLines.size(); ++i) {
    if (gLevels[i] == level) out.push_back(gLines[i]);
  }
  return out;
}

bool Console::Capture::contains(const std::string& line) const {
  std::lock_guard lock(gMutex);
  return std::find(gLines.begin(), gLines.end(), line) != gLines.end();
}

}  // namespace pelk::platform
