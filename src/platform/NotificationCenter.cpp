#include "platform/NotificationCenter.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>

namespace pelk::platform {

struct NotificationCenter::Entry {
  ObserverId id;
  std::string name;
  const void* object;
  NotificationHandler handler;
  std::atomic<bool> active{true};
};

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter* center = new NotificationCenter();  // process lifetime
  return *center;
}

NotificationCenter::NotificationCenter() = default;
NotificationCenter::~NotificationCenter() = default;

NotificationCenter::ObserverId NotificationCenter::addObserver(std::string name, const void* object,
                                                               NotificationHandler handler) {
  auto entry = std::make_shared<Entry>();
  entry->name = std::move(name);
  entry->object = object;
  entry->handler = std::move(handler);
  platform::LockGuard lock(mutex_);
  entry->id = nextId_++;
  entries_.push_back(entry);
  return entry->id;
}

void NotificationCenter::removeObserver(ObserverId id) {
  platform::LockGuard lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if ((*it)->id == id) {
      (*it)->active = false;
      entries_.erase(it);
      return;
    }
  }
}

void NotificationCenter::removeObservers(const std::string& name, const void* object) {
  platform::LockGuard lock(mutex_);
  std::erase_if(entries_, [&](const std::shared_ptr<Entry>& e) {
    const bool match = e->name == name && (object == nullptr || e->object == object);
    if (match) e->active = false;
    return match;
  });
}

void NotificationCenter::post(const std::string& name, const void* object, std::any userInfo) {
  std::vector<std::shared_ptr<Entry>> matching;
  {
    platform::LockGuard lock(mutex_);
    for (const auto& e : entries_) {
      if (e->name == name && (e->object == nullptr || e->object == object)) matching.push_back(e);
    }
  }
  const Notification note{name, object, std::move(userInfo)};
  for (const auto& e : matching) {
    // An observer removed by an earlier observer of this same post is skipped.
    if (!e->active.load()) continue;
    try {
      if (e->handler) e->handler(note);
    } catch (const std::exception& ex) {
      std::fprintf(stderr, "pelk: observer of %s threw: %s\n", name.c_str(), ex.what());
    } catch (...) {
      std::fprintf(stderr, "pelk: observer of %s threw\n", name.c_str());
    }
  }
}

std::size_t NotificationCenter::observerCount() const {
  platform::LockGuard lock(mutex_);
  return entries_.size();
}

}  // namespace pelk::platform
