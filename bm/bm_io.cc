// bm_io: page I/O on devices: addressing, the descriptor cache, page and run transfers, and
// the write of a buffer to its home location.
//
// Principal entry points: bm_pread, bm_pwrite, bm_lwrite (transfers), bm_getfd/bm_openpart
// (descriptors), bm_savepage (write a buffer home once its before image has left memory).
//
// Invariants:
//  (1) A page reaches its home location only after its before image has left the before-image
//      buffer: bm_savepage writes only when bm_imgsaved reports no image of the page waiting.
//  (2) Nothing is ever transferred outside the partition that the page number names: the page
//      (and a run's last page) must lie within the partition's size / 2048 pages, also when the
//      caller names the partition; a position is computed in signed 32-bit arithmetic and one
//      that does not fit is refused, never wrapped; a write whose seek failed is not attempted
//      (it would land at whatever position the descriptor had).
//  (3) Each process has descriptors of its own, so processes never share a file position: a
//      forked child drops the descriptors it inherited (they share the parent's position) and
//      opens its own on first use. A descriptor that failed to open is not cached.
//  (4) Counters of the segment (st_reads, st_writes, the partitions' nreads/nwrites,
//      st_savewait) are bumped without a lock but never torn; the own slot's counters are
//      written by this process only.
//  (5) A partition's device field is read only within its 52 bytes, terminated or not.
//
// See also: bm_io.h (contracts), bm_image (bm_imgsaved), bm_sema (naps, wake-ups, wait marking),
// bm_log (messages).
#include "bm/bm_io.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "ba/ba_env.h"
#include "ba/ba_mem.h"
#include "ba/ba_sys.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_image.h"
#include "bm/bm_log.h"
#include "bm/bm_sema.h"

