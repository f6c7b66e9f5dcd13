#pragma once

// What the fault tests share: the service side of the kit's position topic,
// counting every position it receives by location id, and the figures each
// test prints.

#include <chrono>
#include <cstddef>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/MqttClient.h"
#include "support/MosquittoBroker.h"
#include "support/WaitFor.h"

namespace pelk::test {

// The build flavour, printed with the figures; sanitizer builds may use
// smaller counts where a test says so.
inline const char* buildFlavour() {
#if defined(__SANITIZE_ADDRESS__)
  return "asan";
#elif defined(__SANITIZE_THREAD__)
  return "tsan";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return "asan";
#elif __has_feature(thread_sanitizer)
  return "tsan";
#else
  return "plain";
#endif
#else
  return "plain";
#endif
}

inline bool sanitizedBuild() { return std::string(buildFlavour()) != "plain"; }

// A service-side client of the broker on the plain TCP listener (the client
// library's WebSocket reader truncates the large pages the broker writes in
// pieces).  Its session is persistent and its subscription QoS 1, so what the
// kit publishes while this client reconnects after a broker restart is kept
// for it.  A live position arrives as one JSON object, a replayed page as an
// array of them.
class PositionTally {
 public:
  struct Figures {
    std::size_t live = 0;      // positions received as live messages
    std::size_t replayed = 0;  // positions received in replayed pages
    std::size_t pages = 0;
    std::size_t largestPage = 0;
    std::size_t unique = 0;      // distinct location ids
    std::size_t duplicates = 0;  // receipts beyond the first of an id
  };

  PositionTally(const MosquittoBroker& broker, std::string topic) : topic_(std::move(topic)) {
    using namespace std::chrono_literals;
    platform::MqttClientOptions o;
    o.serverUri = "tcp://127.0.0.1:" + std::to_string(broker.tcpPort());
    o.clientId = "position-tally";
    o.cleanSession = false;
    o.firstRetryDelay = 50ms;
    o.maxRetryDelay = 200ms;
    client_ = platform::MqttClient::create(o);
    client_->connect();
  }

  // True once the subscription is in place: a probe published on the topic
  // came back.
  bool waitSubscribed() {
    using namespace std::chrono_literals;
    if (!waitFor([&] { return client_->isConnected(); })) return false;
    client_->subscribe(topic_, 1, [this](const std::string&, const std::string& payload) { add(payload); });
    return waitFor([&] {
      client_->publish(topic_, "probe", 1);
      return waitFor([&] { return probes() > 0; }, 100ms);
    });
  }

  Figures figures() const {
    std::lock_guard lock(mutex_);
    Figures f = figures_;
    f.unique = counts_.size();
    f.duplicates = f.live + f.replayed - f.unique;
    return f;
  }
  std::size_t unique() const {
    std::lock_guard lock(mutex_);
    return counts_.size();
  }
  // The ids of `expected` never received.
  std::set<std::string> missing(const std::set<std::string>& expected) const {
    std::lock_guard lock(mutex_);
    std::set<std::string> out;
    for (const auto& id : expected) {
      if (!counts_.count(id)) out.insert(id);
    }
    return out;
  }
  // Received ids that are not in `expected` (a position the kit never took).
  std::size_t strangers(const std::set<std::string>& expected) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& [id, count] : counts_) n += expected.count(id) ? 0 : 1;
    return n;
  }
  std::size_t probes() const {
    std::lock_guard lock(mutex_);
    return probes_;
  }

 private:
  void add(const std::string& payload) {
    const auto j = nlohmann::json::parse(payload, nullptr, false);
    std::lock_guard lock(mutex_);
    if (j.is_array()) {
      ++figures_.pages;
      figures_.largestPage = std::max(figures_.largestPage, j.size());
      for (const auto& row : j) {
        ++figures_.replayed;
        ++counts_[row.is_object() ? row.value("location_id", "") : ""];
      }
    } else if (j.is_object()) {
      ++figures_.live;
      ++counts_[j.value("location_id", "")];
    } else {
      ++probes_;
    }
  }

  std::string topic_;
  std::shared_ptr<platform::MqttClient> client_;
  mutable std::mutex mutex_;
  Figures figures_;
  std::map<std::string, std::size_t> counts_;
  std::size_t probes_ = 0;
};

inline std::ostream& operator<<(std::ostream& out, const PositionTally::Figures& f) {
  return out << "delivered live " << f.live << ", replayed " << f.replayed << " in " << f.pages << " pages (largest "
             << f.largestPage << "), distinct " << f.unique << ", duplicates " << f.duplicates;
}

}  // namespace pelk::test
