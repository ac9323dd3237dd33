#include "bin/scan_tree/render.h"

#include <algorithm>
#include <array>
#include <vector>

#include <fmt/format.h>

#include "bin/scan_tree/text.h"

namespace tessaly::scan_tree {
namespace {

constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kBold = "\x1b[1m";
constexpr std::string_view kDim = "\x1b[2m";
constexpr std::string_view kBlue = "\x1b[1;34m";
constexpr std::string_view kCyan = "\x1b[36m";

constexpr std::size_t kSizeColumns = 10;
constexpr std::size_t kShareColumns = 6;
// Size, space, share, two spaces, bar, two spaces.
constexpr std::size_t kRowPrefixColumns = kSizeColumns + 1 + kShareColumns + 2 + kBarColumns + 2;
constexpr std::size_t kLabelColumns = 13;

// `part` and `whole` scaled down together until `whole` leaves room for a
// factor of 1024 in 64 bits; the ratio is kept to well below one part in a
// million.
std::pair<std::uint64_t, std::uint64_t> scaled(std::uint64_t part, std::uint64_t whole) {
  part = std::min(part, whole);
  while (whole > (std::uint64_t{1} << 50)) {
    part >>= 1;
    whole >>= 1;
  }
  return {part, whole};
}

// round(part / whole * units), for whole > 0.
std::uint64_t proportion(std::uint64_t part, std::uint64_t whole, std::uint64_t units) {
  const auto [p, w] = scaled(part, whole);
  return (p * units + w / 2) / w;
}

std::string paint(std::string_view text, std::string_view colour, bool terminal) {
  if (!terminal || text.empty()) return std::string(text);
  return fmt::format("{}{}{}", colour, text, kReset);
}

struct DirRow {
  const ChildEntry* entry;
  std::string_view raw_name;
  std::string_view name;
  std::uint64_t size;
};

class TreeRenderer {
 public:
  TreeRenderer(const ScanResult& result, const RenderOptions& options, std::string& out)
      : result_(result), options_(options), out_(out) {}

  void root_row(std::uint64_t size) {
    const std::size_t budget = kLineColumns - kRowPrefixColumns;
    row(size, size, fit_keep_end(escape_for_display(result_.root), budget), kBlue);
  }

  // The rows below `dir`, `level` levels below the root.
  void children(const ResultDirectory& dir, std::uint64_t dir_size, std::uint64_t level) {
    if (level >= options_.levels) return;

    std::vector<DirRow> dirs;
    std::uint64_t file_count = 0;
    std::uint64_t file_bytes = 0;
    for (const ChildEntry& child : dir.children()) {
      if (child.is_dir()) {
        dirs.push_back(DirRow{&child, child.raw_name(), child.name(), dir.child_size(child)});
      } else {
        ++file_count;
        file_bytes += child.size();
      }
    }
    std::sort(dirs.begin(), dirs.end(), [](const DirRow& a, const DirRow& b) {
      if (a.size != b.size) return a.size > b.size;
      return a.raw_name < b.raw_name;
    });

    const std::size_t indent = 2 * static_cast<std::size_t>(level + 1);
    const std::size_t budget =
        kLineColumns - kRowPrefixColumns - std::min(indent, kLineColumns - kRowPrefixColumns);
    const std::size_t shown = static_cast<std::size_t>(
        std::min<std::uint64_t>(options_.top, static_cast<std::uint64_t>(dirs.size())));
    for (std::size_t i = 0; i < shown; ++i) {
      const DirRow& d = dirs[i];
      const std::string name = escape_for_display(d.name) + "/";
      row(d.size, dir_size, std::string(indent, ' ') + fit_keep_start(name, budget), kBlue);
      children(*dir.child(*d.entry), d.size, level + 1);
    }
    if (dirs.size() > shown) {
      std::uint64_t rest = 0;
      for (std::size_t i = shown; i < dirs.size(); ++i) rest += dirs[i].size;
      const std::size_t more = dirs.size() - shown;
      const std::string label = fmt::format("({} more director{})", more, more == 1 ? "y" : "ies");
      row(rest, dir_size, std::string(indent, ' ') + fit_keep_start(label, budget), kDim);
    }
    if (file_count > 0) {
      const std::string label = fmt::format("({} file{})", file_count, file_count == 1 ? "" : "s");
      row(file_bytes, dir_size, std::string(indent, ' ') + fit_keep_start(label, budget), kDim);
    }
  }

