// bm_image.h: before images of the current checkpoint interval, and the local images of an
// action.
//
// The first update of a page after a checkpoint copies the page into the before-image buffer
// of the segment (dbshead.images, nimg of imgmax pages, each starting with its page number);
// the image writer writes the buffer to the before-image area in batches. A changed page may
// reach its home location only after its before image has left the buffer (bm_savepage), and
// an image leaves the buffer only once its batch is durable on disk (fdatasync of the area).
// Local images (userslot.locimg) hold the pages an action changed, for its abort.
//
// Contracts: needs an attached segment (bm_dbs); takes imgsem or a list semaphore, so the
// caller must hold no buffer-list semaphore.
//
// See also: bm_io.h (bm_savepage, bm_lwrite, bm_syncpage), bm_main.h (bm_getpage, bm_locimg),
// shmstruct.h (the image fields and their lock).
#pragma once

#include <cstdint>

#include "bm/shmstruct.h"

// Unforced, bm_saveimagebuf writes only from this many images on.
constexpr int BI_BATCHMIN = 10;

// Takes the before image of buffer b's page: stamps the page in b (biseq, biseq2 = the next
// sequence number, stamp = dbsstamp), records it in bitab and copies it into the buffer. Does
// nothing when the page is in bitab already or when bm_recovery is set. While the buffer is
// full it waits, marked 'i' with the page number, napping 10 ms and waking the image writer.
// When the DBS is not online the buffer is written at once (forced). 0, or -1 with iserrno
// ER_BITABFULL (-362) when bitab has no free entry. REQUIRES: b is fixed by the caller.
int bm_saveimg(pagebuf *b);
// Writes the before-image buffer to the area at binext as one run, makes it durable, then
// drops the written images from the buffer (images added meanwhile stay). Unforced it writes
// only from BI_BATCHMIN images on. A batch that does not fit the rest of the area, or whose
// write or sync fails, is logged and stays in the buffer. Writers of the area are serialised
// across processes.
void bm_saveimagebuf(int force);
// Under imgsem: 1 when no image of page pagenr waits in the before-image buffer, 0 when one
// does.
int bm_imgsaved(int32_t pagenr);
// Under imgsem: the number of before images in the buffer now.
int bm_imgheld();
// Action abort: copies every pending local image of slot u back into its buffer (searched in
// the page's list under the list semaphore), clears BF_LOCIMG there and frees the image block.
// An image whose page is no longer buffered is logged ("restorelocimg: Page %d not found\n")
// and kept. Returns the number of images restored.
int restorelocimg(userslot *u);
// Action end: frees every pending local image block of slot u and clears BF_LOCIMG in its
// buffer; the blocks stay allocated for later actions. Returns u.
userslot *bm_freelocimg(userslot *u);
