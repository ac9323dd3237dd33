#include "result/result.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/clock.h"
#include "base/paths.h"
#include "result/aggregator.h"
#include "result/child_listing.h"
#include "result/hardlink_set.h"
#include "support/result_builder.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

using Parent = std::string;
using testing::ResultBuilder;

Parent parent(std::string path) { return path; }

struct Child {
  std::string name;
  std::uint64_t size;
  bool is_dir;
  bool operator==(const Child&) const = default;
};

void PrintTo(const Child& child, std::ostream* os) {
  *os << "{" << child.name << ", " << child.size << ", " << (child.is_dir ? "dir" : "file") << "}";
}

std::vector<Child> children(const ScanResult& result, std::string_view dir) {
  std::vector<Child> out;
  const auto* list = result.children_of(dir);
  if (list == nullptr) return out;
  for (const ChildEntry& entry : *list) {
    out.push_back(Child{std::string(entry.name()), entry.size(), entry.is_dir()});
  }
  return out;
}

std::map<std::string, std::uint64_t> sorted(const DirSizes& sizes) {
  return {sizes.begin(), sizes.end()};
}

std::map<std::string, std::uint64_t> sorted(const TruncatedSizes& sizes) {
  return {sizes.begin(), sizes.end()};
}

TEST(TruncateToDepth, KeepsRootAndLeadingComponents) {
  EXPECT_EQ(truncate_to_depth("/r", "/r/a/b/c", 2), "/r/a/b");
  EXPECT_EQ(truncate_to_depth("/r", "/r/a/b/c", 0), "/r");
  EXPECT_EQ(truncate_to_depth("/r", "/r/a", 5), "/r/a");
  EXPECT_EQ(truncate_to_depth("/r/", "/r/a/b", 1), "/r/a");
  EXPECT_EQ(truncate_to_depth("/r", "/r//a///b/", 2), "/r/a/b");
  EXPECT_EQ(truncate_to_depth("/", "/a/b", 1), "/a");
  EXPECT_EQ(truncate_to_depth("rel/dir", "rel/dir/x/y", 1), "rel/dir/x");
}

TEST(TruncateToDepth, PathOutsideRootGivesRoot) {
  EXPECT_EQ(truncate_to_depth("/r", "/rx/a", 1), "/r");
  EXPECT_EQ(truncate_to_depth("/r/a", "/r", 1), "/r/a");
  EXPECT_EQ(truncate_to_depth("/r", "r/a", 1), "/r");
}

TEST(ChildEntry, IsOnePointer) { EXPECT_EQ(sizeof(ChildEntry), 8u); }

