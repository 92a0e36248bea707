// bm_table.h: table handles: table ids, the table map, the shared table descriptors, and the
// rowid registry.
//
// The descriptors (dbshead.tables, ntables of them) are shared by every process of the DBS, so
// a table is loaded from disk once and stays loaded until its descriptor is needed for another
// table. A table id holds the dbspace in its top 8 bits and the table's entry number in the
// table map of that dbspace (tabslot) in its low 24 bits.
//
// On-disk formats (integers big-endian; data offsets from PH_DATA):
//  - Table map page: page 2 of each dbspace, chained through header word TM_NEXTPAGE (-1 ends);
//    TB_MAPENTRIES entries of 5 bytes: i32 root page (-1 free, other negatives reserved), u8
//    flag (0 none, 1 reserved, 2 assigned with mode 0x10).
//  - Root page: page type with PT_TABROOT; the fields loaded are listed in bm_tabload.cc; key k
//    at TB_KEYS + 40 k; extent lists of 6-byte entries (i32 page, u16 count) at TB_EXT1 and
//    TB_EXT2, at most TB_MAXEXT entries each.
//  - Column-descriptor pages r + 3, r + 4, ...: TB_COLSPERPAGE descriptors of 7 bytes: i16
//    offset, i16 length, 1 byte not read, i8 scale, i8 stored type code.
//
// Contracts:
//  - Needs an attached segment (bm_dbs) bound by bm_tabinit, and a user slot (bm_myslot) for
//    the operations that fetch pages or register an open.
//  - Semaphores: descriptors and usage records under tabsem (bm_opentable, bm_close,
//    bm_gettabval, bm_settabval); the table map under mapsem (bm_maptabid, which calls
//    bm_rmtable holding only mapsem); the rowid registry under seqsem. bm_rmtable,
//    bm_mytabdata and bm_keycols REQUIRE the caller to hold what it needs. No page is fixed
//    while a semaphore other than these is held.
//  - Failures: null or -1 with iserrno as listed at each operation; messages go to the DBS
//    message log through bm_logerr.
//
// See also: shmstruct.h (tabdesc, tabuse, keydesc; their locks), bm_free.h (map pages come from
// bm_allocext), bm_shm.h (actions take the table lock), bm_sema.h (bm_tp).
#pragma once

#include <cstdint>

#include "bm/shmstruct.h"

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

// Table map pages.
constexpr int32_t TB_MAPPAGE = 2;      // first map page within every dbspace
constexpr int TM_NEXTPAGE = 8;         // header word: next map page, -1 none
constexpr int TM_HEADWORD = 12;        // header word set to -1 on a new map page
constexpr int TB_MAPENTRIES = 402;     // entries per map page
constexpr int TB_MAPENTRY = 5;         // i32 root page, u8 flag
static_assert(TB_MAPENTRIES * TB_MAPENTRY <= PH_BISEQ2 - PH_DATA);
// Map entry flags.
constexpr unsigned char TM_NONE = 0;
constexpr unsigned char TM_RESERVED = 1;
constexpr unsigned char TM_ASSIGNED = 2;
// Modes of bm_maptabid.
constexpr int TM_LOOKUP = 0x01;
constexpr int TM_ASSIGN = 0x02;
constexpr int TM_REMOVE = 0x04;
constexpr int TM_SET = 0x08;
constexpr int TM_MARKED = 0x10;   // assign with flag 2; look up reports a reserved entry as -367

// Root page layout (data offsets).
constexpr int TB_NAMELEN = 18;     // name bytes on the root page
constexpr int TB_KEYS = 0x80;      // key k at TB_KEYS + TB_KEYLEN * k
constexpr int TB_KEYLEN = 40;      // 16 i16 column numbers, i16 attribute at 34, i32 value at 36
constexpr int TB_KEYATTR = 34;
constexpr int TB_KEYVALUE = 36;
constexpr int TB_EXT1 = 0x3a0;     // extent list 1
constexpr int TB_EXT2 = 0x5bc;     // extent list 2
constexpr int TB_EXTLEN = 6;       // i32 page, u16 count
constexpr int TB_MAXEXT = 90;      // entries per extent list on the root page
static_assert(TB_KEYS + TB_KEYLEN * TD_MAXKEYS == TB_EXT1);
static_assert(TB_EXT1 + TB_EXTLEN * TB_MAXEXT == TB_EXT2);
static_assert(TB_EXT2 + TB_EXTLEN * TB_MAXEXT <= PH_BISEQ2 - PH_DATA);

