#include <clocale>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <future>
#include <limits>
#include <locale>
#include <optional>
#include <regex>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "foundation/DateExtensions.h"
#include "foundation/DeravObjectId.h"
#include "foundation/StringExtensions.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"

using namespace pelk;
using platform::Clock;

namespace {

// Switches the process's time zone (TZ) and locale (C and C++) for one scope.
class HostSetting {
 public:
  HostSetting(const char* zone, const std::string& localeName) {
    if (const char* old = std::getenv("TZ")) oldZone_ = old;
    oldCLocale_ = std::setlocale(LC_ALL, nullptr);
    oldLocale_ = std::locale();
    ::setenv("TZ", zone, 1);
    ::tzset();
    std::setlocale(LC_ALL, localeName.c_str());
    std::locale::global(std::locale(localeName));
  }
  ~HostSetting() {
    if (oldZone_) {
      ::setenv("TZ", oldZone_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
    std::setlocale(LC_ALL, oldCLocale_.c_str());
    std::locale::global(oldLocale_);
  }

 private:
  std::optional<std::string> oldZone_;
  std::string oldCLocale_;
  std::locale oldLocale_;
};

// POSIX zone texts need no zone database: east of UTC is a negative offset.
struct Zone {
  const char* tz;
  const char* offsetText;  // what TimeZone::current() reports under it
};
const Zone kZones[] = {
    {"UTC0", "+0000"}, {"IST-5:30", "+0530"}, {"<-0030>0:30", "-0030"}, {"<+1345>-13:45", "+1345"}, {"HST10", "-1000"}};

// C.UTF-8 is always there; the others where installed (decimal comma,
// non-Latin digits, another calendar).
std::vector<std::string> installedLocales() {
  std::vector<std::string> names;
  for (const char* name : {"C.UTF-8", "de_DE.UTF-8", "ar_EG.UTF-8", "fa_IR.UTF-8", "th_TH.UTF-8"}) {
    try {
      std::locale probe(name);
      if (std::setlocale(LC_ALL, name)) names.push_back(name);
    } catch (const std::runtime_error&) {
    }
  }
  std::setlocale(LC_ALL, "C");
  return names;
}

// Runs `check` under every zone and every installed locale.
template <class Check>
void underEveryHostSetting(Check check) {
  for (const auto& locale : installedLocales()) {
    for (const auto& zone : kZones) {
      SCOPED_TRACE(std::string(zone.tz) + " / " + locale);
      HostSetting setting(zone.tz, locale);
      check(zone);
    }
  }
}

}  // namespace

TEST(TimeStamps, HostSettingReallyChanges) {
  // The switch the tests below rely on: the local clock time moves with TZ.
  const std::time_t t = 0;
  std::vector<int> minutes;
  underEveryHostSetting([&](const Zone&) {
    std::tm tm{};
    ASSERT_TRUE(localtime_r(&t, &tm));
    minutes.push_back(tm.tm_hour * 60 + tm.tm_min);
  });
  ASSERT_GE(minutes.size(), std::size(kZones));
  EXPECT_EQ(minutes[0], 0);
  EXPECT_EQ(minutes[1], 5 * 60 + 30);
  EXPECT_EQ(minutes[2], 23 * 60 + 30);
}

TEST(TimeStamps, WireFormatIsUtcWithMillisecondsAndZ) {
  struct Case {
    double seconds;
    const char* text;
  };
  const std::vector<Case> cases = {
      {0, "1970-01-01T00:00:00.000Z"},
      {1'704'067'200.9876, "2024-01-01T00:00:00.987Z"},
      {951'782'400.5, "2000-02-29T00:00:00.500Z"},
      {-0.001, "1969-12-31T23:59:59.999Z"},
  };
  // The same text whatever the host's zone and locale.
  underEveryHostSetting([&](const Zone&) {
    for (const auto& c : cases) {
      const auto date = Clock::fromSecondsSince1970(c.seconds);
      EXPECT_EQ(iso8601(date), c.text);
      const auto wholeMs = static_cast<std::int64_t>(std::floor(c.seconds * 1000));
      EXPECT_EQ(getDate(c.text), Date(std::chrono::milliseconds(wholeMs)));
    }
    EXPECT_EQ(iso8601Second(Clock::fromSecondsSince1970(0)), "1970-01-01T00:00:00GMT");
  });
}

TEST(TimeStamps, ReadBackIsExactToTheMillisecondAndStrict) {
  const Date date{std::chrono::milliseconds(1'765'000'000'123)};
  const auto back = getDate(iso8601(date));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, date);

  // An offset in the text is honoured whatever the host's zone and locale are.
  underEveryHostSetting([](const Zone&) {
    EXPECT_EQ(getDate("2024-01-01T05:30:00.000+05:30"), Clock::fromSecondsSince1970(1'704'067'200));
    EXPECT_EQ(getDate("2023-12-31T23:00:00.000-01:00"), Clock::fromSecondsSince1970(1'704'067'200));
    EXPECT_EQ(getDate("2024-01-01T00:00:00.000Z"), Clock::fromSecondsSince1970(1'704'067'200));
  });
  // The last and first moments the format can write are beyond the clock's
  // span (1677 to 2262): refused, never wrapped into another century.
  for (const char* far : {"9999-12-31T23:59:59.999Z", "2263-01-01T00:00:00.000Z", "0000-01-01T00:00:00.000Z",
                          "1677-01-01T00:00:00.000Z"}) {
    EXPECT_FALSE(getDate(far)) << far;
  }
  EXPECT_EQ(getDate("2262-01-01T00:00:00.000Z"), Clock::fromSecondsSince1970(9'214'646'400));
  EXPECT_EQ(getDate("1678-01-01T00:00:00.000Z"), Clock::fromSecondsSince1970(-9'214'560'000));
  for (const char* bad :
       {"", "2024-01-01", "2024-01-01T00:00:00Z", "2024-13-01T00:00:00.000Z", "2024-02-30T00:00:00.000Z",
        "2024-01-01T00:00:00.000", "2024-01-01T00:00:00.000Zjunk", "２０２４-01-01T00:00:00.000Z"}) {
    EXPECT_FALSE(getDate(bad)) << bad;
  }
}

TEST(TimeStamps, OffsetTextTakesItsSignFromTheWholeOffset) {
  struct Case {
    int seconds;
    const char* text;
  };
  for (const auto& c : std::vector<Case>{{0, "+0000"},
                                         {9 * 3600 + 45 * 60, "+0945"},
                                         {-10 * 3600, "-1000"},
                                         {5 * 3600 + 30 * 60, "+0530"},
                                         {-(3 * 3600 + 30 * 60), "-0330"},
                                         {-30 * 60, "-0030"}}) {
    EXPECT_EQ(TimeZone::fixed(c.seconds).offsetFromUTC(), c.text);
  }
  // The host's zone is read at each use, and its text keeps the same form in
  // every locale.
  underEveryHostSetting([](const Zone& zone) { EXPECT_EQ(TimeZone::current().offsetFromUTC(), zone.offsetText); });
}

TEST(Numbers, RoundingAndTruncation) {
  EXPECT_DOUBLE_EQ(roundToInt(12.345678), 12.3457);
  EXPECT_DOUBLE_EQ(roundToInt(-12.345678), -12.3457);
  EXPECT_DOUBLE_EQ(roundToInt(1.23456), 1.2346);
  EXPECT_EQ(roundToInt(7.0), 7.0);
  EXPECT_TRUE(std::signbit(roundToInt(-0.00004)));

  EXPECT_EQ(toInt(3.99), 3);
  EXPECT_EQ(toInt(-3.99), -3);
  EXPECT_EQ(toInt(std::nan("")), 0);
  EXPECT_EQ(toInt(std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(toInt(-std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(toInt(1e19), 0);
  EXPECT_EQ(toInt(-9.2233720368547758e18), std::numeric_limits<std::int64_t>::min());

  EXPECT_EQ(minutesOf(3725.9), 2);
  const auto t0 = Clock::fromSecondsSince1970(0);
  EXPECT_EQ(hoursFrom(Clock::fromSecondsSince1970(7300), t0), 2);
  EXPECT_EQ(minutesFrom(Clock::fromSecondsSince1970(7300), t0), 121);

  // Moments at the ends of the clock are more than its span apart: the span
  // saturates instead of wrapping to the other sign.
  const Date earliest = Date::min(), latest = Date::max();
  EXPECT_GT(hoursFrom(latest, earliest), 0);
  EXPECT_GT(minutesFrom(latest, earliest), 0);
  EXPECT_LT(hoursFrom(earliest, latest), 0);
  EXPECT_LT(minutesFrom(earliest, latest), 0);
  EXPECT_GT(minutesFrom(Clock::fromSecondsSince1970(1'700'000'000), earliest), 0);
  const std::tuple<Date, Date, double> spans[] = {{Clock::fromSecondsSince1970(7300.5), t0, 7300.5},
                                                  {t0, Clock::fromSecondsSince1970(7300.5), -7300.5},
                                                  {latest, earliest, 2.0 * 9223372036.854775807},
                                                  {earliest, latest, -2.0 * 9223372036.854775807}};
  for (const auto& [date, from, seconds] : spans) {
    EXPECT_NEAR(secondsFrom(date, from), seconds, 1e-3) << seconds;
  }
}

TEST(BackgroundDispatch, CompletionRunsOnMainAfterTheBackgroundWorkAndTheDelay) {
  Clock::useVirtual(Clock::fromSecondsSince1970(100));
  platform::Dispatch::useManualMainQueue();
  auto backgroundOnMain = std::make_shared<std::promise<bool>>();
  bool completed = false;
  bool completionOnMain = false;
  DispatchQueue::background(
      5, [backgroundOnMain] { backgroundOnMain->set_value(platform::Dispatch::isMainThread()); },
      [&] {
        completed = true;
        completionOnMain = platform::Dispatch::isMainThread();
      });
  EXPECT_FALSE(backgroundOnMain->get_future().get());
  // The completion is queued once the background work returns; wait for that.
  for (int i = 0; i < 1000 && platform::Dispatch::pendingMainTasks() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  platform::Dispatch::advanceClock(platform::seconds(4.9));
  EXPECT_FALSE(completed);
  platform::Dispatch::advanceClock(platform::seconds(0.2));
  EXPECT_TRUE(completed);
  EXPECT_TRUE(completionOnMain);
  DispatchQueue::background();  // nothing to run: does nothing
  platform::Dispatch::useThreadedMainQueue();
  Clock::useSystem();
}

TEST(LocationIds, LayoutTimePrefixAndCounter) {
  Clock::useVirtual(Clock::fromSecondsSince1970(1'704'067'200.9));
  auto& gen = DeravObjectId::shared();
  gen.setCounterForTesting(0xFFFFFE);
  const auto a = gen.generate();
  const auto b = gen.generate();
  const auto c = gen.generate();
  Clock::useSystem();

  const std::regex form("[0-9a-f]{24}");
  for (const auto& id : {a, b, c}) EXPECT_TRUE(std::regex_match(id, form)) << id;
  EXPECT_EQ(a.substr(0, 8), "65920080");
  EXPECT_EQ(a.substr(18), "fffffe");
  EXPECT_EQ(b.substr(18), "ffffff");
  EXPECT_EQ(c.substr(18), "000000");
  EXPECT_NE(a.substr(8, 10), b.substr(8, 10));
}

TEST(LocationIds, ConcurrentCallersNeverShareACounterValue) {
  auto& gen = DeravObjectId::shared();
  std::vector<std::vector<std::string>> perThread(4);
  std::vector<std::thread> threads;
  for (auto& ids : perThread) {
    threads.emplace_back([&ids, &gen] {
      for (int i = 0; i < 500; ++i) ids.push_back(gen.generate());
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> counters;
  for (const auto& ids : perThread) {
    for (const auto& id : ids) counters.insert(id.substr(18));
  }
  EXPECT_EQ(counters.size(), 2000u);
}
