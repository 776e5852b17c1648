#include "temporary_file_posix.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The signal handler may only touch plain static storage, so the name of the one temporary file
// that exists lives here rather than in the object.
char g_temporary_path[PATH_MAX];
volatile std::sig_atomic_t g_temporary_exists = 0;

constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_temporary_and_reraise(int signal_number) {
  if (g_temporary_exists != 0) {
    ::unlink(g_temporary_path);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void install_cleanup_handlers() {
  static bool installed = false;
  if (installed) {
    return;
  }
  installed = true;
  struct sigaction action {};
  action.sa_handler = remove_temporary_and_reraise;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : CLEANUP_SIGNALS) {
    sigaddset(&action.sa_mask, signal_number);
  }
  for (const int signal_number : CLEANUP_SIGNALS) {
    struct sigaction previous {};
    // A signal the caller chose to ignore (nohup, a background job) stays ignored.
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
      sigaction(signal_number, &action, nullptr);
    }
  }
}

// ".<name>.XXXXXX" in the target's directory; the name is shortened so a long one still fits.
std::string name_template_beside(const std::string& target) {
  const std::size_t slash = target.rfind('/');
  const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  std::string name_template = target.substr(0, name_start);
  name_template += '.';
  name_template += target.substr(name_start, 64);
  name_template += ".XXXXXX";
  return name_template;
}

}  // namespace

InterruptsHeld::InterruptsHeld() noexcept {
  sigset_t held;
  sigemptyset(&held);
  for (const int signal_number : CLEANUP_SIGNALS) {
    sigaddset(&held, signal_number);
  }
  sigprocmask(SIG_BLOCK, &held, &previous_);
}

InterruptsHeld::~InterruptsHeld() {
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

TemporaryFile::TemporaryFile(const std::string& target) {
  const std::string name_template = name_template_beside(target);
  if (name_template.size() >= sizeof g_temporary_path || g_temporary_exists != 0) {
    return;
  }
  install_cleanup_handlers();
  // Creation and the record of the name happen together, so no signal finds one without the other.
  const InterruptsHeld held;
  std::memcpy(g_temporary_path, name_template.c_str(), name_template.size() + 1);
  fd_ = ::mkostemp(g_temporary_path, O_CLOEXEC);
  exists_ = fd_ >= 0;
  g_temporary_exists = exists_ ? 1 : 0;
}

TemporaryFile::~TemporaryFile() {
  remove();
}

const char* TemporaryFile::path() const noexcept {
  return exists_ ? g_temporary_path : "";
}

bool TemporaryFile::commit_over(const std::string& target) noexcept {
  if (!exists_) {
    return false;
  }
  const bool synced = ::fsync(fd_) == 0;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (!synced || !closed) {
    return false;
  }
  const InterruptsHeld held;
  if (::rename(g_temporary_path, target.c_str()) != 0) {
    return false;
  }
  exists_ = false;
  g_temporary_exists = 0;
  return true;
}

void TemporaryFile::remove() noexcept {
  const InterruptsHeld held;
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (exists_) {
    ::unlink(g_temporary_path);
    exists_ = false;
    g_temporary_exists = 0;
  }
}
