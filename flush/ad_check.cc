// ad_check: the flush pass (ad_flush).
//
// A buffer moves through the flush pass as follows:
//   dirty, unfixed, examined  --collect (list sema held)-->  BF_FLUSHING set, BF_DIRTY clear
//   BF_FLUSHING               --write succeeded (no sema)-->  neither flag
//   BF_FLUSHING               --write failed (no sema)---->  BF_DIRTY set again, then
//                                                            BF_FLUSHING clear
// Invariants:
//  (1) The list semaphore is held only while the chain is walked; the walk neither writes nor
//      sleeps. The writes run without any list or buffer semaphore.
//  (2) A collected buffer is never without both BF_DIRTY and BF_FLUSHING while its change is
//      not on disk: after a failed write BF_DIRTY is restored before BF_FLUSHING goes, so page
//      replacement, which skips BF_FLUSHING buffers and writes dirty ones, can never drop it.
//  (3) Nobody else changes the flags of a BF_FLUSHING buffer: update requests wait while it is
//      set and replacement skips it. The two changes made without the list semaphore are
//      atomic all the same.
//
// See also: bm_io (bm_savepage), tolvflush (flushall, the once-a-second loop).
#include "flush/ad_check.h"

#include <cstdint>

#include "ba/ba_mem.h"
#include "ba/globals.h"
#include "bm/bm_io.h"
#include "bm/bm_log.h"
#include "bm/bm_sema.h"

namespace {

// The collection: a growable vector of 4-byte buffer addresses, local to one call.
struct collection {
  shmptr<pagebuf> *bufs = nullptr;
  int n = 0;
};

// Whether the walk ends after examining buffer k (0-based) of a list of nbufs buffers. The
// share counts from the least recently used end and includes the first k for which k * 100 /
// nbufs reaches pct. A list that claims no buffers has no share to speak of: its whole chain
// is examined, so that nothing dirty is ever passed over (and nothing is divided by zero).
bool share_done(int64_t k, int nbufs, int pct) {
  if (pct == AD_ALLBUFFERS || nbufs <= 0) return false;
  return k * 100 / nbufs >= pct;
}

// Walks the chain from head under the list semaphore and marks the dirty, unfixed buffers of
// the examined share as being flushed. When the vector cannot grow the walk ends after logging;
// the buffer at which it failed stays dirty and unmarked.
void collect(buflist *list, int pct, collection &c) {
  int64_t k = 0;
  for (pagebuf *b = list->head; b != nullptr; b = b->next, k++) {
    if ((b->flags & BF_DIRTY) != 0 && b->fixcnt == 0) {
      if (ba_rszvek(&c.bufs, c.n, sizeof *c.bufs) != 0) {
        bm_logerr("ad_flush: ba_rszvek() failed\n");
        return;
      }
      c.bufs[c.n++] = b;
      b->flags |= BF_FLUSHING;
      b->flags &= ~BF_DIRTY;
    }
    if (share_done(k, list->nbufs, pct)) return;
  }
}

void write_one(pagebuf *b) {
  if (bm_savepage(b) != 0) {
    bm_logerr("ad_flush: bm_savepage() failed. iserrno = %d\n", iserrno);
    __atomic_fetch_or(&b->flags, BF_DIRTY, __ATOMIC_SEQ_CST);
    ad_counters.failures++;
  } else {
    ad_counters.written++;
  }
  __atomic_fetch_and(&b->flags, ~BF_FLUSHING, __ATOMIC_SEQ_CST);
}

}  // namespace

adcounters ad_counters;

void ad_flush(buflist *list, int pct) {
  collection c;
  bm_p(&list->sema);
  collect(list, pct, c);
  bm_v(&list->sema);
  for (int i = 0; i < c.n; i++) write_one(c.bufs[i]);
  if (c.bufs != nullptr) ba_release(c.bufs);
}
