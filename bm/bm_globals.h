// bm_globals.h: the process-local state of the buffer manager.
//
// One set per process, owned by the module named beside each; nothing here lives in the
// segment. iserrno (the error code of the last failing operation) and term_req (the stop flag)
// are kept lower down, in ba/globals.h.
//
// See also: shmstruct.h (the segment), bm_proto.h (the operations).
#pragma once

#include <cstdint>

#include "bm/shmstruct.h"

// The attached DBS header; null before the attach succeeded (bm_init).
extern dbshead *bm_dbs;
// The own user slot; null before registration (bm_usrin). While it is null every wait
// marking and every per-user counter is skipped.
extern userslot *bm_myslot;
// The own process id, taken at attach; stored into a held semaphore's owner.
extern int bm_mypid;
// The own user index (the own System V semaphore number); 1000000 while attached but not
// registered.
extern int bm_myuindex;
// Page numbers that this process created with ST_NEW in the current action (growable vector).
extern int32_t *bm_newpages;
extern int bm_nnewpages;
// Open device descriptors, indexed by a partition's fdslot - 1; -1 = not yet opened
// (growable vector).
extern int *bm_fdtab;
extern int bm_nfdtab;
// Recovery switch: while set, bm_saveimg takes no before images (the recovery that restores
// them runs). Set only by the recovery, which lies outside this system; 0 here.
extern int bm_recovery;
