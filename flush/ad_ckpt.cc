// ad_ckpt: the checkpoint of the ad_check module: ad_checkpoint and what it writes, the DBS root
// page (ad_save_rootpage) and the cleaning page of the before-image area (ad_cleanbi); and
// ad_clrarch, the end of an archive run in the buffer pool.
//
// The steps of ad_checkpoint and the locks each takes:
//   1  no checkpoint while a user waits for a free log file ('F')        ctlarea sema
//   2  "Checkpoint started in log %d %d"
//   3  ckptrun = 1, CK_RUNNING: from now on no action starts; first waits  actsem
//      while another process's checkpoint runs (CK_RUNNING already set)
//   4  wait for running actions, 30 more looks a second apart            ctlarea sema
//   5  write the before-image buffer out (forced)
//   6  count the users in a transaction                                  (no lock: a count)
//   7  ad_flush of every list, every buffer                             list semas
//   8  wait until no buffer is being flushed (a daemon pass may still write)
//   8a every buffer written (none still dirty) and every partition synced
//   9  the checkpoint record, forced (durable when it returns)            logsem
//   10 the root page, made durable
//   11 clean the before-image area; binext = bifirst, bitab all -1
//   12 with `debug`: report a user whose local images are still pending
//   13 clear BF_BEFIMG everywhere                                        (no lock: no actions)
//   14 ckpt_logid, modified = 0
//   15 archive state: keep ckptrun at the first checkpoint of an archive run  archsem
//   16 CK_RUNNING off, "Checkpoint terminated"
// Invariant: the interval's before images are given up (step 11) only when every page written in
// it is durable (8a), the checkpoint is in the log (9) and the root page names it (10). A step
// that fails before that ends the checkpoint like an abort: ckptrun 0, CK_RUNNING off,
// `modified` left set, the images kept, so the next checkpoint tries again. (Writing on
// regardless would drop the images of pages that never reached the disk; after a crash their
// changes could not be undone.)
//
// See also: ad_ckpt.h (contracts, root page layout), ad_check (ad_flush), bm/bm_logwr
// (bm_wrtlog), bm/bm_image (bm_saveimagebuf), bm/bm_io (bm_pwrite, bm_syncall).
#include "flush/ad_ckpt.h"

#include <cstdio>
#include <cstring>

#include "ba/ba_env.h"
#include "ba/ba_sys.h"
#include "ba/globals.h"
#include "bm/bm_image.h"
#include "bm/bm_io.h"
#include "bm/bm_log.h"
#include "bm/bm_logrec.h"
#include "bm/bm_mem.h"
#include "bm/bm_sema.h"
#include "flush/ad_check.h"

