// bm_mem: the shared allocation arena: a best-fit allocator inside the segment.
//
// Principal entry points: bm_meminit (lay out an arena; the segment's creator), bm_membind
// (bind at attach), bm_malloc, bm_free, bm_rszvek, bm_memlock.
//
// Arena layout (arenahdr, blockdesc in shmstruct.h):
//   base: header (28 bytes) | descriptor table (ndesc x 20 bytes, grows up) | unallocated |
//   top: blocks, carved downward, lowest .. highest | base + size (the arena's end)
//
// Invariants (all under memsem):
//  (1) The blocks of the non-empty descriptors tile [top, end) without gaps, linked from
//      `lowest` upward through `above` (and back through `below`); `highest` is the block at the
//      highest address.
//  (2) The space between the end of the descriptor table and `top` is unallocated; the table
//      only grows, `top` only falls. A carve leaves room for one more descriptor behind the
//      table, so that a later split can still describe its rest.
//  (3) inuse = the sum of the sizes of the blocks with used 1.
//  (4) Every block is at least 4 bytes, so no two blocks share an address and an address
//      names at most one block.
//  (5) An empty descriptor (addr null, size 0, no links) is a spare for the next split or carve.
//  (6) Freed space is merged only with free neighbours above it and never returns to the
//      unallocated space.
// memsem is taken only while no buffer-list semaphore is held; nothing is logged or cleared
// while it is held.
//
// See also: bm_mem.h (contracts), shmstruct.h (the arena structures), bm_sema (memsem).
#include "bm/bm_mem.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_log.h"
#include "bm/bm_sema.h"

namespace {

constexpr int kHeadSize = static_cast<int>(sizeof(arenahdr));   // 28
constexpr int kDescSize = static_cast<int>(sizeof(blockdesc));  // 20
constexpr int kLimitSlack = 32;  // a request plus this must stay below memlimit
constexpr int kAlign = 4;        // block sizes are multiples of this, and at least this

dbshead *memhead;  // the header whose `mem` and `memsem` this process uses (bm_membind)

arenahdr *arena() { return memhead->mem.arena; }

// Rounds a request up to a multiple of 4; an empty request gets 4 bytes (invariant 4).
int block_size(int n) { return std::max(kAlign, (n + kAlign - 1) & ~(kAlign - 1)); }

// Bytes between the end of a descriptor table of ndesc entries and top.
int64_t unallocated(const arenahdr *a, int64_t ndesc) {
  return int64_t{a->top.addr()} - a->base.addr() - (ndesc * kDescSize + kHeadSize);
}

// The request checks before memsem: the arena is bound, n is not negative, and n + 32 stays
// below memlimit (else the size message).
bool request_allowed(int n) {
  if (memhead == nullptr || n < 0) return false;
  int64_t gross = int64_t{n} + kLimitSlack;
  if (gross < memhead->mem.memlimit) return true;
  bm_logerr("bm_malloc: requested size %d > %d\n",
            static_cast<int>(std::min<int64_t>(gross, INT_MAX)), memhead->mem.memlimit);
  return false;
}

// A descriptor for a new block: the spare, else one appended to the table while the
// unallocated space holds it. Null when there is none.
blockdesc *new_desc(arenahdr *a, blockdesc *spare) {
  if (spare != nullptr) return spare;
  if (unallocated(a, a->ndesc) < kDescSize) return nullptr;
  blockdesc *d = &a->desc[a->ndesc++];
  *d = blockdesc{};
  return d;
}

// The smallest free block of at least n bytes (the first of equally small ones in table
// order), and in *spare the last empty descriptor.
blockdesc *best_fit(arenahdr *a, int n, blockdesc **spare) {
  blockdesc *best = nullptr;
  for (int i = 0; i < a->ndesc; i++) {
    blockdesc *d = &a->desc[i];
    if (d->used != 0) continue;
    if (d->addr == nullptr)
      *spare = d;
    else if (d->size >= n && (best == nullptr || d->size < best->size))
      best = d;
  }
  return best;
}

// Cuts free block b to n bytes; its rest becomes a free block right above it. False when no
// descriptor can be had for the rest.
bool split(arenahdr *a, blockdesc *b, int n, blockdesc *spare) {
  blockdesc *r = new_desc(a, spare);
  if (r == nullptr) return false;
  r->size = b->size - n;
  r->addr = b->addr + n;
  r->used = 0;
  r->below = b;
  r->above = b->above;
  if (r->above != nullptr) r->above->below = r;
  b->above = r;
  if (a->highest.get() == b) a->highest = r;
  b->size = n;
  return true;
}

unsigned char *take(arenahdr *a, blockdesc *b) {
  a->inuse += b->size;
  b->used = 1;
  return b->addr;
}

// Carves n bytes below top as the new lowest block. Null when no descriptor can be had or the
// unallocated space is too small (invariant 2).
unsigned char *carve(arenahdr *a, int n, blockdesc *spare) {
  blockdesc *d = new_desc(a, spare);
  if (d == nullptr || n > unallocated(a, int64_t{a->ndesc} + 1)) return nullptr;
  a->top = a->top - n;
  d->size = n;
  d->addr = a->top;
  d->below = nullptr;
  if (a->lowest == nullptr) {
    // The first block: it is the lowest and the highest. (The descriptor taken is the one to
    // record, also when an earlier failed carve left an empty one at the table's start.)
    d->above = nullptr;
    a->lowest = d;
    a->highest = d;
  } else {
    d->above = a->lowest;
    a->lowest->below = d;
    a->lowest = d;
  }
  return take(a, d);
}

// Best fit, else a carve. REQUIRES: memsem.
unsigned char *allocate(arenahdr *a, int n) {
  blockdesc *spare = nullptr;
  blockdesc *b = best_fit(a, n, &spare);
  if (b == nullptr) return carve(a, n, spare);
  if (b->size > n && !split(a, b, n, spare)) return nullptr;
  return take(a, b);
}

// The descriptor of the allocated block at p, or null. REQUIRES: memsem.
blockdesc *allocated_at(arenahdr *a, const void *p) {
  if (p == nullptr) return nullptr;
  for (int i = 0; i < a->ndesc; i++)
    if (a->desc[i].addr.get() == p) return a->desc[i].used != 0 ? &a->desc[i] : nullptr;
  return nullptr;
}

// Frees d and merges it with the free neighbours above it; each absorbed descriptor becomes a
// spare. REQUIRES: memsem.
void release(arenahdr *a, blockdesc *d) {
  d->used = 0;
  a->inuse -= d->size;
  while (d->above != nullptr && d->above->used == 0) {
    blockdesc *n = d->above;
    d->size += n->size;
    d->above = n->above;
    if (d->above != nullptr) d->above->below = d;
    if (a->highest.get() == n) a->highest = d;
    *n = blockdesc{};
  }
}

}  // namespace

