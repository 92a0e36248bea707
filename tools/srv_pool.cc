// srv_pool: the stand-in dirties pages in the buffer pool and verifies them against the disk.
//
// Principal entry points: srv_touch, srv_verify; srv_checkpages, srv_fillpage, srv_pageok.
//
// A touch of one page is an update action of its own (bm_startea .. bm_endea with a small log
// record) around bm_getpage(ST_UPDATE, with ST_NEW for pages created anew) and bm_unfix, as a
// server process makes it: the buffer manager finds or assigns the buffer, waits where it
// must, takes the before and local images; the stand-in writes the new contents into the fixed
// page.
//
// See also: srv_pool.h (contents and lock rules), srv_layout.h (reserved pages).
#include "tools/srv_pool.h"

#include <cstdio>
#include <cstring>

#include "ba/ba_msg.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_image.h"
#include "bm/bm_io.h"
#include "bm/bm_main.h"
#include "bm/bm_sema.h"
#include "bm/bm_shm.h"
#include "bm/bm_user.h"
#include "tools/srv_create.h"
#include "tools/srv_layout.h"
#include "tools/srv_log.h"

namespace {

constexpr uint32_t kFnvBasis = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;
// Buffer states in which another process relies on the page image staying as it is.
constexpr uint32_t kBusyFlags = BF_READING | BF_SAVEOLD | BF_FLUSHING;
// Flags of a page that is not yet due on disk.
constexpr uint32_t kPendingFlags = BF_DIRTY | kBusyFlags;
constexpr int kVerifyLooks = 3;  // looks at a clean page that differs before it counts

unsigned char pattern(int32_t pagenr, int32_t version, int i) {
  return static_cast<unsigned char>(pagenr * 7 + version * 13 + i);
}

int32_t pagenr_of(const pagebuf *b) { return pg_word(b->page, PH_PAGENR); }

// ---- Touch: one update action per page ------------------------------------------------------

// The log record ending a touch action: the fixed fields, then page number and version.
constexpr int kTouchRecLen = LR_HEADLEN + 8 + LR_TRAILLEN;
constexpr int kTouchRecType = 1;

logpos *end_touch(int32_t p, int32_t version) {
  std::vector<unsigned char> r = srv_logrecord(kTouchRecLen, bm_sessno(), kTouchRecType);
  pg_setword(r.data(), LR_HEADLEN, p);
  pg_setword(r.data(), LR_HEADLEN + 4, version);
  return bm_endea(kTouchRecLen, r.data(), nullptr);
}

std::string page_step(int32_t p, const char *what) {
  return "page " + std::to_string(p) + ": " + what;
}

// Updates page p in an update action of its own: bm_startea, bm_getpage, the new contents,
// bm_unfix, bm_endea with the touch record; a failed request or record aborts the action (the
// page's local image is put back). Without an image writer the touch does the server's share
// itself: the checkpoint that is due before the action, the before-image buffer after it
// (nobody else would write it, and the page could never be written home).
int touch_page(int32_t p, int state, std::string *why) {
  bool alone = __atomic_load_n(&bm_dbs->imgwriter, __ATOMIC_ACQUIRE) == -1;
  if (alone) srv_checkpointifdue();
  if (bm_startea(nullptr, 0, EA_UPDATE) != 0) return srv_refused(why, page_step(p, "no action"));
  int32_t version = bm_nextseq();
  pagebuf *b = bm_getpage(p, state, nullptr);
  if (b == nullptr) return srv_aborted(why, page_step(p, "page request"));
  srv_fillpage(b->page, p, version);
  bm_unfix(b);
  if (end_touch(p, version) == nullptr) return srv_aborted(why, page_step(p, "action end"));
  if (alone) bm_saveimagebuf(1);
  return SRV_OK;
}

// ---- Verify ----------------------------------------------------------------------------------

// Reads the disk copy of page through the page I/O (which also logs a failure to the message
// log). SRV_OK or SRV_IO with the reason.
int read_disk(int32_t page, unsigned char *buf, std::string *why) {
  if (bm_pread(page, buf, PIO_ANYPART) == 0) return SRV_OK;
  srv_explain(why, "cannot read page %d: %s", page,
          iserrno > 0 ? strerror(iserrno) : ba_msgtext(iserrno));
  return SRV_IO;
}

// A buffer's page number, flags and image, copied under the list semaphore.
struct snapshot {
  int32_t pagenr;
  uint32_t flags;
  unsigned char page[PAGESIZE];
};

void take(buflist *l, const pagebuf *b, snapshot *s) {
  bm_p(&l->sema);
  s->pagenr = pagenr_of(b);
  s->flags = b->flags;
  memcpy(s->page, b->page, PAGESIZE);
  bm_v(&l->sema);
}

enum class verdict { unused, pending, equal, differs, unreadable };

// What buffer b of list l holds (its page number in *page) compared with the disk.
verdict look(buflist *l, const pagebuf *b, int32_t *page, std::string *why) {
  snapshot s;
  unsigned char ondisk[PAGESIZE];
  verdict v = verdict::differs;
  for (int i = 0; i < kVerifyLooks && v == verdict::differs; i++) {
    take(l, b, &s);
    *page = s.pagenr;
    if (s.pagenr == NOPAGE) return verdict::unused;
    if ((s.flags & kPendingFlags) != 0) return verdict::pending;
    if (read_disk(s.pagenr, ondisk, why) != SRV_OK) return verdict::unreadable;
    if (memcmp(s.page, ondisk, PAGESIZE) == 0) v = verdict::equal;
  }
  return v;
}

void tally(verdict v, int32_t page, srv_verifycounts *c) {
  if (v == verdict::unused) return;
  c->buffered++;
  if (v == verdict::pending) c->dirty++;
  if (v == verdict::equal) c->equal++;
  if (v == verdict::differs || v == verdict::unreadable) {
    c->differing++;
    c->differ.push_back(page);
  }
}

}  // namespace

