// bm_sema.h: the cross-process semaphores of the segment, table locks, naps and wait marking.
//
// A `bmsema` (shmstruct.h) is taken by an atomic exchange on its 16-bit lock word. A registered
// process that finds it held records itself in the semaphore's waiter mask and sleeps on its
// own System V semaphore (number = its user index in dbshead.semid), at most one second (a
// timed wait), then tries again; there is no hand-over, a woken process competes like any other.
// A release wakes at most one sleeper. An unregistered process (no user slot) spins.
//
// Contracts:
//  - bm_p/bm_v need an attached segment (bm_dbs); sleeping needs a user slot (bm_myslot).
//  - Every bm_p is matched by exactly one bm_v on the same semaphore from the same process.
//    There is no recursion: a second bm_p by the holder waits forever.
//  - Every wait is shown in the own user slot: US_WAITING, waitkind, waitobj.
// Messages go to the DBS message log through bm_logerr (bm_log.h).
//
// See also: shmstruct.h (bmsema, lock order), bm_log.h (the message log).
#pragma once

#include "bm/shmstruct.h"

// The atomic exchange of the lock word with 1: 0 = acquired, 1 = it was held.
int bm_tas(bmsema *s);
// Acquires s; returns only when the caller holds it. Stores bm_mypid into owner.
void bm_p(bmsema *s);
// Releases s and wakes at most one sleeper. Releasing a semaphore that is not held logs
// "%d: bm_v: <=0 %d\n" and leaves the lock word alone.
void bm_v(bmsema *s);
// Sets the System V semaphore of user uindex to 1 (a pending wake-up).
void bm_wakeup(int uindex);
// One sleep of at most about a second on the own System V semaphore, marked as an 'S' wait on
// s (unless the slot is already marked). REQUIRES: a user slot.
void bm_psleep(bmsema *s);
// Sleeps ms milliseconds without marking the user slot.
void bm_nap(int ms);
// Sleeps ms milliseconds marked as an 'S' wait on obj (unless the slot is already marked).
void bm_napsema(int ms, int obj);
// Clears all 24 bytes of s, then stores semno and the waiter mask. Returns s.
bmsema *bm_seminit(bmsema *s, int semno, uint32_t *waitmask);
// Under seqsem: returns seqno and increments it.
int bm_nextseq();

// Table lock modes of bm_tp.
constexpr int TP_SHARED = 0;
constexpr int TP_EXCL = 2;
// Takes a table lock on td (mode TP_SHARED or TP_EXCL), waiting as long as it conflicts: shared
// waits nap 10 ms unmarked, exclusive waits nap 1 ms marked 'T' with the table id. Any other mode
// logs "bm_tp: mode = %d\n" and returns without a lock. Released by action end or abort.
void bm_tp(int mode, tabdesc *td);
// The semaphore that guards td's lock words: tablocks[td_tabid mod ntablocks].
bmsema *bm_tabsema(const tabdesc *td);

// Wait marking of the own user slot. bm_waitbegin marks US_WAITING with kind and obj unless the
// slot is already marked (a nested wait) and returns whether it was; bm_waitend(nested) clears
// US_WAITING only when bm_waitbegin set it. Both do nothing without a user slot.
bool bm_waitbegin(char kind, int obj);
void bm_waitend(bool nested);
