#include "bin/scan_compare/report_input.h"

#include <optional>
#include <span>

#include <fmt/format.h>

#include "bin/common/file_io.h"

namespace tessaly::scan_compare {
namespace {

using Json = nlohmann::ordered_json;
using Problem = std::optional<std::string>;

// Deeper than any report scan_bench writes (its dataset metadata stays below
// 128 levels), and shallow enough for the recursive comparison and printing.
constexpr std::size_t kMaxNesting = 160;

enum class Kind { kUnsigned, kUnsignedOrNull, kString, kStrings, kObject, kArray, kAny };

struct Member {
  std::string_view key;
  Kind kind;
};

constexpr Member kReportMembers[] = {{"timestamp_unix_secs", Kind::kUnsigned},
                                     {"label", Kind::kString},
                                     {"root", Kind::kString},
                                     {"engine", Kind::kString},
                                     {"tree_depth", Kind::kUnsigned},
                                     {"exclude_paths", Kind::kStrings},
                                     {"machine", Kind::kObject},
                                     {"dataset_metadata", Kind::kAny},
                                     {"runs", Kind::kArray},
                                     {"summary", Kind::kObject},
                                     {"notes", Kind::kStrings}};
constexpr Member kMachineMembers[] = {{"os", Kind::kString},
                                      {"arch", Kind::kString},
                                      {"logical_cores", Kind::kUnsigned},
                                      {"fs_type", Kind::kString}};
constexpr Member kRunMembers[] = {
    {"phase", Kind::kString}, {"run_index", Kind::kUnsigned}, {"result", Kind::kObject}};
constexpr Member kResultMembers[] = {{"engine", Kind::kString},
                                     {"elapsed_ms", Kind::kUnsigned},
                                     {"files_found", Kind::kUnsigned},
                                     {"dirs_found", Kind::kUnsigned},
                                     {"total_size", Kind::kUnsigned},
                                     {"compute_dir_sizes_ms", Kind::kUnsigned},
                                     {"large_files_count", Kind::kUnsigned}};
constexpr Member kSummaryMembers[] = {{"cold", Kind::kObject}, {"warm", Kind::kObject}};
constexpr Member kPhaseMembers[] = {{"count", Kind::kUnsigned},
                                    {"min_ms", Kind::kUnsignedOrNull},
                                    {"median_ms", Kind::kUnsignedOrNull},
                                    {"max_ms", Kind::kUnsignedOrNull}};

bool has_kind(const Json& value, Kind kind) {
  switch (kind) {
    case Kind::kUnsigned:
      return value.is_number_unsigned();
    case Kind::kUnsignedOrNull:
      return value.is_number_unsigned() || value.is_null();
    case Kind::kString:
      return value.is_string();
    case Kind::kStrings:
      if (!value.is_array()) return false;
      for (const Json& element : value) {
        if (!element.is_string()) return false;
      }
      return true;
    case Kind::kObject:
      return value.is_object();
    case Kind::kArray:
      return value.is_array();
    case Kind::kAny:
      return true;
  }
  return false;
}

std::string_view kind_name(Kind kind) {
  switch (kind) {
    case Kind::kUnsigned:
      return "an unsigned integer";
    case Kind::kUnsignedOrNull:
      return "an unsigned integer or null";
    case Kind::kString:
      return "a string";
    case Kind::kStrings:
      return "an array of strings";
    case Kind::kObject:
      return "an object";
    case Kind::kArray:
      return "an array";
    case Kind::kAny:
      break;
  }
  return "a JSON value";
}

// `value` must be an object with exactly `members`, in this order and of
// their kinds. `where` names it in messages; empty for the document.
Problem check_object(const Json& value, const std::string& where, std::span<const Member> members) {
  const std::string name = where.empty() ? "the document" : where;
  if (!value.is_object()) return fmt::format("{} is not an object", name);
  for (const Member& member : members) {
    if (!value.contains(member.key)) return fmt::format("{} has no \"{}\"", name, member.key);
  }
  std::size_t position = 0;
  for (const auto& item : value.items()) {
    if (position >= members.size() || item.key() != members[position].key) {
      bool known = false;
      for (const Member& member : members) known = known || member.key == item.key();
      return known ? fmt::format("{}: \"{}\" is out of order", name, item.key())
                   : fmt::format("{} has an unexpected member \"{}\"", name, item.key());
    }
    const Member& member = members[position++];
    if (!has_kind(item.value(), member.kind)) {
      return fmt::format("{}{} is not {}", where.empty() ? "" : where + ".", member.key,
                         kind_name(member.kind));
    }
  }
  return std::nullopt;
}

Problem check_report(const Json& document) {
  if (auto problem = check_object(document, "", kReportMembers)) return problem;
  if (auto problem = check_object(document["machine"], "machine", kMachineMembers)) return problem;
  const Json& runs = document["runs"];
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const std::string where = fmt::format("runs[{}]", i);
    if (auto problem = check_object(runs[i], where, kRunMembers)) return problem;
    const std::string& phase = runs[i]["phase"].get_ref<const std::string&>();
    if (phase != "cold" && phase != "warm") {
      return fmt::format("{}.phase is \"{}\", not \"cold\" or \"warm\"", where, phase);
    }
    if (auto problem = check_object(runs[i]["result"], where + ".result", kResultMembers)) {
      return problem;
    }
  }
  if (auto problem = check_object(document["summary"], "summary", kSummaryMembers)) return problem;
  for (const char* phase : {"cold", "warm"}) {
    const std::string where = fmt::format("summary.{}", phase);
    if (auto problem = check_object(document["summary"][phase], where, kPhaseMembers)) {
      return problem;
    }
  }
  return std::nullopt;
}

RunRecord run_record(const Json& run) {
  const Json& r = run["result"];
  RunRecord record;
  record.phase = run["phase"].get<std::string>();
  record.run_index = run["run_index"].get<std::uint64_t>();
  record.result.engine = r["engine"].get<std::string>();
  record.result.elapsed_ms = r["elapsed_ms"].get<std::uint64_t>();
  record.result.files_found = r["files_found"].get<std::uint64_t>();
  record.result.dirs_found = r["dirs_found"].get<std::uint64_t>();
  record.result.total_size = r["total_size"].get<std::uint64_t>();
  record.result.compute_dir_sizes_ms = r["compute_dir_sizes_ms"].get<std::uint64_t>();
  record.result.large_files_count = r["large_files_count"].get<std::uint64_t>();
  return record;
}

std::optional<std::uint64_t> optional_ms(const Json& value) {
  if (value.is_null()) return std::nullopt;
  return value.get<std::uint64_t>();
}

std::string optional_text(const std::optional<std::uint64_t>& value) {
  return value ? std::to_string(*value) : "null";
}

}  // namespace

