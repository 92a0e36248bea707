// ba_sys: system services: installation check, system-call wrappers, terminal, spawning,
// the DBS log file, date and time texts, host addresses and text utilities.
//
// Principal entry points: ba_chkfile (installation check), ba_spawn/ba_addarg/ba_freeargs,
// ba_detach, ba_log, ba_ttyname, ba_atof, ba_dtoa, and the thin wrappers.
//
// Invariants:
//  (1) Every path is built in its fixed buffer with ba_pathfmt; a path that does not fit is
//      refused, never used cut (a cut path may name another, existing file).
//  (2) The program a spawned child executes is the file ba_spawn has found and checked in
//      the parent; the child never searches again.
//  (3) Process-global result buffers (ttyname, date, time, stamp, dtoa) are overwritten by the
//      next call of the same operation.
//  (4) Run set-user-id, the effective user is the caller's except between ba_privraise and
//      ba_privlower; the privileged user stays only in the saved set-user-id.
//  (5) The DBS message log is opened in one place (ba_logopen) for every writer.
//
// See also: ba_sig (signal dispositions), ba_pipe (the byte channel), bm_log (the DBS
// message log, which stamps its entries with ba_datestr and ba_timestr).
#include "ba/ba_sys.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "ba/ba_mem.h"
#include "ba/globals.h"

bool ba_pathfmt(char *buf, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, size, fmt, ap);
  va_end(ap);
  if (n >= 0 && static_cast<size_t>(n) < size) return true;
  errno = ENAMETOOLONG;
  return false;
}

int ba_plainname(const char *s) {
  return s != nullptr && s[0] != '\0' && s[0] != '.' && strchr(s, '/') == nullptr ? 1 : 0;
}

// ---- Privileges of a set-user-id run -----------------------------------------------------

namespace {

bool setuid_run = false;  // set by ba_privinit: real and effective user differed
uid_t priv_uid = 0;       // the privileged (program file's) user, kept as saved set-user-id

}  // namespace

int ba_privinit() {
  uid_t ruid = getuid(), euid = geteuid();
  if (ruid == euid) return 0;
  setuid_run = true;
  priv_uid = euid;
  return seteuid(ruid);
}

int ba_setuidrun() { return setuid_run ? 1 : 0; }

int ba_trusteduid(unsigned uid) {
  if (uid == 0) return 1;
  const struct passwd *pw = getpwnam("tolv");
  return pw != nullptr && pw->pw_uid == uid ? 1 : 0;
}

int ba_privraise() { return setuid_run ? seteuid(priv_uid) : 0; }

int ba_privlower() { return setuid_run ? seteuid(getuid()) : 0; }

ba_ascaller::ba_ascaller() : prev_(geteuid()) {
  if (!setuid_run || prev_ == getuid()) return;
  lowered_ = seteuid(getuid()) == 0;
  ok_ = lowered_;
}

// Restoring cannot fail while the saved set-user-id holds prev_; were it to fail, staying with
// the caller's rights would be the safe side.
ba_ascaller::~ba_ascaller() {
  if (!lowered_) return;
  int rc = seteuid(prev_);
  (void)rc;
}

namespace {

// Local time of t broken down; all zero when the C library cannot represent it.
struct tm local_time(time_t t) {
  struct tm tm {};
  if (localtime_r(&t, &tm) == nullptr) tm = {};
  return tm;
}

}  // namespace

// ---- Installation check ------------------------------------------------------------------

namespace {

[[noreturn]] __attribute__((format(printf, 1, 2))) void chk_fail(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  exit(1);
}

[[noreturn]] void chk_statfail(const char *path, int err) {
  chk_fail("stat() of %s failed. errno = %d\n", path, err);
}

}  // namespace

