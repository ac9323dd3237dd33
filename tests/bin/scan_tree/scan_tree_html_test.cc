// The treemap page: its data against the result, hostile names, and the page
// itself in a real headless browser.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bin/scan_tree/html_output.h"
#include "bin/scan_tree/html_page.h"
#include "result/aggregator.h"
#include "support/temp_tree.h"

namespace tessaly::scan_tree {
namespace {

using nlohmann::json;
using testing::entry_names;
using testing::ProcessResult;
using testing::read_file;
using testing::run_process;
using testing::TempDir;

using Kind = PageNodeKind;
constexpr auto kNone = PageNode::kNoParent;
const std::string kHostile = "<img src=x onerror=alert(1)>";

std::shared_ptr<const std::string> at(std::string path) {
  return std::make_shared<const std::string>(std::move(path));
}

// /r: files f1..f5 (50, 40, 30, 20, 10 bytes), a/ with x (100), y (0) and
// b/, whose file z (70) lies below the tree depth of 2.
std::shared_ptr<const ScanResult> known_result() {
  ScanAggregator aggregator("/r", 2);
  const auto root = at("/r");
  for (int i = 1; i <= 5; ++i)
    aggregator.record_file(root, "f" + std::to_string(i), 1, 60 - 10 * i);
  aggregator.record_directory(root, "a", 1);
  aggregator.record_file(at("/r/a"), "y", 2, 0);
  aggregator.record_file(at("/r/a"), "x", 2, 100);
  aggregator.record_directory(at("/r/a"), "b", 2);
  aggregator.record_file(at("/r/a/b"), "z", 3, 70);
  return aggregator.finish().result;
}

// Every directory's entries sum to its size.
void expect_entries_add_up(const std::vector<PageNode>& nodes) {
  std::vector<std::uint64_t> sums(nodes.size(), 0);
  for (std::size_t i = 1; i < nodes.size(); ++i) {
    ASSERT_LT(nodes[i].parent, i);
    sums[nodes[i].parent] += nodes[i].size;
  }
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].kind == Kind::kDirectory) {
      EXPECT_EQ(sums[i], nodes[i].size) << nodes[i].name;
    }
  }
}

TEST(ScanTreeHtmlData, KeepsTheLargestAndFoldsTheRest) {
  const auto shared = known_result();
  const ScanResult& result = *shared;
  const std::vector<PageNode> expected = {
      {kNone, Kind::kDirectory, 320, "/r", 0}, {0, Kind::kDirectory, 170, "a", 0},
      {0, Kind::kItem, 50, "f1", 0},           {0, Kind::kItem, 40, "f2", 0},
      {0, Kind::kSmaller, 60, "", 3},          {1, Kind::kItem, 100, "x", 0},
      {1, Kind::kUnlisted, 70, "b", 0},        {1, Kind::kItem, 0, "y", 0}};
  const auto nodes = build_page_tree(result, PageLimits{3, 100});
  ASSERT_EQ(nodes.size(), expected.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(nodes[i].parent, expected[i].parent) << i;
    EXPECT_EQ(nodes[i].kind, expected[i].kind) << i;
    EXPECT_EQ(nodes[i].size, expected[i].size) << i;
    EXPECT_EQ(nodes[i].name, expected[i].name) << i;
    EXPECT_EQ(nodes[i].count, expected[i].count) << i;
  }
  expect_entries_add_up(nodes);

  // A single leftover child is drawn, not folded.
  const auto five = build_page_tree(result, PageLimits{5, 100});
  EXPECT_EQ(five.size(), 10u);
  for (const PageNode& node : five) EXPECT_NE(node.kind, Kind::kSmaller);
  expect_entries_add_up(five);

  // Out of budget: directories keep their size as one folded entry.
  const auto tight = build_page_tree(result, PageLimits{100, 2});
  ASSERT_EQ(tight.size(), 4u);
  EXPECT_EQ(tight[1].name, "a");
  EXPECT_EQ(tight[2].kind, Kind::kSmaller);
  EXPECT_EQ(tight[2].count, 5u);
  EXPECT_EQ(tight[2].size, 150u);
  EXPECT_EQ(tight[3].parent, 1u);
  EXPECT_EQ(tight[3].kind, Kind::kSmaller);
  EXPECT_EQ(tight[3].count, 3u);
  expect_entries_add_up(tight);
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
  ScanAggregator aggregator("/r<b>", 3);
  const auto root = at("/r<b>");
  const std::vector<std::string> names = {kHostile, "</script><script>alert(1)</script>", "<!--",
                                          "a&amp;b\"'\\", "\xe2\x80\xa8"};
  for (std::size_t i = 0; i < names.size(); ++i) aggregator.record_file(root, names[i], 1, 10 + i);
  const auto shared = aggregator.finish().result;
  const ScanResult& result = *shared;
  PageFacts facts;
  facts.engine = "</script>";
  const std::string data = page_data_json(result, build_page_tree(result), facts);
  EXPECT_EQ(data.find_first_of("<>&"), std::string::npos);

  const std::string page = html_page(data, 7);
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_EQ(page.find("<!--"), std::string::npos);
  EXPECT_EQ(page.find("innerHTML"), std::string::npos);
  EXPECT_EQ(data_block(page), data);
  const json parsed = json::parse(data);
  EXPECT_EQ(parsed["root"], "/r<b>");
  EXPECT_EQ(parsed["engine"], "</script>");
  std::set<std::string> shown;
  for (const json& node : parsed["nodes"]) shown.insert(node[3].get<std::string>());
  for (const std::string& name : names) EXPECT_TRUE(shown.contains(name)) << name;
}

