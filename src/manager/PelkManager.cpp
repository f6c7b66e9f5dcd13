#include "manager/PelkManager.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <iomanip>
#include <sstream>

#include "device/DeviceInfo.h"
#include "foundation/AppDefaults.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "foundation/StringExtensions.h"
#include "foundation/TokenManager.h"
#include "foundation/VuvivaZuvovo.h"
#include "manager/Links.h"
#include "manager/PelkLocationDelegate.h"
#include "messaging/HttpOfflineLocationUtils.h"
#include "messaging/MQTTManager.h"
#include "messaging/MQTTUtilis.h"
#include "network/APIClient.h"
#include "network/Endpoints.h"
#include "platform/AppInfo.h"
#include "platform/Application.h"
#include "platform/Console.h"
#include "platform/Device.h"
#include "platform/Dispatch.h"
#include "platform/HttpSession.h"
#include "platform/LocationServices.h"
#include "platform/Paths.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkTripStorageManager.h"
#include "tracking/BaseCLManager.h"
#include "tracking/LocationCounters.h"
#include "tracking/LocationDataManager.h"
#include "tracking/PelkCustomTracking.h"
#include "tracking/PermissionCheck.h"

namespace pelk {

namespace {

void print(const std::string& line) { platform::Console::print(line); }
// A failure the call has no handler for: the host hears of it at Error level.
void printError(const std::string& line) { platform::Console::print(line, platform::Console::Level::Error); }
void log(const std::string& line) { LoggerManager::sharedInstance().writeLocationToFile(line); }
const char* text(bool b) { return b ? "true" : "false"; }

// Work that touches a location manager or a mode runs on the main queue: at
// once when already there, queued otherwise.
void onMain(std::function<void()> task) {
  if (platform::Dispatch::isMainThread()) {
    task();
  } else {
    platform::Dispatch::main().async(std::move(task));
  }
}

}  // namespace

PelkManager& PelkManager::sharedInstance() {
  // Never destroyed: queued work and other threads may reach it at exit.
  static auto* instance = new PelkManager();
  linkKit();
  return *instance;
}

PelkManager::PelkManager() : modes_(defaultTrackingModes()) {}

PelkManager::~PelkManager() {
  for (auto id : observers_) platform::NotificationCenter::defaultCenter().removeObserver(id);
}

PelkAPIClient& PelkManager::api() {
  platform::LockGuard lock(mutex_);
  return api_ ? *api_ : PelkAPIClient::sharedInstance();
}

void PelkManager::setAPIClient(PelkAPIClient* client) {
  platform::LockGuard lock(mutex_);
  api_ = client;
}

void PelkManager::setTrackingModes(TrackingModes modes) {
  platform::LockGuard lock(mutex_);
  modes_ = std::move(modes);
}

PelkTrackingModeLocal PelkManager::runningMode() const {
  platform::LockGuard lock(mutex_);
  return running_;
}

std::size_t PelkManager::registrationsForTesting() const {
  platform::LockGuard lock(mutex_);
  return registrations_;
}

void PelkManager::resetForTesting() {
  std::vector<platform::NotificationCenter::ObserverId> observers;
  std::shared_ptr<Reachability> monitor;
  {
    platform::LockGuard init(initMutex_);
    platform::LockGuard lock(mutex_);
    observers.swap(observers_);
    monitor = std::move(reachability_);
    registered_ = false;
    registrations_ = 0;
    api_ = nullptr;
    modes_ = defaultTrackingModes();
    running_ = PelkTrackingModeLocal::notselected;
    pausedByAppState_ = false;
    resumeChecked_ = false;
    started_ = false;
  }
  for (auto id : observers) platform::NotificationCenter::defaultCenter().removeObserver(id);
  if (monitor) monitor->stopNotifier();
}

bool PelkManager::modeAvailable(PelkTrackingModeLocal mode) const {
  std::function<bool(PelkTrackingModeLocal)> available;
  {
    platform::LockGuard lock(mutex_);
    available = modes_.available;
  }
  return !available || available(mode);
}

bool PelkManager::permissionGranted() const { return PermissionCheck::isLocationPermissionGranted(); }

// ------------------------------------------------------------------ start-up

std::optional<std::string> PelkManager::usableBaseUrl(const std::string& text) {
  // A scheme other than http or https is refused before the "https://" rule
  // would hide it ("ftp://host" is no host named "ftp").  The scheme in upper
  // case is not recognised and gets "https://" before it, as ever.
  if (const auto scheme = text.find("://"); scheme != std::string::npos) {
    std::string name = text.substr(0, scheme);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (name != "http" && name != "https") return std::nullopt;
  }
  const bool hasScheme = text.starts_with("https://") || text.starts_with("http://");
  std::string url = hasScheme ? text : "https://" + text;
  if (!platform::HttpSession::isValidUrl(url)) return std::nullopt;
  return url;
}

bool PelkManager::intialize(const std::string& key, const std::optional<std::string>& baseUrl,
                            const std::optional<std::string>& endpoint) {
  // Another live process of this app id holds the kit's folders: starting
  // here would take over its user, token and stores.  This process was given
  // empty settings of its own and stays as before start-up.
  if (const auto place = platform::Paths::place(); place.settlement == platform::Paths::Settlement::inUse) {
    platform::Console::print("pelk: initialize refused: app id " + platform::AppInfo::bundleId() +
                                 " is in use by process " + place.holder + " (" + place.lockFile +
                                 "); this process keeps no settings or stores of its own",
                             platform::Console::Level::Error);
    return false;
  }
  // Observers and the monitor are registered once per process, however often
  // the app starts the kit: a second set would handle each change twice.
  // A concurrent second caller waits here until the first has registered
  // everything, so no start-up runs without the observers in place.
  {
    platform::LockGuard init(initMutex_);
    bool first = false;
    {
      platform::LockGuard lock(mutex_);
      first = !registered_;
    }
    if (first) {
      registerForNetworkChange();
      registerForInternalAppNotifications();
      platform::LockGuard lock(mutex_);
      registered_ = true;
    }
  }
  platform::Device::setBatteryMonitoringEnabled(true);

  // A start-up refused writes nothing: the app state and the location
  // answer are written only once the key and the hosts are taken.
  const auto refuse = [](const std::string& why) {
    platform::Console::print(why, platform::Console::Level::Error);
    return false;
  };
  // A key that is not UTF-8 cannot be sent for a token: refused as an empty
  // key is, rather than failing later as if the network had.
  if (key.empty() || !isUtf8(key)) return refuse(VuvivaZuvovo::ERROR_NOT_FOUND);

  // The REST base URL and the MQTT endpoint name one service, so they come
  // together.  A pair the kit cannot use refuses the whole start-up: going on
  // with the hosts in force would send the key to a service the app did not
  // name.  One without the other is not taken, and the start-up goes on with
  // the hosts in force.
  const bool givenBase = baseUrl && !baseUrl->empty();
  const bool givenEndpoint = endpoint && !endpoint->empty();
  std::optional<std::string> url;
  if (givenBase && givenEndpoint) {
    url = usableBaseUrl(*baseUrl);
    if (!url) {
      return refuse("Base URL not usable: " + *baseUrl +
                    " (an http:// or https:// URL with a host is needed); the kit is not initialized");
    }
    if (!MQTTUtilis::connectionUri(*endpoint)) {
      return refuse("MQTT endpoint not usable: " + *endpoint + "; the kit is not initialized");
    }
  } else if (givenBase || givenEndpoint) {
    platform::Console::print(std::string(givenBase ? "Base URL" : "MQTT endpoint") +
                                 " not taken: the base URL and the MQTT endpoint are taken together; the kit goes "
                                 "on with the hosts in force (REST " +
                                 (APIClient::baseUrlInUse() ? *APIClient::baseUrlInUse() : GetBaseUrl::getBaseUr()) +
                                 ")",
                             platform::Console::Level::Error);
  }

  // A run starts in the foreground unless the host said otherwise before
  // start-up: what the last run recorded last ("B", "T") is not this run's.
  SharedUtil::setDefaultString(platform::Application::state() == platform::ApplicationState::background
                                   ? kAppStateBackground
                                   : kAppStateForeground,
                               KcurrentAppState);
  // No prompt will come: the location authorization is settled now, so that
  // the reactions to the network and the app's lifecycle find it.
  HostLocationAuthorization::decide();

  bool again = false;
  {
    platform::LockGuard lock(mutex_);
    again = std::exchange(started_, true);
  }
  // A repeated start-up says what it changed: the hosts are fixed at their
  // first use in a process, and the SDK token in hand stays.
  std::string repeated;
  if (again) {
    std::vector<std::string> changes;
    if (TokenManager::getPublishKey() != key) {
      changes.push_back("new publishable key stored: the next SDK token request uses it, the token in hand stays");
    }
    if (url && *url != GetBaseUrl::getBaseUr()) {
      const auto inUse = APIClient::baseUrlInUse();
      changes.push_back("base URL " + *url + " stored: " +
                        (inUse && *inUse != *url ? "REST goes on to " + *inUse + " until the process starts again"
                                                 : std::string("in force")));
    }
    if (url && *endpoint != SharedUtil::getDefaultString(kAWSIOTEndPoint)) {
      changes.push_back("MQTT endpoint " + *endpoint + " stored: in force from the next connection");
    }
    repeated = "Quelbrin already initialized: ";
    if (changes.empty()) repeated += "nothing changed";
    for (std::size_t i = 0; i < changes.size(); ++i) repeated += (i ? "; " : "") + changes[i];
  }

  if (url) {
    // Both stored, in one transaction, or neither, so that REST and MQTT
    // never talk to different hosts.
    const bool stored = SharedUtil::userDefaultValue()->transaction([&] {
      SharedUtil::setDefaultString(*url, KUserBaseUrl);
      mqtt(*endpoint);
    });
    if (!stored) {
      platform::Console::print("pelk: base URL and MQTT endpoint could not be stored", platform::Console::Level::Error);
    }
  }
  TokenManager::setPublishKey(key);
  if (again) print(repeated);
  resumeTrackingLeftOn();

  if (TokenManager::getSDKToken().empty()) {
    if (ReachabilityCheck::isConnectedToNetwork()) {
      // The grant may come after the app has gone on (created a user, chosen
      // to publish): the defaults are written only to switches it left alone.
      std::array<std::uint64_t, 3> seen{};
      for (std::size_t i = 0; i < seen.size(); ++i) seen[i] = appChoices_[i].load();
      api().oAuthTokenGeneration(key, [this, seen](const PelkAPIClient::TokenOutcome& outcome) {
        if (!outcome.granted) {
          // Nobody waits for this answer: the console says why the kit has no
          // token, and a network failure goes where the offline start-up's does.
          const auto error = outcome.error.value_or(PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_PUBLISHABLE_KEY));
          platform::Console::print(
              "Quelbrin not initialized: no SDK token (" + error.code() + " " + error.message() + ")",
              platform::Console::Level::Error);
          if (error.message() == VuvivaZuvovo::ERROR_NETWORK) PelkLocationDelegate::sharedInstance().didFail(error);
          return;
        }
        print(VuvivaZuvovo::ZEZOVUSDK_INITI_SUCCESS);
        const auto untouched = [&](AppSwitch which) {
          const auto i = static_cast<std::size_t>(which);
          return appChoices_[i].load() == seen[i];
        };
        if (untouched(AppSwitch::locationListener) && untouched(AppSwitch::locationPublisher) &&
            untouched(AppSwitch::offlineTracking)) {
          initializeUserDefaults();
          return;
        }
        if (untouched(AppSwitch::locationListener)) SharedUtil::setDefaultBoolean(false, kLocationListenerSubscribe);
        if (untouched(AppSwitch::offlineTracking)) SharedUtil::setDefaultBoolean(true, kOfflineTracking);
        if (untouched(AppSwitch::locationPublisher)) SharedUtil::setDefaultBoolean(false, KLocationPublisher);
      });
    } else {
      PelkLocationDelegate::sharedInstance().didFail(PelkError(ErrorCode::QB500, VuvivaZuvovo::ERROR_NETWORK));
      platform::Console::print(VuvivaZuvovo::ERROR_NETWORK, platform::Console::Level::Error);
    }
    return true;
  }
  if (!TokenManager::getUserId().empty() &&
      (TokenManager::getLocationPublisher() ||
       MQTTManager::sharedInstance().offlineBuffer().getOfflineLocationCount() != 0)) {
    MQTTManager::sharedInstance().connect();
  }
  return true;
}

