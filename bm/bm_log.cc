// bm_log: the DBS message log writers bm_logmsg and bm_logerr, and the binding of the logical
// log to the attached segment.
//
// Principal entry points: bm_logmsg (notices), bm_logerr (error reports; mode 0664, echo on
// standard error with `debug`), bm_loginit and bm_logctl (the logical log's binding).
//
// The file is opened by ba_logopen, the one opener of the DBS message log for every writer
// of this system: never through a symbolic link, only a regular file of one link, mode 0664
// set on the descriptor, and a path that does not fit its 400-byte buffer refused rather than
// cut. The daemon runs set-user-id root, and the log lies below the installation directory.
//
// See also: ba_sys (ba_logopen, ba_logwrite, ba_datestr, ba_timestr), bm_log.h (the contract).
#include "bm/bm_log.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <climits>
#include <cstdio>
#include <cstring>

#include "ba/ba_sys.h"
#include "ba/globals.h"

void bm_logmsg(const char *fmt, ...) {
  char path[LOG_PATHLEN];
  int fd = ba_logopen(path, 0);
  if (fd < 0) {
    fprintf(stderr, "%d: Cannot open logfile %s\n", ba_getpid(), path);
    return;
  }
  va_list ap;
  va_start(ap, fmt);
  ba_logwrite(fd, fmt, ap);
  va_end(ap);
}

void bm_logerr(const char *fmt, ...) {
  char path[LOG_PATHLEN];
  int fd = ba_logopen(path, 1);
  if (fd < 0) {
    fprintf(stderr, "%d: Cannot open logfile %s. errno = %d\n", ba_getpid(), path, errno);
    return;
  }
  va_list ap;
  va_start(ap, fmt);
  ba_logwrite(fd, fmt, ap);
  va_end(ap);
  if (ba_settings.debug != 0) {
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fflush(stderr);
  }
}
