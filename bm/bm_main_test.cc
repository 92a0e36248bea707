// Tests of bm_main (bm_getpage and its bookkeeping) with real processes on a real segment and
// real partition files: lookups, assignment and the sorted index, replacement of dirty buffers
// with a concurrent request for the old page, the waits ('f', 'P', transit, read-in), before
// images, local images, new pages, archive copies, and the error paths with real I/O faults
// (a write limit that makes the old contents' write fail, a partition shorter than its dbspace).
// Every test ends with the pool consistent and idle (pool_problems).
#include "bm/bm_main.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_arch.h"
#include "bm/bm_globals.h"
#include "bm/bm_image.h"
#include "bm/bm_sema.h"
#include "testing/segment.h"

namespace {

using tolvtest::eventually;
using tolvtest::fork_child;
using tolvtest::pool_problems;
using tolvtest::register_slot;
using tolvtest::wait_child;

constexpr int kPages = 1000;  // rootdbs
constexpr int kShortSpace = 1;
constexpr int kShortPages = 4;  // pages the short partition file really has (of 16)
constexpr int kDataType = 1;

int32_t pn(int space, int32_t page) {
  return static_cast<int32_t>(static_cast<uint32_t>(space) << PN_SPACESHIFT) | page;
}

// Pages of list 0 (two lists: pages p with (p >> 3) even), from 0x100 on so that page 0 stays out.
int32_t list0_page(int i) { return 0x100 + (i / 8) * 16 + i % 8; }

// A file of n pages, page i holding its page number (of dbspace space) and a data page type.
void format_file(const std::string &path, int space, int n, int file_pages) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t{file_pages} * PAGESIZE), 0);
  std::vector<unsigned char> page(PAGESIZE);
  for (int i = 0; i < n && i < file_pages; i++) {
    pg_setword(page.data(), PH_PAGENR, pn(space, i));
    pg_setword(page.data(), PH_PAGETYPE, kDataType);
    ASSERT_EQ(pwrite(fd, page.data(), PAGESIZE, off_t{i} * PAGESIZE), PAGESIZE);
  }
  close(fd);
}

class PageRequests : public tolvtest::SegmentTest {
 protected:
  srv_geometry geometry() const override {
    srv_geometry g = SegmentTest::geometry();
    g.imgmax = 8;
    g.spaces.push_back(srv_space{"short", 16, {srv_part{inst_.path("short"), 0, 16 * PAGESIZE}}});
    return g;
  }
  void SetUp() override {
    format_file(inst_.path("rootdbs"), 0, kPages, kPages);
    format_file(inst_.path("short"), kShortSpace, kShortPages, kShortPages);
    ba_settings.flags |= ENV_NOCONFCHECK;  // the short partition opens
    SegmentTest::SetUp();
    me_ = register_slot(1, "TOLVDB");
    me_->uflags = US_EA | US_ACTION;
  }
  void TearDown() override {
    ba_settings.flags &= ~ENV_NOCONFCHECK;
    EXPECT_EQ(pool_problems(dbs()), "");
    SegmentTest::TearDown();
  }
  // Home contents of page p of rootdbs.
  std::vector<unsigned char> disk(int32_t p) const {
    return tolvtest::read_page(inst_.path("rootdbs"), p);
  }
  // Updates page p: fixes it for update, writes value into its data word, unfixes it.
  void update(int32_t p, int32_t value) const {
    pagebuf *b = bm_getpage(p, ST_UPDATE, nullptr);
    ASSERT_NE(b, nullptr) << "page " << p << " iserrno " << iserrno;
    pg_setword(b->page, PH_DATA, value);
    bm_unfix(b);
  }
  void read(int32_t p) const {
    pagebuf *b = bm_getpage(p, 0, nullptr);
    ASSERT_NE(b, nullptr) << "page " << p << " iserrno " << iserrno;
    bm_unfix(b);
  }
  // Ends the current action's local images and new pages.
  void end_action() const {
    bm_freelocimg(me_);
    bm_clrnew();
  }
  bool has(const std::string &text) const { return log_text().find(text) != std::string::npos; }

