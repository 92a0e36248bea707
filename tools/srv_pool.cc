// srv_pool: the stand-in dirties pages in the buffer pool and verifies them against the disk.
//
// Principal entry points: srv_touch, srv_verify; srv_checkpages, srv_fillpage, srv_pageok.
//
// A touch of one page, under the list semaphore of its list (lists[(p >> 3) mod nlists]):
//   found in the sorted index, unfixed and not being read, saved or flushed -> change it;
//   not found, not in transit, a buffer unused or unfixed without flags   -> assign it;
//   otherwise                                 -> release, nap, try again (bounded).
// A change writes the new contents, sets BF_DIRTY and moves the buffer to the tail of the LRU
// chain. An assignment first moves the buffer in the sorted index from its old page number to
// the new one (the index stays sorted by signed page number, unused buffers first).
//
// See also: srv_pool.h (contents and lock rules), srv_layout.h (reserved pages).
#include "tools/srv_pool.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ba/ba_msg.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_io.h"
#include "bm/bm_sema.h"
#include "tools/srv_create.h"
#include "tools/srv_layout.h"

namespace {

constexpr uint32_t kFnvBasis = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;
// Buffer states in which another process relies on the page image staying as it is.
constexpr uint32_t kBusyFlags = BF_READING | BF_SAVEOLD | BF_FLUSHING;
// Flags of a page that is not yet due on disk.
constexpr uint32_t kPendingFlags = BF_DIRTY | kBusyFlags;
constexpr int kVerifyLooks = 3;  // looks at a clean page that differs before it counts

void bump(int32_t *counter) { __atomic_fetch_add(counter, 1, __ATOMIC_RELAXED); }

unsigned char pattern(int32_t pagenr, int32_t version, int i) {
  return static_cast<unsigned char>(pagenr * 7 + version * 13 + i);
}

int32_t pagenr_of(const pagebuf *b) { return pg_word(b->page, PH_PAGENR); }

buflist *list_of(int32_t page) { return &bm_dbs->lists[(page >> 3) % bm_dbs->nlists]; }

// ---- The list, under its semaphore ----------------------------------------------------------

// The buffer of page in the list's sorted index, or null.
pagebuf *lookup(const buflist *l, int32_t page) {
  int lo = 0, hi = l->nbufs - 1;
  while (lo <= hi) {
    int mid = (lo + hi) >> 1;
    int32_t at = pagenr_of(l->index[mid]);
    if (page < at)
      hi = mid - 1;
    else if (page > at)
      lo = mid + 1;
    else
      return l->index[mid];
  }
  return nullptr;
}

// Moves b within the sorted index from its current page number to page (which no other
// buffer of the list holds); b's page word is set by the caller afterwards.
void resort(buflist *l, pagebuf *b, int32_t page) {
  shmptr<pagebuf> *index = l->index.get();
  shmptr<pagebuf> *end = index + l->nbufs;
  shmptr<pagebuf> *at =
      std::find_if(index, end, [b](const shmptr<pagebuf> &e) { return e.get() == b; });
  std::copy(at + 1, end, at);  // close the gap; the last entry is refilled below
  shmptr<pagebuf> *to =
      std::lower_bound(index, end - 1, page,
                       [](const shmptr<pagebuf> &e, int32_t p) { return pagenr_of(e.get()) < p; });
  std::copy_backward(to, end - 1, end);
  *to = b;
}

void to_tail(buflist *l, pagebuf *b) {
  if (l->tail.get() == b) return;
  if (b->prev)
    b->prev->next = b->next;
  else
    l->head = b->next.get();
  b->next->prev = b->prev.get();  // b is not the tail, so it has a next
  b->prev = l->tail.get();
  b->next = nullptr;
  l->tail->next = b;
  l->tail = b;
}

// The first buffer from the LRU end that is unfixed and has no flags at all (an unused buffer
// has none), or null.
pagebuf *replaceable(const buflist *l) {
  for (pagebuf *b = l->head; b != nullptr; b = b->next)
    if (__atomic_load_n(&b->fixcnt, __ATOMIC_SEQ_CST) == 0 && b->flags == 0) return b;
  return nullptr;
}

// Whether another registered process is still writing back old contents of page.
bool in_transit(int32_t page) {
  for (int i = 0; i < bm_dbs->nusers; i++) {
    const userslot &u = bm_dbs->users[i];
    if (u.progname[0] != '\0' && &u != bm_myslot && u.transit == page) return true;
  }
  return false;
}

// What one attempt came to: done, or what held it up.
enum class outcome { done, flushing, busy, transit, nobuffer };

// One attempt at page p of list l. REQUIRES: the list semaphore.
outcome touch_locked(buflist *l, int32_t p, int32_t version) {
  pagebuf *b = lookup(l, p);
  if (b != nullptr) {
    if ((b->flags & BF_FLUSHING) != 0) return outcome::flushing;
    if (__atomic_load_n(&b->fixcnt, __ATOMIC_SEQ_CST) != 0 || (b->flags & kBusyFlags) != 0)
      return outcome::busy;
    bump(&bm_dbs->st_hits);
  } else {
    if (in_transit(p)) return outcome::transit;
    b = replaceable(l);
    if (b == nullptr) return outcome::nobuffer;
    resort(l, b, p);
  }
  to_tail(l, b);
  srv_fillpage(b->page, p, version);
  b->flags |= BF_DIRTY;
  bm_dbs->modified = 1;
  return outcome::done;
}

// ---- Waiting, without any semaphore --------------------------------------------------------

// Naps once for what held up the attempt, marked in the own slot as a server process would.
void nap_for(outcome o, int32_t page, int napms) {
  char kind = 0;
  int obj = 0;
  if (o == outcome::nobuffer) {
    kind = WK_BUFFER;  // the object of a 'P' wait is not set: keep what it was
    obj = bm_myslot != nullptr ? bm_myslot->waitobj : 0;
    bump(&bm_dbs->st_nofree);
  } else if (o == outcome::flushing) {
    kind = WK_FLUSH;
    obj = page;
    bump(&bm_dbs->st_flushwait);
  } else if (o == outcome::transit) {
    bump(&bm_dbs->st_transit);
  }
  bool nested = kind != 0 ? bm_waitbegin(kind, obj) : true;
  bm_nap(napms);
  bm_waitend(nested);
}

int gave_up(outcome o, int32_t page, const buflist *l, int tries, std::string *why) {
  if (o == outcome::nobuffer)
    srv_explain(why,
            "no buffer of list %d can be taken for page %d: all are fixed, dirty or being "
            "flushed (gave up after %d tries)",
            static_cast<int>(l - bm_dbs->lists.get()), page, tries);
  else
    srv_explain(why, "page %d stays %s (gave up after %d tries)", page,
            o == outcome::transit    ? "in transit"
            : o == outcome::flushing ? "being flushed"
                                     : "fixed or being read",
            tries);
  return SRV_NOBUFFER;
}

int touch_page(int32_t p, const srv_waitlimit &limit, std::string *why) {
  buflist *l = list_of(p);
  int32_t version = bm_nextseq();  // before the list semaphore: no other semaphore under it
  bump(&bm_dbs->st_requests);
  for (int attempt = 1;; attempt++) {
    bm_p(&l->sema);
    outcome o = touch_locked(l, p, version);
    bm_v(&l->sema);
    if (o == outcome::done) return SRV_OK;
    if (term_req) return SRV_STOPPED;
    if (attempt >= limit.tries) return gave_up(o, p, l, limit.tries, why);
    nap_for(o, p, limit.napms);
  }
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

int srv_touch(int32_t first, int32_t count, const srv_waitlimit &limit, std::string *why) {
  int r = srv_checkpages(bm_dbs, first, count, why);
  for (int32_t i = 0; i < count && r == SRV_OK; i++)
    r = term_req ? SRV_STOPPED : touch_page(first + i, limit, why);
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
