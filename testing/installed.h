// installed.h: a DBS in a temporary installation, driven through the programs as an
// administrator drives it.
//
// InstalledDbs owns a TempInstall (TOLVDBS "testdbs", TOLVLANG "eng"), a free IPC key, and
// knows the built programs tolvdb and tolvflush. It writes the configuration file, installs the
// daemon as it is installed for real (bin/tolvflush, root:tolv 04750), runs the programs with
// their standard streams in files, and attaches the DBS in the test process to look at it. The
// test process is made a child subreaper, so that a daemon that detached from the process that
// started it is still its descendant: its exit status can be collected and it can never
// outlive the test. Destruction kills every daemon of the DBS and removes the segment and the
// semaphore set, whatever happened in the test.
//
// See also: tempinstall.h, segment.h (a segment without files), tools/tolvdb.cc.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "bm/shmstruct.h"
#include "testing/tempinstall.h"

namespace tolvtest {

// Exit status and the two standard streams of a finished program.
struct runresult {
  int status;  // exit status, or -1 when it did not end normally
  std::string out, err;
};

// A user to run a program as (real and effective ids), or none to run it as the test process.
struct runas {
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
};

// The system user tolv, or none when it does not exist.
runas tolv_user();
// Runs fn in a child process that has become user (groups dropped); fn's result (0 to 255) as
// the child's exit status, or -1 when the child could not become user or did not end
// normally. For the steps of an attack that only that user may take.
int as_user(runas user, const std::function<int()> &fn);

class InstalledDbs {
 public:
  InstalledDbs();
  ~InstalledDbs();
  InstalledDbs(const InstalledDbs &) = delete;
  InstalledDbs &operator=(const InstalledDbs &) = delete;

  const TempInstall &inst() const { return inst_; }
  int key() const { return key_; }
  // The partition file of the DBS (below the installation).
  std::string device() const { return inst_.path("dbs/root.dbs"); }

  // Writes etc/testdbs.cfg: a small valid DBS of 1200 pages on device() (head 0..2, log 3..302,
  // before-image area 303..402), 200 buffers in 2 lists, followed by extra lines that overwrite
  // earlier values.
  void configure(const std::string &extra = "") const;
  // Copies the built daemon to bin/tolvflush, owner root, group tolv, mode `mode`.
  void install_daemon(int mode = 04750) const;
  // configure() unless etc/testdbs.cfg exists, install_daemon(), then tolvdb create. Returns
  // tolvdb's result.
  runresult create();

  // Runs the program with args; the environment is the test process's (TOLVHOME, TOLVDBS).
  runresult run(const std::string &program, const std::vector<std::string> &args,
                runas user = runas()) const;
  runresult tolvdb(const std::vector<std::string> &args) const;
  // Runs the installed daemon bin/tolvflush with args (its parent's result comes back).
  runresult tolvflush(const std::vector<std::string> &args, runas user = runas()) const;
  // Runs the installed daemon and waits for the background process its parent leaves behind
  // (for start-ups that fail after the fork): the result is that process's exit status and the
  // output of both. A parent that does not end with 0 gives status -2.
  runresult tolvflush_detached(const std::vector<std::string> &args, runas user = runas()) const;

  // Attaches the DBS in the test process (bm_dbs bound to it); null when there is none.
  dbshead *attach();
  dbshead *head() const { return head_; }
  // The user slot registered as TOLVFLUSH once its registration is complete, or null.
  userslot *daemon_slot() const;
  // Waits for a descendant process (a detached daemon; -1: any) to end; its exit status, or -1
  // when it did not end normally or within timeout seconds (a named process is killed then).
  int wait_exit(pid_t pid, int timeout_seconds = 60) const;
  // The DBS message log so far, without the date and time of each line.
  std::string log_text() const;

 private:
  void kill_daemons() const;

  TempInstall inst_;
  int key_;
  dbshead *head_ = nullptr;
};

// Paths of the built programs.
std::string tolvdb_path();
std::string tolvflush_path();

}  // namespace tolvtest
