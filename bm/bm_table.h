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

// A column descriptor in process memory: among its fields, in this order, the type code (the
// stored value forms of the value dump; 9 date and time and 10 interval carry their qualifier
// in subtype), the scale of a decimal, the date/time or interval qualifier, the offset of the
// value within the row and the column length (the precision of a decimal). Filled by the
// caller or read from the table's column-descriptor pages; read by the value dump (ad_dump.h).
struct coldesc {
  int8_t type;
  int8_t scale;
  int8_t subtype;
  int16_t offset;
  int16_t length;
};
static_assert(std::is_standard_layout_v<coldesc>);
static_assert(offsetof(coldesc, type) == 0 && offsetof(coldesc, scale) == 1 && offsetof(coldesc, subtype) == 2);
static_assert(offsetof(coldesc, offset) == 4 && offsetof(coldesc, length) == 6 && sizeof(coldesc) == 8);
