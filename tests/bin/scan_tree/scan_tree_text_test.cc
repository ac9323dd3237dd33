#include "bin/scan_tree/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tessaly::scan_tree {
namespace {

TEST(ScanTreeHumanSize, BytesBelowOneKibibyte) {
  EXPECT_EQ(human_size(0), "0 B");
  EXPECT_EQ(human_size(1), "1 B");
  EXPECT_EQ(human_size(1023), "1023 B");
}

TEST(ScanTreeHumanSize, OneDecimalRoundedHalfUp) {
  EXPECT_EQ(human_size(1024), "1.0 KiB");
  EXPECT_EQ(human_size(1536), "1.5 KiB");
  // 1.05 KiB is 1075.2 bytes: the byte below it rounds down, the one above up.
  EXPECT_EQ(human_size(1075), "1.0 KiB");
  EXPECT_EQ(human_size(1076), "1.1 KiB");
  EXPECT_EQ(human_size(524'288'000), "500.0 MiB");
  EXPECT_EQ(human_size(std::uint64_t{5} << 30), "5.0 GiB");
  EXPECT_EQ(human_size(std::uint64_t{3} << 40), "3.0 TiB");
  EXPECT_EQ(human_size(std::uint64_t{7} << 50), "7.0 PiB");
  EXPECT_EQ(human_size(std::uint64_t{1} << 60), "1.0 EiB");
}

TEST(ScanTreeHumanSize, RoundingUpToTheNextUnitChangesTheUnit) {
  EXPECT_EQ(human_size(1024 * 1024 - 1), "1.0 MiB");
  EXPECT_EQ(human_size(1024 * 1024 - 52), "1023.9 KiB");
  EXPECT_EQ(human_size(UINT64_MAX), "16.0 EiB");
}

TEST(ScanTreeHumanSize, NeverLongerThanTenCharacters) {
  for (std::uint64_t bytes = 1; bytes < UINT64_MAX / 3; bytes = bytes * 3 + 1) {
    EXPECT_LE(human_size(bytes).size(), 10u) << bytes;
    EXPECT_LE(human_size(bytes - 1).size(), 10u) << bytes - 1;
  }
  EXPECT_EQ(human_size(1048575 - 52).size(), 10u);
}

TEST(ScanTreeEscape, ControlCharactersBecomeVisible) {
  EXPECT_EQ(escape_for_display("plain name.txt"), "plain name.txt");
  EXPECT_EQ(escape_for_display("a\nb\tc\rd"), "a\\nb\\tc\\rd");
  EXPECT_EQ(escape_for_display("\x1b[31mred"), "\\x1b[31mred");
  EXPECT_EQ(escape_for_display(std::string("nul\0x", 5)), "nul\\x00x");
  EXPECT_EQ(escape_for_display("del\x7f"), "del\\x7f");
  // C1 controls and the right-to-left override.
  EXPECT_EQ(escape_for_display("\xc2\x9b"
                               "2J"),
            "\\u009b2J");
  EXPECT_EQ(escape_for_display("txt.\xe2\x80\xae"
                               "exe"),
            "txt.\\u202eexe");
  EXPECT_EQ(escape_for_display("\xe2\x81\xa6x"), "\\u2066x");
}

TEST(ScanTreeEscape, KeepsOrdinaryUnicodeAndShowsStrayBytes) {
  EXPECT_EQ(escape_for_display("caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xef\xbf\xbd"),
            "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xef\xbf\xbd");
  EXPECT_EQ(escape_for_display("a\xff"
                               "b"),
            "a\\xffb");
  EXPECT_EQ(escape_for_display("cut\xe6\x97"), "cut\\xe6\\x97");
}

TEST(ScanTreeDisplayWidth, CountsColumnsNotBytes) {
  EXPECT_EQ(display_width(""), 0u);
  EXPECT_EQ(display_width("abc"), 3u);
  EXPECT_EQ(display_width("caf\xc3\xa9"), 4u);
  // "e" and a combining acute accent.
  EXPECT_EQ(display_width("cafe\xcc\x81"), 4u);
  // Two CJK characters, two columns each.
  EXPECT_EQ(display_width("\xe6\x97\xa5\xe6\x9c\xac"), 4u);
  // U+2588 FULL BLOCK is one column.
  EXPECT_EQ(display_width("\xe2\x96\x88"), 1u);
}

TEST(ScanTreeFit, KeepStartCutsTheTail) {
  EXPECT_EQ(fit_keep_start("short", 10), "short");
  EXPECT_EQ(fit_keep_start("exactly-10", 10), "exactly-10");
  EXPECT_EQ(fit_keep_start("a-much-longer-name", 10), "a-much-...");
  EXPECT_EQ(fit_keep_start("abcdef", 2), "..");
  // A wide character that does not fit whole is left out.
  EXPECT_EQ(fit_keep_start("ab\xe6\x97\xa5\xe6\x9c\xac"
                           "cd",
                           7),
            "ab\xe6\x97\xa5...");
  EXPECT_EQ(fit_keep_start("abc\xe6\x97\xa5\xe6\x9c\xacx", 7), "abc...");
}

TEST(ScanTreeFit, KeepEndCutsTheHead) {
  EXPECT_EQ(fit_keep_end("/short", 10), "/short");
  EXPECT_EQ(fit_keep_end("/a/long/path/file.iso", 12), ".../file.iso");
  EXPECT_EQ(fit_keep_end("\xe6\x97\xa5\xe6\x9c\xac\xe6\x97\xa5x", 6), "...\xe6\x97\xa5x");
  // The accent is not left hanging on the dots.
  EXPECT_EQ(fit_keep_end("xxxxe\xcc\x81z", 4), "...z");
  EXPECT_EQ(fit_keep_end("abcdef", 0), "");
}

TEST(ScanTreeFit, PadLeftByColumns) {
  EXPECT_EQ(pad_left("1 B", 6), "   1 B");
  EXPECT_EQ(pad_left("\xe6\x97\xa5", 3), " \xe6\x97\xa5");
  EXPECT_EQ(pad_left("toolong", 3), "toolong");
}

}  // namespace
}  // namespace tessaly::scan_tree
