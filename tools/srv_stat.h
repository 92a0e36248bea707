// srv_stat.h: the stand-in's report of a running DBS: header state, statistics counters, the
// buffer lists and the registered users.
//
// The report takes no semaphore: it is the administrator's look at a DBS that may be stuck (a
// process that died holding a list semaphore must not stop the report), so its numbers are a
// snapshot of fields that may change while they are read. Text fields of the segment are
// printed bounded by their field sizes, whatever bytes they hold.
//
// Output, one block after the other:
//   state 1 (online), stamp 1733612345, flushpct 10, key 4711 at 0x40000000
//   reads 0 requests 3 writes 2 log writes 0 hits 1 before-image writes 0
//   naps: nofree 0 biwait 0 savewait 0 readwait 0 transit 0 flushwait 0 archwait 0
//   before images: 3 of 16 in the buffer, next batch at page 40 of 30..61, bitab 13 of 32 in
//   use, sequence 14, image writer 2                                       (one line)
//   archive: flags 0x5, 4 of 4 slots, 2 copies stored
//   log: file 0 of 3, log id 1, page 1, 0 bytes; ckptrun 0 ckptflags 0x0
//   list  buffers  used dirty fixed flushing  holder
//      0       64     3     1     0        0       -
//   slot     pid program        flags   wait          seen login               tty        host
//      0    4321 TOLVFLUSH      0x0004  S 17    1733612345 2024-12-07 23:05:01 -          local
// The holder column is the pid of the process holding the list semaphore, "-" when it is free;
// the wait column is the wait kind and its object while US_WAITING is set, "-" otherwise.
//
// See also: bm/shmstruct.h (the fields shown).
#pragma once

#include <cstdio>

#include "bm/shmstruct.h"

// Writes the report of the DBS at h to out.
void srv_stat(FILE *out, const dbshead *h);
