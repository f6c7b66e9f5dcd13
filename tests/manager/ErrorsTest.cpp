#include "ManagerFixture.h"
#include "OfflineTripsFixture.h"

#include <cstdlib>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include "foundation/VuvivaZuvovo.h"
#include "messaging/MqttTestSetup.h"
#include "support/MosquittoBroker.h"
#include "support/SignUpReplies.h"
#include "tracking/BaseCLManager.h"

namespace pelk {
// Failures show the code and the text.
static void PrintTo(const PelkError& e, std::ostream* os) { *os << e.code() << " \"" << e.message() << "\""; }
}  // namespace pelk

namespace pelk::test {
namespace {

using json = nlohmann::json;
using Pair = std::pair<std::string, std::string>;
using namespace std::chrono_literals;

// The rows of the README's errors table whose code is one of the kit's own:
// (code, text), the text as written between backticks.
std::set<Pair> readmeErrorRows() {
  std::ifstream in(std::string(PELK_SOURCE_DIR) + "/README.md");
  std::set<Pair> rows;
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    if (line.starts_with("## ")) inSection = line == "## Errors";
    if (!inSection || !line.starts_with("| QB")) continue;
    const auto codeEnd = line.find(" |", 2);
    const auto open = line.find('`', codeEnd);
    const auto close = line.find('`', open + 1);
    if (codeEnd == std::string::npos || open == std::string::npos || close == std::string::npos) {
      ADD_FAILURE() << "unreadable row: " << line;
      continue;
    }
    rows.emplace(line.substr(2, codeEnd - 2), line.substr(open + 1, close - open - 1));
  }
  return rows;
}

void expectListed(const std::optional<PelkError>& error) {
  ASSERT_TRUE(error.has_value());
  EXPECT_TRUE(readmeErrorRows().contains(Pair(error->code(), error->message())))
      << error->code() << " \"" << error->message() << "\" is not in the README's errors table";
}

// Sets an environment variable for as long as it lives.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class ErrorsTest : public ManagerTest {
 protected:
  // The REST service the kit talks to from the next request on.
  static void useBaseUrl(const std::string& url) {
    SharedUtil::setDefaultString(url, KUserBaseUrl);
    APIClient::resetBaseUrlForTesting();
  }
  // The error an operation answers with (none on success).
  static std::optional<PelkError> answerOf(const std::function<void(Pelk::UserHandler)>& op) { return errorOf(op); }
  static const json& grant() {
    static const json reply = {{"code", 200}, {"msg", "ok"}, {"data", {{"sdk_token", "tok-1"}}}};
    return reply;
  }
};

// Every code and text the kit hands over is a row of the README's table, and
// every row is one the kit hands over: a text changed on either side fails.
TEST_F(ErrorsTest, TheReadmeTableHoldsEveryCodeAndTextTheKitHandsOver) {
  using V = VuvivaZuvovo;
  const std::vector<std::pair<ErrorCode, std::string>> handedOver = {
      {ErrorCode::QB500, V::ERROR_NETWORK},
      {ErrorCode::QB500, V::ERROR_SERVER},
      {ErrorCode::QB500, V::ERROR_LOCATION_PERMISSION},
      {ErrorCode::QB402, V::ERROR_PUBLISHABLE_KEY},
      {ErrorCode::QB402, V::ERROR_NOT_FOUND},
      {ErrorCode::QB402, V::ERROR_USER_CREATE},
      {ErrorCode::QB402, V::ERROR_INITIALIZE},
      {ErrorCode::QB402, V::OFFLINE_TRACKING_SETTINGS_ERROR},
      {ErrorCode::QB402, V::ERROR_TRIP_ID},
      {ErrorCode::QB402, V::TRIP_ID_NOT_FOUND},
      {ErrorCode::QB402, V::ERROR_TRIP_ID_NOT_ENDED},
      {ErrorCode::QB402, V::ERROR_TRIP_ID_SYNC},
      {ErrorCode::QB402, V::TRIP_DELETE_ERROR},
      {ErrorCode::QB402, V::ERROR_UNKNOWN},
      {ErrorCode::QB408, V::ERROR_LOCATION_PERMISSION},
      {ErrorCode::QB413, V::TRIP_NOT_STARTED},
      {ErrorCode::QB413, V::TRIP_ALREADY_STARTED},
      {ErrorCode::QB413, V::TRIP_START_ERROR},
      {ErrorCode::QB414, V::TRIP_ALREADY_ENDED},
      {ErrorCode::QB414, V::TRIP_END_ERROR},
      {ErrorCode::QB416, V::TRIP_ALREADY_PAUSE},
      {ErrorCode::QB416, V::TRIP_PAUSE_ERROR},
      {ErrorCode::QB417, V::TRIP_ALREADY_RESUME},
      {ErrorCode::QB417, V::TRIP_RESUME_ERROR},
  };
  std::set<Pair> expected;
  for (const auto& [code, text] : handedOver) expected.emplace(rawValue(code), text);
  EXPECT_EQ(readmeErrorRows(), expected);

  // What calls before initialize answer, as the table says.
  TokenManager::setPublishKey("");
  expectListed(answerOf([](auto h) { Pelk::createUser("d", h); }));
  EXPECT_EQ(answerOf([](auto h) { Pelk::createUser("d", h); }), PelkError("QB402", "Data not found"));
  EXPECT_EQ(answerOf([](auto h) { Pelk::getEventsStatus(h); }), PelkError("QB402", "User not created"));
  EXPECT_TRUE(server_.requests().empty());
}

