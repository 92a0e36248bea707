// bm_log: the DBS message log writers bm_logmsg and bm_logerr, and the binding of the logical
// log to the attached segment.
//
// Principal entry points: bm_logmsg (notices), bm_logerr (error reports; mode 0664, echo on
// standard error with `debug`), bm_loginit and bm_logctl (the logical log's binding).
//
// The daemon runs set-user-id root, and the log lies below the installation directory, so the
// file is never reached through a symbolic link in its last component (O_NOFOLLOW), and the
// mode is set on the opened descriptor (fchmod), never by path: no chmod can land on a file
// that a link points to. A path that does not fit the 400-byte buffer is refused rather than
// cut, so no entry ever goes to a file of another name.
//
// See also: ba_sys (ba_datestr, ba_timestr), bm_log.h (the contract).
#include "bm/bm_log.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ba/ba_sys.h"
#include "ba/globals.h"

namespace {

constexpr mode_t kCreateMode = 0666;  // new files: 0666 less the umask
constexpr mode_t kErrMode = 0664;     // what bm_logerr leaves on the file

// Builds "<home>/log/<dbsname>" into path. Returns 0, or the errno that explains why the file
// cannot be named: ENOENT without the settings, ENAMETOOLONG when the path does not fit (path
// then holds its cut form, for the message only).
int build_path(char (&path)[LOG_PATHLEN]) {
  const char *home = ba_settings.home;
  const char *dbs = ba_settings.dbsname;
  int n = snprintf(path, sizeof path, "%s/log/%s", home ? home : "", dbs ? dbs : "");
  if (home == nullptr || dbs == nullptr) return ENOENT;
  if (n < 0 || n >= LOG_PATHLEN) return ENAMETOOLONG;
  return 0;
}

// Opens the log for appending, without following a symbolic link in the last component;
// with chmod set, gives the file mode kErrMode through the descriptor. Null with errno set on
// failure.
FILE *open_log(const char (&path)[LOG_PATHLEN], int patherr, bool chmod) {
  if (patherr != 0) {
    errno = patherr;
    return nullptr;
  }
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kCreateMode);
  if (fd < 0) return nullptr;
  if (chmod) (void)fchmod(fd, kErrMode);  // its result is of no concern to the entry
  FILE *f = fdopen(fd, "a");
  if (f == nullptr) {
    int e = errno;
    close(fd);
    errno = e;
  }
  return f;
}

// Writes one entry: the date and time prefix, then the caller's text; flushes and closes.
void write_entry(FILE *f, const char *fmt, va_list ap) {
  fprintf(f, "%s %s ", ba_datestr(), ba_timestr(-1));
  vfprintf(f, fmt, ap);
  fflush(f);
  fclose(f);
}

}  // namespace

void bm_logmsg(const char *fmt, ...) {
  char path[LOG_PATHLEN];
  FILE *f = open_log(path, build_path(path), false);
  if (f == nullptr) {
    fprintf(stderr, "%d: Cannot open logfile %s\n", ba_getpid(), path);
    return;
  }
  va_list ap;
  va_start(ap, fmt);
  write_entry(f, fmt, ap);
  va_end(ap);
}

void bm_logerr(const char *fmt, ...) {
  char path[LOG_PATHLEN];
  FILE *f = open_log(path, build_path(path), true);
  if (f == nullptr) {
    fprintf(stderr, "%d: Cannot open logfile %s. errno = %d\n", ba_getpid(), path, errno);
    return;
  }
  va_list ap;
  va_start(ap, fmt);
  write_entry(f, fmt, ap);
  va_end(ap);
  if (ba_settings.debug != 0) {
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fflush(stderr);
  }
}
