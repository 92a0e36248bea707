// bm_init: attaching the DBS segment (ba_shmat), checking it and binding the process's modules
// to it (bm_init), detaching (bm_shmdt).
//
// Attaching takes no semaphore: it reads only magic, shmaddr and shmkey, which nothing in this
// system writes.
//
// See also: bm_init.h (error codes), bm_user (registration after the attach).
#include "bm/bm_init.h"

#include <cerrno>
#include <cstdint>
#include <pwd.h>
#include <sys/shm.h>
#include <unistd.h>

#include "ba/ba_sys.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_log.h"
#include "bm/bm_mem.h"
#include "bm/bm_table.h"

namespace {

constexpr int kShmPerms = 0600;  // lookup permission: owner read and write

// A set-user-id process runs with its caller's environment, so the caller chooses the key.
// It may only work on a segment that root or the user tolv made and owns: otherwise the pages
// it writes would be described by whoever made the segment.
bool trusted_owner(uid_t uid) {
  if (uid == 0) return true;
  const passwd *pw = getpwnam("tolv");
  return pw != nullptr && pw->pw_uid == uid;
}

bool segment_trusted(int id) {
  if (getuid() == geteuid()) return true;
  shmid_ds ds;
  if (ba_shmctl(id, IPC_STAT, &ds) != 0) return false;
  return trusted_owner(ds.shm_perm.uid) && trusted_owner(ds.shm_perm.cuid);
}

uint32_t low32(const void *p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

// Whether bm_dbs is attached at the address its header records; logs and sets -343 if not.
bool attached_where_made() {
  if (bm_dbs->shmaddr == low32(bm_dbs) && reinterpret_cast<uintptr_t>(bm_dbs) <= UINT32_MAX)
    return true;
  bm_logerr("ba_shmat: got 0x%8x, expected 0x%8x\n", low32(bm_dbs), bm_dbs->shmaddr);
  iserrno = ER_SHMADDR;
  return false;
}

}  // namespace

int ba_shmat(int key, unsigned long addr) {
  int id = ba_shmget(key, 0, kShmPerms);
  if (id < 0) {
    iserrno = errno;
    return -1;
  }
  if (!segment_trusted(id)) {
    iserrno = errno = EACCES;
    return -1;
  }
  void *at = ba_shmattach(id, reinterpret_cast<void *>(addr), 0);
  if (at == reinterpret_cast<void *>(-1)) {
    iserrno = errno;
    return -1;
  }
  bm_dbs = static_cast<dbshead *>(at);
  if (addr != 0) {
    if (reinterpret_cast<unsigned long>(at) != addr) {
      iserrno = ER_ATTACHADDR;
      return -1;
    }
    return 0;
  }
  return attached_where_made() ? 0 : -1;
}

dbshead *bm_init(int key, unsigned long addr) {
  if (ba_shmat(key, addr) != 0) return nullptr;
  if (bm_dbs->magic != DBS_MAGIC) {
    iserrno = ER_MAGIC;
    return nullptr;
  }
  if (bm_dbs->shmkey != key) {
    iserrno = ER_SHMKEY;
    return nullptr;
  }
  // Every pointer in the segment is an absolute address of its creator's mapping, so the
  // header's address is compared with the attach address also when an address was requested
  // (ba_shmat compares it only when none was): a configuration that names another address
  // than the server used must not make the process follow pointers into the wrong places.
  if (addr != 0 && !attached_where_made()) return nullptr;
  bm_bind(bm_dbs);
  return bm_dbs;
}

void bm_bind(dbshead *header) {
  bm_dbs = header;  // page I/O reads bm_dbs itself; the others keep what they need
  bm_loginit(header);
  bm_membind(header);
  bm_tabinit();
  bm_mypid = ba_getpid();
  bm_myuindex = US_ATTACHED;
}

int bm_shmdt() { return ba_shmdt(bm_dbs); }
