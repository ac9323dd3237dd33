#include "bin/common/arguments.h"

#include <sys/stat.h>

#include <cstdio>

#include <fmt/format.h>

#include <tessaly/text.h>
#include "bin/common/file_io.h"

namespace tessaly {

std::expected<std::uint64_t, std::string> parse_count_option(
    std::string_view flag, const std::optional<std::string>& value) {
  if (!value) return std::unexpected(fmt::format("missing value for {}", flag));
  const std::string_view text = *value;
  const auto invalid = [&] {
    return std::unexpected(fmt::format("invalid integer for {}: {}", flag, text));
  };
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return invalid();
  std::uint64_t result = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return invalid();
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (result > (UINT64_MAX - digit) / 10) return invalid();
    result = result * 10 + digit;
  }
  return result;
}

std::expected<std::vector<std::string>, std::string> utf8_arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string arg(argv[i]);
    if (!is_utf8(arg)) {
      return std::unexpected(fmt::format("argument is not valid UTF-8: {}", utf8_text(arg)));
    }
    args.push_back(std::move(arg));
  }
  return args;
}

int print_usage_error(std::string_view usage, std::string_view message) {
  fmt::print(stderr, "error: {}\n", message);
  std::fflush(stderr);
  print_help(usage);
  return 2;
}

int print_help(std::string_view usage) {
  fmt::print(stdout, "{}", usage);
  std::fflush(stdout);
  return 0;
}

std::expected<void, std::string> validate_root(const std::string& root) {
  const auto st = stat_any_length(root);
  if (!st) return std::unexpected(fmt::format("root path does not exist: {}", root));
  if (!S_ISDIR(st->st_mode)) {
    return std::unexpected(fmt::format("root path is not a directory: {}", root));
  }
  return {};
}

std::expected<std::string, std::string> ArgumentCursor::text_value(std::string_view flag) {
  std::optional<std::string> text = value();
  if (!text) return std::unexpected(fmt::format("{} requires a value", flag));
  return std::move(*text);
}

}  // namespace tessaly
