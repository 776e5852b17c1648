#include "signals.hpp"

#include <csignal>

#include "scratch_file.hpp"

namespace {

// Signals whose default action ends the process. The first group only ever arrives from outside;
// the second is also raised by the process's own faults, which cannot be held back (the kernel
// ends the process at once then), but held back it still waits when another process sends it.
constexpr int EXTERNAL_SIGNALS[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGUSR1, SIGUSR2,
                                    SIGPIPE, SIGALRM, SIGTERM,   SIGXCPU, SIGVTALRM,
                                    SIGPROF, SIGIO,   SIGSTKFLT, SIGPWR};
constexpr int FAULT_SIGNALS[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS};

template <typename Visit>
void for_each_ending_signal(Visit visit) {
  for (const int signal_number : EXTERNAL_SIGNALS) {
    visit(signal_number, true);
  }
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    visit(signal_number, true);
  }
  for (const int signal_number : FAULT_SIGNALS) {
    visit(signal_number, false);
  }
}

extern "C" void remove_scratch_and_reraise(int signal_number) {
  remove_named_scratch_files();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

sigset_t ending_signals(bool faults_too) noexcept {
  sigset_t set;
  sigemptyset(&set);
  for_each_ending_signal([&](int signal_number, bool external) {
    if (external || faults_too) {
      sigaddset(&set, signal_number);
    }
  });
  return set;
}

// Lets the signals of one group remove the named scratch files before they end the process. Only
// a default action is replaced: an ignored signal stays ignored (nohup, a background job), and a
// handler of someone else's (a sanitizer's) stays in place. Almost every signal has its default
// action, so it is replaced first and put back in the rare other case. The caller holds every
// ending signal back meanwhile, so that a signal meant to be ignored cannot meet the handler for
// the moment it stands in.
void arm(bool external) noexcept {
  struct sigaction action {};
  action.sa_handler = remove_scratch_and_reraise;
  action.sa_mask = ending_signals(false);
  struct sigaction previous {};
  for_each_ending_signal([&](int signal_number, bool from_outside) {
    if (from_outside == external && sigaction(signal_number, &action, &previous) == 0 &&
        (previous.sa_handler != SIG_DFL || (previous.sa_flags & SA_SIGINFO) != 0)) {
      sigaction(signal_number, &previous, nullptr);
    }
  });
}

bool g_armed_for_outside = false;
// How many holds are in force; the outermost one's end is when signals get through.
int g_holds = 0;

}  // namespace

void prepare_signals() noexcept {
  static bool prepared = false;
  if (prepared) {
    return;
  }
  prepared = true;
  struct sigaction previous {};
  // A write past the file-size limit fails instead of ending the process, and so does a message
  // to a reader that has gone: the remaining files are still converted.
  for (const int quiet : {SIGXFSZ, SIGPIPE}) {
    if (sigaction(quiet, nullptr, &previous) == 0 && previous.sa_handler == SIG_DFL) {
      std::signal(quiet, SIG_IGN);
    }
  }
  // The process's own faults cannot be held back, so their handler is there from the start.
  const SignalsHeld held;
  arm(false);
}

SignalsHeld::SignalsHeld() noexcept {
  const sigset_t held = ending_signals(true);
  sigprocmask(SIG_BLOCK, &held, &previous_);
  ++g_holds;
}

SignalsHeld::~SignalsHeld() {
  // Signals from outside only ever arrive while none are held, so their handler is needed only
  // once a temporary file keeps a name past the outermost hold: after a commit that failed, or
  // where the file system makes no unnamed files. A run that never leaves one so is spared arming
  // them all. The mask the process started with says nothing of this: a parent may have blocked
  // some signals (SIGTERM, for sigwait) and left the others to end it.
  if (--g_holds == 0 && !g_armed_for_outside && named_scratch_files_exist()) {
    g_armed_for_outside = true;
    arm(true);
  }
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}
