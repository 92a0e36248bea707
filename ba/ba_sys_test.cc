// Tests of ba_sys: the installation check (messages byte for byte, exit status, order of the
// checks), the wrappers, the terminal name and echo, detaching, spawning through PATH, the
// argument vectors, the DBS log file, date and time texts, host addresses and the text
// utilities. Multi-process behaviour runs in real child processes; the error paths have
// suites of their own (...Errors).
#include "ba/ba_sys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "ba/ba_mem.h"
#include "ba/globals.h"
#include "testing/tempinstall.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using tolvtest::TempInstall;

// ---- Helpers -----------------------------------------------------------------------------

bool full_match(const std::string &text, const char *pattern) {
  return std::regex_match(text, std::regex(pattern));
}

std::string read_fd(int fd) {
  std::string s;
  char buf[512];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, n);
  return s;
}

// What a child process left behind: its wait status and its standard output and error.
struct ChildRun {
  int status;
  std::string out;
  std::string err;
  bool exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// Runs fn in a forked child whose standard output and error go to files and whose standard
// input is /dev/null; the child exits with fn's result (unless fn ends it itself).
template <typename Fn>
ChildRun run_in_child(Fn fn) {
  FILE *out = tmpfile(), *err = tmpfile();
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    int rc = fn();
    fflush(nullptr);
    _exit(rc);
  }
  ChildRun r{};
  waitpid(pid, &r.status, 0);
  r.out = read_fd(fileno(out));
  r.err = read_fd(fileno(err));
  fclose(out);
  fclose(err);
  return r;
}

// Sets an environment variable for the life of the object and restores it afterwards.
class EnvVar {
 public:
  EnvVar(const char *name, const char *value) : name_(name) {
    const char *old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~EnvVar() {
    if (had_)
      setenv(name_.c_str(), old_.c_str(), 1);
    else
      unsetenv(name_.c_str());
  }

 private:
  std::string name_, old_;
  bool had_;
};

// Points the settings' home and dbsname at owned copies, as a load would.
class LogSettings {
 public:
  LogSettings(const std::string &home, const std::string &dbs) {
    ba_settings.home = ba_strdup(home.c_str());
    ba_settings.dbsname = ba_strdup(dbs.c_str());
  }
  ~LogSettings() {
    ba_release(ba_settings.home);
    ba_release(ba_settings.dbsname);
    ba_settings.home = ba_settings.dbsname = nullptr;
  }
};

void write_file(const std::string &path, const std::string &contents, mode_t mode) {
  FILE *f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr) << path;
  fputs(contents.c_str(), f);
  fclose(f);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

// ---- Installation check ------------------------------------------------------------------

// Files with a chosen owner, group and mode; chown needs root.
class InstallCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the files their owner and group";
  }

  // Creates rel below home with the owner, group and mode given.
  std::string install(uid_t uid, gid_t gid, mode_t mode, const std::string &rel = kProg) {
    std::string p = inst_.path(rel);
    inst_.write(rel, "#!/bin/sh\n");
    EXPECT_EQ(chown(p.c_str(), uid, gid), 0);
    EXPECT_EQ(chmod(p.c_str(), mode), 0);
    return p;
  }

  // ba_chkfile in a child against root/bin/04750 (or the values given).
  ChildRun check(const char *user = "root", const char *group = "bin", int mode = 04750,
                 const std::string &rel = kProg) {
    return run_in_child([&] {
      return ba_chkfile(inst_.home().c_str(), rel.c_str(), user, group, mode);
    });
  }

  static constexpr const char *kProg = "bin/tolvflush";
  static constexpr uid_t kRoot = 0, kBin = 2;    // users root and bin
  static constexpr gid_t kGrBin = 2, kGrDaemon = 1;  // groups bin and daemon
  TempInstall inst_;
};

TEST_F(InstallCheck, MatchingFileReturnsZero) {
  install(kRoot, kGrBin, 04750);
  EXPECT_EQ(ba_chkfile(inst_.home().c_str(), kProg, "root", "bin", 04750), 0);
}

TEST_F(InstallCheck, InstalledDaemonOwnedByRootAndTolv) {
  const struct group *tolv = getgrnam("tolv");
  if (tolv == nullptr) GTEST_SKIP() << "the group tolv does not exist on this system";
  install(kRoot, tolv->gr_gid, 04750);
  EXPECT_EQ(ba_chkfile(inst_.home().c_str(), kProg, "root", "tolv", 04750), 0);
}

TEST_F(InstallCheck, MissingSetUserIdBitIsBadPermission) {
  std::string p = install(kRoot, kGrBin, 0750);
  ChildRun r = check();
  EXPECT_TRUE(r.exited(1));
  EXPECT_EQ(r.err, "Bad permission of " + p + ". Expected 04750\n");
}

