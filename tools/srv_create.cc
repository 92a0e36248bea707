// srv_create: the DBS server stand-in's creation, attach and removal of a DBS segment.
//
// Principal entry points: srv_create, srv_attach, srv_detach, srv_remove; srv_check and
// srv_segsize for the geometry.
//
// The segment this lays out, in address order (every region 8-byte aligned):
//   dbshead | waiter masks (maskwords words per semaphore) | the 11 header semaphores |
//   ctlarea | tablocks | buffer lists | their sorted indexes | their buffers | user slots |
//   dbspaces | partitions | log file state words | bitab | before-image buffer |
//   table descriptors | usage records | their pid and count arrays | rowid registry | arena
// Semaphore numbers run from 1 in that order: archsem, imgsem, usersem, logsem, actsem,
// freesem, tabsem, memsem, mapsem, seqsem, sesssem, the ctlarea's, the table locks, the list
// semaphores, then the buffer semaphores list by list; each has a waiter mask of its own.
// `state` (online, 1, unless the geometry asks for another) is stored last, once everything
// else is in place.
//
// See also: srv_create.h (contract), bm/shmstruct.h (the format), bm_sema (bm_seminit), bm_mem
// (bm_meminit lays out the arena).
#include "tools/srv_create.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include "ba/ba_msg.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_mem.h"
#include "bm/bm_shm.h"
#include "bm/bm_sema.h"

