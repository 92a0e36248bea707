// Tests of ba_sys's helpers for a program run set-user-id: path formatting that refuses
// instead of cutting, plain names, the EINTR retry, and the privilege switches (a set-user-id
// run is simulated in a child with setresuid).
#include "ba/ba_sys.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace {

// ---- Paths, names, interrupted calls ------------------------------------------------------

TEST(PathFormat, FitsOrIsRefusedWithEnametoolong) {
  char buf[8];
  EXPECT_TRUE(ba_pathfmt(buf, sizeof buf, "%s/%s", "ab", "cdef"));  // 7 characters
  EXPECT_STREQ(buf, "ab/cdef");
  errno = 0;
  EXPECT_FALSE(ba_pathfmt(buf, sizeof buf, "%s/%s", "ab", "cdefg"));
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_STREQ(buf, "ab/cdef");  // the cut text, for a message only
}

TEST(PlainName, NoSlashNoLeadingDotNotEmpty) {
  const std::pair<const char *, int> cases[] = {
      {"testdbs", 1}, {"a.b", 1}, {"x..", 1},  {"..", 0},  {".", 0}, {".hidden", 0},
      {"../x", 0},    {"a/b", 0}, {"/abs", 0}, {"", 0},    {nullptr, 0}};
  for (const auto &[name, plain] : cases)
    EXPECT_EQ(ba_plainname(name), plain) << (name != nullptr ? name : "(null)");
}

TEST(Noeintr, RepeatsOnlyWhileInterrupted) {
  int calls = 0;
  auto interrupted_twice = [&] {
    errno = ++calls <= 2 ? EINTR : EIO;
    return calls <= 3 ? -1 : 0;
  };
  EXPECT_EQ(ba_noeintr(interrupted_twice), -1);  // the third call fails for another reason
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(errno, EIO);
}

// ---- Privileges of a set-user-id run ------------------------------------------------------

TEST(Privileges, ARunNotSetUserIdKeepsItsRights) {
  EXPECT_EQ(ba_privinit(), 0);
  EXPECT_EQ(ba_setuidrun(), 0);
  uid_t euid = geteuid();
  EXPECT_EQ(ba_privlower(), 0);
  EXPECT_EQ(geteuid(), euid);
  ba_ascaller caller;
  EXPECT_TRUE(caller.ok());
  EXPECT_EQ(geteuid(), euid);
}

// A child made to look like a set-user-id run of root by the user tolv: real user tolv,
// effective and saved user root.
TEST(Privileges, ASetUserIdRunWorksWithTheCallersRightsUntilRaised) {
  const passwd *pw = getpwnam("tolv");
  if (geteuid() != 0 || pw == nullptr) GTEST_SKIP() << "needs root and the user tolv";
  uid_t tolv = pw->pw_uid;
  pid_t pid = fork();
  if (pid == 0) {
    int step = 1;
    auto expect = [&](bool ok) {
      if (!ok) _exit(step);
      step++;
    };
    expect(setresuid(tolv, 0, 0) == 0);
    expect(ba_privinit() == 0 && ba_setuidrun() == 1 && geteuid() == tolv);
    expect(ba_privraise() == 0 && geteuid() == 0);
    {
      ba_ascaller caller;
      expect(caller.ok() && geteuid() == tolv);
      expect(open("/etc/shadow", O_RDONLY) < 0 && errno == EACCES);  // root's file, refused
    }
    expect(geteuid() == 0);  // restored
    expect(ba_privlower() == 0 && geteuid() == tolv && ba_privraise() == 0 && geteuid() == 0);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failed at step " << WEXITSTATUS(status);
}

TEST(Privileges, TrustedUsersAreRootAndTolv) {
  EXPECT_EQ(ba_trusteduid(0), 1);
  EXPECT_EQ(ba_trusteduid(65534), 0);
  const passwd *pw = getpwnam("tolv");
  if (pw != nullptr) {
    EXPECT_EQ(ba_trusteduid(pw->pw_uid), 1);
  }
}

}  // namespace
