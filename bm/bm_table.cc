// bm_table: table handles: opening and closing tables through the shared descriptors, their
// removal, the value cell, and the rowid registry.
//
// Principal entry points: bm_tabinit (called by the attach step), bm_opentable, bm_close,
// bm_rmtable, bm_gettabval, bm_settabval, bm_setrowid, bm_freerowid, bm_isrowid, bm_tabreset.
//
// Invariants:
//  (1) Descriptors, usage records and td_flags change only under tabsem, released on every
//      way out; the rowid registry only under seqsem.
//  (2) A descriptor with td_tabid -1 owns no shared memory: bm_rmtable and a failed load give
//      back everything hanging off it before marking it free.
//  (3) tu_open is the sum of the per-slot counts; a slot's process id is -1 exactly while its
//      count is 0.
//
// Process-local state: the address of the descriptor array and the index of the descriptor
// opened last, which every search tries first.
//
// See also: bm_table.h (formats, contracts), bm_tabload.cc (loading a descriptor),
// bm_tabmap.cc (the table map).
#include "bm/bm_table.h"

#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_log.h"
#include "bm/bm_main.h"
#include "bm/bm_mem.h"
#include "bm/bm_sema.h"

namespace {

tabdesc *tabs;     // the descriptor array of the attached header
int lastopen = 0;  // the descriptor this process opened last

tabdesc *desc(int i) { return &tabs[i]; }

// Index of the descriptor of table t (the last opened first), or -1.
int find_desc(int32_t t) {
  if (t == -1) return -1;  // -1 marks free descriptors, never a table
  if (lastopen < bm_dbs->ntables && desc(lastopen)->td_tabid == t) return lastopen;
  for (int i = 0; i < bm_dbs->ntables; i++)
    if (desc(i)->td_tabid == t) return i;
  return -1;
}

// A descriptor to load a table into: the first free one, else the first that nobody has open
// (its table removed first). -1 with iserrno.
int take_desc() {
  for (int i = 0; i < bm_dbs->ntables; i++)
    if (desc(i)->td_tabid == -1) return i;
  for (int i = 0; i < bm_dbs->ntables; i++) {
    if (desc(i)->td_use->tu_open != 0) continue;
    if (bm_rmtable(desc(i)->td_tabid) != 0) {
      bm_logerr("bm_opentable: Couldn't remove old table at slot %d, iserrno =%d\n", i, iserrno);
      iserrno = ER_TABREMOVE;
      return -1;
    }
    return i;
  }
  iserrno = ER_NOTABDESC;
  return -1;
}

bool identity_ok(const tabdesc *td, int32_t t, int32_t i1, int32_t i2) {
  return i2 == -1 || t < 2 || (i1 == td->td_ident1 && i2 == td->td_ident2);
}

template <class T>
void give_back(shmptr<T> *p) {
  if (*p != nullptr) bm_free(p->get());
  *p = nullptr;
}

// Gives back the memory hanging off td.
void release_parts(tabdesc *td) {
  give_back(&td->td_loboffs);
  give_back(&td->td_keyuse);
  for (shmptr<keydesc> &k : td->td_key) give_back(&k);
  give_back(&td->td_ext1);
  give_back(&td->td_ext2);
}

// Loads table t from its root page into descriptor td. 0, or -1 with iserrno; on failure td
// is free again unless only the identities differ. REQUIRES: tabsem.
int load(tabdesc *td, int32_t t, const coldesc *cd, int f, int32_t i1, int32_t i2) {
  int32_t root = bm_maptabid(static_cast<int>(static_cast<uint32_t>(t) >> PN_SPACESHIFT), -1, t,
                             TM_LOOKUP | 0x20);
  if (root < 0) return -1;
  pagebuf *b = bm_getpage(root, 0, nullptr);
  if (b == nullptr) return -1;
  int32_t type = pg_word(b->page, PH_PAGETYPE);
  if ((type & PT_TABROOT) == 0) {
    if ((f & TO_NOROOTMSG) == 0) bm_logerr("bm_opentable:No table rootpage %d 0x%x\n", root, type);
    bm_unfix(b);
    iserrno = ER_NOROOT;
    return -1;
  }
  int r = bm_mytabdata(td, b->page + PH_DATA, cd, root);
  bm_unfix(b);
  // A root page that names another table is not this table's root page.
  if (r == 0 && td->td_tabid != t) {
    bm_logerr("bm_opentable:No table rootpage %d 0x%x\n", root, type);
    iserrno = ER_NOROOT;
    r = -1;
  }
  if (r != 0) {
    release_parts(td);
    td->td_tabid = -1;
    return -1;
  }
  if (!identity_ok(td, t, i1, i2)) {
    iserrno = ER_TABID;
    return -1;
  }
  return 0;
}

// Registers an open of descriptor i with flags f for the own user slot. REQUIRES: tabsem.
void register_open(int i, int f) {
  tabdesc *td = desc(i);
  tabuse *u = td->td_use;
  int me = bm_myuindex;
  lastopen = i;
  td->td_flags |= f;
  u->tu_open++;
  if (u->tu_pids[me] == -1) {
    u->tu_pids[me] = bm_mypid;
    u->tu_counts[me] = 1;
    return;
  }
  if (u->tu_pids[me] != bm_mypid) {
    bm_logerr("opentable:pid = %d %d %d!\n", bm_mypid, me, u->tu_pids[me]);
    u->tu_pids[me] = bm_mypid;
  }
  u->tu_counts[me]++;
}

tabdesc *open_locked(int32_t t, const coldesc *cd, int f, int32_t i1, int32_t i2) {
  if (bm_myslot == nullptr || bm_myuindex < 0 || bm_myuindex >= bm_dbs->nusers) {
    iserrno = ER_NOSLOT;
    return nullptr;
  }
  int i = find_desc(t);
  if (i >= 0) {
    tabdesc *td = desc(i);
    int open = td->td_use->tu_open;
    if ((f & TO_EXCL) != 0 && open >= 1) {
      iserrno = ER_EXCLOPEN;
      return nullptr;
    }
    if ((td->td_flags & TO_EXCL) != 0 && open >= 1) {
      iserrno = ER_TABLOCKED;
      return nullptr;
    }
    if (!identity_ok(td, t, i1, i2)) {
      iserrno = ER_TABID;
      return nullptr;
    }
    td->td_flags &= ~TO_CLEARED;
  } else {
    i = take_desc();
    if (i < 0 || load(desc(i), t, cd, f, i1, i2) != 0) return nullptr;
  }
  register_open(i, f);
  return desc(i);
}

// The descriptor of table t with its value cell, under tabsem, handed to fn.
template <class Fn>
auto with_desc(int32_t t, Fn fn) {
  bm_p(bm_dbs->tabsem);
  int i = find_desc(t);
  auto r = fn(i < 0 ? nullptr : desc(i));
  bm_v(bm_dbs->tabsem);
  return r;
}

// Index of the pair (t, rowid) in the registry, or -1. REQUIRES: seqsem.
int find_pair(int32_t t, int32_t rowid) {
  for (int i = 0; i < bm_dbs->nusers; i++)
    if (bm_dbs->rowids[i].rowid == rowid && bm_dbs->rowids[i].tabid == t) return i;
  return -1;
}

}  // namespace

