#include "network/PelkAPIClient.h"

#include <atomic>

#include "device/AppUtili.h"
#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "foundation/TokenManager.h"
#include "foundation/VuvivaZuvovo.h"
#include "network/Endpoints.h"
#include "network/NetworkLinks.h"
#include "platform/Console.h"

namespace pelk {
namespace {

void writeLog(const std::string& text) { LoggerManager::sharedInstance().writeLocationToFile(text); }

// Log lines that describe a whole document are built only while logging is
// on: a reply can be large, and writing it costs for nothing otherwise.
bool loggingOn() { return SharedUtil::getDefaultBoolean(kLoggingEnabled); }

std::string describe(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Counts the SDK tokens granted in this process, so a request can tell
// whether a token newer than the one it carried has arrived since.
std::atomic<std::uint64_t> gTokenGeneration{0};

// A token goes out as a header value: a line break or NUL in it would end the
// header early and let the rest become headers of the token's choosing.
bool isUsableToken(const std::optional<std::string>& token) {
  return token && !token->empty() && token->find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

// Success handling for the operations that answer with the user of the reply.
enum class UserEffects { none, save, saveAndStoreIdAndConnect, saveAndConnect };

}  // namespace

std::string optionalDescription(const std::optional<std::string>& text) {
  if (!text) return "nil";
  return "Optional(\"" + *text + "\")";
}

PelkAPIClient& PelkAPIClient::sharedInstance() {
  static auto* instance = new PelkAPIClient();
  return *instance;
}

PelkAPIClient::PelkAPIClient(APIClient& transport) : transport_(transport) {}

PelkError PelkAPIClient::replyError(const std::optional<std::string>& code, const std::optional<std::string>& msg) {
  return PelkError(code.value_or(rawValue(ErrorCode::QB500)), msg.value_or(VuvivaZuvovo::ERROR_SERVER));
}

PelkError PelkAPIClient::serverError() { return PelkError(ErrorCode::QB500, VuvivaZuvovo::ERROR_SERVER); }

// ------------------------------------------------------------------ SDK token

void PelkAPIClient::oAuthTokenGeneration(const std::string& publishKey, TokenCompletion completion) {
  const nlohmann::json body = {{"publish_key", publishKey}, {"bundle_id", AppUtilis::getBundle()}};
  const auto done = [completion](std::optional<PelkError> error) {
    if (completion) completion(TokenOutcome{!error, std::move(error)});
  };
  transport_.postMethod(
      rawValue(MethodUrls::OAUTH_URL), body, std::nullopt,
      [done](const nlohmann::json& reply) {
        const PelkOAuthResponse response(reply);
        writeLog("TokenGeneration " + optionalDescription(response.msg));
        if (response.code == 200) {
          // A grant without a usable token is no grant: nothing is stored or undone.
          if (!isUsableToken(response.sdk_Token)) {
            done(serverError());
            return;
          }
          TokenManager::setSdkToken(response.sdk_Token);
          ++gTokenGeneration;
          if (SharedUtil::getDefaultBoolean(kLimitExceedMessage)) {
            network::links::startTracking();
            network::links::mqttConnect();
            SharedUtil::setDefaultBoolean(false, kLimitExceedMessage);
          }
          done(std::nullopt);
        } else if (response.code == 400 || response.code == 401) {
          // The one answer that says the key itself is wrong.
          SharedUtil::setDefaultBoolean(true, kLimitExceedMessage);
          network::links::mqttDisconnect();
          network::links::stopTracking();
          done(PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_PUBLISHABLE_KEY));
        } else {
          const auto error = replyError(response.errorCode, response.msg);
          network::links::didFail(error);
          platform::Console::print(optionalDescription(response.msg), platform::Console::Level::Error);
          done(error);
        }
      },
      [done](std::optional<std::string> message, std::optional<std::string> code) {
        // No reply, or none the kit can read: nothing was said about the key.
        done(PelkError(code.value_or(rawValue(ErrorCode::QB500)), message.value_or(VuvivaZuvovo::ERROR_NETWORK)));
      });
}

// ------------------------------------------------------------------ reply scheme

void PelkAPIClient::renewToken(std::uint64_t sentWith, std::function<void(bool granted)> then) {
  bool granted = false;
  {
    platform::LockGuard lock(renewalMutex_);
    if (renewing_) {
      renewalWaiters_.push_back(std::move(then));
      return;
    }
    granted = gTokenGeneration.load() != sentWith;
    if (!granted) {
      renewing_ = true;
      renewalWaiters_.push_back(std::move(then));
    }
  }
  if (granted) {
    then(true);
    return;
  }
  oAuthTokenGeneration(TokenManager::getPublishKey(), [this](const TokenOutcome& outcome) {
    const bool ok = outcome.granted;
    std::vector<std::function<void(bool)>> waiters;
    {
      platform::LockGuard lock(renewalMutex_);
      waiters.swap(renewalWaiters_);
      renewing_ = false;
    }
    for (auto& waiter : waiters) waiter(ok);
  });
}

void PelkAPIClient::exchange(int round, const Send& send, Exchange ex) {
  auto shared = std::make_shared<Exchange>(std::move(ex));
  // Read before the request is built, so a token granted in between can only
  // make the request newer than this says, never older.
  const std::uint64_t sentWith = gTokenGeneration.load();
  send(
      [this, round, shared, sentWith](const nlohmann::json& reply) {
        const PelkServerResponse envelope(reply);
        if (!shared->logLabel.empty() && loggingOn()) writeLog(shared->logLabel + describe(reply));
        const auto fail = [&](const PelkError& error) {
          if (shared->onFailure) shared->onFailure(error);
        };
        const std::optional<std::string> errorCode =
            envelope.error ? envelope.error->errorCode : std::optional<std::string>();
        if (envelope.code == 200 || envelope.code == 201) {
          if (shared->onSuccess) shared->onSuccess(reply, envelope);
        } else if (envelope.code == 401) {
          const PelkError error = replyError(errorCode, envelope.msg);
          if (round >= kMaxTokenRenewals) {
            fail(error);
            return;
          }
          renewToken(sentWith, [shared, round, error](bool granted) {
            if (granted) {
              if (shared->repeat) shared->repeat(round + 1);
            } else if (shared->onFailure) {
              shared->onFailure(error);
            }
          });
        } else {
          fail(replyError(errorCode, envelope.msg));
        }
      },
      [shared](std::optional<std::string> message, std::optional<std::string> code) {
        if (shared->onFailure) shared->onFailure(replyError(code, message));
      });
}

// ------------------------------------------------------------------ user, events, notifications

namespace {

// Builds the user of a success reply and applies the effects; nothing happens
// when the reply's "data" is not a complete user.
std::shared_ptr<PelkUser> acceptUser(const nlohmann::json& reply, UserEffects effects) {
  auto user = PelkUser::fromDictionary(reply);
  if (!user) return nullptr;
  if (effects != UserEffects::none && !SaveUtilis::saveUserDetails(reply)) return nullptr;
  if (effects == UserEffects::saveAndStoreIdAndConnect) TokenManager::setUserId(user->userId());
  if (effects == UserEffects::saveAndStoreIdAndConnect || effects == UserEffects::saveAndConnect) {
    network::links::mqttConnect();
  }
  return user;
}

std::function<void(const PelkError&)> userFailure(const PelkAPIClient::UserCompletion& completion) {
  if (!completion) return {};
  return [completion](const PelkError& error) { completion(nullptr, error); };
}

std::function<void(const nlohmann::json&, const PelkServerResponse&)> userSuccess(
    const PelkAPIClient::UserCompletion& completion, UserEffects effects) {
  return [completion, effects](const nlohmann::json& reply, const PelkServerResponse&) {
    auto user = acceptUser(reply, effects);
    if (!completion) return;
    if (user) {
      completion(user, std::nullopt);
    } else {
      completion(nullptr, PelkError(ErrorCode::QB500, VuvivaZuvovo::ERROR_SERVER));
    }
  };
}

}  // namespace

void PelkAPIClient::createUser(const std::string& description, UserCompletion completion) {
  createUserRound(description, std::move(completion), 0);
}

void PelkAPIClient::createUserRound(const std::string& description, UserCompletion completion, int round) {
  const nlohmann::json body = AppUtilis::createUserParameter(description);
  exchange(
      round,
      [this, body](auto success, auto failure) {
        transport_.postMethod(rawValue(MethodUrls::USER_CREATE_URL), body, AppUtilis::headerParams(),
                              std::move(success), std::move(failure));
      },
      Exchange{"Create User  ", userSuccess(completion, UserEffects::saveAndStoreIdAndConnect), userFailure(completion),
               [this, description, completion](int next) { createUserRound(description, completion, next); }});
}

void PelkAPIClient::getUser(const std::string& userId, UserCompletion completion) {
  getUserRound(userId, std::move(completion), 0);
}

void PelkAPIClient::getUserRound(const std::string& userId, UserCompletion completion, int round) {
  const std::string path = AppUtilis::getUserURL(userId);
  exchange(
      round,
      [this, path](auto success, auto failure) {
        transport_.getMethod(path, AppUtilis::getUserParameter(), std::move(success), std::move(failure));
      },
      Exchange{"Get User  ", userSuccess(completion, UserEffects::saveAndConnect), userFailure(completion),
               [this, userId, completion](int next) { getUserRound(userId, completion, next); }});
}

void PelkAPIClient::setUserDescription(const std::string& description) { setUserDescriptionRound(description, 0); }

void PelkAPIClient::setUserDescriptionRound(const std::string& description, int round) {
  const nlohmann::json body = AppUtilis::setDescriptionParameter(description);
  exchange(
      round,
      [this, body](auto success, auto failure) {
        transport_.postMethod(rawValue(MethodUrls::USER_CREATE_URL), body, AppUtilis::headerParams(),
                              std::move(success), std::move(failure));
      },
      Exchange{
          "Set User Description  ",
          [](const nlohmann::json&, const PelkServerResponse&) { platform::Console::print(VuvivaZuvovo::SUCCESS); },
          {},
          [this, description](int next) { setUserDescriptionRound(description, next); }});
}

void PelkAPIClient::logoutUser(TextCompletion completion) { logoutUserRound(std::move(completion), 0); }

void PelkAPIClient::logoutUserRound(TextCompletion completion, int round) {
  const nlohmann::json body = {{"user_id", TokenManager::getUserId()}};
  std::function<void(const PelkError&)> onFailure;
  if (completion) onFailure = [completion](const PelkError& error) { completion(std::nullopt, error); };
  exchange(
      round,
      [this, body](auto success, auto failure) {
        transport_.postMethod(rawValue(MethodUrls::USER_LOGOUT_URL), body, AppUtilis::headerParams(),
                              std::move(success), std::move(failure));
      },
      Exchange{"Logout User  ",
               [completion](const nlohmann::json&, const PelkServerResponse& envelope) {
                 AppUtilis::resetDefaults();
                 network::links::stopTracking();
                 network::links::mqttDisconnect();
                 if (completion) completion(envelope.msg, std::nullopt);
               },
               onFailure, [this, completion](int next) { logoutUserRound(completion, next); }});
}

void PelkAPIClient::toggleEvents(const nlohmann::json& dict, UserCompletion completion) {
  toggleEventsRound(dict, std::move(completion), 0);
}

void PelkAPIClient::toggleEventsRound(const nlohmann::json& dict, UserCompletion completion, int round) {
  exchange(
      round,
      [this, dict](auto success, auto failure) {
        transport_.postMethod(rawValue(MethodUrls::USER_CREATE_URL), dict, AppUtilis::headerParams(),
                              std::move(success), std::move(failure));
      },
      Exchange{"Toggle Event/Listener ", userSuccess(completion, UserEffects::save), userFailure(completion),
               [this, dict, completion](int next) { toggleEventsRound(dict, completion, next); }});
}

void PelkAPIClient::getEventsStatus(UserCompletion completion) { getEventsStatusRound(std::move(completion), 0); }

void PelkAPIClient::getEventsStatusRound(UserCompletion completion, int round) {
  const std::string path = rawValue(MethodUrls::USER_GET_URL) + percentEncoded(TokenManager::getUserId());
  exchange(
      round,
      [this, path](auto success, auto failure) {
        transport_.getMethod(path, AppUtilis::getUserParameter(), std::move(success), std::move(failure));
      },
      Exchange{"Get Event/Listener ", userSuccess(completion, UserEffects::none), userFailure(completion),
               [this, completion](int next) { getEventsStatusRound(completion, next); }});
}

void PelkAPIClient::notificationOpenedHandler(const std::string& cid) { notificationOpenedRound(cid, 0); }

void PelkAPIClient::notificationOpenedRound(const std::string& cid, int round) {
  const std::string path = rawValue(MethodUrls::NOTIFICATION_HANDLER) + percentEncoded(cid);
  // Only a 401 reply matters here: every other outcome ends the operation silently.
  Exchange ex{"", {}, {}, [this, cid](int next) { notificationOpenedRound(cid, next); }};
  exchange(
      round,
      [this, path](auto success, auto failure) {
        transport_.getMethod(path, AppUtilis::headerParams(), std::move(success), std::move(failure));
      },
      std::move(ex));
}

void PelkAPIClient::setDeviceToken(const std::string& deviceToken) { setDeviceTokenRound(deviceToken, 0); }

void PelkAPIClient::setDeviceTokenRound(const std::string& deviceToken, int round) {
  nlohmann::json body = nlohmann::json::object();
  for (const auto& [key, value] : AppUtilis::setDeviceTokenParameter(deviceToken)) body[key] = value;
  exchange(
      round,
      [this, body](auto success, auto failure) {
        transport_.postMethod(rawValue(MethodUrls::USER_CREATE_URL), body, AppUtilis::headerParams(),
                              std::move(success), std::move(failure));
      },
      Exchange{"",
               [](const nlohmann::json&, const PelkServerResponse&) {
                 SharedUtil::setDefaultBoolean(true, kSetDeviceToken);
               },
               {},
               [this, deviceToken](int next) { setDeviceTokenRound(deviceToken, next); }});
}

// ------------------------------------------------------------------ location reports

void PelkAPIClient::updateLocation(const nlohmann::json& locations, LocationCompletion completion) {
  updateLocationRound(locations, std::move(completion), 0);
}

void PelkAPIClient::updateLocationRound(const nlohmann::json& locations, LocationCompletion completion, int round) {
  if (loggingOn()) writeLog("Update location " + describe(locations));
  std::function<void(const PelkError&)> onFailure;
  if (completion) onFailure = [completion](const PelkError& error) { completion(error.message()); };
  exchange(
      round,
      [this, locations](auto success, auto failure) {
        transport_.postLocationMethod(rawValue(MethodUrls::LOCATION_URL), locations, AppUtilis::headerParams(),
                                      std::move(success), std::move(failure));
      },
      Exchange{"Update location Response ",
               [completion](const nlohmann::json&, const PelkServerResponse& envelope) {
                 if (completion) completion(envelope.msg.value_or(""));
               },
               onFailure,
               [this, locations, completion](int next) { updateLocationRound(locations, completion, next); }});
}

void PelkAPIClient::locationPublisher(TextCompletion handler) { locationPublisherRound(std::move(handler), 0); }

void PelkAPIClient::locationPublisherRound(TextCompletion handler, int round) {
  const nlohmann::json body = AppUtilis::locationCountParameter();
  std::function<void(const PelkError&)> onFailure;
  if (handler) onFailure = [handler](const PelkError& error) { handler(std::string(), error); };
  exchange(
      round,
      [this, body](auto success, auto failure) {
        transport_.postMethod(rawValue(MethodUrls::LOCATION_COUNT), body, AppUtilis::headerParams(), std::move(success),
                              std::move(failure));
      },
      Exchange{"Location publisher Trip Response: ",
               [handler](const nlohmann::json&, const PelkServerResponse& envelope) {
                 if (handler) handler(envelope.msg, std::nullopt);
               },
               onFailure, [this, handler](int next) { locationPublisherRound(handler, next); }});
}

}  // namespace pelk
