// bm_shm: actions: start, end and abort.
//
// Principal entry points: bm_startea, bm_endea, bm_abortea.
//
// Invariants:
//  (1) The test of ckptrun and the setting of US_EA are one step under actsem, against a
//      starting checkpoint that sets ckptrun under actsem and then waits for running actions.
//      No wait of bm_startea holds a semaphore while it sleeps.
//  (2) An action holds at most one table lock, that of curtab; it is released exactly once, by
//      bm_endea or bm_abortea, through the counter the lock incremented (tabuse.tu_last) under
//      the table-lock semaphore. A counter is never taken below 0.
//  (3) A process changes only its own slot, except that bm_abortea clears the action flags and
//      curtab of the slot it aborts.
//  (4) A failed log write in bm_endea changes nothing: the action stays open for an abort.
//
// See also: bm_shm.h (contracts), bm_free (extents), bm_image (local images), bm_logwr
// (bm_wrtlog), bm_sema (bm_tp, bm_tabsema), flush/ad_ckpt (the checkpoint).
#include "bm/bm_shm.h"

#include <cstring>

#include "ba/ba_env.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_free.h"
#include "bm/bm_globals.h"
#include "bm/bm_image.h"
#include "bm/bm_log.h"
#include "bm/bm_main.h"
#include "bm/bm_sema.h"

namespace {

constexpr int kWaitMs = 1000;  // every wait of an action start sleeps whole seconds

// The no-position constant; bm_endea sets it afresh before handing it out, so a caller that
// wrote into the last one cannot change what the next caller gets.
logpos nopos{-1, -1, -1};

logpos *no_position() {
  nopos = logpos{-1, -1, -1};
  return &nopos;
}

// One sleep of a wait of kind kind, marked in the own slot.
void wait_marked(char kind) {
  bm_myslot->waitkind = kind;
  bm_myslot->waitobj = 0;
  bm_myslot->uflags |= US_WAITING;
  bm_nap(kWaitMs);
}

void wait_done() { bm_myslot->uflags &= ~US_WAITING; }

// Whether the lock counts of td's usage record show a holder besides one of mode.
bool lock_shared_with_others(const tabuse *u, int mode) {
  if ((mode & EA_WRITEBIT) != 0) return u->tu_shared > 0 || u->tu_excl > 1;
  return u->tu_excl > 0;
}

// Waits 'c' until no checkpoint is requested. This wait has no other exit.
void wait_ckpt_request() {
  while (bm_dbs->ckpt_request != 0) wait_marked(WK_CKPTREQ);
  wait_done();
}

// Waits 'X' while long transactions are pending. 0, or -1 with ER_STOPREQ on the stop flag.
int wait_long_transactions(int mode) {
  while ((mode & EA_WRITEBIT) != 0 && bm_dbs->long_count != 0 &&
         (bm_myslot->uflags & US_LONGTX) == 0) {
    wait_marked(WK_LONGTX);
    if (term_req) {
      wait_done();
      iserrno = ER_STOPREQ;
      return -1;
    }
  }
  wait_done();
  return 0;
}

// Marks the action begun once no checkpoint runs ('C' wait). 0, or -1 with ER_STOPREQ.
int begin_after_checkpoint(int mode) {
  bm_p(bm_dbs->actsem);
  while (bm_dbs->ckptrun != 0) {
    bm_myslot->waitkind = WK_CKPT;
    bm_myslot->uflags |= US_WAITING;
    bm_v(bm_dbs->actsem);
    if (term_req) {
      wait_done();
      iserrno = ER_STOPREQ;
      return -1;
    }
    bm_nap(kWaitMs);
    bm_p(bm_dbs->actsem);
  }
  bm_myslot->uflags = (bm_myslot->uflags & ~US_WAITING) | US_EA;
  if (mode == EA_UPDATE) {
    bm_dbs->modified = 1;
    bm_myslot->uflags |= US_ACTION;
  }
  bm_v(bm_dbs->actsem);
  return 0;
}

// Takes td's table lock for the action and saves its leading bytes for an update action.
void take_table(tabdesc *td, int mode) {
  bm_tp(mode, td);
  bm_myslot->curtab = td;
  if (mode == EA_UPDATE) memcpy(bm_myslot->tdsave, td, TD_SAVELEN);
  const tabuse *u = td->td_use;
  if (ba_settings.debug != 0 && lock_shared_with_others(u, mode))
    bm_logerr("bm_startea: acc = %d %d 0x%x\n", u->tu_shared, u->tu_excl, mode);
}

// Releases the table lock of td: the counter its lock incremented, under its table-lock
// semaphore.
void release_table(tabdesc *td) {
  bmsema *s = bm_tabsema(td);
  bm_p(s);
  int32_t *c = td->td_use->tu_last;
  if (c != nullptr && *c > 0) (*c)--;
  bm_v(s);
}

}  // namespace

