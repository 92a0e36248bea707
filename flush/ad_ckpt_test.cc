// Tests of the checkpoint on a real segment and a formatted partition: a checkpoint without
// actions (its log lines, the pages it writes, the root page byte for byte, the checkpoint
// record, the before-image bookkeeping), a user waiting for a log file, archiving, a daemon
// pass still writing (real processes), durability (syncs counted through the fault seam, failing
// writes and syncs of every later step), and ad_clrarch.
#include "flush/ad_ckpt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ba/error.h"
#include "bm/bm_logtest.h"
#include "bm/bm_io.h"
#include "bm/bm_mem.h"
#include "bm/bm_sema.h"
#include "bm/bm_faulthook.h"

namespace {

using tolvtest::eventually;
using tolvtest::fork_child;
using tolvtest::wait_child;

constexpr int32_t kFirstData = 200;  // pages put dirty into the buffers: 200, 201, ...

class Checkpoint : public logtest::LogTest {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    if (HasFatalFailure()) return;
    dbs()->modified = 1;
    for (int i = 0; i < dbs()->nbitab; i++) dbs()->bitab[i] = 300 + i;
    dbs()->binext = dbs()->bifirst + 5;
  }
  // The n-th buffer of the pool (lists one after the other).
  pagebuf *buffer(int n) {
    buflist &l = dbs()->lists[n / dbs()->lists[0].nbufs];
    return &l.bufs[n % l.nbufs];
  }
  // Buffers 0 .. n-1 hold pages kFirstData + k, dirty, with BF_BEFIMG, filled with 'a' + k.
  void dirty(int n) {
    for (int k = 0; k < n; k++) {
      pagebuf *b = buffer(k);
      memset(b->page, 'a' + k, PAGESIZE);
      pg_setword(b->page, PH_PAGENR, kFirstData + k);
      b->flags = BF_DIRTY | BF_BEFIMG;
    }
  }
  std::vector<unsigned char> disk(int32_t pagenr) const {
    std::vector<unsigned char> p(PAGESIZE);
    int fd = open(device_.c_str(), O_RDONLY);
    EXPECT_EQ(pread(fd, p.data(), PAGESIZE, off_t{pagenr} * PAGESIZE), PAGESIZE);
    close(fd);
    return p;
  }
  // The last record of the log, or an empty vector.
  std::vector<unsigned char> last_record() {
    bm_initprev();
    int f, o;
    char *r = bm_getprev(&f, &o);
    if (r == nullptr) return {};
    return std::vector<unsigned char>(r, r + pg_word(r, LR_LENGTH) - LR_TRAILLEN);
  }
  bool interval_kept() const {
    return dbs()->modified == 1 && dbs()->bitab[0] == 300 && dbs()->binext == dbs()->bifirst + 5;
  }
  bool ended() const { return dbs()->ckptrun == 0 && (dbs()->ckptflags & CK_RUNNING) == 0; }
};

// ---- A checkpoint without actions ----------------------------------------------------------------

TEST_F(Checkpoint, WithoutActionsClosesTheInterval) {
  dirty(5);
  snprintf(dbs()->users[2].progname, US_PROGLEN, "SERVER");
  dbs()->users[2].uflags = US_INTRANS;
  ad_checkpoint(dbs());
  EXPECT_EQ(log_text(), "Checkpoint started in log 0 1\nCheckpoint terminated\n");
  EXPECT_TRUE(ended());
  EXPECT_EQ(dbs()->modified, 0);
  EXPECT_EQ(dbs()->ckpt_logid, 1);
  EXPECT_EQ(dbs()->binext, dbs()->bifirst);
  for (int i = 0; i < dbs()->nbitab; i++) EXPECT_EQ(dbs()->bitab[i], -1) << i;
  for (int k = 0; k < 5; k++) {
    EXPECT_EQ(buffer(k)->flags, 0u) << k;  // written, BF_BEFIMG cleared
    std::vector<unsigned char> p = disk(kFirstData + k);
    EXPECT_EQ(0, memcmp(p.data(), buffer(k)->page, PAGESIZE)) << k;
  }
  // The checkpoint record: forced, so on disk; one user in a transaction.
  std::vector<unsigned char> r = last_record();
  ASSERT_EQ(r.size(), 32u);
  EXPECT_EQ(pg_word(r.data(), LR_LENGTH), CR_LEN);
  EXPECT_EQ(r[LR_TYPE], LT_CHECKPOINT);
  EXPECT_EQ(r[15], 1);
  EXPECT_EQ(pg_word(r.data(), CR_INTRANS), 1);
  EXPECT_EQ(pg_word(r.data(), LR_STAMP), dbs()->dbsstamp);
  EXPECT_EQ(pg_word(r.data(), 28), -1);
  std::vector<unsigned char> logpage = logtest::LogTest::disk_page(0, 1);
  EXPECT_EQ(0, memcmp(logpage.data() + PH_DATA, r.data(), 32));
  // The cleaning page of the before-image area.
  std::vector<unsigned char> c = disk(dbs()->bifirst);
  EXPECT_EQ(pg_word(c.data(), PH_PAGENR), dbs()->bifirst);
  EXPECT_EQ(pg_word(c.data(), PH_STAMP), dbs()->dbsstamp);
  EXPECT_EQ(pg_word(c.data(), PH_BISEQ), 0x7fffffff);
  EXPECT_EQ(pg_word(c.data(), PH_BISEQ2), 0x7fffffff);
  EXPECT_EQ(std::vector<unsigned char>(c.begin() + 32, c.begin() + 2044),
            std::vector<unsigned char>(2012, 0));
}

