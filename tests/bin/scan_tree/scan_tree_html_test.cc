// The treemap page: its data against the result, hostile names, and the page
// itself in a real headless browser.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "bin/scan_tree/html_output.h"
#include "bin/scan_tree/html_page.h"
#include "support/result_builder.h"
#include "support/temp_tree.h"

namespace tessaly::scan_tree {
namespace {

using nlohmann::json;
using testing::entry_names;
using testing::ProcessResult;
using testing::read_file;
using testing::run_process;
using testing::TempDir;

const std::string kHostile = "<img src=x onerror=alert(1)>";

// /r: files f1..f5 (50, 40, 30, 20, 10 bytes), a/ with x (100), y (0) and
// b/, whose file z (70) lies below the tree depth of 2.
std::shared_ptr<const ScanResult> known_result() {
  testing::ResultBuilder builder("/r", 2);
  const std::string root = "/r";
  for (int i = 1; i <= 5; ++i) builder.file(root, "f" + std::to_string(i), 1, 60 - 10 * i);
  builder.directory(root, "a", 1);
  builder.file("/r/a", "y", 2, 0);
  builder.file("/r/a", "x", 2, 100);
  builder.directory("/r/a", "b", 2);
  builder.file("/r/a/b", "z", 3, 70);
  return builder.finish();
}

// The nodes as "parent kind size name-or-count" lines, after checking that
// every directory's entries sum to its size.
std::string described(const std::vector<PageNode>& nodes) {
  std::vector<std::uint64_t> sums(nodes.size(), 0);
  std::string text;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const PageNode& n = nodes[i];
    if (i > 0) sums.at(n.parent) += n.size;
    text +=
        fmt::format("{} {} {} {}\n", static_cast<int>(n.parent), static_cast<int>(n.kind), n.size,
                    n.kind == PageNodeKind::kSmaller ? std::to_string(n.count) : n.name);
  }
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_TRUE(nodes[i].kind != PageNodeKind::kDirectory || sums[i] == nodes[i].size) << i;
  }
  return text;
}

TEST(ScanTreeHtmlData, KeepsTheLargestAndFoldsTheRest) {
  const auto result = known_result();
  EXPECT_EQ(described(build_page_tree(*result, PageLimits{3, 100})),
            "-1 1 320 /r\n0 1 170 a\n0 0 50 f1\n0 0 40 f2\n0 3 60 3\n"
            "1 0 100 x\n1 2 70 b\n1 0 0 y\n");
  // A single leftover child is drawn, not folded.
  EXPECT_EQ(described(build_page_tree(*result, PageLimits{5, 100})),
            "-1 1 320 /r\n0 1 170 a\n0 0 50 f1\n0 0 40 f2\n0 0 30 f3\n0 0 20 f4\n"
            "0 0 10 f5\n1 0 100 x\n1 2 70 b\n1 0 0 y\n");
  // Out of budget, directories keep their size as one folded entry.
  EXPECT_EQ(described(build_page_tree(*result, PageLimits{100, 2})),
            "-1 1 320 /r\n0 1 170 a\n0 3 150 5\n1 3 170 3\n");
}

// The data block of a written page.
std::string data_block(const std::string& page) {
  const std::string open = "<script type=\"application/json\" id=\"data\">";
  const std::size_t start = page.find(open);
  if (start == std::string::npos) return "";
  const std::size_t end = page.find("</script>", start);
  return page.substr(start + open.size(), end - start - open.size());
}

