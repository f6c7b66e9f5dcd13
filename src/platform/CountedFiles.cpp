#include "platform/CountedFiles.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include <sqlite3.h>

#include "platform/ThreadSafety.h"

namespace pelk::platform {
namespace {

struct Counter {
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> syncs{0};
};

// Counters per database file (its log and journal count with it), never
// destroyed: a file may still be written while the process exits.
// Lock order: a leaf (platform/LockOrder.h).
struct Counters {
  Mutex mutex;
  std::map<std::string, Counter*> byFile PELK_GUARDED_BY(mutex);
  Counter total;
  Counter unnamed;  // SQLite's temporary files
};

Counters& counters() {
  static auto* c = new Counters();
  return *c;
}

std::string canonical(const std::string& path) {
  std::error_code ec;
  auto p = std::filesystem::weakly_canonical(path, ec);
  if (ec) return std::filesystem::path(path).lexically_normal().string();
  return p.string();
}

Counter* counterOf(const std::string& databasePath) {
  const std::string key = canonical(databasePath);
  auto& c = counters();
  LockGuard lock(c.mutex);
  auto& slot = c.byFile[key];
  if (!slot) slot = new Counter();
  return slot;
}

// A file of the counting layer: our header, then the real file SQLite's own
// layer fills in (its size is the real layer's szOsFile).
struct CountedFile {
  sqlite3_file base;
  Counter* counter;
  sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};
// The real file follows at the alignment of its pointers and 64-bit fields.
static_assert(sizeof(CountedFile) % 8 == 0);

sqlite3_file* realOf(sqlite3_file* f) { return reinterpret_cast<CountedFile*>(f)->real(); }
sqlite3_vfs* realVfs(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }

int xClose(sqlite3_file* f) { return realOf(f)->pMethods->xClose(realOf(f)); }
int xRead(sqlite3_file* f, void* buf, int n, sqlite3_int64 off) {
  return realOf(f)->pMethods->xRead(realOf(f), buf, n, off);
}
int xWrite(sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
  const int rc = realOf(f)->pMethods->xWrite(realOf(f), buf, n, off);
  if (rc == SQLITE_OK && n > 0) {
    reinterpret_cast<CountedFile*>(f)->counter->bytes.fetch_add(static_cast<std::uint64_t>(n),
                                                                std::memory_order_relaxed);
    counters().total.bytes.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
  }
  return rc;
}
int xTruncate(sqlite3_file* f, sqlite3_int64 size) { return realOf(f)->pMethods->xTruncate(realOf(f), size); }
int xSync(sqlite3_file* f, int flags) {
  reinterpret_cast<CountedFile*>(f)->counter->syncs.fetch_add(1, std::memory_order_relaxed);
  counters().total.syncs.fetch_add(1, std::memory_order_relaxed);
  return realOf(f)->pMethods->xSync(realOf(f), flags);
}
int xFileSize(sqlite3_file* f, sqlite3_int64* size) { return realOf(f)->pMethods->xFileSize(realOf(f), size); }
int xLock(sqlite3_file* f, int level) { return realOf(f)->pMethods->xLock(realOf(f), level); }
int xUnlock(sqlite3_file* f, int level) { return realOf(f)->pMethods->xUnlock(realOf(f), level); }
int xCheckReservedLock(sqlite3_file* f, int* out) { return realOf(f)->pMethods->xCheckReservedLock(realOf(f), out); }
int xFileControl(sqlite3_file* f, int op, void* arg) { return realOf(f)->pMethods->xFileControl(realOf(f), op, arg); }
int xSectorSize(sqlite3_file* f) { return realOf(f)->pMethods->xSectorSize(realOf(f)); }
int xDeviceCharacteristics(sqlite3_file* f) { return realOf(f)->pMethods->xDeviceCharacteristics(realOf(f)); }
int xShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
  return realOf(f)->pMethods->xShmMap(realOf(f), page, size, extend, out);
}
int xShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return realOf(f)->pMethods->xShmLock(realOf(f), offset, n, flags);
}
void xShmBarrier(sqlite3_file* f) { realOf(f)->pMethods->xShmBarrier(realOf(f)); }
int xShmUnmap(sqlite3_file* f, int deleteFlag) { return realOf(f)->pMethods->xShmUnmap(realOf(f), deleteFlag); }
int xFetch(sqlite3_file* f, sqlite3_int64 off, int n, void** out) {
  return realOf(f)->pMethods->xFetch(realOf(f), off, n, out);
}
int xUnfetch(sqlite3_file* f, sqlite3_int64 off, void* p) { return realOf(f)->pMethods->xUnfetch(realOf(f), off, p); }

// One table per version of the real layer's methods: SQLite asks a file's
// version before it uses shared memory (write-ahead logging) or mapping, and
// must see the real file's answer.
sqlite3_io_methods methodsOfVersion(int version) {
  sqlite3_io_methods m{};
  m.iVersion = version;
  m.xClose = xClose;
  m.xRead = xRead;
  m.xWrite = xWrite;
  m.xTruncate = xTruncate;
  m.xSync = xSync;
  m.xFileSize = xFileSize;
  m.xLock = xLock;
  m.xUnlock = xUnlock;
  m.xCheckReservedLock = xCheckReservedLock;
  m.xFileControl = xFileControl;
  m.xSectorSize = xSectorSize;
  m.xDeviceCharacteristics = xDeviceCharacteristics;
  if (version >= 2) {
    m.xShmMap = xShmMap;
    m.xShmLock = xShmLock;
    m.xShmBarrier = xShmBarrier;
    m.xShmUnmap = xShmUnmap;
  }
  if (version >= 3) {
    m.xFetch = xFetch;
    m.xUnfetch = xUnfetch;
  }
  return m;
}

