#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "file_content.hpp"
#include "replacement.hpp"
#include "source_file.hpp"

// The scenarios of the policy's model, run over the real steps of this system: another writer
// strikes right after each step. Where a lease is had, the writer opens the file then, which
// breaks the lease, and waits, or, where the lease has lapsed, rewrites whatever the name holds
// then; where none is had, the writer has held the file open from before the run (a logger) and
// rewrites it at once. Either way the file must keep what it has, and no
// scratch file may stay.

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

const std::string OLD = "old content\r\n";
const std::string NEW = "new!\n";
// OLD after the writer's same-size rewrite of its first byte.
const std::string THEIRS = "Xld content\r\n";
const std::string THEIRS_OF_NEW = "Xew!\n";

// Forwards every step to the real one and names it, so that the writer can strike after it.
class Striking final : public ReplacementSteps {
 public:
  Striking(ReplacementSteps& real, std::vector<std::string>& steps, const std::string& strike_after,
           const fs::path& path, int held, bool chmod)
      : real_(real),
        steps_(steps),
        strike_after_(strike_after),
        path_(path),
        held_(held),
        chmod_(chmod) {}

  bool read_metadata() noexcept override { return after("read_metadata", real_.read_metadata()); }
  bool may_write() noexcept override { return after("may_write", real_.may_write()); }
  bool open_for_writing() noexcept override {
    return after("open_for_writing", real_.open_for_writing());
  }
  bool still_the_file_read() noexcept override {
    return after("still_the_file_read", real_.still_the_file_read());
  }
  bool metadata_unchanged() noexcept override {
    return after("metadata_unchanged", real_.metadata_unchanged());
  }
  Exclusion exclusion() noexcept override { return real_.exclusion(); }
  bool holds(std::span<const unsigned char> content) noexcept override {
    return after("holds", real_.holds(content));
  }
  bool may_take_new_file() noexcept override { return real_.may_take_new_file(); }
  Outcome make_scratch(Scratch kind) noexcept override {
    return after(kind == Scratch::temporary ? "make_temporary" : "make_backup",
                 real_.make_scratch(kind));
  }
  Outcome write_scratch(Content& content) noexcept override {
    return after("write_scratch", real_.write_scratch(content));
  }
  Outcome carry_metadata(bool keep_time) noexcept override {
    return after("carry_metadata", real_.carry_metadata(keep_time));
  }
  void start_flushing_scratch() noexcept override { real_.start_flushing_scratch(); }
  bool flush_scratch() noexcept override { return after("flush_scratch", real_.flush_scratch()); }
  Outcome commit_scratch() noexcept override {
    return after("commit_scratch", real_.commit_scratch());
  }
  bool swapped_as_meant() noexcept override {
    return after("swapped_as_meant", real_.swapped_as_meant());
  }
  bool undo_commit() noexcept override { return after("undo_commit", real_.undo_commit()); }
  bool settle_commit() noexcept override { return after("settle_commit", real_.settle_commit()); }
  void drop_scratch() noexcept override { real_.drop_scratch(); }
  void keep_scratch() noexcept override { real_.keep_scratch(); }
  Written write_file(Content& content) noexcept override {
    return after("write_file", real_.write_file(content));
  }
  bool finish_file(std::size_t size, bool keep_time) noexcept override {
    return after("finish_file", real_.finish_file(size, keep_time));
  }
  bool put_back(std::span<const unsigned char> old_content) noexcept override {
    return after("put_back", real_.put_back(old_content));
  }
  int error() const noexcept override { return real_.error(); }
  void hold_interruptions() noexcept override { real_.hold_interruptions(); }
  void release_interruptions() noexcept override { real_.release_interruptions(); }

  bool broke_lease = false;
  bool wrote = false;
  bool changed_mode = false;

 private:
  template <typename Result>
  Result after(const char* name, Result result) {
    steps_.emplace_back(name);
    if (name == strike_after_ && !broke_lease && !wrote) {
      strike();
    }
    return result;
  }

  // Same size, so that only the times or the content can show it; or, with chmod, a change of
  // permissions by name, which no lease keeps out.
  void strike() {
    if (chmod_) {
      changed_mode = ::chmod(path_.c_str(), 0600) == 0;
      return;
    }
    if (held_ >= 0) {
      wrote = ::pwrite(held_, "X", 1, 0) == 1;
      return;
    }
    const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    broke_lease = fd < 0 && errno == EWOULDBLOCK;
    if (fd >= 0) {
      wrote = ::pwrite(fd, "X", 1, 0) == 1;
      ::close(fd);
    }
  }

  ReplacementSteps& real_;
  std::vector<std::string>& steps_;
  std::string strike_after_;
  fs::path path_;
  int held_;
  bool chmod_;
};

// Drops CAP_LEASE while it lives, so that no lease is had on a file of another owner.
class WithoutLeases {
 public:
  WithoutLeases() { set(false); }
  WithoutLeases(const WithoutLeases&) = delete;
  WithoutLeases& operator=(const WithoutLeases&) = delete;
  ~WithoutLeases() { set(true); }

