#include "AsyncSignalInfo.h"

#include <signal.h>

namespace {

struct SignalName {
  int signal;
  const char* name;
};

// First match wins, so an alias that shares its number with an earlier row
// (SIGIOT with SIGABRT) never shows. Signals this host lacks are left out.
constexpr SignalName kSignalNames[] = {
    {SIGHUP, "SIGHUP"},     {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},     {SIGILL, "SIGILL"},
    {SIGTRAP, "SIGTRAP"},   {SIGABRT, "SIGABRT"}, {SIGIOT, "SIGIOT"},
#ifdef SIGEMT
    {SIGEMT, "SIGEMT"},
#endif
    {SIGFPE, "SIGFPE"},     {SIGKILL, "SIGKILL"}, {SIGBUS, "SIGBUS"},       {SIGSEGV, "SIGSEGV"},
    {SIGSYS, "SIGSYS"},     {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"},     {SIGTERM, "SIGTERM"},
    {SIGURG, "SIGURG"},     {SIGSTOP, "SIGSTOP"}, {SIGTSTP, "SIGTSTP"},     {SIGCONT, "SIGCONT"},
    {SIGCHLD, "SIGCHLD"},   {SIGTTIN, "SIGTTIN"}, {SIGTTOU, "SIGTTOU"},     {SIGIO, "SIGIO"},
    {SIGXCPU, "SIGXCPU"},   {SIGXFSZ, "SIGXFSZ"}, {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"},
    {SIGWINCH, "SIGWINCH"},
#ifdef SIGINFO
    {SIGINFO, "SIGINFO"},
#endif
    {SIGUSR1, "SIGUSR1"},   {SIGUSR2, "SIGUSR2"},
};

struct CodeName {
  int signal;
  int code;
  const char* name;
};

// Code 0 rows carry the engine's own names for "no particular cause".
constexpr CodeName kCodeNames[] = {
    {SIGILL, 0, "ILL_NOOP"},
    {SIGILL, ILL_ILLOPC, "ILL_ILLOPC"},
    {SIGILL, ILL_ILLTRP, "ILL_ILLTRP"},
    {SIGILL, ILL_PRVOPC, "ILL_PRVOPC"},
    {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"},
    {SIGILL, ILL_ILLADR, "ILL_ILLADR"},
    {SIGILL, ILL_PRVREG, "ILL_PRVREG"},
    {SIGILL, ILL_COPROC, "ILL_COPROC"},
    {SIGILL, ILL_BADSTK, "ILL_BADSTK"},
    {SIGFPE, 0, "FPE_NOOP"},
    {SIGFPE, FPE_FLTDIV, "FPE_FLTDIV"},
    {SIGFPE, FPE_FLTOVF, "FPE_FLTOVF"},
    {SIGFPE, FPE_FLTUND, "FPE_FLTUND"},
    {SIGFPE, FPE_FLTRES, "FPE_FLTRES"},
    {SIGFPE, FPE_FLTINV, "FPE_FLTINV"},
    {SIGFPE, FPE_FLTSUB, "FPE_FLTSUB"},
    {SIGFPE, FPE_INTDIV, "FPE_INTDIV"},
    {SIGFPE, FPE_INTOVF, "FPE_INTOVF"},
    {SIGSEGV, 0, "SEGV_NOOP"},
    {SIGSEGV, SEGV_MAPERR, "SEGV_MAPERR"},
    {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"},
    {SIGBUS, 0, "BUS_NOOP"},
    {SIGBUS, BUS_ADRALN, "BUS_ADRALN"},
    {SIGBUS, BUS_ADRERR, "BUS_ADRERR"},
    {SIGBUS, BUS_OBJERR, "BUS_OBJERR"},
    {SIGTRAP, 0, "#0"},
    {SIGTRAP, TRAP_BRKPT, "TRAP_BRKPT"},
    {SIGTRAP, TRAP_TRACE, "TRAP_TRACE"},
    {SIGABRT, 0, "#0"},
};

}  // namespace

const char* rocrash_async_signal_name(int signal) noexcept {
  for (const auto& row : kSignalNames) {
    if (row.signal == signal) return row.name;
  }
  return nullptr;
}

const char* rocrash_async_signal_code_name(int signal, int code) noexcept {
  for (const auto& row : kCodeNames) {
    if (row.signal == signal && row.code == code) return row.name;
  }
  return nullptr;
}
