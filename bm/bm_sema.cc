// bm_sema: cross-process semaphores, table locks, naps and the marking of waits.
//
// Principal entry points: bm_p/bm_v (acquire and release a bmsema), bm_tp (table locks),
// bm_nap/bm_napsema (timed naps), bm_nextseq; the building blocks bm_tas, bm_psleep,
// bm_wakeup, bm_seminit; the wait marking bm_waitbegin/bm_waitend used by every waiting module.
//
// Invariants:
//  (1) The lock word is changed only by an atomic exchange: bm_tas exchanges 1 in, bm_v
//      exchanges 0 in, and only when it finds the word held. A release of a semaphore that is
//      not held is reported and leaves the word alone, so it can never go below 0 (a word of
//      -1 would read as held to every later exchange and the semaphore could never be taken
//      again) and never frees a lock that another process has just taken.
//  (2) A waiter mask bit is set and cleared only by its own user, with atomic OR/AND: several
//      sleepers share a mask word, and a plain read-modify-write would lose a neighbour's bit
//      (a lost sleeper, or a stale bit that diverts every later wake-up to a user not asleep).
//  (3) A user's System V semaphore is raised only by bm_wakeup (set to 1, never added to) and
//      lowered only by its owner's sleep. A pending wake-up nobody consumed makes the next
//      sleep return at once, which is harmless: every sleeper re-checks its condition.
//  (4) Every sleep is bounded to one second by the timed wait itself (semtimedop); no alarm
//      timer or signal disposition is touched.
//
// See also: bm_sema.h (contracts), shmstruct.h (bmsema and the lock order), bm_log (messages).
#include "bm/bm_sema.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <sys/select.h>
#include <sys/sem.h>
#include <unistd.h>

#include "ba/ba_sys.h"
#include "bm/bm_globals.h"
#include "bm/bm_log.h"

namespace {

constexpr int kSleepSeconds = 1;  // bound of one sleep in bm_psleep
constexpr int kSharedNapMs = 10;  // retry interval of a refused shared table lock
constexpr int kExclNapMs = 1;     // retry interval of a refused exclusive table lock

// semctl's fourth argument, which the caller must define.
union semun {
  int val;
  struct semid_ds *buf;
  unsigned short *array;
};

// The waiter mask position of user u: word u / 32, bit 0x80000000 >> (u mod 32).
uint32_t *mask_word(const bmsema *s, int u) { return s->waitmask.get() + u / 32; }
uint32_t mask_bit(int u) { return 0x80000000u >> (u % 32); }

void mask_set(const bmsema *s, int u) {
  __atomic_fetch_or(mask_word(s, u), mask_bit(u), __ATOMIC_SEQ_CST);
}
void mask_clear(const bmsema *s, int u) {
  __atomic_fetch_and(mask_word(s, u), ~mask_bit(u), __ATOMIC_SEQ_CST);
}

// The sleeper to wake: the first non-zero mask word, and in it the set bit lowest in value
// (the highest user index recorded in that word). -1 when nobody is recorded.
int first_sleeper(const bmsema *s) {
  for (int w = 0; w < bm_dbs->maskwords; w++) {
    uint32_t m = __atomic_load_n(s->waitmask.get() + w, __ATOMIC_SEQ_CST);
    if (m != 0) return 32 * w + (31 - __builtin_ctz(m));
  }
  return -1;
}

int16_t lock_word(const bmsema *s) { return __atomic_load_n(&s->lock, __ATOMIC_SEQ_CST); }

// Statistics of a semaphore, bumped by processes that may not hold it (approximate on purpose,
// but never torn).
void count(int32_t *c) { __atomic_fetch_add(c, 1, __ATOMIC_RELAXED); }
void count(int16_t *c) { __atomic_fetch_add(c, 1, __ATOMIC_RELAXED); }

// Waits for the own System V semaphore (value -1, no flags, no undo) for at most one second,
// bounded by the wait itself (semtimedop): no alarm is armed, so a process descheduled between
// arming and waiting can never sleep without bound, and the process's SIGALRM is left alone.
// The timeout (EAGAIN) is the normal end of an unanswered sleep, as is an interruption by a
// signal (EINTR); any other failure is reported and costs one second.
void wait_own_semaphore() {
  struct sembuf op;
  op.sem_num = static_cast<unsigned short>(bm_myuindex);
  op.sem_op = -1;
  op.sem_flg = 0;
  struct timespec bound = {kSleepSeconds, 0};
  if (semtimedop(bm_dbs->semid, &op, 1, &bound) < 0 && errno != EINTR && errno != EAGAIN) {
    bm_logerr("1.semop failed. errno = %d,id = %d\n", errno, -1);
    ba_sleep(kSleepSeconds);
  }
}

// One attempt at the table lock words of td in the given mode, under the table-lock
// semaphore. True when the lock was granted; a refusal is counted.
bool try_tablock(int mode, tabdesc *td) {
  bmsema *s = bm_tabsema(td);
  bm_p(s);
  tabuse *u = td->td_use;
  bool granted = mode == TP_SHARED ? u->tu_excl == 0 : u->tu_excl == 0 && u->tu_shared == 0;
  if (granted) {
    int32_t *c = mode == TP_SHARED ? &u->tu_shared : &u->tu_excl;
    (*c)++;
    u->tu_last = c;
  } else {
    u->tu_refused++;
  }
  bm_v(s);
  return granted;
}

}  // namespace

