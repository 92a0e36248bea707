// srv_stat: the stand-in's report of a running DBS.
//
// Principal entry point: srv_stat.
//
// See also: srv_stat.h (the report's layout).
#include "tools/srv_stat.h"

#include <ctime>

namespace {

// Counts of one buffer list.
struct listcounts {
  int used = 0, dirty = 0, fixed = 0, flushing = 0;
};

listcounts count_list(const buflist &l) {
  listcounts c;
  for (int i = 0; i < l.nbufs; i++) {
    const pagebuf &b = l.bufs[i];
    uint32_t flags = __atomic_load_n(&b.flags, __ATOMIC_RELAXED);
    if (pg_word(b.page, PH_PAGENR) != NOPAGE) c.used++;
    if ((flags & BF_DIRTY) != 0) c.dirty++;
    if (__atomic_load_n(&b.fixcnt, __ATOMIC_RELAXED) > 0) c.fixed++;
    if ((flags & BF_FLUSHING) != 0) c.flushing++;
  }
  return c;
}

void header(FILE *out, const dbshead *h) {
  int state = __atomic_load_n(&h->state, __ATOMIC_RELAXED);
  fprintf(out, "state %d (%s), stamp %d, flushpct %d, key %d at 0x%08x\n", state,
          state == DBS_ONLINE ? "online" : "not online", h->dbsstamp, h->flushpct, h->shmkey,
          h->shmaddr);
  fprintf(out, "reads %d requests %d writes %d log writes %d hits %d before-image writes %d\n",
          h->st_reads, h->st_requests, h->st_writes, h->log_writes, h->st_hits, h->st_biflush);
  fprintf(out,
          "naps: nofree %d biwait %d savewait %d readwait %d transit %d flushwait %d "
          "archwait %d\n",
          h->st_nofree, h->st_biwait, h->st_savewait, h->st_readwait, h->st_transit,
          h->st_flushwait, h->st_archwait);
}

// The log's current file and the checkpoint state.
void logstate(FILE *out, const dbshead *h) {
  const logctl &lc = h->logctl;
  int cur = lc.lc_cur;
  bool known = cur >= 0 && cur < LC_MAXFILES;
  fprintf(out, "log: file %d of %d, log id %d, page %d, %d bytes; ckptrun %d ckptflags 0x%x\n",
          cur, lc.lc_nfiles, known ? lc.lc_logid[cur] : -1, lc.lc_curpage,
          known ? lc.lc_bytes[cur] : -1, h->ckptrun, h->ckptflags);
}

// Before images and archive copies: what waits in the buffers, where the next batch goes.
void images(FILE *out, const dbshead *h) {
  int used = 0;
  for (int i = 0; i < h->nbitab; i++) used += h->bitab[i] != NOPAGE;
  fprintf(out,
          "before images: %d of %d in the buffer, next batch at page %d of %d..%d, bitab %d of "
          "%d in use, sequence %d, image writer %d\n",
          h->nimg, h->imgmax, h->binext, h->bifirst, h->bilast, used, h->nbitab, h->biseqno,
          h->imgwriter);
  fprintf(out, "archive: flags 0x%x, %d of %d slots, %d copies stored\n", h->archflags,
          h->archbuf.get() != nullptr ? h->archmax : 0, h->archmax, h->narch);
}

void lists(FILE *out, const dbshead *h) {
  fprintf(out, "list  buffers  used dirty fixed flushing  holder\n");
  for (int i = 0; i < h->nlists; i++) {
    const buflist &l = h->lists[i];
    listcounts c = count_list(l);
    int holder = __atomic_load_n(&l.sema.lock, __ATOMIC_RELAXED) != 0 ? l.sema.owner : 0;
    char who[16] = "-";
    if (holder != 0) snprintf(who, sizeof who, "%d", holder);
    fprintf(out, "%4d %8d %5d %5d %5d %8d %7s\n", i, l.nbufs, c.used, c.dirty, c.fixed, c.flushing,
            who);
  }
}

// A text field of the segment, bounded by its size whether or not it holds a NUL.
template <size_t N>
int width(const char (&)[N]) {
  return static_cast<int>(N);
}

void user(FILE *out, int i, const userslot &u) {
  char wait[24] = "-";
  if ((u.uflags & US_WAITING) != 0) snprintf(wait, sizeof wait, "%c %d", u.waitkind, u.waitobj);
  char login[24] = "-";
  time_t t = u.logintime;
  struct tm tm;
  if (localtime_r(&t, &tm) != nullptr) strftime(login, sizeof login, "%Y-%m-%d %H:%M:%S", &tm);
  fprintf(out, "%4d %7d %-14.*s 0x%04x  %-8s %10d %-19s %-10.*s %.*s\n", i, u.pid,
          width(u.progname), u.progname, u.uflags, wait, u.seenstamp, login, width(u.tty), u.tty,
          width(u.host), u.host);
}

void users(FILE *out, const dbshead *h) {
  fprintf(out,
          "slot     pid program        flags   wait           seen login               "
          "tty        host\n");
  for (int i = 0; i < h->nusers; i++)
    if (h->users[i].progname[0] != '\0') user(out, i, h->users[i]);
}

}  // namespace

void srv_stat(FILE *out, const dbshead *h) {
  header(out, h);
  logstate(out, h);
  images(out, h);
  lists(out, h);
  users(out, h);
}
