// Tests of the stand-in's buffer pool work on a real segment with a formatted partition file:
// touch assigns only unused or unfixed flagless buffers, keeps the sorted index and the LRU
// chain consistent, changes found pages in place, releases the list semaphore while it waits
// (and shows the wait), gives up after its bound, refuses reserved pages; verify tells clean
// and equal, dirty, and differing or unreadable pages apart.
#include "tools/srv_pool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <set>
#include <tuple>

#include "ba/ba_msg.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_io.h"
#include "bm/bm_logrec.h"
#include "bm/bm_sema.h"
#include "flush/ad_check.h"
#include "testing/segment.h"
#include "tools/srv_format.h"

namespace {

using tolvtest::eventually;

int32_t pagenr_of(const pagebuf *b) { return pg_word(b->page, PH_PAGENR); }

// The daemon's flush pass over every list, writing every dirty unfixed buffer.
void flush_all() {
  for (int i = 0; i < bm_dbs->nlists; i++) ad_flush(&bm_dbs->lists[i], AD_ALLBUFFERS);
}

// small_geometry: 2 lists of 8 buffers; pages 64..71 and 80..87 go to list 0, 72..79 to list 1.
class Pool : public tolvtest::SegmentTest {
 protected:
  void SetUp() override {
    inst_.write("rootdbs", "");
    SegmentTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(srv_format(geometry(), nullptr), SRV_OK);
    tolvtest::register_slot(1, "TOLVDB");
  }