// Text the host hands over that is not UTF-8 can be neither sent nor kept as
// JSON.  The call that takes it refuses it at once, as input it cannot use;
// it never becomes a request that fails later as if the network had.
class HostTextTest : public OfflineTripsTest {};

TEST_F(HostTextTest, TextThatIsNotUtf8IsRefusedByTheCallThatTakesIt) {
  using Calls = HandlerRecorder<AnyResult>;
  using Op = std::function<void(const std::string& text, Calls&)>;
  const std::vector<std::pair<const char*, Op>> operations = {
      {"createUser", [](auto& t, Calls& a) { Pelk::createUser(t, a.handler()); }},
      {"getUser", [](auto& t, Calls& a) { Pelk::getUser(t, a.handler()); }},
      {"startTrip, id", [](auto& t, Calls& a) { Pelk::startTrip(t, std::nullopt, a.handler()); }},
      {"startTrip, description", [](auto& t, Calls& a) { Pelk::startTrip("srv-1", t, a.handler()); }},
      {"stopTrip", [](auto& t, Calls& a) { Pelk::stopTrip(t, a.handler()); }},
      {"pauseTrip", [](auto& t, Calls& a) { Pelk::pauseTrip(t, a.handler()); }},
      {"resumeTrip", [](auto& t, Calls& a) { Pelk::resumeTrip(t, a.handler()); }},
      {"forceEndTrip", [](auto& t, Calls& a) { Pelk::forceEndTrip(t, a.handler()); }},
      {"getTripDetails", [](auto& t, Calls& a) { Pelk::getTripDetails(t, a.handler()); }},
      {"getTripSummary", [](auto& t, Calls& a) { Pelk::getTripSummary(t, a.handler()); }},
      {"isTripSynced", [](auto& t, Calls& a) { Pelk::isTripSynced(t, a.handler()); }},
      {"createTrip",
       [](auto& t, Calls& a) {
         Pelk::createTrip(false, json{{"origin", {{"name", t}}}}, a.handler());
       }},
  };
  // The answer, which must come before the call returns.
  const auto answerAtOnce = [this](const std::function<void(Calls&)>& call) -> std::optional<PelkError> {
    Calls a;
    call(a);
    EXPECT_EQ(a.count(), 1u) << "not answered before the call returned";
    if (a.count() == 0) {
      if (BaseCLManager::sharedInstance().pendingCount() > 0) deliver();
      a.wait();
    }
    return a.count() ? a.error() : std::nullopt;
  };
  const PelkError refused("QB402", "Data not found");
  // A Latin-1 text, a sequence cut short, a UTF-16 surrogate written as UTF-8.
  for (const std::string text : {"caf\xe9 \xff", "trip-\xc3", "x\xed\xa0\x80"}) {
    for (const auto& [name, op] : operations) {
      SCOPED_TRACE(std::string(name) + ", " + testing::PrintToString(text));
      EXPECT_EQ(answerAtOnce([&op = op, &text](Calls& a) { op(text, a); }), refused);
    }
    // Calls without a handler say so on the console; a campaign id that is
    // not UTF-8 is none of the kit's, as an empty one, and goes unreported.
    platform::Console::Capture console;
    Pelk::setDescription(text);
    Pelk::notificationOpenedHandler(PelkOpenedNotification{json{{"type", "quelbrin"}, {"cid", text}}});
    EXPECT_FALSE(Pelk::initialize(text));
    EXPECT_EQ(console.lines(platform::Console::Level::Error),
              (std::vector<std::string>{"Data not found", "Data not found"}));
    EXPECT_EQ(TokenManager::getPublishKey(), "pk-1");
  }
  // Nor can coordinates holding a number that is not finite be written.
  EXPECT_EQ(
      answerAtOnce([](Calls& a) {
        Pelk::createTrip(false, json{{"origin", {{"lat", std::numeric_limits<double>::quiet_NaN()}}}}, a.handler());
      }),
      refused);
  expectListed(refused);
  EXPECT_FALSE(server_.waitForRequests(1, 300ms)) << server_.requests().front().target;

  // Text beyond ASCII that is UTF-8 goes out as given.
  answerSignUp(server_);
  EXPECT_EQ(errorOf([](Pelk::UserHandler h) { Pelk::createUser("caf\xc3\xa9", h); }), std::nullopt);
  ASSERT_EQ(server_.requests("/v3/user/").size(), 1u);
  EXPECT_EQ(json::parse(server_.requests("/v3/user/").front().body).value("description", ""), "caf\xc3\xa9");
}