// The page number word is written only with its final value: a page filled in a buffer fixed
// for update keeps the number under which other processes find it in the sorted index.
void srv_fillpage(unsigned char *page, int32_t pagenr, int32_t version) {
  pg_setword(page, PH_PAGENR, pagenr);
  memset(page + sizeof(int32_t), 0, PAGESIZE - sizeof(int32_t));
  pg_setword(page, PH_PAGETYPE, PT_STANDIN);
  pg_setword(page, SP_VERSION, version);
  pg_setword(page, SP_PID, bm_mypid);
  for (int i = SP_PATTERN; i < SP_CHECKSUM; i++) page[i] = pattern(pagenr, version, i);
  pg_setword(page, SP_CHECKSUM, static_cast<int32_t>(srv_checksum(page)));
}

uint32_t srv_checksum(const unsigned char *page) {
  uint32_t h = kFnvBasis;
  for (int i = 0; i < SP_CHECKSUM; i++) h = (h ^ page[i]) * kFnvPrime;
  return h;
}

bool srv_pageok(const unsigned char *page, int32_t pagenr) {
  if (pg_word(page, PH_PAGENR) != pagenr || pg_word(page, PH_PAGETYPE) != PT_STANDIN) return false;
  if (static_cast<uint32_t>(pg_word(page, SP_CHECKSUM)) != srv_checksum(page)) return false;
  int32_t version = pg_word(page, SP_VERSION);
  for (int i = SP_PATTERN; i < SP_CHECKSUM; i++)
    if (page[i] != pattern(pagenr, version, i)) return false;
  return true;
}

int srv_checkpages(const dbshead *h, int32_t first, int32_t count, std::string *why) {
  for (int64_t q = first; q < int64_t{first} + count; q++) {
    auto p = static_cast<int32_t>(q);
    int d = srv_spaceof(p);
    if (q < 0 || q > INT32_MAX || d >= h->ndbspaces) {
      srv_explain(why, "page %lld: there is no dbspace %lld", static_cast<long long>(q),
              static_cast<long long>(q) >> PN_SPACESHIFT);
      return SRV_BADPAGE;
    }
    srv_areas a = srv_spaceareas(h, d);
    if (srv_pageof(p) >= a.npages) {
      srv_explain(why, "page %d lies beyond the %d pages of dbspace %.*s", p, a.npages,
              static_cast<int>(sizeof h->dbspaces[d].name), h->dbspaces[d].name);
      return SRV_BADPAGE;
    }
    if (const char *what = a.reserved(srv_pageof(p))) {
      srv_explain(why, "page %d %s", p, what);
      return SRV_BADPAGE;
    }
  }
  return SRV_OK;
}

int srv_touch(int32_t first, int32_t count, bool create, std::string *why) {
  int r = srv_checkpages(bm_dbs, first, count, why);
  int state = create ? ST_NEW | ST_UPDATE : ST_UPDATE;
  for (int32_t i = 0; i < count && r == SRV_OK; i++)
    r = term_req ? SRV_STOPPED : touch_page(first + i, state, why);
  return r;
}

int srv_verify(srv_verifycounts *counts, std::string *why) {
  *counts = srv_verifycounts{};
  int r = SRV_OK;
  for (int i = 0; i < bm_dbs->nlists; i++) {
    buflist *l = &bm_dbs->lists[i];
    for (int j = 0; j < l->nbufs; j++) {
      if (term_req) return SRV_STOPPED;
      int32_t page = NOPAGE;
      verdict v = look(l, &l->bufs[j], &page, r == SRV_OK ? why : nullptr);
      if (v == verdict::unreadable) r = SRV_IO;
      tally(v, page, counts);
    }
  }
  return r;
}

int srv_verifystatus(const srv_verifycounts &counts) {
  if (counts.differing > 0) return 1;
  return counts.dirty > 0 ? 2 : 0;
}
