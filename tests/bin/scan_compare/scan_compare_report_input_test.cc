#include "bin/scan_compare/report_input.h"

#include <gtest/gtest.h>

#include <functional>

#include "bin/scan_compare/scan_compare_fixture.h"

namespace tessaly::scan_compare {
namespace {

using Json = nlohmann::ordered_json;

// The error for the fixture report after `change`.
std::string error_after(const std::function<void(Json&)>& change) {
  Json document = Json::parse(FixtureReport({10, 11, 12}, {20}).text());
  change(document);
  auto parsed = parse_report(document.dump(2), "r.json");
  return parsed ? "parsed" : parsed.error();
}

TEST(ScanCompareReportInput, ReadsWhatScanBenchWrites) {
  testing::TempDir dir;
  const std::string path = FixtureReport({10, 11, 12}, {20}).write(dir, "base.json");
  auto report = load_report(path);
  ASSERT_TRUE(report) << report.error();
  EXPECT_EQ(report->label, "fixture");
  ASSERT_EQ(report->runs.size(), 4u);
  EXPECT_EQ(report->runs[0].phase, "cold");
  EXPECT_EQ(report->runs[3].result.elapsed_ms, 12u);
  EXPECT_TRUE(report->warnings.empty());
}

TEST(ScanCompareReportInput, SummaryThatDisagreesIsAWarning) {
  FixtureReport fixture({10, 11, 12});
  fixture.data.warm.median_ms = 99;
  auto report = parse_report(fixture.text(), "r.json");
  ASSERT_TRUE(report) << report.error();
  EXPECT_EQ(report->warnings, std::vector<std::string>{
                                  "r.json: summary.warm disagrees with the runs, which give count "
                                  "3, min_ms 10, median_ms 11, max_ms 12"});
}

TEST(ScanCompareReportInput, UnreadableAndMalformedFilesNameTheFile) {
  testing::TempDir dir;
  EXPECT_EQ(load_report(dir.at("missing.json")).error(),
            "cannot read " + dir.at("missing.json") + ": No such file or directory (os error 2)");
  EXPECT_EQ(load_report(dir.path()).error(),
            "cannot read " + dir.path() + ": Is a directory (os error 21)");
  EXPECT_EQ(parse_report("{\"a\": ", "r.json").error(),
            "r.json is not JSON: parse error at line 1, column 7: syntax error while parsing value "
            "- unexpected end of input; expected '[', '{', or a literal");
  EXPECT_EQ(parse_report(std::string(100000, '[') + std::string(100000, ']'), "r.json").error(),
            "r.json is not a scan_bench report: nested deeper than 160 levels");
}

TEST(ScanCompareReportInput, ForeignOrAlteredDocumentsAreRefused) {
  const std::string prefix = "r.json is not a scan_bench report: ";
  EXPECT_EQ(parse_report("[1, 2]", "r.json").error(), prefix + "the document is not an object");
  EXPECT_EQ(parse_report(R"({"root": "/", "files_found": 3})", "r.json").error(),
            prefix + "the document has no \"timestamp_unix_secs\"");
  EXPECT_EQ(error_after([](Json& d) { d.erase("runs"); }), prefix + "the document has no \"runs\"");
  EXPECT_EQ(error_after([](Json& d) { d["extra"] = 1; }),
            prefix + "the document has an unexpected member \"extra\"");
  EXPECT_EQ(error_after([](Json& d) {
              const Json label = d["label"];
              d.erase("label");
              d["label"] = label;
            }),
            prefix + "the document: \"root\" is out of order");
  EXPECT_EQ(error_after([](Json& d) { d["runs"][1]["result"]["elapsed_ms"] = -5; }),
            prefix + "runs[1].result.elapsed_ms is not an unsigned integer");
  EXPECT_EQ(error_after([](Json& d) { d["runs"][0]["result"]["elapsed_ms"] = 1.5; }),
            prefix + "runs[0].result.elapsed_ms is not an unsigned integer");
  EXPECT_EQ(error_after([](Json& d) { d["runs"][0]["phase"] = "hot"; }),
            prefix + "runs[0].phase is \"hot\", not \"cold\" or \"warm\"");
  EXPECT_EQ(error_after([](Json& d) { d["summary"]["warm"]["min_ms"] = "10"; }),
            prefix + "summary.warm.min_ms is not an unsigned integer or null");
  EXPECT_EQ(error_after([](Json& d) { d["runs"] = Json::array(); }), "r.json has no runs");
}

}  // namespace
}  // namespace tessaly::scan_compare
