// Tests of the segment structures' run-time parts: the 4-byte address and the page header
// words. The layout itself is checked by the compiler (static_assert in shmstruct.h).
#include "bm/shmstruct.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

int *low(uintptr_t a) { return reinterpret_cast<int *>(a); }

TEST(SegmentAddress, NullIsZero) {
  shmptr<int> p = nullptr;
  EXPECT_EQ(p.addr(), 0u);
  EXPECT_EQ(p.get(), nullptr);
  EXPECT_TRUE(p == nullptr);
}

TEST(SegmentAddress, AddressBelowFourGiBRoundTrips) {
  shmptr<int> p = low(0x40001234);
  EXPECT_EQ(p.addr(), 0x40001234u);
  EXPECT_EQ(p.get(), low(0x40001234));
  p = low(0xFFFFFFFC);
  EXPECT_EQ(p.addr(), 0xFFFFFFFCu);
  int *q = p;  // converts back like the pointer it stands for
  EXPECT_EQ(q, low(0xFFFFFFFC));
}

TEST(SegmentAddress, IsStoredAsFourLittleEndianBytes) {
  shmptr<int> p = low(0x40302010);
  unsigned char b[4];
  memcpy(b, &p, sizeof b);
  EXPECT_EQ(b[0], 0x10);
  EXPECT_EQ(b[1], 0x20);
  EXPECT_EQ(b[2], 0x30);
  EXPECT_EQ(b[3], 0x40);
}

TEST(SegmentAddress, IndexesLikeAPointer) {
  shmptr<int32_t> p = reinterpret_cast<int32_t *>(0x40000000);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(&p[3]), 0x4000000Cu);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p + 2), 0x40000008u);
}

TEST(SegmentAddressDeathTest, AddressAboveFourGiBEndsTheProcess) {
  EXPECT_DEATH({ shmptr<int> p = low(0x100000000ull); (void)p; }, "not below 4 GiB");
}

TEST(PageHeader, WordsAtTheirOffsets) {
  unsigned char page[PAGESIZE] = {};
  pg_setword(page, PH_PAGENR, 0x05000010);
  pg_setword(page, PH_BISEQ2, -7);
  EXPECT_EQ(page[0], 0x10);
  EXPECT_EQ(page[3], 0x05);
  EXPECT_EQ(pg_word(page, PH_PAGENR), 0x05000010);
  EXPECT_EQ(pg_word(page, 2044), -7);
  EXPECT_EQ(PH_STAMP, 20);
  EXPECT_EQ(PH_PAGETYPE, 24);
  EXPECT_EQ(PH_BISEQ, 28);
}

}  // namespace