const logpos *bm_nopos() { return no_position(); }

int bm_startea(tabdesc *td, int force, int mode) {
  userslot *me = bm_myslot;
  if ((me->uflags & US_EA) != 0) {
    bm_logerr("%d: bm_startea: Action active!\n", bm_mypid);
    iserrno = ER_ACTIVE;
    return -1;
  }
  me->seenstamp = bm_dbs->dbsstamp;
  wait_ckpt_request();
  if ((me->uflags & US_LONGTX) != 0 && force == 0) {
    iserrno = ER_LONGTX;
    return -1;
  }
  if (wait_long_transactions(mode) != 0 || begin_after_checkpoint(mode) != 0) return -1;
  // Decision: a mode that bm_tp refuses takes no lock, so the action gets no table to release
  // (releasing would lower another holder's count).
  if (td != nullptr && (mode == TP_SHARED || mode == TP_EXCL)) {
    take_table(td, mode);
  } else {
    if (td != nullptr) bm_tp(mode, td);  // logs the refused mode
    me->curtab = nullptr;
  }
  if ((me->uflags & US_INTRANS) != 0) me->nactions++;
  bm_nnewpages = 0;
  me->nactext = 0;
  return 0;
}

logpos *bm_endea(int len, void *record, tabdesc *td) {
  userslot *me = bm_myslot;
  logpos *pos = no_position();
  if (len != 0) {
    if (bm_recovery) bm_logerr("bm_endea(): len = %d\n", len);
    pos = bm_wrtlog(len, record, 0);
    if (pos == nullptr) return nullptr;
  }
  if ((me->uflags & US_ACTION) != 0) {
    bm_freelocimg(me);
    if (td != nullptr) td->td_updates++;
  }
  bm_clrnew();
  // The lock released is the one the action holds (curtab): a td given without a lock taken
  // releases nothing, and the lock of a started table is never left behind.
  if (me->curtab != nullptr) {
    release_table(me->curtab);
    me->curtab = nullptr;
  }
  me->uflags &= ~(US_EA | US_ACTION);
  if (len != 0) {
    me->lastlogfile = pos->file;
    me->lastlogoff = pos->offset;
  }
  return pos;
}

int bm_abortea(userslot *u) {
  if ((u->uflags & US_EA) == 0) bm_logerr("%d: bm_abortea: Action not active!\n", bm_mypid);
  int n = restorelocimg(u);
  if (ba_settings.debug != 0 && n != 0 && (u->uflags & US_ACTION) == 0)
    bm_logerr("%d: Local images in read only EA\n", bm_mypid);
  tabdesc *td = u->curtab;
  if (td != nullptr) {
    if (u->pid != bm_mypid) bm_logmsg("Releasing table %d\n", td->td_tabid);
    if ((u->uflags & US_ACTION) != 0) {
      const tabuse *use = td->td_use;
      if (ba_settings.debug != 0 && (use->tu_shared > 0 || use->tu_excl > 1))
        bm_logerr("bm_abortea: acc = %d %d\n", use->tu_shared, use->tu_excl);
      memcpy(td, u->tdsave, TD_SAVELEN);
    }
    release_table(td);
    u->curtab = nullptr;
  }
  if (u->pid == bm_mypid) {
    bm_clrnew();
    bm_undoext();
  }
  u->uflags &= ~(US_EA | US_ACTION);
  return n;
}
