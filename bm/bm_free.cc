// bm_free: free-page bitmaps (allocation of extents, release of pages, free counts) and the
// list of extents an action took.
//
// Principal entry points: bm_allocext, bm_newextent, bm_droppage, bm_dropext, bm_undoext,
// bm_freecount.
//
// Invariants:
//  (1) A bitmap bit changes only under freesem, with its bitmap page fixed for update: an
//      allocation and a release never interleave, across all dbspaces.
//  (2) The chain of a dbspace is walked at most as far as the dbspace needs bitmap pages, and
//      only through pages of that dbspace: a damaged next-page word ends the chain instead of
//      leading into a loop or into another dbspace's pages.
//  (3) A run found by bm_allocext lies within one bitmap page; its bits are all set before
//      freesem is released.
//  (4) actext is written only by its owner; bm_undoext empties it, so an extent is never given
//      back twice (a second give-back could free pages that another action has taken since).
//
// See also: bm_free.h (page layout, contracts), bm_main (bm_getpage), bm_shm (action start,
// end and abort).
#include "bm/bm_free.h"

#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_log.h"
#include "bm/bm_main.h"
#include "bm/bm_sema.h"

namespace {

constexpr unsigned char kAllUsed = 0xFF;
constexpr unsigned char kAllFree = 0x00;
constexpr int kMaxSpace = 0xFF;  // dbspace numbers are bits 24-31 of a page number

int32_t pagenr(int d, int32_t k) {
  return static_cast<int32_t>(static_cast<uint32_t>(d) << PN_SPACESHIFT) | k;
}

unsigned char *bitmap(pagebuf *b) { return b->page + FB_BITS; }

// The first bitmap page of dbspace d. A d beyond the dbspace bits of a page number would alias
// another dbspace's bitmap: NOPAGE with ER_BADPAGE, as a request for a dbspace that does not
// exist is refused.
int32_t first_bitmap(int d) {
  if (d >= 0 && d <= kMaxSpace) return pagenr(d, FB_FIRST);
  iserrno = ER_BADPAGE;
  return NOPAGE;
}

unsigned char bitmask(int32_t k) { return static_cast<unsigned char>(0x80u >> (k % 8)); }

// Bitmap pages the chain of dbspace d needs (at least one).
int chain_length(int d) {
  int32_t n = bm_dbs->dbspaces[d].npages;
  return n <= FB_PAGES ? 1 : static_cast<int>((n + FB_PAGES - 1) / FB_PAGES);
}

// The next bitmap page after page c of dbspace d's chain held in b, or NOPAGE at the end of the
// chain (a next word of -1, outside dbspace d, or beyond the pages the dbspace needs).
int32_t next_bitmap(const pagebuf *b, int d, int c) {
  int32_t next = pg_word(b->page, FB_NEXT);
  if (next == NOPAGE || c + 1 >= chain_length(d)) return NOPAGE;
  if (static_cast<int>(static_cast<uint32_t>(next) >> PN_SPACESHIFT) != d) return NOPAGE;
  return next;
}

// Free pages at the end of byte v: clear bits from 0x01 upward until the first set bit.
int trailing_free(unsigned char v) {
  int j = 0;
  while (j < 8 && (v & (1u << j)) == 0) j++;
  return j;
}

// Bit index of the first run of n free pages in one bitmap page, or -1. A run is the free
// pages at the end of one byte followed by whole free bytes. After a run that is too short the
// scan goes on at the first byte the run did not take: that byte's own trailing free pages
// may begin the first run that fits.
int find_run(const unsigned char *bits, int n) {
  int i = 0;
  while (i < FB_BYTES) {
    if (bits[i] == kAllUsed) {
      i++;
      continue;
    }
    int j = trailing_free(bits[i]);
    int start = 8 * i + (8 - j);
    int missing = n - j;
    int next = i + 1;
    while (missing > 0 && next < FB_BYTES && bits[next] == kAllFree) {
      missing -= 8;
      next++;
    }
    if (missing <= 0) return start;
    i = next;
  }
  return -1;
}

void set_bits(unsigned char *bits, int first, int n) {
  for (int k = first; k < first + n; k++) bits[k / 8] |= bitmask(k);
}

// Fixes bitmap page c of dbspace d's chain that holds page k (k becomes the index within that
// bitmap page), for update. Null with the message logged when the chain ends before it or a
// fix fails; *fixfail tells which. REQUIRES: freesem.
pagebuf *bitmap_of(int d, int32_t *k, bool *fixfail) {
  *fixfail = true;
  int32_t first = first_bitmap(d);
  pagebuf *b = first == NOPAGE ? nullptr : bm_getpage(first, ST_UPDATE, nullptr);
  if (b == nullptr) return nullptr;
  *fixfail = false;
  for (int c = 0; *k >= FB_PAGES; c++) {
    int32_t next = next_bitmap(b, d, c);
    bm_unfix(b);
    if (next == NOPAGE) {
      bm_logmsg("bm_droppage: page %d not found\n", *k);
      return nullptr;
    }
    b = bm_getpage(next, ST_UPDATE, nullptr);
    if (b == nullptr) return nullptr;
    *k -= FB_PAGES;
  }
  return b;
}

bool valid_space(int d) { return d >= 0 && d < bm_dbs->ndbspaces; }

}  // namespace

