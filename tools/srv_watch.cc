// srv_watch: the read-only view of a DBS segment (srv_attachview) and the rate lines of
// `tolvdb stat --watch` (srv_watch).
//
// See also: srv_watch.h (the line layout), srv_stat (the full report).
#include "tools/srv_watch.h"

#include <sys/shm.h>

#include <cerrno>
#include <ctime>

#include "ba/globals.h"
#include "tools/srv_create.h"

namespace {

constexpr long kNanos = 1000000000L;

double now_seconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / kNanos;
}

// Sleeps until the monotonic clock reaches until, or a caught signal sets term_req.
void sleep_until(double until) {
  for (double left = until - now_seconds(); left > 0 && term_req == 0;
       left = until - now_seconds()) {
    timespec t{static_cast<time_t>(left),
               static_cast<long>((left - static_cast<time_t>(left)) * kNanos)};
    nanosleep(&t, nullptr);
  }
}

int dirty_buffers(const dbshead *h) {
  int n = 0;
  for (int i = 0; i < h->nlists; i++)
    for (int b = 0; b < h->lists[i].nbufs; b++)
      n += (__atomic_load_n(&h->lists[i].bufs[b].flags, __ATOMIC_RELAXED) & BF_DIRTY) != 0;
  return n;
}

uint32_t read_counter(const int32_t &c) {
  return static_cast<uint32_t>(__atomic_load_n(&c, __ATOMIC_RELAXED));
}

double rate(uint32_t a, uint32_t b, double seconds) {
  return static_cast<double>(static_cast<uint32_t>(b - a)) / seconds;
}

void rate_line(FILE *out, const srv_rates &r, int dirty) {
  char clock[16] = "-";
  time_t t = time(nullptr);
  struct tm tm;
  if (localtime_r(&t, &tm) != nullptr) strftime(clock, sizeof clock, "%H:%M:%S", &tm);
  fprintf(out, "%-8s %8.1f %9.1f %11.1f %8.1f %8.1f %6d\n", clock, r.reads, r.writes, r.flushwait,
          r.biwait, r.nofree, dirty);
  fflush(out);
}

}  // namespace

int srv_attachview(int key, const dbshead **head) {
  dbshead *h = nullptr;
  int r = srv_attachmode(key, true, &h);
  *head = h;
  return r;
}

srv_counters srv_snapshot(const dbshead *h) {
  return {read_counter(h->st_reads), read_counter(h->st_writes), read_counter(h->st_flushwait),
          read_counter(h->st_biwait), read_counter(h->st_nofree)};
}

srv_rates srv_ratesof(const srv_counters &a, const srv_counters &b, double seconds) {
  return {rate(a.reads, b.reads, seconds), rate(a.writes, b.writes, seconds),
          rate(a.flushwait, b.flushwait, seconds), rate(a.biwait, b.biwait, seconds),
          rate(a.nofree, b.nofree, seconds)};
}

int srv_watch(FILE *out, const dbshead *h, int seconds, int count) {
  fprintf(out, "time       read/s written/s flushwait/s biwait/s nofree/s  dirty\n");
  fflush(out);
  int lines = 0;
  double start = now_seconds();
  srv_counters before = srv_snapshot(h);
  while ((count == 0 || lines < count) && term_req == 0) {
    sleep_until(start + seconds);
    double end = now_seconds();
    if (term_req != 0) break;
    srv_counters after = srv_snapshot(h);
    rate_line(out, srv_ratesof(before, after, end - start), dirty_buffers(h));
    lines++;
    before = after;
    start = end;
  }
  return lines;
}
