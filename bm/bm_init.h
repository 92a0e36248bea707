// bm_init.h: attaching the DBS segment and binding the buffer manager of the process to it.
//
// The segment is created and filled by the DBS server; a process of this system only finds it
// by its key, attaches it at the address its creator used, checks that it really is a DBS
// segment of that key, and then binds its modules to it. Called once per process, before
// anything else of the buffer manager. Failures leave the reason in iserrno:
//   the system error number   shmget or shmat failed (no segment: the DBS is not running)
//   EACCES                    run set-user-id, and the segment's owner or creator is neither
//                             root nor the user tolv; or (bm_init) the header's semaphore set
//                             is not the set of the key, or not root's or tolv's (logged)
//   -376                      an address was requested and the segment was attached elsewhere
//   -343                      the attach address differs from dbshead.shmaddr (bm_init also
//                             checks it, after magic and key, when an address was requested)
//   -355                      dbshead.magic is wrong
//   -356                      dbshead.shmkey differs from the key used
//
// See also: bm_user.h (registration, the next step), shmstruct.h (the header checked).
#pragma once

#include "bm/shmstruct.h"

// bm_myuindex after a successful bm_init: attached, not registered.
constexpr int US_ATTACHED = 1000000;

// Looks the segment of key up and attaches it at addr (0: anywhere). 0 and bm_dbs set, or -1
// with iserrno set.
int ba_shmat(int key, unsigned long addr);
// ba_shmat, the header checks, and the binding of page I/O, logical log, shared allocator,
// tables and user slots to the header, in that order. The header, or null with iserrno set.
// After a failed check the segment stays attached but must not be used.
dbshead *bm_init(int key, unsigned long addr);
// Binds the modules of the process to an attached, checked header: page I/O, logical log,
// shared allocator, tables and user slots, in that order; then bm_myuindex is US_ATTACHED.
void bm_bind(dbshead *header);
// Detaches the segment at bm_dbs; the system call's result.
int bm_shmdt();
