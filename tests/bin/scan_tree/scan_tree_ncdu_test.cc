// Saving a scan with --export and opening it with --import, against ncdu and
// gdu as real clients of the files (each run as a program, as a user would).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <tessaly/ncdu_export.h>
#include <tessaly/scan.h>

#include "support/result_builder.h"
#include "support/temp_tree.h"

namespace tessaly::scan_tree {
namespace {

using testing::ProcessResult;
using testing::read_file;
using testing::run_process;
using testing::TempDir;

ProcessResult scan_tree(std::vector<std::string> args) {
  args.insert(args.begin(), SCAN_TREE_BINARY);
  return run_process(args);
}

// The path of `program` on PATH, or "" when it is not installed.
std::string installed(const std::string& program) {
  const ProcessResult found = run_process({"/bin/sh", "-c", "command -v " + program});
  if (found.exit_code != 0 || found.out.empty()) return {};
  return found.out.substr(0, found.out.find('\n'));
}

// A tree with hard links (`across` folders too), names that are not plain, a
// sparse, an empty file, a symbolic link and a bundle.
void build_tree(const TempDir& dir, bool across = true) {
  dir.write_file("a/f1", 10000);
  dir.make_hardlink("a/f1", "a/f1 second link");
  dir.write_file("a/b/deep", 3000);
  dir.write_file("a/b/c/deeper", 70000);
  dir.write_file(
      "\xff\xfe"
      "bad",
      1);
  dir.write_file("we\"ird\\name\x01\n", 1);
  dir.write_file("d\"q\\x/in", 5000);
  dir.write_file("\xe9t\xe9/inside", 9000);
  if (across) {
    dir.make_hardlink("a/b/deep", "\xe9t\xe9/deep again");
    dir.make_hardlink("a/b/deep", "a/b/c/deep too");
  }
  dir.write_file("empty", 0);
  dir.make_symlink("a/f1", "link");
  dir.write_file("Z.app/Contents/bin", 20000);
  dir.make_dir("hollow");
  const int fd = ::open(dir.at("sparse").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 1 << 20), 0);
  ::close(fd);
}

nlohmann::json json_of(const std::vector<std::string>& args, const std::string& json_path) {
  std::vector<std::string> all = args;
  all.insert(all.end(), {"--json", json_path});
  const ProcessResult run = scan_tree(all);
  EXPECT_EQ(run.exit_code, 0) << run.err;
  return nlohmann::json::parse(read_file(json_path), nullptr, false);
}

// What an import must give as a scan gave it. Which sighting of a hard-linked
// file carries its bytes follows the order of the walk, which another
// program's file need not share: `same_order` compares the listed entries too.
void expect_same_tree(const nlohmann::json& got, const nlohmann::json& want,
                      bool same_order = true) {
  for (const char* key : {"root", "files_found", "dirs_found", "total_size", "large_files",
                          "truncated_sizes", "dir_sizes", "children_map"}) {
    if (std::string_view(key) == "children_map" && !same_order) continue;
    EXPECT_EQ(got[key], want[key]) << key;
  }
}

// The identities of the listed names of multiply-linked files, whichever name
// carries the blocks: that follows the order of each program's walk.
std::map<std::string, HardLink> links_of(const ScanResult& result) {
  std::map<std::string, HardLink> links = testing::listed_hard_links(result);
  for (auto& [path, link] : links) link.counted = false;
  return links;
}

std::shared_ptr<const ScanResult> read_export(const std::string& text) {
  auto imported = read_ncdu_export(text, NcduImportOptions{});
  EXPECT_TRUE(imported.has_value()) << (imported ? "" : imported.error().message);
  return imported ? *imported : std::make_shared<const ScanResult>();
}

TEST(ScanTreeNcdu, OurImportOfOurExportEqualsTheScanAtEachDepth) {
  TempDir dir;
  build_tree(dir);
  TempDir out;
  for (const std::string engine : {"bulk-attrs", "jwalk"}) {
    for (const std::string depth : {"", "1"}) {
      SCOPED_TRACE(engine + " depth " + depth);
      std::vector<std::string> scan{"--root", dir.path(), "--engine",
                                    engine,   "--export", out.at("e.json")};
      if (!depth.empty()) scan.insert(scan.end(), {"--tree-depth", depth});
      const nlohmann::json scanned = json_of(scan, out.at("scan.json"));
      std::vector<std::string> import{"--import", out.at("e.json")};
      if (!depth.empty()) import.insert(import.end(), {"--tree-depth", "5"});
      expect_same_tree(json_of(import, out.at("import.json")), scanned);
    }
  }
}

TEST(ScanTreeNcdu, NcduAndGduReadOurExport) {
  TempDir dir;
  build_tree(dir);
  TempDir out;
  const std::string saved = out.at("e.json");
  const nlohmann::json scanned =
      json_of({"--root", dir.path(), "--export", saved}, out.at("scan.json"));
  const std::uint64_t total = scanned["total_size"];
  const std::uint64_t dirs = scanned["dirs_found"];

  const std::string ncdu = installed("ncdu");
  const std::string gdu = installed("gdu");
  if (ncdu.empty() && gdu.empty()) GTEST_SKIP() << "neither ncdu nor gdu is installed";
  if (!ncdu.empty()) {
    const ProcessResult again = run_process({ncdu, "-f", saved, "-o", "-"});
    ASSERT_EQ(again.exit_code, 0) << again.err;
    // Names come back byte for byte, and the sizes add up to the scan's.
    EXPECT_NE(again.out.find("\"name\":\"\xff\xfe"
                             "bad\""),
              std::string::npos);
    EXPECT_NE(again.out.find("\"name\":\"we\\\"ird\\\\name\\u0001\\n\""), std::string::npos);
    const auto reread = read_export(again.out);
    const auto ours = read_export(read_file(saved));
    EXPECT_EQ(links_of(*reread), links_of(*ours));
    EXPECT_EQ(links_of(*ours).size(), 5u);
    EXPECT_EQ(reread->total_size, total);
    EXPECT_EQ(reread->dirs_found, dirs);
    EXPECT_EQ(reread->files_found, scanned["files_found"]);
  }
  if (!gdu.empty()) {
    const ProcessResult summary = run_process({gdu, "-n", "-p", "-s", "--no-prefix", "-f", saved});
    ASSERT_EQ(summary.exit_code, 0) << summary.err;
    // gdu gives every directory, the root included, 4096 bytes of its own
    // whatever the file says.
    EXPECT_EQ(std::strtoull(summary.out.c_str(), nullptr, 10), total + 4096 * (dirs + 1))
        << summary.out;
  }
}

// Which name of a file linked across folders carries its blocks follows the
// order of each program's walk, and so do the sizes of those folders: they are
// compared on a tree whose links stay in one folder, the link identities on
// one with links across folders.
TEST(ScanTreeNcdu, ImportsOfNcduAndGduExportsEqualTheScan) {
  TempDir dir;
  build_tree(dir, false);
  TempDir across;
  build_tree(across);
  TempDir out;
  const nlohmann::json scanned = json_of({"--root", dir.path()}, out.at("scan.json"));
  const std::string ncdu = installed("ncdu");
  const std::string gdu = installed("gdu");
  if (ncdu.empty() && gdu.empty()) GTEST_SKIP() << "neither ncdu nor gdu is installed";
  if (!ncdu.empty()) {
    const ProcessResult saved = run_process({ncdu, "-o", out.at("ncdu.json"), dir.path()});
    ASSERT_EQ(saved.exit_code, 0) << saved.err;
    expect_same_tree(json_of({"--import", out.at("ncdu.json")}, out.at("n.json")), scanned, false);
    ScanRequest request;
    request.root = across.path();
    const auto ours = scan(request);
    ASSERT_TRUE(ours.has_value()) << ours.error().message;
    const ProcessResult linked = run_process({ncdu, "-o", out.at("across.json"), across.path()});
    ASSERT_EQ(linked.exit_code, 0) << linked.err;
    const auto theirs = read_export(read_file(out.at("across.json")));
    EXPECT_EQ(theirs->total_size, ours->result->total_size);
    EXPECT_EQ(theirs->files_found, ours->result->files_found);
    EXPECT_EQ(links_of(*theirs), links_of(*ours->result));
    EXPECT_EQ(links_of(*theirs).size(), 5u);
  }
  if (!gdu.empty()) {
    const ProcessResult saved = run_process({gdu, "-n", "-o", out.at("gdu.json"), dir.path()});
    ASSERT_EQ(saved.exit_code, 0) << saved.err;
    expect_same_tree(json_of({"--import", out.at("gdu.json")}, out.at("g.json")), scanned, false);
  }
}

TEST(ScanTreeNcdu, AnExcludedPathIsMarkedAndLeftOutAgain) {
  TempDir dir;
  build_tree(dir);
  TempDir out;
  const nlohmann::json scanned =
      json_of({"--root", dir.path(), "--exclude", dir.at("a"), "--exclude", dir.at("nowhere"),
               "--exclude", dir.at("empty"), "--export", out.at("e.json")},
              out.at("scan.json"));
  const std::string saved = read_file(out.at("e.json"));
  EXPECT_NE(saved.find(",\n{\"name\":\"a\",\"excluded\":\"pattern\"}]]\n"), std::string::npos);
  EXPECT_EQ(saved.find("nowhere"), std::string::npos);
  EXPECT_EQ(saved.find("\"empty\",\"excluded\""), std::string::npos);  // a file: listed
  expect_same_tree(json_of({"--import", out.at("e.json")}, out.at("import.json")), scanned);
}

TEST(ScanTreeNcdu, AHostileFileIsRefusedWithItsPlace) {
  TempDir out;
  const std::string file = out.write_text("bad.json",
                                          "[1,0,{},\n[{\"name\":\"/r\"},\n"
                                          "{\"name\":\"..\"}]]");
  const ProcessResult run = scan_tree({"--import", file});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.err, "error: " + file + ":3:9: a name must not be \"..\"\n");
  EXPECT_EQ(run.out, "");
  const ProcessResult missing = scan_tree({"--import", out.at("missing.json")});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.err, "failed to read " + out.at("missing.json") +
                             ": No such file or directory (os error 2)\n");
}

}  // namespace
}  // namespace tessaly::scan_tree
