// The cost of a position's road into the kit's stores, each figure beside its
// baseline (plain SQLite, same file settings, statements prepared once) in the
// same process, on disk and on tmpfs.  Prints one table: medians of the
// repetitions and the ratio kit / bare.
//   pelk_bench [google benchmark flags]
// PELK_BENCH_DISK and PELK_BENCH_TMPFS choose the parent folders (default
// /var/tmp and /dev/shm; tmpfs is left out when it cannot be written).
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "BareSqlite.h"
#include "KitSetup.h"
#include "foundation/SharedUtil.h"
#include "network/Reachability.h"
#include "storage/LocalEntities.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "storage/PelkHTTPDataStorageManager.h"

namespace pelk::bench {
namespace {

constexpr int kReplayRows = 10000;
constexpr const char* kSettingKey = "benchSetting";

std::optional<std::string> makeFolder(const std::string& parent) {
  std::string tmpl = parent + "/pelk-bench-XXXXXX";
  if (!::mkdtemp(tmpl.data())) return std::nullopt;
  return tmpl;
}

// Everything one folder's benchmarks use: the kit's stores and the bare files.
struct Stores {
  explicit Stores(const std::string& folder) {
    pointKitAt(folder);
    // The reachability monitor runs while the kit is started; positions take
    // its network state, as they do in the kit.
    try {
      monitor = Reachability::create(nullptr);
      monitor->startNotifier();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "pelk_bench: no reachability monitor (%s); positions read the route table\n", e.what());
    }
    suite = SharedUtil::userDefaultValue();
    mqtt = std::make_unique<MQTTDataStorageManager>(PelkCoreDataStack().managedObjectContext());
    // One row in each store and one setting, so that the baseline can copy the
    // kit's schema and rows.
    if (!mqtt->saveLocationData(samplePosition(), "M", false, 0) ||
        !http.saveLocationData(samplePosition(), "M", false, 0)) {
      throw std::runtime_error("the kit could not store a position in " + folder);
    }
    SharedUtil::setDefaultInteger(1, kSettingKey);
    mqttPath = mqtt->context()->path();
    const std::string httpPath = http.persistentContainer()->path();

    const std::string bare = folder + "/bare";
    std::filesystem::create_directories(bare);
    bareMqtt = std::make_unique<BareDb>(bare + "/buffer.sqlite");
    bareMqtt->copySchemaFrom(mqttPath);
    mqttRow.loadNewest(mqttPath, MqttLocationData::entityName);
    bareMqttInsert = std::make_unique<Statement>(bareMqtt->get(), mqttRow.insertSql(MqttLocationData::entityName));

    bareHttp = std::make_unique<BareDb>(bare + "/http.sqlite");
    bareHttp->copySchemaFrom(httpPath);
    httpRow.loadNewest(httpPath, HttpLocationData::entityName);
    bareHttpInsert = std::make_unique<Statement>(bareHttp->get(), httpRow.insertSql(HttpLocationData::entityName));

    bareSettings = std::make_unique<BareDb>(bare + "/settings.sqlite");
    bareSettings->copySchemaFrom(suite->path());
    bareUpsert = std::make_unique<Statement>(bareSettings->get(),
                                             "INSERT OR REPLACE INTO entries (key, kind, value) VALUES (?, ?, ?)");
    bareSelect = std::make_unique<Statement>(bareSettings->get(), "SELECT value FROM entries WHERE key = ?");
    {
      BareDb kitSettings(suite->path(), true);
      Statement q(kitSettings.get(), "SELECT kind, value FROM entries WHERE key = ?");
      sqlite3_bind_text(q.get(), 1, kSettingKey, -1, SQLITE_STATIC);
      if (!q.step()) throw std::runtime_error("the kit's setting is not in its file");
      settingKind = sqlite3_column_int(q.get(), 0);
      settingValue.assign(static_cast<const char*>(sqlite3_column_blob(q.get(), 1)),
                          static_cast<std::size_t>(sqlite3_column_bytes(q.get(), 1)));
    }
    bareReplayPath = bare + "/replay.sqlite";
    bareReplay = std::make_unique<BareDb>(bareReplayPath);
    bareReplay->copySchemaFrom(mqttPath);
  }
  ~Stores() { releaseKit(); }

