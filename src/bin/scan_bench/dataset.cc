#include "bin/scan_bench/dataset.h"

#include <sys/stat.h>

#include <utility>

#include <tessaly/text.h>
#include "bin/common/file_io.h"

namespace tessaly {
namespace {

using Json = nlohmann::json;

// Builds the document through the library's own DOM builder and refuses
// nesting beyond the limit, which the library itself does not bound.
class DepthLimitedSax {
 public:
  explicit DepthLimitedSax(Json& result) : dom_(result, /*allow_exceptions=*/false) {}

  bool null() { return dom_.null(); }
  bool boolean(bool value) { return dom_.boolean(value); }
  bool number_integer(Json::number_integer_t value) { return dom_.number_integer(value); }
  bool number_unsigned(Json::number_unsigned_t value) { return dom_.number_unsigned(value); }
  bool number_float(Json::number_float_t value, const Json::string_t& text) {
    return dom_.number_float(value, text);
  }
  bool string(Json::string_t& value) { return dom_.string(value); }
  bool binary(Json::binary_t& value) { return dom_.binary(value); }
  bool start_object(std::size_t size) { return enter() && dom_.start_object(size); }
  bool key(Json::string_t& value) { return dom_.key(value); }
  bool end_object() {
    --depth_;
    return dom_.end_object();
  }
  bool start_array(std::size_t size) { return enter() && dom_.start_array(size); }
  bool end_array() {
    --depth_;
    return dom_.end_array();
  }
  bool parse_error(std::size_t position, const std::string& token,
                   const nlohmann::detail::exception& error) {
    failed_ = true;
    return dom_.parse_error(position, token, error);
  }

  bool failed() const { return failed_ || dom_.is_errored(); }

 private:
  bool enter() {
    if (++depth_ >= dataset_max_nesting) {
      failed_ = true;
      return false;
    }
    return true;
  }

  nlohmann::detail::json_sax_dom_parser<Json> dom_;
  std::size_t depth_ = 0;
  bool failed_ = false;
};

}  // namespace

std::optional<nlohmann::json> parse_dataset_json(std::string_view text) {
  if (!is_utf8(text)) return std::nullopt;
  // The parser would skip a leading byte-order mark, which is not whitespace,
  // and would take a NUL byte for the end of the input, ignoring what follows.
  // Neither can be part of a valid document.
  if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  Json result;
  DepthLimitedSax sax(result);
  const bool ok =
      Json::sax_parse(text.begin(), text.end(), &sax, nlohmann::json::input_format_t::json,
                      /*strict=*/true, /*ignore_comments=*/false);
  if (!ok || sax.failed() || result.is_discarded()) return std::nullopt;
  return result;
}

std::optional<nlohmann::json> load_dataset_metadata(const std::string& root) {
  return load_dataset_metadata(root, dataset_max_bytes);
}

std::optional<nlohmann::json> load_dataset_metadata(const std::string& root,
                                                    std::size_t max_bytes) {
  if (root.find('\0') != std::string::npos) return std::nullopt;
  std::string path = root + std::string(dataset_file_suffix);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) path = join_raw_path(root, dataset_file_suffix);
  auto text = read_file_whole(path, max_bytes);
  if (!text) return std::nullopt;
  return parse_dataset_json(*text);
}

}  // namespace tessaly