namespace {

constexpr int kHeaderSemas = 11;          // archsem .. sesssem
constexpr uint64_t kAddrLimit = 1ull << 32;
constexpr uint64_t kAlign = 8;
constexpr int kMaxSpaces = 256;           // dbspace numbers are 8 bits
constexpr int32_t kMaxSpacePages = 1 << 24;
constexpr int kMaxUsers = 65535;          // System V semaphore numbers are 16 bits
constexpr int32_t kFirstLogid = 1;        // log id of file 0 in a new DBS
constexpr int32_t kFirstSeq = 1;          // first before-image and log page sequence numbers
constexpr int32_t kFirstSession = 1;      // first registration number
constexpr char kViewGroup[] = "tolv";     // group that may attach the segment read-only
constexpr int kViewMode = 0640;           // the segment's mode once that group is set

union semun {
  int val;
  struct semid_ds *buf;
  unsigned short *array;
};

// Byte offsets of the regions of the segment (see the banner) and the size of the whole.
struct layout {
  int nsemas, maskwords, nparts;
  uint64_t masks, hsemas, ctl, tablocks, lists, index, bufs, users, spaces, parts, lcstate,
      bitab, images, tables, uses, upids, ucounts, rowids, arena, total;
};

uint64_t u64(int v) { return static_cast<uint64_t>(v); }

int total_parts(const srv_geometry &g) {
  int n = 0;
  for (const auto &s : g.spaces) n += static_cast<int>(s.parts.size());
  return n;
}

// Appends a region of n bytes at the aligned end; returns its offset.
uint64_t region(uint64_t &end, uint64_t n) {
  uint64_t at = (end + kAlign - 1) & ~(kAlign - 1);
  end = at + n;
  return at;
}

layout plan(const srv_geometry &g) {
  layout l{};
  uint64_t bufcount = u64(g.nlists) * u64(g.nbufs);
  l.maskwords = (g.nusers + 31) / 32;
  l.nparts = total_parts(g);
  l.nsemas = kHeaderSemas + 1 + g.ntablocks + g.nlists + static_cast<int>(bufcount);
  uint64_t end = sizeof(dbshead);
  l.masks = region(end, u64(l.nsemas) * u64(l.maskwords) * 4);
  l.hsemas = region(end, kHeaderSemas * sizeof(bmsema));
  l.ctl = region(end, sizeof(srvctl));
  l.tablocks = region(end, u64(g.ntablocks) * sizeof(bmsema));
  l.lists = region(end, u64(g.nlists) * sizeof(buflist));
  l.index = region(end, bufcount * sizeof(shmptr<pagebuf>));
  l.bufs = region(end, bufcount * sizeof(pagebuf));
  l.users = region(end, u64(g.nusers) * sizeof(userslot));
  l.spaces = region(end, g.spaces.size() * sizeof(dbspace));
  l.parts = region(end, u64(l.nparts) * sizeof(partition));
  l.lcstate = region(end, u64(g.lognfiles) * sizeof(int16_t));
  l.bitab = region(end, u64(g.nbitab) * sizeof(int32_t));
  l.images = region(end, u64(g.imgmax) * PAGESIZE);
  l.tables = region(end, u64(g.ntables) * sizeof(tabdesc));
  l.uses = region(end, u64(g.ntables) * sizeof(tabuse));
  l.upids = region(end, u64(g.ntables) * u64(g.nusers) * sizeof(int32_t));
  l.ucounts = region(end, u64(g.ntables) * u64(g.nusers) * sizeof(int32_t));
  l.rowids = region(end, u64(g.nusers) * sizeof(rowidpair));
  l.arena = region(end, u64(g.arenasize));
  l.total = region(end, 0);
  return l;
}

int bad(std::string *why, const char *text) {
  if (why != nullptr) *why = text;
  return SRV_BADGEOMETRY;
}

int check_spaces(const srv_geometry &g, std::string *why) {
  if (g.spaces.empty() || g.spaces.size() > kMaxSpaces) return bad(why, "dbspaces: 1 to 256");
  for (const auto &s : g.spaces) {
    if (s.name.empty() || s.name.size() >= sizeof(dbspace::name))
      return bad(why, "dbspace name: 1 to 11 characters");
    if (s.npages < 0 || s.npages > kMaxSpacePages) return bad(why, "dbspace pages: 0 to 2^24");
    for (const auto &p : s.parts) {
      if (p.device.empty() || p.device.size() >= sizeof(partition::device))
        return bad(why, "partition device: 1 to 51 characters");
      if (p.offset < 0 || p.size < 0) return bad(why, "partition offset and size: >= 0");
    }
  }
  return SRV_OK;
}

int check_counts(const srv_geometry &g, std::string *why) {
  if (g.nusers < 1 || g.nusers > kMaxUsers) return bad(why, "nusers: 1 to 65535");
  if (g.nlists < 1 || g.nbufs < 1) return bad(why, "nlists and nbufs: >= 1");
  if (g.lognfiles < 1 || g.lognfiles > LC_MAXFILES) return bad(why, "log files: 1 to 64");
  if (g.logfilepages < 2) return bad(why, "log file pages: >= 2");
  if (g.bifirst < 0 || g.bilast < g.bifirst) return bad(why, "before-image area: 0 <= first <= last");
  if (g.imgmax < 0 || g.nbitab < 0 || g.ntables < 0 || g.archmax < 0)
    return bad(why, "imgmax, nbitab, ntables, archmax: >= 0");
  if (g.ntablocks < 1) return bad(why, "ntablocks: >= 1");
  if (g.arenasize < static_cast<int>(sizeof(arenahdr) + sizeof(blockdesc)) || g.arenasize % 4 != 0)
    return bad(why, "arena size: a multiple of 4, at least 48");
  if (g.memlimit <= 0) return bad(why, "memlimit: > 0");
  if (g.flushpct < -1 || g.flushpct > 100) return bad(why, "flushpct: -1 to 100");
  return SRV_OK;
}

int check_address(const srv_geometry &g, std::string *why) {
  if (g.shmaddr == 0 || g.shmaddr % SHMLBA != 0)
    return bad(why, "attach address: non-zero and SHMLBA-aligned");
  if (uint64_t{g.shmaddr} + plan(g).total > kAddrLimit)
    return bad(why, "the segment must end below 4 GiB");
  return SRV_OK;
}

// Everything but the key.
int check_layout(const srv_geometry &g, std::string *why) {
  int r = check_counts(g, why);
  if (r == SRV_OK) r = check_spaces(g, why);
  if (r == SRV_OK) r = check_address(g, why);
  return r;
}

template <class T>
T *at(dbshead *h, uint64_t off) {
  return reinterpret_cast<T *>(reinterpret_cast<unsigned char *>(h) + off);
}

// Hands out semaphore numbers from 1 and a waiter mask of its own to each semaphore.
class semaphores {
 public:
  semaphores(dbshead *h, const layout &l)
      : mask_(at<uint32_t>(h, l.masks)), maskwords_(l.maskwords) {}
  bmsema *init(bmsema *s) {
    bm_seminit(s, next_++, mask_);
    mask_ += maskwords_;
    return s;
  }