void PelkManager::initializeUserDefaults() {
  SharedUtil::setDefaultBoolean(false, kLocationListenerSubscribe);
  SharedUtil::setDefaultBoolean(true, kOfflineTracking);
  SharedUtil::setDefaultBoolean(false, KLocationPublisher);
}

void PelkManager::noteAppChoice(AppSwitch which) { ++appChoices_[static_cast<std::size_t>(which)]; }

void PelkManager::mqtt(const std::string& endpoint) { MQTTUtilis::saveMqttEndpoint(endpoint); }

void PelkManager::setLoggerEnabled(bool logger) { SharedUtil::setDefaultBoolean(logger, kLoggingEnabled); }

void PelkManager::resumeModeAfterShadow(PelkTrackingModeLocal mode) {
  if (mode == PelkTrackingModeLocal::notselected) return;
  const auto generation = setTrackingSwitch(true, StopRecord::keep);
  onMain([this, mode, generation] { startMode(mode, std::nullopt, generation); });
}

// ------------------------------------------------------------------ reactions

void PelkManager::registerForNetworkChange() {
  std::shared_ptr<Reachability> monitor;
  try {
    monitor = Reachability::create();
  } catch (const std::exception&) {
    printError("could not start reachability notifier");
    return;
  }
  auto id = platform::NotificationCenter::defaultCenter().addObserver(kReachabilityChangedNotification, monitor.get(),
                                                                      [this](const platform::Notification& note) {
                                                                        if (auto* m = note.objectAs<Reachability>())
                                                                          reachabilityChanged(*m);
                                                                      });
  {
    platform::LockGuard lock(mutex_);
    reachability_ = monitor;
    observers_.push_back(id);
    ++registrations_;
  }
  try {
    monitor->startNotifier();
  } catch (const std::exception&) {
    printError("could not start reachability notifier");
  }
}

