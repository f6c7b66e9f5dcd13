// The service side of the demo: subscribes to the demo user's position topic
// on the local broker, prints each position as it arrives, answers the
// account shadow's "get" with a document that lets the account publish, and
// at the end writes the delivered track as GeoJSON and prints a summary.
//
//   pelk_track_watcher --broker tcp://127.0.0.1:PORT --topic TOPIC --account-id ID
//                      --ready-file FILE --geojson FILE --host-positions FILE
//                      --gpsd-log FILE [--drain-seconds N]
//
// Its session is persistent (clean session off, QoS 1), so what the kit
// publishes while the watcher reconnects after a broker restart waits for it.
// SIGUSR1: the route is over; wait until every position the host reported has
// arrived (at most --drain-seconds), then finish.  SIGINT or SIGTERM: finish
// at once with what arrived.
#include <MQTTAsync.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;

struct Received {
  json position;
  bool replayed = false;
};

struct Watcher {
  std::string topic;
  std::string accountShadowGet;
  std::mutex mutex;
  std::vector<Received> positions;          // every arrival, duplicates included
  std::map<std::string, int> arrivalsById;  // location id -> arrivals
  std::set<std::string> liveKeys, replayedKeys;
  std::size_t pages = 0;
  std::size_t otherMessages = 0;
  MQTTAsync client = nullptr;
  bool subscribed = false;
};

std::string keyOf(double lat, double lon) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9f,%.9f", lat, lon);
  return text;
}

// A text field, or "" when the message holds none (or something else there).
std::string text(const json& p, const char* key) {
  const auto it = p.find(key);
  return it != p.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string clockTime(const json& p) {
  const auto at = text(p, "recorded_at");
  const auto t = at.find('T');
  return t == std::string::npos || at.size() < t + 9 ? "--:--:--" : at.substr(t + 1, 8);
}

std::string number(const json& p, const char* key, const char* format) {
  if (!p.contains(key) || !p[key].is_number()) return "n/a";
  char text[32];
  std::snprintf(text, sizeof text, format, p[key].get<double>());
  return text;
}

void print(const std::string& line) {
  std::printf("[service] %s\n", line.c_str());
  std::fflush(stdout);
}

bool isPosition(const json& p) {
  return p.is_object() && p.contains("latitude") && p["latitude"].is_number() && p.contains("longitude") &&
         p["longitude"].is_number();
}

void take(Watcher& w, const json& p, bool replayed, std::size_t pageSize) {
  const std::string key = keyOf(p["latitude"].get<double>(), p["longitude"].get<double>());
  const std::string id = text(p, "location_id").empty() ? key : text(p, "location_id");
  int arrivals;
  {
    std::lock_guard lock(w.mutex);
    w.positions.push_back({p, replayed});
    arrivals = ++w.arrivalsById[id];
    (replayed ? w.replayedKeys : w.liveKeys).insert(key);
  }
  // A host without a battery reports 0 % with the status "unknown".
  const std::string battery = number(p, "battery_remaining", "%.0f%%") + " " + text(p, "battery_status");
  char line[256];
  std::snprintf(line, sizeof line, "%-8s %s  %10.6f, %10.6f  %4s km/h  battery %s%s", replayed ? "replayed" : "live",
                clockTime(p).c_str(), p["latitude"].get<double>(), p["longitude"].get<double>(),
                number(p, "speed", "%.0f").c_str(), battery.c_str(), arrivals > 1 ? "  (DUPLICATE)" : "");
  std::string text = line;
  if (replayed) text += "  [page of " + std::to_string(pageSize) + "]";
  print(text);
}

int onMessage(void* context, char* topicName, int topicLen, MQTTAsync_message* m) {
  auto& w = *static_cast<Watcher*>(context);
  const std::string topic = topicLen > 0 ? std::string(topicName, static_cast<std::size_t>(topicLen)) : topicName;
  const std::string payload(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen));
  MQTTAsync_freeMessage(&m);
  MQTTAsync_free(topicName);

  if (topic == w.accountShadowGet) {
    // The account may publish and track: what the cloud's shadow says for a
    // working account.
    const std::string document = R"({"state":{"desired":{"pub/sub":true,"location_tracking":true}}})";
    MQTTAsync_message reply = MQTTAsync_message_initializer;
    reply.payload = const_cast<char*>(document.data());
    reply.payloadlen = static_cast<int>(document.size());
    reply.qos = 1;
    MQTTAsync_sendMessage(w.client, (topic + "/accepted").c_str(), &reply, nullptr);
    print("shadow   answered " + topic + ": publishing allowed");
    return 1;
  }
  const auto j = json::parse(payload, nullptr, false);
  if (j.is_array()) {
    {
      std::lock_guard lock(w.mutex);
      ++w.pages;
    }
    for (const auto& p : j) {
      if (isPosition(p)) take(w, p, true, j.size());
    }
  } else if (isPosition(j)) {
    take(w, j, false, 1);
  } else {
    std::lock_guard lock(w.mutex);
    ++w.otherMessages;
  }
  return 1;
}

