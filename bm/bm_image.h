// bm_image.h: before images of the current checkpoint interval.
//
// The first update of a page after a checkpoint copies the page into the before-image buffer
// of the segment (dbshead.images, nimg of imgmax pages, each starting with its page number);
// the image writer writes the buffer to the before-image area in batches. A changed page may
// reach its home location only after its before image has left the buffer (bm_savepage).
//
// Contracts: needs an attached segment (bm_dbs); takes imgsem, so the caller must hold no
// buffer-list semaphore.
//
// See also: bm_io.h (bm_savepage), shmstruct.h (the image fields and their lock).
#pragma once

#include <cstdint>

// Under imgsem: 1 when no image of page pagenr waits in the before-image buffer, 0 when one
// does.
int bm_imgsaved(int32_t pagenr);