  void bareInsert(Statement& insert, const Row& row) {
    row.bind(insert);
    insert.step();
    insert.reset();
  }

  void bareUpsertSetting() {
    sqlite3_bind_text(bareUpsert->get(), 1, kSettingKey, -1, SQLITE_STATIC);
    sqlite3_bind_int(bareUpsert->get(), 2, settingKind);
    sqlite3_bind_blob(bareUpsert->get(), 3, settingValue.data(), static_cast<int>(settingValue.size()),
                      SQLITE_STATIC);
    bareUpsert->step();
    bareUpsert->reset();
  }

  std::int64_t bareSelectSetting() {
    sqlite3_bind_text(bareSelect->get(), 1, kSettingKey, -1, SQLITE_STATIC);
    std::int64_t bytes = 0;
    if (bareSelect->step()) bytes = sqlite3_column_bytes(bareSelect->get(), 0);
    bareSelect->reset();
    return bytes;
  }

  // The replay's loop on plain SQLite: count, then a page of the oldest
  // unsent rows read whole and deleted by key in one transaction, until none
  // are left.
  std::int64_t bareReplayLoop() {
    sqlite3* db = bareReplay->get();
    Statement count(db, std::string("SELECT count(*) FROM ") + MqttLocationData::entityName);
    count.step();
    Statement page(db, std::string("SELECT * FROM ") + MqttLocationData::entityName +
                           " WHERE mqtt_id = 0 ORDER BY pk LIMIT ? OFFSET 0");
    Statement del(db, std::string("DELETE FROM ") + MqttLocationData::entityName + " WHERE pk = ?");
    std::int64_t done = 0;
    for (;;) {
      std::vector<std::int64_t> keys;
      double sum = 0;
      sqlite3_bind_int(page.get(), 1, MQTTDataStorageManager::kPageSize);
      while (page.step()) {
        keys.push_back(sqlite3_column_int64(page.get(), 0));
        for (int c = 1; c < sqlite3_column_count(page.get()); ++c) sum += sqlite3_column_bytes(page.get(), c);
      }
      page.reset();
      benchmark::DoNotOptimize(sum);
      if (keys.empty()) break;
      exec(db, "BEGIN IMMEDIATE");
      for (auto k : keys) {
        sqlite3_bind_int64(del.get(), 1, k);
        del.step();
        del.reset();
      }
      exec(db, "COMMIT");
      done += static_cast<std::int64_t>(keys.size());
    }
    return done;
  }

  std::int64_t kitReplayLoop() {
    std::int64_t done = 0;
    benchmark::DoNotOptimize(mqtt->getOfflineLocationCount());
    for (;;) {
      const auto rows = mqtt->fetchDeviceData(0);
      if (rows.empty()) break;
      if (!mqtt->deleteBatchEntity(rows)) throw std::runtime_error("the kit could not delete a page");
      done += static_cast<std::int64_t>(rows.size());
    }
    return done;
  }