std::expected<LoadedReport, std::string> parse_report(std::string_view text,
                                                      const std::string& path) {
  bool too_deep = false;
  const Json::parser_callback_t limit_depth = [&](int depth, Json::parse_event_t event, Json&) {
    const bool opens =
        event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start;
    if (opens && static_cast<std::size_t>(depth) >= kMaxNesting) too_deep = true;
    return !too_deep;
  };
  LoadedReport report;
  report.path = path;
  try {
    report.document = Json::parse(text, limit_depth);
  } catch (const Json::parse_error& error) {
    std::string_view message = error.what();
    // Drops the library's "[json.exception.parse_error.101] " tag.
    if (const std::size_t tag_end = message.find("] "); tag_end != std::string_view::npos) {
      message.remove_prefix(tag_end + 2);
    }
    return std::unexpected(fmt::format("{} is not JSON: {}", path, message));
  } catch (const Json::out_of_range& error) {
    // The grammar allows 1e400; a report never holds it.
    std::string_view message = error.what();
    if (const std::size_t tag_end = message.find("] "); tag_end != std::string_view::npos) {
      message.remove_prefix(tag_end + 2);
    }
    return std::unexpected(fmt::format("{} is not a scan_bench report: {}", path, message));
  }
  if (too_deep) {
    return std::unexpected(fmt::format(
        "{} is not a scan_bench report: nested deeper than {} levels", path, kMaxNesting));
  }
  if (auto problem = check_report(report.document)) {
    return std::unexpected(fmt::format("{} is not a scan_bench report: {}", path, *problem));
  }
  if (report.document["runs"].empty()) return std::unexpected(fmt::format("{} has no runs", path));

  report.label = report.document["label"].get<std::string>();
  for (const Json& run : report.document["runs"]) report.runs.push_back(run_record(run));
  for (const char* phase : {"cold", "warm"}) {
    const Json& stored = report.document["summary"][phase];
    const PhaseSummary recomputed = summarize_phase(report.runs, phase);
    const PhaseSummary written{stored["count"].get<std::uint64_t>(), optional_ms(stored["min_ms"]),
                               optional_ms(stored["median_ms"]), optional_ms(stored["max_ms"])};
    if (written != recomputed) {
      report.warnings.push_back(fmt::format(
          "{}: summary.{} disagrees with the runs, which give count {}, min_ms {}, median_ms {}, "
          "max_ms {}",
          path, phase, recomputed.count, optional_text(recomputed.min_ms),
          optional_text(recomputed.median_ms), optional_text(recomputed.max_ms)));
    }
  }
  return report;
}

std::expected<LoadedReport, std::string> load_report(const std::string& path) {
  auto text = read_file_whole(path, kMaxReportBytes);
  if (!text) {
    std::string why;
    switch (text.error().kind) {
      case ReadFailure::Kind::kSystem:
        why = os_error_text(text.error().error_number);
        break;
      case ReadFailure::Kind::kNotRegular:
        why = "not a regular file";
        break;
      case ReadFailure::Kind::kTooLarge:
        why = "larger than 256 MiB";
        break;
    }
    return std::unexpected(fmt::format("cannot read {}: {}", path, why));
  }
  return parse_report(*text, path);
}

}  // namespace tessaly::scan_compare