void onConnected(void* context, char*) {
  auto& w = *static_cast<Watcher*>(context);
  char* topics[2] = {const_cast<char*>(w.topic.c_str()), const_cast<char*>(w.accountShadowGet.c_str())};
  int qos[2] = {1, 1};
  MQTTAsync_subscribeMany(w.client, 2, topics, qos, nullptr);
  bool first;
  {
    std::lock_guard lock(w.mutex);
    first = !w.subscribed;
    w.subscribed = true;
  }
  print(first ? "connected to the broker, subscribed to " + w.topic : "connected again to the broker");
}

void onConnectionLost(void*, char*) { print("lost the broker; reconnecting"); }

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// Positions the host was handed by the kit, by coordinate, in order.
std::vector<std::string> hostPositions(const std::string& path) {
  std::vector<std::string> keys;
  for (const auto& line : readLines(path)) {
    const auto j = json::parse(line, nullptr, false);
    if (j.is_object() && j.contains("lat") && j["lat"].is_number() && j.contains("lon") && j["lon"].is_number()) {
      keys.push_back(keyOf(j["lat"].get<double>(), j["lon"].get<double>()));
    }
  }
  return keys;
}

// gpsd may report one fix in several TPV reports as the sentences of a
// cycle arrive (2D, then 3D): a fix is one time stamp.
std::size_t gpsdFixes(const std::string& path) {
  std::set<std::string> times;
  for (const auto& line : readLines(path)) {
    const auto j = json::parse(line, nullptr, false);
    if (j.is_object() && text(j, "class") == "TPV" && j.contains("mode") && j["mode"].is_number() &&
        j["mode"].get<double>() >= 2 && j.contains("lat")) {
      times.insert(text(j, "time"));
    }
  }
  return times.size();
}

bool allArrived(Watcher& w, const std::vector<std::string>& expected) {
  std::lock_guard lock(w.mutex);
  for (const auto& k : expected) {
    if (!w.liveKeys.count(k) && !w.replayedKeys.count(k)) return false;
  }
  return true;
}

