// flush_bench: the flush pass over one list of dirty buffers against the best plain writers of
// the same pages, measured in one run, as a table.
//
// Rows: 1,024 / 8,192 / 65,536 buffers in one list, their pages either scattered at random over
// a partition of 131,072 pages or one contiguous stretch in the list's order. For each row the
// pass (ad_flush with the whole-list share, as a checkpoint runs it) is timed against, on the
// same pages in the same order through a descriptor of the same file:
//   (a) the loop of lseek + write per page,
//   (b) a loop of pwrite per page,
//   (c) a loop of pwritev over the runs of adjacent pages, by hand (at most 32 pages a call),
// and the hold of the list semaphore is taken as the time of a pass that only walks (see
// timed_walk). Each time is the best of several rounds (every round marks the buffers dirty
// again, untimed, and starts with another method); each speed ratio is the median, over the
// rounds, of the ratio within a round, so that a slow stretch of a shared machine falls on both
// sides of a ratio alike. The partition file
// lies in memory (/dev/shm when there is one), so that the figures are the costs of the writers
// and not the noise of a shared disk's write-back.
//
// The first pass of each row (fresh segment, fresh file) is reported apart, and beside it a pass
// on a file whose blocks are all new again but on the warm segment. `flush_bench --loop-first`
// makes the pwrite loop the first writer of each row instead: when its first round costs what
// the first pass costs, the extra cost of a first pass is the kernel's first writes to the
// file, not the pass.
//
// Time per page at 65,536 buffers against 1,024 is shown for the pass and for the best loop:
// 128 MiB of pages no longer fit in the processor's caches, which costs every writer alike.
//
// Goals: time per page at 65,536 within 1.2x of that at 1,024; scattered pages at least 0.95
// of the pwrite loop; contiguous pages at least 0.9 of the pwritev loop and 4x the lseek +
// write loop; the list semaphore held at most 0.1 us per examined buffer. Beside the 4x goal
// the pwritev loop's own speed against lseek + write is printed: no writer gets more on this
// machine, as each page still costs the kernel's copy into the page cache, which no merging of
// system calls saves (and which grows once the pages no longer fit in the caches).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

#include "bm/bm_proto.h"
#include "flush/ad_check.h"
#include "testing/segment.h"

