// Fuzzes the scan_bench command line parser.
//
// Input: the arguments, separated by NUL bytes. Whatever the arguments, the
// parser answers with options, help or a non-empty message, and options it
// accepts survive being written back as arguments and parsed again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "bin/scan_bench/options.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

std::vector<std::string> as_arguments(const tessaly::BenchOptions& options) {
  std::vector<std::string> args;
  if (options.root) args.insert(args.end(), {"--root", *options.root});
  if (options.output) args.insert(args.end(), {"--output", *options.output});
  for (const std::string& path : options.exclude_paths)
    args.insert(args.end(), {"--exclude", path});
  args.insert(args.end(), {"--engine", options.engine, "--label", options.label, "--output-dir",
                           options.output_dir, "--tree-depth", std::to_string(options.tree_depth),
                           "--cold-runs", std::to_string(options.cold_runs), "--warm-runs",
                           std::to_string(options.warm_runs)});
  return args;
}

bool same(const tessaly::BenchOptions& a, const tessaly::BenchOptions& b) {
  return a.root == b.root && a.engine == b.engine && a.tree_depth == b.tree_depth &&
         a.cold_runs == b.cold_runs && a.warm_runs == b.warm_runs && a.label == b.label &&
         a.output == b.output && a.output_dir == b.output_dir && a.exclude_paths == b.exclude_paths;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args;
  if (size > 0) {
    args.emplace_back();
    for (std::size_t i = 0; i < size; ++i) {
      if (data[i] == 0) {
        args.emplace_back();
      } else {
        args.back().push_back(static_cast<char>(data[i]));
      }
    }
  }

  const auto parsed = tessaly::parse_options(args);
  if (!parsed) {
    require(!parsed.error().empty());
    return 0;
  }
  if (std::holds_alternative<tessaly::HelpRequested>(*parsed)) {
    bool asked = false;
    for (const std::string& arg : args) asked = asked || arg == "-h" || arg == "--help";
    require(asked);
    return 0;
  }
  const auto& options = std::get<tessaly::BenchOptions>(*parsed);
  const auto again = tessaly::parse_options(as_arguments(options));
  require(again.has_value());
  require(std::holds_alternative<tessaly::BenchOptions>(*again));
  require(same(std::get<tessaly::BenchOptions>(*again), options));
  return 0;
}