// Only a token reply that refuses the key says the key is wrong; a token
// request that never got a reply is a network error, whatever the reason.
TEST_F(ErrorsTest, AFailedTokenRequestAnswersWhatHappenedToIt) {
  SocketTestServer dropping([](SocketTestServer::Connection& c, int) { (void)c.readRequest(); });
  struct Case {
    const char* name;
    std::string baseUrl;  // empty: the test server
    std::optional<ScriptedReply> tokenReply;
    PelkError error;
  };
  const PelkError keyWrong("QB402", "Error publishable_key or package_name is wrong");
  const PelkError network("QB500", "Network error");
  const std::vector<Case> cases = {
      {"key refused (401)", "", ScriptedReply::json(json{{"code", 401}, {"msg", "no"}}.dump()), keyWrong},
      {"key refused (400)", "", ScriptedReply::json(json{{"code", 400}, {"msg", "bad"}}.dump()), keyWrong},
      {"nobody listens", "http://127.0.0.1:" + std::to_string(HttpTestServer::unusedPort()), std::nullopt, network},
      {"connection dropped", dropping.baseUrl(), std::nullopt, network},
      {"reply that is not JSON", "", ScriptedReply{200, "<html>", "text/html", {}}, PelkError("QB500", "Server error")},
      {"service failure", "",
       ScriptedReply::json(json{{"code", 503}, {"msg", "busy"}, {"error", {{"ErrorCode", "E503"}}}}.dump()),
       PelkError("E503", "busy")},
  };
  const std::vector<std::pair<const char*, std::function<void(Pelk::UserHandler)>>> operations = {
      {"createUser", [](auto h) { Pelk::createUser("d", h); }},
      {"getUser", [](auto h) { Pelk::getUser("u1", h); }},
  };
  for (const auto& c : cases) {
    for (const auto& [opName, op] : operations) {
      SCOPED_TRACE(std::string(c.name) + ", " + opName);
      TokenManager::setSdkToken("");
      TokenManager::setPublishKey("pk");
      useBaseUrl(c.baseUrl.empty() ? server_.baseUrl() : c.baseUrl);
      if (c.tokenReply) server_.setDefault("/v3/user/token/", *c.tokenReply);
      EXPECT_EQ(answerOf(op), c.error);
    }
  }
  EXPECT_FALSE(dropping.requests().empty());
  EXPECT_TRUE(server_.requests("/v3/user/").empty());
  expectListed(keyWrong);
  expectListed(network);
}

