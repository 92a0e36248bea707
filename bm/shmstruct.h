// shmstruct.h: every structure of the DBS shared segment, as one binary format.
//
// The DBS server creates the segment and fills it; every process of the DBS attaches it at the
// address recorded in dbshead.shmaddr and works on it in place. The segment was laid out for
// 32-bit processes, so every pointer field is a 4-byte absolute address (shmptr below) that is
// valid in every attached process; the segment is always attached below 4 GiB. Integers are
// 32-bit little-endian two's complement (native), `i16` fields 16-bit; nothing here may change
// offset or width. Every listed field has a static_assert of its offset; gaps are explicit
// reserved fields that belong to the server and are neither read nor written here.
//
// Lock rules (the `bmsema` semaphores, bm_sema.h):
//  (1) buffer list chain (head, tail, prev, next), `index` and a buffer's page number: only
//      under the list's `sema`. Buffer flags: as a rule under the list's `sema`; a process may
//      change the flags of a buffer it has fixed or marked for itself (BF_READING, BF_SAVEOLD,
//      BF_BEFIMG, BF_LOCIMG, BF_ARCHIVED; the flush pass clears BF_FLUSHING after its write).
//  (2) `fixcnt`: only under the buffer's own `sema`.
//  (3) `bitab`, `nimg`, `images`, `biseqno`: under `imgsem`; `binext` also by the single image
//      writer without it.
//  (4) archive fields: under `archsem`; arena: under `memsem`; user table search, registration
//      and release: under `usersem`; `sessctr`: under `sesssem`; log control block: under
//      `logsem`; table descriptors and usage records: under `tabsem`; table map: under
//      `mapsem`; `seqno` and the rowid registry: under `seqsem`; `ckptrun` against action
//      starts: under `actsem`; free-page bitmaps: under `freesem`.
//  (5) A user slot is written only by its owning process (action abort may clear another
//      slot's action flags), and cleared whole on release.
//  (6) The `st_` counters and the partitions' nreads/nwrites are bumped without any lock; they
//      are approximate and never drive a decision.
//  (7) A semaphore's `lock` word is changed only by an atomic exchange (bm_tas, bm_v).
// Lock order: freesem before a list sema before a buffer sema; logsem before usersem; imgsem,
// memsem and archsem only while no list sema is held. No page I/O under a list sema.
//
// See also: bm_sema.h (semaphores and waits), bm_proto.h (every bm_ operation).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// ---- The 4-byte segment address -------------------------------------------------------------

// Ends the process with a message: a process pointer at or above 4 GiB was to be stored in the
// segment (it would be cut to another address).
[[noreturn]] void shmptr_fault(const void *p);

// An absolute address below 4 GiB, stored in 4 bytes. Converting a process pointer asserts
// that it lies below 4 GiB (the segment is attached there), in every build; converting back
// gives T*; null is 0. Trivial and standard-layout, so the structures that hold it stay plain
// binary formats.
template <class T>
class shmptr {
 public:
  shmptr() = default;
  shmptr(T *p) : addr_(to_addr(p)) {}  // NOLINT: converts like the pointer it stands for
  shmptr &operator=(T *p) {
    addr_ = to_addr(p);
    return *this;
  }
  T *get() const { return reinterpret_cast<T *>(static_cast<uintptr_t>(addr_)); }
  operator T *() const { return get(); }  // NOLINT: reads like the pointer it stands for
  T *operator->() const { return get(); }
  uint32_t addr() const { return addr_; }

 private:
  static uint32_t to_addr(T *p) {
    auto a = reinterpret_cast<uintptr_t>(p);
    if (a > UINT32_MAX) shmptr_fault(p);
    return static_cast<uint32_t>(a);
  }
  uint32_t addr_;
};

static_assert(std::endian::native == std::endian::little, "the segment's integers are little-endian");

// ---- Constants of the format ---------------------------------------------------------------

constexpr int32_t DBS_MAGIC = 0x052F90BC;  // dbshead.magic of a DBS segment
constexpr int16_t DBS_ONLINE = 1;          // dbshead.state while the DBS is online
constexpr int32_t NOPAGE = -1;             // page number: none; in a buffer: unused buffer
constexpr int PAGESIZE = 2048;             // every page, on disk, in buffers, in images

// Page numbers: dbspace in bits 24-31, page within the dbspace in bits 0-23.
constexpr int PN_SPACESHIFT = 24;
constexpr int32_t PN_PAGEMASK = 0xFFFFFF;

// Page header, byte offsets of the i32 words that the buffer manager uses:
//   0 pagenr | 4..19 (not ours) | 20 stamp | 24 pagetype | 28 biseq | 32..2043 data |
//   2044 biseq2 (the sequence number again, last word of the page)
constexpr int PH_PAGENR = 0;      // the page's own number; -1 in an unused buffer
constexpr int PH_STAMP = 20;      // dbsstamp when the before image was taken / log page written
constexpr int PH_PAGETYPE = 24;   // <= 0xFFFF data pages; larger values take no local image
constexpr int PH_BISEQ = 28;      // before-image or log sequence number
constexpr int PH_DATA = 32;       // first data byte
constexpr int PH_BISEQ2 = 2044;   // the sequence number again
static_assert(PH_BISEQ2 == PAGESIZE - 4, "biseq2 is the last word of a page");

constexpr int32_t PT_MAXDATA = 0xFFFF;   // page types up to this are ordinary data pages
constexpr int32_t PT_LOGDATA = 0x20000;  // log data page
constexpr int32_t PT_LOGHEAD = 0x40000;  // log file header page
constexpr int32_t PT_TABMAP = 0x80000;   // table map page
constexpr int32_t PT_TABROOT = 0x8;      // bit of a table root page's type

