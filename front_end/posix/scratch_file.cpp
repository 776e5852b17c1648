#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "scratch_file.hpp"
#include "scratch_name.hpp"
#include "signals.hpp"

// Guarantees that no temporary file outlives the process by name, whatever ends it: it has no
// name until just before it takes the file's place, and a signal that ends the process meanwhile
// removes the name first (signals.cpp); only a SIGKILL or a power cut in that moment leaves it.
// A backup is made the same way and gets its backup's name only once it is whole and on disk; from
// then on no signal removes it: the steps during which one is needed hold back every signal
// another process can send, and a fault of the process's own then leaves the backup on disk.

// The signal handler may only touch plain static storage, so the scratch files that exist are
// recorded here rather than in the objects, one slot each. A slot's exists is set only while its
// file has a temporary file's name.
struct ScratchSlot {
  int directory = -1;
  char name[SCRATCH_NAME_ROOM];
  // The name of the file it is for.
  char file_name[NAME_MAX + 1];
  std::size_t file_name_length = 0;
  volatile std::sig_atomic_t exists = 0;
  bool in_use = false;
};

namespace {

ScratchSlot g_slots[MOST_SCRATCH_FILES];

// Random bytes from the kernel's generator. Without it the names still differ, only more
// guessably; creation is exclusive either way.
void fill_noise(ScratchNoise& noise, int attempt) noexcept {
  if (::getrandom(noise.data(), noise.size(), 0) == static_cast<ssize_t>(noise.size())) {
    return;
  }
  static unsigned counter = 0;
  const auto seed = static_cast<unsigned>(::getpid()) * 2654435761u +
                    (++counter + static_cast<unsigned>(attempt)) * 40503u;
  for (std::size_t i = 0; i < noise.size(); ++i) {
    noise[i] = static_cast<unsigned char>(seed >> (3 * i));
  }
}

// Renames from to to in directory unless to exists: 0, or -1 with errno set.
int rename_without_replacing(int directory, const char* from, const char* to) noexcept {
  if (::renameat2(directory, from, directory, to, RENAME_NOREPLACE) == 0) {
    return 0;
  }
  // File systems without the flag (some FUSE ones) still make links exclusively.
  if (errno != EINVAL || ::linkat(directory, from, directory, to, 0) != 0) {
    return -1;
  }
  ::unlinkat(directory, from, 0);
  return 0;
}

// Whether an unnamed file made now can be given a name later: by its descriptor alone, which
// takes CAP_DAC_READ_SEARCH, or through /proc, which a chroot or a container may lack.
bool unnamed_files_can_be_named() noexcept {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  const bool by_descriptor =
      ::syscall(SYS_capget, &header, data) == 0 &&
      (data[CAP_DAC_READ_SEARCH / 32].effective & (1u << (CAP_DAC_READ_SEARCH % 32))) != 0;
  return by_descriptor || ::access("/proc/self/fd", X_OK) == 0;
}

}  // namespace

void remove_named_scratch_files() noexcept {
  for (ScratchSlot& slot : g_slots) {
    if (slot.exists != 0) {
      ::unlinkat(slot.directory, slot.name, 0);
      slot.exists = 0;
    }
  }
}

bool named_scratch_files_exist() noexcept {
  return std::any_of(std::begin(g_slots), std::end(g_slots),
                     [](const ScratchSlot& slot) { return slot.exists != 0; });
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
  if (name.size() >= sizeof slot_->file_name) {
    error_ = ENAMETOOLONG;
    return;
  }
  std::copy_n(name.data(), name.size(), slot_->file_name);
  slot_->file_name_length = name.size();
  slot_->name[0] = '\0';
  slot_->directory = directory;
  slot_->in_use = true;
  claimed_ = true;

  constexpr int FLAGS = O_RDWR | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  if (unnamed_files_can_be_named()) {
    fd_.reset(::openat(directory, ".", O_TMPFILE | FLAGS, 0600));
    if (fd_.get() >= 0) {
      lock();
      return;
    }
    // File systems without unnamed files get a named one at once, as does a process that could
    // not name one later.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      error_ = errno;
      discard();
      return;
    }
  }
  if (!give_name(-1)) {
    discard();
  }
}

bool ScratchFile::give_name(int unnamed) noexcept {
  const std::string_view file_name(slot_->file_name, slot_->file_name_length);
  // A backup that is not yet whole goes by a temporary file's name, which a signal removes.
  const bool final_name = kind_ == Kind::backup && whole_;
  const std::string_view suffix = final_name ? BACKUP_SUFFIX : TEMPORARY_SUFFIX;
  char previous[SCRATCH_NAME_ROOM];
  std::copy_n(slot_->name, sizeof previous, previous);
  return create_scratch(file_name, suffix, fill_noise, [&](std::string_view candidate) {
    // Naming and the record of the name happen together, so no signal finds one without the
    // other.
    const SignalsHeld held;
    std::copy_n(candidate.data(), candidate.size(), slot_->name);
    slot_->name[candidate.size()] = '\0';
    int made = 0;
    if (named_) {
      made = rename_without_replacing(directory_, previous, slot_->name);
    } else if (unnamed >= 0) {
      made = ::linkat(unnamed, "", directory_, slot_->name, AT_EMPTY_PATH);
      if (made != 0 && errno != EEXIST) {
        made =
            ::linkat(AT_FDCWD, link_of(unnamed).path, directory_, slot_->name, AT_SYMLINK_FOLLOW);
      }
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
      slot_->exists = final_name ? 0 : 1;
      return Created::made;
    }
    error_ = errno;
    std::copy_n(previous, sizeof previous, slot_->name);
    return error_ == EEXIST ? Created::name_taken : Created::failed;
  });
}

void ScratchFile::lock() noexcept {
  // Another conversion that meets the name waits, then finds it gone, instead of converting it.
  ::flock(fd_.get(), LOCK_EX | LOCK_NB);
}

bool ScratchFile::link() noexcept {
  return named_ || (created() && give_name(fd_.get()));
}

bool ScratchFile::name_whole_backup() noexcept {
  if (kind_ != Kind::backup || whole_ || !created()) {
    return whole_;
  }
  whole_ = true;
  if (!give_name(named_ ? -1 : fd_.get())) {
    whole_ = false;
  }
  return whole_;
}

const char* ScratchFile::name() const noexcept {
  return named_ ? slot_->name : "";
}

ScratchFile::~ScratchFile() {
  assert(decided_ || !created());
  discard();
}

void ScratchFile::discard() noexcept {
  decided_ = true;
  const SignalsHeld held;
  fd_.reset();
  if (named_) {
    ::unlinkat(directory_, slot_->name, 0);
    named_ = false;
    slot_->exists = 0;
  }
  unclaim();
}

void ScratchFile::keep() noexcept {
  decided_ = true;
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
