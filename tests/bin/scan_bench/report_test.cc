#include "bin/scan_bench/report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::path_exists;
using testing::read_file;
using testing::read_stream;

using testing::TempDir;

BenchmarkResult result_of(std::uint64_t elapsed, std::uint64_t files, std::uint64_t dirs,
                          std::uint64_t total, std::uint64_t post_walk, std::uint64_t large) {
  return BenchmarkResult{"jwalk", elapsed, files, dirs, total, post_walk, large};
}

ReportData sample_data() {
  ReportData data;
  data.timestamp_unix_secs = 1733650000;
  data.machine = MachineInfo{"linux", "x86_64", 2, "ext4"};
  data.runs.push_back({"cold", 1, result_of(153, 12034, 2311, 536870912, 8, 1)});
  data.runs.push_back({"warm", 1, result_of(18446744073709551615ULL, 0, 0, 0, 0, 0)});
  data.cold = PhaseSummary{1, 153, 153, 153};
  data.warm = PhaseSummary{};
  return data;
}

BenchOptions sample_options() {
  BenchOptions options;
  options.root = "/data/tree/";
  options.engine = "jwalk";
  options.tree_depth = 3;
  options.label = "nightly run #3";
  return options;
}

TEST(SanitizeLabel, KeepsAsciiLettersDigitsAndHyphen) {
  EXPECT_EQ(sanitize_label("nightly run #3"), "nightly_run__3");
  EXPECT_EQ(sanitize_label("Az-09"), "Az-09");
  EXPECT_EQ(sanitize_label("a_b.c/d"), "a_b_c_d");
  EXPECT_EQ(sanitize_label(""), "benchmark");
}

TEST(SanitizeLabel, OneUnderscorePerCharacterNotPerByte) {
  EXPECT_EQ(sanitize_label("caf\xC3\xA9"), "caf_");             // e with acute, 2 bytes
  EXPECT_EQ(sanitize_label("\xE6\x97\xA5\xE6\x9C\xAC"), "__");  // two 3-byte characters
  EXPECT_EQ(sanitize_label("x\xF0\x9F\x9A\x80y"), "x_y");       // one 4-byte character
  EXPECT_EQ(sanitize_label("a\xFF"
                           "b"),
            "a_b");  // a stray byte stands for one replaced character
}

TEST(DefaultReportFileName, FillsTimestampSanitisedLabelAndEngine) {
  EXPECT_EQ(default_report_file_name(1733650000, "benchmark", "bulk-attrs"),
            "1733650000_benchmark_bulk-attrs.json");
  EXPECT_EQ(default_report_file_name(0, "", "jwalk"), "0_benchmark_jwalk.json");
  EXPECT_EQ(default_report_file_name(7, "a b", "Jwalk x"), "7_a_b_Jwalk x.json");
}

TEST(ReportOutputPath, OutputWinsOverDirectory) {
  BenchOptions options;
  options.label = "l";
  options.engine = "jwalk";
  options.output = "some/where.json";
  options.output_dir = "ignored";
  EXPECT_EQ(report_output_path(options, 5), "some/where.json");
}

TEST(ReportOutputPath, JoinsDirectoryAndDerivedName) {
  BenchOptions options;
  options.label = "l";
  options.engine = "jwalk";
  EXPECT_EQ(report_output_path(options, 5), "bench-results/5_l_jwalk.json");
  options.output_dir = "";
  EXPECT_EQ(report_output_path(options, 5), "5_l_jwalk.json");
  options.output_dir = "out/";
  EXPECT_EQ(report_output_path(options, 5), "out/5_l_jwalk.json");
  options.output_dir = "/";
  EXPECT_EQ(report_output_path(options, 5), "/5_l_jwalk.json");
}

TEST(ParentDirectory, DropsTheLastComponent) {
  EXPECT_EQ(parent_directory("report.json"), std::optional<std::string>(""));
  EXPECT_EQ(parent_directory("out/nested/deeper/r.json"),
            std::optional<std::string>("out/nested/deeper"));
  EXPECT_EQ(parent_directory("/r.json"), std::optional<std::string>("/"));
  EXPECT_EQ(parent_directory("/a/b"), std::optional<std::string>("/a"));
  EXPECT_EQ(parent_directory("out//r.json"), std::optional<std::string>("out"));
  EXPECT_EQ(parent_directory("a/b/"), std::optional<std::string>("a"));
  EXPECT_EQ(parent_directory("a/./b"), std::optional<std::string>("a"));
  EXPECT_EQ(parent_directory("./r.json"), std::optional<std::string>("."));
  EXPECT_EQ(parent_directory("a/.."), std::optional<std::string>("a"));
  EXPECT_EQ(parent_directory("/"), std::nullopt);
  EXPECT_EQ(parent_directory("//"), std::nullopt);
  EXPECT_EQ(parent_directory(""), std::nullopt);
}