// Reads and writes an i32 page header word at byte offset off (no alignment assumed).
inline int32_t pg_word(const void *page, int off) {
  int32_t v;
  memcpy(&v, static_cast<const char *>(page) + off, sizeof v);
  return v;
}
inline void pg_setword(void *page, int off, int32_t v) {
  memcpy(static_cast<char *>(page) + off, &v, sizeof v);
}

// Buffer flags (pagebuf.flags). Who sets and clears each:
//   BF_DIRTY    fix for update            | flush pass taking the buffer; buffer replacement
//   BF_NEW      fix with ST_NEW; re-read of a page created in the action | action end
//   BF_BEFIMG   page request after the before image | checkpoint
//   BF_LOCIMG   page request after the local image | action end or abort
//   BF_READING  buffer assignment         | end of the read
//   BF_SAVEOLD  assignment of a buffer with dirty contents | the assigning process before it writes
//   BF_FLUSHING flush pass taking the buffer | flush pass after the write
//   BF_ARCHIVED page request copying for the archive | end of archiving
constexpr uint32_t BF_DIRTY = 0x002;
constexpr uint32_t BF_NEW = 0x004;
constexpr uint32_t BF_BEFIMG = 0x008;
constexpr uint32_t BF_LOCIMG = 0x010;
constexpr uint32_t BF_READING = 0x020;
constexpr uint32_t BF_SAVEOLD = 0x040;
constexpr uint32_t BF_FLUSHING = 0x200;
constexpr uint32_t BF_ARCHIVED = 0x400;

// Page request bits (state argument of the page request).
constexpr int ST_UPDATE = 0x002;   // the caller changes the page (needs US_ACTION)
constexpr int ST_NEW = 0x004;      // the caller creates the page: nothing is read
constexpr int ST_LOWBUF = 0x100;   // assign only buffers at or below the list's lowlimit
constexpr int ST_ANYPAGE = 0x800;  // accept and clear a page read with another number

// User flags (userslot.uflags).
constexpr uint32_t US_EA = 0x001;       // an action is active
constexpr uint32_t US_INTRANS = 0x002;  // in a transaction (set and cleared by the server)
constexpr uint32_t US_WAITING = 0x004;  // sleeping; waitkind/waitobj say on what
constexpr uint32_t US_LONGTX = 0x010;   // the transaction is flagged as long
constexpr uint32_t US_ACTION = 0x040;   // the active action is an update action
constexpr uint32_t US_OPT = 0x200;      // a per-user option kept for the server

// Wait kinds (userslot.waitkind while US_WAITING is set) and their objects (waitobj).
constexpr char WK_SEMA = 'S';      // a semaphore: its semno
constexpr char WK_TABLE = 'T';     // a table lock: the table id
constexpr char WK_BUFFER = 'P';    // a replaceable buffer: not set
constexpr char WK_FLUSH = 'f';     // a page being flushed: the page number
constexpr char WK_IMAGE = 'I';     // a before image to be written: the page number
constexpr char WK_IMGROOM = 'i';   // room in the before-image buffer
constexpr char WK_ARCHROOM = 'B';  // room in the archive buffer: 0
constexpr char WK_CKPT = 'C';      // the end of a checkpoint
constexpr char WK_CKPTREQ = 'c';   // the end of a requested checkpoint
constexpr char WK_LONGTX = 'X';    // the end of long transactions
constexpr char WK_LOGFILE = 'F';   // a free log file

// Log file state words (the i16 array at logctl.lc_state). File life: free -> current (by the
// log switch) -> full (+ auto-free candidate) -> free again (bm_freelogs or an outside backup).
constexpr int16_t LS_FULL = 0x01;
constexpr int16_t LS_CURRENT = 0x02;
constexpr int16_t LS_FREE = 0x04;
constexpr int16_t LS_AUTOFREE = 0x08;
constexpr int16_t LS_EXEMPT = 0x10;

constexpr int LC_MAXFILES = 64;      // log files at most
constexpr int LOG_DATASIZE = 2012;   // record bytes per log data page
static_assert(PH_DATA + LOG_DATASIZE == PH_BISEQ2, "log data fills the page between the words");

constexpr uint32_t CK_RUNNING = 0x1;     // dbshead.ckptflags: a checkpoint is in progress
constexpr uint32_t AR_ACTIVE = 0x1;      // dbshead.archflags: archiving active
constexpr uint32_t AR_CKPTSEEN = 0x2;    // set by the first checkpoint of an archive run
constexpr uint32_t AR_COPYPHASE = 0x4;   // copy every page before its first use

constexpr int US_PROGLEN = 15;   // progname, dbopt, client, curname: 14 characters and NUL
constexpr int US_IDLEN = 51;     // osuser, tty: 50 characters and NUL
constexpr int US_HOSTLEN = 16;   // host: 15 characters and NUL
constexpr int US_MAXEXT = 180;   // actext entries
constexpr int TD_SAVELEN = 56;   // leading bytes of a table descriptor saved in tdsave
constexpr int TD_MAXKEYS = 20;   // key descriptors per table
constexpr int KD_MAXPARTS = 16;  // columns per key

// ---- bmsema: the buffer-manager semaphore (24 bytes) ----------------------------------------
// Free: lock 0, owner 0. Held: lock 1, owner = the holder's pid. A sleeper records itself in
// the waiter mask (user u: word u / 32, bit 0x80000000 >> (u % 32)) and parks on its own System
// V semaphore; a release wakes at most one. Set up by clearing it and storing semno/waitmask.
struct bmsema {
  int16_t lock;                 // 0 free, 1 held; atomic exchange only (bm_tas, bm_v)
  char res_2[2];
  shmptr<uint32_t> waitmask;    // maskwords words; a sleeper sets and clears its own bit
  int32_t owner;                // pid of the holder (bm_p), 0 after bm_v; holder writes
  int16_t wakeups;              // wake-ups sent by releases; bm_v, approximate
  char res_14[2];
  int32_t semno;                // identifying number, the object of an 'S' wait; creator
  int32_t collisions;           // attempts that found it held; bm_p, approximate
};
static_assert(offsetof(bmsema, lock) == 0);
static_assert(offsetof(bmsema, waitmask) == 4);
static_assert(offsetof(bmsema, owner) == 8);
static_assert(offsetof(bmsema, wakeups) == 12);
static_assert(offsetof(bmsema, semno) == 16);
static_assert(offsetof(bmsema, collisions) == 20);
static_assert(sizeof(bmsema) == 24);

