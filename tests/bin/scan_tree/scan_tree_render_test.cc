#include "bin/scan_tree/render.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <tessaly/text.h>

#include "bin/scan_tree/text.h"
#include "support/result_builder.h"

namespace tessaly::scan_tree {
namespace {

constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * KiB;

// /r: a/ (big 600 KiB, x/ with f 200 KiB), b/ (g 100 KiB), empty/, top 100 KiB.
std::shared_ptr<const ScanResult> sample_result(std::uint64_t tree_depth = 8) {
  testing::ResultBuilder builder("/r", tree_depth);
  const std::string root = "/r";
  const std::string a = "/r/a";
  builder.directory(root, "a", 1);
  builder.file(root, "top", 1, 100 * KiB);
  builder.directory(root, "empty", 1);
  builder.directory(root, "b", 1);
  builder.file(a, "big", 2, 600 * KiB);
  builder.directory(a, "x", 2);
  builder.file("/r/a/x", "f", 3, 200 * KiB);
  builder.file("/r/b", "g", 2, 100 * KiB);
  return builder.finish();
}

RenderOptions plain(std::uint64_t top = 10, std::uint64_t levels = kShownLevels) {
  RenderOptions options;
  options.engine = "jwalk";
  options.elapsed_ms = 42;
  options.top = top;
  options.levels = levels;
  return options;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The text without the colour sequences ("\x1b[" ... "m").
std::string without_colour(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "\x1b[") == 0) {
      const std::size_t end = text.find('m', i);
      if (end != std::string::npos) {
        i = end;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

TEST(ScanTreeShare, OneDecimalRoundedHalfUp) {
  EXPECT_EQ(share_text(1, 3), "33.3%");
  EXPECT_EQ(share_text(2, 3), "66.7%");
  EXPECT_EQ(share_text(1, 2000), "0.1%");
  EXPECT_EQ(share_text(1, 2001), "0.0%");
  EXPECT_EQ(share_text(5, 5), "100.0%");
  EXPECT_EQ(share_text(0, 0), "0.0%");
  EXPECT_EQ(share_text(9, 5), "100.0%");
  EXPECT_EQ(share_text(UINT64_MAX / 2, UINT64_MAX), "50.0%");
}

TEST(ScanTreeBar, PlainBarsAreTwentyColumnsOfHashesAndDots) {
  EXPECT_EQ(bar_text(0, 100, false), "....................");
  EXPECT_EQ(bar_text(100, 100, false), "####################");
  EXPECT_EQ(bar_text(25, 100, false), "#####...............");
  EXPECT_EQ(bar_text(1, 41, false), "....................");
  EXPECT_EQ(bar_text(1, 40, false), "#...................");
  EXPECT_EQ(bar_text(7, 0, false), "....................");
}

TEST(ScanTreeBar, TerminalBarsUseEighthsAndKeepTheirWidth) {
  std::string full;
  for (int i = 0; i < 20; ++i) full += "\u2588";
  EXPECT_EQ(bar_text(100, 100, true), full);
  EXPECT_EQ(bar_text(0, 100, true), std::string(20, ' '));
  // 1/16 of 20 columns is 10 eighths: one full block and a quarter block.
  EXPECT_EQ(bar_text(1, 16, true), "\u2588\u258E" + std::string(18, ' '));
  for (std::uint64_t part = 0; part <= 160; ++part) {
    EXPECT_EQ(display_width(bar_text(part, 160, true)), kBarColumns) << part;
  }
}

TEST(ScanTreeRender, PlainReportOfAKnownTree) {
  const auto result = sample_result();
  const std::string expected =
      "root         /r\n"
      "engine       jwalk\n"
      "files        4\n"
      "directories  4\n"
      "size         1000.0 KiB (1024000 bytes)\n"
      "elapsed      42 ms\n"
      "\n"
      "Largest directories (3 levels, top 10 each)\n"
      "1000.0 KiB 100.0%  ####################  /r\n"
      " 800.0 KiB  80.0%  ################....    a/\n"
      " 200.0 KiB  25.0%  #####...............      x/\n"
      " 200.0 KiB 100.0%  ####################        (1 file)\n"
      " 600.0 KiB  75.0%  ###############.....      (1 file)\n"
      " 100.0 KiB  10.0%  ##..................    b/\n"
      " 100.0 KiB 100.0%  ####################      (1 file)\n"
      "       0 B   0.0%  ....................    empty/\n"
      " 100.0 KiB  10.0%  ##..................    (1 file)\n"
      "\n"
      "Large files (500 MiB or more): none\n";
  EXPECT_EQ(render_report(*result, plain()), expected);
}

TEST(ScanTreeRender, TopLimitsTheDirectoriesShownAndSumsTheRest) {
  const auto result = sample_result();
  const std::string text = render_report(*result, plain(1));
  EXPECT_NE(text.find("Largest directories (3 levels, top 1 each)\n"
                      "1000.0 KiB 100.0%  ####################  /r\n"
                      " 800.0 KiB  80.0%  ################....    a/\n"
                      " 200.0 KiB  25.0%  #####...............      x/\n"
                      " 200.0 KiB 100.0%  ####################        (1 file)\n"
                      " 600.0 KiB  75.0%  ###############.....      (1 file)\n"
                      " 100.0 KiB  10.0%  ##..................    (2 more directories)\n"
                      " 100.0 KiB  10.0%  ##..................    (1 file)\n"
                      "\n"),
            std::string::npos)
      << text;
}

TEST(ScanTreeRender, LevelsAndTreeDepthBoundTheTree) {
  const auto result = sample_result();
  const std::string one_level = render_report(*result, plain(10, 1));
  EXPECT_NE(one_level.find("Largest directories (1 level, top 10 each)\n"
                           "1000.0 KiB 100.0%  ####################  /r\n"
                           " 800.0 KiB  80.0%  ################....    a/\n"
                           " 100.0 KiB  10.0%  ##..................    b/\n"
                           "       0 B   0.0%  ....................    empty/\n"
                           " 100.0 KiB  10.0%  ##..................    (1 file)\n"
                           "\n"),
            std::string::npos)
      << one_level;

  // With a tree depth of 1 the directories at depth 1 hold their contents as
  // one folded size and have no rows below them.
  const auto shallow = sample_result(1);
  const std::string text = render_report(*shallow, plain());
  EXPECT_NE(text.find(" 800.0 KiB  80.0%  ################....    a/\n"
                      " 100.0 KiB  10.0%  ##..................    b/\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("x/"), std::string::npos);

  const auto flat = sample_result(0);
  const std::string root_only = render_report(*flat, plain(10, 0));
  EXPECT_NE(root_only.find("Largest directories (0 levels, top 10 each)\n"
                           "1000.0 KiB 100.0%  ####################  /r\n\n"),
            std::string::npos)
      << root_only;
}

TEST(ScanTreeRender, LargeFilesLargestFirstWithTheRestSummed) {
  testing::ResultBuilder builder("/r", 8);
  const std::string root = "/r";
  builder.file(root, "one", 1, 600 * MiB);
  builder.file(root, "two", 1, 700 * MiB);
  builder.file(root, "three", 1, 500 * MiB);
  builder.subtree_total(SubtreeTotal{"/r", "Big.app", 800 * MiB, 1});
  const auto result = builder.finish();
  const std::string text = render_report(*result, plain(2));
  EXPECT_TRUE(
      text.ends_with("Large files (500 MiB or more): 4\n"
                     " 800.0 MiB  /r/Big.app\n"
                     " 700.0 MiB  /r/two\n"
                     "   1.1 GiB  (2 more)\n"))
      << text;
  EXPECT_NE(text.find("   2.5 GiB 100.0%  ####################  /r\n"
                      "   2.5 GiB 100.0%  ####################    (4 files)\n"),
            std::string::npos)
      << text;
}

TEST(ScanTreeRender, EveryLineFitsEightyColumns) {
  const std::string long_name(200, 'n');
  const std::string wide_name = [] {
    std::string s;
    for (int i = 0; i < 60; ++i) s += "\xe6\x97\xa5";
    return s;
  }();
  const std::string root = "/" + std::string(120, 'r');
  testing::ResultBuilder builder(root, 8);
  std::string dir = root;
  for (int depth = 1; depth <= 4; ++depth) {
    builder.directory(dir, depth % 2 == 0 ? long_name : wide_name,
                      static_cast<std::uint64_t>(depth));
    dir = join_raw_path(dir, depth % 2 == 0 ? long_name : wide_name);
    builder.file(dir, long_name, static_cast<std::uint64_t>(depth + 1), kLargeFileThreshold);
  }
  const auto result = builder.finish();
  for (const bool terminal : {false, true}) {
    RenderOptions options = plain();
    options.terminal = terminal;
    options.top = 18446744073709551615u;
    const std::string text = render_report(*result, options);
    for (const std::string& line : lines_of(without_colour(text))) {
      EXPECT_LE(display_width(line), kLineColumns) << line;
    }
    EXPECT_NE(text.find("nnn..."), std::string::npos);
    EXPECT_EQ(text.find(long_name), std::string::npos);
  }
}

TEST(ScanTreeRender, NamesAreEscapedAndRawNamesStillFindTheirSizes) {
  testing::ResultBuilder builder("/r", 8);
  const std::string root = "/r";
  builder.directory(root, "bad\xff", 1);
  builder.file("/r/bad\xff", "f", 2, 8 * KiB);
  builder.directory(root, "bad\xfe", 1);
  builder.file("/r/bad\xfe", "g", 2, 4 * KiB);
  builder.directory(root, "evil\x1b[2J\n", 1);
  const auto result = builder.finish();
  const std::string text = render_report(*result, plain());
  EXPECT_NE(text.find("Largest directories (3 levels, top 10 each)\n"
                      "  12.0 KiB 100.0%  ####################  /r\n"
                      "   8.0 KiB  66.7%  #############.......    bad\uFFFD/\n"
                      "   8.0 KiB 100.0%  ####################      (1 file)\n"
                      "   4.0 KiB  33.3%  #######.............    bad\uFFFD/\n"
                      "   4.0 KiB 100.0%  ####################      (1 file)\n"
                      "       0 B   0.0%  ....................    evil\\x1b[2J\\n/\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
}

TEST(ScanTreeRender, TerminalReportIsColouredWithTheSameLayout) {
  const auto result = sample_result();
  RenderOptions options = plain();
  options.terminal = true;
  const std::string text = render_report(*result, options);
  EXPECT_NE(text.find("\x1b[1mroot         \x1b[0m/r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    \x1b[1;34ma/\x1b[0m\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\x1b[2m(1 file)\x1b[0m"), std::string::npos) << text;

  // Apart from colour and bar glyphs the lines match the plain report.
  const std::vector<std::string> plain_lines = lines_of(render_report(*result, plain()));
  const std::vector<std::string> terminal_lines = lines_of(without_colour(text));
  ASSERT_EQ(plain_lines.size(), terminal_lines.size());
  for (std::size_t i = 0; i < plain_lines.size(); ++i) {
    EXPECT_EQ(display_width(plain_lines[i]), display_width(terminal_lines[i])) << i;
    if (plain_lines[i].find('#') == std::string::npos &&
        plain_lines[i].find("....") == std::string::npos) {
      EXPECT_EQ(plain_lines[i], terminal_lines[i]);
    }
  }
}

}  // namespace
}  // namespace tessaly::scan_tree
