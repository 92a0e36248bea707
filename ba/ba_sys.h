// ba_sys.h: system services.
//
// The installation check of an installed program file, thin wrappers of the process, signal,
// descriptor and shared-memory system calls (so that the rest of the code names no system call
// directly), terminal handling, detaching from the terminal, starting another program through
// the search path, the DBS log file, date and time texts, host addresses, and small text
// utilities. Apart from ba_chkfile, which ends the process, the services return the system
// call's failure value (normally -1 with errno set) and print nothing.
//
// Every path is built in a fixed buffer; a path that does not fit is refused (the operation
// fails), never cut into a shorter path that might name another file.
//
// See also: ba_sig.h (signal dispositions), ba_pipe.h (the byte channel).
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <ctime>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/shm.h>

using ba_sighandler = void (*)(int);

constexpr int SYS_TTYLEN = 51;         // ba_ttyname buffer: 50 characters and the zero
constexpr int SYS_CHKPATHLEN = 300;    // installation check path buffer
constexpr int SYS_LOGPATHLEN = 400;    // DBS log path buffer
constexpr int SYS_SPAWNPATHLEN = 512;  // search candidate buffer
constexpr int SYS_HOSTNAMEMAX = 1024;  // characters of the own host name that ba_myaddr reads
constexpr int SYS_ATOFMAX = 200;       // characters of a number text that ba_atof converts
constexpr int SYS_SPAWNFAIL = 25;      // exit status of a child whose exec failed
constexpr int SYS_CLOSEFDS = 100;      // a spawned child closes descriptors 0 .. 99
constexpr int SYS_DTOAMAX = 40;        // most significant digits that ba_dtoa produces
constexpr int SYS_DTOASPECIAL = 9999;  // decimal-point position ba_dtoa gives Infinity and NaN

// ---- Paths and interrupted calls ----------------------------------------------------------

// Formats a path into buf (size bytes). true when the whole text fits; otherwise false with
// errno ENAMETOOLONG, and buf holds the cut text, which may serve a message but never a file
// operation (a cut path may name another, existing file).
bool ba_pathfmt(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// 1 when s is a plain name: not empty, no '/', not beginning with '.'. Names that the
// environment puts into installation paths (DBS, language, language file) must be plain, so
// that they cannot lead out of their directory.
int ba_plainname(const char *s);

// Calls call() again as long as it fails with EINTR (a caught signal cut it short); returns
// the last result. call returns a negative value on failure, with errno set.
template <typename F>
auto ba_noeintr(F call) -> decltype(call()) {
  decltype(call()) r;
  do r = call();
  while (r < 0 && errno == EINTR);
  return r;
}

// ---- Privileges of a set-user-id run -------------------------------------------------------
//
// Run set-user-id, a program starts with the effective user of its program file (the
// privileged user, root) and the real user of its caller. ba_privinit lowers the effective
// user to the caller's at once and keeps the privileged one as the saved set-user-id: from
// then on the process touches files with exactly its caller's rights, and takes the
// privileged user back (ba_privraise) only for what the caller cannot do itself and the
// process has checked (the System V objects of a DBS that root created). Run normally (real
// and effective user equal) every one of these does nothing and succeeds.

// Call first thing in main. 0, or -1 with errno when the effective user cannot be lowered
// (the process must then end).
int ba_privinit();
// 1 when ba_privinit found a set-user-id run, else 0.
int ba_setuidrun();
// The effective user becomes the privileged one / the caller's. 0 or -1 with errno.
int ba_privraise();
int ba_privlower();

// For its lifetime, the process works with its caller's rights (set-user-id run only); the
// destructor restores the effective user it found. ok() is false when the effective user
// could not be lowered: the guarded operation must then not be done.
class ba_ascaller {
 public:
  ba_ascaller();
  ~ba_ascaller();
  ba_ascaller(const ba_ascaller &) = delete;
  ba_ascaller &operator=(const ba_ascaller &) = delete;
  bool ok() const { return ok_; }

 private:
  unsigned prev_;
  bool lowered_ = false;
  bool ok_ = true;
};

// 1 when uid is root or the user "tolv": the users that may own what a set-user-id program
// of this system trusts (its configuration, the DBS segment and semaphores), else 0.
int ba_trusteduid(unsigned uid);

// ---- Installation check --------------------------------------------------------------------

// Checks the file "%s/%s" (home, relpath): owner `user`, group `group`, permission bits
// (and 07777) `mode`. Returns 0 when all three match; on any mismatch prints its message to
// standard error and ends the process with exit status 1 (never returns a failure).
int ba_chkfile(const char *home, const char *relpath, const char *user, const char *group,
               int mode);

// ---- Process, signal and descriptor wrappers -----------------------------------------------

int ba_setpgrp();                                         // setpgid(0, own pid)
ba_sighandler ba_signal(int sig, ba_sighandler handler);  // previous handler, or SIG_ERR
int ba_kill(int pid, int sig);
int ba_killhard(int pid);  // SIGKILL
int ba_getpid();
int ba_getppid();
unsigned ba_sleep(unsigned seconds);  // unslept seconds when a caught signal ends it early
int ba_waitpid(int pid, int *status);
int ba_pipe(int fds[2]);  // fds[0] read end, fds[1] write end
// Reads up to n bytes, repeating a read interrupted by a signal. A negative n is refused
// (-1, EINVAL).
int ba_read(int fd, void *buf, int n);
// Writes n bytes with one write call, repeated while interrupted by a signal; the result may
// be a partial count. A negative n is refused (-1, EINVAL).
int ba_write(int fd, const void *buf, int n);
int ba_shmget(int key, int size, int flags);              // identifier or -1
void *ba_shmattach(int id, const void *addr, int flags);  // address, or (void *)-1
int ba_shmdt(const void *addr);
int ba_shmctl(int id, int cmd, struct shmid_ds *buf);

// ---- Terminal ------------------------------------------------------------------------------

// Terminal name of standard input, else of standard output, else of standard error, else "-",
// cut to 50 characters (it is a display text, e.g. in the user slot). Process-global buffer.
char *ba_ttyname();
// Clear or set the echo flag of the terminal on standard input, effective at once. 0 or -1.
int ba_echooff();
int ba_echoon();
// Turns the process into a background daemon: forks; the parent exits 0 (status 1 when the
// fork fails); the child enters `dir` (failure ignored), leads a new process group and gives
// up its controlling terminal.
void ba_detach(const char *dir);

// ---- Running another program ---------------------------------------------------------------

// Starts `file` (argv[0] when file is null) in a child process with argv. A name not
// beginning with '/' is searched along PATH (empty components skipped); the child executes
// exactly the program file found. Returns 0 in the parent with *pid the child's process id,
// or -1 with errno (ENOMEM, ENOENT: not found on PATH; the access error of an absolute name;
// the fork error, *pid then -1). Unless keepfds is non-zero the child closes descriptors 0 to
// 99 first; when the exec fails the child exits with status 25.
int ba_spawn(const char *file, char **argv, int *pid, int keepfds);
// Appends a copy of s to the argument vector *vec (null to start a new one), which is kept
// ending with a null entry. Returns the copy, or null when memory runs out (the vector is then
// unchanged apart from possibly having been created empty).
char *ba_addarg(char ***vec, const char *s);
// Releases every string of vec up to the null entry, then the array. A null vec is ignored.
void ba_freeargs(char **vec);

// ---- Log file and date/time texts ----------------------------------------------------------

// Opens the DBS message log "<home>/log/<dbsname>" (settings record) for appending, creating
// it when missing (mode 0666 less the umask). A program of this system may run set-user-id
// root, so the log is opened only as what it must be: the log directory and the file are
// never reached through a symbolic link, the file is a regular file with exactly one link (a
// hard link would make it another file's name), and with errmode non-zero it gets mode 0664
// through the descriptor, never by path. path (SYS_LOGPATHLEN bytes) receives the path, for
// messages. The descriptor, or -1 with errno: ENOENT (settings not loaded), ENAMETOOLONG
// (path does not fit), EINVAL (DBS name not a plain name, or not a regular file), ELOOP (the
// file is a symbolic link), ENOTDIR (the log directory is one), ENXIO (a FIFO: never waited
// on), EMLINK (more than one link), or the error of the open.
int ba_logopen(char *path, int errmode);
// Writes one entry to the log opened by ba_logopen: "%s %s " with ba_datestr() and
// ba_timestr(-1), then fmt formatted with ap (no newline added); flushes and closes fd.
void ba_logwrite(int fd, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));
// Appends "<date> <time> " and the formatted text to the DBS message log (ba_logopen).
// Writes nothing and reports nothing when the log cannot be opened. No newline is added.
void ba_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
char *ba_timestr(time_t t);  // "%02d:%02d:%02d" of local time t, now when t is -1
char *ba_datestr();          // "%02d.%02d.%02d" day, month, year - 1900 of local time now
char *ba_stamp();            // "---------- %24.24s --------------\n" with ctime of now

