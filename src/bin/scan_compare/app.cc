#include "bin/scan_compare/app.h"

#include <cstdio>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "bin/common/arguments.h"
#include "bin/common/bench_report.h"
#include "bin/common/file_io.h"
#include "bin/scan_compare/comparison.h"
#include "bin/scan_compare/options.h"
#include "bin/scan_compare/report_input.h"
#include "bin/scan_compare/svg.h"

namespace tessaly::scan_compare {
namespace {

constexpr int kErrorStatus = 2;

int usage_error(const std::string& message) { return print_usage_error(usage_text, message); }

int failure(const std::string& message) {
  fmt::print(stderr, "{}\n", message);
  std::fflush(stderr);
  return kErrorStatus;
}

}  // namespace

int scan_compare_main(int argc, char** argv) {
  const auto args = utf8_arguments(argc, argv);
  if (!args) return usage_error(args.error());
  auto parsed = parse_options(*args);
  if (!parsed) return usage_error(parsed.error());
  if (std::holds_alternative<HelpRequested>(*parsed)) return print_help(usage_text);
  const CompareOptions options = std::get<CompareOptions>(std::move(*parsed));

  auto base = load_report(options.base_path);
  if (!base) return failure(base.error());
  auto fresh = load_report(options.new_path);
  if (!fresh) return failure(fresh.error());

  const Comparison comparison =
      compare_reports(*base, *fresh, options.phase, options.threshold_percent);
  for (const std::string& warning : comparison.warnings) {
    fmt::print(stderr, "warning: {}\n", warning);
  }
  std::fflush(stderr);
  fmt::print(stdout, "{}", format_comparison(comparison));
  std::fflush(stdout);

  if (options.json) {
    auto text = serialize_report(comparison_json(comparison));
    if (!text)
      return failure(fmt::format("failed to serialize {}: {}", *options.json, text.error()));
    if (auto written = write_file_whole(*options.json, *text + "\n"); !written) {
      return failure(written.error());
    }
  }
  if (options.svg) {
    if (auto written = write_file_whole(*options.svg, render_svg(comparison, *base, *fresh));
        !written) {
      return failure(written.error());
    }
  }
  return verdict_exit_status(comparison);
}

}  // namespace tessaly::scan_compare
