// bm_user: user slots: bm_usrin, bm_usrout and the accessors of the own slot.
//
// Slot states: free (all 1836 bytes zero, progname empty) -> registered (bm_usrin) -> free
// again (bm_usrout). A process has at most one slot; a released slot is reused by the next
// registration that finds it first.
//
// Lock order: usersem, then sesssem (bm_usrin), then memsem (bm_usrout giving image blocks
// back). No list semaphore is held by any of these.
//
// See also: bm_user.h (contracts), bm_init (binds the process before registration).
#include "bm/bm_user.h"

#include <cstring>
#include <ctime>
#include <pwd.h>
#include <unistd.h>

#include "ba/ba_sys.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_mem.h"
#include "bm/bm_sema.h"

namespace {

// Copies at most field - 1 characters of src into the text field and a NUL behind them.
template <size_t N>
void put_text(char (&field)[N], const char *src) {
  size_t n = strnlen(src, N - 1);
  memcpy(field, src, n);
  field[n] = '\0';
}

bool slot_in_use(const userslot &u) { return u.progname[0] != '\0'; }

// The lowest free slot that progname may take, or -1. Only names that begin like the flush
// daemon's may take the last slot, so that the daemon always finds room.
int free_slot(const dbshead *h, const char *progname) {
  for (int i = 0; i < h->nusers; i++) {
    if (slot_in_use(h->users[i])) continue;
    if (i == h->nusers - 1 && progname[0] != US_LASTSLOTNAME[0]) return -1;
    return i;
  }
  return -1;
}

// The next registration number, under sesssem.
int32_t next_sessno(dbshead *h) {
  bm_p(h->sesssem);
  if (h->sessctr > US_SESSMAX) h->sessctr = US_SESSRESTART;
  int32_t n = h->sessctr++;
  bm_v(h->sesssem);
  return n;
}

// Login name of the real user id, or "UNKNOWN" when the user database has no entry.
const char *os_user() {
  const passwd *pw = getpwuid(getuid());
  return pw != nullptr ? pw->pw_name : "UNKNOWN";
}

// Who and where the registering process is: fetched before usersem is taken, since the user
// database and the terminal lookup may be slow and must not hold up every other registration.
struct identity {
  char osuser[sizeof userslot::osuser];
  char tty[sizeof userslot::tty];
  identity() {
    put_text(osuser, os_user());
    put_text(tty, ba_ttyname());
  }
};

void fill_slot(dbshead *h, userslot &u, int index, const char *progname, const identity &who,
               const char *dbopt, const char *client, const char *host) {
  u.pid = bm_mypid;
  u.logintime = static_cast<int32_t>(time(nullptr));
  u.uflags = 0;
  if (h->newuflag != 0) u.uflags |= US_OPT;
  u.transit = NOPAGE;
  u.beginlog = US_NOBEGINLOG;
  u.seenstamp = h->dbsstamp;
  u.lastlogoff = -1;
  u.lastlogfile = -1;
  put_text(u.progname, progname);
  bm_myuindex = u.uindex = index;
  put_text(u.osuser, who.osuser);
  put_text(u.tty, who.tty);
  put_text(u.dbopt, dbopt);
  put_text(u.client, client);
  put_text(u.host, host);
  u.nlocimg = 0;
  u.locimg = nullptr;
  u.sessno = next_sessno(h);
}

// Gives the slot's local image blocks and then the image table back to the shared allocator.
void free_locimgs(userslot &u) {
  for (int i = 0; i < u.nlocimg; i++)
    if (u.locimg[i].image != nullptr) bm_free(u.locimg[i].image);
  bm_free(u.locimg.get());
}

}  // namespace

int bm_usrin(dbshead *header, const char *progname, const char *dbopt, const char *client,
             const char *host) {
  bm_dbs = header;
  // An empty name would leave the slot looking free: the next registration would take it too.
  if (progname[0] == '\0') {
    iserrno = ER_NOSLOT;
    return -1;
  }
  identity who;
  bm_p(header->usersem);
  int i = free_slot(header, progname);
  if (i < 0) {
    iserrno = ER_NOSLOT;
    bm_v(header->usersem);
    return -1;
  }
  bm_myslot = &header->users[i];
  fill_slot(header, *bm_myslot, i, progname, who, dbopt, client, host);
  bm_v(header->usersem);
  return 0;
}

int bm_usrout(int pid) {
  bm_p(bm_dbs->usersem);
  userslot *u = nullptr;
  for (int i = 0; i < bm_dbs->nusers && u == nullptr; i++)
    if (bm_dbs->users[i].pid == pid) u = &bm_dbs->users[i];
  if (u == nullptr) {
    iserrno = ER_NOUSER;
    bm_v(bm_dbs->usersem);
    return -1;
  }
  if (u->locimg != nullptr) free_locimgs(*u);
  memset(static_cast<void *>(u), 0, sizeof *u);
  // Only the own slot pointer goes: a process releasing another's slot (a server cleaning up
  // after a dead user) stays registered itself.
  if (u == bm_myslot) bm_myslot = nullptr;
  bm_v(bm_dbs->usersem);
  return 0;
}

int bm_sessno() { return bm_myslot != nullptr ? bm_myslot->sessno : -1; }

int bm_idinuse(int n) {
  bm_p(bm_dbs->usersem);
  int found = 0;
  for (int i = 0; i < bm_dbs->nusers && found == 0; i++) {
    const userslot &u = bm_dbs->users[i];
    if (slot_in_use(u) && u.pid != bm_myslot->pid && u.clientid == -n) found = 1;
  }
  bm_v(bm_dbs->usersem);
  return found;
}

void bm_setuinfo(int value) { bm_myslot->uinfo = value; }

void bm_setuopt(int value) {
  if (value == 1)
    bm_myslot->uflags &= ~US_OPT;
  else
    bm_myslot->uflags |= US_OPT;
}

void bm_setcur(const char *name, int value1, int value2) {
  if (bm_myslot == nullptr) return;
  put_text(bm_myslot->curname, name);
  bm_myslot->curval1 = value1;
  bm_myslot->curval2 = value2;
}

int bm_findspace(const char *name) {
  size_t n = strlen(name);
  for (int i = 0; i < bm_dbs->ndbspaces; i++) {
    const char *space = bm_dbs->dbspaces[i].name;
    // The name field is read no further than its 12 bytes, terminated or not.
    if (strnlen(space, sizeof bm_dbs->dbspaces[i].name) == n && memcmp(space, name, n) == 0)
      return i;
  }
  return -1;
}
