#include "bin/scan_compare/report_input.h"

#include <optional>
#include <span>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "bin/common/file_io.h"
#include "bin/common/json_text.h"

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

// The first problem of run `index`.
Problem check_run(const Json& run, std::size_t index) {
  const std::string where = fmt::format("runs[{}]", index);
  if (auto problem = check_object(run, where, kRunMembers)) return problem;
  const std::string& phase = run["phase"].get_ref<const std::string&>();
  if (phase != "cold" && phase != "warm") {
    return fmt::format("{}.phase is \"{}\", not \"cold\" or \"warm\"", where, phase);
  }
  return check_object(run["result"], where + ".result", kResultMembers);
}

// `runs_problem` is the first run's problem, found as the runs were read.
Problem check_report(const Json& document, const Problem& runs_problem) {
  if (auto problem = check_object(document, "", kReportMembers)) return problem;
  if (auto problem = check_object(document["machine"], "machine", kMachineMembers)) return problem;
  if (runs_problem) return runs_problem;
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

// What a container being built is, which decides what is kept of its members.
enum class Role { kDocument, kMachine, kRuns, kRun, kResult, kSummary, kPhase };

// What is kept of a value: all of it (a scalar, or a container of the
// report's frame); only its type (an empty container of the same type, or
// "[null]" for an array with a member that is not a string); or its type and
// its compact text.
enum class Keep { kWhole, kShape, kText };

// Builds the report's frame as a tree (the members' values only down to what
// the checks and the comparison read) while the parser reads the text. Each
// run is checked and made a record as soon as it is complete, then dropped.
class ReportSax {
 public:
  bool null() {
    return scalar(Json(nullptr), [](CompactJsonWriter& w) { w.null(); });
  }
  bool boolean(bool value) {
    return scalar(Json(value), [&](CompactJsonWriter& w) { w.boolean(value); });
  }
  bool number_integer(Json::number_integer_t value) {
    return scalar(Json(value), [&](CompactJsonWriter& w) { w.number_integer(value); });
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    return scalar(Json(value), [&](CompactJsonWriter& w) { w.number_unsigned(value); });
  }
  bool number_float(Json::number_float_t value, const Json::string_t&) {
    return scalar(Json(value), [&](CompactJsonWriter& w) { w.number_float(value); });
  }
  bool string(Json::string_t& value) {
    if (skip_depth_ > 0) {  // without the copy below
      if (writer_ && !ignoring_) writer_->string(value);
      return true;
    }
    return scalar(Json(value), [&](CompactJsonWriter& w) { w.string(value); });
  }
  bool binary(Json::binary_t&) { return true; }  // never in JSON text
  bool key(Json::string_t& value) {
    if (ignoring_) return true;
    if (skip_depth_ > 0) {
      if (writer_) writer_->key(value);
      return true;
    }
    Frame& top = stack_.back();
    slot_ = &(*top.value)[value];
    key_ = std::move(value);
    return true;
  }
  bool start_object(std::size_t) { return start(/*is_object=*/true); }
  bool end_object() { return end(/*is_object=*/true); }
  bool start_array(std::size_t) { return start(/*is_object=*/false); }
  bool end_array() { return end(/*is_object=*/false); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
    error_ = error.what();
    error_is_range_ = dynamic_cast<const nlohmann::detail::out_of_range*>(&error) != nullptr;
    return false;
  }

  const std::string& error() const { return error_; }
  bool error_is_range() const { return error_is_range_; }
  bool too_deep() const { return ignoring_; }
  const Json& document() const { return document_; }
  const Problem& runs_problem() const { return runs_problem_; }
  std::vector<RunRecord>& records() { return records_; }
  std::string& exclude_paths_text() { return exclude_paths_text_; }
  std::string& dataset_metadata_text() { return dataset_metadata_text_; }

 private:
  struct Frame {
    Json* value;
    Role role;
  };
  struct Placement {
    Keep keep = Keep::kShape;
    Role role = Role::kDocument;
    std::string* text = nullptr;  // where kText keeps it
  };

  Placement placement(bool is_object, bool is_array) {
    if (stack_.empty()) return {is_object ? Keep::kWhole : Keep::kShape, Role::kDocument};
    switch (stack_.back().role) {
      case Role::kDocument:
        if (key_ == "machine" && is_object) return {Keep::kWhole, Role::kMachine};
        if (key_ == "runs") {
          // A repeated member replaces the one before, as in a tree.
          records_.clear();
          runs_problem_.reset();
          run_count_ = 0;
          if (is_array) return {Keep::kWhole, Role::kRuns};
        }
        if (key_ == "summary" && is_object) return {Keep::kWhole, Role::kSummary};
        if (key_ == "exclude_paths") return {Keep::kText, Role::kDocument, &exclude_paths_text_};
        if (key_ == "dataset_metadata") {
          return {Keep::kText, Role::kDocument, &dataset_metadata_text_};
        }
        return {};
      case Role::kRuns:
        if (is_object) return {Keep::kWhole, Role::kRun};
        return {};
      case Role::kRun:
        if (key_ == "result" && is_object) return {Keep::kWhole, Role::kResult};
        return {};
      case Role::kSummary:
        if ((key_ == "cold" || key_ == "warm") && is_object) return {Keep::kWhole, Role::kPhase};
        return {};
      case Role::kMachine:
      case Role::kResult:
      case Role::kPhase:
        return {};
    }
    return {};
  }

  // Puts a complete value where the parse is: the document, the member whose
  // key came last, or the end of the array. Yields where it went.
  Json* place(Json value) {
    if (stack_.empty()) {
      document_ = std::move(value);
      return &document_;
    }
    Json& container = *stack_.back().value;
    if (container.is_object()) {
      *slot_ = std::move(value);
      return slot_;
    }
    container.push_back(std::move(value));
    return &container.back();
  }

  // A value of the runs array is complete: checked, made a record, dropped.
  void value_done() {
    if (stack_.empty() || stack_.back().role != Role::kRuns) return;
    Json& runs = *stack_.back().value;
    const std::size_t index = run_count_++;
    if (!runs_problem_) {
      runs_problem_ = check_run(runs.back(), index);
      if (!runs_problem_) records_.push_back(run_record(runs.back()));
    }
    runs.get_ref<Json::array_t&>().pop_back();
  }

  template <typename Write>
  bool scalar(Json value, Write write) {
    if (ignoring_) return true;
    if (skip_depth_ > 0) {
      if (skip_depth_ == 1 && !value.is_string()) all_strings_ = false;
      if (writer_) write(*writer_);
      return true;
    }
    const Placement where = placement(false, false);
    if (where.keep == Keep::kText) {
      CompactJsonWriter writer(/*sort_keys=*/false);
      write(writer);
      *where.text = writer.take();
    }
    place(std::move(value));
    value_done();
    return true;
  }

  bool start(bool is_object) {
    if (ignoring_) return true;
    // Refused before the library's nesting can matter; the parse goes on so
    // that text which is not JSON is still named as such.
    if (depth_ >= kMaxNesting) {
      ignoring_ = true;
      return true;
    }
    ++depth_;
    if (skip_depth_ > 0) {
      if (skip_depth_ == 1) all_strings_ = false;
      ++skip_depth_;
      if (writer_) is_object ? writer_->start_object() : writer_->start_array();
      return true;
    }
    const Placement where = placement(is_object, !is_object);
    if (where.keep == Keep::kWhole) {
      Json* placed = place(is_object ? Json::object() : Json::array());
      stack_.push_back({placed, where.role});
      return true;
    }
    skip_depth_ = 1;
    skip_is_object_ = is_object;
    all_strings_ = true;
    skip_text_ = where.text;
    if (skip_text_ != nullptr) {
      writer_.emplace(/*sort_keys=*/false);
      is_object ? writer_->start_object() : writer_->start_array();
    }
    return true;
  }

  bool end(bool is_object) {
    if (ignoring_) return true;
    --depth_;
    if (skip_depth_ == 0) {
      stack_.pop_back();
      value_done();
      return true;
    }
    if (writer_) is_object ? writer_->end_object() : writer_->end_array();
    if (--skip_depth_ > 0) return true;
    // The container passed over ends: its stand-in takes its place.
    Json stand_in = Json::object();
    if (!skip_is_object_) stand_in = all_strings_ ? Json::array() : Json::array({nullptr});
    if (skip_text_ != nullptr) *skip_text_ = writer_->take();
    writer_.reset();
    place(std::move(stand_in));
    value_done();
    return true;
  }

  Json document_;
  std::vector<Frame> stack_;
  Json* slot_ = nullptr;
  std::string key_;
  std::size_t depth_ = 0;
  bool ignoring_ = false;  // nested too deep: the rest is only parsed

  // The container being passed over (skip_depth_ levels open in it).
  std::size_t skip_depth_ = 0;
  bool skip_is_object_ = false;
  bool all_strings_ = true;
  std::string* skip_text_ = nullptr;
  std::optional<CompactJsonWriter> writer_;

  std::vector<RunRecord> records_;
  Problem runs_problem_;
  std::size_t run_count_ = 0;
  std::string exclude_paths_text_;
  std::string dataset_metadata_text_;

  std::string error_;
  bool error_is_range_ = false;
};

// The parser's message without the library's "[json.exception.parse_error.101] " tag.
std::string_view untagged(std::string_view message) {
  if (const std::size_t tag_end = message.find("] "); tag_end != std::string_view::npos) {
    message.remove_prefix(tag_end + 2);
  }
  return message;
}

std::string compact(const Json& value) {
  return value.dump(-1, ' ', /*ensure_ascii=*/false, Json::error_handler_t::replace);
}

}  // namespace

