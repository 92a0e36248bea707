// log_bench: appends to the logical log against by-hand loops writing the same bytes, in one run.
//
// Unforced appends of 100- and 1000-byte records (bm_wrtlog: logsem, the copy into the shared
// page, a page write whenever the page is full, a log switch now and then with auto-free on)
// against the baseline that copies the same bytes into a page buffer and writes each full page
// with one pwrite to the same partition file. Forced appends of 100-byte records (commits: the
// page write and fdatasync of the partition each) against a loop of one page pwrite plus
// fdatasync. Printed: records per second and MB per second of each, and the ratios (goals: 0.8
// for unforced 1000-byte records, 0.9 for forced appends).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "bm/bm_proto.h"
#include "testing/segment.h"
#include "tools/srv_format.h"

namespace {

constexpr int kPages = 8000;        // pages of the dbspace
constexpr int kLogFirst = 10;       // the log area: 3 files of 2000 pages
constexpr int kLogFilePages = 2000;
constexpr int kBatch = 4096;        // unforced records per timed iteration
constexpr int kForcedBatch = 64;    // forced records per timed iteration

std::string device;

std::vector<unsigned char> record(int len) {
  std::vector<unsigned char> r(static_cast<size_t>(len), 'x');
  pg_setword(r.data(), LR_LENGTH, len);
  pg_setword(r.data(), LR_USER, 1);
  r[LR_TYPE] = 1;
  lr_settrailer(r.data() + len - LR_TRAILLEN, len);
  return r;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

void BM_Append(benchmark::State &state) {
  int len = static_cast<int>(state.range(0));
  std::vector<unsigned char> r = record(len);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; i++)
      if (bm_wrtlog(len, r.data(), 0) == nullptr) state.SkipWithError("bm_wrtlog failed");
    state.SetIterationTime(seconds_since(start));
  }
}
BENCHMARK(BM_Append)->Arg(100)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same bytes into a page buffer, each full page written with one pwrite to the log area.
void BM_PageCopyWrite(benchmark::State &state) {
  int len = static_cast<int>(state.range(0));
  std::vector<unsigned char> r = record(len);
  int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
  unsigned char page[PAGESIZE] = {};
  int used = 0, pageidx = 1;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; i++) {
      for (int done = 0; done < len;) {
        int n = std::min(len - done, LOG_DATASIZE - used);
        memcpy(page + PH_DATA + used, r.data() + done, static_cast<size_t>(n));
        used += n;
        done += n;
        if (used < LOG_DATASIZE) continue;
        off_t pos = off_t{kLogFirst + pageidx} * PAGESIZE;
        if (pwrite(fd, page, PAGESIZE, pos) != PAGESIZE) state.SkipWithError("pwrite failed");
        pageidx = pageidx % (3 * kLogFilePages - 1) + 1;
        used = 0;
      }
    }
    state.SetIterationTime(seconds_since(start));
  }
  close(fd);
}
BENCHMARK(BM_PageCopyWrite)->Arg(100)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond);

// Syncs the partition file, untimed: the pages earlier benchmarks left in the page cache must
// not be charged to the first forced write of either side.
void settle() {
  int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0) fdatasync(fd);
  if (fd >= 0) close(fd);
}

void BM_ForcedAppend(benchmark::State &state) {
  std::vector<unsigned char> r = record(100);
  settle();
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kForcedBatch; i++)
      if (bm_wrtlog(100, r.data(), 1) == nullptr) state.SkipWithError("bm_wrtlog failed");
    state.SetIterationTime(seconds_since(start));
  }
}
BENCHMARK(BM_ForcedAppend)->Arg(100)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_WriteSync(benchmark::State &state) {
  settle();
  int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
  unsigned char page[PAGESIZE] = {};
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kForcedBatch; i++) {
      page[PH_DATA + i % LOG_DATASIZE]++;
      if (pwrite(fd, page, PAGESIZE, off_t{kLogFirst + 1} * PAGESIZE) != PAGESIZE ||
          fdatasync(fd) != 0)
        state.SkipWithError("write or sync failed");
    }
    state.SetIterationTime(seconds_since(start));
  }
  close(fd);
}
BENCHMARK(BM_WriteSync)->Arg(100)->UseManualTime()->Unit(benchmark::kMillisecond);

// The console report, keeping each benchmark's records per second.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs)
      if (r.run_type == Run::RT_Iteration) {
        double seconds = r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
        bool forced = r.run_name.function_name == "BM_ForcedAppend" ||
                      r.run_name.function_name == "BM_WriteSync";
        rate_[r.run_name.str()] = (forced ? kForcedBatch : kBatch) / seconds;
      }
    ConsoleReporter::ReportRuns(runs);
  }
  void print_ratio(const char *what, const std::string &a, const std::string &b, int len,
                   double goal) const {
    auto x = rate_.find(a), y = rate_.find(b);
    if (x == rate_.end() || y == rate_.end()) return;
    printf("%-38s %10.0f records/s %8.1f MB/s\n", a.c_str(), x->second, x->second * len / 1e6);
    printf("%-38s %10.0f records/s %8.1f MB/s\n", b.c_str(), y->second, y->second * len / 1e6);
    printf("ratio %s: %.2f", what, x->second / y->second);
    if (goal > 0) printf(" (goal: at least %.2f)", goal);
    printf("\n\n");
  }

 private:
  std::map<std::string, double> rate_;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  tolvtest::TempInstall inst;
  tolvtest::use_settings(inst);
  device = inst.path("rootdbs");
  int fd = open(device.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0660);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(kPages) * PAGESIZE) != 0) {
    perror("log_bench: partition file");
    return 1;
  }
  close(fd);
  srv_geometry g = tolvtest::small_geometry(device);
  g.spaces[0].npages = kPages;
  g.spaces[0].parts[0].size = kPages * PAGESIZE;
  g.logfirst = kLogFirst;
  g.logfilepages = kLogFilePages;
  g.bifirst = kLogFirst + 3 * kLogFilePages;
  g.bilast = g.bifirst + 31;
  tolvtest::Segment seg;
  int r = seg.create(g);
  std::string why;
  if (r != SRV_OK || srv_format(g, &why) != SRV_OK) {
    fprintf(stderr, "log_bench: no DBS: %s %s\n", srv_strerror(r), why.c_str());
    return 1;
  }
  tolvtest::register_slot(0, "LOGBENCH");
  bm_dbs->logctl.lc_autofree = 1;  // the ring wraps without a backup
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\n");
  reporter.print_ratio("unforced 100-byte records", "BM_Append/100/manual_time",
                       "BM_PageCopyWrite/100/manual_time", 100, 0.0);
  reporter.print_ratio("unforced 1000-byte records", "BM_Append/1000/manual_time",
                       "BM_PageCopyWrite/1000/manual_time", 1000, 0.8);
  reporter.print_ratio("forced 100-byte records", "BM_ForcedAppend/100/manual_time",
                       "BM_WriteSync/100/manual_time", 100, 0.9);
  benchmark::Shutdown();
  return 0;
}
