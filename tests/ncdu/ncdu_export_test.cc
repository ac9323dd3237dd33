#include <limits.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <tessaly/ncdu_export.h>

#include "support/result_builder.h"

namespace tessaly {
namespace {

using testing::ResultBuilder;

std::string export_text(const ScanResult& result, const NcduExportOptions& options = {}) {
  std::string text;
  const bool written = write_ncdu_export(result, options, [&](std::string_view chunk) {
    text.append(chunk);
    return true;
  });
  EXPECT_TRUE(written);
  return text;
}

std::shared_ptr<const ScanResult> import_ok(std::string_view text, std::uint64_t depth = 8) {
  NcduImportOptions options;
  options.tree_depth = depth;
  auto imported = read_ncdu_export(text, options);
  EXPECT_TRUE(imported.has_value())
      << (imported ? "" : imported.error().message) << " at "
      << (imported ? 0 : imported.error().line) << ":" << (imported ? 0 : imported.error().column);
  return imported ? *imported : std::make_shared<const ScanResult>();
}

// Counts, sizes of every directory, the listed entries and the large files.
void expect_same(const ScanResult& got, const ScanResult& want) {
  EXPECT_EQ(got.files_found, want.files_found);
  EXPECT_EQ(got.dirs_found, want.dirs_found);
  EXPECT_EQ(got.total_size, want.total_size);
  EXPECT_EQ(got.tree_depth, want.tree_depth);
  EXPECT_TRUE(got.children_map == want.children_map);
  EXPECT_TRUE(got.truncated_sizes == want.truncated_sizes);
  EXPECT_TRUE(got.dir_sizes == want.dir_sizes);
  EXPECT_EQ(got.large_files, want.large_files);
}

TEST(NcduExport, ExactBytesOfAKnownResult) {
  ResultBuilder builder("/r", kUnlimitedTreeDepth);
  builder.file("/r", "q\"b\\s\n\x01\x7f", 1, 100);
  builder.directory("/r", "a", 1);
  builder.file("/r/a", "\xff\xfe", 2, 4096);
  builder.file("/r/a", "second link", 2, 0);
  builder.directory("/r", "empty", 1);
  builder.subtree_total(SubtreeTotal{"/r", "X.app", 8192, 1});
  const auto result = builder.finish();
  const std::vector<std::string> unreadable{"/r/a/"};
  const std::vector<std::string> excluded{"/r/a/skipped/", "/r/empty/gone/deeper", "/"};
  NcduExportOptions options;
  options.root_device = 2049;
  options.unreadable_directories = unreadable;
  options.excluded_paths = excluded;
  options.timestamp = 1700000000;
  const std::string text = export_text(*result, options);
  EXPECT_TRUE(text.starts_with("[1,2,{\"progname\":\"tessaly\",\"progver\":\"")) << text;
  EXPECT_EQ(text.substr(text.find("\",\"timestamp\":")),
            "\",\"timestamp\":1700000000},\n"
            "[{\"name\":\"/r\",\"dev\":2049},\n"
            "{\"name\":\"q\\\"b\\\\s\\n\\u0001\x7f\",\"dsize\":100},\n"
            "[{\"name\":\"a\",\"read_error\":true},\n"
            "{\"name\":\"\xff\xfe\",\"dsize\":4096},\n"
            "{\"name\":\"second link\",\"dsize\":0},\n"
            "{\"name\":\"skipped\",\"excluded\":\"pattern\"}],\n"
            "[{\"name\":\"empty\"}],\n"
            "{\"name\":\"X.app\",\"dsize\":8192}]]\n");
}

TEST(NcduExport, AFoldedResultSaysSoAndImportsAsItWas) {
  ResultBuilder builder("/r", 1);
  builder.directory("/r", "a", 1);
  builder.directory("/r/a", "b", 2);
  builder.file("/r/a/b", "big", 3, kLargeFileThreshold);
  builder.file("/r/a", "f", 2, 10);
  builder.directory("/r", "hollow", 1);
  builder.directory("/r/hollow", "inner", 2);
  builder.file("/r", "top", 1, 7);
  const auto result = builder.finish();
  const std::string text = export_text(*result);
  EXPECT_NE(text.find(",\"folded_depth\":1,\"files_found\":3,\"dirs_found\":4},\n"
                      "[{\"name\":\"/r\"},\n"
                      "[{\"name\":\"a\",\"dsize\":524288010}],\n"
                      "[{\"name\":\"hollow\"}],\n"),
            std::string::npos)
      << text;
  // Read at a greater depth: the file's fold wins. The large file lies inside
  // a folded directory, so the file cannot name it.
  const auto imported = import_ok(text, 8);
  EXPECT_EQ(imported->tree_depth, 1u);
  EXPECT_EQ(imported->files_found, 3u);
  EXPECT_EQ(imported->dirs_found, 4u);
  EXPECT_EQ(imported->total_size, result->total_size);
  EXPECT_TRUE(imported->dir_sizes == result->dir_sizes);
  EXPECT_TRUE(imported->children_map == result->children_map);
  EXPECT_TRUE(imported->large_files.empty());
  // Read shallower still.
  const auto root_only = import_ok(text, 0);
  EXPECT_EQ(*root_only->dir_size("/r"), result->total_size);
  EXPECT_EQ(root_only->files_found, 3u);
  const std::string again = export_text(*root_only);
  EXPECT_EQ(again.substr(again.find("},\n")), "},\n[{\"name\":\"/r\",\"dsize\":524288017}]]\n");
}

// An export as ncdu writes one, with what a scan of its tree would record.
constexpr std::string_view kNcduStyle =
    "[1,2,{\"progname\":\"ncdu\",\"progver\":\"1.18\",\"timestamp\":1},\n"
    "[{\"name\":\"/t\",\"asize\":4096,\"dsize\":4096,\"dev\":5,\"future\":[{\"x\":[1,2.5e3]}]},\n"
    "{\"name\":\"link\",\"asize\":2,\"notreg\":true},\n"
    "{\"name\":\"skip\",\"dsize\":4096,\"excluded\":\"pattern\"},\n"
    "[{\"name\":\"mnt\",\"dsize\":4096,\"dev\":6},\n{\"name\":\"other\",\"dsize\":4096}],\n"
    "[{\"name\":\"gone\",\"excluded\":\"otherfs\"}],\n"
    "[{\"name\":\"B.app\",\"dsize\":4096},\n"
    "[{\"name\":\"C\",\"dsize\":4096},\n{\"name\":\"in\",\"dsize\":8192},\n"
    "{\"name\":\"l\",\"notreg\":true}],\n"
    "{\"name\":\"h2\",\"dsize\":12288,\"ino\":9,\"hlnkc\":true,\"nlink\":3}],\n"
    "[{\"name\":\"a\",\"dsize\":4096,\"read_error\":true},\n"
    "[{\"name\":\"caf\\u00e9 \\ud83d\\ude00\",\"dsize\":4096},\n"
    "{\"name\":\"h1\",\"dsize\":12288,\"ino\":9,\"hlnkc\":true,\"nlink\":3}],\n"
    "{\"name\":\"h3\",\"dsize\":12288,\"ino\":9,\"nlink\":3},\n"
    "{\"name\":\"big\",\"asize\":524288000,\"dsize\":524288000},\n"
    "{\"name\":\"\xff\",\"dsize\":4096}]]]";

TEST(NcduImport, RecordsAnNcduExportAsAScanOfItsTreeWould) {
  for (const std::uint64_t depth : {8u, 1u, 0u}) {
    ResultBuilder builder("/t", depth);
    builder.subtree_total(SubtreeTotal{"/t", "B.app", 8192 + 12288, 1});
    builder.directory("/t", "a", 1);
    builder.directory("/t/a", "caf\xc3\xa9 \xf0\x9f\x98\x80", 2);
    builder.file("/t/a/caf\xc3\xa9 \xf0\x9f\x98\x80", "h1", 3, 0);  // B.app's h2 came first
    builder.file("/t/a", "h3", 2, 0);
    builder.file("/t/a", "big", 2, 524288000);
    builder.file("/t/a", "\xff", 2, 4096);
    const auto want = builder.finish();
    SCOPED_TRACE(depth);
    const auto got = import_ok(kNcduStyle, depth);
    expect_same(*got, *want);
    EXPECT_EQ(got->root_path, "/t");
  }
}

// Each name of a multiply-linked file carries its identity and its bytes,
// so that readers count them once; a reader gives back the same identities.
TEST(NcduExport, HardLinksTravelWithTheirIdentity) {
  const std::string body =
      "[{\"name\":\"a\"},\n"
      "{\"name\":\"x\",\"dsize\":8192,\"ino\":4,\"nlink\":2,\"hlnkc\":true}],\n"
      "{\"name\":\"y\",\"dsize\":8192,\"ino\":4,\"nlink\":2,\"hlnkc\":true},\n"
      "{\"name\":\"z\",\"dsize\":100,\"ino\":5,\"nlink\":2,\"hlnkc\":true}]]\n";
  const auto got = import_ok("[1,2,{},\n[{\"name\":\"/h\",\"dev\":7},\n" + body);
  EXPECT_EQ(got->total_size, 8292u);
  const std::map<std::string, HardLink> want{{"/h/a/x", HardLink{7, 4, 2, 8192, true}},
                                             {"/h/y", HardLink{7, 4, 2, 8192, false}},
                                             {"/h/z", HardLink{7, 5, 2, 100, true}}};
  EXPECT_EQ(testing::listed_hard_links(*got), want);
  NcduExportOptions options;
  options.root_device = 7;
  const std::string text = export_text(*got, options);
  // The names that do not carry the blocks say so, for this reader to count
  // the same name again.
  std::string written = "[{\"name\":\"/h\",\"dev\":7},\n" + body;
  written.insert(written.find("true},\n{\"name\":\"z\"") + 4, ",\"uncounted\":true");
  EXPECT_EQ(text.substr(text.find("},\n") + 3), written);
  // Without the root's device, each linked file says its own.
  const std::string devices = export_text(*got);
  EXPECT_NE(devices.find("{\"name\":\"z\",\"dsize\":100,\"dev\":7,\"ino\":5,"), std::string::npos)
      << devices;
  EXPECT_EQ(testing::listed_hard_links(*import_ok(devices)), want);
  // Folded away, the names and their identities go.
  const auto root_only = import_ok(text, 0);
  EXPECT_TRUE(root_only->hard_links.empty());
  EXPECT_EQ(export_text(*root_only).find("ino"), std::string::npos);
}

// A file whose counted name lies inside a bundle: its listed names carry no
// bytes, as the bundle's total holds them.
TEST(NcduExport, LinkedNamesWhoseBytesATotalHoldsCarryNone) {
  const auto got = import_ok(kNcduStyle);
  const std::map<std::string, HardLink> want{
      {"/t/a/caf\xc3\xa9 \xf0\x9f\x98\x80/h1", HardLink{5, 9, 3, 12288, false}},
      {"/t/a/h3", HardLink{5, 9, 3, 12288, false}}};
  EXPECT_EQ(testing::listed_hard_links(*got), want);
  NcduExportOptions options;
  options.root_device = 5;
  const std::string text = export_text(*got, options);
  EXPECT_NE(text.find("{\"name\":\"h3\",\"dsize\":0,\"ino\":9,\"nlink\":3,\"hlnkc\":true,"
                      "\"uncounted\":true}"),
            std::string::npos)
      << text;
  const auto again = import_ok(text);
  expect_same(*again, *got);
  std::map<std::string, HardLink> sizeless = want;
  for (auto& [path, link] : sizeless) link.size = 0;
  EXPECT_EQ(testing::listed_hard_links(*again), sizeless);
}

TEST(NcduImport, GduMarksOnlyTheLaterLinksOfAFile) {
  const auto got = import_ok(
      "[1,2,{\"progname\":\"gdu\"},[{\"name\":\"/g\"},{\"name\":\"f\",\"dsize\":4096},"
      "{\"name\":\"g\",\"dsize\":4096,\"ino\":3,\"hlnkc\":true}]]");
  EXPECT_EQ(got->files_found, 2u);
  EXPECT_EQ(got->total_size, 4096u);
}

TEST(NcduImport, ReadsAnySplitOfTheBytesAlike) {
  const auto whole = import_ok(kNcduStyle);
  std::size_t offset = 0;
  const ImportSource byte_by_byte =
      [&](std::span<char> buffer) -> std::expected<std::size_t, std::string> {
    if (offset == kNcduStyle.size()) return 0;
    buffer[0] = kNcduStyle[offset++];
    return 1;
  };
  const auto split = read_ncdu_export(byte_by_byte, NcduImportOptions{});
  ASSERT_TRUE(split.has_value());
  expect_same(**split, *whole);

  const ImportSource failing = [](std::span<char>) -> std::expected<std::size_t, std::string> {
    return std::unexpected(std::string("Input/output error (os error 5)"));
  };
  const auto failed = read_ncdu_export(failing, NcduImportOptions{});
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind, NcduImportError::Kind::kRead);
  EXPECT_EQ(failed.error().message, "Input/output error (os error 5)");

