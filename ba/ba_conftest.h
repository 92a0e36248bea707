// ba_conftest.h: the fixtures and helpers of the configuration reader's tests (ba_conf_test,
// ba_conferr_test): a temporary installation with the settings pointed at it, configuration
// text that passes every check, partition files owned by tolv, and forked children for
// conditions (limits, namespaces) that must not outlive one test.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ba/ba_conf.h"
#include "ba/ba_mem.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "testing/tempinstall.h"

namespace conftest {


using tolvtest::TempInstall;

inline const passwd *tolv_user() { return getpwnam("tolv"); }

inline bool can_chown_to_tolv() { return geteuid() == 0 && tolv_user() != nullptr; }

inline int open_fds() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (d != nullptr && readdir(d) != nullptr) n++;
  if (d != nullptr) closedir(d);
  return n;
}

// text without its first line that begins with prefix.
inline std::string without_line(std::string text, const std::string &prefix) {
  size_t at = text.find(prefix);
  text.erase(at, text.find('\n', at) - at + 1);
  return text;
}

// The numbers of one line kind, in line order.
using ints = std::vector<int>;
inline ints snums(const dbsconf &c) {
  return {c.s_num1, c.s_num2, c.s_num3, c.s_num4, static_cast<int>(c.shmaddr), c.s_num5, c.s_num6};
}
inline ints onums(const dbsconf &c) { return {c.o_num1, c.o_num2, c.o_num3, c.o_num4}; }
inline ints rnums(const dbsconf &c) { return {c.r_num1, c.r_num2, c.r_num3, c.r_num4}; }
inline ints cnums(const dbsconf &c) {
  return {c.c_num1, c.c_num2, c.c_num3, c.c_num4, c.c_num5};
}

// ---- Forked children -----------------------------------------------------------------------

// What a function run in a forked child left: its result and ba_conferr.
struct childresult {
  int rc;
  char conferr[BA_CONFERRLEN];
};
constexpr int kChildDied = INT_MIN;      // the child reported nothing
constexpr int kChildSkip = INT_MIN + 1;  // the child could not set up its conditions

// Runs fn in a forked child, so that changes to limits and namespaces end with it.
inline childresult in_child(const std::function<int()> &fn) {
  childresult res{kChildDied, ""};
  int fds[2];
  if (pipe(fds) != 0) return res;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    childresult r{fn(), ""};
    memcpy(r.conferr, ba_conferr, sizeof r.conferr);
    _exit(write(fds[1], &r, sizeof r) == sizeof r ? 0 : 1);
  }
  close(fds[1]);
  if (read(fds[0], &res, sizeof res) != sizeof res) res.rc = kChildDied;
  close(fds[0]);
  int status;
  waitpid(pid, &status, 0);
  return res;
}

// In a private mount namespace of the calling (child) process, hides the user "tolv" by
// binding a copy of /etc/passwd without it over the original. False when that is not
// possible here.
inline bool hide_tolv_user(const TempInstall &inst) {
  if (unshare(CLONE_NEWNS) != 0) return false;
  // Private first: nothing mounted below may reach the parent's namespace.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  std::istringstream in(tolvtest::read_file("/etc/passwd"));
  std::string filtered;
  for (std::string line; std::getline(in, line);)
    if (line.rfind("tolv:", 0) != 0) filtered += line + "\n";
  inst.write("passwd", filtered);
  if (mount(inst.path("passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0)
    return false;
  return getpwnam("tolv") == nullptr;
}

// Allocations are kept through volatiles, so that the compiler cannot drop them as unused.
inline void *volatile memory_sink;

// Limits the address space of the calling (child) process and fills it, keeping reserve
// bytes free for the next allocations.
inline void exhaust_memory(size_t reserve) {
  long pages = 0;
  FILE *statm = fopen("/proc/self/statm", "r");
  if (statm != nullptr) {
    if (fscanf(statm, "%ld", &pages) != 1) pages = 0;
    fclose(statm);
  }
  rlim_t cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE);
  rlimit lim{cur + (64 << 20), cur + (64 << 20)};
  setrlimit(RLIMIT_AS, &lim);
  void *volatile keep = malloc(reserve);
  for (size_t n = 1 << 20; n >= 16; n /= 2) {
    for (void *p; (p = malloc(n)) != nullptr;) memory_sink = p;
  }
  free(keep);
}

inline bool under_address_sanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

// ---- Fixtures ------------------------------------------------------------------------------

class Conf : public ::testing::Test {
 protected:
  void SetUp() override {
    ba_settings.home = ba_strdup(inst_.home().c_str());
    ba_settings.dbsname = ba_strdup("testdbs");
  }
  void TearDown() override {
    ba_freeconf();
    if (ba_settings.home != nullptr) ba_release(ba_settings.home);
    if (ba_settings.dbsname != nullptr) ba_release(ba_settings.dbsname);
    ba_settings.home = ba_settings.dbsname = nullptr;
  }

  void write_cfg(const std::string &text) const { inst_.write("etc/testdbs.cfg", text); }
  int read(int mode, const std::string &text) const {
    write_cfg(text);
    return ba_readconf(mode, "");
  }
  // Reads text without checks, which must succeed, then checks the record.
  int check(const std::string &text) {
    int rc = read(0, text);
    EXPECT_EQ(rc, 0) << ba_conferr;
    return rc != 0 ? rc : ba_confcheck(&dbsconfig);
  }
  // An empty partition file home/dev/<name>, mode 0660, owned by tolv:tolv when possible.
  std::string partition(const std::string &name) const {
    inst_.write("dev/" + name, "");
    std::string path = inst_.path("dev/" + name);
    if (can_chown_to_tolv()) {
      EXPECT_EQ(chown(path.c_str(), tolv_user()->pw_uid, tolv_user()->pw_gid), 0);
    }
    EXPECT_EQ(chmod(path.c_str(), 0660), 0);
    return path;
  }
  // A configuration that passes every check, followed by extra: dbspace ROOT on the 16000 KB
  // partition dev/root holds the log; B and T name home/log. Later lines of a kind overwrite
  // earlier ones field by field, so extra can change any value.
  std::string valid(const std::string &extra = "") const {
    return "D 4711\n"
           "S 10 5000 400 100 0x40000000 2 0\n"
           "P 200\n"
           "B " + inst_.path("log") + " 4 100\n"
           "T " + inst_.path("log") + " 4 100\n"
           "F ROOT " + partition("root") + " 16000 0\n"
           "L ROOT 3 200\n" + extra;
  }
  std::string err() const { return ba_conferr; }
  const dbsconf &cfg() const { return dbsconfig; }
  const cfgpart &part(int space, int index) const {
    return dbsconfig.dbspaces[space].parts[index];
  }

  TempInstall inst_;
};

// Partition files owned as required: needs root and the user "tolv".
class OwnedConf : public Conf {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to chown partition files";
    if (tolv_user() == nullptr) GTEST_SKIP() << "needs the system user tolv";
    Conf::SetUp();
  }
};

}  // namespace conftest
