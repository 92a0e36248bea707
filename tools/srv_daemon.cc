// srv_daemon: starting, stopping and reporting the flush daemon of a DBS (srv_daemonstart,
// srv_daemonstop, srv_daemonstatus).
//
// How start learns the outcome: the daemon prints its start-up failures on standard error and
// ends; once registered it points its standard streams at /dev/null. So the pipe that start
// gives it as standard output and error reaches end of file exactly when the start-up is over,
// either way, and the user table tells which way it went. The process that start forks ends at
// once (the daemon detaches into a grandchild), or with the failure of a start-up that ends
// before the fork.
//
// See also: srv_daemon.h (the commands), flush/tolvflush.cc (let_go_of_caller).
#include "tools/srv_daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <thread>

#include "bm/bm_reap.h"
#include "tools/srv_create.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr size_t kSaidMax = 16384;  // bytes of the daemon's start-up output that are kept
constexpr int kNapMs = 10;

bool process_exists(int32_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

std::string program_path(const char *home) { return std::string(home) + "/bin/tolvflush"; }

// In the forked child: the daemon with the pipe as standard output and error.
[[noreturn]] void exec_daemon(const std::string &prog, const char *dbsname, int out) {
  int null = open("/dev/null", O_RDONLY);
  if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
      dup2(out, STDERR_FILENO) < 0)
    _exit(SRV_FAILED);
  char *argv[] = {const_cast<char *>(prog.c_str()), const_cast<char *>(dbsname), nullptr};
  execv(prog.c_str(), argv);
  dprintf(STDERR_FILENO, "cannot run %s: %s\n", prog.c_str(), strerror(errno));
  _exit(SRV_FAILED);
}

// Reads fd until end of file or the deadline; true at end of file.
bool read_to_eof(int fd, clock_type::time_point deadline, std::string *said) {
  char buf[512];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    if (said->size() < kSaidMax) said->append(buf, static_cast<size_t>(n));
  }
}

// The started process's own failure: it ended with a status other than 0 (it may also still
// run, when its fork failed and it is the daemon itself).
bool starter_failed(pid_t child, std::string *why) {
  int status = 0;
  if (waitpid(child, &status, WNOHANG) != child) return false;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return false;
  *why = WIFEXITED(status) ? "tolvflush ended with status " + std::to_string(WEXITSTATUS(status))
                           : "tolvflush ended by signal " + std::to_string(WTERMSIG(status));
  return true;
}

// Runs the daemon and waits for the end of its start-up; SRV_OK, or SRV_FAILED with *why.
int launch(const char *home, const char *dbsname, int seconds, std::string *why,
           std::string *said) {
  std::string prog = program_path(home);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *why = std::string("cannot make a pipe: ") + strerror(errno);
    return SRV_FAILED;
  }
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) exec_daemon(prog, dbsname, fds[1]);
  close(fds[1]);
  if (child < 0) {
    *why = std::string("cannot fork: ") + strerror(errno);
    close(fds[0]);
    return SRV_FAILED;
  }
  bool eof = read_to_eof(fds[0], clock_type::now() + std::chrono::seconds(seconds), said);
  close(fds[0]);
  if (starter_failed(child, why)) return SRV_FAILED;
  if (!eof) {
    *why = "tolvflush did not finish its start-up within " + std::to_string(seconds) + " seconds";
    return SRV_FAILED;
  }
  return SRV_OK;
}