void PelkManager::registerForInternalAppNotifications() {
  auto& center = platform::NotificationCenter::defaultCenter();
  const auto a = center.addObserver(platform::Application::didEnterBackgroundNotification, nullptr,
                                    [this](const platform::Notification&) { applicationDidEnterBackground(); });
  const auto b = center.addObserver(platform::Application::willEnterForegroundNotification, nullptr,
                                    [this](const platform::Notification&) { applicationWillForeground(); });
  const auto c = center.addObserver(platform::Application::willTerminateNotification, nullptr,
                                    [this](const platform::Notification&) { applicationWillTerminate(); });
  platform::LockGuard lock(mutex_);
  observers_.insert(observers_.end(), {a, b, c});
}

void PelkManager::reachabilityChanged(Reachability& monitor) {
  PELK_ASSERT_ON_MAIN();
  const auto connection = monitor.connection();
  log("Reachability check " + description(connection) + "  IsTarcking " +
      text(SharedUtil::getDefaultBoolean(kIsLocationTracking)));
  const bool online = connection == Reachability::Connection::wifi || connection == Reachability::Connection::cellular;
  // A broker connection waiting out its retry backoff tries again now: what
  // it failed on may be the network that just came back.  Only the
  // connection is concerned, so permission and token do not matter here.
  if (online) MQTTManager::sharedInstance().retryNow();
  if (!permissionGranted() || TokenManager::getSDKToken().empty() || TokenManager::getUserId().empty()) return;
  if (online) {
    checkSync();
    PelkLocationCount::sharedInstance().updateLocationCount();
    if (!TokenManager::getUserId().empty() && TokenManager::getLocationPublisher()) {
      MQTTManager::sharedInstance().disconnect();
    }
  }
  updateTrackingAsPerOfflineSettings();
}

