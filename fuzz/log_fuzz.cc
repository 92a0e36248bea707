// log_fuzz: libFuzzer target of the logical log's readers.
//
// The log area is a scratch partition file holding exactly the log (3 files of 4 pages from
// page 0), so that any read outside the area is refused by the page I/O as outside the
// partition; the DBS header is process memory below 4 GiB (MAP_32BIT), as the segment's 4-byte
// addresses need. Each input is: 4 bytes of byte counts and a start offset, then the bytes of
// the 12 log pages and of the page being filled (missing bytes are zero). The forward reader
// walks the current file's records from the start offset, following the stored lengths; the
// backward reader walks from the end of the log over the files of the ring. A read outside the
// area, a crash or a record buffer overrun (AddressSanitizer) is a finding.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "ba/ba_env.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_log.h"
#include "bm/bm_logrec.h"
#include "fuzz/fuzz_home.h"

namespace {

constexpr int kFiles = 3, kFilePages = 4, kPages = kFiles * kFilePages;
constexpr int kCapacity = (kFilePages - 1) * LOG_DATASIZE;
constexpr int kMaxReads = 64;  // records read per direction and input

std::string logpath, device;

// The fake segment: header, its semaphore, the log states, one dbspace of one partition.
struct fakeseg {
  dbshead head;
  bmsema logsem;
  uint32_t mask[1];
  int16_t states[LC_MAXFILES];
  dbspace space;
  partition part;
};
fakeseg *seg;

void make_home() {
  const std::string &home = fuzz_home("tolvlogfuzz");
  if (mkdir((home + "/log").c_str(), 0700) != 0) abort();
  logpath = home + "/log/fuzz";
  device = home + "/log0";
  ba_settings.home = const_cast<char *>(home.c_str());
  ba_settings.dbsname = const_cast<char *>("fuzz");
  ba_settings.flags |= ENV_NOCONFCHECK;
}

void make_segment() {
  void *m = mmap(nullptr, sizeof(fakeseg), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  if (m == MAP_FAILED) abort();
  seg = new (m) fakeseg{};
  dbshead &h = seg->head;
  h.maskwords = 1;
  h.logsem = &seg->logsem;
  seg->logsem.waitmask = seg->mask;
  h.ndbspaces = 1;
  h.dbspaces = &seg->space;
  seg->space.nparts = 1;
  seg->space.parts = &seg->part;
  seg->space.npages = kPages;
  snprintf(seg->part.device, sizeof seg->part.device, "%s", device.c_str());
  seg->part.size = kPages * PAGESIZE;
  seg->part.fdslot = 1;
  logctl &lc = h.logctl;
  lc.lc_first = 0;
  lc.lc_nfiles = kFiles;
  lc.lc_filepages = kFilePages;
  lc.lc_state = seg->states;
  bm_dbs = &h;
  bm_mypid = getpid();
  bm_loginit(&h);
}

// Takes n bytes from the input (zeros once it is used up).
struct input {
  const uint8_t *p;
  size_t left;
  void take(void *dst, size_t n) {
    size_t k = n < left ? n : left;
    memcpy(dst, p, k);
    memset(static_cast<char *>(dst) + k, 0, n - k);
    p += k;
    left -= k;
  }
  uint8_t byte() {
    uint8_t b;
    take(&b, 1);
    return b;
  }
};

// Lays the input out: counts and positions, the log pages on disk, the page being filled.
int setup(input &in) {
  logctl &lc = seg->head.logctl;
  uint8_t cur = in.byte(), fill = in.byte(), page = in.byte(), start = in.byte();
  lc.lc_cur = cur % kFiles;
  lc.lc_curpage = 1 + page % (kFilePages - 1);
  for (int f = 0; f < kFiles; f++) {
    lc.lc_logid[f] = 10 + f;
    lc.lc_bytes[f] = kCapacity;
  }
  // The current file's byte count ends on its page being filled.
  int used = fill * LOG_DATASIZE / 255;
  lc.lc_bytes[lc.lc_cur] = (lc.lc_curpage - 1) * LOG_DATASIZE + used;
  lc.lc_wrptr = lc.lc_page + PH_DATA + used;
  int fd = open(device.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) abort();
  unsigned char buf[PAGESIZE];
  for (int p = 0; p < kPages; p++) {
    in.take(buf, sizeof buf);
    if (pwrite(fd, buf, sizeof buf, off_t{p} * PAGESIZE) != PAGESIZE) abort();
  }
  close(fd);
  in.take(lc.lc_page, PAGESIZE);
  for (int i = 0; i < bm_nfdtab; i++) {
    if (bm_fdtab[i] >= 0) close(bm_fdtab[i]);
    bm_fdtab[i] = -1;
  }
  if (truncate(logpath.c_str(), 0) != 0 && errno != ENOENT) abort();
  return start * lc.lc_bytes[lc.lc_cur] / 256;
}

// A failed read must never have been a read outside the log area.
void check_failure() {
  if (iserrno == ER_BADPAGEIO) abort();
  if (seg->logsem.lock != 0) abort();
}

void read_forward(int offset) {
  const logctl &lc = seg->head.logctl;
  for (int i = 0; i < kMaxReads && offset < lc.lc_bytes[lc.lc_cur]; i++) {
    char *r = bm_getlogrec(lc.lc_cur, offset);
    if (r == nullptr) return check_failure();
    int len = pg_word(r, LR_LENGTH);
    volatile char last = r[len - 1];  // the whole record is readable
    (void)last;
    offset += len;
  }
}

void read_backward() {
  bm_initprev();
  for (int i = 0; i < kMaxReads; i++) {
    int file, offset;
    char *r = bm_getprev(&file, &offset);
    if (r == nullptr) return check_failure();
    int len = pg_word(r, LR_LENGTH);
    volatile char last = r[len - LR_TRAILLEN - 1];
    (void)last;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  make_home();
  make_segment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  input in{data, size};
  int start = setup(in);
  read_forward(start);
  read_backward();
  return 0;
}
