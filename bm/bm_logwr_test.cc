// Tests of bm_logwr, the logical log's writer, on a real segment and a formatted partition:
// page filling and spanning, the page header fields on disk, forcing, the log switch and its
// wrap, the full-ring wait (with real processes), auto-free, long transactions, appends from
// several processes, and the error paths (lengths, failed page writes).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ba/error.h"
#include "bm/bm_logtest.h"
#include "bm/bm_sema.h"
#include "bm/bm_faulthook.h"

namespace {

using logtest::kFileBytes;
using logtest::LogTest;
using tolvtest::eventually;
using tolvtest::fork_child;
using tolvtest::wait_child;

// ---- Filling and spanning -------------------------------------------------------------------

struct fillcase {
  std::vector<int> lens;  // appended one after the other to an empty file
  int writes;             // log pages written
  int curpage;            // page being filled afterwards
  int filled;             // bytes on it
};

class Filling : public LogTest, public ::testing::WithParamInterface<fillcase> {};

TEST_P(Filling, WritesOnlyFullPages) {
  const fillcase &c = GetParam();
  int writes = dbs()->log_writes, total = 0;
  for (int len : c.lens) {
    logpos *p = append(len);
    ASSERT_NE(p, nullptr) << len << " iserrno " << iserrno;
    EXPECT_EQ(p->offset, total);
    EXPECT_EQ(p->file, 0);
    EXPECT_EQ(p->logid, 1);
    total += len;
  }
  EXPECT_EQ(dbs()->log_writes - writes, c.writes);
  EXPECT_EQ(lc().lc_curpage, c.curpage);
  EXPECT_EQ(filled(), c.filled);
  EXPECT_EQ(lc().lc_bytes[0], total);
  EXPECT_EQ(dbs()->modified, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, Filling,
    ::testing::Values(fillcase{{100}, 0, 1, 100},
                      fillcase{{2012}, 0, 1, 2012},         // exactly fills: not yet written
                      fillcase{{2012, 20}, 1, 2, 20},       // the next append writes it first
                      fillcase{{2013}, 1, 2, 1},            // one byte over
                      fillcase{{2 * 2012 + 7}, 2, 3, 7},    // k = 2 pages written, r = 7 kept
                      fillcase{{2 * 2012}, 2, 3, 0},        // k = 2 pages written, r = 0
                      fillcase{{2012, 2012}, 2, 3, 0},      // the first page, then the second
                      fillcase{{1000, 1012, 1000}, 1, 2, 1000},
                      fillcase{{3 * 2012}, 2, 3, 2012}));   // a whole file's capacity

TEST_F(LogTest, WrittenPagesCarryTheLogHeader) {
  int32_t seq = dbs()->log_seq;
  std::vector<unsigned char> r = logtest::record(2100, 7, 1, 3);
  ASSERT_NE(bm_wrtlog(2100, r.data(), 0), nullptr);
  std::vector<unsigned char> p = disk_page(0, 1);
  EXPECT_EQ(pg_word(p.data(), PH_PAGENR), lc().lc_first + 1);
  EXPECT_EQ(pg_word(p.data(), PH_PAGETYPE), PT_LOGDATA);
  EXPECT_EQ(pg_word(p.data(), PH_STAMP), dbs()->dbsstamp);
  EXPECT_EQ(pg_word(p.data(), PH_BISEQ), seq);
  EXPECT_EQ(pg_word(p.data(), PH_BISEQ2), seq);
  EXPECT_EQ(dbs()->log_seq, seq + 1);
  // The stamp went into the caller's record before the copy.
  EXPECT_EQ(pg_word(r.data(), LR_STAMP), dbs()->dbsstamp);
  EXPECT_EQ(0, memcmp(p.data() + PH_DATA, r.data(), LOG_DATASIZE));
}

// ---- Forcing ----------------------------------------------------------------------------------

struct forcecase {
  int type, force, nosync;
  bool written;
};

class Forcing : public LogTest, public ::testing::WithParamInterface<forcecase> {};

TEST_P(Forcing, WritesThePageBeingFilledWithoutAdvancing) {
  const forcecase &c = GetParam();
  dbs()->commit_nosync = c.nosync;
  int writes = dbs()->log_writes;
  ASSERT_NE(append(60, c.type, c.force), nullptr);
  EXPECT_EQ(dbs()->log_writes - writes, c.written ? 1 : 0);
  EXPECT_EQ(lc().lc_curpage, 1);
  std::vector<unsigned char> p = disk_page(0, 1);
  EXPECT_EQ(pg_word(p.data(), PH_DATA + LR_LENGTH), c.written ? 60 : 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Forcing,
                         ::testing::Values(forcecase{1, 0, 0, false}, forcecase{1, 1, 0, true},
                                           forcecase{LT_COMMIT, 0, 0, true},
                                           forcecase{LT_COMMIT, 0, 1, false},
                                           forcecase{LT_COMMIT, 1, 1, true}));

// ---- Durability ------------------------------------------------------------------------------

TEST_F(LogTest, OnlyForcedAppendsSyncTheLogPartition) {
  faulthook::countino = faulthook::inode_of(device_.c_str());
  faulthook::counted = 0;
  ASSERT_NE(append(3000), nullptr);  // a page written, unforced
  EXPECT_EQ(faulthook::counted, 0);
  ASSERT_NE(append(100, 1, 1), nullptr);
  EXPECT_EQ(faulthook::counted, 1);
  ASSERT_NE(append(100, LT_COMMIT), nullptr);
  EXPECT_EQ(faulthook::counted, 2);
  dbs()->commit_nosync = 1;
  ASSERT_NE(append(100, LT_COMMIT), nullptr);
  EXPECT_EQ(faulthook::counted, 2);
  faulthook::countino = 0;
}

TEST_F(LogTest, FailedSyncFailsTheForcedAppend) {
  faulthook::failino = faulthook::inode_of(device_.c_str());
  ASSERT_NE(append(100), nullptr);  // unforced: no sync, no failure
  EXPECT_EQ(append(100, LT_COMMIT), nullptr);
  EXPECT_EQ(iserrno, EIO);
  EXPECT_NE(log_text().find("Sync of device " + device_ + " failed.errno 5\n"),
            std::string::npos)
      << log_text();
  faulthook::failino = 0;
  logpos *p = append(100, LT_COMMIT);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->offset, 200);
  EXPECT_EQ(pg_word(disk_page(0, 1).data(), PH_DATA + 200), 100);  // on disk, forced
}

// ---- The switch -------------------------------------------------------------------------------

TEST_F(LogTest, OverflowingRecordSwitchesFirst) {
  ASSERT_NE(append(kFileBytes - 100), nullptr);
  int32_t seq = dbs()->log_seq;
  logpos *p = append(200);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->file, 1);
  EXPECT_EQ(p->logid, 2);
  EXPECT_EQ(p->offset, 0);
  EXPECT_EQ(lc().lc_cur, 1);
  EXPECT_EQ(state(0), LS_FULL);
  EXPECT_EQ(state(1), LS_CURRENT);
  EXPECT_EQ(lc().lc_bytes[0], kFileBytes - 100);
  EXPECT_EQ(lc().lc_bytes[1], 200);
  EXPECT_EQ(dbs()->ckpt_request, 1);
  EXPECT_EQ(log_text(), "Logfile 1 completed\n");
  // The completed file's last page, then the new header page.
  std::vector<unsigned char> last = disk_page(0, 3);
  EXPECT_EQ(pg_word(last.data(), PH_BISEQ), seq);
  std::vector<unsigned char> head = disk_page(1, 0);
  EXPECT_EQ(pg_word(head.data(), PH_PAGETYPE), PT_LOGHEAD);
  EXPECT_EQ(pg_word(head.data(), PH_PAGENR), lc().lc_first + lc().lc_filepages);
  EXPECT_EQ(pg_word(head.data(), PH_DATA + LH_LOGID), 2);
  EXPECT_EQ(pg_word(head.data(), PH_DATA + LH_ZERO), 0);
  EXPECT_EQ(pg_word(head.data(), PH_BISEQ), seq + 1);
  EXPECT_EQ(pg_word(head.data(), PH_BISEQ2), seq + 1);
}

TEST_F(LogTest, RecordThatFillsTheFileExactlyNeedsNoSwitch) {
  ASSERT_NE(append(kFileBytes - 100), nullptr);
  ASSERT_NE(append(100), nullptr);
  EXPECT_EQ(lc().lc_cur, 0);
  EXPECT_EQ(lc().lc_bytes[0], kFileBytes);
}

TEST_F(LogTest, WrapsToFileZeroWithTheNextLogId) {
  lc().lc_autofree = 1;
  for (int i = 0; i < 3; i++) ASSERT_NE(append(kFileBytes), nullptr) << i;
  EXPECT_EQ(lc().lc_cur, 2);
  logpos *p = append(kFileBytes);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->file, 0);
  EXPECT_EQ(p->logid, 4);
  EXPECT_EQ(state(0), LS_CURRENT);
  // The wrap released every candidate that no transaction needs: files 0 and 1; file 2 was
  // completed only after that.
  EXPECT_EQ(state(1), LS_FREE);
  EXPECT_EQ(lc().lc_logid[1], -1);
  EXPECT_EQ(state(2), LS_FULL | LS_AUTOFREE);
  EXPECT_EQ(lc().lc_logid[0], 4);
  EXPECT_EQ(pg_word(disk_page(0, 0).data(), PH_DATA + LH_LOGID), 4);
  EXPECT_EQ(log_text(), "Logfile 1 completed\nLogfile 2 completed\nLogfile 3 completed\n");
}

