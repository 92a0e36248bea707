// Tests of the flush pass on a real segment and a real partition file: which buffers a pass
// examines and writes, the flags it leaves, the list semaphore only during collection, the wait
// for before images, and failing writes (with the flags a buffer carries at the moment its
// failure is logged, seen through an fdopen seam).
#include "flush/ad_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "ba/ba_proto.h"
#include "bm/bm_proto.h"
#include "testing/segment.h"

// A seam: fdopen of this test program, through which every entry of the DBS message log is
// written (ba_logwrite), records the flags of one watched buffer at the moment of each entry.
namespace loghook {
inline pagebuf *watched = nullptr;
inline std::vector<uint32_t> seen;
}  // namespace loghook

extern "C" FILE *fdopen(int fd, const char *mode) noexcept {
  using real_t = FILE *(*)(int, const char *);
  static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "fdopen"));
  if (loghook::watched != nullptr)
    loghook::seen.push_back(__atomic_load_n(&loghook::watched->flags, __ATOMIC_SEQ_CST));
  return real(fd, mode);
}

namespace {

using tolvtest::eventually;
using tolvtest::fork_child;
using tolvtest::wait_child;

constexpr int kPages = 1000;  // pages of the fixture's dbspace

class FlushPass : public tolvtest::SegmentTest {
 protected:
  srv_geometry geometry() const override {
    srv_geometry g = SegmentTest::geometry();
    g.nlists = 1;
    g.nbufs = 10;
    return g;
  }
  void SetUp() override {
    SegmentTest::SetUp();
    int fd = open(device().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0660);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, kPages * PAGESIZE), 0);
    close(fd);
    tolvtest::register_slot(0, "TOLVFLUSH");
  }
  std::string device() const { return inst_.path("rootdbs"); }
  buflist *list() { return &dbs()->lists[0]; }

  // The k-th buffer of the chain, counted from the least recently used end.
  pagebuf *chain(int k) {
    pagebuf *b = list()->head;
    while (k-- > 0) b = b->next;
    return b;
  }
  // Puts page 100 + k into chain buffer k with recognisable contents and the given flags.
  void fill(int k, uint32_t flags) {
    pagebuf *b = chain(k);
    memset(b->page, 'a' + k, PAGESIZE);
    pg_setword(b->page, PH_PAGENR, 100 + k);
    b->flags = flags;
  }
  void fill_all_dirty() {
    for (int k = 0; k < 10; k++) fill(k, BF_DIRTY);
  }
  // Whether the partition holds chain buffer k's page image.
  bool on_disk(int k) {
    std::vector<unsigned char> page(PAGESIZE);
    int fd = open(device().c_str(), O_RDONLY);
    ssize_t n = pread(fd, page.data(), PAGESIZE, static_cast<off_t>(100 + k) * PAGESIZE);
    close(fd);
    return n == PAGESIZE && memcmp(page.data(), chain(k)->page, PAGESIZE) == 0;
  }
  int written() {
    int n = 0;
    for (int k = 0; k < 10; k++) n += on_disk(k) ? 1 : 0;
    return n;
  }
  // Puts page pagenr into chain buffer k with contents of its own, dirty.
  void put(int k, int32_t pagenr) {
    pagebuf *b = chain(k);
    memset(b->page, 'A' + k, PAGESIZE);
    pg_setword(b->page, PH_PAGENR, pagenr);
    b->flags = BF_DIRTY;
  }
  // The bytes of page pagenr in the partition file.
  std::vector<unsigned char> file_page(int32_t pagenr) {
    std::vector<unsigned char> page(PAGESIZE);
    int fd = open(device().c_str(), O_RDONLY);
    ssize_t n = pread(fd, page.data(), PAGESIZE, static_cast<off_t>(pagenr) * PAGESIZE);
    close(fd);
    if (n != PAGESIZE) page.clear();
    return page;
  }
  bool at_home_buf(const pagebuf *b) {
    std::vector<unsigned char> page = file_page(pg_word(b->page, PH_PAGENR));
    return page.size() == PAGESIZE && memcmp(page.data(), b->page, PAGESIZE) == 0;
  }
  bool at_home(int k) { return at_home_buf(chain(k)); }
};

std::string repeated(const std::string &line, int n) {
  std::string all;
  for (int i = 0; i < n; i++) all += line;
  return all;
}

void set_stop(int) { term_req = 1; }

