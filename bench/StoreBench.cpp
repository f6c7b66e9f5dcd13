// The cost of a position's road into the kit's stores, each figure beside its
// baseline (plain SQLite, same file settings, statements prepared once) in the
// same process, on disk and on tmpfs.  Prints one table: medians of the
// repetitions and the ratio kit / bare.  The log's figure is a line of the
// kit's log after 10000 earlier lines beside the first line of an empty log.
//   pelk_bench [google benchmark flags]
// PELK_BENCH_DISK and PELK_BENCH_TMPFS choose the parent folders (default
// /var/tmp and /dev/shm; tmpfs is left out when it cannot be written).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "BareSqlite.h"
#include "BenchSupport.h"
#include "KitSetup.h"
#include "foundation/LoggerManager.h"
#include "foundation/SharedUtil.h"
#include "network/Reachability.h"
#include "storage/LocalEntities.h"
#include "storage/MQTTDataStorageManager.h"
#include "storage/PelkCoreDataStack.h"
#include "storage/PelkHTTPDataStorageManager.h"

namespace pelk::bench {
namespace {

constexpr const char* kSettingKey = "benchSetting";
constexpr int kEarlierLines = 10000;

// A log line of the size of a short REST reply: with the log's bounds, its
// records fill the record array to its byte limit and its count limit alike.
std::string logLine(int i) {
  return "Trip Status  {\"code\":200,\"msg\":\"Success\",\"data\":{\"trip_id\":\"5f1c2b7e9a0d4c3b2a190807\","
         "\"status\":\"started\",\"distance\":" +
         std::to_string(i) +
         ",\"duration\":1834,\"origin\":{\"lat\":52.520008,\"lng\":13.404954},\"destination\":{"
         "\"lat\":52.516275,\"lng\":13.377704},\"updated_at\":\"2026-03-07T14:05:09.123Z\"}}";
}

// The log as the first line finds it: no records, no file.
void forgetLog() {
  SharedUtil::removeKey(kSaveLocationServerLogs);
  std::error_code ec;
  std::filesystem::remove(LoggerManager::fileUrl(), ec);
  std::filesystem::remove(LoggerManager::previousFileUrl(), ec);
}

// The log as kEarlierLines lines of the kit leave it.  The lines are logged
// inside one settings transaction, which their records join, so that the
// folder is ready in a second rather than after ten thousand commits.
void fillLog(platform::SettingsSuite& suite) {
  forgetLog();
  suite.transaction([] {
    for (int i = 0; i < kEarlierLines; ++i) LoggerManager::sharedInstance().writeLocationToFile(logLine(i));
  });
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
    if (!mqtt->saveLocationData({samplePosition(), "M"}) || !http.saveLocationData({samplePosition(), "M"})) {
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
    sqlite3_bind_blob(bareUpsert->get(), 3, settingValue.data(), static_cast<int>(settingValue.size()), SQLITE_STATIC);
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
    double sum = 0;
    return bench::bareReplayLoop(
        bareReplay->get(),
        [&sum](sqlite3_stmt* row) {
          for (int c = 1; c < sqlite3_column_count(row); ++c) sum += sqlite3_column_bytes(row, c);
        },
        [&sum] {
          benchmark::DoNotOptimize(sum);
          sum = 0;
          return true;
        });
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

void registerAll(Stores& s) {
  int i = 0;
  registerBench("road/kit", [&s, &i](benchmark::State& st) {
    for (auto _ : st) {
      incrementLocationCount(*s.suite);
      if (!s.mqtt->saveLocationData({samplePosition(++i), "M"})) st.SkipWithError("not stored");
    }
  });
  registerBench("save/kit", [&s, &i](benchmark::State& st) {
    for (auto _ : st) {
      if (!s.mqtt->saveLocationData({samplePosition(++i), "M"})) st.SkipWithError("not stored");
    }
  });
  registerBench("insert/bare", [&s](benchmark::State& st) {
    for (auto _ : st) s.bareInsert(*s.bareMqttInsert, s.mqttRow);
  });
  registerBench("http/kit", [&s, &i](benchmark::State& st) {
    for (auto _ : st) {
      if (!s.http.saveLocationData({samplePosition(++i), "M"})) st.SkipWithError("not stored");
    }
  });
  registerBench("http-insert/bare", [&s](benchmark::State& st) {
    for (auto _ : st) s.bareInsert(*s.bareHttpInsert, s.httpRow);
  });
  registerBench("settings-write/kit", [&i](benchmark::State& st) {
    for (auto _ : st) SharedUtil::setDefaultInteger(++i % 2 + 1, kSettingKey);
  });
  registerBench("upsert/bare", [&s](benchmark::State& st) {
    for (auto _ : st) s.bareUpsertSetting();
  });
  registerBench("settings-read/kit", [](benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(SharedUtil::getDefaultInteger(kSettingKey));
  });
  registerBench("select/bare", [&s](benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(s.bareSelectSetting());
  });
  // A line of the log, the first and one after kEarlierLines: the log's
  // bounds keep the second from costing more with every line logged.
  registerBench("log-first/kit", [&i](benchmark::State& st) {
    SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
    for (auto _ : st) {
      st.PauseTiming();
      forgetLog();
      st.ResumeTiming();
      LoggerManager::sharedInstance().writeLocationToFile(logLine(++i));
    }
  });
  registerBench("log-after-earlier/kit", [&s, &i](benchmark::State& st) {
    SharedUtil::setDefaultBoolean(true, kLoggingEnabled);
    fillLog(*s.suite);
    for (auto _ : st) LoggerManager::sharedInstance().writeLocationToFile(logLine(++i));
  });
  registerBench(
      "replay/kit",
      [&s](benchmark::State& st) { timedReplay(st, s.mqttPath, s.mqttRow, [&s] { return s.kitReplayLoop(); }); })
      ->UseManualTime()
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  registerBench(
      "replay/bare",
      [&s](benchmark::State& st) { timedReplay(st, s.bareReplayPath, s.mqttRow, [&s] { return s.bareReplayLoop(); }); })
      ->UseManualTime()
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
}

// Peak RSS (kB) of the probe program run with `mode` on `folder`; -1 on failure.
long probeRss(const std::string& mode, const std::string& folder) {
  Probe probe({Probe::beside(mode == "kit" ? "pelk_bench_rss" : "pelk_bench_rss_bare"), mode, folder});
  const auto out = probe.lastLine();
  return out ? std::strtol(out->c_str(), nullptr, 10) : -1;
}

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
      {"log line: after 10000 lines vs first (us)", "log-after-earlier/kit", "log-first/kit"},
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
      std::printf(" | %10.1f %10.1f %6.2fx", k->second * f.scale, b->second * f.scale, k->second / b->second);
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

}  // namespace
}  // namespace pelk::bench

int main(int argc, char** argv) {
  using namespace pelk::bench;
  if (!initBenchmark(argc, argv)) return 2;
  Measured m = measureInFolders("pelk_bench", "pelk-bench", [](const std::string& folder, MedianCollector& collector) {
    Stores stores(folder);
    registerAll(stores);
    runRegistered(collector);
  });
  // tmpfs when there is one: the figure does not depend on the medium
  const std::string rssFolder = m.folders.empty() ? "" : m.folders.back();
  long kitRss = -1, bareRss = -1;
  if (!rssFolder.empty()) {
    const std::string probeFolder = rssFolder + "/rss";
    std::filesystem::create_directories(probeFolder);
    kitRss = probeRss("kit", probeFolder);
    bareRss = probeRss("bare", probeFolder);
  }
  printTable(m.columns, kitRss, bareRss, m.columns.empty() ? "" : m.columns.back().label);
  removeFolders(m.folders);
  benchmark::Shutdown();
  return m.failed || kitRss <= 0 || bareRss <= 0 ? 1 : 0;
}