namespace {

constexpr int kFlushNapMs = 10;  // step 8: nap while a buffer is being flushed
constexpr int kActionNapSec = 1;
constexpr int kCheckpointNapMs = 100;  // step 3: nap while another checkpoint runs
// The notice of the root page (its text is this system's choice).
constexpr char kNotice[] =
    "DBS root page: the log state of the last checkpoint. Written by the checkpoint only.";
static_assert(sizeof kNotice <= RP_VALUE - RP_NOTICE);

bool in_use(const userslot &u) { return u.progname[0] != '\0'; }
uint32_t flags_of(const userslot &u) { return __atomic_load_n(&u.uflags, __ATOMIC_SEQ_CST); }

// Under the ctlarea semaphore: whether a slot in use satisfies pred. Never sleeps holding it.
template <class Pred>
bool any_user(dbshead *h, Pred pred) {
  bmsema *s = &h->ctlarea->sema;
  bm_p(s);
  bool found = false;
  for (int i = 0; i < h->nusers && !found; i++) found = in_use(h->users[i]) && pred(h->users[i]);
  bm_v(s);
  return found;
}

bool waits_for_logfile(const userslot &u) {
  return (flags_of(u) & US_WAITING) != 0 && u.waitkind == WK_LOGFILE;
}
bool in_action(const userslot &u) { return (flags_of(u) & US_EA) != 0; }

// Lets actions start again: the end of an aborted checkpoint.
void abort_checkpoint(dbshead *h) {
  bm_logmsg("Checkpoint aborted\n");
  bm_p(h->actsem);
  h->ckptrun = 0;
  bm_v(h->actsem);
  __atomic_fetch_and(&h->ckptflags, ~CK_RUNNING, __ATOMIC_SEQ_CST);
}

// Step 3. Two checkpoints at once (the daemon's and one asked for by tolvdb) must not overlap:
// the first to end lets actions start again, and the other would then clean the area and clear
// BF_BEFIMG under running actions, dropping before images of pages changed since. So CK_RUNNING
// is tested and set together under actsem, and a checkpoint that finds it set waits for the
// other to end before it begins. The stop flag ends the wait: false, nothing begun.
bool claim_checkpoint(dbshead *h) {
  bm_p(h->actsem);
  while ((__atomic_load_n(&h->ckptflags, __ATOMIC_SEQ_CST) & CK_RUNNING) != 0) {
    bm_v(h->actsem);
    if (term_req != 0) return false;
    bm_nap(kCheckpointNapMs);
    bm_p(h->actsem);
  }
  h->ckptrun = 1;
  __atomic_fetch_or(&h->ckptflags, CK_RUNNING, __ATOMIC_SEQ_CST);
  bm_v(h->actsem);
  return true;
}

// Step 4: false when actions still run after the budget (the checkpoint is then aborted).
bool await_actions(dbshead *h) {
  for (int budget = CK_BUDGET; any_user(h, in_action); budget--) {
    bm_saveimagebuf(1);
    ba_sleep(kActionNapSec);
    if (budget == 0) {
      abort_checkpoint(h);
      return false;
    }
  }
  return true;
}

int users_in_transaction(const dbshead *h) {
  int n = 0;
  for (int i = 0; i < h->nusers; i++)
    if (in_use(h->users[i]) && (flags_of(h->users[i]) & US_INTRANS) != 0) n++;
  return n;
}

// The first buffer of the pool with one of flags set, scanning each list's buffers in order;
// null when there is none.
pagebuf *first_with(const dbshead *h, uint32_t flags) {
  for (int l = 0; l < h->nlists; l++) {
    const buflist &list = h->lists[l];
    for (int i = 0; i < list.nbufs; i++)
      if ((__atomic_load_n(&list.bufs[i].flags, __ATOMIC_SEQ_CST) & flags) != 0)
        return &list.bufs[i];
  }
  return nullptr;
}

// Steps 7, 8 and 8a: every list flushed, every write finished, nothing left dirty, every
// partition synced. False (logged) when a page could not be written or a sync failed.
bool flush_durably(dbshead *h) {
  for (int l = 0; l < h->nlists; l++) ad_flush(&h->lists[l], AD_ALLBUFFERS);
  while (first_with(h, BF_FLUSHING) != nullptr) bm_nap(kFlushNapMs);
  // No action runs, so a buffer that is dirty now was not written: its write failed (the flush
  // pass made it dirty again) or it was fixed while the pass went by.
  if (pagebuf *b = first_with(h, BF_DIRTY)) {
    bm_logmsg("Checkpoint: page %d could not be written\n", pg_word(b->page, PH_PAGENR));
    return false;
  }
  if (bm_syncall() != 0) {
    bm_logmsg("Checkpoint: bm_syncall() failed. errno = %d\n", iserrno);
    return false;
  }
  return true;
}

// Step 9: the checkpoint record, forced.
bool record_checkpoint(int intrans) {
  unsigned char r[CR_LEN] = {};
  int16_t minus1 = -1;
  pg_setword(r, LR_LENGTH, CR_LEN);
  pg_setword(r, LR_USER, 0);
  memcpy(r + 12, &minus1, sizeof minus1);
  r[LR_TYPE] = LT_CHECKPOINT;
  r[15] = 1;
  pg_setword(r, 16, 0);
  pg_setword(r, CR_INTRANS, intrans);
  memcpy(r + 24, &minus1, sizeof minus1);
  pg_setword(r, 28, -1);
  lr_settrailer(r + CR_LEN - LR_TRAILLEN, CR_LEN);
  if (bm_wrtlog(CR_LEN, r, 1) != nullptr) return true;
  bm_logmsg("Checkpoint: bm_wrtlog() failed. errno = %d\n", iserrno);
  return false;
}

// Step 10: the root page, durable.
bool save_root(dbshead *h) {
  if (ad_save_rootpage(h, 0) != 0) {
    bm_logmsg("Checkpoint: ad_save_rootpage() failed. errno = %d\n", iserrno);
    return false;
  }
  if (bm_syncpage(ROOT_PAGENR) != 0) {
    bm_logmsg("Checkpoint: ad_save_rootpage() failed. errno = %d\n", iserrno);
    return false;
  }
  return true;
}

// Step 11 and the bookkeeping of the new interval.
void forget_images(dbshead *h) {
  ad_cleanbi(h->bifirst, h->dbsstamp);
  h->binext = h->bifirst;
  for (int i = 0; i < h->nbitab; i++) h->bitab[i] = -1;
}

// Step 12: a user whose local images are still pending.
void check_users(const dbshead *h) {
  for (int i = 0; i < h->nusers; i++) {
    const userslot &u = h->users[i];
    if (!in_use(u) || u.locimg.get() == nullptr) continue;
    for (int k = 0; k < u.nlocimg; k++) {
      const unsigned char *img = u.locimg[k].image;
      if (img != nullptr && pg_word(img, PH_PAGENR) != -1) {
        bm_logmsg("Checkpoint: User still active!\n");
        return;
      }
    }
  }
}

// Step 13, without list semaphores: no action runs that could change these flags.
void clear_befimg(dbshead *h) {
  for (int l = 0; l < h->nlists; l++) {
    buflist &list = h->lists[l];
    for (int i = 0; i < list.nbufs; i++)
      __atomic_fetch_and(&list.index[i]->flags, ~BF_BEFIMG, __ATOMIC_SEQ_CST);
  }
}

// Step 15: the archive state; whether ckptrun goes back to 0.
bool end_archive_interval(dbshead *h) {
  uint32_t a = h->archflags;
  if ((a & AR_ACTIVE) != 0 && (a & AR_CKPTSEEN) == 0) {
    h->archflags = a | AR_CKPTSEEN;
    return false;
  }
  if (a == 0) {
    bm_p(h->archsem);
    if (h->archbuf.get() != nullptr) bm_free(h->archbuf);
    h->archbuf = nullptr;
    bm_v(h->archsem);
  }
  return true;
}

// Copies text into the root page at off: at most n - 1 bytes, NUL-terminated, bounded by the
// text's own field size (src may lack its NUL).
void put_text(unsigned char *page, int off, const char *src, size_t srcmax, size_t n) {
  size_t len = src == nullptr ? 0 : strnlen(src, srcmax);
  memcpy(page + off, src == nullptr ? "" : src, len < n ? len : n - 1);
}

}  // namespace