// Every size comes back as it went in, whole 512-byte units or not, short or
// long name; a directory's node comes back beside its name, also when copied.
TEST(ChildEntry, KeepsEverySizeAndNode) {
  NameStore store;
  const std::string long_name(300, 'x');
  constexpr std::uint64_t kMax = ~std::uint64_t{0};
  for (const std::uint64_t size :
       {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{511}, std::uint64_t{512},
        std::uint64_t{4096}, std::uint64_t{32256}, std::uint64_t{32768}, std::uint64_t{32769},
        std::uint64_t{4} << 20, kLargeFileThreshold, std::uint64_t{1} << 63, kMax - 511, kMax}) {
    for (const std::string& name : {std::string("f"), long_name, std::string("bad\xff")}) {
      const ChildEntry entry = store.entry(name, size, false);
      EXPECT_EQ(entry.size(), size) << name.size();
      EXPECT_EQ(entry.raw_name(), name);
      EXPECT_FALSE(entry.is_dir());
    }
  }
  for (const std::string& name : {std::string("d"), long_name, std::string("bad\xff")}) {
    const ChildEntry dir = ResultAccess::directory_entry(store, name, 0x7654'3210U);
    EXPECT_EQ(ResultAccess::node_of(dir), 0x7654'3210U);
    EXPECT_EQ(dir.size(), 0u);
    EXPECT_TRUE(dir.is_dir());
    const ChildEntry moved = ResultAccess::with_node(store, dir, 5);
    EXPECT_EQ(ResultAccess::node_of(moved), 5u);
    EXPECT_EQ(ResultAccess::node_of(dir), 0x7654'3210U);
    EXPECT_EQ(moved, dir);
    EXPECT_EQ(moved.raw_name(), name);
  }
}

// A listing keeps each child's name, kind and size, whatever the bytes.
TEST(ChildListing, KeepsNamesKindsAndSizesInOrder) {
  ChildListing listing;
  listing.add_file(std::string("a\0b", 3), ~std::uint64_t{0});
  listing.add_directory("");
  listing.add_linked_file("r\xe9sum\xe9", HardLink{1, 2, 2, 512, true});
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_EQ(listing[0].name, std::string_view("a\0b", 3));
  EXPECT_EQ(listing[0].fields.size, ~std::uint64_t{0});
  EXPECT_FALSE(listing[0].fields.is_dir);
  EXPECT_EQ(listing[1].name, "");
  EXPECT_TRUE(listing[1].fields.is_dir);
  EXPECT_EQ(listing[2].name, "r\xe9sum\xe9");
  EXPECT_EQ(listing[2].fields.size, 512u);
  ASSERT_EQ(listing.links().size(), 1u);
  EXPECT_EQ(listing.links()[0].index, 2u);
  listing.clear();
  EXPECT_TRUE(listing.empty());
  EXPECT_TRUE(listing.links().empty());
}

// A listing on the aggregator's blocks hands over the records the result
// keeps (no name is copied); one deeper than the tree depth keeps no names,
// only counts, bytes and its large files; records of other blocks are copied.
TEST(ChildListing, RecordsAreWrittenOnceAndKeptByTheResult) {
  ScanAggregator aggregator("/r", 1);
  ChildListing top;
  top.start(aggregator.records(), 1);
  top.add_file("a", 4096);
  top.add_directory("d");
  top.add_file("r\xe9sum\xe9", 100);
  ASSERT_TRUE(top.listed());
  const char* written = top.entries()[2].raw_name().data();
  ChildListing deep;
  deep.start(aggregator.records(), 2);
  deep.add_file("x", 512);
  deep.add_directory("e");
  deep.add_file("huge", kLargeFileThreshold);
  EXPECT_FALSE(deep.listed());
  EXPECT_TRUE(deep.entries().empty());
  EXPECT_EQ(deep.size(), 3u);
  EXPECT_EQ(deep.dirs(), 1u);
  EXPECT_EQ(deep.file_bytes(), 512 + kLargeFileThreshold);
  ChildListing other;  // on blocks of its own
  other.add_file("o", 1024);
  aggregator.record_listing(ListingPlace{kWalkRoot, 1, 1, ""}, top);
  aggregator.record_listing(ListingPlace{1, 2, 2, "/r/d"}, deep);
  aggregator.record_listing(ListingPlace{kWalkRoot, 0, 1, ""}, other);
  const auto result = aggregator.finish().result;
  const ChildList& list = *result->children_of("/r");
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[2].raw_name().data(), written);
  EXPECT_EQ(list[2].name(), "r\xef\xbf\xbdsum\xef\xbf\xbd");
  EXPECT_EQ(list[3].name(), "o");
  EXPECT_NE(list[3].name().data(), other.entries()[0].name().data());
  EXPECT_EQ(result->root_directory().child(list[1])->size(), 512 + kLargeFileThreshold);
  EXPECT_EQ(result->files_found, 5u);
  EXPECT_EQ(result->dirs_found, 2u);
  EXPECT_EQ(result->folded_counts.at("/r/d").files, 2u);
  EXPECT_EQ(result->folded_counts.at("/r/d").dirs, 1u);
  ASSERT_EQ(result->large_files.size(), 1u);
  EXPECT_EQ(result->large_files[0].path, "/r/d/huge");
}

// Threads fill listings on one RecordBlocks at once, each in blocks of its
// own, so that a thread leaves at most one block partly used.
TEST(RecordBlocks, ThreadsWriteInBlocksOfTheirOwn) {
  constexpr int kThreads = 4;
  constexpr std::size_t kEntries = 20000;
  RecordBlocks records;
  std::vector<ChildListing> listings(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      listings[t].start(records, 1);
      for (std::size_t i = 0; i < kEntries; ++i)
        listings[t].add_file(std::to_string(t) + "-" + std::to_string(i), i * 512);
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::size_t used = 0;
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(listings[t].size(), kEntries);
    for (std::size_t i = 0; i < kEntries; i += 997) {
      EXPECT_EQ(listings[t][i].name, std::to_string(t) + "-" + std::to_string(i));
      EXPECT_EQ(listings[t][i].fields.size, i * 512);
    }
    // The listing tells where its records leave a stretch of a block.
    std::vector<std::uint32_t> breaks;
    const char* end = nullptr;
    for (const ChildEntry& entry : listings[t].entries()) {
      const std::size_t bytes = 1 + entry.name().size() +
                                (entry.size() >> 9 < 64     ? 1
                                 : entry.size() >> 9 < 8192 ? 2
                                                            : 3);
      const char* record = entry.name().data() - 1;
      if (end != nullptr && record != end) breaks.push_back(&entry - listings[t].entries().data());
      end = record + bytes;
      used += bytes;
    }
    EXPECT_FALSE(breaks.empty());
    EXPECT_TRUE(std::ranges::equal(listings[t].breaks(), breaks));
  }
  EXPECT_LE(records.capacity_bytes(), used + kThreads * 16 * 1024);
  // A thread that writes little takes a small block.
  RecordBlocks few;
  std::thread([&] {
    ChildListing listing;
    listing.start(few, 1);
    listing.add_file("one", 512);
  }).join();
  EXPECT_EQ(few.capacity_bytes(), 4096u);
  // A record too large for blocks stands apart from those around it.
  std::thread([&] {
    ChildListing listing;
    listing.start(few, 1);
    listing.add_file("a", 512);
    listing.add_file(std::string(5000, 'x'), 512);
    listing.add_file("b", 512);
    EXPECT_TRUE(std::ranges::equal(listing.breaks(), std::vector<std::uint32_t>{1, 2}));
  }).join();
}

// A listing's linked files keep their identities where they are listed, and
// only there; other entries, and entries of another result, have none.
TEST(HardLinkTable, ListedLinksAreFoundByTheirEntry) {
  ScanAggregator aggregator("/r", 1);
  ChildListing top;
  top.add_file("plain", 100);
  top.add_linked_file("first", HardLink{1, 7, 2, 4096, true});
  top.add_directory("d");
  top.add_linked_file("again", HardLink{1, 7, 2, 4096, false});
  ChildListing folded;
  folded.add_linked_file("deep", HardLink{1, 8, 2, 512, true});
  aggregator.record_listing(ListingPlace{kWalkRoot, 1, 1, ""}, top);
  aggregator.record_listing(ListingPlace{1, 0, 2, ""}, folded);
  const auto result = aggregator.finish().result;
  EXPECT_EQ(result->total_size, 4096u + 100 + 512);
  const ChildList& list = *result->children_of("/r");
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(result->hard_link(list[0]), nullptr);
  ASSERT_NE(result->hard_link(list[1]), nullptr);
  EXPECT_EQ(*result->hard_link(list[1]), (HardLink{1, 7, 2, 4096, true}));
  EXPECT_EQ(list[1].size(), 4096u);
  EXPECT_EQ(result->hard_link(list[2]), nullptr);
  ASSERT_NE(result->hard_link(list[3]), nullptr);
  EXPECT_FALSE(result->hard_link(list[3])->counted);
  EXPECT_EQ(list[3].size(), 0u);
  EXPECT_EQ(result->hard_links.size(), 2u);  // the folded name is not listed

  // Found in any order of adding, before and after sealing.
  HardLinkTable table;
  table.add(list[3], HardLink{1, 7, 2, 4096, false});
  table.add(list[1], HardLink{1, 7, 2, 4096, true});
  EXPECT_TRUE(table.find(list[1])->counted);
  EXPECT_EQ(table.find(list[0]), nullptr);
  table.seal();
  EXPECT_TRUE(table.find(list[1])->counted);
  EXPECT_FALSE(table.find(list[3])->counted);
  EXPECT_EQ(table.find(list[2]), nullptr);
}

// Entries whose records start with a long header (a long name, bytes that
// are not UTF-8) are told apart from their neighbours, in either order.
TEST(HardLinkTable, LinksOfLongAndRawNamesAreFoundByTheirEntry) {
  NameStore store;
  const std::vector<ChildEntry> entries{store.entry("a", 1, false),
                                        store.entry(std::string(70, 'b'), 2, false),
                                        store.entry("c\xff", 3, false), store.entry("d", 4, false)};
  for (const bool reversed : {false, true}) {
    HardLinkTable table;
    for (std::size_t k = 0; k < entries.size(); ++k) {
      const std::size_t i = reversed ? entries.size() - 1 - k : k;
      table.add(entries[i], HardLink{1, i, 2, 512 * i, i == 1});
    }
    table.seal();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      ASSERT_NE(table.find(entries[i]), nullptr) << i;
      EXPECT_EQ(*table.find(entries[i]), (HardLink{1, i, 2, 512 * i, i == 1}));
    }
  }
}

// Sealing orders a table added to in runs of ascending keys, and in any
// other order, so that every entry is found with its own link.
TEST(HardLinkTable, SealedTableFindsEveryEntry) {
  NameStore store;
  std::vector<ChildEntry> entries;
  for (std::uint64_t i = 0; i < 5000; ++i)
    entries.push_back(store.entry("n" + std::to_string(i), i, false));
  std::vector<std::size_t> order(entries.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  // Runs of uneven lengths in descending order of their keys, then a reversed tail.
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return entries[a].name().data() < entries[b].name().data();
  });
  std::vector<std::size_t> added;
  for (std::size_t end = order.size() - 100, run = 1; end > 0; ++run) {
    const std::size_t start = end > run * 37 ? end - run * 37 : 0;
    added.insert(added.end(), order.begin() + static_cast<std::ptrdiff_t>(start),
                 order.begin() + static_cast<std::ptrdiff_t>(end));
    end = start;
  }
  added.insert(added.end(), order.rbegin(), order.rbegin() + 100);
  ASSERT_EQ(added.size(), entries.size());
  HardLinkTable table;
  for (const std::size_t i : added) table.add(entries[i], HardLink{1, i, 2, i, i % 2 == 0});
  table.seal();
  ASSERT_EQ(table.size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const HardLink* link = table.find(entries[i]);
    ASSERT_NE(link, nullptr) << i;
    EXPECT_EQ(*link, (HardLink{1, i, 2, i, i % 2 == 0}));
  }
  // Links added to a sealed table (as a refresh does) are found before and
  // after it is sealed again, the earlier ones too.
  const std::size_t sealed = entries.size();
  for (std::uint64_t i = sealed; i < sealed + 3000; ++i)
    entries.push_back(store.entry("m" + std::to_string(i), i, false));
  for (std::size_t i = entries.size(); i-- > sealed;)
    table.add(entries[i], HardLink{2, i, 3, i, true});
  for (const bool seal : {false, true}) {
    if (seal) table.seal();
    ASSERT_EQ(table.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); i += 7) {
      const HardLink* link = table.find(entries[i]);
      ASSERT_NE(link, nullptr) << i;
      EXPECT_EQ(link->inode, i);
    }
  }
  // Runs whose keys interleave (every third entry, three times over) are merged.
  HardLinkTable interleaved;
  for (std::size_t first = 0; first < 3; ++first) {
    for (std::size_t i = first; i < entries.size(); i += 3)
      interleaved.add(entries[i], HardLink{3, i, 2, i, false});
  }
  interleaved.seal();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const HardLink* link = interleaved.find(entries[i]);
    ASSERT_NE(link, nullptr) << i;
    EXPECT_EQ(link->inode, i);
  }
}