// A host under ".invalid" is never looked up nor sent to: even a proxy, which
// would take the request without any lookup here, hears nothing of it.
TEST_F(ErrorsTest, AnInvalidHostFailsAsANetworkErrorWithoutSendingAnything) {
  ScopedEnv proxy("http_proxy", server_.baseUrl().c_str());
  ScopedEnv noProxy("no_proxy", nullptr);
  ScopedEnv noProxyUpper("NO_PROXY", nullptr);
  server_.setHandler([](const RecordedRequest&) { return ScriptedReply::json(grant().dump()); });
  TokenManager::setPublishKey("pk");
  useBaseUrl("http://api.pelk.invalid");
  EXPECT_EQ(answerOf([](auto h) { Pelk::createUser("d", h); }), PelkError("QB500", "Network error"));
  EXPECT_TRUE(server_.requests().empty());
}

// A base URL the kit cannot use refuses the start-up: false, an Error line,
// nothing stored and nothing sent; later calls answer as before initialize.
TEST_F(ErrorsTest, InitializeRefusesHostsItCannotUseAndSaysSo) {
  const std::string endpoint = "ws://127.0.0.1:1/mqtt";
  struct Case {
    std::string baseUrl, endpoint;
    bool taken;
    std::string stored;
    std::size_t errorLines;
  };
  const std::vector<Case> cases = {
      {"ftp://api.example", endpoint, false, "", 1},
      {"http://", endpoint, false, "", 1},
      {"https://:8080", endpoint, false, "", 1},
      {"http://api example", endpoint, false, "", 1},
      {"http://api.example:99999", endpoint, false, "", 1},
      {"http://api.example", "tcp://127.0.0.1:1883", false, "", 1},
      {"api.example", endpoint, true, "https://api.example", 0},
      {"http://127.0.0.1:8080/v", endpoint, true, "http://127.0.0.1:8080/v", 0},
      // One without the other is not taken; the start-up goes on.  An empty
      // one is none, whichever it is.
      {"http://api.example", "", true, "", 1},
      {"", endpoint, true, "", 1},
  };
  TokenManager::setSdkToken("tok");  // no token request either way
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baseUrl + " / " + c.endpoint);
    SharedUtil::removeKey(KUserBaseUrl);
    TokenManager::setPublishKey("");
    resetManager();
    platform::Console::Capture console;
    EXPECT_EQ(Pelk::initialize("pk", c.baseUrl, c.endpoint), c.taken);
    EXPECT_EQ(SharedUtil::getDefaultString(KUserBaseUrl), c.stored);
    EXPECT_EQ(TokenManager::getPublishKey(), c.taken ? "pk" : "");
    EXPECT_EQ(console.lines(platform::Console::Level::Error).size(), c.errorLines);
  }
  // After a refused start-up a call answers as one before initialize.
  TokenManager::setSdkToken("");
  TokenManager::setPublishKey("");
  EXPECT_FALSE(Pelk::initialize("pk", "ftp://api.example", endpoint));
  EXPECT_EQ(answerOf([](auto h) { Pelk::createUser("d", h); }), PelkError("QB402", "Data not found"));
  EXPECT_TRUE(server_.requests().empty());

  // An empty key is refused the same way.
  platform::Console::Capture console;
  EXPECT_FALSE(Pelk::initialize(""));
  EXPECT_EQ(console.lines(platform::Console::Level::Error), std::vector<std::string>{"Data not found"});
}

