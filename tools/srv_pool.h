// srv_pool.h: the stand-in's work on the buffer pool: dirtying pages as a server process would,
// and comparing the buffered pages with their disk copies.
//
// Page contents written by srv_touch (an ordinary data page that is easy to recognise):
//   0 pagenr | 24 pagetype PT_STANDIN | 32 version | 36 pid of the writer |
//   40 .. 2039 a byte pattern of page number and version | 2040 checksum
// The version is a DBS-wide running number (bm_nextseq), so a page touched later carries a
// higher one; the checksum (FNV-1a over bytes 0 .. 2039) tells a whole page from a torn one.
// The page number word is only ever written with its final value (the sorted index of the
// page's list is searched by it while the page is fixed).
//
// srv_touch updates each page as a server process does: an update action of its own
// (bm_startea mode 2 .. bm_endea with a record of page number and version) around
// bm_getpage(ST_UPDATE, or ST_NEW | ST_UPDATE) and bm_unfix, so before images, local images,
// replacement and every wait are the buffer manager's. When no image writer runs (imgwriter
// -1) it runs a due checkpoint before each action and writes the before-image buffer after it.
// srv_verify copies a buffer under its list semaphore and reads the disk (bm_pread) after
// releasing it.
//
// REQUIRES for srv_touch: an attached and bound segment (bm_init) and a user slot (bm_usrin);
// for srv_verify the segment (a user slot makes its waits sleep instead of spinning).
//
// See also: srv_layout.h (reserved pages), flush/ (the daemon that cleans what srv_touch
// dirties), bm/bm_main.h (bm_getpage), srv_imgwriter.h (the image writer).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bm/shmstruct.h"

constexpr int32_t PT_STANDIN = 0x0100;  // page type of a touched page: an ordinary data page
constexpr int SP_VERSION = PH_DATA;
constexpr int SP_PID = PH_DATA + 4;
constexpr int SP_PATTERN = PH_DATA + 8;
constexpr int SP_CHECKSUM = PH_BISEQ2 - 4;
static_assert(PT_STANDIN <= PT_MAXDATA, "a touched page is an ordinary data page");

// Fills page with the contents srv_touch writes for pagenr in version.
void srv_fillpage(unsigned char *page, int32_t pagenr, int32_t version);
// The checksum of a page's bytes 0 .. SP_CHECKSUM - 1.
uint32_t srv_checksum(const unsigned char *page);
// True when page holds whole stand-in contents for pagenr: type, checksum and pattern.
bool srv_pageok(const unsigned char *page, int32_t pagenr);

// Checks that the count pages from first lie inside their dbspaces and are no reserved pages.
// SRV_OK, or SRV_BADPAGE with the first offending page named in why.
int srv_checkpages(const dbshead *h, int32_t first, int32_t count, std::string *why);

// Updates the count pages from first with new contents (create: as pages created anew, with
// ST_NEW), as a server would (above); the pages are checked with srv_checkpages first and
// nothing is touched when one is refused. SRV_OK; SRV_BADPAGE; SRV_IO when bm_getpage
// refused a page (why names it, its error text and number); SRV_STOPPED when the stop flag
// term_req was set (looked at before each page). The pages before a failure stay touched.
int srv_touch(int32_t first, int32_t count, bool create, std::string *why);

// What srv_verify found among the buffered pages.
struct srv_verifycounts {
  int buffered = 0;             // buffers holding a page
  int equal = 0;                // clean and equal to the disk copy
  int dirty = 0;                // dirty, being flushed, read or saved: not yet due on disk
  int differing = 0;            // clean but differing from the disk copy, or unreadable
  std::vector<int32_t> differ;  // the differing pages
};

// Compares every buffered page with its disk copy. A clean page that differs is looked at again
// a few times before it counts as differing, so a page that is dirtied and written between the
// copy and the read is not mistaken for a lost write. SRV_OK; SRV_IO when a page could not be
// read (it counts as differing; why names the first); SRV_STOPPED when the stop flag term_req
// was set (looked at before each buffer).
int srv_verify(srv_verifycounts *counts, std::string *why);
// The exit status of a verification: 1 when a clean page differs, else 2 when a page is
// still dirty, else 0.
int srv_verifystatus(const srv_verifycounts &counts);
