// srv_watch.h: looking at a running DBS without the right to change it: the read-only attach
// of tolvdb's monitoring commands, and the per-interval rates of `tolvdb stat --watch`.
//
// The segment is created with group tolv and mode 0640 (srv_create.h), so members of the group
// may map it read-only: they see everything tolvdb stat shows and can change nothing (a store
// into the mapping faults). A read-only view is never bound to the buffer manager: its modules
// would write into the segment.
//
// The rate lines of srv_watch, one per interval, after a header line:
//   time       read/s written/s flushwait/s biwait/s nofree/s  dirty
//   04:12:33      0.0      12.0         0.0      0.0      0.0    120
// read/s and written/s are pages read from and written to the partitions by every process of
// the DBS; flushwait, biwait and nofree are the naps spent waiting for a page being flushed,
// for room in the before-image buffer and for a replaceable buffer (dbshead.st_* counters,
// approximate by design); dirty is the number of dirty buffers at the end of the interval.
//
// See also: srv_stat.h (the full report), srv_create.h (the segment's mode).
#pragma once

#include <cstdint>
#include <cstdio>

#include "bm/shmstruct.h"

// Attaches the DBS segment of key read-only at the address its header records and checks its
// magic and key; *head receives the header. SRV_OK, SRV_SHMGET, SRV_SHMAT or SRV_NOTDBS, with
// errno of the failed call.
int srv_attachview(int key, const dbshead **head);

// The counters whose per-second rates srv_watch shows, as read at one moment.
struct srv_counters {
  uint32_t reads = 0, writes = 0, flushwait = 0, biwait = 0, nofree = 0;
};
srv_counters srv_snapshot(const dbshead *h);
// The rates between two snapshots taken seconds apart. Counters are 32 bits and may wrap
// between the snapshots; the difference is taken modulo 2^32.
struct srv_rates {
  double reads, writes, flushwait, biwait, nofree;
};
srv_rates srv_ratesof(const srv_counters &a, const srv_counters &b, double seconds);

// Writes the header line, then every `seconds` seconds one rate line, until `count` lines are
// written (count 0: no bound) or term_req is set by a signal. Returns the number of lines.
// REQUIRES: seconds >= 1.
int srv_watch(FILE *out, const dbshead *h, int seconds, int count);