  buflist &list(int i) const { return dbs()->lists[i]; }
  // The buffer holding page, found without the index; null when none does.
  pagebuf *holder(int32_t page) const {
    buflist &l = list((page >> 3) % dbs()->nlists);
    for (int i = 0; i < l.nbufs; i++)
      if (pagenr_of(&l.bufs[i]) == page) return &l.bufs[i];
    return nullptr;
  }
  int used(int i) const {
    int n = 0;
    for (int b = 0; b < list(i).nbufs; b++) n += pagenr_of(&list(i).bufs[b]) != NOPAGE;
    return n;
  }
  int dirty() const {
    int n = 0;
    for (int i = 0; i < dbs()->nlists; i++)
      for (int b = 0; b < list(i).nbufs; b++) n += (list(i).bufs[b].flags & BF_DIRTY) != 0;
    return n;
  }
  // srv_touch's reason, "" on success.
  std::string touch(int32_t first, int32_t count, bool create = false) const {
    std::string why;
    int r = srv_touch(first, count, create, &why);
    return r == SRV_OK ? "" : why;
  }
  // Page numbers, flags and fix counts of a list, in index order.
  std::vector<std::tuple<int32_t, uint32_t, int32_t>> state(int i) const {
    std::vector<std::tuple<int32_t, uint32_t, int32_t>> s;
    for (int j = 0; j < list(i).nbufs; j++) {
      const pagebuf *b = list(i).index[j];
      s.emplace_back(pagenr_of(b), b->flags, b->fixcnt);
    }
    return s;
  }
  // The sorted index holds every buffer once, ascending by signed page number with no page
  // twice; the LRU chain runs through every buffer from head to tail with matching links.
  void expect_consistent(int i) const {
    const buflist &l = list(i);
    std::set<const pagebuf *> in_index;
    for (int j = 0; j < l.nbufs; j++) {
      in_index.insert(l.index[j].get());
      if (j > 0 && pagenr_of(l.index[j]) != NOPAGE) {
        EXPECT_LT(pagenr_of(l.index[j - 1]), pagenr_of(l.index[j])) << "index position " << j;
      }
    }
    EXPECT_EQ(in_index.size(), size_t(l.nbufs));
    int n = 0;
    const pagebuf *prev = nullptr;
    for (const pagebuf *b = l.head; b != nullptr; prev = b, b = b->next, n++) {
      EXPECT_EQ(b->prev.get(), prev);
      EXPECT_TRUE(in_index.count(b));
    }
    EXPECT_EQ(n, l.nbufs);
    EXPECT_EQ(l.tail.get(), prev);
  }
  srv_verifycounts verify(int expected_result = SRV_OK) const {
    srv_verifycounts c;
    std::string why;
    EXPECT_EQ(srv_verify(&c, &why), expected_result) << why;
    return c;
  }
};

// ---- Page contents ---------------------------------------------------------------------------

TEST(PageContents, RecognisableAndChecksummed) {
  bm_mypid = 4321;
  unsigned char p[PAGESIZE];
  srv_fillpage(p, 77, 5);
  EXPECT_EQ(pg_word(p, 0), 77);
  EXPECT_EQ(pg_word(p, 24), 0x100);
  EXPECT_EQ(pg_word(p, 32), 5);
  EXPECT_EQ(pg_word(p, 36), 4321);
  EXPECT_EQ(static_cast<uint32_t>(pg_word(p, 2040)), srv_checksum(p));
  EXPECT_EQ(pg_word(p, PH_STAMP), 0);
  EXPECT_EQ(pg_word(p, PH_BISEQ), 0);
  EXPECT_EQ(pg_word(p, PH_BISEQ2), 0);
  EXPECT_TRUE(srv_pageok(p, 77));
  EXPECT_FALSE(srv_pageok(p, 78));
  p[1000] ^= 1;
  EXPECT_FALSE(srv_pageok(p, 77));  // a torn or changed page
  unsigned char q[PAGESIZE];
  srv_fillpage(q, 77, 6);
  EXPECT_NE(memcmp(p + 40, q + 40, 100), 0);  // the pattern follows the version
}

// ---- Touch -----------------------------------------------------------------------------------

TEST_F(Pool, TouchAssignsUnusedBuffersSortedAndDirty) {
  ASSERT_EQ(touch(71, 1), "");
  ASSERT_EQ(touch(64, 7), "");
  expect_consistent(0);
  for (int j = 0; j < 8; j++) {
    const pagebuf *b = list(0).index[j];
    EXPECT_EQ(pagenr_of(b), 64 + j);
    EXPECT_EQ(b->flags, BF_DIRTY | BF_BEFIMG);  // the action's local image is released
    EXPECT_EQ(b->fixcnt, 0);
    EXPECT_TRUE(srv_pageok(b->page, 64 + j));
  }
  EXPECT_EQ(pagenr_of(list(0).tail), 70);  // the most recently touched
  EXPECT_EQ(used(1), 0);
  EXPECT_EQ(dbs()->modified, 1);
  EXPECT_EQ(dbs()->st_requests, 8);
  EXPECT_EQ(dbs()->st_hits, 0);
}

TEST_F(Pool, RetouchChangesTheBufferInPlaceWithAHigherVersion) {
  ASSERT_EQ(touch(100, 1), "");
  pagebuf *b = holder(100);
  ASSERT_NE(b, nullptr);
  int32_t first = pg_word(b->page, SP_VERSION);
  ASSERT_EQ(touch(64, 1), "");
  ASSERT_EQ(touch(100, 1), "");
  EXPECT_EQ(holder(100), b);
  EXPECT_GT(pg_word(b->page, SP_VERSION), first);
  EXPECT_EQ(list(0).tail.get(), b);
  EXPECT_EQ(dbs()->st_hits, 1);
  EXPECT_EQ(used(0), 2);
  expect_consistent(0);
}

// A touch needing a buffer of a list full of dirty pages replaces the least recently used one
// and writes its contents home first; the before images were written by the touch itself (no
// image writer runs).
TEST_F(Pool, DirtyBufferIsWrittenHomeWhenReplaced) {
  ASSERT_EQ(touch(64, 8), "");
  EXPECT_EQ(dbs()->nimg, 0);
  int32_t version = pg_word(holder(64)->page, SP_VERSION);
  ASSERT_EQ(touch(80, 1), "");
  EXPECT_EQ(holder(64), nullptr);
  unsigned char disk[PAGESIZE];
  ASSERT_EQ(bm_pread(64, disk, PIO_ANYPART), 0);
  EXPECT_TRUE(srv_pageok(disk, 64));
  EXPECT_EQ(pg_word(disk, SP_VERSION), version);
  expect_consistent(0);
}

// Each touch is an update action ended by its log record (page number and version), and
// without an image writer the touches run the checkpoints the before-image area needs: 300
// updates of distinct pages would overrun its 32 pages otherwise.
TEST_F(Pool, TouchesAreLoggedActionsAndCheckpointWhenTheAreaFills) {
  ASSERT_EQ(touch(64, 1), "");
  EXPECT_EQ(dbs()->users[1].uflags & (US_EA | US_ACTION), 0u);
  bm_initprev();
  int file = -1, offset = -1;
  const char *r = bm_getprev(&file, &offset);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r[LR_TYPE], 1);
  EXPECT_EQ(pg_word(r, LR_HEADLEN), 64);
  EXPECT_EQ(pg_word(r, LR_HEADLEN + 4), pg_word(holder(64)->page, SP_VERSION));
  for (int32_t p = 100; p < 400; p++) ASSERT_EQ(touch(p, 1), "") << p;
  EXPECT_LT(dbs()->binext - dbs()->bifirst, 32);
  EXPECT_GT(dbs()->ckpt_logid, 0);
}