TEST(CreateDirectoryTree, CreatesEveryMissingLevelAndAcceptsExisting) {
  TempDir dir;
  const std::string deepest = dir.at("out/nested/deeper");
  ASSERT_TRUE(create_directory_tree(deepest).has_value());
  struct stat st {};
  ASSERT_EQ(::stat(deepest.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(create_directory_tree(deepest).has_value());
  EXPECT_TRUE(create_directory_tree(dir.at("out")).has_value());
  EXPECT_TRUE(create_directory_tree("/").has_value());
}

TEST(CreateDirectoryTree, ModeIsFullAccessLessTheUmask) {
  TempDir dir;
  const mode_t saved = ::umask(027);
  const auto made = create_directory_tree(dir.at("a/b"));
  ::umask(saved);
  ASSERT_TRUE(made.has_value());
  struct stat st {};
  ASSERT_EQ(::stat(dir.at("a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  ASSERT_EQ(::stat(dir.at("a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
}

TEST(CreateDirectoryTree, AFileInTheWayIsAnError) {
  TempDir dir;
  dir.write_text("file", "x");
  const auto inside = create_directory_tree(dir.at("file/sub/deeper"));
  ASSERT_FALSE(inside.has_value());
  EXPECT_EQ(inside.error(), ENOTDIR);
  const auto same = create_directory_tree(dir.at("file"));
  ASSERT_FALSE(same.has_value());
  EXPECT_EQ(same.error(), EEXIST);
}

TEST(OsErrorText, DescriptionThenNumber) {
  EXPECT_EQ(os_error_text(EACCES), "Permission denied (os error 13)");
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
}

constexpr std::string_view expected_sample_report = R"({
  "timestamp_unix_secs": 1733650000,
  "label": "nightly run #3",
  "root": "/data/tree/",
  "engine": "jwalk",
  "tree_depth": 3,
  "exclude_paths": [],
  "machine": {
    "os": "linux",
    "arch": "x86_64",
    "logical_cores": 2,
    "fs_type": "ext4"
  },
  "dataset_metadata": null,
  "runs": [
    {
      "phase": "cold",
      "run_index": 1,
      "result": {
        "engine": "jwalk",
        "elapsed_ms": 153,
        "files_found": 12034,
        "dirs_found": 2311,
        "total_size": 536870912,
        "compute_dir_sizes_ms": 8,
        "large_files_count": 1
      }
    },
    {
      "phase": "warm",
      "run_index": 1,
      "result": {
        "engine": "jwalk",
        "elapsed_ms": 18446744073709551615,
        "files_found": 0,
        "dirs_found": 0,
        "total_size": 0,
        "compute_dir_sizes_ms": 0,
        "large_files_count": 0
      }
    }
  ],
  "summary": {
    "cold": {
      "count": 1,
      "min_ms": 153,
      "median_ms": 153,
      "max_ms": 153
    },
    "warm": {
      "count": 0,
      "min_ms": null,
      "median_ms": null,
      "max_ms": null
    }
  },
  "notes": [
    "Cold runs clear only the scanner's in-process cache, not OS filesystem cache.",
    "Compare warm median across commits for the most stable local regression signal."
  ]
})";

TEST(SerializeReport, WholeDocumentInOrderWithoutFinalNewline) {
  const auto text = report_text(sample_options(), sample_data());
  ASSERT_TRUE(text.has_value()) << text.error();
  EXPECT_EQ(*text, expected_sample_report);
}

TEST(SerializeReport, DatasetMetadataKeepsSortedKeysAndItsNumbers) {
  ReportData data = sample_data();
  data.runs.clear();
  data.dataset_metadata =
      nlohmann::json::parse(R"({"b": [1, 2.5, -3], "a": {"z": {}, "y": []}, "c": "x,:{}[]\"]"})")
          .dump();
  BenchOptions options = sample_options();
  options.exclude_paths = {"/x", "/y", "/x"};
  const auto text = report_text(options, data);
  ASSERT_TRUE(text.has_value()) << text.error();
  EXPECT_NE(text->find(R"(  "exclude_paths": [
    "/x",
    "/y",
    "/x"
  ],
)"),
            std::string::npos)
      << *text;
  EXPECT_NE(text->find(R"(  "dataset_metadata": {
    "a": {
      "y": [],
      "z": {}
    },
    "b": [
      1,
      2.5,
      -3
    ],
    "c": "x,:{}[]\"]"
  },
  "runs": [],
)"),
            std::string::npos)
      << *text;
}