// A second start-up says what it did, and never claims success again.
TEST_F(ErrorsTest, ASecondInitializeSaysWhatItChanged) {
  const std::string endpoint = "ws://127.0.0.1:1/mqtt";
  server_.setDefault("/v3/user/token/", ScriptedReply::json(grant().dump()));
  {
    platform::Console::Capture console;
    ASSERT_TRUE(Pelk::initialize("pk", server_.baseUrl(), endpoint));
    ASSERT_TRUE(waitFor([&] { return console.contains("Quelbrin initialized Success"); }));
  }
  platform::Console::Capture console;
  EXPECT_TRUE(Pelk::initialize("pk", server_.baseUrl(), endpoint));
  EXPECT_TRUE(Pelk::initialize("pk-2"));
  const std::string other = "http://127.0.0.1:" + std::to_string(HttpTestServer::unusedPort());
  EXPECT_TRUE(Pelk::initialize("pk-2", other, endpoint));
  platform::Dispatch::drainMain();
  EXPECT_EQ(console.lines(platform::Console::Level::Info),
            (std::vector<std::string>{
                "Quelbrin already initialized: nothing changed",
                "Quelbrin already initialized: new publishable key stored: the next SDK token request uses it, the "
                "token in hand stays",
                "Quelbrin already initialized: base URL " + other + " stored: REST goes on to " + server_.baseUrl() +
                    " until the process starts again",
            }));
  EXPECT_EQ(server_.requests("/v3/user/token/").size(), 1u);
}