TEST_F(FlushPass, WholeListWritesEveryDirtyUnfixedBuffer) {
  fill_all_dirty();
  ad_flush(list(), -1);
  for (int k = 0; k < 10; k++) {
    EXPECT_TRUE(on_disk(k)) << k;
    EXPECT_EQ(chain(k)->flags, 0u) << k;
  }
  EXPECT_EQ(list()->sema.lock, 0);
  EXPECT_EQ(dbs()->st_writes, 10);
}

TEST_F(FlushPass, FiftyPercentOfTenExaminesSixBuffers) {
  fill_all_dirty();
  ad_flush(list(), 50);
  for (int k = 0; k < 10; k++) {
    EXPECT_EQ(on_disk(k), k <= 5) << k;
    EXPECT_EQ(chain(k)->flags, k <= 5 ? 0u : BF_DIRTY) << k;
  }
}

TEST_F(FlushPass, ZeroPercentExaminesOnlyTheFirstBuffer) {
  fill_all_dirty();
  ad_flush(list(), 0);
  EXPECT_TRUE(on_disk(0));
  EXPECT_EQ(written(), 1);
}

TEST_F(FlushPass, HundredPercentAndMoreExamineAll) {
  fill_all_dirty();
  ad_flush(list(), 100);
  EXPECT_EQ(written(), 10);
  fill_all_dirty();
  for (int k = 0; k < 10; k++) memset(chain(k)->page + 100, 'z', 10);
  ad_flush(list(), 250);
  EXPECT_EQ(written(), 10);
}

TEST_F(FlushPass, TheShareCountsExaminedBuffersNotDirtyOnes) {
  fill(0, 0);
  fill(1, 0);
  fill(2, BF_DIRTY);
  ad_flush(list(), 10);  // examines buffers 0 and 1 (1 * 100 / 10 reaches 10)
  EXPECT_EQ(chain(2)->flags, BF_DIRTY);
  EXPECT_EQ(written(), 0);
}

TEST_F(FlushPass, OnlyDirtyBuffersAreWritten) {
  fill(3, BF_DIRTY);
  fill(4, BF_BEFIMG);
  ad_flush(list(), -1);
  EXPECT_TRUE(on_disk(3));
  EXPECT_FALSE(on_disk(4));
  EXPECT_EQ(chain(4)->flags, BF_BEFIMG);
  EXPECT_EQ(chain(3)->flags, 0u);
}

TEST_F(FlushPass, OtherFlagsOfAWrittenBufferStay) {
  fill(0, BF_DIRTY | BF_BEFIMG | BF_ARCHIVED);
  ad_flush(list(), -1);
  EXPECT_EQ(chain(0)->flags, BF_BEFIMG | BF_ARCHIVED);
}

TEST_F(FlushPass, AFixedDirtyBufferWaitsUntilItIsUnfixed) {
  fill(2, BF_DIRTY);
  chain(2)->fixcnt = 1;
  ad_flush(list(), -1);
  EXPECT_FALSE(on_disk(2));
  EXPECT_EQ(chain(2)->flags, BF_DIRTY);
  chain(2)->fixcnt = 0;
  ad_flush(list(), -1);
  EXPECT_TRUE(on_disk(2));
  EXPECT_EQ(chain(2)->flags, 0u);
}

TEST_F(FlushPass, AnEmptyChainTakesAndReleasesTheSemaphore) {
  list()->head = nullptr;
  ad_flush(list(), -1);
  EXPECT_EQ(list()->sema.lock, 0);
  EXPECT_EQ(list()->sema.owner, 0);
  EXPECT_EQ(dbs()->st_writes, 0);
}

TEST_F(FlushPass, AListWithoutBuffersDividesByNothing) {
  fill_all_dirty();
  list()->nbufs = 0;
  ad_flush(list(), 50);  // no share to speak of: the whole chain is examined
  EXPECT_EQ(written(), 10);
}

TEST_F(FlushPass, TheVectorIsReleasedThroughTheMemoryControlFamilyWithDebug) {
  setenv("TOLVMEMCTRL", "1", 1);
  ba_settings.debug = 1;
  fill(0, BF_DIRTY);
  ad_flush(list(), -1);  // opens the partition: its descriptor cache lives on
  ba_memmark();
  fill_all_dirty();
  ad_flush(list(), -1);
  testing::internal::CaptureStderr();
  ba_memreport(stderr);
  std::string report = testing::internal::GetCapturedStderr();
  ba_settings.debug = 0;
  // Nothing allocated after the mark is left: only the empty buckets and the total.
  EXPECT_EQ(report, "Memory report:\n\n" + std::string(16, '\n') + "\nTotal:          4\n");
  EXPECT_EQ(written(), 10);
}

