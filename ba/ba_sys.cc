// ba_sys: system services: installation check, system-call wrappers, terminal, spawning,
// the DBS log file, date and time texts, host addresses and text utilities.
//
// See also: ba_sig (signal dispositions), ba_pipe (the byte channel), bm_log (the DBS
// message log, which stamps its entries with ba_datestr and ba_timestr).
#include "ba/ba_sys.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "ba/globals.h"

// ---- Process, signal and descriptor wrappers ---------------------------------------------

ba_sighandler ba_signal(int sig, ba_sighandler handler) { return signal(sig, handler); }

int ba_getpid() { return static_cast<int>(getpid()); }

unsigned ba_sleep(unsigned seconds) { return sleep(seconds); }

int ba_read(int fd, void *buf, int n) {
  ssize_t r;
  do {
    r = read(fd, buf, n);
  } while (r < 0 && errno == EINTR);
  return static_cast<int>(r);
}

int ba_write(int fd, const void *buf, int n) {
  ssize_t r;
  do {
    r = write(fd, buf, n);
  } while (r < 0 && errno == EINTR);
  return static_cast<int>(r);
}

// ---- Date and time texts -----------------------------------------------------------------

char *ba_timestr(time_t t) {
  static char buf[40];
  if (t == -1) t = time(nullptr);
  struct tm tm;
  localtime_r(&t, &tm);
  snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

char *ba_datestr() {
  static char buf[40];
  time_t t = time(nullptr);
  struct tm tm;
  localtime_r(&t, &tm);
  snprintf(buf, sizeof buf, "%02d.%02d.%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year);
  return buf;
}

// ---- Text utilities ----------------------------------------------------------------------

void ba_rtrim(char *s) {
  if (s == nullptr) return;
  size_t n = strlen(s);
  while (n > 0 && s[n - 1] == ' ') n--;
  s[n] = '\0';
}

void ba_ltrim(char *s) {
  if (s == nullptr) return;
  size_t lead = strspn(s, " ");
  if (lead > 0) memmove(s, s + lead, strlen(s + lead) + 1);
}

void ba_debug(const char *fmt, ...) {
  if (ba_settings.debug == 0) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fflush(stderr);
}