arenahdr *bm_meminit(void *arena, int size) {
  auto *base = static_cast<unsigned char *>(arena);
  memset(base, 0, static_cast<size_t>(size));
  auto *a = static_cast<arenahdr *>(arena);
  a->ndesc = 0;
  a->base = base;
  a->top = base + size;
  a->inuse = 0;
  a->desc = reinterpret_cast<blockdesc *>(base + kHeadSize);
  a->lowest = nullptr;
  a->highest = nullptr;
  return a;
}

void bm_membind(dbshead *h) { memhead = h; }

void *bm_malloc(int n) {
  if (!request_allowed(n)) {
    iserrno = ER_NOSHMEM;
    return nullptr;
  }
  int size = block_size(n);  // n < memlimit - 32: no overflow
  bmsema *s = memhead->memsem;
  bm_p(s);
  unsigned char *p = allocate(arena(), size);
  bm_v(s);
  if (p == nullptr) {
    iserrno = ER_NOSHMEM;
    return nullptr;
  }
  memset(p, 0, static_cast<size_t>(size));  // the block is the caller's already
  return p;
}

void bm_free(void *a) {
  if (memhead == nullptr) return;
  bmsema *s = memhead->memsem;
  bm_p(s);
  blockdesc *d = allocated_at(arena(), a);
  if (d != nullptr) release(arena(), d);
  bm_v(s);
  // A second free would subtract the block's size from inuse again; it is refused like any
  // address that holds no allocated block.
  if (d == nullptr)
    bm_logerr("bm_free: address 0x%08x not allocated\n",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(a)));
}

int bm_rszvek(void *vecptr, int n, int s) {
  auto *&vec = *static_cast<unsigned char **>(vecptr);
  if (vec == nullptr) {
    vec = static_cast<unsigned char *>(bm_malloc(s));
    return vec != nullptr ? 0 : -1;
  }
  if (n < 0 || s <= 0 || int64_t{n} + 1 > INT_MAX / s) {
    iserrno = ER_NOSHMEM;
    return -1;
  }
  auto *grown = static_cast<unsigned char *>(bm_malloc((n + 1) * s));
  if (grown == nullptr) return -1;
  memcpy(grown, vec, static_cast<size_t>(n) * static_cast<size_t>(s));
  bm_free(vec);
  vec = grown;  // the new last element is zero: bm_malloc clears the whole block
  return 0;
}

void bm_memlock() {
  if (memhead == nullptr) return;
  bmsema *s = memhead->memsem;
  bm_p(s);
  bm_v(s);
}
