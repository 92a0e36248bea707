// Tests of ba_mem: size classes and caches, the memory-control records and reports, growable
// vectors and the string copies. Each test runs in its own process (ctest), so the control
// level read from TOLVMEMCTRL by the first ba_malloc is the test's own.
#include "ba/ba_mem.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "ba/globals.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

int32_t header_word0(void *block) { return *reinterpret_cast<int32_t *>(static_cast<char *>(block) - 8); }

bool all_zero(const void *p, int n) {
  auto *b = static_cast<const unsigned char *>(p);
  for (int i = 0; i < n; i++)
    if (b[i] != 0) return false;
  return true;
}

// ---- Block allocator -------------------------------------------------------------------

TEST(BlockAllocator, GrossSizesPickTheClasses) {
  void *zero = ba_new(0), *one = ba_new(1), *four = ba_new(4), *five = ba_new(5);
  void *small = ba_new(116), *large = ba_new(120);
  EXPECT_EQ(header_word0(zero), 2);   // 0 + 8 = 8 bytes
  EXPECT_EQ(header_word0(one), 3);    // 4 + 8 = 12 bytes
  EXPECT_EQ(header_word0(four), 3);
  EXPECT_EQ(header_word0(five), 4);   // 8 + 8 = 16 bytes
  EXPECT_EQ(header_word0(small), 31); // 116 + 8 = 124 bytes
  EXPECT_EQ(header_word0(large), 0);  // 120 + 8 = 128: large
  for (void *p : {zero, one, four, five, small, large}) ba_delete(p);
}

TEST(BlockAllocator, HandedOutAddressesAreEightByteAligned) {
  for (int n : {0, 1, 7, 60, 500}) {
    void *p = ba_new(n);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u) << n;
    ba_delete(p);
  }
}

TEST(BlockAllocator, ReleasedSmallBlockComesBackZeroFilledAtTheSameAddress) {
  auto *p = static_cast<char *>(ba_new(40));
  memset(p, 0xAB, 40);
  ba_delete(p);
  auto *q = static_cast<char *>(ba_new(37));  // same class: 40 + 8 = 48 bytes
  EXPECT_EQ(q, p);
  EXPECT_TRUE(all_zero(q, 40));
  ba_delete(q);
}

TEST(BlockAllocator, CacheHandsOutTheMostRecentlyReleasedBlockFirst) {
  void *a = ba_new(16), *b = ba_new(16);
  ba_delete(a);
  ba_delete(b);
  void *first = ba_new(16), *second = ba_new(16), *fresh = ba_new(16);
  EXPECT_EQ(first, b);
  EXPECT_EQ(second, a);
  EXPECT_NE(fresh, a);  // the cache is empty now: a fresh block
  for (void *p : {first, second, fresh}) ba_delete(p);
}

TEST(BlockAllocator, OtherClassesDoNotShareACache) {
  void *p = ba_new(16);
  ba_delete(p);
  void *q = ba_new(24);
  EXPECT_NE(q, p);
  EXPECT_EQ(header_word0(q), 8);
  ba_delete(q);
}

TEST(BlockAllocator, LargeBlocksAreZeroFilled) {
  auto *p = static_cast<char *>(ba_new(5000));
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(all_zero(p, 5000));
  ba_delete(p);
}

TEST(BlockAllocator, DeleteOfNullPrintsItsMessage) {
  CaptureStderr();
  ba_delete(nullptr);
  EXPECT_EQ(GetCapturedStderr(), "ba_delete: adr = NULL\n");
}

TEST(BlockAllocator, NegativeSizeIsRefused) { EXPECT_EQ(ba_new(-1), nullptr); }

// ---- Memory-control allocator ------------------------------------------------------------

