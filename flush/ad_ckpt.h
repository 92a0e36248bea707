// ad_ckpt.h: the checkpoint (the ad_check module, split by prefix): it closes a checkpoint
// interval of the DBS. New actions are held back, the running ones awaited, every dirty page
// written with the flush pass and made durable, the checkpoint recorded in the logical log and
// in the DBS root page, and the before images of the interval forgotten.
//
// Contracts:
//  - Needs an attached segment (bm_dbs), the logical log bound (bm_loginit) and a user slot of
//    the caller (its waits sleep). No semaphore may be held by the caller; the checkpoint takes
//    the ctlarea semaphore, actsem, the list semaphores (in ad_flush), logsem (in bm_wrtlog)
//    and archsem, one at a time.
//  - Durability: the checkpoint record is written only after every page of the buffer pool was
//    written and every partition synced; the before-image area is cleaned only after the root
//    page is durable. A checkpoint that cannot do one of these ends like an aborted one (new
//    actions allowed again, `modified` still set, the images kept) so the next one tries again.
//  - Every message goes to the DBS message log (bm_logmsg).
//
// See also: ad_check.h (ad_flush), bm/bm_logrec.h (the record), bm/bm_image.h (before images).
#pragma once

#include <cstdint>

#include "bm/shmstruct.h"

// Runs one checkpoint on the DBS of header h (the sixteen steps). Returns without one, silently,
// while a user waits for a free log file.
void ad_checkpoint(dbshead *h);
// Builds the DBS root page from h (log state, counters, names; `value` at byte 856) and writes
// it as page 0 of partition 0. 0, or -1 when the write failed (iserrno from bm_pwrite).
int ad_save_rootpage(dbshead *h, int value);
// Writes the cleaning page of the before-image area at page `page` (stamp, sequence numbers
// 0x7fffffff, data zero) and makes it durable; a failure is logged.
void ad_cleanbi(int32_t page, int32_t stamp);
// Ends an archive run in the buffer pool: clears BF_ARCHIVED in every buffer of every list,
// each list under its semaphore.
void ad_clrarch(dbshead *h);

// ---- The DBS root page (page 0 of dbspace 0; every byte not listed is 0) -----------------------
constexpr int32_t ROOT_PAGENR = 0;  // written to partition 0 of dbspace 0
constexpr int RP_MINUS1 = 8;       // three i32 -1 at 8, 12, 16
constexpr int RP_LOGCUR = 32;      // i32 lc_cur
constexpr int RP_CURPAGE = 36;     // i32 lc_curpage
constexpr int RP_WRPOS = 40;       // i32 write position within the data area
constexpr int RP_STATES = 44;      // i16 x 64 log file states
constexpr int RP_LOGIDS = 172;     // i32 x 64 log ids
constexpr int RP_BYTES = 428;      // i32 x 64 byte counts
constexpr int RP_SESSCTR = 684;
constexpr int RP_BISEQNO = 688;
constexpr int RP_LOGSEQ = 692;
constexpr int RP_SYSTEM = 700;     // char[12] "TOLV-SQL"
constexpr int RP_NOTICE = 712;     // char[144] notice text
constexpr int RP_VALUE = 856;      // i32 the value argument
constexpr int RP_DBSNAME = 860;    // char[12]
constexpr int RP_ROOTTEXT = 872;   // char[12]
constexpr int RP_ROOTVAL = 884;    // i32
static_assert(RP_STATES + 2 * LC_MAXFILES == RP_LOGIDS && RP_LOGIDS + 4 * LC_MAXFILES == RP_BYTES);
static_assert(RP_BYTES + 4 * LC_MAXFILES == RP_SESSCTR && RP_NOTICE + 144 == RP_VALUE);

// Sequence number of the cleaning page at the start of the before-image area.
constexpr int32_t BI_CLEAN = 0x7fffffff;

// The checkpoint record: 36 bytes, type 13, written forced.
constexpr int CR_LEN = 36;
constexpr int CR_INTRANS = 20;     // i32 user slots in a transaction at the checkpoint

// The budget of the wait for running actions: 30 more looks after the first, one second apart.
constexpr int CK_BUDGET = 30;