 private:
  void row(std::uint64_t size, std::uint64_t parent_size, const std::string& label,
           std::string_view label_colour) {
    const bool terminal = options_.terminal;
    out_ += pad_left(human_size(size), kSizeColumns);
    out_ += ' ';
    out_ += pad_left(share_text(size, parent_size), kShareColumns);
    out_ += "  ";
    out_ += paint(bar_text(size, parent_size, terminal), kCyan, terminal);
    out_ += "  ";
    // The indentation stays outside the colour.
    const std::size_t text_start = label.find_first_not_of(' ');
    if (text_start == std::string::npos) {
      out_ += label;
    } else {
      out_.append(label, 0, text_start);
      out_ += paint(std::string_view(label).substr(text_start), label_colour, terminal);
    }
    out_ += '\n';
  }

  const ScanResult& result_;
  const RenderOptions& options_;
  std::string& out_;
};

void totals(const ScanResult& result, const RenderOptions& options, std::string& out) {
  const auto line = [&](std::string_view label, const std::string& value) {
    out += paint(fmt::format("{:<{}}", label, kLabelColumns), kBold, options.terminal);
    out += fit_keep_end(value, kLineColumns - kLabelColumns);
    out += '\n';
  };
  line("root", escape_for_display(result.root));
  line("engine", escape_for_display(options.engine));
  line("files", fmt::format("{}", result.files_found));
  line("directories", fmt::format("{}", result.dirs_found));
  line("size", fmt::format("{} ({} bytes)", human_size(result.total_size), result.total_size));
  line("elapsed", fmt::format("{} ms", options.elapsed_ms));
  if (options.ran_past_volume_check) line("volume check", std::string(kPastVolumeCheckNote));
}

void large_files(const ScanResult& result, const RenderOptions& options, std::string& out) {
  std::vector<const LargeFile*> files;
  files.reserve(result.large_files.size());
  for (const LargeFile& file : result.large_files) files.push_back(&file);
  std::sort(files.begin(), files.end(), [](const LargeFile* a, const LargeFile* b) {
    if (a->size != b->size) return a->size > b->size;
    return a->path < b->path;
  });

  const std::string heading = files.empty()
                                  ? std::string("Large files (500 MiB or more): none")
                                  : fmt::format("Large files (500 MiB or more): {}", files.size());
  out += paint(heading, kBold, options.terminal);
  out += '\n';
  const std::size_t shown = static_cast<std::size_t>(
      std::min<std::uint64_t>(options.top, static_cast<std::uint64_t>(files.size())));
  const std::size_t budget = kLineColumns - kSizeColumns - 2;
  for (std::size_t i = 0; i < shown; ++i) {
    out += pad_left(human_size(files[i]->size), kSizeColumns);
    out += "  ";
    out += fit_keep_end(escape_for_display(files[i]->path), budget);
    out += '\n';
  }
  if (files.size() > shown) {
    std::uint64_t rest = 0;
    for (std::size_t i = shown; i < files.size(); ++i) rest += files[i]->size;
    out += pad_left(human_size(rest), kSizeColumns);
    out += "  ";
    out += paint(fmt::format("({} more)", files.size() - shown), kDim, options.terminal);
    out += '\n';
  }
}

}  // namespace

std::string share_text(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return "0.0%";
  const std::uint64_t tenths = proportion(part, whole, 1000);
  return fmt::format("{}.{}%", tenths / 10, tenths % 10);
}

std::string bar_text(std::uint64_t part, std::uint64_t whole, bool terminal) {
  if (!terminal) {
    const std::size_t filled =
        whole == 0 ? 0 : static_cast<std::size_t>(proportion(part, whole, kBarColumns));
    return std::string(filled, '#') + std::string(kBarColumns - filled, '.');
  }
  static constexpr std::array<std::string_view, 8> kEighths = {
      "", "\u258F", "\u258E", "\u258D", "\u258C", "\u258B", "\u258A", "\u2589"};
  const std::uint64_t eighths = whole == 0 ? 0 : proportion(part, whole, kBarColumns * 8);
  const std::size_t full = static_cast<std::size_t>(eighths / 8);
  std::string bar;
  for (std::size_t i = 0; i < full; ++i) bar += "\u2588";
  std::size_t used = full;
  if (eighths % 8 != 0) {
    bar += kEighths[eighths % 8];
    ++used;
  }
  bar.append(kBarColumns - used, ' ');
  return bar;
}

std::string render_report(const ScanResult& result, const RenderOptions& options) {
  std::string out;
  totals(result, options, out);

  out += '\n';
  out += paint(fmt::format("Largest directories ({} level{}, top {} each)", options.levels,
                           options.levels == 1 ? "" : "s", options.top),
               kBold, options.terminal);
  out += '\n';
  const std::uint64_t* root_size = result.dir_size(result.root_path);
  const std::uint64_t size = root_size != nullptr ? *root_size : result.total_size;
  TreeRenderer tree(result, options, out);
  tree.root_row(size);
  tree.children(result.root_directory(), size, 0);

  out += '\n';
  large_files(result, options, out);
  return out;
}

}  // namespace tessaly::scan_tree
