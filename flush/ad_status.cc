// ad_status: the flush daemon's status record (ad_statusopen, ad_statuswrite, ad_statusread).
//
// Invariants:
//  (1) Every file is created and renamed relative to the directory descriptor opened once with
//      O_NOFOLLOW; the temporary file is created with O_EXCL | O_NOFOLLOW, so nothing that a
//      link points at is ever written, and only names inside the log directory are touched.
//  (2) The record at the final name is always complete: it changes only by rename.
//
// See also: ad_status.h (format and contract).
#include "flush/ad_status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kRecordMax = 1024;  // bytes of a record; longer files are no record
constexpr mode_t kRecordMode = 0644;

// The temporary name of this process's next record: ".<name>.<pid>".
bool temp_name(char *buf, size_t n, const adstatusfile *f) {
  int len = snprintf(buf, n, ".%s.%d", f->name, static_cast<int>(getpid()));
  return len > 0 && static_cast<size_t>(len) < n;
}

// Creates the temporary file; a stale one of an earlier process with the same id is removed
// first (unlinkat removes a link itself, never its target).
int create_temp(const adstatusfile *f, const char *tmp) {
  int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(f->dirfd, tmp, flags, kRecordMode);
  if (fd < 0 && errno == EEXIST && unlinkat(f->dirfd, tmp, 0) == 0)
    fd = openat(f->dirfd, tmp, flags, kRecordMode);
  return fd;
}

bool write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

int format(char *buf, size_t n, const adstatus &s) {
  return snprintf(buf, n,
                  "pid %d\nstate %s\nstarted %" PRId64 "\nshare %d\npasses %" PRId64
                  "\nwritten %" PRId64 "\nfailures %" PRId64 "\nlastpass %" PRId64 "\n",
                  s.pid, s.state, s.started, s.share, s.passes, s.written, s.failures, s.lastpass);
}

// Parses one "name value" line into s; false when the name is unknown or the value bad.
bool parse_line(const char *line, adstatus *s) {
  if (strncmp(line, "state ", 6) == 0) {
    snprintf(s->state, sizeof s->state, "%s", line + 6);
    return true;
  }
  struct field {
    const char *name;
    int64_t *wide;
    int32_t *narrow;
  };
  const field fields[] = {{"pid", nullptr, &s->pid},          {"started", &s->started, nullptr},
                          {"share", nullptr, &s->share},      {"passes", &s->passes, nullptr},
                          {"written", &s->written, nullptr},  {"failures", &s->failures, nullptr},
                          {"lastpass", &s->lastpass, nullptr}};
  for (const field &f : fields) {
    size_t len = strlen(f.name);
    if (strncmp(line, f.name, len) != 0 || line[len] != ' ') continue;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(line + len + 1, &end, 10);
    if (errno != 0 || end == line + len + 1 || *end != '\0') return false;
    if (f.wide != nullptr) *f.wide = v;
    if (f.narrow != nullptr) {
      if (v < INT32_MIN || v > INT32_MAX) return false;
      *f.narrow = static_cast<int32_t>(v);
    }
    return true;
  }
  return false;
}

}  // namespace

bool ad_statuspath(char *buf, size_t n, const char *home, const char *dbsname) {
  int len = snprintf(buf, n, "%s/log/%s%s", home, dbsname, AD_STATUSSUFFIX);
  return len > 0 && static_cast<size_t>(len) < n;
}

int ad_statusopen(adstatusfile *f, const char *home, const char *dbsname) {
  f->dirfd = -1;
  if (dbsname[0] == '\0' || strchr(dbsname, '/') != nullptr) {
    errno = EINVAL;
    return -1;
  }
  char dir[4096];
  int n = snprintf(f->name, sizeof f->name, "%s%s", dbsname, AD_STATUSSUFFIX);
  int d = snprintf(dir, sizeof dir, "%s/log", home);
  if (n < 0 || static_cast<size_t>(n) >= sizeof f->name || d < 0 ||
      static_cast<size_t>(d) >= sizeof dir) {
    errno = ENAMETOOLONG;
    return -1;
  }
  f->dirfd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return f->dirfd < 0 ? -1 : 0;
}

int ad_statuswrite(const adstatusfile *f, const adstatus &s) {
  char tmp[sizeof f->name + 16];
  char text[kRecordMax];
  int len = format(text, sizeof text, s);
  if (!temp_name(tmp, sizeof tmp, f) || len < 0 || len >= kRecordMax) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int fd = create_temp(f, tmp);
  if (fd < 0) return -1;
  bool ok = write_all(fd, text, static_cast<size_t>(len));
  int err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && renameat(f->dirfd, tmp, f->dirfd, f->name) == 0) return 0;
  if (ok) err = errno;
  unlinkat(f->dirfd, tmp, 0);
  errno = err;
  return -1;
}

void ad_statusclose(adstatusfile *f) {
  if (f->dirfd >= 0) close(f->dirfd);
  f->dirfd = -1;
}

int ad_statusread(const char *path, adstatus *s) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[kRecordMax + 1];
  ssize_t n = read(fd, text, kRecordMax);
  close(fd);
  if (n < 0) return -1;
  text[n] = '\0';
  *s = adstatus{};
  int lines = 0;
  for (char *line = text; *line != '\0'; lines++) {
    char *nl = strchr(line, '\n');
    if (nl != nullptr) *nl = '\0';
    if (nl == nullptr || !parse_line(line, s)) {
      errno = EINVAL;
      return -1;
    }
    line = nl + 1;
  }
  if (lines == 0) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}
