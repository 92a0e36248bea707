// ba_mem: the block allocator, the memory-control allocator and growable vectors.
//
// Principal entry points: ba_new/ba_delete, ba_malloc/ba_realloc/ba_mfree, ba_memreport,
// ba_alloc/ba_release (the family chosen by the `debug` setting), ba_rszvek, the string copies.
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

struct sizeclass {
  int cap;       // number of slots in `slots`
  int nfree;     // cached free blocks, most recent last
  char **slots;  // the cached blocks (header addresses)
};

sizeclass classes[kClasses];

// Header word 0: 0 for a large block, else the block's size class.
int32_t &header_class(char *header) { return *reinterpret_cast<int32_t *>(header); }

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
  int16_t mark;      // low 16 bits of the mark current at allocation
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
    if (r.addr == nullptr || r.mark < static_cast<int16_t>(ctl_mark)) continue;
    char head[21];
    int n = r.size < 20 ? r.size : 20;
    memcpy(head, r.addr, n);
    head[n] = '\0';
    fprintf(stream, "%4d:  %5d\t%5d %20s %5d %7d >%s<\n", j,
            static_cast<int>(reinterpret_cast<uintptr_t>(r.addr)), r.size, r.file, r.line,
            static_cast<int>(r.time - kReportEpoch), head);
  }
}

const char *module_name(const char *file) {
  const char *slash = strrchr(file, '/');
  return slash != nullptr ? slash + 1 : file;
}

}  // namespace

// ---- Block allocator -------------------------------------------------------------------

void *ba_new(int size) {
  int g = gross_size(size);
  if (g < 0) return nullptr;
  char *header;
  if (g >= kSmallLimit) {
    header = static_cast<char *>(malloc(g));
    if (header == nullptr) return nullptr;
    header_class(header) = 0;
  } else {
    int cls = g / 4;
    header = cached_block(cls);
    if (header == nullptr) {
      header = static_cast<char *>(malloc(g));
      if (header == nullptr) {
        fprintf(stderr, "ba_new:malloc failed,size=%d\n", g);
        return nullptr;
      }
      header_class(header) = cls;
    }
  }
  memset(header + kHeader, 0, g - kHeader);
  return header + kHeader;
}

void ba_delete(void *block) {
  if (block == nullptr) {
    fputs("ba_delete: adr = NULL\n", stderr);
    return;
  }
  char *header = static_cast<char *>(block) - kHeader;
  int cls = header_class(header);
  if (cls == 0) {
    free(header);
    return;
  }
  sizeclass &sc = classes[cls];
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
  if (size < 0) return nullptr;
  void *p = calloc(1, size > 0 ? size : 1);
  if (p == nullptr || ctl_level == 0) return p;
  memrecord *r = free_record(p);
  if (r == nullptr) {
    free(p);
    return nullptr;
  }
  *r = memrecord{p, size, file, line, static_cast<int16_t>(ctl_mark),
                 ctl_level >= 2 ? static_cast<int>(time(nullptr)) : 0};
  ctl_total += size;
  ctl_used = true;
  return p;
}

void ba_mfree(void *block) {
  if (ctl_level == 0) {
    free(block);
    return;
  }
  memrecord *r = block != nullptr ? find_record(block) : nullptr;
  if (r == nullptr || reinterpret_cast<uintptr_t>(block) <= 999) {
    report_unknown("ba_mfree (%d): address %d 0x%x not found\n", block);
    return;
  }
  ctl_total -= r->size;
  r->addr = nullptr;
  free(block);
}

void *ba_realloc(void *block, int size, const char *file, int line) {
  if (ctl_level == 0) return size >= 0 ? realloc(block, size) : nullptr;
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
  if (ba_settings.debug != 0)
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
  auto *grown = static_cast<char *>(ba_alloc(elemsize * (count + 1), file, line));
  if (grown == nullptr) return -1;
  memcpy(grown, vec, static_cast<size_t>(count) * elemsize);
  ba_release(vec);
  vec = grown;
  memset(vec + static_cast<size_t>(count) * elemsize, 0, elemsize);
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
  memcpy(joined, s, ns);
  memcpy(joined + ns, t, nt + 1);
  ba_release(s);
  return joined;
}
