// A process killed in the middle of an update action, on a real segment with a real partition
// file: another process aborts the dead process's action on its slot (bm_abortea), which puts
// the committed contents back into the buffers, and the next flush pass writes them home over
// the aborted contents an earlier pass had written.
//
// The small geometry's before-image buffer holds 4 images and no image writer runs here: every
// action writes the buffer itself (bm_saveimagebuf(1)), as the stand-in does without an image
// writer. Otherwise the fifth update waits for room for ever, and so does a flush pass for a
// page whose before image is still pending.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <vector>

#include "ba/globals.h"
#include "bm/bm_free.h"
#include "bm/bm_image.h"
#include "bm/bm_main.h"
#include "bm/bm_pagetest.h"
#include "bm/bm_shm.h"
#include "flush/ad_check.h"
#include "tools/srv_pool.h"

namespace {

using tolvtest::Page;
using tolvtest::pn;

constexpr int kPages = 6;   // more than the before-image buffer holds
constexpr int kVictim = 2;  // user slot of the process that dies
constexpr int kExtent = 4;  // pages of the extent the dead action takes
constexpr int kCommitted = 1, kAborted = 2;

// Pages 200, 208, ...: three in each of the two lists.
int32_t page_at(int i) { return pn(0, 200 + 8 * i); }

class CrashedAction : public tolvtest::PagesTest {
 protected:
  void TearDown() override {
    if (victim_ > 0) {
      kill(victim_, SIGKILL);
      tolvtest::wait_child(victim_);
    }
    PagesTest::TearDown();
  }
  // In an update action of the own slot: every page gets the contents of version.
  static int update_pages(int32_t version) {
    if (bm_startea(nullptr, 0, EA_UPDATE) != 0) return 1;
    for (int i = 0; i < kPages; i++) {
      pagebuf *b = bm_getpage(page_at(i), ST_UPDATE, nullptr);
      if (b == nullptr) return 2;
      srv_fillpage(b->page, page_at(i), version);
      bm_unfix(b);
      bm_saveimagebuf(1);
    }
    return 0;
  }
  // A flush pass over every list, as the daemon makes it.
  void flush_pass() const {
    for (int i = 0; i < dbs()->nlists; i++) ad_flush(&dbs()->lists[i], AD_ALLBUFFERS);
  }
  // The buffer holding page p (the pool is idle: no lock needed), or null.
  pagebuf *buffer_of(int32_t p) const {
    buflist &l = *bm_pagelist(p);
    for (int b = 0; b < l.nbufs; b++)
      if (pg_word(l.bufs[b].page, PH_PAGENR) == p) return &l.bufs[b];
    return nullptr;
  }
  Page buffered(int32_t p) const {
    const unsigned char *img = buffer_of(p)->page;
    return Page(img, img + PAGESIZE);
  }
  Page on_disk(int32_t p) const { return tolvtest::read_page(inst_.path("rootdbs"), p); }
  // Forks a process that registers in slot kVictim, runs body and then waits to be killed;
  // returns once body is done. A child that dies early closes the pipe: no hang.
  void crash_after(const std::function<int()> &body) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    victim_ = tolvtest::fork_child([&] {
      close(ready[0]);
      tolvtest::register_slot(kVictim);
      int r = body();
      if (r != 0) return r;
      if (write(ready[1], "r", 1) != 1) return 9;
      for (;;) pause();
    });
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1) << "the child failed before its signal";
    close(ready[0]);
  }
  void kill_victim() {
    ASSERT_EQ(kill(victim_, SIGKILL), 0);
    EXPECT_EQ(tolvtest::wait_child(victim_), -1);
    victim_ = 0;
  }
  pid_t victim_ = 0;
};

TEST_F(CrashedAction, AbortOnTheDeadSlotRestoresTheCommittedPagesAndTheFlushWritesThem) {
  ASSERT_EQ(update_pages(kCommitted), 0);
  ASSERT_NE(bm_endea(0, nullptr, nullptr), nullptr);
  std::vector<Page> committed;
  for (int i = 0; i < kPages; i++) committed.push_back(buffered(page_at(i)));
  int free = bm_freecount(0);

  crash_after([] {
    if (update_pages(kAborted) != 0) return 1;
    int32_t ext = bm_allocext(0, kExtent);
    if (ext < 0) return 2;
    bm_newextent(ext, kExtent);
    bm_saveimagebuf(1);  // the bitmap page's before image
    return 0;
  });
  // The daemon writes the uncommitted contents home while the action runs.
  flush_pass();
  for (int i = 0; i < kPages; i++) ASSERT_TRUE(srv_pageok(on_disk(page_at(i)).data(), page_at(i)));
  ASSERT_NE(on_disk(page_at(0)), committed[0]);
  kill_victim();

  userslot *dead = &dbs()->users[kVictim];
  ASSERT_NE(dead->uflags & US_ACTION, 0u);
  EXPECT_EQ(bm_abortea(dead), kPages);
  EXPECT_EQ(dead->uflags & (US_EA | US_ACTION), 0u);
  for (int i = 0; i < kPages; i++) {
    const pagebuf *b = buffer_of(page_at(i));
    EXPECT_TRUE(buffered(page_at(i)) == committed[i]) << "page " << page_at(i);
    EXPECT_EQ(b->flags & (BF_DIRTY | BF_LOCIMG), BF_DIRTY) << "page " << page_at(i);
  }
  EXPECT_EQ(tolvtest::pool_problems(dbs()), "");
  // Another process's abort leaves the extents the dead action took in use (only the own
  // slot gives them back); they stay named in the slot until it is released.
  EXPECT_EQ(bm_freecount(0), free - kExtent);
  EXPECT_EQ(dead->nactext, 1);
  EXPECT_EQ(dead->actext[0].npages, kExtent);

  flush_pass();
  for (int i = 0; i < kPages; i++)
    EXPECT_TRUE(on_disk(page_at(i)) == committed[i]) << "page " << page_at(i);
  EXPECT_EQ(tolvtest::pool_problems(dbs()), "");
}

}  // namespace
