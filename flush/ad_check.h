// ad_check.h: the ad_check module: the flush pass over one buffer list (here), the checkpoint
// (ad_ckpt.h) and the value dump (ad_dump.h), whose headers this one includes.
//
// The daemon calls ad_flush for every list once a second with the DBS's flush percentage; a
// checkpoint calls it with -1 to write everything.
#pragma once

#include "bm/shmstruct.h"
#include "flush/ad_ckpt.h"
#include "flush/ad_dump.h"

// pct value that examines the whole list.
constexpr int AD_ALLBUFFERS = -1;

// Writes the dirty, unfixed buffers among the examined share of list home: pct percent of the
// list counted from its least recently used end (-1: all). Holds list->sema only while it
// collects and marks the buffers (no I/O), then writes each with bm_savepage, which first waits
// for the page's before image. Failures go to the DBS message log; a buffer whose write failed
// is dirty again, so that a later pass retries it.
// REQUIRES: no list semaphore held by the caller.
void ad_flush(buflist *list, int pct);

// Figures of the flush passes of this process since it started, for the daemon's status
// record (ad_status.h): ad_flush counts every collected buffer once, as written or as failed.
struct adcounters {
  int64_t written = 0;
  int64_t failures = 0;
};
extern adcounters ad_counters;
