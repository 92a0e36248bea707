// srv_imgwriter: the stand-in's image writer loop (srv_imgwriter.h).
//
// Invariants:
//  (1) The own System V semaphore is lowered only here (semtimedop), raised only by bm_wakeup:
//      a wake-up sent while a write runs stays pending and ends the next sleep at once.
//  (2) A woken writer always writes forced: the waiter that woke it (an updater marked 'i', a
//      saver marked 'I') may be waiting for fewer than ten images, which an unforced write
//      would leave in the buffer for ever.
//
// See also: srv_imgwriter.h, bm/bm_image.cc (bm_saveimagebuf), bm/bm_sema.cc (bm_wakeup).
#include "tools/srv_imgwriter.h"

#include <cerrno>
#include <sys/sem.h>
#include <time.h>

#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_image.h"
#include "tools/srv_log.h"

namespace {

// Sleeps on the own semaphore for at most SRV_IMGNAPMS; true when a wake-up ended it.
bool woken() {
  sembuf op{static_cast<unsigned short>(bm_myuindex), -1, 0};
  timespec ts{0, SRV_IMGNAPMS * 1000000L};
  return semtimedop(bm_dbs->semid, &op, 1, &ts) == 0;
}

bool online() { return __atomic_load_n(&bm_dbs->state, __ATOMIC_ACQUIRE) == DBS_ONLINE; }

}  // namespace

int srv_imgwriter() {
  __atomic_store_n(&bm_dbs->imgwriter, bm_myuindex, __ATOMIC_RELEASE);
  int forced = 0;
  while (online() && !term_req) {
    bool force = woken();
    forced += force;
    bm_saveimagebuf(force ? 1 : 0);
    srv_checkpointifdue();
  }
  bm_saveimagebuf(1);
  int me = bm_myuindex;
  __atomic_compare_exchange_n(&bm_dbs->imgwriter, &me, -1, false, __ATOMIC_ACQ_REL,
                              __ATOMIC_ACQUIRE);
  return forced;
}