TEST_F(Checkpoint, RootPageHoldsTheLogStateOfThreeFiles) {
  ASSERT_NE(append(3000), nullptr);
  snprintf(dbs()->roottext, sizeof dbs()->roottext, "ROOTTEXT10");
  dbs()->rootval = 77;
  dbs()->sessctr = 12;
  dbs()->biseqno = 13;
  ASSERT_EQ(ad_save_rootpage(dbs(), 5), 0);
  std::vector<unsigned char> want(PAGESIZE, 0);
  unsigned char *w = want.data();
  for (int off : {8, 12, 16}) pg_setword(w, off, -1);
  pg_setword(w, 32, 0);
  pg_setword(w, 36, 2);
  pg_setword(w, 40, 3000 - 2012);
  int16_t states[3] = {LS_CURRENT, LS_FREE, LS_FREE};
  memcpy(w + 44, states, sizeof states);
  int32_t ids[3] = {1, -1, -1};
  for (int f = 0; f < 3; f++) {
    pg_setword(w, 172 + 4 * f, ids[f]);
    pg_setword(w, 428 + 4 * f, f == 0 ? 3000 : 0);
  }
  pg_setword(w, 684, 12);
  pg_setword(w, 688, 13);
  pg_setword(w, 692, dbs()->log_seq);
  memcpy(w + 700, "TOLV-SQL", 8);
  std::vector<unsigned char> got = disk(0);
  std::string notice(reinterpret_cast<const char *>(got.data() + 712));
  EXPECT_FALSE(notice.empty());
  EXPECT_LT(notice.size(), 144u);
  memcpy(w + 712, notice.data(), notice.size());
  pg_setword(w, 856, 5);
  memcpy(w + 860, "testdbs", 7);
  memcpy(w + 872, "ROOTTEXT10", 10);
  pg_setword(w, 884, 77);
  for (int i = 0; i < PAGESIZE; i++) EXPECT_EQ(got[i], want[i]) << "byte " << i;
}

// ---- Conditions that stop or hold a checkpoint ----------------------------------------------------

TEST_F(Checkpoint, UserWaitingForALogFileStopsItSilently) {
  userslot &u = dbs()->users[3];
  snprintf(u.progname, US_PROGLEN, "SERVER");
  u.uflags = US_WAITING;
  u.waitkind = WK_LOGFILE;
  ad_checkpoint(dbs());
  EXPECT_EQ(log_text(), "");
  EXPECT_TRUE(ended());
  EXPECT_TRUE(interval_kept());
  u.waitkind = WK_SEMA;  // another wait does not stop it
  ad_checkpoint(dbs());
  EXPECT_EQ(dbs()->modified, 0);
}

struct archcase {
  uint32_t before, after;
  int16_t ckptrun;
  bool freed;  // archbuf given back
};

class Archive : public Checkpoint, public ::testing::WithParamInterface<archcase> {};

