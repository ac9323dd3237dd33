// Fuzzes the dataset description parser with arbitrary file contents.
//
// Whatever the bytes, the parser answers with a value or nothing; a value is
// only ever made from valid UTF-8, nests less deeply than the limit, and
// reads back unchanged from its own serialisation.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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
  const auto value = tessaly::parse_dataset_json(text);
  if (!value) return 0;
  require(tessaly::is_valid_utf8(text));
  require(nesting(*value) < tessaly::dataset_max_nesting);
  const std::string compact = value->dump();
  const auto again = tessaly::parse_dataset_json(compact);
  require(again.has_value());
  require(*again == *value);
  return 0;
}