TEST(MemoryControl, WithoutTolvmemctrlItIsPlainZeroFilledAllocation) {
  unsetenv("TOLVMEMCTRL");
  auto *p = static_cast<char *>(ba_malloc(64, "mod.cc", 12));
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(all_zero(p, 64));
  CaptureStderr();
  ba_mfree(p);
  ba_memreport(stderr);
  EXPECT_EQ(GetCapturedStderr(), "No memory report available\n");
}

TEST(MemoryControl, ReportListsRecordsOfBlocksAfterTheMark) {
  setenv("TOLVMEMCTRL", "1", 1);
  auto *before = static_cast<char *>(ba_malloc(10, "before.cc", 5));
  ba_memmark();
  auto *after = static_cast<char *>(ba_malloc(30, "after.cc", 77));
  strcpy(after, "hello");
  CaptureStderr();
  ba_memreporterr();
  std::string report = GetCapturedStderr();
  EXPECT_EQ(report.rfind("Memory report:\n\n", 0), 0u);
  EXPECT_EQ(report.find("before.cc"), std::string::npos);
  char line[200];
  snprintf(line, sizeof line, "  %5d\t%5d %20s %5d %7d >%s<\n",
           static_cast<int>(reinterpret_cast<uintptr_t>(after)), 30, "after.cc", 77, -788400000,
           "hello");
  EXPECT_NE(report.find(line), std::string::npos) << report;
  EXPECT_NE(report.find("\nTotal:         40\n"), std::string::npos) << report;  // both blocks
  // 16 buckets, each followed by an empty line, then the total.
  EXPECT_EQ(report.substr(report.size() - 21), "\n\n\nTotal:         40\n");
  ba_mfree(before);
  ba_mfree(after);
}

// While blocks are recorded, each growth of a vector takes exactly one element more, so that the
// report shows what the growth asked for: three growths of 8-byte elements, 24 bytes.
TEST(MemoryControl, RecordedVectorGrowsByExactlyOneElement) {
  setenv("TOLVMEMCTRL", "1", 1);
  ba_settings.debug = 1;
  int64_t *vec = nullptr;
  for (int n = 0; n < 3; n++) ASSERT_EQ(ba_rszvek(&vec, n, sizeof *vec), 0);
  CaptureStderr();
  ba_memreport(stderr);
  std::string report = GetCapturedStderr();
  EXPECT_NE(report.find("\nTotal:         24\n"), std::string::npos) << report;
  ba_release(vec);
  ba_settings.debug = 0;
}

TEST(MemoryControl, RecordsTheTimeAtLevelTwo) {
  setenv("TOLVMEMCTRL", "2", 1);
  void *p = ba_malloc(4, "t.cc", 1);
  CaptureStderr();
  ba_memreport(stderr);
  std::string report = GetCapturedStderr();
  EXPECT_EQ(report.find("-788400000"), std::string::npos) << report;
  ba_mfree(p);
}

TEST(MemoryControl, FreedBlocksLeaveTheReportAndTheTotal) {
  setenv("TOLVMEMCTRL", "1", 1);
  void *p = ba_malloc(100, "x.cc", 1);
  void *q = ba_malloc(7, "y.cc", 2);
  ba_mfree(p);
  CaptureStderr();
  ba_memreport(stderr);
  std::string report = GetCapturedStderr();
  EXPECT_EQ(report.find("x.cc"), std::string::npos);
  EXPECT_NE(report.find("y.cc"), std::string::npos);
  EXPECT_NE(report.find("\nTotal:          7\n"), std::string::npos) << report;
  ba_mfree(q);
}

TEST(MemoryControl, FreeOfAnUnrecordedAddressIsReportedAndReleasesNothing) {
  setenv("TOLVMEMCTRL", "1", 1);
  void *recorded = ba_malloc(8, "r.cc", 1);
  static char foreign[16] = "untouched";
  CaptureStderr();
  ba_mfree(foreign);
  ba_mfree(nullptr);
  std::string err = GetCapturedStderr();
  auto a = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(foreign));
  char expect[200];
  snprintf(expect, sizeof expect, "ba_mfree (%d): address %d 0x%x not found\n", getpid(),
           static_cast<int>(a), a);
  char expect_null[200];
  snprintf(expect_null, sizeof expect_null, "ba_mfree (%d): address 0 0x0 not found\n", getpid());
  EXPECT_EQ(err, std::string(expect) + expect_null);
  EXPECT_STREQ(foreign, "untouched");
  ba_mfree(recorded);
}