// A sealed table finds an entry noted in runs of ascending keys (cut where
// its blocks end) only in its own run: entries left out between and around
// the runs, and entries of another store, are not found.
TEST(HardLinkTable, SealedRunsFindOnlyTheirOwnEntries) {
  NameStore store;
  NameStore other;
  std::vector<ChildEntry> entries;
  for (std::uint64_t i = 0; i < 3000; ++i)
    entries.push_back(store.entry("n" + std::to_string(i), i, false));
  std::sort(entries.begin(), entries.end(), [](const ChildEntry& a, const ChildEntry& b) {
    return std::less<>()(a.name().data(), b.name().data());
  });
  const auto kept = [](std::size_t i) { return i % 7 != 0 && i + 1 != 3000; };
  HardLinkTable table;
  for (std::size_t end = entries.size(); end > 0; end -= std::min<std::size_t>(end, 50)) {
    for (std::size_t i = end - std::min<std::size_t>(end, 50); i < end; ++i)
      if (kept(i)) table.add(entries[i], HardLink{1, i, 2, i, i % 2 == 0});
  }
  table.seal();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const HardLink* link = table.find(entries[i]);
    if (!kept(i)) {
      EXPECT_EQ(link, nullptr) << i;
      continue;
    }
    ASSERT_NE(link, nullptr) << i;
    EXPECT_EQ(*link, (HardLink{1, i, 2, i, i % 2 == 0}));
  }
  EXPECT_EQ(table.find(other.entry("n1", 1, false)), nullptr);
  // Two runs of two links each, the second below the first.
  HardLinkTable pairs;
  for (const std::size_t i : {3, 4, 1, 2}) pairs.add(entries[i], HardLink{1, i, 2, i, true});
  pairs.seal();
  for (std::size_t i = 0; i < 6; ++i) {
    const HardLink* link = pairs.find(entries[i]);
    EXPECT_EQ(link != nullptr && link->inode == i, i >= 1 && i <= 4) << i;
  }
}

// Lists are carved back to back: one reserved exactly leaves no spare room,
// the one carved last grows in place, any other moves with its entries, and a
// copy never writes into the room of the list it was copied from.
TEST(NameStore, ListsCarvedBackToBackGrowOrMove) {
  NameStore store;
  ChildList a;
  store.reserve(a, 2);
  store.append(a, store.entry("a0", 0, false));
  store.append(a, store.entry("a1", 1, true));
  ChildList b;
  store.reserve(b, 1);
  EXPECT_EQ(b.data(), a.data() + 2);
  store.append(b, store.entry("b0", 2, false));
  const ChildEntry* b_before = b.data();
  store.append(b, store.entry("b1", 3, false));
  EXPECT_EQ(b.data(), b_before);  // the last carved grew in place
  const ChildEntry* a_before = a.data();
  store.append(a, store.entry("a2", 4, false));
  EXPECT_NE(a.data(), a_before);  // moved past b
  ChildList copy = b;
  store.append(copy, store.entry("c", 5, false));
  EXPECT_NE(copy.data(), b.data());
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(b[0].name(), "b0");
  EXPECT_EQ(b[1].name(), "b1");
  ASSERT_EQ(copy.size(), 3u);
  EXPECT_EQ(copy.at(2).name(), "c");
  EXPECT_THROW(static_cast<void>(copy.at(3)), std::out_of_range);
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[1].name(), "a1");
  EXPECT_TRUE(a[1].is_dir());
  EXPECT_EQ(a[2].size(), 4u);

  // Large lists take blocks of their own, each freed when the list moves on:
  // one at a time, every entry stays, and of the blocks of 2,048 to 65,536
  // entries it took only the last is held.
  const std::size_t before = store.capacity_bytes();
  ChildList big;
  for (int i = 0; i < 40000; ++i) store.append(big, store.entry(std::to_string(i), 1, false));
  // 40,000 records (headers, names and one byte of size each), 268,890
  // bytes: the rest of the block in use and four more.
  const std::size_t names = 4 * 64 * 1024;
  EXPECT_EQ(store.capacity_bytes() - before, names + 65536 * sizeof(ChildEntry));
  ASSERT_EQ(big.size(), 40000u);
  for (int i = 0; i < 40000; ++i)
    ASSERT_EQ(big[static_cast<std::size_t>(i)].name(), std::to_string(i));
  NameStore moved = std::move(store);
  EXPECT_EQ(big[39999].name(), "39999");
  EXPECT_EQ(a[0].name(), "a0");
}

TEST(NameStore, EntriesSurviveManyBlocksAndMoves) {
  NameStore store;
  std::vector<ChildEntry> entries;
  for (int i = 0; i < 20000; ++i) {
    entries.push_back(
        store.entry("name-" + std::to_string(i), static_cast<std::uint64_t>(i), i % 3 == 0));
  }
  entries.push_back(store.entry(std::string(40000, 'L'), 7, false));
  NameStore moved = std::move(store);
  for (int i = 0; i < 20000; ++i) {
    ASSERT_EQ(entries[static_cast<std::size_t>(i)].name(), "name-" + std::to_string(i));
    // A directory's size reads 0 whatever it was made with.
    ASSERT_EQ(entries[static_cast<std::size_t>(i)].size(),
              i % 3 == 0 ? 0u : static_cast<std::uint64_t>(i));
    ASSERT_EQ(entries[static_cast<std::size_t>(i)].is_dir(), i % 3 == 0);
  }
  EXPECT_EQ(entries.back().name(), std::string(40000, 'L'));
  EXPECT_GE(moved.capacity_bytes(), 20000u * 9);
}

