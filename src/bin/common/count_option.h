// The number grammar both command-line tools share.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace tessaly {

// Parses the value of a count flag: an optional "+" and ASCII digits, at most
// 2^64 - 1. `value` is absent when the flag was the last argument. Errors:
// "missing value for {flag}" and "invalid integer for {flag}: {value}".
std::expected<std::uint64_t, std::string> parse_count_option(
    std::string_view flag, const std::optional<std::string>& value);

}  // namespace tessaly
