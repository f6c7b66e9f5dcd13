#include "platform/Paths.h"

#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/AppInfo.h"
#include "platform/Console.h"
#include "platform/ThreadSafety.h"

namespace pelk::platform {
namespace {

namespace fs = std::filesystem;

// Lock order: a leaf (platform/LockOrder.h).
Mutex gMutex;
std::optional<std::string> gRoot PELK_GUARDED_BY(gMutex);

// Where the folders were settled: either one root with the four below it, or
// the XDG layout.
struct Layout {
  std::optional<std::string> root;
  std::string config, cache, data;  // the XDG layout's folders of the app
};

struct Settled {
  Layout layout;
  Paths::Place place;
  int lockFd = -1;  // kept open for the process: the lock lives with it
};

// Lock order: the settlement of the folders (15a), above the leaves; it takes
// only the app info's lock (platform/LockOrder.h).
Mutex gSettleMutex;
std::optional<std::string> gHostDirectory PELK_GUARDED_BY(gSettleMutex);
// Set by the first place(): from then on the app id and the host's directory
// stay, even under a test root (where nothing is settled).
bool gFrozen PELK_GUARDED_BY(gSettleMutex) = false;
// Never destroyed: folders may be asked for while the process exits.
Settled* gSettled PELK_GUARDED_BY(gSettleMutex) = nullptr;
std::atomic<Settled*> gSettledFast{nullptr};

std::optional<std::string> home() {
  if (const char* h = std::getenv("HOME"); h && *h) return std::string(h);
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir == '/') return std::string(pw->pw_dir);
  return std::nullopt;
}

std::optional<std::string> xdg(const char* var, const char* belowHome) {
  if (const char* v = std::getenv(var); v && *v == '/') return std::string(v);
  if (auto h = home()) return *h + "/" + belowHome;
  return std::nullopt;
}

bool writableDirectory(const std::string& dir) {
  return Paths::ensureDirectory(dir) && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

enum class Lock { held, inUse, unusable };

// Takes the data directory's lock for the life of the process.
Lock takeLock(const std::string& dataDir, Settled& s) {
  const std::string file = dataDir + "/pelk.lock";
  const int fd = Paths::openPrivateFile(file, O_RDWR);
  if (fd < 0) return Lock::unusable;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    ::close(fd);
    if (error != EWOULDBLOCK) return Lock::unusable;
    std::string holder = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' ')) holder.pop_back();
    s.place.lockFile = file;
    s.place.holder = holder.empty() ? "unknown" : holder;
    return Lock::inUse;
  }
  // The holder's process id, for the message of the one refused.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The lock holds all the same; only the message of a refused one lacks the id.
  }
  s.lockFd = fd;
  return Lock::held;
}

// Removes the scratch folders of this app id that no live process holds:
// only folders of this user, holding a lock file nobody has locked.  A folder
// still being made has no lock file yet and is left alone.
void sweepScratchFolders(const std::string& base, const std::string& prefix, const std::string& own) {
  std::error_code ec;
  for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string path = it->path().string();
    const std::string name = it->path().filename().string();
    if (path == own || name.size() != prefix.size() + 6 || name.rfind(prefix, 0) != 0) continue;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) continue;
    const int fd = ::open((path + "/pelk.lock").c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      std::error_code removed;
      fs::remove_all(path, removed);
    }
    ::close(fd);
  }
}

constexpr std::size_t kMaxScratchId = NAME_MAX - 12;

std::string scratchBase() {
  if (const char* t = std::getenv("TMPDIR"); t && *t == '/') return t;
  return "/tmp";
}

// An app id from a long executable name is cut so that the folder's name
// ("pelk-<id>-XXXXXX") stays within the longest file name.
std::string scratchPrefix(const std::string& appId) { return "pelk-" + appId.substr(0, kMaxScratchId) + "-"; }

// A folder for this process alone, locked for its life like a data
// directory, so that a later process may remove it once this one has ended.
std::string scratchFolder(const std::string& appId, Settled& s) {
  std::string name = scratchBase() + "/" + scratchPrefix(appId) + "XXXXXX";
  if (!::mkdtemp(name.data())) return name;  // nothing can be made there; the files will say so
  // Locked before it takes its name, so that no sweep finds it unlocked.
  const std::string pending = name + "/pelk.lock.new";
  const int fd = Paths::openPrivateFile(pending, O_RDWR);
  if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::rename(pending.c_str(), (name + "/pelk.lock").c_str()) == 0) {
    s.lockFd = fd;
  } else if (fd >= 0) {
    ::close(fd);
  }
  return name;
}