// ---- pagebuf: one buffer of the pool (2088 bytes) -------------------------------------------
struct pagebuf {
  unsigned char page[PAGESIZE];  // page image; word 0 = its page number, -1 unused (list sema)
  uint32_t flags;                // BF_ bits; list sema as a rule (rule 1)
  int32_t fixcnt;                // current fixes; own sema; > 0: never replaced
  shmptr<pagebuf> prev;          // neighbour toward head, null at the head; list sema
  shmptr<pagebuf> next;          // neighbour toward tail, null at the tail; list sema
  bmsema sema;                   // guards fixcnt
};
static_assert(offsetof(pagebuf, page) == 0);
static_assert(offsetof(pagebuf, flags) == 2048);
static_assert(offsetof(pagebuf, fixcnt) == 2052);
static_assert(offsetof(pagebuf, prev) == 2056);
static_assert(offsetof(pagebuf, next) == 2060);
static_assert(offsetof(pagebuf, sema) == 2064);
static_assert(sizeof(pagebuf) == 2088);

// ---- buflist: a buffer list (48 bytes) ------------------------------------------------------
// Page p belongs to list (p >> 3) mod nlists. Everything but nbufs and bufs under `sema`.
struct buflist {
  shmptr<pagebuf> lowlimit;        // highest buffer an ST_LOWBUF request may take; creator
  shmptr<pagebuf> head;            // least recently used end of the chain
  shmptr<pagebuf> tail;            // most recently used end
  shmptr<shmptr<pagebuf>> index;   // nbufs buffers sorted by page number (signed), -1 first
  shmptr<pagebuf> bufs;            // the list's buffers, contiguous; creator
  bmsema sema;                     // the list semaphore
  int32_t nbufs;                   // buffers in the list; creator
};
static_assert(offsetof(buflist, lowlimit) == 0);
static_assert(offsetof(buflist, head) == 4);
static_assert(offsetof(buflist, tail) == 8);
static_assert(offsetof(buflist, index) == 12);
static_assert(offsetof(buflist, bufs) == 16);
static_assert(offsetof(buflist, sema) == 20);
static_assert(offsetof(buflist, nbufs) == 44);
static_assert(sizeof(buflist) == 48);

// ---- partition and dbspace descriptors (76 and 24 bytes); written by the creator only -------
struct partition {
  char device[52];      // path of the device or file, NUL-terminated
  int32_t offset;       // byte offset of the partition's first page within the device
  int32_t size;         // bytes; holds size / 2048 pages
  int32_t nreads;       // pages read from it; anybody, no lock (rule 6)
  int32_t nwrites;      // pages written to it; anybody, no lock (rule 6)
  char res_68[4];
  int32_t fdslot;       // 1-based slot in each process's descriptor cache (bm_fdtab)
};
static_assert(offsetof(partition, device) == 0);
static_assert(offsetof(partition, offset) == 52);
static_assert(offsetof(partition, size) == 56);
static_assert(offsetof(partition, nreads) == 60);
static_assert(offsetof(partition, nwrites) == 64);
static_assert(offsetof(partition, fdslot) == 72);
static_assert(sizeof(partition) == 76);

struct dbspace {
  char name[12];              // NUL-terminated
  int32_t nparts;             // partitions
  shmptr<partition> parts;    // nparts descriptors
  int32_t npages;             // pages in the dbspace
};
static_assert(offsetof(dbspace, name) == 0);
static_assert(offsetof(dbspace, nparts) == 12);
static_assert(offsetof(dbspace, parts) == 16);
static_assert(offsetof(dbspace, npages) == 20);
static_assert(sizeof(dbspace) == 24);

// ---- Table structures -----------------------------------------------------------------------

// Usage record of a table descriptor (28 bytes; one per descriptor, made with the segment).
// Words 0-3 are the table lock of bm_tp, under tablocks[td_tabid mod ntablocks]; the rest is
// under tabsem.
struct tabuse {
  int32_t tu_shared;           // word 0: shared holders
  int32_t tu_excl;             // word 1: exclusive holders (0 or 1)
  shmptr<int32_t> tu_last;     // word 2: the counter the last successful bm_tp incremented
  int32_t tu_refused;          // word 3: refused attempts
  int32_t tu_open;             // open count of the table
  shmptr<int32_t> tu_pids;     // nusers process ids, one per user slot; -1 none
  shmptr<int32_t> tu_counts;   // nusers open counts, one per user slot
};
static_assert(offsetof(tabuse, tu_shared) == 0);
static_assert(offsetof(tabuse, tu_excl) == 4);
static_assert(offsetof(tabuse, tu_last) == 8);
static_assert(offsetof(tabuse, tu_refused) == 12);
static_assert(offsetof(tabuse, tu_open) == 16);
static_assert(offsetof(tabuse, tu_pids) == 20);
static_assert(offsetof(tabuse, tu_counts) == 24);
static_assert(sizeof(tabuse) == 28);