TEST(ScanTreeHtmlData, HostileNamesStayData) {
  testing::ResultBuilder builder("/r<b>", 3);
  const std::string root = "/r<b>";
  const std::vector<std::string> names = {kHostile, "</script><script>alert(1)</script>", "<!--",
                                          "a&amp;b\"'\\", "\xe2\x80\xa8"};
  for (std::size_t i = 0; i < names.size(); ++i) builder.file(root, names[i], 1, 10 + i);
  const auto result = builder.finish();
  PageFacts facts;
  facts.engine = "</script>";
  const std::string data = page_data_json(*result, build_page_tree(*result), facts);
  EXPECT_EQ(data.find_first_of("<>&"), std::string::npos);
  const std::string page = html_page(data, 7);
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_EQ(page.find("<!--"), std::string::npos);
  EXPECT_EQ(data_block(page), data);
  const json parsed = json::parse(data);
  EXPECT_EQ(parsed["root"], "/r<b>");
  EXPECT_EQ(parsed["engine"], "</script>");
  std::set<std::string> shown;
  for (const json& node : parsed["nodes"]) shown.insert(node[3].get<std::string>());
  for (const std::string& name : names) EXPECT_TRUE(shown.contains(name)) << name;
}

TEST(ScanTreeHtmlData, TreeDepthIsANumberOrAll) {
  testing::ResultBuilder builder("/r", 3);
  const auto result = builder.finish();
  PageFacts facts;
  facts.tree_depth = 3;
  EXPECT_EQ(json::parse(page_data_json(*result, {}, facts))["tree_depth"], 3);
  facts.tree_depth = kUnlimitedTreeDepth;
  EXPECT_EQ(json::parse(page_data_json(*result, {}, facts))["tree_depth"], "all");
}

// The text path of every page node, as the JSON output keys directories.
std::vector<std::string> node_paths(const json& nodes) {
  std::vector<std::string> paths;
  for (const json& node : nodes) {
    const long long parent = node[0];
    const std::string name = node[1] == 3 ? "" : node[3].get<std::string>();
    const bool nested = parent >= 0 && static_cast<std::size_t>(parent) < paths.size();
    paths.push_back(nested ? paths[parent] + "/" + name : name);
  }
  return paths;
}

// The bytes of each entry of `dir` in the JSON output, by name.
std::map<std::string, double> sizes_in(const json& result, const std::string& dir) {
  std::map<std::string, double> sizes;
  for (const json& child : result["children_map"].at(dir)) {
    const std::string name = child["name"];
    sizes[name] = child["is_dir"] ? result["dir_sizes"].at(dir + "/" + name).get<double>()
                                  : child["size"].get<double>();
  }
  return sizes;
}

// A tree with nested directories, an empty one, a hostile name, a name that
// is not UTF-8 and a directory of more entries than the page draws; scanned
// by scan_tree into page.html and result.json.
struct ScannedTree {
  ScannedTree() {
    const std::vector<std::string> files = {
        "big/one.bin",  "big/two.bin",   "big/three.bin", "mid/inner/four.bin",
        "mid/five.bin", "small/six.bin", "top.bin",       kHostile,
        "bad\xff"};
    const std::vector<int> kib = {160, 120, 80, 100, 60, 40, 120, 48, 24};
    for (std::size_t i = 0; i < files.size(); ++i) dir.write_file(files[i], kib[i] * 1024);
    dir.make_dir("empty");
    for (int i = 0; i < 120; ++i) dir.write_file("many/f" + std::to_string(i), 4096);
    run = run_process({SCAN_TREE_BINARY, "--root", dir.path(), "--html", out.at("page.html"),
                       "--json", out.at("result.json")});
    result = json::parse(read_file(out.at("result.json")), nullptr, false);
  }
  TempDir dir;
  TempDir out;
  ProcessResult run;
  json result;
};