  userslot *me_ = nullptr;
};

// ---- Lookup, assignment, hits --------------------------------------------------------------

TEST_F(PageRequests, FirstRequestTakesTheHeadBufferAndResortsTheIndex) {
  buflist &l = *bm_pagelist(0x105);
  pagebuf *head = l.head;
  pagebuf *b = bm_getpage(0x105, 0, nullptr);
  ASSERT_EQ(b, head);
  EXPECT_EQ(pg_word(b->page, PH_PAGENR), 0x105);
  EXPECT_EQ(b->fixcnt, 1);
  EXPECT_EQ(b->flags, 0u);
  EXPECT_EQ(l.index[l.nbufs - 1].get(), b);  // the only used buffer sorts last
  EXPECT_EQ(l.tail.get(), b);
  EXPECT_EQ(dbs()->st_reads, 1);
  EXPECT_EQ(dbs()->st_requests, 1);
  bm_unfix(b);
  EXPECT_EQ(bm_getpage(0x105, 0, nullptr), b);  // a hit: no read
  EXPECT_EQ(bm_getpage(0x105, 0, b), b);        // through the hint
  EXPECT_EQ(dbs()->st_reads, 1);
  EXPECT_EQ(dbs()->st_hits, 2);
  EXPECT_EQ(b->fixcnt, 2);
  bm_unfix(b);
  bm_unfix(b);
}

TEST_F(PageRequests, PageZeroOnlyForTheServerAndTheRecovery) {
  pagebuf *b = bm_getpage(0, 0, nullptr);
  ASSERT_NE(b, nullptr);
  bm_unfix(b);
  register_slot(1, "TOLVFLUSH");
  EXPECT_EQ(bm_getpage(0, 0, nullptr), nullptr);
  EXPECT_EQ(iserrno, ER_BADPAGE);
  EXPECT_TRUE(has("bm_getpage: Page = 0\n"));
}

