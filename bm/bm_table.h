// bm_table.h: table handles: the shared table descriptors of the DBS.
//
// The descriptors (dbshead.tables, ntables of them) are shared by every process of the DBS, so
// a table is loaded from disk once and stays loaded until its descriptor is needed for another
// table. This module binds the process to the descriptor array at attach.
//
// See also: shmstruct.h (tabdesc, tabuse; descriptors under tabsem).
#pragma once

#include "bm/shmstruct.h"

// Binds the descriptor array of the attached header (bm_dbs->tables). REQUIRES: bm_dbs.
void bm_tabinit();
// The descriptor array bound by bm_tabinit; null before.
tabdesc *bm_tables();
