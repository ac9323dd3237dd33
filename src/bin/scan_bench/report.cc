#include "bin/scan_bench/report.h"

#include <sys/stat.h>

#include <cerrno>

#include <fmt/format.h>

#include "base/paths.h"
#include "base/utf8.h"

namespace tessaly {
namespace {

using OrderedJson = nlohmann::ordered_json;

OrderedJson optional_ms(const std::optional<std::uint64_t>& value) {
  return value ? OrderedJson(*value) : OrderedJson(nullptr);
}

OrderedJson summary_json(const PhaseSummary& summary) {
  OrderedJson object = OrderedJson::object();
  object["count"] = summary.count;
  object["min_ms"] = optional_ms(summary.min_ms);
  object["median_ms"] = optional_ms(summary.median_ms);
  object["max_ms"] = optional_ms(summary.max_ms);
  return object;
}

OrderedJson run_json(const RunRecord& record) {
  const BenchmarkResult& r = record.result;
  OrderedJson result = OrderedJson::object();
  result["engine"] = r.engine;
  result["elapsed_ms"] = r.elapsed_ms;
  result["files_found"] = r.files_found;
  result["dirs_found"] = r.dirs_found;
  result["total_size"] = r.total_size;
  result["compute_dir_sizes_ms"] = r.compute_dir_sizes_ms;
  result["large_files_count"] = r.large_files_count;

  OrderedJson object = OrderedJson::object();
  object["phase"] = record.phase;
  object["run_index"] = record.run_index;
  object["result"] = std::move(result);
  return object;
}

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
  const std::string text = utf8_lossy(label);
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
  return join_path(options.output_dir,
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

nlohmann::ordered_json build_report(const BenchOptions& options, const ReportData& data) {
  OrderedJson report = OrderedJson::object();
  report["timestamp_unix_secs"] = data.timestamp_unix_secs;
  report["label"] = options.label;
  report["root"] = options.root.value_or(std::string());
  report["engine"] = options.engine;
  report["tree_depth"] = options.tree_depth;

  OrderedJson excludes = OrderedJson::array();
  for (const std::string& path : options.exclude_paths) excludes.push_back(path);
  report["exclude_paths"] = std::move(excludes);

  OrderedJson machine = OrderedJson::object();
  machine["os"] = data.machine.os;
  machine["arch"] = data.machine.arch;
  machine["logical_cores"] = data.machine.logical_cores;
  machine["fs_type"] = data.machine.fs_type;
  report["machine"] = std::move(machine);

  // Converted member by member from the sorted model, so the keys stay sorted.
  report["dataset_metadata"] =
      data.dataset_metadata ? OrderedJson(*data.dataset_metadata) : OrderedJson(nullptr);

  OrderedJson runs = OrderedJson::array();
  for (const RunRecord& record : data.runs) runs.push_back(run_json(record));
  report["runs"] = std::move(runs);

  OrderedJson summary = OrderedJson::object();
  summary["cold"] = summary_json(data.cold);
  summary["warm"] = summary_json(data.warm);
  report["summary"] = std::move(summary);

  report["notes"] = OrderedJson::array({report_note_cold, report_note_warm});
  return report;
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
  auto bytes = serialize_report(build_report(options, data));
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
