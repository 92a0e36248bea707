// bm_logwr: the logical log's binding and writer: appending records, writing the page being
// filled, the log switch, the release of log files, the long-transaction check.
//
// Principal entry points: bm_loginit/bm_logctl/bm_logmaxrec (binding), bm_wrtlog (append),
// bm_flushlog (force), bm_nextlog (switch), bm_freelogs, bm_longtrans, bm_logbuf, bm_logbusy.
//
// Invariants (logsem held for all of them):
//  (1) lc_wrptr points into lc_page's data area, lc_page + PH_DATA + u with 0 <= u <= 2012; the
//      page being filled holds exactly u record bytes of the current file, the rest zero; it is
//      written (and the next one begun) only when a further byte needs room, so 1 <= lc_curpage
//      < lc_filepages always.
//  (2) lc_bytes[lc_cur] = (lc_curpage - 1) * 2012 + u: the byte count, the page index and the
//      write pointer always agree. An append that fails restores all three, so a later append
//      and read work; pages it wrote already hold bytes beyond lc_bytes, which no reader reads
//      and the next append overwrites.
//  (3) A record never spans two log files: the switch comes first.
//  (4) A forced append returns success only after fdatasync of the log's partition: every
//      page written before it, forced or not, is then on the medium too.
//  (5) Exactly one file is current (state exactly LS_CURRENT); the writer switches only onto a
//      file whose state is free.
//
// See also: bm_logrec.h (contracts, record format), bm_logrd (the readers), bm_io (transfers),
// bm_log (message log).
#include "bm/bm_logrec.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "ba/ba_mem.h"
#include "ba/ba_sys.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_io.h"
#include "bm/bm_log.h"
#include "bm/bm_sema.h"
#include "bm/bm_user.h"

// ---- Logical log: binding ----------------------------------------------------------------------
// Process-local state of the logical log, set by bm_loginit.

namespace {

dbshead *loghead;                 // the attached header

logctl *logblock;                 // the header's log control block (under logsem)
int logmaxrec;                    // record capacity of one log file
unsigned char logzero[PAGESIZE];  // a page of zeros, used to clear page data

// (lc_filepages - 1) * 2012, kept within 0 .. INT_MAX whatever the header holds.
int max_record(const logctl &lc) {
  int64_t bytes = (int64_t{lc.lc_filepages} - 1) * LOG_DATASIZE;
  return static_cast<int>(std::clamp<int64_t>(bytes, 0, INT_MAX));
}

}  // namespace

void bm_loginit(dbshead *h) {
  loghead = h;
  logblock = &h->logctl;
  logmaxrec = max_record(*logblock);
  memset(logzero, 0, sizeof logzero);
}

logctl *bm_logctl() { return logblock; }

dbshead *bm_loghead() { return loghead; }

int bm_logmaxrec() { return logmaxrec; }

// ---- Writer ----------------------------------------------------------------------------------------

