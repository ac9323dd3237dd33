#include "bin/scan_tree/app.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <tessaly/tessaly.h>

#include "bin/common/arguments.h"
#include "bin/common/file_io.h"
#include "bin/common/stop_signals.h"
#include "bin/scan_tree/html_output.h"
#include "bin/scan_tree/html_page.h"
#include "bin/scan_tree/json_output.h"
#include "bin/scan_tree/options.h"
#include "bin/scan_tree/progress_line.h"
#include "bin/scan_tree/render.h"

namespace tessaly::scan_tree {
namespace {

// Writes without throwing; a stream that fails keeps its error flag, which
// the end of a successful run checks.
void put(std::FILE* stream, std::string_view text) {
  static_cast<void>(std::fwrite(text.data(), 1, text.size(), stream));
}

int usage_error(const std::string& message) { return print_usage_error(usage_text, message); }

int failure(const std::string& message) {
  put(stderr, fmt::format("{}\n", message));
  std::fflush(stderr);
  return 1;
}

int cancelled() {
  put(stderr, fmt::format("{}\n", kScanCancelled));
  std::fflush(stderr);
  return kCancelledStatus;
}

ScanRequest scan_request(const TreeOptions& options) {
  ScanRequest request;
  request.root = *options.root;
  request.engine = options.engine;
  request.tree_depth = result_tree_depth(options);
  request.exclude_paths = options.exclude_paths;
  // A stop signalled before the scan starts still stops it, and the later
  // steps look at the token too.
  request.cancel = stop_token();
#if defined(__linux__)
  // No Linux volume passes the apfs/hfs check; the engine's Linux layer reads
  // any of them.
  request.volume_probe = VolumeProbe::kSkip;
#endif
  return request;
}

// A terminal that declares itself "dumb" takes no escape sequences at all.
bool dumb_terminal() {
  const char* term = std::getenv("TERM");
  return term != nullptr && std::string_view(term) == "dumb";
}

bool colour_wanted() {
  if (::isatty(STDOUT_FILENO) != 1 || dumb_terminal()) return false;
  const char* no_colour = std::getenv("NO_COLOR");
  return no_colour == nullptr || *no_colour == '\0';
}

enum class WriteOutcome { kWritten, kCancelled, kFailed };

// Streams what `produce` gives (a function taking the sink for each chunk) to
// `path`, whole or not at all; a stop request discards it.
template <typename Produce>
WriteOutcome write_output(const std::string& path, Produce&& produce) {
  auto file = OutputFile::create(path);
  if (!file && stop_requested()) return WriteOutcome::kCancelled;
  if (!file) {
    failure(write_error_text(path, file.error()));
    return WriteOutcome::kFailed;
  }
  produce([&](std::string_view chunk) { return !stop_requested() && file->write(chunk); });
  if (stop_requested()) {
    file->discard();
    return WriteOutcome::kCancelled;
  }
  if (auto committed = file->commit(); !committed) {
    if (stop_requested()) return WriteOutcome::kCancelled;
    failure(write_error_text(path, committed.error()));
    return WriteOutcome::kFailed;
  }
  return WriteOutcome::kWritten;
}

WriteOutcome write_json(const ScanResult& result, const std::string& path) {
  return write_output(path, [&](const auto& sink) { write_result_json(result, sink); });
}

// The treemap page.
WriteOutcome write_html(const ScanResult& result, const std::string& path, const PageFacts& facts) {
  return write_output(path, [&](const auto& sink) {
    std::random_device random;
    const std::uint64_t nonce = (std::uint64_t{random()} << 32) ^ random();
    sink(html_page(page_data_json(result, build_page_tree(result), facts), nonce));
  });
}

// The saved tree, in ncdu's export format, with what the result alone does
// not hold: the root's device, the excluded directories that exist and the
// places the scan could not read (`unreadable`: the scan's listed problems).
WriteOutcome write_export(const ScanResult& result, const TreeOptions& options,
                          const std::vector<std::string>& unreadable) {
  NcduExportOptions facts;
  facts.unreadable_directories = unreadable;
  if (const auto root = stat_any_length(*options.root)) {
    facts.root_device = static_cast<std::uint64_t>(root->st_dev);
  }
  std::vector<std::string> excluded;
  // Exclusions leave out directories only; a file named by one is listed.
  for (const std::string& path : options.exclude_paths) {
    if (const auto st = stat_any_length(path); st && S_ISDIR(st->st_mode)) excluded.push_back(path);
  }
  facts.excluded_paths = excluded;
  facts.timestamp = static_cast<std::int64_t>(std::time(nullptr));
  return write_output(*options.export_path,
                      [&](const auto& sink) { write_ncdu_export(result, facts, sink); });
}

// The exit status a write ends the run with; nothing once it is written.
std::optional<int> exit_status(WriteOutcome outcome) {
  switch (outcome) {
    case WriteOutcome::kWritten:
      return std::nullopt;
    case WriteOutcome::kCancelled:
      return cancelled();
    case WriteOutcome::kFailed:
      break;
  }
  return 1;
}

// What an import gives: the result, or the exit status already reported.
struct Imported {
  std::shared_ptr<const ScanResult> result;
  std::uint64_t elapsed_ms = 0;
};

// Reads the saved tree at `path` ("-": standard input) chunk by chunk.
std::expected<Imported, int> import_tree(const std::string& path, std::uint64_t tree_depth) {
  const auto started = std::chrono::steady_clock::now();
  const bool standard_input = path == "-";
  const int fd = standard_input ? STDIN_FILENO : retry_on_interrupt([&] {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  });
  const auto read_failure = [&](const std::string& why) {
    return std::unexpected(failure(fmt::format("failed to read {}: {}", path, why)));
  };
  if (fd < 0) return read_failure(os_error_text(errno));
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    if (!standard_input) ::close(fd);
    return read_failure(os_error_text(EISDIR));
  }
  const ImportSource source =
      [fd](std::span<char> buffer) -> std::expected<std::size_t, std::string> {
    const ssize_t got =
        retry_on_interrupt([&] { return ::read(fd, buffer.data(), buffer.size()); });
    if (got < 0) return std::unexpected(os_error_text(errno));
    return static_cast<std::size_t>(got);
  };
  NcduImportOptions import_options;
  import_options.tree_depth = tree_depth;
  import_options.cancel = stop_token();
  auto imported = read_ncdu_export(source, import_options);
  if (!standard_input) ::close(fd);
  if (!imported) {
    const NcduImportError& error = imported.error();
    switch (error.kind) {
      case NcduImportError::Kind::kCancelled:
        return std::unexpected(cancelled());
      case NcduImportError::Kind::kRead:
        return read_failure(error.message);
      case NcduImportError::Kind::kMalformed:
        put(stderr,
            fmt::format("error: {}:{}:{}: {}\n", path, error.line, error.column, error.message));
        std::fflush(stderr);
        return std::unexpected(2);
    }
  }
  const auto elapsed = std::chrono::steady_clock::now() - started;
  return Imported{std::move(*imported),
                  static_cast<std::uint64_t>(
                      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count())};
}

}  // namespace