TEST(MemoryControl, ReallocCopiesAndMovesTheRecord) {
  setenv("TOLVMEMCTRL", "1", 1);
  auto *p = static_cast<char *>(ba_malloc(6, "a.cc", 1));
  strcpy(p, "abcde");
  auto *q = static_cast<char *>(ba_realloc(p, 100, "b.cc", 2));
  ASSERT_NE(q, nullptr);
  EXPECT_STREQ(q, "abcde");
  EXPECT_TRUE(all_zero(q + 6, 94));
  CaptureStderr();
  ba_memreport(stderr);
  std::string report = GetCapturedStderr();
  EXPECT_EQ(report.find("a.cc"), std::string::npos);
  EXPECT_NE(report.find("b.cc"), std::string::npos);
  EXPECT_NE(report.find("\nTotal:        100\n"), std::string::npos);
  ba_mfree(q);
}

TEST(MemoryControl, ReallocOfAnUnknownAddressFails) {
  setenv("TOLVMEMCTRL", "1", 1);
  void *recorded = ba_malloc(1, "first.cc", 1);  // fixes the control level
  static char foreign[8];
  CaptureStderr();
  EXPECT_EQ(ba_realloc(foreign, 10, "c.cc", 3), nullptr);
  std::string err = GetCapturedStderr();
  EXPECT_EQ(err.rfind("ba_realloc (" + std::to_string(getpid()) + "):address ", 0), 0u) << err;
  EXPECT_NE(err.find(" not found\n"), std::string::npos);
  ba_mfree(recorded);
}

TEST(MemoryControl, ManyBlocksGrowTheBucketsAndStayRecorded) {
  setenv("TOLVMEMCTRL", "1", 1);
  std::vector<void *> blocks;
  for (int i = 0; i < 5000; i++) blocks.push_back(ba_malloc(1, "many.cc", i));
  for (void *p : blocks) ba_mfree(p);  // every one is found: no "not found" line
  CaptureStderr();
  ba_memreport(stderr);
  std::string report = GetCapturedStderr();
  EXPECT_EQ(report.find("many.cc"), std::string::npos);
  EXPECT_NE(report.find("\nTotal:          0\n"), std::string::npos);
}

// The filter compares the whole mark: after 32,768 and 65,536 marks (where a 16-bit copy
// wraps to -32768 and 0) a block from before the marks is still left out.
TEST(MemoryControl, MarkFilterHoldsBeyondSixteenBits) {
  setenv("TOLVMEMCTRL", "1", 1);
  void *before = ba_malloc(3, "before.cc", 1);
  int marks = 0;
  for (int upto : {32768, 65536}) {
    for (; marks < upto; marks++) ba_memmark();
    void *after = ba_malloc(5, "after.cc", upto);
    CaptureStderr();
    ba_memreport(stderr);
    std::string report = GetCapturedStderr();
    EXPECT_EQ(report.find("before.cc"), std::string::npos) << report;
    EXPECT_NE(report.find("after.cc"), std::string::npos) << report;
    ba_mfree(after);
  }
  ba_mfree(before);
}

