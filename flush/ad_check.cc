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
// The collection is written in its own order, never sorted; consecutive buffers whose pages
// lie side by side in one partition go out in one write (bm_saverun), and every page still
// waits for its before image first.
//
// See also: bm_io (bm_saverun, bm_savepage), tolvflush (flushall, the once-a-second loop).
#include "flush/ad_check.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "ba/ba_mem.h"
#include "ba/globals.h"
#include "bm/bm_image.h"
#include "bm/bm_io.h"
#include "bm/bm_log.h"
#include "bm/bm_sema.h"

namespace {

// First capacity of a collection whose share cannot be told from the list (an unknown count).
constexpr int kFirstCapacity = 256;

// The collection: a vector of buffer addresses, local to one call. It is sized before the list
// semaphore is taken for the share the list's count promises and grows geometrically if the
// chain holds more, so that the walk is linear and the semaphore is not held for copies.
struct collection {
  pagebuf **bufs = nullptr;
  int n = 0;
  int cap = 0;
};

// The number of buffers the walk examines, from the least recently used end, of a list of
// nbufs buffers: up to and including the first k (0-based) for which k * 100 / nbufs reaches
// pct, that is k = ceil(pct * nbufs / 100). Computed once, so that the walk under the list
// semaphore divides nothing. A list that claims no buffers has no share to speak of: its whole
// chain is examined, so that nothing dirty is ever passed over (and nothing is divided by zero).
int64_t share_limit(int nbufs, int pct) {
  if (pct == AD_ALLBUFFERS || nbufs <= 0) return INT64_MAX;
  if (pct <= 0) return 1;
  return (int64_t{pct} * nbufs + 99) / 100 + 1;
}

// The capacity a collection starts with: the share, or the whole list when that is smaller.
int share_size(int nbufs, int pct) {
  if (nbufs <= 0) return kFirstCapacity;
  int64_t limit = share_limit(nbufs, pct);
  return static_cast<int>(limit < nbufs ? limit : nbufs);
}

// Bytes of one entry of a collection (a buffer address).
constexpr int kEntrySize = sizeof(pagebuf *);  // NOLINT(bugprone-sizeof-expression)

// Gives c room for cap entries, keeping what it holds. False when memory runs out (c is then
// unchanged).
bool reserve(collection &c, int cap) {
  auto *grown = static_cast<pagebuf **>(ba_alloc(kEntrySize * cap));
  if (grown == nullptr) return false;
  if (c.n > 0) memcpy(grown, c.bufs, size_t{kEntrySize} * c.n);
  if (c.bufs != nullptr) ba_release(c.bufs);
  c.bufs = grown;
  c.cap = cap;
  return true;
}

// Room for one more entry: doubles the capacity when it is used up.
bool room_for_one(collection &c) {
  if (c.n < c.cap) return true;
  if (c.cap > INT_MAX / 2 / kEntrySize) return false;
  return reserve(c, c.cap > 0 ? 2 * c.cap : kFirstCapacity);
}

// BF_FLUSHING on and BF_DIRTY off in one atomic change. The list semaphore does not keep every
// other writer of the flags away: the end of an action clears BF_LOCIMG of buffers it no longer
// fixes without it, and a plain read-modify-write here could bring that flag back for good.
void mark_flushing(pagebuf *b) {
  uint32_t f = __atomic_load_n(&b->flags, __ATOMIC_RELAXED);
  while (!__atomic_compare_exchange_n(&b->flags, &f, (f | BF_FLUSHING) & ~BF_DIRTY, true,
                                      __ATOMIC_SEQ_CST, __ATOMIC_RELAXED)) {
  }
}

// Walks the chain from head under the list semaphore and marks the dirty, unfixed buffers of
// the examined share as being flushed. When the vector cannot grow the walk ends after logging;
// the buffer at which it failed stays dirty and unmarked.
void collect(buflist *list, int pct, collection &c) {
  int64_t left = share_limit(list->nbufs, pct);
  for (pagebuf *b = list->head; b != nullptr && left > 0; b = b->next, left--) {
    if ((__atomic_load_n(&b->flags, __ATOMIC_RELAXED) & BF_DIRTY) != 0 && b->fixcnt == 0) {
      if (!room_for_one(c)) {
        bm_logerr("ad_flush: ba_rszvek() failed\n");
        return;
      }
      c.bufs[c.n++] = b;
      mark_flushing(b);
    }
  }
}

// Ends the flush of a buffer whose page reached the disk.
void unmark_written(pagebuf *b) {
  ad_counters.written++;
  __atomic_fetch_and(&b->flags, ~BF_FLUSHING, __ATOMIC_SEQ_CST);
}

// Ends the flush of a buffer whose page did not reach the disk: it is dirty again before it
// stops being flushed (invariant 2), and the failure is logged in between, unless the device's
// repeated failures are only counted (bm_saverun).
void unmark_failed(pagebuf *b, bool counted) {
  ad_counters.failures++;
  __atomic_fetch_or(&b->flags, BF_DIRTY, __ATOMIC_SEQ_CST);
  if (!counted) bm_logerr("ad_flush: bm_savepage() failed. iserrno = %d\n", iserrno);
  __atomic_fetch_and(&b->flags, ~BF_FLUSHING, __ATOMIC_SEQ_CST);
}

// Writes the collected buffers in collection order, each run of adjacent pages in one write.
// The before-image buffer is looked at once, after the collection: when it is empty, none of
// the collected pages can get an image in it before its write (an update request waits while
// the buffer is BF_FLUSHING), so no page needs its own look under imgsem, a semaphore every
// updater takes too.
void write_all(const collection &c) {
  bool images_pending = c.n > 0 && bm_imgheld() > 0;
  for (int i = 0; i < c.n;) {
    bm_run r = bm_saverun(c.bufs + i, c.n - i, images_pending);
    for (int j = 0; j < r.taken; j++) {
      if (j < r.written)
        unmark_written(c.bufs[i + j]);
      else
        unmark_failed(c.bufs[i + j], r.counted);
    }
    i += r.taken;
  }
}

}  // namespace

adcounters ad_counters;

void ad_flush(buflist *list, int pct) {
  collection c;
  // Sized before the semaphore is taken; a failure here shows as a failed growth in the walk.
  reserve(c, share_size(list->nbufs, pct));
  bm_p(&list->sema);
  collect(list, pct, c);
  bm_v(&list->sema);
  write_all(c);
  if (c.bufs != nullptr) ba_release(c.bufs);
}
