// bm_tabmap: the table map: the chain of map pages of a dbspace that maps each tabslot to the
// root page of its table.
//
// Principal entry point: bm_maptabid.
//
// Invariants:
//  (1) The map is read and changed only under mapsem; a map page is changed only while fixed
//      for update.
//  (2) A walk of the chain stops at the first page that is not a map page of the dbspace, and
//      after as many pages as the dbspace has: a damaged next-page word cannot lead it into a
//      loop or into other pages.
//  (3) A new map page is linked into the chain only after it has been allocated; it is not
//      recorded as an extent of the action, since the link to it is not undone by an abort.
//
// See also: bm_table.h (map page format, modes), bm_free.h (bm_allocext), bm_table.cc
// (bm_rmtable).
#include "ba/ba_byteorder.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_free.h"
#include "bm/bm_globals.h"
#include "bm/bm_log.h"
#include "bm/bm_main.h"
#include "bm/bm_sema.h"
#include "bm/bm_table.h"

namespace {

constexpr int kChanging = TM_ASSIGN | TM_REMOVE | TM_SET;

int32_t pagenr(int s, int32_t k) {
  return static_cast<int32_t>(static_cast<uint32_t>(s) << PN_SPACESHIFT) | k;
}

int32_t getbe(const unsigned char *p) { return ba_getbe32(p); }
void setbe(unsigned char *p, int32_t v) { ba_putbe32(p, v); }

unsigned char *entry(pagebuf *b, int i) { return b->page + PH_DATA + TB_MAPENTRY * i; }

// The page state for the map pages of mode m. Decision: a mode that changes an entry fixes
// every map page for update, also together with TM_LOOKUP, so that no change is made to a page
// fixed only for reading (it would never be marked dirty and could be lost).
int map_state(int m) { return (m & TM_LOOKUP) != 0 && (m & kChanging) == 0 ? 0 : ST_UPDATE; }

int first_free(pagebuf *b) {
  for (int i = 0; i < TB_MAPENTRIES; i++)
    if (getbe(entry(b, i)) == -1) return i;
  return -1;
}

void init_map_page(pagebuf *b, int32_t page) {
  pg_setword(b->page, PH_PAGENR, page);
  pg_setword(b->page, PH_PAGETYPE, PT_TABMAP);
  pg_setword(b->page, TM_NEXTPAGE, -1);
  pg_setword(b->page, TM_HEADWORD, -1);
  for (int i = 0; i < TB_MAPENTRIES; i++) {
    setbe(entry(b, i), -1);
    entry(b, i)[4] = TM_NONE;
  }
}

// Fixes map page page of dbspace s: null with iserrno when it cannot be fixed or is no map
// page of s.
pagebuf *fix_map(int s, int32_t page, int state) {
  if (static_cast<int>(static_cast<uint32_t>(page) >> PN_SPACESHIFT) != s) {
    iserrno = ER_TABID;
    return nullptr;
  }
  pagebuf *b = bm_getpage(page, state, nullptr);
  if (b != nullptr && pg_word(b->page, PH_PAGETYPE) != PT_TABMAP) {
    bm_logerr("bm_maptabid: page %d is no table map page\n", page);
    bm_unfix(b);
    iserrno = ER_TABID;
    return nullptr;
  }
  return b;
}

// Appends a new map page behind b (the last of the chain, fixed for update) and returns it
// fixed, or null with iserrno (b stays fixed).
pagebuf *append_map(int s, pagebuf *b, int state) {
  int32_t page = bm_allocext(s, 1);
  if (page < 0) return nullptr;
  pagebuf *n = bm_getpage(page, state | ST_NEW, nullptr);
  if (n == nullptr) {
    bm_droppage(s, page);
    return nullptr;
  }
  init_map_page(n, page);
  pg_setword(b->page, TM_NEXTPAGE, page);
  return n;
}

// Applies mode m to entry e of table id t. The result of bm_maptabid. Bits from 0x20 up
// have no effect here.
int32_t apply(unsigned char *e, int32_t t, int32_t v, int m) {
  int32_t result = 0;
  if ((m & TM_ASSIGN) != 0) {
    if (getbe(e) >= 0) {
      iserrno = ER_MAPINUSE;
      return -1;
    }
    bool marked = (m & TM_MARKED) != 0;
    setbe(e, marked ? v : -v);
    e[4] = marked ? TM_ASSIGNED : TM_RESERVED;
    result = t;
  }
  if ((m & TM_SET) != 0) {
    setbe(e, v);
    result = 0;
  }
  if ((m & TM_LOOKUP) != 0) {
    result = getbe(e);
    if (result < 0) {
      iserrno = (m & TM_MARKED) != 0 ? ER_TABRESERVED : ER_TABID;
      result = -1;
    }
  }
  if ((m & TM_REMOVE) != 0) {
    result = getbe(e);
    if (result == -1) iserrno = ER_TABID;
    setbe(e, -1);
    if (e[4] == TM_RESERVED && bm_rmtable(t) != 0)
      bm_logerr("bm_maptabid: Couldn't remove old table at slot %d\n", t);
    e[4] = TM_NONE;
  }
  return result;
}

// The walk of bm_maptabid under mapsem.
int32_t map_locked(int s, int32_t v, int32_t t, int m) {
  int32_t n = t == -1 ? -1 : t & PN_PAGEMASK;
  int state = map_state(m);
  if (s < 0 || s >= bm_dbs->ndbspaces) {
    iserrno = ER_BADPAGE;
    return -1;
  }
  pagebuf *b = fix_map(s, pagenr(s, TB_MAPPAGE), state);
  if (b == nullptr) return -1;
  for (int idx = 0;; idx++) {
    int i = t == -1 ? first_free(b) : (n < TB_MAPENTRIES ? static_cast<int>(n) : -1);
    if (i >= 0) {
      int32_t id = pagenr(s, idx * TB_MAPENTRIES + i);
      int32_t r = apply(entry(b, i), id, v, m);
      bm_unfix(b);
      return r;
    }
    if (t != -1) n -= TB_MAPENTRIES;
    int32_t next = pg_word(b->page, TM_NEXTPAGE);
    pagebuf *nb;
    if (next != -1 && idx + 1 >= bm_dbs->dbspaces[s].npages) {
      iserrno = ER_TABID;  // a chain longer than its dbspace runs in a loop
      nb = nullptr;
    } else if (next == -1) {
      if ((m & TM_ASSIGN) == 0) {
        bm_logerr("tabslot %d does not exist\n", n);
        iserrno = ER_TABID;
        nb = nullptr;
      } else {
        nb = append_map(s, b, state);
      }
    } else {
      nb = fix_map(s, next, state);
    }
    bm_unfix(b);
    if (nb == nullptr) return -1;
    b = nb;
  }
}

}  // namespace

int32_t bm_maptabid(int s, int32_t v, int32_t t, int m) {
  if (t != -1) s = static_cast<int>(static_cast<uint32_t>(t) >> PN_SPACESHIFT);
  bm_p(bm_dbs->mapsem);
  int32_t r = map_locked(s, v, t, m);
  bm_v(bm_dbs->mapsem);
  return r;
}