TEST(MemoryControl, ReallocWithoutRecordsKeepsTheContentsAndClearsTheGain) {
  unsetenv("TOLVMEMCTRL");
  EXPECT_EQ(ba_realloc(nullptr, -1, "r.cc", 1), nullptr);
  auto *p = static_cast<char *>(ba_realloc(nullptr, 4, "r.cc", 1));
  ASSERT_NE(p, nullptr);
  memcpy(p, "abcd", 4);
  p = static_cast<char *>(ba_realloc(p, 3000, "r.cc", 2));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(memcmp(p, "abcd", 4), 0);
  EXPECT_TRUE(all_zero(p + 4, 2996));
  CaptureStderr();
  void *blk = ba_new(8);
  EXPECT_EQ(ba_realloc(blk, 16, "r.cc", 3), nullptr);  // not a block of ba_malloc
  EXPECT_NE(GetCapturedStderr().find(" not found\n"), std::string::npos);
  ba_delete(blk);
  ba_mfree(p);
}

// ---- Allocator selection -----------------------------------------------------------------

TEST(AllocatorSelection, DebugPicksTheMemoryControlFamilyWithTheCallersModule) {
  setenv("TOLVMEMCTRL", "1", 1);
  ba_settings.debug = 1;
  void *p = ba_alloc(12);
  int line = __LINE__ - 1;
  CaptureStderr();
  ba_memreport(stderr);
  std::string report = GetCapturedStderr();
  char expect[80];
  snprintf(expect, sizeof expect, "%20s %5d", "ba_mem_test.cc", line);
  EXPECT_NE(report.find(expect), std::string::npos) << report;
  ba_release(p);
  ba_settings.debug = 0;
}

TEST(AllocatorSelection, NoDebugPicksTheBlockAllocator) {
  ba_settings.debug = 0;
  void *p = ba_alloc(12);
  EXPECT_EQ(header_word0(p), 5);  // 12 + 8 = 20 bytes: class 5
  ba_release(p);
  void *again = ba_new(12);
  EXPECT_EQ(again, p);  // back in its class cache
  ba_delete(again);
}

// A block goes back to the family that allocated it, whatever `debug` says at its release:
// its header carries the family. Run without records (level 0) and with them (level 1).
class CrossFamily : public testing::TestWithParam<const char *> {
 protected:
  void SetUp() override {
    if (GetParam() != nullptr)
      setenv("TOLVMEMCTRL", GetParam(), 1);
    else
      unsetenv("TOLVMEMCTRL");
  }
  void TearDown() override { ba_settings.debug = 0; }

  // The report's total, or "" without records.
  static std::string total() {
    CaptureStderr();
    ba_memreport(stderr);
    std::string report = GetCapturedStderr();
    size_t at = report.find("Total:");
    return at == std::string::npos ? "" : report.substr(at);
  }
};

TEST_P(CrossFamily, MemoryControlBlockReleasedWithoutDebug) {
  ba_settings.debug = 1;
  void *p = ba_alloc(40);
  ASSERT_NE(p, nullptr);
  ba_settings.debug = 0;
  CaptureStderr();
  ba_release(p);
  EXPECT_EQ(GetCapturedStderr(), "");
  if (GetParam() != nullptr) {
    EXPECT_EQ(total(), "Total:          0\n");
  }
}

TEST_P(CrossFamily, BlockAllocatorBlockReleasedWithDebug) {
  ba_settings.debug = 0;
  void *p = ba_alloc(40);
  ba_settings.debug = 1;
  CaptureStderr();
  ba_release(p);
  EXPECT_EQ(GetCapturedStderr(), "");
  void *again = ba_new(40);
  EXPECT_EQ(again, p);  // back in its class cache, not handed to the system allocator
  ba_delete(again);
}

TEST_P(CrossFamily, VectorOutlivesAChangeOfDebug) {
  int *vec = nullptr;
  for (int n = 0; n < 300; n++) {
    ba_settings.debug = n % 7 == 0 ? 1 - ba_settings.debug : ba_settings.debug;
    ASSERT_EQ(ba_rszvek(&vec, n, sizeof *vec), 0);
    vec[n] = n;
  }
  for (int n = 0; n < 300; n++) ASSERT_EQ(vec[n], n);
  ba_release(vec);
  if (GetParam() != nullptr) {
    EXPECT_EQ(total(), "Total:          0\n");
  }
}

