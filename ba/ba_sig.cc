// ba_sig: the common signal dispositions of every program of the system.
//
// Principal entry point: ba_sigset, in two forms: with handlers, or with the integers 1
// (ignore) and 0 (default).
//
// Every setting goes through ba_signal. Settings the system refuses (SIGKILL, SIGSTOP) fail
// without effect and do not stop the others; SIGEMT is set only where the platform has it.
//
// See also: ba_sys (ba_signal), tolvflush (ba_sigset(1, 1) at start, its own SIGTERM handler
// afterwards).
#include "ba/ba_sig.h"

#include <cerrno>

namespace {

// Which of the dispositions a signal receives.
enum class disp { h1, h2, dfl, ign };

struct sigdisp {
  int sig;
  disp how;
};

// In the order of setting; the result of ba_sigset is that of the last entry.
constexpr sigdisp kTable[] = {
    {SIGHUP, disp::h1},    {SIGINT, disp::h1},    {SIGQUIT, disp::h1},
    {SIGILL, disp::dfl},   {SIGTRAP, disp::dfl},  {SIGABRT, disp::dfl},
#ifdef SIGEMT
    {SIGEMT, disp::dfl},
#endif
    {SIGFPE, disp::dfl},   {SIGKILL, disp::dfl},  {SIGBUS, disp::dfl},
    {SIGSEGV, disp::dfl},  {SIGSYS, disp::dfl},   {SIGPIPE, disp::h2},
    {SIGALRM, disp::ign},  {SIGTERM, disp::h2},   {SIGUSR1, disp::ign},
    {SIGUSR2, disp::ign},  {SIGWINCH, disp::ign}, {SIGSTOP, disp::ign},
    {SIGTSTP, disp::ign},  {SIGCONT, disp::ign},  {SIGTTIN, disp::ign},
    {SIGTTOU, disp::ign},
};

ba_sighandler handler_of(disp how, ba_sighandler h1, ba_sighandler h2) {
  switch (how) {
    case disp::h1: return h1;
    case disp::h2: return h2;
    case disp::dfl: return SIG_DFL;
    case disp::ign: return SIG_IGN;
  }
  return SIG_DFL;
}

// The handler an integer stands for: 1 ignore, 0 default; SIG_ERR for any other value.
ba_sighandler special_handler(int h) {
  if (h == 1) return SIG_IGN;
  if (h == 0) return SIG_DFL;
  return SIG_ERR;
}

}  // namespace

ba_sighandler ba_sigset(ba_sighandler h1, ba_sighandler h2) {
  ba_sighandler last = SIG_ERR;
  for (const sigdisp &d : kTable) last = ba_signal(d.sig, handler_of(d.how, h1, h2));
  return last;
}

ba_sighandler ba_sigset(int h1, int h2) {
  ba_sighandler f1 = special_handler(h1), f2 = special_handler(h2);
  // An integer that is neither special value is no handler: nothing is changed.
  if (f1 == SIG_ERR || f2 == SIG_ERR) {
    errno = EINVAL;
    return SIG_ERR;
  }
  return ba_sigset(f1, f2);
}