std::expected<LoadedReport, std::string> parse_report(std::string_view text,
                                                      const std::string& path) {
  ReportSax sax;
  if (!Json::sax_parse(text.begin(), text.end(), &sax, nlohmann::json::input_format_t::json,
                       /*strict=*/true, /*ignore_comments=*/false)) {
    // The grammar allows 1e400; a report never holds it.
    return std::unexpected(fmt::format(
        "{} {}: {}", path, sax.error_is_range() ? "is not a scan_bench report" : "is not JSON",
        untagged(sax.error())));
  }
  if (sax.too_deep()) {
    return std::unexpected(fmt::format(
        "{} is not a scan_bench report: nested deeper than {} levels", path, kMaxNesting));
  }
  const Json& document = sax.document();
  if (auto problem = check_report(document, sax.runs_problem())) {
    return std::unexpected(fmt::format("{} is not a scan_bench report: {}", path, *problem));
  }
  LoadedReport report;
  report.path = path;
  report.runs = std::move(sax.records());
  if (report.runs.empty()) return std::unexpected(fmt::format("{} has no runs", path));

  report.label = document["label"].get<std::string>();
  report.conditions = {compact(document["root"]),
                       compact(document["engine"]),
                       compact(document["tree_depth"]),
                       std::move(sax.exclude_paths_text()),
                       compact(document["machine"]["os"]),
                       compact(document["machine"]["arch"]),
                       compact(document["machine"]["logical_cores"]),
                       compact(document["machine"]["fs_type"]),
                       std::move(sax.dataset_metadata_text())};
  for (const char* phase : {"cold", "warm"}) {
    const Json& stored = document["summary"][phase];
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