// Each family refuses the other's blocks instead of misreading their headers.
TEST_P(CrossFamily, EachFamilyRefusesTheOthersBlocks) {
  ba_settings.debug = 1;
  void *ctl = ba_alloc(24);
  ba_settings.debug = 0;
  void *blk = ba_alloc(24);
  CaptureStderr();
  ba_delete(ctl);
  std::string err = GetCapturedStderr();
  EXPECT_EQ(err.rfind("ba_delete (" + std::to_string(getpid()) + "): address ", 0), 0u) << err;
  EXPECT_NE(err.find(" not found\n"), std::string::npos) << err;
  CaptureStderr();
  ba_mfree(blk);
  err = GetCapturedStderr();
  EXPECT_EQ(err.rfind("ba_mfree (" + std::to_string(getpid()) + "): address ", 0), 0u) << err;
  CaptureStderr();
  ba_release(ctl);  // both are still live: released once each, by their own family
  ba_release(blk);
  EXPECT_EQ(GetCapturedStderr(), "");
  void *again = ba_new(24);
  EXPECT_EQ(again, blk);
  ba_delete(again);
}

const char *const kLevels[] = {nullptr, "1"};
INSTANTIATE_TEST_SUITE_P(Levels, CrossFamily, testing::ValuesIn(kLevels),
                         [](const testing::TestParamInfo<const char *> &info) {
                           return std::string(info.param == nullptr ? "Unrecorded" : "Recorded");
                         });

// ---- Growable vectors --------------------------------------------------------------------

TEST(Rszvek, GrowsOneZeroElementAtATimeKeepingTheOldOnes) {
  int *vec = nullptr;
  ASSERT_EQ(ba_rszvek(&vec, 0, sizeof *vec), 0);
  ASSERT_NE(vec, nullptr);
  EXPECT_EQ(vec[0], 0);
  vec[0] = 41;
  ASSERT_EQ(ba_rszvek(&vec, 1, sizeof *vec), 0);
  EXPECT_EQ(vec[0], 41);
  EXPECT_EQ(vec[1], 0);
  for (int n = 2; n < 50; n++) {
    ASSERT_EQ(ba_rszvek(&vec, n, sizeof *vec), 0);
    EXPECT_EQ(vec[n], 0);
    vec[n] = n;
  }
  EXPECT_EQ(vec[0], 41);
  EXPECT_EQ(vec[49], 49);
  ba_release(vec);
}

TEST(Rszvek, EmptyVectorGetsOneElementWhateverTheCount) {
  char *vec = nullptr;
  ASSERT_EQ(ba_rszvek(&vec, 7, 3), 0);
  EXPECT_TRUE(all_zero(vec, 3));
  EXPECT_EQ(header_word0(vec), 3);  // 3 -> 4 + 8 = 12 bytes: room for one element only
  ba_release(vec);
}

TEST(Rszvek, OverflowingSizeFailsAndKeepsTheVector) {
  char *vec = nullptr;
  ASSERT_EQ(ba_rszvek(&vec, 0, 1024), 0);
  char *old = vec;
  EXPECT_EQ(ba_rszvek(&vec, 1 << 22, 1024), -1);
  EXPECT_EQ(vec, old);
  ba_release(vec);
}

// Appending one element at a time is linear: the vector moves (one allocation and one copy)
// only O(log n) times, and all copies together stay within twice the final size.
class RszvekGrowth : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    unsetenv("TOLVMEMCTRL");
    ba_settings.debug = GetParam();
  }
  void TearDown() override { ba_settings.debug = 0; }
};

