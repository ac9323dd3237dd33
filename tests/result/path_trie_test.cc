#include "result/path_trie.h"

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <unordered_map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/paths.h"
#include "result/result.h"

namespace tessaly {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

template <typename Map>
std::map<std::string, std::uint64_t> sorted(const Map& sizes) {
  return {sizes.begin(), sizes.end()};
}

TEST(PathMap, ComponentKeysMatchAnySpellingAndKeepTheFirst) {
  TruncatedSizes map;
  map["/a//b/"] = 5;
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.at("/a/b"), 5u);
  EXPECT_TRUE(map.contains("/a/./b"));
  EXPECT_EQ(map.count("///a/b//"), 1u);
  map["/a/b"] += 2;
  ASSERT_EQ(map.size(), 1u);
  const auto it = map.find("/a/b/.");
  ASSERT_NE(it, map.end());
  EXPECT_EQ(it->first, "/a//b/");
  EXPECT_EQ(it->second, 7u);
  EXPECT_THAT(sorted(map), ElementsAre(Pair("/a//b/", 7u)));
}

TEST(PathMap, ByteKeysMatchOnlyTheSameBytes) {
  DirSizes map{{"/a/b", 1}, {"/a//b", 2}, {"/a/b/", 3}};
  EXPECT_EQ(map.size(), 3u);
  EXPECT_EQ(map.at("/a/b"), 1u);
  EXPECT_EQ(map.at("/a//b"), 2u);
  EXPECT_EQ(map.at("/a/b/"), 3u);
  EXPECT_FALSE(map.contains("/a/./b"));
  EXPECT_EQ(map.find("/a"), map.end());
  EXPECT_THAT(sorted(map), ElementsAre(Pair("/a//b", 2u), Pair("/a/b", 1u), Pair("/a/b/", 3u)));
}

TEST(PathMap, AncestorsStoredForADeepKeyAreNotKeys) {
  ChildrenMap map;
  NameStore names;
  names.append(map["/r/a/b/c"], names.entry("f", 1, false));
  EXPECT_EQ(map.size(), 1u);
  EXPECT_FALSE(map.contains("/r/a/b"));
  EXPECT_FALSE(map.contains("/r"));
  EXPECT_FALSE(map.contains("/"));
  EXPECT_EQ(map.find("/r/a"), map.end());
  EXPECT_THROW(map.at("/r/a"), std::out_of_range);
  // A key whose components equal a stored ancestor's keeps its own spelling.
  names.append(map["/r//a/"], names.entry("g", 2, false));
  EXPECT_EQ(map.size(), 2u);
  std::map<std::string, std::size_t> keys;
  for (const auto& [key, list] : map) keys[key] = list.size();
  EXPECT_THAT(keys, ElementsAre(Pair("/r//a/", 1u), Pair("/r/a/b/c", 1u)));
  EXPECT_EQ(map.at("/r/a").front().name(), "g");
}

TEST(PathMap, EqualityFollowsTheKeying) {
  TruncatedSizes left{{"/x/y", 1}, {"/z", 2}};
  TruncatedSizes right{{"/z/", 2}, {"/x//y", 1}};
  EXPECT_EQ(left, right);
  right["/z"] = 3;
  EXPECT_NE(left, right);
  DirSizes bytes_left{{"/x/y", 1}};
  DirSizes bytes_right{{"/x//y", 1}};
  EXPECT_NE(bytes_left, bytes_right);
  EXPECT_EQ(bytes_left, (DirSizes{{"/x/y", 1}}));
}

// Random spellings of paths over few names, with every separator oddity.
std::string random_path(std::mt19937_64& random) {
  static const std::vector<std::string> parts = {"a", "b", "..", ".", "", "c d", "\xff"};
  std::string path = random() % 4 == 0 ? "" : "/";
  const std::size_t count = random() % 5;
  for (std::size_t i = 0; i < count; ++i) {
    path += parts[random() % parts.size()];
    if (i + 1 < count || random() % 3 == 0) path += random() % 4 == 0 ? "//" : "/";
  }
  return path;
}