void PelkManager::updateTrackingAsPerOfflineSettings() {
  if (!permissionGranted()) return;
  if (!SharedUtil::getDefaultBoolean(kOfflineTracking) && !ReachabilityCheck::isConnectedToNetwork()) {
    stopTrackingBecause(StopCause::kit);
    return;
  }
  if (!SharedUtil::getDefaultBoolean(kIsLocationTracking)) restartStoredMode();
}

void PelkManager::checkSync() {
  auto& store = PelkTripStorageManager::shared();
  for (const auto& trip : store.getActivetripsWithoutQuery()) {
    if (!trip.synced || !trip.is_ended || !trip.trip_id || trip.trip_id->empty()) continue;
    store.syncTrip(*trip.trip_id, [](std::optional<std::string>, std::optional<PelkError>) {});
  }
}

void PelkManager::sendLocalDataToServer() {
  PelkLocationGpsData::sharedInstance().updateGpsOffline();
  platform::Dispatch::global().async([] { HttpOfflineLocationUtils::sharedInstance().uploadStoredLocations(); });
}

void PelkManager::pauseForAppState() {
  PELK_ASSERT_ON_MAIN();
  std::function<void(PelkTrackingModeLocal)> stop;
  PelkTrackingModeLocal mode;
  {
    platform::LockGuard lock(mutex_);
    mode = std::exchange(running_, PelkTrackingModeLocal::notselected);
    if (mode == PelkTrackingModeLocal::notselected) return;
    pausedByAppState_ = true;
    stop = modes_.stop;
  }
  if (stop) stop(mode);
}

void PelkManager::followAppState() {
  PELK_ASSERT_ON_MAIN();
  if (!PelkTrackingStateData::checkAppTrackingState()) {
    // Tracking limited to the other state pauses; the app's switch stays on,
    // so that the return to that state resumes it.
    if (SharedUtil::getDefaultBoolean(kIsLocationTracking)) pauseForAppState();
    return;
  }
  // The app's tracking, and tracking the kit paused for the app's state,
  // (re)start in the stored mode.
  bool paused = false;
  {
    platform::LockGuard lock(mutex_);
    paused = pausedByAppState_;
  }
  if (!(SharedUtil::getDefaultBoolean(kIsLocationTracking) || paused) || !permissionGranted()) return;
  {
    platform::LockGuard lock(mutex_);
    pausedByAppState_ = false;
  }
  startMode(SaveUtilis::getTrackingOptions());
}

// A run that ended with tracking on (killed, or returned from main without a
// stop) leaves the switch on.  A run starts in the foreground, so no lifecycle
// report may ever come to restart it, and the switch would say "tracking"
// while nothing runs: the kit restarts it once at start-up, on the main queue
// behind whatever the host reported before, exactly as a report would (switch
// on, permission granted, an app state the tracking is for).
void PelkManager::resumeTrackingLeftOn() {
  {
    platform::LockGuard lock(mutex_);
    if (std::exchange(resumeChecked_, true)) return;
  }
  if (TokenManager::getUserId().empty()) return;
  platform::Dispatch::main().async([this] {
    {
      platform::LockGuard lock(mutex_);
      // The app started tracking itself meanwhile.
      if (running_ != PelkTrackingModeLocal::notselected) return;
    }
    followAppState();
  });
}

// Both run on the main queue (the notification is posted there), after the
// application's state changed: the pause or restart happens at once, so that
// a report right behind this one finds it done.
void PelkManager::applicationDidEnterBackground() {
  PELK_ASSERT_ON_MAIN();
  print("applicationDidEnterBackground");
  followAppState();
  SharedUtil::setDefaultString(kAppStateBackground, KcurrentAppState);
}

