// bm_reap.h: the server's duties for registered processes that died without leaving.
//
// A process that is killed (kill -9, a crash) never calls bm_usrout: its user slot stays taken
// for good, and when it was a flush daemon caught between collecting a buffer and writing it,
// that buffer keeps BF_FLUSHING for ever: no later pass takes it, every update of the page
// waits, and a checkpoint never finishes. bm_reap is what any server process (and the stand-in
// tolvdb, before every command that attaches) calls to clean up after such processes.
//
// Locks: usersem (to find dead slots, abort their actions and release the slots; inside it,
// one at a time, the list semaphores and the table-lock semaphore that bm_abortea takes, and
// memsem when local image blocks go back, as in bm_usrout), then each list semaphore in turn
// (to give orphaned BF_FLUSHING buffers their BF_DIRTY back).
// A semaphore held by a process that no longer exists is never waited for: bm_reap leaves that
// part alone and says so, because whatever the dead holder was changing may be half done.
//
// See also: bm_user.h (registration and bm_usrout), bm_shm.h (bm_abortea), flush/ad_check.h
// (who sets BF_FLUSHING).
#pragma once

#include "bm/shmstruct.h"

// Receives each line bm_reap writes to the DBS message log (text without date and time, with
// its "\n"), for a caller that also wants to show what was done.
using bm_reapnote = void (*)(const char *line);

// Finds the registered slots whose process no longer exists (kill(pid, 0) fails with ESRCH);
// when no living flush daemon is registered and no checkpoint runs, gives every buffer that is
// marked BF_FLUSHING its BF_DIRTY back and clears BF_FLUSHING (in that order, under the list
// semaphore), so that the next pass writes it; then releases the dead slots as bm_usrout does
// (local image blocks back to the shared allocator, all 1836 bytes cleared). A dead slot in an
// action has the action aborted first (bm_abortea on it: its pages get their committed
// contents back and are dirty, its table lock is released; the extents it took stay in use);
// while a semaphore that abort needs is held by a dead process, the slot stays. A released slot
// named in imgwriter is named no longer (imgwriter -1). Every released
// slot, aborted action, restored buffer and orphaned semaphore is logged with bm_logmsg and
// passed to note.
// Returns the number of slots released.
// REQUIRES: bm_init done with a writable attach; no semaphore held by the caller. The caller
// need not be registered.
int bm_reap(bm_reapnote note = nullptr);

// The program name of a flush daemon's slot: a living slot of this name may hold buffers that
// it marked BF_FLUSHING.
constexpr char RP_FLUSHNAME[] = "TOLVFLUSH";