namespace {

constexpr int kSizes[] = {1024, 8192, 65536};
constexpr int kPages = 131072;       // pages of the dbspace and its partition
constexpr int kRunPages = 32;        // pages per call of the by-hand pwritev loop
constexpr int kPagesPerRow = 150000;  // pages written per method and row, over all rounds
constexpr int kMinRounds = 15;

enum layout { SCATTERED, CONTIGUOUS };

std::string device;

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Pages of n buffers: distinct random pages (a fixed seed), or n consecutive pages.
std::vector<int32_t> page_plan(int n, layout l) {
  std::vector<int32_t> pages(kPages);
  for (int i = 0; i < kPages; i++) pages[i] = i;
  std::mt19937 rng(4711);
  if (l == SCATTERED) std::shuffle(pages.begin(), pages.end(), rng);
  pages.resize(n);
  return pages;
}

// Gives the buffers of the chain their pages.
void assign(buflist *list, const std::vector<int32_t> &pages) {
  int i = 0;
  for (pagebuf *b = list->head; b != nullptr; b = b->next, i++) {
    memset(b->page, 0, PAGESIZE);
    pg_setword(b->page, PH_PAGENR, pages[i]);
  }
}

// Marks every buffer dirty with changed contents, as updates would.
void dirty_all(buflist *list) {
  for (pagebuf *b = list->head; b != nullptr; b = b->next) {
    b->page[100]++;
    b->flags = BF_DIRTY;
  }
}

off_t pos_of(const pagebuf *b) { return static_cast<off_t>(pg_word(b->page, PH_PAGENR)) * PAGESIZE; }

bool lseek_write_loop(int fd, buflist *list) {
  for (pagebuf *b = list->head; b != nullptr; b = b->next) {
    if (lseek(fd, pos_of(b), SEEK_SET) < 0 || write(fd, b->page, PAGESIZE) != PAGESIZE)
      return false;
  }
  return true;
}

bool pwrite_loop(int fd, buflist *list) {
  for (pagebuf *b = list->head; b != nullptr; b = b->next)
    if (pwrite(fd, b->page, PAGESIZE, pos_of(b)) != PAGESIZE) return false;
  return true;
}

// The best any writer could do without reordering: each run of adjacent pages in one call.
bool pwritev_loop(int fd, buflist *list) {
  struct iovec iov[kRunPages];
  pagebuf *b = list->head;
  while (b != nullptr) {
    off_t start = pos_of(b);
    int n = 0;
    for (; b != nullptr && n < kRunPages && pos_of(b) == start + off_t{n} * PAGESIZE; b = b->next)
      iov[n++] = {b->page, PAGESIZE};
    if (pwritev(fd, iov, n, start) != static_cast<ssize_t>(n) * PAGESIZE) return false;
  }
  return true;
}

// The walk of a pass under the list semaphore, alone: every buffer dirty but fixed, so that the
// pass examines the whole chain and collects and writes nothing. This is the hold of the list
// semaphore less the two flag stores per collected buffer (into a line the walk has just read).
double timed_walk(buflist *list) {
  for (pagebuf *b = list->head; b != nullptr; b = b->next) {
    b->flags = BF_DIRTY;
    b->fixcnt = 1;
  }
  double t = now();
  ad_flush(list, AD_ALLBUFFERS);
  t = now() - t;
  for (pagebuf *b = list->head; b != nullptr; b = b->next) b->fixcnt = 0;
  return t;
}

enum method { PASS, LSEEK_WRITE, PWRITE, PWRITEV, METHODS };
method first_writer = PASS;  // the method of each row's first, reported round

struct row {
  int n;
  layout l;
  double first;                        // the first pass, fresh segment and new file blocks (s)
  double newblocks;                    // a later pass on new file blocks (s)
  double best[METHODS];                // best round of each method (s)
  double speed[METHODS];               // median over the rounds of (method time / pass time)
  double ceiling;                      // the same of lseek+write against the pwritev loop
  double hold;                         // the walk under the list semaphore, best round (s)
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One round of method m over the list; false when a loop's write fails.
bool timed_method(method m, int fd, buflist *list, double *t) {
  dirty_all(list);
  bool ok = true;
  *t = now();
  switch (m) {
    case PASS: ad_flush(list, AD_ALLBUFFERS); break;
    case LSEEK_WRITE: ok = lseek_write_loop(fd, list); break;
    case PWRITE: ok = pwrite_loop(fd, list); break;
    case PWRITEV: ok = pwritev_loop(fd, list); break;
    case METHODS: break;
  }
  *t = now() - *t;
  return ok;
}

// Fresh, sparse partition file: every block is new to the file system.
bool fresh_device() {
  int fd = open(device.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0660);
  bool ok = fd >= 0 && ftruncate(fd, off_t{kPages} * PAGESIZE) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// Runs one row on a fresh segment of one list of n buffers. False on a failure (printed).
bool run_row(int n, layout l, row *r) {
  srv_geometry g = tolvtest::small_geometry(device);
  g.nlists = 1;
  g.nbufs = n;
  g.spaces[0].npages = kPages;
  g.spaces[0].parts[0].size = kPages * PAGESIZE;
  tolvtest::Segment seg;
  int rc = seg.create(g);
  if (rc != SRV_OK || !fresh_device()) {
    fprintf(stderr, "flush_bench: no segment or device: %s\n", srv_strerror(rc));
    return false;
  }
  tolvtest::register_slot(0, "TOLVFLUSH");
  buflist *list = &bm_dbs->lists[0];
  assign(list, page_plan(n, l));
  int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
  *r = {n, l, 0, 0, {}, {}, 0, 1e9};
  bool ok = fd >= 0 && timed_method(first_writer, fd, list, &r->first);
  int rounds = std::max(kMinRounds, kPagesPerRow / n);
  std::vector<double> times[METHODS], ceilings;
  for (int i = 0; i < rounds && ok; i++) {
    double t[METHODS];
    for (int j = 0; j < METHODS && ok; j++) {
      method m = static_cast<method>((i + j) % METHODS);
      ok = timed_method(m, fd, list, &t[m]);
    }
    for (int m = 0; m < METHODS && ok; m++) times[m].push_back(t[m] / t[PASS]);
    if (ok) ceilings.push_back(t[LSEEK_WRITE] / t[PWRITEV]);
    for (int m = 0; m < METHODS && ok; m++)
      r->best[m] = i == 0 ? t[m] : std::min(r->best[m], t[m]);
    r->hold = std::min(r->hold, timed_walk(list));
  }
  for (int m = 0; m < METHODS && ok; m++) r->speed[m] = median(times[m]);
  if (ok) r->ceiling = median(ceilings);
  ok = ok && fresh_device() && timed_method(PASS, fd, list, &r->newblocks);
  if (fd >= 0) close(fd);
  if (!ok) perror("flush_bench: baseline write");
  return ok;
}

void print_row(const row &r) {
  double us = 1e6 / r.n;  // seconds of the row to microseconds per page
  printf("%7d %-10s %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f   %6.2f %6.2f %6.2f   %8.1f %7.4f\n",
         r.n, r.l == SCATTERED ? "scattered" : "contiguous", r.first * us, r.newblocks * us,
         r.best[PASS] * us, r.best[LSEEK_WRITE] * us, r.best[PWRITE] * us, r.best[PWRITEV] * us,
         r.speed[LSEEK_WRITE], r.speed[PWRITE], r.speed[PWRITEV], r.hold * 1e6, r.hold * 1e6 / r.n);
}

void print_goals(const std::vector<row> &rows) {
  auto find = [&](int n, layout l) {
    for (const row &r : rows)
      if (r.n == n && r.l == l) return r;
    return rows.front();
  };
  printf("\nGoals (ratios of the rows above):\n");
  for (layout l : {SCATTERED, CONTIGUOUS}) {
    const row &small = find(kSizes[0], l), &large = find(kSizes[2], l);
    double pass = (large.best[PASS] / large.n) / (small.best[PASS] / small.n);
    double best_small = *std::min_element(small.best + 1, small.best + METHODS);
    double best_large = *std::min_element(large.best + 1, large.best + METHODS);
    double loop = (best_large / large.n) / (best_small / small.n);
    printf("  %-10s time per page, 65,536 / 1,024: pass %5.2f, best loop %5.2f, pass relative"
           " to the loop %5.2f (goal at most 1.2)\n",
           l == SCATTERED ? "scattered" : "contiguous", pass, loop, pass / loop);
  }
  double worst_scatter = 1e9, worst_run = 1e9, worst_lseek = 1e9, ceiling = 0, worst_hold = 0;
  for (const row &r : rows) {
    worst_hold = std::max(worst_hold, r.hold * 1e6 / r.n);
    if (r.l == SCATTERED) worst_scatter = std::min(worst_scatter, r.speed[PWRITE]);
    if (r.l == CONTIGUOUS) {
      worst_run = std::min(worst_run, r.speed[PWRITEV]);
      if (r.speed[LSEEK_WRITE] < worst_lseek) ceiling = r.ceiling;
      worst_lseek = std::min(worst_lseek, r.speed[LSEEK_WRITE]);
    }
  }
  printf("  scattered:  pass against the pwrite loop, worst row:    %5.2f (goal at least 0.95)\n",
         worst_scatter);
  printf("  contiguous: pass against the pwritev loop, worst row:   %5.2f (goal at least 0.9)\n",
         worst_run);
  printf("  contiguous: pass against lseek + write, worst row:      %5.2f (goal at least 4; the"
         " pwritev loop in that row: %.2f)\n",
         worst_lseek, ceiling);
  printf("  list semaphore held per examined buffer, worst row: %7.4f us (goal at most 0.1)\n",
         worst_hold);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 2 || (argc == 2 && strcmp(argv[1], "--loop-first") != 0)) {
    fprintf(stderr, "usage: flush_bench [--loop-first]\n");
    return 2;
  }
  first_writer = argc == 2 ? PWRITE : PASS;
  tolvtest::TempInstall inst;
  tolvtest::use_settings(inst);
  char shm[] = "/dev/shm/flush_bench.XXXXXX";
  bool in_memory = access("/dev/shm", W_OK) == 0 && mkdtemp(shm) != nullptr;
  device = in_memory ? std::string(shm) + "/rootdbs" : inst.path("rootdbs");
  printf("Flush pass over one list of dirty buffers; us per page (best round), speed of the pass\n"
         "against each loop (loop time / pass time), longest list-semaphore hold.\n\n");
  printf("%7s %-10s %8s %8s %8s %8s %8s %8s   %6s %6s %6s   %8s %7s\n", "buffers", "pages",
         first_writer == PASS ? "1stpass" : "1stloop", "newblk", "pass", "lseek+w", "pwrite", "pwritev", "xlseek", "xpwr", "xpwrv", "walk us",
         "us/buf");
  std::vector<row> rows;
  for (int n : kSizes)
    for (layout l : {SCATTERED, CONTIGUOUS}) {
      row r;
      if (!run_row(n, l, &r)) return 1;
      print_row(r);
      fflush(stdout);
      rows.push_back(r);
    }
  print_goals(rows);
  unlink(device.c_str());
  if (in_memory) rmdir(shm);
  return 0;
}
