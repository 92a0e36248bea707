// Tests of bm_user: registration and release in a real segment's user table.
#include "bm/bm_user.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <set>
#include <string>
#include <unistd.h>

#include "ba/ba_proto.h"
#include "ba/error.h"
#include "bm/bm_proto.h"
#include "testing/segment.h"

namespace {

using tolvtest::fork_child;
using tolvtest::wait_child;

class UserSlots : public tolvtest::SegmentTest {
 protected:
  userslot &slot(int i) { return dbs()->users[i]; }
  void take_slot(int i, const char *name) {
    strcpy(slot(i).progname, name);
    slot(i).pid = 100000 + i;
  }
};

// A table of three slots, to see the rule for the last one.
class ThreeSlots : public UserSlots {
 protected:
  srv_geometry geometry() const override {
    srv_geometry g = SegmentTest::geometry();
    g.nusers = 3;
    return g;
  }
};

TEST_F(UserSlots, RegistrationFillsTheSlot) {
  dbs()->newuflag = 1;
  dbs()->sessctr = 17;
  ASSERT_EQ(bm_usrin(dbs(), "TOLVFLUSH", "opt", "client", "local"), 0);
  userslot &u = slot(0);
  EXPECT_EQ(bm_myslot, &u);
  EXPECT_EQ(u.pid, bm_mypid);
  EXPECT_GT(u.logintime, 0);
  EXPECT_EQ(u.uflags, US_OPT);
  EXPECT_EQ(u.transit, -1);
  EXPECT_EQ(u.beginlog, 0x7fffffff);
  EXPECT_EQ(u.seenstamp, dbs()->dbsstamp);
  EXPECT_EQ(u.lastlogoff, -1);
  EXPECT_EQ(u.lastlogfile, -1);
  EXPECT_STREQ(u.progname, "TOLVFLUSH");
  EXPECT_EQ(u.uindex, 0);
  EXPECT_EQ(bm_myuindex, 0);
  EXPECT_STREQ(u.osuser, getpwuid(getuid())->pw_name);
  EXPECT_STREQ(u.dbopt, "opt");
  EXPECT_STREQ(u.client, "client");
  EXPECT_STREQ(u.host, "local");
  EXPECT_EQ(u.nlocimg, 0);
  EXPECT_EQ(u.locimg, nullptr);
  EXPECT_EQ(u.sessno, 17);
  EXPECT_EQ(dbs()->sessctr, 18);
  EXPECT_EQ(bm_sessno(), 17);
}

TEST_F(UserSlots, WithoutNewuflagTheFlagsStartEmpty) {
  ASSERT_EQ(bm_usrin(dbs(), "PROG", "", "", "local"), 0);
  EXPECT_EQ(slot(0).uflags, 0u);
}

TEST_F(UserSlots, TheLowestFreeSlotIsTaken) {
  take_slot(0, "A");
  take_slot(2, "C");
  ASSERT_EQ(bm_usrin(dbs(), "PROG", "", "", "local"), 0);
  EXPECT_EQ(bm_myuindex, 1);
  EXPECT_EQ(slot(1).uindex, 1);
}

TEST_F(ThreeSlots, OnlyTheDaemonsInitialTakesTheLastSlot) {
  take_slot(0, "A");
  take_slot(1, "B");
  userslot before;
  memcpy(&before, &slot(2), sizeof before);
  EXPECT_EQ(bm_usrin(dbs(), "SERVER", "", "", "local"), -1);
  EXPECT_EQ(iserrno, -329);
  EXPECT_EQ(memcmp(&before, &slot(2), sizeof before), 0);
  EXPECT_EQ(bm_myslot, nullptr);
  ASSERT_EQ(bm_usrin(dbs(), "TOLVFLUSH", "", "", "local"), 0);
  EXPECT_EQ(bm_myuindex, 2);
}

// A slot with an empty name reads as free: a second process would be handed the same slot and
// the first one's release would fail.
TEST_F(UserSlots, AnEmptyProgramNameTakesNoSlot) {
  userslot before;
  memcpy(&before, &slot(0), sizeof before);
  EXPECT_EQ(bm_usrin(dbs(), "", "", "", "local"), -1);
  EXPECT_EQ(iserrno, ER_NOSLOT);
  EXPECT_EQ(memcmp(&before, &slot(0), sizeof before), 0);
  EXPECT_EQ(bm_myslot, nullptr);
  EXPECT_EQ(dbs()->usersem->lock, 0);
}

TEST_F(ThreeSlots, AnyNameBeginningWithTheInitialMayTakeIt) {
  take_slot(0, "A");
  take_slot(1, "B");
  ASSERT_EQ(bm_usrin(dbs(), "TOLVDB", "", "", "local"), 0);
  EXPECT_EQ(bm_myuindex, 2);
}

TEST_F(ThreeSlots, AFullTableRefusesEveryone) {
  take_slot(0, "A");
  take_slot(1, "B");
  take_slot(2, "C");
  EXPECT_EQ(bm_usrin(dbs(), "TOLVFLUSH", "", "", "local"), -1);
  EXPECT_EQ(iserrno, -329);
}

TEST_F(UserSlots, LongArgumentsAreCutToTheirFields) {
  const std::string twenty = "ABCDEFGHIJKLMNOPQRST";
  ASSERT_EQ(bm_usrin(dbs(), twenty.c_str(), twenty.c_str(), twenty.c_str(), twenty.c_str()), 0);
  EXPECT_STREQ(slot(0).progname, twenty.substr(0, 14).c_str());
  EXPECT_STREQ(slot(0).dbopt, twenty.substr(0, 14).c_str());
  EXPECT_STREQ(slot(0).client, twenty.substr(0, 14).c_str());
  EXPECT_STREQ(slot(0).host, twenty.substr(0, 15).c_str());
  EXPECT_EQ(slot(0).uindex, 0);  // the field behind host is intact
}

TEST_F(UserSlots, WithoutATerminalTheTtyIsADash) {
  pid_t pid = fork_child([&] {
    int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; fd++) dup2(null, fd);
    if (bm_usrin(dbs(), "PROG", "", "", "local") != 0) return 1;
    return strcmp(bm_myslot->tty, "-") == 0 ? 0 : 2;
  });
  EXPECT_EQ(wait_child(pid), 0);
}

