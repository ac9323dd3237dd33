// What both engines hand to the collecting thread: one packed listing per
// directory (or per part of a large one), placed by numbers rather than by
// path, over one bounded channel.
//
// Directories are numbered during the walk. The root is kWalkRoot; a listing
// numbers the directory children it holds consecutively from `first_child`,
// in listing order, and is sent before any of those children is walked, so
// the collector has placed a directory before its own listing arrives. A
// message thus costs its names and fields, never the directory's path, which
// on a deep tree would be far larger than the listing.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "result/child_listing.h"

namespace tessaly {

using WalkDirId = std::uint64_t;
inline constexpr WalkDirId kWalkRoot = 0;

// Messages the channel between a walk and its collector holds at most.
inline constexpr std::size_t kWalkQueueCapacity = 10'000;

// Entries one message holds at most: a larger directory is sent in parts, so
// that the bound on messages bounds their memory as well.
inline constexpr std::size_t kMaxListingEntries = 4096;

// Spent listings a walk keeps for its directory jobs to fill again (see
// base/recycler.h), and the entries a kept one has room for at most: a larger
// one gives its memory back first. So kept, they hold a few megabytes at most.
inline constexpr std::size_t kRecycledListings = 256;
inline constexpr std::size_t kRecycledListingEntries = 64;

// Makes a spent listing ready to be filled again.
inline void ready_for_reuse(ChildListing& listing) {
  listing.clear();
  listing.trim(kRecycledListingEntries);
}

// Where a listing's children go.
struct ListingPlace {
  WalkDirId dir = kWalkRoot;  // the listed directory
  WalkDirId first_child = 0;  // number of its first directory child here
  std::uint64_t depth = 0;    // of the children: the directory's own + 1
  // The directory's raw path, only when a child of this listing is a large
  // file (the large-file list shows paths); empty otherwise.
  std::string path;
};

// One message from a directory job to the collector.
struct ListingMessage {
  ListingPlace place;
  ChildListing children;
};

// Hands out directory numbers, from any thread. The root's number is given.
class WalkDirNumbers {
 public:
  // The first of `count` consecutive new numbers.
  WalkDirId take(std::size_t count) { return next_.fetch_add(count, std::memory_order_relaxed); }

 private:
  std::atomic<WalkDirId> next_{kWalkRoot + 1};
};

}  // namespace tessaly
