// tolvdb: the DBS server stand-in and inspector.
//
//   tolvdb create              create the partition files, format them, create the segment
//   tolvdb state N             set the DBS state (1 online)
//   tolvdb flushpct N          set the share of a list one flush pass examines (-1 all)
//   tolvdb touch FIRST COUNT [--new]   update COUNT pages from FIRST through page requests
//   tolvdb imgwriter           run as the image writer until the DBS goes offline
//   tolvdb arch on|copy|off|take   switch the archive bits, take the archived copies
//   tolvdb verify              compare the buffered pages with their disk copies
//   tolvdb stat [--watch SECONDS [--count N]]
//                              report state, counters, buffer lists and users; with --watch
//                              then the rates of every interval
//   tolvdb reap                release the slots of dead processes (every command that
//                              attaches does it silently)
//   tolvdb daemon start|stop|status
//                              run the flush daemon as pg_ctl runs a server
//   tolvdb checkpoint          run one checkpoint and print its message-log lines
//   tolvdb log write TYPE LEN [COUNT] | read [N] | files | release N
//                              append records, read the last ones, list or release log files
//   tolvdb remove              take the DBS offline and remove segment and semaphores
//   tolvdb --help              usage and the sizing rules
//
// Like every program of the system it loads the settings (TOLVHOME, TOLVDBS, ...) and the
// configuration file <home>/etc/<dbs>.cfg first. Messages go to standard error, reports to
// standard output. Exit status: 0 done, 1 failure; verify: 0 every buffered page is clean and
// equal to its disk copy, 2 some are still dirty, 1 a clean page differs from its disk copy;
// daemon status: 0 running, 3 not running. stat and daemon status work read-only for those
// who may only read the segment (members of group tolv).
//
// The work is done by the library tolvsrv (srv_*.h), which the tests use as well.
//
// See also: srv_size.h (sizing), srv_format.h (partition files), srv_pool.h (touch, verify),
// srv_stat.h (the report), srv_create.h (the segment), srv_watch.h (read-only view, rates),
// srv_daemon.h (the daemon commands), bm/bm_reap.h (dead processes).
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "ba/ba_conf.h"
#include "ba/ba_msg.h"
#include "ba/ba_sys.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_init.h"
#include "bm/bm_reap.h"
#include "bm/bm_sema.h"
#include "bm/bm_user.h"
#include "tools/srv_arch.h"
#include "tools/srv_create.h"
#include "tools/srv_daemon.h"
#include "tools/srv_format.h"
#include "tools/srv_log.h"
#include "tools/srv_imgwriter.h"
#include "tools/srv_pool.h"
#include "tools/srv_size.h"
#include "tools/srv_stat.h"
#include "tools/srv_table.h"
#include "tools/srv_watch.h"

