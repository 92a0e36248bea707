// ba_mem: the block allocator, the memory-control allocator and growable vectors.
//
// Principal entry points: ba_new/ba_delete, ba_malloc/ba_realloc/ba_mfree, ba_memreport,
// ba_alloc (the family chosen by the `debug` setting), ba_release (the family named by the
// block's header), ba_rszvek (amortised growth), the string copies.
// Invariants are listed in ba_mem.h.
//
// See also: ba_env (the `debug` setting), bm_mem (the shared arena of the segment).
#include "ba/ba_mem.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "ba/globals.h"

namespace {

// ---- Block allocator -------------------------------------------------------------------

constexpr int kHeader = 8;        // bytes before the handed-out address
constexpr int kSmallLimit = 128;  // gross sizes below this are small
constexpr int kClasses = 32;      // class c holds gross size 4 * c
constexpr int kFirstClass = 2;    // the smallest gross size is the bare header
// Tag word of a memory-control block: a value that no size class (0, 2..31) can take.
constexpr int32_t kMemctlTag = 0x4D454D43;

struct sizeclass {
  int cap;       // number of slots in `slots`
  int nfree;     // cached free blocks, most recent last
  char **slots;  // the cached blocks (header addresses)
};

sizeclass classes[kClasses];

// The header in front of every block of both families. The tag tells the family, so that a
// block is released by what it is, not by what `debug` says at the time of the release.
struct blockhead {
  int32_t tag;   // size class 2..31 of a small ba_new block, 0 of a large one, or kMemctlTag
  int32_t room;  // bytes usable at the handed-out address
};
static_assert(sizeof(blockhead) == kHeader, "the header keeps the handed-out address aligned");

blockhead *head_of(void *block) {
  return reinterpret_cast<blockhead *>(static_cast<char *>(block) - kHeader);
}

bool is_blocktag(int32_t tag) { return tag == 0 || (tag >= kFirstClass && tag < kClasses); }

// Gross size of a request: rounded up to a multiple of 4, plus the header. -1 when it does not
// fit an int.
int gross_size(int size) {
  if (size < 0 || size > INT_MAX - kHeader - 3) return -1;
  return ((size + 3) & ~3) + kHeader;
}

char *cached_block(int cls) {
  sizeclass &sc = classes[cls];
  if (sc.nfree == 0) return nullptr;
  return sc.slots[--sc.nfree];
}

// Makes room for one more cached block; false after printing why not.
bool grow_cache(sizeclass &sc) {
  if (sc.nfree < sc.cap) return true;
  if (sc.slots == nullptr) {
    sc.slots = static_cast<char **>(malloc(sizeof(char *)));
    if (sc.slots == nullptr) {
      fputs("ba_delete: malloc() failed\n", stderr);
      return false;
    }
  } else {
    auto *grown = static_cast<char **>(realloc(sc.slots, (sc.cap + 1) * sizeof(char *)));
    if (grown == nullptr) {
      fputs("ba_delete: realloc() failed\n", stderr);
      return false;
    }
    sc.slots = grown;
  }
  sc.cap++;
  return true;
}

// ---- Memory-control allocator ------------------------------------------------------------

constexpr int kBuckets = 16;
constexpr int kBucketGrowth = 1000;
constexpr long kReportEpoch = 788400000;  // subtracted from the recorded time in reports

struct memrecord {
  void *addr;        // the block; null = free record
  int size;          // requested size
  const char *file;  // requesting module
  int line;
  int mark;          // the mark current at allocation (all of it: a 16-bit copy would wrap)
  int time;          // seconds since 1970, recorded at level 2 or higher
};

struct bucket {
  memrecord *recs;
  int cap;
};

bucket buckets[kBuckets];
int ctl_level;        // 0 = no recording
bool ctl_levelread;   // the level is read from TOLVMEMCTRL by the first ba_malloc
bool ctl_used;        // a block was ever recorded
int ctl_total;        // bytes of the recorded live blocks
int ctl_mark;

bucket &bucket_of(const void *p) {
  return buckets[(reinterpret_cast<uintptr_t>(p) / 4) % kBuckets];
}

memrecord *find_record(const void *p) {
  bucket &b = bucket_of(p);
  for (int i = 0; i < b.cap; i++)
    if (b.recs[i].addr == p) return &b.recs[i];
  return nullptr;
}

// A free record of p's bucket, growing the bucket by kBucketGrowth records when it is full.
memrecord *free_record(const void *p) {
  bucket &b = bucket_of(p);
  for (int i = 0; i < b.cap; i++)
    if (b.recs[i].addr == nullptr) return &b.recs[i];
  auto *grown = static_cast<memrecord *>(calloc(b.cap + kBucketGrowth, sizeof(memrecord)));
  if (grown == nullptr) return nullptr;
  if (b.recs != nullptr) memcpy(grown, b.recs, b.cap * sizeof(memrecord));
  free(b.recs);
  b.recs = grown;
  b.cap += kBucketGrowth;
  return &b.recs[b.cap - kBucketGrowth];
}

void read_level() {
  if (ctl_levelread) return;
  ctl_levelread = true;
  const char *v = getenv("TOLVMEMCTRL");
  if (v != nullptr) ctl_level = atoi(v);
}

// Prints the "not found" diagnostic of ba_mfree/ba_realloc with the address in decimal and
// hexadecimal (its low 32 bits, the width the message was made for).
void report_unknown(const char *fmt, const void *p) {
  auto a = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
  fprintf(stderr, fmt, static_cast<int>(getpid()), static_cast<int>(a), a);
}

void report_bucket(FILE *stream, const bucket &b) {
  for (int j = 0; j < b.cap; j++) {
    const memrecord &r = b.recs[j];
    if (r.addr == nullptr || r.mark < ctl_mark) continue;
    char head[21];
    int n = r.size < 20 ? r.size : 20;
    memcpy(head, r.addr, n);
    head[n] = '\0';
    fprintf(stream, "%4d:  %5d\t%5d %20s %5d %7d >%s<\n", j,
            static_cast<int>(reinterpret_cast<uintptr_t>(r.addr)), r.size, r.file, r.line,
            static_cast<int>(r.time - kReportEpoch), head);
  }
}

// The fault a test armed with ba_memfault: allocations left before it, -1 when none is armed.
int fault_countdown = -1;
bool fault_fired = false;

// Whether the allocation about to be made is the injected failure (it fires once).
bool injected_failure() {
  if (fault_countdown < 0 || fault_countdown-- > 0) return false;
  fault_fired = true;
  return true;
}

// ba_realloc without records: the system's resize of the block with its header; a null block
// is a new one. The bytes gained are cleared, as every block of the family starts zero-filled.
void *resize_unrecorded(void *block, int size, const char *file, int line) {
  if (size < 0) return nullptr;
  if (block == nullptr) return ba_malloc(size, file, line);
  if (head_of(block)->tag != kMemctlTag) {
    report_unknown("ba_realloc (%d):address %d 0x%x not found\n", block);
    return nullptr;
  }
  int oldsize = head_of(block)->room;
  if (injected_failure()) return nullptr;
  auto *head = static_cast<blockhead *>(
      realloc(head_of(block), size_t{kHeader} + static_cast<size_t>(size)));
  if (head == nullptr) return nullptr;
  head->room = size;
  char *p = reinterpret_cast<char *>(head) + kHeader;
  if (size > oldsize) memset(p + oldsize, 0, static_cast<size_t>(size - oldsize));
  return p;
}

// Bytes usable in a block of either family; -1 for an address that carries neither tag.
int block_room(void *block) {
  const blockhead *head = head_of(block);
  return is_blocktag(head->tag) || head->tag == kMemctlTag ? head->room : -1;
}

// Whether the memory-control allocator records its blocks (TOLVMEMCTRL under `debug`): the
// memory report then shows every block a caller got.
bool recording() {
  if (ba_settings.debug == 0) return false;
  read_level();
  return ctl_level != 0;
}

// A new block for a vector of used bytes that needs need: twice used when that can be had, so
// that a vector grown one element at a time is copied O(log n) times (the blocks' rooms let
// later growths happen in place); else exactly need, so that growth never fails where an
// exact block would do. While blocks are recorded it is always exactly need, so that the
// memory report shows the sizes the vector's growth asked for.
char *grow_block(int used, int need, const char *file, int line) {
  if (!recording() && used <= INT_MAX / 2 && 2 * used > need) {
    auto *doubled = static_cast<char *>(ba_alloc(2 * used, file, line));
    if (doubled != nullptr) return doubled;
  }
  return static_cast<char *>(ba_alloc(need, file, line));
}

const char *module_name(const char *file) {
  const char *slash = strrchr(file, '/');
  return slash != nullptr ? slash + 1 : file;
}

}  // namespace