TEST(NameStore, InvalidUtf8KeepsRawBytesBesideText) {
  NameStore store;
  const ChildEntry valid = store.entry("caf\xc3\xa9", 1, false);
  EXPECT_EQ(valid.name(), "caf\xc3\xa9");
  EXPECT_EQ(valid.raw_name(), "caf\xc3\xa9");
  EXPECT_FALSE(valid.has_distinct_raw_name());

  const ChildEntry invalid = store.entry("bad\xff", 0, true);
  EXPECT_EQ(invalid.name(), "bad\xef\xbf\xbd");
  EXPECT_EQ(invalid.raw_name(), "bad\xff");
  EXPECT_TRUE(invalid.has_distinct_raw_name());
  EXPECT_TRUE(invalid.is_dir());
}

TEST(ScanAggregator, ListsWithinTreeDepthAndFoldsBelow) {
  ResultBuilder aggregator("/r", 2);
  const Parent root = parent("/r");
  const Parent a = parent("/r/a");
  const Parent b = parent("/r/a/b");
  const Parent c = parent("/r/a/b/c");
  aggregator.directory(root, "a", 1);
  aggregator.file(root, "top", 1, 4096);
  aggregator.directory(a, "b", 2);
  aggregator.file(a, "f", 2, 100);
  aggregator.directory(b, "c", 3);
  aggregator.file(b, "g", 3, 50);
  aggregator.file(c, "h", 4, 7);
  aggregator.directory(a, "empty", 2);

  EXPECT_EQ(aggregator.aggregator().counters().files_found, 4u);
  EXPECT_EQ(aggregator.aggregator().counters().dirs_found, 4u);
  EXPECT_EQ(aggregator.aggregator().counters().total_size, 4096u + 100 + 50 + 7);

  const FinishedScan finished = aggregator.aggregator().finish();
  const ScanResult& result = *finished.result;
  EXPECT_EQ(result.root, "/r");
  EXPECT_EQ(result.root_path, "/r");
  EXPECT_EQ(result.files_found, 4u);
  EXPECT_EQ(result.dirs_found, 4u);
  EXPECT_EQ(result.total_size, 4253u);
  EXPECT_THAT(children(result, "/r"), ElementsAre(Child{"a", 0, true}, Child{"top", 4096, false}));
  EXPECT_THAT(children(result, "/r/a"),
              ElementsAre(Child{"b", 0, true}, Child{"f", 100, false}, Child{"empty", 0, true}));
  EXPECT_EQ(result.children_map.size(), 2u);
  EXPECT_THAT(sorted(result.truncated_sizes), ElementsAre(Pair("/r/a/b", 57u)));
  EXPECT_THAT(sorted(result.dir_sizes), ElementsAre(Pair("/r", 4253u), Pair("/r/a", 157u),
                                                    Pair("/r/a/b", 57u), Pair("/r/a/empty", 0u)));
  EXPECT_EQ(finished.dir_sizes_count, 4u);
  EXPECT_EQ(finished.child_entry_count, 5u);
  EXPECT_TRUE(result.large_files.empty());
  // The final counts stay readable for the last progress event.
  EXPECT_EQ(aggregator.aggregator().counters().files_found, 4u);
  EXPECT_EQ(aggregator.aggregator().counters().total_size, 4253u);
}

TEST(ScanAggregator, ListingsAreHeldAtTheirExactSize) {
  ResultBuilder builder("/r", 2);
  builder.directory("/r", "a", 1);
  builder.file("/r", "top", 1, 4096);
  builder.directory("/r/a", "b", 2);
  builder.file("/r/a", "f", 2, 100);
  builder.file("/r/a/b", "g", 3, 50);
  builder.file("/r/a/b", "h", 3, 7);
  const FinishedScan finished = builder.aggregator().finish();
  const ScanResult& result = *finished.result;
  EXPECT_EQ(result.files_found, 4u);
  EXPECT_EQ(result.dirs_found, 2u);
  EXPECT_THAT(children(result, "/r"), ElementsAre(Child{"a", 0, true}, Child{"top", 4096, false}));
  EXPECT_THAT(children(result, "/r/a"), ElementsAre(Child{"b", 0, true}, Child{"f", 100, false}));
  EXPECT_EQ(result.children_map.size(), 2u);
  EXPECT_THAT(sorted(result.truncated_sizes), ElementsAre(Pair("/r/a/b", 57u)));
  EXPECT_THAT(sorted(result.dir_sizes),
              ElementsAre(Pair("/r", 4253u), Pair("/r/a", 157u), Pair("/r/a/b", 57u)));
  EXPECT_EQ(finished.child_entry_count, 4u);
}

TEST(ScanAggregator, TreeDepthZeroFoldsEverythingIntoRoot) {
  ResultBuilder aggregator("/r", 0);
  const Parent root = parent("/r");
  const Parent a = parent("/r/a");
  aggregator.file(root, "x", 1, 10);
  aggregator.directory(root, "a", 1);
  aggregator.file(a, "y", 2, 20);
  aggregator.subtree_total(SubtreeTotal{"/r/a", "Tool.app", 30, 2});

  const FinishedScan finished = aggregator.aggregator().finish();
  const ScanResult& result = *finished.result;
  EXPECT_TRUE(result.children_map.empty());
  EXPECT_THAT(sorted(result.truncated_sizes), ElementsAre(Pair("/r", 60u)));
  EXPECT_THAT(sorted(result.dir_sizes), ElementsAre(Pair("/r", 60u)));
  EXPECT_EQ(result.files_found, 3u);
  EXPECT_EQ(result.dirs_found, 1u);
  EXPECT_EQ(finished.child_entry_count, 0u);
}

TEST(ScanAggregator, ShallowTreeLeavesTruncatedSizesEmpty) {
  ResultBuilder aggregator("/r", 8);
  const Parent root = parent("/r");
  aggregator.file(root, "x", 1, 10);
  aggregator.directory(root, "d", 1);
  aggregator.file(parent("/r/d"), "y", 2, 0);
  const std::shared_ptr<const ScanResult> result_owner = aggregator.finish();
  const ScanResult& result = *result_owner;
  EXPECT_TRUE(result.truncated_sizes.empty());
  EXPECT_EQ(*result.dir_size("/r"), result.total_size);
  EXPECT_EQ(*result.dir_size("/r/d"), 0u);
}