void writeGeoJson(const std::string& path, std::vector<Received> positions) {
  // One point per position, first arrival only, in the order they were taken.
  std::set<std::string> seen;
  std::vector<Received> track;
  for (auto& r : positions) {
    if (seen.insert(text(r.position, "location_id")).second) track.push_back(std::move(r));
  }
  std::stable_sort(track.begin(), track.end(), [](const Received& a, const Received& b) {
    return text(a.position, "recorded_at") < text(b.position, "recorded_at");
  });
  json line = json::array();
  json features = json::array();
  for (const auto& r : track) {
    const json coordinate = {r.position["longitude"], r.position["latitude"]};
    line.push_back(coordinate);
    json properties = {{"delivery", r.replayed ? "replayed" : "live"}};
    for (const char* key : {"recorded_at", "speed", "battery_remaining", "location_id"}) {
      if (r.position.contains(key)) properties[key] = r.position[key];
    }
    features.push_back({{"type", "Feature"},
                        {"geometry", {{"type", "Point"}, {"coordinates", coordinate}}},
                        {"properties", properties}});
  }
  features.insert(features.begin(), json{{"type", "Feature"},
                                         {"geometry", {{"type", "LineString"}, {"coordinates", line}}},
                                         {"properties", {{"name", "delivered track"}}}});
  std::ofstream out(path);
  out << json{{"type", "FeatureCollection"}, {"features", features}}.dump(1) << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> args;
  for (int i = 1; i + 1 < argc; i += 2) args[argv[i]] = argv[i + 1];
  for (const char* required :
       {"--broker", "--topic", "--account-id", "--ready-file", "--geojson", "--host-positions", "--gpsd-log"}) {
    if (!args.count(required)) {
      std::fprintf(stderr, "%s: %s is missing\n", argv[0], required);
      return 2;
    }
  }
  const int drainSeconds = args.count("--drain-seconds") ? std::stoi(args["--drain-seconds"]) : 30;

  // Signals are taken by sigwait below, never by the client's threads.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  Watcher w;
  w.topic = args["--topic"];
  w.accountShadowGet = "$aws/things/account_" + args["--account-id"] + "/shadow/get";
  if (MQTTAsync_create(&w.client, args["--broker"].c_str(), "demo-service-side", MQTTCLIENT_PERSISTENCE_NONE,
                       nullptr) != MQTTASYNC_SUCCESS) {
    std::fprintf(stderr, "watcher: cannot create the MQTT client\n");
    return 1;
  }
  MQTTAsync_setCallbacks(w.client, &w, onConnectionLost, onMessage, nullptr);
  MQTTAsync_setConnected(w.client, &w, onConnected);
  MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
  options.keepAliveInterval = 10;
  options.cleansession = 0;
  options.automaticReconnect = 1;
  options.minRetryInterval = 1;
  options.maxRetryInterval = 1;
  if (MQTTAsync_connect(w.client, &options) != MQTTASYNC_SUCCESS) {
    std::fprintf(stderr, "watcher: cannot connect\n");
    return 1;
  }
  // Ready once subscribed: the script starts the host only then.
  for (int i = 0; i < 100; ++i) {
    {
      std::lock_guard lock(w.mutex);
      if (w.subscribed) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the SUBACK
  std::ofstream(args["--ready-file"]) << "ready\n";

  int signal = 0;
  sigwait(&signals, &signal);
  const auto expected = [&] { return hostPositions(args["--host-positions"]); };
  if (signal == SIGUSR1) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(drainSeconds);
    while (!allArrived(w, expected()) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  MQTTAsync_disconnectOptions disconnect = MQTTAsync_disconnectOptions_initializer;
  disconnect.timeout = 1000;
  MQTTAsync_disconnect(w.client, &disconnect);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  MQTTAsync_destroy(&w.client);

  const auto hostKeys = expected();
  std::vector<Received> positions;
  std::size_t live = 0, replayed = 0, lost = 0, duplicates = 0, pages = 0, other = 0, notFromHost = 0;
  {
    std::lock_guard lock(w.mutex);
    positions = w.positions;
    pages = w.pages;
    other = w.otherMessages;
    std::set<std::string> hostSet(hostKeys.begin(), hostKeys.end());
    for (const auto& k : hostKeys) {
      if (w.liveKeys.count(k)) {
        ++live;
      } else if (w.replayedKeys.count(k)) {
        ++replayed;
      } else {
        ++lost;
      }
    }
    for (const auto& [id, n] : w.arrivalsById) duplicates += static_cast<std::size_t>(n - 1);
    for (const auto& k : w.liveKeys) notFromHost += hostSet.count(k) ? 0 : 1;
    for (const auto& k : w.replayedKeys) notFromHost += hostSet.count(k) || w.liveKeys.count(k) ? 0 : 1;
  }
  const std::string geojson = args["--geojson"];
  writeGeoJson(geojson, positions);

  std::printf("\n");
  std::printf("summary\n");
  std::printf("  fixes read (gpsd reports with a fix)          %zu\n", gpsdFixes(args["--gpsd-log"]));
  std::printf("  positions the kit took (active tracking)      %zu\n", hostKeys.size());
  std::printf("  published live                                %zu\n", live);
  std::printf("  buffered by the kit (not published live)      %zu\n", hostKeys.size() - live);
  std::printf("  replayed from the buffer                      %zu  (in %zu page%s)\n", replayed, pages,
              pages == 1 ? "" : "s");
  if (signal == SIGUSR1) {
    std::printf("  lost                                          %zu\n", lost);
  } else {
    // Stopped early: what the kit still holds in its buffer is not lost, only
    // not delivered yet.
    std::printf("  not delivered before the stop                 %zu\n", lost);
  }
  std::printf("  duplicates                                    %zu\n", duplicates);
  if (notFromHost) std::printf("  received but never handed to the host         %zu\n", notFromHost);
  if (other) std::printf("  other messages on the topic                   %zu\n", other);
  std::printf("  track (GeoJSON)  %s\n", geojson.c_str());
  std::fflush(stdout);
  if (signal != SIGUSR1) return 130;
  return lost == 0 ? 0 : 3;
}
