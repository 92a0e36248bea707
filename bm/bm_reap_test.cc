// Tests of bm_reap with real processes: children of the test register in a real segment, are
// killed with SIGKILL and collected, and bm_reap cleans up after them.
#include "bm/bm_reap.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "ba/globals.h"
#include "bm/bm_pagetest.h"
#include "bm/bm_proto.h"
#include "testing/segment.h"

namespace {

using tolvtest::fork_child;

std::string notes;  // what bm_reap handed to the note callback in this process
void take_note(const char *line) { notes += line; }

class Reap : public tolvtest::SegmentTest {
 protected:
  void TearDown() override {
    for (pid_t pid : children_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    SegmentTest::TearDown();
  }
  // Forks a child that registers as name (and then runs mark, if given) and waits to be
  // killed; returns once it is done with both (no semaphore held), with its slot's index.
  int registered_child(const char *name, void (*mark)() = nullptr) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    pid_t pid = fork_child([name, mark, &ready] {
      bm_mypid = getpid();
      if (bm_usrin(bm_dbs, name, "", "", "local") != 0) return 1;
      if (mark != nullptr) mark();
      if (write(ready[1], "r", 1) != 1) return 1;
      for (;;) pause();
    });
    children_.push_back(pid);
    close(ready[1]);
    char c;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    return slot_of(pid);
  }
  // Kills a child with SIGKILL and collects it, so that its pid no longer exists.
  void kill_child(int slot) {
    pid_t pid = dbs()->users[slot].pid;
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    std::erase(children_, pid);
  }
  int taken() const {
    int n = 0;
    for (int i = 0; i < dbs()->nusers; i++) n += dbs()->users[i].progname[0] != '\0';
    return n;
  }
  int slot_of(pid_t pid) const {
    for (int i = 0; i < dbs()->nusers; i++)
      if (dbs()->users[i].progname[0] != '\0' && dbs()->users[i].pid == pid) return i;
    return -1;
  }
  bool slot_free(int i) const {
    const auto *b = reinterpret_cast<const unsigned char *>(&dbs()->users[i]);
    for (size_t k = 0; k < sizeof(userslot); k++)
      if (b[k] != 0) return false;
    return true;
  }
  pagebuf &buffer(int list, int b) const { return dbs()->lists[list].bufs[b]; }

