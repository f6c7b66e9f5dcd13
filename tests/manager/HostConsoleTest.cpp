// The console as a host sets it through the public API: its own handler, one
// that calls the kit back, one that blocks, silence, and stdout again.

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ManagerFixture.h"
#include "platform/Console.h"
#include "pelk/Pelk.h"

namespace pelk::test {
namespace {

using namespace std::chrono_literals;

class HostLines {
 public:
  void add(Pelk::ConsoleLevel level, const std::string& line) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(level, line);
  }
  std::vector<std::pair<Pelk::ConsoleLevel, std::string>> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::size_t count(const std::string& line) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(lines_.begin(), lines_.end(), [&](const auto& l) { return l.second == line; }));
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return lines_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<Pelk::ConsoleLevel, std::string>> lines_;
};

class HostConsoleTest : public ManagerTest {
 protected:
  ~HostConsoleTest() override { Pelk::useStdoutConsole(); }
};

// The handler hears the kit's lines although the log is off, and may call the
// kit from inside: the kit's own lines then come to it too, in order.
TEST_F(HostConsoleTest, AHandlerHearsTheKitWithTheLogOffAndMayCallTheKit) {
  Pelk::setLoggerEnabled(false);
  HostLines heard;
  std::atomic<int> calls{0};
  Pelk::setConsoleHandler([&](Pelk::ConsoleLevel level, const std::string& line) {
    heard.add(level, line);
    // Kit calls that read the settings and print a line of their own.
    (void)Pelk::isLocationTracking();
    (void)Pelk::locationPermissionStatus();
    if (calls++ == 0) Pelk::startTracking(PelkTrackingMode::active);
  });
  Pelk::startTracking(PelkTrackingMode::active);  // no user yet
  ASSERT_TRUE(waitFor([&] { return heard.count("User not created") == 2; })) << heard.size();
  EXPECT_FALSE(Pelk::isLocationTracking());

  // Silenced, nothing arrives; stdout again, the handler is done with.
  Pelk::setConsoleHandler(nullptr);
  Pelk::startTracking(PelkTrackingMode::active);
  Pelk::useStdoutConsole();
  Pelk::startTracking(PelkTrackingMode::active);
  waitFor([] { return false; }, 100ms);
  EXPECT_EQ(heard.count("User not created"), 2u);
}

// A handler that blocks holds up no kit call; once it returns it hears the
// lines that waited, how many did not fit, and the lines printed since.
TEST_F(HostConsoleTest, AHandlerThatBlocksHoldsUpNoKitCall) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  HostLines heard;
  Pelk::setConsoleHandler([&](Pelk::ConsoleLevel level, const std::string& line) {
    heard.add(level, line);
    released.wait();
  });
  std::atomic<bool> done{false};
  std::thread host([&] {
    for (int i = 0; i < 1500; ++i) Pelk::startTracking(PelkTrackingMode::active);  // one line each
    done = true;
  });
  const bool returned = waitFor([&] { return done.load(); }, 20s);
  release.set_value();
  host.join();
  ASSERT_TRUE(returned) << "kit calls waited for the host's console handler";

  ASSERT_TRUE(waitFor([&] { return heard.size() >= 2; }));
  Pelk::stopTracking();  // "Tracking stopped"
  ASSERT_TRUE(waitFor([&] { return heard.count("Tracking stopped") == 1; }));
  // Every line is either heard or counted in a notice, which comes in the
  // dropped lines' place.  Usually the handler blocks on the first line and
  // one notice follows the queue's worth that waited; when the loop fills the
  // queue before the console thread takes its first line, a second notice
  // counts the lines dropped after that.
  const auto lines = heard.lines();
  const std::string kNotice = " console lines dropped: the console handler fell behind";
  std::size_t notices = 0, dropped = 0;
  for (const auto& [level, text] : lines) {
    if (text.find(kNotice) == std::string::npos) continue;
    ++notices;
    EXPECT_EQ(level, Pelk::ConsoleLevel::warning);
    ASSERT_TRUE(text.starts_with("pelk: ")) << text;
    dropped += std::stoul(text.substr(6));
  }
  EXPECT_GE(notices, 1u);
  EXPECT_LE(notices, 2u);
  EXPECT_GE(dropped, 1500u - platform::Console::kMaxQueued - 1);
  EXPECT_EQ(heard.count("User not created") + dropped, 1500u);
  EXPECT_EQ(lines.back().second, "Tracking stopped");
  Pelk::useStdoutConsole();  // the handler is done with what it uses
}

}  // namespace
}  // namespace pelk::test
