// Fuzzes the reader of saved trees (ncdu's export format) with arbitrary
// file contents, at the tree depth the first byte gives.
//
// Whatever the bytes, the reader answers with a result or a malformed-file
// error at a place inside the text; a result written out again reads back
// with the same counts and sizes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <tessaly/ncdu_export.h>

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  tessaly::NcduImportOptions options;
  options.tree_depth = data[0] % 4 == 3 ? tessaly::kUnlimitedTreeDepth : data[0] % 4;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto imported = tessaly::read_ncdu_export(text, options);
  if (!imported) {
    require(imported.error().kind == tessaly::NcduImportError::Kind::kMalformed);
    require(imported.error().line >= 1 && imported.error().column >= 1);
    require(imported.error().line <= text.size() + 1 && imported.error().column <= text.size() + 1);
    return 0;
  }
  const tessaly::ScanResult& result = **imported;
  std::string again;
  require(tessaly::write_ncdu_export(result, {}, [&](std::string_view chunk) {
    again.append(chunk);
    return true;
  }));
  const auto reread = tessaly::read_ncdu_export(again, options);
  require(reread.has_value());
  require((*reread)->files_found == result.files_found);
  require((*reread)->dirs_found == result.dirs_found);
  require((*reread)->total_size == result.total_size);
  require((*reread)->dir_sizes == result.dir_sizes);
  return 0;
}
