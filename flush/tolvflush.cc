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
//   running                SIGTERM handler on -> state not online, or term_req, seen at the top
//                                                of an iteration
//   ending                 loop left          -> bm_usrout returned; the process exits with it
// Start-up failures before the attach print to standard error and exit 1; from the attach on
// they go through db_fatal and exit -1. A SIGTERM during a pass does not interrupt it: the pass
// completes, the sleep is cut short and the loop ends at its next test.
//
// See also: ad_check (the pass over one list), bm_init and bm_user (attach, registration).
#include "flush/tolvflush.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "ba/ba_proto.h"
#include "bm/bm_proto.h"
#include "flush/ad_check.h"
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

  while (bm_dbs->state == DBS_ONLINE && term_req == 0) {
    flushall();
    bm_myslot->seenstamp = bm_dbs->dbsstamp;
    ba_sleep(1);
  }
  return bm_usrout(bm_mypid);
}