  std::shared_ptr<Reachability> monitor;
  std::shared_ptr<platform::SettingsSuite> suite;
  std::unique_ptr<MQTTDataStorageManager> mqtt;
  PelkHTTPDataStorageManager http;
  std::string mqttPath;
  Row mqttRow;
  Row httpRow;
  std::unique_ptr<BareDb> bareMqtt, bareHttp, bareSettings, bareReplay;
  std::unique_ptr<Statement> bareMqttInsert, bareHttpInsert, bareUpsert, bareSelect;
  int settingKind = 0;
  std::string settingValue;
  std::string bareReplayPath;
};

template <class Body>
void timedReplay(benchmark::State& state, const std::string& path, const Row& row, Body body) {
  for (auto _ : state) {
    fillTable(path, MqttLocationData::entityName, row, kReplayRows);
    const auto start = std::chrono::steady_clock::now();
    const std::int64_t done = body();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (done != kReplayRows) state.SkipWithError("the replay did not take every row");
    state.SetIterationTime(took.count());
  }
}

void registerAll(Stores& s) {
  auto reg = [](const char* name, auto fn) {
    return benchmark::RegisterBenchmark(name, fn)
        ->Unit(benchmark::kMicrosecond)
        ->Repetitions(7)
        ->ReportAggregatesOnly(true);
  };
  int i = 0;
  reg("road/kit", [&s, &i](benchmark::State& st) {
    for (auto _ : st) {
      incrementLocationCount(*s.suite);
      if (!s.mqtt->saveLocationData(samplePosition(++i), "M", false, 0)) st.SkipWithError("not stored");
    }
  });
  reg("save/kit", [&s, &i](benchmark::State& st) {
    for (auto _ : st) {
      if (!s.mqtt->saveLocationData(samplePosition(++i), "M", false, 0)) st.SkipWithError("not stored");
    }
  });
  reg("insert/bare", [&s](benchmark::State& st) {
    for (auto _ : st) s.bareInsert(*s.bareMqttInsert, s.mqttRow);
  });
  reg("http/kit", [&s, &i](benchmark::State& st) {
    for (auto _ : st) {
      if (!s.http.saveLocationData(samplePosition(++i), "M", false, 0)) st.SkipWithError("not stored");
    }
  });
  reg("http-insert/bare", [&s](benchmark::State& st) {
    for (auto _ : st) s.bareInsert(*s.bareHttpInsert, s.httpRow);
  });
  reg("settings-write/kit", [&i](benchmark::State& st) {
    for (auto _ : st) SharedUtil::setDefaultInteger(++i % 2 + 1, kSettingKey);
  });
  reg("upsert/bare", [&s](benchmark::State& st) {
    for (auto _ : st) s.bareUpsertSetting();
  });
  reg("settings-read/kit", [](benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(SharedUtil::getDefaultInteger(kSettingKey));
  });
  reg("select/bare", [&s](benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(s.bareSelectSetting());
  });
  reg("replay/kit", [&s](benchmark::State& st) {
    timedReplay(st, s.mqttPath, s.mqttRow, [&s] { return s.kitReplayLoop(); });
  })->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
  reg("replay/bare", [&s](benchmark::State& st) {
    timedReplay(st, s.bareReplayPath, s.mqttRow, [&s] { return s.bareReplayLoop(); });
  })->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
}

// Keeps the median of every benchmark, in microseconds, and prints nothing.
class MedianCollector : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.error_occurred) {
        std::fprintf(stderr, "%s: %s\n", run.benchmark_name().c_str(), run.error_message.c_str());
        failed = true;
        continue;
      }
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      const double us = run.GetAdjustedRealTime() * 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      medians[run.run_name.function_name] = us;
    }
  }
  std::map<std::string, double> medians;
  bool failed = false;
};

