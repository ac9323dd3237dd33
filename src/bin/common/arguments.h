// The argument grammar both command-line tools share: arguments are read
// strictly left to right, and a flag that takes a value consumes the next
// argument, whatever it looks like.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

// Parses the value of a count flag: an optional "+" and ASCII digits, at most
// 2^64 - 1. `value` is absent when the flag was the last argument. Errors:
// "missing value for {flag}" and "invalid integer for {flag}: {value}".
std::expected<std::uint64_t, std::string> parse_count_option(
    std::string_view flag, const std::optional<std::string>& value);

// The process arguments after the program name. Error: "argument is not
// valid UTF-8: {argument}", invalid bytes shown as U+FFFD.
std::expected<std::vector<std::string>, std::string> utf8_arguments(int argc, char** argv);

// The outcome of "-h" or "--help".
struct HelpRequested {};

// "error: {message}" and a newline on standard error, then `usage` on standard
// output, both flushed: what a tool prints for a usage error. Returns 2, its
// exit status.
int print_usage_error(std::string_view usage, std::string_view message);

// `usage` on standard output, flushed. Returns 0, the exit status after help.
int print_help(std::string_view usage);

// Checks that the root exists and is a directory, following symbolic links,
// whatever the path's length (the engines take roots longer than PATH_MAX).
// Errors: "root path does not exist: {root}" (a root holding a NUL byte names
// nothing) and "root path is not a directory: {root}".
std::expected<void, std::string> validate_root(const std::string& root);

class ArgumentCursor {
 public:
  explicit ArgumentCursor(const std::vector<std::string>& args) : args_(args) {}

  // The next argument, or nullptr after the last.
  const std::string* next() { return index_ < args_.size() ? &args_[index_++] : nullptr; }

  // The value of the flag just read: the next argument; absent when the flag
  // was the last argument.
  std::optional<std::string> value() {
    if (index_ >= args_.size()) return std::nullopt;
    return args_[index_++];
  }

  // A text value, or "{flag} requires a value".
  std::expected<std::string, std::string> text_value(std::string_view flag);

  // A count value, by parse_count_option's rules.
  std::expected<std::uint64_t, std::string> count_value(std::string_view flag) {
    return parse_count_option(flag, value());
  }

 private:
  const std::vector<std::string>& args_;
  std::size_t index_ = 0;
};

}  // namespace tessaly