TEST(ScanAggregator, LargeFileThresholdIsInclusive) {
  ResultBuilder aggregator("/r", 1);
  const Parent root = parent("/r");
  const Parent deep = parent("/r/d/e");
  aggregator.file(root, "just-below", 1, kLargeFileThreshold - 1);
  aggregator.file(root, "exact", 1, kLargeFileThreshold);
  aggregator.directory(root, "d", 1);
  aggregator.directory("/r/d", "e", 2);
  aggregator.file(deep, "deep", 3, 3 * kLargeFileThreshold);
  aggregator.file(root, "same-a", 1, 2 * kLargeFileThreshold);
  aggregator.file(root, "same-b", 1, 2 * kLargeFileThreshold);
  const std::shared_ptr<const ScanResult> result_owner = aggregator.finish();
  const ScanResult& result = *result_owner;
  ASSERT_EQ(result.large_files.size(), 4u);
  EXPECT_EQ(result.large_files[0], (LargeFile{"deep", "/r/d/e/deep", 3 * kLargeFileThreshold}));
  EXPECT_EQ(result.large_files[1].size, 2 * kLargeFileThreshold);
  EXPECT_EQ(result.large_files[2].size, 2 * kLargeFileThreshold);
  EXPECT_THAT((std::vector{result.large_files[1].name, result.large_files[2].name}),
              UnorderedElementsAre("same-a", "same-b"));
  EXPECT_EQ(result.large_files[3], (LargeFile{"exact", "/r/exact", kLargeFileThreshold}));
}

TEST(ScanAggregator, ManyLargeFilesAreSortedLargestFirst) {
  ResultBuilder aggregator("/", 3);
  const Parent root = parent("/");
  std::mt19937_64 random(7);
  for (int i = 0; i < 300; ++i) {
    aggregator.file(root, "f" + std::to_string(i), 1, kLargeFileThreshold + random() % 1000);
  }
  const std::shared_ptr<const ScanResult> result_owner = aggregator.finish();
  const ScanResult& result = *result_owner;
  ASSERT_EQ(result.large_files.size(), 300u);
  for (std::size_t i = 1; i < result.large_files.size(); ++i) {
    ASSERT_GE(result.large_files[i - 1].size, result.large_files[i].size) << i;
  }
  EXPECT_EQ(result.large_files[0].path.substr(0, 2), "/f");
}

TEST(ScanAggregator, SubtreeTotalsCountAsFilesAndBundlesAsLargeFiles) {
  ResultBuilder aggregator("/r", 1);
  aggregator.file(parent("/r"), "a", 1, 1);
  aggregator.subtree_total(SubtreeTotal{"/r", "Big.app", 600ull * 1048576, 1});
  aggregator.subtree_total(SubtreeTotal{"/r/d", "Small.app", 0, 2});
  aggregator.subtree_total(SubtreeTotal{"/r/d/e", "Deep.app", 5, 3});
  aggregator.directory(parent("/r"), "d", 1);
  const FinishedScan finished = aggregator.aggregator().finish();
  const ScanResult& result = *finished.result;
  EXPECT_EQ(result.files_found, 4u);
  EXPECT_EQ(result.dirs_found, 1u);
  EXPECT_EQ(result.total_size, 1 + 600ull * 1048576 + 5);
  EXPECT_THAT(children(result, "/r"),
              ElementsAre(Child{"a", 1, false}, Child{"Big.app", 600ull * 1048576, false},
                          Child{"d", 0, true}));
  EXPECT_THAT(sorted(result.truncated_sizes), ElementsAre(Pair("/r/d", 5u)));
  ASSERT_EQ(result.large_files.size(), 1u);
  EXPECT_EQ(result.large_files[0], (LargeFile{"Big.app", "/r/Big.app", 600ull * 1048576}));
  EXPECT_EQ(*result.dir_size("/r/d"), 5u);
  EXPECT_EQ(*result.dir_size("/r"), result.total_size);
}

TEST(ScanAggregator, RootThatIsABundleListsUnderItsParent) {
  ResultBuilder aggregator("/tmp/x/Tool.app", 1);
  aggregator.subtree_total(SubtreeTotal{"/tmp/x", "Tool.app", 8192, 1});
  const std::shared_ptr<const ScanResult> result_owner = aggregator.finish();
  const ScanResult& result = *result_owner;
  EXPECT_THAT(children(result, "/tmp/x"), ElementsAre(Child{"Tool.app", 8192, false}));
  EXPECT_THAT(sorted(result.dir_sizes), ElementsAre(Pair("/tmp/x/Tool.app", 0u)));

  ResultBuilder at_zero("/tmp/x/Tool.app", 0);
  at_zero.subtree_total(SubtreeTotal{"/tmp/x", "Tool.app", 8192, 1});
  const std::shared_ptr<const ScanResult> folded_owner = at_zero.finish();
  const ScanResult& folded = *folded_owner;
  EXPECT_THAT(sorted(folded.truncated_sizes), ElementsAre(Pair("/tmp/x/Tool.app", 8192u)));
  EXPECT_THAT(sorted(folded.dir_sizes), ElementsAre(Pair("/tmp/x/Tool.app", 8192u)));
}

TEST(ScanAggregator, TruncatedAncestorFollowsParentChanges) {
  ResultBuilder aggregator("/r", 1);
  for (int i = 0; i < 4; ++i) aggregator.directory("/r", "d" + std::to_string(i), 1);
  for (int i = 0; i < 100; ++i) {
    const std::string parent_dir = "/r/d" + std::to_string(i % 4);
    aggregator.directory(parent_dir, "sub" + std::to_string(i), 2);
    Parent dir = parent(parent_dir + "/sub" + std::to_string(i));
    aggregator.file(dir, "f", 3, 1);
    aggregator.file(dir, "g", 3, 2);
  }
  const std::shared_ptr<const ScanResult> result_owner = aggregator.finish();
  const ScanResult& result = *result_owner;
  EXPECT_THAT(sorted(result.truncated_sizes), ElementsAre(Pair("/r/d0", 75u), Pair("/r/d1", 75u),
                                                          Pair("/r/d2", 75u), Pair("/r/d3", 75u)));
}

TEST(ScanAggregator, InterleavedParentsKeepRecordingOrder) {
  ResultBuilder aggregator("/r", 4);
  const Parent a = parent("/r/a");
  const Parent b = parent("/r/b");
  aggregator.directory("/r", "a", 1);
  aggregator.directory("/r", "b", 1);
  aggregator.file(a, "1", 2, 1);
  aggregator.file(b, "2", 2, 2);
  aggregator.file(a, "3", 2, 3);
  aggregator.file(a, "4", 2, 4);
  const std::shared_ptr<const ScanResult> result_owner = aggregator.finish();
  const ScanResult& result = *result_owner;
  EXPECT_THAT(children(result, "/r/a"),
              ElementsAre(Child{"1", 1, false}, Child{"3", 3, false}, Child{"4", 4, false}));
  EXPECT_THAT(children(result, "/r/b"), ElementsAre(Child{"2", 2, false}));
}

