// Tests of bm_logrd, the logical log's readers, on a real segment and a formatted partition:
// forward and backward reads over split lengths and trailers, across pages and across the files
// of the ring, the filtered reader, and the error paths (corrupt lengths and trailers on disk,
// positions beyond the records, log ids not in the ring, an empty file).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ba/error.h"
#include "bm/bm_logtest.h"

namespace {

using logtest::kFileBytes;
using logtest::LogTest;

// Whether rec holds the record of len bytes of user that logtest::record built with seed
// (the stamp aside); trailer: whether rec includes it.
bool same_record(const char *rec, int len, int user, int seed, bool trailer) {
  std::vector<unsigned char> want = logtest::record(len, user, 1, seed);
  if (pg_word(rec, LR_LENGTH) != len || pg_word(rec, LR_USER) != user) return false;
  int n = trailer ? len : len - LR_TRAILLEN;
  return n <= LR_TYPE ||
         memcmp(rec + LR_TYPE, want.data() + LR_TYPE, static_cast<size_t>(n - LR_TYPE)) == 0;
}

// ---- Split lengths and trailers ---------------------------------------------------------------

// A first record of `first` bytes puts the second record's length field at data offset
// first % 2012; the second record's trailer ends at (first + second) % 2012.
struct splitcase {
  int first, second;
};

class Split : public LogTest, public ::testing::WithParamInterface<splitcase> {};

TEST_P(Split, BothDirectionsReadTheSameRecords) {
  const splitcase &c = GetParam();
  ASSERT_NE(append(c.first, 1, 0, 5, 1), nullptr);
  ASSERT_NE(append(c.second, 1, 0, 6, 2), nullptr);
  char *r = bm_getlogrec(0, c.first);
  ASSERT_NE(r, nullptr) << iserrno;
  EXPECT_TRUE(same_record(r, c.second, 6, 2, true));
  r = bm_getlogrec(0, 0);
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(same_record(r, c.first, 5, 1, true));

  bm_initprev();
  int file = -1, offset = -1;
  r = bm_getprev(&file, &offset);
  ASSERT_NE(r, nullptr) << iserrno;
  EXPECT_TRUE(same_record(r, c.second, 6, 2, false));
  EXPECT_EQ(file, 0);
  EXPECT_EQ(offset, c.first);
  r = bm_getprev(&file, &offset);
  ASSERT_NE(r, nullptr) << iserrno;
  EXPECT_TRUE(same_record(r, c.first, 5, 1, false));
  EXPECT_EQ(offset, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, Split,
    ::testing::Values(splitcase{2009, 100}, splitcase{2010, 100}, splitcase{2011, 100},  // length
                      splitcase{2008, 100},                      // length just fits the page
                      splitcase{100, 1914}, splitcase{100, 1915},   // trailer ends at 2, 3
                      splitcase{100, 1913},                      // trailer ends at data offset 1
                      splitcase{2012, 2012}, splitcase{30, 4100},   // whole pages, spanning
                      splitcase{LR_MINLEN, LR_MINLEN}));            // the shortest records

// ---- Across the files of the ring ------------------------------------------------------------

TEST_F(LogTest, BackwardWalkCrossesFilesInRingOrder) {
  lc().lc_autofree = 1;
  // Four files' worth of 3000-byte records: the ring wraps, file 0 holds the newest records.
  constexpr int kLen = 3000;
  std::vector<std::pair<int, int>> written;  // file, offset
  for (int i = 0; i < 8; i++) {
    logpos *p = append(kLen, 1, 0, 1, i);
    ASSERT_NE(p, nullptr);
    written.emplace_back(p->file, p->offset);
  }
  ASSERT_EQ(lc().lc_cur, 0);
  // The wrap released files 0 and 1 (auto-free); file 0 was reused.
  EXPECT_EQ(lc().lc_logid[1], -1);
  // Forward: every record still in the ring at its position.
  for (size_t i = 4; i < written.size(); i++) {
    char *r = bm_getlogrec(written[i].first, written[i].second);
    ASSERT_NE(r, nullptr) << i;
    EXPECT_TRUE(same_record(r, kLen, 1, static_cast<int>(i), true)) << i;
  }
  // Backward from the end: newest first, from file 0 on into file 2, the one before it.
  bm_initprev();
  for (int i = 7; i >= 4; i--) {
    int file = -1, offset = -1;
    char *r = bm_getprev(&file, &offset);
    ASSERT_NE(r, nullptr) << i << " iserrno " << iserrno;
    EXPECT_TRUE(same_record(r, kLen, 1, i, false)) << i;
    EXPECT_EQ(file, written[static_cast<size_t>(i)].first);
    EXPECT_EQ(offset, written[static_cast<size_t>(i)].second);
  }
  int file = -1, offset = -1;
  EXPECT_EQ(bm_getprev(&file, &offset), nullptr);  // log id 2 was released
  EXPECT_EQ(iserrno, ER_LOGREC);
}

TEST_F(LogTest, UserRecordsAreFoundOneAfterTheOther) {
  int users[] = {1, 2, 1, 3, 2, 2};
  for (int u : users) ASSERT_NE(append(500, 1, 0, u), nullptr);
  std::vector<int> found;
  int o = 0;
  while (char *r = bm_getuserrec(2, 0, o, &o)) {
    EXPECT_EQ(pg_word(r, LR_USER), 2);
    found.push_back(o);
    o += pg_word(r, LR_LENGTH);
  }
  EXPECT_EQ(iserrno, ER_LOGREC);
  EXPECT_EQ(found, (std::vector<int>{500, 2000, 2500}));
  // Without the position asked for: the record at or after the offset.
  char *r = bm_getuserrec(3, 0, 0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(pg_word(r, LR_USER), 3);
  EXPECT_EQ(log_text(), "");  // the end of the records is no fault
}

// ---- Error paths ------------------------------------------------------------------------------

TEST_F(LogTest, BackwardReadOfAnEmptyFileFindsTheHeaderPage) {
  bm_initprev();
  int file = -1, offset = -1;
  EXPECT_EQ(bm_getprev(&file, &offset), nullptr);
  EXPECT_EQ(iserrno, ER_LOGREC);
  EXPECT_EQ(log_text().rfind("bm_getprev1: 0 -1 10 0 1 0 1 00 00 00 00\n", 0), 0u) << log_text();
}

struct corruptcase {
  int dataoff;           // where on data page 1 the corruption goes
  std::vector<unsigned char> bytes;
  bool forward;          // read forward at offset 0, else backward from the end
  int err;
  const char *message;   // start of the logged line
};

class Corrupt : public LogTest, public ::testing::WithParamInterface<corruptcase> {};

TEST_P(Corrupt, IsRefusedWithoutReadingOutsideTheLog) {
  const corruptcase &c = GetParam();
  ASSERT_NE(append(200), nullptr);
  ASSERT_NE(append(200), nullptr);
  ASSERT_NE(append(2012 - 400 + 10), nullptr);  // page 1 goes to disk
  write_disk(0, 1, c.dataoff, c.bytes.data(), static_cast<int>(c.bytes.size()));
  char *r;
  if (c.forward) {
    r = bm_getlogrec(0, 0);
  } else {
    bm_initprev();
    int file, offset;
    ASSERT_NE(bm_getprev(&file, &offset), nullptr);  // the record on the page being filled
    r = bm_getprev(&file, &offset);
    if (c.err == ER_LOGOFFSET) {  // the moved position is told, as by a read
      EXPECT_EQ(file, 0);
      EXPECT_EQ(offset, -64880);
    }
  }
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(iserrno, c.err);
  EXPECT_EQ(log_text().rfind(c.message, 0), 0u) << log_text();
  EXPECT_EQ(dbs()->logsem->lock, 0);
  // The log stays usable.
  ASSERT_NE(append(100), nullptr);
  EXPECT_NE(bm_getlogrec(0, 2022), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, Corrupt,
    ::testing::Values(
        corruptcase{0, {0, 0, 0, 0}, true, ER_LOGREC, "bm_getlogrec2:len = 0 11 0 0 0"},
        corruptcase{0, {5, 0, 0, 0}, true, ER_LOGREC, "bm_getlogrec2:len = 5"},
        corruptcase{0, {0xff, 0xff, 0, 0}, true, ER_LOGREC, "bm_getlogrec: len = 65535"},
        corruptcase{396, {0, 0, 0, 0}, false, ER_LOGREC, "bm_getprev2:len = 0"},
        corruptcase{396, {0, 0, 0xff, 0}, false, ER_LOGOFFSET, "rbackpos.offset = -64880"},
        corruptcase{200, {0xff, 0, 0, 0}, false, ER_LOGREC, "bm_getprev3: len = 255 trailer = 200"}));

TEST_F(LogTest, PositionsOutsideTheRecordsAreRefused) {
  ASSERT_NE(append(100), nullptr);
  struct {
    int file, offset;
  } cases[] = {{0, 100}, {0, 5000}, {0, -1}, {1, 0}, {3, 0}, {-1, 0}, {64, 0}};
  for (auto c : cases) {
    EXPECT_EQ(bm_getlogrec(c.file, c.offset), nullptr) << c.file << " " << c.offset;
    EXPECT_EQ(iserrno, ER_LOGREC);
  }
  EXPECT_NE(log_text().find("bm_getlogrec: no record at 0 5000\n"), std::string::npos);
}

TEST_F(LogTest, BackwardReadOfAReleasedLogIdFails) {
  ASSERT_NE(append(100), nullptr);
  bm_initprev();
  int file, offset;
  ASSERT_NE(bm_getprev(&file, &offset), nullptr);  // back at the start: now in log id 0
  EXPECT_EQ(bm_getprev(&file, &offset), nullptr);
  EXPECT_EQ(iserrno, ER_LOGREC);
  EXPECT_NE(log_text().find("bm_getprev: Logid 0 not found 1 -1 -1 0\n"), std::string::npos)
      << log_text();
}

}  // namespace
