// flush_bench: one flush pass over buffer lists full of dirty buffers against the plain loop of
// lseek + write of the same pages to the same partition file, measured in one run.
//
// The DBS has 8 lists of 1024 buffers (8192 in all), every buffer holding a distinct dirty page
// of a 10000-page dbspace on a partition file of the benchmark's temporary installation. Each
// iteration marks every buffer dirty again (not timed) and then times either ad_flush over all
// lists with the whole-list share (what a checkpoint does, and what the daemon's pass does with
// flushpct -1), or the baseline loop. Both write the same 8192 pages, in the same order, through
// a descriptor of the same file. Printed: pages per second of each and their ratio.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>

#include "bm/bm_proto.h"
#include "flush/ad_check.h"
#include "testing/segment.h"

namespace {

constexpr int kLists = 8;
constexpr int kBufsPerList = 1024;
constexpr int kBuffers = kLists * kBufsPerList;
constexpr int kPages = 10000;  // pages of the dbspace

std::string device;

// Page j of list l: the pages p with (p >> 3) mod kLists == l, in ascending order.
int32_t page_of(int l, int j) { return (j / 8) * 8 * kLists + l * 8 + j % 8; }

// Gives every buffer its page and marks it dirty, as updates would.
void dirty_all() {
  for (int l = 0; l < kLists; l++) {
    pagebuf *b = bm_dbs->lists[l].head;
    for (int j = 0; b != nullptr; j++, b = b->next) {
      pg_setword(b->page, PH_PAGENR, page_of(l, j));
      b->page[100]++;
      b->flags = BF_DIRTY;
    }
  }
}

void BM_FlushPass(benchmark::State &state) {
  for (auto _ : state) {
    dirty_all();
    auto start = std::chrono::steady_clock::now();
    for (int l = 0; l < kLists; l++) ad_flush(&bm_dbs->lists[l], AD_ALLBUFFERS);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
  }
  state.SetItemsProcessed(state.iterations() * kBuffers);
}
BENCHMARK(BM_FlushPass)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_LseekWriteLoop(benchmark::State &state) {
  int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
  for (auto _ : state) {
    dirty_all();
    auto start = std::chrono::steady_clock::now();
    for (int l = 0; l < kLists; l++)
      for (pagebuf *b = bm_dbs->lists[l].head; b != nullptr; b = b->next) {
        lseek(fd, static_cast<off_t>(pg_word(b->page, PH_PAGENR)) * PAGESIZE, SEEK_SET);
        if (write(fd, b->page, PAGESIZE) != PAGESIZE) state.SkipWithError("write failed");
      }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
  }
  close(fd);
  state.SetItemsProcessed(state.iterations() * kBuffers);
}
BENCHMARK(BM_LseekWriteLoop)->UseManualTime()->Unit(benchmark::kMillisecond);

// The console report, keeping each benchmark's pages per second.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs)
      if (r.run_type == Run::RT_Iteration) {
        double seconds = r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
        rate_[r.run_name.function_name] = kBuffers / seconds;
      }
    ConsoleReporter::ReportRuns(runs);
  }
  void print_ratio() const {
    auto a = rate_.find("BM_FlushPass"), b = rate_.find("BM_LseekWriteLoop");
    if (a == rate_.end() || b == rate_.end()) return;
    printf("\nflush pass over %d dirty buffers   %10.0f pages/s\n", kBuffers, a->second);
    printf("baseline lseek + write loop        %10.0f pages/s\n", b->second);
    printf("ratio %.2f (goal: at least 0.90)\n", a->second / b->second);
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
    perror("flush_bench: partition file");
    return 1;
  }
  close(fd);
  srv_geometry g = tolvtest::small_geometry(device);
  g.nlists = kLists;
  g.nbufs = kBufsPerList;
  g.spaces[0].npages = kPages;
  g.spaces[0].parts[0].size = kPages * PAGESIZE;
  tolvtest::Segment seg;
  int r = seg.create(g);
  if (r != SRV_OK) {
    fprintf(stderr, "flush_bench: no segment: %s\n", srv_strerror(r));
    return 1;
  }
  tolvtest::register_slot(0, "TOLVFLUSH");

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratio();
  benchmark::Shutdown();
  return 0;
}
