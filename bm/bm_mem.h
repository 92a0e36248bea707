// bm_mem.h: the shared allocation arena of the segment.
//
// Structures that must be created while the DBS runs and be visible to all its processes
// (local-image blocks, table descriptors' data, the archive buffer) are carved from one arena
// in the segment: a best-fit allocator with its descriptor table at the low end and the data
// growing down from the high end (arenahdr, blockdesc in shmstruct.h). dbshead.mem holds the
// arena's address and memlimit, the bound of a request.
//
// Contracts:
//  - bm_membind binds the process to the attached header (bm_init does it); bm_malloc, bm_free,
//    bm_rszvek and bm_memlock need it and an attached segment (bm_dbs, for memsem).
//  - Every operation runs under memsem, which is taken only while no buffer-list semaphore is
//    held. Blocks are cleared after memsem is released, on memory the caller already owns.
//  - Failures: a null result and iserrno ER_NOSHMEM (-397). Messages go to the DBS message log
//    through bm_logerr.
//
// See also: shmstruct.h (arenahdr, blockdesc, memctl), bm_sema.h (memsem).
#pragma once

#include "bm/shmstruct.h"

// Lays out an arena of size bytes at arena: every byte cleared, the descriptor table right
// behind the header and empty, nothing carved. Used by whoever creates the segment; takes no
// lock. REQUIRES: size >= sizeof(arenahdr), arena below 4 GiB.
arenahdr *bm_meminit(void *arena, int size);

// Keeps the address of h->mem for the operations below.
void bm_membind(dbshead *h);

// A zero-filled block of at least n bytes (rounded up to a multiple of 4, at least 4), or null
// with iserrno ER_NOSHMEM: when n + 32 is not below memlimit (logged as "bm_malloc: requested
// size %d > %d\n"), when n is negative, when no descriptor can be had, or when no free block
// fits and the unallocated space is too small.
void *bm_malloc(int n);
// Gives back the block at a, merging it with free neighbours at higher addresses. An address
// that no allocated block holds (never allocated, already freed, null) is logged as "bm_free:
// address 0x%08x not allocated\n" and changes nothing.
void bm_free(void *a);
// Grows the array at *(T **)vecptr, which holds n elements of s bytes, by one zero-filled
// element, moving it to a new block; with *vecptr null it allocates one element. 0, or -1 (the
// old array is then unchanged). REQUIRES: vecptr is the address of a process pointer variable
// holding null or a block of this arena.
int bm_rszvek(void *vecptr, int n, int s);
// Waits until no allocation is in progress: takes and releases memsem.
void bm_memlock();