int ba_chkfile(const char *home, const char *relpath, const char *user, const char *group,
               int mode) {
  char path[SYS_CHKPATHLEN];
  struct stat st;
  if (home == nullptr || relpath == nullptr) chk_statfail("(null)", EINVAL);
  // A path that does not fit is reported as a failed stat of the cut path with
  // ENAMETOOLONG; the cut path is never examined, since it may name another file.
  if (!ba_pathfmt(path, sizeof path, "%s/%s", home, relpath)) chk_statfail(path, ENAMETOOLONG);
  if (stat(path, &st) != 0) chk_statfail(path, errno);
  const struct passwd *pw = user != nullptr ? getpwnam(user) : nullptr;
  if (pw == nullptr) chk_fail("User %s does not exist\n", user != nullptr ? user : "(null)");
  uid_t uid = pw->pw_uid;  // the next lookup may reuse the C library's record
  const struct group *gr = group != nullptr ? getgrnam(group) : nullptr;
  if (gr == nullptr) chk_fail("Group %s does not exist\n", group != nullptr ? group : "(null)");
  if (st.st_uid != uid) chk_fail("Bad owner of %s. Expected %s\n", path, user);
  if (st.st_gid != gr->gr_gid) chk_fail("Bad group of %s. Expected %s\n", path, group);
  if (static_cast<int>(st.st_mode & 07777) != mode)
    chk_fail("Bad permission of %s. Expected 0%o\n", path, static_cast<unsigned>(mode));
  return 0;
}

// ---- Process, signal and descriptor wrappers ---------------------------------------------

int ba_setpgrp() { return setpgid(0, getpid()); }

ba_sighandler ba_signal(int sig, ba_sighandler handler) { return signal(sig, handler); }

int ba_kill(int pid, int sig) { return kill(pid, sig); }

int ba_killhard(int pid) { return kill(pid, SIGKILL); }

int ba_getpid() { return static_cast<int>(getpid()); }

int ba_getppid() { return static_cast<int>(getppid()); }

unsigned ba_sleep(unsigned seconds) { return sleep(seconds); }

int ba_waitpid(int pid, int *status) { return static_cast<int>(waitpid(pid, status, 0)); }

int ba_pipe(int fds[2]) { return pipe(fds); }

// A negative count would turn into a huge size_t and let the call write past buf.
int ba_read(int fd, void *buf, int n) {
  if (n < 0) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int>(ba_noeintr([&] { return read(fd, buf, n); }));
}

int ba_write(int fd, const void *buf, int n) {
  if (n < 0) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int>(ba_noeintr([&] { return write(fd, buf, n); }));
}

// A negative size is refused: as a size_t it would ask for a segment of gigabytes.
int ba_shmget(int key, int size, int flags) {
  if (size < 0) {
    errno = EINVAL;
    return -1;
  }
  return shmget(key, static_cast<size_t>(size), flags);
}

void *ba_shmattach(int id, const void *addr, int flags) { return shmat(id, addr, flags); }

int ba_shmdt(const void *addr) { return shmdt(addr); }

int ba_shmctl(int id, int cmd, struct shmid_ds *buf) { return shmctl(id, cmd, buf); }

// ---- Terminal ----------------------------------------------------------------------------

char *ba_ttyname() {
  static char tty[SYS_TTYLEN];
  const char *name = nullptr;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO && name == nullptr; fd++) name = ttyname(fd);
  // The name is a display text (the user slot's tty field), so cutting a longer one at
  // 50 characters is harmless, unlike for a path that is opened.
  snprintf(tty, sizeof tty, "%s", name != nullptr ? name : "-");
  return tty;
}

namespace {

int set_echo(bool on) {
  struct termios t;
  if (tcgetattr(STDIN_FILENO, &t) != 0) return -1;
  if (on)
    t.c_lflag |= ECHO;
  else
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  return tcsetattr(STDIN_FILENO, TCSANOW, &t);
}

}  // namespace

int ba_echooff() { return set_echo(false); }

int ba_echoon() { return set_echo(true); }

