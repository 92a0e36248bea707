// bm_io: page I/O on devices: addressing, the descriptor cache, page and run transfers, and
// the write of a buffer to its home location.
//
// Principal entry points: bm_pread, bm_pwrite, bm_lwrite (transfers), bm_getfd/bm_openpart
// (descriptors), bm_savepage (write a buffer home once its before image has left memory),
// bm_saverun (write a run of collected buffers home in one call, for the flush pass).
//
// Invariants:
//  (1) A page reaches its home location only after its before image has left the before-image
//      buffer: bm_savepage writes only when bm_imgsaved reports no image of the page waiting.
//  (2) Nothing is ever transferred outside the partition that the page number names: the page
//      (and a run's last page) must lie within the partition's size / 2048 pages, also when the
//      caller names the partition; a position is computed in signed 32-bit arithmetic and one
//      that does not fit is refused, never wrapped. Writes are positioned system calls
//      (pwrite, pwritev), so no write can land at whatever position a descriptor had.
//  (3) Each process has descriptors of its own, so processes never share a file position: a
//      forked child drops the descriptors it inherited (they share the parent's position) and
//      opens its own on first use. A descriptor that failed to open is not cached.
//  (4) Counters of the segment (st_reads, st_writes, the partitions' nreads/nwrites,
//      st_savewait) are bumped without a lock but never torn; the own slot's counters are
//      written by this process only.
//  (5) A partition's device field is read only within its 52 bytes, terminated or not.
//  (6) A run written by bm_saverun holds only buffers whose pages follow each other without a
//      gap inside one partition, in the order the caller gives them (never sorted); after a
//      failed or short write exactly the buffers whose pages did not fully reach the device
//      are reported as not written.
//
// See also: bm_io.h (contracts), bm_image (bm_imgsaved), bm_sema (naps, wake-ups, wait marking),
// bm_log (messages).
#include "bm/bm_io.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "ba/ba_conf.h"
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
// Repeated write failures of a partition in the flush pass are counted and reported at most
// once per this many seconds (see note_failure).
constexpr int kRepeatSeconds = 60;
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
// Failure paths are marked cold: kept out of line, they leave the per-page path of the flush
// pass short (that path runs once per system call and shows in its speed).

[[gnu::cold]] void report_badspace(iodir dir, int space, int npages, int partn, int32_t page) {
  if (dir == IO_READ)
    bm_logerr("Invalid page r-req.: dbs = %d, partn = %d, page = %d\n", space, partn, page);
  else
    bm_logerr("Invalid page w-req.: dbs = %d, pages = %d, page = %d\n", space, npages, page);
}

[[gnu::cold]] void report_badpart(iodir dir, int space, int partn, int32_t page) {
  if (dir == IO_READ)
    bm_logerr("Invalid page r-req: dbs = %d, partn = %d, page = %d\n", space, partn, page);
  else
    bm_logerr("Invalid page w-req.: dbs = %d, partn = %d, page = %d\n", space, partn, page);
}

[[gnu::cold]] void report_failure(iodir dir, const pageloc &loc, int errors) {
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
// bytes of the next partition or past the partition's end. A refusal has no partition (pt
// null), ER_BADPAGEIO in iserrno and errno.
pageloc locate(iodir dir, int32_t pagenr, int partn, int n) {
  if (!space_holds(dir, pagenr, partn)) return {};
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
    return {};
  }
  return {&sp.parts[partn], p};
}

// Whether byte pos of a device can be addressed. Positions are signed 32-bit values: one that
// would not fit is refused with EOVERFLOW instead of wrapping to another place (a negative one
// is refused by the system with EINVAL).
bool pos_fits(int64_t pos) {
  if (pos <= INT32_MAX) return true;
  errno = EOVERFLOW;
  return false;
}

// Seeks to byte pos of the device. -1 with errno on failure.
int seek_to(int fd, int64_t pos) {
  if (!pos_fits(pos)) return -1;
  return lseek(fd, static_cast<off_t>(pos), SEEK_SET) < 0 ? -1 : 0;
}

