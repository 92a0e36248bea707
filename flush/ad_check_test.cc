// Tests of the flush pass on a real segment and a real partition file: which buffers a pass
// examines and writes, the flags it leaves, the list semaphore only during collection, the wait
// for before images, and failing writes.
#include "flush/ad_check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "ba/ba_proto.h"
#include "bm/bm_proto.h"
#include "testing/segment.h"

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
};

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

// ---- Error paths ---------------------------------------------------------------------------

// A partition whose device fails every write.
class FailingDevice : public FlushPass {
 protected:
  srv_geometry geometry() const override {
    srv_geometry g = FlushPass::geometry();
    g.spaces[0].parts[0].device = "/dev/full";
    return g;
  }
};

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

}  // namespace
