// JSON values kept as text instead of as a tree of nodes: a tree node per
// element costs tens of bytes where the text of an empty object costs three,
// so a reader that only compares or copies a free-form value keeps its text.
//
// The text is the JSON library's own compact form (what dump() prints with
// ensure_ascii off): no whitespace, strings escaped by the library's printer,
// numbers in the form they were parsed into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tessaly {

// Writes compact JSON text from parse events, in the order of a SAX parse.
// With `sort_keys`, each object's members come out sorted by key (byte order)
// and a key repeated within one object keeps its last value at the place the
// sort gives it, as an object of the library's default (sorted) type prints;
// without, members stay in their order, repeats included. Strings are valid
// UTF-8 (the parser checks them). No allocation per element beyond the text
// itself and, when sorting, one record per member of each open object.
class CompactJsonWriter {
 public:
  explicit CompactJsonWriter(bool sort_keys);
  // The printer writes into this object's own text.
  CompactJsonWriter(const CompactJsonWriter&) = delete;
  CompactJsonWriter& operator=(const CompactJsonWriter&) = delete;

  void null();
  void boolean(bool value);
  void number_integer(std::int64_t value);
  void number_unsigned(std::uint64_t value);
  void number_float(double value);
  void string(std::string_view value);
  void key(std::string_view value);
  void start_object();
  void end_object();
  void start_array();
  void end_array();

  // The text written so far.
  const std::string& text() const { return text_; }
  std::string take() { return std::move(text_); }

 private:
  struct Member {
    std::size_t key_offset;  // into keys_
    std::size_t key_size;
    std::size_t text_begin;  // into text_: the member's key
  };
  struct Frame {
    bool is_object;
    bool empty;
    std::size_t open;          // offset of "{" or "["
    std::size_t first_member;  // into members_
    std::size_t keys_size;     // size of keys_ when the object opened
  };

  // The comma before a value in an array; nothing before a member's value.
  void before_value();
  void sort_members(const Frame& frame);

  bool sort_keys_;
  std::string text_;
  std::vector<Frame> frames_;
  std::vector<Member> members_;
  std::string keys_;  // the raw keys of the open objects' members
  nlohmann::json scratch_;
  nlohmann::detail::serializer<nlohmann::json> printer_;
};

// Appends `compact` (text CompactJsonWriter or the library's compact dump
// wrote) to `out` in the library's pretty layout with two-space indentation,
// as if the value stood `level` levels deep in a pretty-printed document: its
// inner lines are indented by 2 * (level + 1) spaces, its closing bracket by
// 2 * level.
void append_pretty_json(std::string& out, std::string_view compact, std::size_t level);

}  // namespace tessaly
