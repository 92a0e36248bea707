// ba_sig.h: the common signal dispositions of every program of the system.
#pragma once

#include "ba/ba_sys.h"

// One disposition argument of ba_sigset: a handler (SIG_IGN and SIG_DFL included), or one of
// the special values written as integers, 1 (ignore) and 0 (default). The conversions are
// implicit so that a call may mix the two forms, as in ba_sigset(on_hangup, 1). Any other
// integer, and SIG_ERR, make no disposition: ba_sigset then changes nothing.
class ba_sigdisp {
 public:
  ba_sigdisp(ba_sighandler handler) : handler_(handler) {}
  ba_sigdisp(int special);
  ba_sighandler handler() const { return handler_; }  // SIG_ERR when none
  bool valid() const { return handler_ != SIG_ERR; }

 private:
  ba_sighandler handler_;
};

// Sets SIGHUP, SIGINT, SIGQUIT to h1; SIGPIPE and SIGTERM to h2; SIGILL, SIGTRAP, SIGABRT,
// SIGEMT (where the platform has it), SIGFPE, SIGKILL, SIGBUS, SIGSEGV, SIGSYS to their
// default; SIGALRM, SIGUSR1, SIGUSR2, SIGWINCH, SIGSTOP, SIGTSTP, SIGCONT, SIGTTIN, SIGTTOU to
// ignore. Settings the system refuses (SIGKILL, SIGSTOP) fail without effect. Returns the
// result of the last setting (SIGTTOU's previous disposition, or SIG_ERR); when h1 or h2 is
// no disposition, changes nothing and returns SIG_ERR with errno EINVAL.
ba_sighandler ba_sigset(ba_sigdisp h1, ba_sigdisp h2);