namespace {

constexpr int kStaticBuild = 1000;  // records up to this size are built in the static buffer
constexpr int kFullNapSec = 1;      // the full-ring wait polls once a second

logpos position;            // the result of bm_wrtlog
char static_build[kStaticBuild];
char *heap_build;           // the heap build buffer of bm_logbuf, null while none

unsigned char *data_area() { return logblock->lc_page + PH_DATA; }
int filled() { return static_cast<int>(logblock->lc_wrptr.get() - data_area()); }
int16_t *states() { return logblock->lc_state; }

int16_t load_state(int f) { return __atomic_load_n(&states()[f], __ATOMIC_SEQ_CST); }
void store_state(int f, int16_t v) { __atomic_store_n(&states()[f], v, __ATOMIC_SEQ_CST); }

int32_t pagenr_of(int f, int index) {
  return logblock->lc_first + f * logblock->lc_filepages + index;
}

// Fills the log page header of page and writes it as page index `index` of file f.
int write_page(unsigned char *page, int f, int index, int32_t type) {
  dbshead *h = loghead;
  int32_t pagenr = pagenr_of(f, index);
  int32_t seq = h->log_seq++;
  pg_setword(page, PH_PAGENR, pagenr);
  pg_setword(page, PH_STAMP, h->dbsstamp);
  pg_setword(page, PH_PAGETYPE, type);
  pg_setword(page, PH_BISEQ, seq);
  pg_setword(page, PH_BISEQ2, seq);
  h->log_writes++;
  return bm_pwrite(pagenr, page, PIO_ANYPART);
}

// Writes the page being filled as its current page index.
int write_current() {
  return write_page(logblock->lc_page, logblock->lc_cur, logblock->lc_curpage, PT_LOGDATA);
}

// What the page being filled looked like before an append that crosses a page end, so that a
// failed page write can put the log control block back (invariant 2): its page index and its
// first `used` bytes, which later pages of the record overwrite in the data area.
struct fillmark {
  explicit fillmark(int u) : curpage(logblock->lc_curpage), used(u) {
    memcpy(bytes, data_area(), static_cast<size_t>(u));
  }
  int32_t curpage;
  int used;
  unsigned char bytes[LOG_DATASIZE];
};

void restore(const fillmark &m) {
  logblock->lc_curpage = m.curpage;
  memcpy(data_area(), m.bytes, static_cast<size_t>(m.used));
  memset(data_area() + m.used, 0, static_cast<size_t>(LOG_DATASIZE - m.used));
  logblock->lc_wrptr = data_area() + m.used;
}

// Copies the n bytes at r into the record stream. A record that fits into the page being
// filled is only copied there (a page it fills is written by the next append). A longer one
// fills that page and then whole pages, writing each full page and moving on to a cleared next
// one, and leaves its last 0 .. 2011 bytes in memory. The exception is the file's last page:
// filled by a record that ends the file, it stays full in memory, where the switch writes it,
// so that the page being filled never names the next file's header page (or, behind the last
// file, a page beyond the log area). 0, or -1 after a failed page write (the control block
// restored).
int copy_record(const unsigned char *r, int n) {
  int u = filled();
  if (u + n <= LOG_DATASIZE) {
    memcpy(logblock->lc_wrptr.get(), r, static_cast<size_t>(n));
    logblock->lc_wrptr = logblock->lc_wrptr.get() + n;
    return 0;
  }
  fillmark mark(u);
  int part = LOG_DATASIZE - u;
  memcpy(logblock->lc_wrptr.get(), r, static_cast<size_t>(part));
  for (;;) {  // the data area is full; the n - part bytes after part follow
    r += part;
    n -= part;
    if (n == 0 && logblock->lc_curpage >= logblock->lc_filepages - 1) break;
    if (write_current() != 0) {
      restore(mark);
      return -1;
    }
    logblock->lc_curpage++;
    memset(data_area(), 0, LOG_DATASIZE);
    part = std::min(n, LOG_DATASIZE);
    memcpy(data_area(), r, static_cast<size_t>(part));
    if (part < LOG_DATASIZE) break;
  }
  logblock->lc_wrptr = data_area() + part;
  return 0;
}

// Whether a record of len bytes is refused before logsem is taken; sets iserrno.
bool refused(int len) {
  if (len == 0) {
    bm_logerr("bm_wrtlog:len == 0\n");
    iserrno = ER_LOGLEN0;
    return true;
  }
  // A record shorter than LR_MINLEN would have the stamp stored beyond its end or into its
  // trailer and could not be read back; a negative length is no length at all.
  if (len < LR_MINLEN) {
    bm_logerr("bm_wrtlog:len = %d too short\n", len);
    iserrno = ER_LOGLEN0;
    return true;
  }
  return false;
}

// The append itself, logsem held.
logpos *append(int len, unsigned char *r, int force) {
  dbshead *h = loghead;
  logctl &lc = *logblock;
  h->modified = 1;
  pg_setword(r, LR_STAMP, h->dbsstamp);
  if (len > logmaxrec) {
    iserrno = ER_LOGTOOLONG;
    return nullptr;
  }
  if (int64_t{lc.lc_bytes[lc.lc_cur]} + len > logmaxrec && bm_nextlog() != 0) return nullptr;
  if (copy_record(r, len) != 0) return nullptr;
  lc.lc_bytes[lc.lc_cur] += len;
  if (r[LR_TYPE] == LT_COMMIT && h->commit_nosync == 0) force = 1;
  if (force != 0 && bm_flushlog() != 0) return nullptr;
  position.file = static_cast<int16_t>(lc.lc_cur);
  position.logid = lc.lc_logid[lc.lc_cur];
  position.offset = lc.lc_bytes[lc.lc_cur] - len;
  return &position;
}

// ---- The switch ----------------------------------------------------------------------------------

// Waits, logsem held and the own slot marked 'F', until file next is released: first its full
// bit goes, then its free bit comes (a backup clears the one and sets the other).
void wait_for_release(int next) {
  bool nested = bm_waitbegin(WK_LOGFILE, next);
  while ((load_state(next) & LS_FULL) != 0) {
    bm_freelogs();
    ba_sleep(kFullNapSec);
  }
  while ((load_state(next) & LS_FREE) == 0) {
    bm_freelogs();
    ba_sleep(kFullNapSec);
  }
  bm_waitend(nested);
}

// Step 4 of the switch: a full next file is released by auto-free or waited for.
void await_free(int next) {
  dbshead *h = loghead;
  if (logblock->lc_autofree != 0) {
    store_state(next, static_cast<int16_t>(load_state(next) | LS_AUTOFREE));
    bm_freelogs();
  } else {
    if (h->log_fullcmd[0] != '\0') bm_logfull(h->log_fullcmd);
    bm_logmsg("Logical logs are full. Backup is needed\n");
  }
  wait_for_release(next);
}

// Writes the header page of file f under log id logid.
int write_header(int f, int32_t logid) {
  unsigned char page[PAGESIZE] = {};
  pg_setword(page, PH_DATA + LH_LOGID, logid);
  pg_setword(page, PH_DATA + LH_ZERO, 0);
  return write_page(page, f, 0, PT_LOGHEAD);
}

}  // namespace

