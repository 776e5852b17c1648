#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include "scratch_file.hpp"

// Guarantees that no temporary file outlives the process by name, whatever ends it: it has no
// name until just before it takes the file's place, and a signal that ends the process meanwhile
// removes the name first; only a SIGKILL or a power cut in that moment leaves it. Backups are
// never removed by a signal: the steps during which one is needed hold back every signal another
// process can send, and a fault of the process's own then leaves the backup on disk.

// The signal handler may only touch plain static storage, so the scratch files that exist are
// recorded here rather than in the objects, one slot each. A slot's exists is set only while its
// temporary file has a name.
struct ScratchSlot {
  int directory = -1;
  char name[NAME_MAX + 1];
  volatile std::sig_atomic_t exists = 0;
  bool in_use = false;
};

namespace {

ScratchSlot g_slots[MOST_SCRATCH_FILES];

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
  for (ScratchSlot& slot : g_slots) {
    if (slot.exists != 0) {
      ::unlinkat(slot.directory, slot.name, 0);
      slot.exists = 0;
    }
  }
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
  // A write past the file-size limit fails instead of ending the process, and so does a message
  // to a reader that has gone: the remaining files are still converted.
  for (const int quiet : {SIGXFSZ, SIGPIPE}) {
    if (sigaction(quiet, nullptr, &previous) == 0 && previous.sa_handler == SIG_DFL) {
      std::signal(quiet, SIG_IGN);
    }
  }
  struct sigaction action {};
  action.sa_handler = remove_scratch_and_reraise;
  action.sa_mask = ending_signals(false);
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
  const sigset_t held = ending_signals(true);
  sigprocmask(SIG_BLOCK, &held, &previous_);
}

SignalsHeld::~SignalsHeld() {
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

ScratchFile::ScratchFile(int directory, std::string_view name, Kind kind) noexcept
    : directory_(directory), kind_(kind) {
  for (ScratchSlot& slot : g_slots) {
    if (!slot.in_use) {
      slot_ = &slot;
      break;
    }
  }
  if (slot_ == nullptr) {
    error_ = EBUSY;
    return;
  }
  prepare_signals();
  // The name is cut, at a character boundary, so that a long one still leaves room for the dot,
  // the tag and the suffix.
  const std::size_t suffix_length = std::strlen(suffix());
  std::size_t kept = std::min(name.size(), std::size_t{64});
  while (kept > 0 && kept < name.size() &&
         (static_cast<unsigned char>(name[kept]) & 0xC0) == 0x80) {
    --kept;
  }
  if (kept + suffix_length + 9 > sizeof slot_->name) {
    error_ = ENAMETOOLONG;
    return;
  }
  prefix_length_ = kept + 1;
  slot_->name[0] = '.';
  std::copy_n(name.data(), kept, slot_->name + 1);
  slot_->name[prefix_length_] = '\0';
  slot_->directory = directory;
  slot_->in_use = true;
  claimed_ = true;

  constexpr int FLAGS = O_RDWR | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  if (kind == Kind::temporary) {
    fd_.reset(::openat(directory, ".", O_TMPFILE | FLAGS, 0600));
    if (fd_.get() >= 0) {
      lock();
      return;
    }
    // File systems without unnamed files get a named one at once.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      error_ = errno;
      release();
      return;
    }
  }
  if (!give_name(-1)) {
    release();
  }
}

const char* ScratchFile::suffix() const noexcept {
  return kind_ == Kind::backup ? ".bak" : "";
}

bool ScratchFile::give_name(int unnamed) noexcept {
  for (int attempt = 0; attempt < 100; ++attempt) {
    char tag[7];
    random_tag(tag);
    // Naming and the record of the name happen together, so no signal finds one without the
    // other.
    const SignalsHeld held;
    char* end = slot_->name + prefix_length_;
    *end++ = '.';
    end = std::copy_n(tag, 6, end);
    std::strcpy(end, suffix());
    int made = 0;
    if (unnamed >= 0) {
      made = ::linkat(AT_FDCWD, link_of(unnamed).path, directory_, slot_->name, AT_SYMLINK_FOLLOW);
    } else {
      made = ::openat(directory_, slot_->name,
                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
      if (made >= 0) {
        fd_.reset(made);
        lock();
      }
    }
    if (made >= 0) {
      named_ = true;
      slot_->exists = kind_ == Kind::temporary ? 1 : 0;
      return true;
    }
    error_ = errno;
    if (error_ != EEXIST) {
      return false;
    }
  }
  return false;
}

void ScratchFile::lock() noexcept {
  // Another conversion that meets the name waits, then finds it gone, instead of converting it.
  ::flock(fd_.get(), LOCK_EX | LOCK_NB);
}

bool ScratchFile::link() noexcept {
  return named_ || (created() && give_name(fd_.get()));
}

const char* ScratchFile::name() const noexcept {
  return named_ ? slot_->name : "";
}

void ScratchFile::remove() noexcept {
  const SignalsHeld held;
  fd_.reset();
  if (named_) {
    ::unlinkat(directory_, slot_->name, 0);
    named_ = false;
    slot_->exists = 0;
  }
  unclaim();
}

void ScratchFile::release() noexcept {
  const SignalsHeld held;
  fd_.reset();
  named_ = false;
  if (slot_ != nullptr) {
    slot_->exists = 0;
  }
  unclaim();
}

void ScratchFile::unclaim() noexcept {
  if (claimed_) {
    slot_->in_use = false;
    claimed_ = false;
  }
}
