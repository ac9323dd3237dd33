// The kept children of one directory, in the form a directory job hands them
// to the collecting thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/packed_listing.h"

namespace tessaly {

// What a listing keeps of a child besides its name.
struct ChildFields {
  std::uint64_t size = 0;  // bytes counted for a file; 0 for a directory
  bool is_dir = false;
};

// One directory's kept children in read order, as a bulk reader hands them to
// the collecting thread.
class ChildListing : public PackedListing<ChildFields> {
 public:
  void add_file(std::string_view raw_name, std::uint64_t size) {
    add(raw_name, ChildFields{size, false});
  }
  void add_directory(std::string_view raw_name) { add(raw_name, ChildFields{0, true}); }
};

}  // namespace tessaly
