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
//                                                (the SIGTERM handler is on before the attach)
//   running                registration done  -> state not online, term_req, or the own slot
//                                                gone, seen at the top of an iteration
//   ending                 loop left          -> bm_usrout returned; the process exits with it
// Start-up failures before the attach print to standard error and exit 1; from the attach on
// they go through db_fatal and exit -1. A SIGTERM during a pass does not interrupt it: the pass
// completes, the sleep is cut short and the loop ends at its next test.
// Once registered the daemon logs its start, points its standard streams at /dev/null (so no
// caller waits on them) and keeps a status record (ad_status.h) after every pass; its end is
// logged with the reason.
//
// Privileges. The program is installed root:tolv 04750 so that a DBS user (group tolv) can
// start it, and it runs set-user-id root because the DBS server's segment and semaphore set
// are mode 0600 of root. Everything the caller controls is input, not authority: its
// environment (TOLVHOME, TOLVDBS, TOLVLANG, TOLVNLS, TOLVNOCONFCHECK, ...), its current
// directory, umask and open descriptors, its files, and any segment or semaphore set it may
// create at the DBS key. The rule: run set-user-id, nothing of that may make the daemon open,
// create, write, truncate, chmod or reveal a file, or touch an IPC object, that the caller
// could not touch itself. How it is kept:
//  (1) Rights: the first thing main does is lower the effective user to the caller's
//      (ba_privinit); root stays only as the saved set-user-id. Settings, language file,
//      catalogs, configuration file and the examination of the partitions are all read with
//      the caller's rights, so no error message can reveal more than the caller could read.
//      Root is taken back only for the attach and kept for the semaphore operations of the
//      passes (the System V objects need it); from then on every partition is still opened
//      with the caller's rights (bm_openpart), and the message log is opened only as a
//      regular file of one link in the installation's log directory, never through a link.
//  (2) Installation: before anything is read from it, TOLVHOME must be this program's own
//      installation: its real path R holds bin/tolvflush, reached without a link, which is
//      this very program file and has exactly one link (a hard link elsewhere would let any
//      directory pass as the installation). Every later path is built from R; the DBS,
//      language and language-file names are plain names (ba_env), so no path leaves R.
//  (3) Objects: the configuration file must be a regular file of root or tolv, not a link;
//      partitions are examined before they are opened; the segment, its semaphore set and its
//      partition descriptors are checked against the key and the configuration (bm_init,
//      bm_openpart); the last-page probe cannot be switched off by the caller.
//  (4) Process: the caller's umask is replaced by 022, the working directory by "/", and the
//      standard descriptors 0 to 2 are opened on /dev/null when the caller closed them, so that
//      no file the daemon opens later can become its standard error.
// Dropping root altogether is not possible while the semaphores of a root-owned set are
// operated on in every pass; the checks above bound what root is used for.
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

// Run set-user-id: lowers the effective user to the caller's and makes the process
// independent of what the caller left it (trust rules (1) and (4) of the banner). Exits 1 when
// the rights cannot be lowered.
void take_callers_rights() {
  if (ba_privinit() != 0) {
    fprintf(stderr, "tolvflush: cannot lower the effective user. errno = %d\n", errno);
    exit(1);
  }
  if (ba_setuidrun() == 0) return;
  umask(022);
  if (chdir("/") != 0) {
    // "/" always exists; a failure leaves the process where it was, which it never uses.
  }
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) exit(1);
}

[[noreturn]] void not_installation(const char *home) {
  fprintf(stderr, "tolvflush: %s is not the installation of this program\n", home);
  exit(1);
}

// Whether path names the running program itself; exits 1 when it does but has another name
// too (a hard link to the program would make any directory look like its installation).
bool is_this_program(const char *path) {
  struct stat prog, self;
  bool same = lstat(path, &prog) == 0 && S_ISREG(prog.st_mode) &&
              stat("/proc/self/exe", &self) == 0 && prog.st_dev == self.st_dev &&
              prog.st_ino == self.st_ino;
  if (same && prog.st_nlink != 1) {
    fprintf(stderr, "tolvflush: %s has %d links; the program file must have one\n", path,
            static_cast<int>(prog.st_nlink));
    exit(1);
  }
  return same;
}

// Whether dir is a directory and not a symbolic link.
bool is_real_dir(const char *dir) {
  struct stat st;
  return lstat(dir, &st) == 0 && S_ISDIR(st.st_mode);
}

// Run set-user-id, the daemon trusts an installation directory only when it is the one the
// running program was installed in: TOLVHOME comes from whoever started it, and with it the
// configuration, the log path and the segment key. The home is resolved to its real path R;
// R/bin/tolvflush must be this very program, of one link, reached without a symbolic link
// below R. Every later path is built from R. Runs before anything is read from the
// installation. Run normally, nothing changes.
void check_installation_home() {
  if (ba_setuidrun() == 0) return;
  char real[PATH_MAX];
  char bin[PATH_MAX + 8];
  char prog[PATH_MAX + 24];
  bool ok = realpath(ba_settings.home, real) != nullptr &&
            ba_pathfmt(bin, sizeof bin, "%s/bin", real) &&
            ba_pathfmt(prog, sizeof prog, "%s/%s", real, TF_PROGFILE) && is_real_dir(bin) &&
            is_this_program(prog);
  if (!ok) not_installation(ba_settings.home);
  char *resolved = ba_strdup(real);
  if (resolved == nullptr) {
    fputs("malloc() failed\n", stderr);
    exit(1);
  }
  ba_release(ba_settings.home);
  ba_settings.home = resolved;
}

// Loads the settings (step 5); run set-user-id, the installation is checked between the
// settings that name it and the language file, the first thing read from it. Exits 1 on
// failure (the message is printed).
void load_settings() {
  if (ba_envhome(stderr) != 0) exit(1);
  check_installation_home();
  if (ba_envrest(stderr) != 0) exit(1);
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
  // The segment and semaphores of a DBS that root made need root (trust rule (1)).
  if (ba_privraise() != 0) db_fatal(1, "tolvflush: cannot take the privileged user\n");
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
  take_callers_rights();
  detach_from_caller();
  load_settings();
  if (ba_settings.dbshost != nullptr) {
    fputs("No remote use. Modify TOLVDBS\n", stderr);
    return 1;
  }
  read_configuration();
  const char *dbsname = ba_settings.dbsname != nullptr ? ba_settings.dbsname : "";
  if (strcmp(argv[1], dbsname) != 0) {
    fprintf(stderr, "tolvflush: DBS mismatch #%s#%s#\n", argv[1], dbsname);
    return 1;
  }
  ba_chkfile(ba_settings.home, TF_PROGFILE, "root", "tolv", TF_PROGMODE);
  ba_sigset(1, 1);
  // The stop request is honoured before the daemon is visible in the user table: from then on
  // whoever sees it may send SIGTERM, and a signal ignored while the registration finishes
  // would be lost for good. An early one only sets the flag; the loop ends at its first test.
  ba_signal(SIGTERM, on_term);
  attach_and_register();
  return run_daemon();
}
