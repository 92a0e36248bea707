// bm_mainpool: the bookkeeping behind page requests: the sorted index and the LRU chain of a
// buffer list, the choice of a victim, fixes, local images, the pages created in the current
// action.
//
// Principal entry points: bm_pageindex, bm_updatebor, bm_victim (under the list semaphore),
// bm_fix, bm_unfix (buffer semaphore), bm_locimg, bm_isnew, bm_clrnew, bm_getstamp.
//
// Invariants:
//  (1) Every buffer of a list is in its index exactly once and in its chain exactly once; the
//      index is sorted by page number (signed), unused buffers (-1) first. bm_updatebor keeps
//      this: it leaves the index unchanged when it fails.
//  (2) The tail buffer (the one most recently used) is never a victim.
//  (3) fixcnt changes only under the buffer's semaphore (except while a buffer is assigned or
//      read, by the process that assigned it, in bm_getpage).
//  (4) Local image blocks stay with the user slot once allocated; a free block has -1 in its
//      first word.
//
// See also: bm_main.h (contracts), bm_main.cc (bm_getpage), bm_image (restore and release of
// local images), bm_mem (the arena).
#include "bm/bm_main.h"

#include <cstring>

#include "ba/ba_mem.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_log.h"
#include "bm/bm_mem.h"
#include "bm/bm_mainpriv.h"
#include "bm/bm_sema.h"

using namespace bm_main_detail;

namespace {

constexpr int kVictimSleepMs = 1000;

pagebuf *index_at(const buflist *l, int i) { return l->index[i]; }

// Whether b may be replaced now. REQUIRES: l's semaphore.
bool replaceable(const buflist *l, const pagebuf *b, bool restricted) {
  if (b->fixcnt != 0) return false;
  if (flag_on(b, BF_LOCIMG | BF_READING | BF_SAVEOLD | BF_FLUSHING)) return false;
  return !restricted || b <= l->lowlimit.get();
}

// One walk from the head: the first replaceable buffer before the tail, or null.
pagebuf *walk_for_victim(const buflist *l, bool restricted) {
  for (pagebuf *b = l->head; b != nullptr && b->next != nullptr; b = b->next)
    if (replaceable(l, b, restricted)) return b;
  return nullptr;
}

// One sleep of bm_victim: marked 'P' (waitobj is left as it was).
void sleep_for_victim() {
  count(&bm_dbs->st_nofree);
  bool nested = bm_myslot != nullptr && (bm_myslot->uflags & US_WAITING) != 0;
  if (bm_myslot != nullptr) {
    bm_myslot->uflags |= US_WAITING;
    bm_myslot->waitkind = WK_BUFFER;
  }
  bm_nap(kVictimSleepMs);
  if (bm_myslot != nullptr && !nested) bm_myslot->uflags &= ~US_WAITING;
}

// Position of b in l's index by a linear search for the pointer, or -1.
int index_find_buffer(const buflist *l, const pagebuf *b) {
  for (int i = 0; i < l->nbufs; i++)
    if (index_at(l, i) == b) return i;
  return -1;
}

// A free local image pair of the own slot, giving a block to a pair that has none; null when
// every pair holds an image.
locimgent *free_locimg() {
  for (int i = 0; i < bm_myslot->nlocimg; i++) {
    locimgent &e = bm_myslot->locimg[i];
    if (e.image == nullptr) {
      auto *block = static_cast<unsigned char *>(bm_malloc(PAGESIZE));
      if (block != nullptr) pg_setword(block, PH_PAGENR, NOPAGE);
      e.image = block;
    }
    if (e.image != nullptr && pg_word(e.image, PH_PAGENR) == NOPAGE) return &e;
  }
  return nullptr;
}

// Grows the own slot's locimg array by one pair (without a block). false when the arena cannot.
bool grow_locimg() {
  int n = bm_myslot->nlocimg;
  auto *pairs = static_cast<locimgent *>(bm_malloc((n + 1) * static_cast<int>(sizeof(locimgent))));
  if (pairs == nullptr) return false;
  locimgent *old = bm_myslot->locimg;
  if (old != nullptr) {
    memcpy(pairs, old, static_cast<size_t>(n) * sizeof(locimgent));
    bm_free(old);
  }
  bm_myslot->locimg = pairs;
  bm_myslot->nlocimg = n + 1;
  return true;
}

}  // namespace

