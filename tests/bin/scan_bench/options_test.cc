#include "bin/scan_bench/options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::run_process;
using testing::TempDir;

BenchOptions parse_ok(const std::vector<std::string>& args) {
  auto parsed = parse_options(args);
  EXPECT_TRUE(parsed.has_value()) << (parsed ? "" : parsed.error());
  if (!parsed || !std::holds_alternative<BenchOptions>(*parsed)) return {};
  return std::get<BenchOptions>(*parsed);
}

std::string parse_error(const std::vector<std::string>& args) {
  auto parsed = parse_options(args);
  EXPECT_FALSE(parsed.has_value());
  return parsed ? std::string() : parsed.error();
}

bool parses_to_help(const std::vector<std::string>& args) {
  auto parsed = parse_options(args);
  return parsed && std::holds_alternative<HelpRequested>(*parsed);
}

TEST(UsageText, IsExactlyTheTwelveLines) {
  EXPECT_EQ(usage_text.size(), 611u);
  EXPECT_EQ(std::count(usage_text.begin(), usage_text.end(), '\n'), 12);
  EXPECT_TRUE(usage_text.starts_with("Usage: scan_bench --root <path> [options]\n\nOptions:\n"));
  EXPECT_NE(usage_text.find("\n  --output-dir <path>      Output directory when --output is "
                            "omitted (default: bench-results)\n"),
            std::string_view::npos);
  EXPECT_TRUE(usage_text.ends_with("  --help                   Show this help\n"));
}

TEST(ParseOptions, DefaultsAndEveryFlag) {
  const BenchOptions defaults = parse_ok({});
  EXPECT_FALSE(defaults.root.has_value());
  EXPECT_EQ(defaults.engine, "bulk-attrs");
  EXPECT_EQ(defaults.tree_depth, 8u);
  EXPECT_EQ(defaults.cold_runs, 1u);
  EXPECT_EQ(defaults.warm_runs, 3u);
  EXPECT_EQ(defaults.label, "benchmark");
  EXPECT_FALSE(defaults.output.has_value());
  EXPECT_EQ(defaults.output_dir, "bench-results");
  EXPECT_TRUE(defaults.exclude_paths.empty());

  const BenchOptions o = parse_ok({"--root", " ~/x ", "--engine", "JWALK", "--tree-depth", "+5",
                                   "--cold-runs", "007", "--warm-runs", "0", "--label", "",
                                   "--output", "r.json", "--output-dir", "o/", "--exclude", "a"});
  EXPECT_EQ(o.root, " ~/x ");  // stored exactly as typed
  EXPECT_EQ(o.engine, "JWALK");
  EXPECT_EQ(o.tree_depth, 5u);
  EXPECT_EQ(o.cold_runs, 7u);
  EXPECT_EQ(o.warm_runs, 0u);
  EXPECT_EQ(o.label, "");
  EXPECT_EQ(o.output, "r.json");
  EXPECT_EQ(o.output_dir, "o/");
  EXPECT_EQ(o.exclude_paths, std::vector<std::string>{"a"});
}

TEST(ParseOptions, LastValueWinsAndExcludesAccumulate) {
  const BenchOptions o = parse_ok({"--label", "a", "--label", "b", "--exclude", "x", "--exclude",
                                   "y", "--exclude", "x", "--root", "/a", "--root", "/b"});
  EXPECT_EQ(o.label, "b");
  EXPECT_EQ(o.root, "/b");
  EXPECT_EQ(o.exclude_paths, (std::vector<std::string>{"x", "y", "x"}));
}

TEST(ParseOptions, AFlagConsumesTheNextArgumentWhateverItIs) {
  const BenchOptions o = parse_ok({"--root", "--engine"});
  EXPECT_EQ(o.root, "--engine");
  EXPECT_EQ(o.engine, "bulk-attrs");
  const BenchOptions label = parse_ok({"--root", "/tmp", "--label", "--help"});
  EXPECT_EQ(label.label, "--help");
}

