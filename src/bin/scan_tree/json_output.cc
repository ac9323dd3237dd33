#include "bin/scan_tree/json_output.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <tessaly/text.h>

namespace tessaly::scan_tree {
namespace {

constexpr std::size_t kChunkBytes = 64 * 1024;

// Appends JSON string literals to the end of `out`, escaped by the JSON
// library's own printer (as every other JSON text of the tools is), reusing
// one value and one printer for all of them.
class StringWriter {
 public:
  explicit StringWriter(std::string& out)
      : printer_(nlohmann::detail::output_adapter<char, std::string>(out), ' ',
                 nlohmann::json::error_handler_t::replace) {}

  void write(std::string_view text) {
    // The result's texts are UTF-8 already; anything else must not make the
    // document invalid.
    std::string& scratch = value_.get_ref<std::string&>();
    if (is_utf8(text)) {
      scratch.assign(text);
    } else {
      scratch = utf8_text(text);
    }
    printer_.dump(value_, /*pretty_print=*/false, /*ensure_ascii=*/false, 0);
  }

 private:
  nlohmann::json value_ = std::string();
  nlohmann::detail::serializer<nlohmann::json> printer_;
};

// Buffers the text and hands it to the sink in chunks; after the sink has
// failed once, everything else is dropped.
class ChunkedOutput {
 public:
  explicit ChunkedOutput(const std::function<bool(std::string_view)>& sink)
      : sink_(sink), strings_(buffer_) {
    buffer_.reserve(kChunkBytes + 4096);
  }

  std::string& buffer() { return buffer_; }

  // Appends `text` as a JSON string literal.
  void string(std::string_view text) { strings_.write(text); }

  void maybe_flush() {
    if (buffer_.size() >= kChunkBytes) flush();
  }

  bool finish() {
    flush();
    return ok_;
  }

 private:
  void flush() {
    if (ok_ && !buffer_.empty()) ok_ = sink_(buffer_);
    buffer_.clear();
  }

  const std::function<bool(std::string_view)>& sink_;
  std::string buffer_;
  StringWriter strings_;
  bool ok_ = true;
};

// The entries of a raw-keyed map with their JSON keys, sorted by JSON key.
template <typename Map>
std::vector<std::pair<std::string, const typename Map::mapped_type*>> keyed_entries(
    const Map& map) {
  // The maps hand out each key as a text formed on the spot.
  std::vector<std::string> texts;
  std::vector<const typename Map::mapped_type*> values;
  texts.reserve(map.size());
  values.reserve(map.size());
  for (const auto& [key, value] : map) {
    texts.push_back(key);
    values.push_back(&value);
  }
  const std::vector<std::string_view> raw(texts.begin(), texts.end());
  std::vector<std::string> keys = json_keys(raw);
  std::vector<std::pair<std::string, const typename Map::mapped_type*>> entries;
  entries.reserve(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) entries.emplace_back(std::move(keys[i]), values[i]);
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return entries;
}

void write_children_map(const ScanResult& result, ChunkedOutput& output) {
  std::string& out = output.buffer();
  const auto entries = keyed_entries(result.children_map);
  if (entries.empty()) {
    out += "  \"children_map\": {},\n";
    return;
  }
  out += "  \"children_map\": {\n";
  std::vector<const ChildEntry*> sorted;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ChildList& list = *entries[i].second;
    out += "    ";
    output.string(entries[i].first);
    if (list.empty()) {
      out += ": []";
    } else {
      out += ": [\n";
      sorted.clear();
      for (const ChildEntry& child : list) sorted.push_back(&child);
      std::sort(sorted.begin(), sorted.end(), [](const ChildEntry* a, const ChildEntry* b) {
        if (a->raw_name() != b->raw_name()) return a->raw_name() < b->raw_name();
        if (a->is_dir() != b->is_dir()) return a->is_dir();
        return a->size() < b->size();
      });
      for (std::size_t j = 0; j < sorted.size(); ++j) {
        out += "      {\"name\": ";
        output.string(sorted[j]->name());
        fmt::format_to(std::back_inserter(out), ", \"size\": {}, \"is_dir\": {}}}{}\n",
                       sorted[j]->size(), sorted[j]->is_dir(), j + 1 < sorted.size() ? "," : "");
        output.maybe_flush();
      }
      out += "    ]";
    }
    out += i + 1 < entries.size() ? ",\n" : "\n";
    output.maybe_flush();
  }
  out += "  },\n";
}

template <typename Map>
void write_size_map(std::string_view name, const Map& map, bool last, ChunkedOutput& output) {
  std::string& out = output.buffer();
  const auto entries = keyed_entries(map);
  const std::string_view after = last ? "\n" : ",\n";
  if (entries.empty()) {
    fmt::format_to(std::back_inserter(out), "  \"{}\": {{}}{}", name, after);
    return;
  }
  fmt::format_to(std::back_inserter(out), "  \"{}\": {{\n", name);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    out += "    ";
    output.string(entries[i].first);
    fmt::format_to(std::back_inserter(out), ": {}{}\n", *entries[i].second,
                   i + 1 < entries.size() ? "," : "");
    output.maybe_flush();
  }
  fmt::format_to(std::back_inserter(out), "  }}{}", after);
}

}  // namespace

