#include "bin/common/json_text.h"

#include <algorithm>
#include <numeric>

#include <fmt/format.h>

namespace tessaly {

CompactJsonWriter::CompactJsonWriter(bool sort_keys)
    : sort_keys_(sort_keys),
      printer_(nlohmann::detail::output_adapter<char, std::string>(text_), ' ',
               nlohmann::json::error_handler_t::replace) {}

void CompactJsonWriter::before_value() {
  if (frames_.empty()) return;
  Frame& frame = frames_.back();
  if (frame.is_object) return;  // the key wrote the separator
  if (!frame.empty) text_ += ',';
  frame.empty = false;
}

void CompactJsonWriter::null() {
  before_value();
  text_ += "null";
}

void CompactJsonWriter::boolean(bool value) {
  before_value();
  text_ += value ? "true" : "false";
}

void CompactJsonWriter::number_integer(std::int64_t value) {
  before_value();
  text_ += fmt::format_int(value).str();
}

void CompactJsonWriter::number_unsigned(std::uint64_t value) {
  before_value();
  text_ += fmt::format_int(value).str();
}

void CompactJsonWriter::number_float(double value) {
  before_value();
  // The library's own shortest round-trip form ("1.0", "1e+300").
  scratch_ = value;
  printer_.dump(scratch_, /*pretty_print=*/false, /*ensure_ascii=*/false, 0);
}

void CompactJsonWriter::string(std::string_view value) {
  before_value();
  if (!scratch_.is_string()) scratch_ = std::string();
  scratch_.get_ref<std::string&>().assign(value);
  printer_.dump(scratch_, /*pretty_print=*/false, /*ensure_ascii=*/false, 0);
}

void CompactJsonWriter::key(std::string_view value) {
  Frame& frame = frames_.back();
  if (!frame.empty) text_ += ',';
  frame.empty = false;
  if (sort_keys_) {
    members_.push_back({keys_.size(), value.size(), text_.size()});
    keys_ += value;
  }
  if (!scratch_.is_string()) scratch_ = std::string();
  scratch_.get_ref<std::string&>().assign(value);
  printer_.dump(scratch_, /*pretty_print=*/false, /*ensure_ascii=*/false, 0);
  text_ += ':';
}

void CompactJsonWriter::start_object() {
  before_value();
  frames_.push_back({true, true, text_.size(), members_.size(), keys_.size()});
  text_ += '{';
}

void CompactJsonWriter::end_object() {
  const Frame frame = frames_.back();
  frames_.pop_back();
  if (sort_keys_) {
    sort_members(frame);
    members_.resize(frame.first_member);
    keys_.resize(frame.keys_size);
  }
  text_ += '}';
}

void CompactJsonWriter::start_array() {
  before_value();
  frames_.push_back({false, true, text_.size(), members_.size(), keys_.size()});
  text_ += '[';
}

void CompactJsonWriter::end_array() {
  frames_.pop_back();
  text_ += ']';
}

void CompactJsonWriter::sort_members(const Frame& frame) {
  const std::size_t count = members_.size() - frame.first_member;
  const Member* members = members_.data() + frame.first_member;
  const auto key_of = [&](std::size_t i) {
    return std::string_view(keys_).substr(members[i].key_offset, members[i].key_size);
  };
  bool in_order = true;
  for (std::size_t i = 1; i < count && in_order; ++i) in_order = key_of(i - 1) < key_of(i);
  if (in_order) return;  // the usual case: nothing to move

  // A member's text runs from its key to the comma before the next one, or
  // to the end of the object.
  const auto text_of = [&](std::size_t i) {
    const std::size_t end = i + 1 < count ? members[i + 1].text_begin - 1 : text_.size();
    return std::string_view(text_).substr(members[i].text_begin, end - members[i].text_begin);
  };
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return key_of(a) < key_of(b); });
  std::string sorted;
  sorted.reserve(text_.size() - frame.open);
  for (std::size_t at = 0; at < count; ++at) {
    // Of equal keys, the last one written wins.
    if (at + 1 < count && key_of(order[at]) == key_of(order[at + 1])) continue;
    if (!sorted.empty()) sorted += ',';
    sorted += text_of(order[at]);
  }
  text_.resize(frame.open + 1);
  text_ += sorted;
}

void append_pretty_json(std::string& out, std::string_view compact, std::size_t level) {
  const auto new_line = [&] {
    out += '\n';
    out.append(2 * level, ' ');
  };
  bool in_string = false;
  for (std::size_t i = 0; i < compact.size(); ++i) {
    const char c = compact[i];
    if (in_string) {
      out += c;
      if (c == '\\') {
        out += compact[++i];
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        out += c;
        break;
      case '{':
      case '[':
        out += c;
        if (i + 1 < compact.size() && (compact[i + 1] == '}' || compact[i + 1] == ']')) {
          out += compact[++i];  // "{}" and "[]" stay on their line
        } else {
          ++level;
          new_line();
        }
        break;
      case '}':
      case ']':
        --level;
        new_line();
        out += c;
        break;
      case ',':
        out += c;
        new_line();
        break;
      case ':':
        out += ": ";
        break;
      default:
        out += c;
    }
  }
}

}  // namespace tessaly