void PelkManager::applicationWillForeground() {
  PELK_ASSERT_ON_MAIN();
  print("applicationWillForeground");
  followAppState();
  SharedUtil::setDefaultString(kAppStateForeground, KcurrentAppState);
}

void PelkManager::applicationWillTerminate() {
  PELK_ASSERT_ON_MAIN();
  print("applicationWillTerminate");
  SharedUtil::setDefaultString(kAppStateTerminates, KcurrentAppState);
}

// ------------------------------------------------------------------ users

void PelkManager::withToken(std::function<void()> then, std::function<void(const PelkError&)> fail) {
  if (!TokenManager::getSDKToken().empty()) {
    then();
    return;
  }
  const auto key = TokenManager::getPublishKey();
  if (key.empty()) {
    fail(PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_NOT_FOUND));
    return;
  }
  // One token request, then one more run; a granted token that is still not
  // stored ends the operation instead of asking again and again.
  // Only a refusal of the key says the key is wrong: a request that never got
  // an answer reports the network, so that a host looks at the right thing.
  api().oAuthTokenGeneration(
      key, [then = std::move(then), fail = std::move(fail)](const PelkAPIClient::TokenOutcome& outcome) {
        if (outcome.granted && !TokenManager::getSDKToken().empty()) {
          then();
        } else {
          fail(outcome.error.value_or(PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_PUBLISHABLE_KEY)));
        }
      });
}

void PelkManager::createUser(const std::string& description, PelkAPIClient::UserCompletion handler) {
  auto report = [handler](const PelkError& e) {
    if (handler) handler(nullptr, e);
  };
  if (!ReachabilityCheck::isConnectedToNetwork())
    return report(PelkError(ErrorCode::QB500, VuvivaZuvovo::ERROR_NETWORK));
  // Text that is not UTF-8 cannot go into a request: refused here, it is not
  // taken for a network that failed.
  if (!isUtf8(description)) return report(PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_NOT_FOUND));
  withToken(
      [this, description, handler] {
        api().createUser(
            description, handler ? handler : [](auto, auto) {});
      },
      report);
}

void PelkManager::getUser(const std::string& userId, PelkAPIClient::UserCompletion handler) {
  auto report = [handler](const PelkError& e) {
    if (handler) handler(nullptr, e);
  };
  if (!ReachabilityCheck::isConnectedToNetwork())
    return report(PelkError(ErrorCode::QB500, VuvivaZuvovo::ERROR_NETWORK));
  // An empty id, or text that is not UTF-8, names no user.
  if (userId.empty() || !isUtf8(userId)) return report(PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_NOT_FOUND));
  withToken(
      [this, userId, handler] {
        api().getUser(
            userId, handler ? handler : [](auto, auto) {});
      },
      report);
}

void PelkManager::setDescription(const std::string& description) {
  if (!ReachabilityCheck::isConnectedToNetwork()) {
    printError(rawValue(ErrorCode::QB500) + "      " + VuvivaZuvovo::ERROR_NETWORK);
    return;
  }
  if (description.empty()) return;
  if (!isUtf8(description)) {
    printError(VuvivaZuvovo::ERROR_NOT_FOUND);
    return;
  }
  if (TokenManager::getUserId().empty()) {
    printError(rawValue(ErrorCode::QB402) + VuvivaZuvovo::ERROR_USER_CREATE);
    return;
  }
  api().setUserDescription(description);
}

void PelkManager::logoutUser(PelkAPIClient::TextCompletion handler) {
  auto report = [handler](const PelkError& e) {
    if (handler) handler(std::nullopt, e);
  };
  if (!ReachabilityCheck::isConnectedToNetwork())
    return report(PelkError(ErrorCode::QB500, VuvivaZuvovo::ERROR_NETWORK));
  if (TokenManager::getUserId().empty()) return report(PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_USER_CREATE));
  withToken(
      [this, handler] {
        api().logoutUser([handler](std::optional<std::string> text, std::optional<PelkError> error) {
          // The user is gone: a fix still awaited for the app would otherwise
          // never be answered; it gets what a request made now would get.
          if (!error) {
            BaseCLManager::sharedInstance().failPending(PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_INITIALIZE));
            // The logout's own stop of tracking is no stop for a network change to undo.
            SharedUtil::removeKey(kTrackingStoppedByKit);
          }
          if (handler) handler(std::move(text), std::move(error));
        });
      },
      report);
}

void PelkManager::setDeviceToken(const std::vector<std::uint8_t>& token) {
  std::ostringstream hex;
  for (auto byte : token) hex << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(byte);
  const auto text = hex.str();
  if (!text.empty()) TokenManager::setDeviceToken(text);
  if (!SharedUtil::getDefaultBoolean(kSetDeviceToken) && !TokenManager::getUserId().empty() && !text.empty()) {
    api().setDeviceToken(text);
  }
}

// ------------------------------------------------------------------ tracking