// One column of a key (10 bytes).
struct keypart {
  int16_t kp_colno;    // column number as stored (1-based, signed)
  int16_t kp_offset;   // column offset in the row
  int16_t kp_length;   // key length of the column
  int16_t kp_type;
  int16_t kp_subtype;
};
static_assert(offsetof(keypart, kp_colno) == 0);
static_assert(offsetof(keypart, kp_offset) == 2);
static_assert(offsetof(keypart, kp_length) == 4);
static_assert(offsetof(keypart, kp_type) == 6);
static_assert(offsetof(keypart, kp_subtype) == 8);
static_assert(sizeof(keypart) == 10);

// Key descriptor (168 bytes, from the shared allocator; under tabsem).
struct keydesc {
  int16_t kd_attr;                 // key attribute
  int16_t kd_ncols;                // key columns in kd_parts
  keypart kd_parts[KD_MAXPARTS];
  int32_t kd_value;                // key value
};
static_assert(offsetof(keydesc, kd_attr) == 0);
static_assert(offsetof(keydesc, kd_ncols) == 2);
static_assert(offsetof(keydesc, kd_parts) == 4);
static_assert(offsetof(keydesc, kd_value) == 164);
static_assert(sizeof(keydesc) == 168);

// Extent entry of a table descriptor's extent lists (8 bytes).
struct tabext {
  int32_t te_page;      // first page number
  uint16_t te_count;    // pages
  char res_6[2];
};
static_assert(offsetof(tabext, te_page) == 0);
static_assert(offsetof(tabext, te_count) == 4);
static_assert(sizeof(tabext) == 8);

// Table descriptor (240 bytes; ntables of them at dbshead.tables). All fields under tabsem;
// td_tabid -1 marks a free descriptor. The root page words td_r00..td_r64 are named after their
// data offset in the root page and only loaded and passed on.
struct tabdesc {
  int32_t td_r04;
  int32_t td_r0a;
  int32_t td_r0e;
  int32_t td_r22;
  int32_t td_r26;
  int32_t td_next1;                   // entries of td_ext1
  int32_t td_next2;                   // entries of td_ext2
  int32_t td_nkeys;                   // key descriptors built
  int32_t td_r44;
  int32_t td_r48;
  int32_t td_flags;                   // root page flags plus open flags; 0x1 exclusive open
  int32_t td_value;                   // value cell kept for the server; -2 after loading
  shmptr<tabuse> td_use;              // usage record, made with the segment
  int32_t td_r64;
  int32_t td_ncols;
  int32_t td_dbspace;                 // dbspace of the first td_ext2 entry
  int32_t td_r58;
  char res_44[8];
  int32_t td_r2a;
  int32_t td_tabid;                   // table id; -1 free
  int32_t td_r00;
  int32_t td_ident1;
  int32_t td_ident2;
  int32_t td_nchar12;                 // columns of type 12
  int32_t td_nlob;                    // columns of type -3 or -4
  int32_t td_r50;
  char td_name[19];
  char res_7f[1];
  int32_t td_updates;                 // bumped by the end of every update action on the table
  char res_84[4];
  shmptr<int16_t> td_keyuse;          // 20 counters, one per type-12 column
  shmptr<int16_t> td_loboffs;         // 20 offsets of the type -3/-4 columns
  shmptr<keydesc> td_key[TD_MAXKEYS]; // key descriptors, null where absent
  shmptr<tabext> td_ext1;             // extent list 1, td_next1 entries
  shmptr<tabext> td_ext2;             // extent list 2, td_next2 entries
  int32_t td_clr1;                    // cleared on loading
  int32_t td_clr2;                    // cleared on loading
};
static_assert(offsetof(tabdesc, td_r04) == 0x00);
static_assert(offsetof(tabdesc, td_r0a) == 0x04);
static_assert(offsetof(tabdesc, td_r0e) == 0x08);
static_assert(offsetof(tabdesc, td_r22) == 0x0c);
static_assert(offsetof(tabdesc, td_r26) == 0x10);
static_assert(offsetof(tabdesc, td_next1) == 0x14);
static_assert(offsetof(tabdesc, td_next2) == 0x18);
static_assert(offsetof(tabdesc, td_nkeys) == 0x1c);
static_assert(offsetof(tabdesc, td_r44) == 0x20);
static_assert(offsetof(tabdesc, td_r48) == 0x24);
static_assert(offsetof(tabdesc, td_flags) == 0x28);
static_assert(offsetof(tabdesc, td_value) == 0x2c);
static_assert(offsetof(tabdesc, td_use) == 0x30);
static_assert(offsetof(tabdesc, td_r64) == 0x34);
static_assert(offsetof(tabdesc, td_ncols) == 0x38);
static_assert(offsetof(tabdesc, td_dbspace) == 0x3c);
static_assert(offsetof(tabdesc, td_r58) == 0x40);
static_assert(offsetof(tabdesc, td_r2a) == 0x4c);
static_assert(offsetof(tabdesc, td_tabid) == 0x50);
static_assert(offsetof(tabdesc, td_r00) == 0x54);
static_assert(offsetof(tabdesc, td_ident1) == 0x58);
static_assert(offsetof(tabdesc, td_ident2) == 0x5c);
static_assert(offsetof(tabdesc, td_nchar12) == 0x60);
static_assert(offsetof(tabdesc, td_nlob) == 0x64);
static_assert(offsetof(tabdesc, td_r50) == 0x68);
static_assert(offsetof(tabdesc, td_name) == 0x6c);
static_assert(offsetof(tabdesc, td_updates) == 128);
static_assert(offsetof(tabdesc, td_keyuse) == 0x88);
static_assert(offsetof(tabdesc, td_loboffs) == 0x8c);
static_assert(offsetof(tabdesc, td_key) == 0x90);
static_assert(offsetof(tabdesc, td_ext1) == 0xe0);
static_assert(offsetof(tabdesc, td_ext2) == 0xe4);
static_assert(offsetof(tabdesc, td_clr1) == 0xe8);
static_assert(offsetof(tabdesc, td_clr2) == 0xec);
static_assert(sizeof(tabdesc) == 240);

