// srv_layout.h: where the DBS server stand-in puts the fixed pages of a DBS, and which pages
// are therefore reserved.
//
// Every dbspace d begins with its head pages (page numbers within the dbspace):
//   0        in dbspace 0 the DBS root page (written by the checkpoint); unused elsewhere
//   1        the first free-page bitmap page
//   2        the table map page
//   3 ..     the further bitmap pages of the chain, one per 16096 pages of the dbspace
// so the head is pages 0 .. srv_headpages(npages) - 1. Dbspace 0 also holds the log area
// (lognfiles files of logfilepages pages from lc_first) and the before-image area (bifirst ..
// bilast); the stand-in's sizing puts them right behind the head pages, but srv_areas takes
// them wherever a geometry or a segment records them. Every other page is free for data.
//
// Free-page bitmap page (bitmap number c of the chain covers the pages 16096 c .. 16096 c +
// 16095 of its dbspace):
//   0 pagenr | 8 next bitmap page number, -1 at the last | 24 pagetype PT_BITMAP |
//   32 .. 2043 the bitmap: page k is bit 0x80 >> (k mod 8) of byte k / 8; set = in use
// Table map page: 0 pagenr | 8 and 12 -1 (next map page, none) | 24 pagetype PT_TABMAP |
//   32 + 5 i: entry i of 402: i32 big-endian root page (-1 free), u8 flag
//
// See also: srv_format.h (writes these pages), srv_pool.h (refuses to touch reserved pages),
// bm/bm_io.h (page addressing onto the partitions).
#pragma once

#include <cstdint>

#include "bm/shmstruct.h"
#include "tools/srv_create.h"

constexpr int32_t BMP_PAGES = 16096;  // pages one bitmap page covers
constexpr int BMP_NEXT = 8;           // i32 page number of the next bitmap page, -1 last
constexpr int BMP_BITS = PH_DATA;     // first bitmap byte
constexpr int BMP_BYTES = 2012;       // bitmap bytes
static_assert(BMP_BYTES * 8 == BMP_PAGES && BMP_BITS + BMP_BYTES == PH_BISEQ2);

// The page type of a bitmap page is the stand-in's choice: above the data page range, so that
// page requests take no local image of it (its changes within an action are undone by giving
// the extents back, not by restoring an image), like the table map and the log pages.
constexpr int32_t PT_BITMAP = 0x10000;

constexpr int32_t TM_FIRST = 2;  // page of the first table map page in every dbspace
constexpr int TM_NEXT = 8;       // i32 next map page, -1 none
constexpr int TM_WORD12 = 12;    // i32, -1 on a new map page
constexpr int TM_ENTRIES = 402;  // entries per map page
constexpr int TM_ENTRYLEN = 5;   // i32 big-endian root page, u8 flag
static_assert(TM_ENTRIES * TM_ENTRYLEN <= BMP_BYTES);

constexpr int32_t ROOTPAGE = 0;              // page 0 of a dbspace: the DBS root page in dbspace 0
constexpr int32_t BI_CLEANSEQ = 0x7fffffff;  // biseq of the before-image area's cleaning page

// Page number of page k of dbspace d, and the parts of a page number.
inline int32_t srv_pagenr(int d, int32_t k) {
  return static_cast<int32_t>(static_cast<uint32_t>(d) << PN_SPACESHIFT) | k;
}
inline int srv_spaceof(int32_t page) {
  return static_cast<int>(static_cast<uint32_t>(page) >> PN_SPACESHIFT);
}
inline int32_t srv_pageof(int32_t page) { return page & PN_PAGEMASK; }

// Bitmap pages of a dbspace of npages pages (at least one).
int srv_nbitmaps(int32_t npages);
// Page within the dbspace of bitmap page c of the chain.
int32_t srv_bitmappage(int c);
// Head pages of a dbspace of npages pages: root, bitmaps, table map.
int32_t srv_headpages(int32_t npages);

// The reserved ranges of one dbspace, pages within the dbspace; a range [first, end) is empty
// when the area lies in another dbspace.
struct srv_areas {
  int space = 0;
  int32_t npages = 0;
  int32_t headpages = 0;
  int32_t logfirst = 0, logend = 0;  // the log area
  int32_t bifirst = 0, biend = 0;    // the before-image area

  // What page k of the dbspace is reserved for, as a phrase ("is the DBS root page", "lies in
  // the log area", ...), or null when it is free for data. REQUIRES: 0 <= k < npages.
  const char *reserved(int32_t k) const;
};
srv_areas srv_spaceareas(const srv_geometry &g, int space);
srv_areas srv_spaceareas(const dbshead *h, int space);