// Column-descriptor pages.
constexpr int TB_COLPAGE = 3;        // first column page: root + 3
constexpr int TB_COLSPERPAGE = 287;
constexpr int TB_COLLEN = 7;
static_assert(TB_COLSPERPAGE * TB_COLLEN <= PH_BISEQ2 - PH_DATA);

// Limits of the per-table arrays td_keyuse and td_loboffs.
constexpr int TD_MAXSPECIAL = 20;

// Open flags of bm_opentable.
constexpr int TO_EXCL = 0x1;      // exclusive open
constexpr int TO_NOROOTMSG = 0x200;  // no message when the page is no table root page
constexpr int TO_CLEARED = 0x3;   // bits cleared from td_flags when an open finds the table

// Binds the descriptor array of the attached header (bm_dbs->tables). REQUIRES: bm_dbs.
void bm_tabinit();
// The descriptor array bound by bm_tabinit; null before.
tabdesc *bm_tables();

// Opens table t: finds its descriptor (the last opened first) or loads it into a free one (or
// into one nobody has open, whose table is removed first), and registers the open for the own
// user slot. cd: the table's column descriptors, or null to read them from disk. Identities
// i1, i2 must match the table's unless i2 is -1 or t < 2. The descriptor, or null with
// iserrno: ER_EXCLOPEN (-306), ER_TABLOCKED (-313), ER_TABID (-366; a loaded descriptor stays
// loaded), ER_NOTABDESC (-304), ER_TABREMOVE (-407), ER_NOROOT (-365: not a root page, or one
// whose contents are out of range), ER_NOSLOT (-329: not registered), or the codes of
// bm_maptabid, bm_getpage, bm_malloc and the column pages.
tabdesc *bm_opentable(int32_t t, coldesc *cd, int f, int32_t i1, int32_t i2);
// Closes one open of td by the own user slot; a second close logs "bm_close: table %d already
// closed\n" and changes nothing. The descriptor stays loaded.
void bm_close(tabdesc *td);
// Frees the descriptor of table t and gives back its memory. 0, or -1 with "bm_rmtable: Page
// %d not found!\n" logged. REQUIRES: tabsem (or, from bm_maptabid, mapsem).
int bm_rmtable(int32_t t);
// Loads td from the root page data (the page's data area) of root page root. cd: the column
// descriptors, or null to read them. 0, or -1 with iserrno: ER_NOMEM (-316), ER_NOROOT (-365)
// for counts, column numbers or special columns out of range, or the code of bm_malloc or of
// the column pages (what was allocated stays attached to td). REQUIRES: tabsem.
int bm_mytabdata(tabdesc *td, const unsigned char *data, const coldesc *cd, int32_t root);
// Fills offset, length, type and subtype of the parts of key kd (key number k of td) from the
// column descriptors cd (td_ncols of them). REQUIRES: every part's column within td_ncols.
void bm_keycols(const tabdesc *td, keydesc *kd, const coldesc *cd, int k);
// Reads n column descriptors of the table with root page root into cd. 0, or -1 with the
// iserrno of the failed page fetch.
int bm_readcoldesc(int32_t root, coldesc *cd, int n);
// The key length of a column: its length, or for a packed decimal (types 3 and -1) of
// precision p and scale s, ceil((p - s) / 2) + ceil(s / 2) + 1, plus 1 when s is not 0.
int bm_keylen(const coldesc &c);
// Works on the map entry of table t (or, with t -1, the first free entry of dbspace s) with the
// mode bits TM_*: assign (result: the table id), set (v), look up (result: the root page),
// remove (result: the stored value). -1 with iserrno: ER_MAPINUSE (-325), ER_TABID (-366),
// ER_TABRESERVED (-367), or the codes of bm_getpage and bm_allocext.
int32_t bm_maptabid(int s, int32_t v, int32_t t, int m);
// td_value of table t; -3 when the identities do not match; -1 when t has no descriptor.
int32_t bm_gettabval(int32_t t, int32_t i1, int32_t i2);
// Sets td_value of table t when it has a descriptor.
void bm_settabval(int32_t t, int32_t v);
// Registers (t, rowid): 0, or -1 when it is registered already or no pair is free.
int bm_setrowid(int32_t t, int32_t rowid);
// Frees the pair (t, rowid); logs "bm_freerowid: Rowid %d not found\n" when it is not there.
void bm_freerowid(int32_t t, int32_t rowid);
// 1 when (t, rowid) is registered, else 0.
int bm_isrowid(int32_t t, int32_t rowid);
// Sets the header word tabmark to 0.
void bm_tabreset();