// ---- Block allocator -------------------------------------------------------------------

void ba_memfault(int n) {
  fault_countdown = n < 0 ? -1 : n;
  fault_fired = false;
}

bool ba_memfaulted() { return fault_fired; }

void *ba_new(int size) {
  int g = gross_size(size);
  if (g < 0 || injected_failure()) return nullptr;
  char *header;
  int32_t tag = 0;
  if (g >= kSmallLimit) {
    header = static_cast<char *>(malloc(g));
    if (header == nullptr) return nullptr;
  } else {
    tag = g / 4;
    header = cached_block(tag);
    if (header == nullptr) header = static_cast<char *>(malloc(g));
    if (header == nullptr) {
      fprintf(stderr, "ba_new:malloc failed,size=%d\n", g);
      return nullptr;
    }
  }
  *reinterpret_cast<blockhead *>(header) = blockhead{tag, g - kHeader};
  memset(header + kHeader, 0, g - kHeader);
  return header + kHeader;
}

void ba_delete(void *block) {
  if (block == nullptr) {
    fputs("ba_delete: adr = NULL\n", stderr);
    return;
  }
  blockhead *head = head_of(block);
  if (!is_blocktag(head->tag)) {
    // Not a block of this family (a memory-control block or a foreign address): using its
    // tag as a class would index past the class table. Nothing is released.
    report_unknown("ba_delete (%d): address %d 0x%x not found\n", block);
    return;
  }
  auto *header = reinterpret_cast<char *>(head);
  if (head->tag == 0) {
    free(header);
    return;
  }
  sizeclass &sc = classes[head->tag];
  if (!grow_cache(sc)) {
    // The cache cannot take the block; give it back to the system rather than lose it.
    free(header);
    return;
  }
  sc.slots[sc.nfree++] = header;
}