TEST(ParseOptions, HelpEndsParsingWhereverItStands) {
  EXPECT_TRUE(parses_to_help({"--help"}));
  EXPECT_TRUE(parses_to_help({"-h", "--bogus"}));
  EXPECT_TRUE(parses_to_help({"--root", "/tmp", "--help"}));
  EXPECT_TRUE(parses_to_help({"--tree-depth", "1", "-h", "--tree-depth", "x"}));
  EXPECT_EQ(parse_error({"--bogus", "--help"}), "unknown flag: --bogus");
  EXPECT_EQ(parse_error({"--cold-runs", "x", "--help"}), "invalid integer for --cold-runs: x");
}

TEST(ParseOptions, UnknownFlags) {
  EXPECT_EQ(parse_error({"--root=/tmp"}), "unknown flag: --root=/tmp");
  EXPECT_EQ(parse_error({"/tmp"}), "unknown flag: /tmp");
  EXPECT_EQ(parse_error({"--ROOT", "/tmp"}), "unknown flag: --ROOT");
  EXPECT_EQ(parse_error({"-hv"}), "unknown flag: -hv");
  EXPECT_EQ(parse_error({""}), "unknown flag: ");
  // Arguments are examined in order; later ones are never reached.
  EXPECT_EQ(parse_error({"--root", "/nonexistent", "--bogus", "--other"}), "unknown flag: --bogus");
}

TEST(ParseOptions, MissingValues) {
  EXPECT_EQ(parse_error({"--root"}), "--root requires a value");
  EXPECT_EQ(parse_error({"--engine"}), "--engine requires a value");
  EXPECT_EQ(parse_error({"--label"}), "--label requires a value");
  EXPECT_EQ(parse_error({"--output"}), "--output requires a value");
  EXPECT_EQ(parse_error({"--output-dir"}), "--output-dir requires a value");
  EXPECT_EQ(parse_error({"--exclude"}), "--exclude requires a value");
  EXPECT_EQ(parse_error({"--root", "/tmp", "--tree-depth"}), "missing value for --tree-depth");
  EXPECT_EQ(parse_error({"--root", "/tmp", "--cold-runs"}), "missing value for --cold-runs");
  EXPECT_EQ(parse_error({"--warm-runs"}), "missing value for --warm-runs");
}

