// bm_arch: archive marking: bm_archpage stores the first copy of each page of an archive run in
// the archive buffer.
//
// Principal entry point: bm_archpage (called by bm_getpage with its private copy).
//
// Invariants:
//  (1) archbuf, narch and the slots change only under archsem; the archiver frees slots (-1).
//  (2) A run holds at most one copy of a page: the first one stays.
//  (3) The wait for a free slot holds no semaphore and gives up when the stop flag is set.
//
// See also: bm_arch.h, bm_main (bm_getpage), bm_mem (the arena).
#include "bm/bm_arch.h"

#include <cstring>

#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_log.h"
#include "bm/bm_mem.h"
#include "bm/bm_sema.h"

namespace {

constexpr int kSlotNapMs = 1000;

unsigned char *slot_at(int i) { return bm_dbs->archbuf + static_cast<size_t>(i) * PAGESIZE; }
int32_t slot_page(int i) { return pg_word(slot_at(i), PH_PAGENR); }

// Allocates the archive buffer with every slot free. REQUIRES: archsem.
bool buffer_ready() {
  if (bm_dbs->archbuf != nullptr) return true;
  auto *buf = static_cast<unsigned char *>(bm_malloc(bm_dbs->archmax * PAGESIZE));
  if (buf == nullptr) return false;
  bm_dbs->archbuf = buf;
  for (int i = 0; i < bm_dbs->archmax; i++) pg_setword(slot_at(i), PH_PAGENR, NOPAGE);
  return true;
}

// The slot holding page pagenr, or -1. REQUIRES: archsem.
int slot_of(int32_t pagenr) {
  for (int i = 0; i < bm_dbs->archmax; i++)
    if (slot_page(i) == pagenr) return i;
  return -1;
}

enum outcome { STORED, NOROOM, FAILED };

// One attempt under archsem: store copy unless archiving is off or the page is there already.
outcome try_store(const void *copy, int32_t pagenr) {
  if ((bm_dbs->archflags & AR_ACTIVE) == 0) return STORED;
  if (pagenr == NOPAGE) bm_logerr("bm_archpage: pagenr == -1\n");
  if (!buffer_ready()) return FAILED;
  // A copy without a page number is stored like any other: it must not match a free slot.
  if (pagenr != NOPAGE && slot_of(pagenr) >= 0) return STORED;
  int free = slot_of(NOPAGE);
  if (free < 0) return NOROOM;
  bm_dbs->narch++;
  memcpy(slot_at(free), copy, PAGESIZE);
  return STORED;
}

}  // namespace

int bm_archpage(const void *copy) {
  int32_t pagenr = pg_word(copy, PH_PAGENR);
  for (;;) {
    bm_p(bm_dbs->archsem);
    outcome o = try_store(copy, pagenr);
    bm_v(bm_dbs->archsem);
    if (o == STORED) return 0;
    if (o == FAILED) return -1;  // iserrno from the allocator
    __atomic_fetch_add(&bm_dbs->st_archwait, 1, __ATOMIC_RELAXED);
    if (term_req) {
      iserrno = ER_STOPREQ;
      return -1;
    }
    bool nested = bm_waitbegin(WK_ARCHROOM, 0);
    bm_nap(kSlotNapMs);
    bm_waitend(nested);
  }
}