 private:
  static void set(bool on) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    ASSERT_EQ(::syscall(SYS_capget, &header, data), 0);
    const unsigned bit = 1u << (CAP_LEASE % 32);
    data[CAP_LEASE / 32].effective =
        on ? data[CAP_LEASE / 32].effective | bit : data[CAP_LEASE / 32].effective & ~bit;
    ASSERT_EQ(::syscall(SYS_capset, &header, data), 0);
  }
};

class PosixSteps : public testing::Test {
 protected:
  void SetUp() override {
    std::string name_template = (fs::temp_directory_path() / "steps-test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(name_template.data()), nullptr);
    directory_ = name_template;
  }
  void TearDown() override { fs::remove_all(directory_); }

  struct Run {
    bool replaced = false;
    bool broke_lease = false;
    bool wrote = false;
    bool changed_mode = false;
    bool leased = false;
    std::vector<std::string> steps;
  };

  // Converts memo.txt as the job does, with a writer striking after the named step.
  Run run(bool links, bool leases, const std::string& strike_after = "", bool chmod = false) {
    for (const auto& entry : fs::directory_iterator(directory_)) {
      fs::remove(entry.path());
    }
    const fs::path path = directory_ / "memo.txt";
    std::ofstream(path, std::ios::binary) << OLD;
    ::chmod(path.c_str(), 0644);
    if (links) {
      fs::create_hard_link(path, directory_ / "link.txt");
    }
    // A lease needs the file's owner or CAP_LEASE.
    if (!leases && ::chown(path.c_str(), 65534, 65534) != 0) {
      ADD_FAILURE() << "chown";
    }
    std::unique_ptr<WithoutLeases> no_leases(leases ? nullptr : new WithoutLeases);
    const int held = leases ? -1 : ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    Run result;
    SourceFile file;
    if (!file.open(path.c_str())) {
      ADD_FAILURE() << "open";
      return result;
    }
    result.leased = file.writers_kept_out();
    FileContent content(file, OLD.size());
    if (!result.leased) {
      EXPECT_EQ(content.load(), Loaded::done);
    }
    const Bytes converted(NEW.begin(), NEW.end());
    HeldContent new_content(converted);
    const std::unique_ptr<ReplacementSteps> real = file.replacement_steps();
    Striking steps(*real, result.steps, strike_after, path, held, chmod);
    {
      Replacement replacement(steps, content, new_content);
      const Replacement::Prepared prepared = replacement.prepare();
      result.replaced = prepared == Replacement::Prepared::waiting
                            ? (replacement.start_flush(), replacement.finish())
                            : replacement.succeeded();
    }
    file.close();
    finish_replacements([](const char*, int) {});
    if (held >= 0) {
      ::close(held);
    }
    result.broke_lease = steps.broke_lease;
    result.wrote = steps.wrote;
    result.changed_mode = steps.changed_mode;
    return result;
  }

  [[nodiscard]] std::string content() const {
    std::ifstream in(directory_ / "memo.txt", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  [[nodiscard]] std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(directory_), {}));
  }

  fs::path directory_;
};

TEST_F(PosixSteps, AWriterAtAnyStepUpToTheCommitKeepsTheFileAndItsWrite) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to take leases on another's file and to give files away";
  }
  for (const bool links : {false, true}) {
    for (const bool leases : {true, false}) {
      const Run plain = run(links, leases);
      ASSERT_TRUE(plain.replaced);
      ASSERT_EQ(plain.leased, leases);
      EXPECT_EQ(content(), NEW);
      const char* const point_of_no_return = links ? "write_file" : "settle_commit";
      for (auto step = plain.steps.begin(); *step != point_of_no_return; ++step) {
        // The last comparison before the point of no return has nothing after it to see.
        if (*step == "holds" && *(step + 1) == point_of_no_return) {
          continue;
        }
        SCOPED_TRACE(*step + (links ? " in place" : " replacing") +
                     (leases ? ", leased" : ", no lease"));
        const Run struck = run(links, leases, *step);
        EXPECT_TRUE(struck.broke_lease || struck.wrote);
        EXPECT_EQ(entries(), links ? 2u : 1u);
        // A writer that opened the name after the commit wrote the new file.
        if (content() == THEIRS_OF_NEW) {
          EXPECT_TRUE(struck.replaced);
          continue;
        }
        EXPECT_FALSE(struck.replaced);
        EXPECT_EQ(content(), struck.wrote ? THEIRS : OLD);
      }
    }
  }
}

// Regression: a permission change made while the file waited, or between the last check and the
// exchange, was taken back by the new file, which had been given the mode read at the start.
TEST_F(PosixSteps, APermissionChangeAtAnyStepStays) {
  for (const bool links : {false, true}) {
    const Run plain = run(links, true);
    ASSERT_TRUE(plain.replaced);
    for (auto step = plain.steps.begin(); step != plain.steps.end() && *step != "settle_commit";
         ++step) {
      SCOPED_TRACE(*step + (links ? " in place" : " replacing"));
      const Run struck = run(links, true, *step, true);
      ASSERT_TRUE(struck.changed_mode);
      struct stat status {};
      ASSERT_EQ(::stat((directory_ / "memo.txt").c_str(), &status), 0);
      EXPECT_EQ(status.st_mode & 07777, 0600u);
      EXPECT_EQ(entries(), links ? 2u : 1u);
    }
  }
}

}  // namespace
