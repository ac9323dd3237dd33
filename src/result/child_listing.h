// The kept children of one directory, in the form a directory job hands them
// to the collecting thread.
#pragma once

#include <tessaly/result.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/packed_listing.h"

namespace tessaly {

// What a listing keeps of a child besides its name.
struct ChildFields {
  std::uint64_t size = 0;  // bytes counted for a file; 0 for a directory
  bool is_dir = false;
};

// The identity of a multiply-linked file at `index` in a listing.
struct LinkedChild {
  std::size_t index = 0;
  HardLink link;
};

// One directory's kept children in read order, as a bulk reader hands them to
// the collecting thread.
class ChildListing : public PackedListing<ChildFields> {
 public:
  void add_file(std::string_view raw_name, std::uint64_t size) {
    add(raw_name, ChildFields{size, false});
  }
  void add_directory(std::string_view raw_name) { add(raw_name, ChildFields{0, true}); }
  // A file with two or more links: listed with the bytes it counts (its
  // size on the sighting that carries its blocks, else 0), its identity
  // kept beside the listing, so ordinary files cost nothing more.
  void add_linked_file(std::string_view raw_name, const HardLink& link) {
    links_.push_back(LinkedChild{size(), link});
    add_file(raw_name, link.counted ? link.size : 0);
  }
  // The identities of the linked files, in listing order.
  std::span<const LinkedChild> links() const { return links_; }
  void clear() {
    PackedListing::clear();
    links_.clear();
  }
  void trim(std::size_t max_entries) {
    PackedListing::trim(max_entries);
    if (links_.capacity() > max_entries) std::vector<LinkedChild>().swap(links_);
  }

 private:
  std::vector<LinkedChild> links_;
};

}  // namespace tessaly
