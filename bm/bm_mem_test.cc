// Tests of bm_mem, the shared allocation arena, on a real segment: layout, best fit, splits and
// carves, merging on free, descriptor and space exhaustion, bm_rszvek, memsem across processes,
// and the error paths (size limit, unknown and double frees, unbound arena).
#include "bm/bm_mem.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_sema.h"
#include "testing/segment.h"

namespace {

using tolvtest::eventually;
using tolvtest::fork_child;
using tolvtest::register_slot;
using tolvtest::wait_child;

unsigned char *bytes(void *p) { return static_cast<unsigned char *>(p); }

class Arena : public tolvtest::SegmentTest {
 protected:
  void SetUp() override {
    SegmentTest::SetUp();
    bm_membind(dbs());
  }
  arenahdr *arena() const { return dbs()->mem.arena; }
  unsigned char *end() const { return region_ + size_; }
  // Lays a smaller arena out at the start of the segment's arena region.
  void use_arena(int size) {
    dbs()->mem.arena = bm_meminit(region_, size);
    size_ = size;
  }
  // The descriptor of the block at p, or null.
  blockdesc *desc_of(const void *p) const {
    for (int i = 0; i < arena()->ndesc; i++)
      if (arena()->desc[i].addr.get() == p) return &arena()->desc[i];
    return nullptr;
  }
  // The first violated invariant of the arena, or "".
  std::string check() const {
    const arenahdr *a = arena();
    int64_t used = 0;
    const unsigned char *at = a->top;
    const blockdesc *prev = nullptr;
    for (const blockdesc *d = a->lowest; d != nullptr; prev = d, d = d->above) {
      if (d->addr.get() != at) return "gap or overlap at a block";
      if (d->below.get() != prev) return "broken below link";
      if (d->size < 4 || d->size % 4 != 0) return "bad block size";
      if (d->used != 0) used += d->size;
      at += d->size;
    }
    if (at != end()) return "blocks do not reach the arena's end";
    if (prev != a->highest.get()) return "highest is not the highest block";
    if (used != a->inuse) return "inuse differs from the used blocks";
    if (a->top.get() < reinterpret_cast<const unsigned char *>(a->desc.get() + a->ndesc))
      return "descriptor table runs into the blocks";
    return "";
  }