// Makes one positioned write system call at byte pos (call(pos): pwrite or pwritev), so that a
// write can never land anywhere but at pos (there is no separate seek that could fail or be
// raced). An interrupted call is repeated. The bytes written, or -1 with errno.
template <typename Call>
ssize_t write_at(int64_t pos, Call call) {
  if (!pos_fits(pos)) return -1;
  ssize_t r;
  do {
    r = call(static_cast<off_t>(pos));
  } while (r < 0 && errno == EINTR);
  return r;
}

// Byte position of page `page` of pt: page * 2048 + offset.
int64_t page_pos(const partition *pt, int32_t page) {
  return int64_t{page} * PAGESIZE + pt->offset;
}

// The reason of a read of other than the requested length: errno, or, when the system reported
// none, -410 (the device ends early), so that a failure never carries the code 0.
int short_read_reason() { return errno != 0 ? errno : ER_PROBESHORT; }

// The bytes of a write of len bytes that reached the device, from what the call returned (0
// after a failure). Anything short of len sets iserrno: errno after a failed call; after a
// short one, which carries no reason, ENOSPC (the usual reason a write stops early), so that a
// failure never carries the code 0.
int reached(ssize_t done, int len) {
  if (done == len) return len;
  iserrno = done < 0 ? errno : ENOSPC;
  return done > 0 ? static_cast<int>(done) : 0;
}

// Reads len bytes at the page's position (a seek, then the read); returns the number of errors
// (0, 1 or 2), iserrno set by the last. The read is attempted also after a failed seek (its
// result is discarded anyway).
int read_pages(int fd, const pageloc &loc, void *buf, int len) {
  int errors = 0;
  if (seek_to(fd, page_pos(loc.pt, loc.page)) < 0) {
    errors++;
    iserrno = errno;
  }
  errno = 0;
  if (ba_read(fd, buf, len) != len) {
    errors++;
    iserrno = short_read_reason();
  }
  return errors;
}

// Writes len bytes of buf at the page's position in one pwrite. The bytes that reached the
// device (see reached).
int write_pages(int fd, const pageloc &loc, const void *buf, int len) {
  ssize_t done = write_at(page_pos(loc.pt, loc.page),
                          [&](off_t pos) { return pwrite(fd, buf, len, pos); });
  return reached(done, len);
}

// Seeks and transfers len bytes (reads), or writes them in one positioned call; returns the
// number of errors, iserrno set by the last.
int transfer(iodir dir, int fd, const pageloc &loc, void *buf, int len) {
  if (dir == IO_READ) return read_pages(fd, loc, buf, len);
  return write_pages(fd, loc, buf, len) == len ? 0 : 1;
}

// One transfer of n pages at pagenr: counts, locates, gets the descriptor, transfers, reports.
int page_io(iodir dir, int32_t pagenr, void *buf, int partn, int n) {
  if (bm_myslot != nullptr) (dir == IO_READ ? bm_myslot->nreads : bm_myslot->nwrites)++;
  pageloc loc = locate(dir, pagenr, partn, n);
  if (loc.pt == nullptr) return -1;
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
void watch_forks() {
  static bool registered = false;
  if (!registered) registered = pthread_atfork(nullptr, nullptr, bm_dropfds) == 0;
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
    iserrno = short_read_reason();
    return -1;
  }
  return 0;
}

// ---- Opening a partition -----------------------------------------------------------------------
//
// Run set-user-id, the partition descriptors of the segment are input from whoever made the
// segment (trust rules in bm_init). A device is opened only when it is a partition of the
// checked configuration with the same path, offset and size, with the caller's rights, without
// a symbolic link anywhere in its path, and when the open descriptor shows the file that the
// configuration check accepted (a regular file or block device of the user tolv, mode 0660).

// Refuses the open of dev with reason: logs it, iserrno = err. Always false.
bool refuse(const char *dev, const char *reason, int err) {
  bm_logerr("bm_openpart: %s refused: %s\n", dev, reason);
  iserrno = err;
  return false;
}