// ---- Memory-control allocator ------------------------------------------------------------

void *ba_malloc(int size, const char *file, int line) {
  read_level();
  if (size < 0 || injected_failure()) return nullptr;
  auto *head = static_cast<blockhead *>(calloc(1, size_t{kHeader} + static_cast<size_t>(size)));
  if (head == nullptr) return nullptr;
  *head = blockhead{kMemctlTag, size};
  void *p = reinterpret_cast<char *>(head) + kHeader;
  if (ctl_level == 0) return p;
  memrecord *r = free_record(p);
  if (r == nullptr) {
    free(head);
    return nullptr;
  }
  *r = memrecord{p, size, file, line, ctl_mark,
                 ctl_level >= 2 ? static_cast<int>(time(nullptr)) : 0};
  ctl_total += size;
  ctl_used = true;
  return p;
}

void ba_mfree(void *block) {
  if (ctl_level == 0) {
    if (block == nullptr) return;
    // Without records the tag is the only proof that the block is one of ours.
    if (head_of(block)->tag != kMemctlTag) {
      report_unknown("ba_mfree (%d): address %d 0x%x not found\n", block);
      return;
    }
    free(head_of(block));
    return;
  }
  // With records a block is known by its record alone; an unrecorded address is never read.
  memrecord *r = block != nullptr ? find_record(block) : nullptr;
  if (r == nullptr || reinterpret_cast<uintptr_t>(block) <= 999) {
    report_unknown("ba_mfree (%d): address %d 0x%x not found\n", block);
    return;
  }
  ctl_total -= r->size;
  r->addr = nullptr;
  free(head_of(block));
}