std::vector<std::string> json_keys(const std::vector<std::string_view>& raw_keys) {
  std::vector<std::string> keys(raw_keys.size());
  std::unordered_set<std::string> taken;
  std::vector<std::size_t> lossy;
  for (std::size_t i = 0; i < raw_keys.size(); ++i) {
    if (is_utf8(raw_keys[i])) {
      keys[i] = std::string(raw_keys[i]);
      taken.insert(keys[i]);
    } else {
      lossy.push_back(i);
    }
  }
  std::sort(lossy.begin(), lossy.end(),
            [&](std::size_t a, std::size_t b) { return raw_keys[a] < raw_keys[b]; });
  for (const std::size_t i : lossy) {
    const std::string text = utf8_text(raw_keys[i]);
    std::string key = text;
    for (std::uint64_t n = 2; taken.contains(key); ++n) key = fmt::format("{} ({})", text, n);
    taken.insert(key);
    keys[i] = std::move(key);
  }
  return keys;
}

std::string json_string(std::string_view text) {
  std::string out;
  StringWriter(out).write(text);
  return out;
}

bool write_result_json(const ScanResult& result,
                       const std::function<bool(std::string_view)>& sink) {
  ChunkedOutput output(sink);
  std::string& out = output.buffer();
  out += "{\n  \"root\": ";
  output.string(result.root);
  fmt::format_to(std::back_inserter(out),
                 ",\n  \"files_found\": {},\n  \"dirs_found\": {},\n  \"total_size\": {},\n"
                 "  \"compute_dir_sizes_ms\": {},\n",
                 result.files_found, result.dirs_found, result.total_size,
                 result.compute_dir_sizes_ms);

  std::vector<const LargeFile*> large;
  large.reserve(result.large_files.size());
  for (const LargeFile& file : result.large_files) large.push_back(&file);
  std::sort(large.begin(), large.end(), [](const LargeFile* a, const LargeFile* b) {
    if (a->size != b->size) return a->size > b->size;
    if (a->path != b->path) return a->path < b->path;
    return a->name < b->name;
  });
  if (large.empty()) {
    out += "  \"large_files\": [],\n";
  } else {
    out += "  \"large_files\": [\n";
    for (std::size_t i = 0; i < large.size(); ++i) {
      out += "    {\"name\": ";
      output.string(large[i]->name);
      out += ", \"path\": ";
      output.string(large[i]->path);
      fmt::format_to(std::back_inserter(out), ", \"size\": {}}}{}\n", large[i]->size,
                     i + 1 < large.size() ? "," : "");
      output.maybe_flush();
    }
    out += "  ],\n";
  }

  write_children_map(result, output);
  write_size_map("truncated_sizes", result.truncated_sizes, false, output);
  write_size_map("dir_sizes", result.dir_sizes, true, output);
  out += "}\n";
  return output.finish();
}

std::string result_json(const ScanResult& result) {
  std::string text;
  write_result_json(result, [&](std::string_view chunk) {
    text.append(chunk);
    return true;
  });
  return text;
}

}  // namespace tessaly::scan_tree
