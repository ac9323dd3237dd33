#include "support/temp_tree.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

namespace tessaly::testing {
namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Deeper than the descriptors the process may hold, below a directory no one
// may read, beside links that lead out of the tree: all of it goes, and
// nothing a link points to.
TEST(RemoveTree, RemovesDeepAndUnreadableTreesWithoutFollowingLinks) {
  TempDir outside;
  const std::string kept = outside.write_file("kept/file", 10);
  std::string root;
  rlimit limit{};
  {
    TempDir dir;
    root = dir.path();
    dir.write_file("locked/inner/file", 100);
    dir.make_symlink(outside.at("kept"), "locked/link");
    dir.make_symlink(outside.at("kept"), "link");
    int fd = ::open(dir.make_dir("chain").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (int level = 0; level < 1'000; ++level) {
      ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
      const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ::close(fd);
      ASSERT_GE(next, 0);
      fd = next;
    }
    ::close(fd);
    ASSERT_EQ(::chmod(dir.at("locked/inner").c_str(), 0), 0);
    ASSERT_EQ(::chmod(dir.at("locked").c_str(), 0), 0);
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit few{64, limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
  }
  ::setrlimit(RLIMIT_NOFILE, &limit);
  EXPECT_FALSE(exists(root));
  EXPECT_TRUE(exists(kept));
}

// A link given to remove_tree goes by itself; what it points to keeps its
// contents and its mode.
TEST(RemoveTree, RemovesALinkItselfAndLeavesItsTargetAsItWas) {
  TempDir dir;
  const std::string target = dir.write_file("target/file", 10);
  ASSERT_EQ(::chmod(dir.at("target").c_str(), 0700), 0);
  ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
  for (const std::string to : {"target", "target/file"}) {
    const std::string link = dir.make_symlink(dir.at(to), "link");
    remove_tree(link);
    EXPECT_FALSE(exists(link)) << to;
  }
  struct stat st {};
  ASSERT_EQ(::stat(dir.at("target").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// Only a refused name (EILSEQ, as APFS answers) becomes a reason to skip.
TEST(NameRefused, OnlyAnIllegalByteSequenceIsAReasonToSkip) {
  TempDir dir;
  EXPECT_EQ(name_refused([&] { dir.write_file("plain"); }), std::nullopt);
  const auto refused =
      name_refused([] { throw std::system_error(EILSEQ, std::generic_category(), "open x"); });
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(*refused, "this file system refuses names that are not valid UTF-8 (open x: " +
                          std::generic_category().message(EILSEQ) + ")");
  EXPECT_THROW(name_refused([] { throw std::system_error(EIO, std::generic_category(), "x"); }),
               std::system_error);
}

}  // namespace
}  // namespace tessaly::testing
