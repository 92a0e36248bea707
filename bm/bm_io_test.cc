// Tests of bm_io on a real segment and real partition files: addressing onto partitions, run
// writes, counters, the descriptor cache, the last-page probe and TOLVNOCONFCHECK, bm_savepage
// waiting for the image writer, and the error paths (bad page numbers, missing devices,
// /dev/full, read-only files, failed seeks, positions that do not fit 32 bits, interrupted and
// failing writes through the fault seam, no memory, the once-a-minute report of repeated
// failures through a clock seam, and the checks of a set-user-id run's partition opens).
#include "bm/bm_io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ba/ba_env.h"
#include "ba/ba_mem.h"
#include "ba/ba_sys.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_faulthook.h"
#include "bm/bm_globals.h"
#include "bm/bm_sema.h"
#include "testing/segment.h"

// A clock seam: time() of this test program runs `shift` seconds ahead, so that a test can let
// the minute between two reports of a failing device pass.
namespace clockhook {
inline time_t shift = 0;
}  // namespace clockhook

extern "C" time_t time(time_t *t) noexcept {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  time_t now = ts.tv_sec + clockhook::shift;
  if (t != nullptr) *t = now;
  return now;
}

namespace {

using tolvtest::eventually;
using tolvtest::fork_child;
using tolvtest::register_slot;
using tolvtest::TempInstall;
using tolvtest::wait_child;

constexpr int32_t kOffset1 = 3 * PAGESIZE + 512;  // partition 1 starts off a page boundary
constexpr int kShortPages = 4;                     // pages the short device really has

// Dbspaces of the fixture, by number.
enum space { ROOT, SMALL, FULL, MISSING, SHORT, PIPE };

int32_t pn(int space, int32_t page) {
  return static_cast<int32_t>(static_cast<uint32_t>(space) << 24) | page;
}

// A page whose every byte is seed + its index.
std::vector<unsigned char> pattern(int seed, int pages = 1) {
  std::vector<unsigned char> v(static_cast<size_t>(pages) * PAGESIZE);
  for (size_t i = 0; i < v.size(); i++) v[i] = static_cast<unsigned char>(seed + i);
  return v;
}

// len bytes of file path at byte pos (fewer at its end).
std::vector<unsigned char> file_bytes(const std::string &path, off_t pos, int len = PAGESIZE) {
  std::vector<unsigned char> v(static_cast<size_t>(len));
  int fd = open(path.c_str(), O_RDONLY);
  ssize_t n = fd < 0 ? 0 : pread(fd, v.data(), v.size(), pos);
  if (fd >= 0) close(fd);
  v.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return v;
}

off_t file_size(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

void make_file(const std::string &path, off_t size) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(ftruncate(fd, size), 0);
  close(fd);
}

// rootdbs: partitions of 100 and 50 pages on two files (the second at an odd offset);
// small: one partition of 5000 bytes (2 pages) in a dbspace that claims 3; full: /dev/full;
// missing: a device that does not exist; short: a file of 4 pages configured as 10; pipe: a FIFO.
class PageIo : public tolvtest::SegmentTest {
 protected:
  srv_geometry geometry() const override {
    srv_geometry g = SegmentTest::geometry();
    g.spaces = {
        srv_space{"rootdbs", 150, {srv_part{dev("chunk0"), 0, 100 * PAGESIZE},
                                   srv_part{dev("chunk1"), kOffset1, 50 * PAGESIZE}}},
        srv_space{"small", 3, {srv_part{dev("small"), 0, 5000}}},
        srv_space{"full", 10, {srv_part{"/dev/full", 0, 10 * PAGESIZE}}},
        srv_space{"missing", 10, {srv_part{dev("missing"), 0, 10 * PAGESIZE}}},
        srv_space{"short", 10, {srv_part{dev("short"), 0, 10 * PAGESIZE}}},
        srv_space{"pipe", 10, {srv_part{dev("pipe"), 0, 10 * PAGESIZE}}},
    };
    return g;
  }
  void SetUp() override {
    make_file(dev("chunk0"), 100 * PAGESIZE);
    make_file(dev("chunk1"), kOffset1 + 50 * PAGESIZE);
    make_file(dev("small"), 5000);
    make_file(dev("short"), kShortPages * PAGESIZE);
    ASSERT_EQ(mkfifo(dev("pipe").c_str(), 0600), 0);
    SegmentTest::SetUp();
  }
  std::string dev(const std::string &name) const { return inst_.path(name); }
  partition &part(int space, int i) const { return dbs()->dbspaces[space].parts[i]; }
  static void no_confcheck() { ba_settings.flags |= ENV_NOCONFCHECK; }
  std::string pid() const { return std::to_string(getpid()); }
};

// ---- Addressing onto partitions -------------------------------------------------------------

TEST_F(PageIo, PageBeyondTheFirstPartitionGoesToTheSecond) {
  auto page = pattern(7);
  ASSERT_EQ(bm_pwrite(pn(ROOT, 120), page.data(), PIO_ANYPART), 0);
  EXPECT_EQ(file_bytes(dev("chunk1"), 20 * PAGESIZE + kOffset1), page);
  EXPECT_EQ(file_bytes(dev("chunk0"), 20 * PAGESIZE), std::vector<unsigned char>(PAGESIZE, 0));
  std::vector<unsigned char> back(PAGESIZE);
  ASSERT_EQ(bm_pread(pn(ROOT, 120), back.data(), PIO_ANYPART), 0);
  EXPECT_EQ(back, page);
  EXPECT_EQ(log_text(), "");
}

TEST_F(PageIo, LastPagesOfBothPartitions) {
  auto a = pattern(1), b = pattern(2);
  ASSERT_EQ(bm_pwrite(pn(ROOT, 99), a.data(), PIO_ANYPART), 0);
  ASSERT_EQ(bm_pwrite(pn(ROOT, 149), b.data(), PIO_ANYPART), 0);
  EXPECT_EQ(file_bytes(dev("chunk0"), 99 * PAGESIZE), a);
  EXPECT_EQ(file_bytes(dev("chunk1"), 49 * PAGESIZE + kOffset1), b);
  EXPECT_EQ(file_size(dev("chunk1")), kOffset1 + 50 * PAGESIZE);  // nothing written past it
}

TEST_F(PageIo, NamedPartitionTakesTheLow24BitsAsItsPage) {
  auto page = pattern(3);
  ASSERT_EQ(bm_pwrite(pn(ROOT, 20), page.data(), 1), 0);
  EXPECT_EQ(file_bytes(dev("chunk1"), 20 * PAGESIZE + kOffset1), page);
  std::vector<unsigned char> back(PAGESIZE);
  ASSERT_EQ(bm_pread(pn(ROOT, 120), back.data(), PIO_ANYPART), 0);
  EXPECT_EQ(back, page);
}

TEST_F(PageIo, PartitionOf5000BytesHoldsTwoPages) {
  auto a = pattern(4), b = pattern(5);
  ASSERT_EQ(bm_pwrite(pn(SMALL, 0), a.data(), PIO_ANYPART), 0);
  ASSERT_EQ(bm_pwrite(pn(SMALL, 1), b.data(), PIO_ANYPART), 0);
  EXPECT_EQ(file_bytes(dev("small"), PAGESIZE), b);
  EXPECT_EQ(file_size(dev("small")), 5000);
  // Page 2 lies in no partition although the dbspace claims 3 pages.
  EXPECT_EQ(bm_pwrite(pn(SMALL, 2), a.data(), PIO_ANYPART), -1);
  EXPECT_EQ(iserrno, ER_BADPAGEIO);
  EXPECT_EQ(errno, ER_BADPAGEIO);
  EXPECT_EQ(file_size(dev("small")), 5000);  // the rest of its bytes are never addressed
  EXPECT_EQ(log_text(), "Invalid page w-req.: dbs = 1, partn = 1, page = 0\n");
}

TEST_F(PageIo, RunWriteIsOneTransferOfNPages) {
  register_slot(2);
  auto run = pattern(9, 3);
  ASSERT_EQ(bm_lwrite(pn(ROOT, 110), run.data(), PIO_ANYPART, 3), 0);
  EXPECT_EQ(file_bytes(dev("chunk1"), 10 * PAGESIZE + kOffset1, 3 * PAGESIZE), run);
  EXPECT_EQ(dbs()->st_writes, 1);
  EXPECT_EQ(part(ROOT, 1).nwrites, 1);
  EXPECT_EQ(dbs()->users[2].nwrites, 1);
}

TEST_F(PageIo, RunMayEndAtThePartitionsLastPage) {
  auto run = pattern(11, 2);
  ASSERT_EQ(bm_lwrite(pn(ROOT, 98), run.data(), PIO_ANYPART, 2), 0);
  EXPECT_EQ(file_bytes(dev("chunk0"), 98 * PAGESIZE, 2 * PAGESIZE), run);
}

// ---- Counters --------------------------------------------------------------------------------

TEST_F(PageIo, CountersOfARegisteredProcess) {
  userslot *me = register_slot(1);
  auto page = pattern(1);
  ASSERT_EQ(bm_pwrite(pn(ROOT, 5), page.data(), PIO_ANYPART), 0);
  ASSERT_EQ(bm_pread(pn(ROOT, 5), page.data(), PIO_ANYPART), 0);
  ASSERT_EQ(bm_pread(pn(ROOT, 105), page.data(), PIO_ANYPART), 0);
  EXPECT_EQ(me->nreads, 2);
  EXPECT_EQ(me->nwrites, 1);
  EXPECT_EQ(part(ROOT, 0).nreads, 1);
  EXPECT_EQ(part(ROOT, 0).nwrites, 1);
  EXPECT_EQ(part(ROOT, 1).nreads, 1);
  EXPECT_EQ(dbs()->st_reads, 2);
  EXPECT_EQ(dbs()->st_writes, 1);
}

TEST_F(PageIo, UnregisteredProcessLeavesTheSlotsAlone) {
  auto page = pattern(1);
  ASSERT_EQ(bm_pread(pn(ROOT, 5), page.data(), PIO_ANYPART), 0);
  ASSERT_EQ(bm_pwrite(pn(ROOT, 5), page.data(), PIO_ANYPART), 0);
  for (int i = 0; i < dbs()->nusers; i++) {
    EXPECT_EQ(dbs()->users[i].nreads, 0);
    EXPECT_EQ(dbs()->users[i].nwrites, 0);
  }
  EXPECT_EQ(dbs()->st_reads, 1);
}

// The user counts every request, the partition every request that found it, the header only
// the transfers that succeeded.
TEST_F(PageIo, FailuresCountWhereTheyHappened) {
  userslot *me = register_slot(1);
  auto page = pattern(1);
  EXPECT_EQ(bm_pwrite(pn(ROOT, 150), page.data(), PIO_ANYPART), -1);
  EXPECT_EQ(bm_pwrite(pn(FULL, 1), page.data(), PIO_ANYPART), -1);
  EXPECT_EQ(me->nwrites, 2);
  EXPECT_EQ(part(ROOT, 0).nwrites + part(ROOT, 1).nwrites, 0);
  EXPECT_EQ(part(FULL, 0).nwrites, 1);
  EXPECT_EQ(dbs()->st_writes, 0);
}

// ---- The descriptor cache --------------------------------------------------------------------

TEST_F(PageIo, CacheGrowsToTheSlotWithUnopenedEntries) {
  std::vector<unsigned char> page(PAGESIZE);
  ASSERT_EQ(part(SMALL, 0).fdslot, 3);
  ASSERT_EQ(bm_pread(pn(SMALL, 0), page.data(), PIO_ANYPART), 0);
  ASSERT_EQ(bm_nfdtab, 3);
  EXPECT_EQ(bm_fdtab[0], -1);
  EXPECT_EQ(bm_fdtab[1], -1);
  EXPECT_GE(bm_fdtab[2], 0);
  EXPECT_EQ(bm_getfd(&part(SMALL, 0)), bm_fdtab[2]);  // opened once, kept
  EXPECT_EQ(bm_nfdtab, 3);
  EXPECT_NE(fcntl(bm_fdtab[2], F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(PageIo, ForkedChildOpensDescriptorsOfItsOwn) {
  std::vector<unsigned char> page(PAGESIZE);
  ASSERT_EQ(bm_pread(pn(ROOT, 1), page.data(), PIO_ANYPART), 0);
  int parentfd = bm_fdtab[0];
  pid_t child = fork_child([] {
    if (bm_fdtab[0] != -1) return 1;  // the inherited descriptor shares the parent's position
    std::vector<unsigned char> p(PAGESIZE);
    return bm_pread(pn(ROOT, 2), p.data(), PIO_ANYPART) == 0 && bm_fdtab[0] >= 0 ? 0 : 2;
  });
  EXPECT_EQ(wait_child(child), 0);
  EXPECT_EQ(bm_fdtab[0], parentfd);
  EXPECT_NE(fcntl(parentfd, F_GETFD), -1);
  EXPECT_EQ(bm_pread(pn(ROOT, 3), page.data(), PIO_ANYPART), 0);
}

// ---- The last-page probe and TOLVNOCONFCHECK -------------------------------------------------

TEST_F(PageIo, ShortDeviceIsRefusedByTheProbe) {
  std::vector<unsigned char> page(PAGESIZE);
  EXPECT_EQ(bm_pread(pn(SHORT, 0), page.data(), PIO_ANYPART), -1);
  EXPECT_EQ(iserrno, ER_PROBESHORT);
  EXPECT_EQ(log_text(), "Reading last page of " + dev("short") + " failed. errno = -410\n");
  EXPECT_EQ(bm_fdtab[part(SHORT, 0).fdslot - 1], -1);  // not cached: the next access retries
}

TEST_F(PageIo, ProbeReadsTheLastConfiguredPage) {
  partition p = part(ROOT, 1);
  int fd = bm_openpart(&p);
  ASSERT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  close(fd);
  p.size += 1;  // one byte more than the file holds behind the offset: the last page is short
  EXPECT_EQ(bm_openpart(&p), -1);
  EXPECT_EQ(iserrno, ER_PROBESHORT);
}

TEST_F(PageIo, NoConfCheckFromTheEnvironmentSkipsTheProbe) {
  TempInstall::setenv("TOLVNOCONFCHECK", "1");
  tolvtest::clear_settings();  // the fixture's record points at strings the loader does not own
  ASSERT_EQ(ba_readenv(stderr), 0);
  ASSERT_NE(ba_settings.flags & ENV_NOCONFCHECK, 0u);
  auto page = pattern(6);
  EXPECT_EQ(bm_pwrite(pn(SHORT, kShortPages - 1), page.data(), PIO_ANYPART), 0);
  EXPECT_EQ(file_bytes(dev("short"), (kShortPages - 1) * PAGESIZE), page);
  ba_freeenv();
}

TEST_F(PageIo, NoConfCheckReadBeyondTheDeviceEndFails) {
  no_confcheck();
  std::vector<unsigned char> page(PAGESIZE);
  ASSERT_EQ(bm_pread(pn(SHORT, kShortPages - 1), page.data(), PIO_ANYPART), 0);
  EXPECT_EQ(bm_pread(pn(SHORT, kShortPages), page.data(), PIO_ANYPART), -1);
  EXPECT_EQ(iserrno, ER_PROBESHORT);
  EXPECT_EQ(log_text(),
            pid() + ": Read of device " + dev("short") + " failed.Page 4.errno -410 errflag = 1\n");
}

// A device that ends where the file may grow no further: the write beyond it fails (EFBIG).
TEST_F(PageIo, NoConfCheckWriteBeyondTheDeviceEndFails) {
  no_confcheck();
  pid_t child = fork_child([] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {kShortPages * PAGESIZE, kShortPages * PAGESIZE};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return 1;
    auto page = pattern(1);
    if (bm_pwrite(pn(SHORT, kShortPages - 1), page.data(), PIO_ANYPART) != 0) return 2;
    if (bm_pwrite(pn(SHORT, kShortPages), page.data(), PIO_ANYPART) != -1) return 3;
    return iserrno == EFBIG ? 0 : 4;
  });
  ASSERT_EQ(wait_child(child), 0);
  EXPECT_EQ(log_text(), std::to_string(child) + ": Write on device " + dev("short") +
                            " failed.Page 4.errno " + std::to_string(EFBIG) + "\n");
  EXPECT_EQ(file_size(dev("short")), kShortPages * PAGESIZE);
}

// ---- bm_savepage -------------------------------------------------------------------------------

class SavePage : public PageIo {
 protected:
  void SetUp() override {
    PageIo::SetUp();
    buf_ = &dbs()->lists[0].bufs[0];
    auto page = pattern(21);
    memcpy(buf_->page, page.data(), PAGESIZE);
    pg_setword(buf_->page, PH_PAGENR, kPage);
  }
  // Puts an image of page into the before-image buffer.
  void add_image(int32_t page) const {
    pg_setword(dbs()->images + dbs()->nimg * PAGESIZE, PH_PAGENR, page);
    dbs()->nimg++;
  }
  std::vector<unsigned char> home() const {
    return file_bytes(dev("chunk1"), 20 * PAGESIZE + kOffset1);
  }
  std::vector<unsigned char> buffer() const { return {buf_->page, buf_->page + PAGESIZE}; }

  static constexpr int32_t kPage = 120;  // page 20 of partition 1
  pagebuf *buf_ = nullptr;
};

TEST_F(SavePage, WritesAtOnceWhenNoImageWaits) {
  add_image(7);  // an image of another page does not hold it
  ASSERT_EQ(bm_savepage(buf_), 0);
  EXPECT_EQ(home(), buffer());
  EXPECT_EQ(dbs()->st_savewait, 0);
  EXPECT_EQ(dbs()->st_writes, 1);
}

// The image writer (a child registered as user 3) sees the saver waiting 'I' on the page, sees
// its own wake-up pending and the page not yet written, then empties the buffer.
TEST_F(SavePage, WaitsMarkedUntilTheImageWriterEmptiesTheBuffer) {
  constexpr int kWriter = 3;
  dbs()->imgwriter = kWriter;
  add_image(5);
  add_image(kPage);
  pid_t writer = fork_child([this] {
    register_slot(kWriter);
    const userslot &saver = dbs()->users[1];
    bool marked = eventually([&] {
      return (saver.uflags & US_WAITING) != 0 && saver.waitkind == 'I' && saver.waitobj == kPage;
    });
    if (!marked) return 1;
    if (!eventually([&] { return semctl(dbs()->semid, kWriter, GETVAL) == 1; })) return 2;
    if (home() == buffer()) return 3;
    bm_p(dbs()->imgsem);
    dbs()->nimg = 0;
    bm_v(dbs()->imgsem);
    return 0;
  });
  userslot *me = register_slot(1);
  ASSERT_EQ(bm_savepage(buf_), 0);
  EXPECT_EQ(wait_child(writer), 0);
  EXPECT_EQ(home(), buffer());
  EXPECT_GE(dbs()->st_savewait, 1);
  EXPECT_EQ(me->uflags & US_WAITING, 0u);
}

TEST_F(SavePage, NoWriterToWakeWhenImgwriterIsNone) {
  add_image(kPage);
  pid_t writer = fork_child([this] {
    if (!eventually([this] { return dbs()->st_savewait >= 2; })) return 1;
    for (int u = 0; u < dbs()->nusers; u++)
      if (semctl(dbs()->semid, u, GETVAL) != 0) return 2;
    bm_p(dbs()->imgsem);
    dbs()->nimg = 0;
    bm_v(dbs()->imgsem);
    return 0;
  });
  ASSERT_EQ(bm_savepage(buf_), 0);  // unregistered: waits without a slot to mark
  EXPECT_EQ(wait_child(writer), 0);
  EXPECT_EQ(home(), buffer());
}

TEST_F(SavePage, WriteFailureIsTheResult) {
  pg_setword(buf_->page, PH_PAGENR, pn(FULL, 2));
  EXPECT_EQ(bm_savepage(buf_), -1);
  EXPECT_EQ(iserrno, ENOSPC);
}

// With the stop flag set, a page whose image still waits is left unwritten: never home first.
TEST_F(SavePage, StopFlagLeavesAPageWithAWaitingImageUnwritten) {
  add_image(kPage);
  auto before = home();
  term_req = 1;
  EXPECT_EQ(bm_savepage(buf_), -1);
  term_req = 0;
  EXPECT_EQ(iserrno, ER_STOPREQ);
  EXPECT_EQ(home(), before);
}


// ---- Runs of collected buffers (bm_saverun) ------------------------------------------------

struct run_case {
  const char *name;
  std::vector<int32_t> pages;  // in the order given
  std::vector<int> taken;      // run lengths, call by call
  std::vector<int> written;
};

// Runs follow the given order only, and end at a gap, a step back, a partition's end (also
// when the next partition goes on with the very next page number), the dbspace's end and
// after BM_RUNMAX pages. Every page written lands at its own place.
TEST_F(PageIo, RunsJoinOnlyAdjacentPagesOfOnePartition) {
  std::vector<int32_t> forty;
  for (int i = 0; i < 40; i++) forty.push_back(pn(ROOT, 5 + i));
  const run_case cases[] = {
      {"gap", {pn(ROOT, 10), pn(ROOT, 11), pn(ROOT, 13)}, {2, 1}, {2, 1}},
      {"step back", {pn(ROOT, 21), pn(ROOT, 20)}, {1, 1}, {1, 1}},
      {"partition end", {pn(ROOT, 97), pn(ROOT, 98), pn(ROOT, 99), pn(ROOT, 100), pn(ROOT, 101)},
       {3, 2}, {3, 2}},
      {"last pages", {pn(ROOT, 148), pn(ROOT, 149)}, {2}, {2}},
      {"other dbspace", {pn(SMALL, 0), pn(ROOT, 1)}, {1, 1}, {1, 1}},
      {"beyond the partition", {pn(SMALL, 1), pn(SMALL, 2)}, {1, 1}, {1, 0}},
      {"longest run", forty, {BM_RUNMAX, 40 - BM_RUNMAX}, {BM_RUNMAX, 40 - BM_RUNMAX}},
  };
  for (const run_case &c : cases) {
    SCOPED_TRACE(c.name);
    size_t n = c.pages.size();
    std::vector<pagebuf> store(n);
    std::vector<pagebuf *> bufs(n);
    for (size_t i = 0; i < n; i++) {
      auto contents = pattern(static_cast<int>(i) + 1);
      memcpy(store[i].page, contents.data(), PAGESIZE);
      pg_setword(store[i].page, PH_PAGENR, c.pages[i]);
      bufs[i] = &store[i];
    }
    std::vector<int> taken, written;
    for (size_t i = 0; i < n;) {
      bm_run r = bm_saverun(bufs.data() + i, static_cast<int>(n - i));
      taken.push_back(r.taken);
      written.push_back(r.written);
      for (int j = 0; j < r.written; j++) {
        std::vector<unsigned char> back(PAGESIZE);
        ASSERT_EQ(bm_pread(c.pages[i + j], back.data(), PIO_ANYPART), 0);
        EXPECT_EQ(memcmp(back.data(), store[i + j].page, PAGESIZE), 0) << i + j;
      }
      i += r.taken;
    }
    EXPECT_EQ(taken, c.taken);
    EXPECT_EQ(written, c.written);
  }
  EXPECT_EQ(file_size(dev("chunk1")), kOffset1 + 50 * PAGESIZE);  // nothing written past it
}

// A write that the file size limit cuts inside a page ends short without an errno: the reason
// is ENOSPC ("errno 28"), never 0, and never the errno of an interrupted try before it.
TEST_F(PageIo, ShortWriteWithoutErrnoGivesEnospc) {
  for (bool interrupted_first : {false, true}) {
    SCOPED_TRACE(interrupted_first);
    std::string before = log_text();
    pid_t child = fork_child([&] {
      signal(SIGXFSZ, SIG_IGN);
      rlim_t limit = 5 * PAGESIZE + 1000;
      struct rlimit rl = {limit, limit};
      if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return 1;
      if (interrupted_first) {
        faulthook::writeino = faulthook::inode_of(dev("chunk0").c_str());
        faulthook::writepos = 5 * PAGESIZE;
        faulthook::writeerrno = EINTR;
        faulthook::writefails = 1;
      }
      auto page = pattern(1);
      if (bm_pwrite(pn(ROOT, 5), page.data(), PIO_ANYPART) != -1) return 2;
      if (faulthook::writefails != 0) return 3;
      return iserrno == ENOSPC ? 0 : 4;
    });
    ASSERT_EQ(wait_child(child), 0);
    EXPECT_EQ(log_text(), before + std::to_string(child) + ": Write on device " + dev("chunk0") +
                              " failed.Page 5.errno 28\n");
  }
}

// The first failure of a partition in full, repeats counted, and a line when it works again.
TEST_F(PageIo, RepeatedRunFailuresAreCountedUntilAWriteSucceeds) {
  pid_t child = fork_child([] {
    signal(SIGXFSZ, SIG_IGN);
    rlim_t limit = 10 * PAGESIZE;
    struct rlimit rl = {limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return 1;
    pagebuf beyond{}, within{};
    pg_setword(beyond.page, PH_PAGENR, pn(ROOT, 50));
    pg_setword(within.page, PH_PAGENR, pn(ROOT, 1));
    pagebuf *b = &beyond, *w = &within;
    bm_run first = bm_saverun(&b, 1);
    if (first.written != 0 || first.counted || iserrno != EFBIG) return 2;
    for (int i = 0; i < 3; i++)
      if (!bm_saverun(&b, 1).counted) return 3;
    if (bm_saverun(&w, 1).written != 1) return 4;
    return bm_saverun(&b, 1).counted ? 5 : 0;  // a new row of failures starts in full
  });
  ASSERT_EQ(wait_child(child), 0);
  std::string head = std::to_string(child) + ": Write on device " + dev("chunk0");
  std::string failed = head + " failed.Page 50.errno " + std::to_string(EFBIG) + "\n";
  EXPECT_EQ(log_text(), failed + head + " succeeds again.3 more failures\n" + failed);
}

// ---- Error paths --------------------------------------------------------------------------------

using PageIoErrors = PageIo;

TEST_F(PageIoErrors, PageEqualToNpagesIsRefusedBeforeThePartitionSearch) {
  auto page = pattern(1);
  EXPECT_EQ(bm_pwrite(pn(ROOT, 150), page.data(), PIO_ANYPART), -1);
  EXPECT_EQ(iserrno, ER_BADPAGEIO);
  EXPECT_EQ(bm_pread(pn(ROOT, 150), page.data(), PIO_ANYPART), -1);
  EXPECT_EQ(iserrno, ER_BADPAGEIO);
  EXPECT_EQ(bm_lwrite(pn(ROOT, 150), page.data(), 1, 1), -1);
  EXPECT_EQ(log_text(),
            "Invalid page w-req.: dbs = 0, pages = 150, page = 150\n"
            "Invalid page r-req.: dbs = 0, partn = -1, page = 150\n"
            "Invalid page w-req.: dbs = 0, pages = 150, page = 150\n");
  EXPECT_EQ(bm_nfdtab, 0);  // no partition was looked at
}

TEST_F(PageIoErrors, UnknownDbspaceQuotesZeroPages) {
  auto page = pattern(1);
  EXPECT_EQ(bm_pwrite(pn(7, 3), page.data(), PIO_ANYPART), -1);
  EXPECT_EQ(bm_pread(-1, page.data(), 4), -1);  // dbspace 255: the top byte is unsigned
  EXPECT_EQ(iserrno, ER_BADPAGEIO);
  EXPECT_EQ(log_text(),
            "Invalid page w-req.: dbs = 7, pages = 0, page = 3\n"
            "Invalid page r-req.: dbs = 255, partn = 4, page = 16777215\n");
}

TEST_F(PageIoErrors, ReadMessageOfTheSearchHasNoFullStop) {
  std::vector<unsigned char> page(PAGESIZE);
  errno = 0;
  EXPECT_EQ(bm_pread(pn(SMALL, 2), page.data(), PIO_ANYPART), -1);
  EXPECT_EQ(iserrno, ER_BADPAGEIO);
  EXPECT_EQ(errno, ER_BADPAGEIO);
  EXPECT_EQ(log_text(), "Invalid page r-req: dbs = 1, partn = 1, page = 0\n");
}

TEST_F(PageIoErrors, NamedPartitionOutOfRange) {
  std::vector<unsigned char> page(PAGESIZE);
  EXPECT_EQ(bm_pread(pn(ROOT, 5), page.data(), 2), -1);
  EXPECT_EQ(bm_pwrite(pn(ROOT, 5), page.data(), -2), -1);
  EXPECT_EQ(iserrno, ER_BADPAGEIO);
  EXPECT_EQ(errno, ER_BADPAGEIO);
  EXPECT_EQ(log_text(),
            "Invalid page r-req: dbs = 0, partn = 2, page = 5\n"
            "Invalid page w-req.: dbs = 0, partn = -2, page = 5\n");
}

// A page named within a partition must lie inside it: page 60 of a 50-page partition would be
// bytes of whatever follows the partition on its device.
TEST_F(PageIoErrors, NamedPartitionPageBeyondItsEnd) {
  auto page = pattern(1);
  EXPECT_EQ(bm_pwrite(pn(ROOT, 60), page.data(), 1), -1);
  EXPECT_EQ(iserrno, ER_BADPAGEIO);
  EXPECT_EQ(file_size(dev("chunk1")), kOffset1 + 50 * PAGESIZE);
  EXPECT_EQ(log_text(), "Invalid page w-req.: dbs = 0, partn = 1, page = 60\n");
}

TEST_F(PageIoErrors, RunCrossingThePartitionEndIsRefused) {
  auto run = pattern(1, 3);
  EXPECT_EQ(bm_lwrite(pn(ROOT, 98), run.data(), PIO_ANYPART, 3), -1);
  EXPECT_EQ(bm_lwrite(pn(ROOT, 10), run.data(), PIO_ANYPART, 0), -1);
  EXPECT_EQ(iserrno, ER_BADPAGEIO);
  EXPECT_EQ(file_bytes(dev("chunk0"), 98 * PAGESIZE, 2 * PAGESIZE),
            std::vector<unsigned char>(2 * PAGESIZE, 0));
  EXPECT_EQ(log_text(),
            "Invalid page w-req.: dbs = 0, partn = 0, page = 98\n"
            "Invalid page w-req.: dbs = 0, partn = 0, page = 10\n");
}

TEST_F(PageIoErrors, MissingDeviceGivesErrnoAndIsOpenedAgainNextTime) {
  std::vector<unsigned char> page(PAGESIZE);
  EXPECT_EQ(bm_pread(pn(MISSING, 1), page.data(), PIO_ANYPART), -1);
  EXPECT_EQ(iserrno, ENOENT);
  EXPECT_EQ(bm_fdtab[part(MISSING, 0).fdslot - 1], -1);
  EXPECT_EQ(log_text(), "");
  make_file(dev("missing"), 10 * PAGESIZE);
  EXPECT_EQ(bm_pread(pn(MISSING, 1), page.data(), PIO_ANYPART), 0);
  EXPECT_GE(bm_fdtab[part(MISSING, 0).fdslot - 1], 0);
}

TEST_F(PageIoErrors, DevFullFailsEveryWriteWithEnospc) {
  auto page = pattern(1);
  EXPECT_EQ(bm_pwrite(pn(FULL, 3), page.data(), PIO_ANYPART), -1);
  EXPECT_EQ(iserrno, ENOSPC);
  auto run = pattern(1, 2);
  EXPECT_EQ(bm_lwrite(pn(FULL, 4), run.data(), PIO_ANYPART, 2), -1);
  EXPECT_EQ(iserrno, ENOSPC);
  EXPECT_EQ(bm_pread(pn(FULL, 3), page.data(), PIO_ANYPART), 0);  // reads give zeros
  std::string e = std::to_string(ENOSPC);
  EXPECT_EQ(log_text(), pid() + ": Write on device /dev/full failed.Page 3.errno " + e + "\n" +
                            pid() + ": lwrite on device /dev/full failed.Page 4.errno " + e + "\n");
}

// Needs root: a process of another user may not open root's read-only partition file.
TEST_F(PageIoErrors, ReadOnlyFileCannotBeOpenedForWriting) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as the user tolv";
  struct passwd *pw = getpwnam("tolv");
  if (pw == nullptr) GTEST_SKIP() << "no user tolv";
  ASSERT_EQ(chmod(dev("chunk0").c_str(), 0444), 0);
  uid_t uid = pw->pw_uid;
  gid_t gid = pw->pw_gid;
  pid_t child = fork_child([uid, gid] {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) return 1;
    std::vector<unsigned char> page(PAGESIZE);
    if (bm_pread(pn(ROOT, 1), page.data(), PIO_ANYPART) != -1) return 2;
    return iserrno == EACCES ? 0 : 3;
  });
  EXPECT_EQ(wait_child(child), 0);
}

// A device that cannot seek (a FIFO): the write is not attempted after the failed seek, the
// read is (and comes up short: two errors).
TEST_F(PageIoErrors, FailedSeekKeepsTheWriteOffTheDevice) {
  no_confcheck();
  auto page = pattern(1);
  EXPECT_EQ(bm_pwrite(pn(PIPE, 2), page.data(), PIO_ANYPART), -1);
  EXPECT_EQ(iserrno, ESPIPE);
  int fd = open(dev("pipe").c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  char c;
  EXPECT_EQ(read(fd, &c, 1), -1);  // nothing reached the pipe
  EXPECT_EQ(errno, EAGAIN);
  ASSERT_EQ(write(fd, page.data(), 100), 100);
  EXPECT_EQ(bm_pread(pn(PIPE, 2), page.data(), PIO_ANYPART), -1);
  EXPECT_EQ(iserrno, ER_PROBESHORT);
  close(fd);
  std::string e = std::to_string(ESPIPE);
  std::string d = dev("pipe");
  EXPECT_EQ(log_text(), pid() + ": Write on device " + d + " failed.Page 2.errno " + e + "\n" +
                            pid() + ": Read of device " + d +
                            " failed.Page 2.errno -410 errflag = 2\n");
}

// A negative offset would put the partition's first pages before it, into whatever precedes.
TEST_F(PageIoErrors, NegativeOffsetIsRefusedBeforeTheOpen) {
  partition p = part(ROOT, 0);
  p.offset = -PAGESIZE;
  EXPECT_EQ(bm_openpart(&p), -1);
  EXPECT_EQ(iserrno, EINVAL);
  EXPECT_EQ(log_text(), "bm_openpart: " + dev("chunk0") + " refused: negative offset\n");
}

TEST_F(PageIoErrors, ProbeSeekFailureIsReported) {
  partition p = part(ROOT, 0);
  p.size = 0;  // the last page would lie before the device's start
  EXPECT_EQ(bm_openpart(&p), -1);
  EXPECT_EQ(iserrno, EINVAL);
  p = part(ROOT, 0);
  p.offset = INT32_MAX - PAGESIZE;  // its last page lies beyond a 32-bit position
  EXPECT_EQ(bm_openpart(&p), -1);
  EXPECT_EQ(iserrno, EOVERFLOW);
  std::string d = dev("chunk0");
  EXPECT_EQ(log_text(), "Reading last page of " + d + " failed. errno = " + std::to_string(EINVAL) +
                            "\nReading last page of " + d + " failed. errno = " +
                            std::to_string(EOVERFLOW) + "\n");
}

// A position past 2^31 - 1 is refused, not wrapped to a low (and wrong) place.
TEST_F(PageIoErrors, PositionBeyond32BitsIsNeverWrapped) {
  no_confcheck();
  part(ROOT, 1).offset = INT32_MAX - 10 * PAGESIZE;
  auto page = pattern(1);
  EXPECT_EQ(bm_pwrite(pn(ROOT, 120), page.data(), PIO_ANYPART), -1);
  EXPECT_EQ(iserrno, EOVERFLOW);
  EXPECT_EQ(file_size(dev("chunk1")), kOffset1 + 50 * PAGESIZE);
  EXPECT_EQ(file_bytes(dev("chunk1"), 0, kOffset1 + 50 * PAGESIZE),
            std::vector<unsigned char>(kOffset1 + 50 * PAGESIZE, 0));
  EXPECT_EQ(log_text(), pid() + ": Write on device " + dev("chunk1") + " failed.Page 20.errno " +
                            std::to_string(EOVERFLOW) + "\n");
}

TEST_F(PageIoErrors, UnterminatedDeviceFieldIsReadWithinItsBytes) {
  partition p = part(ROOT, 0);
  memset(p.device, 'x', sizeof p.device);
  p.offset = 0;  // the field runs on into offset: it must not be part of the path
  EXPECT_EQ(bm_openpart(&p), -1);
  EXPECT_EQ(iserrno, ENOENT);
}

TEST_F(PageIoErrors, SlotBelowOneNamesNoCacheEntry) {
  partition p = part(ROOT, 0);
  p.fdslot = 0;
  EXPECT_EQ(bm_getfd(&p), -1);
  EXPECT_EQ(iserrno, EBADF);
  EXPECT_EQ(bm_nfdtab, 0);
}

// ---- Faults at the system calls ------------------------------------------------------------------

// A write interrupted by a signal is repeated at the same place, unseen by the caller.
TEST_F(PageIoErrors, InterruptedWriteIsRepeated) {
  faulthook::writeino = faulthook::inode_of(dev("chunk0").c_str());
  faulthook::writepos = 5 * PAGESIZE;
  faulthook::writeerrno = EINTR;
  faulthook::writefails = 1;
  auto page = pattern(7);
  EXPECT_EQ(bm_pwrite(pn(ROOT, 5), page.data(), PIO_ANYPART), 0);
  faulthook::writeino = 0;
  EXPECT_EQ(faulthook::writefails, 0);
  EXPECT_EQ(file_bytes(dev("chunk0"), 5 * PAGESIZE), page);
  EXPECT_EQ(log_text(), "");
}

// A device without a cache of its own counts as synced; a page outside the dbspace has no
// partition to sync.
TEST_F(PageIoErrors, SyncOfAnUncachedDeviceSucceedsAndOfNoPartitionFails) {
  EXPECT_EQ(bm_syncpage(pn(FULL, 0)), 0);
  EXPECT_EQ(bm_syncpage(pn(ROOT, 150)), -1);
  EXPECT_EQ(iserrno, ER_BADPAGEIO);
  EXPECT_EQ(bm_pagefd(pn(ROOT, 150)), -1);
  EXPECT_EQ(iserrno, ER_BADPAGEIO);
}

// A run whose device cannot be opened writes nothing; the open reported itself, and further
// failures of the partition are counted.
TEST_F(PageIoErrors, RunOnADeviceThatCannotBeOpened) {
  pagebuf b{};
  pg_setword(b.page, PH_PAGENR, pn(MISSING, 1));
  pagebuf *bp = &b;
  bm_run r = bm_saverun(&bp, 1);
  EXPECT_EQ(r.written, 0);
  EXPECT_EQ(iserrno, ENOENT);
  EXPECT_FALSE(r.counted);
  EXPECT_TRUE(bm_saverun(&bp, 1).counted);
}

// Out of memory: the descriptor cache cannot grow (the transfer fails with -ENOMEM's code), and
// a partition's failures with no room to keep count are each reported in full.
TEST_F(PageIoErrors, NoMemoryForTheDescriptorCacheOrTheFailureNotes) {
  std::vector<unsigned char> page(PAGESIZE);
  ba_memfault(0);
  EXPECT_EQ(bm_pread(pn(ROOT, 1), page.data(), PIO_ANYPART), -1);
  EXPECT_EQ(iserrno, ER_NOMEM);
  EXPECT_EQ(bm_nfdtab, 0);
  ba_memfault(-1);
  pid_t child = fork_child([] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {10 * PAGESIZE, 10 * PAGESIZE};
    pagebuf b{};
    pg_setword(b.page, PH_PAGENR, pn(ROOT, 50));
    pagebuf *bp = &b;
    if (bm_getfd(&bm_dbs->dbspaces[ROOT].parts[0]) < 0 || setrlimit(RLIMIT_FSIZE, &rl) != 0)
      return 1;
    ba_memfault(0);
    bool counted = bm_saverun(&bp, 1).counted;
    return !ba_memfaulted() ? 2 : counted ? 3 : 0;
  });
  ASSERT_EQ(wait_child(child), 0);
  EXPECT_EQ(log_text(), std::to_string(child) + ": Write on device " + dev("chunk0") +
                            " failed.Page 50.errno " + std::to_string(EFBIG) + "\n");
}

// Repeated failures of a partition are reported once a minute with their count and last errno.
TEST_F(PageIo, RepeatedFailuresAreReportedOnceAMinute) {
  pid_t child = fork_child([] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {10 * PAGESIZE, 10 * PAGESIZE};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return 1;
    pagebuf b{};
    pg_setword(b.page, PH_PAGENR, pn(ROOT, 50));
    pagebuf *bp = &b;
    for (int i = 0; i < 3; i++) bm_saverun(&bp, 1);
    clockhook::shift = 61;
    return bm_saverun(&bp, 1).counted ? 0 : 2;
  });
  ASSERT_EQ(wait_child(child), 0);
  std::string head = std::to_string(child) + ": Write on device " + dev("chunk0");
  std::string e = std::to_string(EFBIG);
  EXPECT_EQ(log_text(), head + " failed.Page 50.errno " + e + "\n" + head +
                            " failed 3 more times in 61 s.errno " + e + "\n");
}

// ---- Partition opens of a set-user-id run -------------------------------------------------------

struct open_case {
  const char *name;
  const char *file;  // below the installation
  bool configured;   // the configuration read at start-up names the partition
  bool via_link;     // the partition's path is a symbolic link to file
  mode_t mode;
  int err;             // 0: opened
  const char *reason;  // of the refusal
};

// Run set-user-id (real user tolv, effective root as the daemon has it once started), a partition
// is opened only when the configuration names it, with the caller's rights, never through a
// link, and only when the descriptor shows a regular file or block device of tolv:tolv 0660.
TEST_F(PageIoErrors, SetUidRunOpensOnlySoundConfiguredPartitions) {
  const struct passwd *pw = getpwnam("tolv");
  if (geteuid() != 0 || pw == nullptr) GTEST_SKIP() << "needs root and the user tolv";
  const open_case cases[] = {
      {"unconfigured", "chunk0", false, false, 0660, EACCES, "not a partition of the configuration"},
      {"link", "chunk0", true, true, 0660, ELOOP, "not its own real path (a symbolic link)"},
      {"fifo", "pipe", true, false, 0660, EACCES, "not a regular file or block device"},
      {"mode", "chunk0", true, false, 0644, EACCES, "owner, group or mode not tolv, tolv, 0660"},
      {"sound", "chunk0", true, false, 0660, 0, nullptr},
  };
  ASSERT_EQ(symlink(dev("chunk0").c_str(), dev("link").c_str()), 0);
  ASSERT_EQ(chmod(dev("").c_str(), 0755), 0);  // the caller may look up the partitions
  for (const open_case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dev(c.via_link ? "link" : c.file);
    ASSERT_LE(path.size(), size_t{CF_PATHMAX});
    ASSERT_EQ(chown(dev(c.file).c_str(), pw->pw_uid, pw->pw_gid), 0);
    ASSERT_EQ(chmod(dev(c.file).c_str(), c.mode), 0);
    partition p = part(ROOT, 0);
    snprintf(p.device, sizeof p.device, "%s", path.c_str());
    cfgpart cp = {0, {}, 0, 100 * PAGESIZE / 1024};
    snprintf(cp.path, sizeof cp.path, "%s", path.c_str());
    cfgspace cs = {"ROOTDBS", 1, &cp};
    dbsconfig.ndbspace = c.configured ? 1 : 0;
    dbsconfig.dbspaces = &cs;
    uid_t uid = pw->pw_uid;
    pid_t child = fork_child([&p, uid] {
      if (setresuid(uid, 0, 0) != 0 || ba_privinit() != 0 || ba_privraise() != 0) return 100;
      int fd = bm_openpart(&p);
      return fd >= 0 ? 0 : iserrno;
    });
    EXPECT_EQ(wait_child(child), c.err);
    std::string line = c.reason == nullptr ? ""
                                           : "bm_openpart: " + path + " refused: " + c.reason;
    EXPECT_NE(log_text().find(line), std::string::npos) << log_text();
    dbsconfig.ndbspace = 0;
    dbsconfig.dbspaces = nullptr;
  }
}

}  // namespace