TEST_F(LogTest, AutoFreeKeepsFilesThatAnOpenTransactionNeeds) {
  lc().lc_autofree = 1;
  userslot &u = dbs()->users[3];
  snprintf(u.progname, sizeof u.progname, "SERVER");
  u.uflags = US_INTRANS;
  u.beginlog = 1;
  for (int i = 0; i < 2; i++) ASSERT_NE(append(kFileBytes), nullptr);
  lc().lc_state[0] |= LS_AUTOFREE;
  bm_p(dbs()->logsem);
  bm_freelogs();
  bm_v(dbs()->logsem);
  EXPECT_EQ(state(0), LS_FULL | LS_AUTOFREE);  // the transaction began in it
  u.uflags = 0;
  lc().lc_state[0] |= LS_EXEMPT;
  bm_p(dbs()->logsem);
  bm_freelogs();
  bm_v(dbs()->logsem);
  EXPECT_EQ(state(0), LS_FULL | LS_AUTOFREE | LS_EXEMPT);  // exempt: never released here
  lc().lc_state[0] &= ~LS_EXEMPT;
  bm_p(dbs()->logsem);
  bm_freelogs();
  bm_v(dbs()->logsem);
  EXPECT_EQ(state(0), LS_FREE);
  EXPECT_EQ(lc().lc_logid[0], -1);
}

