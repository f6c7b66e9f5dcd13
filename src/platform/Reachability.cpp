#include "platform/Reachability.h"

#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ThreadName.h"
#include "platform/ThreadSafety.h"

namespace pelk::platform {
namespace {

thread_local int tLastError = 0;
std::atomic<std::uint64_t> gOneShotReadings{0};

// The latest reading of every running watch, by target.  Lock order: the
// test source's mutex before this one.
struct WatchRecord {
  bool test = false;
  std::optional<std::uint32_t> flags;  // nothing: the latest reading failed
  std::uint64_t stamp = 0;             // when it was taken, in record order
};
struct Watches {
  // Lock order: a leaf, also under the test source's lock (platform/LockOrder.h).
  Mutex mutex;
  std::map<const void*, WatchRecord> running PELK_GUARDED_BY(mutex);
  std::uint64_t clock PELK_GUARDED_BY(mutex) = 0;
};

Watches& watches() {
  static auto* w = new Watches();  // never destroyed: watch threads may record during exit
  return *w;
}

void recordWatch(const void* target, bool test, std::optional<std::uint32_t> flags) {
  auto& w = watches();
  LockGuard lock(w.mutex);
  w.running[target] = WatchRecord{test, flags, ++w.clock};
}

void forgetWatch(const void* target) {
  auto& w = watches();
  LockGuard lock(w.mutex);
  w.running.erase(target);
}

std::optional<std::uint32_t> latestWatched(bool test) {
  auto& w = watches();
  LockGuard lock(w.mutex);
  const WatchRecord* latest = nullptr;
  for (const auto& [target, record] : w.running) {
    if (record.test != test || !record.flags) continue;
    if (!latest || record.stamp > latest->stamp) latest = &record;
  }
  if (!latest) return std::nullopt;
  return latest->flags;
}

bool fail(int error) {
  tLastError = error;
  return false;
}

// ---------------------------------------------------------------- system reader

class NetlinkSocket {
 public:
  explicit NetlinkSocket(unsigned groups = 0) {
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd_ < 0) return;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = groups;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
      const int e = errno;
      ::close(fd_);
      fd_ = -1;
      errno = e;
    }
  }
  ~NetlinkSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  NetlinkSocket(const NetlinkSocket&) = delete;
  NetlinkSocket& operator=(const NetlinkSocket&) = delete;
  int fd() const { return fd_; }

  // Sends one dump request and hands every answer message to `onMessage`.
  bool dump(std::uint16_t type, const void* payload, std::size_t payloadSize,
            const std::function<void(const nlmsghdr*)>& onMessage) {
    std::vector<char> req(NLMSG_SPACE(payloadSize), 0);
    auto* nh = reinterpret_cast<nlmsghdr*>(req.data());
    nh->nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(payloadSize));
    nh->nlmsg_type = type;
    nh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    nh->nlmsg_seq = ++seq_;
    std::memcpy(NLMSG_DATA(nh), payload, payloadSize);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd_, req.data(), nh->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
      return fail(errno);
    }
    std::vector<char> buf(1 << 16);
    for (;;) {
      const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(errno);
      }
      auto len = static_cast<unsigned>(n);
      for (auto* m = reinterpret_cast<const nlmsghdr*>(buf.data()); NLMSG_OK(m, len); m = NLMSG_NEXT(m, len)) {
        if (m->nlmsg_seq != seq_) continue;
        if (m->nlmsg_type == NLMSG_DONE) return true;
        if (m->nlmsg_type == NLMSG_ERROR) {
          const auto* err = static_cast<const nlmsgerr*>(NLMSG_DATA(m));
          return fail(err->error < 0 ? -err->error : EIO);
        }
        onMessage(m);
      }
    }
  }

 private:
  int fd_ = -1;
  std::uint32_t seq_ = 0;
};

bool isWwan(const std::string& ifname) {
  std::ifstream in("/sys/class/net/" + ifname + "/uevent");
  std::string line;
  while (std::getline(in, line)) {
    if (line == "DEVTYPE=wwan") return true;
  }
  return false;
}

