#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "temporary_file_posix.hpp"

namespace {

namespace fs = std::filesystem;

class TemporaryFileTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string name_template = (fs::temp_directory_path() / "tempfile-test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(name_template.data()), nullptr);
    directory_ = name_template;
    target_ = (directory_ / "memo.txt").string();
    std::ofstream(target_) << "old";
  }
  void TearDown() override { fs::remove_all(directory_); }

  [[nodiscard]] std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(directory_), {}));
  }

  fs::path directory_;
  std::string target_;
};

TEST_F(TemporaryFileTest, IsMadeBesideTheTargetAndRemovedUnlessCommitted) {
  {
    TemporaryFile temporary(target_);
    ASSERT_TRUE(temporary.created());
    EXPECT_EQ(fs::path(temporary.path()).parent_path(), directory_);
    EXPECT_EQ(entries(), 2u);
  }
  EXPECT_EQ(entries(), 1u);
}

TEST_F(TemporaryFileTest, CommitReplacesTheTarget) {
  {
    TemporaryFile temporary(target_);
    ASSERT_TRUE(temporary.created());
    ASSERT_EQ(::write(temporary.fd(), "new", 3), 3);
    ASSERT_TRUE(temporary.commit_over(target_));
  }
  std::ifstream in(target_);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new");
  EXPECT_EQ(entries(), 1u);
}

TEST_F(TemporaryFileTest, FailedCommitLeavesTargetAndRemovesTheFile) {
  {
    TemporaryFile temporary(target_);
    ASSERT_TRUE(temporary.created());
    EXPECT_FALSE(temporary.commit_over((directory_ / "missing" / "memo.txt").string()));
  }
  EXPECT_EQ(entries(), 1u);
}

using TemporaryFileDeathTest = TemporaryFileTest;

TEST_F(TemporaryFileDeathTest, InterruptRemovesItBeforeTheProcessEnds) {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    EXPECT_EXIT(
        {
          TemporaryFile temporary(target_);
          if (!temporary.created()) {
            std::exit(2);
          }
          std::raise(signal_number);
          std::exit(3);
        },
        testing::KilledBySignal(signal_number), "");
    EXPECT_EQ(entries(), 1u) << "signal " << signal_number;
  }
}

}  // namespace