  std::vector<pid_t> children_;
};

// What a flush daemon leaves when it dies between collecting a buffer and writing it: page 42
// in buffer 3 of list 1, being flushed and no longer dirty.
void collect_page42() {
  buflist &l = bm_dbs->lists[1];
  bm_p(&l.sema);
  pg_setword(l.bufs[3].page, PH_PAGENR, 42);
  l.bufs[3].flags = BF_FLUSHING;
  bm_v(&l.sema);
}

TEST_F(Reap, KilledProcessLosesItsSlotAndTheLivingKeepTheirs) {
  int alive = registered_child("TESTPROG");
  int dead = registered_child("OTHERPROG");
  kill_child(dead);
  notes.clear();
  EXPECT_EQ(bm_reap(take_note), 1);
  EXPECT_TRUE(slot_free(dead));
  EXPECT_STREQ(dbs()->users[alive].progname, "TESTPROG");
  EXPECT_NE(notes.find("(OTHERPROG) of user slot " + std::to_string(dead) +
                       " no longer exists; slot released\n"),
            std::string::npos)
      << notes;
  EXPECT_NE(log_text().find(notes), std::string::npos) << log_text();
  EXPECT_EQ(bm_reap(), 0);  // nothing left to do
}

TEST_F(Reap, AKilledImageWriterIsNamedNoLonger) {
  int writer = registered_child("TOLVDB");
  int other = registered_child("TOLVDB");
  dbs()->imgwriter = writer;
  kill_child(other);
  EXPECT_EQ(bm_reap(), 1);
  EXPECT_EQ(dbs()->imgwriter, writer);  // a living writer keeps its name
  kill_child(writer);
  notes.clear();
  EXPECT_EQ(bm_reap(take_note), 1);
  EXPECT_EQ(dbs()->imgwriter, -1);
  EXPECT_NE(notes.find("the image writer of user slot " + std::to_string(writer) + " is gone\n"),
            std::string::npos)
      << notes;
}

TEST_F(Reap, DaemonKilledWhileAPageWasCollectedGivesItsDirtyMarkBack) {
  int daemon = registered_child("TOLVFLUSH", collect_page42);
  kill_child(daemon);
  notes.clear();
  EXPECT_EQ(bm_reap(take_note), 1);
  EXPECT_EQ(buffer(1, 3).flags, BF_DIRTY);
  EXPECT_NE(notes.find("bm_reap: page 42 was left being flushed by no living flush daemon; dirty "
                       "again\n"),
            std::string::npos)
      << notes;
  EXPECT_EQ(dbs()->lists[1].sema.lock, 0);
}

TEST_F(Reap, BuffersOfALivingDaemonOrARunningCheckpointAreLeftAlone) {
  registered_child("TOLVFLUSH", collect_page42);
  int dead = registered_child("TESTPROG");
  kill_child(dead);
  EXPECT_EQ(bm_reap(), 1);
  EXPECT_EQ(buffer(1, 3).flags, BF_FLUSHING);  // the living daemon is still writing it

  for (pid_t pid : children_) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  children_.clear();
  dbs()->ckptrun = 1;  // a checkpoint (which flushes too) is running
  EXPECT_EQ(bm_reap(), 1);
  EXPECT_EQ(buffer(1, 3).flags, BF_FLUSHING);
  dbs()->ckptrun = 0;
  EXPECT_EQ(bm_reap(), 0);
  EXPECT_EQ(buffer(1, 3).flags, BF_DIRTY);
}

TEST_F(Reap, EightKilledDaemonsFillEightSlotsUntilTheReap) {
  ASSERT_EQ(dbs()->nusers, 8);
  std::vector<int> slots;
  for (int i = 0; i < 8; i++) slots.push_back(registered_child("TOLVFLUSH"));
  for (int s : slots) kill_child(s);
  EXPECT_EQ(bm_usrin(dbs(), "TOLVFLUSH", "", "", "local"), -1);
  EXPECT_EQ(iserrno, -329);
  EXPECT_EQ(bm_reap(), 8);
  for (int i = 0; i < 8; i++) EXPECT_TRUE(slot_free(i)) << i;
  EXPECT_EQ(bm_usrin(dbs(), "TOLVFLUSH", "", "", "local"), 0);
  EXPECT_EQ(bm_usrout(bm_mypid), 0);
}

TEST_F(Reap, LocalImagesOfADeadSlotGoBackToTheArena) {
  int dead = registered_child("TESTPROG");
  userslot &u = dbs()->users[dead];
  void *image = bm_malloc(PAGESIZE);
  ASSERT_NE(image, nullptr);
  void *table = bm_malloc(sizeof(locimgent));
  ASSERT_NE(table, nullptr);
  u.locimg = static_cast<locimgent *>(table);
  u.locimg[0].image = static_cast<unsigned char *>(image);
  u.nlocimg = 1;
  kill_child(dead);
  EXPECT_EQ(bm_reap(), 1);
  // Best fit finds the released blocks again (the table merged with the image behind it).
  void *again = bm_malloc(PAGESIZE);
  EXPECT_TRUE(again == image || again == table) << again;
}

constexpr int32_t kActionPage = 200;
constexpr int kActionTable = 7;

// What a server leaves when it dies in an update action: page 200 changed (its local image
// holds the committed contents) and table 7 locked exclusively.
void update_in_action() {
  if (bm_startea(&bm_dbs->tables[0], 0, EA_UPDATE) != 0) return;
  pagebuf *b = bm_getpage(kActionPage, ST_UPDATE, nullptr);
  if (b == nullptr) return;
  pg_setword(b->page, PH_DATA, 4711);
  bm_unfix(b);
}

TEST_F(Reap, ActionOfAKilledProcessIsAbortedBeforeItsSlotGoes) {
  const std::string rootdbs = inst_.path("rootdbs");
  tolvtest::number_pages(rootdbs, 0, 0, tolvtest::kRootPages);
  tolvtest::write_page(rootdbs, kActionPage, tolvtest::blank_page(kActionPage));
  tabdesc *td = &dbs()->tables[0];
  td->td_tabid = kActionTable;
  int dead = registered_child("TESTPROG", update_in_action);
  ASSERT_NE(dbs()->users[dead].uflags & US_ACTION, 0u);
  pid_t pid = dbs()->users[dead].pid;
  buflist &l = *bm_pagelist(kActionPage);
  pagebuf *b = nullptr;
  for (int i = 0; i < l.nbufs; i++)
    if (pg_word(l.bufs[i].page, PH_PAGENR) == kActionPage) b = &l.bufs[i];
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(pg_word(b->page, PH_DATA), 4711);
  kill_child(dead);

  // While the list semaphore that the abort needs is held by the dead, the slot stays.
  l.sema.lock = 1;
  l.sema.owner = pid;
  EXPECT_EQ(bm_reap(), 0);
  EXPECT_FALSE(slot_free(dead));
  EXPECT_NE(b->flags & BF_LOCIMG, 0u);
  l.sema.lock = 0;
  l.sema.owner = 0;

  notes.clear();
  EXPECT_EQ(bm_reap(take_note), 1);
  EXPECT_TRUE(slot_free(dead));
  EXPECT_EQ(pg_word(b->page, PH_DATA), 0);  // the committed contents
  EXPECT_EQ(b->flags & (BF_DIRTY | BF_LOCIMG), BF_DIRTY);
  EXPECT_EQ(td->td_use->tu_excl, 0);
  EXPECT_NE(notes.find("bm_reap: action of process " + std::to_string(pid) +
                       " aborted: 1 local images put back, 0 extents left in use\n"),
            std::string::npos)
      << notes;
  EXPECT_NE(log_text().find("Releasing table 7\n"), std::string::npos) << log_text();
}

// ---- Error paths: semaphores left held by the dead ----------------------------------------------

TEST_F(Reap, SemaphoresHeldByTheDeadAreNotWaitedFor) {
  int dead = registered_child("TOLVFLUSH", collect_page42);
  pid_t pid = dbs()->users[dead].pid;
  kill_child(dead);
  for (bmsema *s : {dbs()->usersem.get(), &dbs()->lists[1].sema}) {
    s->lock = 1;
    s->owner = pid;
  }
  notes.clear();
  EXPECT_EQ(bm_reap(take_note), 0);  // returns at once: neither is taken
  EXPECT_FALSE(slot_free(dead));
  EXPECT_EQ(buffer(1, 3).flags, BF_FLUSHING);
  const std::string held =
      "is held by process " + std::to_string(pid) + ", which no longer exists; left alone\n";
  EXPECT_NE(notes.find("(usersem) " + held), std::string::npos) << notes;
  EXPECT_NE(notes.find("(buffer list) " + held), std::string::npos) << notes;
}

}  // namespace