TEST_F(FlushPass, TheListIsFreeWhileAWriteWaitsForItsBeforeImage) {
  fill(0, BF_DIRTY);
  fill(1, BF_DIRTY);
  // An image of page 101 waits in the before-image buffer.
  pg_setword(dbs()->images.get(), PH_PAGENR, 101);
  dbs()->nimg = 1;
  pid_t flusher = fork_child([&] {
    bm_mypid = getpid();
    tolvtest::register_slot(1, "TOLVFLUSH");
    ad_flush(list(), -1);
    return 0;
  });
  userslot &u = dbs()->users[1];
  ASSERT_TRUE(eventually([&] { return (u.uflags & US_WAITING) != 0; }));
  EXPECT_EQ(u.waitkind, 'I');
  EXPECT_EQ(u.waitobj, 101);
  // Collection is over: the list semaphore is free although a write still waits.
  EXPECT_EQ(bm_tas(&list()->sema), 0);
  bm_v(&list()->sema);
  EXPECT_TRUE(on_disk(0));  // written in collection order, before the waiting one
  EXPECT_FALSE(on_disk(1));
  EXPECT_EQ(chain(1)->flags, BF_FLUSHING);
  dbs()->nimg = 0;  // the image writer has written the image
  EXPECT_EQ(wait_child(flusher), 0);
  EXPECT_TRUE(on_disk(1));
  EXPECT_EQ(chain(1)->flags, 0u);
}

// ---- Runs of adjacent pages ----------------------------------------------------------------

// Collection order is write order: a run, a gap, a descending pair (never sorted), a run broken
// by a clean buffer. Every page lands at its own place and nothing between them is touched.
TEST_F(FlushPass, RunsOfAdjacentPagesPutEveryPageAtItsOwnPlace) {
  const int32_t pages[10] = {10, 11, 12, 14, 21, 20, 30, 31, 32, 33};
  for (int k = 0; k < 10; k++) put(k, pages[k]);
  chain(7)->flags = 0;  // page 31 stays out of the pass
  ad_flush(list(), -1);
  for (int k = 0; k < 10; k++) {
    EXPECT_EQ(at_home(k), k != 7) << k;
    EXPECT_EQ(chain(k)->flags, 0u) << k;
  }
  EXPECT_EQ(file_page(13), std::vector<unsigned char>(PAGESIZE, 0));
  EXPECT_EQ(file_page(31), std::vector<unsigned char>(PAGESIZE, 0));
  EXPECT_EQ(dbs()->st_writes, 9);
  EXPECT_EQ(dbs()->dbspaces[0].parts[0].nwrites, 9);
  EXPECT_EQ(dbs()->users[0].nwrites, 9);
  EXPECT_EQ(log_text(), "");
}