 private:
  uint32_t *mask_;
  int maskwords_;
  int next_ = 1;
};

void lay_header_semaphores(dbshead *h, const layout &l, semaphores &sems) {
  bmsema *s = at<bmsema>(h, l.hsemas);
  for (shmptr<bmsema> *field : {&h->archsem, &h->imgsem, &h->usersem, &h->logsem, &h->actsem,
                                &h->freesem, &h->tabsem, &h->memsem, &h->mapsem, &h->seqsem,
                                &h->sesssem})
    *field = sems.init(s++);
  h->ctlarea = at<srvctl>(h, l.ctl);
  sems.init(&h->ctlarea->sema);
  h->tablocks = at<bmsema>(h, l.tablocks);
  for (int i = 0; i < h->ntablocks; i++) sems.init(&h->tablocks[i]);
}

// Every buffer unused (page number -1), chained from head to tail in address order, and listed
// in that order in the sorted index (all unused buffers sort alike, first). ST_LOWBUF requests
// may take the lower half of a list's buffers (decision of the stand-in).
void lay_list(buflist *list, pagebuf *bufs, shmptr<pagebuf> *index, int nbufs,
              semaphores &sems) {
  list->bufs = bufs;
  list->index = index;
  list->nbufs = nbufs;
  list->head = &bufs[0];
  list->tail = &bufs[nbufs - 1];
  list->lowlimit = &bufs[(nbufs - 1) / 2];
  sems.init(&list->sema);
  for (int i = 0; i < nbufs; i++) {
    pg_setword(bufs[i].page, PH_PAGENR, NOPAGE);
    bufs[i].prev = i > 0 ? &bufs[i - 1] : nullptr;
    bufs[i].next = i + 1 < nbufs ? &bufs[i + 1] : nullptr;
    index[i] = &bufs[i];
  }
}

void lay_lists(dbshead *h, const layout &l, int nbufs, semaphores &sems) {
  h->lists = at<buflist>(h, l.lists);
  for (int i = 0; i < h->nlists; i++)
    lay_list(&h->lists[i], at<pagebuf>(h, l.bufs) + u64(i) * u64(nbufs),
             at<shmptr<pagebuf>>(h, l.index) + u64(i) * u64(nbufs), nbufs, sems);
  // The buffer semaphores come after all list semaphores, list by list.
  for (int i = 0; i < h->nlists; i++)
    for (int b = 0; b < nbufs; b++) sems.init(&h->lists[i].bufs[b].sema);
}

// Dbspaces and partitions; fdslot numbers the partitions 1..n over all dbspaces.
void lay_spaces(dbshead *h, const layout &l, const srv_geometry &g) {
  h->ndbspaces = static_cast<int32_t>(g.spaces.size());
  h->dbspaces = at<dbspace>(h, l.spaces);
  partition *p = at<partition>(h, l.parts);
  int fdslot = 1;
  for (size_t i = 0; i < g.spaces.size(); i++) {
    const srv_space &src = g.spaces[i];
    dbspace &d = h->dbspaces[i];
    memcpy(d.name, src.name.data(), src.name.size());  // checked to fit with its NUL
    d.npages = src.npages;
    d.nparts = static_cast<int32_t>(src.parts.size());
    d.parts = p;
    for (const srv_part &sp : src.parts) {
      memcpy(p->device, sp.device.data(), sp.device.size());
      p->offset = sp.offset;
      p->size = sp.size;
      p->fdslot = fdslot++;
      p++;
    }
  }
}

// File 0 is current under the first log id, being filled from data page 1; the others free
// (srv_newlogid). log_seq continues behind the sequence numbers of the formatted header pages.
void lay_log(dbshead *h, const layout &l, const srv_geometry &g) {
  logctl &lc = h->logctl;
  lc.lc_first = g.logfirst;
  lc.lc_nfiles = g.lognfiles;
  lc.lc_filepages = g.logfilepages;
  lc.lc_cur = 0;
  lc.lc_curpage = 1;
  lc.lc_state = at<int16_t>(h, l.lcstate);
  for (int f = 0; f < g.lognfiles; f++) {
    lc.lc_state[f] = f == 0 ? LS_CURRENT : LS_FREE;
    lc.lc_logid[f] = srv_newlogid(f);
  }
  lc.lc_wrptr = lc.lc_page + PH_DATA;
  h->log_seq = srv_logheadseq(g.lognfiles);
  h->ckpt_logid = kFirstLogid;
}

void lay_images(dbshead *h, const layout &l, const srv_geometry &g) {
  h->bitab = at<int32_t>(h, l.bitab);
  h->nbitab = g.nbitab;
  for (int i = 0; i < g.nbitab; i++) h->bitab[i] = NOPAGE;
  h->images = at<unsigned char>(h, l.images);
  h->imgmax = g.imgmax;
  h->nimg = 0;
  h->bifirst = g.bifirst;
  h->binext = g.bifirst;
  h->bilast = g.bilast;
  h->biseqno = kFirstSeq;
  h->imgwriter = -1;
  h->archmax = g.archmax;
}

// Every descriptor free, each with its usage record: no holders, no user has the table open.
void lay_tables(dbshead *h, const layout &l, const srv_geometry &g) {
  h->tables = at<tabdesc>(h, l.tables);
  for (int t = 0; t < g.ntables; t++) {
    tabuse *u = at<tabuse>(h, l.uses) + t;
    u->tu_pids = at<int32_t>(h, l.upids) + u64(t) * u64(g.nusers);
    u->tu_counts = at<int32_t>(h, l.ucounts) + u64(t) * u64(g.nusers);
    for (int i = 0; i < g.nusers; i++) u->tu_pids[i] = -1;
    h->tables[t].td_tabid = -1;
    h->tables[t].td_use = u;
  }
  h->rowids = at<rowidpair>(h, l.rowids);
  for (int i = 0; i < g.nusers; i++) h->rowids[i] = rowidpair{-1, -1};
}

void fill(dbshead *h, const srv_geometry &g, int semid, const layout &l) {
  memset(h, 0, l.total);
  h->magic = DBS_MAGIC;
  h->shmaddr = g.shmaddr;
  h->shmkey = g.key;
  h->semid = semid;
  h->nusers = g.nusers;
  h->ntables = g.ntables;
  h->ntablocks = g.ntablocks;
  h->nlists = g.nlists;
  h->maskwords = l.maskwords;
  h->users = at<userslot>(h, l.users);
  semaphores sems(h, l);
  lay_header_semaphores(h, l, sems);
  lay_lists(h, l, g.nbufs, sems);
  lay_spaces(h, l, g);
  lay_log(h, l, g);
  lay_images(h, l, g);
  lay_tables(h, l, g);
  h->mem.arena = bm_meminit(at<unsigned char>(h, l.arena), g.arenasize);
  h->mem.memlimit = g.memlimit;
  h->sessctr = kFirstSession;
  h->flushpct = g.flushpct;
  h->dbsstamp = g.dbsstamp;
  __atomic_store_n(&h->state, g.state, __ATOMIC_SEQ_CST);  // last: everything is in place
}

// Removes what a failed creation made, keeping the errno that explains the failure.
int undo(int result, int semid, int shmid) {
  int e = errno;
  if (shmid >= 0) shmctl(shmid, IPC_RMID, nullptr);
  if (semid >= 0) semctl(semid, 0, IPC_RMID);
  errno = e;
  return result;
}

// Members of group tolv may look at a DBS (tolvdb stat, tolvdb daemon status) through a
// read-only attach; only the owner may change it. Without the group the segment stays 0600.
// The semaphore set stays 0600: looking needs no semaphore.
void open_to_viewers(int shmid) {
  const group *gr = getgrnam(kViewGroup);
  shmid_ds ds;
  if (gr == nullptr || shmctl(shmid, IPC_STAT, &ds) != 0) return;
  ds.shm_perm.gid = gr->gr_gid;
  ds.shm_perm.mode = kViewMode;
  shmctl(shmid, IPC_SET, &ds);
}

int create_semaphores(const srv_geometry &g, int *semid) {
  *semid = semget(g.key, g.nusers, IPC_CREAT | IPC_EXCL | 0600);
  if (*semid < 0) return errno == EEXIST ? SRV_EXISTS : SRV_SEMGET;
  std::vector<unsigned short> zeros(static_cast<size_t>(g.nusers), 0);
  union semun arg;
  arg.array = zeros.data();
  if (semctl(*semid, 0, SETALL, arg) < 0) return undo(SRV_SEMCTL, *semid, -1);
  return SRV_OK;
}

}  // namespace

