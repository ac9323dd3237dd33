/// @file
/// Names and paths as a scan sees them, raw bytes, and as a result shows them,
/// UTF-8 text. A host turns a raw path (ResultDirectory::path(),
/// ChildEntry::raw_name(), a path it was given) into text to display with
/// utf8_text(), and forms the raw path of any listed entry, a file included,
/// with join_raw_path().
#pragma once

#include <tessaly/export.h>

#include <string>
#include <string_view>

namespace tessaly {

/// Whether `bytes` are well-formed UTF-8 (then utf8_text() returns them
/// unchanged). The empty string is.
TESSALY_EXPORT bool is_utf8(std::string_view bytes);

/// `bytes` as UTF-8 text, each maximal invalid subsequence replaced by U+FFFD
/// (the Unicode standard's recommended practice): the rule by which a result
/// turns raw names into ChildEntry::name() and LargeFile's text. Throws
/// std::bad_alloc when memory runs out, and nothing else.
TESSALY_EXPORT std::string utf8_text(std::string_view bytes);

/// `parent`, a "/" and `name`, the bytes kept as they are; no "/" is added when
/// `parent` is empty or already ends with "/". For a directory's path and one
/// of its entries' raw_name() this is the entry's raw path, as
/// ResultDirectory::path() forms it for a child directory. Throws
/// std::bad_alloc when memory runs out, and nothing else.
TESSALY_EXPORT std::string join_raw_path(std::string_view parent, std::string_view name);

}  // namespace tessaly
