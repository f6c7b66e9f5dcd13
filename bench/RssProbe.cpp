// Prints this process's peak resident set (kB) after one of two loads:
//   pelk_bench_rss kit FOLDER        the kit's stores open, 10 000 positions
//                                    buffered through the kit's own insert
//   pelk_bench_rss_bare bare FOLDER  one SQLite file opened, nothing else (the
//                                    same source built without the kit)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "BareSqlite.h"
#ifndef PELK_BENCH_BARE
#include "KitSetup.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "storage/PelkHTTPDataStorageManager.h"
#endif

#ifdef PELK_BENCH_BARE
constexpr const char* kMode = "bare";
#else
constexpr const char* kMode = "kit";
#endif

int main(int argc, char** argv) {
  if (argc != 3 || std::string(argv[1]) != kMode) {
    std::fprintf(stderr, "usage: %s %s FOLDER\n", argv[0], kMode);
    return 2;
  }
  const std::string folder = argv[2];
  try {
#ifdef PELK_BENCH_BARE
    pelk::bench::BareDb db(folder + "/bare-rss.sqlite");
    pelk::bench::exec(db.get(), "CREATE TABLE IF NOT EXISTS t (x)");
#else
    pelk::bench::pointKitAt(folder);
    pelk::PelkCoreDataStack stack;
    pelk::MQTTDataStorageManager buffer(stack.managedObjectContext());
    pelk::PelkHTTPDataStorageManager http;
    http.persistentContainer();
    for (int i = 0; i < 10000; ++i) {
      if (!buffer.saveLocationData({pelk::bench::samplePosition(i), "M"})) return 1;
    }
    if (buffer.getOfflineLocationCount() != 10000) return 1;
#endif
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  // The peak of this program's own memory: getrusage() would also count the
  // peak of the process that started it, which the exec does not reset.
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) {
      std::printf("%ld\n", std::strtol(line.c_str() + 6, nullptr, 10));
      return 0;
    }
  }
  return 1;
}
