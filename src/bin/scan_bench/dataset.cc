#include "bin/scan_bench/dataset.h"

#include <sys/stat.h>

#include <utility>

#include <tessaly/text.h>
#include <nlohmann/json.hpp>

#include "bin/common/file_io.h"
#include "bin/common/json_text.h"

namespace tessaly {
namespace {

using Json = nlohmann::json;

// Writes the document as compact text with sorted keys and refuses nesting
// beyond the limit, which the library itself does not bound.
class DatasetSax {
 public:
  bool null() {
    writer_.null();
    return true;
  }
  bool boolean(bool value) {
    writer_.boolean(value);
    return true;
  }
  bool number_integer(Json::number_integer_t value) {
    writer_.number_integer(value);
    return true;
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    writer_.number_unsigned(value);
    return true;
  }
  bool number_float(Json::number_float_t value, const Json::string_t&) {
    writer_.number_float(value);
    return true;
  }
  bool string(Json::string_t& value) {
    writer_.string(value);
    return true;
  }
  bool binary(Json::binary_t&) { return false; }  // never in JSON text
  bool start_object(std::size_t) {
    if (!enter()) return false;
    writer_.start_object();
    return true;
  }
  bool key(Json::string_t& value) {
    writer_.key(value);
    return true;
  }
  bool end_object() {
    --depth_;
    writer_.end_object();
    return true;
  }
  bool start_array(std::size_t) {
    if (!enter()) return false;
    writer_.start_array();
    return true;
  }
  bool end_array() {
    --depth_;
    writer_.end_array();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  std::string take() { return writer_.take(); }

 private:
  bool enter() { return ++depth_ < dataset_max_nesting; }

  CompactJsonWriter writer_{/*sort_keys=*/true};
  std::size_t depth_ = 0;
};

}  // namespace

std::optional<std::string> parse_dataset_json(std::string_view text) {
  if (!is_utf8(text)) return std::nullopt;
  // The parser would skip a leading byte-order mark, which is not whitespace,
  // and would take a NUL byte for the end of the input, ignoring what follows.
  // Neither can be part of a valid document.
  if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  DatasetSax sax;
  if (!Json::sax_parse(text.begin(), text.end(), &sax, nlohmann::json::input_format_t::json,
                       /*strict=*/true, /*ignore_comments=*/false)) {
    return std::nullopt;
  }
  return sax.take();
}

std::optional<std::string> load_dataset_metadata(const std::string& root) {
  return load_dataset_metadata(root, dataset_max_bytes);
}

std::optional<std::string> load_dataset_metadata(const std::string& root, std::size_t max_bytes) {
  if (root.find('\0') != std::string::npos) return std::nullopt;
  std::string path = root + std::string(dataset_file_suffix);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) path = join_raw_path(root, dataset_file_suffix);
  auto text = read_file_whole(path, max_bytes);
  if (!text) return std::nullopt;
  return parse_dataset_json(*text);
}

}  // namespace tessaly