TEST_F(UserSlots, RegistrationNumbersStartAgainAtThreeAfterTheTop) {
  dbs()->sessctr = 0x7ffffffd;
  ASSERT_EQ(bm_usrin(dbs(), "A", "", "", "local"), 0);
  EXPECT_EQ(slot(0).sessno, 3);
  ASSERT_EQ(bm_usrin(dbs(), "B", "", "", "local"), 0);
  EXPECT_EQ(slot(1).sessno, 4);
  EXPECT_EQ(dbs()->sessctr, 5);
}

TEST_F(UserSlots, TheTopNumberItselfIsStillHandedOut) {
  dbs()->sessctr = 0x7ffffffc;
  ASSERT_EQ(bm_usrin(dbs(), "A", "", "", "local"), 0);
  EXPECT_EQ(slot(0).sessno, 0x7ffffffc);
}

TEST_F(UserSlots, ConcurrentRegistrationsTakeDistinctSlots) {
  constexpr int kProcs = 6;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t kids[kProcs];
  for (int k = 0; k < kProcs; k++) {
    kids[k] = fork_child([&] {
      char go;
      if (read(ready[0], &go, 1) != 1) return 10;
      bm_mypid = getpid();
      return bm_usrin(dbs(), "PROG", "", "", "local") == 0 ? 0 : 11;
    });
  }
  char go[kProcs] = {};
  ASSERT_EQ(write(ready[1], go, kProcs), kProcs);
  for (pid_t kid : kids) EXPECT_EQ(wait_child(kid), 0);
  std::set<int> pids, sessnos;
  for (int i = 0; i < kProcs; i++) {
    EXPECT_STREQ(slot(i).progname, "PROG");
    EXPECT_EQ(slot(i).uindex, i);
    pids.insert(slot(i).pid);
    sessnos.insert(slot(i).sessno);
  }
  EXPECT_EQ(pids.size(), static_cast<size_t>(kProcs));
  EXPECT_EQ(sessnos.size(), static_cast<size_t>(kProcs));
  close(ready[0]);
  close(ready[1]);
}

