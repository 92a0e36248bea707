// Tests of bm_sema on a real segment with real processes: wake order, sleeps and their
// marking, mutual exclusion, table locks, naps, bm_nextseq, and the error paths.
#include "bm/bm_sema.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <sched.h>
#include <cstring>
#include <string>
#include <sys/sem.h>
#include <unistd.h>
#include <vector>

#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "testing/segment.h"

namespace {

using tolvtest::eventually;
using tolvtest::fork_child;
using tolvtest::register_slot;
using tolvtest::wait_child;

constexpr int kUsers = 48;  // two mask words

class Sema : public tolvtest::SegmentTest {
 protected:
  srv_geometry geometry() const override {
    srv_geometry g = SegmentTest::geometry();
    g.nusers = kUsers;
    return g;
  }
  void SetUp() override {
    SegmentTest::SetUp();
    s_ = dbs()->usersem;
  }
  int semval(int u) const { return semctl(dbs()->semid, u, GETVAL); }
  uint32_t &mask(int u) const { return s_->waitmask[u / 32]; }
  void record(int u) const { mask(u) |= 0x80000000u >> (u % 32); }
  void forget(int u) const { mask(u) &= ~(0x80000000u >> (u % 32)); }
  bool recorded(int u) const { return (mask(u) & (0x80000000u >> (u % 32))) != 0; }
  const userslot &slot(int u) const { return dbs()->users[u]; }
  // User u sleeps on s: marked 'S' with the semaphore's number and recorded in its mask.
  bool sleeping(int u, const bmsema *s) const {
    const userslot &us = slot(u);
    return (us.uflags & US_WAITING) != 0 && us.waitkind == 'S' && us.waitobj == s->semno &&
           (s->waitmask[u / 32] & (0x80000000u >> (u % 32))) != 0;
  }
  // A child registered as user u that takes s, reports u on fd, and releases s.
  pid_t taker(int u, bmsema *s, int fd) const {
    return fork_child([u, s, fd] {
      register_slot(u);
      bm_p(s);
      bool ok = write(fd, &u, sizeof u) == sizeof u;
      bm_v(s);
      return ok ? 0 : 1;
    });
  }

  bmsema *s_ = nullptr;
};

// ---- The atomic exchange, set-up and release ------------------------------------------------

TEST_F(Sema, ExchangeTakesAFreeSemaphoreOnly) {
  EXPECT_EQ(bm_tas(s_), 0);
  EXPECT_EQ(s_->lock, 1);
  EXPECT_EQ(bm_tas(s_), 1);
  EXPECT_EQ(s_->lock, 1);
}

TEST_F(Sema, InitClearsEverythingButNumberAndMask) {
  bmsema &s = dbs()->lists[0].bufs[0].sema;
  memset(&s, 0xA5, sizeof s);
  auto *words = reinterpret_cast<uint32_t *>(dbs()->lists[0].bufs[0].page);
  EXPECT_EQ(bm_seminit(&s, 77, words), &s);
  EXPECT_EQ(s.lock, 0);
  EXPECT_EQ(s.waitmask.get(), words);
  EXPECT_EQ(s.owner, 0);
  EXPECT_EQ(s.wakeups, 0);
  EXPECT_EQ(s.semno, 77);
  EXPECT_EQ(s.collisions, 0);
  const auto *b = reinterpret_cast<const unsigned char *>(&s);
  EXPECT_TRUE(std::all_of(b + 2, b + 4, [](unsigned char c) { return c == 0; }));
  EXPECT_TRUE(std::all_of(b + 14, b + 16, [](unsigned char c) { return c == 0; }));
}

TEST_F(Sema, HolderIsRecordedAndReleaseClearsIt) {
  register_slot(2);
  bm_p(s_);
  EXPECT_EQ(s_->lock, 1);
  EXPECT_EQ(s_->owner, getpid());
  bm_v(s_);
  EXPECT_EQ(s_->lock, 0);
  EXPECT_EQ(s_->owner, 0);
  EXPECT_EQ(s_->wakeups, 0);  // nobody was recorded
  EXPECT_EQ(log(), "");
}

// ---- Wake order -----------------------------------------------------------------------------

TEST_F(Sema, HigherUserInTheSameWordIsWokenFirst) {
  record(3);
  record(7);
  bm_p(s_);
  bm_v(s_);
  EXPECT_EQ(semval(7), 1);
  EXPECT_EQ(semval(3), 0);
  EXPECT_EQ(s_->wakeups, 1);
  EXPECT_TRUE(recorded(7));  // the bit is the sleeper's to clear
  forget(7);
  bm_p(s_);
  bm_v(s_);
  EXPECT_EQ(semval(3), 1);
  EXPECT_EQ(s_->wakeups, 2);
}

TEST_F(Sema, EarlierMaskWordIsWokenFirst) {
  record(40);
  record(5);
  bm_p(s_);
  bm_v(s_);
  EXPECT_EQ(semval(5), 1);
  EXPECT_EQ(semval(40), 0);
  forget(5);
  bm_p(s_);
  bm_v(s_);
  EXPECT_EQ(semval(40), 1);
}

TEST_F(Sema, OneReleaseWakesOneSleeperOnly) {
  for (int u : {1, 2, 33, 47}) record(u);
  bm_p(s_);
  bm_v(s_);
  int woken = 0;
  for (int u = 0; u < kUsers; u++) woken += semval(u);
  EXPECT_EQ(woken, 1);
  EXPECT_EQ(semval(2), 1);
}

TEST_F(Sema, RealSleepersAreWokenInMaskOrder) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  bm_p(s_);
  pid_t low = taker(3, s_, fds[1]);
  pid_t high = taker(7, s_, fds[1]);
  ASSERT_TRUE(eventually([&] { return sleeping(3, s_) && sleeping(7, s_); }));
  bm_v(s_);
  int first = -1, second = -1;
  ASSERT_EQ(read(fds[0], &first, sizeof first), static_cast<ssize_t>(sizeof first));
  ASSERT_EQ(read(fds[0], &second, sizeof second), static_cast<ssize_t>(sizeof second));
  EXPECT_EQ(first, 7);
  EXPECT_EQ(second, 3);
  EXPECT_EQ(wait_child(low), 0);
  EXPECT_EQ(wait_child(high), 0);
  close(fds[0]);
  close(fds[1]);
}

