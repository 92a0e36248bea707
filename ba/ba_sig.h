// ba_sig.h: the common signal dispositions of every program of the system.
#pragma once

#include "ba/ba_sys.h"

// Sets SIGHUP, SIGINT, SIGQUIT to h1; SIGPIPE and SIGTERM to h2; the fault signals to their
// default; SIGALRM and the job-control and user signals to ignore. h1 and h2 are handlers or
// the special values 1 (ignore) and 0 (default). Returns the result of the last setting.
ba_sighandler ba_sigset(ba_sighandler h1, ba_sighandler h2);
// The same with the special values written as integers, as in ba_sigset(1, 1).
ba_sighandler ba_sigset(int h1, int h2);