// The index stays sorted and every buffer stays in one place while a list is cycled through
// many more pages than it has buffers, in a scattered order.
TEST_F(PageRequests, ReplacementKeepsIndexAndChainConsistent) {
  for (int i = 0; i < 200; i++) {
    int32_t p = list0_page(i % 3 == 0 ? i % 4 : (i * 37) % 60);  // hot pages among cold
    pagebuf *b = bm_getpage(p, 0, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(pg_word(b->page, PH_PAGENR), p);
    bm_unfix(b);
    ASSERT_EQ(pool_problems(dbs()), "") << "after page " << p;
  }
  EXPECT_GT(dbs()->st_hits, 0);
}

TEST_F(PageRequests, LowbufTakesOnlyBuffersUpToTheLowLimit) {
  buflist &l = *bm_pagelist(0x100);
  std::vector<pagebuf *> held;
  for (int i = 0; i < 5; i++) {  // fixed: buffers 0..4 of the list
    held.push_back(bm_getpage(list0_page(i), 0, nullptr));
    ASSERT_NE(held.back(), nullptr);
  }
  pagebuf *b = bm_getpage(list0_page(9), 0, nullptr);  // unrestricted: above the limit is fine
  ASSERT_NE(b, nullptr);
  EXPECT_GT(b, l.lowlimit.get());
  bm_unfix(b);
  bm_unfix(held[0]);  // buffer 0 is free again
  pagebuf *low = bm_getpage(list0_page(10), ST_LOWBUF, nullptr);
  EXPECT_EQ(low, held[0]);
  bm_unfix(low);
  for (size_t i = 1; i < held.size(); i++) bm_unfix(held[i]);
}

// ---- Updates: dirty, before image once per interval, local image, new pages -----------------

TEST_F(PageRequests, UpdateTakesBeforeAndLocalImageOnce) {
  pagebuf *b = bm_getpage(0x120, ST_UPDATE, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->flags, BF_DIRTY | BF_BEFIMG | BF_LOCIMG);
  EXPECT_EQ(dbs()->modified, 1);
  EXPECT_EQ(dbs()->nimg, 1);
  EXPECT_EQ(me_->nlocimg, 1);
  EXPECT_EQ(memcmp(me_->locimg[0].image.get(), b->page, PAGESIZE), 0);
  pg_setword(b->page, PH_DATA, 77);
  bm_unfix(b);
  ASSERT_EQ(bm_getpage(0x120, ST_UPDATE, nullptr), b);
  EXPECT_EQ(dbs()->nimg, 1);       // one image per interval
  EXPECT_EQ(me_->nlocimg, 1);      // one local image per action
  bm_unfix(b);
  b->flags &= ~BF_DIRTY;             // a flush pass wrote the aborted contents home meanwhile
  EXPECT_EQ(restorelocimg(me_), 1);  // abort: the page as before the action
  EXPECT_EQ(pg_word(b->page, PH_DATA), 0);
  EXPECT_EQ(b->flags & BF_LOCIMG, 0u);
  EXPECT_NE(b->flags & BF_DIRTY, 0u);  // and it goes home again
  update(0x120, 78);
  end_action();
  EXPECT_EQ(b->flags & BF_LOCIMG, 0u);
  EXPECT_EQ(pg_word(me_->locimg[0].image.get(), PH_PAGENR), NOPAGE);  // block kept, free
  EXPECT_EQ(restorelocimg(me_), 0);
}

TEST_F(PageRequests, LocalImageOfAPageNoLongerBufferedIsKept) {
  update(0x120, 5);
  buflist &l = *bm_pagelist(0x120);
  pagebuf *b = l.tail;
  bm_p(&l.sema);  // the page leaves the list behind the image's back
  ASSERT_EQ(bm_updatebor(&l, NOPAGE, b), 0);
  pg_setword(b->page, PH_PAGENR, NOPAGE);
  b->flags = 0;
  bm_v(&l.sema);
  EXPECT_EQ(restorelocimg(me_), 0);
  EXPECT_TRUE(has("restorelocimg: Page 288 not found\n"));
  EXPECT_EQ(pg_word(me_->locimg[0].image.get(), PH_PAGENR), 0x120);
}

TEST_F(PageRequests, NewPagesAreNotReadAndRecordedOnce) {
  pagebuf *b = bm_getpage(0x130, ST_NEW | ST_UPDATE, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(dbs()->st_reads, 0);
  EXPECT_EQ(b->flags, BF_NEW | BF_DIRTY);  // no before image, no local image
  EXPECT_EQ(dbs()->nimg, 0);
  bm_unfix(b);
  ASSERT_EQ(bm_getpage(0x130, ST_NEW, nullptr), b);
  bm_unfix(b);
  EXPECT_EQ(bm_nnewpages, 1);
  EXPECT_EQ(bm_isnew(0x130), 1);
  bm_clrnew();
  EXPECT_EQ(b->flags & BF_NEW, 0u);
  EXPECT_EQ(bm_nnewpages, 0);
  EXPECT_EQ(bm_isnew(0x130), 0);
}

// A page read with another number is refused and its buffer unused again; with ST_ANYPAGE it
// is accepted and cleared.
TEST_F(PageRequests, ForeignPageNumberIsRefusedOrClearedWithAnypage) {
  std::vector<unsigned char> page(PAGESIZE, 0x5A);
  pg_setword(page.data(), PH_PAGENR, 999);
  int fd = open(inst_.path("rootdbs").c_str(), O_RDWR);
  ASSERT_EQ(pwrite(fd, page.data(), PAGESIZE, 0x140 * PAGESIZE), PAGESIZE);
  close(fd);
  EXPECT_EQ(bm_getpage(0x140, 0, nullptr), nullptr);
  EXPECT_EQ(iserrno, ER_PAGEMISMATCH);
  EXPECT_TRUE(has(std::to_string(getpid()) + ": Page mismatch 999 320\n"));
  EXPECT_EQ(pool_problems(dbs()), "");
  pagebuf *b = bm_getpage(0x140, ST_ANYPAGE, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(pg_word(b->page, PH_PAGENR), 0x140);
  EXPECT_EQ(b->page[100], 0);
  bm_unfix(b);
}

// ---- Waits with real processes ----------------------------------------------------------------

// A dirty buffer is replaced: the replacing process writes the old contents after releasing
// the list, waiting ('I') for the old page's before image; meanwhile a request for the old page
// waits on transit and then reads the written contents from disk.
TEST_F(PageRequests, ReplacedDirtyPageIsSavedBeforeItIsReadAgain) {
  const int32_t old = list0_page(0);
  update(old, 4242);  // dirty, its before image waits in the buffer
  end_action();
  for (int i = 1; i < 8; i++) read(list0_page(i));  // old is at the head, 7 clean behind it
  pid_t replacer = fork_child([] {
    register_slot(2);
    pagebuf *b = bm_getpage(list0_page(20), 0, nullptr);  // takes old's buffer
    if (b == nullptr) return 1;
    bm_unfix(b);
    return 0;
  });
  const userslot &r = dbs()->users[2];
  ASSERT_TRUE(eventually([&] {
    return (r.uflags & US_WAITING) != 0 && r.waitkind == 'I' && r.waitobj == old;
  }));
  EXPECT_EQ(r.transit, old);
  pid_t reader = fork_child([old] {
    register_slot(3);
    pagebuf *b = bm_getpage(old, 0, nullptr);
    if (b == nullptr) return 1;
    int v = pg_word(b->page, PH_DATA);
    bm_unfix(b);
    return v == 4242 ? 0 : 2;
  });
  EXPECT_TRUE(eventually([&] { return dbs()->st_transit > 0; }));
  bm_saveimagebuf(1);  // the image writer's turn: the old page may go home now
  EXPECT_EQ(wait_child(replacer), 0);
  EXPECT_EQ(wait_child(reader), 0);
  EXPECT_EQ(pg_word(disk(old).data(), PH_DATA), 4242);
  EXPECT_EQ(r.transit, NOPAGE);
}

TEST_F(PageRequests, UpdateWaitsForTheFlushButAReadDoesNot) {
  read(0x150);
  pagebuf *b = bm_pagelist(0x150)->tail;
  b->flags |= BF_FLUSHING;  // as the flush pass marks it
  read(0x150);
  pid_t updater = fork_child([] {
    userslot *u = register_slot(2);
    u->uflags = US_EA | US_ACTION;
    pagebuf *p = bm_getpage(0x150, ST_UPDATE, nullptr);
    if (p == nullptr) return 1;
    bm_unfix(p);
    bm_freelocimg(u);
    return 0;
  });
  const userslot &u = dbs()->users[2];
  ASSERT_TRUE(eventually([&] {
    return (u.uflags & US_WAITING) != 0 && u.waitkind == 'f' && u.waitobj == 0x150;
  }));
  EXPECT_EQ(b->flags & BF_DIRTY, 0u);
  __atomic_fetch_and(&b->flags, ~BF_FLUSHING, __ATOMIC_ACQ_REL);
  EXPECT_EQ(wait_child(updater), 0);
  EXPECT_GT(dbs()->st_flushwait, 0);
  EXPECT_NE(b->flags & BF_DIRTY, 0u);
}

// Every buffer of the list fixed except the tail: the requester sleeps marked 'P' until one is
// unfixed.
TEST_F(PageRequests, NoReplaceableBufferWaitsMarkedP) {
  std::vector<pagebuf *> held;
  for (int i = 0; i < 8; i++) held.push_back(bm_getpage(list0_page(i), 0, nullptr));
  bm_unfix(held.back());  // only the tail is unfixed: never a victim
  pid_t requester = fork_child([] {
    register_slot(2);
    pagebuf *b = bm_getpage(list0_page(30), 0, nullptr);
    if (b == nullptr) return 1;
    bm_unfix(b);
    return 0;
  });
  const userslot &u = dbs()->users[2];
  ASSERT_TRUE(eventually([&] { return (u.uflags & US_WAITING) != 0 && u.waitkind == 'P'; }));
  bm_unfix(held[3]);
  EXPECT_EQ(wait_child(requester), 0);
  EXPECT_GT(dbs()->st_nofree, 0);
  EXPECT_EQ(u.uflags & US_WAITING, 0u);
  for (int i = 0; i < 7; i++)
    if (i != 3) bm_unfix(held[i]);
}

// ---- Archive copies ------------------------------------------------------------------------------

TEST_F(PageRequests, ArchiveCopyOncePerRunWithTheContentsBeforeTheChange) {
  dbs()->archflags = AR_ACTIVE | AR_COPYPHASE;
  update(0x160, 11);  // read in: the copy is taken at the read
  update(0x160, 12);
  read(0x161);
  update(0x161, 13);  // found in the pool: the copy was taken at the first fix already
  EXPECT_EQ(dbs()->narch, 2);
  ASSERT_NE(dbs()->archbuf.get(), nullptr);
  EXPECT_EQ(pg_word(dbs()->archbuf, PH_PAGENR), 0x160);
  EXPECT_EQ(pg_word(dbs()->archbuf, PH_DATA), 0);
  EXPECT_EQ(pg_word(dbs()->archbuf + PAGESIZE, PH_PAGENR), 0x161);
  EXPECT_NE(bm_pagelist(0x160)->tail->flags & BF_ARCHIVED, 0u);
  end_action();
}

TEST_F(PageRequests, FullArchiveBufferWaitsMarkedBUntilASlotIsFree) {
  dbs()->archflags = AR_ACTIVE | AR_COPYPHASE;
  for (int i = 0; i < dbs()->archmax; i++) read(0x170 + i);
  pid_t requester = fork_child([] {
    register_slot(2);
    pagebuf *b = bm_getpage(0x178, 0, nullptr);
    if (b == nullptr) return 1;
    bm_unfix(b);
    return 0;
  });
  const userslot &u = dbs()->users[2];
  ASSERT_TRUE(eventually([&] {
    return (u.uflags & US_WAITING) != 0 && u.waitkind == 'B' && u.waitobj == 0;
  }));
  bm_p(dbs()->archsem);  // the archiver takes slot 0
  pg_setword(dbs()->archbuf, PH_PAGENR, NOPAGE);
  bm_v(dbs()->archsem);
  EXPECT_EQ(wait_child(requester), 0);
  EXPECT_EQ(pg_word(dbs()->archbuf, PH_PAGENR), 0x178);
  EXPECT_GT(dbs()->st_archwait, 0);
}

TEST_F(PageRequests, StopFlagEndsTheArchiveWaitAndUnfixes) {
  dbs()->archflags = AR_ACTIVE | AR_COPYPHASE;
  for (int i = 0; i < dbs()->archmax; i++) read(0x170 + i);
  term_req = 1;
  pagebuf *b = bm_getpage(0x178, 0, nullptr);
  term_req = 0;
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(iserrno, ER_STOPREQ);
}

// ---- Bad input and faults -----------------------------------------------------------------------

TEST_F(PageRequests, BadRequestsAreRefusedWithTheirMessages) {
  struct {
    int32_t page;
    int state;
    uint32_t uflags;
    int err;
    std::string message;
  } cases[] = {
      {-5, 0, US_EA, ER_BADPAGE, "bm_getpage: Page = -5\n"},
      {0x120, ST_UPDATE, US_EA, ER_NOACTION, "Invalid state 2 for page 288\n"},
      {pn(7, 1), 0, US_EA, ER_BADPAGE, "bm_main:invalid page request 117440513. dbspace = 7\n"},
      {kPages, 0, US_EA, ER_BADPAGE, "bm_main:invalid page request 1000\n"},
      {pn(kShortSpace, 16), 0, US_EA, ER_BADPAGE, "bm_main:invalid page request 16777232\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.message);
    me_->uflags = c.uflags;
    EXPECT_EQ(bm_getpage(c.page, c.state, nullptr), nullptr);
    EXPECT_EQ(iserrno, c.err);
    EXPECT_TRUE(has(c.message)) << log_text();
  }
  EXPECT_EQ(dbs()->st_requests, 0);
  bm_myslot = nullptr;  // not registered: refused without touching any slot
  EXPECT_EQ(bm_getpage(0x120, 0, nullptr), nullptr);
  EXPECT_EQ(iserrno, ER_NOSLOT);
}

TEST_F(PageRequests, FullBitabFailsTheUpdateAndUnfixes) {
  for (int i = 0; i < dbs()->nbitab; i++) dbs()->bitab[i] = 5000 + i;
  EXPECT_EQ(bm_getpage(0x120, ST_UPDATE, nullptr), nullptr);
  EXPECT_EQ(iserrno, ER_BITABFULL);
  EXPECT_EQ(bm_pagelist(0x120)->tail->fixcnt, 0);
}

TEST_F(PageRequests, InconsistentIndexIsReportedAndChangesNothing) {
  buflist &l = *bm_pagelist(0x100);
  read(0x100);
  pagebuf *b = l.tail;
  bm_p(&l.sema);
  pg_setword(b->page, PH_PAGENR, 0x101);  // the buffer's number no longer matches its place
  EXPECT_EQ(bm_pageindex(&l, 0x100), -1);
  EXPECT_EQ(iserrno, ER_BADINDEX);
  EXPECT_TRUE(has("bm_pageindex: page 256 not found\n"));
  pg_setword(b->page, PH_PAGENR, 0x100);
  pagebuf stray{};
  pg_setword(stray.page, PH_PAGENR, NOPAGE);
  EXPECT_EQ(bm_updatebor(&l, 0x108, &stray), -1);
  EXPECT_TRUE(has("bm_updatebor: page 264 not found\n"));
  bm_v(&l.sema);
}

// A read that fails (the partition file ends early) leaves no pinned buffer: once the file has
// the page, the next request reads it.
TEST_F(PageRequests, FailedReadCanBeRetried) {
  const int32_t p = pn(kShortSpace, 10);
  EXPECT_EQ(bm_getpage(p, 0, nullptr), nullptr);
  EXPECT_EQ(iserrno, ER_PROBESHORT);
  EXPECT_EQ(pool_problems(dbs()), "");
  format_file(inst_.path("short"), kShortSpace, 16, 16);
  pagebuf *b = bm_getpage(p, 0, nullptr);
  ASSERT_NE(b, nullptr) << iserrno;
  EXPECT_EQ(pg_word(b->page, PH_PAGENR), p);
  bm_unfix(b);
}

// The write of replaced old contents fails (a file size limit below the page): the old page
// stays in transit, unreadable to others, and is written once the limit is lifted.
rlim_t lifted_limit;
void lift_limit(int) {
  struct rlimit rl = {lifted_limit, lifted_limit};
  setrlimit(RLIMIT_FSIZE, &rl);
}

TEST_F(PageRequests, FailedWriteOfOldContentsIsRetriedNotLost) {
  const int32_t old = list0_page(16);  // page 0x180: far enough into the file
  update(old, 5151);
  end_action();
  bm_saveimagebuf(1);
  for (int i = 1; i < 8; i++) read(list0_page(16 + i));
  pid_t replacer = fork_child([] {
    register_slot(2);
    struct rlimit rl;
    getrlimit(RLIMIT_FSIZE, &rl);
    lifted_limit = rl.rlim_cur;
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGUSR1, lift_limit);
    rl.rlim_cur = off_t{0x100} * PAGESIZE;  // below the old page
    setrlimit(RLIMIT_FSIZE, &rl);
    pagebuf *b = bm_getpage(list0_page(40), 0, nullptr);
    if (b == nullptr) return 1;
    bm_unfix(b);
    return 0;
  });
  const userslot &r = dbs()->users[2];
  ASSERT_TRUE(eventually([&] { return has("Write on device"); }));
  EXPECT_EQ(r.transit, old);
  EXPECT_EQ(pg_word(disk(old).data(), PH_DATA), 0);  // not on disk yet, not dropped either
  kill(replacer, SIGUSR1);
  EXPECT_EQ(wait_child(replacer), 0);
  EXPECT_EQ(pg_word(disk(old).data(), PH_DATA), 5151);
  read(old);  // and read back as written
  pagebuf *b = bm_getpage(old, 0, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(pg_word(b->page, PH_DATA), 5151);
  bm_unfix(b);
}

}  // namespace
