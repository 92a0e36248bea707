// bm_log.h: the DBS message log, <home>/log/<dbsname>, and the binding of the logical log.
//
// Every diagnostic of the buffer manager and the flush pass is appended as one entry: the date
// and time ("%s %s " with ba_datestr and ba_timestr(-1)), then the caller's text, which carries
// its own "\n". The file is opened, written, flushed and closed for every entry, so several
// processes append to it without a lock. Both writers need only the settings record
// (ba_settings.home, dbsname, debug): they work before the attach and before registration.
// A failure to open the file is reported on standard error and otherwise ignored.
//
// The logical log lives in the same module: bm_loginit binds it to the attached segment (the
// attach step calls it once the segment is validated); the record writer and readers build on
// that binding.
//
// See also: ba_sys.h (ba_datestr, ba_timestr), bm_sema.h (its messages come here), shmstruct.h
// (logctl).
#pragma once

#include "ba/ba_sys.h"
#include "bm/shmstruct.h"

// The path buffer, terminating zero included: the size of the DBS log path everywhere.
constexpr int LOG_PATHLEN = SYS_LOGPATHLEN;

// Appends one entry. Open failure: "%d: Cannot open logfile %s\n" on standard error.
void bm_logmsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Appends one entry to the log with mode 0664 and, when `debug` is set, echoes the text
// (without the prefix) on standard error. Open failure: "%d: Cannot open logfile %s. errno =
// %d\n" on standard error.
void bm_logerr(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// ---- Logical log: binding ----------------------------------------------------------------------

// Binds the logical log of this process to header h: keeps h and its log control block,
// computes the maximum record length ((lc_filepages - 1) * 2012 bytes, the record capacity of
// one log file) and clears the process-local page of zeros.
void bm_loginit(dbshead *h);
// The log control block bound by bm_loginit; null before.
logctl *bm_logctl();
// The maximum record length computed by bm_loginit (0 before, and for a header whose log files
// hold no data page).
int bm_logmaxrec();
