// bm_logrec.h: the logical log: record writer, log switch, release of log files, long
// transactions, and the forward and backward readers.
//
// The log area is lc_nfiles log files of lc_filepages pages, used as a ring (logctl in
// shmstruct.h). Page 0 of a file is its header page (data: i32 log id, i32 0); pages 1 ..
// lc_filepages - 1 carry the file's record stream, LOG_DATASIZE bytes each, records packed
// without gaps and continued over page ends. Every process appends to the one page being
// filled, lc_page in the segment, under logsem.
//
// Log file states and who moves them (LS_ bits in shmstruct.h):
//   free (exactly LS_FREE)      --bm_nextlog switches to it-->        current (exactly LS_CURRENT)
//   current                     --bm_nextlog leaves it-->              LS_FULL (+ LS_AUTOFREE)
//   LS_FULL | LS_AUTOFREE       --bm_freelogs, no open transaction-->  free, log id -1
//   LS_FULL                     --an outside backup (tolvdb log release)--> free
// The writer never reuses a file before it is free again; it waits, holding logsem.
//
// Contracts:
//  - Everything needs bm_loginit (bm_log.h) on the attached segment; bm_p/bm_v need bm_dbs.
//  - bm_wrtlog, bm_initprev, bm_getprev, bm_getlogrec and bm_getuserrec take logsem and release
//    it on every way out; the caller must not hold it. bm_flushlog, bm_nextlog and bm_freelogs
//    REQUIRE logsem held. bm_longtrans takes usersem (order: logsem before usersem).
//  - Durability: a forced append returns only when its page is on the medium (fdatasync of the
//    partition holding the log); a failed sync fails it like a failed write. Unforced appends
//    write full pages only and never sync: a later forced append or the checkpoint makes them
//    durable, since both sync the whole partition file.
//  - Failures: a null result (-1 for the int results) and iserrno: ER_LOGLEN0 (-310), ER_LOGTOOLONG
//    (-371), ER_LOGREC (-332), ER_LOGPAGE0 (-346), ER_LOGOFFSET (-350), ER_NOMEM (-316), or the
//    reason of a failed page write, read or sync (bm_io.h). Messages go to the DBS message log.
//  - Record buffers returned by a reader belong to the module and stay valid until the next
//    call of the same reader in this process.
//
// See also: bm_log.h (binding, message log), bm_io.h (page transfers, bm_syncpage), shmstruct.h
// (logctl, LS_ states), flush/ad_ckpt.h (the checkpoint record).
#pragma once

#include <cstdint>

#include "bm/shmstruct.h"

// ---- The record format -------------------------------------------------------------------------
// A record is built by the caller; the log interprets only these fields:
//   0 i32 little-endian total length (this field and the trailer included) | 4 i32 user id |
//   8 i32 dbsstamp (stored by bm_wrtlog) | 12 i16 | 14 u8 type | 15 u8 |
//   length-4: the total length again, 4 bytes big-endian (the trailer)
constexpr int LR_LENGTH = 0;
constexpr int LR_USER = 4;
constexpr int LR_STAMP = 8;
constexpr int LR_TYPE = 14;
constexpr int LR_HEADLEN = 16;   // the fixed fields in front of the record's own bytes
constexpr int LR_TRAILLEN = 4;   // the big-endian length at the end
// The shortest record the log accepts and reads: the length, the user id, the stamp and the
// trailer behind them. In a shorter one the stamp the writer stores would land beyond the
// record (in the caller's memory) or in its trailer, and a reader could not tell where it ends.
// (The type byte at LR_TYPE may be a byte of the trailer: in a record of 16 to 18 bytes it is a
// zero byte of the big-endian length, an ordinary type.)
constexpr int LR_MINLEN = LR_STAMP + 4 + LR_TRAILLEN;

constexpr uint8_t LT_COMMIT = 9;        // forces its page out unless commit_nosync is set
constexpr uint8_t LT_CHECKPOINT = 13;   // written by the checkpoint

// Data area of a log file header page: i32 log id at data offset 0, i32 0 at data offset 4.
constexpr int LH_LOGID = 0;
constexpr int LH_ZERO = 4;