TEST_F(Pool, NewPagesAreNotRead) {
  ASSERT_EQ(touch(64, 3, true), "");
  EXPECT_EQ(dbs()->st_reads, 0);
  EXPECT_EQ(holder(65)->flags, BF_DIRTY);  // no before image; BF_NEW ends with the action
  EXPECT_EQ(bm_nnewpages, 0);
}

TEST_F(Pool, IndexAndChainStayConsistentUnderReplacement) {
  std::mt19937 gen(7);
  std::uniform_int_distribution<int32_t> pick(4, 62);  // even groups of 8 pages: list 0
  for (int round = 0; round < 300; round++) {
    int32_t page = pick(gen) * 16 + static_cast<int32_t>(gen() % 8);  // 64 .. 999
    ASSERT_EQ(touch(page, 1), "");
    ASSERT_NE(holder(page), nullptr);
    ASSERT_TRUE(srv_pageok(holder(page)->page, page));
    expect_consistent(0);
    if (HasFailure()) return;
  }
}

TEST_F(Pool, PageBeingFlushedIsWaitedForMarkedF) {
  ASSERT_EQ(touch(64, 1), "");
  pagebuf *b = holder(64);
  int32_t version = pg_word(b->page, SP_VERSION);
  b->flags = BF_FLUSHING;  // the daemon is writing it
  pid_t child = tolvtest::fork_child([] {
    tolvtest::register_slot(2, "TOLVDB");
    return srv_touch(64, 1, false, nullptr) == SRV_OK ? 0 : 1;
  });
  const userslot &u = dbs()->users[2];
  EXPECT_TRUE(eventually([&] { return (u.uflags & US_WAITING) != 0 && u.waitkind == 'f'; }));
  EXPECT_EQ(u.waitobj, 64);
  EXPECT_EQ(pg_word(b->page, SP_VERSION), version);  // not written while being flushed
  __atomic_and_fetch(&b->flags, ~BF_FLUSHING, __ATOMIC_SEQ_CST);
  EXPECT_EQ(tolvtest::wait_child(child), 0);
  EXPECT_GT(pg_word(b->page, SP_VERSION), version);
  EXPECT_NE(b->flags & BF_DIRTY, 0u);
  EXPECT_GT(dbs()->st_flushwait, 0);
}

