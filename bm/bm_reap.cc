// bm_reap: cleaning up after registered processes that died without leaving (bm_reap).
//
// Principal entry point: bm_reap.
//
// Invariants:
//  (1) A slot is released only while usersem is held and only after kill(pid, 0) failed with
//      ESRCH under that same hold: a process that registers takes usersem, so no slot that a
//      living process has just taken can be mistaken for the dead one.
//  (2) A buffer loses BF_FLUSHING here only under its list semaphore, and only after BF_DIRTY
//      was set again, so that at no moment it is neither dirty nor being flushed while its
//      change is not on disk (replacement would drop it otherwise).
//  (3) Whether a living flush daemon exists is decided under the list semaphore of the buffers
//      that are given back: a daemon collects only under that semaphore and registers before it
//      collects, so every daemon that could have marked one of them is seen in the user table.
//  (4) No semaphore held by a dead process is ever waited for.
//  (5) A dead process's action is aborted (bm_abortea on its slot) before its slot is released
//      and under the same hold of usersem, so two reapers never abort one action twice (a table
//      lock released twice would lower another holder's count). Its local images go back into
//      their buffers, which keep the committed contents and are dirty again. Lock order:
//      usersem, then a list semaphore or the table-lock semaphore, one at a time; no holder of
//      either ever takes usersem.
//  (6) imgwriter never names a released slot (forget_imgwriter).
//
// See also: bm_reap.h (contract), bm_user (bm_usrout, whose release this repeats for another
// process's slot), bm_shm (bm_abortea, which aborts its action), flush/ad_check (the flush pass
// that sets and clears BF_FLUSHING).
#include "bm/bm_reap.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "bm/bm_globals.h"
#include "bm/bm_log.h"
#include "bm/bm_mem.h"
#include "bm/bm_sema.h"
#include "bm/bm_shm.h"

