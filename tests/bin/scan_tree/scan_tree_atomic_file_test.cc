#include "bin/scan_tree/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_tree.h"

namespace tessaly::scan_tree {
namespace {

using testing::entry_names;
using testing::read_file;

using testing::TempDir;

TEST(ScanTreeAtomicFile, CommitPutsTheWholeContentInPlace) {
  TempDir dir;
  const std::string target = dir.at("out.json");
  auto file = AtomicFile::create(target);
  ASSERT_TRUE(file.has_value()) << file.error();
  EXPECT_TRUE(file->temp_path().starts_with(dir.at(".out.json.tmp-"))) << file->temp_path();
  EXPECT_TRUE(file->write("hello "));
  EXPECT_TRUE(file->write("world\n"));
  EXPECT_FALSE(std::filesystem::exists(target)) << "nothing appears before the commit";
  ASSERT_TRUE(file->commit().has_value());
  EXPECT_EQ(read_file(target), "hello world\n");
  EXPECT_EQ(entry_names(dir.path()), std::vector<std::string>{"out.json"});
}

TEST(ScanTreeAtomicFile, ReplacesAnExistingFileOnlyOnCommit) {
  TempDir dir;
  const std::string target = dir.write_text("out.json", "old");
  {
    auto file = AtomicFile::create(target);
    ASSERT_TRUE(file.has_value());
    EXPECT_TRUE(file->write("new"));
    EXPECT_EQ(read_file(target), "old");
  }
  EXPECT_EQ(read_file(target), "old") << "an uncommitted file is dropped";
  EXPECT_EQ(entry_names(dir.path()), std::vector<std::string>{"out.json"});

  auto file = AtomicFile::create(target);
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(file->write("new"));
  ASSERT_TRUE(file->commit().has_value());
  EXPECT_EQ(read_file(target), "new");
}

TEST(ScanTreeAtomicFile, DiscardRemovesTheTemporaryFile) {
  TempDir dir;
  auto file = AtomicFile::create(dir.at("out.json"));
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(std::filesystem::exists(file->temp_path()));
  file->discard();
  EXPECT_FALSE(file->write("late"));
  EXPECT_TRUE(entry_names(dir.path()).empty());
  const auto committed = file->commit();
  ASSERT_FALSE(committed.has_value());
  EXPECT_EQ(committed.error(),
            "failed to write " + dir.at("out.json") + ": Bad file descriptor (os error 9)");
}

TEST(ScanTreeAtomicFile, MovedFromFilesOwnNothing) {
  TempDir dir;
  auto file = AtomicFile::create(dir.at("out.json"));
  ASSERT_TRUE(file.has_value());
  AtomicFile moved(std::move(*file));
  file->discard();
  EXPECT_EQ(entry_names(dir.path()).size(), 1u) << "only the new owner removes the file";
  EXPECT_TRUE(moved.write("x"));
  ASSERT_TRUE(moved.commit().has_value());
  EXPECT_EQ(read_file(dir.at("out.json")), "x");
}

std::string create_error(const std::string& path) {
  auto file = AtomicFile::create(path);
  EXPECT_FALSE(file.has_value()) << path;
  return file ? std::string() : file.error();
}

TEST(ScanTreeAtomicFile, TargetsThatCannotBeWritten) {
  TempDir dir;
  dir.make_dir("sub");
  const std::string missing_parent = dir.at("missing/out.json");
  EXPECT_EQ(create_error(missing_parent),
            "failed to write " + missing_parent + ": No such file or directory (os error 2)");
  EXPECT_EQ(create_error(dir.at("sub")),
            "failed to write " + dir.at("sub") + ": Is a directory (os error 21)");
  EXPECT_EQ(create_error(dir.at("sub/")),
            "failed to write " + dir.at("sub/") + ": Is a directory (os error 21)");
  EXPECT_EQ(create_error(dir.at("sub/..")),
            "failed to write " + dir.at("sub/..") + ": Is a directory (os error 21)");
  const std::string file_parent = dir.write_text("plain", "x") + "/out.json";
  EXPECT_EQ(create_error(file_parent),
            "failed to write " + file_parent + ": Not a directory (os error 20)");
  EXPECT_EQ(create_error(""), "failed to write : No such file or directory (os error 2)");
  EXPECT_EQ(entry_names(dir.path()), (std::vector<std::string>{"plain", "sub"}));
}

TEST(ScanTreeAtomicFile, RenameFailureLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string target = dir.at("later-a-directory");
  auto file = AtomicFile::create(target);
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(file->write("data"));
  dir.make_dir("later-a-directory/child");
  const auto committed = file->commit();
  ASSERT_FALSE(committed.has_value());
  EXPECT_EQ(committed.error(), "failed to write " + target + ": Is a directory (os error 21)");
  EXPECT_EQ(entry_names(dir.path()), std::vector<std::string>{"later-a-directory"});
}

TEST(ScanTreeAtomicFile, LongNamesStillGetATemporaryFile) {
  TempDir dir;
  const std::string target = dir.at(std::string(255, 'n'));
  auto file = AtomicFile::create(target);
  ASSERT_TRUE(file.has_value()) << file.error();
  EXPECT_TRUE(file->write("x"));
  ASSERT_TRUE(file->commit().has_value());
  EXPECT_EQ(read_file(target), "x");
}

TEST(ScanTreeAtomicFile, ADirectoryWithoutWritePermission) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string locked = dir.make_dir("locked");
  ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
  const std::string target = locked + "/out.json";
  const int status = testing::run_unprivileged([&] {
    auto file = AtomicFile::create(target);
    if (file.has_value()) return 10;
    return file.error() == "failed to write " + target + ": Permission denied (os error 13)" ? 0
                                                                                             : 11;
  });
  if (status == -1) GTEST_SKIP() << "cannot drop privileges to uid 65534 here";
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(entry_names(locked).empty());
}

}  // namespace
}  // namespace tessaly::scan_tree
