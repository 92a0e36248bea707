// ba_sys.h: system services.
//
// The installation check of an installed program file, thin wrappers of the process, signal,
// descriptor and shared-memory system calls (so that the rest of the code names no system call
// directly), terminal handling, detaching from the terminal, starting another program through
// the search path, the DBS log file, date and time texts, host addresses, and small text
// utilities. Apart from ba_chkfile, which ends the process, the services return the system
// call's failure value (normally -1 with errno set) and print nothing.
//
// See also: ba_sig.h (signal dispositions), ba_pipe.h (the byte channel).
#pragma once

#include <csignal>
#include <ctime>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/shm.h>

using ba_sighandler = void (*)(int);

constexpr int SYS_TTYLEN = 51;       // ba_ttyname buffer: 50 characters and the zero
constexpr int SYS_CHKPATHLEN = 300;  // installation check path buffer
constexpr int SYS_LOGPATHLEN = 400;  // DBS log path buffer
constexpr int SYS_SPAWNPATHLEN = 512;  // search candidate buffer
constexpr int SYS_ATOFMAX = 200;     // characters of a number text that ba_atof converts
constexpr int SYS_SPAWNFAIL = 25;    // exit status of a child whose exec failed

// Installation check of "%s/%s" (home, relpath): owner user, group group, permission bits
// (and 07777) mode. On any mismatch prints its message to standard error and exits 1.
int ba_chkfile(const char *home, const char *relpath, const char *user, const char *group,
               int mode);

// Process, signal and descriptor wrappers.
int ba_setpgrp();
ba_sighandler ba_signal(int sig, ba_sighandler handler);
int ba_kill(int pid, int sig);
int ba_killhard(int pid);
int ba_getpid();
int ba_getppid();
unsigned ba_sleep(unsigned seconds);
int ba_waitpid(int pid, int *status);
int ba_pipe(int fds[2]);
int ba_read(int fd, void *buf, int n);         // repeated while interrupted by a signal
int ba_write(int fd, const void *buf, int n);  // one write call, repeated while interrupted
int ba_shmget(int key, int size, int flags);
void *ba_shmattach(int id, const void *addr, int flags);  // (void *)-1 on failure
int ba_shmdt(const void *addr);
int ba_shmctl(int id, int cmd, struct shmid_ds *buf);

// Terminal.
char *ba_ttyname();  // of stdin, else stdout, else stderr, else "-"
int ba_echooff();
int ba_echoon();
void ba_detach(const char *dir);

// Running another program. argv is a vector kept ending with a null entry.
int ba_spawn(const char *file, char **argv, int *pid, int keepfds);
char *ba_addarg(char ***vec, const char *s);
void ba_freeargs(char **vec);

// Log file "<home>/log/<dbsname>" and date/time texts (process-global buffers).
void ba_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
char *ba_timestr(time_t t);  // "%02d:%02d:%02d" of local time t, now when t is -1
char *ba_datestr();          // "%02d.%02d.%02d" day, month, year - 1900 of local time now
char *ba_stamp();            // "---------- %24.24s --------------\n" with ctime of now

// Host addresses.
struct hostent *ba_gethost(const char *name);
int ba_myaddr(struct in_addr *addr, char *text);

// Text utilities.
void ba_rtrim(char *s);
void ba_ltrim(char *s);
void ba_setsep(char *s, int c);
int ba_atof(const char *text, double *value);
int ba_atoint(const char *text, int *value);
char *ba_strncpy(char *dst, const char *src, int n);
int ba_isident(const char *s);
void ba_debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void ba_hexdump(const void *data, int len);
char *ba_dtoa(double value, int ndigits, int *decpt, int *sign);