void ad_checkpoint(dbshead *h) {
  if (any_user(h, waits_for_logfile)) return;
  const logctl &lc = h->logctl;
  bm_logmsg("Checkpoint started in log %d %d\n", lc.lc_cur, lc.lc_logid[lc.lc_cur]);
  if (!claim_checkpoint(h) || !await_actions(h)) return;
  bm_saveimagebuf(1);
  int intrans = users_in_transaction(h);
  if (!flush_durably(h) || !record_checkpoint(intrans) || !save_root(h)) {
    abort_checkpoint(h);
    return;
  }
  forget_images(h);
  if (ba_settings.debug != 0) check_users(h);
  clear_befimg(h);
  h->ckpt_logid = lc.lc_logid[lc.lc_cur];
  h->modified = 0;
  if (end_archive_interval(h)) {
    bm_p(h->actsem);
    h->ckptrun = 0;
    bm_v(h->actsem);
  }
  __atomic_fetch_and(&h->ckptflags, ~CK_RUNNING, __ATOMIC_SEQ_CST);
  bm_logmsg("Checkpoint terminated\n");
}

int ad_save_rootpage(dbshead *h, int value) {
  unsigned char page[PAGESIZE] = {};
  const logctl &lc = h->logctl;
  int nfiles = lc.lc_nfiles < LC_MAXFILES ? lc.lc_nfiles : LC_MAXFILES;
  pg_setword(page, PH_PAGENR, ROOT_PAGENR);
  for (int off = RP_MINUS1; off <= RP_MINUS1 + 8; off += 4) pg_setword(page, off, -1);
  pg_setword(page, RP_LOGCUR, lc.lc_cur);
  pg_setword(page, RP_CURPAGE, lc.lc_curpage);
  pg_setword(page, RP_WRPOS, static_cast<int32_t>(lc.lc_wrptr.get() - (lc.lc_page + PH_DATA)));
  for (int f = 0; f < nfiles; f++) {
    int16_t st = lc.lc_state[f];
    memcpy(page + RP_STATES + 2 * f, &st, sizeof st);
    pg_setword(page, RP_LOGIDS + 4 * f, lc.lc_logid[f]);
    pg_setword(page, RP_BYTES + 4 * f, lc.lc_bytes[f]);
  }
  pg_setword(page, RP_SESSCTR, h->sessctr);
  pg_setword(page, RP_BISEQNO, h->biseqno);
  pg_setword(page, RP_LOGSEQ, h->log_seq);
  put_text(page, RP_SYSTEM, "TOLV-SQL", 12, 12);
  put_text(page, RP_NOTICE, kNotice, sizeof kNotice, RP_VALUE - RP_NOTICE);
  pg_setword(page, RP_VALUE, value);
  put_text(page, RP_DBSNAME, ba_settings.dbsname, 12, 12);
  put_text(page, RP_ROOTTEXT, h->roottext, sizeof h->roottext, 12);
  pg_setword(page, RP_ROOTVAL, h->rootval);
  return bm_pwrite(ROOT_PAGENR, page, 0);
}

void ad_cleanbi(int32_t page, int32_t stamp) {
  unsigned char buf[PAGESIZE] = {};
  pg_setword(buf, PH_PAGENR, page);
  pg_setword(buf, PH_STAMP, stamp);
  pg_setword(buf, PH_BISEQ, BI_CLEAN);
  pg_setword(buf, PH_BISEQ2, BI_CLEAN);
  if (bm_pwrite(page, buf, PIO_ANYPART) != 0 || bm_syncpage(page) != 0)
    bm_logmsg("Error during Checkpoint while cleaning log\n");
}

void ad_clrarch(dbshead *h) {
  for (int l = 0; l < h->nlists; l++) {
    buflist &list = h->lists[l];
    bm_p(&list.sema);
    // Atomic: the end of an action clears BF_LOCIMG without the list semaphore.
    for (pagebuf *b = list.head; b != nullptr; b = b->next)
      __atomic_fetch_and(&b->flags, ~BF_ARCHIVED, __ATOMIC_SEQ_CST);
    bm_v(&list.sema);
  }
}