int32_t srv_newlogid(int f) { return f == 0 ? kFirstLogid : -1; }
int32_t srv_logheadseq(int f) { return kFirstSeq + f; }

const char *srv_strerror(int result) {
  switch (result) {
    case SRV_OK: return "success";
    case SRV_BADGEOMETRY: return "bad geometry";
    case SRV_EXISTS: return "a segment or semaphore set with this key exists";
    case SRV_SEMGET: return "cannot create the semaphore set";
    case SRV_SEMCTL: return "cannot initialise the semaphores";
    case SRV_SHMGET: return "cannot create or find the segment";
    case SRV_SHMAT: return "cannot attach the segment at its address";
    case SRV_NOTDBS: return "not a DBS segment of this key";
    case SRV_SEMRM: return "cannot remove the semaphore set";
    case SRV_SHMRM: return "cannot remove the segment";
    case SRV_FILE: return "a partition file cannot be created or formatted";
    case SRV_BADPAGE: return "page outside its dbspace or reserved";
    case SRV_IO: return "a page or kernel operation failed";
    case SRV_STOPPED: return "stopped by a signal";
    default: return "unknown result";
  }
}

void srv_vexplain(std::string *why, const char *fmt, va_list ap) {
  if (why == nullptr) return;
  char text[300];
  vsnprintf(text, sizeof text, fmt, ap);
  *why = text;
}