// Whether the configuration read at start-up holds a partition of path, offset and size (in
// bytes; the configuration counts kilobytes).
bool configured(const char *path, const partition *pt) {
  for (int i = 0; i < dbsconfig.ndbspace; i++) {
    const cfgspace &s = dbsconfig.dbspaces[i];
    for (int j = 0; j < s.nparts; j++) {
      const cfgpart &c = s.parts[j];
      if (strcmp(c.path, path) == 0 && int64_t{c.offset} * 1024 == pt->offset &&
          int64_t{c.size} * 1024 == pt->size)
        return true;
    }
  }
  return false;
}

// A negative offset would put pages before the partition, into whatever precedes it; run
// set-user-id only partitions of the configuration are opened.
bool partition_allowed(const partition *pt, const char *dev) {
  if (pt->offset < 0) return refuse(dev, "negative offset", EINVAL);
  if (ba_setuidrun() == 0 || configured(dev, pt)) return true;
  return refuse(dev, "not a partition of the configuration", EACCES);
}

// The open descriptor must show a regular file or block device that passes the owner, group
// and mode check of the configuration. Closes fd and returns false when not.
bool device_sound(int fd, const char *dev) {
  struct stat st;
  const char *reason = nullptr;
  if (fstat(fd, &st) != 0)
    reason = "cannot be examined";
  else if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
    reason = "not a regular file or block device";
  else if (ba_confowner(dev, &st) != 0)
    reason = "owner, group or mode not tolv, tolv, 0660";
  // O_NONBLOCK only kept the open from hanging on a FIFO; transfers block as usual.
  if (reason == nullptr && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) return true;
  if (reason == nullptr) reason = "cannot be set to blocking transfers";
  close(fd);
  return refuse(dev, reason, EACCES);
}

// Opens dev for reading and writing (close-on-exec). Run set-user-id: with the caller's
// rights, never through a symbolic link (O_NOFOLLOW for the last component, the real path for
// the directories), and checked on the descriptor. The descriptor, or -1 with iserrno.
int open_device(const char *dev) {
  bool strict = ba_setuidrun() != 0;
  int fd;
  {
    ba_ascaller caller;
    if (!caller.ok()) {
      refuse(dev, "cannot take the caller's rights", EPERM);
      return -1;
    }
    char real[PATH_MAX];
    if (strict && (realpath(dev, real) == nullptr || strcmp(real, dev) != 0)) {
      refuse(dev, "not its own real path (a symbolic link)", ELOOP);
      return -1;
    }
    fd = open(dev, O_RDWR | O_NOCTTY | O_CLOEXEC | (strict ? O_NOFOLLOW | O_NONBLOCK : 0));
  }
  if (fd < 0) {
    iserrno = errno;
    if (strict && errno == ELOOP) refuse(dev, "a symbolic link", ELOOP);
    return -1;
  }
  return !strict || device_sound(fd, dev) ? fd : -1;
}

// ---- Writing buffers home ----------------------------------------------------------------------

int32_t pagenr_of(const pagebuf *b) { return pg_word(b->page, PH_PAGENR); }

// Waits while a before image of pagenr is still in the before-image buffer: 10 ms naps marked
// 'I' with the page number, waking the image writer on every nap. 0 once no image waits; -1
// with ER_STOPREQ when the stop flag is set while one still does (the page must then stay
// unwritten: it may never reach the disk before its image).
// Decision: only the stop flag ends the wait, not the DBS leaving online mode: a server that
// shuts down may still write images (and checkpoint) in a state other than online, and giving
// up then would leave pages unwritten that could have been saved. A daemon whose image writer
// is gone for good is stopped with SIGTERM, which this wait now honours.
int await_image(int32_t pagenr) {
  while (bm_imgsaved(pagenr) == 0) {
    if (term_req != 0) {
      iserrno = ER_STOPREQ;
      return -1;
    }
    count(&bm_dbs->st_savewait);
    bool nested = bm_waitbegin(WK_IMAGE, pagenr);
    if (bm_dbs->imgwriter != -1) bm_wakeup(bm_dbs->imgwriter);
    bm_nap(kSaveNapMs);
    bm_waitend(nested);
  }
  return 0;
}

