// ba_mem.h: process-private memory of the library.
//
// Two allocators serve the base library and the per-process buffer-manager code:
//  - the block allocator ba_new/ba_delete: zero-filled blocks; released small blocks (gross
//    size below 128 bytes) are kept in 32 per-size caches and handed out again;
//  - the memory-control allocator ba_malloc/ba_realloc/ba_mfree: when TOLVMEMCTRL is set,
//    every live block is recorded with the module and line that asked for it, so that
//    ba_memreport can list leaks.
// The `debug` setting (TOLVDEBUG) picks the family for each allocation: library code
// allocates only through ba_alloc, which makes that choice and passes the caller's module and
// line, and releases only through ba_release, which goes by the block's own header. So `debug`
// may change at any time; every block still goes back to the family that allocated it.
//
// Invariants:
//  (1) Every block of either family has an 8-byte header; the handed-out address is header + 8.
//      Word 0 is the tag: the size class 2..31 of a small ba_new block (gross size below 128),
//      0 of a large one, or a memory-control tag that no class can take. Word 1 is the number
//      of bytes usable at the handed-out address (a ba_new request rounded up to a multiple of
//      4; a ba_malloc request as given).
//  (2) Class caches only grow; cached blocks are never returned to the system.
//  (3) The control level is fixed by the first ba_malloc of the process.
//  (4) ba_delete and ba_mfree release only blocks of their own family; a block of the other
//      family, or an address without a tag, is reported and nothing is released.
//
// See also: ba_env.h (the `debug` setting), bm_mem (the shared arena, a separate allocator).
#pragma once

#include <cstdio>

// Fault injection (for tests, as a server's own fault tests would use it): after n more
// successful allocations of ba_new, ba_malloc and ba_realloc, the next one fails as if the
// system had no memory left; then injection is off again. n < 0 switches it off.
void ba_memfault(int n);
// Whether the armed fault has fired since the last ba_memfault.
bool ba_memfaulted();

// Block allocator.
void *ba_new(int size);          // zero-filled block of size bytes, or null
// Small blocks go to their class cache, large ones to the system. A null block prints
// "ba_delete: adr = NULL\n"; a block that is not from ba_new prints
// "ba_delete (%d): address %d 0x%x not found\n" (process id, address) and stays.
void ba_delete(void *block);

// Memory-control allocator; file is the requesting module, line its line.
void *ba_malloc(int size, const char *file, int line);
// Releases a block of ba_malloc; an unrecorded block (or, without records, one that does not
// carry the memory-control tag) is reported on standard error and stays.
void ba_mfree(void *block);
// A block of size bytes holding the old contents (the bytes gained are zero); null when memory
// runs out (the old block stays) or block is not one of ba_malloc (reported). Without records a
// null block gives a new one.
void *ba_realloc(void *block, int size, const char *file, int line);
void ba_memreport(FILE *stream);  // lists recorded blocks with a mark at least the current one
void ba_memreporterr();           // ba_memreport(stderr)
void ba_memmark();                // later reports list only blocks allocated after this call

// The allocator selection that every library allocation goes through: ba_malloc with the
// caller's module and line when `debug` is non-zero, ba_new otherwise.
void *ba_alloc(int size, const char *file = __builtin_FILE(), int line = __builtin_LINE());
// The matching release, by the block's tag: ba_mfree for a memory-control block, ba_delete
// otherwise, whatever `debug` is now. A null block goes to the family `debug` selects, which
// prints its message.
void ba_release(void *block);

// Grows the vector at *(T **)vecptr, which holds count elements of elemsize bytes, to count + 1
// elements; the new element is zero-filled and the old ones are kept. With *vecptr null it
// allocates one element whatever count says. When the block already has room for the new
// element it is reused in place; otherwise the vector moves to a block of twice its size, so
// that growing one element at a time costs O(1) amortised. Returns 0, or -1 when memory runs
// out or count elements would not fit the block (the old vector is then unchanged).
// The pointer may change with any call; callers keep no other pointer into the vector.
// REQUIRES: vecptr is the address of a pointer variable allocated by ba_alloc (or null).
int ba_rszvek(void *vecptr, int count, int elemsize, const char *file = __builtin_FILE(),
              int line = __builtin_LINE());

// A plain system allocation; on failure prints "Memory allocation error\n" and, when mustexit
// is non-zero, ends the process with status 1.
void *ba_xmalloc(int size, int mustexit);

// Copies from the selected allocator; null when memory runs out. A null s gives null.
char *ba_strdup(const char *s, const char *file = __builtin_FILE(), int line = __builtin_LINE());
char *ba_strsave(const char *s, const char *file = __builtin_FILE(), int line = __builtin_LINE());
// A new string s followed by t, releasing s; a copy of t when s is null. Null when memory runs
// out, and then s is not released.
char *ba_strcat(char *s, const char *t, const char *file = __builtin_FILE(),
                int line = __builtin_LINE());
