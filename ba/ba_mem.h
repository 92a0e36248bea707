// ba_mem.h: process-private memory of the library.
//
// Two allocators serve the base library and the per-process buffer-manager code:
//  - the block allocator ba_new/ba_delete: zero-filled blocks; released small blocks (gross
//    size below 128 bytes) are kept in 32 per-size caches and handed out again;
//  - the memory-control allocator ba_malloc/ba_realloc/ba_mfree: when TOLVMEMCTRL is set,
//    every live block is recorded with the module and line that asked for it, so that
//    ba_memreport can list leaks.
// The `debug` setting (TOLVDEBUG) picks the family at each call site: library code allocates
// only through ba_alloc and releases only through ba_release, which do that choice and pass
// the caller's module and line. A block must go back through the family that allocated it,
// so `debug` must not change while blocks are live.
//
// Invariants:
//  (1) A ba_new block has an 8-byte header: word 0 is 0 for a large block (gross size >= 128)
//      or its size class 2..31; the handed-out address is header + 8.
//  (2) Class caches only grow; cached blocks are never returned to the system.
//  (3) The control level is fixed by the first ba_malloc of the process.
//
// See also: ba_env.h (the `debug` setting), bm_mem (the shared arena, a separate allocator).
#pragma once

#include <cstdio>

// Block allocator.
void *ba_new(int size);          // zero-filled block of size bytes, or null
void ba_delete(void *block);     // small blocks go to their class cache, large ones to the system

// Memory-control allocator; file is the requesting module, line its line.
void *ba_malloc(int size, const char *file, int line);
void ba_mfree(void *block);
void *ba_realloc(void *block, int size, const char *file, int line);
void ba_memreport(FILE *stream);  // lists recorded blocks with a mark at least the current one
void ba_memreporterr();           // ba_memreport(stderr)
void ba_memmark();                // later reports list only blocks allocated after this call

// The allocator selection that every library allocation goes through: ba_malloc with the
// caller's module and line when `debug` is non-zero, ba_new otherwise.
void *ba_alloc(int size, const char *file = __builtin_FILE(), int line = __builtin_LINE());
// The matching release: ba_mfree when `debug` is non-zero, ba_delete otherwise.
void ba_release(void *block);

// Grows the vector at *(T **)vecptr, which holds count elements of elemsize bytes, to count + 1
// elements; the new element is zero-filled. With *vecptr null it allocates one element whatever
// count says. Returns 0, or -1 when memory runs out (the old vector is then unchanged).
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
