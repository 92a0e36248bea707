// Tests of the stand-in's report: the exact lines for the header and counters, the buffer list
// counts with the holder of a list semaphore, the users in their slots with their waits, and
// text fields that lack their terminating zero.
#include "tools/srv_stat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "testing/segment.h"

namespace {

class Stat : public tolvtest::SegmentTest {
 protected:
  std::string report() const {
    char *text = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    srv_stat(out, dbs());
    fclose(out);
    std::string s(text, len);
    free(text);
    return s;
  }
  // Line n (from 0) of the report.
  std::string line(int n) const {
    std::string r = report();
    size_t at = 0;
    for (int i = 0; i < n; i++) at = r.find('\n', at) + 1;
    return r.substr(at, r.find('\n', at) - at);
  }
};

TEST_F(Stat, HeaderAndCounters) {
  dbs()->state = 2;
  dbs()->flushpct = 30;
  dbs()->st_reads = 1, dbs()->st_requests = 2, dbs()->st_writes = 3, dbs()->log_writes = 4;
  dbs()->st_hits = 5, dbs()->st_biflush = 6, dbs()->st_nofree = 7, dbs()->st_biwait = 8;
  dbs()->st_savewait = 9, dbs()->st_readwait = 10, dbs()->st_transit = 11;
  dbs()->st_flushwait = 12, dbs()->st_archwait = 13;
  char first[100];
  snprintf(first, sizeof first,
           "state 2 (not online), stamp 4711, flushpct 30, key %d at 0x40000000", seg_.key());
  EXPECT_EQ(line(0), first);
  EXPECT_EQ(line(1), "reads 1 requests 2 writes 3 log writes 4 hits 5 before-image writes 6");
  EXPECT_EQ(line(2),
            "naps: nofree 7 biwait 8 savewait 9 readwait 10 transit 11 flushwait 12 archwait 13");
  dbs()->logctl.lc_cur = 1;
  dbs()->logctl.lc_logid[1] = 7;
  dbs()->logctl.lc_curpage = 2;
  dbs()->logctl.lc_bytes[1] = 2100;
  dbs()->ckptrun = 1;
  dbs()->ckptflags = CK_RUNNING;
  EXPECT_EQ(line(3), "log: file 1 of 3, log id 7, page 2, 2100 bytes; ckptrun 1 ckptflags 0x1");
  EXPECT_EQ(line(4),
            "before images: 0 of 4 in the buffer, next batch at page 30 of 30..61, bitab 0 of 64 "
            "in use, sequence 1, image writer -1");
  EXPECT_EQ(line(5), "archive: flags 0x0, 0 of 4 slots, 0 copies stored");
}

TEST_F(Stat, ListsCountTheirBuffersAndNameTheHolder) {
  buflist &l = dbs()->lists[1];
  pg_setword(l.bufs[0].page, PH_PAGENR, 72);
  l.bufs[0].flags = BF_DIRTY;
  pg_setword(l.bufs[1].page, PH_PAGENR, 73);
  l.bufs[1].flags = BF_FLUSHING;
  l.bufs[1].fixcnt = 2;
  l.sema.lock = 1;
  l.sema.owner = 4321;
  EXPECT_EQ(line(6), "list  buffers  used dirty fixed flushing  holder");
  EXPECT_EQ(line(7), "   0        8     0     0     0        0       -");
  EXPECT_EQ(line(8), "   1        8     2     1     1        1    4321");
}

TEST_F(Stat, UsersInTheirSlotsWithTheirWaits) {
  userslot *u = tolvtest::register_slot(3, "TOLVFLUSH");
  u->pid = 999;
  u->logintime = 86400 * 365;
  u->seenstamp = 4711;
  u->uflags |= US_WAITING;
  u->waitkind = 'S';
  u->waitobj = 17;
  snprintf(u->tty, sizeof u->tty, "/dev/pts/3");
  snprintf(u->host, sizeof u->host, "local");
  char login[24];
  time_t t = u->logintime;
  struct tm tm;
  strftime(login, sizeof login, "%Y-%m-%d %H:%M:%S", localtime_r(&t, &tm));
  EXPECT_EQ(line(9),
            "slot     pid program        flags   wait           seen login               "
            "tty        host");
  EXPECT_EQ(line(10), std::string("   3     999 TOLVFLUSH      0x0004  S 17           4711 ") +
                         login + " /dev/pts/3 local");
  u->uflags = 0;
  EXPECT_NE(line(10).find("0x0000  -  "), std::string::npos);
  std::string r = report();
  EXPECT_EQ(std::count(r.begin(), r.end(), '\n'), 11);  // free slots are not listed
}

TEST_F(Stat, TextFieldsAreBoundedByTheirSize) {
  userslot *u = tolvtest::register_slot(0, "X");
  memset(u->progname, 'P', sizeof u->progname);  // no terminating zero
  memset(u->host, 'H', sizeof u->host);
  std::string l = line(10);
  EXPECT_NE(l.find(std::string(15, 'P') + " "), std::string::npos);
  EXPECT_EQ(l.find(std::string(16, 'P')), std::string::npos);
  EXPECT_EQ(l.substr(l.size() - 17), " " + std::string(16, 'H'));
}

}  // namespace
