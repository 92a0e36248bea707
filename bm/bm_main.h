// bm_main.h: page requests: finding or assigning the buffer of a page, fixing it, and the
// bookkeeping of the buffer lists (sorted index, LRU chain, victims), local images and the
// pages created in the current action.
//
// bm_getpage is the one way any process obtains a page; every successful bm_getpage is matched
// by one bm_unfix of the returned buffer. The page of number p lives in list
// lists[(p >> 3) mod nlists]; inside a list a buffer is found through its sorted index, and
// the chain head .. tail orders the buffers by last use.
//
// Buffer states and who moves a buffer between them (flags of shmstruct.h):
//   unused (pagenr -1) --assignment (bm_getpage)--> being read (BF_READING, pinned)
//   being read --end of the read (bm_getpage)--> clean;  a failed read --> unused again
//   clean --fix for update (bm_getpage)--> dirty --flush pass--> being flushed --> clean
//   dirty, chosen as victim --assignment--> old contents pending (BF_SAVEOLD, the assigning
//     user's transit names the old page) --the old contents written (bm_getpage)--> new page
//   fixed (fixcnt > 0): bm_fix / bm_unfix, under the buffer's own semaphore
//
// Contracts:
//  - Needs an attached segment (bm_dbs). bm_getpage needs a user slot (bm_myslot); without one
//    it refuses (ER_NOSLOT) instead of working with a missing transit and wait record.
//  - Lock order: a list semaphore before a buffer semaphore. bm_getpage holds the list
//    semaphore from the lookup to the assignment and across its waits (read-in, transit,
//    flush, replaceable buffer), never across I/O, imgsem, memsem or archsem. bm_unfix and
//    bm_fix take only the buffer semaphore.
//  - bm_pageindex, bm_updatebor and bm_victim REQUIRE the list semaphore.
//  - Failures: null or -1 with iserrno as listed at each operation; messages go to the DBS
//    message log ("Cannot save local image\n" through bm_logmsg, all others through bm_logerr).
//
// See also: bm_image.h (before and local images), bm_arch.h (archive copies), bm_io.h
// (bm_pread, bm_savepage), shmstruct.h (buflist, pagebuf), flush/ (the flush pass).
#pragma once

#include <cstdint>

#include "bm/shmstruct.h"

// Naps and limits of the waits of bm_getpage.
constexpr int GP_READWAITS = 3000;     // naps of 1 ms waiting for a page being read (8771)
constexpr int GP_TRANSITWAITS = 20000; // naps of 1 ms waiting for a page in transit (8772)
constexpr int GP_VICTIMRETRIES = 60;   // one-second sleeps for a replaceable buffer, plus one
constexpr int GP_SAVERETRYMS = 1000;   // nap between attempts to write replaced old contents

// The buffer list that holds page pagenr: lists[(pagenr >> 3) mod nlists].
buflist *bm_pagelist(int32_t pagenr);

// Finds or assigns the buffer of page pagenr, fixes it and returns it (its page image starts at
// the buffer's address), or null with iserrno:
//  ER_BADPAGE (-353) bad page number (negative; page 0 from another program than "RIZAREVI" or
//  "TOLVDB"; outside the dbspaces), ER_NOACTION (-8312) ST_UPDATE without US_ACTION,
//  ER_NOSLOT (-329) the process is not registered, ER_NOTUSABLE (8771) the page stayed being
//  read for more than 3000 naps, ER_NOTSAVED (8772) another user kept it in transit for more
//  than 20000 naps, ER_FIXCNT (-323) fix count not positive, ER_NOBUFFER (-333) no replaceable
//  buffer after 61 one-second sleeps, ER_BADINDEX (-335) sorted index inconsistent,
//  ER_PAGEMISMATCH (-317) the page read carries another number, ER_NOMEM (-316) bm_newpages
//  cannot grow, or the codes of the read (bm_pread), the before image (bm_saveimg), the local
//  image and the archive copy (bm_archpage).
// state: ST_UPDATE, ST_NEW, ST_LOWBUF, ST_ANYPAGE (other bits ignored). hint: a buffer the
// caller believes holds the page, or null. REQUIRES: no list semaphore held.
pagebuf *bm_getpage(int32_t pagenr, int state, pagebuf *hint);
// Releases one fix of b (fixcnt - 1 under b's semaphore).
void bm_unfix(pagebuf *b);
// Adds one fix to b (fixcnt + 1 under b's semaphore).
void bm_fix(pagebuf *b);

// Position of page pagenr in l's index (binary search), or -1 with iserrno ER_BADINDEX and
// "bm_pageindex: page %d not found\n" logged. REQUIRES: l's semaphore.
int bm_pageindex(buflist *l, int32_t pagenr);
// Moves b within l's index from its current page number to newpage (b's pagenr itself is not
// changed). 0, or -1 with iserrno ER_BADINDEX when b is not in the index under its current page
// number (the index is then unchanged). REQUIRES: l's semaphore.
int bm_updatebor(buflist *l, int32_t newpage, pagebuf *b);
// A replaceable buffer of l moved to the tail of the chain: unfixed, none of BF_LOCIMG,
// BF_READING, BF_SAVEOLD, BF_FLUSHING, not the tail buffer, and with restricted not above
// l's lowlimit. Sleeps one second at a time, marked 'P', while there is none; null with
// iserrno ER_NOBUFFER after the 61st sleep. REQUIRES: l's semaphore (held while sleeping).
pagebuf *bm_victim(buflist *l, int restricted);
// Stores the local image of b's page for the current action in the own slot's locimg (a free
// block, a new block, or a grown array). 0 (also when BF_LOCIMG is set already), or -1 with
// "Cannot save local image\n" logged. REQUIRES: registered, no list semaphore held.
int bm_locimg(pagebuf *b);
// 1 when page pagenr is in bm_newpages, else 0.
int bm_isnew(int32_t pagenr);
// Clears BF_NEW in every buffer of every page of bm_newpages (each list under its semaphore),
// then empties bm_newpages. Called at action end and abort.
void bm_clrnew();
// The header's dbsstamp, or 1 when no segment is attached.
int32_t bm_getstamp();
