#include "bin/scan_tree/text.h"

#include <array>
#include <utility>
#include <vector>

#include <fmt/format.h>

namespace tessaly::scan_tree {
namespace {

constexpr std::string_view kEllipsis = "...";

// A code point no character has: a byte that does not start a complete
// sequence.
constexpr char32_t kStrayByte = 0xFFFFFFFF;

// One decoded character: its code point and its length in bytes. The input is
// meant to be valid UTF-8; a byte that does not start a complete sequence is
// taken as one stray byte of its own.
struct Decoded {
  char32_t code_point;
  std::size_t length;
};

Decoded decode(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1};
  if (lead < 0xC0 || lead >= 0xF8) return {kStrayByte, 1};
  std::size_t length = 2;
  char32_t value = lead & 0x1FU;
  if (lead >= 0xF0) {
    length = 4;
    value = lead & 0x07U;
  } else if (lead >= 0xE0) {
    length = 3;
    value = lead & 0x0FU;
  }
  if (at + length > text.size()) return {kStrayByte, 1};
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0U) != 0x80U) return {kStrayByte, 1};
    value = (value << 6) | (byte(i) & 0x3FU);
  }
  return {value, length};
}

bool in_ranges(char32_t c, const std::pair<char32_t, char32_t>* ranges, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (c >= ranges[i].first && c <= ranges[i].second) return true;
  }
  return false;
}

constexpr std::array<std::pair<char32_t, char32_t>, 9> kZeroWidth = {{
    {0x0300, 0x036F},
    {0x0483, 0x0489},
    {0x0591, 0x05BD},
    {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF},
    {0x200B, 0x200F},
    {0x20D0, 0x20FF},
    {0xFE00, 0xFE0F},
    {0xFE20, 0xFE2F},
}};

constexpr std::array<std::pair<char32_t, char32_t>, 13> kWide = {{
    {0x1100, 0x115F},
    {0x2E80, 0x303E},
    {0x3041, 0x33FF},
    {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF},
    {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},
    {0xFE30, 0xFE4F},
    {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},
    {0x1F300, 0x1FAFF},
    {0x20000, 0x3FFFD},
}};

std::size_t char_width(char32_t c) {
  if (in_ranges(c, kZeroWidth.data(), kZeroWidth.size())) return 0;
  if (in_ranges(c, kWide.data(), kWide.size())) return 2;
  return 1;
}

bool needs_unicode_escape(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

struct Piece {
  std::size_t offset;
  std::size_t length;
  std::size_t width;
};

std::vector<Piece> split(std::string_view text) {
  std::vector<Piece> pieces;
  for (std::size_t at = 0; at < text.size();) {
    const Decoded d = decode(text, at);
    pieces.push_back(Piece{at, d.length, char_width(d.code_point)});
    at += d.length;
  }
  return pieces;
}

}  // namespace

std::string human_size(std::uint64_t bytes) {
  static constexpr std::array<std::string_view, 7> kUnits = {"B",   "KiB", "MiB", "GiB",
                                                             "TiB", "PiB", "EiB"};
  if (bytes < 1024) return fmt::format("{} B", bytes);
  unsigned unit = 1;
  while (unit < 6 && bytes >> (10 * (unit + 1)) != 0) ++unit;
  while (true) {
    const unsigned shift = 10 * unit;
    const std::uint64_t whole = bytes >> shift;
    const std::uint64_t rest = bytes & ((std::uint64_t{1} << shift) - 1);
    // rest < 2^60, so rest * 10 plus half a unit stays below 2^64.
    const std::uint64_t tenths =
        whole * 10 + ((rest * 10 + (std::uint64_t{1} << (shift - 1))) >> shift);
    if (tenths >= 10240 && unit < 6) {
      ++unit;
      continue;
    }
    return fmt::format("{}.{} {}", tenths / 10, tenths % 10, kUnits[unit]);
  }
}

std::string escape_for_display(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const Decoded d = decode(text, at);
    const char32_t c = d.code_point;
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == kStrayByte) {
      out += fmt::format("\\x{:02x}", static_cast<unsigned char>(text[at]));
    } else if (c < 0x20 || c == 0x7F) {
      out += fmt::format("\\x{:02x}", static_cast<unsigned>(c));
    } else if (needs_unicode_escape(c)) {
      out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
    } else {
      out.append(text.substr(at, d.length));
    }
    at += d.length;
  }
  return out;
}

std::size_t display_width(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t at = 0; at < text.size();) {
    const Decoded d = decode(text, at);
    width += char_width(d.code_point);
    at += d.length;
  }
  return width;
}

std::string fit_keep_start(std::string_view text, std::size_t columns) {
  if (display_width(text) <= columns) return std::string(text);
  if (columns < kEllipsis.size()) return std::string(kEllipsis.substr(0, columns));
  const std::size_t budget = columns - kEllipsis.size();
  std::size_t used = 0;
  std::size_t end = 0;
  for (const Piece& piece : split(text)) {
    if (used + piece.width > budget) break;
    used += piece.width;
    end = piece.offset + piece.length;
  }
  return std::string(text.substr(0, end)) + std::string(kEllipsis);
}

std::string fit_keep_end(std::string_view text, std::size_t columns) {
  if (display_width(text) <= columns) return std::string(text);
  if (columns < kEllipsis.size()) return std::string(kEllipsis.substr(0, columns));
  const std::size_t budget = columns - kEllipsis.size();
  const std::vector<Piece> pieces = split(text);
  std::size_t used = 0;
  std::size_t start = text.size();
  for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
    if (used + it->width > budget) break;
    used += it->width;
    start = it->offset;
  }
  // A combining mark cut from its base character would attach to the dots.
  while (start < text.size() && char_width(decode(text, start).code_point) == 0) {
    start += decode(text, start).length;
  }
  return std::string(kEllipsis) + std::string(text.substr(start));
}

std::string pad_left(std::string_view text, std::size_t columns) {
  const std::size_t width = display_width(text);
  std::string out;
  if (width < columns) out.assign(columns - width, ' ');
  out.append(text);
  return out;
}

}  // namespace tessaly::scan_tree