int scan_tree_main(int argc, char** argv) {
  const auto args = utf8_arguments(argc, argv);
  if (!args) return usage_error(args.error());

  auto parsed = parse_options(*args);
  if (!parsed) return usage_error(parsed.error());
  if (std::holds_alternative<HelpRequested>(*parsed)) return print_help(usage_text);
  const TreeOptions options = std::get<TreeOptions>(std::move(*parsed));
  if (auto valid = validate_options(options); !valid) return usage_error(valid.error());

  // A target that cannot be written fails now rather than after a long scan.
  for (const std::optional<std::string>& target :
       {options.json, options.html, options.export_path}) {
    if (!target) continue;
    if (auto probe = check_writable(*target); !probe) {
      return failure(write_error_text(*target, probe.error()));
    }
  }

  install_stop_handlers();
  std::optional<TerminalProgress> progress;
  if (::isatty(STDERR_FILENO) == 1) progress.emplace(STDERR_FILENO, !dumb_terminal());

  std::shared_ptr<const ScanResult> shared;
  std::uint64_t elapsed_ms = 0;
  bool volume_probe_skipped = false;
  std::vector<std::string> unreadable;
  std::string engine = options.engine;
  if (options.import_path) {
    auto imported = import_tree(*options.import_path, result_tree_depth(options));
    if (!imported) return imported.error();
    shared = std::move(imported->result);
    elapsed_ms = imported->elapsed_ms;
    engine = "none, imported from " + *options.import_path;
  } else {
    ScanRequest request = scan_request(options);
    if (progress) {
      request.on_progress = [&progress](const ScanProgress& now) {
        static_cast<void>(progress->show(now));
      };
    }
    auto outcome = run_scan(request);
    if (progress) progress->clear();
    if (!outcome) {
      if (outcome.error() == kScanCancelled) return cancelled();
      return failure(fmt::format("scan failed: {}", outcome.error()));
    }
    shared = outcome->result;
    elapsed_ms = outcome->elapsed_ms;
    volume_probe_skipped = outcome->volume_probe_skipped;
    for (ScanProblem& problem : outcome->problems) unreadable.push_back(std::move(problem.path));
  }
  if (progress) progress->clear();
  // A stop request that came before the scan or after the engine's last look
  // still wins.
  if (stop_requested()) return cancelled();

  const ScanResult& result = *shared;
  if (options.json) {
    if (const auto status = exit_status(write_json(result, *options.json))) return *status;
  }
  if (options.export_path) {
    if (const auto status = exit_status(write_export(result, options, unreadable))) {
      return *status;
    }
  }
  if (options.html) {
    PageFacts facts;
    facts.engine = engine;
    facts.elapsed_ms = elapsed_ms;
    facts.tree_depth = result.tree_depth;
    if (volume_probe_skipped) facts.note = kPastVolumeCheckNote;
    if (const auto status = exit_status(write_html(result, *options.html, facts))) {
      return *status;
    }
  }
  // Nothing is left that a stop could leave half done; printing the report
  // can be interrupted the ordinary way.
  restore_default_stop_handlers();

  RenderOptions render;
  render.engine = engine;
  render.elapsed_ms = elapsed_ms;
  render.ran_past_volume_check = volume_probe_skipped;
  render.top = options.top;
  render.levels = std::min(kShownLevels, result.tree_depth);
  render.terminal = colour_wanted();
  errno = 0;
  put(stdout, render_report(result, render));
  // One blank line before the list of files written.
  bool first_written = true;
  for (const auto& [kind, target] :
       {std::pair{"JSON", &options.json}, std::pair{"HTML", &options.html},
        std::pair{"Export", &options.export_path}}) {
    if (!*target) continue;
    put(stdout, fmt::format("{}{} written to {}\n", first_written ? "\n" : "", kind, **target));
    first_written = false;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    const int error = errno != 0 ? errno : EIO;
    return failure(fmt::format("failed to write standard output: {}", os_error_text(error)));
  }
  return 0;
}

}  // namespace tessaly::scan_tree