// ---- Wait marking ----------------------------------------------------------------------------

bool bm_waitbegin(char kind, int obj) {
  if (bm_myslot == nullptr || (bm_myslot->uflags & US_WAITING) != 0) return true;
  bm_myslot->waitkind = kind;
  bm_myslot->waitobj = obj;
  bm_myslot->uflags |= US_WAITING;
  return false;
}

void bm_waitend(bool nested) {
  if (!nested && bm_myslot != nullptr) bm_myslot->uflags &= ~US_WAITING;
}

// ---- Semaphores ------------------------------------------------------------------------------

int bm_tas(bmsema *s) {
  return __atomic_exchange_n(&s->lock, int16_t{1}, __ATOMIC_SEQ_CST) == 0 ? 0 : 1;
}

void bm_p(bmsema *s) {
  while (bm_tas(s) != 0) {
    count(&s->collisions);
    if (bm_myslot != nullptr)
      bm_psleep(s);
    else
      sched_yield();  // an unregistered process spins; let a preempted holder run
  }
  s->owner = bm_mypid;
}

void bm_v(bmsema *s) {
  s->owner = 0;
  int16_t held = lock_word(s);
  if (held <= 0)
    bm_logerr("%d: bm_v: <=0 %d\n", ba_getpid(), held);
  else
    __atomic_exchange_n(&s->lock, int16_t{0}, __ATOMIC_SEQ_CST);
  int u = first_sleeper(s);
  if (u >= 0) {
    bm_wakeup(u);
    count(&s->wakeups);
  }
}

void bm_wakeup(int uindex) {
  union semun arg;
  arg.val = 1;
  if (semctl(bm_dbs->semid, uindex, SETVAL, arg) < 0)
    bm_logerr("bm_wakeup: semctl failed. errno = %d, uindex = %d\n", errno, uindex);
}

void bm_psleep(bmsema *s) {
  bool nested = bm_waitbegin(WK_SEMA, static_cast<int16_t>(s->semno));
  mask_set(s, bm_myuindex);
  // Both sides are sequentially consistent: a releaser that exchanged the lock before our bit
  // was visible is seen here as a free lock, and one that exchanged after it sees our bit and
  // wakes us; so a wake-up is never lost between the failed exchange and the sleep. The time
  // bound still ends the sleep for the failures that remain (a failed semctl of the releaser).
  if (lock_word(s) != 0) {
    wait_own_semaphore();
  }
  mask_clear(s, bm_myuindex);
  bm_waitend(nested);
}

bmsema *bm_seminit(bmsema *s, int semno, uint32_t *waitmask) {
  memset(s, 0, sizeof *s);
  s->semno = semno;
  s->waitmask = waitmask;
  return s;
}

// ---- Naps ------------------------------------------------------------------------------------

void bm_nap(int ms) {
  struct timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  select(0, nullptr, nullptr, nullptr, &tv);
}

void bm_napsema(int ms, int obj) {
  bool nested = bm_waitbegin(WK_SEMA, obj);
  bm_nap(ms);
  bm_waitend(nested);
}

// ---- Counters and table locks ----------------------------------------------------------------

int bm_nextseq() {
  bmsema *s = bm_dbs->seqsem;
  bm_p(s);
  int v = bm_dbs->seqno;
  bm_dbs->seqno = static_cast<int32_t>(static_cast<uint32_t>(v) + 1u);  // wraps, never traps
  bm_v(s);
  return v;
}

bmsema *bm_tabsema(const tabdesc *td) {
  // The table id is taken as unsigned: ids of dbspaces 128 and above are negative, and a
  // negative remainder would index before the array.
  auto id = static_cast<uint32_t>(td->td_tabid);
  return bm_dbs->tablocks + id % static_cast<uint32_t>(bm_dbs->ntablocks);
}

void bm_tp(int mode, tabdesc *td) {
  if (mode != TP_SHARED && mode != TP_EXCL) {
    bm_logerr("bm_tp: mode = %d\n", mode);
    return;
  }
  while (!try_tablock(mode, td)) {
    if (mode == TP_SHARED) {
      bm_nap(kSharedNapMs);
      continue;
    }
    bool nested = bm_waitbegin(WK_TABLE, td->td_tabid);
    bm_nap(kExclNapMs);
    bm_waitend(nested);
  }
}