TEST(ScanAggregator, InvalidUtf8DirectoryKeepsItsRealSize) {
  ResultBuilder aggregator("/r", 8);
  const Parent root = parent("/r");
  aggregator.directory(root, "x\xfe", 1);
  aggregator.directory(root, "x\xff", 1);
  aggregator.file(parent("/r/x\xfe"), "a", 2, 100);
  aggregator.file(parent("/r/x\xff"), "big\xff", 2, kLargeFileThreshold);
  const std::shared_ptr<const ScanResult> result_owner = aggregator.finish();
  const ScanResult& result = *result_owner;

  EXPECT_THAT(children(result, "/r"),
              ElementsAre(Child{"x\xef\xbf\xbd", 0, true}, Child{"x\xef\xbf\xbd", 0, true}));
  EXPECT_EQ((*result.children_of("/r"))[1].raw_name(), "x\xff");
  EXPECT_EQ(*result.dir_size("/r/x\xfe"), 100u);
  EXPECT_EQ(*result.dir_size("/r/x\xff"), kLargeFileThreshold);
  EXPECT_EQ(*result.dir_size("/r"), 100u + kLargeFileThreshold);
  EXPECT_EQ(result.dir_size("/r/x\xef\xbf\xbd"), nullptr);
  ASSERT_EQ(result.large_files.size(), 1u);
  EXPECT_EQ(result.large_files[0].name, "big\xef\xbf\xbd");
  EXPECT_EQ(result.large_files[0].path, "/r/x\xef\xbf\xbd/big\xef\xbf\xbd");
}

TEST(ScanAggregator, InvalidUtf8RootIsShownAsTextAndKeyedByItsBytes) {
  ResultBuilder aggregator("/data\xc0", 2);
  aggregator.file(parent("/data\xc0"), "f", 1, 9);
  const std::shared_ptr<const ScanResult> result_owner = aggregator.finish();
  const ScanResult& result = *result_owner;
  EXPECT_EQ(result.root, "/data\xef\xbf\xbd");
  EXPECT_EQ(result.root_path, "/data\xc0");
  EXPECT_EQ(*result.dir_size("/data\xc0"), 9u);
}

TEST(ScanAggregator, ListingsCountEveryDirectoryAndCutAtTreeDepth) {
  ScanAggregator aggregator("/r", 1);
  ChildListing top;
  top.add_file("a", 10);
  top.add_directory("d");
  top.add_file("huge", kLargeFileThreshold);
  ChildListing inner;
  inner.add_directory("e");
  inner.add_file("b", 20);
  inner.add_file("c", 30);
  ChildListing deeper;
  deeper.add_file("z", 0);
  ChildListing empty;

  aggregator.record_subtree_total(SubtreeTotal{"/r", "App.app", 5, 1});
  // "d" is numbered 1 and "e" 2; a listing with a large file names its path.
  aggregator.record_listing(ListingPlace{kWalkRoot, 1, 1, "/r"}, top);
  aggregator.record_listing(ListingPlace{1, 2, 2, ""}, inner);
  aggregator.record_listing(ListingPlace{2, 0, 3, ""}, deeper);
  aggregator.record_listing(ListingPlace{3, 0, 4, ""}, empty);

  const FinishedScan finished = aggregator.finish();
  const ScanResult& result = *finished.result;
  EXPECT_EQ(result.files_found, 6u);
  EXPECT_EQ(result.dirs_found, 2u);
  EXPECT_EQ(result.total_size, 5 + 10 + kLargeFileThreshold + 20 + 30);
  EXPECT_THAT(children(result, "/r"),
              ElementsAre(Child{"App.app", 5, false}, Child{"a", 10, false}, Child{"d", 0, true},
                          Child{"huge", kLargeFileThreshold, false}));
  EXPECT_EQ(result.children_of("/r/d"), nullptr);
  EXPECT_THAT(sorted(result.truncated_sizes), ElementsAre(Pair("/r/d", 50u)));
  EXPECT_THAT(sorted(result.dir_sizes),
              ElementsAre(Pair("/r", result.total_size), Pair("/r/d", 50u)));
  ASSERT_EQ(result.large_files.size(), 1u);
  EXPECT_EQ(result.large_files[0], (LargeFile{"huge", "/r/huge", kLargeFileThreshold}));
  EXPECT_EQ(finished.child_entry_count, 4u);
}

TEST(ComputeDirSizes, RootWithTrailingSeparatorGetsNoDoubledSeparator) {
  ResultBuilder slash("/", 8);
  slash.directory("/", "a", 1);
  slash.file("/", "f", 1, 3);
  slash.file("/a", "g", 2, 4);
  const std::shared_ptr<const ScanResult> result = slash.finish();
  EXPECT_THAT(sorted(result->dir_sizes), ElementsAre(Pair("/", 7u), Pair("/a", 4u)));

  ResultBuilder tmp("/tmp/x/", 8);
  tmp.directory("/tmp/x/", "a", 1);
  tmp.file("/tmp/x/a", "g", 2, 4);
  const std::shared_ptr<const ScanResult> from_tmp = tmp.finish();
  EXPECT_THAT(sorted(from_tmp->dir_sizes), ElementsAre(Pair("/tmp/x/", 4u), Pair("/tmp/x/a", 4u)));
  EXPECT_EQ(child_path("", "a"), "/a");
  EXPECT_EQ(child_path("/", "a"), "/a");
  EXPECT_EQ(child_path("/r", "a"), "/r/a");
}

TEST(ComputeDirSizes, SizesAreKeyedByteForByteAndListsByComponents) {
  ResultBuilder builder("/r", 8);
  builder.directory("/r", "a", 1);
  builder.file("/r", "f", 1, 3);
  builder.file("/r/a", "g", 2, 4);
  const std::shared_ptr<const ScanResult> result = builder.finish();
  EXPECT_THAT(sorted(result->dir_sizes), ElementsAre(Pair("/r", 7u), Pair("/r/a", 4u)));
  EXPECT_FALSE(result->dir_sizes.contains("/r//a"));
  EXPECT_TRUE(result->children_map.contains("/r//a/"));
  EXPECT_EQ(result->children_map.at("/r//a/").size(), 1u);
  EXPECT_THROW((void)result->dir_sizes.at("/r/b"), std::out_of_range);
}

TEST(ComputeDirSizes, MapsVisitTheTreeInListingOrderWhateverTheArrival) {
  // "b" is listed before "a"; "a"'s listing arrives before "b"'s.
  ScanAggregator aggregator("/r", 1);
  ChildListing top;
  top.add_directory("b");
  top.add_file("f", 1);
  top.add_directory("a");
  ChildListing in_a;
  in_a.add_file("x", 2);
  ChildListing in_b;
  in_b.add_directory("deep");
  aggregator.record_listing(ListingPlace{kWalkRoot, 1, 1, ""}, top);
  aggregator.record_listing(ListingPlace{2, 0, 2, ""}, in_a);
  aggregator.record_listing(ListingPlace{1, 3, 2, ""}, in_b);
  const std::shared_ptr<const ScanResult> result = aggregator.finish().result;
  std::vector<std::string> listed;
  for (const auto& [key, list] : result->children_map) listed.push_back(key);
  EXPECT_THAT(listed, ElementsAre("/r"));
  std::vector<std::pair<std::string, std::uint64_t>> sizes(result->dir_sizes.begin(),
                                                           result->dir_sizes.end());
  EXPECT_THAT(sizes, ElementsAre(Pair("/r", 3u), Pair("/r/b", 0u), Pair("/r/a", 2u)));
  EXPECT_THAT(sorted(result->truncated_sizes), ElementsAre(Pair("/r/a", 2u)));
  ASSERT_EQ(result->folded_counts.size(), 2u);
  EXPECT_EQ(result->folded_counts.at("/r/b/"), (FoldedCounts{0, 1}));
  // A directory's entry leads to its directory without a lookup.
  const ResultDirectory root = result->root_directory();
  ASSERT_EQ(root.children().size(), 3u);
  EXPECT_EQ(root.child(root.children()[2])->path(), "/r/a");
  EXPECT_EQ(root.child_size(root.children()[2]), 2u);
  EXPECT_EQ(root.child(root.children()[2])->unlisted_size(), 2u);
  EXPECT_EQ(root.children()[2].size(), 0u);
}

