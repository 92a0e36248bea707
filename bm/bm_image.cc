// bm_image: before images (taking them, writing the buffer to the before-image area, asking
// whether one still waits) and the local images of an action (restore at abort, release at end).
//
// Principal entry points: bm_saveimg (bm_getpage, first update of a page in an interval),
// bm_saveimagebuf (the image writer, the checkpoint), bm_imgsaved (bm_savepage), restorelocimg
// (action abort), bm_freelocimg (action end).
//
// Invariants:
//  (1) nimg, images, bitab and biseqno are read and changed only under imgsem; binext only by
//      the one writer of the area at a time (invariant 3).
//  (2) An image leaves the buffer only after its batch is durable: written with one run write
//      at binext and synced with bm_syncpage. A failed write or sync leaves the images in the
//      buffer, so their pages keep waiting in bm_savepage. Images added while a batch is being
//      written (indexes n and up) are moved to the front, never dropped.
//  (3) Writers of the before-image area are serialised across processes by a lock on the open
//      file description of the area's first partition (an OFD write lock): the image writer,
//      the checkpoint and the immediate writes of an offline DBS never write at the same binext
//      or drop each other's images.
//  (4) Only the images that exist are looked at: at most imgmax, whatever nimg says.
//  (5) Lock order: imgsem is taken while no list semaphore is held; the writer lock is taken
//      before imgsem and never while it is held.
//
// See also: bm_image.h, bm_io (bm_lwrite, bm_syncpage, bm_savepage), bm_sema (imgsem), bm_main
// (bm_getpage).
#include "bm/bm_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_io.h"
#include "bm/bm_log.h"
#include "bm/bm_main.h"
#include "bm/bm_sema.h"

namespace {

constexpr int kRoomNapMs = 10;  // nap while the before-image buffer is full
constexpr char kNoWait = ' ';   // waitkind after the wait for room

void count(int32_t *c) { __atomic_fetch_add(c, 1, __ATOMIC_RELAXED); }

unsigned char *image_at(int i) { return bm_dbs->images + static_cast<size_t>(i) * PAGESIZE; }

// The number of images in the buffer, bounded by its capacity. REQUIRES: imgsem.
int images_held() { return std::clamp(bm_dbs->nimg, 0, bm_dbs->imgmax); }

// Whether an image of pagenr is among the first n images of the buffer. REQUIRES: imgsem.
bool image_waits(int32_t pagenr, int n) {
  for (int i = 0; i < n; i++)
    if (pg_word(image_at(i), PH_PAGENR) == pagenr) return true;
  return false;
}

// The bitab entry holding pagenr (or, with pagenr NOPAGE, the first free one); -1 if none.
// REQUIRES: imgsem.
int bitab_find(int32_t pagenr) {
  for (int i = 0; i < bm_dbs->nbitab; i++)
    if (bm_dbs->bitab[i] == pagenr) return i;
  return -1;
}

// Stamps b's page with the next sequence number and the DBS stamp, records it in bitab entry
// slot and appends its copy to the buffer. REQUIRES: imgsem, room in the buffer.
void take_image(pagebuf *b, int slot) {
  int32_t seq = bm_dbs->biseqno++;
  pg_setword(b->page, PH_BISEQ2, seq);
  pg_setword(b->page, PH_BISEQ, seq);
  pg_setword(b->page, PH_STAMP, bm_dbs->dbsstamp);
  int32_t pagenr = pg_word(b->page, PH_PAGENR);
  bm_dbs->bitab[slot] = pagenr;
  memcpy(image_at(bm_dbs->nimg), b->page, PAGESIZE);
  bm_dbs->nimg++;
}

// One nap while the buffer is full: wake the image writer, nap marked 'i' on the page.
void wait_for_room(int32_t pagenr) {
  if (bm_dbs->imgwriter != -1) bm_wakeup(bm_dbs->imgwriter);
  bool nested = bm_waitbegin(WK_IMGROOM, pagenr);
  bm_nap(kRoomNapMs);
  count(&bm_dbs->st_biwait);
  bm_waitend(nested);
  if (!nested && bm_myslot != nullptr) bm_myslot->waitkind = kNoWait;
}

// The lock that serialises the writers of the before-image area (invariant 3): a write lock on
// the whole open file description of the partition holding bifirst, released by the
// destructor. held() is false when the partition cannot be opened or locked (iserrno set).
class area_writer {
 public:
  area_writer() : fd_(bm_pagefd(bm_dbs->bifirst)) {
    if (fd_ >= 0 && !set(F_WRLCK)) fd_ = -1;
  }
  ~area_writer() {
    if (fd_ >= 0) set(F_UNLCK);
  }
  area_writer(const area_writer &) = delete;
  area_writer &operator=(const area_writer &) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  bool set(short type) const {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    while (fcntl(fd_, F_OFD_SETLKW, &fl) != 0) {
      if (errno == EINTR) continue;
      iserrno = errno;
      return false;
    }
    return true;
  }
  int fd_;
};

// Writes images 0 .. n-1 at binext and makes them durable. 0, or -1 (logged).
int write_batch(int n, int32_t at) {
  count(&bm_dbs->st_biflush);
  if (bm_lwrite(at, bm_dbs->images, PIO_ANYPART, n) == 0 && bm_syncpage(at) == 0) return 0;
  bm_logerr("bm_saveimagebuf: Error %d storing before images\n", iserrno);
  return -1;
}

// Drops the n written images: advances binext (unless a checkpoint set it back meanwhile) and
// moves the images added during the write to the front.
void drop_written(int n, int32_t at) {
  bm_p(bm_dbs->imgsem);
  if (bm_dbs->binext == at) bm_dbs->binext = at + n;
  int held = images_held();
  if (held > n)
    memmove(image_at(0), image_at(n), static_cast<size_t>(held - n) * PAGESIZE);
  bm_dbs->nimg = held - n;
  bm_v(bm_dbs->imgsem);
}

}  // namespace