const sqlite3_io_methods* methodsFor(const sqlite3_io_methods* real) {
  static const sqlite3_io_methods tables[3] = {methodsOfVersion(1), methodsOfVersion(2), methodsOfVersion(3)};
  return &tables[std::clamp(real->iVersion, 1, 3) - 1];
}

int vfsOpen(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
  auto* counted = reinterpret_cast<CountedFile*>(f);
  counted->base.pMethods = nullptr;
  sqlite3_file* real = counted->real();
  // The main file, its log and its journal all count for the database.
  const char* database = nullptr;
  if (name && (flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_WAL | SQLITE_OPEN_MAIN_JOURNAL))) {
    database = sqlite3_filename_database(name);
  }
  counted->counter = database ? counterOf(database) : &counters().unnamed;
  const int rc = realVfs(vfs)->xOpen(realVfs(vfs), name, real, flags, outFlags);
  // SQLite closes a file whose methods are set, also when the open failed.
  if (real->pMethods) counted->base.pMethods = methodsFor(real->pMethods);
  return rc;
}

int vfsDelete(sqlite3_vfs* vfs, const char* name, int syncDir) {
  return realVfs(vfs)->xDelete(realVfs(vfs), name, syncDir);
}
int vfsAccess(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  return realVfs(vfs)->xAccess(realVfs(vfs), name, flags, out);
}
int vfsFullPathname(sqlite3_vfs* vfs, const char* name, int n, char* out) {
  return realVfs(vfs)->xFullPathname(realVfs(vfs), name, n, out);
}
void* vfsDlOpen(sqlite3_vfs* vfs, const char* name) { return realVfs(vfs)->xDlOpen(realVfs(vfs), name); }
void vfsDlError(sqlite3_vfs* vfs, int n, char* out) { realVfs(vfs)->xDlError(realVfs(vfs), n, out); }
void (*vfsDlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void) {
  return realVfs(vfs)->xDlSym(realVfs(vfs), handle, symbol);
}
void vfsDlClose(sqlite3_vfs* vfs, void* handle) { realVfs(vfs)->xDlClose(realVfs(vfs), handle); }
int vfsRandomness(sqlite3_vfs* vfs, int n, char* out) { return realVfs(vfs)->xRandomness(realVfs(vfs), n, out); }
int vfsSleep(sqlite3_vfs* vfs, int micros) { return realVfs(vfs)->xSleep(realVfs(vfs), micros); }
int vfsCurrentTime(sqlite3_vfs* vfs, double* out) { return realVfs(vfs)->xCurrentTime(realVfs(vfs), out); }
int vfsGetLastError(sqlite3_vfs* vfs, int n, char* out) {
  return realVfs(vfs)->xGetLastError ? realVfs(vfs)->xGetLastError(realVfs(vfs), n, out) : 0;
}
int vfsCurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) {
  return realVfs(vfs)->xCurrentTimeInt64(realVfs(vfs), out);
}

// The counting layer over SQLite's default one; registered once, never as
// the default (a host's own SQLite files are not ours to count).
const char* registerLayer() {
  static const char* const name = []() -> const char* {
    sqlite3_vfs* real = sqlite3_vfs_find(nullptr);
    if (!real) return nullptr;
    static sqlite3_vfs layer{};
    layer.iVersion = std::min(real->iVersion, 2);
    layer.szOsFile = static_cast<int>(sizeof(CountedFile)) + real->szOsFile;
    layer.mxPathname = real->mxPathname;
    layer.zName = "pelk-counted";
    layer.pAppData = real;
    layer.xOpen = vfsOpen;
    layer.xDelete = vfsDelete;
    layer.xAccess = vfsAccess;
    layer.xFullPathname = vfsFullPathname;
    layer.xDlOpen = vfsDlOpen;
    layer.xDlError = vfsDlError;
    layer.xDlSym = vfsDlSym;
    layer.xDlClose = vfsDlClose;
    layer.xRandomness = vfsRandomness;
    layer.xSleep = vfsSleep;
    layer.xCurrentTime = vfsCurrentTime;
    layer.xGetLastError = vfsGetLastError;
    if (layer.iVersion >= 2) layer.xCurrentTimeInt64 = vfsCurrentTimeInt64;
    if (sqlite3_vfs_register(&layer, 0) != SQLITE_OK) return nullptr;
    return layer.zName;
  }();
  return name;
}

}  // namespace

const char* CountedFiles::layerName() { return registerLayer(); }

CountedFiles::Counts CountedFiles::of(const std::string& databasePath) {
  const Counter* c = counterOf(databasePath);
  return {c->bytes.load(std::memory_order_relaxed), c->syncs.load(std::memory_order_relaxed)};
}

CountedFiles::Counts CountedFiles::total() {
  const Counter& c = counters().total;
  return {c.bytes.load(std::memory_order_relaxed), c.syncs.load(std::memory_order_relaxed)};
}

}  // namespace pelk::platform