bool readSystemFlags(std::uint32_t& flags) {
  NetlinkSocket sock;
  if (sock.fd() < 0) return fail(errno);

  std::set<int> defaultRouteInterfaces;
  rtmsg rt{};
  rt.rtm_family = AF_UNSPEC;
  const bool routesOk = sock.dump(RTM_GETROUTE, &rt, sizeof rt, [&](const nlmsghdr* m) {
    if (m->nlmsg_type != RTM_NEWROUTE) return;
    const auto* r = static_cast<const rtmsg*>(NLMSG_DATA(m));
    if (r->rtm_dst_len != 0 || r->rtm_type != RTN_UNICAST) return;
    unsigned table = r->rtm_table;
    std::vector<int> oifs;
    int attrLen = static_cast<int>(RTM_PAYLOAD(m));
    for (auto* a = RTM_RTA(r); RTA_OK(a, attrLen); a = RTA_NEXT(a, attrLen)) {
      if (a->rta_type == RTA_TABLE && RTA_PAYLOAD(a) >= sizeof(std::uint32_t)) {
        table = *static_cast<const std::uint32_t*>(RTA_DATA(a));
      } else if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= sizeof(int)) {
        oifs.push_back(*static_cast<const int*>(RTA_DATA(a)));
      } else if (a->rta_type == RTA_MULTIPATH) {
        auto* nh = static_cast<const rtnexthop*>(RTA_DATA(a));
        int left = static_cast<int>(RTA_PAYLOAD(a));
        while (RTNH_OK(nh, left)) {
          oifs.push_back(nh->rtnh_ifindex);
          left -= NLMSG_ALIGN(nh->rtnh_len);
          nh = RTNH_NEXT(nh);
        }
      }
    }
    if (table != RT_TABLE_MAIN) return;
    defaultRouteInterfaces.insert(oifs.begin(), oifs.end());
  });
  if (!routesOk) return false;

  struct Link {
    unsigned flags = 0;
    std::string name;
  };
  std::map<int, Link> links;
  ifinfomsg ifi{};
  ifi.ifi_family = AF_UNSPEC;
  const bool linksOk = sock.dump(RTM_GETLINK, &ifi, sizeof ifi, [&](const nlmsghdr* m) {
    if (m->nlmsg_type != RTM_NEWLINK) return;
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(m));
    Link link;
    link.flags = info->ifi_flags;
    int attrLen = static_cast<int>(IFLA_PAYLOAD(m));
    for (auto* a = IFLA_RTA(info); RTA_OK(a, attrLen); a = RTA_NEXT(a, attrLen)) {
      if (a->rta_type == IFLA_IFNAME) {
        link.name.assign(static_cast<const char*>(RTA_DATA(a)),
                         strnlen(static_cast<const char*>(RTA_DATA(a)), RTA_PAYLOAD(a)));
      }
    }
    links[info->ifi_index] = link;
  });
  if (!linksOk) return false;

  bool reachable = false;
  bool wiredOrWifi = false;
  for (int index : defaultRouteInterfaces) {
    auto it = links.find(index);
    if (it == links.end()) continue;
    const unsigned f = it->second.flags;
    if (!(f & IFF_UP) || !(f & IFF_RUNNING) || (f & IFF_LOOPBACK)) continue;
    reachable = true;
    if (!isWwan(it->second.name)) wiredOrWifi = true;
  }
  flags = 0;
  if (reachable) {
    flags |= ReachabilityFlags::reachable;
    if (!wiredOrWifi) flags |= ReachabilityFlags::isWWAN;
  }
  return true;
}

// Watches rtnetlink's link and route groups on a thread of its own.
class NetlinkTarget final : public ReachabilityTarget {
 public:
  ~NetlinkTarget() override { stopThread(); }

  bool getFlags(std::uint32_t& flags) override { return readSystemFlags(flags); }

  bool setCallback(ReachabilityCallback callback) override {
    LockGuard lock(mutex_);
    callback_ = std::move(callback);
    return true;
  }

  bool setQueue(std::shared_ptr<Queue> queue) override {
    stopThread();
    if (!queue) return true;
    auto sock = std::make_unique<NetlinkSocket>(RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE);
    if (sock->fd() < 0) return fail(errno);
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return fail(errno);
    std::uint32_t initial = 0;
    const bool haveInitial = readSystemFlags(initial);
    {
      LockGuard lock(mutex_);
      queue_ = queue;
    }
    // Recorded before the thread starts, so its first reading is the newer one.
    recordWatch(this, false, haveInitial ? std::optional<std::uint32_t>(initial) : std::nullopt);
    wakeFd_ = wake;
    thread_ = std::thread([this, sock = std::move(sock), wake, haveInitial, initial] {
      nameThisThread("pelk-netlink");
      watch(*sock, wake, haveInitial ? std::optional<std::uint32_t>(initial) : std::nullopt);
      // A watch that ended on its own (its socket failed) has no latest
      // reading to offer any more.
      recordWatch(this, false, std::nullopt);
    });
    return true;
  }

