#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ThreadSafety.h"

namespace pelk::platform {

// One posted notification.  `object` is the poster's identity (compared by
// address); `userInfo` carries whatever the poster attaches.
struct Notification {
  std::string name;
  const void* object = nullptr;
  std::any userInfo;

  template <class T>
  T* objectAs() const {
    return static_cast<T*>(const_cast<void*>(object));
  }
};

using NotificationHandler = std::function<void(const Notification&)>;

// A synchronous observer registry: post() calls every matching observer on the
// posting thread, in the order they were added, before it returns.  An observer
// matches by name and, when it gave an object, by that object's address.
// Observers may add or remove observers (themselves included) while being
// called; no lock is held during the calls.
class NotificationCenter {
 public:
  using ObserverId = std::uint64_t;

  static NotificationCenter& defaultCenter();

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // `object` null observes posts from any object.
  ObserverId addObserver(std::string name, const void* object, NotificationHandler handler);
  // After this returns the observer is not called for any later post.
  void removeObserver(ObserverId id);
  // Removes every observer registered for `name` (and `object`, when given).
  void removeObservers(const std::string& name, const void* object = nullptr);

  void post(const std::string& name, const void* object = nullptr, std::any userInfo = {});

  std::size_t observerCount() const;

 private:
  struct Entry;
  // Lock order: a leaf (platform/LockOrder.h).
  mutable platform::Mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_ PELK_GUARDED_BY(mutex_);
  ObserverId nextId_ PELK_GUARDED_BY(mutex_) = 1;
};

}  // namespace pelk::platform
