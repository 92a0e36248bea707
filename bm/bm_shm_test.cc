// Tests of bm_shm (actions) with real processes on a real segment: the three waits of an
// action start ('c', 'X', 'C') and the stop flag that ends two of them, the update mode that
// sets `modified`, the refusals (an active action, a long transaction), the end with and
// without a log record, and the abort of the own and of another process's update action, which
// puts back page images, the saved descriptor bytes, the table lock and the extents.
#include "bm/bm_shm.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <unistd.h>

#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_free.h"
#include "bm/bm_logtest.h"
#include "bm/bm_main.h"
#include "bm/bm_pagetest.h"

namespace {

using tolvtest::eventually;
using tolvtest::fork_child;
using tolvtest::pn;
using tolvtest::register_slot;
using tolvtest::wait_child;

constexpr int kTabid = 5;
constexpr int32_t kPage = 200;

void stop(int) { term_req = 1; }

class Actions : public tolvtest::PagesTest {
 protected:
  void SetUp() override {
    PagesTest::SetUp();
    td_ = &dbs()->tables[0];
    td_->td_tabid = kTabid;
    term_req = 0;
  }
  void TearDown() override {
    term_req = 0;
    PagesTest::TearDown();
  }
  // Fixes page p for update and stores v into its first data word.
  static void update(int32_t p, int32_t v) {
    pagebuf *b = bm_getpage(p, ST_UPDATE, nullptr);
    ASSERT_NE(b, nullptr) << iserrno;
    pg_setword(b->page, PH_DATA, v);
    bm_unfix(b);
  }
  static int32_t data_of(int32_t p) {
    pagebuf *b = bm_getpage(p, 0, nullptr);
    int32_t v = pg_word(b->page, PH_DATA);
    bm_unfix(b);
    return v;
  }
  tabdesc *td_ = nullptr;
};

struct WaitCase {
  const char *name;
  int32_t dbshead::*field;
  int16_t dbshead::*field16;
  int mode;
  char kind;
  bool stoppable;
};

// A child starts an action while the field holds it back; it must show the wait kind, then
// either start once the field is cleared or, for the stoppable waits, give up with -406 on the
// stop flag.
TEST_F(Actions, StartWaitsShowTheirKindAndTheStopFlagEndsTheStoppableOnes) {
  const WaitCase cases[] = {
      {"checkpoint requested", &dbshead::ckpt_request, nullptr, EA_READ, WK_CKPTREQ, false},
      {"long transactions", &dbshead::long_count, nullptr, EA_UPDATE, WK_LONGTX, true},
      {"checkpoint running", nullptr, &dbshead::ckptrun, EA_READ, WK_CKPT, true},
  };
  for (const WaitCase &c : cases) {
    for (bool stopped : {false, true}) {
      if (stopped && !c.stoppable) continue;
      SCOPED_TRACE(std::string(c.name) + (stopped ? ", stopped" : ""));
      auto set = [&](int v) {
        if (c.field != nullptr) dbs()->*c.field = v;
        else dbs()->*c.field16 = static_cast<int16_t>(v);
      };
      set(1);
      userslot *kid = &dbs()->users[2];
      pid_t pid = fork_child([&] {
        signal(SIGUSR1, stop);
        register_slot(2);
        int r = bm_startea(nullptr, 0, c.mode);
        if (r == 0) return (bm_myslot->uflags & US_EA) != 0 ? 10 : 1;
        return iserrno == ER_STOPREQ && (bm_myslot->uflags & US_WAITING) == 0 ? 20 : 2;
      });
      EXPECT_TRUE(eventually([&] {
        return (kid->uflags & US_WAITING) != 0 && kid->waitkind == c.kind;
      }));
      if (stopped) {
        kill(pid, SIGUSR1);
        EXPECT_EQ(wait_child(pid), 20);
        set(0);
      } else {
        set(0);
        EXPECT_EQ(wait_child(pid), 10);
      }
      memset(kid, 0, sizeof *kid);
    }
  }
}

TEST_F(Actions, UpdateActionsSetModifiedAndRefusalsLeaveTheActionAlone) {
  for (int mode : {EA_READ, EA_UPDATE}) {
    dbs()->modified = 0;
    ASSERT_EQ(bm_startea(nullptr, 0, mode), 0);
    EXPECT_EQ(dbs()->modified, mode == EA_UPDATE ? 1 : 0);
    EXPECT_EQ((me_->uflags & US_ACTION) != 0, mode == EA_UPDATE);
    EXPECT_EQ(bm_startea(nullptr, 0, mode), -1);
    EXPECT_EQ(iserrno, ER_ACTIVE);
    EXPECT_NE(me_->uflags & US_EA, 0u);
    EXPECT_EQ(bm_endea(0, nullptr, nullptr), bm_nopos());
    EXPECT_EQ(me_->uflags & (US_EA | US_ACTION), 0u);
  }
  EXPECT_TRUE(logged(std::to_string(getpid()) + ": bm_startea: Action active!\n"));
  me_->uflags |= US_LONGTX | US_INTRANS;
  EXPECT_EQ(bm_startea(nullptr, 0, EA_READ), -1);
  EXPECT_EQ(iserrno, ER_LONGTX);
  EXPECT_EQ(bm_startea(nullptr, 1, EA_READ), 0);
  EXPECT_EQ(me_->nactions, 1);
  bm_endea(0, nullptr, nullptr);
}

TEST_F(Actions, EndWritesTheRecordAndRecordsItsPosition) {
  ASSERT_EQ(bm_startea(td_, 0, EA_UPDATE), 0);
  EXPECT_EQ(td_->td_use->tu_excl, 1);
  const logpos *none = bm_endea(0, nullptr, td_);
  EXPECT_EQ(none->file, -1);
  EXPECT_EQ(none->logid, -1);
  EXPECT_EQ(none->offset, -1);
  EXPECT_EQ(me_->lastlogfile, -1);
  EXPECT_EQ(td_->td_use->tu_excl, 0);
  EXPECT_EQ(td_->td_updates, 1);

  ASSERT_EQ(bm_startea(td_, 0, EA_READ), 0);
  EXPECT_EQ(td_->td_use->tu_shared, 1);
  auto rec = logtest::record(40);
  logpos *pos = bm_endea(40, rec.data(), td_);
  ASSERT_NE(pos, nullptr);
  EXPECT_EQ(me_->lastlogfile, pos->file);
  EXPECT_EQ(me_->lastlogoff, pos->offset);
  EXPECT_EQ(pos->file, dbs()->logctl.lc_cur);
  EXPECT_EQ(td_->td_use->tu_shared, 0);
  EXPECT_EQ(td_->td_updates, 1);  // a reading action does not count

  // A record the log refuses leaves the action open for an abort.
  ASSERT_EQ(bm_startea(nullptr, 0, EA_UPDATE), 0);
  EXPECT_EQ(bm_endea(3, rec.data(), nullptr), nullptr);
  EXPECT_NE(me_->uflags & US_EA, 0u);
  EXPECT_EQ(bm_abortea(me_), 0);
  EXPECT_EQ(me_->uflags & US_EA, 0u);
}

TEST_F(Actions, AbortOfTheOwnUpdateActionPutsEverythingBack) {
  td_->td_r04 = 11;
  int free = bm_freecount(0);
  int32_t before = data_of(kPage);
  ASSERT_EQ(bm_startea(td_, 0, EA_UPDATE), 0);
  update(kPage, 4711);
  update(kPage + 1, 4712);
  td_->td_r04 = 99;
  int32_t ext = bm_allocext(0, 6);
  ASSERT_GT(ext, 0);
  bm_newextent(ext, 6);
  EXPECT_EQ(bm_freecount(0), free - 6);
  EXPECT_EQ(bm_abortea(me_), 2);
  EXPECT_EQ(data_of(kPage), before);
  EXPECT_EQ(td_->td_r04, 11);
  EXPECT_EQ(td_->td_use->tu_excl, 0);
  EXPECT_EQ(bm_freecount(0), free);
  EXPECT_EQ(me_->curtab.get(), nullptr);
  EXPECT_EQ(me_->uflags & (US_EA | US_ACTION), 0u);
  EXPECT_FALSE(logged("Releasing table"));
  // Aborting again finds no action and puts nothing back.
  EXPECT_EQ(bm_abortea(me_), 0);
  EXPECT_TRUE(logged(std::to_string(getpid()) + ": bm_abortea: Action not active!\n"));
}

TEST_F(Actions, AbortOfAnotherProcessesActionReleasesItsTable) {
  int32_t before = data_of(kPage);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork_child([&] {
    register_slot(3);
    if (bm_startea(td_, 0, EA_UPDATE) != 0) return 1;
    update(kPage, 777);
    td_->td_r0a = 5;
    char c = 1;
    if (write(ready[1], &c, 1) != 1) return 2;
    pause();
    return 0;
  });
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  userslot *kid = &dbs()->users[3];
  EXPECT_EQ(data_of(kPage), 777);
  EXPECT_EQ(bm_abortea(kid), 1);
  EXPECT_EQ(data_of(kPage), before);
  EXPECT_EQ(td_->td_r0a, 0);
  EXPECT_EQ(td_->td_use->tu_excl, 0);
  EXPECT_EQ(kid->uflags & (US_EA | US_ACTION), 0u);
  EXPECT_TRUE(logged("Releasing table 5\n"));
  kill(pid, SIGKILL);
  wait_child(pid);
  close(ready[0]);
  close(ready[1]);
  // The table can be locked again.
  ASSERT_EQ(bm_startea(td_, 0, EA_UPDATE), 0);
  bm_endea(0, nullptr, td_);
}

}  // namespace