int32_t bm_allocext(int d, int n) {
  bm_p(bm_dbs->freesem);
  int32_t page = first_bitmap(d);
  for (int c = 0; page != NOPAGE; c++) {
    pagebuf *b = bm_getpage(page, ST_UPDATE, nullptr);
    if (b == nullptr) break;
    int s = find_run(bitmap(b), n);
    if (s >= 0) {
      set_bits(bitmap(b), s, n);
      bm_unfix(b);
      bm_v(bm_dbs->freesem);
      return pagenr(d, FB_PAGES * c + s);
    }
    page = next_bitmap(b, d, c);
    bm_unfix(b);
    if (page == NOPAGE) iserrno = ER_NOEXTENT;
  }
  bm_v(bm_dbs->freesem);
  return -1;
}

void bm_newextent(int32_t first, int n) {
  userslot *u = bm_myslot;
  if (u->nactext > US_MAXEXT - 1) {
    bm_logmsg("bm_newextent: %d\n", u->nactext);
    return;
  }
  u->actext[u->nactext].first = first;
  u->actext[u->nactext].npages = static_cast<int16_t>(n);
  u->nactext++;
}

int bm_droppage(int d, int32_t page) {
  bm_p(bm_dbs->freesem);
  if ((bm_dbs->archflags & AR_ACTIVE) != 0) {
    pagebuf *p = bm_getpage(page, ST_ANYPAGE, nullptr);
    if (p == nullptr) {
      bm_logmsg("bm_droppage0: sp == NULL, iserrno = %d\n", iserrno);
      iserrno = 0;
      bm_v(bm_dbs->freesem);
      return 0;
    }
    bm_unfix(p);
  }
  int32_t k = page & PN_PAGEMASK;
  bool fixfail;
  pagebuf *b = bitmap_of(d, &k, &fixfail);
  if (b == nullptr) {
    if (fixfail) bm_logmsg("bm_droppage: sp == NULL, iserrno = %d\n", iserrno);
    iserrno = 0;
    bm_v(bm_dbs->freesem);
    return 0;
  }
  // A page beyond the dbspace is never handed out, so its bit (set when the dbspace was
  // formatted) must stay set: it is reported like a page beyond the chain, with its number
  // within the bitmap page that covers it.
  if ((page & PN_PAGEMASK) >= bm_dbs->dbspaces[d].npages) {
    bm_logmsg("bm_droppage: page %d not found\n", k);
    bm_unfix(b);
    bm_v(bm_dbs->freesem);
    return 0;
  }
  unsigned char *byte = bitmap(b) + k / 8;
  if ((*byte & bitmask(k)) == 0) bm_logerr("bm_droppage: page %d already freed\n", k);
  *byte &= static_cast<unsigned char>(~bitmask(k));
  bm_unfix(b);
  bm_v(bm_dbs->freesem);
  return 0;
}

int bm_dropext(int d, int32_t first, int n) {
  for (int i = 0; i < n; i++)
    if (bm_droppage(d, first + i) != 0) return -1;
  return 0;
}

void bm_undoext() {
  userslot *u = bm_myslot;
  int n = u->nactext < US_MAXEXT ? u->nactext : US_MAXEXT;
  for (int i = 0; i < n; i++) {
    const actextent &e = u->actext[i];
    bm_dropext(static_cast<int>(static_cast<uint32_t>(e.first) >> PN_SPACESHIFT), e.first, e.npages);
  }
  u->nactext = 0;
}

int bm_freecount(int d) {
  if (bm_dbs == nullptr || !valid_space(d)) {
    iserrno = ER_BADPAGE;
    return -1;
  }
  int32_t npages = bm_dbs->dbspaces[d].npages;
  int free = 0;
  int32_t page = pagenr(d, FB_FIRST);
  for (int c = 0; page != NOPAGE; c++) {
    pagebuf *b = bm_getpage(page, 0, nullptr);
    if (b == nullptr) return -1;
    const unsigned char *bits = bitmap(b);
    for (int32_t i = 0; i < FB_PAGES && FB_PAGES * c + i < npages; i++)
      if ((bits[i / 8] & bitmask(i)) == 0) free++;
    page = FB_PAGES * (c + 1) < npages ? next_bitmap(b, d, c) : NOPAGE;
    bm_unfix(b);
  }
  return free;
}
