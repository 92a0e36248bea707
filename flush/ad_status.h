// ad_status.h: the flush daemon's status record, a small text file beside the DBS message log.
//
// The daemon rewrites <home>/log/<dbsname>.status after every pass, so that an administrator
// (tolvdb daemon status) learns what it did without anything added to the shared segment. One
// "name value" line per field, in this order:
//   pid 4321
//   state running                 (or "stopped: SIGTERM", "stopped: DBS offline", ...)
//   started 1765170000            (seconds since the epoch)
//   share 10                      (dbshead.flushpct at the last pass; -1 the whole list)
//   passes 42
//   written 1000                  (pages written by all passes)
//   failures 0                    (page writes that failed)
//   lastpass 1765170041           (end of the last pass; 0 before the first)
// The file is replaced atomically: the record goes to a new temporary file in the same
// directory (created exclusively, never through a symbolic link), which is then renamed over
// the old one; a reader sees the old record or the new one, never a mix. The directory is
// opened once, without following a link, and every name is taken relative to it. No fsync: the
// record describes a running process and is worth nothing after a crash.
//
// See also: tolvflush (the writer), tools/srv_daemon (the reader, tolvdb daemon status).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int AD_STATELEN = 48;  // state text, NUL included
constexpr char AD_STATUSSUFFIX[] = ".status";

struct adstatus {
  int32_t pid = 0;
  char state[AD_STATELEN] = "";
  int64_t started = 0;
  int32_t share = 0;
  int64_t passes = 0;
  int64_t written = 0;
  int64_t failures = 0;
  int64_t lastpass = 0;
};

// The open log directory and the record's file name in it.
struct adstatusfile {
  int dirfd = -1;
  char name[256] = "";  // <dbsname>.status
};

// Opens <home>/log (a real directory, not a link) for the status record of dbsname. 0, or -1
// with errno (ENAMETOOLONG, or EINVAL for a DBS name that holds a '/' or is empty).
int ad_statusopen(adstatusfile *f, const char *home, const char *dbsname);
// Replaces the record with s. 0, or -1 with errno; a failed write leaves the old record.
int ad_statuswrite(const adstatusfile *f, const adstatus &s);
void ad_statusclose(adstatusfile *f);

// The path of dbsname's record below home into buf of n bytes; false when it does not fit.
bool ad_statuspath(char *buf, size_t n, const char *home, const char *dbsname);
// Reads the record at path. 0, or -1 with errno (EINVAL: not a status record).
int ad_statusread(const char *path, adstatus *s);