void ba_detach(const char *dir) {
  // Unwritten stdio output would otherwise be written by both processes.
  fflush(nullptr);
  pid_t pid = fork();
  // The parent leaves with _exit: its exit handlers belong to the process that goes on. A
  // failed fork ends the process with status 1 rather than 0, so that the caller does not
  // take a daemon that never started for a success.
  if (pid != 0) _exit(pid > 0 ? 0 : 1);
  if (dir != nullptr && chdir(dir) != 0) {
    // Ignored: a directory that cannot be entered is no reason to stay in the foreground.
  }
  ba_setpgrp();
  int fd = open("/dev/tty", O_RDWR);
  if (fd >= 0) {
    ioctl(fd, TIOCNOTTY);
    close(fd);
  }
}

// ---- Running another program -------------------------------------------------------------

namespace {

// A program file the process may execute: a regular file with execute permission (a
// directory passes the access check but cannot be executed).
bool is_program(const char *path) {
  struct stat st;
  if (stat(path, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EACCES;
    return false;
  }
  return access(path, X_OK) == 0;
}

// Searches name along path into prog. Empty components are skipped (they would otherwise
// read as the root or the working directory); a candidate too long for prog is skipped as
// well rather than tried cut. 0, or -1 with errno ENOMEM or ENOENT.
int search_path(const char *path, const char *name, char *prog) {
  char *dirs = ba_strdup(path);
  if (dirs == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  int found = -1;
  char *save = nullptr;
  for (char *dir = strtok_r(dirs, ":", &save); dir != nullptr;
       dir = strtok_r(nullptr, ":", &save)) {
    const char *sep = dir[strlen(dir) - 1] == '/' ? "" : "/";
    if (ba_pathfmt(prog, SYS_SPAWNPATHLEN, "%s%s%s", dir, sep, name) && is_program(prog)) {
      found = 0;
      break;
    }
  }
  ba_release(dirs);
  if (found != 0) errno = ENOENT;
  return found;
}

// The program file that name stands for, into prog (SYS_SPAWNPATHLEN bytes). 0 or -1.
int find_program(const char *name, char *prog) {
  const char *path = getenv("PATH");
  if (path != nullptr && name[0] != '/') return search_path(path, name, prog);
  if (!ba_pathfmt(prog, SYS_SPAWNPATHLEN, "%s", name)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  return is_program(prog) ? 0 : -1;
}

[[noreturn]] void exec_child(const char *prog, char **argv, int keepfds) {
  if (keepfds == 0)
    for (int fd = 0; fd < SYS_CLOSEFDS; fd++) close(fd);
  // execv, not execvp: the file checked in the parent is the one that runs (execvp would
  // search again, read empty components as the working directory, and hand a file without
  // an executable format to the shell).
  execv(prog, argv);
  _exit(SYS_SPAWNFAIL);
}

}  // namespace

int ba_spawn(const char *file, char **argv, int *pid, int keepfds) {
  const char *name = file != nullptr ? file : (argv != nullptr ? argv[0] : nullptr);
  if (name == nullptr || name[0] == '\0') {
    errno = ENOENT;
    return -1;
  }
  char prog[SYS_SPAWNPATHLEN];
  if (find_program(name, prog) != 0) return -1;
  char *nameonly[] = {const_cast<char *>(name), nullptr};
  pid_t child = fork();
  if (child == 0) exec_child(prog, argv != nullptr ? argv : nameonly, keepfds);
  if (pid != nullptr) *pid = child < 0 ? -1 : static_cast<int>(child);
  return child < 0 ? -1 : 0;
}

char *ba_addarg(char ***vec, const char *s) {
  // A new vector starts as the single null entry.
  if (*vec == nullptr && ba_rszvek(vec, 0, sizeof **vec) != 0) return nullptr;
  int n = 0;
  while ((*vec)[n] != nullptr) n++;
  char *copy = ba_strdup(s);
  if (copy == nullptr) return nullptr;
  // n + 1 elements (the strings and the null entry) grow to n + 2; the new last one is null.
  if (ba_rszvek(vec, n + 1, sizeof **vec) != 0) {
    ba_release(copy);
    return nullptr;
  }
  (*vec)[n] = copy;
  return copy;
}

void ba_freeargs(char **vec) {
  if (vec == nullptr) return;
  for (char **a = vec; *a != nullptr; a++) ba_release(*a);
  ba_release(vec);
}

// ---- Log file and date/time texts --------------------------------------------------------

namespace {

constexpr mode_t kLogCreateMode = 0666;  // a new log: 0666 less the umask
constexpr mode_t kLogErrMode = 0664;     // what an error entry leaves on the file

// Opens the log directory of the installation, never through a symbolic link in its last
// component (the home itself is the caller's concern, or checked by a set-user-id program
// before anything is read from it).
int open_logdir(const char *home) {
  char dir[SYS_LOGPATHLEN];
  if (!ba_pathfmt(dir, sizeof dir, "%s/log", home)) return -1;
  return open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The opened log must be a regular file of one name only; errno tells why not.
bool log_sound(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  if (st.st_nlink != 1) {
    errno = EMLINK;
    return false;
  }
  return true;
}

// Opens name in the directory dirfd for appending (creating it), not following a link and
// not blocking on a FIFO; checks it and gives it kLogErrMode when errmode is set.
int open_logfile(int dirfd, const char *name, int errmode) {
  int fd = openat(dirfd, name,
                  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                  kLogCreateMode);
  if (fd < 0) return -1;
  if (!log_sound(fd)) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  if (errmode != 0) (void)fchmod(fd, kLogErrMode);  // its result is of no concern to the entry
  return fd;
}

}  // namespace

int ba_logopen(char *path, int errmode) {
  const char *home = ba_settings.home, *dbs = ba_settings.dbsname;
  bool fits = ba_pathfmt(path, SYS_LOGPATHLEN, "%s/log/%s", home ? home : "", dbs ? dbs : "");
  if (home == nullptr || dbs == nullptr) {
    errno = ENOENT;
    return -1;
  }
  if (!fits) return -1;  // errno ENAMETOOLONG
  if (ba_plainname(dbs) == 0) {
    errno = EINVAL;
    return -1;
  }
  int dirfd = open_logdir(home);
  if (dirfd < 0) return -1;
  int fd = open_logfile(dirfd, dbs, errmode);
  int e = errno;
  close(dirfd);
  errno = e;
  return fd;
}

void ba_logwrite(int fd, const char *fmt, va_list ap) {
  FILE *log = fdopen(fd, "a");
  if (log == nullptr) {
    close(fd);
    return;
  }
  fprintf(log, "%s %s ", ba_datestr(), ba_timestr(-1));
  vfprintf(log, fmt, ap);
  fflush(log);
  fclose(log);
}

void ba_log(const char *fmt, ...) {
  char path[SYS_LOGPATHLEN];
  int fd = ba_logopen(path, 0);
  if (fd < 0) return;
  va_list ap;
  va_start(ap, fmt);
  ba_logwrite(fd, fmt, ap);
  va_end(ap);
}

char *ba_timestr(time_t t) {
  static char buf[40];
  struct tm tm = local_time(t == -1 ? time(nullptr) : t);
  snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

char *ba_datestr() {
  static char buf[40];
  struct tm tm = local_time(time(nullptr));
  snprintf(buf, sizeof buf, "%02d.%02d.%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year);
  return buf;
}

char *ba_stamp() {
  static char buf[64];
  time_t now = time(nullptr);
  char when[32];  // ctime form: 24 characters, newline, zero
  if (ctime_r(&now, when) == nullptr) when[0] = '\0';
  snprintf(buf, sizeof buf, "---------- %24.24s --------------\n", when);
  return buf;
}

// ---- Host addresses ----------------------------------------------------------------------

struct hostent *ba_gethost(const char *name) {
  if (name == nullptr) return nullptr;
  struct hostent *h = gethostbyname(name);
  if (h != nullptr) return h;
  struct in_addr a;
  if (inet_pton(AF_INET, name, &a) != 1) return nullptr;
  return gethostbyaddr(&a, sizeof a, AF_INET);
}

int ba_myaddr(struct in_addr *addr, char *text) {
  char host[SYS_HOSTNAMEMAX + 1];
  if (gethostname(host, sizeof host) != 0) return -1;
  host[SYS_HOSTNAMEMAX] = '\0';  // a cut name is not guaranteed to be ended
  const struct hostent *h = ba_gethost(host);
  if (h == nullptr || h->h_addrtype != AF_INET || h->h_length != static_cast<int>(sizeof(struct in_addr)) ||
      h->h_addr_list[0] == nullptr)
    return -1;
  struct in_addr a;
  memcpy(&a, h->h_addr_list[0], sizeof a);
  if (addr != nullptr) *addr = a;
  if (text != nullptr) inet_ntop(AF_INET, &a, text, INET_ADDRSTRLEN);
  return 0;
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

void ba_setsep(char *s, int c) {
  if (s == nullptr) return;
  for (; *s != '\0'; s++)
    if (*s == '.' || *s == ',') *s = static_cast<char>(c);
}

int ba_atof(const char *text, double *value) {
  // A longer text is refused: converting only its first 200 characters would report a
  // different number as a success.
  size_t len = text != nullptr ? strlen(text) : 0;
  if (text == nullptr || len > static_cast<size_t>(SYS_ATOFMAX)) {
    errno = EINVAL;
    return -1;
  }
  char copy[SYS_ATOFMAX + 1];
  memcpy(copy, text, len + 1);
  // numpoint is '.' once the settings are loaded; before that it is zero, which would end
  // the text at its decimal point, so the C library's '.' stands in.
  ba_setsep(copy, ba_settings.numpoint != '\0' ? ba_settings.numpoint : '.');
  char *end = nullptr;
  errno = 0;
  double v = strtod(copy, &end);
  if (errno != 0 || end == copy || *end != '\0') return -1;
  *value = v;
  return 0;
}

char *ba_strncpy(char *dst, const char *src, int n) {
  // A negative count copies nothing; the zero then goes to dst[0], never before dst.
  if (n < 0) n = 0;
  strncpy(dst, src, static_cast<size_t>(n));
  dst[n] = '\0';
  return dst;
}

void ba_debug(const char *fmt, ...) {
  if (ba_settings.debug == 0) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fflush(stderr);
}

void ba_hexdump(const void *data, int len) {
  const auto *b = static_cast<const unsigned char *>(data);
  for (int i = 0; i < len; i++) fprintf(stderr, "%2x ", b[i]);
  fputs("\n", stderr);
}

// Built on the C library's correctly rounded "%.*e" conversion: the digits of its mantissa
// are the wanted significant digits and its exponent gives the decimal point. More than 40
// digits are never asked for: a double has at most 17 significant decimal digits, and the
// buffer stays fixed.
char *ba_dtoa(double value, int ndigits, int *decpt, int *sign) {
  static char digits[SYS_DTOAMAX + 1];
  *sign = std::signbit(value) ? 1 : 0;
  if (std::isnan(value) || std::isinf(value)) {
    *decpt = SYS_DTOASPECIAL;
    snprintf(digits, sizeof digits, "%s", std::isnan(value) ? "NaN" : "Infinity");
    return digits;
  }
  if (value == 0) {
    *decpt = 1;
    snprintf(digits, sizeof digits, "0");
    return digits;
  }
  int nd = ndigits < 1 ? 1 : (ndigits > SYS_DTOAMAX ? SYS_DTOAMAX : ndigits);
  char e[SYS_DTOAMAX + 16];  // d.ddd...e-308
  snprintf(e, sizeof e, "%.*e", nd - 1, std::fabs(value));
  int n = 0;
  const char *p = e;
  for (; *p != 'e'; p++)
    if (*p != '.') digits[n++] = *p;
  while (n > 1 && digits[n - 1] == '0') n--;
  digits[n] = '\0';
  *decpt = atoi(p + 1) + 1;
  return digits;
}
