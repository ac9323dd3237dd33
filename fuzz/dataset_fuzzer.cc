// Fuzzes the dataset description parser with arbitrary file contents.
//
// Whatever the bytes, the parser answers with a value's text or nothing; a
// value is only ever made from valid UTF-8, nests less deeply than the limit,
// is the text the JSON library's sorted tree of the same bytes prints, and
// reads back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/utf8.h"
#include "bin/scan_bench/dataset.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

std::size_t nesting(const nlohmann::json& value) {
  if (!value.is_structured()) return 0;
  std::size_t deepest = 0;
  for (const auto& item : value) {
    const std::size_t depth = nesting(item);
    if (depth > deepest) deepest = depth;
  }
  return deepest + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto compact = tessaly::parse_dataset_json(text);
  if (!compact) return 0;
  require(tessaly::is_valid_utf8(text));
  const auto tree = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  require(!tree.is_discarded());
  require(nesting(tree) < tessaly::dataset_max_nesting);
  require(tree.dump() == *compact);
  const auto again = tessaly::parse_dataset_json(*compact);
  require(again.has_value() && *again == *compact);
  return 0;
}