// ---- Sleeping -------------------------------------------------------------------------------

TEST_F(Sema, SleeperIsMarkedWithTheSemaphoreNumber) {
  bm_p(s_);
  pid_t pid = fork_child([this] {
    userslot *me = register_slot(2);
    bm_p(s_);
    // After the wait: marking and mask bit are gone, the holder is this process.
    bool clean = (me->uflags & US_WAITING) == 0 && !recorded(2) && s_->owner == getpid();
    bm_v(s_);
    return clean ? 0 : 1;
  });
  ASSERT_TRUE(eventually([&] { return sleeping(2, s_); }));
  EXPECT_EQ(slot(2).waitobj, dbs()->usersem->semno);
  EXPECT_GE(s_->collisions, 1);
  bm_v(s_);
  EXPECT_EQ(wait_child(pid), 0);
}

TEST_F(Sema, LostWakeupEndsAtTheTimeBound) {
  bm_p(s_);
  pid_t pid = fork_child([this] {
    register_slot(2);
    bm_p(s_);
    bm_v(s_);
    return 0;
  });
  ASSERT_TRUE(eventually([&] { return sleeping(2, s_); }));
  // The release looks at the mask as if before the sleeper had recorded itself: nobody is
  // woken, and the sleeper must come back by the time bound of its sleep alone.
  forget(2);
  bm_v(s_);
  EXPECT_EQ(s_->wakeups, 0);
  EXPECT_EQ(semval(2), 0);
  EXPECT_EQ(wait_child(pid), 0);
  EXPECT_EQ(s_->lock, 0);
}

TEST_F(Sema, PendingWakeupEndsTheNextSleepAndIsConsumed) {
  userslot *me = register_slot(1);
  ASSERT_EQ(bm_tas(s_), 0);  // held, so the sleep really waits
  bm_wakeup(1);
  EXPECT_EQ(semval(1), 1);
  bm_psleep(s_);
  EXPECT_EQ(semval(1), 0);
  EXPECT_EQ(me->uflags & US_WAITING, 0u);
  EXPECT_FALSE(recorded(1));
}

TEST_F(Sema, NestedSleepKeepsTheOuterMarking) {
  userslot *me = register_slot(1);
  me->uflags |= US_WAITING;
  me->waitkind = 'C';
  me->waitobj = 99;
  ASSERT_EQ(bm_tas(s_), 0);
  bm_wakeup(1);
  bm_psleep(s_);
  EXPECT_NE(me->uflags & US_WAITING, 0u);
  EXPECT_EQ(me->waitkind, 'C');
  EXPECT_EQ(me->waitobj, 99);
  EXPECT_FALSE(recorded(1));
}