// Rowid registry entry (one per user slot, under seqsem); (-1, -1) is free.
struct rowidpair {
  int32_t rowid;
  int32_t tabid;
};
static_assert(offsetof(rowidpair, rowid) == 0);
static_assert(offsetof(rowidpair, tabid) == 4);
static_assert(sizeof(rowidpair) == 8);

// ---- userslot: one registered process (1836 bytes) ------------------------------------------
// Written only by the owning process (rule 5); registration and release under usersem.
struct actextent {                 // an extent taken in the current action (8 bytes)
  int32_t first;                   // first page number
  int16_t npages;                  // pages
  char res_6[2];
};
static_assert(offsetof(actextent, first) == 0);
static_assert(offsetof(actextent, npages) == 4);
static_assert(sizeof(actextent) == 8);

struct locimgent {                 // a local image of the current action (8 bytes)
  shmptr<unsigned char> image;     // 2048-byte block from the arena; word 0 page number, -1 free
  shmptr<pagebuf> buf;             // the buffer the image was taken from
};
static_assert(offsetof(locimgent, image) == 0);
static_assert(offsetof(locimgent, buf) == 4);
static_assert(sizeof(locimgent) == 8);

struct userslot {
  int32_t pid;                        // process id; bm_usrout finds the slot by it
  uint32_t uflags;                    // US_ bits
  int32_t logintime;                  // registration time, seconds since the epoch
  char progname[US_PROGLEN];          // program name; first byte 0 = slot free
  char tdsave[TD_SAVELEN];            // leading bytes of curtab, saved by an update action
  char res_83[1];
  shmptr<tabdesc> curtab;             // table descriptor of the current action; null none
  int32_t clientid;                   // stored by the server
  int32_t beginlog;                   // first log id of the open transaction; 0x7fffffff none
  int32_t nactions;                   // actions started while in a transaction
  char waitkind;                      // WK_ kind while US_WAITING is set
  char res_101[3];
  int32_t waitobj;                    // semno, table id or page number waited for
  actextent actext[US_MAXEXT];        // extents taken in the current action
  int32_t nactext;                    // entries in use in actext
  char osuser[US_IDLEN];              // login name of the real user id, or "UNKNOWN"
  char tty[US_IDLEN];                 // terminal name, or "-"
  char res_1654[2];
  int32_t transit;                    // page whose replaced contents this user writes; -1 none
  char dbopt[US_PROGLEN];             // kept for the server
  char client[US_PROGLEN];            // client program
  char res_1690[2];
  int32_t seenstamp;                  // dbsstamp as last seen (action start, flush pass)
  char res_1696[4];
  char curname[US_PROGLEN];           // set by bm_setcur
  char res_1715[1];
  int32_t curval1;                    // set by bm_setcur
  int32_t curval2;                    // set by bm_setcur
  int32_t uinfo;                      // set by bm_setuinfo
  int32_t nreads;                     // pages this user read
  int32_t nwrites;                    // pages this user wrote
  char res_1736[16];
  int16_t lastlogfile;                // log file of the last record of bm_endea; -1 none
  char res_1754[2];
  int32_t lastlogoff;                 // offset of that record; -1 none
  int32_t uindex;                     // index in users; also the System V semaphore number
  char host[US_HOSTLEN];              // host of the user; "local" on the DBS machine
  char reserved[41];                  // neither written nor read by this system
  char res_1821[3];
  int32_t nlocimg;                    // entries in locimg
  shmptr<locimgent> locimg;           // local images, from the arena
  int32_t sessno;                     // running number of this registration
};
static_assert(offsetof(userslot, pid) == 0);
static_assert(offsetof(userslot, uflags) == 4);
static_assert(offsetof(userslot, logintime) == 8);
static_assert(offsetof(userslot, progname) == 12);
static_assert(offsetof(userslot, tdsave) == 27);
static_assert(offsetof(userslot, curtab) == 84);
static_assert(offsetof(userslot, clientid) == 88);
static_assert(offsetof(userslot, beginlog) == 92);
static_assert(offsetof(userslot, nactions) == 96);
static_assert(offsetof(userslot, waitkind) == 100);
static_assert(offsetof(userslot, waitobj) == 104);
static_assert(offsetof(userslot, actext) == 108);
static_assert(offsetof(userslot, nactext) == 1548);
static_assert(offsetof(userslot, osuser) == 1552);
static_assert(offsetof(userslot, tty) == 1603);
static_assert(offsetof(userslot, transit) == 1656);
static_assert(offsetof(userslot, dbopt) == 1660);
static_assert(offsetof(userslot, client) == 1675);
static_assert(offsetof(userslot, seenstamp) == 1692);
static_assert(offsetof(userslot, curname) == 1700);
static_assert(offsetof(userslot, curval1) == 1716);
static_assert(offsetof(userslot, curval2) == 1720);
static_assert(offsetof(userslot, uinfo) == 1724);
static_assert(offsetof(userslot, nreads) == 1728);
static_assert(offsetof(userslot, nwrites) == 1732);
static_assert(offsetof(userslot, lastlogfile) == 1752);
static_assert(offsetof(userslot, lastlogoff) == 1756);
static_assert(offsetof(userslot, uindex) == 1760);
static_assert(offsetof(userslot, host) == 1764);
static_assert(offsetof(userslot, reserved) == 1780);
static_assert(offsetof(userslot, nlocimg) == 1824);
static_assert(offsetof(userslot, locimg) == 1828);
static_assert(offsetof(userslot, sessno) == 1832);
static_assert(sizeof(userslot) == 1836);
static_assert(static_cast<size_t>(TD_SAVELEN) <= sizeof(tabdesc));