logpos *bm_wrtlog(int len, void *rec, int force) {
  if (refused(len)) return nullptr;
  bm_p(loghead->logsem);
  logpos *p = append(len, static_cast<unsigned char *>(rec), force);
  bm_v(loghead->logsem);
  return p;
}

// The sync covers every log page written before, forced or not: they share the partition.
int bm_flushlog() {
  if (write_current() != 0) return -1;
  return bm_syncpage(pagenr_of(logblock->lc_cur, logblock->lc_curpage));
}

int bm_nextlog() {
  dbshead *h = loghead;
  logctl &lc = *logblock;
  int cur = lc.lc_cur;
  bm_logmsg("Logfile %d completed\n", lc.lc_logid[cur]);
  if (write_current() != 0) return -1;
  int next = cur + 1 == lc.lc_nfiles ? 0 : cur + 1;
  if ((load_state(next) & LS_FULL) != 0) await_free(next);
  int16_t done = load_state(cur);
  if (lc.lc_autofree != 0) done |= LS_AUTOFREE;
  store_state(cur, static_cast<int16_t>((done | LS_FULL) & ~LS_CURRENT));
  store_state(next, LS_CURRENT);
  int32_t logid = lc.lc_logid[cur] + 1;
  lc.lc_cur = next;
  lc.lc_logid[next] = logid;
  lc.lc_curpage = 1;
  lc.lc_wrptr = data_area();
  lc.lc_bytes[next] = 0;
  memcpy(data_area(), logzero, LOG_DATASIZE);
  if (write_header(next, logid) != 0) return -1;
  if (bm_recovery == 0) h->ckpt_request = 1;
  bm_longtrans(h);
  return 0;
}

void bm_freelogs() {
  const dbshead *h = loghead;
  const logctl &lc = *logblock;
  for (int i = 0; i < lc.lc_nfiles; i++) {
    int16_t s = load_state(i);
    if ((s & LS_AUTOFREE) == 0 || (s & LS_EXEMPT) != 0) continue;
    bool needed = false;
    for (int u = 0; u < h->nusers && !needed; u++) {
      const userslot &us = h->users[u];
      needed = us.progname[0] != '\0' && (us.uflags & US_INTRANS) != 0 && us.beginlog >= 0 &&
               us.beginlog <= lc.lc_logid[i];
    }
    if (needed) continue;
    store_state(i, LS_FREE);
    logblock->lc_logid[i] = -1;
  }
}

void bm_longtrans(dbshead *h) {
  const logctl &lc = h->logctl;
  int32_t current = lc.lc_logid[lc.lc_cur];
  bm_p(h->usersem);
  for (int i = 0; i < h->nusers; i++) {
    userslot &u = h->users[i];
    uint32_t flags = __atomic_load_n(&u.uflags, __ATOMIC_SEQ_CST);
    if (u.progname[0] == '\0' || u.beginlog == US_NOBEGINLOG) continue;
    if ((flags & US_INTRANS) == 0 || (flags & US_LONGTX) != 0) continue;
    if (int64_t{u.beginlog} + lc.lc_nfiles - 1 != current) continue;
    bm_logmsg("Long transaction of user %d detected. Logid = %d\n", u.pid, u.beginlog);
    __atomic_fetch_or(&u.uflags, US_LONGTX, __ATOMIC_SEQ_CST);
    h->long_count++;
  }
  bm_v(h->usersem);
}

void bm_logfull(const char *) {}

char *bm_logbuf(int size) {
  if (size <= kStaticBuild) return static_build;
  if (heap_build != nullptr) ba_release(heap_build);
  heap_build = static_cast<char *>(ba_alloc(size));
  if (heap_build == nullptr) iserrno = ER_NOMEM;
  return heap_build;
}

int bm_logbusy() {
  const dbshead *h = loghead;
  if (h == nullptr || h->log_busycheck == 0) return 0;
  const logctl &lc = *logblock;
  int next = (lc.lc_cur + 1) % lc.lc_nfiles;
  return (load_state(next) & LS_FREE) == 0 ? 1 : 0;
}
