// Tests of ba_sig: the dispositions ba_sigset gives each signal (read back with sigaction),
// the two forms of the call, its result, and the refused settings. Each test runs in its own
// process (ctest), so the dispositions start from the defaults.
#include "ba/ba_sig.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

namespace {

ba_sighandler disposition(int sig) {
  struct sigaction sa {};
  EXPECT_EQ(sigaction(sig, nullptr, &sa), 0) << sig;
  return sa.sa_handler;
}

volatile sig_atomic_t g_h1, g_h2;
void on_h1(int sig) { g_h1 = sig; }
void on_h2(int sig) { g_h2 = sig; }
void other(int) {}

constexpr int kH1[] = {SIGHUP, SIGINT, SIGQUIT};
constexpr int kH2[] = {SIGPIPE, SIGTERM};
constexpr int kDefault[] = {SIGILL, SIGTRAP, SIGABRT, SIGFPE, SIGBUS, SIGSEGV, SIGSYS};
constexpr int kIgnored[] = {SIGALRM, SIGUSR1, SIGUSR2, SIGWINCH, SIGTSTP, SIGCONT,
                            SIGTTIN, SIGTTOU};

TEST(Sigset, IgnoreIgnoreAsTheDaemonCallsIt) {
  ba_sigset(1, 1);
  for (int sig : kH1) EXPECT_EQ(disposition(sig), SIG_IGN) << sig;
  for (int sig : kH2) EXPECT_EQ(disposition(sig), SIG_IGN) << sig;
  for (int sig : kDefault) EXPECT_EQ(disposition(sig), SIG_DFL) << sig;
  for (int sig : kIgnored) EXPECT_EQ(disposition(sig), SIG_IGN) << sig;
  EXPECT_EQ(disposition(SIGKILL), SIG_DFL);
  EXPECT_EQ(disposition(SIGSTOP), SIG_DFL);
}

TEST(Sigset, FaultSignalsAreReturnedToTheirDefault) {
  for (int sig : kDefault) signal(sig, other);
  ba_sigset(1, 1);
  for (int sig : kDefault) EXPECT_EQ(disposition(sig), SIG_DFL) << sig;
}

TEST(Sigset, HandlersGoToTheirGroups) {
  ba_sigset(on_h1, on_h2);
  for (int sig : kH1) EXPECT_EQ(disposition(sig), on_h1) << sig;
  for (int sig : kH2) EXPECT_EQ(disposition(sig), on_h2) << sig;
  for (int sig : kIgnored) EXPECT_EQ(disposition(sig), SIG_IGN) << sig;
  raise(SIGHUP);
  raise(SIGTERM);
  raise(SIGUSR1);  // ignored: the process goes on
  EXPECT_EQ(g_h1, SIGHUP);
  EXPECT_EQ(g_h2, SIGTERM);
}

TEST(Sigset, ZeroZeroRestoresTheDefaultsOfBothGroups) {
  ba_sigset(1, 1);
  ba_sigset(0, 0);
  for (int sig : kH1) EXPECT_EQ(disposition(sig), SIG_DFL) << sig;
  for (int sig : kH2) EXPECT_EQ(disposition(sig), SIG_DFL) << sig;
  for (int sig : kIgnored) EXPECT_EQ(disposition(sig), SIG_IGN) << sig;
}

TEST(Sigset, HandlerFormAcceptsTheSpecialValues) {
  ba_sigset(SIG_IGN, SIG_DFL);
  EXPECT_EQ(disposition(SIGINT), SIG_IGN);
  EXPECT_EQ(disposition(SIGTERM), SIG_DFL);
}

TEST(Sigset, ResultIsThePreviousDispositionOfTheLastSetting) {
  signal(SIGTTOU, other);
  EXPECT_EQ(ba_sigset(1, 1), other);
  EXPECT_EQ(ba_sigset(0, 0), SIG_IGN);
}

// A handler and a special value mixed in one call, in both places.
TEST(Sigset, HandlerAndSpecialValueMix) {
  struct mixcase {
    ba_sigdisp h1, h2;
    ba_sighandler want1, want2;
  };
  const mixcase cases[] = {
      {on_h1, 1, on_h1, SIG_IGN},
      {0, on_h2, SIG_DFL, on_h2},
      {1, SIG_DFL, SIG_IGN, SIG_DFL},
      {SIG_IGN, 0, SIG_IGN, SIG_DFL},
  };
  for (const mixcase &c : cases) {
    EXPECT_NE(ba_sigset(c.h1, c.h2), SIG_ERR);
    for (int sig : kH1) EXPECT_EQ(disposition(sig), c.want1) << sig;
    for (int sig : kH2) EXPECT_EQ(disposition(sig), c.want2) << sig;
  }
}

TEST(SigsetErrors, AnIntegerThatIsNoSpecialValueChangesNothing) {
  signal(SIGHUP, other);
  signal(SIGUSR1, SIG_DFL);
  errno = 0;
  EXPECT_EQ(ba_sigset(2, 1), SIG_ERR);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ba_sigset(1, -1), SIG_ERR);
  EXPECT_EQ(ba_sigset(on_h1, 7), SIG_ERR);
  EXPECT_EQ(ba_sigset(SIG_ERR, on_h2), SIG_ERR);
  EXPECT_EQ(disposition(SIGHUP), other);
  EXPECT_EQ(disposition(SIGUSR1), SIG_DFL);
}

// SIGKILL and SIGSTOP cannot be changed; the settings after them still take effect.
TEST(SigsetErrors, RefusedSettingsDoNotStopTheRest) {
  ba_sigset(on_h1, on_h2);
  EXPECT_EQ(disposition(SIGSEGV), SIG_DFL);
  EXPECT_EQ(disposition(SIGPIPE), on_h2);   // set after SIGKILL
  EXPECT_EQ(disposition(SIGTSTP), SIG_IGN);  // set after SIGSTOP
}

}  // namespace
