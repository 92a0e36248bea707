// bm_io.h: page I/O on the devices that hold the dbspaces.
//
// A page number names dbspace d (bits 24-31, unsigned) and page p of it (bits 0-23). The pages
// of a dbspace run through its partitions in order; partition i holds size / 2048 pages, page
// p' of a partition lies at byte p' * 2048 + offset of its device. Each process keeps one
// descriptor per partition (bm_fdtab, by fdslot - 1), opened on first use and never closed.
//
// Contracts:
//  - Every operation needs an attached segment (bm_dbs). The counters of the own user slot are
//    bumped only when the process is registered (bm_myslot).
//  - No operation here may be called while a buffer-list semaphore is held (page I/O never runs
//    under a list semaphore); bm_savepage takes and releases imgsem on every check.
//  - On failure the result is -1 and iserrno holds the reason: ER_BADPAGEIO (-354, page outside
//    the dbspace table, the dbspace or its partitions; also put into errno when the partition
//    search fails), ER_NOMEM (-316, the descriptor cache cannot grow), ER_PROBESHORT (-410,
//    short read of a partition's last page without an errno), or the system error number of a
//    failed open, seek, read or write.
//  - Messages go to the DBS message log: the three device failure lines through bm_logmsg,
//    every other through bm_logerr.
//
// See also: bm_image.h (bm_imgsaved), shmstruct.h (dbspace, partition), bm_globals.h (bm_fdtab).
#pragma once

#include "bm/shmstruct.h"

// Partition argument of the transfers: find the partition from the page number.
constexpr int PIO_ANYPART = -1;

// Reads page pagenr into dst (PAGESIZE bytes). partn: PIO_ANYPART, or the partition index of
// the page's dbspace (the low 24 bits are then the page within that partition). 0 or -1; after
// a failed read the contents of dst are undefined.
int bm_pread(int32_t pagenr, void *dst, int partn);
// Writes src (PAGESIZE bytes) as page pagenr; partn as for bm_pread. 0 or -1.
int bm_pwrite(int32_t pagenr, const void *src, int partn);
// Writes the n consecutive pages from pagenr on (n * PAGESIZE bytes of src) in one transfer at
// the position of the first page; partn as for bm_pread. The run must lie within one
// partition. 0 or -1.
int bm_lwrite(int32_t pagenr, const void *src, int partn, int n);

// Closes every cached partition descriptor; each is opened again on first use. Called in a
// forked child and whenever the process binds another segment (the slots name its partitions).
void bm_dropfds();
// The open descriptor of partition pt, opening it (bm_openpart) when this process has none yet;
// -1 on failure. A failed open is not cached: the next access tries again.
int bm_getfd(const partition *pt);
// Opens the device of pt for reading and writing (close-on-exec) and, unless TOLVNOCONFCHECK is
// set (or the process runs set-user-id, where the caller's environment cannot switch it off),
// checks that the device holds the partition's last page. A negative offset is refused
// (EINVAL). Run set-user-id the device must moreover be a partition of `dbsconfig` with the
// same path, offset and size (else EACCES), is opened with the caller's rights and never
// through a symbolic link (ELOOP), and must be a regular file or block device of owner and
// group tolv, mode 0660 (else EACCES). Every refusal is logged as "bm_openpart: %s refused:
// <reason>\n". The descriptor, or -1 with iserrno.
int bm_openpart(const partition *pt);

// Writes buffer b home (its page number is the first word of its page). Waits first, in 10 ms
// naps marked 'I' with the page number, while a before image of the page is still in the
// before-image buffer, waking the image writer on every nap. 0, or -1 with iserrno: that of the
// write, or ER_STOPREQ (-406) when the stop flag term_req is set while the image still waits
// (the page is then left unwritten: it never reaches the disk before its image; the caller
// treats it as a failed write). The DBS leaving online mode alone does not end the wait.
// REQUIRES: the caller has marked b (BF_FLUSHING or BF_SAVEOLD) so that nobody replaces or
// updates it meanwhile; no list semaphore is held.
int bm_savepage(pagebuf *b);

// ---- Durability ---------------------------------------------------------------------------------
// A finished write sits in the page cache; where one write must be on disk before another may
// happen (a before-image batch before its pages, the pages of an interval before the checkpoint
// that closes it), the first is made durable with these. A device that keeps no cache of its own
// (a special file on which fdatasync reports EINVAL, such as a raw device) counts as synced.

// The open descriptor of the partition that holds page pagenr (PIO_ANYPART addressing), opened
// on need; -1 with iserrno (ER_BADPAGEIO, or the reason of bm_getfd).
int bm_pagefd(int32_t pagenr);
// fdatasync of the partition file that holds page pagenr. 0, or -1 with iserrno = errno and
// "%d: Sync of device %s failed.errno %d\n" in the DBS message log.
int bm_syncpage(int32_t pagenr);
// fdatasync of every partition of every dbspace, opening those this process has not opened yet.
// 0, or -1 at the first partition that cannot be opened or synced (iserrno as bm_syncpage).
int bm_syncall();

// The most pages bm_saverun writes in one call: 64 KiB. Large enough that the system call costs
// little per page next to the copy (measured in flush_bench), small enough that the earlier
// pages of a run wait only briefly for the before images of the later ones, and the iovec
// array stays a small stack array.
constexpr int BM_RUNMAX = 32;

// What bm_saverun did with the buffers it was given.
struct bm_run {
  int taken;     // buffers of the run, from bufs[0] on: 1 to min(n, BM_RUNMAX)
  int written;   // of these, the leading ones whose pages reached the device in full
  bool counted;  // a failure was counted as a repeat of its partition's failing writes instead
                 // of being logged (the caller then logs nothing either)
};
// Writes home, in one positioned write, bufs[0] and the buffers after it in the given order
// whose pages follow on without a gap in the same partition (up to BM_RUNMAX). Only the first
// page is waited for (the wait of bm_savepage; ended by the stop flag, the run is refused with
// ER_STOPREQ); a later page whose before image still waits ends the run before it, so waits
// and writes keep the order of one write per page. When written < taken, iserrno holds the reason and
// buffers written .. taken - 1 did not reach the disk. Failures are logged with the messages of
// bm_pwrite (the page named is the first one not written), but per partition only the first of
// a row of failures in full: repeats are counted and reported at most once a minute as "%d:
// Write on device %s failed %d more times in %d s.errno %d\n", and the first success after
// them as "%d: Write on device %s succeeds again.%d more failures\n". Counters grow per page.
// A caller that has seen the before-image buffer empty after marking the buffers passes
// images_pending false: no image of a marked page can enter the buffer while it is marked (an
// update request waits for the mark), so none can wait, and the run is written without looking.
// REQUIRES: n >= 1; the buffers marked as for bm_savepage; no list semaphore held.
bm_run bm_saverun(pagebuf *const *bufs, int n, bool images_pending = true);
