// bm_mainpriv.h: helpers shared by the files of the page-request module (bm_main*.cc); not part
// of the buffer manager's interface.
//
// Flag changes go through flag_set/flag_clear: they are atomic read-modify-writes, because a
// buffer's flags are changed under the list semaphore by requesters and, without it, by the
// process that fixed or marked the buffer (BF_READING, BF_SAVEOLD, BF_BEFIMG, BF_LOCIMG,
// BF_ARCHIVED) and by the flush pass (BF_FLUSHING); a plain read-modify-write could undo
// another process's change.
//
// See also: bm_main.h.
#pragma once

#include <cstdint>

#include "bm/shmstruct.h"

namespace bm_main_detail {

inline uint32_t flags_of(const pagebuf *b) {
  return __atomic_load_n(&b->flags, __ATOMIC_ACQUIRE);
}
inline bool flag_on(const pagebuf *b, uint32_t bits) { return (flags_of(b) & bits) != 0; }
inline void flag_set(pagebuf *b, uint32_t bits) {
  __atomic_fetch_or(&b->flags, bits, __ATOMIC_ACQ_REL);
}
inline void flag_clear(pagebuf *b, uint32_t bits) {
  __atomic_fetch_and(&b->flags, ~bits, __ATOMIC_ACQ_REL);
}
inline void flags_store(pagebuf *b, uint32_t v) { __atomic_store_n(&b->flags, v, __ATOMIC_RELEASE); }

inline int32_t pagenr_of(const pagebuf *b) { return pg_word(b->page, PH_PAGENR); }

inline void count(int32_t *c) { __atomic_fetch_add(c, 1, __ATOMIC_RELAXED); }

// Where a binary search over a list's index ended (for the debug report of a miss).
struct probe {
  int low, high, middle;
};
// Binary search of pagenr in l's index: its position, or -1 (p tells where the search ended).
// REQUIRES: l's semaphore.
int index_search(const buflist *l, int32_t pagenr, probe *p);

// LRU chain: take b out of l's chain, or put it at the tail. REQUIRES: l's semaphore.
void chain_unlink(buflist *l, pagebuf *b);
void chain_append(buflist *l, pagebuf *b);

}  // namespace bm_main_detail