namespace {

constexpr const char *kUsage =
    "usage: tolvdb create [--imgwriter] | state N | flushpct N | touch FIRST COUNT [--new] |\n"
    "              verify | stat [--watch SECONDS [--count N]] | reap | daemon start|stop|status |\n"
    "              imgwriter | arch on|copy|off|take | remove | checkpoint |\n"
    "              log write TYPE LEN [COUNT] | log read [N] | log files | log release N |\n"
    "              table create NAME NCOLS | table show ID | table insert ID VALUE... |\n"
    "              table dump ID [DELIM] | free | --help\n";
constexpr const char *kUserName = "TOLVDB";  // in the user table while touch or verify works
constexpr const char *kHost = "local";
constexpr int kImgwriterStartMs = 5000;  // create --imgwriter waits this long for it
constexpr int kLeaveMs = 10000;  // remove waits this long for registered processes
constexpr int kLeaveNapMs = 10;

__attribute__((format(printf, 1, 2))) int failure(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("tolvdb: ", stderr);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  return 1;
}

int usage() {
  fputs(kUsage, stderr);
  return 1;
}

int help() {
  fputs(kUsage, stdout);
  fputs(
      "\n"
      "  create              create the partition files that are missing (user tolv, mode\n"
      "                      0660; as root), format every page, create the semaphores and\n"
      "                      the segment at the configured key and address, and go online\n"
      "  create --imgwriter  create, then start the image writer in the background\n"
      "  state N             set the DBS state (1 online; anything else takes it offline)\n"
      "  flushpct N          set the percentage of a buffer list one flush pass examines\n"
      "                      (-1 the whole list)\n"
      "  touch FIRST COUNT   update COUNT pages from page number FIRST with new contents, as a\n"
      "                      server would: an update action per page, through page requests\n"
      "                      (numbers decimal, or hexadecimal after 0x)\n"
      "  touch ... --new     the same for pages created anew (nothing is read)\n"
      "  verify              compare every buffered page with its disk copy; exit 0 all clean\n"
      "                      and equal, 2 some still dirty, 1 a clean page differs\n"
      "  imgwriter           write the before-image buffer when woken and every 100 ms until\n"
      "                      the DBS goes offline or a signal arrives\n"
      "  arch on|copy|off|take  archiving on, on with copies before first use, off; take\n"
      "                      empties the archive buffer and prints the page numbers taken\n"
      "  stat                report state, counters, buffer lists and registered users\n"
      "    --watch SECONDS   then every SECONDS one line of rates: pages read and written,\n"
      "                      flush, before-image and free-buffer waits per second, dirty\n"
      "                      buffers; until interrupted, or N lines with --count N\n"
      "  reap                release the user slots of processes that no longer exist and\n"
      "                      give buffers left being flushed by a dead daemon their dirty\n"
      "                      mark back; every command that attaches does it silently\n"
      "  daemon start        run bin/tolvflush of the installation and wait until it is\n"
      "                      registered (0) or has failed (1, with its message)\n"
      "  daemon stop         send the daemon SIGTERM and wait until it has left\n"
      "  daemon status       pid, state, share, passes, pages written, write failures and\n"
      "                      the last pass; exit 0 running, 3 not running\n"
      "  remove              take the DBS offline, wait up to 10 seconds for registered\n"
      "                      processes to leave, remove the segment and the semaphores\n"
      "  checkpoint          run one checkpoint and print the lines it adds to the DBS log\n"
      "  log write TYPE LEN [COUNT]\n"
      "                      append COUNT (1) records of LEN bytes and type TYPE (9: a commit,\n"
      "                      forced) as a server would; prints each record's position\n"
      "  log read [N]        print the last N (10) records, newest first\n"
      "  log files           print each log file's state, log id and byte count\n"
      "  log release N       release full log file N as a backup does\n"
      "  table create NAME NCOLS\n"
      "                      create a table of NCOLS columns (integer, characters, decimal,\n"
      "                      date, small integer in turn) as the server would; prints its id\n"
      "  table show ID       print the table's descriptor and its columns\n"
      "  table insert ID VALUE...\n"
      "                      append a row of one text value per column\n"
      "  table dump ID [DELIM]\n"
      "                      print every row, in columns or each value followed by DELIM\n"
      "  free                print the free page count of every dbspace\n"
      "\n"
      "Settings from TOLVHOME and TOLVDBS, configuration from <home>/etc/<dbs>.cfg.\n"
      "Members of group tolv may run stat and daemon status (read-only).\n\n",
      stdout);
  fputs(srv_sizingrules(), stdout);
  return 0;
}

// ---- Arguments ------------------------------------------------------------------------------

// A number in lo .. hi: decimal digits with an optional minus sign, or hexadecimal digits after
// "0x"; nothing else (no blanks, no plus sign).
bool number(const char *text, long long lo, long long hi, long long *value) {
  bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char *digits = hex ? text + 2 : text + (text[0] == '-');
  const char *allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
  if (*digits == '\0' || digits[strspn(digits, allowed)] != '\0') return false;
  errno = 0;
  long long v = strtoll(hex ? digits : text, nullptr, hex ? 16 : 10);
  if (errno != 0 || v < lo || v > hi) return false;
  *value = v;
  return true;
}

int bad_number(const char *what, const char *text, long long lo, long long hi) {
  failure("bad %s \"%s\": a number in %lld .. %lld\n", what, text, lo, hi);
  return usage();
}

// ---- Settings, configuration, segment ---------------------------------------------------------

// Prints a configuration failure c: its catalog text formatted with the detail and the errno
// err of the failed read (taken before the catalog lookup, which may change errno).
int conf_failure(int c, int err) {
  fputs("tolvdb: ", stderr);
  ba_msgformat(stderr, ba_msgtext(c), ba_conferr, err);
  fputc('\n', stderr);
  return 1;
}

int read_conf(int mode) {
  int c = ba_readconf(mode, "");
  int err = errno;
  return c == 0 ? 0 : conf_failure(c, err);
}

int load_settings() {
  if (ba_readenv(stderr) != 0) return 1;
  if (ba_settings.dbshost != nullptr)
    return failure("TOLVDBS names DBS %s on host %s; the stand-in works on local DBSs only\n",
                   ba_settings.dbsname, ba_settings.dbshost);
  return read_conf(0);
}

int attach_failure(int key) {
  if (iserrno == ENOENT)
    return failure("no segment with key %d: DBS %s is not running\n", key, ba_settings.dbsname);
  if (iserrno == ER_SHMADDR && bm_dbs != nullptr)
    return failure(
        "the segment of key %d was made for address 0x%08x, the configuration "
        "names 0x%08x\n",
        key, bm_dbs->shmaddr, dbsconfig.shmaddr);
  if (iserrno == EACCES)
    return failure(
        "permission denied: only the owner of the segment of key %d may change DBS %s "
        "(members of group tolv may run stat and daemon status)\n",
        key, ba_settings.dbsname);
  return failure("cannot attach the segment of key %d: %s\n", key,
                 iserrno > 0 ? strerror(iserrno) : ba_msgtext(iserrno));
}

// Attaches the configured DBS's segment at the configured address and binds the buffer manager
// to it. The attach refuses a segment mapped at another address than its creator's: it holds
// no valid pointer then.
int attach_only() {
  int key = dbsconfig.dbskey;
  return bm_init(key, dbsconfig.shmaddr) != nullptr ? 0 : attach_failure(key);
}

// attach_only, then the server's duty for dead processes, silently (it is logged).
int attach() {
  if (attach_only() != 0) return 1;
  bm_reap();
  return 0;
}

// The DBS for the commands that only look: attached and reaped when this process may change
// the segment, else (a member of group tolv) a read-only view. Null when there is none; then
// the failure is printed unless quiet.
const dbshead *view(bool quiet) {
  int key = dbsconfig.dbskey;
  if (bm_init(key, dbsconfig.shmaddr) != nullptr) {
    bm_reap();
    return bm_dbs;
  }
  const dbshead *h = nullptr;
  if (iserrno == EACCES && srv_attachview(key, &h) == SRV_OK) return h;
  if (!quiet) attach_failure(key);
  return nullptr;
}

const dbshead *view_quietly() { return view(true); }

// A first SIGINT, SIGTERM or SIGHUP sets the stop flag: the work ends at its next look and the
// user slot is released. A second one ends the process at once.
void on_stop(int sig) {
  if (term_req) {
    signal(sig, SIG_DFL);
    raise(sig);
  }
  term_req = 1;
}

// Attaches and registers as the DBS user "TOLVDB", so that the waits of the work show in the
// user table and the process sleeps instead of spinning on a held semaphore.
int enter() {
  if (attach() != 0) return 1;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ba_signal(sig, on_stop);
  if (bm_usrin(bm_dbs, kUserName, "", "", kHost) != 0)
    return failure("cannot register in DBS %s: %s\n", ba_settings.dbsname, ba_msgtext(iserrno));
  return 0;
}

void leave() { bm_usrout(bm_mypid); }

// ---- Commands ----------------------------------------------------------------------------------

// The steps of create after the files exist: check, size, segment (offline), format, online.
// The segment is created first and exclusively, so the partitions of a DBS that runs under
// the same key are never formatted.
int build(std::string *why) {
  if (read_conf(1) != 0) return 1;
  srv_geometry g;
  if (srv_sizing(dbsconfig, static_cast<int32_t>(time(nullptr)), &g, why) != SRV_OK)
    return failure("cannot size the DBS: %s\n", why->c_str());
  g.state = 0;
  dbshead *h = nullptr;
  int r = srv_create(g, &h);
  if (r == SRV_EXISTS)
    return failure("a segment or semaphore set with key %d exists already\n", g.key);
  if (r != SRV_OK)
    return failure("cannot create the segment: %s (%s)\n", srv_strerror(r), strerror(errno));
  if (srv_format(g, why) != SRV_OK) {
    srv_detach(h);
    srv_remove(g.key);
    return failure("cannot format the partitions: %s\n", why->c_str());
  }
  __atomic_store_n(&h->state, DBS_ONLINE, __ATOMIC_SEQ_CST);
  printf(
      "DBS %s created: key %d at 0x%08x, %d user slots, %d lists of %d buffers, %d log files "
      "of %d pages from page %d, before-image area pages %d to %d\n",
      ba_settings.dbsname, g.key, g.shmaddr, g.nusers, g.nlists, g.nbufs, g.lognfiles,
      g.logfilepages, g.logfirst, g.bifirst, g.bilast);
  srv_detach(h);
  return 0;
}

// Starts "tolvdb imgwriter" in the background, detached (own session, a grandchild nobody
// waits for), its streams on log/<dbs>.imgwriter. 0, or 1 when it cannot be started.
int start_imgwriter() {
  char log[512];
  snprintf(log, sizeof log, "%s/log/%s.imgwriter", ba_settings.home, ba_settings.dbsname);
  fflush(nullptr);
  pid_t child = fork();
  if (child < 0) return failure("cannot start the image writer: %s\n", strerror(errno));
  if (child == 0) {
    setsid();
    if (fork() != 0) _exit(0);
    int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || null < 0 || dup2(null, 0) < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(1);
    execl("/proc/self/exe", "tolvdb", "imgwriter", static_cast<char *>(nullptr));
    _exit(1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (attach_only() != 0) return 1;
  for (int ms = 0; ms < kImgwriterStartMs; ms += 10) {
    if (__atomic_load_n(&bm_dbs->imgwriter, __ATOMIC_ACQUIRE) != -1) return 0;
    bm_nap(10);
  }
  return failure("the image writer did not start: see %s\n", log);
}

// An optional trailing flag: false when arg is neither absent (null) nor name; *set tells
// which.
bool option(const char *arg, const char *name, bool *set) {
  *set = arg != nullptr;
  return arg == nullptr || strcmp(arg, name) == 0;
}

int cmd_create(char **args) {
  bool imgwriter = false;
  if (!option(args[0], "--imgwriter", &imgwriter)) return usage();
  std::vector<std::string> created;
  std::string why;
  if (srv_makefiles(srv_spaces(dbsconfig), &created, &why) != SRV_OK)
    return failure("%s\n", why.c_str());
  int r = build(&why);
  if (r != 0) srv_unmakefiles(created);
  return r == 0 && imgwriter ? start_imgwriter() : r;
}

// Stores value into a 16- or 32-bit header field of the configured DBS.
template <class T>
int set_field(T dbshead::*field, long long value) {
  if (attach() != 0) return 1;
  __atomic_store_n(&(bm_dbs->*field), static_cast<T>(value), __ATOMIC_SEQ_CST);
  return 0;
}

int cmd_state(char **args) {
  long long v = 0;
  if (!number(args[0], INT16_MIN, INT16_MAX, &v))
    return bad_number("state", args[0], INT16_MIN, INT16_MAX);
  return set_field(&dbshead::state, v);
}

int cmd_flushpct(char **args) {
  long long v = 0;
  if (!number(args[0], -1, 100, &v)) return bad_number("flushpct", args[0], -1, 100);
  return set_field(&dbshead::flushpct, v);
}

int cmd_touch(char **args) {
  bool create = false;
  if (!option(args[2], "--new", &create)) return usage();
  long long first = 0, count = 0;
  if (!number(args[0], 0, INT32_MAX, &first))
    return bad_number("page number", args[0], 0, INT32_MAX);
  if (!number(args[1], 1, INT32_MAX, &count)) return bad_number("count", args[1], 1, INT32_MAX);
  if (enter() != 0) return 1;
  std::string why;
  int r = srv_touch(static_cast<int32_t>(first), static_cast<int32_t>(count), create, &why);
  leave();
  if (r == SRV_STOPPED) return failure("touch stopped by a signal\n");
  return r == SRV_OK ? 0 : failure("%s\n", why.c_str());
}

int cmd_imgwriter(char **) {
  if (enter() != 0) return 1;
  srv_imgwriter();
  leave();
  return 0;
}

int cmd_arch(char **args) {
  srv_archop op;
  if (!srv_archparse(args[0], &op)) return usage();
  if (attach() != 0) return 1;
  std::vector<int32_t> taken;
  srv_arch(op, &taken);
  for (int32_t p : taken) printf("%d\n", p);
  return 0;
}

int cmd_verify(char **) {
  if (enter() != 0) return 1;
  srv_verifycounts c;
  std::string why;
  int r = srv_verify(&c, &why);
  leave();
  if (r == SRV_STOPPED) return failure("verify stopped by a signal\n");
  if (r != SRV_OK) failure("%s\n", why.c_str());
  for (int32_t page : c.differ) printf("page %d differs from its disk copy\n", page);
  printf("%d buffered pages: %d equal, %d dirty, %d differing\n", c.buffered, c.equal, c.dirty,
         c.differing);
  return srv_verifystatus(c);
}

// stat [--watch SECONDS [--count N]]
int cmd_stat(char **args) {
  long long seconds = 0, count = 0;
  if (args[0] != nullptr) {
    if (strcmp(args[0], "--watch") != 0 || args[1] == nullptr) return usage();
    if (!number(args[1], 1, 86400, &seconds)) return bad_number("interval", args[1], 1, 86400);
    if (args[2] != nullptr) {
      if (strcmp(args[2], "--count") != 0 || args[3] == nullptr || args[4] != nullptr)
        return usage();
      if (!number(args[3], 1, INT32_MAX, &count)) return bad_number("count", args[3], 1, INT32_MAX);
    }
  }
  const dbshead *h = view(false);
  if (h == nullptr) return 1;
  srv_stat(stdout, h);
  if (seconds == 0) return 0;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ba_signal(sig, on_stop);
  fputc('\n', stdout);
  srv_watch(stdout, h, static_cast<int>(seconds), static_cast<int>(count));
  return 0;
}

void print_note(const char *line) { fputs(line, stdout); }

int cmd_reap(char **) {
  if (attach_only() != 0) return 1;
  int n = bm_reap(print_note);
  printf("%d user slot%s released\n", n, n == 1 ? "" : "s");
  return 0;
}

// Registered work of the log commands: enter, run, leave, report a failure.
int registered(const std::function<int(std::string *)> &work) {
  if (enter() != 0) return 1;
  std::string why;
  int r = work(&why);
  leave();
  return r == SRV_OK ? 0 : failure("%s\n", why.c_str());
}

int cmd_checkpoint(char **) {
  return registered([](std::string *) {
    srv_checkpoint(stdout);
    return int{SRV_OK};
  });
}

constexpr long long kMaxLogLen = 64LL * 1024 * 1024;  // beyond any log file's capacity

int log_write(char **args, int nargs) {
  long long type = 0, len = 0, count = 1;
  if (nargs < 2 || nargs > 3) return usage();
  if (!number(args[0], 0, 255, &type)) return bad_number("record type", args[0], 0, 255);
  if (!number(args[1], 0, kMaxLogLen, &len))
    return bad_number("record length", args[1], 0, kMaxLogLen);
  if (nargs == 3 && !number(args[2], 1, INT32_MAX, &count))
    return bad_number("count", args[2], 1, INT32_MAX);
  return registered([&](std::string *why) {
    return srv_logwrite(stdout, static_cast<int>(type), static_cast<int>(len),
                        static_cast<int>(count), why);
  });
}

int log_read(char **args, int nargs) {
  long long n = 10;
  if (nargs > 1) return usage();
  if (nargs == 1 && !number(args[0], 1, INT32_MAX, &n))
    return bad_number("count", args[0], 1, INT32_MAX);
  return registered([&](std::string *why) { return srv_logread(stdout, static_cast<int>(n), why); });
}

int log_release(char **args, int nargs) {
  long long f = 0;
  if (nargs != 1) return usage();
  if (!number(args[0], 0, LC_MAXFILES - 1, &f))
    return bad_number("log file", args[0], 0, LC_MAXFILES - 1);
  if (attach() != 0) return 1;
  std::string why;
  return srv_logrelease(static_cast<int>(f), &why) == SRV_OK ? 0 : failure("%s\n", why.c_str());
}

// log write|read|files|release ...: args ends with a null pointer.
int cmd_log(char **args) {
  int nargs = 0;
  while (args[nargs] != nullptr) nargs++;
  const char *sub = args[0];
  // The command table gives log one argument or more.
  // NOLINTNEXTLINE(clang-analyzer-core.NonNullParamChecker)
  if (strcmp(sub, "write") == 0) return log_write(args + 1, nargs - 1);
  if (strcmp(sub, "read") == 0) return log_read(args + 1, nargs - 1);
  if (strcmp(sub, "release") == 0) return log_release(args + 1, nargs - 1);
  if (strcmp(sub, "files") != 0 || nargs != 1) return usage();
  if (attach() != 0) return 1;
  srv_logfiles(stdout);
  return 0;
}

// ---- Tables ------------------------------------------------------------------------------------

int table_create(char **args, int nargs) {
  long long ncols = 0;
  if (nargs != 2) return usage();
  if (!number(args[1], 1, SRV_MAXCOLS, &ncols))
    return bad_number("column count", args[1], 1, SRV_MAXCOLS);
  return registered([&](std::string *why) {
    int32_t t = 0;
    int r = srv_tablecreate(args[0], static_cast<int>(ncols), &t, why);
    if (r == SRV_OK) printf("%d\n", t);
    return r;
  });
}

// The table id in args[0] of a table subcommand; false (the reason printed) when it is none.
bool table_id(char **args, int nargs, int32_t *t) {
  long long v = 0;
  if (nargs < 1 || !number(args[0], 0, INT32_MAX, &v)) {
    if (nargs >= 1) bad_number("table id", args[0], 0, INT32_MAX);
    return false;
  }
  *t = static_cast<int32_t>(v);
  return true;
}

int table_show(char **args, int nargs) {
  int32_t t = 0;
  if (nargs != 1) return usage();
  if (!table_id(args, nargs, &t)) return 1;
  return registered([&](std::string *why) { return srv_tableshow(stdout, t, why); });
}

int table_insert(char **args, int nargs) {
  int32_t t = 0;
  if (nargs < 2) return usage();
  if (!table_id(args, nargs, &t)) return 1;
  std::vector<std::string> values(args + 1, args + nargs);
  return registered([&](std::string *why) { return srv_tableinsert(t, values, why); });
}

int table_dump(char **args, int nargs) {
  int32_t t = 0;
  if (nargs < 1 || nargs > 2) return usage();
  if (!table_id(args, nargs, &t)) return 1;
  if (nargs == 2 && strlen(args[1]) != 1) return failure("the delimiter is one character\n");
  int delim = nargs == 2 ? static_cast<unsigned char>(args[1][0]) : 0;
  return registered([&](std::string *why) { return srv_tabledump(stdout, t, delim, why); });
}

// table create|show|insert|dump ...: args ends with a null pointer.
int cmd_table(char **args) {
  int nargs = 0;
  while (args[nargs] != nullptr) nargs++;
  static const struct {
    const char *name;
    int (*run)(char **, int);
  } kSubs[] = {{"create", table_create},
               {"show", table_show},
               {"insert", table_insert},
               {"dump", table_dump}};
  for (const auto &sub : kSubs)
    if (nargs > 0 && strcmp(args[0], sub.name) == 0) return sub.run(args + 1, nargs - 1);
  return usage();
}

int cmd_free(char **) {
  return registered([](std::string *why) { return srv_freepages(stdout, why); });
}

int daemon_start() {
  int pid = 0;
  std::string why, said;
  int r = srv_daemonstart(view(true), view_quietly, ba_settings.home, ba_settings.dbsname,
                          srv_daemonwait{}, &pid, &why, &said);
  if (r != SRV_RUNNING) {
    fputs(said.c_str(), stderr);
    return failure("%s\n", why.c_str());
  }
  printf("tolvflush of DBS %s started: process %d\n", ba_settings.dbsname, pid);
  return 0;
}

int daemon_stop() {
  const dbshead *h = view(false);
  if (h == nullptr) return 1;
  int pid = 0;
  std::string why;
  int r = srv_daemonstop(h, srv_daemonwait{}, &pid, &why);
  if (r == SRV_FAILED) return failure("%s\n", why.c_str());
  if (r == SRV_NOTRUNNING) {
    printf("tolvflush of DBS %s is not running\n", ba_settings.dbsname);
    return 0;
  }
  if (h == bm_dbs) bm_reap();  // the slot of a daemon that was killed meanwhile
  printf("tolvflush of DBS %s stopped: process %d\n", ba_settings.dbsname, pid);
  return 0;
}

int daemon_status() {
  char record[4096];
  if (!ad_statuspath(record, sizeof record, ba_settings.home, ba_settings.dbsname))
    return failure("the installation path is too long\n");
  return srv_daemonstatus(stdout, view(true), ba_settings.dbsname, record);
}

// daemon start|stop|status
int cmd_daemon(char **args) {
  if (strcmp(args[0], "start") == 0) return daemon_start();
  if (strcmp(args[0], "stop") == 0) return daemon_stop();
  if (strcmp(args[0], "status") == 0) return daemon_status();
  return usage();
}

// A registered process other than this one that still lives.
bool live_user(const userslot &u) {
  return u.progname[0] != '\0' && u.pid != getpid() && (kill(u.pid, 0) == 0 || errno == EPERM);
}

// Takes the DBS offline and waits, bounded, for the registered processes to leave their
// slots; those that stay are named.
void take_offline(dbshead *h) {
  __atomic_store_n(&h->state, int16_t{0}, __ATOMIC_SEQ_CST);
  auto anyone = [h] {
    for (int i = 0; i < h->nusers; i++)
      if (live_user(h->users[i])) return true;
    return false;
  };
  for (int waited = 0; waited < kLeaveMs && anyone(); waited += kLeaveNapMs) bm_nap(kLeaveNapMs);
  for (int i = 0; i < h->nusers; i++)
    if (live_user(h->users[i]))
      failure("process %d (%.*s) is still registered; the segment goes when it detaches\n",
              h->users[i].pid, static_cast<int>(sizeof h->users[i].progname), h->users[i].progname);
}

int cmd_remove(char **) {
  int key = dbsconfig.dbskey;
  bool shm = shmget(key, 0, 0) >= 0, sem = semget(key, 0, 0) >= 0;
  if (!shm && !sem) return failure("no segment or semaphore set with key %d\n", key);
  dbshead *h = nullptr;
  if (shm) {
    int r = srv_attach(key, &h);
    if (r == SRV_NOTDBS)
      return failure("the segment of key %d is no DBS segment; not removed\n", key);
    if (r != SRV_OK)
      return failure("cannot attach the segment of key %d: %s (%s)\n", key, srv_strerror(r),
                     strerror(errno));
    take_offline(h);
    srv_detach(h);
  }
  int r = srv_remove(key);
  return r == SRV_OK ? 0 : failure("%s of key %d: %s\n", srv_strerror(r), key, strerror(errno));
}

struct command {
  const char *name;
  int nargs;  // arguments the command takes; kAnyArgs: it checks its arguments itself
  int (*run)(char **args);
  int maxargs = 0;         // when above nargs: takes nargs to maxargs, the command checks them
};

constexpr int kAnyArgs = -1;

constexpr command kCommands[] = {
    {"create", 0, cmd_create, 1}, {"state", 1, cmd_state},   {"flushpct", 1, cmd_flushpct},
    {"touch", 2, cmd_touch, 3},   {"verify", 0, cmd_verify}, {"stat", kAnyArgs, cmd_stat},
    {"remove", 0, cmd_remove},    {"reap", 0, cmd_reap},     {"daemon", 1, cmd_daemon},
    {"checkpoint", 0, cmd_checkpoint},
    {"log", 1, cmd_log, 4},       {"imgwriter", 0, cmd_imgwriter}, {"arch", 1, cmd_arch},
    {"table", kAnyArgs, cmd_table}, {"free", 0, cmd_free},
};

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return usage();
  if (strcmp(argv[1], "--help") == 0) return argc == 2 ? help() : usage();
  for (const command &c : kCommands) {
    if (strcmp(argv[1], c.name) != 0) continue;
    if (c.nargs != kAnyArgs && (argc - 2 < c.nargs || argc - 2 > std::max(c.nargs, c.maxargs)))
      return usage();
    if (load_settings() != 0) return 1;
    return c.run(argv + 2);
  }
  failure("unknown command \"%s\"\n", argv[1]);
  return usage();
}
