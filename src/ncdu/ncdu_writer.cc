// The streaming writer of ncdu's export format.
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <tessaly/ncdu_export.h>

#include "base/paths.h"
#include "result/hardlink_set.h"

#ifndef TESSALY_VERSION
#define TESSALY_VERSION "0"
#endif

namespace tessaly {
namespace {

constexpr std::size_t kChunkBytes = 64 * 1024;

struct PathHash {
  std::size_t operator()(const std::string& path) const { return path_hash(path); }
};
struct PathsEqual {
  bool operator()(const std::string& a, const std::string& b) const { return paths_equal(a, b); }
};
using PathSet = std::unordered_set<std::string, PathHash, PathsEqual>;
using NamesByParent =
    std::unordered_map<std::string, std::vector<std::string>, PathHash, PathsEqual>;

// The parent and last component of `path`; an empty name for a root or a path
// ending in "." or "..", which name nothing to list.
std::pair<std::string, std::string> split_last(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  std::string name(path.substr(slash + 1));
  if (name == "." || name == "..") name.clear();
  return {std::string(slash == 0 ? std::string_view("/") : path.substr(0, slash)), std::move(name)};
}

// Buffers output and hands it to the sink in chunks.
class Output {
 public:
  explicit Output(const ExportSink& sink) : sink_(sink) { buffer_.reserve(kChunkBytes + 4096); }

  Output& operator<<(std::string_view text) {
    buffer_.append(text);
    if (buffer_.size() >= kChunkBytes) flush();
    return *this;
  }
  Output& operator<<(std::uint64_t number) {
    char digits[24];
    const int length =
        std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(number));
    return *this << std::string_view(digits, static_cast<std::size_t>(length));
  }
  // `bytes` as a JSON string: quotes, backslashes and control characters
  // escaped, every other byte (those of invalid UTF-8 included) as it is.
  Output& quoted(std::string_view bytes) {
    buffer_.push_back('"');
    for (const char c : bytes) {
      const auto byte = static_cast<unsigned char>(c);
      switch (c) {
        case '"':
          buffer_.append("\\\"");
          break;
        case '\\':
          buffer_.append("\\\\");
          break;
        case '\b':
          buffer_.append("\\b");
          break;
        case '\f':
          buffer_.append("\\f");
          break;
        case '\n':
          buffer_.append("\\n");
          break;
        case '\r':
          buffer_.append("\\r");
          break;
        case '\t':
          buffer_.append("\\t");
          break;
        default:
          if (byte < 0x20) {
            static constexpr char kHex[] = "0123456789abcdef";
            const char escape[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 15]};
            buffer_.append(escape, sizeof escape);
          } else {
            buffer_.push_back(c);
          }
      }
    }
    buffer_.push_back('"');
    if (buffer_.size() >= kChunkBytes) flush();
    return *this;
  }
  bool flush() {
    if (ok_ && !buffer_.empty()) ok_ = sink_(buffer_);
    buffer_.clear();
    return ok_;
  }
  bool ok() const { return ok_; }

 private:
  const ExportSink& sink_;
  std::string buffer_;
  bool ok_ = true;
};

}  // namespace

bool write_ncdu_export(const ScanResult& result, const NcduExportOptions& options,
                       const ExportSink& sink) {
  PathSet unreadable(options.unreadable_directories.begin(), options.unreadable_directories.end());
  NamesByParent excluded;
  for (const std::string& path : options.excluded_paths) {
    auto [parent, name] = split_last(path);
    if (!name.empty()) excluded[std::move(parent)].push_back(std::move(name));
  }
  const bool folded = result.tree_depth != kUnlimitedTreeDepth;
  // Multiply-linked files whose blocks a listed name carries. The others'
  // blocks are in a total already (a bundle's, or a folded directory's), so
  // their names are written with no bytes, or readers would count them again.
  HardlinkSet listed_blocks;
  result.hard_links.for_each([&](const HardLink& link) {
    if (link.counted) listed_blocks.insert(link.device, link.inode);
  });

  Output out(sink);
  out << "[1,2,{\"progname\":\"tessaly\",\"progver\":\"" TESSALY_VERSION "\",\"timestamp\":"
      << std::to_string(options.timestamp);
  if (folded) {
    out << ",\"folded_depth\":" << result.tree_depth << ",\"files_found\":" << result.files_found
        << ",\"dirs_found\":" << result.dirs_found;
  }
  out << "},\n";

  // Opens the directory `dir` at `depth`: its info object, and whether its
  // items follow (a directory at the folded depth has none).
  const auto open_directory = [&](const ResultDirectory& dir, std::string_view raw_name,
                                  std::uint64_t depth) {
    out << "[{\"name\":";
    out.quoted(raw_name);
    const bool at_fold = folded && depth >= result.tree_depth;
    if (at_fold && dir.size() != 0) out << ",\"dsize\":" << dir.size();
    if (depth == 0 && options.root_device) out << ",\"dev\":" << *options.root_device;
    if (!unreadable.empty() && unreadable.contains(dir.path())) out << ",\"read_error\":true";
    out << "}";
    return !at_fold;
  };
  // The excluded items of `dir`, then the end of its array.
  const auto close_directory = [&](const ResultDirectory& dir) {
    if (!excluded.empty()) {
      if (const auto it = excluded.find(dir.path()); it != excluded.end()) {
        for (const std::string& name : it->second) {
          out << ",\n{\"name\":";
          out.quoted(name);
          out << ",\"excluded\":\"pattern\"}";
        }
      }
    }
    out << "]";
  };

  struct Frame {
    ResultDirectory dir;
    std::size_t next = 0;
  };
  std::vector<Frame> stack;
  const ResultDirectory root = result.root_directory();
  if (open_directory(root, result.root_path, 0)) {
    stack.push_back(Frame{root});
  } else {
    close_directory(root);
  }
  while (!stack.empty() && out.ok()) {
    Frame& frame = stack.back();
    const std::span<const ChildEntry> children = frame.dir.children();
    if (frame.next == children.size()) {
      close_directory(frame.dir);
      stack.pop_back();
      continue;
    }
    const ChildEntry& child = children[frame.next++];
    out << ",\n";
    if (!child.is_dir()) {
      out << "{\"name\":";
      out.quoted(child.raw_name());
      if (const HardLink* link = result.hard_link(child)) {
        // Every name carries the file's bytes; readers count a (dev, ino) once.
        const bool carried = listed_blocks.contains(link->device, link->inode);
        out << ",\"dsize\":" << (carried ? link->size : 0);
        if (options.root_device != link->device) out << ",\"dev\":" << link->device;
        out << ",\"ino\":" << link->inode << ",\"nlink\":" << link->link_count << ",\"hlnkc\":true"
            << (link->counted ? "}" : ",\"uncounted\":true}");
      } else {
        out << ",\"dsize\":" << child.size() << "}";
      }
      continue;
    }
    ResultDirectory sub = *frame.dir.child(child);
    if (open_directory(sub, child.raw_name(), stack.size())) {
      stack.push_back(Frame{std::move(sub)});
    } else {
      close_directory(sub);
    }
  }
  out << "]\n";
  return out.flush();
}

}  // namespace tessaly