void on_test_alarm(int) {}

// The bound of a sleep is the timed wait's own: the process's alarm timer and its SIGALRM
// disposition are left as they were.
TEST_F(Sema, SleepLeavesTheAlarmTimerAndItsDispositionAlone) {
  register_slot(1);
  struct sigaction mine, old;
  memset(&mine, 0, sizeof mine);
  mine.sa_handler = on_test_alarm;
  mine.sa_flags = SA_RESTART;
  sigemptyset(&mine.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &mine, &old), 0);
  alarm(1000);
  ASSERT_EQ(bm_tas(s_), 0);
  bm_wakeup(1);
  bm_psleep(s_);
  struct sigaction now;
  ASSERT_EQ(sigaction(SIGALRM, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, on_test_alarm);
  EXPECT_NE(now.sa_flags & SA_RESTART, 0);
  EXPECT_GT(alarm(0), 900u);  // the own alarm still runs
  sigaction(SIGALRM, &old, nullptr);
}

// An alarm that fires before the wait begins (a process descheduled between arming and
// waiting; here: SIGALRM blocked, so no alarm can end the wait) must not leave the sleep
// unbounded: an unanswered sleep still ends after about a second.
TEST_F(Sema, UnansweredSleepEndsWithoutAnyAlarm) {
  ASSERT_EQ(bm_tas(s_), 0);
  pid_t pid = fork_child([this] {
    register_slot(2);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGALRM);
    sigprocmask(SIG_BLOCK, &block, nullptr);
    bm_psleep(s_);  // nobody wakes it
    return recorded(2) ? 1 : 0;
  });
  EXPECT_EQ(wait_child(pid, 60), 0);
  bm_v(s_);
}

TEST_F(Sema, SemaphoreNumberIsShownAsSixteenBits) {
  userslot *me = register_slot(1);
  s_->semno = 0x18001;  // read as 16 bits, sign-extended: -32767
  ASSERT_EQ(bm_tas(s_), 0);
  bm_wakeup(1);
  bm_psleep(s_);
  // The marking is cleared at the end; waitobj keeps the object of the last wait.
  EXPECT_EQ(me->waitobj, -32767);
}

// ---- Mutual exclusion -----------------------------------------------------------------------

TEST_F(Sema, FourProcessesIncrementACounterExactly) {
  constexpr int kProcs = 4, kRounds = 20000;
  auto *counter = reinterpret_cast<volatile int32_t *>(dbs()->lists[0].bufs[0].page + PH_DATA);
  auto *ready = counter + 1;  // a start line, so that all four really compete
  *counter = 0;
  *ready = 0;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; p++)
    kids.push_back(fork_child([this, p, counter, ready] {
      if (p < 3) register_slot(p + 1);  // the last one is unregistered: it spins
      __atomic_fetch_add(ready, 1, __ATOMIC_SEQ_CST);
      while (__atomic_load_n(ready, __ATOMIC_SEQ_CST) < kProcs) sched_yield();
      for (int i = 0; i < kRounds; i++) {
        bm_p(s_);
        int32_t v = *counter;
        if (i % 256 == 0) sched_yield();  // now and then give up the CPU while holding it
        *counter = v + 1;
        bm_v(s_);
      }
      return 0;
    }));
  for (pid_t k : kids) EXPECT_EQ(wait_child(k, 240), 0);
  RecordProperty("collisions", s_->collisions);
  EXPECT_EQ(*counter, kProcs * kRounds);
  EXPECT_EQ(s_->lock, 0);
  EXPECT_EQ(s_->owner, 0);
  EXPECT_EQ(s_->waitmask[0], 0u);
  EXPECT_EQ(log(), "");  // no release of a free semaphore, no failed semop
}

// ---- Table locks ----------------------------------------------------------------------------

class TableLock : public Sema {
 protected:
  void SetUp() override {
    Sema::SetUp();
    td_ = &dbs()->tables[0];
    td_->td_tabid = 0x01000005;
    use_ = td_->td_use;
  }
  // Gives back a shared hold the way action end does.
  void release_shared() const {
    bmsema *s = bm_tabsema(td_);
    bm_p(s);
    use_->tu_shared--;
    bm_v(s);
  }
  void release_excl() const {
    bmsema *s = bm_tabsema(td_);
    bm_p(s);
    use_->tu_excl--;
    bm_v(s);
  }
  tabdesc *td_ = nullptr;
  tabuse *use_ = nullptr;
};