TEST_F(InstallCheck, SetGroupIdBitCountsInThePermission) {
  std::string p = install(kRoot, kGrBin, 02750);
  ChildRun r = check("root", "bin", 0750);
  EXPECT_TRUE(r.exited(1));
  EXPECT_EQ(r.err, "Bad permission of " + p + ". Expected 0750\n");
}

TEST_F(InstallCheck, OwnerIsReportedBeforeGroupAndMode) {
  std::string p = install(kBin, kGrDaemon, 0750);
  ChildRun r = check();
  EXPECT_TRUE(r.exited(1));
  EXPECT_EQ(r.err, "Bad owner of " + p + ". Expected root\n");
}

TEST_F(InstallCheck, GroupIsReportedBeforeMode) {
  std::string p = install(kRoot, kGrDaemon, 0750);
  ChildRun r = check();
  EXPECT_TRUE(r.exited(1));
  EXPECT_EQ(r.err, "Bad group of " + p + ". Expected bin\n");
}

TEST_F(InstallCheck, MissingUser) {
  install(kRoot, kGrBin, 04750);
  ChildRun r = check("tolvnosuchuser");
  EXPECT_TRUE(r.exited(1));
  EXPECT_EQ(r.err, "User tolvnosuchuser does not exist\n");
}

TEST_F(InstallCheck, MissingGroup) {
  install(kRoot, kGrBin, 04750);
  ChildRun r = check("root", "tolvnosuchgroup");
  EXPECT_TRUE(r.exited(1));
  EXPECT_EQ(r.err, "Group tolvnosuchgroup does not exist\n");
}

TEST_F(InstallCheck, MissingFileIsReportedBeforeTheUserLookup) {
  ChildRun r = check("tolvnosuchuser");
  EXPECT_TRUE(r.exited(1));
  EXPECT_EQ(r.err, "stat() of " + inst_.path(kProg) + " failed. errno = 2\n");
}

// The first 299 characters of the over-long path name a correctly installed file: the check
// must not accept it in place of the file asked for.
TEST_F(InstallCheck, PathTooLongIsRefusedNotCut) {
  std::string rel = std::string(200, 'd') + "/" + std::string(150, 'f');
  std::string full = inst_.home() + "/" + rel;
  std::string cut = full.substr(0, SYS_CHKPATHLEN - 1);
  install(kRoot, kGrBin, 04750, cut.substr(inst_.home().size() + 1));
  ChildRun r = check("root", "bin", 04750, rel);
  EXPECT_TRUE(r.exited(1));
  EXPECT_EQ(r.err, "stat() of " + cut + " failed. errno = 36\n");
}

// ---- Process, signal and descriptor wrappers ---------------------------------------------

TEST(ProcessWrappers, IdsAreTheProcessOwn) {
  EXPECT_EQ(ba_getpid(), static_cast<int>(getpid()));
  EXPECT_EQ(ba_getppid(), static_cast<int>(getppid()));
}

TEST(ProcessWrappers, SetpgrpMakesTheProcessAGroupLeader) {
  ChildRun r = run_in_child([] {
    if (ba_setpgrp() != 0) return 2;
    return getpgrp() == getpid() ? 0 : 1;
  });
  EXPECT_TRUE(r.exited(0));
}