TEST(ScanTreeHtmlFile, MatchesTheJsonOutput) {
  ScannedTree tree;
  const json& result = tree.result;
  ASSERT_EQ(tree.run.exit_code, 0) << tree.run.err;
  EXPECT_TRUE(tree.run.out.ends_with("\nJSON written to " + tree.out.at("result.json") +
                                     "\nHTML written to " + tree.out.at("page.html") + "\n"));
  EXPECT_EQ(entry_names(tree.out.path()), (std::vector<std::string>{"page.html", "result.json"}));
  const json page = json::parse(data_block(read_file(tree.out.at("page.html"))));
  for (const auto& [mine, theirs] :
       std::vector<std::pair<std::string, std::string>>{{"root", "root"},
                                                        {"files", "files_found"},
                                                        {"dirs", "dirs_found"},
                                                        {"size", "total_size"}}) {
    EXPECT_EQ(page[mine], result[theirs]) << mine;
  }

  const json& nodes = page["nodes"];
  const std::vector<std::string> paths = node_paths(nodes);
  EXPECT_EQ(nodes[0][0], -1);
  EXPECT_EQ(nodes[0][2], result["dir_sizes"].at(result["root"].get<std::string>()));
  std::vector<std::uint64_t> sums(nodes.size(), 0);
  std::vector<std::size_t> entries(nodes.size(), 0);
  std::size_t folded = 0;
  for (std::size_t i = 1; i < nodes.size(); ++i) {
    const std::size_t parent = nodes[i][0];
    ASSERT_LT(parent, i);
    const int kind = nodes[i][1];
    EXPECT_NE(kind, 4) << paths[i];
    sums[parent] += nodes[i][2].get<std::uint64_t>();
    entries[parent] += kind == 3 ? nodes[i][3].get<std::size_t>() : 1;
    folded += kind == 3 ? 1 : 0;
    if (kind != 3) {
      EXPECT_EQ(sizes_in(result, paths[parent]).at(nodes[i][3]), nodes[i][2]);
    }
  }
  // Drawn entries plus the folded ones are the directory's whole listing and
  // its whole size; a hatched directory holds bytes but has no listing.
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const bool listed = result["children_map"].contains(paths[i]);
    if (nodes[i][1] == 1) {
      EXPECT_EQ(sums[i], nodes[i][2]) << paths[i];
      EXPECT_EQ(entries[i], listed ? result["children_map"][paths[i]].size() : 0) << paths[i];
    }
    EXPECT_TRUE(nodes[i][1] != 2 || (!listed && nodes[i][2] > 0)) << paths[i];
  }
  EXPECT_EQ(folded, 1u) << "the 120 files of many/ are folded to 100 and one entry";
  // The name that is not UTF-8 shows as the result shows it.
  EXPECT_TRUE(std::any_of(nodes.begin(), nodes.end(),
                          [](const json& n) { return n[3] == "bad\xef\xbf\xbd"; }));
}

