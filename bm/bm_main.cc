// bm_main: bm_getpage, the page request: find or assign the buffer of a page, wait while the
// page is being read, saved or flushed, fix it, and take its before image, local image and
// archive copy.
//
// Principal entry point: bm_getpage (every process obtains every page through it; the fix is
// released with bm_unfix, bm_mainpool.cc).
//
// Invariants:
//  (1) Lookup, assignment and the flag changes of a request happen under the list semaphore;
//      I/O (the write of replaced old contents, the read of the page) happens after it is
//      released, protected by BF_SAVEOLD and the own transit (for the old page) and BF_READING
//      (for the new one), which make every other requester of either page wait.
//  (2) Replaced dirty contents are never lost: they are written before the own transit is
//      cleared; a failed write is retried (1 s apart) with transit and BF_SAVEOLD kept, so
//      nobody reads the stale page from disk meanwhile.
//  (3) A failed or refused read leaves no pinned buffer behind: the buffer returns to the
//      unused state under the list semaphore, so a later request reads the page again.
//  (4) The index is changed before anything else of an assignment: when it is inconsistent
//      the victim keeps its page, its flags and its contents.
//  (5) A page fixed for update is dirty and fixed before the list semaphore is released, so
//      the flush pass leaves it alone until its before image is taken (step 11 below).
//
// See also: bm_main.h (contracts, buffer states), bm_mainpool.cc (index, chain, victims, local
// images), bm_image (bm_saveimg), bm_arch (bm_archpage), bm_io (bm_pread, bm_savepage).
#include "bm/bm_main.h"

#include <cstring>

#include "ba/ba_mem.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_arch.h"
#include "bm/bm_globals.h"
#include "bm/bm_image.h"
#include "bm/bm_io.h"
#include "bm/bm_log.h"
#include "bm/bm_mainpriv.h"
#include "bm/bm_sema.h"

using namespace bm_main_detail;

namespace {

constexpr int kNapMs = 1;
constexpr int kWordSize = sizeof(int32_t);  // the page number word at the start of a page
constexpr char kRecoverProg[] = "RIZAREVI";  // may request page 0, accepts foreign pages
constexpr char kServerProg[] = "TOLVDB";     // may request page 0

// One request in progress, with the caller's private copies.
struct request {
  int32_t pagenr;
  int state;
  buflist *list;
  pagebuf *buf = nullptr;
  bool need_image = false;   // step 8a: first update in this interval
  bool arch_due = false;     // steps 8c/10d: an archive copy was taken
  bool save_old = false;     // step 7b: replaced dirty contents must be written
  int32_t old_pagenr = NOPAGE;
  unsigned char old_page[PAGESIZE];
  unsigned char arch_page[PAGESIZE];
  unsigned char io_page[PAGESIZE];  // step 10: the page as read