TEST(ProcessWrappers, KillDeliversTheSignalAndWaitpidReportsIt) {
  pid_t child = fork();
  if (child == 0) {
    for (;;) pause();
  }
  ASSERT_EQ(ba_kill(child, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(ba_waitpid(child, &status), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(ProcessWrappers, KillhardSendsSigkillThroughAnIgnoredTerm) {
  pid_t child = fork();
  if (child == 0) {
    signal(SIGTERM, SIG_IGN);
    for (;;) pause();
  }
  ASSERT_EQ(ba_killhard(child), 0);
  int status = 0;
  ASSERT_EQ(ba_waitpid(child, &status), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

TEST(ProcessWrappers, SleepOfZeroSecondsReturnsAtOnce) { EXPECT_EQ(ba_sleep(0), 0u); }

TEST(DescriptorWrappers, PipeCarriesWrittenBytes) {
  int fds[2];
  ASSERT_EQ(ba_pipe(fds), 0);
  EXPECT_EQ(ba_write(fds[1], "abc", 3), 3);
  char buf[8] = {};
  EXPECT_EQ(ba_read(fds[0], buf, sizeof buf), 3);
  EXPECT_STREQ(buf, "abc");
  close(fds[0]);
  close(fds[1]);
}

int g_ackfd = -1;
volatile sig_atomic_t g_signals;
void ack_signal(int) {
  g_signals = g_signals + 1;
  char c = 'k';
  if (write(g_ackfd, &c, 1) < 0) g_ackfd = -1;
}

// Waits until process pid is blocked (state S) so that a signal interrupts its system call.
void wait_until_blocked(pid_t pid) {
  std::string stat = "/proc/" + std::to_string(pid) + "/stat";
  for (int tries = 0; tries < 10000; tries++) {
    std::string s = tolvtest::read_file(stat);
    size_t paren = s.rfind(')');
    if (paren == std::string::npos || paren + 2 >= s.size() || s[paren + 2] == 'S') return;
    usleep(1000);
  }
}

// The handler is installed without SA_RESTART, so a plain read would fail with EINTR; the
// child sends the signal while the parent waits for data, sees the handler's
// acknowledgement and only then writes.
TEST(DescriptorWrappers, ReadInterruptedBeforeAnyDataContinues) {
  int data[2], ack[2];
  ASSERT_EQ(pipe(data), 0);
  ASSERT_EQ(pipe(ack), 0);
  g_ackfd = ack[1];
  struct sigaction sa {};
  sa.sa_handler = ack_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
  pid_t parent = getpid();
  pid_t child = fork();
  if (child == 0) {
    wait_until_blocked(parent);
    kill(parent, SIGUSR1);
    char c;
    if (read(ack[0], &c, 1) != 1) _exit(2);
    _exit(write(data[1], "xyz", 3) == 3 ? 0 : 3);
  }
  char buf[8] = {};
  EXPECT_EQ(ba_read(data[0], buf, sizeof buf), 3);
  EXPECT_STREQ(buf, "xyz");
  EXPECT_EQ(g_signals, 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(SharedMemoryWrappers, CreateAttachStatDetachRemove) {
  int id = ba_shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
  ASSERT_GE(id, 0);
  void *p = ba_shmattach(id, nullptr, 0);
  ASSERT_NE(p, reinterpret_cast<void *>(-1));
  memcpy(p, "tolv", 5);
  struct shmid_ds ds {};
  EXPECT_EQ(ba_shmctl(id, IPC_STAT, &ds), 0);
  EXPECT_EQ(ds.shm_segsz, 4096u);
  void *again = ba_shmattach(id, nullptr, SHM_RDONLY);
  ASSERT_NE(again, reinterpret_cast<void *>(-1));
  EXPECT_STREQ(static_cast<char *>(again), "tolv");
  EXPECT_EQ(ba_shmdt(again), 0);
  EXPECT_EQ(ba_shmdt(p), 0);
  EXPECT_EQ(ba_shmctl(id, IPC_RMID, nullptr), 0);
}

TEST(WrapperErrors, NegativeCountsAreRefused) {
  int fds[2];
  ASSERT_EQ(ba_pipe(fds), 0);
  char buf[4];
  errno = 0;
  EXPECT_EQ(ba_read(fds[0], buf, -1), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ba_write(fds[1], buf, -1), -1);
  EXPECT_EQ(errno, EINVAL);
  close(fds[0]);
  close(fds[1]);
}

TEST(WrapperErrors, FailuresPassTheSystemResultThrough) {
  errno = 0;
  EXPECT_EQ(ba_read(-1, nullptr, 1), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(ba_shmattach(-1, nullptr, 0), reinterpret_cast<void *>(-1));
  EXPECT_EQ(ba_shmdt(reinterpret_cast<void *>(0x1000)), -1);
  EXPECT_EQ(ba_shmctl(-1, IPC_STAT, nullptr), -1);
  errno = 0;
  EXPECT_EQ(ba_shmget(IPC_PRIVATE, -1, IPC_CREAT | 0600), -1);
  EXPECT_EQ(errno, EINVAL);
  int status;
  EXPECT_EQ(ba_waitpid(getpid(), &status), -1);
  EXPECT_EQ(errno, ECHILD);
}

// ---- Terminal ----------------------------------------------------------------------------

// A pseudo terminal: the master and the open slave.
struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
      name = ptsname(master);
      slave = open(name.c_str(), O_RDWR | O_NOCTTY);
    }
  }
  ~Pty() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
  int master = -1, slave = -1;
  std::string name;
};

TEST(Terminal, TtynameWithoutAnyTerminalIsDash) {
  ChildRun r = run_in_child([] { return fputs(ba_ttyname(), stdout) < 0; });
  EXPECT_TRUE(r.exited(0));
  EXPECT_EQ(r.out, "-");
}

TEST(Terminal, TtynameOfStandardInput) {
  Pty pty;
  ASSERT_GE(pty.slave, 0);
  ChildRun r = run_in_child([&] {
    dup2(pty.slave, STDIN_FILENO);
    return fputs(ba_ttyname(), stdout) < 0;
  });
  EXPECT_EQ(r.out, pty.name);
}

TEST(Terminal, TtynameFallsBackToStandardError) {
  Pty pty;
  ASSERT_GE(pty.slave, 0);
  ChildRun r = run_in_child([&] {
    std::string name = ba_ttyname();  // standard error is still a file here
    dup2(pty.slave, STDERR_FILENO);
    name += " " + std::string(ba_ttyname());
    return fputs(name.c_str(), stdout) < 0;
  });
  EXPECT_EQ(r.out, "- " + pty.name);
}

TEST(Terminal, EchoOffAndOnChangeTheTerminalAtOnce) {
  Pty pty;
  ASSERT_GE(pty.slave, 0);
  ChildRun r = run_in_child([&] {
    dup2(pty.slave, STDIN_FILENO);
    struct termios t;
    if (ba_echooff() != 0 || tcgetattr(pty.slave, &t) != 0 || (t.c_lflag & ECHO) != 0)
      return 1;
    if (ba_echoon() != 0 || tcgetattr(pty.slave, &t) != 0 || (t.c_lflag & ECHO) == 0)
      return 2;
    return 0;
  });
  EXPECT_TRUE(r.exited(0)) << r.status;
}

TEST(TerminalErrors, EchoWithoutTerminalFails) {
  ChildRun r = run_in_child([] { return (ba_echooff() == -1 && errno == ENOTTY) ? 0 : 1; });
  EXPECT_TRUE(r.exited(0));
}

// The process that calls ba_detach leaves with 0; what goes on is a child that leads its own
// process group in the directory asked for, and reports through a pipe.
TEST(Detach, ParentExitsZeroAndChildLeadsItsOwnGroup) {
  TempInstall inst;
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  ChildRun r = run_in_child([&] {
    close(report[0]);
    ba_detach(inst.home().c_str());
    char cwd[512] = {};
    if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '?';
    std::string line = std::to_string(getpid()) + " " + std::to_string(getpgrp()) + " " + cwd;
    _exit(write(report[1], line.data(), line.size()) < 0);
    return 9;
  });
  close(report[1]);
  std::string line = read_fd(report[0]);
  close(report[0]);
  EXPECT_TRUE(r.exited(0));
  int pid = 0, pgrp = 0;
  char cwd[512] = {};
  ASSERT_EQ(sscanf(line.c_str(), "%d %d %511s", &pid, &pgrp, cwd), 3) << line;
  EXPECT_EQ(pgrp, pid);
  EXPECT_NE(pgrp, static_cast<int>(getpgrp()));
  EXPECT_EQ(std::string(cwd), inst.home());
}

// ---- Running another program -------------------------------------------------------------

// Directories with probe scripts that record their own path ($0 is the path the kernel was
// given) and their arguments into a file, so the program a spawn ran is observable.
class Spawn : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *d : {"d1", "d2", "d3", "cwd"}) tolvtest::make_dirs(inst_.path(d));
    probe("d2/tolvprobe");
    probe("d3/tolvprobe");
    probe("cwd/tolvprobe");
  }

  void probe(const std::string &rel) {
    write_file(inst_.path(rel),
               "#!/bin/sh\necho \"$0|$1|$2\" > " + inst_.path("out") + "\n", 0755);
  }

  // Spawns and waits; the wait status, or -1 when the spawn failed.
  int spawn_wait(const char *file, std::vector<const char *> args, int keepfds = 0) {
    args.push_back(nullptr);
    int pid = 0;
    if (ba_spawn(file, const_cast<char **>(args.data()), &pid, keepfds) != 0) return -1;
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return status;
  }

  // The line the probe wrote, without its newline.
  std::string ran() {
    std::string s = inst_.read("out");
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }

  std::string d(const char *name) { return inst_.path(name); }

  TempInstall inst_;
};

TEST_F(Spawn, LsIsFoundAlongAPathWithAnEmptyComponent) {
  EnvVar path("PATH", "/bin::/usr/bin");
  int saved = dup(STDOUT_FILENO);
  int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  int status = spawn_wait(nullptr, {"ls", "-d", "/"}, 1);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(null);
  ASSERT_NE(status, -1);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// execvp would read the empty component as the working directory and run cwd/tolvprobe.
TEST_F(Spawn, EmptyComponentIsSkippedNotTakenAsWorkingDirectory) {
  std::string p = d("d1") + "::" + d("d2");
  EnvVar path("PATH", p.c_str());
  char old[512];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(d("cwd").c_str()), 0);
  int status = spawn_wait(nullptr, {"tolvprobe", "a b", "c"});
  ASSERT_EQ(chdir(old), 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ran(), d("d2") + "/tolvprobe|a b|c");
}

TEST_F(Spawn, DirectoryEndingInSlashGetsNoSecondSlash) {
  std::string p = d("d3") + "/";
  EnvVar path("PATH", p.c_str());
  spawn_wait(nullptr, {"tolvprobe"});
  EXPECT_EQ(ran(), d("d3") + "/tolvprobe||");
}

TEST_F(Spawn, FileNameTakesPrecedenceOverArgvZero) {
  std::string p = d("d2");
  EnvVar path("PATH", p.c_str());
  spawn_wait("tolvprobe", {"someothername", "x"});
  EXPECT_EQ(ran(), d("d2") + "/tolvprobe|x|");
}

TEST_F(Spawn, AbsoluteNameIsNotSearched) {
  EnvVar path("PATH", d("d2").c_str());
  std::string prog = d("d3") + "/tolvprobe";
  spawn_wait(prog.c_str(), {"tolvprobe"});
  EXPECT_EQ(ran(), prog + "||");
}

TEST_F(Spawn, WithoutPathTheNameItselfRuns) {
  EnvVar path("PATH", nullptr);
  char old[512];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(d("cwd").c_str()), 0);
  int status = spawn_wait("tolvprobe", {"tolvprobe", "y"});
  ASSERT_EQ(chdir(old), 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ran(), "tolvprobe|y|");
}

// A directory named like the program comes first on PATH; it passes an access check but is
// no program.
TEST_F(Spawn, DirectoryOfTheProgramNameIsPassedOver) {
  tolvtest::make_dirs(d("d1") + "/tolvprobe");
  std::string p = d("d1") + ":" + d("d2");
  EnvVar path("PATH", p.c_str());
  spawn_wait(nullptr, {"tolvprobe"});
  EXPECT_EQ(ran(), d("d2") + "/tolvprobe||");
}

// The descriptors of the parent reach the child only with keepfds.
TEST_F(Spawn, DescriptorsAreClosedUnlessKept) {
  write_file(d("d1") + "/tolvecho", "#!/bin/sh\necho kept >&\"$1\"\n", 0755);
  EnvVar path("PATH", d("d1").c_str());
  for (int keep : {0, 1}) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string fd = std::to_string(fds[1]);
    spawn_wait(nullptr, {"tolvecho", fd.c_str()}, keep);
    close(fds[1]);
    EXPECT_EQ(read_fd(fds[0]), keep ? "kept\n" : "") << keep;
    close(fds[0]);
  }
}

TEST_F(Spawn, VectorBuiltWithAddargRuns) {
  EnvVar path("PATH", d("d2").c_str());
  char **argv = nullptr;
  for (const char *a : {"tolvprobe", "one", "two"}) ASSERT_NE(ba_addarg(&argv, a), nullptr);
  int pid = 0;
  ASSERT_EQ(ba_spawn(nullptr, argv, &pid, 0), 0);
  int status = 0;
  waitpid(pid, &status, 0);
  ba_freeargs(argv);
  EXPECT_EQ(ran(), d("d2") + "/tolvprobe|one|two");
}

TEST_F(Spawn, NotFoundOnPathIsEnoent) {
  EnvVar path("PATH", d("d1").c_str());
  int pid = 4711;
  errno = 0;
  char *argv[] = {const_cast<char *>("tolvprobe"), nullptr};
  EXPECT_EQ(ba_spawn(nullptr, argv, &pid, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(pid, 4711);
}

TEST_F(Spawn, NoNameIsEnoent) {
  errno = 0;
  EXPECT_EQ(ba_spawn(nullptr, nullptr, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(Spawn, AbsoluteNameMustBeExecutable) {
  write_file(d("d1") + "/plain", "#!/bin/sh\n", 0644);
  std::string plain = d("d1") + "/plain", missing = d("d1") + "/missing";
  errno = 0;
  EXPECT_EQ(spawn_wait(plain.c_str(), {"plain"}), -1);
  EXPECT_EQ(errno, EACCES);
  errno = 0;
  EXPECT_EQ(spawn_wait(missing.c_str(), {"missing"}), -1);
  EXPECT_EQ(errno, ENOENT);
}

// The file is executable but has no format the system can execute; the shell is not asked
// to run it, the child exits 25.
TEST_F(Spawn, ExecFailureEndsTheChildWithStatus25) {
  write_file(d("d1") + "/tolvjunk", "\x01\x02\x03 not a program\n", 0755);
  EnvVar path("PATH", d("d1").c_str());
  int status = spawn_wait(nullptr, {"tolvjunk"});
  ASSERT_NE(status, -1);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), SYS_SPAWNFAIL);
}

// A PATH component of more than 500 characters whose candidate, cut to the buffer, would
// name an existing program (d2/tolvp): the candidate is skipped, the search goes on to d3.
TEST_F(Spawn, OverlongCandidateIsSkippedNeverCut) {
  std::string longdir = d("d2") + std::string(SYS_SPAWNPATHLEN, '/');
  longdir.resize(SYS_SPAWNPATHLEN - 1 - 5);  // leaves room for "tolvp" in the cut candidate
  write_file(d("d2") + "/tolvp",
             "#!/bin/sh\necho cut > " + inst_.path("out") + "\n", 0755);
  std::string p = longdir + ":" + d("d3");
  EnvVar path("PATH", p.c_str());
  spawn_wait(nullptr, {"tolvprobe"});
  EXPECT_EQ(ran(), d("d3") + "/tolvprobe||");

  EnvVar only("PATH", longdir.c_str());
  errno = 0;
  EXPECT_EQ(spawn_wait(nullptr, {"tolvprobe"}), -1);
  EXPECT_EQ(errno, ENOENT);
}

// ---- Argument vectors --------------------------------------------------------------------

TEST(ArgumentVector, AddargAppendsCopiesAndKeepsTheNullEnd) {
  char **vec = nullptr;
  std::string a = "first";
  char *copy = ba_addarg(&vec, a.c_str());
  ASSERT_NE(vec, nullptr);
  EXPECT_EQ(vec[0], copy);
  EXPECT_NE(copy, a.c_str());
  EXPECT_EQ(vec[1], nullptr);
  ba_addarg(&vec, "second");
  ba_addarg(&vec, "");
  EXPECT_STREQ(vec[0], "first");
  EXPECT_STREQ(vec[1], "second");
  EXPECT_STREQ(vec[2], "");
  EXPECT_EQ(vec[3], nullptr);
  ba_freeargs(vec);
  ba_freeargs(nullptr);
}

// With the memory-control allocator recording, every block of the vector is given back.
TEST(ArgumentVector, FreeargsReleasesStringsAndArray) {
  EnvVar ctl("TOLVMEMCTRL", "1");
  ba_settings.debug = 1;
  char **vec = nullptr;
  for (const char *s : {"a", "bb", "ccc", "dddd"}) ASSERT_NE(ba_addarg(&vec, s), nullptr);
  auto report = [] {
    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    ba_memreport(f);
    fclose(f);
    std::string s(text, len);
    free(text);
    return s;
  };
  EXPECT_EQ(report().find("Total:          0"), std::string::npos);
  ba_freeargs(vec);
  EXPECT_NE(report().find("Total:          0\n"), std::string::npos) << report();
  ba_settings.debug = 0;
}

// ---- Log file ----------------------------------------------------------------------------

TEST(LogFile, WithoutSettingsNothingIsWritten) {
  TempInstall inst;
  ba_log("nothing %d\n", 1);
  EXPECT_EQ(inst.read("log/testdbs"), "");
  EXPECT_EQ(inst.read("log/(null)"), "");
}

TEST(LogFile, EntryIsDateTimeAndText) {
  TempInstall inst;
  LogSettings s(inst.home(), "testdbs");
  ba_log("hello %d\n", 5);
  ba_log("%s\n", "again");
  std::string text = inst.read("log/testdbs");
  EXPECT_TRUE(full_match(
      text, "\\d\\d\\.\\d\\d\\.\\d\\d\\d \\d\\d:\\d\\d:\\d\\d hello 5\n"
            "\\d\\d\\.\\d\\d\\.\\d\\d\\d \\d\\d:\\d\\d:\\d\\d again\n"))
      << text;
}

TEST(LogFile, NoNewlineIsAdded) {
  TempInstall inst;
  LogSettings s(inst.home(), "testdbs");
  ba_log("one");
  ba_log("two\n");
  std::string text = inst.read("log/testdbs");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
  EXPECT_NE(text.find("one"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 4), "two\n");
}

TEST(LogFileErrors, MissingLogDirectoryFailsSilently) {
  TempInstall inst;
  tolvtest::remove_tree(inst.path("log"));
  LogSettings s(inst.home(), "testdbs");
  CaptureStderr();
  ba_log("lost\n");
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(inst.read("log/testdbs"), "");
}

// The cut path would name an existing file; the entry is refused instead.
TEST(LogFileErrors, PathTooLongIsRefusedNotCut) {
  TempInstall inst;
  std::string dbs = "sub/" + std::string(200, 'x') + "/" + std::string(SYS_LOGPATHLEN, 'y');
  std::string cut = (inst.home() + "/log/" + dbs).substr(0, SYS_LOGPATHLEN - 1);
  tolvtest::make_dirs(inst.path("log/sub/" + std::string(200, 'x')));
  write_file(cut, "", 0644);
  LogSettings s(inst.home(), dbs);
  ba_log("lost\n");
  EXPECT_EQ(tolvtest::read_file(cut), "");
}

// ---- Date and time texts -----------------------------------------------------------------

TEST(DateTime, DatestrIsDayMonthAndYearSince1900) {
  for (int attempt = 0; attempt < 2; attempt++) {  // a second try if midnight intervened
    time_t now = time(nullptr);
    std::string text = ba_datestr();
    struct tm tm {};
    localtime_r(&now, &tm);
    char want[40];
    snprintf(want, sizeof want, "%02d.%02d.%d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year);
    if (text != want && attempt == 0) continue;
    EXPECT_EQ(text, want);
    EXPECT_EQ(text.size(), 9u) << "years from 2000 on print with three digits";
  }
}

TEST(DateTime, Year2026PrintsAs126) {
  time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  if (tm.tm_year != 126) GTEST_SKIP() << "the clock is not in 2026";
  EXPECT_EQ(std::string(ba_datestr()).substr(6), "126");
}

TEST(DateTime, TimestrOfAGivenTime) {
  EnvVar tz("TZ", "UTC0");
  tzset();
  time_t t = 1772600767;  // 2026-03-04 05:06:07 UTC
  EXPECT_STREQ(ba_timestr(t), "05:06:07");
  EXPECT_TRUE(full_match(ba_timestr(-1), "\\d\\d:\\d\\d:\\d\\d"));
}

TEST(DateTime, StampFrameAroundCtime) {
  std::string s = ba_stamp();
  EXPECT_TRUE(full_match(
      s, "---------- \\w\\w\\w \\w\\w\\w [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d\\d\\d\\d "
         "--------------\n"))
      << s;
  EXPECT_EQ(s.size(), 51u);
}

// ---- Host addresses ----------------------------------------------------------------------

TEST(HostAddress, LocalhostByName) {
  const struct hostent *h = ba_gethost("localhost");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->h_addrtype, AF_INET);
}

TEST(HostAddress, DottedAddress) {
  const struct hostent *h = ba_gethost("127.0.0.1");
  ASSERT_NE(h, nullptr);
  struct in_addr a;
  memcpy(&a, h->h_addr_list[0], sizeof a);
  EXPECT_EQ(a.s_addr, htonl(INADDR_LOOPBACK));
}

TEST(HostAddress, MyaddrGivesAddressAndItsText) {
  struct in_addr a {};
  char text[INET_ADDRSTRLEN] = {};
  if (ba_myaddr(&a, text) != 0) GTEST_SKIP() << "the own host name cannot be looked up here";
  struct in_addr parsed {};
  ASSERT_EQ(inet_pton(AF_INET, text, &parsed), 1) << text;
  EXPECT_EQ(parsed.s_addr, a.s_addr);
  EXPECT_EQ(ba_myaddr(nullptr, nullptr), 0);
}

TEST(HostAddressErrors, UnknownNameAndNull) {
  EXPECT_EQ(ba_gethost("no-such-host.invalid"), nullptr);
  EXPECT_EQ(ba_gethost(nullptr), nullptr);
}

// ---- Text utilities ----------------------------------------------------------------------

std::string rtrim(std::string s) {
  ba_rtrim(s.data());
  return s.c_str();
}
std::string ltrim(std::string s) {
  ba_ltrim(s.data());
  return s.c_str();
}

TEST(TextUtilities, Rtrim) {
  EXPECT_EQ(rtrim("ab  "), "ab");
  EXPECT_EQ(rtrim("   "), "");
  EXPECT_EQ(rtrim(""), "");
  EXPECT_EQ(rtrim("ab\t"), "ab\t");
  EXPECT_EQ(rtrim(" a b "), " a b");
  EXPECT_EQ(rtrim("ab \t "), "ab \t");
  ba_rtrim(nullptr);
}

TEST(TextUtilities, Ltrim) {
  EXPECT_EQ(ltrim("  ab "), "ab ");
  EXPECT_EQ(ltrim("   "), "");
  EXPECT_EQ(ltrim(""), "");
  EXPECT_EQ(ltrim("\tab"), "\tab");
  EXPECT_EQ(ltrim("a b"), "a b");
  ba_ltrim(nullptr);
}

TEST(TextUtilities, SetsepReplacesPointAndComma) {
  char s[] = "1.234,5";
  ba_setsep(s, ',');
  EXPECT_STREQ(s, "1,234,5");
  ba_setsep(s, '.');
  EXPECT_STREQ(s, "1.234.5");
}

TEST(TextUtilities, AtofReadsPointAndComma) {
  ba_settings.numpoint = '.';
  double v = 0;
  EXPECT_EQ(ba_atof("1.5", &v), 0);
  EXPECT_EQ(v, 1.5);
  EXPECT_EQ(ba_atof("-2,25e1", &v), 0);
  EXPECT_EQ(v, -22.5);
  EXPECT_EQ(ba_atof("7", &v), 0);
  EXPECT_EQ(v, 7.0);
}

// Before the settings are loaded numpoint is zero; the text must not be ended at its point.
TEST(TextUtilities, AtofBeforeTheSettingsAreLoaded) {
  double v = 0;
  EXPECT_EQ(ba_atof("3,75", &v), 0);
  EXPECT_EQ(v, 3.75);
}

TEST(TextUtilities, AtofTakesTwoHundredCharacters) {
  std::string t = std::string(SYS_ATOFMAX - 1, '0') + "5";
  double v = 0;
  EXPECT_EQ(ba_atof(t.c_str(), &v), 0);
  EXPECT_EQ(v, 5.0);
}

TEST(TextUtilities, StrncpyStoresTheZeroAtN) {
  char dst[8];
  memset(dst, 'x', sizeof dst);
  EXPECT_EQ(ba_strncpy(dst, "abcdef", 3), dst);
  EXPECT_STREQ(dst, "abc");
  EXPECT_EQ(dst[4], 'x');
  memset(dst, 'x', sizeof dst);
  ba_strncpy(dst, "ab", 5);
  EXPECT_EQ(std::string(dst, 6), std::string("ab\0\0\0\0", 6));
  EXPECT_EQ(dst[6], 'x');
  ba_strncpy(dst, "ab", -1);
  EXPECT_STREQ(dst, "");
}

TEST(TextUtilities, HexdumpPrintsEachByteInAFieldOfTwo) {
  const unsigned char data[] = {0x00, 0x0f, 0x10, 0xff};
  CaptureStderr();
  ba_hexdump(data, sizeof data);
  ba_hexdump(data, 0);
  EXPECT_EQ(GetCapturedStderr(), " 0  f 10 ff \n\n");
}

TEST(TextUtilities, DebugPrintsOnlyWithTheDebugSetting) {
  CaptureStderr();
  ba_debug("quiet %d\n", 1);
  ba_settings.debug = 1;
  ba_debug("loud %d\n", 2);
  ba_settings.debug = 0;
  EXPECT_EQ(GetCapturedStderr(), "loud 2\n");
}

struct DtoaCase {
  double value;
  int ndigits;
  const char *digits;
  int decpt;
  int sign;
};

TEST(TextUtilities, DtoaDigitsPointAndSign) {
  const DtoaCase cases[] = {
      {123.456, 4, "1235", 3, 0},  {-0.00123, 2, "12", -2, 1}, {100.0, 5, "1", 3, 0},
      {9.99, 2, "1", 2, 0},       {0.5, 0, "5", 0, 0},        {1e300, 3, "1", 301, 0},
      {2.5, 1, "2", 1, 0},         {3.5, 1, "4", 1, 0},        {0.0, 6, "0", 1, 0},
      {-0.0, 6, "0", 1, 1},        {-7.0, -3, "7", 1, 1},      {1.0 / 3, 6, "333333", 0, 0},
      {0.1, 17, "10000000000000001", 0, 0},
      {0.1, 100, "1000000000000000055511151231257827021182", 0, 0},
      {HUGE_VAL, 5, "Infinity", SYS_DTOASPECIAL, 0},
      {-HUGE_VAL, 5, "Infinity", SYS_DTOASPECIAL, 1},
      {NAN, 5, "NaN", SYS_DTOASPECIAL, 0},
  };
  for (const DtoaCase &c : cases) {
    int decpt = -12345, sign = -1;
    EXPECT_STREQ(ba_dtoa(c.value, c.ndigits, &decpt, &sign), c.digits) << c.value;
    EXPECT_EQ(decpt, c.decpt) << c.value;
    EXPECT_EQ(sign, c.sign) << c.value;
  }
}

TEST(TextUtilityErrors, AtofRejectsWhatIsNoWholeNumber) {
  ba_settings.numpoint = '.';
  for (const char *t : {"1.5x", "1.5 ", "", "abc", "1e999", "--1", "1.2.3"}) {
    double v = 42;
    errno = 0;
    EXPECT_EQ(ba_atof(t, &v), -1) << t;
    EXPECT_EQ(v, 42) << t;
  }
}

// Converting only the first 200 characters would report another number as a success.
TEST(TextUtilityErrors, AtofRefusesOverlongText) {
  std::string t = std::string(SYS_ATOFMAX, '0') + "5";
  double v = 42;
  errno = 0;
  EXPECT_EQ(ba_atof(t.c_str(), &v), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(v, 42);
  EXPECT_EQ(ba_atof(nullptr, &v), -1);
}

}  // namespace