namespace bm_main_detail {

int index_search(const buflist *l, int32_t pagenr, probe *p) {
  p->low = 0;
  p->high = l->nbufs - 1;
  p->middle = 0;
  while (p->low <= p->high) {
    p->middle = (p->low + p->high) >> 1;
    int32_t at = pagenr_of(index_at(l, p->middle));
    if (pagenr < at)
      p->high = p->middle - 1;
    else if (pagenr > at)
      p->low = p->middle + 1;
    else
      return p->middle;
  }
  return -1;
}

void chain_unlink(buflist *l, pagebuf *b) {
  if (b->prev != nullptr) b->prev->next = b->next; else l->head = b->next;
  if (b->next != nullptr) b->next->prev = b->prev; else l->tail = b->prev;
  b->prev = nullptr;
  b->next = nullptr;
}

void chain_append(buflist *l, pagebuf *b) {
  b->prev = l->tail;
  b->next = nullptr;
  if (l->tail != nullptr) l->tail->next = b; else l->head = b;
  l->tail = b;
}

}  // namespace bm_main_detail

buflist *bm_pagelist(int32_t pagenr) {
  return &bm_dbs->lists[(pagenr >> 3) % bm_dbs->nlists];  // REQUIRES: pagenr >= 0
}

int bm_pageindex(buflist *l, int32_t pagenr) {
  probe p;
  int i = index_search(l, pagenr, &p);
  if (i >= 0) return i;
  bm_logerr("bm_pageindex: page %d not found\n", pagenr);
  iserrno = ER_BADINDEX;
  return -1;
}

int bm_updatebor(buflist *l, int32_t newpage, pagebuf *b) {
  int32_t cur = pagenr_of(b);
  int i;
  if (cur == NOPAGE) {
    i = index_find_buffer(l, b);
  } else {
    i = bm_pageindex(l, cur);
    if (i < 0) return -1;
    if (index_at(l, i) != b) i = -1;  // another buffer is filed under that page: inconsistent
  }
  if (i < 0) {
    bm_logerr("bm_updatebor: page %d not found\n", newpage);
    iserrno = ER_BADINDEX;
    return -1;
  }
  int n = l->nbufs;
  for (int k = i; k < n - 1; k++) l->index[k] = l->index[k + 1];
  l->index[n - 1] = nullptr;
  int j = 0;
  while (j < n - 1 && pagenr_of(index_at(l, j)) < newpage) j++;
  for (int k = n - 1; k > j; k--) l->index[k] = l->index[k - 1];
  l->index[j] = b;
  return 0;
}

pagebuf *bm_victim(buflist *l, int restricted) {
  for (int retries = GP_VICTIMRETRIES;; retries--) {
    pagebuf *b = walk_for_victim(l, restricted != 0);
    if (b != nullptr) {
      if (bm_myslot != nullptr) bm_myslot->uflags &= ~US_WAITING;
      chain_unlink(l, b);
      chain_append(l, b);
      return b;
    }
    sleep_for_victim();
    if (retries == 0) {
      iserrno = ER_NOBUFFER;
      return nullptr;
    }
  }
}

void bm_fix(pagebuf *b) {
  bm_p(&b->sema);
  b->fixcnt++;
  bm_v(&b->sema);
}

void bm_unfix(pagebuf *b) {
  bm_p(&b->sema);
  b->fixcnt--;
  bm_v(&b->sema);
}

int bm_locimg(pagebuf *b) {
  if (flag_on(b, BF_LOCIMG)) return 0;
  for (;;) {
    locimgent *e = free_locimg();
    if (e != nullptr) {
      memcpy(e->image, b->page, PAGESIZE);
      e->buf = b;
      return 0;
    }
    if (!grow_locimg()) {
      bm_logmsg("Cannot save local image\n");
      return -1;
    }
  }
}

int bm_isnew(int32_t pagenr) {
  for (int i = 0; i < bm_nnewpages; i++)
    if (bm_newpages[i] == pagenr) return 1;
  return 0;
}

void bm_clrnew() {
  for (int i = bm_nnewpages - 1; i >= 0; i--) {
    int32_t page = bm_newpages[i];
    buflist *l = bm_pagelist(page);
    bm_p(&l->sema);
    for (int k = 0; k < l->nbufs; k++)
      if (pagenr_of(&l->bufs[k]) == page) flag_clear(&l->bufs[k], BF_NEW);
    bm_v(&l->sema);
  }
  if (bm_newpages != nullptr) ba_release(bm_newpages);
  bm_newpages = nullptr;
  bm_nnewpages = 0;
}

int32_t bm_getstamp() { return bm_dbs != nullptr ? bm_dbs->dbsstamp : 1; }