// The definition, written recursively over the result's own maps.
std::uint64_t reference_dir_sizes(const std::string& dir, const ScanResult& result,
                                  std::map<std::string, std::uint64_t>& out) {
  std::uint64_t sum = result.truncated_size(dir);
  if (const ChildList* list = result.children_of(dir)) {
    for (const ChildEntry& child : *list) {
      sum += child.is_dir() ? reference_dir_sizes(child_path(dir, child.raw_name()), result, out)
                            : child.size();
    }
  }
  out[dir] = sum;
  return sum;
}

TEST(ComputeDirSizes, AgreesWithTheRecursiveDefinitionOnRandomTrees) {
  const std::vector<std::string> names = {"n0", "n1", "n2", "\xff", "n3"};
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    std::mt19937_64 random(seed);
    const std::uint64_t depth = 2 + seed % 3;
    ResultBuilder builder("/root", depth);
    std::vector<std::pair<std::string, std::uint64_t>> dirs = {{"/root", 0}};
    std::set<std::string> made;
    for (int i = 0; i < 400; ++i) {
      const auto [dir, level] = dirs[random() % dirs.size()];
      const std::string name = names[random() % names.size()] + std::to_string(i % 7);
      if (random() % 3 == 0) {
        if (!made.insert(child_path(dir, name)).second) continue;
        builder.directory(dir, name, level + 1);
        dirs.emplace_back(child_path(dir, name), level + 1);
      } else {
        builder.file(dir, name, level + 1, random() % 100000);
      }
    }
    const std::shared_ptr<const ScanResult> result = builder.finish();
    std::map<std::string, std::uint64_t> recursive;
    ASSERT_EQ(reference_dir_sizes("/root", *result, recursive), result->total_size) << seed;
    ASSERT_EQ(sorted(result->dir_sizes), recursive) << "seed " << seed;
  }
}

TEST(ComputeDirSizes, DeepChainNeedsNoStack) {
  // A recursive walk of 3,000 levels needs far more than the 64 KiB stack of
  // the thread this runs on.
  constexpr int kDepth = 3000;
  ResultBuilder builder("/deep", kDepth);
  std::string dir = "/deep";
  for (int i = 0; i < kDepth; ++i) {
    builder.file(dir, "f", i + 1, 1);
    builder.directory(dir, "d", i + 1);
    dir += "/d";
  }
  builder.file(dir, "g", kDepth + 1, 1000);

  struct Job {
    ScanAggregator* aggregator;
    std::shared_ptr<const ScanResult> result;
  } job{&builder.aggregator(), nullptr};
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 64 * 1024), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attributes,
                [](void* arg) -> void* {
                  auto* j = static_cast<Job*>(arg);
                  j->result = j->aggregator->finish().result;
                  return nullptr;
                },
                &job),
            0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attributes);

  const ScanResult& result = *job.result;
  EXPECT_EQ(result.dir_sizes.size(), static_cast<std::size_t>(kDepth) + 1);
  EXPECT_EQ(result.dir_sizes.at("/deep"), kDepth + 1000u);
  EXPECT_EQ(result.dir_sizes.at("/deep/d"), kDepth - 1 + 1000u);
  EXPECT_EQ(result.dir_sizes.at(dir), 1000u);
  EXPECT_EQ(result.truncated_size(dir), 1000u);
}

std::map<std::string, std::vector<Child>> listed(const ScanResult& result) {
  std::map<std::string, std::vector<Child>> out;
  for (const auto& [key, list] : result.children_map) {
    for (const ChildEntry& entry : list) {
      out[key].push_back(Child{std::string(entry.raw_name()), entry.size(), entry.is_dir()});
    }
  }
  return out;
}

TEST(ScanAggregator, ListingsArrivingInAnyOrderAfterTheirParentsGiveTheSameResult) {
  // Parallel walks deliver a directory's listing before or after those of its
  // cousins, and only its parent's surely before it; the result must not
  // depend on the order.
  for (std::uint64_t seed = 1; seed <= 10; ++seed) {
    std::mt19937_64 random(seed);
    struct Listing {
      ListingPlace place;
      ChildListing children;
      std::vector<std::size_t> child_listings;
    };
    std::vector<Listing> listings;
    // The directories by number, the root's first; a listing's directory
    // children are numbered in order as they are met.
    std::vector<std::uint64_t> depth_of = {0};
    for (std::size_t i = 0; i < depth_of.size() && depth_of.size() < 300; ++i) {
      Listing listing{ListingPlace{i, depth_of.size(), depth_of[i] + 1, ""}, {}, {}};
      const int count = 1 + static_cast<int>(random() % 4);
      for (int c = 0; c < count; ++c) {
        const std::string name = "n" + std::to_string(c) + (random() % 2 == 0 ? "" : "x");
        if (random() % 2 == 0) {
          listing.children.add_directory(name);
          listing.child_listings.push_back(depth_of.size());
          depth_of.push_back(depth_of[i] + 1);
        } else {
          listing.children.add_file(name, random() % 5000);
        }
      }
      listings.push_back(std::move(listing));
    }
    const auto run = [&](const std::vector<std::size_t>& order, std::uint64_t tree_depth) {
      ScanAggregator aggregator("/scan/root", tree_depth);
      for (const std::size_t i : order) {
        aggregator.record_listing(listings[i].place, listings[i].children);
      }
      return aggregator.finish().result;
    };
    // Breadth first, depth first, and a random order of listings whose
    // parents' came before them.
    const auto ordered = [&](bool depth_first, bool shuffled) {
      std::vector<std::size_t> order;
      std::deque<std::size_t> ready = {0};
      while (!ready.empty()) {
        std::size_t pick = depth_first ? ready.size() - 1 : 0;
        if (shuffled) pick = random() % ready.size();
        const std::size_t i = ready[pick];
        ready.erase(ready.begin() + static_cast<std::ptrdiff_t>(pick));
        order.push_back(i);
        for (const std::size_t child : listings[i].child_listings) {
          if (child < listings.size()) ready.push_back(child);
        }
      }
      EXPECT_EQ(order.size(), listings.size());
      return order;
    };
    for (const std::uint64_t tree_depth : {std::uint64_t{2}, std::uint64_t{1000}}) {
      const auto in_order = run(ordered(false, false), tree_depth);
      for (const auto& other : {ordered(true, false), ordered(false, true)}) {
        const auto result = run(other, tree_depth);
        ASSERT_EQ(listed(*result), listed(*in_order)) << seed;
        ASSERT_EQ(sorted(result->dir_sizes), sorted(in_order->dir_sizes)) << seed;
        ASSERT_EQ(sorted(result->truncated_sizes), sorted(in_order->truncated_sizes)) << seed;
      }
      EXPECT_EQ(in_order->dir_sizes.at("/scan/root"), in_order->total_size);
    }
  }
}