// ---- The shared allocation arena ------------------------------------------------------------
// Under memsem. Invariants: the blocks of all non-empty descriptors tile [top, arena end)
// without gaps, linked from `lowest` upward through `above`; between the descriptor table and
// `top` lies unallocated space; inuse = the sum of the sizes of the used blocks.
struct blockdesc {                 // block descriptor (20 bytes)
  int32_t size;                    // bytes, a multiple of 4
  shmptr<unsigned char> addr;      // block address; null: empty descriptor, reusable
  int32_t used;                    // 1 allocated, 0 free
  shmptr<blockdesc> below;         // neighbour at the next lower address; null at the lowest
  shmptr<blockdesc> above;         // neighbour at the next higher address; null at the highest
};
static_assert(offsetof(blockdesc, size) == 0);
static_assert(offsetof(blockdesc, addr) == 4);
static_assert(offsetof(blockdesc, used) == 8);
static_assert(offsetof(blockdesc, below) == 12);
static_assert(offsetof(blockdesc, above) == 16);
static_assert(sizeof(blockdesc) == 20);

struct arenahdr {                  // arena header (28 bytes), at the arena's start
  int32_t ndesc;                   // descriptors in use; the table only grows
  shmptr<unsigned char> top;       // lowest address handed out; initially the arena's end
  shmptr<unsigned char> base;      // the arena's start
  int32_t inuse;                   // bytes allocated
  shmptr<blockdesc> desc;          // descriptor table, right behind this header
  shmptr<blockdesc> lowest;        // block with the lowest address; null while none carved
  // The block at the highest address; null while none carved. Set to the first block carved
  // and kept on the highest block through splits and merges: left on the first descriptor, it
  // would name a spare (after a merge) or a block no longer the highest (after a split), and a
  // spare may be reused for any block.
  shmptr<blockdesc> highest;
};
static_assert(offsetof(arenahdr, ndesc) == 0);
static_assert(offsetof(arenahdr, top) == 4);
static_assert(offsetof(arenahdr, base) == 8);
static_assert(offsetof(arenahdr, inuse) == 12);
static_assert(offsetof(arenahdr, desc) == 16);
static_assert(offsetof(arenahdr, lowest) == 20);
static_assert(offsetof(arenahdr, highest) == 24);
static_assert(sizeof(arenahdr) == 28);

struct memctl {                    // dbshead.mem (8 bytes); creator
  shmptr<arenahdr> arena;          // word 0: the arena
  int32_t memlimit;                // word 1: a request plus 32 must stay below this
};
static_assert(offsetof(memctl, arena) == 0);
static_assert(offsetof(memctl, memlimit) == 4);
static_assert(sizeof(memctl) == 8);

// ---- Server control area ---------------------------------------------------------------------
// Owned by the server; only its semaphore at byte 72 is used here: it guards the checkpoint's
// scans of the user table.
struct srvctl {
  char res_0[72];
  bmsema sema;
};
static_assert(offsetof(srvctl, sema) == 72);
static_assert(sizeof(srvctl) == 96);

// ---- logctl: the log control block (dbshead bytes 0xa4 .. 0xac3); under logsem --------------
struct logctl {
  int32_t lc_first;                    // page number of page 0 of log file 0
  int32_t lc_nfiles;                   // log files, at most LC_MAXFILES
  int32_t lc_cur;                      // current log file
  int32_t lc_filepages;                // pages per log file, header page included
  int32_t lc_curpage;                  // page being filled within the current file (>= 1)
  shmptr<int16_t> lc_state;            // lc_nfiles LS_ state words
  int32_t lc_logid[LC_MAXFILES];       // log id of each file; -1 released by auto-free
  int32_t lc_bytes[LC_MAXFILES];       // record bytes written into each file
  unsigned char lc_page[PAGESIZE];     // image of the page being filled
  shmptr<unsigned char> lc_wrptr;      // write position inside lc_page's data area
  int32_t lc_autofree;                 // non-zero: release full files without backup
};

