#include "result/hardlink_set.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_tree.h"

namespace tessaly {
namespace {

TEST(HardlinkSet, InsertTellsWhetherThePairWasNew) {
  HardlinkSet set;
  EXPECT_TRUE(set.insert(1, 100));
  EXPECT_FALSE(set.insert(1, 100));
  EXPECT_TRUE(set.insert(2, 100));
  EXPECT_TRUE(set.insert(1, 101));
  EXPECT_TRUE(set.insert(0, 0));
  EXPECT_FALSE(set.insert(0, 0));
  EXPECT_TRUE(set.insert(0, 1));
  EXPECT_TRUE(set.insert(UINT64_MAX, UINT64_MAX));
  EXPECT_FALSE(set.insert(UINT64_MAX, UINT64_MAX));
  EXPECT_TRUE(set.contains(1, 101));
  EXPECT_TRUE(set.contains(0, 0));
  EXPECT_FALSE(set.contains(3, 100));
  EXPECT_FALSE(HardlinkSet().contains(0, 0));
  EXPECT_EQ(set.size(), 6u);
}

// A prefetch, before the dense device is known, of its pairs and of others,
// adds nothing: each pair is still new to its first insert.
TEST(HardlinkSet, PrefetchChangesNothing) {
  HardlinkSet set;
  set.prefetch(5, 900);
  EXPECT_EQ(set.size(), 0u);
  EXPECT_FALSE(set.contains(5, 900));
  EXPECT_TRUE(set.insert(5, 900));
  for (std::uint64_t inode = 0; inode < 5000; inode += 7) {
    set.prefetch(5, inode);
    set.prefetch(6, inode);
    ASSERT_FALSE(set.contains(6, inode)) << inode;
    ASSERT_EQ(set.insert(5, inode), inode != 900) << inode;
    ASSERT_FALSE(set.insert(5, inode)) << inode;
  }
  EXPECT_EQ(set.size(), 5000u / 7 + 2);
}

TEST(HardlinkSet, KeepsEveryPairThroughGrowth) {
  HardlinkSet set;
  constexpr std::uint64_t kCount = 200000;
  for (std::uint64_t i = 0; i < kCount; ++i) {
    ASSERT_TRUE(set.insert(i % 3, i)) << i;
  }
  for (std::uint64_t i = 0; i < kCount; ++i) {
    ASSERT_FALSE(set.insert(i % 3, i)) << i;
  }
  EXPECT_EQ(set.size(), kCount);
}

TEST(HardlinkSet, ExactlyOneThreadWinsEachPair) {
  HardlinkSet set;
  constexpr std::uint64_t kPairs = 20000;
  constexpr int kThreads = 8;
  std::vector<std::atomic<int>> wins(kPairs);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread walks the pairs in its own order so that they collide.
      for (std::uint64_t k = 0; k < kPairs; ++k) {
        const std::uint64_t i = (k * 7919 + static_cast<std::uint64_t>(t) * 104729) % kPairs;
        if (set.insert(42, i)) wins[i].fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::uint64_t i = 0; i < kPairs; ++i) ASSERT_EQ(wins[i].load(), 1) << i;
  EXPECT_EQ(set.size(), kPairs);
}

// Dense runs of inode numbers, scattered ones (more blocks than the line
// table holds) and several devices, all racing for the first device's place.
TEST(HardlinkSet, ExactlyOneThreadWinsEachPairOfAnyDeviceOrSpread) {
  HardlinkSet set;
  constexpr std::uint64_t kPairs = 30000;
  constexpr int kThreads = 4;
  const auto pair = [](std::uint64_t i) {
    const std::uint64_t inode = i % 2 == 0 ? 5000 + i : i * 1000003;
    return std::pair<std::uint64_t, std::uint64_t>{i % 3, inode};
  };
  std::vector<std::atomic<int>> wins(kPairs);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (std::uint64_t k = 0; k < kPairs; ++k) {
        const std::uint64_t i = (k * 7919 + static_cast<std::uint64_t>(t) * 104729) % kPairs;
        const auto [device, inode] = pair(i);
        if (set.insert(device, inode)) wins[i].fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::uint64_t i = 0; i < kPairs; ++i) {
    ASSERT_EQ(wins[i].load(), 1) << i;
    const auto [device, inode] = pair(i);
    ASSERT_TRUE(set.contains(device, inode)) << i;
    ASSERT_FALSE(set.contains(device + 3, inode)) << i;
  }
  EXPECT_EQ(set.size(), kPairs);
}

TEST(CountedSize, SingleLinkFilesAreNeverRemembered) {
  HardlinkSet set;
  EXPECT_EQ(counted_size(set, 1, 5, 9, 4096), 4096u);
  EXPECT_EQ(counted_size(set, 1, 5, 9, 4096), 4096u);
  EXPECT_EQ(counted_size(set, 0, 5, 9, 512), 512u);
  EXPECT_EQ(set.size(), 0u);
}

TEST(CountedSize, RealHardLinksCountTheirBlocksOnce) {
  testing::TempDir tree;
  tree.write_file("data", 100000);
  for (int i = 0; i < 7; ++i) tree.make_hardlink("data", "link" + std::to_string(i));
  tree.write_file("plain", 3000);
  const std::uint64_t blocks = testing::allocated_size(tree.at("data"));
  ASSERT_GT(blocks, 0u);

  std::vector<std::string> paths = {tree.at("data"), tree.at("plain")};
  for (int i = 0; i < 7; ++i) paths.push_back(tree.at("link" + std::to_string(i)));

  HardlinkSet set;
  std::atomic<std::uint64_t> total{0};
  std::vector<std::thread> threads;
  for (const std::string& path : paths) {
    threads.emplace_back([&, path] {
      struct stat st {};
      ASSERT_EQ(::lstat(path.c_str(), &st), 0);
      total.fetch_add(counted_size(set, st.st_nlink, st.st_dev, st.st_ino,
                                   static_cast<std::uint64_t>(st.st_blocks) * 512));
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(total.load(), blocks + testing::allocated_size(tree.at("plain")));
  EXPECT_EQ(set.size(), 1u);
}

}  // namespace
}  // namespace tessaly