TEST(ScanAggregator, TruncatedAncestorIsNotSharedAcrossANamePrefix) {
  // "/r/a" and "/r/ab" share leading bytes but not their ancestor.
  ScanAggregator aggregator("/r", 1);
  const auto listing = [](std::vector<std::string> dirs, bool file) {
    ChildListing children;
    for (const std::string& name : dirs) children.add_directory(name);
    if (file) children.add_file("f", 10);
    return children;
  };
  // a 1, ab 2; x 3, z 4 in a; y 5 in ab; w 6 in z.
  aggregator.record_listing(ListingPlace{kWalkRoot, 1, 1, ""}, listing({"a", "ab"}, false));
  aggregator.record_listing(ListingPlace{1, 3, 2, ""}, listing({"x", "z"}, true));
  aggregator.record_listing(ListingPlace{2, 5, 2, ""}, listing({"y"}, true));
  aggregator.record_listing(ListingPlace{3, 0, 3, ""}, listing({}, true));
  aggregator.record_listing(ListingPlace{5, 0, 3, ""}, listing({}, true));
  aggregator.record_listing(ListingPlace{4, 6, 3, ""}, listing({"w"}, false));
  aggregator.record_listing(ListingPlace{6, 0, 4, ""}, listing({}, true));
  const auto result = aggregator.finish().result;
  EXPECT_THAT(sorted(result->truncated_sizes), ElementsAre(Pair("/r/a", 30u), Pair("/r/ab", 20u)));
}

TEST(ScanAggregator, DeepChainRecordsInLinearTime) {
  // Each directory is found from the one recorded before it, without its
  // path hashed as a whole; results stay exact all the way down.
  constexpr int kDepth = 20000;
  ResultBuilder aggregator("/c", 1'000'000);
  std::string path = "/c";
  for (int level = 1; level <= kDepth; ++level) {
    const Parent dir = parent(path);
    aggregator.directory(dir, "d", static_cast<std::uint64_t>(level));
    aggregator.file(dir, "f", static_cast<std::uint64_t>(level), 1);
    path += "/d";
  }
  const auto result = aggregator.finish();
  EXPECT_EQ(result->children_map.size(), static_cast<std::size_t>(kDepth));
  EXPECT_EQ(result->dir_sizes.size(), static_cast<std::size_t>(kDepth) + 1);
  EXPECT_EQ(*result->dir_size("/c"), static_cast<std::uint64_t>(kDepth));
  EXPECT_EQ(*result->dir_size(path), 0u);
  path.resize(path.size() - 2);
  EXPECT_EQ(*result->dir_size(path), 1u);
  ASSERT_NE(result->children_of(path + "/"), nullptr);
  EXPECT_EQ(result->children_of(path + "/")->size(), 2u);
}

// Walks a real tree the way an engine does: every entry with its parent
// object, depth and allocated size (hard links counted once).
void walk(const std::string& dir, const Parent& dir_object, std::uint64_t depth, HardlinkSet& seen,
          ResultBuilder& aggregator) {
  DIR* stream = ::opendir(dir.c_str());
  ASSERT_NE(stream, nullptr) << dir;
  std::vector<std::string> subdirs;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = join_path(dir, name);
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
    if (S_ISDIR(st.st_mode)) {
      aggregator.directory(dir_object, name, depth + 1);
      subdirs.push_back(path);
    } else {
      aggregator.file(dir_object, name, depth + 1,
                      counted_size(seen, st.st_nlink, st.st_dev, st.st_ino,
                                   static_cast<std::uint64_t>(st.st_blocks) * 512));
    }
  }
  ::closedir(stream);
  for (const std::string& sub : subdirs) walk(sub, parent(sub), depth + 1, seen, aggregator);
}

TEST(ScanAggregator, RealTreeSizesMatchTheFileSystem) {
  testing::TempDir tree;
  tree.write_file("top.bin", 70000);
  tree.write_file("a/one", 5000);
  tree.write_file("a/two", 12000);
  tree.make_dir("a/empty");
  tree.write_file("a/b/three", 9000);
  tree.write_file("a/b/c/four", 30000);
  tree.write_file("a/b/c/d/five", 4096);
  tree.make_hardlink("a/b/c/four", "a/linked-four");
  tree.write_file("z/six", 100);

  const std::uint64_t top = testing::allocated_size(tree.at("top.bin"));
  const std::uint64_t one = testing::allocated_size(tree.at("a/one"));
  const std::uint64_t two = testing::allocated_size(tree.at("a/two"));
  const std::uint64_t three = testing::allocated_size(tree.at("a/b/three"));
  const std::uint64_t four = testing::allocated_size(tree.at("a/b/c/four"));
  const std::uint64_t five = testing::allocated_size(tree.at("a/b/c/d/five"));
  const std::uint64_t six = testing::allocated_size(tree.at("z/six"));
  ASSERT_GT(four, 0u);

  HardlinkSet seen;
  ResultBuilder aggregator(tree.path(), 2);
  walk(tree.path(), parent(tree.path()), 0, seen, aggregator);
  const std::shared_ptr<const ScanResult> result_owner = aggregator.finish();
  const ScanResult& result = *result_owner;

  const std::uint64_t total = top + one + two + three + four + five + six;
  // The walk lists "a" before it descends, so "a/linked-four" carries the
  // blocks and "a/b/c/four" counts as a file of size 0.
  EXPECT_EQ(result.files_found, 8u);
  EXPECT_EQ(result.dirs_found, 6u);
  EXPECT_EQ(result.total_size, total);
  EXPECT_EQ(*result.dir_size(tree.path()), total);
  EXPECT_EQ(*result.dir_size(tree.at("a")), one + two + three + four + five);
  EXPECT_EQ(*result.dir_size(tree.at("a/b")), three + five);
  EXPECT_EQ(*result.dir_size(tree.at("a/empty")), 0u);
  EXPECT_EQ(*result.dir_size(tree.at("z")), six);
  EXPECT_EQ(result.dir_size(tree.at("a/b/c")), nullptr);
  EXPECT_THAT(sorted(result.truncated_sizes), ElementsAre(Pair(tree.at("a/b"), three + five)));
  EXPECT_EQ(result.dir_sizes.size(), 5u);
}

}  // namespace
}  // namespace tessaly