// Decides, once, where the kit's folders are.  Returns the line to print
// (outside every lock), if any.
std::optional<std::pair<std::string, Console::Level>> settle(Settled& s) PELK_REQUIRES(gSettleMutex) {
  const std::string appId = AppInfo::bundleId();
  const auto rootAt = [&](const std::string& root) -> Lock {
    if (!writableDirectory(root)) return Lock::unusable;
    const Lock lock = takeLock(root, s);
    if (lock != Lock::unusable) {
      s.layout.root = root;
      s.place.dataDirectory = root;
    }
    return lock;
  };
  const auto scratch = [&](Paths::Settlement why) {
    s.place.settlement = why;
    s.place.dataDirectory.clear();
    s.layout = Layout{scratchFolder(appId, s), {}, {}, {}};
  };
  std::optional<std::string> tried;
  if (gHostDirectory) {
    // The host's own choice is not replaced by a guess of ours.
    const Lock lock = rootAt(*gHostDirectory);
    if (lock == Lock::held) return std::nullopt;
    if (lock == Lock::inUse) {
      scratch(Paths::Settlement::inUse);
      return std::nullopt;
    }
    tried = *gHostDirectory;
  } else {
    const auto config = xdg("XDG_CONFIG_HOME", ".config");
    const auto data = xdg("XDG_DATA_HOME", ".local/share");
    if (config && data) {
      const std::string dataDir = *data + "/" + appId;
      const std::string configDir = *config + "/" + appId;
      if (writableDirectory(dataDir) && writableDirectory(configDir)) {
        const Lock lock = takeLock(dataDir, s);
        if (lock == Lock::inUse) {
          scratch(Paths::Settlement::inUse);
          return std::nullopt;
        }
        if (lock == Lock::held) {
          const auto cache = xdg("XDG_CACHE_HOME", ".cache");
          s.layout = Layout{std::nullopt, configDir, (cache ? *cache : *data) + "/" + appId, dataDir};
          s.place.dataDirectory = dataDir;
          return std::nullopt;
        }
      }
    }
    if (const char* state = std::getenv("STATE_DIRECTORY"); state && *state == '/') {
      // systemd lists several folders separated by colons: the first is ours.
      std::string first(state);
      first = first.substr(0, first.find(':'));
      const Lock lock = rootAt(first + "/" + appId);
      if (lock == Lock::held) {
        return std::make_pair("pelk: no writable home folder; the kit keeps its files in " + first + "/" + appId,
                              Console::Level::Info);
      }
      if (lock == Lock::inUse) {
        scratch(Paths::Settlement::inUse);
        return std::nullopt;
      }
    }
  }
  scratch(Paths::Settlement::nothingWritable);
  std::string line = "pelk: no writable folder for the kit's settings and stores (";
  line += tried ? "the data directory " + *tried + " cannot be written"
                : std::string("neither HOME, the XDG_*_HOME variables nor STATE_DIRECTORY lead to one");
  line += "); they are kept in " + *s.layout.root + " for this run only: name a data directory before start-up";
  return std::make_pair(line, Console::Level::Error);
}

const Settled& settled() {
  if (auto* s = gSettledFast.load(std::memory_order_acquire)) return *s;
  std::optional<std::pair<std::string, Console::Level>> line;
  Settled* s = nullptr;
  {
    LockGuard lock(gSettleMutex);
    if (!gSettled) {
      auto* fresh = new Settled();
      line = settle(*fresh);
      // Every run of the app id removes the scratch folders whose run has
      // ended, also a run that needs none itself: a second process refused
      // while the first lived leaves one behind.
      sweepScratchFolders(scratchBase(), scratchPrefix(AppInfo::bundleId()), fresh->layout.root.value_or(""));
      gSettled = fresh;
      gSettledFast.store(fresh, std::memory_order_release);
    }
    s = gSettled;
  }
  if (line) Console::print(line->first, line->second);
  return *s;
}

enum class Folder { documents, appSupport, caches, preferences };