  unsigned char *region_ = nullptr;
  int size_ = 0;
};

class ArenaFixture : public Arena {
 protected:
  void SetUp() override {
    Arena::SetUp();
    region_ = arena()->base;
    size_ = static_cast<int>(arena()->top.addr() - arena()->base.addr());
  }
};

using ArenaLayout = ArenaFixture;
using ArenaAlloc = ArenaFixture;
using ArenaFree = ArenaFixture;
using ArenaErrors = ArenaFixture;

// ---- Layout -----------------------------------------------------------------------------------

TEST_F(ArenaLayout, MeminitLaysOutAnEmptyArena) {
  memset(region_, 0xA5, 1004);
  arenahdr *a = bm_meminit(region_, 1000);
  EXPECT_EQ(static_cast<void *>(a), region_);
  EXPECT_EQ(a->ndesc, 0);
  EXPECT_EQ(a->base.get(), region_);
  EXPECT_EQ(a->top.get(), region_ + 1000);
  EXPECT_EQ(a->inuse, 0);
  EXPECT_EQ(reinterpret_cast<unsigned char *>(a->desc.get()), region_ + 28);
  EXPECT_EQ(a->lowest.get(), nullptr);
  EXPECT_EQ(a->highest.get(), nullptr);
  for (int i = 28; i < 1000; i++) ASSERT_EQ(region_[i], 0) << i;
  EXPECT_EQ(region_[1000], 0xA5);
}

TEST_F(ArenaLayout, TheStandInLaysTheSegmentsArenaOutTheSameWay) {
  srv_geometry g = geometry();
  EXPECT_EQ(arena()->top.addr() - arena()->base.addr(), static_cast<uint32_t>(g.arenasize));
  EXPECT_EQ(reinterpret_cast<unsigned char *>(arena()->desc.get()), region_ + 28);
  EXPECT_EQ(arena()->lowest.get(), nullptr);
  EXPECT_EQ(dbs()->mem.memlimit, g.memlimit);
}

// ---- Allocation -------------------------------------------------------------------------------

TEST_F(ArenaAlloc, FiveBytesGiveAZeroFilledBlockOfEight) {
  void *p = bm_malloc(5);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(bytes(p), end() - 8);
  EXPECT_EQ(desc_of(p)->size, 8);
  EXPECT_EQ(arena()->inuse, 8);
  memset(p, 0xFF, 8);
  bm_free(p);
  void *q = bm_malloc(5);
  ASSERT_EQ(q, p);
  for (int i = 0; i < 8; i++) EXPECT_EQ(bytes(q)[i], 0) << i;
  EXPECT_EQ(check(), "");
}

TEST_F(ArenaAlloc, EmptyRequestsGetBlocksOfTheirOwn) {
  void *p = bm_malloc(0);
  void *q = bm_malloc(0);
  ASSERT_NE(p, nullptr);
  ASSERT_NE(q, nullptr);
  EXPECT_NE(p, q);
  EXPECT_EQ(desc_of(q)->size, 4);
  EXPECT_EQ(check(), "");
}

TEST_F(ArenaAlloc, BlocksLieAtDescendingAddresses) {
  auto *a = bytes(bm_malloc(100));
  auto *b = bytes(bm_malloc(200));
  auto *c = bytes(bm_malloc(300));
  EXPECT_EQ(a, end() - 100);
  EXPECT_EQ(b, a - 200);
  EXPECT_EQ(c, b - 300);
  EXPECT_EQ(arena()->top.get(), c);
  EXPECT_EQ(arena()->lowest.get(), desc_of(c));
  EXPECT_EQ(arena()->highest.get(), desc_of(a));
  EXPECT_EQ(desc_of(c)->above.get(), desc_of(b));
  EXPECT_EQ(desc_of(b)->above.get(), desc_of(a));
  EXPECT_EQ(desc_of(a)->above.get(), nullptr);
  EXPECT_EQ(arena()->inuse, 600);
  EXPECT_EQ(check(), "");
}

TEST_F(ArenaAlloc, LargestRequestBelowTheLimit) {
  int limit = dbs()->mem.memlimit;
  void *p = bm_malloc(limit - 33);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(desc_of(p)->size, (limit - 33 + 3) & ~3);
  EXPECT_EQ(log_text(), "");
}

TEST_F(ArenaAlloc, BestFitTakesTheSmallestFreeBlockAndSplitsIt) {
  auto *a = bytes(bm_malloc(100));
  auto *b = bytes(bm_malloc(200));
  bm_malloc(300);
  bm_free(b);
  bm_free(a);  // two free blocks: 200 at b, 100 at a
  EXPECT_EQ(bm_malloc(100), a);
  auto *p = bytes(bm_malloc(150));
  EXPECT_EQ(p, b);
  EXPECT_EQ(desc_of(b)->size, 152);
  blockdesc *rest = desc_of(b + 152);
  ASSERT_NE(rest, nullptr);
  EXPECT_EQ(rest->size, 48);
  EXPECT_EQ(rest->used, 0);
  EXPECT_EQ(rest->below.get(), desc_of(b));
  EXPECT_EQ(rest->above.get(), desc_of(a));
  EXPECT_EQ(check(), "");
}

TEST_F(ArenaAlloc, EqualFitsGoToTheFirstInTableOrder) {
  auto *x = bytes(bm_malloc(64));
  bm_malloc(64);
  auto *z = bytes(bm_malloc(64));
  bm_malloc(8);
  bm_free(z);
  bm_free(x);
  EXPECT_EQ(bm_malloc(64), x);
  EXPECT_EQ(bm_malloc(64), z);
}

TEST_F(ArenaAlloc, SplitReusesTheSpareDescriptor) {
  auto *a = bytes(bm_malloc(100));
  auto *b = bytes(bm_malloc(100));
  bm_malloc(100);
  bm_free(a);
  bm_free(b);  // merges: a's descriptor becomes a spare
  int ndesc = arena()->ndesc;
  EXPECT_EQ(bm_malloc(40), b);
  EXPECT_EQ(arena()->ndesc, ndesc);
  EXPECT_EQ(desc_of(b + 40)->size, 160);
  EXPECT_EQ(check(), "");
}

// The free blocks together would hold 500 bytes, but none alone does and the unallocated space
// is too small: the request fails.
TEST_F(ArenaAlloc, NoFittingBlockAndNoRoomFails) {
  use_arena(1024);
  auto *a = bm_malloc(400);
  auto *b = bm_malloc(400);
  ASSERT_NE(b, nullptr);
  bm_free(b);
  bm_free(a);
  EXPECT_EQ(bm_malloc(500), nullptr);
  EXPECT_EQ(iserrno, ER_NOSHMEM);
  EXPECT_EQ(log_text(), "");
  EXPECT_EQ(bm_malloc(400), a);
  EXPECT_EQ(check(), "");
}

// Arena of 168 bytes: header 28, two descriptors, 100 bytes of blocks.
TEST_F(ArenaAlloc, SplitWithoutADescriptorFailsAnExactFitDoesNot) {
  use_arena(168);
  auto *a = bytes(bm_malloc(100));
  ASSERT_EQ(a, end() - 100);
  bm_free(a);
  EXPECT_EQ(bm_malloc(40), a);  // splits: the table grows to its last descriptor
  EXPECT_EQ(arena()->ndesc, 2);
  EXPECT_EQ(bm_malloc(20), nullptr);  // would split the 60-byte rest: no descriptor left
  EXPECT_EQ(iserrno, ER_NOSHMEM);
  EXPECT_EQ(bm_malloc(60), a + 40);  // an exact fit needs none
  EXPECT_EQ(check(), "");
}

// A carve leaves room for one more descriptor behind the table.
TEST_F(ArenaAlloc, CarveKeepsRoomForOneMoreDescriptor) {
  use_arena(148);
  EXPECT_EQ(bm_malloc(84), nullptr);
  EXPECT_NE(bm_malloc(80), nullptr);
  EXPECT_EQ(check(), "");
}

// ---- Free ---------------------------------------------------------------------------------------

TEST_F(ArenaFree, FreeingAThenBMergesIntoOneBlockAtB) {
  auto *a = bytes(bm_malloc(100));
  auto *b = bytes(bm_malloc(200));
  auto *c = bytes(bm_malloc(300));
  blockdesc *da = desc_of(a);
  bm_free(a);
  bm_free(b);
  blockdesc *db = desc_of(b);
  EXPECT_EQ(db->size, 300);
  EXPECT_EQ(db->used, 0);
  EXPECT_EQ(db->above.get(), nullptr);
  EXPECT_EQ(da->addr.get(), nullptr);  // a spare now
  EXPECT_EQ(da->size, 0);
  EXPECT_EQ(arena()->highest.get(), db);
  EXPECT_EQ(arena()->inuse, 300);
  EXPECT_EQ(desc_of(c)->above.get(), db);
  EXPECT_EQ(check(), "");
}

TEST_F(ArenaFree, FreeingBThenALeavesTwoBlocks) {
  auto *a = bytes(bm_malloc(100));
  auto *b = bytes(bm_malloc(200));
  bm_malloc(300);
  bm_free(b);
  bm_free(a);
  EXPECT_EQ(desc_of(b)->size, 200);
  EXPECT_EQ(desc_of(a)->size, 100);
  EXPECT_EQ(desc_of(a)->used, 0);
  EXPECT_EQ(desc_of(b)->above.get(), desc_of(a));
  EXPECT_EQ(arena()->inuse, 300);
  EXPECT_EQ(check(), "");
}

TEST_F(ArenaFree, MergeRunsThroughSeveralFreeNeighbours) {
  auto *a = bytes(bm_malloc(16));
  auto *b = bytes(bm_malloc(16));
  auto *c = bytes(bm_malloc(16));
  bm_free(a);
  bm_free(b);  // b + a
  bm_free(c);  // c + (b + a)
  EXPECT_EQ(desc_of(c)->size, 48);
  EXPECT_EQ(arena()->inuse, 0);
  EXPECT_EQ(check(), "");
}

TEST_F(ArenaFree, RszvekGrowsByOneZeroFilledElement) {
  int32_t *v = nullptr;
  ASSERT_EQ(bm_rszvek(&v, 0, sizeof *v), 0);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(desc_of(v)->size, 4);
  v[0] = 7;
  int32_t *old = v;
  ASSERT_EQ(bm_rszvek(&v, 1, sizeof *v), 0);
  EXPECT_NE(v, old);
  EXPECT_EQ(v[0], 7);
  EXPECT_EQ(v[1], 0);
  EXPECT_EQ(desc_of(old)->used, 0);  // the old array went back
  EXPECT_EQ(arena()->inuse, 8);
}

TEST_F(ArenaFree, MemlockWaitsForTheAllocationInProgress) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  bmsema *s = dbs()->memsem;
  bm_p(s);
  pid_t child = fork_child([fds] {
    register_slot(2);
    bm_memlock();
    char c = 'x';
    return write(fds[1], &c, 1) == 1 ? 0 : 1;
  });
  const userslot &u = dbs()->users[2];
  EXPECT_TRUE(eventually([&] {
    return (u.uflags & US_WAITING) != 0 && u.waitkind == 'S' && u.waitobj == s->semno;
  }));
  bm_v(s);
  char c = 0;
  EXPECT_EQ(read(fds[0], &c, 1), 1);
  EXPECT_EQ(wait_child(child), 0);
  EXPECT_EQ(s->lock, 0);
  close(fds[0]);
  close(fds[1]);
}

