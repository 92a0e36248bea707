// tolvflush: the page-flush daemon of a running DBS.
//
// `tolvflush <dbsname>` detaches from its caller, loads the settings and the DBS configuration,
// checks its installed program file, attaches the DBS segment, registers as "TOLVFLUSH" and
// then runs one flush pass over every buffer list per second until the DBS leaves online mode
// or SIGTERM arrives; finally it releases its user slot. `tolvflush -V` prints the banner.
//
// Life cycle:
//   starting (foreground)  program start      -> fork (the parent exits 0) or a start-up failure
//   starting (background)  fork               -> a failure (exit 1 or 255) or registration done
//   running                SIGTERM handler on -> state not online, term_req, or the own slot
//                                                gone, seen at the top of an iteration
//   ending                 loop left          -> bm_usrout returned; the process exits with it
// Start-up failures before the attach print to standard error and exit 1; from the attach on
// they go through db_fatal and exit -1. A SIGTERM during a pass does not interrupt it: the pass
// completes, the sleep is cut short and the loop ends at its next test.
// Once registered the daemon logs its start, points its standard streams at /dev/null (so no
// caller waits on them) and keeps a status record (ad_status.h) after every pass; its end is
// logged with the reason.
//
// See also: ad_check (the pass over one list), bm_init and bm_user (attach, registration).
#include "flush/tolvflush.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ba/ba_proto.h"
#include "bm/bm_proto.h"
#include "flush/ad_check.h"
#include "flush/ad_status.h"
#include "flush/dberror.h"

namespace {

constexpr char kNotice[] = "Page-flush daemon of the TOLV-SQL database system";

void print_banner() {
  printf("TOLV-SQL tolvflush Version %s (Port %d)\n", TF_VERSION, TF_PORT);
  printf("%s\n", kNotice);
}

// Puts the process into a process group of its own and continues in a child; the parent ends
// with status 0 at once. When the fork fails the process carries on in the foreground.
void detach_from_caller() {
  ba_setpgrp();
  pid_t pid = fork();
  if (pid > 0) exit(0);
}

// Whether path names the running program itself.
bool is_this_program(const char *path) {
  struct stat prog, self;
  return lstat(path, &prog) == 0 && S_ISREG(prog.st_mode) && stat("/proc/self/exe", &self) == 0 &&
         prog.st_dev == self.st_dev && prog.st_ino == self.st_ino;
}

// Whether dir is a directory and not a symbolic link.
bool is_real_dir(const char *dir) {
  struct stat st;
  return lstat(dir, &st) == 0 && S_ISDIR(st.st_mode);
}

// Run set-user-id, the daemon trusts an installation directory only when it is the one the
// running program was installed in: TOLVHOME comes from whoever started it, and with it the
// configuration, the log path and the segment key. The home is resolved to its real path R;
// R/bin/tolvflush must be this very program, reached without a symbolic link below R. Every
// later path is built from R. Run normally, nothing changes.
void check_installation_home() {
  if (getuid() == geteuid()) return;
  char real[PATH_MAX];
  char bin[PATH_MAX + 8];
  char prog[PATH_MAX + 24];
  bool ok = realpath(ba_settings.home, real) != nullptr &&
            snprintf(bin, sizeof bin, "%s/bin", real) < static_cast<int>(sizeof bin) &&
            snprintf(prog, sizeof prog, "%s/%s", real, TF_PROGFILE) < static_cast<int>(sizeof prog) &&
            is_real_dir(bin) && is_this_program(prog);
  if (!ok) {
    fprintf(stderr, "tolvflush: %s is not the installation of this program\n", ba_settings.home);
    exit(1);
  }
  char *resolved = ba_strdup(real);
  if (resolved == nullptr) {
    fputs("malloc() failed\n", stderr);
    exit(1);
  }
  ba_release(ba_settings.home);
  ba_settings.home = resolved;
}

// Reads and checks the configuration of the settings' DBS; exits 1 with the catalog text of the
// error number, formatted with the detail and the system error number of the failure.
void read_configuration() {
  int code = ba_readconf(1, "");
  if (code == 0) return;
  int err = errno;  // the catalog lookup below does file I/O of its own
  ba_msgformat(stderr, ba_msgtext(code), ba_conferr, err);
  fputs("\n", stderr);
  exit(1);
}

void attach_and_register() {
  if (bm_init(dbsconfig.dbskey, dbsconfig.shmaddr) == nullptr)
    db_fatal(1, "tolvflush:bm_init failed\n");
  if (bm_dbs->state != DBS_ONLINE) db_fatal(1, "DBS not in online mode\n");
  if (bm_usrin(bm_dbs, TF_USERNAME, "", "", "local") == -1) db_fatal(1, "bm_usrin failed\n");
}

// ---- After registration: the running daemon ---------------------------------------------------

// Why the main loop ended.
enum class stopreason { sigterm, offline, slotgone };

// The status record (ad_status.h) of this daemon; not kept when its file cannot be had.
struct statusrecord {
  adstatusfile file;
  adstatus now;
  bool kept = false;
  bool failing = false;  // the last write failed (logged once, not once a second)
};

void record(statusrecord &r) {
  if (!r.kept) return;
  bool failed = ad_statuswrite(&r.file, r.now) != 0;
  if (failed && !r.failing)
    bm_logerr("tolvflush: status record not written: %s\n", strerror(errno));
  r.failing = failed;
}

void start_record(statusrecord &r) {
  r.now.pid = bm_mypid;
  r.now.started = time(nullptr);
  r.now.share = bm_dbs->flushpct;
  snprintf(r.now.state, sizeof r.now.state, "running");
  r.kept = ad_statusopen(&r.file, ba_settings.home, ba_settings.dbsname) == 0;
  if (!r.kept) bm_logerr("tolvflush: no status record: %s\n", strerror(errno));
  record(r);
}

void record_pass(statusrecord &r) {
  r.now.passes++;
  r.now.share = bm_dbs->flushpct;
  r.now.written = ad_counters.written;
  r.now.failures = ad_counters.failures;
  r.now.lastpass = time(nullptr);
  record(r);
}

// Whether the own slot still carries this process. A server may have cleared it (believing the
// daemon dead); the daemon must then neither write into it nor go on flushing.
bool slot_still_mine() {
  return bm_myslot->pid == bm_mypid && bm_myslot->progname[0] != '\0';
}

// Once registered the daemon needs nothing of its caller: standard input, output and error go
// to /dev/null, so that no caller that reads them (out=$(tolvflush dbs), ssh, a service
// manager, tolvdb daemon start) waits until the daemon ends. Later diagnostics go to the DBS
// message log. Without /dev/null the three descriptors are closed, which lets go all the same.
void let_go_of_caller() {
  fflush(stdout);
  fflush(stderr);
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
    if (null < 0 || dup2(null, fd) < 0) close(fd);
  }
  if (null > STDERR_FILENO) close(null);
}