TEST(PathMap, AgreesWithUnorderedMapsOnRandomSpellings) {
  for (std::uint64_t seed = 1; seed <= 30; ++seed) {
    std::mt19937_64 random(seed);
    TruncatedSizes components;
    std::unordered_map<std::string, std::uint64_t, PathHash, PathEqual> components_reference;
    DirSizes bytes;
    std::unordered_map<std::string, std::uint64_t> bytes_reference;
    for (int i = 0; i < 300; ++i) {
      const std::string path = random_path(random);
      const std::uint64_t value = random() % 1000;
      components[path] += value;
      components_reference[path] += value;
      bytes[path] += value;
      bytes_reference[path] += value;
    }
    ASSERT_EQ(components.size(), components_reference.size()) << seed;
    ASSERT_EQ(bytes.size(), bytes_reference.size()) << seed;
    // Keys keep the spelling first given, as an unordered map's do.
    std::map<std::string, std::uint64_t> expected(components_reference.begin(),
                                                  components_reference.end());
    EXPECT_EQ(sorted(components), expected) << seed;
    expected = std::map<std::string, std::uint64_t>(bytes_reference.begin(), bytes_reference.end());
    EXPECT_EQ(sorted(bytes), expected) << seed;
    for (int i = 0; i < 300; ++i) {
      const std::string probe = random_path(random);
      const auto want = components_reference.find(probe);
      const auto got = components.find(probe);
      ASSERT_EQ(got == components.end(), want == components_reference.end()) << probe;
      if (got != components.end()) {
        EXPECT_EQ(got->first, want->first) << probe;
        EXPECT_EQ(got->second, want->second) << probe;
      }
      EXPECT_EQ(bytes.count(probe), bytes_reference.count(probe)) << probe;
    }
  }
}

TEST(PathNodes, EachDirectoryIsStoredOnce) {
  for (const PathKeying keying : {PathKeying::kComponents, PathKeying::kBytes}) {
    PathNodes nodes(keying);
    const std::uint32_t b = nodes.intern("/a/b");
    EXPECT_EQ(nodes.node_count(), 3u);  // "/", "a", "b"
    const std::uint32_t e = nodes.intern("/a/b/c/d/e");
    EXPECT_EQ(nodes.node_count(), 6u);
    const std::uint32_t c = nodes.intern("/a/b/c");
    EXPECT_EQ(c, nodes.find("/a/b/c"));
    EXPECT_EQ(nodes.intern("/a/b"), b);
    const std::uint32_t y = nodes.intern("/a/x/y");
    EXPECT_EQ(y, nodes.find("/a/x/y"));
    EXPECT_EQ(nodes.node_count(), 8u);
    EXPECT_EQ(nodes.text(e), "/a/b/c/d/e");
    bool exact = false;
    const std::uint32_t g = nodes.intern_near("/a/b/c/d/e/f/g", e, "/a/b/c/d/e", &exact);
    EXPECT_EQ(g, nodes.find("/a/b/c/d/e/f/g"));
    EXPECT_TRUE(exact);
    const std::uint32_t q = nodes.intern_near("/a/b/q", e, "/a/b/c/d/e", &exact);
    EXPECT_EQ(q, nodes.find("/a/b/q"));
    EXPECT_EQ(nodes.node_count(), 11u);
    EXPECT_EQ(nodes.text(nodes.find("/a/b/q")), "/a/b/q");
  }
}

TEST(PathMap, FindsKeysStoredBelowAStoredKey) {
  // Each key is stored as its parent's node and a name; a lookup by text must
  // still find the whole key and reject texts that only share a prefix.
  ChildrenMap map;
  std::string path = "/deep";
  for (int i = 0; i < 500; ++i) {
    map[path];
    path += i % 2 == 0 ? "/x" : "/yy";
  }
  EXPECT_EQ(map.size(), 500u);
  EXPECT_TRUE(map.contains("/deep/x/yy/x"));
  EXPECT_TRUE(map.contains("/deep//x/yy/./x/"));
  EXPECT_FALSE(map.contains("/deep/x/x"));
  EXPECT_FALSE(map.contains("/deep/x/yy/xx"));
  EXPECT_FALSE(map.contains("deep/x"));
  EXPECT_FALSE(map.contains(path));
}

// The result's maps as ordered (key, value) pairs, keys as the maps give them.

}  // namespace
}  // namespace tessaly