TEST(ScanTreeHtmlFile, AnUnwritableTargetFailsBeforeScanning) {
  TempDir dir;
  dir.make_dir("tree");
  const std::string target = dir.at("no-such-dir/page.html");
  const ProcessResult r = run_process({SCAN_TREE_BINARY, "--root", dir.at("tree"), "--html", target,
                                       "--json", dir.at("result.json")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "failed to write " + target + ": No such file or directory (os error 2)\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(entry_names(dir.path()), std::vector<std::string>{"tree"});
}

std::string find_chromium() {
  const ProcessResult r =
      run_process({"/bin/sh", "-c", "command -v chromium || command -v chromium-browser"});
  return r.exit_code == 0 ? r.out.substr(0, r.out.find('\n')) : "";
}

// Headless Chromium with a fresh profile that never reaches the network.
ProcessResult chromium(const std::string& binary, const std::vector<std::string>& extra) {
  TempDir profile;
  std::vector<std::string> args = {binary, "--user-data-dir=" + profile.path()};
  for (const char* flag :
       {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--host-resolver-rules=MAP * ~NOTFOUND", "--window-size=1280,800"}) {
    args.push_back(flag);
  }
  args.insert(args.end(), extra.begin(), extra.end());
  return run_process(args);
}

// The self-test report of the page at `url` (the DOM's text, unescaped).
json self_test(const std::string& binary, const std::string& url, std::string* dom = nullptr) {
  const ProcessResult r = chromium(binary, {"--dump-dom", url});
  if (dom != nullptr) *dom = r.out;
  const std::string open = "<pre id=\"selftest\" hidden=\"\">";
  const std::size_t start = r.out.find(open);
  if (start == std::string::npos) return json();
  const std::size_t end = r.out.find("</pre>", start);
  std::string text = r.out.substr(start + open.size(), end - start - open.size());
  for (const auto& [entity, c] : {std::pair{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}}) {
    for (std::size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at)) {
      text.replace(at++, std::string_view(entity).size(), 1, c);
    }
  }
  return json::parse(text, nullptr, false);
}

// Each top-level rectangle's area is its share of the map within 1%, and the
// rectangles are exactly the directory's entries that take space.
void expect_drawn_to_scale(const json& view, const json& result, const std::string& dir) {
  const double map_area = view.at("map").at("w").get<double>() * view["map"].at("h").get<double>();
  ASSERT_GT(map_area, 100000.0);
  const double total = result["dir_sizes"].at(dir);
  std::map<std::string, double> expected = sizes_in(result, dir);
  std::erase_if(expected, [](const auto& entry) { return entry.second == 0; });
  std::map<std::string, double> drawn;
  for (const json& cell : view["cells"]) {
    const std::string name = cell["name"];
    drawn[name] = expected.contains(name) ? expected[name] : -1;
    const double area = cell["w"].get<double>() * cell["h"].get<double>();
    EXPECT_NEAR(area / map_area, drawn[name] / total, 0.01 * drawn[name] / total) << name;
  }
  EXPECT_EQ(drawn, expected);
}

TEST(ScanTreeHtmlBrowser, DrawsToScaleZoomsAndKeepsThePlace) {
  const std::string browser = find_chromium();
  if (browser.empty()) GTEST_SKIP() << "no chromium on PATH (scripts/setup.sh installs it)";
  ScannedTree tree;
  ASSERT_EQ(tree.run.exit_code, 0) << tree.run.err;
  const json& result = tree.result;
  const std::string root = result["root"];
  const std::string url = "file://" + tree.out.at("page.html");

  std::string dom;
  const json report = self_test(browser, url + "?selftest&click=big", &dom);
  ASSERT_TRUE(report.is_object()) << dom.substr(0, 2000);
  EXPECT_EQ(report["before"]["hash"], "");
  EXPECT_EQ(report["before"]["crumbs"], json::array({root}));
  expect_drawn_to_scale(report["before"], result, root);
  // The hostile name is text in the document, not an element.
  EXPECT_EQ(dom.find("<img"), std::string::npos);
  EXPECT_NE(dom.find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);

  ASSERT_TRUE(report.contains("after")) << "no top-level rectangle named big";
  EXPECT_EQ(report["after"]["hash"], "#/big");
  EXPECT_EQ(report["after"]["crumbs"], json::array({root, "big"}));
  EXPECT_EQ(report["after"]["rows"], 3);
  expect_drawn_to_scale(report["after"], result, root + "/big");
  // Escape goes back up; Enter on a row of the contents table zooms again.
  EXPECT_EQ(report["escaped"]["hash"], "#/");
  EXPECT_EQ(report["escaped"]["crumbs"], json::array({root}));
  EXPECT_EQ(report["entered"]["hash"], "#/big");

  // A reload of the zoomed address opens the same place.
  const json reloaded = self_test(browser, url + "?selftest#/mid/inner");
  ASSERT_TRUE(reloaded.is_object());
  EXPECT_EQ(reloaded["before"]["crumbs"], json::array({root, "mid", "inner"}));
  expect_drawn_to_scale(reloaded["before"], result, root + "/mid/inner");

  const std::string shot =
      (std::filesystem::path(testing::own_program_path()).parent_path() / "scan_tree_treemap.png")
          .string();
  std::filesystem::remove(shot);
  chromium(browser, {"--screenshot=" + shot, url});
  EXPECT_TRUE(read_file(shot).starts_with("\x89PNG\r\n\x1a\n")) << shot;
}

}  // namespace
}  // namespace tessaly::scan_tree
