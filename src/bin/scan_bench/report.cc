#include "bin/scan_bench/report.h"

#include <sys/stat.h>

#include <cerrno>

#include <fmt/format.h>

#include <tessaly/text.h>

namespace tessaly {
namespace {

// Drops trailing separators and "." components, keeping the root "/" and a
// leading "." of a relative path.
std::string_view trim_trailing(std::string_view path) {
  const bool absolute = path.starts_with('/');
  const std::size_t keep = absolute ? 1 : 0;
  while (path.size() > keep) {
    const std::size_t slash = path.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (last.empty() || (last == "." && slash != std::string_view::npos)) {
      path.remove_suffix(1);
      continue;
    }
    break;
  }
  return path;
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string sanitize_label(std::string_view label) {
  const std::string text = utf8_text(label);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      const bool keep = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                        (byte >= '0' && byte <= '9') || byte == '-';
      out.push_back(keep ? static_cast<char>(byte) : '_');
      ++i;
      continue;
    }
    // One replacement for the whole multi-byte character.
    out.push_back('_');
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  }
  if (out.empty()) out = "benchmark";
  return out;
}

std::string default_report_file_name(std::uint64_t timestamp, std::string_view label,
                                     std::string_view engine) {
  return fmt::format("{}_{}_{}.json", timestamp, sanitize_label(label), engine);
}

std::string report_output_path(const BenchOptions& options, std::uint64_t timestamp) {
  if (options.output) return *options.output;
  return join_raw_path(options.output_dir,
                       default_report_file_name(timestamp, options.label, options.engine));
}

std::optional<std::string> parent_directory(std::string_view path) {
  const std::string_view trimmed = trim_trailing(path);
  const std::size_t root_size = trimmed.starts_with('/') ? 1 : 0;
  if (trimmed.size() <= root_size) return std::nullopt;
  const std::size_t slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  return std::string(trim_trailing(trimmed.substr(0, slash + 1)));
}

std::expected<void, int> create_directory_tree(const std::string& dir) {
  if (dir.empty()) return {};
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  const int first_error = errno;
  if (first_error != ENOENT) {
    if (is_directory(dir)) return {};
    return std::unexpected(first_error);
  }
  const std::optional<std::string> parent = parent_directory(dir);
  if (!parent) return std::unexpected(first_error);
  if (auto made = create_directory_tree(*parent); !made) return made;
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  const int error = errno;
  if (is_directory(dir)) return {};
  return std::unexpected(error);
}

ReportScenario report_scenario(const BenchOptions& options) {
  return {options.label, options.root.value_or(std::string()), options.engine, options.tree_depth,
          options.exclude_paths};
}

std::expected<std::string, std::string> report_text(const BenchOptions& options,
                                                    const ReportData& data) {
  return report_text(report_scenario(options), data);
}

std::expected<void, std::string> write_report(const BenchOptions& options, const ReportData& data,
                                              std::FILE* out) {
  const std::string path = report_output_path(options, data.timestamp_unix_secs);
  if (const std::optional<std::string> parent = parent_directory(path);
      parent && !parent->empty()) {
    if (auto made = create_directory_tree(*parent); !made) {
      return std::unexpected(fmt::format("failed to create output directory {}: {}", *parent,
                                         os_error_text(made.error())));
    }
  }
  auto bytes = report_text(options, data);
  if (!bytes) return std::unexpected(fmt::format("failed to serialize report: {}", bytes.error()));
  const auto write_failed = [&](int error) {
    return std::unexpected(
        fmt::format("failed to write report {}: {}", path, os_error_text(error)));
  };
  auto file = OutputFile::create(path);
  if (!file) return write_failed(file.error());
  file->write(*bytes);
  if (auto committed = file->commit(); !committed) return write_failed(committed.error());
  fmt::print(out, "report written to {}\n", path);
  std::fflush(out);
  return {};
}

}  // namespace tessaly
