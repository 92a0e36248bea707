// bm_free.h: free-page bitmaps and the extents of an action.
//
// Every dbspace d keeps a chain of bitmap pages from page (d << 24) + 1; bitmap page c of the
// chain covers the pages FB_PAGES * c .. FB_PAGES * c + FB_PAGES - 1 of its dbspace, page k as
// bit 0x80 >> (k mod 8) of bitmap byte k / 8 (set = in use). Page layout:
//   0 pagenr | 8 FB_NEXT: page number of the next bitmap page, -1 at the last |
//   FB_BITS .. FB_BITS + FB_BYTES - 1: the bitmap
// Extents taken during an action are recorded in the own user slot (actext) so that an abort
// can give them back.
//
// Contracts:
//  - Needs an attached segment (bm_dbs) and a user slot (bm_myslot); allocation and release fix
//    bitmap pages with ST_UPDATE and therefore need an update action (US_ACTION).
//  - Lock order: freesem, taken before any bitmap page is fixed and released after the last one
//    is unfixed, then the list semaphores inside bm_getpage. The caller holds no list semaphore.
//  - Messages go to the DBS message log: "bm_droppage: page %d already freed\n" through
//    bm_logerr, the others through bm_logmsg.
//
// See also: bm_main.h (bm_getpage), bm_shm.h (action abort calls bm_undoext), bm_table.h (the
// table map allocates its pages here), tools/srv_layout.h (the stand-in formats the chain).
#pragma once

#include <cstdint>

#include "bm/shmstruct.h"

constexpr int32_t FB_FIRST = 1;     // page of the first bitmap page within every dbspace
constexpr int FB_NEXT = 8;          // header word: next bitmap page, -1 at the last
constexpr int FB_BITS = PH_DATA;    // first bitmap byte
constexpr int FB_BYTES = 2012;      // bitmap bytes per page
constexpr int32_t FB_PAGES = 16096; // pages one bitmap page covers
static_assert(FB_BYTES * 8 == FB_PAGES && FB_BITS + FB_BYTES == PH_BISEQ2);

// Takes the first run of n free pages of dbspace d in chain order: the free pages at the end of
// one bitmap byte followed by whole free bytes of the same bitmap page. Sets their bits and
// returns the first page number ((d << 24) + FB_PAGES * c + bit index), or -1 with iserrno:
// ER_NOEXTENT (-324) when no bitmap page of the chain holds such a run, ER_BADPAGE for a d
// beyond the dbspace bits of a page number, or the code of a failed bm_getpage. For n < 1 the
// start of the first run is returned and nothing is set. The extent is not recorded
// (bm_newextent does that).
int32_t bm_allocext(int d, int n);
// Records the extent (first, n) in the own slot's actext for an abort. The 181st extent of an
// action logs "bm_newextent: %d\n" with the count and is not recorded.
void bm_newextent(int32_t first, int n);
// Marks page (its low 24 bits) of dbspace d free. While archiving is active the page is fixed
// once first, so that its archive copy is taken before it can be reused. Failures are logged
// ("bm_droppage0: sp == NULL, iserrno = %d\n", "bm_droppage: sp == NULL, iserrno = %d\n",
// "bm_droppage: page %d not found\n", "bm_droppage: page %d already freed\n") and leave the
// bitmap as it was; iserrno is then 0. Always 0.
int bm_droppage(int d, int32_t page);
// bm_droppage for first .. first + n - 1: 0, or -1 at the first non-zero result.
int bm_dropext(int d, int32_t first, int n);
// Gives back every extent recorded in the own slot's actext and empties the list.
void bm_undoext();
// Free pages of dbspace d (its pages 0 .. npages - 1 whose bits are clear), or -1 with iserrno
// (ER_BADPAGE for a dbspace that does not exist, or the code of a failed bm_getpage).
int bm_freecount(int d);