// Four processes allocate, fill, check and free concurrently; every block keeps its owner's
// bytes and the arena ends consistent.
TEST_F(ArenaFree, EveryOperationRunsUnderMemsemAcrossProcesses) {
  constexpr int kProcs = 4, kRounds = 300, kKeep = 6;
  std::vector<pid_t> kids;
  for (int k = 0; k < kProcs; k++) {
    kids.push_back(fork_child([k] {
      register_slot(k + 1);
      unsigned char *held[kKeep] = {};
      int sizes[kKeep] = {};
      for (int r = 0; r < kRounds; r++) {
        int i = r % kKeep;
        if (held[i] != nullptr) {
          for (int j = 0; j < sizes[i]; j++)
            if (held[i][j] != k + 1) return 1;
          bm_free(held[i]);
        }
        sizes[i] = 4 + (r * 37 + k * 11) % 400;
        held[i] = static_cast<unsigned char *>(bm_malloc(sizes[i]));
        if (held[i] == nullptr) return 2;
        for (int j = 0; j < sizes[i]; j++)
          if (held[i][j] != 0) return 3;
        memset(held[i], k + 1, static_cast<size_t>(sizes[i]));
      }
      for (auto *p : held) bm_free(p);
      return 0;
    }));
  }
  for (pid_t kid : kids) EXPECT_EQ(wait_child(kid), 0);
  EXPECT_EQ(arena()->inuse, 0);
  EXPECT_EQ(dbs()->memsem->lock, 0);
  EXPECT_EQ(check(), "");
  EXPECT_EQ(log_text(), "");
}

