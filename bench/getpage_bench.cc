// getpage_bench: page requests and a durable before-image batch on a real segment and partition
// file, against baselines measured in the same run, as a table.
//
//  - hit: bm_getpage (read fix) + bm_unfix of a page already buffered, against one uncontended
//    bm_p + bm_v pair on the semaphore a request takes (its list's). Goal: at most 10 pairs.
//  - miss: read-only requests cycling over kCycle pages of one list of kBufs buffers, so that
//    every request replaces the least recently used (clean) buffer and reads its page; against
//    the same pair and against one pread of a page of the same file (the I/O of a miss; the
//    pages are in the page cache, so this is the cost of the system call and the copy), and
//    against an lseek + read of one page, the way the page I/O reads.
//  - batch: bm_saveimagebuf(1) of 10 images taken by bm_saveimg (one write of the run and one
//    fdatasync), against the same 10 pages written by hand at the same places, one pwrite each,
//    and one fdatasync. Goal: within 1.1x. The area is reset between batches as a checkpoint
//    does (binext back to bifirst, every bitab entry free).
// The request figures are the best of several rounds; the sync-bound figures the median of
// rounds that alternate between the two sides, so that the disk's drift hits both alike. The
// partition file lies in the temporary installation, on the machine's disk.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "ba/globals.h"
#include "bm/bm_proto.h"
#include "testing/segment.h"
#include "tools/srv_format.h"

