// Tests of bm_free with real bitmap pages on a partition file: the run rule of bm_allocext on
// the bitmap patterns that tell its readings apart, the second bitmap page of a large dbspace,
// release (twice, beyond the dbspace), the extent list of an action and its give-back, and
// concurrent allocations by real processes that never hand out a page twice.
#include "bm/bm_free.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_main.h"
#include "bm/bm_pagetest.h"

namespace {

using tolvtest::bitmap_page;
using tolvtest::blank_page;
using tolvtest::fork_child;
using tolvtest::kHead;
using tolvtest::kRootPages;
using tolvtest::pn;
using tolvtest::wait_child;
using tolvtest::write_page;

constexpr int kBig = 1;                  // dbspace of two bitmap pages
constexpr int32_t kBigPages = 16200;
constexpr int32_t kBigSecond = 3;        // its second bitmap page

class Extents : public tolvtest::PagesTest {
 protected:
  srv_geometry geometry() const override {
    srv_geometry g = PagesTest::geometry();
    g.spaces.push_back(srv_space{"big", kBigPages, {srv_part{inst_.path("big"), 0, kBigPages * PAGESIZE}}});
    return g;
  }
  void SetUp() override {
    tolvtest::number_pages(inst_.path("big"), kBig, 4, kBigPages);
    write_page(inst_.path("big"), 1, bitmap_page(kBig, 1, 0, FB_PAGES, kBigPages, pn(kBig, kBigSecond)));
    write_page(inst_.path("big"), kBigSecond, bitmap_page(kBig, kBigSecond, FB_PAGES, 0, kBigPages, -1));
    write_page(inst_.path("big"), 16100, blank_page(pn(kBig, 16100)));
    PagesTest::SetUp();
    me_->uflags = US_EA | US_ACTION;
  }
  // The bitmap bytes of rootdbs from byte 0, set to bytes followed by bytes in use.
  void set_bitmap(const std::vector<unsigned char> &bytes) const {
    pagebuf *b = bm_getpage(pn(0, FB_FIRST), ST_UPDATE, nullptr);
    ASSERT_NE(b, nullptr);
    std::fill(b->page + FB_BITS, b->page + FB_BITS + FB_BYTES, 0xFF);
    std::copy(bytes.begin(), bytes.end(), b->page + FB_BITS);
    bm_unfix(b);
  }
  std::vector<unsigned char> bitmap(int32_t page, int n) const {
    pagebuf *b = bm_getpage(page, 0, nullptr);
    std::vector<unsigned char> v(b->page + FB_BITS, b->page + FB_BITS + n);
    bm_unfix(b);
    return v;
  }
};

struct RunCase {
  const char *name;
  std::vector<unsigned char> before;
  int n;
  int32_t first;  // -1: no run
  std::vector<unsigned char> after;
};

TEST_F(Extents, RunRuleTakesTrailingPagesThenWholeFreeBytes) {
  const RunCase cases[] = {
      {"fifth page of 0xF0, then 0x00", {0xF0, 0x00}, 10, 4, {0xFF, 0xFC}},
      {"no trailing page in 0x1F", {0x1F, 0x00}, 3, 8, {0x1F, 0xE0}},
      {"last page of 0xFE, then 0x00", {0xFE, 0x00}, 9, 7, {0xFF, 0xFF}},
      {"the byte that ended a short run begins the next", {0x00, 0xFE, 0x00, 0x00}, 10, 15,
       {0x00, 0xFF, 0xFF, 0x80}},
      {"free pages at the start of a byte are never used", {0x0F, 0xF0, 0x0F}, 5, -1,
       {0x0F, 0xF0, 0x0F}},
      {"everything in use", {}, 1, -1, {0xFF}},
      {"no pages: the first run's start, nothing set", {0xFF, 0xC0}, 0, 10, {0xFF, 0xC0}},
  };
  for (const RunCase &c : cases) {
    SCOPED_TRACE(c.name);
    set_bitmap(c.before);
    iserrno = 0;
    EXPECT_EQ(bm_allocext(0, c.n), c.first < 0 ? -1 : pn(0, c.first));
    if (c.first < 0) {
      EXPECT_EQ(iserrno, ER_NOEXTENT);
    }
    EXPECT_EQ(bitmap(pn(0, FB_FIRST), static_cast<int>(c.after.size())), c.after);
  }
}

TEST_F(Extents, SecondBitmapPageOfTheChain) {
  EXPECT_EQ(bm_freecount(kBig), kBigPages - FB_PAGES);
  // The first bitmap page is full: the run comes from the second one.
  EXPECT_EQ(bm_allocext(kBig, 4), pn(kBig, FB_PAGES));
  EXPECT_EQ(bm_freecount(kBig), kBigPages - FB_PAGES - 4);
  // Page 16100 is page 4 of the second bitmap page: mask 0x08 of its byte 0.
  EXPECT_EQ(bm_allocext(kBig, 4), pn(kBig, FB_PAGES + 4));
  EXPECT_EQ(bitmap(pn(kBig, kBigSecond), 1)[0], 0xFF);
  EXPECT_EQ(bm_droppage(kBig, pn(kBig, 16100)), 0);
  EXPECT_EQ(bitmap(pn(kBig, kBigSecond), 1)[0], 0xF7);
  // A run never crosses from one bitmap page to the next: the tail of the dbspace is too short.
  EXPECT_EQ(bm_allocext(kBig, kBigPages - FB_PAGES), -1);
  EXPECT_EQ(iserrno, ER_NOEXTENT);
  // A page past the chain is named by what is left of it after the pages of the bitmap pages
  // passed; a page past the dbspace but inside the chain keeps its bit.
  EXPECT_EQ(bm_droppage(kBig, pn(kBig, 40000)), 0);
  EXPECT_TRUE(logged("bm_droppage: page 23904 not found\n"));
  EXPECT_EQ(bm_droppage(kBig, pn(kBig, kBigPages)), 0);
  EXPECT_TRUE(logged("bm_droppage: page 104 not found\n"));
  EXPECT_EQ(bitmap(pn(kBig, kBigSecond), 14)[13], 0xFF);  // pages 16200 .. 16207
}

TEST_F(Extents, ReleaseTwiceAndBeyondTheDbspaceAreReported) {
  int free = bm_freecount(0);
  EXPECT_EQ(free, kRootPages - kHead);
  int32_t first = bm_allocext(0, 2);
  ASSERT_EQ(first, pn(0, kHead));
  EXPECT_EQ(bm_freecount(0), free - 2);
  EXPECT_EQ(bm_dropext(0, first, 2), 0);
  EXPECT_FALSE(logged("already freed"));
  EXPECT_EQ(bm_droppage(0, first), 0);
  EXPECT_TRUE(logged("bm_droppage: page 64 already freed\n"));
  EXPECT_EQ(bm_droppage(0, pn(0, kRootPages)), 0);
  EXPECT_TRUE(logged("bm_droppage: page 1000 not found\n"));
  EXPECT_EQ(bm_freecount(0), free);
  EXPECT_EQ(bm_freecount(7), -1);
  EXPECT_EQ(iserrno, ER_BADPAGE);
  // A dbspace that does not exist: its first bitmap page cannot be fixed. A number beyond the
  // page number's dbspace bits is refused in the same way, never taken for another dbspace.
  EXPECT_EQ(bm_droppage(7, pn(7, 10)), 0);
  EXPECT_TRUE(logged("bm_main:invalid page request 117440513. dbspace = 7\n"));
  EXPECT_TRUE(logged("bm_droppage: sp == NULL, iserrno = -353\n"));
  EXPECT_EQ(iserrno, 0);
  EXPECT_EQ(bm_droppage(256, 64), 0);
  EXPECT_EQ(bm_freecount(0), free);
  EXPECT_EQ(bm_allocext(256, 1), -1);
  EXPECT_EQ(iserrno, ER_BADPAGE);
  EXPECT_EQ(bm_freecount(0), free);
}

TEST_F(Extents, ActionExtentsAreGivenBackOnceAndAtMost180Recorded) {
  int free = bm_freecount(0);
  for (int i = 0; i < 3; i++) {
    int32_t first = bm_allocext(0, 5);
    ASSERT_GT(first, 0);
    bm_newextent(first, 5);
  }
  EXPECT_EQ(bm_freecount(0), free - 15);
  bm_undoext();
  EXPECT_EQ(bm_freecount(0), free);
  EXPECT_EQ(me_->nactext, 0);
  bm_undoext();  // nothing left to give back
  EXPECT_FALSE(logged("already freed"));

  for (int i = 0; i < US_MAXEXT + 1; i++) bm_newextent(pn(0, 100 + i), 1);
  EXPECT_EQ(me_->nactext, US_MAXEXT);
  EXPECT_EQ(me_->actext[US_MAXEXT - 1].first, pn(0, 100 + US_MAXEXT - 1));
  EXPECT_TRUE(logged("bm_newextent: 180\n"));
  me_->nactext = 0;
}

TEST_F(Extents, ConcurrentAllocationsNeverShareAPage) {
  constexpr int kChildren = 3;
  constexpr int kEach = 40;
  int fds[kChildren][2];
  std::vector<pid_t> kids;
  for (int c = 0; c < kChildren; c++) {
    ASSERT_EQ(pipe(fds[c]), 0);
    kids.push_back(fork_child([&, c] {
      close(fds[c][0]);
      tolvtest::register_slot(2 + c)->uflags = US_EA | US_ACTION;
      for (int i = 0; i < kEach; i++) {
        int32_t p = bm_allocext(0, 1 + i % 3);
        if (p < 0 || write(fds[c][1], &p, sizeof p) != sizeof p) return 1;
      }
      return 0;
    }));
    close(fds[c][1]);
  }
  std::set<int32_t> pages;
  size_t taken = 0;
  for (int c = 0; c < kChildren; c++) {
    EXPECT_EQ(wait_child(kids[c]), 0);
    int32_t p;
    for (int i = 0; read(fds[c][0], &p, sizeof p) == sizeof p; i++) {
      for (int k = 0; k < 1 + i % 3; k++) pages.insert(p + k);
      taken += 1 + i % 3;
    }
    close(fds[c][0]);
  }
  size_t each = 0;
  for (int i = 0; i < kEach; i++) each += 1 + i % 3;
  EXPECT_EQ(taken, kChildren * each);
  EXPECT_EQ(pages.size(), taken);
  EXPECT_EQ(bm_freecount(0), kRootPages - kHead - static_cast<int>(taken));
}

}  // namespace
