#include "bin/scan_compare/comparison.h"

#include <gtest/gtest.h>

#include "bin/scan_compare/scan_compare_fixture.h"

namespace tessaly::scan_compare {
namespace {

using Json = nlohmann::ordered_json;

const std::vector<std::uint64_t> kBase{100, 102, 98, 101, 99, 103, 100, 97};

LoadedReport loaded(const FixtureReport& fixture, const std::string& path) {
  return parse_report(fixture.text(), path).value();
}

Comparison compare(const FixtureReport& base, const FixtureReport& fresh,
                   std::optional<std::string> phase = std::nullopt) {
  return compare_reports(loaded(base, "base.json"), loaded(fresh, "new.json"), phase, 5);
}

std::vector<std::uint64_t> scaled(const std::vector<std::uint64_t>& times, double factor) {
  std::vector<std::uint64_t> out;
  for (const std::uint64_t t : times) out.push_back(static_cast<std::uint64_t>(t * factor));
  return out;
}

// scipy 1.10.1 gives the same p-value and MAD for these runs, and a percentile
// bootstrap interval of 1.460 to 1.535 (random_state 0 to 2).
TEST(ScanCompareComparison, SlowerRunsGiveSlowerAndTheirNumbers) {
  const Comparison c = compare(FixtureReport(kBase), FixtureReport(scaled(kBase, 1.5)));
  EXPECT_EQ(verdict_exit_status(c), 1);
  EXPECT_EQ(format_comparison(c),
            "slower\n"
            "  phase      warm\n"
            "  ratio      1.500 (new median / base median), 95% CI 1.460 to 1.535\n"
            "  p-value    0.0009229 (Mann-Whitney U, two-sided)\n"
            "  threshold  5%\n\n"
            "         runs  median ms   min ms   max ms   MAD ms  label\n"
            "  base      8      100.0     97.0    103.0      1.5  fixture\n"
            "  new       8      150.0    145.0    154.0      2.5  fixture\n");
  const Json json = comparison_json(c);
  EXPECT_EQ(json["verdict"], "slower");
  EXPECT_GT(json["ci_low"].get<double>(), 1.0);
  EXPECT_EQ(json["new"]["median_ms"], 150.0);
}

TEST(ScanCompareComparison, VerdictsFollowIntervalPAndRunCounts) {
  EXPECT_EQ(compare(FixtureReport(kBase), FixtureReport(kBase)).verdict, kNoDifference);
  EXPECT_EQ(compare(FixtureReport(kBase), FixtureReport(scaled(kBase, 0.5))).verdict, kFaster);
  // 3% slower is significant but inside the 5% threshold.
  EXPECT_EQ(compare(FixtureReport(kBase), FixtureReport(scaled(kBase, 1.03))).verdict,
            kNoDifference);

  const Comparison two = compare(FixtureReport({100, 101}), FixtureReport({150, 151, 152}));
  EXPECT_EQ(two.verdict, kInconclusive);
  EXPECT_EQ(two.reason, "fewer than 3 warm runs on a side");
  EXPECT_DOUBLE_EQ(*two.fresh.median_ms, 151.0);

  // With 3 and 3 runs even a 1.5 times slower scan cannot be significant.
  const Comparison three = compare(FixtureReport({100, 101, 99}), FixtureReport({150, 151, 152}));
  EXPECT_EQ(three.verdict, kNoDifference);
  EXPECT_EQ(three.reason, "with 3 and 3 runs the p-value cannot fall below 0.05");

  const Comparison zero = compare(FixtureReport({0, 0, 0, 0}), FixtureReport({5, 6, 5, 7}));
  EXPECT_EQ(zero.verdict, kInconclusive);
  EXPECT_FALSE(zero.ratio);
  EXPECT_EQ(comparison_json(zero)["ratio"], nullptr);
}

TEST(ScanCompareComparison, DifferentCountersGiveResultsDifferAndNoTimes) {
  FixtureReport fresh({100, 101, 102}, {200});
  fresh.data.runs[2].result.files_found = 11;
  const Comparison c = compare(FixtureReport({100, 101, 102}, {200}), fresh);
  EXPECT_EQ(verdict_exit_status(c), 3);
  EXPECT_FALSE(c.ratio);
  EXPECT_FALSE(c.base.median_ms);
  EXPECT_EQ(format_comparison(c),
            "results differ\n"
            "  files_found 10: base cold 1, warm 1-3; new cold 1, warm 1, 3\n"
            "  files_found 11: new warm 2\n"
            "  the scans saw different trees, so their times are not compared\n");
  const Json values = comparison_json(c)["differences"][0]["values"];
  EXPECT_EQ(values[1].dump(), R"({"value":11,"runs":["new warm 2"]})");
}

TEST(ScanCompareComparison, ConditionsThatDifferAreWarnings) {
  FixtureReport fresh(kBase);
  fresh.scenario.root = "/other";
  fresh.data.machine.logical_cores = 8;
  const Comparison c = compare(FixtureReport(kBase), fresh);
  EXPECT_EQ(c.verdict, kNoDifference);
  EXPECT_EQ(c.warnings,
            (std::vector<std::string>{"root differs: base \"/data/tree\", new \"/other\"",
                                      "machine.logical_cores differs: base 2, new 8"}));
  EXPECT_EQ(comparison_json(c)["warnings"].size(), 2u);
}

TEST(ScanCompareComparison, MissingWarmRunsFallBackToColdUnlessAskedFor) {
  const FixtureReport base({100, 101, 102}, kBase);
  const FixtureReport fresh({}, kBase);
  const Comparison c = compare(base, fresh);
  EXPECT_EQ(c.phase, "cold");
  EXPECT_EQ(c.verdict, kNoDifference);
  EXPECT_NE(format_comparison(c).find("  phase      cold, as there are no warm runs in new.json\n"),
            std::string::npos);
  const Comparison asked = compare(base, fresh, "warm");
  EXPECT_EQ(asked.phase, "warm");
  EXPECT_EQ(asked.verdict, kInconclusive);
  EXPECT_EQ(asked.reason, "no warm runs in new.json");
}

}  // namespace
}  // namespace tessaly::scan_compare
