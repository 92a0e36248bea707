// bm_table: table handles; the binding of the process to the shared table descriptors.
//
// Principal entry points: bm_tabinit (called by the attach step), bm_tables.
//
// Process-local state: the address of the descriptor array.
//
// See also: bm_table.h, shmstruct.h (tabdesc).
#include "bm/bm_table.h"

#include "bm/bm_globals.h"

namespace {

tabdesc *tabs;  // the descriptor array of the attached header

}  // namespace

void bm_tabinit() {
  tabs = bm_dbs->tables;
}

tabdesc *bm_tables() { return tabs; }
