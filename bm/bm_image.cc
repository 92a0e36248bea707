// bm_image: before images: whether an image of a page still waits in the before-image buffer.
//
// Principal entry point: bm_imgsaved (asked by bm_savepage before a page is written home).
//
// Invariants:
//  (1) nimg, images and bitab are read and changed only under imgsem.
//  (2) Only the images that exist are compared: at most imgmax of them, whatever nimg says, so
//      a damaged count never reads past the buffer.
//
// See also: bm_image.h, bm_io (bm_savepage), bm_sema (imgsem).
#include "bm/bm_image.h"

#include <algorithm>

#include "bm/bm_globals.h"
#include "bm/bm_sema.h"

namespace {

// Whether an image of pagenr is among the first n images of the buffer. REQUIRES: imgsem.
bool image_waits(int32_t pagenr, int n) {
  const unsigned char *img = bm_dbs->images;
  for (int i = 0; i < n; i++, img += PAGESIZE)
    if (pg_word(img, PH_PAGENR) == pagenr) return true;
  return false;
}

}  // namespace

int bm_imgsaved(int32_t pagenr) {
  bmsema *s = bm_dbs->imgsem;
  bm_p(s);
  bool waits = image_waits(pagenr, std::min(bm_dbs->nimg, bm_dbs->imgmax));
  bm_v(s);
  return waits ? 0 : 1;
}