std::string when(int64_t t) {
  if (t <= 0) return "never";
  char text[32] = "?";
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  if (localtime_r(&tt, &tm) != nullptr) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

std::string share_text(int32_t pct) {
  return pct == -1 ? "whole list (-1)" : std::to_string(pct) + "% of each list";
}

void record_lines(FILE *out, const adstatus &s, const dbshead *h) {
  fprintf(out, "pid            %d\n", s.pid);
  fprintf(out, "state          %s\n", s.state);
  fprintf(out, "share          %s\n", share_text(h != nullptr ? h->flushpct : s.share).c_str());
  fprintf(out, "passes         %lld\n", static_cast<long long>(s.passes));
  fprintf(out, "pages written  %lld\n", static_cast<long long>(s.written));
  fprintf(out, "write failures %lld\n", static_cast<long long>(s.failures));
  fprintf(out, "last pass      %s\n", when(s.lastpass).c_str());
  fprintf(out, "started        %s\n", when(s.started).c_str());
}

}  // namespace

const userslot *srv_livedaemon(const dbshead *h) {
  for (int i = 0; h != nullptr && i < h->nusers; i++) {
    const userslot &u = h->users[i];
    if (strncmp(u.progname, RP_FLUSHNAME, sizeof u.progname) == 0 && process_exists(u.pid))
      return &u;
  }
  return nullptr;
}

int srv_daemonstart(const dbshead *h, const dbshead *(*reattach)(), const char *home,
                    const char *dbsname, const srv_daemonwait &wait, int *pid, std::string *why,
                    std::string *said) {
  if (const userslot *u = srv_livedaemon(h)) {
    *pid = u->pid;
    *why = "tolvflush is running already as process " + std::to_string(u->pid);
    return SRV_FAILED;
  }
  if (launch(home, dbsname, wait.start, why, said) != SRV_OK) return SRV_FAILED;
  const userslot *u = srv_livedaemon(h != nullptr ? h : reattach());
  if (u == nullptr) {
    *why = "tolvflush did not start";
    return SRV_FAILED;
  }
  *pid = u->pid;
  return SRV_RUNNING;
}

int srv_daemonstop(const dbshead *h, const srv_daemonwait &wait, int *pid, std::string *why) {
  const userslot *u = srv_livedaemon(h);
  if (u == nullptr) return SRV_NOTRUNNING;
  *pid = u->pid;
  if (kill(*pid, SIGTERM) != 0) {
    *why = "cannot send SIGTERM to process " + std::to_string(*pid) + ": " + strerror(errno);
    return SRV_FAILED;
  }
  // Gone when its slot no longer carries it, or when it no longer exists (killed meanwhile:
  // the slot it leaves is the reap's).
  auto gone = [u, p = *pid] {
    return __atomic_load_n(&u->pid, __ATOMIC_SEQ_CST) != p || u->progname[0] == '\0' ||
           !process_exists(p);
  };
  auto deadline = clock_type::now() + std::chrono::seconds(wait.stop);
  while (!gone()) {
    if (clock_type::now() > deadline) {
      *why = "process " + std::to_string(*pid) + " did not stop within " +
             std::to_string(wait.stop) + " seconds";
      return SRV_FAILED;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kNapMs));
  }
  return SRV_RUNNING;
}

int srv_daemonstatus(FILE *out, const dbshead *h, const char *dbsname, const char *recordpath) {
  const userslot *u = srv_livedaemon(h);
  adstatus s;
  bool record = ad_statusread(recordpath, &s) == 0;
  if (u != nullptr) {
    fprintf(out, "tolvflush of DBS %s: running\n", dbsname);
    if (!record || s.pid != u->pid) {
      s = adstatus{};
      s.pid = u->pid;
      snprintf(s.state, sizeof s.state, "running (no status record)");
      s.started = u->logintime;
    }
    record_lines(out, s, h);
    return SRV_RUNNING;
  }
  fprintf(out, "tolvflush of DBS %s: not running%s\n", dbsname,
          h == nullptr ? " (the DBS is not running)" : "");
  if (record) {
    // A record still saying "running" outlived its daemon: it was killed, or it crashed.
    if (strcmp(s.state, "running") == 0)
      snprintf(s.state, sizeof s.state, "ended without stopping (killed?)");
    fprintf(out, "last run:\n");
    record_lines(out, s, nullptr);
  }
  return SRV_NOTRUNNING;
}