// Peak RSS (kB) of the probe program run with `mode` on `folder`; -1 on failure.
long probeRss(const std::string& mode, const std::string& folder) {
  const auto self = std::filesystem::read_symlink("/proc/self/exe");
  const std::string probe = (self.parent_path() / (mode == "kit" ? "pelk_bench_rss" : "pelk_bench_rss_bare")).string();
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    ::execl(probe.c_str(), probe.c_str(), mode.c_str(), folder.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  std::string out;
  char buf[64];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::strtol(out.c_str(), nullptr, 10);
}

struct Column {
  std::string label;
  std::map<std::string, double> medians;
};

void printTable(const std::vector<Column>& columns, long kitRss, long bareRss, const std::string& rssOn) {
  struct Figure {
    const char* title;
    const char* kit;
    const char* bare;
    double scale = 1.0;
  };
  const Figure figures[] = {
      {"store road: count + buffer insert (us)", "road/kit", "insert/bare"},
      {"buffer insert saveLocationData (us)", "save/kit", "insert/bare"},
      {"HTTP buffer insert (us)", "http/kit", "http-insert/bare"},
      {"settings write vs upsert (us)", "settings-write/kit", "upsert/bare"},
      {"settings read vs select (us)", "settings-read/kit", "select/bare"},
      {"replay of 10000 rows (ms)", "replay/kit", "replay/bare", 1e-3},
  };
  std::printf("%-40s", "figure");
  for (const auto& c : columns) std::printf(" | %10s %10s %7s", (c.label + " kit").c_str(), "bare", "ratio");
  std::printf("\n");
  for (const auto& f : figures) {
    std::printf("%-40s", f.title);
    for (const auto& c : columns) {
      const auto k = c.medians.find(f.kit);
      const auto b = c.medians.find(f.bare);
      if (k == c.medians.end() || b == c.medians.end()) {
        std::printf(" | %10s %10s %7s", "-", "-", "-");
        continue;
      }
      std::printf(" | %10.1f %10.1f %6.2fx", k->second * f.scale, b->second * f.scale,
                  k->second / b->second);
    }
    std::printf("\n");
  }
  if (kitRss > 0 && bareRss > 0) {
    std::printf("%-40s | %7.1f MB %7.1f MB %6.2fx   (%s)\n", "max RSS, 10000 buffered vs SQLite only", kitRss / 1024.0,
                bareRss / 1024.0, static_cast<double>(kitRss) / static_cast<double>(bareRss), rssOn.c_str());
  } else {
    std::printf("%-40s | probe failed\n", "max RSS, 10000 buffered vs SQLite only");
  }
}

bool writable(const std::string& dir) { return ::access(dir.c_str(), W_OK) == 0; }

}  // namespace
}  // namespace pelk::bench

int main(int argc, char** argv) {
  using namespace pelk::bench;
  // Repetitions of the kit and its baseline alternate, so that drift in the
  // machine's load reaches both alike.
  std::vector<char*> args{argv[0], const_cast<char*>("--benchmark_enable_random_interleaving=true")};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 2;

  const char* diskEnv = std::getenv("PELK_BENCH_DISK");
  const char* shmEnv = std::getenv("PELK_BENCH_TMPFS");
  std::vector<std::pair<std::string, std::string>> parents{{"disk", diskEnv ? diskEnv : "/var/tmp"}};
  const std::string shm = shmEnv ? shmEnv : "/dev/shm";
  if (writable(shm)) parents.emplace_back("tmpfs", shm);

  std::vector<Column> columns;
  std::string rssFolder;
  std::vector<std::string> folders;
  bool failed = false;
  for (const auto& [label, parent] : parents) {
    const auto folder = makeFolder(parent);
    if (!folder) {
      std::fprintf(stderr, "pelk_bench: cannot make a folder in %s\n", parent.c_str());
      continue;
    }
    folders.push_back(*folder);
    std::fprintf(stderr, "pelk_bench: %s in %s\n", label.c_str(), folder->c_str());
    MedianCollector collector;
    try {
      Stores stores(*folder);
      registerAll(stores);
      benchmark::RunSpecifiedBenchmarks(&collector);
      benchmark::ClearRegisteredBenchmarks();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "pelk_bench: %s\n", e.what());
      failed = true;
    }
    failed = failed || collector.failed;
    columns.push_back({label, collector.medians});
    rssFolder = *folder;  // tmpfs when there is one: the figure does not depend on the medium
  }
  long kitRss = -1, bareRss = -1;
  if (!rssFolder.empty()) {
    const std::string probeFolder = rssFolder + "/rss";
    std::filesystem::create_directories(probeFolder);
    kitRss = probeRss("kit", probeFolder);
    bareRss = probeRss("bare", probeFolder);
  }
  printTable(columns, kitRss, bareRss, columns.empty() ? "" : columns.back().label);
  for (const auto& f : folders) {
    std::error_code ec;
    std::filesystem::remove_all(f, ec);
  }
  benchmark::Shutdown();
  return failed || kitRss <= 0 || bareRss <= 0 ? 1 : 0;
}