namespace {

constexpr int kNoteLen = 200;    // one line of the report, cut when longer
constexpr int kShownPages = 32;  // restored pages named one by one per list

bool slot_in_use(const userslot &u) { return u.progname[0] != '\0'; }

// No process has this id: kill with signal 0 finds none. A pid that no process can have (0 or
// negative; kill would address a group) counts as gone.
bool process_gone(int32_t pid) { return pid <= 0 || (kill(pid, 0) == -1 && errno == ESRCH); }

// Writes one line to the DBS message log and hands it to note.
__attribute__((format(printf, 2, 3))) void report(bm_reapnote note, const char *fmt, ...) {
  char line[kNoteLen];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  bm_logmsg("%s", line);
  if (note != nullptr) note(line);
}

// Whether s is held by a process that no longer exists; such a semaphore is reported and left.
bool orphaned(const bmsema *s, const char *what, bm_reapnote note) {
  if (__atomic_load_n(&s->lock, __ATOMIC_SEQ_CST) == 0) return false;
  int32_t owner = __atomic_load_n(&s->owner, __ATOMIC_SEQ_CST);
  if (owner == 0 || !process_gone(owner)) return false;
  report(note,
         "bm_reap: semaphore %d (%s) is held by process %d, which no longer exists; left alone\n",
         s->semno, what, owner);
  return true;
}

// Whether a semaphore that bm_abortea takes for u's action is held by a dead process: the
// list semaphores (restoring local images) and the table-lock semaphore of its table.
bool abort_blocked(const userslot &u, bm_reapnote note) {
  bool blocked = false;
  for (int i = 0; i < bm_dbs->nlists; i++)
    blocked = orphaned(&bm_dbs->lists[i].sema, "buffer list", note) || blocked;
  if (u.curtab != nullptr) blocked = orphaned(bm_tabsema(u.curtab), "table lock", note) || blocked;
  return blocked;
}

// Aborts the action the dead process was in (invariant 5); false when it cannot be aborted
// now and the slot must stay. REQUIRES: usersem held.
bool abort_action(userslot &u, bm_reapnote note) {
  if ((u.uflags & US_EA) == 0) return true;
  // A slot carrying the caller's own pid would make bm_abortea undo the caller's extents.
  if (u.pid == bm_mypid || abort_blocked(u, note)) return false;
  int32_t pid = u.pid;
  int extents = u.nactext < US_MAXEXT ? u.nactext : US_MAXEXT;
  int restored = bm_abortea(&u);
  // Decision: the extents the dead action took stay in use. Giving them back fixes bitmap pages
  // for update, which needs an update action of a registered process, and the caller of
  // bm_reap need not be one; unused pages cost space, never data. They are counted here.
  report(note, "bm_reap: action of process %d aborted: %d local images put back, %d extents "
         "left in use\n", pid, restored, extents);
  return true;
}

// Releases the slot of a dead process as bm_usrout releases its own: local image blocks and
// their table back to the shared allocator (unless memsem is stuck with a dead holder), then
// every byte cleared. REQUIRES: usersem held; u's action, if any, aborted.
void release(userslot &u, bm_reapnote note) {
  if (u.locimg != nullptr && !orphaned(bm_dbs->memsem, "memsem", note)) {
    for (int i = 0; i < u.nlocimg; i++)
      if (u.locimg[i].image != nullptr) bm_free(u.locimg[i].image);
    bm_free(u.locimg.get());
  }
  memset(static_cast<void *>(&u), 0, sizeof u);
}

// A dead image writer is named no longer: nobody would write the before-image buffer its name
// promises (updaters would wake the dead and wait for room for ever), and a process that sees
// no image writer writes the buffer itself.
void forget_imgwriter(int slot, bm_reapnote note) {
  int expected = slot;
  if (__atomic_compare_exchange_n(&bm_dbs->imgwriter, &expected, -1, false, __ATOMIC_ACQ_REL,
                                  __ATOMIC_ACQUIRE))
    report(note, "bm_reap: the image writer of user slot %d is gone\n", slot);
}

// Releases every slot whose process is gone; the count.
int release_dead(bm_reapnote note) {
  dbshead *h = bm_dbs;
  if (orphaned(h->usersem, "usersem", note)) return 0;
  int n = 0;
  bm_p(h->usersem);
  for (int i = 0; i < h->nusers; i++) {
    userslot &u = h->users[i];
    if (!slot_in_use(u) || !process_gone(u.pid) || !abort_action(u, note)) continue;
    report(note, "bm_reap: process %d (%.*s) of user slot %d no longer exists; slot released\n",
           u.pid, static_cast<int>(sizeof u.progname), u.progname, i);
    release(u, note);
    forget_imgwriter(i, note);
    n++;
  }
  bm_v(h->usersem);
  return n;
}

// Whether a registered process may be writing buffers it marked BF_FLUSHING: a flush daemon
// (the slots left after release_dead belong to living processes, or to processes that died
// since, which count as living here) or a running checkpoint.
bool flusher_alive(const dbshead *h) {
  if (__atomic_load_n(&h->ckptrun, __ATOMIC_SEQ_CST) != 0 ||
      (__atomic_load_n(&h->ckptflags, __ATOMIC_SEQ_CST) & CK_RUNNING) != 0)
    return true;
  for (int i = 0; i < h->nusers; i++)
    if (strncmp(h->users[i].progname, RP_FLUSHNAME, sizeof h->users[i].progname) == 0) return true;
  return false;
}

bool any_flushing(const buflist &l) {
  for (int b = 0; b < l.nbufs; b++)
    if ((__atomic_load_n(&l.bufs[b].flags, __ATOMIC_SEQ_CST) & BF_FLUSHING) != 0) return true;
  return false;
}

// Gives the orphaned BF_FLUSHING buffers of list i their BF_DIRTY back; the count. The pages
// are reported once the list semaphore is released (no file I/O under it); the first
// kShownPages by number, the rest as a count.
int restore_list(int i, bm_reapnote note) {
  dbshead *h = bm_dbs;
  buflist &l = h->lists[i];
  if (!any_flushing(l) || orphaned(&l.sema, "buffer list", note)) return 0;
  int32_t pages[kShownPages];
  int n = 0;
  bm_p(&l.sema);
  if (!flusher_alive(h)) {
    for (int b = 0; b < l.nbufs; b++) {
      pagebuf &buf = l.bufs[b];
      if ((__atomic_load_n(&buf.flags, __ATOMIC_SEQ_CST) & BF_FLUSHING) == 0) continue;
      __atomic_fetch_or(&buf.flags, BF_DIRTY, __ATOMIC_SEQ_CST);
      __atomic_fetch_and(&buf.flags, ~BF_FLUSHING, __ATOMIC_SEQ_CST);
      if (n < kShownPages) pages[n] = pg_word(buf.page, PH_PAGENR);
      n++;
    }
  }
  bm_v(&l.sema);
  for (int k = 0; k < n && k < kShownPages; k++)
    report(note, "bm_reap: page %d was left being flushed by no living flush daemon; dirty again\n",
           pages[k]);
  if (n > kShownPages)
    report(note, "bm_reap: %d more pages of list %d were left being flushed; dirty again\n",
           n - kShownPages, i);
  return n;
}

}  // namespace

int bm_reap(bm_reapnote note) {
  int released = release_dead(note);
  for (int i = 0; i < bm_dbs->nlists; i++) restore_list(i, note);
  return released;
}