// ---- dbshead: the DBS header at segment offset 0 --------------------------------------------
// Written by the server unless a field says otherwise; `state`, `flushpct` and `dbsstamp` are
// written by nobody else. Bytes not listed (the res_ fields) belong to the server.
struct dbshead {
  int16_t state;                  // DBS mode; DBS_ONLINE while online
  char res_002[2];
  int32_t magic;                  // DBS_MAGIC
  uint32_t shmaddr;               // the address every process attaches the segment at
  int32_t shmkey;                 // IPC key of the segment and of the semaphore set
  char res_010[8];
  int32_t imgwriter;              // user index of the image writer; -1 none
  char res_01c[24];
  int32_t nusers;                 // user slots in users
  char res_038[8];
  int32_t ntables;                // descriptors in tables
  int32_t ntablocks;              // semaphores in tablocks
  int32_t semid;                  // System V semaphore set; number n belongs to uindex n
  uint32_t ckptflags;             // CK_RUNNING while a checkpoint runs; the checkpoint
  char res_050[4];
  int16_t ckptrun;                // 1 while a checkpoint runs; under actsem
  char res_056[2];
  shmptr<buflist> lists;          // nlists buffer lists
  char res_05c[8];
  shmptr<userslot> users;         // nusers user slots
  shmptr<tabdesc> tables;         // ntables table descriptors
  char res_06c[8];
  shmptr<srvctl> ctlarea;         // server area; its sema guards the checkpoint's slot scans
  shmptr<bmsema> tablocks;        // ntablocks table-lock semaphores
  shmptr<int32_t> bitab;          // nbitab pages imaged in this interval, -1 free; imgsem
  int32_t nbitab;                 // entries in bitab
  int32_t bifirst;                // first page of the before-image area
  int32_t binext;                 // page of the next image batch; image writer, checkpoint
  int32_t bilast;                 // last page of the before-image area
  int32_t imgmax;                 // capacity of images, in pages
  int32_t nimg;                   // pages in images; imgsem
  shmptr<unsigned char> images;   // imgmax page images; imgsem
  int32_t ndbspaces;              // dbspaces
  shmptr<dbspace> dbspaces;       // ndbspaces descriptors
  struct logctl logctl;           // log control block; logsem
  int32_t st_reads;               // pages read from devices
  int32_t st_requests;            // page requests past the argument checks
  int32_t st_writes;              // pages written to devices
  int32_t log_writes;             // log pages written; logsem
  int32_t st_hits;                // requests served from a buffer
  int32_t st_biflush;             // before-image buffer writes
  int32_t st_nofree;              // naps waiting for a replaceable buffer
  char res_ae0[4];
  int32_t st_biwait;              // naps waiting for room in the image buffer
  int32_t st_savewait;            // naps of bm_savepage waiting for a before image
  int32_t st_readwait;            // naps waiting for a page being read
  int32_t st_transit;             // naps waiting for a page in transit
  int32_t st_flushwait;           // naps waiting for a page being flushed
  int32_t st_archwait;            // naps waiting for room in the archive buffer
  char res_afc[28];
  int32_t sessctr;                // running session number; sesssem
  char log_fullcmd[56];           // text for the log-full hook; empty: no call
  int32_t biseqno;                // next before-image sequence number; imgsem
  int32_t log_seq;                // next log page sequence number; logsem
  int32_t ckpt_logid;             // log id current at the last checkpoint; the checkpoint
  int32_t ckpt_request;           // set by a log switch, cleared by the server
  int32_t modified;               // 1 after an update; cleared by the checkpoint
  int32_t long_count;             // long transactions detected; logsem
  int32_t commit_nosync;          // zero: commit records force the log page out
  char res_b70[8];
  int32_t tabmark;                // reset to 0 by the table part
  int32_t dbsstamp;               // stamp of the running DBS; written only by the server
  int32_t maskwords;              // words of every waiter mask, >= (nusers + 31) / 32
  char res_b84[12];
  shmptr<rowidpair> rowids;       // nusers rowid pairs; seqsem
  char res_b94[12];
  int32_t nlists;                 // buffer lists
  int32_t flushpct;               // percent of a list one flush pass examines; -1 all
  shmptr<bmsema> archsem;         // archive buffer
  shmptr<bmsema> imgsem;          // bitab and the before-image buffer
  char res_bb0[4];
  shmptr<bmsema> usersem;         // user table
  shmptr<bmsema> logsem;          // logical log
  char res_bbc[4];
  shmptr<bmsema> actsem;          // action start and end against checkpoints
  shmptr<bmsema> freesem;         // free-page bitmaps
  shmptr<bmsema> tabsem;          // table descriptors
  char res_bcc[4];
  shmptr<bmsema> memsem;          // shared allocator
  char res_bd4[4];
  shmptr<bmsema> mapsem;          // table-id map
  shmptr<bmsema> seqsem;          // seqno and the rowid registry
  shmptr<bmsema> sesssem;         // sessctr
  char res_be4[4];
  memctl mem;                     // the shared allocation arena and memlimit
  uint32_t archflags;             // AR_ bits; set by the archiver
  shmptr<unsigned char> archbuf;  // archmax page copies, null until needed; archsem
  int32_t archmax;                // archive buffer slots
  int32_t narch;                  // copies stored; archsem
  char res_c00[48];
  int32_t seqno;                  // counter handed out by bm_nextseq; seqsem
  int32_t newuflag;               // non-zero: new user slots get US_OPT
  char res_c38[9];
  char roottext[11];              // text copied into the root page (10 characters and NUL)
  int32_t rootval;                // value copied into the root page
  int32_t log_busycheck;          // non-zero: bm_logbusy reports a busy next log file
};

static_assert(offsetof(dbshead, logctl.lc_first) == 0xa4);
static_assert(offsetof(dbshead, logctl.lc_nfiles) == 0xa8);
static_assert(offsetof(dbshead, logctl.lc_cur) == 0xac);
static_assert(offsetof(dbshead, logctl.lc_filepages) == 0xb0);
static_assert(offsetof(dbshead, logctl.lc_curpage) == 0xb4);
static_assert(offsetof(dbshead, logctl.lc_state) == 0xb8);
static_assert(offsetof(dbshead, logctl.lc_logid) == 0xbc);
static_assert(offsetof(dbshead, logctl.lc_bytes) == 0x1bc);
static_assert(offsetof(dbshead, logctl.lc_page) == 0x2bc);
static_assert(offsetof(dbshead, logctl.lc_wrptr) == 0xabc);
static_assert(offsetof(dbshead, logctl.lc_autofree) == 0xac0);
static_assert(sizeof(logctl) == 0xac4 - 0xa4);

