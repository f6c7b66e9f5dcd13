#pragma once

// What the benchmark programs share: their folders, the registration of a
// benchmark, the timed replay, the medians they keep, the replay loop on bare
// SQLite and the probe programs they start.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "BareSqlite.h"
#include "storage/LocalEntities.h"
#include "storage/MQTTDataStorageManager.h"

namespace pelk::bench {

constexpr int kReplayRows = 10000;

// A fresh folder under `parent` named after `prefix`; nothing when it cannot be made.
inline std::optional<std::string> makeFolder(const std::string& parent, const std::string& prefix) {
  std::string tmpl = parent + "/" + prefix + "-XXXXXX";
  if (!::mkdtemp(tmpl.data())) return std::nullopt;
  return tmpl;
}

inline bool writable(const std::string& dir) { return ::access(dir.c_str(), W_OK) == 0; }

// Google benchmark's flags, with the repetitions of the kit and its baseline
// alternating so that drift in the machine's load reaches both alike.  False
// when a flag was not understood.
inline bool initBenchmark(int argc, char** argv) {
  std::vector<char*> args{argv[0], const_cast<char*>("--benchmark_enable_random_interleaving=true")};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  return !benchmark::ReportUnrecognizedArguments(n, args.data());
}

// The parent folders, labelled: PELK_BENCH_DISK (default /var/tmp) and
// PELK_BENCH_TMPFS (default /dev/shm, left out when it cannot be written).
inline std::vector<std::pair<std::string, std::string>> parentFolders() {
  const char* diskEnv = std::getenv("PELK_BENCH_DISK");
  const char* shmEnv = std::getenv("PELK_BENCH_TMPFS");
  std::vector<std::pair<std::string, std::string>> parents{{"disk", diskEnv ? diskEnv : "/var/tmp"}};
  const std::string shm = shmEnv ? shmEnv : "/dev/shm";
  if (writable(shm)) parents.emplace_back("tmpfs", shm);
  return parents;
}

inline void removeFolders(const std::vector<std::string>& folders) {
  for (const auto& f : folders) {
    std::error_code ec;
    std::filesystem::remove_all(f, ec);
  }
}

// A benchmark in microseconds, seven repetitions, only their aggregates reported.
template <class Fn>
benchmark::internal::Benchmark* registerBench(const char* name, Fn fn) {
  return benchmark::RegisterBenchmark(name, fn)
      ->Unit(benchmark::kMicrosecond)
      ->Repetitions(7)
      ->ReportAggregatesOnly(true);
}

// The table at `path` filled with kReplayRows copies of `row`, then `body`
// timed alone; it must take every row.
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

// The replay's loop on plain SQLite: count, then pages of the oldest unsent
// rows, each row handed to `readRow`, the page to `sendPage` (false stops the
// loop), then deleted by key in one transaction, until none are left.
// Returns the rows sent.
template <class ReadRow, class SendPage>
std::int64_t bareReplayLoop(sqlite3* db, ReadRow readRow, SendPage sendPage) {
  Statement count(db, std::string("SELECT count(*) FROM ") + MqttLocationData::entityName);
  count.step();
  Statement page(db, std::string("SELECT * FROM ") + MqttLocationData::entityName +
                         " WHERE mqtt_id = 0 ORDER BY pk LIMIT ? OFFSET 0");
  Statement del(db, std::string("DELETE FROM ") + MqttLocationData::entityName + " WHERE pk = ?");
  std::int64_t done = 0;
  for (;;) {
    std::vector<std::int64_t> keys;
    sqlite3_bind_int(page.get(), 1, MQTTDataStorageManager::kPageSize);
    while (page.step()) {
      keys.push_back(sqlite3_column_int64(page.get(), 0));
      readRow(page.get());
    }
    page.reset();
    if (keys.empty()) break;
    if (!sendPage()) return done;
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

// The median of `values` (the mean of the middle two for an even count);
// NaN for none.
inline double median(std::vector<double> values) {
  if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
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

// The medians measured in one folder, under its label.
struct Column {
  std::string label;
  std::map<std::string, double> medians;
};

// What the benchmarks measured in each folder, and the folders to remove.
struct Measured {
  std::vector<Column> columns;
  std::vector<std::string> folders;
  bool failed = false;
};

// The benchmarks run once in a fresh folder (named after `prefix`) under each
// of parentFolders(): `measure(folder, collector)` builds what they use,
// registers them and runs them with the collector (runRegistered).  What
// fails is said on stderr under `program`, and the run counts as failed.
template <class Measure>
Measured measureInFolders(const char* program, const std::string& prefix, Measure measure) {
  Measured measured;
  for (const auto& [label, parent] : parentFolders()) {
    const auto folder = makeFolder(parent, prefix);
    if (!folder) {
      std::fprintf(stderr, "%s: cannot make a folder in %s\n", program, parent.c_str());
      continue;
    }
    measured.folders.push_back(*folder);
    std::fprintf(stderr, "%s: %s in %s\n", program, label.c_str(), folder->c_str());
    MedianCollector collector;
    try {
      measure(*folder, collector);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", program, e.what());
      measured.failed = true;
    }
    measured.failed = measured.failed || collector.failed;
    measured.columns.push_back({label, collector.medians});
  }
  return measured;
}

// Runs the registered benchmarks into `collector`, then forgets them.
inline void runRegistered(MedianCollector& collector) {
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::ClearRegisteredBenchmarks();
}

// A probe program (a binary beside this one) started with its output on a
// pipe; probes started one after another run side by side.
class Probe {
 public:
  explicit Probe(const std::vector<std::string>& args) : name_(args.at(0)) {
    if (::pipe(fds_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds_[1], 1);
      ::close(fds_[0]);
      ::close(fds_[1]);
      std::vector<char*> argv;
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(fds_[1]);
    if (pid_ < 0) ::close(fds_[0]);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  // The path of the probe `name` beside this program.
  static std::string beside(const std::string& name) {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / name).string();
  }

  // Waits for the probe to end: its last line of output, or nothing when it
  // did not start or ended with an error.
  std::optional<std::string> lastLine(int* statusOut = nullptr, std::string* outputOut = nullptr) {
    if (pid_ <= 0) return std::nullopt;
    std::string out;
    char buf[64];
    ssize_t n;
    while ((n = ::read(fds_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    ::close(fds_[0]);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (statusOut) *statusOut = status;
    // The kit may print lines of its own before the figures.
    while (!out.empty() && out.back() == '\n') out.pop_back();
    const auto nl = out.rfind('\n');
    std::string last = out.substr(nl == std::string::npos ? 0 : nl + 1);
    if (outputOut) *outputOut = std::move(out);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return last;
  }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  int fds_[2] = {-1, -1};
  pid_t pid_ = -1;
};

}  // namespace pelk::bench
