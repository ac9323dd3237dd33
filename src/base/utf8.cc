#include "base/utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessaly {
namespace {

// Length of the valid sequence starting at `i`, or 0 when the bytes there are
// invalid; `invalid_len` then receives the length of the maximal subpart.
std::size_t valid_sequence_length(std::string_view s, std::size_t i, std::size_t& invalid_len) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t b0 = byte(i);
  invalid_len = 1;
  if (b0 < 0x80) return 1;
  std::size_t need = 0;
  std::uint8_t lo = 0x80;
  std::uint8_t hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    const std::uint8_t b = byte(i + k);
    const std::uint8_t min = k == 1 ? lo : 0x80;
    const std::uint8_t max = k == 1 ? hi : 0xBF;
    if (b < min || b > max) return 0;
    invalid_len = k + 1;
  }
  return need + 1;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    // Names are mostly ASCII: eight bytes are passed over at a time.
    std::uint64_t word = 0;
    while (i + sizeof word <= bytes.size()) {
      std::memcpy(&word, bytes.data() + i, sizeof word);
      if ((word & 0x8080'8080'8080'8080ULL) != 0) break;
      i += sizeof word;
    }
    if (i == bytes.size()) break;
    if (static_cast<std::uint8_t>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t invalid_len = 0;
    const std::size_t n = valid_sequence_length(bytes, i, invalid_len);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t invalid_len = 0;
    const std::size_t n = valid_sequence_length(bytes, i, invalid_len);
    if (n == 0) {
      out.append("\xEF\xBF\xBD");
      i += invalid_len;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace tessaly
