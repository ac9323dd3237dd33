#include "bin/scan_compare/options.h"

#include <gtest/gtest.h>

namespace tessaly::scan_compare {
namespace {

std::string error_of(const std::vector<std::string>& args) {
  auto parsed = parse_options(args);
  return parsed ? "parsed" : parsed.error();
}

TEST(ScanCompareOptions, ReadsPathsAndFlagsInAnyOrder) {
  auto parsed = parse_options(
      {"--threshold", "2.5", "a.json", "--phase", "cold", "b.json", "--json", "-", "--svg", "c"});
  ASSERT_TRUE(parsed) << parsed.error();
  const auto& options = std::get<CompareOptions>(*parsed);
  EXPECT_EQ(options.base_path, "a.json");
  EXPECT_EQ(options.new_path, "b.json");
  EXPECT_EQ(options.phase, "cold");
  EXPECT_EQ(options.threshold_percent, 2.5);
  EXPECT_EQ(options.json, "-");
  EXPECT_EQ(options.svg, "c");
  EXPECT_TRUE(std::holds_alternative<HelpRequested>(*parse_options({"a", "-h", "--bogus"})));
}

TEST(ScanCompareOptions, RefusesWhatItCannotUse) {
  EXPECT_EQ(error_of({"a.json"}), "two reports are required: <base.json> <new.json>");
  EXPECT_EQ(error_of({"a", "b", "c"}), "unexpected argument: c");
  EXPECT_EQ(error_of({"a", "b", "--phase", "hot"}), "unknown phase: hot");
  EXPECT_EQ(error_of({"a", "b", "--json"}), "--json requires a value");
  EXPECT_EQ(error_of({"a", "b", "--fast"}), "unknown flag: --fast");
  for (const char* bad : {"", "-1", "5%", "1e2", ".5", "5.", "100", "1.2.3"}) {
    EXPECT_EQ(error_of({"a", "b", "--threshold", bad}),
              std::string("invalid percentage for --threshold: ") + bad);
  }
  EXPECT_EQ(parse_percent("--t", "0"), 0.0);
  EXPECT_EQ(parse_percent("--t", "99.5"), 99.5);
}

}  // namespace
}  // namespace tessaly::scan_compare
