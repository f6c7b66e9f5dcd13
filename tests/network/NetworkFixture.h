#pragma once

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "foundation/AppDefaults.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "network/APIClient.h"
#include "network/NetworkLinks.h"
#include "network/PelkAPIClient.h"
#include "support/CallList.h"
#include "support/HttpTestServer.h"
#include "support/KitFixture.h"

namespace pelk::test {

inline const std::string kTokenPath = "/v3/user/token/";
inline const std::string kUserPath = "/v3/user/";

// What a user operation handed to its handler.
struct UserOutcome {
  std::shared_ptr<PelkUser> user;
  std::optional<PelkError> error;
};

// Waits for one value handed over on another thread.  set() touches only a
// shared state it holds itself once the waiter can wake, so the waiter may
// destroy the object as soon as get() returns.
template <class T>
class Awaited {
 public:
  void set(T value) {
    auto state = state_;
    std::lock_guard lock(state->mutex);
    if (state->value) {
      ++state->extraCalls;
      return;
    }
    state->value.emplace(std::move(value));
    state->cv.notify_all();
  }
  T get(std::chrono::seconds timeout = std::chrono::seconds(15)) {
    std::unique_lock lock(state_->mutex);
    if (!state_->cv.wait_for(lock, timeout, [&] { return state_->value.has_value(); })) {
      ADD_FAILURE() << "no answer within " << timeout.count() << " s";
      return T{};
    }
    return *state_->value;
  }
  int extraCalls() {
    std::lock_guard lock(state_->mutex);
    return state_->extraCalls;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<T> value;
    int extraCalls = 0;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Records every link the REST client calls, in order.
class HookRecorder : public CallList {
 public:
  void install() {
    network::links::startTracking.set([this] { add("startTracking"); });
    network::links::stopTracking.set([this] { add("stopTracking"); });
    network::links::mqttConnect.set([this] { add("mqttConnect"); });
    network::links::mqttDisconnect.set([this] { add("mqttDisconnect"); });
    network::links::didFail.set([this](const PelkError& e) { add("didFail:" + e.code() + ":" + e.message()); });
  }
};

// The real transport, counting the requests whose reply handling has not
// finished yet, so a test can wait until every exchange (token renewals and
// repeats included) has run to its end.
class CountingTransport : public APIClient {
 public:
  void postMethod(const std::string& path, const nlohmann::json& body, std::optional<HeaderMap> headers,
                  Success success, Failure failure) override {
    begin();
    APIClient::postMethod(path, body, std::move(headers), wrap(std::move(success)), wrap(std::move(failure)));
  }
  void getMethod(const std::string& path, const HeaderMap& headers, Success success, Failure failure) override {
    begin();
    APIClient::getMethod(path, headers, wrap(std::move(success)), wrap(std::move(failure)));
  }
  void deleteMethod(const std::string& path, const nlohmann::json& body, std::optional<HeaderMap> headers,
                    Success success, Failure failure) override {
    begin();
    APIClient::deleteMethod(path, body, std::move(headers), wrap(std::move(success)), wrap(std::move(failure)));
  }
  void postLocationMethod(const std::string& path, const nlohmann::json& list, std::optional<HeaderMap> headers,
                          Success success, Failure failure) override {
    begin();
    APIClient::postLocationMethod(path, list, std::move(headers), wrap(std::move(success)), wrap(std::move(failure)));
  }
  void postMethodString(const std::string& path, const std::string& body, std::optional<HeaderMap> headers,
                        Success success, Failure failure) override {
    begin();
    APIClient::postMethodString(path, body, std::move(headers), wrap(std::move(success)), wrap(std::move(failure)));
  }

  bool waitIdle(std::chrono::seconds timeout = std::chrono::seconds(15)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return pending_ == 0; });
  }

 private:
  void begin() {
    std::lock_guard lock(mutex_);
    ++pending_;
  }
  void end() {
    // Notified under the lock: the waiter may destroy this object once it wakes.
    std::lock_guard lock(mutex_);
    --pending_;
    cv_.notify_all();
  }
  template <class F>
  F wrap(F f) {
    return [this, f = std::move(f)](auto&&... args) {
      if (f) f(std::forward<decltype(args)>(args)...);
      end();
    };
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  int pending_ = 0;
};

// A settings suite of its own, a local REST server as the stored base URL, and
// recorded links.
class RestTest : public SettingsTest {
 protected:
  RestTest() {
    SharedUtil::setDefaultString(server_.baseUrl(), KUserBaseUrl);
    APIClient::resetBaseUrlForTesting();
    hooks_.install();
  }
  ~RestTest() override {
    EXPECT_TRUE(transport_.waitIdle()) << "a request was still being answered";
    platform::resetAllLinks();
    APIClient::resetBaseUrlForTesting();
  }

  static nlohmann::json parse(const std::string& text) { return nlohmann::json::parse(text); }

  // Waits until every request sent so far was answered and handled.
  void settle() { ASSERT_TRUE(transport_.waitIdle()); }

  HttpTestServer server_;
  HookRecorder hooks_;
  CountingTransport transport_;
  PelkAPIClient client_{transport_};
};

// A complete user reply of the service.
inline std::string userReply(int code, const std::string& userId = "u-1") {
  return nlohmann::json{{"code", code},
                        {"msg", "ok"},
                        {"data",
                         {{"user_id", userId},
                          {"app_id", "app-9"},
                          {"description", "desc"},
                          {"geofence_events", true},
                          {"location_events", false},
                          {"nearby_events", true},
                          {"trips_events", false},
                          {"location_listener", true},
                          {"event_listener", false},
                          {"account_id", "acc-1"},
                          {"project_id", "prj-1"}}}}
      .dump();
}

}  // namespace pelk::test