// The token request of start-up has nobody waiting for its answer: a failure
// is an Error line, and one of the network also reaches the delegate, as the
// start-up without a network does.
TEST_F(ErrorsTest, AStartUpWithoutATokenSaysWhyOnTheConsole) {
  struct Case {
    const char* name;
    std::string baseUrl;
    std::string line;
    std::vector<PelkError> delegateErrors;
  };
  server_.setDefault("/v3/user/token/", ScriptedReply::json(json{{"code", 401}, {"msg", "no"}}.dump()));
  const std::string unused = "http://127.0.0.1:" + std::to_string(HttpTestServer::unusedPort());
  const std::vector<Case> cases = {
      {"key refused",
       server_.baseUrl(),
       "Quelbrin not initialized: no SDK token (QB402 Error publishable_key or package_name is wrong)",
       {}},
      {"no reply",
       unused,
       "Quelbrin not initialized: no SDK token (QB500 Network error)",
       {PelkError("QB500", "Network error")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto app = std::make_shared<RecordingDelegate>();
    Pelk::setDelegate(app);
    TokenManager::setSdkToken("");
    resetManager();
    useBaseUrl(c.baseUrl);
    platform::Console::Capture console;
    ASSERT_TRUE(Pelk::initialize("pk"));
    EXPECT_TRUE(waitFor([&] { return !console.lines(platform::Console::Level::Error).empty(); }));
    EXPECT_EQ(console.lines(platform::Console::Level::Error), std::vector<std::string>{c.line});
    std::lock_guard lock(app->mutex);
    EXPECT_EQ(app->errors, c.delegateErrors);
  }
}

// A broker that will not take the kit's login answers no call of the host's:
// it is said once at Error level, not once per retry.
TEST_F(ErrorsTest, ABrokerRefusingTheLoginIsSaidOnceAtErrorLevel) {
  MosquittoBroker broker({.users = {{"someone-else", "pw"}}, .persistence = false, .tls = false, .logPackets = false});
  resetMqttForTest();
  storeUser();
  TokenManager::setPubSubState(true);
  platform::Console::Capture console;
  ASSERT_TRUE(Pelk::initialize("pk-1", server_.baseUrl(), broker.wsUrl()));
  Pelk::publishSave();
  // Each refused attempt over WebSockets shows in the broker's log as a
  // client that closed before it was known.
  const auto refusals = [&] {
    const std::string mark = "Client <unknown> closed its connection";
    const auto log = broker.log();
    std::size_t n = 0;
    for (auto at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1)) ++n;
    return n;
  };
  ASSERT_TRUE(waitFor([&] { return refusals() >= 3; }, std::chrono::seconds(15)))
      << broker.log() << testing::PrintToString(console.lines());
  const auto errors = console.lines(platform::Console::Level::Error);
  EXPECT_EQ(std::count(errors.begin(), errors.end(),
                       "MQTT connection refused by the broker (login or client not accepted); positions wait in the "
                       "buffer"),
            1);
  Pelk::stopPublishing();
  resetMqttForTest();
}

// Every server-bound operation of the manager's trips and events, each with
// a handler that records whether a result came and the error.
std::vector<std::pair<std::string, std::function<void(HandlerRecorder<bool>&)>>> serverOperations() {
  auto& m = PelkManager::sharedInstance();
  using Calls = HandlerRecorder<bool>;
  return {
      {"toggle events", [&m](Calls& a) { m.toggleEvents(true, true, true, true, a.handler()); }},
      {"toggle listener", [&m](Calls& a) { m.toggleListener(true, true, a.handler()); }},
      {"events status", [&m](Calls& a) { m.getEventsStatus(a.handler()); }},
      {"create trip",
       [&m](Calls& a) {
         m.createTrip(json{{"lat", 1}}, false, a.handler());
       }},
      {"active trips", [&m](Calls& a) { m.activeTrips(false, a.handler()); }},
      {"trip details", [&m](Calls& a) { m.getTrips("srv-1", a.handler()); }},
      {"trip summary", [&m](Calls& a) { m.tripSummary("srv-1", a.handler()); }},
      {"trip synced", [&m](Calls& a) { m.istripSynced("srv-1", a.handler()); }},
      {"stop server trip", [&m](Calls& a) { m.stopTrip("srv-1", a.handler()); }},
  };
}

// A server that answers garbage, or never: one error for each operation.
class HostileServerTest : public OfflineTripsTest {};

TEST_F(HostileServerTest, GarbageFromTheServerIsOneErrorForEveryOperation) {
  const auto deep = std::string(100000, '[') + std::string(100000, ']');
  // A reply that is no answer fails the operation; one whose "data" has the
  // wrong type is still answered once (a trip action reads only "msg", and a
  // list that is not a list reads as no trips).
  struct Case {
    const char* what;
    std::string body;
    bool fails;
  };
  const std::vector<Case> replies{
      {"not JSON", "<html>oops", true},
      {"nested far too deep", R"({"code":200,"msg":"ok","data":)" + deep + "}", true},
      {"an error", R"({"code":500,"msg":"boom"})", true},
      {"not UTF-8", "{\"code\":200,\"msg\":\"\xff\",\"data\":{}}", true},
      {"data of the wrong type", R"({"code":200,"msg":"ok","data":"x"})", false},
  };
  for (const auto& c : replies) {
    server_.setHandler([body = c.body](const RecordedRequest&) { return ScriptedReply::json(body); });
    for (const auto& [name, op] : serverOperations()) {
      SCOPED_TRACE(std::string(c.what) + ": " + name);
      HandlerRecorder<bool> a;
      op(a);
      if (BaseCLManager::sharedInstance().pendingCount() > 0) deliver();
      ASSERT_TRUE(a.wait());
      EXPECT_EQ(a.count(), 1u);
      if (c.fails) {
        EXPECT_TRUE(a.error().has_value());
      }
    }
  }
}

TEST_F(HostileServerTest, AServerThatNeverAnswersEndsInOneErrorForEveryOperation) {
  SocketTestServer silent([](SocketTestServer::Connection& c, int) {
    while (c.readRequest()) {
    }
  });
  APIClient::setRequestDeadlineForTesting(300ms);
  SharedUtil::setDefaultString(silent.baseUrl(), KUserBaseUrl);
  APIClient::resetBaseUrlForTesting();
  for (const auto& [name, op] : serverOperations()) {
    SCOPED_TRACE(name);
    HandlerRecorder<bool> a;
    op(a);
    if (BaseCLManager::sharedInstance().pendingCount() > 0) deliver();
    EXPECT_TRUE(a.wait());
    EXPECT_EQ(a.count(), 1u);
    EXPECT_TRUE(a.error().has_value());
  }
  APIClient::setRequestDeadlineForTesting(std::nullopt);
  SharedUtil::setDefaultString(server_.baseUrl(), KUserBaseUrl);
  APIClient::resetBaseUrlForTesting();
}

}  // namespace
}  // namespace pelk::test
