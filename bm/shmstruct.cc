// shmstruct: the out-of-line part of the segment structures: the fault of a segment address
// that does not fit 4 bytes.
//
// See also: shmstruct.h.
#include "bm/shmstruct.h"

#include <cstdio>
#include <cstdlib>

void shmptr_fault(const void *p) {
  fprintf(stderr, "shmptr: address %p is not below 4 GiB\n", p);
  abort();
}
