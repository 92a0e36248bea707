// bm_shm.h: actions: the bracket around every unit of work a registered process does on DBS
// pages.
//
// A registered process is either between actions or in one (US_EA; US_ACTION too for an update
// action, mode 2). bm_startea begins an action once no checkpoint runs or is requested and no
// long transaction holds it back, and takes the action's table lock; bm_endea writes the
// action's log record, forgets its local images and new pages and releases the table lock;
// bm_abortea puts the local images back, restores the table descriptor's leading bytes and,
// for the own slot, gives the action's extents back.
//
// Contracts:
//  - Needs an attached segment (bm_dbs) and a user slot (bm_myslot); bm_endea also the logical
//    log (bm_loginit). The caller holds no semaphore.
//  - Calling order: bm_startea, then exactly one of bm_endea or bm_abortea.
//  - Lock order: actsem alone (released before the table lock is taken); the table lock
//    through bm_tp and its table-lock semaphore.
//  - Messages go to the DBS message log: "Releasing table %d\n" through bm_logmsg, the others
//    through bm_logerr.
//
// See also: bm_free.h (extents), bm_image.h (local images), bm_logrec.h (bm_wrtlog),
// bm_sema.h (bm_tp), flush/ad_ckpt.h (the checkpoint that action starts wait for).
#pragma once

#include "bm/bm_logrec.h"
#include "bm/shmstruct.h"

// Modes of bm_startea: the table-lock mode of bm_tp. Bit EA_WRITEBIT decides the wait for long
// transactions.
constexpr int EA_READ = 0;
constexpr int EA_UPDATE = 2;
constexpr int EA_WRITEBIT = 0x2;

// Begins an action. Waits, sleeping whole seconds and marked in the own slot, while
// ckpt_request is set ('c'), while long transactions are pending for a mode with EA_WRITEBIT
// ('X'), and while a checkpoint runs ('C'). With td, takes its table lock (bm_tp(mode, td)),
// makes it the action's table and, for an update action, saves its first TD_SAVELEN bytes.
// 0, or -1 with iserrno: ER_ACTIVE (2281, logged) an action is active already; ER_LONGTX
// (-337) the own transaction is flagged long and force is 0; ER_STOPREQ (-406) term_req was
// set during the 'X' or 'C' wait (no action started, US_WAITING cleared).
int bm_startea(tabdesc *td, int force, int mode);
// Ends the action: writes the record of len bytes at record (unless len is 0), frees the local
// images (update action; then td's update count td_updates is bumped), clears BF_NEW of the
// pages created in the action, releases the action's table lock and clears US_EA/US_ACTION.
// The position of the record, bm_nopos() when len is 0, or null when the record could not be
// written (the action then stays active, nothing changed, iserrno from bm_wrtlog).
logpos *bm_endea(int len, void *record, tabdesc *td);
// Rolls back the action of slot u (own or another process's): puts its local images back,
// restores the saved leading bytes of its table descriptor (update action), releases its table
// lock and, for the own slot, forgets the new pages and gives the action's extents back.
// Clears US_EA/US_ACTION in u. Returns the number of local images put back.
int bm_abortea(userslot *u);
// The no-position constant: file index, log id and offset -1.
const logpos *bm_nopos();
