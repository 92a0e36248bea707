// dberror: fatal-error reporting and exit of the programs of the system.
//
// Principal entry points: db_fatal (the daemon's fatal start-up failures), db_error (a numbered
// catalog error line), db_exit. Everything goes straight to standard error.
//
// See also: ba_msg (catalog texts), tolvflush (the daemon's start-up).
#include "flush/dberror.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "ba/ba_msg.h"
#include "ba/globals.h"

void db_fatal(int showcodes, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  if (showcodes != 0) fprintf(stderr, "Errorcodes: %d %d\n", iserrno, errno);
  exit(-1);
}

int db_error(int code, int exitstatus) {
  int n = fprintf(stderr, "Error %d %d:%s\n", code, iserrno, ba_msgtext(code));
  if (exitstatus != 0) exit(exitstatus);
  return n;
}

void db_exit(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputs("\n", stderr);
  exit(1);
}
