// bm_init: attaching the DBS segment (ba_shmat), checking it and binding the process's modules
// to it (bm_init), detaching (bm_shmdt).
//
// Attaching takes no semaphore: it reads only magic, shmaddr and shmkey, which nothing in this
// system writes.
//
// Trust. The daemon runs set-user-id root, and its caller chooses the key (through the
// environment that names the configuration) and may itself create a segment and a semaphore
// set at a key where no DBS runs. Everything the segment holds is therefore input: run
// set-user-id (ba_setuidrun), the process
//  (1) attaches only a segment that root or the user tolv both owns and created (a segment
//      made by anybody else and handed over with IPC_SET is refused as well);
//  (2) works only on the semaphore set that the System V key of the DBS names (semget of the
//      key must give dbshead.semid), owned and created by root or tolv: a forged semid in the
//      header would otherwise make root set values and operate on a foreign set;
//  (3) writes pages only to partitions of its checked configuration, opened with the
//      caller's rights (bm_openpart), so that a forged device path, offset or size in the
//      segment cannot reach a file the caller could not write itself.
// Each refusal leaves EACCES in iserrno and logs a line naming the object and the reason. The
// System V calls here need the privileged user (the objects are mode 0600 of root); the daemon
// raises it for the attach and keeps it for the semaphore operations that follow, while
// every file it opens by path is opened with its caller's rights or checked on the open
// descriptor. Run normally, the process has only its own rights and none of this applies.
//
// See also: bm_init.h (error codes), bm_user (registration after the attach).
#include "bm/bm_init.h"
#include "bm/bm_io.h"

#include <cerrno>
#include <cstdint>
#include <sys/sem.h>
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

// The fourth argument of semctl, which the caller declares.
union semun_arg {
  int val;
  semid_ds *buf;
  unsigned short *array;
};

// Whether a System V object of owner uid and creator cuid may be used run set-user-id.
bool trusted_ipc(unsigned uid, unsigned cuid) {
  return ba_trusteduid(uid) != 0 && ba_trusteduid(cuid) != 0;
}

// Trust (1): the segment id of key, run set-user-id, must be root's or tolv's.
bool segment_trusted(int key, int id) {
  if (ba_setuidrun() == 0) return true;
  shmid_ds ds{};
  if (ba_shmctl(id, IPC_STAT, &ds) == 0 && trusted_ipc(ds.shm_perm.uid, ds.shm_perm.cuid))
    return true;
  bm_logerr("ba_shmat: segment %d of key %d refused: owner %d, creator %d is not root or tolv\n",
            id, key, static_cast<int>(ds.shm_perm.uid), static_cast<int>(ds.shm_perm.cuid));
  return false;
}

// Trust (2): the header's semaphore set, run set-user-id, must be the set of the key, and
// root's or tolv's.
bool semaphores_trusted(int key) {
  if (ba_setuidrun() == 0) return true;
  int id = semget(key, 0, 0);
  if (id < 0 || id != bm_dbs->semid) {
    bm_logerr("bm_init: semaphore set %d refused: the set of key %d is %d\n", bm_dbs->semid, key,
              id);
    return false;
  }
  semid_ds ds{};
  semun_arg arg;
  arg.buf = &ds;
  if (semctl(id, 0, IPC_STAT, arg) == 0 && trusted_ipc(ds.sem_perm.uid, ds.sem_perm.cuid))
    return true;
  bm_logerr("bm_init: semaphore set %d refused: owner %d, creator %d is not root or tolv\n", id,
            static_cast<int>(ds.sem_perm.uid), static_cast<int>(ds.sem_perm.cuid));
  return false;
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
  if (!segment_trusted(key, id)) {
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
  if (!semaphores_trusted(key)) {
    iserrno = errno = EACCES;
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
  bm_dropfds();  // the cache may name the partitions of a segment bound before (same address)
  bm_dbs = header;  // page I/O reads bm_dbs itself; the others keep what they need
  bm_loginit(header);
  bm_membind(header);
  bm_tabinit();
  bm_mypid = ba_getpid();
  bm_myuindex = US_ATTACHED;
}

int bm_shmdt() { return ba_shmdt(bm_dbs); }
