// bm_log.h: the DBS message log, <home>/log/<dbsname>.
//
// Every diagnostic of the buffer manager and the flush pass is appended as one entry: the date
// and time ("%s %s " with ba_datestr and ba_timestr(-1)), then the caller's text, which carries
// its own "\n". The file is opened, written, flushed and closed for every entry, so several
// processes append to it without a lock. Both writers need only the settings record
// (ba_settings.home, dbsname, debug): they work before the attach and before registration.
// A failure to open the file is reported on standard error and otherwise ignored.
//
// See also: ba_sys.h (ba_datestr, ba_timestr), bm_sema.h (its messages come here).
#pragma once

#include "ba/ba_sys.h"

// The path buffer, terminating zero included: the size of the DBS log path everywhere.
constexpr int LOG_PATHLEN = SYS_LOGPATHLEN;

// Appends one entry. Open failure: "%d: Cannot open logfile %s\n" on standard error.
void bm_logmsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Appends one entry to the log with mode 0664 and, when `debug` is set, echoes the text
// (without the prefix) on standard error. Open failure: "%d: Cannot open logfile %s. errno =
// %d\n" on standard error.
void bm_logerr(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