int bm_imgheld() {
  bm_p(bm_dbs->imgsem);
  int n = images_held();
  bm_v(bm_dbs->imgsem);
  return n;
}

int bm_saveimg(pagebuf *b) {
  if (bm_recovery) return 0;
  int32_t pagenr = pg_word(b->page, PH_PAGENR);
  for (;;) {
    bm_p(bm_dbs->imgsem);
    if (bitab_find(pagenr) >= 0) {
      bm_v(bm_dbs->imgsem);
      return 0;
    }
    int slot = bitab_find(NOPAGE);
    if (slot < 0) {
      iserrno = ER_BITABFULL;
      bm_v(bm_dbs->imgsem);
      return -1;
    }
    if (bm_dbs->nimg < bm_dbs->imgmax) {
      take_image(b, slot);
      bm_v(bm_dbs->imgsem);
      if (bm_dbs->state != DBS_ONLINE) bm_saveimagebuf(1);
      return 0;
    }
    bm_v(bm_dbs->imgsem);
    wait_for_room(pagenr);
  }
}

void bm_saveimagebuf(int force) {
  if (!force && bm_imgheld() < BI_BATCHMIN) return;
  area_writer writer;
  if (!writer.held()) {
    bm_logerr("bm_saveimagebuf: Error %d storing before images\n", iserrno);
    return;
  }
  int n = bm_imgheld();  // again: another writer may have emptied the buffer meanwhile
  if (!force && n < BI_BATCHMIN) return;
  int32_t at = bm_dbs->binext;
  if (n > bm_dbs->bilast - at + 1) {
    bm_logerr("bm_saveimagebuf: Image buffer does not fit %d %d %d\n", n, bm_dbs->bilast, at);
    return;
  }
  if (n > 0 && write_batch(n, at) == 0) drop_written(n, at);
}

int bm_imgsaved(int32_t pagenr) {
  bmsema *s = bm_dbs->imgsem;
  bm_p(s);
  bool waits = image_waits(pagenr, images_held());
  bm_v(s);
  return waits ? 0 : 1;
}

// ---- Local images ---------------------------------------------------------------------------

namespace {

// The image block of a pending local image of pair e, or null when the pair holds none.
unsigned char *pending(const locimgent &e) {
  unsigned char *img = e.image;
  return img != nullptr && pg_word(img, PH_PAGENR) != NOPAGE ? img : nullptr;
}

// Copies img back into the buffer of its page in l, found among all of l's buffers (the page
// may have moved to another buffer of its list). REQUIRES: l's semaphore.
bool restore_into(buflist *l, unsigned char *img) {
  int32_t pagenr = pg_word(img, PH_PAGENR);
  for (int i = 0; i < l->nbufs; i++) {
    pagebuf *b = &l->bufs[i];
    if (pg_word(b->page, PH_PAGENR) != pagenr) continue;
    memcpy(b->page, img, PAGESIZE);
    // The flush pass may have written the aborted contents home meanwhile (and taken BF_DIRTY
    // off): the restored page differs from disk again and must be written once more. A pass
    // still writing it (BF_FLUSHING) leaves BF_DIRTY alone, so it is written again after it.
    __atomic_fetch_or(&b->flags, BF_DIRTY, __ATOMIC_ACQ_REL);
    __atomic_fetch_and(&b->flags, ~BF_LOCIMG, __ATOMIC_ACQ_REL);
    pg_setword(img, PH_PAGENR, NOPAGE);
    return true;
  }
  bm_logmsg("restorelocimg: Page %d not found\n", pagenr);
  return false;
}

}  // namespace

int restorelocimg(userslot *u) {
  int restored = 0;
  for (int i = 0; i < u->nlocimg; i++) {
    unsigned char *img = pending(u->locimg[i]);
    if (img == nullptr) continue;
    if (pg_word(img, PH_PAGENR) < 0) {  // a damaged block names no list
      bm_logmsg("restorelocimg: Page %d not found\n", pg_word(img, PH_PAGENR));
      continue;
    }
    buflist *l = bm_pagelist(pg_word(img, PH_PAGENR));
    bm_p(&l->sema);
    if (restore_into(l, img)) restored++;
    bm_v(&l->sema);
  }
  return restored;
}

userslot *bm_freelocimg(userslot *u) {
  for (int i = 0; i < u->nlocimg; i++) {
    unsigned char *img = pending(u->locimg[i]);
    if (img == nullptr) continue;
    pg_setword(img, PH_PAGENR, NOPAGE);
    pagebuf *b = u->locimg[i].buf;
    if (b != nullptr) __atomic_fetch_and(&b->flags, ~BF_LOCIMG, __ATOMIC_ACQ_REL);
  }
  return u;
}