TEST_F(TableLock, LockWordsAreGuardedByTheTableIdsSemaphore) {
  EXPECT_EQ(bm_tabsema(td_), &dbs()->tablocks[0x01000005 % 4]);
  td_->td_tabid = -2;  // dbspace 255: taken as unsigned, never a negative index
  EXPECT_EQ(bm_tabsema(td_), &dbs()->tablocks[0xFFFFFFFEu % 4]);
}

TEST_F(TableLock, SharedHoldersGoTogether) {
  register_slot(1);
  bm_tp(TP_SHARED, td_);
  pid_t pid = fork_child([this] {
    register_slot(2);
    bm_tp(TP_SHARED, td_);
    return 0;
  });
  EXPECT_EQ(wait_child(pid), 0);
  EXPECT_EQ(use_->tu_shared, 2);
  EXPECT_EQ(use_->tu_excl, 0);
  EXPECT_EQ(use_->tu_last.get(), &use_->tu_shared);
  EXPECT_EQ(use_->tu_refused, 0);
  EXPECT_EQ(bm_tabsema(td_)->lock, 0);
}

TEST_F(TableLock, ExclusiveWaitsMarkedUntilTheSharedHolderReleases) {
  register_slot(1);
  bm_tp(TP_SHARED, td_);
  pid_t pid = fork_child([this] {
    userslot *me = register_slot(3);
    bm_tp(TP_EXCL, td_);
    return (me->uflags & US_WAITING) == 0 ? 0 : 1;
  });
  ASSERT_TRUE(eventually([&] {
    const userslot &u = slot(3);
    return (u.uflags & US_WAITING) != 0 && u.waitkind == 'T' && u.waitobj == 0x01000005 &&
           use_->tu_refused >= 3;  // it keeps retrying
  }));
  EXPECT_EQ(use_->tu_excl, 0);
  release_shared();
  EXPECT_EQ(wait_child(pid), 0);
  EXPECT_EQ(use_->tu_excl, 1);
  EXPECT_EQ(use_->tu_shared, 0);
  EXPECT_EQ(use_->tu_last.get(), &use_->tu_excl);
}

TEST_F(TableLock, SharedWaitsUnmarkedWhileAnExclusiveHolderHasIt) {
  register_slot(1);
  bm_tp(TP_EXCL, td_);
  pid_t pid = fork_child([this] {
    register_slot(4);
    bm_tp(TP_SHARED, td_);
    return 0;
  });
  ASSERT_TRUE(eventually([&] { return use_->tu_refused >= 2; }));
  EXPECT_EQ(slot(4).uflags & US_WAITING, 0u);
  release_excl();
  EXPECT_EQ(wait_child(pid), 0);
  EXPECT_EQ(use_->tu_shared, 1);
  EXPECT_EQ(use_->tu_excl, 0);
}

TEST_F(TableLock, ExclusiveWaitsForAnotherExclusiveHolder) {
  bm_tp(TP_EXCL, td_);
  pid_t pid = fork_child([this] {
    register_slot(5);
    bm_tp(TP_EXCL, td_);
    return 0;
  });
  ASSERT_TRUE(eventually([&] { return use_->tu_refused >= 2; }));
  release_excl();
  EXPECT_EQ(wait_child(pid), 0);
  EXPECT_EQ(use_->tu_excl, 1);
}

// ---- Naps and the counter -------------------------------------------------------------------

TEST_F(Sema, NapSemaIsMarkedWhileItSleeps) {
  pid_t pid = fork_child([] {
    userslot *me = register_slot(5);
    bm_napsema(3000, 4711);
    return (me->uflags & US_WAITING) == 0 ? 0 : 1;
  });
  ASSERT_TRUE(eventually([&] {
    const userslot &u = slot(5);
    return (u.uflags & US_WAITING) != 0 && u.waitkind == 'S' && u.waitobj == 4711;
  }));
  EXPECT_EQ(wait_child(pid), 0);
}

TEST_F(Sema, NestedNapKeepsTheOuterMarking) {
  userslot *me = register_slot(1);
  me->uflags |= US_WAITING;
  me->waitkind = 'X';
  me->waitobj = 9;
  bm_napsema(1, 5);
  EXPECT_NE(me->uflags & US_WAITING, 0u);
  EXPECT_EQ(me->waitkind, 'X');
  EXPECT_EQ(me->waitobj, 9);
}