 private:
  void stopThread() {
    if (thread_.joinable()) {
      const std::uint64_t one = 1;
      [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
      thread_.join();
    }
    forgetWatch(this);
    if (wakeFd_ >= 0) {
      ::close(wakeFd_);
      wakeFd_ = -1;
    }
    LockGuard lock(mutex_);
    queue_.reset();
  }

  void watch(NetlinkSocket& sock, int wake, std::optional<std::uint32_t> last) {
    using namespace std::chrono;
    std::vector<char> buf(1 << 16);
    pollfd fds[2] = {{sock.fd(), POLLIN, 0}, {wake, POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      // Debounce: a route change arrives as a burst of messages; read until the
      // socket stays quiet for 100 ms (at most one second), then take one reading.
      const auto deadline = steady_clock::now() + seconds(1);
      for (;;) {
        while (::recv(sock.fd(), buf.data(), buf.size(), MSG_DONTWAIT) > 0) {
        }
        if (steady_clock::now() >= deadline) break;
        pollfd quiet[2] = {{sock.fd(), POLLIN, 0}, {wake, POLLIN, 0}};
        const int r = ::poll(quiet, 2, 100);
        if (r > 0 && quiet[1].revents != 0) return;
        if (r == 0) break;
      }
      std::uint32_t flags = 0;
      if (!readSystemFlags(flags)) {
        recordWatch(this, false, std::nullopt);
        continue;
      }
      recordWatch(this, false, flags);
      if (last && *last == flags) continue;
      last = flags;
      ReachabilityCallback cb;
      std::shared_ptr<Queue> queue;
      {
        LockGuard lock(mutex_);
        cb = callback_;
        queue = queue_;
      }
      if (cb && queue) queue->async([cb, flags] { cb(flags); });
    }
  }

  // Lock order: a leaf (platform/LockOrder.h).
  Mutex mutex_;
  ReachabilityCallback callback_ PELK_GUARDED_BY(mutex_);
  std::shared_ptr<Queue> queue_ PELK_GUARDED_BY(mutex_);
  std::thread thread_;
  int wakeFd_ = -1;
};

// ---------------------------------------------------------------- test source

class TestTarget;

struct TestSource {
  // Lock order: under the monitor's start and stop; takes the watch registry and posts (platform/LockOrder.h).
  Mutex mutex;
  bool active PELK_GUARDED_BY(mutex) = false;
  std::optional<std::uint32_t> flags PELK_GUARDED_BY(mutex);
  int failCreate PELK_GUARDED_BY(mutex) = 0;
  int failCallback PELK_GUARDED_BY(mutex) = 0;
  int failQueue PELK_GUARDED_BY(mutex) = 0;
  std::size_t installations PELK_GUARDED_BY(mutex) = 0;
  std::vector<TestTarget*> targets PELK_GUARDED_BY(mutex);
};

TestSource& testSource() {
  static TestSource* s = new TestSource();
  return *s;
}

class TestTarget final : public ReachabilityTarget {
 public:
  TestTarget() {
    auto& s = testSource();
    LockGuard lock(s.mutex);
    s.targets.push_back(this);
  }
  ~TestTarget() override {
    auto& s = testSource();
    LockGuard lock(s.mutex);
    std::erase(s.targets, this);
    forgetWatch(this);
  }

  bool getFlags(std::uint32_t& flags) override {
    auto& s = testSource();
    LockGuard lock(s.mutex);
    if (!s.flags) return fail(EIO);
    flags = *s.flags;
    return true;
  }

  bool setCallback(ReachabilityCallback callback) override {
    auto& s = testSource();
    LockGuard lock(s.mutex);
    if (callback && s.failCallback != 0) {
      const int e = std::exchange(s.failCallback, 0);
      return fail(e);
    }
    if (callback) ++s.installations;
    callback_ = std::move(callback);
    runningChangedLocked(s);
    return true;
  }

  bool setQueue(std::shared_ptr<Queue> queue) override {
    auto& s = testSource();
    LockGuard lock(s.mutex);
    if (queue && s.failQueue != 0) {
      const int e = std::exchange(s.failQueue, 0);
      return fail(e);
    }
    if (queue) ++s.installations;
    queue_ = std::move(queue);
    runningChangedLocked(s);
    return true;
  }

  void deliverLocked([[maybe_unused]] const TestSource& s, std::uint32_t flags) PELK_REQUIRES(s.mutex) {
    if (callback_ && queue_) {
      recordWatch(this, true, flags);
      queue_->async([cb = callback_, flags] { cb(flags); });
    }
  }

  // Called with the source's lock held: the source stopped answering, as a
  // system reading that fails, so the watch's latest reading is no reading.
  void readingFailedLocked([[maybe_unused]] const TestSource& s) PELK_REQUIRES(s.mutex) {
    if (callback_ && queue_) recordWatch(this, true, std::nullopt);
  }

 private:
  // A target that starts running reads the source's flags, as the system
  // watch takes a first reading when it starts.
  void runningChangedLocked(const TestSource& s) PELK_REQUIRES(s.mutex) {
    if (callback_ && queue_) {
      recordWatch(this, true, s.flags);
    } else {
      forgetWatch(this);
    }
  }

  // Guarded by the test source's lock (the analysis cannot name another
  // object's lock here; every use holds it).
  ReachabilityCallback callback_;
  std::shared_ptr<Queue> queue_;
};

}  // namespace

int Reachability::lastError() { return tLastError; }

std::unique_ptr<ReachabilityTarget> Reachability::makeDefaultRouteTarget() {
  auto& s = testSource();
  {
    LockGuard lock(s.mutex);
    if (s.active) {
      if (s.failCreate != 0) {
        tLastError = std::exchange(s.failCreate, 0);
        return nullptr;
      }
    } else {
      return std::make_unique<NetlinkTarget>();
    }
  }
  return std::make_unique<TestTarget>();
}

std::optional<std::uint32_t> Reachability::readDefaultRouteFlags() {
  ++gOneShotReadings;
  auto& s = testSource();
  {
    LockGuard lock(s.mutex);
    if (s.active) {
      if (!s.flags) {
        tLastError = EIO;
        return std::nullopt;
      }
      return s.flags;
    }
  }
  std::uint32_t flags = 0;
  if (!readSystemFlags(flags)) return std::nullopt;
  return flags;
}

std::optional<std::uint32_t> Reachability::watchedDefaultRouteFlags() {
  auto& s = testSource();
  LockGuard lock(s.mutex);
  return latestWatched(s.active);
}

std::uint64_t Reachability::oneShotReadings() { return gOneShotReadings.load(); }

void Reachability::useTestFlags(std::optional<std::uint32_t> initial) {
  auto& s = testSource();
  LockGuard lock(s.mutex);
  s.active = true;
  s.flags = initial;
  s.installations = 0;
  s.failCreate = s.failCallback = s.failQueue = 0;
}

void Reachability::useSystemFlags() {
  auto& s = testSource();
  LockGuard lock(s.mutex);
  s.active = false;
  s.flags.reset();
  s.failCreate = s.failCallback = s.failQueue = 0;
}

bool Reachability::usingTestFlags() {
  auto& s = testSource();
  LockGuard lock(s.mutex);
  return s.active;
}

void Reachability::setTestFlags(std::optional<std::uint32_t> flags) {
  auto& s = testSource();
  LockGuard lock(s.mutex);
  s.flags = flags;
  if (!flags) {
    for (auto* t : s.targets) t->readingFailedLocked(s);
    return;
  }
  for (auto* t : s.targets) t->deliverLocked(s, *flags);
}

void Reachability::failNextTargetCreation(int error) {
  auto& s = testSource();
  LockGuard lock(s.mutex);
  s.failCreate = error;
}

void Reachability::failNextSetCallback(int error) {
  auto& s = testSource();
  LockGuard lock(s.mutex);
  s.failCallback = error;
}

void Reachability::failNextSetQueue(int error) {
  auto& s = testSource();
  LockGuard lock(s.mutex);
  s.failQueue = error;
}

std::size_t Reachability::testInstallations() {
  auto& s = testSource();
  LockGuard lock(s.mutex);
  return s.installations;
}

std::size_t Reachability::liveTestTargets() {
  auto& s = testSource();
  LockGuard lock(s.mutex);
  return s.targets.size();
}

}  // namespace pelk::platform