// ---- Host addresses ------------------------------------------------------------------------

// Host entry by name, else (for a dotted IPv4 address) by address; null when both fail.
// The entry is the C library's static one, overwritten by the next lookup.
struct hostent *ba_gethost(const char *name);
// First IPv4 address of the own host into *addr and, as dotted text, into text (at least
// INET_ADDRSTRLEN bytes); either may be null. 0, or -1 when the host cannot be looked up.
int ba_myaddr(struct in_addr *addr, char *text);

// ---- Text utilities ------------------------------------------------------------------------

void ba_rtrim(char *s);          // removes trailing ' '; null or empty left alone
void ba_ltrim(char *s);          // removes leading ' ' by moving the rest to the front
void ba_setsep(char *s, int c);  // every '.' and ',' becomes c
// Floating value of text (at most 200 characters; '.' and ',' both read as the decimal
// point). 0 when the whole text was converted; -1 when it is longer than 200 characters
// (EINVAL), the conversion set errno, converted nothing or left characters over. *value is
// stored only on success.
int ba_atof(const char *text, double *value);
// strncpy of exactly n bytes, then a zero at dst[n]. REQUIRES: dst has n + 1 bytes.
char *ba_strncpy(char *dst, const char *src, int n);
// Prints to standard error and flushes when `debug` of the settings is non-zero.
void ba_debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void ba_hexdump(const void *data, int len);  // "%2x " per byte, then "\n", to standard error
// The significant digits of value, at most max(1, ndigits) of them (and at most 40), rounded
// to nearest, without trailing zeros ("0" for zero); *decpt receives the position of the
// decimal point relative to the first digit, *sign 1 for a negative value (-0 included).
// Infinity and NaN give "Infinity" and "NaN" with *decpt 9999. Module buffer, overwritten by
// the next call.
char *ba_dtoa(double value, int ndigits, int *decpt, int *sign);