void *ba_realloc(void *block, int size, const char *file, int line) {
  if (ctl_level == 0) return resize_unrecorded(block, size, file, line);
  memrecord *r = block != nullptr ? find_record(block) : nullptr;
  if (r == nullptr) {
    report_unknown("ba_realloc (%d):address %d 0x%x not found\n", block);
    return nullptr;
  }
  int oldsize = r->size;
  void *p = ba_malloc(size, file, line);
  if (p == nullptr) return nullptr;
  memcpy(p, block, oldsize < size ? oldsize : size);
  ba_mfree(block);
  return p;
}

void ba_memreport(FILE *stream) {
  if (ctl_level == 0 || !ctl_used) {
    fputs("No memory report available\n", stream);
    return;
  }
  fputs("Memory report:\n\n", stream);
  for (const bucket &b : buckets) {
    report_bucket(stream, b);
    fputs("\n", stream);
  }
  fprintf(stream, "\nTotal:   %8d\n", ctl_total);
}

void ba_memreporterr() { ba_memreport(stderr); }

void ba_memmark() { ctl_mark++; }

// ---- Selection, vectors, strings ---------------------------------------------------------

void *ba_alloc(int size, const char *file, int line) {
  return ba_settings.debug != 0 ? ba_malloc(size, module_name(file), line) : ba_new(size);
}

void ba_release(void *block) {
  // A null block has no header: the family `debug` selects prints its message for it.
  if (block == nullptr ? ba_settings.debug != 0 : head_of(block)->tag == kMemctlTag)
    ba_mfree(block);
  else
    ba_delete(block);
}

int ba_rszvek(void *vecptr, int count, int elemsize, const char *file, int line) {
  char *&vec = *static_cast<char **>(vecptr);
  if (vec == nullptr) {
    vec = static_cast<char *>(ba_alloc(elemsize, file, line));
    return vec != nullptr ? 0 : -1;
  }
  if (count < 0 || elemsize <= 0 || count >= INT_MAX / elemsize) return -1;
  const int used = count * elemsize, need = used + elemsize;
  const int room = block_room(vec);
  // A count beyond the block would copy from past its end: refused, like a foreign vector.
  if (room < used) return -1;
  if (need > room) {
    char *grown = grow_block(used, need, file, line);
    if (grown == nullptr) return -1;
    memcpy(grown, vec, static_cast<size_t>(used));
    ba_release(vec);
    vec = grown;
  }
  memset(vec + used, 0, static_cast<size_t>(elemsize));
  return 0;
}

void *ba_xmalloc(int size, int mustexit) {
  void *p = size >= 0 ? malloc(size > 0 ? size : 1) : nullptr;
  if (p != nullptr) return p;
  fputs("Memory allocation error\n", stderr);
  if (mustexit != 0) exit(1);
  return nullptr;
}

char *ba_strdup(const char *s, const char *file, int line) {
  if (s == nullptr) return nullptr;
  size_t n = strlen(s);
  if (n >= INT_MAX) return nullptr;
  auto *copy = static_cast<char *>(ba_alloc(static_cast<int>(n) + 1, file, line));
  if (copy != nullptr) memcpy(copy, s, n + 1);
  return copy;
}

char *ba_strsave(const char *s, const char *file, int line) { return ba_strdup(s, file, line); }

char *ba_strcat(char *s, const char *t, const char *file, int line) {
  if (t == nullptr) t = "";
  if (s == nullptr) return ba_strdup(t, file, line);
  size_t ns = strlen(s), nt = strlen(t);
  if (ns + nt >= INT_MAX) return nullptr;
  auto *joined = static_cast<char *>(ba_alloc(static_cast<int>(ns + nt) + 1, file, line));
  if (joined == nullptr) return nullptr;
  memcpy(joined, s, ns);  // NOLINT(bugprone-not-null-terminated-result): t's copy ends it
  memcpy(joined + ns, t, nt + 1);
  ba_release(s);
  return joined;
}