// ---- Error paths --------------------------------------------------------------------------------

TEST_F(ArenaErrors, RequestAtTheLimitQuotesMemlimit) {
  int limit = dbs()->mem.memlimit;
  EXPECT_EQ(bm_malloc(limit - 32), nullptr);
  EXPECT_EQ(iserrno, ER_NOSHMEM);
  EXPECT_EQ(bm_malloc(INT_MAX), nullptr);  // n + 32 does not wrap into a small number
  std::string l = std::to_string(limit);
  EXPECT_EQ(log_text(), "bm_malloc: requested size " + l + " > " + l +
                            "\nbm_malloc: requested size 2147483647 > " + l + "\n");
  EXPECT_EQ(arena()->ndesc, 0);
}

TEST_F(ArenaErrors, NegativeRequestIsRefused) {
  EXPECT_EQ(bm_malloc(-8), nullptr);
  EXPECT_EQ(iserrno, ER_NOSHMEM);
  EXPECT_EQ(arena()->ndesc, 0);
}

TEST_F(ArenaErrors, UnknownAddressIsLoggedAndChangesNothing) {
  auto *a = bytes(bm_malloc(100));
  std::vector<unsigned char> before(region_, region_ + 28 + 20);
  unsigned char *bad = a + 4;
  bm_free(bad);
  EXPECT_EQ(std::vector<unsigned char>(region_, region_ + 48), before);
  char want[64];
  snprintf(want, sizeof want, "bm_free: address 0x%08x not allocated\n",
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(bad)));
  EXPECT_EQ(log_text(), want);
  EXPECT_EQ(dbs()->memsem->lock, 0);
}

TEST_F(ArenaErrors, NullIsNotAllocated) {
  bm_malloc(8);
  bm_free(nullptr);
  EXPECT_EQ(log_text(), "bm_free: address 0x00000000 not allocated\n");
  EXPECT_EQ(check(), "");
}

// A second free would subtract the block's size from inuse again; it is refused instead.
TEST_F(ArenaErrors, SecondFreeIsRefused) {
  auto *a = bytes(bm_malloc(100));
  bm_malloc(100);
  bm_free(a);
  bm_free(a);
  EXPECT_EQ(arena()->inuse, 100);
  char want[64];
  snprintf(want, sizeof want, "bm_free: address 0x%08x not allocated\n",
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(a)));
  EXPECT_EQ(log_text(), want);
  EXPECT_EQ(check(), "");
}

TEST_F(ArenaErrors, RszvekThatCannotGrowKeepsTheOldArray) {
  int32_t *v = nullptr;
  ASSERT_EQ(bm_rszvek(&v, 0, sizeof *v), 0);
  int32_t *old = v;
  EXPECT_EQ(bm_rszvek(&v, INT_MAX / 2, sizeof *v), -1);
  EXPECT_EQ(iserrno, ER_NOSHMEM);
  EXPECT_EQ(v, old);
  EXPECT_EQ(bm_rszvek(&v, 4200, sizeof *v), -1);  // (n + 1) * 4 + 32 beyond memlimit
  EXPECT_EQ(v, old);
  EXPECT_EQ(desc_of(old)->used, 1);
}

// Before the binding there is no arena to allocate from, and nothing is reported.
TEST(UnboundArena, AllocationFailsAndFreeIsIgnored) {
  static char block[16];
  testing::internal::CaptureStderr();
  EXPECT_EQ(bm_malloc(8), nullptr);
  EXPECT_EQ(iserrno, ER_NOSHMEM);
  bm_free(block);
  bm_memlock();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