// The text path of every page node, as the JSON output keys directories.
std::vector<std::string> node_paths(const json& nodes) {
  std::vector<std::string> paths;
  for (const json& node : nodes) {
    const long long parent = node[0].get<long long>();
    if (parent < 0 || static_cast<std::size_t>(parent) >= paths.size()) {
      paths.push_back(node[3].get<std::string>());
    } else if (node[1] == 3) {
      paths.push_back("");
    } else {
      paths.push_back(paths[parent] + "/" + node[3].get<std::string>());
    }
  }
  return paths;
}

class HtmlTree {
 public:
  HtmlTree() {
    dir.write_file("big/one.bin", 160 * 1024);
    dir.write_file("big/two.bin", 120 * 1024);
    dir.write_file("big/three.bin", 80 * 1024);
    dir.write_file("mid/inner/four.bin", 100 * 1024);
    dir.write_file("mid/five.bin", 60 * 1024);
    dir.write_file("small/six.bin", 40 * 1024);
    dir.write_file("top.bin", 120 * 1024);
    dir.make_dir("empty");
    dir.write_file(kHostile, 48 * 1024);
    dir.write_file("bad\xff", 24 * 1024);
    for (int i = 0; i < 120; ++i) dir.write_file("many/f" + std::to_string(i), 4096);
  }
  TempDir dir;
};