std::uint64_t PelkManager::setTrackingSwitch(std::optional<bool> on, StopRecord record) {
  platform::LockGuard order(switchMutex_);
  bool modeRunning = false;
  {
    platform::LockGuard lock(mutex_);
    modeRunning = running_ != PelkTrackingModeLocal::notselected;
  }
  SharedUtil::userDefaultValue()->transaction([&] {
    const bool wasTracking = modeRunning || SharedUtil::getDefaultBoolean(kIsLocationTracking);
    if (on) SharedUtil::setDefaultBoolean(*on, kIsLocationTracking);
    if (record == StopRecord::clear) SharedUtil::removeKey(kTrackingStoppedByKit);
    if (record == StopRecord::kit && wasTracking) SharedUtil::setDefaultBoolean(true, kTrackingStoppedByKit);
  });
  platform::LockGuard lock(mutex_);
  if (record != StopRecord::keep) pausedByAppState_ = false;
  return ++switchGeneration_;
}

void PelkManager::startMode(PelkTrackingModeLocal mode, const std::optional<PelkTrackingCustomMethods>& options,
                            std::optional<std::uint64_t> generation) {
  PELK_ASSERT_ON_MAIN();
  std::function<void(PelkTrackingModeLocal)> start;
  std::function<void(PelkTrackingModeLocal)> stop;
  std::function<void(const PelkTrackingCustomMethods&)> startCustom;
  PelkTrackingModeLocal previous = PelkTrackingModeLocal::notselected;
  {
    platform::LockGuard lock(mutex_);
    if (generation && *generation != switchGeneration_) return;
    start = modes_.start;
    stop = modes_.stop;
    startCustom = modes_.startCustom;
    if (mode != PelkTrackingModeLocal::notselected) previous = std::exchange(running_, mode);
  }
  // Another mode still running would go on asking for positions beside this
  // one until a position reached it, which may be never.  (The custom mode
  // switches between its own kinds itself.)
  if (previous != PelkTrackingModeLocal::notselected && previous != mode && stop) stop(previous);
  if (mode == PelkTrackingModeLocal::custom && options && startCustom) return startCustom(*options);
  if (mode != PelkTrackingModeLocal::notselected && start) start(mode);
}

void PelkManager::stopRunningMode(std::optional<std::uint64_t> generation) {
  platform::Dispatch::main().async([this, generation] {
    std::function<void(PelkTrackingModeLocal)> stop;
    PelkTrackingModeLocal mode;
    {
      platform::LockGuard lock(mutex_);
      if (generation && *generation != switchGeneration_) return;
      stop = modes_.stop;
      // The mode actually running: the stored one may be gone already (the
      // logout reset clears it before the stop).
      mode = running_ != PelkTrackingModeLocal::notselected ? running_ : SaveUtilis::getTrackingOptions();
      running_ = PelkTrackingModeLocal::notselected;
      // An app-state pause queued before this stop (a fix taken in a state
      // not tracked) may have run in between and marked the mode paused:
      // the stop stands, so nothing is left for a lifecycle report to resume.
      pausedByAppState_ = false;
    }
    if (stop) stop(mode);
  });
}

void PelkManager::startTracking(PelkTrackingMode mode, const std::optional<PelkTrackingCustomMethods>& option) {
  HostLocationAuthorization::decide();
  if (TokenManager::getUserId().empty()) {
    printError(VuvivaZuvovo::ERROR_USER_CREATE);
    return;
  }
  if (!permissionGranted() && !platform::LocationServices::locationServicesEnabled()) {
    printError(VuvivaZuvovo::ERROR_LOCATION_PERMISSION);
    return;
  }
  if (!SharedUtil::getDefaultBoolean(kOfflineTracking) && !ReachabilityCheck::isConnectedToNetwork()) {
    printError(VuvivaZuvovo::OFFLINE_TRACKING_SETTINGS_ERROR);
    return;
  }
  const auto local = pelkTrackingModeLocalFromRawValue(rawValue(mode));
  if (!local || *local == PelkTrackingModeLocal::notselected || (*local == PelkTrackingModeLocal::custom && !option)) {
    // A custom mode needs its options.
    printError(VuvivaZuvovo::ERROR_NOT_FOUND);
    return;
  }
  if (!modeAvailable(*local)) {
    printError(kTrackingModeNotAvailable);
    return;
  }
  print(VuvivaZuvovo::SUCCESS_TRACKING_START);
  std::uint64_t generation = 0;
  {
    // Starts racing on two threads: the stored mode and option set are those
    // of the start whose generation runs.
    platform::LockGuard order(startMutex_);
    SaveUtilis::saveTrackingOptions(mode);
    if (*local == PelkTrackingModeLocal::custom) PelkCustomTracking::saveCustomOptions(*option);
    generation = setTrackingSwitch(true, StopRecord::clear);
  }
  log("Started Tracking with " + std::to_string(rawValue(mode)));
  onMain([this, m = *local, option, generation] { startMode(m, option, generation); });
}

void PelkManager::stopTracking() { stopTrackingBecause(StopCause::app); }

