// The kept children of one directory, in the form a directory job hands them
// to the collecting thread.
#pragma once

#include <tessaly/result.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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

// One directory's kept children in read order, as a directory job hands them
// to the collecting thread: the names packed into one buffer and 16 bytes per
// child beside them, since listings in flight hold one slot per entry.
class ChildListing {
 public:
  struct Item {
    std::string_view name;  // raw bytes; valid until the listing is next changed
    ChildFields fields;
  };

  void add_file(std::string_view raw_name, std::uint64_t size) { add(raw_name, size, 0); }
  void add_directory(std::string_view raw_name) { add(raw_name, 0, kDirectory); }
  // A file with two or more links: listed with the bytes it counts (its
  // size on the sighting that carries its blocks, else 0), its identity
  // kept beside the listing, so ordinary files cost nothing more.
  void add_linked_file(std::string_view raw_name, const HardLink& link) {
    links_.push_back(LinkedChild{size(), link});
    add_file(raw_name, link.counted ? link.size : 0);
  }
  // The identities of the linked files, in listing order.
  std::span<const LinkedChild> links() const { return links_; }

  void reserve(std::size_t entries, std::size_t name_bytes) {
    slots_.reserve(entries);
    names_.reserve(name_bytes);
  }
  void clear() {
    names_.clear();
    slots_.clear();
    links_.clear();
  }
  // Gives memory back when the listing has room for more than `max_entries`.
  void trim(std::size_t max_entries) {
    if (slots_.capacity() > max_entries) {
      std::vector<Slot>().swap(slots_);
      std::string().swap(names_);
    }
    if (links_.capacity() > max_entries) std::vector<LinkedChild>().swap(links_);
  }

  std::size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }
  // Bytes of all names together.
  std::size_t name_bytes() const { return names_.size(); }
  Item operator[](std::size_t i) const {
    const Slot& slot = slots_[i];
    return Item{std::string_view(names_).substr(slot.name_offset, slot.name_size & kSizeMask),
                ChildFields{slot.size, (slot.name_size & kDirectory) != 0}};
  }

 private:
  // A name's length holds the kind in its top bit.
  static constexpr std::uint32_t kDirectory = 0x8000'0000U;
  static constexpr std::uint32_t kSizeMask = kDirectory - 1;
  static constexpr std::size_t kMaxNameBytes = 0xffff'ffffU;
  struct Slot {
    std::uint64_t size;
    std::uint32_t name_offset;
    std::uint32_t name_size;  // and kDirectory
  };

  // Throws std::length_error for a name of 2 GiB or names past 4 GiB.
  void add(std::string_view raw_name, std::uint64_t size, std::uint32_t kind) {
    if (raw_name.size() > kSizeMask || raw_name.size() > kMaxNameBytes - names_.size()) {
      throw std::length_error("listing names too long");
    }
    slots_.push_back(Slot{size, static_cast<std::uint32_t>(names_.size()),
                          static_cast<std::uint32_t>(raw_name.size()) | kind});
    names_.append(raw_name);
  }

  std::string names_;
  std::vector<Slot> slots_;
  std::vector<LinkedChild> links_;
};

}  // namespace tessaly