// Whether page pagenr is page m of a run that starts at page loc of its partition (pagenr of
// that first page: first): the very next page of the same dbspace, within the dbspace and
// within the same partition, so that a run never spans a gap or two partitions.
bool follows(int32_t first, int m, int32_t pagenr, const pageloc &loc) {
  int d = space_of(first);
  return int64_t{pagenr} == int64_t{first} + m && space_of(pagenr) == d &&
         page_of(pagenr) < bm_dbs->dbspaces[d].npages && int64_t{loc.page} + m < part_pages(*loc.pt);
}

// The length of the run that starts with bufs[0] at loc: the following buffers of bufs, in
// their order, as long as their pages follow on (see follows), at most BM_RUNMAX, and only
// while no before image of the next page waits: such a page ends the run, so that the pages
// before it go out at once and the wait for its image comes first in the next call, as with
// one write per page. Without images_pending no image is looked for (see bm_saverun).
int run_length(pagebuf *const *bufs, int n, const pageloc &loc, bool images_pending) {
  int32_t first = pagenr_of(bufs[0]);
  int m = 1;
  while (m < n && m < BM_RUNMAX && follows(first, m, pagenr_of(bufs[m]), loc) &&
         (!images_pending || bm_imgsaved(pagenr_of(bufs[m])) != 0))
    m++;
  return m;
}

// Writes the pages of the m buffers at loc in one pwritev. The bytes that reached the device.
// Kept out of line: its iovec array would otherwise put a stack guard into every one-page write.
[[gnu::noinline]] int write_pieces(int fd, const pageloc &loc, pagebuf *const *bufs, int m) {
  struct iovec iov[BM_RUNMAX];
  for (int i = 0; i < m; i++) iov[i] = {bufs[i]->page, PAGESIZE};
  ssize_t done = write_at(page_pos(loc.pt, loc.page),
                          [&](off_t pos) { return pwritev(fd, iov, m, pos); });
  return reached(done, m * PAGESIZE);
}

// Writes the pages of the m buffers in one positioned call at loc: pwrite for one page (the
// cheaper call), pwritev for more. Returns how many of them reached the device in full (all m,
// or the leading ones a short write got out); iserrno holds the reason of a shortfall.
int write_run(int fd, const pageloc &loc, pagebuf *const *bufs, int m) {
  int bytes = m == 1 ? write_pages(fd, loc, bufs[0]->page, PAGESIZE)
                     : write_pieces(fd, loc, bufs, m);
  int pages = bytes / PAGESIZE;
  __atomic_fetch_add(&bm_dbs->st_writes, pages, __ATOMIC_RELAXED);
  return pages;
}

// ---- Repeated write failures of the flush pass ------------------------------------------------
// A device that fails for good would otherwise log two lines per dirty buffer every second
// until the disk holding the log is full too. So the flush pass reports the first failure of
// each partition in full, then counts its repeats and reports the count at most once per
// kRepeatSeconds, and reports when a write of the partition succeeds again. The notes are
// process-local (the daemon's own), by the partition's fdslot - 1 like the descriptor cache.

struct failnote {
  int32_t failing;  // 1 while the partition's writes fail
  int32_t repeats;  // failures counted, not yet reported
  int32_t lasterr;  // iserrno of the last counted failure
  int64_t since;    // when the counting interval began (seconds since the epoch)
};

failnote *failnotes;
int nfailnotes;

// The note of pt, grown into being (zeroed: not failing); null when there is no room for it.
failnote *note_of(const partition *pt) {
  int slot = pt->fdslot - 1;
  if (slot < 0) return nullptr;
  while (nfailnotes <= slot) {
    if (ba_rszvek(&failnotes, nfailnotes, sizeof *failnotes) != 0) return nullptr;
    nfailnotes++;
  }
  return &failnotes[slot];
}

[[gnu::cold]] void report_repeats(const partition *pt, const failnote &f, int64_t now) {
  devpath dev(pt);
  bm_logmsg("%d: Write on device %s failed %d more times in %d s.errno %d\n", ba_getpid(),
            dev.path, f.repeats, static_cast<int>(now - f.since), f.lasterr);
}

