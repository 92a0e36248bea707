// srv_arch.h: the stand-in as archiver: it switches the archive bits of a running DBS and
// takes the page copies that page requests stored in the archive buffer.
//
//   on    archflags |= AR_ACTIVE                 copies are stored
//   copy  archflags |= AR_ACTIVE | AR_COPYPHASE  every page is copied before its first fix
//   off   archflags = 0, BF_ARCHIVED cleared in every buffer (each list under its semaphore):
//         the run is over, the next run copies every page again
//   take  every used slot of the archive buffer is emptied (-1); its page numbers are returned
//
// Locks: archflags and the archive buffer change under archsem; no list semaphore is held
// while archsem is (off takes them one after the other).
//
// See also: bm/bm_arch.h (bm_archpage), bm/bm_main.h (the copies bm_getpage takes).
#pragma once

#include <cstdint>
#include <vector>

enum class srv_archop { on, copy, off, take };

// The operation named by word ("on", "copy", "off", "take"); false for another word.
bool srv_archparse(const char *word, srv_archop *op);
// Performs op on the attached DBS. taken receives the page numbers of the copies taken, in
// slot order.
void srv_arch(srv_archop op, std::vector<int32_t> *taken);