void srv_explain(std::string *why, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  srv_vexplain(why, fmt, ap);
  va_end(ap);
}

int srv_refused(std::string *why, const std::string &what) {
  srv_explain(why, "%s: %s (%d)", what.c_str(), ba_msgtext(iserrno), iserrno);
  return iserrno == ER_STOPREQ ? SRV_STOPPED : SRV_IO;
}

int srv_aborted(std::string *why, const std::string &what) {
  int e = iserrno;
  bm_abortea(bm_myslot);
  iserrno = e;
  return srv_refused(why, what);
}

int srv_check(const srv_geometry &g, std::string *why) {
  if (g.key <= 0) return bad(why, "key: > 0");
  return check_layout(g, why);
}

uint64_t srv_segsize(const srv_geometry &g) {
  return check_layout(g, nullptr) == SRV_OK ? plan(g).total : 0;
}

int srv_create(const srv_geometry &g, dbshead **head) {
  *head = nullptr;
  if (srv_check(g) != SRV_OK) return SRV_BADGEOMETRY;
  layout l = plan(g);
  int semid;
  int r = create_semaphores(g, &semid);
  if (r != SRV_OK) return r;
  int shmid = shmget(g.key, static_cast<size_t>(l.total), IPC_CREAT | IPC_EXCL | 0600);
  if (shmid < 0) return undo(errno == EEXIST ? SRV_EXISTS : SRV_SHMGET, semid, -1);
  open_to_viewers(shmid);
  void *want = reinterpret_cast<void *>(static_cast<uintptr_t>(g.shmaddr));
  void *p = shmat(shmid, want, 0);
  if (p == reinterpret_cast<void *>(-1)) return undo(SRV_SHMAT, semid, shmid);
  if (p != want) {
    shmdt(p);
    errno = EADDRNOTAVAIL;
    return undo(SRV_SHMAT, semid, shmid);
  }
  *head = static_cast<dbshead *>(p);
  fill(*head, g, semid, l);
  return SRV_OK;
}

int srv_attachmode(int key, bool readonly, dbshead **head) {
  *head = nullptr;
  // The owner's lookup asks for read and write; a read-only look asks for nothing more than the
  // segment's mode grants (members of its group may look).
  int shmid = shmget(key, 0, readonly ? 0 : 0600);
  if (shmid < 0) return SRV_SHMGET;
  // A first, read-only look at the header tells the address the segment must be attached at.
  void *peek = shmat(shmid, nullptr, SHM_RDONLY);
  if (peek == reinterpret_cast<void *>(-1)) return SRV_SHMAT;
  const auto *ph = static_cast<const dbshead *>(peek);
  bool dbs = ph->magic == DBS_MAGIC && ph->shmkey == key;
  void *want = reinterpret_cast<void *>(static_cast<uintptr_t>(ph->shmaddr));
  shmdt(peek);
  if (!dbs) return SRV_NOTDBS;
  void *p = shmat(shmid, want, readonly ? SHM_RDONLY : 0);
  if (p == reinterpret_cast<void *>(-1)) return SRV_SHMAT;
  if (p != want) {
    shmdt(p);
    errno = EADDRNOTAVAIL;
    return SRV_SHMAT;
  }
  *head = static_cast<dbshead *>(p);
  return SRV_OK;
}

int srv_attach(int key, dbshead **head) { return srv_attachmode(key, false, head); }

void srv_detach(dbshead *head) {
  if (head != nullptr) shmdt(head);
}

int srv_remove(int key) {
  int shmid = shmget(key, 0, 0);
  if (shmid < 0 ? errno != ENOENT : shmctl(shmid, IPC_RMID, nullptr) < 0) return SRV_SHMRM;
  int semid = semget(key, 0, 0);
  if (semid < 0 ? errno != ENOENT : semctl(semid, 0, IPC_RMID) < 0) return SRV_SEMRM;
  return SRV_OK;
}
