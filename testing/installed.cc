// installed: a DBS in a temporary installation, driven through the programs.
#include "testing/installed.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_init.h"
#include "testing/segment.h"
#include "tools/srv_create.h"

namespace tolvtest {

namespace {

bool key_free(int key) { return shmget(key, 0, 0) < 0 && semget(key, 0, 0) < 0; }

int free_key() {
  int key;
  do key = random_key();
  while (!key_free(key));
  return key;
}

// In the child: drops to user as (groups included) before the exec. A sanitized set-user-id
// program that has lowered its effective user may not trace itself, which LeakSanitizer needs
// at exit, so leak checking is switched off for a program run as another user.
bool become(runas as) {
  if (as.uid == static_cast<uid_t>(-1)) return true;
  const char *asan = getenv("ASAN_OPTIONS");
  std::string options = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
  setenv("ASAN_OPTIONS", options.c_str(), 1);
  return setgroups(0, nullptr) == 0 && setgid(as.gid) == 0 && setuid(as.uid) == 0;
}

}  // namespace

std::string tolvdb_path() { return TOLVDB_PATH; }
std::string tolvflush_path() { return TOLVFLUSH_PATH; }

runas tolv_user() {
  const passwd *pw = getpwnam("tolv");
  if (pw == nullptr) return runas();
  return runas{pw->pw_uid, pw->pw_gid};
}

int as_user(runas user, const std::function<int()> &fn) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(become(user) ? fn() : 255);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

InstalledDbs::InstalledDbs() : inst_("testdbs"), key_(free_key()) {
  TempInstall::setenv("TOLVLANG", "eng");
  make_dirs(inst_.path("dbs"));
  // Other users (a daemon started by the user tolv) must reach the installation.
  chmod(inst_.home().c_str(), 0755);
  prctl(PR_SET_CHILD_SUBREAPER, 1);
}

InstalledDbs::~InstalledDbs() {
  kill_daemons();
  srv_detach(head_);
  if (bm_dbs == head_) bm_dbs = nullptr;
  srv_remove(key_);
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

void InstalledDbs::configure(const std::string &extra) const {
  const std::string dir = inst_.path("dbs");
  inst_.write("etc/testdbs.cfg", "D " + std::to_string(key_) + "\n" +
                                     "S 8 2000 200 80 0x40000000 1 0\n"
                                     "C 300 1 2 8 4\n"
                                     "O 0 10 3 256\n"
                                     "R 32 30 0 1\n"
                                     "P 200\n"
                                     "B " + dir + " 4 100\n" +
                                     "T " + dir + " 4 100\n" +
                                     "F root " + device() + " 2400 0\n" +
                                     "L root 3 200\n" + extra);
}

void InstalledDbs::install_daemon(int mode) const {
  std::string bin = inst_.path("bin/tolvflush");
  std::filesystem::copy_file(tolvflush_path(), bin,
                             std::filesystem::copy_options::overwrite_existing);
  const group *gr = getgrnam("tolv");
  if (chown(bin.c_str(), 0, gr != nullptr ? gr->gr_gid : 0) != 0) perror("chown tolvflush");
  chmod(bin.c_str(), mode);
}

runresult InstalledDbs::create() {
  if (inst_.read("etc/testdbs.cfg").empty()) configure();
  install_daemon();
  return tolvdb({"create"});
}

runresult InstalledDbs::run(const std::string &program, const std::vector<std::string> &args,
                            runas user) const {
  std::string out = inst_.path("stdout"), err = inst_.path("stderr");
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(99);
    if (!become(user)) _exit(97);
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(98);
  }
  int status = wait_exit(pid);
  return {status, read_file(out), read_file(err)};
}

runresult InstalledDbs::tolvdb(const std::vector<std::string> &args) const {
  return run(tolvdb_path(), args);
}

runresult InstalledDbs::tolvflush(const std::vector<std::string> &args, runas user) const {
  return run(inst_.path("bin/tolvflush"), args, user);
}

runresult InstalledDbs::tolvflush_detached(const std::vector<std::string> &args,
                                           runas user) const {
  runresult parent = tolvflush(args, user);
  if (parent.status != 0) return {-2, parent.out, parent.err};
  int status = wait_exit(-1);
  return {status, inst_.read("stdout"), inst_.read("stderr")};
}

dbshead *InstalledDbs::attach() {
  if (head_ == nullptr && srv_attach(key_, &head_) == SRV_OK) bm_bind(head_);
  return head_;
}

// A slot counts once its registration is complete: bm_usrin fills the session number last
// (never 0), so a test never reads a field that the daemon is still filling.
userslot *InstalledDbs::daemon_slot() const {
  for (int i = 0; head_ != nullptr && i < head_->nusers; i++) {
    const userslot &u = head_->users[i];
    if (strcmp(u.progname, "TOLVFLUSH") == 0 && __atomic_load_n(&u.sessno, __ATOMIC_SEQ_CST) != 0)
      return &head_->users[i];
  }
  return nullptr;
}

int InstalledDbs::wait_exit(pid_t pid, int timeout_seconds) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  int status = 0;
  pid_t r;
  while ((r = waitpid(pid, &status, WNOHANG)) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      if (pid <= 0) return -1;  // never kill(-1): that would reach every process
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (r < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string InstalledDbs::log_text() const { return strip_stamps(inst_.read("log/testdbs")); }

void InstalledDbs::kill_daemons() const {
  for (userslot *u = daemon_slot(); u != nullptr; u = daemon_slot()) {
    pid_t pid = u->pid;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    memset(static_cast<void *>(u), 0, sizeof *u);
  }
}

}  // namespace tolvtest