TEST(ParseCountOption, AcceptsDigitsWithOptionalPlus) {
  EXPECT_EQ(parse_count_option("--x", "0"), 0u);
  EXPECT_EQ(parse_count_option("--x", "+5"), 5u);
  EXPECT_EQ(parse_count_option("--x", "007"), 7u);
  EXPECT_EQ(parse_count_option("--x", "18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(parse_count_option("--x", "000000000000000000000018446744073709551615"), UINT64_MAX);
}

TEST(ParseCountOption, RefusesEverythingElseNamingFlagAndValue) {
  for (const std::string bad : {"", "+", "-1", "-0", "++1", " 1", "1 ", "1e3", "0x10", "１",
                                "18446744073709551616", "99999999999999999999", "1.0"}) {
    auto parsed = parse_count_option("--warm-runs", bad);
    ASSERT_FALSE(parsed.has_value()) << bad;
    EXPECT_EQ(parsed.error(), "invalid integer for --warm-runs: " + bad);
  }
  EXPECT_EQ(parse_count_option("--tree-depth", std::nullopt).error(),
            "missing value for --tree-depth");
}

TEST(ValidateRoot, ExistenceAndKind) {
  TempDir tmp;
  const std::string dir = tmp.make_dir("d");
  const std::string file = tmp.write_file("f", 10);
  tmp.make_symlink(dir, "link");
  tmp.make_symlink(tmp.at("missing"), "dangling");
  EXPECT_TRUE(validate_root(dir).has_value());
  EXPECT_TRUE(validate_root(tmp.at("link")).has_value());
  EXPECT_EQ(validate_root(file).error(), "root path is not a directory: " + file);
  EXPECT_EQ(validate_root(tmp.at("dangling")).error(),
            "root path does not exist: " + tmp.at("dangling"));
  EXPECT_EQ(validate_root(tmp.at("missing")).error(),
            "root path does not exist: " + tmp.at("missing"));
  EXPECT_EQ(validate_root(file + "/x").error(), "root path does not exist: " + file + "/x");
}

TEST(ValidateRoot, RootsLongerThanPathMax) {
  TempDir tmp;
  const std::string bottom = testing::make_long_chain(tmp.path(), std::string(100, 'd'), PATH_MAX);
  EXPECT_TRUE(validate_root(bottom).has_value());
  EXPECT_EQ(validate_root(bottom + "/deep.txt").error(),
            "root path is not a directory: " + bottom + "/deep.txt");
  EXPECT_EQ(validate_root(bottom + "/missing").error(),
            "root path does not exist: " + bottom + "/missing");
}

// The program itself: streams, exit statuses and exact bytes.
class ScanBenchCommandLine : public ::testing::Test {
 protected:
  testing::ProcessResult run(std::vector<std::string> args) {
    args.insert(args.begin(), SCAN_BENCH_BINARY);
    return run_process(args, tmp_.path());
  }
  bool wrote_nothing() { return std::filesystem::is_empty(tmp_.path()); }
  TempDir tmp_;
};

TEST_F(ScanBenchCommandLine, NoArgumentsNeedsRoot) {
  const auto r = run({});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "error: --root is required\n");
  EXPECT_EQ(r.out, usage_text);
  EXPECT_TRUE(wrote_nothing());
}

TEST_F(ScanBenchCommandLine, HelpGoesToStandardOutput) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"--root", "/tmp", "--help"}, {"--help", "--bogus"}}) {
    const auto r = run(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, usage_text);
    EXPECT_EQ(r.err, "");
  }
  EXPECT_TRUE(wrote_nothing());
}

TEST_F(ScanBenchCommandLine, UsageErrorsPrintMessageThenUsage) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--bogus", "--help"}, "unknown flag: --bogus"},
      {{"--root=/tmp"}, "unknown flag: --root=/tmp"},
      {{"--root", "/nonexistent-tessaly", "--bogus"}, "unknown flag: --bogus"},
      {{"--root", "/tmp", "--cold-runs"}, "missing value for --cold-runs"},
      {{"--root", "/tmp", "--warm-runs", ""}, "invalid integer for --warm-runs: "},
      {{"--root", "/tmp", "--tree-depth", "-1"}, "invalid integer for --tree-depth: -1"},
      {{"--root", "/tmp", "--root", "/nonexistent-tessaly"},
       "root path does not exist: /nonexistent-tessaly"},
      {{"--engine", "jwalk"}, "--root is required"},
  };
  for (const auto& c : cases) {
    const auto r = run(c.args);
    EXPECT_EQ(r.exit_code, 2) << c.message;
    EXPECT_EQ(r.err, "error: " + c.message + "\n");
    EXPECT_EQ(r.out, usage_text);
  }
  EXPECT_TRUE(wrote_nothing());
}

TEST_F(ScanBenchCommandLine, RootThatIsAFileIsRefused) {
  TempDir other;
  const std::string file = other.write_file("plain", 1);
  const auto r = run({"--root", file, "--engine", "jwalk", "--output", "r.json"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "error: root path is not a directory: " + file + "\n");
  EXPECT_TRUE(wrote_nothing());
}

TEST_F(ScanBenchCommandLine, InvalidUtf8ArgumentIsAUsageError) {
  const auto r = run({"--root", "/tmp", "--label", "bad\xff"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "error: argument is not valid UTF-8: bad\xEF\xBF\xBD\n");
  EXPECT_EQ(r.out, usage_text);
  EXPECT_TRUE(wrote_nothing());
}

}  // namespace
}  // namespace tessaly