// Position of a record, returned by bm_wrtlog (one static instance, overwritten by each call).
struct logpos {
  int16_t file;    // log file index
  int32_t logid;   // log id of that file
  int32_t offset;  // byte offset of the record's first byte in the file's record stream
};

// Big-endian i32 of a trailer, and its encoding.
inline int32_t lr_gettrailer(const unsigned char *p) {
  return static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
                              uint32_t{p[3]});
}
inline void lr_settrailer(unsigned char *p, int32_t v) {
  auto u = static_cast<uint32_t>(v);
  p[0] = static_cast<unsigned char>(u >> 24);
  p[1] = static_cast<unsigned char>(u >> 16);
  p[2] = static_cast<unsigned char>(u >> 8);
  p[3] = static_cast<unsigned char>(u);
}

// The header bound by bm_loginit (bm_log.h); null before.
dbshead *bm_loghead();

// ---- Writer --------------------------------------------------------------------------------------

// Appends the record of len bytes at rec (storing dbsstamp into it at LR_STAMP first), switching
// to the next log file first when the record would not fit into the current one. force (or a
// record of type LT_COMMIT while commit_nosync is 0) writes and syncs the page being filled.
// Sets modified. The position of the record, or null: len 0 ("bm_wrtlog:len == 0\n", -310, logsem
// not taken), len 1 .. LR_MINLEN - 1 (-310 too), len above bm_logmaxrec() (-371), a failed switch,
// page write or sync. After a failure the log control block is as before the call, except that a
// switch may have completed.
logpos *bm_wrtlog(int len, void *rec, int force);
// Writes the page being filled as page lc_curpage of the current file, without advancing, and
// syncs its partition. 0, or -1 with iserrno. REQUIRES: logsem held.
int bm_flushlog();
// Completes the current log file and switches to the next one of the ring, waiting (logsem
// held) until it is free; requests a checkpoint (unless bm_recovery is set) and runs the
// long-transaction check. 0 or -1; a failed write of the new header page leaves the switch
// done (the next file current, its header page unwritten).
// REQUIRES: logsem held.
int bm_nextlog();
// Releases every auto-free candidate that no open transaction needs. REQUIRES: logsem held.
void bm_freelogs();
// Flags, once each, the open transactions whose first log file is the oldest of the ring.
// Takes usersem. REQUIRES: logsem held.
void bm_longtrans(dbshead *h);
// Hook for log_fullcmd when every log file is full. It runs no command: starting a program of the
// caller's choosing from a set-user-id process is not something this system does.
void bm_logfull(const char *cmd);
// A buffer of at least size bytes to build a record in: a static one for sizes up to 1000, else
// a fresh heap buffer (the previous heap buffer is released first); null with ER_NOMEM.
char *bm_logbuf(int size);
// 1 when log_busycheck is set and the file after the current one lacks LS_FREE; else 0 (also
// before bm_loginit).
int bm_logbusy();

// ---- Readers -------------------------------------------------------------------------------------

// Sets the backward position to the end of the log (the current file's byte count).
void bm_initprev();
// Reads the record that ends at the backward position and moves the position back over it,
// continuing at the end of the previous file of the ring when a file's start is reached. The
// whole record without its trailer; *file and *offset receive its file index and offset. Null:
// -332 (log id not in the ring, a stored trailer below LR_MINLEN, a position beyond the file's
// records), -346 (a position before the file's start), -350 (a record reaching before the file's
// start; the position has moved), -316, or a failed page read.
char *bm_getprev(int *file, int *offset);
// Reads the record that starts at byte offset of log file `file`: the whole record, trailer
// included. Null: -332 (no such file, a position at or beyond the file's records, a stored length
// below LR_MINLEN or reaching beyond the file's records), -316, or a failed page read.
char *bm_getlogrec(int file, int offset);
// Reads the records of log file `file` from offset on and returns the first whose user id is
// `user`; *found (when given) receives that record's offset, from which a caller goes on behind
// it. Null when no record from there to the end of the file's records belongs to user
// (ER_LOGREC, nothing logged), or on a read failure as for bm_getlogrec.
char *bm_getuserrec(int user, int file, int offset, int *found = nullptr);