  bool wants(int bit) const { return (state & bit) != 0; }
};

bool is_program(const char *name) {
  return bm_myslot != nullptr && strncmp(bm_myslot->progname, name, US_PROGLEN) == 0;
}

// ---- Step 1: argument checks ---------------------------------------------------------------

bool valid_request(int32_t pagenr, int state) {
  if (pagenr < 0 || (pagenr == 0 && !is_program(kRecoverProg) && !is_program(kServerProg))) {
    bm_logerr("bm_getpage: Page = %d\n", pagenr);
    iserrno = ER_BADPAGE;
    return false;
  }
  // Requests need the own slot (transit, wait marking, update rights): an unregistered
  // process is refused instead of working without them.
  if (bm_myslot == nullptr) {
    bm_logerr("%d: bm_getpage: not registered. Page %d\n", bm_mypid, pagenr);
    iserrno = ER_NOSLOT;
    return false;
  }
  if ((state & ST_UPDATE) != 0 && (bm_myslot->uflags & US_ACTION) == 0) {
    bm_logerr("Invalid state %d for page %d\n", state, pagenr);
    iserrno = ER_NOACTION;
    return false;
  }
  int d = pagenr >> PN_SPACESHIFT;
  if (d >= bm_dbs->ndbspaces) {
    bm_logerr("bm_main:invalid page request %d. dbspace = %d\n", pagenr, d);
    iserrno = ER_BADPAGE;
    return false;
  }
  if ((pagenr & PN_PAGEMASK) >= bm_dbs->dbspaces[d].npages) {
    bm_logerr("bm_main:invalid page request %d\n", pagenr);
    iserrno = ER_BADPAGE;
    return false;
  }
  return true;
}

// ---- Steps 3 to 6: lookup and the waits for a found or missing page ---------------------------

// Whether hint is one of l's buffers (a stale or foreign pointer is ignored, never followed).
bool in_list(const buflist *l, const pagebuf *hint) {
  const pagebuf *first = l->bufs;
  return hint >= first && hint < first + l->nbufs &&
         (reinterpret_cast<uintptr_t>(hint) - reinterpret_cast<uintptr_t>(first)) %
                 sizeof(pagebuf) == 0;
}

// Step 3. REQUIRES: the list semaphore.
pagebuf *lookup(const request &r, pagebuf *hint) {
  if (hint != nullptr && in_list(r.list, hint) && pagenr_of(hint) == r.pagenr) return hint;
  probe p;
  int i = index_search(r.list, r.pagenr, &p);
  if (i >= 0) return r.list->index[i];
  if (ba_settings.debug == 0) return nullptr;
  for (i = 0; i < r.list->nbufs; i++) {
    pagebuf *b = r.list->index[i];
    if (pagenr_of(b) == r.pagenr) {
      bm_logerr("Page %d in Buffer %d %d %d %d\n", r.pagenr, i, p.low, p.high, p.middle);
      return b;
    }
  }
  return nullptr;
}

// Step 4: waits while b is being read in. The message about an update request is written once
// per wait, not once per nap.
bool wait_read(const request &r, pagebuf *b) {
  bool told = false;
  for (int naps = 0; flag_on(b, BF_READING);) {
    if (r.wants(ST_UPDATE) && (bm_dbs->archflags & AR_ACTIVE) == 0 && !told) {
      bm_logerr("bm_getpage: ST_UPDATE\n");
      told = true;
    }
    bm_nap(kNapMs);
    count(&bm_dbs->st_readwait);
    if (++naps > GP_READWAITS) {
      bm_logerr("Page %d not usable\n", pagenr_of(b));
      iserrno = ER_NOTUSABLE;
      return false;
    }
  }
  return true;
}

// Whether a registered user other than the caller is writing back the replaced contents of
// page pagenr.
bool in_transit(int32_t pagenr) {
  for (int u = 0; u < bm_dbs->nusers; u++) {
    const userslot &s = bm_dbs->users[u];
    if (s.progname[0] != '\0' && s.transit == pagenr) return true;
  }
  return false;
}

// Step 5: waits while another user moves the page.
bool wait_transit(const request &r) {
  for (int attempts = 0; in_transit(r.pagenr);) {
    bm_nap(kNapMs);
    count(&bm_dbs->st_transit);
    if (++attempts > GP_TRANSITWAITS) {
      bm_logerr("Page %d not saved\n", r.pagenr);
      iserrno = ER_NOTSAVED;
      return false;
    }
  }
  return true;
}

// Step 6: a found buffer.
bool use_found(const request &r, pagebuf *b) {
  while (r.wants(ST_UPDATE) && flag_on(b, BF_FLUSHING)) {
    bool nested = bm_waitbegin(WK_FLUSH, pagenr_of(b));
    bm_nap(kNapMs);
    bm_waitend(nested);
    count(&bm_dbs->st_flushwait);
  }
  chain_unlink(r.list, b);
  chain_append(r.list, b);
  count(&bm_dbs->st_hits);
  if (r.wants(ST_NEW)) flag_set(b, BF_NEW);
  if (b->fixcnt < 0) {
    iserrno = ER_FIXCNT;
    bm_logerr("Access1 %d on page %d\n", b->fixcnt, pagenr_of(b));
    return false;
  }
  return true;
}

// ---- Step 7: assignment of a buffer -----------------------------------------------------------

pagebuf *assign(request &r) {
  pagebuf *b = bm_victim(r.list, r.wants(ST_LOWBUF));
  if (b == nullptr) return nullptr;
  if (bm_updatebor(r.list, r.pagenr, b) != 0) return nullptr;  // the victim is left unchanged
  if (flag_on(b, BF_DIRTY)) {
    memcpy(r.old_page, b->page, PAGESIZE);
    r.old_pagenr = pagenr_of(b);
    r.save_old = true;
    flags_store(b, BF_SAVEOLD);
    bm_myslot->transit = r.old_pagenr;
  } else {
    flags_store(b, 0);
  }
  pg_setword(b->page, PH_PAGENR, r.pagenr);
  if (r.wants(ST_NEW)) {
    flag_set(b, BF_NEW);
    b->fixcnt = 0;
  } else {
    flag_set(b, BF_READING | (bm_isnew(r.pagenr) ? BF_NEW : 0));
    b->fixcnt = 1;  // the pin that keeps the buffer while it is read
  }
  return b;
}

// Steps 8c and 10d: the archive copy of the page as it is before the caller's change.
void take_archive_copy(request &r, pagebuf *b) {
  memcpy(r.arch_page, b->page, PAGESIZE);
  r.arch_due = true;
  flag_set(b, BF_ARCHIVED);
}

bool copy_phase() { return (bm_dbs->archflags & AR_COPYPHASE) != 0; }

// Step 8, under the list semaphore; releases it.
void fix_under_list(request &r, pagebuf *b) {
  if (r.wants(ST_UPDATE)) {
    bm_dbs->modified = 1;
    flag_set(b, BF_DIRTY);
    r.need_image = !flag_on(b, BF_BEFIMG | BF_NEW);
  }
  bm_fix(b);
  if (copy_phase() && !flag_on(b, BF_NEW | BF_READING | BF_ARCHIVED)) take_archive_copy(r, b);
  bm_v(&r.list->sema);
}

// Steps 2 to 8: the buffer of the request, fixed, or null (the list semaphore released).
pagebuf *find_and_fix(request &r, pagebuf *hint) {
  count(&bm_dbs->st_requests);
  bm_myslot->transit = NOPAGE;
  bm_p(&r.list->sema);
  pagebuf *b = lookup(r, hint);
  bool ok = b != nullptr ? wait_read(r, b) && use_found(r, b)
                         : wait_transit(r) && (b = assign(r)) != nullptr;
  if (!ok) {
    bm_v(&r.list->sema);
    return nullptr;
  }
  fix_under_list(r, b);
  return b;
}

// ---- Steps 9 and 10: I/O without the list semaphore --------------------------------------------

// Step 9: writes the replaced contents home. A failed write is retried, 1 s apart, with
// transit and BF_SAVEOLD kept: the old page stays unusable to others (they wait on transit)
// instead of being read stale from disk. Every attempt's failure is in the message log.
void save_old(request &r, pagebuf *b) {
  pagebuf copy;
  memcpy(copy.page, r.old_page, PAGESIZE);
  while (bm_savepage(&copy) != 0) bm_nap(GP_SAVERETRYMS);
  flag_clear(b, BF_SAVEOLD);
  bm_myslot->transit = NOPAGE;
}

// A read that failed or was refused: the buffer returns to the unused state, so that a later
// request reads the page again instead of waiting on a buffer pinned for ever. iserrno is kept.
void unassign(request &r, pagebuf *b) {
  int reason = iserrno;
  bm_p(&r.list->sema);
  if (bm_updatebor(r.list, NOPAGE, b) == 0) {
    pg_setword(b->page, PH_PAGENR, NOPAGE);
    flags_store(b, 0);
    bm_p(&b->sema);
    b->fixcnt = 0;
    bm_v(&b->sema);
  }
  bm_v(&r.list->sema);
  iserrno = reason;
}

// Step 10: reads the page into the buffer assigned to it. The read goes to a private page
// first: the buffer's page number word, by which other processes search the sorted index
// under the list semaphore, never holds anything but the requested number.
bool read_page(request &r, pagebuf *b) {
  if (bm_pread(r.pagenr, r.io_page, PIO_ANYPART) != 0) {
    unassign(r, b);
    return false;
  }
  int32_t found = pg_word(r.io_page, PH_PAGENR);
  if (found != r.pagenr) {
    if (!is_program(kRecoverProg) && !r.wants(ST_ANYPAGE)) {
      bm_logerr("%d: Page mismatch %d %d\n", bm_mypid, found, r.pagenr);
      iserrno = ER_PAGEMISMATCH;
      unassign(r, b);
      return false;
    }
    memset(r.io_page, 0, PAGESIZE);
  }
  memcpy(b->page + kWordSize, r.io_page + kWordSize, PAGESIZE - kWordSize);
  b->fixcnt = 1;  // the pin of step 7 becomes the caller's fix
  if (copy_phase() && !flag_on(b, BF_NEW)) take_archive_copy(r, b);
  flag_clear(b, BF_READING);
  if (ba_settings.debug != 0 && pg_word(b->page, PH_PAGETYPE) == 0 &&
      !is_program(kRecoverProg) && !r.wants(ST_ANYPAGE))
    bm_logerr("Type of page %d is 0\n", r.pagenr);
  return true;
}

// ---- Steps 11 to 15: images, archive copy, new pages -----------------------------------------

// Step 14: records a page created in this action.
bool note_new(pagebuf *b) {
  if (pg_word(b->page, PH_PAGETYPE) > PT_MAXDATA) {
    flag_clear(b, BF_NEW);
    return true;
  }
  if (bm_isnew(pagenr_of(b))) return true;
  if (ba_rszvek(&bm_newpages, bm_nnewpages, sizeof *bm_newpages) != 0) {
    iserrno = ER_NOMEM;
    return false;
  }
  bm_newpages[bm_nnewpages++] = pagenr_of(b);
  return true;
}

// Steps 11 to 14; false after a failure (the caller's fix is then released).
bool finish(request &r, pagebuf *b) {
  if (r.need_image) {
    if (bm_saveimg(b) != 0) return false;
    flag_set(b, BF_BEFIMG);
  }
  if (r.wants(ST_UPDATE) && pg_word(b->page, PH_PAGETYPE) <= PT_MAXDATA &&
      !flag_on(b, BF_NEW)) {
    if (bm_locimg(b) != 0) return false;
    flag_set(b, BF_LOCIMG);
  }
  if (r.arch_due && bm_archpage(r.arch_page) != 0) return false;
  return !r.wants(ST_NEW) || note_new(b);
}

}  // namespace

pagebuf *bm_getpage(int32_t pagenr, int state, pagebuf *hint) {
  if (!valid_request(pagenr, state)) return nullptr;
  request r;
  r.pagenr = pagenr;
  r.state = state;
  r.list = bm_pagelist(pagenr);
  pagebuf *b = find_and_fix(r, hint);
  if (b == nullptr) return nullptr;
  if (r.save_old) save_old(r, b);
  if (flag_on(b, BF_READING) && !read_page(r, b)) return nullptr;
  if (!finish(r, b)) {
    bm_unfix(b);
    return nullptr;
  }
  if (b->fixcnt <= 0) {
    iserrno = ER_FIXCNT;
    bm_logerr("Access %d on page %d\n", b->fixcnt, pagenr_of(b));
    return nullptr;
  }
  return b;
}
