/// @file
/// Saving a scan result in the JSON export format of ncdu, which ncdu and gdu
/// read and write, and opening such a file again as a ScanResult.
///
/// The file is `[1,2,{metadata},ROOT]`: a directory is an array whose first
/// element is its info object and whose other elements are its items, a file
/// is a bare object. Both directions stream: the writer hands out chunks as it
/// walks the result, and the reader builds the result while it reads, holding
/// no document tree.
///
/// Names travel as their raw bytes: quotes, backslashes and control
/// characters are JSON escapes, and bytes that are not UTF-8 are written as
/// they are, as ncdu writes them, so ncdu and this reader give the same bytes
/// back. (A strict JSON parser refuses such a file.)
#pragma once

#include <tessaly/export.h>
#include <tessaly/progress.h>
#include <tessaly/result.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessaly {

/// What write_ncdu_export knows beyond the result.
struct NcduExportOptions {
  /// The root's device number, written as its "dev"; omitted when unset.
  std::optional<std::uint64_t> root_device;
  /// Raw paths of directories that could not be read (compared component by
  /// component); each that the export lists is marked "read_error".
  std::span<const std::string> unreadable_directories;
  /// Raw paths the scan left out by exclusion. Each whose parent directory the
  /// export lists with its children is written there as an item marked
  /// "excluded":"pattern"; give only paths that exist.
  std::span<const std::string> excluded_paths;
  /// Seconds since the epoch, the metadata's "timestamp".
  std::int64_t timestamp = 0;
};

/// Receives the export chunk by chunk, in order; returning false stops it.
using ExportSink = std::function<bool(std::string_view chunk)>;

/// Streams `result` to `sink` in ncdu's export format (version 1.2).
///
/// Every listed entry is an item: a file, or an item standing as one (a
/// bundle, a mounted system volume), with "dsize" its counted bytes; a
/// directory with no "dsize" of its own. Each name of a file with two or more
/// links (ScanResult::hard_link) carries "ino", "nlink", "hlnkc":true and the
/// file's bytes as "dsize", so readers count them once per device and inode
/// and sum the scan's total; its "dev" too when options.root_device is unset
/// or another. The names other than the one whose bytes the scan counted are
/// marked "uncounted":true, so read_ncdu_export counts the same name again.
/// When no listed name carries a file's bytes (they are inside a bundle's
/// total, or below the tree depth), its names carry "dsize" 0. When the result's tree_depth is
/// not kUnlimitedTreeDepth, the metadata says so with "folded_depth" (the
/// tree depth), "files_found" and "dirs_found" (the scan's counts), and each
/// directory at that depth is written without items, with "dsize" the total
/// of everything below it. The root's "name" is ScanResult::root_path.
/// Returns false when the sink refused a chunk.
TESSALY_EXPORT bool write_ncdu_export(const ScanResult& result, const NcduExportOptions& options,
                                      const ExportSink& sink);

/// Copies the next bytes of an export into `buffer`: how many, 0 at the end,
/// or the text of a read error.
using ImportSource = std::function<std::expected<std::size_t, std::string>(std::span<char> buffer)>;

/// How read_ncdu_export builds its result.
struct NcduImportOptions {
  /// Depth of the result's directory lists, as a scan's tree depth; a file
  /// written with a smaller "folded_depth" gives that one.
  std::uint64_t tree_depth = 8;
  /// Stops the import (kCancelled) when triggered; looked at between chunks.
  CancelToken cancel;
};

/// Why an export could not be read.
struct NcduImportError {
  /// What went wrong.
  enum class Kind {
    kMalformed,  ///< not an export this reader accepts; `line` and `column` say where
    kRead,       ///< the source failed
    kCancelled,  ///< the token was triggered
  };
  /// What went wrong.
  Kind kind = Kind::kMalformed;
  /// What is wrong, e.g. "a name must not contain \"/\"", or the source's text.
  std::string message;
  /// 1-based line of the offending token (kMalformed only, else 0).
  std::uint64_t line = 0;
  /// 1-based column, in bytes, of the offending token (kMalformed only, else 0).
  std::uint64_t column = 0;
};

/// Reads an export of major version 1 (any minor version; ncdu's and gdu's
/// exports included) from `source` and records it as a scan of the same tree
/// at `options.tree_depth` would: directories' own "dsize" is dropped;
/// symbolic links and other non-regular items ("notreg"), excluded items and
/// directories on another device than the root are left out; a file with
/// "hlnkc" (or an "nlink" of 2 or more) and an "ino" counts its bytes once per
/// (device, inode), at its first name not marked "uncounted", and its listed
/// names get the identity (ScanResult::hard_link; link_count at least 2, its
/// "nlink" when given); a bundle directory (".app", ".framework", ...) below the
/// root stands as one item of the regular files below it; large files,
/// folding below the tree depth and directory totals follow the scan's rules.
/// Unknown fields and values are skipped; "asize" is checked and ignored.
///
/// Refused, with the place: text that is not JSON or ends early; a major
/// version other than 1; a name that is empty, ".", "..", holds "/" or a NUL
/// (the root's name, a path, may hold "/"); a size or number that is negative,
/// not an integer or beyond 64 bits, or sizes that add up beyond 64 bits; a
/// string of more than 4096 bytes; nesting
/// deeper than a path of the platform's length limit can be (PATH_MAX / 2
/// levels). Time is linear in the input and memory in the entries kept.
TESSALY_EXPORT std::expected<std::shared_ptr<const ScanResult>, NcduImportError> read_ncdu_export(
    const ImportSource& source, const NcduImportOptions& options);

/// read_ncdu_export of an export held in memory.
TESSALY_EXPORT std::expected<std::shared_ptr<const ScanResult>, NcduImportError> read_ncdu_export(
    std::string_view text, const NcduImportOptions& options);

}  // namespace tessaly