void bm_tabinit() {
  tabs = bm_dbs->tables;
  lastopen = 0;
}

tabdesc *bm_tables() { return tabs; }

tabdesc *bm_opentable(int32_t t, coldesc *cd, int f, int32_t i1, int32_t i2) {
  bm_p(bm_dbs->tabsem);
  tabdesc *td = open_locked(t, cd, f, i1, i2);
  bm_v(bm_dbs->tabsem);
  return td;
}

void bm_close(tabdesc *td) {
  bm_p(bm_dbs->tabsem);
  tabuse *u = td->td_use;
  int me = bm_myuindex;
  if (me < 0 || me >= bm_dbs->nusers || u->tu_counts[me] == 0) {
    bm_logerr("bm_close: table %d already closed\n", td->td_tabid);
  } else {
    u->tu_open--;
    if (--u->tu_counts[me] == 0) u->tu_pids[me] = -1;
  }
  bm_v(bm_dbs->tabsem);
}

int bm_rmtable(int32_t t) {
  int i = find_desc(t);
  if (i < 0) {
    bm_logerr("bm_rmtable: Page %d not found!\n", t);
    return -1;
  }
  desc(i)->td_tabid = -1;
  release_parts(desc(i));
  return 0;
}

int32_t bm_gettabval(int32_t t, int32_t i1, int32_t i2) {
  return with_desc(t, [&](const tabdesc *td) {
    if (td == nullptr) return -1;
    return identity_ok(td, t, i1, i2) ? td->td_value : -3;
  });
}

void bm_settabval(int32_t t, int32_t v) {
  with_desc(t, [&](tabdesc *td) {
    if (td != nullptr) td->td_value = v;
    return 0;
  });
}

int bm_setrowid(int32_t t, int32_t rowid) {
  bm_p(bm_dbs->seqsem);
  int r = -1;
  if (find_pair(t, rowid) < 0) {
    int i = find_pair(-1, -1);
    if (i >= 0) {
      bm_dbs->rowids[i] = rowidpair{rowid, t};
      r = 0;
    }
  }
  bm_v(bm_dbs->seqsem);
  return r;
}

void bm_freerowid(int32_t t, int32_t rowid) {
  bm_p(bm_dbs->seqsem);
  int i = find_pair(t, rowid);
  if (i >= 0) bm_dbs->rowids[i] = rowidpair{-1, -1};
  bm_v(bm_dbs->seqsem);
  if (i < 0) bm_logerr("bm_freerowid: Rowid %d not found\n", rowid);
}

int bm_isrowid(int32_t t, int32_t rowid) {
  bm_p(bm_dbs->seqsem);
  int i = find_pair(t, rowid);
  bm_v(bm_dbs->seqsem);
  return i >= 0 ? 1 : 0;
}

void bm_tabreset() { bm_dbs->tabmark = 0; }
