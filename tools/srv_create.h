// srv_create.h: the DBS server stand-in's segment work: create, attach, remove.
//
// The real DBS server lies outside this system; the stand-in (the program tolvdb and the test
// fixture, one implementation for both) creates what the buffer manager relies on: a System V
// semaphore set with one semaphore per user slot, all 0, and the shared segment, both at the
// DBS key, created exclusively with mode 0600 (the segment is then given to group tolv with
// mode 0640, for read-only viewers); the segment attached at its fixed address below
// 4 GiB and laid out and filled completely (header, semaphores, buffer lists, user table,
// dbspaces and partitions, log control block, before-image fields, table descriptors, rowid
// registry, allocation arena), the header's `state` set last (online, unless the creator asks
// for another state because it still has work to do before the DBS may be used). The partition
// files are not touched here (srv_format.h formats them).
//
// Results are srv_result codes (never exceptions); on a failed system call errno tells why.
// Whatever a failed creation had made is removed again before it returns.
//
// See also: bm/shmstruct.h (the format), testing/segment.h (the fixture built on this).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "bm/shmstruct.h"

// One partition of a dbspace: a region of a device or file.
struct srv_part {
  std::string device;  // path, at most 51 characters
  int32_t offset = 0;  // byte offset of the partition's first page in the device
  int32_t size = 0;    // bytes
};

// One dbspace and its partitions.
struct srv_space {
  std::string name;  // at most 11 characters
  int32_t npages = 0;
  std::vector<srv_part> parts;
};

// Everything the stand-in needs to lay the segment out.
struct srv_geometry {
  int key = 0;                    // IPC key of the segment and of the semaphore set, > 0
  uint32_t shmaddr = 0x40000000;  // attach address: non-zero, SHMLBA-aligned, below 4 GiB
  int nusers = 8;                 // user slots (and System V semaphores)
  int nlists = 2;                 // buffer lists
  int nbufs = 8;                  // buffers per list
  std::vector<srv_space> spaces;  // at least one, at most 256
  int lognfiles = 3;              // log files, 1 .. 64
  int logfilepages = 4;           // pages per log file, header page included, >= 2
  int32_t logfirst = 0;           // page number of page 0 of log file 0
  int32_t bifirst = 0;            // first page of the before-image area
  int32_t bilast = 0;             // last page of the before-image area (>= bifirst)
  int imgmax = 4;                 // pages of the before-image buffer
  int archmax = 4;                // pages of the archive buffer (taken from the arena on need)
  int nbitab = 64;                // entries of bitab
  int ntables = 4;                // table descriptors
  int ntablocks = 4;              // table-lock semaphores, >= 1
  int arenasize = 64 * 1024;      // bytes of the shared allocation arena
  int memlimit = 16 * 1024;       // largest request of the arena (a request + 32 stays below)
  int flushpct = -1;              // share of a list one flush pass examines; -1 all
  int32_t dbsstamp = 1;           // stamp of the running DBS
  int16_t state = DBS_ONLINE;     // the state srv_create leaves, stored last
};

// The log of a new DBS, one rule for the segment and the formatted log area: file 0 is
// current under the first log id, the other files are free (log id -1). The header page of
// file f carries the log sequence number srv_logheadseq(f); the segment's `log_seq` continues
// with srv_logheadseq(lognfiles).
int32_t srv_newlogid(int f);
int32_t srv_logheadseq(int f);

enum srv_result : int {
  SRV_OK = 0,
  SRV_BADGEOMETRY = -1,  // a geometry value out of range (see srv_check)
  SRV_EXISTS = -2,       // a segment or semaphore set with the key exists already
  SRV_SEMGET = -3,       // the semaphore set cannot be created (errno)
  SRV_SEMCTL = -4,       // the semaphores cannot be set to 0 (errno)
  SRV_SHMGET = -5,       // the segment cannot be created or found (errno)
  SRV_SHMAT = -6,        // the segment cannot be attached at its address (errno)
  SRV_NOTDBS = -7,       // the attached segment is no DBS segment of this key
  SRV_SEMRM = -8,        // the semaphore set cannot be removed (errno)
  SRV_SHMRM = -9,        // the segment cannot be removed (errno)
  SRV_FILE = -10,        // a partition file cannot be created or formatted
  SRV_BADPAGE = -11,     // a page number outside its dbspace or on a reserved page
  SRV_IO = -13,          // a page I/O or a kernel operation (page request, action) failed
  SRV_STOPPED = -14,     // the stop flag (term_req) was set by a signal
};

// Stores the formatted reason of a refusal in *why, when why is given (at most 299 characters).
void srv_explain(std::string *why, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void srv_vexplain(std::string *why, const char *fmt, va_list ap);
// A refusal by a kernel operation: why = "WHAT: error text (iserrno)". SRV_STOPPED when iserrno
// is ER_STOPREQ (the stop flag ended a wait), else SRV_IO.
int srv_refused(std::string *why, const std::string &what);
// Rolls the own action back (bm_abortea on the own slot: local images put back, extents
// returned), keeping iserrno, then srv_refused.
int srv_aborted(std::string *why, const std::string &what);

// The text of a result, for messages.
const char *srv_strerror(int result);

// Checks a geometry; SRV_OK or SRV_BADGEOMETRY. When why is given it receives the reason.
int srv_check(const srv_geometry &g, std::string *why = nullptr);

// Size in bytes of the segment that srv_create lays out for g (0 when g fails srv_check for
// another reason than its key).
uint64_t srv_segsize(const srv_geometry &g);

// Creates the semaphore set and the segment of g.key, attaches the segment at g.shmaddr and
// fills it, storing g.state last; *head receives the attached header. SRV_OK, or a negative
// srv_result after removing whatever it had created.
int srv_create(const srv_geometry &g, dbshead **head);

// Attaches the existing DBS segment of key at the address its header records and checks its
// magic and key; *head receives the header. SRV_OK, SRV_SHMGET, SRV_SHMAT or SRV_NOTDBS (the
// segment is then detached again).
int srv_attach(int key, dbshead **head);
// srv_attach, or with readonly a look only: the lookup asks for no permission beyond what the
// segment's mode grants and the segment is attached with SHM_RDONLY.
int srv_attachmode(int key, bool readonly, dbshead **head);

// Detaches a segment attached by srv_create or srv_attach.
void srv_detach(dbshead *head);

// Removes the segment and the semaphore set of key. Objects that do not exist are no error;
// SRV_OK, SRV_SHMRM or SRV_SEMRM.
int srv_remove(int key);
