// Runs the built scan_compare program, on reports from the built scan_bench
// and on reports written by scan_bench's writer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "bin/scan_compare/options.h"
#include "bin/scan_compare/scan_compare_fixture.h"

namespace tessaly::scan_compare {
namespace {

using testing::read_file;

using testing::ProcessResult;
using testing::TempDir;

ProcessResult scan_compare(std::vector<std::string> args) {
  args.insert(args.begin(), SCAN_COMPARE_BINARY);
  return testing::run_process(args);
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST(ScanCompareE2e, TwoScanBenchRunsOfOneTreeCompareAndAChangedTreeDiffers) {
  TempDir dir;
  dir.write_file("tree/a/one", 5000);
  dir.write_file("tree/b/two", 100);
  const auto bench = [&](const std::string& name) {
    return testing::run_process({SCAN_BENCH_BINARY, "--root", dir.at("tree"), "--engine", "jwalk",
                                 "--warm-runs", "5", "--output", dir.at(name)})
        .exit_code;
  };
  ASSERT_EQ(bench("a.json"), 0);
  ASSERT_EQ(bench("b.json"), 0);
  const ProcessResult same =
      scan_compare({dir.at("a.json"), dir.at("b.json"), "--json", dir.at("c.json")});
  // Times of a tiny tree are noise, so any timing verdict may come out; the
  // exit status must match it, and the results must agree.
  const std::string verdict = first_line(same.out);
  EXPECT_EQ(same.exit_code, verdict == "slower" ? 1 : 0) << same.out << same.err;
  EXPECT_TRUE(verdict == "slower" || verdict == "faster" || verdict == "inconclusive" ||
              verdict == "no significant difference")
      << verdict;
  EXPECT_EQ(same.err, "");
  EXPECT_EQ(nlohmann::json::parse(read_file(dir.at("c.json")))["verdict"], verdict);

  dir.write_file("tree/b/three", 100);
  ASSERT_EQ(bench("d.json"), 0);
  const ProcessResult differ = scan_compare({dir.at("a.json"), dir.at("d.json")});
  EXPECT_EQ(differ.exit_code, 3);
  EXPECT_TRUE(
      differ.out.starts_with("results differ\n  files_found 2: base cold 1, warm 1-5\n"
                             "  files_found 3: new cold 1, warm 1-5\n"))
      << differ.out;
}

TEST(ScanCompareE2e, ExitStatusesAndOutputFiles) {
  TempDir dir;
  const std::string base = FixtureReport({100, 102, 98, 101, 99}).write(dir, "base.json");
  const std::string slow = FixtureReport({150, 153, 147, 151, 148}).write(dir, "slow.json");

  const ProcessResult slower =
      scan_compare({base, slow, "--json", dir.at("out.json"), "--svg", dir.at("out.svg")});
  EXPECT_EQ(slower.exit_code, 1);
  EXPECT_EQ(first_line(slower.out), "slower");
  const auto json = nlohmann::json::parse(read_file(dir.at("out.json")));
  EXPECT_NEAR(json["ratio"].get<double>(), 1.5, 0.02);
  EXPECT_LT(json["p_value"].get<double>(), 0.05);
  EXPECT_TRUE(read_file(dir.at("out.svg")).ends_with("</svg>\n"));

  EXPECT_EQ(scan_compare({slow, base}).exit_code, 0);

  const ProcessResult usage = scan_compare({base});
  EXPECT_EQ(usage.exit_code, 2);
  EXPECT_EQ(usage.err, "error: two reports are required: <base.json> <new.json>\n");
  EXPECT_EQ(usage.out, usage_text);

  const std::string foreign = dir.write_text("foreign.json", R"({"files_found": 3})");
  const ProcessResult bad = scan_compare({base, foreign});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_EQ(bad.err, foreign +
                         " is not a scan_bench report: the document has no "
                         "\"timestamp_unix_secs\"\n");
  EXPECT_EQ(bad.out, "");

  const ProcessResult unwritable = scan_compare({base, base, "--json", dir.path()});
  EXPECT_EQ(unwritable.exit_code, 2);
  EXPECT_EQ(unwritable.err, "failed to write " + dir.path() + ": Is a directory (os error 21)\n");
}

TEST(ScanCompareE2e, OnlyRegularReportsAreReadAndLinksAreWrittenThrough) {
  TempDir dir;
  const std::string base = FixtureReport({100, 102, 98}).write(dir, "base.json");
  const std::string fifo = dir.make_fifo("pipe");
  for (const std::string& input : {fifo, std::string("/dev/zero")}) {
    const ProcessResult r = scan_compare({base, input});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "cannot read " + input + ": not a regular file\n");
  }
  std::string text = FixtureReport({100, 102, 98}).text();
  text.replace(text.find("\"elapsed_ms\": 100"), 18, "\"elapsed_ms\": 1e400");
  const ProcessResult overflow = scan_compare({base, dir.write_text("huge.json", text)});
  EXPECT_EQ(overflow.exit_code, 2);
  EXPECT_EQ(overflow.err,
            dir.at("huge.json") + " is not a scan_bench report: number overflow parsing '1e400'\n");

  dir.make_symlink("out.svg", "link.svg");
  const ProcessResult linked = scan_compare({base, base, "--svg", dir.at("link.svg")});
  EXPECT_EQ(linked.exit_code, 0) << linked.err;
  EXPECT_TRUE(read_file(dir.at("out.svg")).ends_with("</svg>\n"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.at("link.svg")));
}

}  // namespace
}  // namespace tessaly::scan_compare
