#include "base/paths.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

namespace tessaly {
namespace {

std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> out;
  PathComponents it(path);
  std::string_view c;
  while (it.next(c)) out.emplace_back(c);
  return out;
}

using Parts = std::vector<std::string>;

TEST(PathComponents, RootSeparatorsAndDots) {
  EXPECT_EQ(components(""), Parts{});
  EXPECT_EQ(components("/"), Parts{"/"});
  EXPECT_EQ(components("//"), Parts{"/"});
  EXPECT_EQ(components("/a//b/"), (Parts{"/", "a", "b"}));
  EXPECT_EQ(components("a/b"), (Parts{"a", "b"}));
  EXPECT_EQ(components("."), Parts{"."});
  EXPECT_EQ(components("./"), Parts{"."});
  EXPECT_EQ(components("./a/./b/."), (Parts{".", "a", "b"}));
  EXPECT_EQ(components(".//a"), (Parts{".", "a"}));
  EXPECT_EQ(components("/./a"), (Parts{"/", "a"}));
  EXPECT_EQ(components("a/../b"), (Parts{"a", "..", "b"}));
  EXPECT_EQ(components("../a"), (Parts{"..", "a"}));
  EXPECT_EQ(components(".hidden/.x"), (Parts{".hidden", ".x"}));
  EXPECT_EQ(components("..."), Parts{"..."});
}

TEST(PathsEqual, ComponentWise) {
  EXPECT_TRUE(paths_equal("/System/Volumes/Data", "/System/Volumes/Data/"));
  EXPECT_TRUE(paths_equal("/System/Volumes/Data", "//System///Volumes//Data//"));
  EXPECT_TRUE(paths_equal("/a/./b", "/a/b"));
  EXPECT_TRUE(paths_equal("a/b", "a/b/."));
  EXPECT_TRUE(paths_equal("", ""));
  EXPECT_TRUE(paths_equal("/", "//"));
  EXPECT_FALSE(paths_equal("/System/Volumes/Data", "/system/volumes/data"));
  EXPECT_FALSE(paths_equal("/a/b", "a/b"));
  EXPECT_FALSE(paths_equal("./a", "a"));
  EXPECT_FALSE(paths_equal("/a/../b", "/b"));
  EXPECT_FALSE(paths_equal("/a/b", "/a/b/c"));
  EXPECT_FALSE(paths_equal("/ab", "/a/b"));
  EXPECT_FALSE(paths_equal("", "."));
  EXPECT_FALSE(paths_equal("/", ""));
  // Bytes, not text: no normalisation of composed and decomposed forms.
  EXPECT_FALSE(paths_equal("/caf\xC3\xA9", "/cafe\xCC\x81"));
}

TEST(PathHash, EqualPathsHashEqually) {
  const std::vector<std::pair<std::string, std::string>> equal = {
      {"/a/b", "/a/b/"}, {"/a/b", "//a//b"}, {"/a/./b", "/a/b"},
      {"./a", ".//a/"},  {"a/.", "a"},       {"/", "///"},
  };
  for (const auto& [a, b] : equal) {
    ASSERT_TRUE(paths_equal(a, b)) << a << " vs " << b;
    EXPECT_EQ(path_hash(a), path_hash(b)) << a << " vs " << b;
  }
  EXPECT_NE(path_hash("/a/b"), path_hash("/ab"));
  EXPECT_NE(path_hash("/a/b"), path_hash("a/b"));

  std::unordered_set<std::string, PathHash, PathEqual> set;
  set.insert("/data/tree");
  EXPECT_TRUE(set.contains(std::string_view("/data/tree/")));
  EXPECT_TRUE(set.contains(std::string_view("/data//tree")));
  EXPECT_FALSE(set.contains(std::string_view("data/tree")));
}

TEST(PathStartsWith, ComponentPrefix) {
  EXPECT_TRUE(path_starts_with("/System/Volumes/Preboot", "/System/Volumes/"));
  EXPECT_TRUE(path_starts_with("/System/Volumes", "/System/Volumes/"));
  EXPECT_TRUE(path_starts_with("//System//Volumes//x", "/System/Volumes"));
  EXPECT_FALSE(path_starts_with("/System/VolumesX/a", "/System/Volumes/"));
  EXPECT_FALSE(path_starts_with("/System", "/System/Volumes/"));
  EXPECT_FALSE(path_starts_with("System/Volumes/a", "/System/Volumes/"));
  EXPECT_TRUE(path_starts_with("/anything", ""));
}

TEST(JoinPath, OneSeparator) {
  EXPECT_EQ(join_path("/a", "b"), "/a/b");
  EXPECT_EQ(join_path("/a/", "b"), "/a/b");
  EXPECT_EQ(join_path("/", "b"), "/b");
  EXPECT_EQ(join_path("", "b"), "b");
  EXPECT_EQ(join_path("a//", "b"), "a//b");
}

}  // namespace
}  // namespace tessaly