TEST_P(RszvekGrowth, HundredThousandAppendsMoveTheVectorLogarithmicallyOften) {
  constexpr int kAppends = 100000;
  int *vec = nullptr;
  int moves = 0;
  int64_t copied = 0;
  for (int n = 0; n < kAppends; n++) {
    int *old = vec;
    ASSERT_EQ(ba_rszvek(&vec, n, sizeof *vec), 0);
    if (vec != old) {
      moves++;
      copied += int64_t{n} * static_cast<int64_t>(sizeof *vec);
    }
    ASSERT_EQ(vec[n], 0) << n;
    vec[n] = n + 1;
  }
  for (int n = 0; n < kAppends; n++) ASSERT_EQ(vec[n], n + 1);
  EXPECT_LE(moves, 24);  // log2(100000) = 17 doublings, a few more from the small classes
  EXPECT_LE(copied, 2 * int64_t{kAppends} * static_cast<int64_t>(sizeof *vec));
  ba_release(vec);
}

INSTANTIATE_TEST_SUITE_P(Families, RszvekGrowth, testing::Values(0, 1),
                         [](const testing::TestParamInfo<int> &info) {
                           return std::string(info.param != 0 ? "MemoryControl" : "Block");
                         });

// Reuse in place: a caller that dropped elements and grows again gets a zero element, not the
// bytes it left there.
TEST(Rszvek, ElementReusedInPlaceIsZeroFilled) {
  int *vec = nullptr;
  for (int n = 0; n < 4; n++) {
    ASSERT_EQ(ba_rszvek(&vec, n, sizeof *vec), 0);
    vec[n] = 7;
  }
  int *before = vec;
  ASSERT_EQ(ba_rszvek(&vec, 2, sizeof *vec), 0);  // the count went back to 2
  EXPECT_EQ(vec, before);
  EXPECT_EQ(vec[0], 7);
  EXPECT_EQ(vec[1], 7);
  EXPECT_EQ(vec[2], 0);
  ba_release(vec);
}

// A count larger than the block holds would copy from past its end: refused, vector kept.
TEST(Rszvek, CountBeyondTheBlockIsRefused) {
  int *vec = nullptr;
  ASSERT_EQ(ba_rszvek(&vec, 0, sizeof *vec), 0);  // room for exactly one int
  vec[0] = 5;
  int *old = vec;
  EXPECT_EQ(ba_rszvek(&vec, 2, sizeof *vec), -1);
  EXPECT_EQ(vec, old);
  EXPECT_EQ(vec[0], 5);
  ba_release(vec);
}

// ---- Strings and plain allocation --------------------------------------------------------

TEST(Strings, CopiesAndConcatenations) {
  char *s = ba_strdup("abc");
  EXPECT_STREQ(s, "abc");
  EXPECT_EQ(ba_strsave(nullptr), nullptr);
  s = ba_strcat(s, "def");
  EXPECT_STREQ(s, "abcdef");
  char *t = ba_strcat(nullptr, "xyz");
  EXPECT_STREQ(t, "xyz");
  ba_release(s);
  ba_release(t);
}

TEST(Strings, StrcatReleasesTheFirstString) {
  ba_settings.debug = 0;
  char *s = ba_strdup("ab");  // class 3
  char *joined = ba_strcat(s, "c");
  void *again = ba_new(1);
  EXPECT_EQ(again, s);  // s went back to its class cache
  ba_delete(again);
  ba_release(joined);
}

TEST(Xmalloc, FailureWithExitEndsTheProcessWithStatusOne) {
  EXPECT_EXIT(ba_xmalloc(-1, 1), testing::ExitedWithCode(1), "Memory allocation error\n");
}

TEST(Xmalloc, FailureWithoutExitReturnsNull) {
  CaptureStderr();
  EXPECT_EQ(ba_xmalloc(-1, 0), nullptr);
  EXPECT_EQ(GetCapturedStderr(), "Memory allocation error\n");
  void *p = ba_xmalloc(10, 1);
  EXPECT_NE(p, nullptr);
  free(p);
}

}  // namespace