TEST_F(Sema, NapWithoutSlotMarksNothing) {
  bm_napsema(1, 5);
  bm_nap(1);
  for (int u = 0; u < kUsers; u++) EXPECT_EQ(slot(u).uflags, 0u);
}

TEST_F(Sema, NextSeqHandsOutConsecutiveNumbers) {
  dbs()->seqno = 41;
  EXPECT_EQ(bm_nextseq(), 41);
  EXPECT_EQ(bm_nextseq(), 42);
  EXPECT_EQ(dbs()->seqno, 43);
  EXPECT_EQ(dbs()->seqsem->lock, 0);
}

TEST_F(Sema, NextSeqWrapsAtTheEndOfTheRange) {
  dbs()->seqno = INT_MAX;
  EXPECT_EQ(bm_nextseq(), INT_MAX);
  EXPECT_EQ(dbs()->seqno, INT_MIN);
}

TEST_F(Sema, NextSeqNeverHandsOutANumberTwice) {
  constexpr int kEach = 500;
  dbs()->seqno = 1000;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::vector<pid_t> kids;
  for (int p = 0; p < 2; p++)
    kids.push_back(fork_child([p, fds] {
      register_slot(p + 1);
      for (int i = 0; i < kEach; i++) {
        int v = bm_nextseq();
        if (write(fds[1], &v, sizeof v) != sizeof v) return 1;
      }
      return 0;
    }));
  std::vector<int> got(2 * kEach);
  size_t want = got.size() * sizeof(int), have = 0;
  while (have < want) {
    ssize_t n = read(fds[0], reinterpret_cast<char *>(got.data()) + have, want - have);
    ASSERT_GT(n, 0);
    have += static_cast<size_t>(n);
  }
  for (pid_t k : kids) EXPECT_EQ(wait_child(k), 0);
  std::sort(got.begin(), got.end());
  for (int i = 0; i < 2 * kEach; i++) EXPECT_EQ(got[i], 1000 + i);
  EXPECT_EQ(dbs()->seqno, 1000 + 2 * kEach);
  close(fds[0]);
  close(fds[1]);
}

// ---- Error paths ----------------------------------------------------------------------------

TEST_F(Sema, ReleaseOfAFreeSemaphoreIsReportedAndLeavesItUsable) {
  bm_v(s_);
  EXPECT_EQ(log_text(), std::to_string(getpid()) + ": bm_v: <=0 0\n");
  EXPECT_EQ(s_->lock, 0);  // never below 0
  EXPECT_EQ(bm_tas(s_), 0);
  EXPECT_EQ(s_->lock, 1);
  bm_v(s_);
  EXPECT_EQ(s_->lock, 0);
  bm_p(s_);
  EXPECT_EQ(s_->lock, 1);
  bm_v(s_);
  EXPECT_EQ(log_text(), std::to_string(getpid()) + ": bm_v: <=0 0\n");  // nothing more
}

TEST_F(Sema, ReleaseOfAFreeSemaphoreStillWakesASleeper) {
  record(6);
  bm_v(s_);
  EXPECT_EQ(semval(6), 1);
  EXPECT_EQ(log_text(), std::to_string(getpid()) + ": bm_v: <=0 0\n");
}

TEST_F(Sema, TableLockModeOneIsReportedAndTakesNothing) {
  tabdesc *td = &dbs()->tables[1];
  td->td_tabid = 7;
  bm_tp(1, td);
  EXPECT_EQ(log_text(), "bm_tp: mode = 1\n");
  EXPECT_EQ(td->td_use->tu_shared, 0);
  EXPECT_EQ(td->td_use->tu_excl, 0);
  EXPECT_EQ(td->td_use->tu_refused, 0);
  EXPECT_EQ(td->td_use->tu_last.get(), nullptr);
}

TEST_F(Sema, FailedWakeupIsReported) {
  bm_wakeup(kUsers + 5);
  EXPECT_EQ(log_text(), "bm_wakeup: semctl failed. errno = 22, uindex = 53\n");
}

TEST_F(Sema, FailedSleepIsReportedAndTheWaitGoesOn) {
  userslot *me = register_slot(1);
  ASSERT_EQ(bm_tas(s_), 0);
  int semid = dbs()->semid;
  dbs()->semid = -1;  // every semop fails with EINVAL
  bm_psleep(s_);
  dbs()->semid = semid;
  EXPECT_EQ(log_text(), "1.semop failed. errno = 22,id = -1\n");
  EXPECT_EQ(me->uflags & US_WAITING, 0u);
  EXPECT_FALSE(recorded(1));
}

}  // namespace