void PelkManager::stopTrackingBecause(StopCause cause) {
  print(VuvivaZuvovo::SUCCESS_TRACKING_STOP);
  const auto generation = setTrackingSwitch(false, cause == StopCause::kit ? StopRecord::kit : StopRecord::clear);
  log("Tracking Stopped");
  stopRunningMode(generation);
}

void PelkManager::restartStoredMode() {
  // Only a stop the kit caused is undone; the app's own stop stands.
  if (!SharedUtil::getDefaultBoolean(kTrackingStoppedByKit)) return;
  {
    platform::LockGuard lock(mutex_);
    if (running_ != PelkTrackingModeLocal::notselected) return;
  }
  const auto mode = SaveUtilis::getTrackingOptions();
  onMain([this, mode] { startMode(mode); });
}

void PelkManager::startTracking() {
  if (SharedUtil::getDefaultBoolean(kIsLocationTracking) || TokenManager::getUserId().empty()) return;
  restartStoredMode();
}

void PelkManager::startSelfTracking(PelkTrackingMode mode, const std::optional<PelkTrackingCustomMethods>& options) {
  HostLocationAuthorization::decide();
  const auto local = pelkTrackingModeLocalFromRawValue(rawValue(mode));
  if (!local || *local == PelkTrackingModeLocal::notselected || (*local == PelkTrackingModeLocal::custom && !options)) {
    printError(VuvivaZuvovo::ERROR_NOT_FOUND);
    return;
  }
  if (!modeAvailable(*local)) {
    printError(kTrackingModeNotAvailable);
    return;
  }
  noteAppChoice(AppSwitch::locationListener);
  noteAppChoice(AppSwitch::locationPublisher);
  SharedUtil::setDefaultBoolean(true, kLocationListenerSubscribe);
  SharedUtil::setDefaultBoolean(false, KLocationPublisher);
  if (MQTTManager::sharedInstance().connected()) MQTTManager::sharedInstance().disconnect();
  print(VuvivaZuvovo::SUCCESS_TRACKING_START);
  log("start Self Tracking with " + std::to_string(rawValue(mode)));
  std::uint64_t generation = 0;
  {
    platform::LockGuard order(startMutex_);
    SaveUtilis::saveTrackingOptions(mode);
    if (*local == PelkTrackingModeLocal::custom) PelkCustomTracking::saveCustomOptions(*options);
    // The switch stays as it is, but the app now starts tracking itself: a
    // stop queued before this start must not undo it, and a stop the kit
    // caused earlier is no longer one a network change undoes.
    generation = setTrackingSwitch(std::nullopt, StopRecord::clear);
  }
  onMain([this, m = *local, options, generation] { startMode(m, options, generation); });
}

void PelkManager::stopSelfTracking() {
  log("Stopped SelfTracking");
  // Stops what runs, whether the app started it as self-tracking or as
  // tracking, and clears the switch with it: a switch left on would have the
  // next lifecycle change start the mode again behind the app's back.
  stopRunningMode(setTrackingSwitch(false, StopRecord::clear));
}

void PelkManager::locationPublisher(bool flag) {
  log(std::string("Location publisher : ") + text(flag));
  noteAppChoice(AppSwitch::locationPublisher);
  SharedUtil::setDefaultBoolean(flag, KLocationPublisher);
}

void PelkManager::offlineLocationTracking(bool flag) {
  if (TokenManager::getUserId().empty()) {
    printError(VuvivaZuvovo::ERROR_USER_CREATE);
    return;
  }
  PelkSettings::sharedInstance().saveofflineTrackingOption(flag);
}

PelkSettings& PelkSettings::sharedInstance() {
  static auto* settings = new PelkSettings();
  return *settings;
}

void PelkSettings::saveofflineTrackingOption(bool flag) {
  offlineTracking_ = flag;
  PelkManager::sharedInstance().noteAppChoice(PelkManager::AppSwitch::offlineTracking);
  SharedUtil::setDefaultBoolean(flag, kOfflineTracking);
  log(std::string("Offline tracking setting changed to :  ") + text(flag));
  PelkManager::sharedInstance().updateTrackingAsPerOfflineSettings();
}

void PelkManager::setTrackingInAppState(PelkTrackingState state) { PelkTrackingStateData::saveTrackingState(state); }

namespace {
bool accuracyGuards() {
  if (TokenManager::getUserId().empty()) {
    printError(VuvivaZuvovo::ERROR_USER_CREATE);
    return false;
  }
  if (TokenManager::getSDKToken().empty()) {
    printError(VuvivaZuvovo::ERROR_NOT_FOUND);
    return false;
  }
  return true;
}
}  // namespace

void PelkManager::enableAccuracyFilter() {
  if (!accuracyGuards()) return;
  SharedUtil::setDefaultBoolean(true, kAccuracyFilter);
  SharedUtil::setDefaultInteger(50, kAccuracyFilterCustomValue);
  SharedUtil::setDefaultBoolean(true, kAccuracyFilterCustom);
  log("enableAccuracyEngine");
}