namespace {

constexpr int kPages = 4096;       // pages of the dbspace and its partition file
constexpr int kBufs = 64;          // buffers of the one list
constexpr int32_t kData = 200;     // the pages requested: kData .. kData + kCycle - 1
constexpr int kCycle = 512;        // eight times the list: every request of the cycle misses
constexpr int kHitReqs = 200000;   // requests (or pairs) per round of the hit and the pair
constexpr int32_t kHitPage = kData + kCycle;  // outside the cycle: gone before the misses
constexpr int kMissReqs = 40 * kCycle;  // per round of the miss and the reads: whole cycles, so
                                        // that a round does not begin on pages still buffered
constexpr int kRounds = 7;         // rounds of the request figures (best taken)
constexpr int kBatch = BI_BATCHMIN;
constexpr int kMaxSyncRounds = 2000;   // rounds of the batch figures, at most ...
constexpr double kSyncSeconds = 25.0;  // ... or until this much time went into them

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Best time of n calls of f over kRounds rounds, in ns per call; negative when a call failed.
double best_ns(int n, const std::function<bool(int)> &f) {
  double best = 1e30;
  for (int r = 0; r < kRounds; r++) {
    double t = now();
    for (int i = 0; i < n; i++)
      if (!f(i)) return -1;
    best = std::min(best, now() - t);
  }
  return best * 1e9 / n;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool request(int32_t pagenr) {
  pagebuf *b = bm_getpage(pagenr, 0, nullptr);
  if (b == nullptr) {
    fprintf(stderr, "getpage_bench: page %d: iserrno %d\n", pagenr, iserrno);
    return false;
  }
  bm_unfix(b);
  return true;
}

bool pread_page(int fd, int32_t pagenr, unsigned char *page) {
  if (pread(fd, page, PAGESIZE, off_t{pagenr} * PAGESIZE) == PAGESIZE) return true;
  perror("getpage_bench: pread");
  return false;
}

// The read as the page I/O does it: a seek, then a read.
bool seek_read_page(int fd, int32_t pagenr, unsigned char *page) {
  if (lseek(fd, off_t{pagenr} * PAGESIZE, SEEK_SET) >= 0 && read(fd, page, PAGESIZE) == PAGESIZE)
    return true;
  perror("getpage_bench: lseek + read");
  return false;
}

struct figures {
  double pair, pread, seekread, hit, miss;  // ns per call
  int32_t hits_in_misses;                   // hits counted during the miss rounds (none)
  double batch, byhand;                     // median s per batch
  int syncrounds;
};

bool measure_requests(int fd, figures *f) {
  bmsema *s = &bm_pagelist(kData)->sema;
  f->pair = best_ns(kHitReqs, [s](int) {
    bm_p(s);
    bm_v(s);
    return true;
  });
  f->hit = request(kHitPage) ? best_ns(kHitReqs, [](int) { return request(kHitPage); }) : -1;
  int32_t hits = bm_dbs->st_hits;
  f->miss = best_ns(kMissReqs, [](int i) { return request(kData + i % kCycle); });
  f->hits_in_misses = bm_dbs->st_hits - hits;
  unsigned char page[PAGESIZE];
  f->pread = best_ns(kMissReqs, [fd, &page](int i) {
    return pread_page(fd, kData + i % kCycle, page);
  });
  f->seekread = best_ns(kMissReqs, [fd, &page](int i) {
    return seek_read_page(fd, kData + i % kCycle, page);
  });
  return f->hit >= 0 && f->miss >= 0 && f->pread >= 0 && f->seekread >= 0;
}

// The before-image area as a checkpoint leaves it: written from bifirst on, no page imaged.
void reset_area() {
  bm_p(bm_dbs->imgsem);
  bm_dbs->binext = bm_dbs->bifirst;
  for (int i = 0; i < bm_dbs->nbitab; i++) bm_dbs->bitab[i] = NOPAGE;
  bm_v(bm_dbs->imgsem);
}

// One batch: the images of the fixed buffers taken (untimed), then written and synced. The time
// of the write, or a negative value when the batch stayed in the buffer (its failure is logged).
double timed_batch(const std::vector<pagebuf *> &fixed) {
  reset_area();
  for (pagebuf *b : fixed)
    if (bm_saveimg(b) != 0) return -1;
  double t = now();
  bm_saveimagebuf(1);
  t = now() - t;
  return bm_dbs->nimg == 0 ? t : -1;
}

// The same pages by hand: one pwrite each at the places of the batch, then one fdatasync.
double timed_byhand(int fd, const std::vector<pagebuf *> &fixed) {
  double t = now();
  for (int i = 0; i < kBatch; i++)
    if (pwrite(fd, fixed[i]->page, PAGESIZE, off_t{bm_dbs->bifirst + i} * PAGESIZE) != PAGESIZE)
      return -1;
  if (fdatasync(fd) != 0) return -1;
  return now() - t;
}

bool measure_batches(int fd, figures *f) {
  std::vector<pagebuf *> fixed;
  bool ok = true;
  for (int i = 0; i < kBatch && ok; i++) {
    pagebuf *b = bm_getpage(kData + i, 0, nullptr);
    if (b != nullptr) fixed.push_back(b);
    ok = b != nullptr;
  }
  fdatasync(fd);  // what the formatting left dirty is charged to neither side
  ok = ok && timed_batch(fixed) >= 0 && timed_byhand(fd, fixed) >= 0;  // warm-up, untimed
  std::vector<double> batch, byhand;
  double start = now();
  while (ok && (batch.size() < 10 || (now() - start < kSyncSeconds &&
                                      static_cast<int>(batch.size()) < kMaxSyncRounds))) {
    batch.push_back(timed_batch(fixed));
    byhand.push_back(timed_byhand(fd, fixed));
    ok = batch.back() >= 0 && byhand.back() >= 0;
  }
  for (pagebuf *b : fixed) bm_unfix(b);
  if (!ok) return false;
  f->batch = median(batch);
  f->byhand = median(byhand);
  f->syncrounds = static_cast<int>(batch.size());
  return true;
}

void print(const figures &f) {
  printf("%-40s %12s %9s %9s\n", "", "ns/request", "x pair", "x pread");
  printf("%-40s %12.1f %9.2f\n", "bm_p + bm_v, uncontended", f.pair, 1.0);
  printf("%-40s %12.1f %9.2f %9.2f\n", "pread of one page (page cache)", f.pread,
         f.pread / f.pair, 1.0);
  printf("%-40s %12.1f %9.2f %9.2f\n", "lseek + read of one page (page cache)", f.seekread,
         f.seekread / f.pair, f.seekread / f.pread);
  printf("%-40s %12.1f %9.2f %9.2f\n", "hit: bm_getpage + bm_unfix", f.hit, f.hit / f.pair,
         f.hit / f.pread);
  printf("%-40s %12.1f %9.2f %9.2f\n", "miss: replace a clean buffer + read", f.miss,
         f.miss / f.pair, f.miss / f.pread);
  if (f.hits_in_misses != 0)
    printf("(%d of the miss rounds' requests were hits)\n", f.hits_in_misses);
  double hit = f.hit / f.pair, ratio = f.batch / f.byhand;
  printf("\nhit = %.1f semaphore pairs (goal: at most 10): %s\n", hit,
         hit <= 10 ? "met" : "NOT met");
  printf("miss = %.1f semaphore pairs, %.2f preads, %.2f lseek + reads of one page\n\n",
         f.miss / f.pair, f.miss / f.pread, f.miss / f.seekread);
  printf("durable batch of %d before images (median of %d rounds each):\n", kBatch, f.syncrounds);
  printf("  bm_saveimagebuf: one write + fdatasync   %10.1f us\n", f.batch * 1e6);
  printf("  by hand: %d pwrite + one fdatasync       %10.1f us\n", kBatch, f.byhand * 1e6);
  printf("batch = %.2f x by hand (goal: at most 1.1): %s\n", ratio,
         ratio <= 1.1 ? "met" : "NOT met");
}

}  // namespace

int main() {
  tolvtest::TempInstall inst;
  tolvtest::use_settings(inst);
  std::string device = inst.path("rootdbs");
  int fd = open(device.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0660);
  if (fd < 0 || ftruncate(fd, off_t{kPages} * PAGESIZE) != 0) {
    perror("getpage_bench: partition file");
    return 1;
  }
  srv_geometry g = tolvtest::small_geometry(device);
  g.nlists = 1;
  g.nbufs = kBufs;
  g.imgmax = 2 * kBatch;
  g.spaces[0].npages = kPages;
  g.spaces[0].parts[0].size = kPages * PAGESIZE;
  tolvtest::Segment seg;
  int r = seg.create(g);
  std::string why;
  if (r != SRV_OK || srv_format(g, &why) != SRV_OK) {
    fprintf(stderr, "getpage_bench: no DBS: %s %s\n", srv_strerror(r), why.c_str());
    return 1;
  }
  tolvtest::register_slot(0, "GPBENCH");
  printf("Page requests on one list of %d buffers (%d pages cycled for the misses), best of %d"
         " rounds;\na durable before-image batch against the same writes by hand.\n\n",
         kBufs, kCycle, kRounds);
  figures f{};
  if (!measure_requests(fd, &f) || !measure_batches(fd, &f)) {
    fprintf(stderr, "getpage_bench: a request, batch or by-hand write failed (see also %s)\n",
            inst.path("log/testdbs").c_str());
    close(fd);
    return 1;
  }
  print(f);
  close(fd);
  return 0;
}
