// bm_arch.h: archive marking: the archive buffer of the segment and the copies stored into it.
//
// While an archive run copies the DBS (archflags AR_ACTIVE, set by the archiver, a program
// outside this system), bm_getpage hands the contents a page had before its first fix in the
// copying phase (AR_COPYPHASE) to bm_archpage, which keeps the first copy of each page of the
// run in the archive buffer (archbuf, archmax slots of a page, -1 = free slot) for the archiver.
//
// Contracts: needs an attached segment; takes archsem (and memsem inside it, to allocate the
// buffer on first need), so the caller must hold no list semaphore.
//
// See also: bm_main.h (bm_getpage takes the copies), bm_mem.h (the arena), shmstruct.h
// (archflags, archbuf, archmax, narch, archsem).
#pragma once

#include <cstdint>

// Stores copy (a page image of PAGESIZE bytes, private to the caller) in a free slot of the
// archive buffer, unless archiving is not active or the run holds a copy of that page already
// (both: 0, nothing stored). Allocates the buffer from the arena on first need (all slots
// free). While no slot is free it waits, marked 'B' with 0, re-checking every second.
// 0, or -1 with iserrno: ER_NOSHMEM (-397) no arena space for the buffer, ER_STOPREQ (-406)
// the stop flag term_req was set while waiting.
int bm_archpage(const void *copy);