// The ring is full and auto-free is off: a writer (a child) waits at the switch onto file 0,
// marked 'F', holding logsem; another process releases file 0 as a backup does.
TEST_F(LogTest, FullRingWaitsForTheBackup) {
  for (int i = 0; i < 3; i++) ASSERT_NE(append(kFileBytes), nullptr);
  pid_t writer = fork_child([this] {
    tolvtest::register_slot(1, "WRITER");
    logpos *p = append(100);
    return p != nullptr && p->file == 0 && p->logid == 4 ? 0 : 1;
  });
  userslot &w = dbs()->users[1];
  ASSERT_TRUE(eventually([&] {
    return (w.uflags & US_WAITING) != 0 && w.waitkind == WK_LOGFILE;
  }));
  EXPECT_EQ(dbs()->logsem->lock, 1);  // every other writer waits too
  pid_t backup = fork_child([this] {
    __atomic_store_n(&lc().lc_state[0], int16_t{LS_FREE}, __ATOMIC_SEQ_CST);
    return 0;
  });
  EXPECT_EQ(wait_child(backup), 0);
  EXPECT_EQ(wait_child(writer), 0);
  EXPECT_EQ((w.uflags & US_WAITING), 0u);
  std::string text = log_text();
  EXPECT_EQ(text,
            "Logfile 1 completed\nLogfile 2 completed\nLogfile 3 completed\n"
            "Logical logs are full. Backup is needed\n");
  EXPECT_EQ(state(0), LS_CURRENT);
}

