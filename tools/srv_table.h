// srv_table.h: the stand-in's tables, formatted and used the way the server would: a map entry
// through bm_maptabid, a root page, column-descriptor pages and data pages in one extent from
// bm_allocext, all written in one update action through page requests.
//
// A table of n columns takes one extent of dbspace 0 (recorded in extent list 2 of its root):
//   r            root page (type PT_TABROOT | 1): column count, table id, identities 0 and 0,
//                name, the extent
//   r+1, r+2     reserved (zero)
//   r+3 ..       column-descriptor pages, TB_COLSPERPAGE descriptors each
//   after them   SRV_DATAPAGES data pages (page type 1): big-endian i32 row count at data
//                offset 0, then the rows, each srv_rowlen bytes, from data offset 4
// Columns cycle through the stored forms an administrator meets most (SRV_COLTYPES): integer,
// characters (SRV_CHARLEN), decimal (SRV_DECPREC, SRV_DECSCALE), date, small integer.
//
// Contracts: the caller has attached the DBS (bm_init binds the table descriptors) and
// registered (bm_usrin). Results are srv_result codes; why receives the reason of a failure,
// with the error text and number of the operation that refused.
//
// See also: bm/bm_table.h (table handles and formats), bm/bm_free.h (extents), flush/ad_dump.h
// (the row printer), tolvdb.cc (the table and free commands).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bm/bm_table.h"

constexpr int SRV_DATAPAGES = 8;
constexpr int SRV_CHARLEN = 12;
constexpr int SRV_DECPREC = 10;
constexpr int SRV_DECSCALE = 2;
constexpr int SRV_MAXCOLS = 1000;  // the column count table create accepts

// The descriptor of column i (from 0) of a stand-in table whose earlier columns end at offset.
coldesc srv_column(int i, int offset);
// The bytes one row of the column list cols takes.
int srv_rowlen(const std::vector<coldesc> &cols);

// Creates table name (1 to TB_NAMELEN bytes) with ncols columns (1 .. SRV_MAXCOLS)
// in dbspace 0; *tabid receives its table id.
int srv_tablecreate(const char *name, int ncols, int32_t *tabid, std::string *why);
// Prints the loaded descriptor of table tabid: a line of the table, a line per column.
int srv_tableshow(FILE *out, int32_t tabid, std::string *why);
// Appends one row made of the text values (one per column: integers in decimal, characters as
// they are, decimals as "-12.5", dates under the date format) to the first data page with room.
int srv_tableinsert(int32_t tabid, const std::vector<std::string> &values, std::string *why);
// Prints every row of the table's data pages through ad_dumprow (delim 0: fixed-width columns).
int srv_tabledump(FILE *out, int32_t tabid, int delim, std::string *why);
// Prints the free page count of every dbspace: "dbspace NAME: F free of N pages".
int srv_freepages(FILE *out, std::string *why);