std::string resolve(Folder folder) {
  std::optional<std::string> root;
  {
    LockGuard lock(gMutex);
    root = gRoot;
  }
  if (!root) {
    const Layout& layout = settled().layout;
    if (layout.root) {
      root = layout.root;
    } else {
      std::string dir;
      switch (folder) {
        case Folder::documents:
          dir = layout.data + "/Documents";
          break;
        case Folder::appSupport:
          dir = layout.data + "/Application Support";
          break;
        case Folder::caches:
          dir = layout.cache;
          break;
        case Folder::preferences:
          dir = layout.config;
          break;
      }
      Paths::ensureDirectory(dir);
      return dir;
    }
  }
  static const char* const kBelowRoot[] = {"Documents", "Application Support", "Caches", "Preferences"};
  std::string dir = *root + "/" + kBelowRoot[static_cast<int>(folder)];
  Paths::ensureDirectory(dir);
  return dir;
}

}  // namespace

std::string Paths::documents() { return resolve(Folder::documents); }

std::string Paths::appSupport() { return resolve(Folder::appSupport); }

std::string Paths::caches() { return resolve(Folder::caches); }

std::string Paths::preferences() { return resolve(Folder::preferences); }

void Paths::setRoot(std::optional<std::string> root) {
  LockGuard lock(gMutex);
  gRoot = std::move(root);
}

std::optional<std::string> Paths::root() {
  LockGuard lock(gMutex);
  return gRoot;
}

Paths::Place Paths::place() {
  {
    LockGuard lock(gSettleMutex);
    gFrozen = true;
  }
  if (auto root = Paths::root()) return Place{Settlement::own, *root, {}, {}};
  return settled().place;
}

bool Paths::unlessSettled(const std::function<void()>& change) {
  LockGuard lock(gSettleMutex);
  if (gSettled || gFrozen) return false;
  change();
  return true;
}

// Runs inside unlessSettled()'s change, so under gSettleMutex, which the
// analysis cannot see through the callback.
void Paths::setHostDirectory(std::optional<std::string> dir) PELK_NO_THREAD_SAFETY_ANALYSIS {
  gHostDirectory = std::move(dir);
}

std::string Paths::unusableDirectory(const std::string& dir) {
  if (dir.empty() || dir.front() != '/') return "not an absolute path";
  // Room for the longest name the kit puts below it.
  if (dir.size() > 3800) return "longer than 3800 bytes";
  for (const char c : dir) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "holds a control character";
  }
  if (!ensureDirectory(dir)) return "cannot be made a directory";
  if (::access(dir.c_str(), W_OK | X_OK) != 0) return "cannot be written";
  return {};
}

bool Paths::ensureDirectory(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return true;
  std::filesystem::path p(path);
  if (p.has_parent_path() && p.parent_path() != p) ensureDirectory(p.parent_path().string());
  if (::mkdir(path.c_str(), 0700) == 0) return true;
  return std::filesystem::is_directory(path, ec);
}

bool Paths::ensurePrivateFile(const std::string& path, bool create) {
  const int fd = openPrivateFile(path, O_RDWR, create);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

int Paths::openPrivateFile(const std::string& path, int flags, bool create) {
  // Without blocking: opening a pipe nobody reads would wait for a reader,
  // and anything but a regular file is refused below anyway.  The flag is
  // taken off again for the file.
  const int base = (flags & ~(O_CREAT | O_EXCL)) | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
  // Twice at most: a file removed between the two opens below is made afresh.
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool created = false;
    int fd = -1;
    if (create) {
      fd = ::open(path.c_str(), base | O_CREAT | O_EXCL, 0600);
      if (fd >= 0) {
        created = true;
      } else if (errno != EEXIST) {
        return -1;
      }
    }
    if (fd < 0) fd = ::open(path.c_str(), base);
    if (fd < 0) {
      if (create && errno == ENOENT) continue;
      return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        ((flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
      ::close(fd);
      return -1;
    }
    // A file made here is 0600 whatever the umask took from it (a umask that
    // takes the owner's write leaves a file nobody may write the next time);
    // one found keeps the owner's permissions and loses everybody else's.
    const mode_t wanted = created ? 0600 : (st.st_mode & 0700);
    if ((st.st_mode & 07777) != wanted && ::fchmod(fd, wanted) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  return -1;
}

}  // namespace pelk::platform
