// pool.h: test support for the buffer pool: what a flush pass does, done by hand.
//
// Tests of the stand-in and of the programs need dirty buffers made clean the way the flush
// daemon does it, without depending on the daemon: under the list semaphore BF_DIRTY is
// cleared and BF_FLUSHING set, the page is written to its partition after the release, then
// BF_FLUSHING is cleared. REQUIRES: bm_dbs and bm_mypid set (Segment::create, or an attach).
//
// See also: tools/srv_pool.h (touch and verify), tools/srv_layout.h (page addressing).
#pragma once

#include "bm/shmstruct.h"

namespace tolvtest {

// Writes back every dirty, unfixed buffer of every list. Returns the number of pages written,
// or -1 when a write failed (that buffer keeps BF_FLUSHING).
int flush_dirty();

// Writes page image to the disk position of page (behind the buffer pool's back). 0 or -1.
int write_page(int32_t page, const unsigned char *image);
// Reads the disk copy of page. 0 or -1.
int read_page(int32_t page, unsigned char *image);

}  // namespace tolvtest
