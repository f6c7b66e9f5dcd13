#include "platform/Link.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace pelk::platform {
namespace {

int answerSeven(int) { return 7; }

constinit Link<int(int)> withFallback{&answerSeven};
constinit Link<std::string()> withoutFallback;
constinit Link<void()> selfReplacing;

TEST(LinkTest, AnUnsetLinkAnswersItsFallbackOrNothingAndResetAllEmptiesEveryLink) {
  EXPECT_EQ(withFallback(1), 7);
  EXPECT_EQ(withoutFallback(), "");
  withFallback.set([](int x) { return x * 2; });
  withoutFallback.set([] { return std::string("set"); });
  EXPECT_TRUE(withFallback.isSet());
  EXPECT_EQ(withFallback(4), 8);
  EXPECT_EQ(withoutFallback(), "set");
  resetAllLinks();
  EXPECT_FALSE(withFallback.isSet());
  EXPECT_EQ(withFallback(4), 7);
  EXPECT_EQ(withoutFallback(), "");
}

// The function runs with no lock held: it may replace or empty its own link,
// and a call racing with set runs either function whole.
TEST(LinkTest, AFunctionMayReplaceItsOwnLinkWhileOthersCallIt) {
  int calls = 0;
  selfReplacing.set([&] {
    ++calls;
    selfReplacing.reset();
  });
  selfReplacing();
  selfReplacing();
  EXPECT_EQ(calls, 1);

  std::thread caller([] {
    for (int i = 0; i < 2000; ++i) EXPECT_GE(withFallback(1), 1);
  });
  for (int i = 0; i < 2000; ++i) {
    withFallback.set([i](int) { return i + 1; });
    if (i % 3 == 0) withFallback.reset();
  }
  caller.join();
  resetAllLinks();
}

}  // namespace
}  // namespace pelk::platform