// Records a failed write of the run page at loc (write_failed: the device refused the write;
// otherwise the device could not be opened, which has reported itself). Returns whether the
// failure is reported in full: the first one of the partition since its writes last
// succeeded, or any one when there is no room to keep count.
[[gnu::cold]] bool note_failure(const pageloc &loc, bool write_failed) {
  failnote *f = note_of(loc.pt);
  int64_t now = time(nullptr);
  if (f == nullptr || f->failing == 0) {
    if (f != nullptr) *f = {1, 0, 0, now};
    if (write_failed) report_failure(IO_WRITE, loc, 1);
    return true;
  }
  f->repeats++;
  f->lasterr = iserrno;
  if (now - f->since >= kRepeatSeconds) {
    report_repeats(loc.pt, *f, now);
    f->repeats = 0;
    f->since = now;
  }
  return false;
}

// Records a successful write of pt: a failing partition reports that it works again, with the
// count of the failures not reported yet.
void note_success(const partition *pt) {
  int slot = pt->fdslot - 1;
  if (slot < 0 || slot >= nfailnotes || failnotes[slot].failing == 0) return;
  devpath dev(pt);
  bm_logmsg("%d: Write on device %s succeeds again.%d more failures\n", ba_getpid(), dev.path,
            failnotes[slot].repeats);
  failnotes[slot] = {};
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

void bm_dropfds() {
  for (int i = 0; i < bm_nfdtab; i++) {
    if (bm_fdtab[i] >= 0) close(bm_fdtab[i]);
    bm_fdtab[i] = -1;
  }
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
  if (!partition_allowed(pt, dev.path)) return -1;
  int fd = open_device(dev.path);
  if (fd < 0) return -1;
  // The caller's environment must not switch off a check that guards root's writes.
  bool probe = (ba_settings.flags & ENV_NOCONFCHECK) == 0 || ba_setuidrun() != 0;
  if (probe && probe_lastpage(fd, pt) != 0) {
    bm_logerr("Reading last page of %s failed. errno = %d\n", dev.path, iserrno);
    close(fd);
    return -1;
  }
  return fd;
}

int bm_savepage(pagebuf *b) {
  int32_t pagenr = pagenr_of(b);
  if (await_image(pagenr) != 0) return -1;
  return bm_pwrite(pagenr, b->page, PIO_ANYPART);
}

// ---- Durability --------------------------------------------------------------------------------

namespace {

// The partition that holds page pagenr, or null after the refusal (ER_BADPAGEIO, logged).
partition *partition_of(int32_t pagenr) { return locate(IO_WRITE, pagenr, PIO_ANYPART, 1).pt; }

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
  partition *pt = partition_of(pagenr);
  return pt != nullptr ? bm_getfd(pt) : -1;
}

int bm_syncpage(int32_t pagenr) {
  partition *pt = partition_of(pagenr);
  return pt != nullptr ? sync_part(pt) : -1;
}

int bm_syncall() {
  for (int d = 0; d < bm_dbs->ndbspaces; d++) {
    const dbspace &sp = bm_dbs->dbspaces[d];
    for (int i = 0; i < sp.nparts; i++)
      if (sync_part(&sp.parts[i]) != 0) return -1;
  }
  return 0;
}

bm_run bm_saverun(pagebuf *const *bufs, int n, bool images_pending) {
  bm_run r = {1, 0, false};
  int32_t first = pagenr_of(bufs[0]);
  if (images_pending && await_image(first) != 0) return r;
  if (bm_myslot != nullptr) bm_myslot->nwrites++;
  pageloc loc = locate(IO_WRITE, first, PIO_ANYPART, 1);
  if (loc.pt == nullptr) return r;
  r.taken = run_length(bufs, n, loc, images_pending);
  if (bm_myslot != nullptr) bm_myslot->nwrites += r.taken - 1;
  __atomic_fetch_add(&loc.pt->nwrites, r.taken, __ATOMIC_RELAXED);
  int fd = bm_getfd(loc.pt);
  if (fd >= 0) r.written = write_run(fd, loc, bufs, r.taken);
  if (r.written == r.taken) {
    note_success(loc.pt);
  } else {
    pageloc failed = {loc.pt, loc.page + r.written};
    r.counted = !note_failure(failed, fd >= 0);
  }
  return r;
}