namespace {

constexpr int kSaveNapMs = 10;  // nap of bm_savepage while a before image waits
constexpr int kDeviceLen = static_cast<int>(sizeof(partition::device));

// The three kinds of transfer; each has its own messages.
enum iodir { IO_READ, IO_WRITE, IO_LWRITE };

// Where a transfer goes: the partition and the page within it.
struct pageloc {
  partition *pt;
  int32_t page;
};

// A partition's device path, terminated within the buffer whatever the segment holds.
struct devpath {
  explicit devpath(const partition *pt) {
    snprintf(path, sizeof path, "%.*s", kDeviceLen, pt->device);
  }
  char path[kDeviceLen + 1];
};

int space_of(int32_t pagenr) {
  return static_cast<int>(static_cast<uint32_t>(pagenr) >> PN_SPACESHIFT);
}
int32_t page_of(int32_t pagenr) { return pagenr & PN_PAGEMASK; }
// Pages a partition holds: size / 2048, rounding toward zero.
int32_t part_pages(const partition &pt) { return pt.size / PAGESIZE; }

void count(int32_t *c) { __atomic_fetch_add(c, 1, __ATOMIC_RELAXED); }

// ---- Messages (the texts differ per direction) -----------------------------------------------

void report_badspace(iodir dir, int space, int npages, int partn, int32_t page) {
  if (dir == IO_READ)
    bm_logerr("Invalid page r-req.: dbs = %d, partn = %d, page = %d\n", space, partn, page);
  else
    bm_logerr("Invalid page w-req.: dbs = %d, pages = %d, page = %d\n", space, npages, page);
}

void report_badpart(iodir dir, int space, int partn, int32_t page) {
  if (dir == IO_READ)
    bm_logerr("Invalid page r-req: dbs = %d, partn = %d, page = %d\n", space, partn, page);
  else
    bm_logerr("Invalid page w-req.: dbs = %d, partn = %d, page = %d\n", space, partn, page);
}

void report_failure(iodir dir, const pageloc &loc, int errors) {
  devpath dev(loc.pt);
  switch (dir) {
    case IO_READ:
      bm_logmsg("%d: Read of device %s failed.Page %d.errno %d errflag = %d\n", ba_getpid(),
                dev.path, loc.page, iserrno, errors);
      break;
    case IO_WRITE:
      bm_logmsg("%d: Write on device %s failed.Page %d.errno %d\n", ba_getpid(), dev.path,
                loc.page, iserrno);
      break;
    case IO_LWRITE:
      bm_logmsg("%d: lwrite on device %s failed.Page %d.errno %d\n", ba_getpid(), dev.path,
                loc.page, iserrno);
      break;
  }
}

// ---- Addressing --------------------------------------------------------------------------------

// Refuses a page outside the dbspace table or its dbspace (ER_BADPAGEIO).
bool space_holds(iodir dir, int32_t pagenr, int partn) {
  int d = space_of(pagenr);
  int32_t p = page_of(pagenr);
  bool known = d < bm_dbs->ndbspaces;
  if (known && p < bm_dbs->dbspaces[d].npages) return true;
  report_badspace(dir, d, known ? bm_dbs->dbspaces[d].npages : 0, partn, p);
  iserrno = ER_BADPAGEIO;
  return false;
}

// Finds the partition of page pagenr (searched with PIO_ANYPART, else the named one) and the
// page within it, for a run of n pages. The run must lie inside that partition: a named
// partition is checked like a searched one, so neither a page nor a run ever reaches into the
// bytes of the next partition or past the partition's end. ER_BADPAGEIO (also in errno).
bool locate(iodir dir, int32_t pagenr, int partn, int n, pageloc *loc) {
  if (!space_holds(dir, pagenr, partn)) return false;
  int d = space_of(pagenr);
  const dbspace &sp = bm_dbs->dbspaces[d];
  int32_t p = page_of(pagenr);
  if (partn == PIO_ANYPART)
    for (partn = 0; partn < sp.nparts && p >= part_pages(sp.parts[partn]); partn++)
      p -= part_pages(sp.parts[partn]);
  bool fits = partn >= 0 && partn < sp.nparts && n >= 1 &&
              int64_t{p} + n <= part_pages(sp.parts[partn]);
  if (!fits) {
    report_badpart(dir, d, partn, p);
    iserrno = ER_BADPAGEIO;
    errno = ER_BADPAGEIO;
    return false;
  }
  loc->pt = &sp.parts[partn];
  loc->page = p;
  return true;
}

// Seeks to byte pos of the device. Positions are signed 32-bit values: one that would not fit
// is refused with EOVERFLOW instead of wrapping to another place (a negative one is refused by
// the system with EINVAL). -1 with errno on failure.
int seek_to(int fd, int64_t pos) {
  if (pos > INT32_MAX) {
    errno = EOVERFLOW;
    return -1;
  }
  return lseek(fd, static_cast<off_t>(pos), SEEK_SET) < 0 ? -1 : 0;
}

// Byte position of page `page` of pt: page * 2048 + offset.
int64_t page_pos(const partition *pt, int32_t page) {
  return int64_t{page} * PAGESIZE + pt->offset;
}

// The reason of a transfer of other than the requested length: errno, or, when the system
// reported none, -410 for a short read (the device ends early) and ENOSPC for a short write
// (the usual reason a write stops early), so that a failure never carries the code 0.
int short_reason(iodir dir) {
  if (errno != 0) return errno;
  return dir == IO_READ ? ER_PROBESHORT : ENOSPC;
}

// Seeks and transfers len bytes; returns the number of errors (0, 1 or 2), iserrno set by the
// last. A read after a failed seek is still attempted (its result is discarded anyway); a
// write is not, so that a page never lands at the descriptor's current position.
int transfer(iodir dir, int fd, const pageloc &loc, void *buf, int len) {
  int errors = 0;
  if (seek_to(fd, page_pos(loc.pt, loc.page)) < 0) {
    errors++;
    iserrno = errno;
    if (dir != IO_READ) return errors;
  }
  errno = 0;
  int done = dir == IO_READ ? ba_read(fd, buf, len) : ba_write(fd, buf, len);
  if (done != len) {
    errors++;
    iserrno = short_reason(dir);
  }
  return errors;
}

// One transfer of n pages at pagenr: counts, locates, gets the descriptor, transfers, reports.
int page_io(iodir dir, int32_t pagenr, void *buf, int partn, int n) {
  if (bm_myslot != nullptr) (dir == IO_READ ? bm_myslot->nreads : bm_myslot->nwrites)++;
  pageloc loc;
  if (!locate(dir, pagenr, partn, n, &loc)) return -1;
  count(dir == IO_READ ? &loc.pt->nreads : &loc.pt->nwrites);
  int fd = bm_getfd(loc.pt);
  if (fd < 0) return -1;
  int errors = transfer(dir, fd, loc, buf, n * PAGESIZE);  // n * 2048 <= size: no overflow
  if (errors != 0) {
    report_failure(dir, loc, errors);
    return -1;
  }
  count(dir == IO_READ ? &bm_dbs->st_reads : &bm_dbs->st_writes);
  return 0;
}

// ---- The descriptor cache ----------------------------------------------------------------------

// In a forked child: the inherited descriptors share their file positions with the parent, so
// the child closes its copies and opens its own on first use (invariant 3).
void drop_inherited() {
  for (int i = 0; i < bm_nfdtab; i++) {
    if (bm_fdtab[i] >= 0) close(bm_fdtab[i]);
    bm_fdtab[i] = -1;
  }
}

void watch_forks() {
  static bool registered = false;
  if (!registered) registered = pthread_atfork(nullptr, nullptr, drop_inherited) == 0;
}

// Grows the cache one entry at a time until it has slot; new entries are -1.
bool cache_holds(int slot) {
  watch_forks();
  while (bm_nfdtab <= slot) {
    if (ba_rszvek(&bm_fdtab, bm_nfdtab, sizeof *bm_fdtab) != 0) {
      iserrno = ER_NOMEM;
      return false;
    }
    bm_fdtab[bm_nfdtab++] = -1;
  }
  return true;
}

// Checks that the device holds the partition's last page: a seek to offset + size - 2048 and a
// read of one page. 0, or -1 with iserrno.
int probe_lastpage(int fd, const partition *pt) {
  unsigned char page[PAGESIZE];
  if (seek_to(fd, int64_t{pt->offset} + pt->size - PAGESIZE) < 0) {
    iserrno = errno;
    return -1;
  }
  errno = 0;
  if (ba_read(fd, page, PAGESIZE) != PAGESIZE) {
    iserrno = short_reason(IO_READ);
    return -1;
  }
  return 0;
}

}  // namespace