// A write that stops inside a page (the file size limit is not a multiple of 2048) reports no
// errno; the run's pages before the cut are on disk and clean, every later one is dirty again,
// and the failure carries ENOSPC, never 0.
TEST_F(FlushPass, AShortWriteOfARunRemarksExactlyTheBuffersNotOnDisk) {
  fill_all_dirty();  // pages 100 .. 109: one run
  pid_t child = fork_child([] {
    signal(SIGXFSZ, SIG_IGN);
    rlim_t limit = 103 * PAGESIZE + 1000;
    struct rlimit rl = {limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return 1;
    ad_flush(&bm_dbs->lists[0], -1);
    return 0;
  });
  ASSERT_EQ(wait_child(child), 0);
  for (int k = 0; k < 10; k++) {
    EXPECT_EQ(on_disk(k), k < 3) << k;
    EXPECT_EQ(chain(k)->flags, k < 3 ? 0u : BF_DIRTY) << k;
  }
  EXPECT_EQ(log_text(), std::to_string(child) + ": Write on device " + device() +
                            " failed.Page 103.errno 28\n" +
                            repeated("ad_flush: bm_savepage() failed. iserrno = 28\n", 7));
}

// ---- The stop flag ---------------------------------------------------------------------------

// With the image writer gone, a stop request ends the wait for a before image: that page stays
// unwritten and dirty, the rest of the pass goes on, and the pass ends.
TEST_F(FlushPass, TheStopFlagEndsTheWaitForABeforeImageAndTheirPageStaysDirty) {
  fill(0, BF_DIRTY);
  fill(1, BF_DIRTY);
  fill(3, BF_DIRTY);
  pg_setword(dbs()->images.get(), PH_PAGENR, 101);
  dbs()->nimg = 1;  // and nobody will ever write it
  pid_t flusher = fork_child([&] {
    bm_mypid = getpid();
    tolvtest::register_slot(1, "TOLVFLUSH");
    signal(SIGTERM, set_stop);
    ad_flush(list(), -1);
    return 0;
  });
  userslot &u = dbs()->users[1];
  ASSERT_TRUE(eventually([&] { return (u.uflags & US_WAITING) != 0 && u.waitkind == 'I'; }));
  kill(flusher, SIGTERM);
  EXPECT_EQ(wait_child(flusher), 0);
  EXPECT_TRUE(on_disk(0));
  EXPECT_FALSE(on_disk(1));
  EXPECT_EQ(chain(1)->flags, BF_DIRTY);
  EXPECT_TRUE(on_disk(3));
  EXPECT_EQ(chain(3)->flags, 0u);
  EXPECT_EQ(log_text(), "ad_flush: bm_savepage() failed. iserrno = -406\n");
}

// ---- Error paths ---------------------------------------------------------------------------

// Fixture F with its partition on a device that fails every write.
template <class F>
class OnFullDevice : public F {
 protected:
  srv_geometry geometry() const override {
    srv_geometry g = F::geometry();
    g.spaces[0].parts[0].device = "/dev/full";
    return g;
  }
};

using FailingDevice = OnFullDevice<FlushPass>;

TEST_F(FailingDevice, EveryFailedWriteIsLoggedAndItsBufferStaysDirty) {
  setenv("TOLVNOCONFCHECK", "", 1);  // /dev/full has no last page to probe
  ba_settings.flags |= ENV_NOCONFCHECK;
  for (int k = 0; k < 3; k++) fill(k, BF_DIRTY);
  ad_flush(list(), -1);
  for (int k = 0; k < 3; k++) EXPECT_EQ(chain(k)->flags, BF_DIRTY) << k;
  std::string log = log_text();
  size_t lines = 0;
  for (size_t p = 0; (p = log.find("ad_flush: bm_savepage() failed. iserrno = 28\n", p)) !=
                     std::string::npos;
       p++)
    lines++;
  EXPECT_EQ(lines, 3u) << log;
  // A later pass retries them.
  ad_flush(list(), -1);
  for (int k = 0; k < 3; k++) EXPECT_EQ(chain(k)->flags, BF_DIRTY) << k;
}

// The failure is logged between the two changes of the flags (the device's line while the
// buffer is being flushed, the pass's line once it is dirty again): at no moment is the buffer
// without both flags, so page replacement can never take it for clean.
TEST_F(FailingDevice, AFailedWriteIsDirtyAgainBeforeItStopsBeingFlushed) {
  setenv("TOLVNOCONFCHECK", "", 1);
  ba_settings.flags |= ENV_NOCONFCHECK;
  fill(0, BF_DIRTY | BF_BEFIMG);
  loghook::watched = chain(0);
  ad_flush(list(), -1);
  loghook::watched = nullptr;
  EXPECT_EQ(loghook::seen, (std::vector<uint32_t>{BF_FLUSHING | BF_BEFIMG,
                                                  BF_FLUSHING | BF_DIRTY | BF_BEFIMG}));
  EXPECT_EQ(chain(0)->flags, BF_DIRTY | BF_BEFIMG);
  EXPECT_NE(log_text().find("ad_flush: bm_savepage() failed. iserrno = 28\n"), std::string::npos);
}

// A device that fails for good: the first failure in full, then the repeats are only counted
// (they would flood the log with two lines per buffer every second).
TEST_F(FailingDevice, RepeatedFailuresOfADeviceAreCountedNotLogged) {
  setenv("TOLVNOCONFCHECK", "", 1);
  ba_settings.flags |= ENV_NOCONFCHECK;
  fill(0, BF_DIRTY);
  fill(5, BF_DIRTY);
  for (int pass = 0; pass < 5; pass++) ad_flush(list(), -1);
  EXPECT_EQ(log_text(), std::to_string(getpid()) +
                            ": Write on device /dev/full failed.Page 100.errno 28\n"
                            "ad_flush: bm_savepage() failed. iserrno = 28\n");
  EXPECT_EQ(chain(0)->flags, BF_DIRTY);
  EXPECT_EQ(chain(5)->flags, BF_DIRTY);
  EXPECT_EQ(dbs()->dbspaces[0].parts[0].nwrites, 10);
}

// ---- Large lists ---------------------------------------------------------------------------

// One list of many buffers on a device that refuses every write at once, so that a pass costs
// its walk and its bookkeeping, not the device.
class LargeList : public FlushPass {
 protected:
  static constexpr int kBuffers = 32768;
  srv_geometry geometry() const override {
    srv_geometry g = FlushPass::geometry();
    g.nbufs = kBuffers;
    g.spaces[0].npages = kBuffers;
    g.spaces[0].parts[0].size = kBuffers * PAGESIZE;
    return g;
  }
  void SetUp() override {
    FlushPass::SetUp();
    int k = 0;
    for (pagebuf *b = list()->head; b != nullptr; b = b->next, k++) {
      pg_setword(b->page, PH_PAGENR, k);
      b->flags = BF_DIRTY;
    }
  }
  int32_t writes() const { return dbs()->dbspaces[0].parts[0].nwrites; }
};

double cpu_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

using LargeFailingList = OnFullDevice<LargeList>;

// The pass is linear in the buffers it examines: per buffer, a pass over the whole list costs
// no more than ten times a pass over its first 3 %. (Collecting by growing the vector one entry
// at a time, a copy of all so far per buffer, costs some thirty times as much per buffer here.)
TEST_F(LargeFailingList, APassCostsTheSamePerBufferAtAnyListSize) {
  setenv("TOLVNOCONFCHECK", "", 1);
  ba_settings.flags |= ENV_NOCONFCHECK;
  ad_flush(list(), -1);  // warm: descriptor opened, first failure logged
  double per_buffer[2];
  const int pcts[2] = {3, AD_ALLBUFFERS};
  for (int i = 0; i < 2; i++) {
    double best = 1e9;
    int buffers = 0;
    for (int round = 0; round < 3; round++) {
      int32_t before = writes();
      double start = cpu_seconds();
      ad_flush(list(), pcts[i]);
      best = std::min(best, cpu_seconds() - start);
      buffers = writes() - before;
    }
    ASSERT_GT(buffers, 900);
    per_buffer[i] = best / buffers;
  }
  EXPECT_LT(per_buffer[1], 10 * per_buffer[0] + 1e-7)
      << per_buffer[1] * 1e9 << " ns against " << per_buffer[0] * 1e9 << " ns";
}

// Current address-space size of the process in bytes.
rlim_t address_space() {
  FILE *f = fopen("/proc/self/statm", "r");
  unsigned long pages = 0;
  if (f != nullptr) {
    if (fscanf(f, "%lu", &pages) != 1) pages = 0;
    fclose(f);
  }
  return static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

// The collection cannot grow (a real allocation failure under an address-space limit): the
// walk ends with the message, the buffers collected so far are written and clean, and the one
// at which growth failed stays dirty and unmarked, like everything after it.
TEST_F(LargeList, AFailedGrowthOfTheCollectionEndsTheWalkAndWritesWhatItHas) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's allocator does not run under an address-space limit";
#endif
  int fd = open(device().c_str(), O_RDWR);
  ASSERT_EQ(ftruncate(fd, off_t{kBuffers} * PAGESIZE), 0);
  close(fd);
  constexpr int kClaimed = 8192;  // the collection is sized for these, and must grow past them
  list()->nbufs = kClaimed;
  pid_t child = fork_child([&] {
    // Blocks of 32 KiB and more that the heap cannot give are mapped one by one; the heap is
    // warmed now with 48 KiB (too little for the collection) and not trimmed, so that the
    // small allocations of the pass find room and only the collection needs new mappings.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_TOP_PAD, 0);
    std::vector<void *> used, warm;
    used.reserve(1 << 16);
    while (mallinfo2().fordblks > 16 * 1024 && used.size() < used.capacity())
      used.push_back(malloc(1024));  // what the parent left free in the heap is taken
    for (int i = 0; i < 6; i++) warm.push_back(malloc(8 * 1024));
    for (void *p : warm) free(p);
    rlim_t limit = address_space() + 128 * 1024;  // room for the first size, not for double it
    struct rlimit rl = {limit, limit};
    if (setrlimit(RLIMIT_AS, &rl) != 0) return 1;
    ad_flush(list(), AD_ALLBUFFERS);
    return 0;
  });
  ASSERT_EQ(wait_child(child), 0);
  int k = 0;
  for (pagebuf *b = list()->head; b != nullptr; b = b->next, k++) {
    ASSERT_EQ(b->flags, k < kClaimed ? 0u : BF_DIRTY) << k;
    if (k == 0 || k == kClaimed - 1 || k == kClaimed) {
      EXPECT_EQ(at_home_buf(b), k < kClaimed) << k;
    }
  }
  EXPECT_EQ(log_text(), "ad_flush: ba_rszvek() failed\n");
  EXPECT_EQ(writes(), kClaimed);
}

}  // namespace
