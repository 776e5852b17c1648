#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "scratch_file.hpp"
#include "signals.hpp"

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

constexpr auto TEMPORARY = ScratchFile::Kind::temporary;
constexpr auto BACKUP = ScratchFile::Kind::backup;

TEST_F(ScratchFileTest, IsMadeHiddenInTheDirectoryAndGoesOrStaysAsItsOwnerSays) {
  {
    ScratchFile scratch(directory_.get(), "memo.txt", BACKUP);
    ASSERT_TRUE(scratch.created());
    // Regression: a backup was named before it was written, so a kill meanwhile left a short
    // one under a backup's name. Unnamed until it is whole, then named as a backup.
    EXPECT_EQ(entries(), 1u);
    ASSERT_TRUE(scratch.name_whole_backup());
    const std::string name = scratch.name();
    EXPECT_EQ(name.rfind(".memo.txt.", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".bak");
    EXPECT_TRUE(fs::exists(path_ / name));
    EXPECT_EQ(fs::status(path_ / name).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    scratch.discard();
  }
  EXPECT_EQ(entries(), 1u);
  {
    ScratchFile kept(directory_.get(), "memo.txt", TEMPORARY);
    ASSERT_TRUE(kept.created());
    // Unnamed while it is written: nothing in the directory to reach it by.
    EXPECT_EQ(entries(), 1u);
    ASSERT_TRUE(kept.link());
    EXPECT_TRUE(fs::exists(path_ / kept.name()));
    kept.keep();
  }
  EXPECT_EQ(entries(), 2u);
}

TEST_F(ScratchFileTest, LongNamesAreCutAtACharacterAndOnlyOneExistsAtATime) {
  // Three-byte characters after two bytes: the 65th byte is the middle of a character.
  std::string long_name = "nn";
  for (int i = 0; i < 40; ++i) {
    long_name += "\xe3\x81\x82";
  }
  ScratchFile first(directory_.get(), long_name, BACKUP);
  ASSERT_TRUE(first.created() && first.name_whole_backup());
  const std::string name = first.name();
  std::string expected = ".";
  expected.append(long_name, 0, 62);
  EXPECT_EQ(name.substr(0, 63), expected) << name;
  EXPECT_EQ(name[63], '.') << name;
  std::vector<std::unique_ptr<ScratchFile>> more;
  for (std::size_t made = 1; made < MOST_SCRATCH_FILES; ++made) {
    more.push_back(std::make_unique<ScratchFile>(directory_.get(), "memo.txt", TEMPORARY));
    ASSERT_TRUE(more.back()->created());
  }
  const ScratchFile one_too_many(directory_.get(), "memo.txt", TEMPORARY);
  EXPECT_FALSE(one_too_many.created());
  first.discard();
  for (const std::unique_ptr<ScratchFile>& scratch : more) {
    scratch->discard();
  }
}

TEST_F(ScratchFileTest, DirectoryThatTakesNoFileGivesItsError) {
  const Descriptor nowhere(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const ScratchFile scratch(nowhere.get(), "memo.txt", TEMPORARY);
  EXPECT_FALSE(scratch.created());
  EXPECT_NE(scratch.error(), 0);
}

using ScratchFileDeathTest = ScratchFileTest;

// Every signal that ends the process by default removes a named temporary file first, the ones
// sent from outside and the faults alike; a whole backup stays whatever ends the process.
TEST_F(ScratchFileDeathTest, AnyEndingSignalRemovesATemporaryFileButNeverABackup) {
  for (const auto kind : {TEMPORARY, BACKUP}) {
    for (const int signal_number :
         {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGRTMIN + 3, SIGABRT}) {
      EXPECT_EXIT(
          {
            ScratchFile scratch(directory_.get(), "memo.txt", kind);
            if (!scratch.created() ||
                !(kind == BACKUP ? scratch.name_whole_backup() : scratch.link())) {
              std::exit(2);
            }
            std::raise(signal_number);
            std::exit(3);
          },
          testing::KilledBySignal(signal_number), "");
      EXPECT_EQ(entries(), kind == BACKUP ? 2u : 1u) << "signal " << signal_number;
      for (const auto& entry : fs::directory_iterator(path_)) {
        if (entry.path().filename() != "memo.txt") {
          fs::remove(entry.path());
        }
      }
    }
  }
}

// A file-size limit makes writes fail and a reader that has gone makes messages fail, instead of
// either ending the process.
TEST_F(ScratchFileDeathTest, FileSizeLimitAndAClosedPipeDoNotEndTheProcess) {
  for (const int signal_number : {SIGXFSZ, SIGPIPE}) {
    EXPECT_EXIT(
        {
          prepare_signals();
          std::raise(signal_number);
          std::exit(7);
        },
        testing::ExitedWithCode(7), "");
  }
}

}  // namespace