// ---- Entry points ------------------------------------------------------------------------------

int bm_pread(int32_t pagenr, void *dst, int partn) {
  return page_io(IO_READ, pagenr, dst, partn, 1);
}

// The source is only read; the shared transfer path takes a plain pointer.
int bm_pwrite(int32_t pagenr, const void *src, int partn) {
  return page_io(IO_WRITE, pagenr, const_cast<void *>(src), partn, 1);
}

int bm_lwrite(int32_t pagenr, const void *src, int partn, int n) {
  return page_io(IO_LWRITE, pagenr, const_cast<void *>(src), partn, n);
}

int bm_getfd(const partition *pt) {
  // fdslot is 1-based; a slot below 1 names no cache entry (and must not index before it).
  if (pt->fdslot < 1) {
    iserrno = EBADF;
    return -1;
  }
  int slot = pt->fdslot - 1;
  if (!cache_holds(slot)) return -1;
  if (bm_fdtab[slot] == -1) bm_fdtab[slot] = bm_openpart(pt);  // a failure stays -1: retried
  return bm_fdtab[slot];
}

int bm_openpart(const partition *pt) {
  devpath dev(pt);
  int fd = open(dev.path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    iserrno = errno;
    return -1;
  }
  if ((ba_settings.flags & ENV_NOCONFCHECK) == 0 && probe_lastpage(fd, pt) != 0) {
    bm_logerr("Reading last page of %s failed. errno = %d\n", dev.path, iserrno);
    close(fd);
    return -1;
  }
  return fd;
}

int bm_savepage(pagebuf *b) {
  int32_t pagenr = pg_word(b->page, PH_PAGENR);
  while (bm_imgsaved(pagenr) == 0) {
    count(&bm_dbs->st_savewait);
    bool nested = bm_waitbegin(WK_IMAGE, pagenr);
    if (bm_dbs->imgwriter != -1) bm_wakeup(bm_dbs->imgwriter);
    bm_nap(kSaveNapMs);
    bm_waitend(nested);
  }
  return bm_pwrite(pagenr, b->page, PIO_ANYPART);
}

// ---- Durability --------------------------------------------------------------------------------

namespace {

// fdatasync of pt's device. A special file that cannot be synced (EINVAL) keeps no cache of its
// own: its writes are on the device already, so it counts as synced.
int sync_part(const partition *pt) {
  int fd = bm_getfd(pt);
  if (fd < 0) return -1;
  if (fdatasync(fd) == 0 || errno == EINVAL) return 0;
  iserrno = errno;
  devpath dev(pt);
  bm_logerr("%d: Sync of device %s failed.errno %d\n", ba_getpid(), dev.path, iserrno);
  return -1;
}

}  // namespace

int bm_pagefd(int32_t pagenr) {
  pageloc loc;
  if (!locate(IO_WRITE, pagenr, PIO_ANYPART, 1, &loc)) return -1;
  return bm_getfd(loc.pt);
}

int bm_syncpage(int32_t pagenr) {
  pageloc loc;
  if (!locate(IO_WRITE, pagenr, PIO_ANYPART, 1, &loc)) return -1;
  return sync_part(loc.pt);
}

int bm_syncall() {
  for (int d = 0; d < bm_dbs->ndbspaces; d++) {
    const dbspace &sp = bm_dbs->dbspaces[d];
    for (int i = 0; i < sp.nparts; i++)
      if (sync_part(&sp.parts[i]) != 0) return -1;
  }
  return 0;
}