// The main loop: a pass, the stamp, a second's sleep, as long as the DBS is online, no SIGTERM
// came and the slot is still the daemon's.
stopreason run_passes(statusrecord &r) {
  for (;;) {
    if (term_req != 0) return stopreason::sigterm;
    if (bm_dbs->state != DBS_ONLINE) return stopreason::offline;
    if (!slot_still_mine()) return stopreason::slotgone;
    flushall();
    if (!slot_still_mine()) return stopreason::slotgone;
    bm_myslot->seenstamp = bm_dbs->dbsstamp;
    record_pass(r);
    ba_sleep(1);
  }
}

// Logs the end with its reason and leaves it in the status record.
void record_end(statusrecord &r, stopreason why) {
  char text[AD_STATELEN - sizeof "stopped: " + 1];
  switch (why) {
    case stopreason::sigterm:
      snprintf(text, sizeof text, "SIGTERM");
      break;
    case stopreason::offline:
      snprintf(text, sizeof text, "DBS offline (state %d)", bm_dbs->state);
      break;
    case stopreason::slotgone:
      snprintf(text, sizeof text, "user slot gone");
      break;
  }
  bm_logmsg("tolvflush: process %d stops after %lld passes: %s\n", bm_mypid,
            static_cast<long long>(r.now.passes), text);
  snprintf(r.now.state, sizeof r.now.state, "stopped: %s", text);
  record(r);
  ad_statusclose(&r.file);
}

// The registered daemon: announces itself, lets go of its caller, runs its passes, and leaves.
int run_daemon() {
  statusrecord r;
  bm_logmsg("tolvflush: process %d started in user slot %d, flush share %d\n", bm_mypid,
            bm_myuindex, bm_dbs->flushpct);
  start_record(r);
  let_go_of_caller();
  record_end(r, run_passes(r));
  return bm_usrout(bm_mypid);
}

}  // namespace

void flushall() {
  for (int i = 0; i < bm_dbs->nlists; i++) ad_flush(&bm_dbs->lists[i], bm_dbs->flushpct);
}

void on_term(int) { term_req = 1; }

int main(int argc, char **argv) {
  bm_myuindex = TF_NOTATTACHED;
  if (argc < 2) {
    fputs("usage: tolvflush <dbsname>\n", stderr);
    return 1;
  }
  if (strcmp(argv[1], "-V") == 0) {
    print_banner();
    return 0;
  }
  detach_from_caller();
  if (ba_readenv(stderr) != 0) return 1;
  if (ba_settings.dbshost != nullptr) {
    fputs("No remote use. Modify TOLVDBS\n", stderr);
    return 1;
  }
  check_installation_home();
  read_configuration();
  const char *dbsname = ba_settings.dbsname != nullptr ? ba_settings.dbsname : "";
  if (strcmp(argv[1], dbsname) != 0) {
    fprintf(stderr, "tolvflush: DBS mismatch #%s#%s#\n", argv[1], dbsname);
    return 1;
  }
  ba_chkfile(ba_settings.home, TF_PROGFILE, "root", "tolv", TF_PROGMODE);
  ba_sigset(1, 1);
  attach_and_register();
  ba_signal(SIGTERM, on_term);
  return run_daemon();
}
