#include "bin/scan_bench/app.h"

#include <cstdio>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "bin/common/arguments.h"
#include "bin/scan_bench/driver.h"
#include "bin/scan_bench/options.h"

namespace tessaly {
namespace {

int usage_error(const std::string& message) { return print_usage_error(usage_text, message); }

}  // namespace

int scan_bench_main(int argc, char** argv) {
  const auto args = utf8_arguments(argc, argv);
  if (!args) return usage_error(args.error());

  auto parsed = parse_options(*args);
  if (!parsed) return usage_error(parsed.error());
  if (std::holds_alternative<HelpRequested>(*parsed)) return print_help(usage_text);
  BenchOptions options = std::get<BenchOptions>(std::move(*parsed));
  if (!options.root) return usage_error("--root is required");
  if (auto valid = validate_root(*options.root); !valid) return usage_error(valid.error());

  return run_benchmark(options);
}

}  // namespace tessaly