  NcduImportOptions stopped;
  stopped.cancel.request_cancel();
  const auto cancelled = read_ncdu_export(kNcduStyle, stopped);
  ASSERT_FALSE(cancelled.has_value());
  EXPECT_EQ(cancelled.error().kind, NcduImportError::Kind::kCancelled);
}

TEST(NcduImport, RefusesHostileFilesWithThePlace) {
  const std::string head = "[1,0,{},\n[{\"name\":\"/r\"},\n";
  const std::string long_name(4097, 'n');
  const std::vector<std::tuple<std::string, std::string, std::uint64_t, std::uint64_t>> cases{
      {head + "{\"name\":\"a/b\"}]]", "a name must not contain \"/\"", 3, 9},
      {head + "{\"name\":\".\"}]]", "a name must not be \".\"", 3, 9},
      {head + "[{\"name\":\"..\"}]]]", "a name must not be \"..\"", 3, 10},
      {head + "{\"name\":\"\"}]]", "a name must not be empty", 3, 9},
      {head + "{\"name\":\"a\\u0000b\"}]]", "a name must not contain a NUL", 3, 9},
      {head + "{\"name\":\"a\"},\n[{\"name\":\"a\"}]]]", "a name appears twice in one directory", 4,
       10},
      {head + "{\"dsize\":1}]]", "an item has no name", 3, 11},
      {head + "{\"name\":\"f\",\"dsize\":-1}]]", "dsize must not be negative", 3, 21},
      {head + "{\"name\":\"f\",\"asize\":1.5}]]", "asize must be an integer", 3, 21},
      {head + "{\"name\":\"f\",\"dsize\":1e3}]]", "dsize must be an integer", 3, 21},
      {head + "{\"name\":\"f\",\"dsize\":18446744073709551616}]]", "dsize does not fit in 64 bits",
       3, 21},
      {head + "{\"name\":\"f\",\"dsize\":\"1\"}]]",
       "dsize must be a non-negative integer, found \"\"\"", 3, 21},
      {head + "{\"name\":\"f\",\"hlnkc\":1}]]", "hlnkc must be true or false, found \"1\"", 3, 21},
      {"[2,0,{},[{\"name\":\"/r\"}]]", "unsupported major version 2", 1, 2},
      {head + "{\"name\":\"f\"}", "expected \",\" or \"]\", found the end of the text", 3, 13},
      {head + "{\"name\":\"f", "the text ends inside a string", 3, 9},
      {"<html>", "expected \"[\", found \"<\"", 1, 1},
      {head + "{\"name\":\"f\"}]] x", "text after the end of the export, found \"x\"", 3, 16},
      {head + "{\"name\":\"" + long_name + "\"}]]", "a string longer than 4096 bytes", 3, 9},
      {head + "{\"name\":\"a\tb\"}]]", "a control character inside a string", 3, 9},
      {head + "{\"name\":\"f\",\"x\":nul}]]", "not JSON: a misspelt literal", 3, 17},
      {head + "7]]", "expected an item, \"{\" or \"[\"", 3, 1},
      {head + "{\"name\":\"f\",\"dsize\":18446744073709551615},\n{\"name\":\"g\",\"dsize\":1}]]",
       "the sizes add up to more than 64 bits", 4, 21},
  };
  for (const auto& [text, message, line, column] : cases) {
    const auto refused = read_ncdu_export(text, NcduImportOptions{});
    ASSERT_FALSE(refused.has_value()) << text;
    EXPECT_EQ(refused.error().kind, NcduImportError::Kind::kMalformed);
    EXPECT_EQ(refused.error().message, message) << text;
    EXPECT_EQ(refused.error().line, line) << text;
    EXPECT_EQ(refused.error().column, column) << text;
  }
}

TEST(NcduImport, NestingStopsAtThePathLimit) {
  constexpr std::size_t kLevels = PATH_MAX / 2;
  const auto nested = [](std::size_t levels) {
    std::string text = "[1,2,{},[{\"name\":\"/r\"}";
    for (std::size_t i = 1; i < levels; ++i) text += ",[{\"name\":\"d\"}";
    return text + std::string(levels, ']') + "]";
  };
  const auto deepest = import_ok(nested(kLevels));
  EXPECT_EQ(deepest->dirs_found, kLevels - 1);
  const auto refused = read_ncdu_export(nested(kLevels + 1), NcduImportOptions{});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message, "nesting deeper than " + std::to_string(kLevels) + " levels");
  // Unknown values nest no deeper.
  const auto skipped = read_ncdu_export(
      "[1,2,{\"x\":" + std::string(kLevels + 1, '[') + std::string(kLevels + 1, ']') + "}]",
      NcduImportOptions{});
  ASSERT_FALSE(skipped.has_value());
  EXPECT_EQ(skipped.error().message, refused.error().message);
}

}  // namespace
}  // namespace tessaly