TEST_F(UserSlots, ReleaseClearsTheWholeSlot) {
  ASSERT_EQ(bm_usrin(dbs(), "PROG", "x", "y", "local"), 0);
  slot(0).uflags |= US_WAITING;
  EXPECT_EQ(bm_usrout(bm_mypid), 0);
  userslot zero;
  memset(&zero, 0, sizeof zero);
  EXPECT_EQ(memcmp(&zero, &slot(0), sizeof zero), 0);
  EXPECT_EQ(bm_myslot, nullptr);
  EXPECT_EQ(bm_sessno(), -1);
}

TEST_F(UserSlots, ReleasingAnotherProcessesSlotKeepsTheOwnRegistration) {
  take_slot(3, "OTHER");
  ASSERT_EQ(bm_usrin(dbs(), "PROG", "", "", "local"), 0);
  EXPECT_EQ(bm_usrout(100003), 0);
  EXPECT_EQ(slot(3).progname[0], '\0');
  EXPECT_EQ(bm_myslot, &slot(0));
}

TEST_F(UserSlots, ReleaseGivesTheLocalImagesBackToTheArena) {
  ASSERT_EQ(bm_usrin(dbs(), "PROG", "", "", "local"), 0);
  const arenahdr *arena = dbs()->mem.arena;
  int inuse_before = arena->inuse;
  auto *pairs = static_cast<locimgent *>(bm_malloc(2 * sizeof(locimgent)));
  ASSERT_NE(pairs, nullptr);
  pairs[0].image = static_cast<unsigned char *>(bm_malloc(PAGESIZE));
  pairs[1].image = nullptr;  // a pair without a block yet
  bm_myslot->locimg = pairs;
  bm_myslot->nlocimg = 2;
  ASSERT_GT(arena->inuse, inuse_before);
  EXPECT_EQ(bm_usrout(bm_mypid), 0);
  EXPECT_EQ(arena->inuse, inuse_before);
}

TEST_F(UserSlots, OwnSlotAccessors) {
  take_slot(3, "OTHER");
  slot(3).clientid = -42;
  ASSERT_EQ(bm_usrin(dbs(), "PROG", "", "", "local"), 0);
  bm_myslot->clientid = -7;
  EXPECT_EQ(bm_idinuse(42), 1);
  EXPECT_EQ(bm_idinuse(7), 0);  // the own slot does not count
  EXPECT_EQ(bm_idinuse(5), 0);
  bm_setuinfo(99);
  EXPECT_EQ(bm_myslot->uinfo, 99);
  bm_setuopt(0);
  EXPECT_EQ(bm_myslot->uflags & US_OPT, US_OPT);
  bm_setuopt(1);
  EXPECT_EQ(bm_myslot->uflags & US_OPT, 0u);
  bm_setcur("A_VERY_LONG_CURSOR_NAME", 1, 2);
  EXPECT_STREQ(bm_myslot->curname, "A_VERY_LONG_CU");
  EXPECT_EQ(bm_myslot->curval1, 1);
  EXPECT_EQ(bm_myslot->curval2, 2);
}

TEST_F(UserSlots, SetcurWithoutRegistrationDoesNothing) {
  bm_setcur("NAME", 1, 2);
  for (int i = 0; i < dbs()->nusers; i++) EXPECT_EQ(slot(i).curname[0], '\0');
  EXPECT_EQ(bm_sessno(), -1);
}

TEST_F(UserSlots, FindspaceComparesNamesExactly) {
  EXPECT_EQ(bm_findspace("rootdbs"), 0);
  EXPECT_EQ(bm_findspace("ROOTDBS"), -1);
  EXPECT_EQ(bm_findspace("rootdb"), -1);
  EXPECT_EQ(bm_findspace("rootdbsx"), -1);
}

// ---- Error paths ---------------------------------------------------------------------------

TEST_F(UserSlots, ReleaseOfAnUnknownProcessChangesNothing) {
  ASSERT_EQ(bm_usrin(dbs(), "PROG", "", "", "local"), 0);
  userslot before;
  memcpy(&before, &slot(0), sizeof before);
  EXPECT_EQ(bm_usrout(424242), -1);
  EXPECT_EQ(iserrno, -388);
  EXPECT_EQ(memcmp(&before, &slot(0), sizeof before), 0);
  EXPECT_EQ(bm_myslot, &slot(0));
}

}  // namespace
