// ba_sig: the common signal dispositions of every program of the system.
//
// Principal entry point: ba_sigset, whose arguments are handlers or the integers 1 (ignore)
// and 0 (default), in any mix (ba_sigdisp).
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

}  // namespace

// The handler an integer stands for: 1 ignore, 0 default; no disposition for any other value.
ba_sigdisp::ba_sigdisp(int special)
    : handler_(special == 1 ? SIG_IGN : special == 0 ? SIG_DFL : SIG_ERR) {}

ba_sighandler ba_sigset(ba_sigdisp h1, ba_sigdisp h2) {
  // Checked before the first setting, so that a bad argument leaves every disposition as it was.
  if (!h1.valid() || !h2.valid()) {
    errno = EINVAL;
    return SIG_ERR;
  }
  ba_sighandler last = SIG_ERR;
  for (const sigdisp &d : kTable)
    last = ba_signal(d.sig, handler_of(d.how, h1.handler(), h2.handler()));
  return last;
}