static_assert(offsetof(dbshead, state) == 0x000);
static_assert(offsetof(dbshead, magic) == 0x004);
static_assert(offsetof(dbshead, shmaddr) == 0x008);
static_assert(offsetof(dbshead, shmkey) == 0x00C);
static_assert(offsetof(dbshead, imgwriter) == 0x018);
static_assert(offsetof(dbshead, nusers) == 0x034);
static_assert(offsetof(dbshead, ntables) == 0x040);
static_assert(offsetof(dbshead, ntablocks) == 0x044);
static_assert(offsetof(dbshead, semid) == 0x048);
static_assert(offsetof(dbshead, ckptflags) == 0x04C);
static_assert(offsetof(dbshead, ckptrun) == 0x054);
static_assert(offsetof(dbshead, lists) == 0x058);
static_assert(offsetof(dbshead, users) == 0x064);
static_assert(offsetof(dbshead, tables) == 0x068);
static_assert(offsetof(dbshead, ctlarea) == 0x074);
static_assert(offsetof(dbshead, tablocks) == 0x078);
static_assert(offsetof(dbshead, bitab) == 0x07C);
static_assert(offsetof(dbshead, nbitab) == 0x080);
static_assert(offsetof(dbshead, bifirst) == 0x084);
static_assert(offsetof(dbshead, binext) == 0x088);
static_assert(offsetof(dbshead, bilast) == 0x08C);
static_assert(offsetof(dbshead, imgmax) == 0x090);
static_assert(offsetof(dbshead, nimg) == 0x094);
static_assert(offsetof(dbshead, images) == 0x098);
static_assert(offsetof(dbshead, ndbspaces) == 0x09C);
static_assert(offsetof(dbshead, dbspaces) == 0x0A0);
static_assert(offsetof(dbshead, logctl) == 0x0A4);
static_assert(offsetof(dbshead, st_reads) == 0x0AC4);
static_assert(offsetof(dbshead, st_requests) == 0x0AC8);
static_assert(offsetof(dbshead, st_writes) == 0x0ACC);
static_assert(offsetof(dbshead, log_writes) == 0x0AD0);
static_assert(offsetof(dbshead, st_hits) == 0x0AD4);
static_assert(offsetof(dbshead, st_biflush) == 0x0AD8);
static_assert(offsetof(dbshead, st_nofree) == 0x0ADC);
static_assert(offsetof(dbshead, st_biwait) == 0x0AE4);
static_assert(offsetof(dbshead, st_savewait) == 0x0AE8);
static_assert(offsetof(dbshead, st_readwait) == 0x0AEC);
static_assert(offsetof(dbshead, st_transit) == 0x0AF0);
static_assert(offsetof(dbshead, st_flushwait) == 0x0AF4);
static_assert(offsetof(dbshead, st_archwait) == 0x0AF8);
static_assert(offsetof(dbshead, sessctr) == 0x0B18);
static_assert(offsetof(dbshead, log_fullcmd) == 0x0B1C);
static_assert(offsetof(dbshead, biseqno) == 0x0B54);
static_assert(offsetof(dbshead, log_seq) == 0x0B58);
static_assert(offsetof(dbshead, ckpt_logid) == 0x0B5C);
static_assert(offsetof(dbshead, ckpt_request) == 0x0B60);
static_assert(offsetof(dbshead, modified) == 0x0B64);
static_assert(offsetof(dbshead, long_count) == 0x0B68);
static_assert(offsetof(dbshead, commit_nosync) == 0x0B6C);
static_assert(offsetof(dbshead, tabmark) == 0x0B78);
static_assert(offsetof(dbshead, dbsstamp) == 0x0B7C);
static_assert(offsetof(dbshead, maskwords) == 0x0B80);
static_assert(offsetof(dbshead, rowids) == 0x0B90);
static_assert(offsetof(dbshead, nlists) == 0x0BA0);
static_assert(offsetof(dbshead, flushpct) == 0x0BA4);
static_assert(offsetof(dbshead, archsem) == 0x0BA8);
static_assert(offsetof(dbshead, imgsem) == 0x0BAC);
static_assert(offsetof(dbshead, usersem) == 0x0BB4);
static_assert(offsetof(dbshead, logsem) == 0x0BB8);
static_assert(offsetof(dbshead, actsem) == 0x0BC0);
static_assert(offsetof(dbshead, freesem) == 0x0BC4);
static_assert(offsetof(dbshead, tabsem) == 0x0BC8);
static_assert(offsetof(dbshead, memsem) == 0x0BD0);
static_assert(offsetof(dbshead, mapsem) == 0x0BD8);
static_assert(offsetof(dbshead, seqsem) == 0x0BDC);
static_assert(offsetof(dbshead, sesssem) == 0x0BE0);
static_assert(offsetof(dbshead, mem) == 0x0BE8);
static_assert(offsetof(dbshead, archflags) == 0x0BF0);
static_assert(offsetof(dbshead, archbuf) == 0x0BF4);
static_assert(offsetof(dbshead, archmax) == 0x0BF8);
static_assert(offsetof(dbshead, narch) == 0x0BFC);
static_assert(offsetof(dbshead, seqno) == 0x0C30);
static_assert(offsetof(dbshead, newuflag) == 0x0C34);
static_assert(offsetof(dbshead, roottext) == 0x0C41);
static_assert(offsetof(dbshead, rootval) == 0x0C4C);
static_assert(offsetof(dbshead, log_busycheck) == 0x0C50);
static_assert(sizeof(dbshead) == 0x0C54);

// Every structure is a plain binary format.
static_assert(std::is_standard_layout_v<shmptr<pagebuf>> && sizeof(shmptr<pagebuf>) == 4);
static_assert(std::is_trivially_copyable_v<shmptr<pagebuf>>);
static_assert(std::is_standard_layout_v<bmsema> && std::is_standard_layout_v<pagebuf>);
static_assert(std::is_standard_layout_v<buflist> && std::is_standard_layout_v<dbspace>);
static_assert(std::is_standard_layout_v<partition> && std::is_standard_layout_v<userslot>);
static_assert(std::is_standard_layout_v<tabdesc> && std::is_standard_layout_v<tabuse>);
static_assert(std::is_standard_layout_v<keydesc> && std::is_standard_layout_v<rowidpair>);
static_assert(std::is_standard_layout_v<arenahdr> && std::is_standard_layout_v<blockdesc>);
static_assert(std::is_standard_layout_v<memctl> && std::is_standard_layout_v<srvctl>);
static_assert(std::is_standard_layout_v<logctl> && std::is_standard_layout_v<dbshead>);
static_assert(std::is_standard_layout_v<keypart> && std::is_standard_layout_v<tabext>);
static_assert(std::is_standard_layout_v<actextent> && std::is_standard_layout_v<locimgent>);
