#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "posix_support.hpp"

namespace {

namespace fs = std::filesystem;

class ScratchFileTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string name_template = (fs::temp_directory_path() / "scratch-test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(name_template.data()), nullptr);
    path_ = name_template;
    directory_.reset(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_GE(directory_.get(), 0);
    std::ofstream(path_ / "memo.txt") << "old";
  }
  void TearDown() override { fs::remove_all(path_); }

  [[nodiscard]] std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(path_), {}));
  }

  fs::path path_;
  Descriptor directory_;
};

TEST_F(ScratchFileTest, IsMadeHiddenInTheDirectoryAndRemovedUnlessReleased) {
  {
    const ScratchFile scratch(directory_.get(), "memo.txt", ".bak");
    ASSERT_TRUE(scratch.created());
    const std::string name = scratch.name();
    EXPECT_EQ(name.rfind(".memo.txt.", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".bak");
    EXPECT_TRUE(fs::exists(path_ / name));
    EXPECT_EQ(fs::status(path_ / name).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_EQ(entries(), 1u);
  {
    ScratchFile kept(directory_.get(), "memo.txt", "");
    ASSERT_TRUE(kept.created());
    kept.release();
  }
  EXPECT_EQ(entries(), 2u);
}

TEST_F(ScratchFileTest, LongNamesAreCutAndOnlyOneExistsAtATime) {
  const std::string long_name(250, 'n');
  const ScratchFile first(directory_.get(), long_name, ".bak");
  ASSERT_TRUE(first.created());
  EXPECT_LE(std::string(first.name()).size(), 80u);
  const ScratchFile second(directory_.get(), "memo.txt", "");
  EXPECT_FALSE(second.created());
}

TEST_F(ScratchFileTest, DirectoryThatTakesNoFileGivesItsError) {
  const Descriptor nowhere(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const ScratchFile scratch(nowhere.get(), "memo.txt", "");
  EXPECT_FALSE(scratch.created());
  EXPECT_NE(scratch.error(), 0);
}

using ScratchFileDeathTest = ScratchFileTest;

// Every signal that ends the process by default removes the file first, the ones sent from
// outside and the faults alike.
TEST_F(ScratchFileDeathTest, AnyEndingSignalRemovesItBeforeTheProcessEnds) {
  for (const int signal_number :
       {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGRTMIN + 3}) {
    EXPECT_EXIT(
        {
          const ScratchFile scratch(directory_.get(), "memo.txt", "");
          if (!scratch.created()) {
            std::exit(2);
          }
          std::raise(signal_number);
          std::exit(3);
        },
        testing::KilledBySignal(signal_number), "");
    EXPECT_EQ(entries(), 1u) << "signal " << signal_number;
  }
}

TEST_F(ScratchFileDeathTest, FileSizeLimitMakesWritesFailInsteadOfEndingTheProcess) {
  EXPECT_EXIT(
      {
        prepare_signals();
        std::raise(SIGXFSZ);
        std::exit(7);
      },
      testing::ExitedWithCode(7), "");
}

}  // namespace
