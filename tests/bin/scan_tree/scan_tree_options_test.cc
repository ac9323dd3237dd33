#include "bin/scan_tree/options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/temp_tree.h"

namespace tessaly::scan_tree {
namespace {

using testing::TempDir;

TreeOptions parse_ok(const std::vector<std::string>& args) {
  auto parsed = parse_options(args);
  EXPECT_TRUE(parsed.has_value()) << (parsed ? "" : parsed.error());
  if (!parsed || !std::holds_alternative<TreeOptions>(*parsed)) return {};
  return std::get<TreeOptions>(*parsed);
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

std::string validation_error(const TreeOptions& options) {
  auto valid = validate_options(options);
  EXPECT_FALSE(valid.has_value());
  return valid ? std::string() : valid.error();
}

TEST(ScanTreeUsage, NamesEveryFlagAndFitsEightyColumns) {
  EXPECT_TRUE(usage_text.starts_with(
      "Usage: scan_tree --root <path> [options]\n       scan_tree --import <file> [options]\n\n"));
  EXPECT_TRUE(usage_text.ends_with("  --help                   Show this help\n"));
  for (const std::string_view flag :
       {"--engine <name>", "--tree-depth <n>", "--exclude <path>", "--top <n>", "--json <path>",
        "--html <path>", "--export <path>", "--import <file>"}) {
    EXPECT_NE(usage_text.find(std::string("\n  ") + std::string(flag)), std::string_view::npos)
        << flag;
  }
  std::size_t start = 0;
  while (start < usage_text.size()) {
    const std::size_t end = usage_text.find('\n', start);
    ASSERT_NE(end, std::string_view::npos) << "the text ends with a newline";
    EXPECT_LE(end - start, 80u) << usage_text.substr(start, end - start);
    start = end + 1;
  }
}

TEST(ScanTreeParseOptions, DefaultsAndEveryFlag) {
  const TreeOptions defaults = parse_ok({});
  EXPECT_FALSE(defaults.root.has_value());
  EXPECT_EQ(defaults.engine, "bulk-attrs");
  EXPECT_EQ(defaults.tree_depth, 8u);
  EXPECT_EQ(defaults.top, 10u);
  EXPECT_TRUE(defaults.exclude_paths.empty());
  EXPECT_FALSE(defaults.json.has_value());
  EXPECT_FALSE(defaults.html.has_value());

  const TreeOptions o =
      parse_ok({"--root", " ~/x ", "--engine", "jwalk", "--tree-depth", "+5", "--top", "007",
                "--exclude", "a", "--json", "out.json", "--html", "out.html"});
  EXPECT_EQ(o.root, " ~/x ");
  EXPECT_EQ(o.engine, "jwalk");
  EXPECT_EQ(o.tree_depth, 5u);
  EXPECT_EQ(o.top, 7u);
  EXPECT_EQ(o.exclude_paths, std::vector<std::string>{"a"});
  EXPECT_EQ(o.json, "out.json");
  EXPECT_EQ(o.html, "out.html");
}

TEST(ScanTreeParseOptions, LastValueWinsAndExcludesAccumulate) {
  const TreeOptions o = parse_ok({"--root", "/a", "--root", "/b", "--exclude", "x", "--exclude",
                                  "y", "--exclude", "x", "--top", "3", "--top", "4"});
  EXPECT_EQ(o.root, "/b");
  EXPECT_EQ(o.exclude_paths, (std::vector<std::string>{"x", "y", "x"}));
  EXPECT_EQ(o.top, 4u);
}

TEST(ScanTreeParseOptions, AFlagConsumesTheNextArgumentWhateverItIs) {
  const TreeOptions o = parse_ok({"--root", "--engine", "--json", "--help"});
  EXPECT_EQ(o.root, "--engine");
  EXPECT_EQ(o.json, "--help");
  EXPECT_EQ(o.engine, "bulk-attrs");
}

TEST(ScanTreeParseOptions, HelpEndsParsingWhereItStands) {
  EXPECT_TRUE(parses_to_help({"-h"}));
  EXPECT_TRUE(parses_to_help({"--root", "/tmp", "--help"}));
  EXPECT_TRUE(parses_to_help({"--help", "--bogus"}));
  EXPECT_EQ(parse_error({"--bogus", "--help"}), "unknown flag: --bogus");
}

TEST(ScanTreeParseOptions, UnknownArgumentsAreNamed) {
  EXPECT_EQ(parse_error({"--root=/tmp"}), "unknown flag: --root=/tmp");
  EXPECT_EQ(parse_error({"/tmp"}), "unknown flag: /tmp");
  EXPECT_EQ(parse_error({"--Root", "/tmp"}), "unknown flag: --Root");
  // Flags of scan_bench are not flags of this tool.
  EXPECT_EQ(parse_error({"--warm-runs", "1"}), "unknown flag: --warm-runs");
  EXPECT_EQ(parse_error({"--root", "/nonexistent", "--bogus"}), "unknown flag: --bogus");
}

TEST(ScanTreeParseOptions, MissingValues) {
  EXPECT_EQ(parse_error({"--root"}), "--root requires a value");
  EXPECT_EQ(parse_error({"--root", "/", "--engine"}), "--engine requires a value");
  EXPECT_EQ(parse_error({"--exclude"}), "--exclude requires a value");
  EXPECT_EQ(parse_error({"--json"}), "--json requires a value");
  EXPECT_EQ(parse_error({"--root", "/", "--tree-depth"}), "missing value for --tree-depth");
  EXPECT_EQ(parse_error({"--top"}), "missing value for --top");
}

TEST(ScanTreeParseOptions, NumbersAreStrict) {
  EXPECT_EQ(parse_ok({"--tree-depth", "0"}).tree_depth, 0u);
  EXPECT_EQ(parse_ok({"--top", "18446744073709551615"}).top, 18446744073709551615u);
  EXPECT_EQ(parse_error({"--top", "-1"}), "invalid integer for --top: -1");
  EXPECT_EQ(parse_error({"--top", ""}), "invalid integer for --top: ");
  EXPECT_EQ(parse_error({"--top", "+"}), "invalid integer for --top: +");
  EXPECT_EQ(parse_error({"--top", " 5"}), "invalid integer for --top:  5");
  EXPECT_EQ(parse_error({"--top", "5x"}), "invalid integer for --top: 5x");
  EXPECT_EQ(parse_error({"--top", "++5"}), "invalid integer for --top: ++5");
  EXPECT_EQ(parse_error({"--tree-depth", "18446744073709551616"}),
            "invalid integer for --tree-depth: 18446744073709551616");
  EXPECT_EQ(parse_error({"--tree-depth", "99999999999999999999"}),
            "invalid integer for --tree-depth: 99999999999999999999");
}

TEST(ScanTreeValidateOptions, CheckOrderAndMessages) {
  TempDir dir;
  const std::string file = dir.write_file("file", 10);
  TreeOptions o;
  EXPECT_EQ(validation_error(o), "--root or --import is required");
  o.import_path = "saved.json";
  o.root = dir.path();
  EXPECT_EQ(validation_error(o), "--root and --import exclude each other");
  o.root.reset();
  o.export_path = "again.json";
  EXPECT_EQ(validation_error(o), "--export saves a scan: give --root, not --import");
  o.export_path.reset();
  o.exclude_paths = {"x"};
  EXPECT_EQ(validation_error(o), "--exclude applies to a scan: give --root, not --import");
  o.exclude_paths.clear();
  EXPECT_TRUE(validate_options(o).has_value());  // the file is opened later
  o.import_path.reset();

  o.root = dir.at("missing");
  o.engine = "fast";
  EXPECT_EQ(validation_error(o), "unknown engine: fast");
  o.engine = "JWALK";
  EXPECT_EQ(validation_error(o), "unknown engine: JWALK");
  o.engine = "";
  EXPECT_EQ(validation_error(o), "unknown engine: ");

  o.engine = "jwalk";
  o.top = 0;
  EXPECT_EQ(validation_error(o), "--top must be at least 1");

  o.top = 1;
  EXPECT_EQ(validation_error(o), "root path does not exist: " + dir.at("missing"));
  o.root = file;
  EXPECT_EQ(validation_error(o), "root path is not a directory: " + file);
  o.root = std::string(dir.path()) + std::string(1, '\0') + "x";
  EXPECT_EQ(validation_error(o), "root path does not exist: " + *o.root);

  o.root = dir.path();
  EXPECT_TRUE(validate_options(o).has_value());
  o.engine = "bulk-attrs";
  EXPECT_TRUE(validate_options(o).has_value());
}

TEST(ScanTreeParseOptions, AnExportListsEveryLevelUnlessADepthIsGiven) {
  const TreeOptions plain = parse_ok({"--root", "/r"});
  EXPECT_EQ(result_tree_depth(plain), 8u);
  const TreeOptions saved = parse_ok({"--root", "/r", "--export", "e.json"});
  EXPECT_EQ(saved.export_path, "e.json");
  EXPECT_EQ(result_tree_depth(saved), kUnlimitedTreeDepth);
  EXPECT_EQ(result_tree_depth(parse_ok({"--export", "e.json", "--tree-depth", "8"})), 8u);
  EXPECT_EQ(parse_ok({"--import", "-"}).import_path, "-");
}

TEST(ScanTreeValidateOptions, FollowsSymbolicLinksToTheRoot) {
  TempDir dir;
  dir.make_dir("real");
  dir.write_file("f", 1);
  TreeOptions o;
  o.root = dir.make_symlink(dir.at("real"), "to-dir");
  EXPECT_TRUE(validate_options(o).has_value());
  o.root = dir.make_symlink(dir.at("f"), "to-file");
  EXPECT_EQ(validation_error(o), "root path is not a directory: " + *o.root);
  o.root = dir.make_symlink(dir.at("nowhere"), "dangling");
  EXPECT_EQ(validation_error(o), "root path does not exist: " + *o.root);
}

}  // namespace
}  // namespace tessaly::scan_tree
