// The entries of one directory with their names packed into one buffer and a
// slot per entry holding its fields, so that filling a listing costs no
// allocation per entry once it has grown to the directory's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

// `Fields` is what the listing keeps of an entry besides its name.
template <class Fields>
class PackedListing {
 public:
  struct Item {
    std::string_view name;  // raw bytes; valid until the listing is next changed
    const Fields& fields;
  };

  // Throws std::length_error when the names would pass 4 GiB together.
  void add(std::string_view raw_name, const Fields& fields) {
    if (raw_name.size() > kMaxNameBytes - names_.size()) {
      throw std::length_error("listing names past 4 GiB");
    }
    slots_.push_back(Slot{fields, static_cast<std::uint32_t>(names_.size()),
                          static_cast<std::uint32_t>(raw_name.size())});
    names_.append(raw_name);
  }
  void reserve(std::size_t entries, std::size_t name_bytes) {
    slots_.reserve(entries);
    names_.reserve(name_bytes);
  }
  void clear() {
    names_.clear();
    slots_.clear();
  }
  // Gives memory back when the listing has room for more than `max_entries`.
  void trim(std::size_t max_entries) {
    if (slots_.capacity() <= max_entries) return;
    std::vector<Slot>().swap(slots_);
    std::string().swap(names_);
  }

  std::size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }
  // Bytes of all names together.
  std::size_t name_bytes() const { return names_.size(); }
  Item operator[](std::size_t i) const {
    const Slot& slot = slots_[i];
    return Item{std::string_view(names_).substr(slot.name_offset, slot.name_size), slot.fields};
  }

 private:
  // 32-bit places keep a slot small: listings in flight hold one per entry.
  struct Slot {
    Fields fields;
    std::uint32_t name_offset;
    std::uint32_t name_size;
  };
  static constexpr std::size_t kMaxNameBytes = 0xffff'ffffU;
  std::string names_;
  std::vector<Slot> slots_;
};

}  // namespace tessaly
