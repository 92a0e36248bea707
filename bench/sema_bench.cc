// sema_bench: the cost of the segment semaphores (bm_p/bm_v) against a process-shared pthread
// mutex living in the same segment, measured in one run.
//
//  - uncontended: one bm_p + bm_v pair, against one lock + unlock pair of the mutex (baseline);
//  - contended: two processes each doing kPairs lock/increment/unlock rounds on one bmsema,
//    against the same with the mutex (baseline); wall time from a common start line until both
//    are done.
// After the runs each figure is printed with its ratio to its baseline. The segment is made by
// the DBS server stand-in under a fresh key and removed at the end.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "bm/bm_globals.h"
#include "bm/bm_sema.h"
#include "testing/segment.h"

namespace {

constexpr int kPairs = 500000;  // rounds per process in the contended runs

pthread_mutex_t *shm_mutex;  // in the segment, PTHREAD_PROCESS_SHARED
volatile int32_t *counter;   // in the segment: the work done under the lock
volatile int32_t *ready;     // in the segment: the contended runs' start line

void init_shared_mutex(void *at) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  shm_mutex = static_cast<pthread_mutex_t *>(at);
  pthread_mutex_init(shm_mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

void sema_round() {
  bm_p(bm_dbs->usersem);
  *counter = *counter + 1;
  bm_v(bm_dbs->usersem);
}

void mutex_round() {
  pthread_mutex_lock(shm_mutex);
  *counter = *counter + 1;
  pthread_mutex_unlock(shm_mutex);
}

void BM_SemaPair(benchmark::State &state) {
  bmsema *s = bm_dbs->usersem;
  for (auto _ : state) {
    bm_p(s);
    bm_v(s);
  }
}
BENCHMARK(BM_SemaPair);

void BM_MutexPair(benchmark::State &state) {
  for (auto _ : state) {
    pthread_mutex_lock(shm_mutex);
    pthread_mutex_unlock(shm_mutex);
  }
}
BENCHMARK(BM_MutexPair);

// Two registered processes (user slots 1 and 2) run kPairs rounds each from a common start.
void contended(benchmark::State &state, void (*round)()) {
  for (auto _ : state) {
    *ready = 0;
    std::vector<pid_t> kids;
    for (int p = 0; p < 2; p++)
      kids.push_back(tolvtest::fork_child([p, round] {
        tolvtest::register_slot(p + 1);
        __atomic_fetch_add(ready, 1, __ATOMIC_SEQ_CST);
        while (__atomic_load_n(ready, __ATOMIC_SEQ_CST) < 3) sched_yield();
        for (int i = 0; i < kPairs; i++) round();
        return 0;
      }));
    while (__atomic_load_n(ready, __ATOMIC_SEQ_CST) < 2) sched_yield();
    auto start = std::chrono::steady_clock::now();
    __atomic_fetch_add(ready, 1, __ATOMIC_SEQ_CST);
    for (pid_t k : kids) tolvtest::wait_child(k, 600);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
  }
  state.SetItemsProcessed(state.iterations() * 2 * kPairs);
}

void BM_SemaContended(benchmark::State &state) { contended(state, sema_round); }
BENCHMARK(BM_SemaContended)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_MutexContended(benchmark::State &state) { contended(state, mutex_round); }
BENCHMARK(BM_MutexContended)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// The console report, keeping each benchmark's time per iteration in nanoseconds.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs)
      if (r.run_type == Run::RT_Iteration)
        ns_[r.run_name.function_name] = r.GetAdjustedRealTime() /
                                        benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e9;
    ConsoleReporter::ReportRuns(runs);
  }
  void print_ratio(const char *what, const std::string &name, const std::string &base,
                   double per) const {
    auto a = ns_.find(name), b = ns_.find(base);
    if (a == ns_.end() || b == ns_.end()) return;
    printf("%-34s %10.1f ns per pair  (baseline %s %.1f ns)  ratio %.2f\n", what,
           a->second / per, base.c_str(), b->second / per, a->second / b->second);
  }

 private:
  std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  tolvtest::TempInstall inst;
  tolvtest::use_settings(inst);
  tolvtest::Segment seg;
  int r = seg.create(tolvtest::small_geometry());
  if (r != SRV_OK) {
    fprintf(stderr, "sema_bench: no segment: %s\n", srv_strerror(r));
    return 1;
  }
  counter = reinterpret_cast<int32_t *>(bm_dbs->lists[0].bufs[0].page + PH_DATA);
  ready = counter + 1;
  init_shared_mutex(bm_dbs->images);
  tolvtest::register_slot(0);

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\n");
  reporter.print_ratio("uncontended bm_p + bm_v", "BM_SemaPair", "BM_MutexPair", 1);
  reporter.print_ratio("two processes, bm_p + bm_v", "BM_SemaContended", "BM_MutexContended",
                       2.0 * kPairs);
  printf("(goal: uncontended ratio at most 1.50; contended ratio < 1 is faster than the mutex)\n");
  benchmark::Shutdown();
  return 0;
}
