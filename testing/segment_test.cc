// Tests of the DBS server stand-in's segment creation (tools/srv_create) and of the test
// segment: the created segment passes the sanity checks every attaching process relies on,
// creation fails cleanly, attach and removal work by key.
#include "testing/segment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>
#include <vector>

#include "bm/bm_globals.h"

namespace tolvtest {
namespace {

class StandIn : public SegmentTest {
 protected:
  // Every address a pointer field may hold lies inside the segment.
  bool inside(const void *p) const {
    auto a = reinterpret_cast<uintptr_t>(p), base = reinterpret_cast<uintptr_t>(dbs());
    return a >= base && a < base + srv_segsize(geometry());
  }
  // Every semaphore of the segment, header ones first.
  std::vector<bmsema *> all_semaphores() const {
    dbshead *h = dbs();
    std::vector<bmsema *> v = {h->archsem, h->imgsem, h->usersem, h->logsem, h->actsem,
                               h->freesem, h->tabsem, h->memsem,  h->mapsem, h->seqsem,
                               h->sesssem, &h->ctlarea->sema};
    for (int i = 0; i < h->ntablocks; i++) v.push_back(&h->tablocks[i]);
    for (int i = 0; i < h->nlists; i++) {
      v.push_back(&h->lists[i].sema);
      for (int b = 0; b < h->lists[i].nbufs; b++) v.push_back(&h->lists[i].bufs[b].sema);
    }
    return v;
  }
};

// ---- The created segment -------------------------------------------------------------------

TEST_F(StandIn, HeaderIdentifiesTheDbs) {
  dbshead *h = dbs();
  EXPECT_EQ(reinterpret_cast<uintptr_t>(h), 0x40000000u);
  EXPECT_EQ(h->magic, 0x052F90BC);
  EXPECT_EQ(h->shmaddr, 0x40000000u);
  EXPECT_EQ(h->shmkey, seg_.key());
  EXPECT_EQ(h->state, 1);
  EXPECT_EQ(h->nusers, 8);
  EXPECT_EQ(h->nlists, 2);
  EXPECT_EQ(h->maskwords, 1);
  EXPECT_EQ(h->flushpct, -1);
  EXPECT_EQ(h->dbsstamp, 4711);
  EXPECT_EQ(h->imgwriter, -1);
  EXPECT_EQ(bm_dbs, h);
  EXPECT_EQ(bm_mypid, getpid());
}

TEST_F(StandIn, SemaphoreSetHasOneZeroSemaphorePerUser) {
  struct semid_ds ds;
  union {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
  } arg;
  arg.buf = &ds;
  ASSERT_EQ(semctl(dbs()->semid, 0, IPC_STAT, arg), 0);
  EXPECT_EQ(ds.sem_nsems, 8u);
  EXPECT_EQ(ds.sem_perm.mode & 0777, 0600);
  EXPECT_EQ(semget(seg_.key(), 0, 0), dbs()->semid);
  for (int u = 0; u < 8; u++) EXPECT_EQ(semctl(dbs()->semid, u, GETVAL), 0) << u;
}

TEST_F(StandIn, ListsHoldUnusedBuffersInSortedIndexAndChain) {
  dbshead *h = dbs();
  for (int i = 0; i < h->nlists; i++) {
    buflist &l = h->lists[i];
    ASSERT_EQ(l.nbufs, 8);
    std::set<pagebuf *> seen;
    for (int b = 0; b < l.nbufs; b++) {
      pagebuf *buf = l.index[b];
      EXPECT_TRUE(buf >= l.bufs.get() && buf < l.bufs.get() + l.nbufs);
      EXPECT_EQ(pg_word(buf->page, PH_PAGENR), -1);
      if (b > 0) {
        EXPECT_LE(pg_word(l.index[b - 1]->page, PH_PAGENR), pg_word(buf->page, PH_PAGENR));
      }
      seen.insert(buf);
      EXPECT_EQ(buf->flags, 0u);
      EXPECT_EQ(buf->fixcnt, 0);
    }
    EXPECT_EQ(seen.size(), 8u);
    // The chain runs from head to tail through every buffer, prev mirroring next.
    int n = 0;
    pagebuf *prev = nullptr;
    for (pagebuf *b = l.head; b != nullptr; b = b->next, n++) {
      EXPECT_EQ(b->prev.get(), prev);
      prev = b;
    }
    EXPECT_EQ(n, 8);
    EXPECT_EQ(prev, l.tail.get());
    EXPECT_TRUE(l.lowlimit.get() >= l.bufs.get() && l.lowlimit.get() < l.bufs.get() + 8);
    EXPECT_EQ(reinterpret_cast<char *>(&l.bufs[1]) - reinterpret_cast<char *>(&l.bufs[0]), 2088);
  }
}

TEST_F(StandIn, EverySemaphoreIsFreeWithDistinctNumberAndOwnMask) {
  std::set<int> semnos;
  std::set<uint32_t *> masks;
  for (bmsema *s : all_semaphores()) {
    ASSERT_TRUE(inside(s));
    EXPECT_EQ(s->lock, 0);
    EXPECT_EQ(s->owner, 0);
    EXPECT_EQ(s->collisions, 0);
    EXPECT_NE(s->semno, 0);
    EXPECT_TRUE(semnos.insert(s->semno).second) << "semno " << s->semno << " twice";
    ASSERT_TRUE(inside(s->waitmask));
    EXPECT_TRUE(masks.insert(s->waitmask).second);
    EXPECT_EQ(s->waitmask[0], 0u);
  }
  EXPECT_EQ(semnos.size(), 11u + 1 + 4 + 2 + 16);
  EXPECT_EQ(reinterpret_cast<char *>(&dbs()->ctlarea->sema) - reinterpret_cast<char *>(dbs()->ctlarea.get()), 72);
}

TEST_F(StandIn, UserTableIsAllZero) {
  auto *bytes = reinterpret_cast<unsigned char *>(dbs()->users.get());
  ASSERT_TRUE(inside(bytes));
  EXPECT_TRUE(std::all_of(bytes, bytes + 8 * sizeof(userslot), [](unsigned char c) { return c == 0; }));
}

TEST_F(StandIn, DbspacesAndPartitionsAsGiven) {
  srv_geometry g = geometry();
  g.spaces.push_back(srv_space{"DATA", 500, {srv_part{"/dev/a", 0, 4096}, srv_part{"/dev/b", 2048, 8192}}});
  g.shmaddr = 0x50000000;  // the fixture's segment occupies the default address
  Segment other;
  ASSERT_EQ(other.create(g), SRV_OK);
  dbshead *h = other.head();
  ASSERT_EQ(h->ndbspaces, 2);
  EXPECT_STREQ(h->dbspaces[0].name, "rootdbs");
  EXPECT_EQ(h->dbspaces[0].npages, 1000);
  ASSERT_EQ(h->dbspaces[0].nparts, 1);
  EXPECT_EQ(h->dbspaces[0].parts[0].fdslot, 1);
  EXPECT_EQ(h->dbspaces[0].parts[0].size, 1000 * 2048);
  EXPECT_STREQ(h->dbspaces[1].name, "DATA");
  ASSERT_EQ(h->dbspaces[1].nparts, 2);
  EXPECT_STREQ(h->dbspaces[1].parts[1].device, "/dev/b");
  EXPECT_EQ(h->dbspaces[1].parts[1].offset, 2048);
  EXPECT_EQ(h->dbspaces[1].parts[1].size, 8192);
  EXPECT_EQ(h->dbspaces[1].parts[0].fdslot, 2);
  EXPECT_EQ(h->dbspaces[1].parts[1].fdslot, 3);
}

TEST_F(StandIn, LogControlBlockStartsInFileZero) {
  logctl &lc = dbs()->logctl;
  EXPECT_EQ(lc.lc_first, 10);
  EXPECT_EQ(lc.lc_nfiles, 3);
  EXPECT_EQ(lc.lc_filepages, 4);
  EXPECT_EQ(lc.lc_cur, 0);
  EXPECT_EQ(lc.lc_curpage, 1);
  ASSERT_TRUE(inside(lc.lc_state));
  EXPECT_EQ(lc.lc_state[0], 0x02);
  EXPECT_EQ(lc.lc_state[1], 0x04);
  EXPECT_EQ(lc.lc_state[2], 0x04);
  EXPECT_EQ(lc.lc_logid[0], 1);
  EXPECT_EQ(lc.lc_logid[1], -1);
  EXPECT_EQ(lc.lc_bytes[0], 0);
  EXPECT_EQ(dbs()->log_seq, 4);  // after the sequence numbers of the three log header pages
  EXPECT_EQ(lc.lc_wrptr.get(), lc.lc_page + 32);
  EXPECT_EQ(&lc, reinterpret_cast<logctl *>(reinterpret_cast<char *>(dbs()) + 0xa4));
}

TEST_F(StandIn, BeforeImageFieldsAndTablesAreFree) {
  dbshead *h = dbs();
  ASSERT_EQ(h->nbitab, 64);
  for (int i = 0; i < h->nbitab; i++) EXPECT_EQ(h->bitab[i], -1);
  EXPECT_TRUE(inside(h->images.get() + 4 * 2048 - 1));
  EXPECT_EQ(h->imgmax, 4);
  EXPECT_EQ(h->nimg, 0);
  EXPECT_EQ(h->bifirst, 30);
  EXPECT_EQ(h->binext, 30);
  EXPECT_EQ(h->bilast, 61);
  ASSERT_EQ(h->ntables, 4);
  std::set<tabuse *> uses;
  for (int t = 0; t < h->ntables; t++) {
    tabdesc &td = h->tables[t];
    EXPECT_EQ(td.td_tabid, -1);
    ASSERT_TRUE(inside(td.td_use));
    EXPECT_TRUE(uses.insert(td.td_use).second);
    for (int u = 0; u < h->nusers; u++) {
      EXPECT_EQ(td.td_use->tu_pids[u], -1);
      EXPECT_EQ(td.td_use->tu_counts[u], 0);
    }
  }
  for (int u = 0; u < h->nusers; u++) {
    EXPECT_EQ(h->rowids[u].rowid, -1);
    EXPECT_EQ(h->rowids[u].tabid, -1);
  }
}

TEST_F(StandIn, ArenaIsInitialisedAndEmpty) {
  dbshead *h = dbs();
  arenahdr *a = h->mem.arena;
  ASSERT_TRUE(inside(a));
  EXPECT_EQ(h->mem.memlimit, 16 * 1024);
  EXPECT_EQ(a->ndesc, 0);
  EXPECT_EQ(a->base.get(), reinterpret_cast<unsigned char *>(a));
  EXPECT_EQ(a->top.get(), reinterpret_cast<unsigned char *>(a) + 64 * 1024);
  EXPECT_EQ(a->desc.get(), reinterpret_cast<blockdesc *>(reinterpret_cast<char *>(a) + 28));
  EXPECT_EQ(a->lowest.get(), nullptr);
  EXPECT_EQ(a->highest.get(), nullptr);
  EXPECT_EQ(a->inuse, 0);
  // The arena is the last region: it ends where the segment ends.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a->top.get()),
            reinterpret_cast<uintptr_t>(h) + srv_segsize(geometry()));
}

TEST_F(StandIn, ExistingSegmentIsAttachedAtItsAddressByKey) {
  int key = seg_.key();
  pid_t pid = fork_child([key] {
    srv_detach(bm_dbs);
    dbshead *h = nullptr;
    if (srv_attach(key, &h) != SRV_OK) return 1;
    if (reinterpret_cast<uintptr_t>(h) != 0x40000000u) return 2;
    return h->magic == 0x052F90BC && h->shmkey == key ? 0 : 3;
  });
  EXPECT_EQ(wait_child(pid), 0);
}

TEST_F(StandIn, RegisteredSlotLooksLikeRegistration) {
  userslot *u = register_slot(3, "TOLVFLUSH");
  EXPECT_EQ(u, &dbs()->users[3]);
  EXPECT_EQ(u->pid, getpid());
  EXPECT_STREQ(u->progname, "TOLVFLUSH");
  EXPECT_EQ(u->uindex, 3);
  EXPECT_EQ(bm_myslot, u);
  EXPECT_EQ(bm_myuindex, 3);
  EXPECT_EQ(bm_mypid, getpid());
}

TEST(SegmentFixture, CreatorMayLeaveTheDbsOffline) {
  srv_geometry g = small_geometry();
  g.state = 0;
  Segment seg;
  ASSERT_EQ(seg.create(g), SRV_OK);
  EXPECT_EQ(seg.head()->state, 0);
  EXPECT_EQ(seg.head()->magic, DBS_MAGIC);
}

TEST(SegmentFixture, DestructionRemovesSegmentAndSemaphores) {
  int key;
  {
    Segment seg;
    ASSERT_EQ(seg.create(small_geometry()), SRV_OK);
    key = seg.key();
    EXPECT_GE(shmget(key, 0, 0), 0);
  }
  EXPECT_EQ(shmget(key, 0, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(semget(key, 0, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(bm_dbs, nullptr);
}

TEST(SegmentFixture, KeysAreInTheDbskeyRange) {
  for (int i = 0; i < 100; i++) {
    int k = random_key();
    EXPECT_GE(k, 1);
    EXPECT_LE(k, kKeyMax);
  }
}

// ---- Error paths ---------------------------------------------------------------------------

// A geometry with a free key of its own, for creations that are expected to fail.
srv_geometry fresh(srv_geometry g = small_geometry()) {
  do g.key = random_key();
  while (shmget(g.key, 0, 0) >= 0 || semget(g.key, 0, 0) >= 0);
  return g;
}

bool nothing_at(int key) { return shmget(key, 0, 0) < 0 && semget(key, 0, 0) < 0; }

TEST(StandInErrors, BadGeometriesAreRefusedBeforeAnythingIsCreated) {
  std::vector<std::function<void(srv_geometry &)>> breakers = {
      [](srv_geometry &g) { g.nusers = 0; },
      [](srv_geometry &g) { g.nlists = 0; },
      [](srv_geometry &g) { g.nbufs = 0; },
      [](srv_geometry &g) { g.spaces.clear(); },
      [](srv_geometry &g) { g.spaces[0].name = "TWELVECHARSX"; },
      [](srv_geometry &g) { g.spaces[0].parts[0].device = std::string(52, 'd'); },
      [](srv_geometry &g) { g.spaces[0].npages = (1 << 24) + 1; },
      [](srv_geometry &g) { g.lognfiles = 65; },
      [](srv_geometry &g) { g.logfilepages = 1; },
      [](srv_geometry &g) { g.bilast = g.bifirst - 1; },
      [](srv_geometry &g) { g.ntablocks = 0; },
      [](srv_geometry &g) { g.arenasize = 30; },
      [](srv_geometry &g) { g.memlimit = 0; },
      [](srv_geometry &g) { g.flushpct = 101; },
      [](srv_geometry &g) { g.shmaddr = 0; },
      [](srv_geometry &g) { g.shmaddr = 0x40000100; },
      [](srv_geometry &g) { g.shmaddr = 0xFFFF0000u; },  // would end above 4 GiB
  };
  for (size_t i = 0; i < breakers.size(); i++) {
    srv_geometry g = fresh();
    breakers[i](g);
    std::string why;
    EXPECT_EQ(srv_check(g, &why), SRV_BADGEOMETRY) << i;
    EXPECT_FALSE(why.empty()) << i;
    dbshead *h = reinterpret_cast<dbshead *>(1);
    EXPECT_EQ(srv_create(g, &h), SRV_BADGEOMETRY) << i;
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(nothing_at(g.key)) << i;
  }
  EXPECT_EQ(srv_check(fresh()), SRV_OK);
}

TEST(StandInErrors, SecondCreationWithTheSameKeyFailsAndLeavesTheFirst) {
  Segment seg;
  ASSERT_EQ(seg.create(small_geometry()), SRV_OK);
  srv_geometry g = small_geometry();
  g.key = seg.key();
  g.shmaddr = 0x50000000;
  dbshead *h;
  EXPECT_EQ(srv_create(g, &h), SRV_EXISTS);
  EXPECT_EQ(seg.head()->magic, DBS_MAGIC);
  EXPECT_GE(shmget(g.key, 0, 0), 0);
  EXPECT_EQ(semget(g.key, 0, 0), seg.head()->semid);
}

TEST(StandInErrors, ExistingSegmentAloneMakesCreationRemoveItsSemaphores) {
  srv_geometry g = fresh();
  int shmid = shmget(g.key, 4096, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(shmid, 0);
  dbshead *h;
  EXPECT_EQ(srv_create(g, &h), SRV_EXISTS);
  EXPECT_LT(semget(g.key, 0, 0), 0);  // the set it had made is gone again
  shmctl(shmid, IPC_RMID, nullptr);
}

TEST(StandInErrors, ExistingSemaphoreSetAloneIsRefused) {
  srv_geometry g = fresh();
  int semid = semget(g.key, 1, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(semid, 0);
  dbshead *h;
  EXPECT_EQ(srv_create(g, &h), SRV_EXISTS);
  EXPECT_LT(shmget(g.key, 0, 0), 0);
  semctl(semid, 0, IPC_RMID);
}

TEST(StandInErrors, OccupiedAddressFailsTheAttachAndRemovesBoth) {
  srv_geometry g = fresh();
  g.shmaddr = 0x60000000;
  void *m = mmap(reinterpret_cast<void *>(0x60000000), 4096, PROT_READ,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  ASSERT_EQ(m, reinterpret_cast<void *>(0x60000000));
  dbshead *h;
  EXPECT_EQ(srv_create(g, &h), SRV_SHMAT);
  EXPECT_EQ(h, nullptr);
  EXPECT_TRUE(nothing_at(g.key));
  munmap(m, 4096);
}

TEST(StandInErrors, AttachOfAMissingOrForeignSegmentFails) {
  srv_geometry g = fresh();
  dbshead *h;
  EXPECT_EQ(srv_attach(g.key, &h), SRV_SHMGET);
  int shmid = shmget(g.key, 4096, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(shmid, 0);
  EXPECT_EQ(srv_attach(g.key, &h), SRV_NOTDBS);
  EXPECT_EQ(h, nullptr);
  shmctl(shmid, IPC_RMID, nullptr);
}

TEST(StandInErrors, RemovalOfAMissingKeyIsNoError) {
  EXPECT_EQ(srv_remove(fresh().key), SRV_OK);
  EXPECT_STREQ(srv_strerror(SRV_EXISTS), "a segment or semaphore set with this key exists");
}

}  // namespace
}  // namespace tolvtest
