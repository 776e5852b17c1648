#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "posix_support.hpp"

// Guarantees that no scratch file outlives the process, whatever signal ends it, except SIGKILL
// and a power cut: the handler removes it, and the steps during which the wrong file would sit
// under its name hold the signals back.

namespace {

// The signal handler may only touch plain static storage, so the one scratch file that exists is
// recorded here rather than in the object.
int g_scratch_directory = -1;
char g_scratch_name[NAME_MAX + 1];
volatile std::sig_atomic_t g_scratch_exists = 0;

// Signals whose default action ends the process. The first group arrives from outside and can
// be held back; the second is raised by the process's own faults and cannot.
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
  if (g_scratch_exists != 0) {
    ::unlinkat(g_scratch_directory, g_scratch_name, 0);
    g_scratch_exists = 0;
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

sigset_t external_signals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for_each_ending_signal([&](int signal_number, bool external) {
    if (external) {
      sigaddset(&set, signal_number);
    }
  });
  return set;
}

// Six characters from 62 for each attempt: enough that guessing the next name is hopeless.
void random_tag(char (&tag)[7]) noexcept {
  static constexpr char ALPHABET[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::array<unsigned char, 6> noise{};
  if (::getrandom(noise.data(), noise.size(), 0) != static_cast<ssize_t>(noise.size())) {
    // Without the kernel's generator the names still differ, only more guessably; creation is
    // exclusive either way.
    static unsigned counter = 0;
    const auto seed = static_cast<unsigned>(::getpid()) * 2654435761u + ++counter * 40503u;
    for (std::size_t i = 0; i < noise.size(); ++i) {
      noise[i] = static_cast<unsigned char>(seed >> (4 * i));
    }
  }
  for (std::size_t i = 0; i < noise.size(); ++i) {
    tag[i] = ALPHABET[noise[i] % (sizeof ALPHABET - 1)];
  }
  tag[6] = '\0';
}

}  // namespace

void prepare_signals() noexcept {
  static bool prepared = false;
  if (prepared) {
    return;
  }
  prepared = true;
  struct sigaction previous {};
  if (sigaction(SIGXFSZ, nullptr, &previous) == 0 && previous.sa_handler == SIG_DFL) {
    std::signal(SIGXFSZ, SIG_IGN);
  }
  struct sigaction action {};
  action.sa_handler = remove_scratch_and_reraise;
  action.sa_mask = external_signals();
  // Held meanwhile, so that a signal meant to be ignored cannot meet the handler for the moment
  // it stands in.
  const SignalsHeld held;
  for_each_ending_signal([&](int signal_number, bool) {
    // Only a default action is replaced: an ignored signal stays ignored (nohup, a background
    // job), and a handler of someone else's (a sanitizer's) stays in place. Almost every signal
    // has its default action, so it is replaced first and put back in the rare other case.
    if (sigaction(signal_number, &action, &previous) == 0 &&
        (previous.sa_handler != SIG_DFL || (previous.sa_flags & SA_SIGINFO) != 0)) {
      sigaction(signal_number, &previous, nullptr);
    }
  });
}

SignalsHeld::SignalsHeld() noexcept {
  const sigset_t held = external_signals();
  sigprocmask(SIG_BLOCK, &held, &previous_);
}

SignalsHeld::~SignalsHeld() {
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

ScratchFile::ScratchFile(int directory, std::string_view name, const char* suffix) noexcept
    : directory_(directory) {
  if (g_scratch_exists != 0) {
    error_ = EBUSY;
    return;
  }
  prepare_signals();
  // The name is cut so that a long one still leaves room for the dot, the tag and the suffix.
  const std::size_t suffix_length = std::strlen(suffix);
  const std::size_t kept = std::min(name.size(), std::size_t{64});
  if (kept + suffix_length + 9 > sizeof g_scratch_name) {
    error_ = ENAMETOOLONG;
    return;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    char tag[7];
    random_tag(tag);
    // Creation and the record of the name happen together, so no signal finds one without the
    // other.
    const SignalsHeld held;
    char* end = g_scratch_name;
    *end++ = '.';
    end = std::copy_n(name.data(), kept, end);
    *end++ = '.';
    end = std::copy_n(tag, 6, end);
    std::memcpy(end, suffix, suffix_length + 1);
    g_scratch_directory = directory;
    const int fd = ::openat(directory, g_scratch_name,
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fd_.reset(fd);
      named_ = true;
      g_scratch_exists = 1;
      return;
    }
    error_ = errno;
    if (error_ != EEXIST) {
      return;
    }
  }
}

const char* ScratchFile::name() const noexcept {
  return named_ ? g_scratch_name : "";
}

void ScratchFile::remove() noexcept {
  const SignalsHeld held;
  fd_.reset();
  if (named_) {
    ::unlinkat(directory_, g_scratch_name, 0);
    named_ = false;
    g_scratch_exists = 0;
  }
}

void ScratchFile::release() noexcept {
  const SignalsHeld held;
  fd_.reset();
  named_ = false;
  g_scratch_exists = 0;
}
