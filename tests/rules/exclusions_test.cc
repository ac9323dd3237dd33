#include "rules/exclusions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/paths.h"

namespace tessaly {
namespace {

TEST(ExclusionList, UserPathsThenMissingFixedPaths) {
  const ExclusionList none({});
  EXPECT_EQ(none.paths(),
            (std::vector<std::string>{"/System/Volumes/Data", "/System/Volumes/Update/mnt1",
                                      "/System/Volumes/Update/SFR/mnt1"}));

  const ExclusionList list({"x", "/System/Volumes/Data/", "x", "/System/Volumes/Update//mnt1"});
  EXPECT_EQ(list.paths(), (std::vector<std::string>{"x", "/System/Volumes/Data/", "x",
                                                    "/System/Volumes/Update//mnt1",
                                                    "/System/Volumes/Update/SFR/mnt1"}));
}

TEST(ExclusionList, MatchesComponentWiseOnly) {
  const ExclusionList list({"/data/cache/", "rel/dir"});
  EXPECT_TRUE(list.contains("/data/cache"));
  EXPECT_TRUE(list.contains("/data//cache/"));
  EXPECT_TRUE(list.contains("rel/dir"));
  EXPECT_TRUE(list.contains("/System/Volumes/Data"));
  EXPECT_TRUE(list.contains("/System/Volumes/Update/SFR/mnt1/"));
  EXPECT_FALSE(list.contains("/data/Cache"));
  EXPECT_FALSE(list.contains("/data/cache/sub"));
  EXPECT_FALSE(list.contains("/data"));
  EXPECT_FALSE(list.contains("/abs/rel/dir"));  // relative never matches an absolute path
  EXPECT_FALSE(list.contains("/System/Volumes"));
}

TEST(ExclusionList, TellsWhichLastComponentsCanBeExcluded) {
  const ExclusionList list({"/data/cache/", "rel/./dir/.", "/"});
  for (const char* name : {"cache", "dir", "Data", "mnt1", "/"}) EXPECT_TRUE(list.may_end_in(name));
  for (const char* name : {"data", "rel", "Cache", ".", "Update", ""})
    EXPECT_FALSE(list.may_end_in(name));
}

// The check of the last name never refuses a path an excluded path equals,
// however either is spelled.
TEST(ExclusionList, LastNameCheckAgreesWithWholePathComparison) {
  const std::vector<std::string> spellings = {
      "",    "/",   "//",     "/.", "/./", ".",     "./",   "./.",     "..",    "a",     "a/",
      "a/.", "./a", "./a/./", "/a", "/a/", "/a//.", "/a/b", "/a/./b/", "a/b/.", "/a/..", "/a/../"};
  for (const std::string& excluded : spellings) {
    const ExclusionList list({excluded});
    for (const std::string& path : spellings) {
      bool equal = false;
      for (const std::string& p : list.paths()) equal = equal || paths_equal(p, path);
      EXPECT_EQ(list.contains(path), equal) << "'" << excluded << "' '" << path << "'";
    }
  }
}

}  // namespace
}  // namespace tessaly