TEST_F(LogTest, LongTransactionIsReportedOnce) {
  userslot &u = dbs()->users[4];
  snprintf(u.progname, sizeof u.progname, "SERVER");
  u.pid = 4242;
  u.uflags = US_INTRANS;
  u.beginlog = 1;
  ASSERT_NE(append(kFileBytes), nullptr);
  ASSERT_NE(append(kFileBytes), nullptr);  // log id 2: not yet
  EXPECT_EQ(dbs()->long_count, 0);
  ASSERT_NE(append(kFileBytes), nullptr);  // log id 3 = 1 + 3 - 1: the ring is spanned
  EXPECT_EQ(dbs()->long_count, 1);
  EXPECT_NE(u.uflags & US_LONGTX, 0u);
  bm_p(dbs()->logsem);
  bm_longtrans(dbs());
  bm_v(dbs()->logsem);
  EXPECT_EQ(dbs()->long_count, 1);
  std::string text = log_text();
  EXPECT_EQ(text.find("Long transaction of user 4242 detected. Logid = 1\n"),
            text.rfind("Long transaction"));
  EXPECT_NE(text.find("Long transaction of user 4242 detected. Logid = 1\n"), std::string::npos);
}

TEST_F(LogTest, BusyCheckLooksAtTheNextFile) {
  EXPECT_EQ(bm_logbusy(), 0);  // check off
  dbs()->log_busycheck = 1;
  EXPECT_EQ(bm_logbusy(), 0);  // file 1 is free
  lc().lc_state[1] = LS_FULL;
  EXPECT_EQ(bm_logbusy(), 1);
}

TEST_F(LogTest, BuildBufferIsStaticUpToAThousandBytes) {
  char *a = bm_logbuf(1000);
  EXPECT_EQ(bm_logbuf(10), a);
  char *b = bm_logbuf(5000);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(b, a);
  memset(b, 1, 5000);
  EXPECT_NE(bm_logbuf(9000), nullptr);
}

// ---- Appends of several processes -------------------------------------------------------------

TEST_F(LogTest, ConcurrentAppendsKeepEveryRecordWhole) {
  lc().lc_autofree = 1;
  constexpr int kChildren = 3, kRecords = 40;
  std::vector<pid_t> kids;
  for (int c = 0; c < kChildren; c++)
    kids.push_back(fork_child([this, c] {
      tolvtest::register_slot(c + 1, "WRITER");
      for (int i = 0; i < kRecords; i++)
        if (append(150 + 37 * i % 400, 1, i % 5 == 0, c + 1, i) == nullptr) return 1;
      return 0;
    }));
  for (pid_t k : kids) EXPECT_EQ(wait_child(k), 0);
  // Every record of the current file reads back whole, in order, offset by offset.
  int o = 0, n = 0;
  while (o < lc().lc_bytes[lc().lc_cur]) {
    char *r = bm_getlogrec(lc().lc_cur, o);
    ASSERT_NE(r, nullptr) << o;
    int len = pg_word(r, LR_LENGTH);
    ASSERT_EQ(lr_gettrailer(reinterpret_cast<unsigned char *>(r) + len - 4), len);
    o += len;
    n++;
  }
  EXPECT_EQ(o, lc().lc_bytes[lc().lc_cur]);
  EXPECT_GT(n, 0);
  EXPECT_EQ(dbs()->logsem->lock, 0);
}

// ---- Error paths ------------------------------------------------------------------------------

struct badlen {
  int len;
  int err;
  const char *message;
};

class BadLength : public LogTest, public ::testing::WithParamInterface<badlen> {};