TEST_P(Archive, StateAfterTheCheckpoint) {
  const archcase &c = GetParam();
  void *block = bm_malloc(PAGESIZE);
  ASSERT_NE(block, nullptr);
  dbs()->archbuf = static_cast<unsigned char *>(block);
  dbs()->archflags = c.before;
  ad_checkpoint(dbs());
  EXPECT_EQ(dbs()->archflags, c.after);
  EXPECT_EQ(dbs()->ckptrun, c.ckptrun);
  EXPECT_EQ(dbs()->ckptflags & CK_RUNNING, 0u);
  EXPECT_EQ(dbs()->archbuf.get() == nullptr, c.freed);
  EXPECT_EQ(log_text().find("bm_free"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, Archive,
    ::testing::Values(archcase{0, 0, 0, true},                                  // no archive
                      archcase{AR_ACTIVE, AR_ACTIVE | AR_CKPTSEEN, 1, false},   // run began
                      archcase{AR_ACTIVE | AR_CKPTSEEN, AR_ACTIVE | AR_CKPTSEEN, 0, false}));

// A daemon pass collected a buffer before the checkpoint and is still writing it: the
// checkpoint must not record itself before that write has finished.
TEST_F(Checkpoint, WaitsForADaemonPassStillWriting) {
  dirty(2);
  pagebuf *b = buffer(1);
  b->flags = BF_FLUSHING;  // collected by "the daemon", not yet written
  pid_t daemon = fork_child([this, b] {
    tolvtest::register_slot(5, "TOLVFLUSH");
    if (!eventually([this] { return (dbs()->ckptflags & CK_RUNNING) != 0; })) return 1;
    // The checkpoint reached its flush and waits: nothing recorded yet.
    if (!eventually([this] { return buffer(0)->flags == BF_BEFIMG; })) return 2;
    if (lc().lc_bytes[0] != 0 || log_text().find("terminated") != std::string::npos) return 3;
    if (bm_pwrite(kFirstData + 1, b->page, PIO_ANYPART) != 0) return 4;
    __atomic_fetch_and(&b->flags, ~BF_FLUSHING, __ATOMIC_SEQ_CST);
    return 0;
  });
  ad_checkpoint(dbs());
  EXPECT_EQ(wait_child(daemon), 0);
  EXPECT_EQ(log_text(), "Checkpoint started in log 0 1\nCheckpoint terminated\n");
  EXPECT_EQ(lc().lc_bytes[0], CR_LEN);
}

// Another process's checkpoint runs (CK_RUNNING set): this one waits for it to end before it
// holds actions back or writes anything, and gives up waiting on the stop flag.
TEST_F(Checkpoint, WaitsForAnotherCheckpointToEnd) {
  dbs()->ckptflags = CK_RUNNING;
  term_req = 1;
  ad_checkpoint(dbs());
  term_req = 0;
  EXPECT_EQ(dbs()->ckptrun, 0);
  EXPECT_EQ(lc().lc_bytes[0], 0);
  pid_t other = fork_child([this] {
    bm_nap(300);
    if (dbs()->ckptrun != 0 || lc().lc_bytes[0] != 0) return 1;  // still waiting
    __atomic_fetch_and(&dbs()->ckptflags, ~CK_RUNNING, __ATOMIC_SEQ_CST);
    return 0;
  });
  ad_checkpoint(dbs());
  EXPECT_EQ(wait_child(other), 0);
  EXPECT_EQ(lc().lc_bytes[0], CR_LEN);
  EXPECT_EQ(log_text(), "Checkpoint started in log 0 1\nCheckpoint started in log 0 1\n"
                        "Checkpoint terminated\n");
}

// ---- Durability ---------------------------------------------------------------------------------

TEST_F(Checkpoint, SyncsThePartitionsBeforeItRecordsItself) {
  dirty(3);
  faulthook::countino = faulthook::inode_of(device_.c_str());
  faulthook::counted = 0;
  ad_checkpoint(dbs());
  faulthook::countino = 0;
  // bm_syncall after the flush, the forced record, the root page, the cleaning page.
  EXPECT_EQ(faulthook::counted, 4);
  EXPECT_EQ(dbs()->modified, 0);
}

TEST_F(Checkpoint, FailedSyncEndsLikeAnAbortAndTheNextOneSucceeds) {
  dirty(3);
  faulthook::failino = faulthook::inode_of(device_.c_str());
  ad_checkpoint(dbs());
  faulthook::failino = 0;
  EXPECT_TRUE(ended());
  EXPECT_TRUE(interval_kept());
  EXPECT_EQ(lc().lc_bytes[0], 0);  // not recorded
  std::string text = log_text();
  EXPECT_NE(text.find("Checkpoint: bm_syncall() failed. errno = 5\nCheckpoint aborted\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("terminated"), std::string::npos);
  ad_checkpoint(dbs());
  EXPECT_EQ(dbs()->modified, 0);
  EXPECT_EQ(lc().lc_bytes[0], CR_LEN);
}

TEST_F(Checkpoint, FailedPageWriteEndsLikeAnAbort) {
  dirty(3);
  device_full(true);
  ad_checkpoint(dbs());
  device_full(false);
  EXPECT_TRUE(ended());
  EXPECT_TRUE(interval_kept());
  EXPECT_EQ(lc().lc_bytes[0], 0);
  EXPECT_NE(buffer(0)->flags & BF_DIRTY, 0u);  // still to be written
  std::string text = log_text();
  EXPECT_NE(text.find("Checkpoint: page 200 could not be written\nCheckpoint aborted\n"),
            std::string::npos)
      << text;
  ad_checkpoint(dbs());
  EXPECT_EQ(dbs()->modified, 0);
  EXPECT_EQ(0, memcmp(disk(kFirstData).data(), buffer(0)->page, PAGESIZE));
}

// The record is in the log, but the root page that would name it cannot be made durable: the
// images stay, since a recovery would start from the root page's older checkpoint.
TEST_F(Checkpoint, FailedRootPageKeepsTheImages) {
  dirty(1);
  faulthook::failino = faulthook::inode_of(device_.c_str());
  faulthook::failskip = 2;  // bm_syncall and the forced record succeed
  ad_checkpoint(dbs());
  faulthook::failino = 0;
  EXPECT_TRUE(ended());
  EXPECT_TRUE(interval_kept());
  EXPECT_EQ(lc().lc_bytes[0], CR_LEN);
  EXPECT_NE(log_text().find("Checkpoint: ad_save_rootpage() failed. errno = 5\nCheckpoint "
                            "aborted\n"),
            std::string::npos)
      << log_text();
}

// Each later step of the checkpoint failing once, through the fault seam, on its first call:
// the syncs are those of bm_syncall, the forced record, the root page and the cleaning page.
struct ckpt_fault {
  const char *name;
  int syncskip;      // syncs that succeed before one fails (-1: none fails)
  bool root_write;   // the write of the root page fails
  bool clean_write;  // the write of the cleaning page fails
  const char *line;  // what the log says
  bool aborted;      // the checkpoint ends like an abort (else it terminates)
};

const ckpt_fault kCkptFaults[] = {
    {"RecordSync", 1, false, false, "Checkpoint: bm_wrtlog() failed. errno = 5\n", true},
    {"RootWrite", -1, true, false, "Checkpoint: ad_save_rootpage() failed. errno = 5\n", true},
    {"CleaningWrite", -1, false, true, "Error during Checkpoint while cleaning log\n", false},
    {"CleaningSync", 3, false, false, "Error during Checkpoint while cleaning log\n", false},
};

// Test names and failure messages show the case by its name.
void PrintTo(const ckpt_fault &c, std::ostream *os) { *os << c.name; }

class CheckpointFault : public Checkpoint, public testing::WithParamInterface<ckpt_fault> {};

// A later step failing once: the log says why, and the checkpoint ends as an abort (images and
// interval kept) unless the root page already names it.
TEST_P(CheckpointFault, SaysWhyAndEndsAsItShould) {
  const ckpt_fault &c = GetParam();
  ino_t ino = faulthook::inode_of(device_.c_str());
  dirty(1);
  faulthook::failino = c.syncskip >= 0 ? ino : 0;
  faulthook::failskip = c.syncskip;
  faulthook::writeino = c.root_write || c.clean_write ? ino : 0;
  faulthook::writepos = off_t{c.root_write ? ROOT_PAGENR : dbs()->bifirst} * PAGESIZE;
  faulthook::writeerrno = EIO;
  faulthook::writefails = 1;
  ad_checkpoint(dbs());
  faulthook::failino = faulthook::writeino = 0;
  std::string end = c.aborted ? "Checkpoint aborted\n" : "Checkpoint terminated\n";
  EXPECT_NE(log_text().find(std::string(c.line) + end), std::string::npos) << log_text();
  EXPECT_TRUE(ended());
  EXPECT_EQ(interval_kept(), c.aborted);
}

INSTANTIATE_TEST_SUITE_P(Steps, CheckpointFault, testing::ValuesIn(kCkptFaults),
                         [](const testing::TestParamInfo<ckpt_fault> &i) { return i.param.name; });

// ---- ad_clrarch ---------------------------------------------------------------------------------

TEST_F(Checkpoint, ClrarchClearsTheArchiveFlagEverywhere) {
  int n = dbs()->nlists * dbs()->lists[0].nbufs;
  for (int k = 0; k < n; k++) buffer(k)->flags = BF_ARCHIVED | (k % 2 == 0 ? BF_DIRTY : 0u);
  ad_clrarch(dbs());
  for (int k = 0; k < n; k++) EXPECT_EQ(buffer(k)->flags, k % 2 == 0 ? BF_DIRTY : 0u) << k;
  for (int l = 0; l < dbs()->nlists; l++) EXPECT_EQ(dbs()->lists[l].sema.lock, 0);
}

}  // namespace