TEST_F(Pool, VerifyTellsCleanDirtyAndDiffering) {
  ASSERT_EQ(touch(64, 4), "");
  ASSERT_EQ(touch(72, 2), "");
  srv_verifycounts c = verify();
  EXPECT_EQ(c.buffered, 6);
  EXPECT_EQ(c.dirty, 6);
  EXPECT_EQ(srv_verifystatus(c), 2);
  flush_all();
  c = verify();
  EXPECT_EQ(c.equal, 6);
  EXPECT_EQ(c.dirty, 0);
  EXPECT_EQ(srv_verifystatus(c), 0);
  // A clean page whose disk copy changed behind the pool's back: a lost or torn write.
  unsigned char other[PAGESIZE];
  srv_fillpage(other, 73, 1);
  ASSERT_EQ(bm_pwrite(73, other, PIO_ANYPART), 0);
  c = verify();
  EXPECT_EQ(c.equal, 5);
  EXPECT_EQ(c.differing, 1);
  EXPECT_EQ(c.differ, std::vector<int32_t>{73});
  EXPECT_EQ(srv_verifystatus(c), 1);
  ASSERT_EQ(touch(64, 1), "");  // dirty pages do not hide a differing one
  EXPECT_EQ(srv_verifystatus(verify()), 1);
}

TEST_F(Pool, VerifyOfAnUntouchedPoolFindsNothing) {
  srv_verifycounts c = verify();
  EXPECT_EQ(c.buffered, 0);
  EXPECT_EQ(srv_verifystatus(c), 0);
}

TEST_F(Pool, WrittenPagesReachTheDiskWhole) {
  ASSERT_EQ(touch(64, 3), "");
  flush_all();
  unsigned char disk[PAGESIZE];
  for (int32_t p = 64; p < 67; p++) {
    ASSERT_EQ(bm_pread(p, disk, PIO_ANYPART), 0);
    EXPECT_TRUE(srv_pageok(disk, p)) << p;
  }
}

// ---- Error paths -----------------------------------------------------------------------------

TEST_F(Pool, ReservedAndOutsidePagesAreRefusedBeforeAnythingIsTouched) {
  const std::pair<int32_t, const char *> refused[] = {
      {0, "page 0 is the DBS root page"},
      {1, "page 1 is a free-page bitmap page"},
      {2, "page 2 is the table map page"},
      {10, "page 10 lies in the log area"},
      {21, "page 21 lies in the log area"},
      {30, "page 30 lies in the before-image area"},
      {61, "page 61 lies in the before-image area"},
      {1000, "page 1000 lies beyond the 1000 pages of dbspace rootdbs"},
      {0x01000000, "page 16777216: there is no dbspace 1"},
  };
  for (const auto &[page, text] : refused) {
    std::string why;
    EXPECT_EQ(srv_touch(page, 1, false, &why), SRV_BADPAGE);
    EXPECT_EQ(why, text);
  }
  EXPECT_EQ(touch(998, 3), "page 1000 lies beyond the 1000 pages of dbspace rootdbs");
  EXPECT_EQ(touch(8, 3), "page 10 lies in the log area");
  EXPECT_EQ(used(0) + used(1), 0);  // 998, 999, 8 and 9 were not touched either
  EXPECT_EQ(dbs()->st_requests, 0);
}

TEST_F(Pool, StopFlagEndsTouchAndVerify) {
  term_req = 1;
  EXPECT_EQ(srv_touch(64, 2, false, nullptr), SRV_STOPPED);
  EXPECT_EQ(used(0), 0);
  srv_verifycounts c;
  EXPECT_EQ(srv_verify(&c, nullptr), SRV_STOPPED);
  term_req = 0;
}

TEST_F(Pool, UnreadablePageCountsAsDifferingWithTheReason) {
  ASSERT_EQ(touch(64, 1), "");
  flush_all();
  ASSERT_EQ(truncate(inst_.path("rootdbs").c_str(), 0), 0);
  srv_verifycounts c;
  std::string why;
  EXPECT_EQ(srv_verify(&c, &why), SRV_IO);
  EXPECT_EQ(why, std::string("cannot read page 64: ") + ba_msgtext(-410));
  EXPECT_EQ(c.differing, 1);
  EXPECT_EQ(srv_verifystatus(c), 1);
}

}  // namespace