TEST_P(BadLength, IsRefusedAndTheLogStaysUsable) {
  const badlen &c = GetParam();
  std::vector<unsigned char> r(8000);
  int writes = dbs()->log_writes;
  EXPECT_EQ(bm_wrtlog(c.len, r.data(), 0), nullptr);
  EXPECT_EQ(iserrno, c.err);
  EXPECT_EQ(log_text(), c.message);
  EXPECT_EQ(lc().lc_cur, 0);
  EXPECT_EQ(dbs()->log_writes, writes);
  EXPECT_EQ(dbs()->logsem->lock, 0);
  ASSERT_NE(append(40), nullptr);
  EXPECT_NE(bm_getlogrec(0, 0), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BadLength,
                         ::testing::Values(badlen{0, ER_LOGLEN0, "bm_wrtlog:len == 0\n"},
                                           badlen{12, ER_LOGLEN0, "bm_wrtlog:len = 12 too short\n"},
                                           badlen{15, ER_LOGLEN0, "bm_wrtlog:len = 15 too short\n"},
                                           badlen{-5, ER_LOGLEN0, "bm_wrtlog:len = -5 too short\n"},
                                           badlen{kFileBytes + 1, ER_LOGTOOLONG, ""}));

TEST_F(LogTest, FailedPageWriteLeavesTheControlBlockAsItWas) {
  ASSERT_NE(append(1500), nullptr);
  std::vector<unsigned char> before(lc().lc_page, lc().lc_page + PAGESIZE);
  device_full(true);
  EXPECT_EQ(append(4000), nullptr);  // crosses two page ends: the first write fails
  EXPECT_EQ(iserrno, ENOSPC);
  EXPECT_EQ(lc().lc_curpage, 1);
  EXPECT_EQ(filled(), 1500);
  EXPECT_EQ(lc().lc_bytes[0], 1500);
  EXPECT_EQ(0, memcmp(before.data() + PH_DATA, lc().lc_page + PH_DATA, LOG_DATASIZE));
  EXPECT_EQ(append(40, 1, 1), nullptr);  // a forced write fails too
  device_full(false);
  logpos *p = append(600);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->offset, 1540);  // the forced record was appended, only its write failed
  char *r = bm_getlogrec(0, 1540);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(pg_word(r, LR_LENGTH), 600);
}

// The first page write of a long record succeeds, the second fails (its page lies beyond the
// dbspace's end): the page being filled gets its earlier bytes back.
TEST_F(LogTest, FailedSecondPageWriteRestoresThePage) {
  ASSERT_NE(append(1500, 1, 0, 1, 9), nullptr);
  std::vector<unsigned char> before(lc().lc_page + PH_DATA, lc().lc_page + PH_DATA + 1500);
  int32_t npages = dbs()->dbspaces[0].npages;
  dbs()->dbspaces[0].npages = lc().lc_first + 2;  // page index 2 of file 0 lies beyond
  EXPECT_EQ(append(4000), nullptr);
  EXPECT_EQ(iserrno, ER_BADPAGEIO);
  dbs()->dbspaces[0].npages = npages;
  EXPECT_EQ(lc().lc_curpage, 1);
  EXPECT_EQ(filled(), 1500);
  EXPECT_EQ(lc().lc_bytes[0], 1500);
  EXPECT_EQ(0, memcmp(before.data(), lc().lc_page + PH_DATA, 1500));
  EXPECT_EQ(std::vector<unsigned char>(lc().lc_page + PH_DATA + 1500, lc().lc_page + PH_BISEQ2),
            std::vector<unsigned char>(512, 0));
  ASSERT_NE(append(4000), nullptr);
  char *r = bm_getlogrec(0, 0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(pg_word(r, LR_LENGTH), 1500);
  EXPECT_NE(bm_getlogrec(0, 1500), nullptr);
}

TEST_F(LogTest, FailedSwitchWriteKeepsTheCurrentFile) {
  ASSERT_NE(append(kFileBytes - 50), nullptr);
  device_full(true);
  EXPECT_EQ(append(100), nullptr);
  EXPECT_EQ(lc().lc_cur, 0);
  EXPECT_EQ(state(0), LS_CURRENT);
  EXPECT_EQ(state(1), LS_FREE);
  device_full(false);
  logpos *p = append(100);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->file, 1);
}

}  // namespace