TEST(SerializeReport, EscapesOnlyQuotesBackslashesAndControlCharacters) {
  BenchOptions options = sample_options();
  options.label =
      std::string("q\"b\\s/d\x7F\x08\x09\x0A\x0C\x0D\x01\x1F\x00z\xC3\xA9\xE2\x82\xAC", 22);
  const auto text = report_text(options, sample_data());
  ASSERT_TRUE(text.has_value()) << text.error();
  EXPECT_NE(
      text->find("  \"label\": \"q\\\"b\\\\s/d\x7F\\b\\t\\n\\f\\r\\u0001\\u001f\\u0000z\xC3\xA9"
                 "\xE2\x82\xAC\",\n"),
      std::string::npos)
      << *text;
}

TEST(SerializeReport, InvalidUtf8IsReplacedNotFatal) {
  BenchOptions options = sample_options();
  options.root = "/data/\xFF\xFEx";
  const auto text = report_text(options, sample_data());
  ASSERT_TRUE(text.has_value()) << text.error();
  EXPECT_NE(text->find("  \"root\": \"/data/\xEF\xBF\xBD\xEF\xBF\xBDx\",\n"), std::string::npos)
      << *text;
}

class WriteReportTest : public ::testing::Test {
 protected:
  void SetUp() override { out_ = std::tmpfile(); }
  void TearDown() override { std::fclose(out_); }
  std::FILE* out_ = nullptr;
  TempDir dir_;
};

TEST_F(WriteReportTest, WritesExactBytesIntoCreatedDirectoriesAndSaysWhere) {
  BenchOptions options = sample_options();
  options.output_dir = dir_.at("out/nested/deeper");
  const auto written = write_report(options, sample_data(), out_);
  ASSERT_TRUE(written.has_value()) << written.error();
  const std::string path = dir_.at("out/nested/deeper/1733650000_nightly_run__3_jwalk.json");
  EXPECT_EQ(read_file(path), expected_sample_report);
  EXPECT_EQ(read_stream(out_), "report written to " + path + "\n");
}

TEST_F(WriteReportTest, OutputReplacesAnExistingFile) {
  BenchOptions options = sample_options();
  options.output = dir_.write_text("r.json", std::string(5000, 'x'));
  ASSERT_TRUE(write_report(options, sample_data(), out_).has_value());
  EXPECT_EQ(read_file(*options.output), expected_sample_report);
  EXPECT_EQ(read_stream(out_), "report written to " + *options.output + "\n");
}

TEST_F(WriteReportTest, ExistingDirectoryAsPathFailsToWrite) {
  BenchOptions options = sample_options();
  options.output = dir_.make_dir("taken");
  const auto written = write_report(options, sample_data(), out_);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error(),
            "failed to write report " + *options.output + ": Is a directory (os error 21)");
  EXPECT_EQ(read_stream(out_), "");
}

TEST_F(WriteReportTest, DirectoryBlockedByAFileFailsToCreate) {
  BenchOptions options = sample_options();
  dir_.write_text("blocker", "x");
  options.output_dir = dir_.at("blocker/sub");
  const auto written = write_report(options, sample_data(), out_);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error(), "failed to create output directory " + dir_.at("blocker/sub") +
                                 ": Not a directory (os error 20)");
  EXPECT_FALSE(path_exists(dir_.at("blocker/sub")));
  EXPECT_EQ(read_stream(out_), "");
}

TEST_F(WriteReportTest, UnwritableDirectoryFailsWithPermissionDenied) {
  // Only the last directory is closed to the unprivileged user.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  const std::string locked = dir_.make_dir("locked");
  ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
  BenchOptions options = sample_options();
  options.output = locked + "/r.json";
  std::FILE* out = out_;
  const ReportData data = sample_data();
  const int status = testing::run_unprivileged([&] {
    const auto written = write_report(options, data, out);
    if (written) return 1;
    return written.error() ==
                   "failed to write report " + *options.output + ": Permission denied (os error 13)"
               ? 0
               : 2;
  });
  if (status == -1) GTEST_SKIP() << "cannot drop privileges to uid 65534 here";
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(path_exists(*options.output));
}

}  // namespace
}  // namespace tessaly
