#include "bin/scan_compare/report_input.h"

#include <gtest/gtest.h>

#include <functional>

#include "bin/scan_compare/comparison.h"
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

// What the reader keeps of a report is decided as it reads; a tree built from
// the same text says what it must find.
TEST(ScanCompareReportInput, RunsAreCheckedInOrderAndARepeatedMemberReplacesTheFirst) {
  const std::string prefix = "r.json is not a scan_bench report: ";
  EXPECT_EQ(error_after([](Json& d) { d["runs"][2] = Json::array({1}); }),
            prefix + "runs[2] is not an object");
  EXPECT_EQ(error_after([](Json& d) {
              d["runs"][1]["phase"] = "hot";
              d["runs"][3] = 5;
            }),
            prefix + "runs[1].phase is \"hot\", not \"cold\" or \"warm\"");
  // The document's own problems come before those of its runs.
  EXPECT_EQ(error_after([](Json& d) {
              d["runs"][0] = 5;
              d["machine"]["os"] = 1;
            }),
            prefix + "machine.os is not a string");
  EXPECT_EQ(error_after([](Json& d) {
              d["exclude_paths"] = Json::array({"/a", {{"b", 1}}});
            }),
            prefix + "exclude_paths is not an array of strings");

  // {"runs": [bad], ..., "runs": [good]} reads as the tree keeps it: the last.
  const std::string good = FixtureReport({10, 11, 12}).text();
  std::string repeated = good;
  repeated.insert(repeated.find("\"runs\""), "\"runs\": [{}],\n  ");
  auto report = parse_report(repeated, "r.json");
  ASSERT_TRUE(report) << report.error();
  EXPECT_EQ(report->runs.size(), 3u);
}

// A report whose dataset description is a million empty objects, as
// scan_bench writes it, is read and compared: equal descriptions give no
// warning, one changed element gives the warning with both texts.
TEST(ScanCompareReportInput, AMillionEmptyObjectsInTheDatasetCompare) {
  std::string million = "[{}";
  for (int i = 1; i < 1'000'000; ++i) million += ",{}";
  million += "]";
  FixtureReport fixture({10, 11, 12});
  fixture.data.dataset_metadata = million;
  auto base = parse_report(fixture.text(), "base.json");
  ASSERT_TRUE(base) << base.error();
  EXPECT_EQ(base->conditions.back(), million);
  auto same = parse_report(fixture.text(), "new.json");
  ASSERT_TRUE(same) << same.error();
  EXPECT_EQ(compare_reports(*base, *same, std::nullopt, 5).warnings, std::vector<std::string>{});

  std::string changed = million;
  changed.replace(changed.size() - 3, 2, "[]");
  fixture.data.dataset_metadata = changed;
  auto fresh = parse_report(fixture.text(), "new.json");
  ASSERT_TRUE(fresh) << fresh.error();
  EXPECT_EQ(
      compare_reports(*base, *fresh, std::nullopt, 5).warnings,
      std::vector<std::string>{"dataset_metadata differs: base " + million + ", new " + changed});
}

}  // namespace
}  // namespace tessaly::scan_compare
