// ba_sig.h: the common signal dispositions of every program of the system.
#pragma once

#include "ba/ba_sys.h"

// Sets SIGHUP, SIGINT, SIGQUIT to h1; SIGPIPE and SIGTERM to h2; SIGILL, SIGTRAP, SIGABRT,
// SIGEMT (where the platform has it), SIGFPE, SIGKILL, SIGBUS, SIGSEGV, SIGSYS to their
// default; SIGALRM, SIGUSR1, SIGUSR2, SIGWINCH, SIGSTOP, SIGTSTP, SIGCONT, SIGTTIN, SIGTTOU to
// ignore. h1 and h2 are handlers, SIG_IGN or SIG_DFL. Settings the system refuses (SIGKILL,
// SIGSTOP) fail without effect. Returns the result of the last setting (SIGTTOU's previous
// disposition, or SIG_ERR).
ba_sighandler ba_sigset(ba_sighandler h1, ba_sighandler h2);
// The same with the special values written as integers, as in ba_sigset(1, 1): 1 ignore,
// 0 default. Any other integer changes nothing and returns SIG_ERR with errno EINVAL.
ba_sighandler ba_sigset(int h1, int h2);
