// The kept children of one directory, in the form a directory job hands them
// to the collecting thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

// One directory's kept children in read order, as a bulk reader hands them to
// the collecting thread: names packed in one buffer.
class ChildListing {
 public:
  struct Item {
    std::string_view name;  // raw bytes
    std::uint64_t size;
    bool is_dir;
  };

  void add_file(std::string_view raw_name, std::uint64_t size) { add(raw_name, size, false); }
  void add_directory(std::string_view raw_name) { add(raw_name, 0, true); }
  void reserve(std::size_t entries, std::size_t name_bytes) {
    slots_.reserve(entries);
    names_.reserve(name_bytes);
  }

  std::size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }
  Item operator[](std::size_t i) const {
    const Slot& slot = slots_[i];
    return Item{std::string_view(names_).substr(slot.offset, slot.length), slot.size, slot.is_dir};
  }

 private:
  struct Slot {
    std::size_t offset;
    std::uint64_t size;
    std::size_t length;
    bool is_dir;
  };

  void add(std::string_view raw_name, std::uint64_t size, bool is_dir) {
    slots_.push_back(Slot{names_.size(), size, raw_name.size(), is_dir});
    names_.append(raw_name);
  }

  std::string names_;
  std::vector<Slot> slots_;
};

}  // namespace tessaly