TEST(ScanTreeHtmlFile, MatchesTheJsonOutput) {
  HtmlTree tree;
  TempDir out;
  const ProcessResult r = run_process({SCAN_TREE_BINARY, "--root", tree.dir.path(), "--html",
                                       out.at("page.html"), "--json", out.at("result.json")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.out.ends_with("\nJSON written to " + out.at("result.json") + "\nHTML written to " +
                              out.at("page.html") + "\n"));
  EXPECT_EQ(entry_names(out.path()), (std::vector<std::string>{"page.html", "result.json"}));
  const json result = json::parse(read_file(out.at("result.json")));
  const json page = json::parse(data_block(read_file(out.at("page.html"))));
  EXPECT_EQ(page["root"], result["root"]);
  EXPECT_EQ(page["files"], result["files_found"]);
  EXPECT_EQ(page["dirs"], result["dirs_found"]);
  EXPECT_EQ(page["size"], result["total_size"]);

  const json& nodes = page["nodes"];
  const std::vector<std::string> paths = node_paths(nodes);
  std::map<long long, std::vector<std::size_t>> children;
  for (std::size_t i = 1; i < nodes.size(); ++i) children[nodes[i][0]].push_back(i);
  EXPECT_EQ(nodes[0][0], -1);
  EXPECT_EQ(nodes[0][2], result["dir_sizes"].at(result["root"].get<std::string>()));
  std::size_t folded = 0;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const int kind = nodes[i][1];
    if (i > 0) {
      ASSERT_LT(nodes[i][0].get<std::size_t>(), i);
    }
    if (kind == 0) {
      const json& list = result["children_map"].at(paths[nodes[i][0].get<std::size_t>()]);
      const auto found = std::find_if(list.begin(), list.end(),
                                      [&](const json& c) { return c["name"] == nodes[i][3]; });
      ASSERT_NE(found, list.end()) << paths[i];
      EXPECT_EQ((*found)["size"], nodes[i][2]) << paths[i];
      EXPECT_EQ((*found)["is_dir"], false) << paths[i];
    }
    if (kind == 1 || kind == 2) {
      EXPECT_EQ(result["dir_sizes"].at(paths[i]), nodes[i][2]) << paths[i];
      // Only an empty directory has neither a listing nor bytes below the
      // tree depth.
      EXPECT_EQ(kind == 1, result["children_map"].contains(paths[i]) || nodes[i][2] == 0)
          << paths[i];
    }
    if (kind != 1 || !result["children_map"].contains(paths[i])) continue;
    // Drawn entries plus the folded ones are the directory's whole listing
    // and its whole size.
    std::uint64_t sum = 0;
    std::size_t entries = 0;
    for (const std::size_t k : children[static_cast<long long>(i)]) {
      sum += nodes[k][2].get<std::uint64_t>();
      entries += nodes[k][1] == 3 ? nodes[k][3].get<std::size_t>() : 1;
      if (nodes[k][1] == 3) ++folded;
      EXPECT_NE(nodes[k][1], 4) << paths[i];
    }
    EXPECT_EQ(sum, nodes[i][2].get<std::uint64_t>()) << paths[i];
    EXPECT_EQ(entries, result["children_map"].at(paths[i]).size()) << paths[i];
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
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (const char* name : {"chromium", "chromium-browser"}) {
    std::size_t start = 0;
    while (start <= dirs.size()) {
      std::size_t end = dirs.find(':', start);
      if (end == std::string::npos) end = dirs.size();
      const std::string candidate = dirs.substr(start, end - start) + "/" + name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      start = end + 1;
    }
  }
  return "";
}

// Headless Chromium with a fresh profile that never reaches the network.
ProcessResult chromium(const std::string& binary, const std::vector<std::string>& extra) {
  TempDir profile;
  std::vector<std::string> args = {binary,
                                   "--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--disable-quic",
                                   "--no-first-run",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--host-resolver-rules=MAP * ~NOTFOUND",
                                   "--user-data-dir=" + profile.path(),
                                   "--window-size=1280,800"};
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
  for (const auto& [entity, c] : std::vector<std::pair<std::string, std::string>>{
           {"&lt;", "<"}, {"&gt;", ">"}, {"&nbsp;", "\xc2\xa0"}, {"&amp;", "&"}}) {
    for (std::size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at)) {
      text.replace(at, entity.size(), c);
      at += c.size();
    }
  }
  return json::parse(text, nullptr, false);
}

// Each top-level rectangle's area is its share of the map within 1%, and the
// rectangles are exactly the directory's entries that take space.
void expect_drawn_to_scale(const json& view, const json& result, const std::string& dir) {
  const double map_area =
      view.at("map").at("w").get<double>() * view.at("map").at("h").get<double>();
  ASSERT_GT(map_area, 100000.0);
  const double total = result["dir_sizes"].at(dir).get<double>();
  std::set<std::string> expected;
  for (const json& child : result["children_map"].at(dir)) {
    const std::string path = dir + "/" + child["name"].get<std::string>();
    const double bytes =
        child["is_dir"] ? result["dir_sizes"].at(path).get<double>() : child["size"].get<double>();
    if (bytes > 0) expected.insert(child["name"]);
  }
  std::set<std::string> drawn;
  for (const json& cell : view["cells"]) {
    const std::string name = cell["name"];
    drawn.insert(name);
    const std::string path = dir + "/" + name;
    double bytes = -1;
    for (const json& child : result["children_map"].at(dir)) {
      if (child["name"] != name) continue;
      bytes = child["is_dir"] ? result["dir_sizes"].at(path).get<double>()
                              : child["size"].get<double>();
    }
    const double area = cell["w"].get<double>() * cell["h"].get<double>();
    EXPECT_NEAR(area / map_area, bytes / total, 0.01 * bytes / total) << name;
  }
  EXPECT_EQ(drawn, expected);
}

TEST(ScanTreeHtmlBrowser, DrawsToScaleZoomsAndKeepsThePlace) {
  const std::string browser = find_chromium();
  if (browser.empty()) GTEST_SKIP() << "no chromium on PATH (scripts/setup.sh installs it)";
  HtmlTree tree;
  TempDir out;
  const ProcessResult r = run_process({SCAN_TREE_BINARY, "--root", tree.dir.path(), "--html",
                                       out.at("page.html"), "--json", out.at("result.json")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const json result = json::parse(read_file(out.at("result.json")));
  const std::string root = result["root"];
  const std::string url = "file://" + out.at("page.html");

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