void PelkManager::enableAccuracyEngine(std::int64_t accuracy) {
  if (!accuracyGuards()) return;
  SharedUtil::setDefaultBoolean(true, kAccuracyFilter);
  SharedUtil::setDefaultInteger(accuracy < 1 ? 1 : accuracy, kAccuracyFilterCustomValue);
  SharedUtil::setDefaultBoolean(true, kAccuracyFilterCustom);
  log("enableAccuracyEngine with accuracy " + std::to_string(accuracy));
}

void PelkManager::disableAccuracyFilter() {
  if (!accuracyGuards()) return;
  SharedUtil::setDefaultBoolean(false, kAccuracyFilter);
}

bool PelkManager::isLocationEnabled() {
  HostLocationAuthorization::restore();
  return permissionGranted();
}

bool PelkManager::setGpsdAddress(const std::string& host, std::int64_t port) {
  auto config = platform::GpsdConfig::withAddress(host, port);
  if (!config) {
    printError("gpsd address refused: a host name and a port from 1 to 65535 are needed");
    return false;
  }
  platform::LocationServices::useGpsdProvider(std::move(*config));
  return true;
}

void PelkManager::requestLocation() {
  onMain([] { PelkRequestLocation::shareInstance().requestLocation(); });
}

void PelkManager::getCurrentLocation(
    std::int64_t accuracy, std::function<void(std::optional<platform::Location>, std::optional<PelkError>)> handler) {
  HostLocationAuthorization::decide();
  if (!isLocationEnabled()) {
    if (handler) handler(std::nullopt, PelkError(ErrorCode::QB408, VuvivaZuvovo::ERROR_LOCATION_PERMISSION));
    return;
  }
  if (TokenManager::getSDKToken().empty()) {
    if (handler) handler(std::nullopt, PelkError(ErrorCode::QB402, VuvivaZuvovo::ERROR_INITIALIZE));
    return;
  }
  const std::int64_t wanted = accuracy <= 10 ? 10 : accuracy;
  log("Get Current location");
  BaseCLManager::sharedInstance().getCurrentLocation(
      wanted, [handler](std::optional<platform::Location> fix, std::optional<PelkError> error) {
        if (!error) {
          PelkLocationDelegate::sharedInstance().getCurrentLocation();
          if (handler) handler(fix, std::nullopt);
        } else if (handler) {
          handler(std::nullopt, error);
        }
      });
}

void PelkManager::updateCurrentLocation(std::int64_t accuracy) {
  HostLocationAuthorization::decide();
  if (!ReachabilityCheck::isConnectedToNetwork()) {
    printError(VuvivaZuvovo::ERROR_NETWORK);
    return;
  }
  if (!isLocationEnabled()) {
    printError(VuvivaZuvovo::ERROR_LOCATION_PERMISSION);
    return;
  }
  if (TokenManager::getUserId().empty()) {
    printError(VuvivaZuvovo::ERROR_USER_CREATE);
    return;
  }
  const std::int64_t wanted = accuracy <= 10 ? 10 : accuracy;
  log("Update Current location");
  BaseCLManager::sharedInstance().updateCurrentLocation(wanted);
}

bool PelkManager::isLocationTracking() { return SharedUtil::getDefaultBoolean(kIsLocationTracking); }

bool PelkManager::setLocationPermissionStatus(std::int64_t status) { return HostLocationAuthorization::state(status); }

// ------------------------------------------------------------------ the host's lifecycle

void PelkManager::reportForeground() { platform::Application::reportForeground(); }

void PelkManager::reportBackground() { platform::Application::reportBackground(); }

void PelkManager::reportTerminate() {
  platform::Application::reportTerminate();
  // The host is about to end: it returns once the reaction ran (the main
  // queue runs in order, so an empty task behind it is enough).  On the main
  // queue itself waiting would never end; the reaction follows there.
  if (!platform::Dispatch::isMainThread()) platform::Dispatch::main().sync([] {});
}

void PelkManager::requestMotion() {}

bool PelkManager::isMotionEnabled() { return PermissionCheck::isCoreMotionAuthorized(); }

// ------------------------------------------------------------------ tracking state

void PelkTrackingStateData::saveTrackingState(PelkTrackingState state) {
  log("Location Tracking State    " + std::to_string(rawValue(state)));
  SharedUtil::setDefaultInteger(rawValue(state), kUserAppState);
}

PelkTrackingState PelkTrackingStateData::getTrackingState() {
  return pelkTrackingStateFromRawValue(SharedUtil::getDefaultInteger(kUserAppState))
      .value_or(PelkTrackingState::foregroundAndBackground);
}

bool PelkTrackingStateData::checkAppTrackingState() {
  const bool background = platform::Application::state() == platform::ApplicationState::background;
  switch (getTrackingState()) {
    case PelkTrackingState::foregroundOnly:
      return !background;
    case PelkTrackingState::backgroundOnly:
      return background;
    default:
      return true;
  }
}

}  // namespace pelk
