// srv_imgwriter.h: the image writer of the stand-in: the process named in dbshead.imgwriter
// that writes the before-image buffer to the before-image area.
//
// It sleeps on its own System V semaphore (bounded to SRV_IMGNAPMS), on which updaters waiting
// for room ('i') and savers waiting for an image to leave the buffer ('I') wake it. Woken, it
// writes the buffer forced (somebody waits for it, however few images there are); after a
// quiet interval it writes unforced (batches from ten images). It ends when the DBS leaves
// online mode or the stop flag term_req is set, with one last forced write. After each write it
// runs the checkpoint that is due (srv_checkpointifdue), as the server would.
//
// REQUIRES: an attached and bound segment and a user slot (bm_usrin); the caller releases the
// slot afterwards.
//
// See also: bm/bm_image.h (bm_saveimagebuf), tools/tolvdb.cc (tolvdb imgwriter).
#pragma once

// The longest sleep between two writes, in milliseconds.
constexpr int SRV_IMGNAPMS = 100;

// Runs the image writer: names the own user index in imgwriter, writes until the DBS leaves
// online mode or term_req is set, writes once more forced and sets imgwriter back to -1 (if it
// still names this process). Returns the number of wake-ups that forced a write.
int srv_imgwriter();
