#include "bin/scan_bench/dataset.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::TempDir;

std::string nested(std::size_t levels, char open, char close, std::string_view inner) {
  std::string text;
  for (std::size_t i = 0; i < levels; ++i) {
    text.push_back(open);
    if (open == '{') text += "\"k\":";
  }
  text += inner;
  text.append(levels, close);
  return text;
}

std::string dumped(const std::optional<std::string>& value) {
  return value ? *value : std::string("<none>");
}

TEST(ParseDatasetJson, AnyValueSurroundedByWhitespace) {
  EXPECT_EQ(dumped(parse_dataset_json(" \t\r\n{\"a\": 1}\n\r\t ")), R"({"a":1})");
  EXPECT_EQ(dumped(parse_dataset_json("[1, \"two\", true, null]")), R"([1,"two",true,null])");
  EXPECT_EQ(dumped(parse_dataset_json("\"text\"")), R"("text")");
  EXPECT_EQ(dumped(parse_dataset_json("-12")), "-12");
  EXPECT_EQ(dumped(parse_dataset_json("false")), "false");
  EXPECT_EQ(dumped(parse_dataset_json("null")), "null");
}

TEST(ParseDatasetJson, KeysSortedByBytesAndLastDuplicateWins) {
  EXPECT_EQ(dumped(parse_dataset_json(R"({"b": 1, "a": 2, "B": 3, "\u00e9": 4, "a": 5})")),
            "{\"B\":3,\"a\":5,\"b\":1,\"\xC3\xA9\":4}");
}

TEST(ParseDatasetJson, NumbersKeepTheirIntegerOrFloatForm) {
  EXPECT_EQ(
      dumped(parse_dataset_json("[1, 1.0, 18446744073709551615, -9223372036854775808, 2e3, -0]")),
      "[1,1.0,18446744073709551615,-9223372036854775808,2000.0,0]");
}

// The text is what the JSON library's sorted tree prints, for documents that
// exercise sorting, repeats, nesting, escapes and number forms.
TEST(ParseDatasetJson, SameTextAsTheLibrarysTree) {
  for (const char* text : {
           R"({"z": {"b": [{"y": 1, "x": {"q": null, "p": [true, false]}}, {}], "a": 2}, "m": []})",
           R"({"k": 1, "k": {"b": 1, "a": 2}, "j": [{"c": 3, "c": 4, "a": 0}], "k": [3]})",
           R"(["\"\\\/\b\f\n\r\t\u0001\u001f\u007f\u00e9\ud83d\ude00", "café", "x"])",
           R"({"\u0000": 1, "\u001f": 2, "\"": 3, "\\": 4, "~": 5, "\u00e9": 6, "e": 7})",
           R"([0.1, 1e300, -2.5e-300, 123456789012345678901234567890, 1E2, 0.0, -0.0, 5e-324])",
           R"([[[[]]], {"a": {"b": {"c": {}}}}, "", 0, -1, 9223372036854775807])",
       }) {
    EXPECT_EQ(dumped(parse_dataset_json(text)), nlohmann::json::parse(text).dump()) << text;
  }
  // Many members out of order: sorted the same way.
  std::string many = "{";
  for (int i = 0; i < 2000; ++i)
    many += fmt::format("{}\"k{}\": {}", i == 0 ? "" : ",", (i * 7919) % 1000, i);
  many += "}";
  EXPECT_EQ(dumped(parse_dataset_json(many)), nlohmann::json::parse(many).dump());
}

TEST(ParseDatasetJson, RefusesEverythingButOneValue) {
  EXPECT_FALSE(parse_dataset_json(""));
  EXPECT_FALSE(parse_dataset_json("  \n"));
  EXPECT_FALSE(parse_dataset_json("{} x"));
  EXPECT_FALSE(parse_dataset_json("{}{}"));
  EXPECT_FALSE(parse_dataset_json("1 2"));
  EXPECT_FALSE(parse_dataset_json("{\"a\": 1,}"));
  EXPECT_FALSE(parse_dataset_json("[1] // note"));
  EXPECT_FALSE(parse_dataset_json("/* c */ 1"));
  EXPECT_FALSE(parse_dataset_json("\xEF\xBB\xBF{}"));
  EXPECT_FALSE(parse_dataset_json("{}\f"));
  EXPECT_FALSE(parse_dataset_json("[\"\xFF\"]"));
  EXPECT_FALSE(parse_dataset_json("[\"a\tb\"]"));
  EXPECT_FALSE(parse_dataset_json(std::string("1\0", 2)));
  EXPECT_FALSE(parse_dataset_json(std::string("{}\0{}", 5)));
  EXPECT_FALSE(parse_dataset_json(std::string("[\"a\0b\"]", 7)));
  EXPECT_FALSE(parse_dataset_json("1e400"));
  EXPECT_FALSE(parse_dataset_json("NaN"));
}

TEST(ParseDatasetJson, NestingOf128LevelsIsRefused) {
  EXPECT_TRUE(parse_dataset_json(nested(127, '[', ']', "")));
  EXPECT_FALSE(parse_dataset_json(nested(128, '[', ']', "")));
  EXPECT_TRUE(parse_dataset_json(nested(127, '{', '}', "1")));
  EXPECT_FALSE(parse_dataset_json(nested(128, '{', '}', "1")));
  EXPECT_FALSE(parse_dataset_json(nested(200, '[', ']', "")));
  // Mixed nesting counts every level; closing brackets give the depth back.
  EXPECT_FALSE(parse_dataset_json(nested(64, '[', ']', nested(64, '{', '}', "1"))));
  // Appended piece by piece: GCC 12 at -O3 sees a false overlap (-Wrestrict)
  // in `"[" + std::string`.
  const std::string seven = nested(7, '[', ']', "");
  std::string siblings = "[";
  siblings.append(seven).append(",").append(seven).append("]");
  EXPECT_TRUE(parse_dataset_json(nested(119, '[', ']', siblings)));
  // A huge depth must neither crash nor exhaust the stack.
  EXPECT_FALSE(parse_dataset_json(nested(1000000, '[', ']', "")));
}

class LoadDatasetMetadata : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string root_ = dir_.make_dir("tree");
  std::string beside_ = dir_.at("tree.x-scanner-dataset.json");
  std::string inside_ = dir_.at("tree/.x-scanner-dataset.json");
};

TEST_F(LoadDatasetMetadata, NeitherFileGivesNothing) {
  EXPECT_FALSE(load_dataset_metadata(root_).has_value());
}

TEST_F(LoadDatasetMetadata, FileInsideTheRoot) {
  dir_.write_text("tree/.x-scanner-dataset.json", R"({"name": "inside"})");
  EXPECT_EQ(dumped(load_dataset_metadata(root_)), R"({"name":"inside"})");
}

TEST_F(LoadDatasetMetadata, FileBesideTheRootComesFirst) {
  dir_.write_text("tree.x-scanner-dataset.json", R"({"name": "beside"})");
  dir_.write_text("tree/.x-scanner-dataset.json", R"({"name": "inside"})");
  EXPECT_EQ(dumped(load_dataset_metadata(root_)), R"({"name":"beside"})");
}

TEST_F(LoadDatasetMetadata, TrailingSeparatorMakesTheFirstCandidateTheInnerFile) {
  dir_.write_text("tree.x-scanner-dataset.json", R"({"name": "beside"})");
  dir_.write_text("tree/.x-scanner-dataset.json", R"({"name": "inside"})");
  EXPECT_EQ(dumped(load_dataset_metadata(root_ + "/")), R"({"name":"inside"})");
}

TEST_F(LoadDatasetMetadata, InvalidFirstCandidateHidesTheInnerFile) {
  dir_.write_text("tree.x-scanner-dataset.json", R"({"name": )");
  dir_.write_text("tree/.x-scanner-dataset.json", R"({"name": "inside"})");
  EXPECT_FALSE(load_dataset_metadata(root_).has_value());
}

TEST_F(LoadDatasetMetadata, FirstCandidateThatIsADirectoryHidesTheInnerFile) {
  dir_.make_dir("tree.x-scanner-dataset.json");
  dir_.write_text("tree/.x-scanner-dataset.json", "1");
  EXPECT_FALSE(load_dataset_metadata(root_).has_value());
}

TEST_F(LoadDatasetMetadata, FifoIsNotReadAndDoesNotBlock) {
  dir_.make_fifo("tree.x-scanner-dataset.json");
  dir_.write_text("tree/.x-scanner-dataset.json", "1");
  EXPECT_FALSE(load_dataset_metadata(root_).has_value());
}

TEST_F(LoadDatasetMetadata, AFileAboveTheCapIsNotRead) {
  dir_.write_text("tree/.x-scanner-dataset.json", "[1, 2]");
  EXPECT_FALSE(load_dataset_metadata(root_, 5).has_value());
  EXPECT_EQ(dumped(load_dataset_metadata(root_, 6)), "[1,2]");
  EXPECT_EQ(dataset_max_bytes, std::size_t{16} << 20);
}

TEST_F(LoadDatasetMetadata, SymbolicLinksAreFollowed) {
  dir_.write_text("elsewhere.json", "[true]");
  dir_.make_symlink(dir_.at("elsewhere.json"), "tree.x-scanner-dataset.json");
  EXPECT_EQ(dumped(load_dataset_metadata(root_)), "[true]");
}

TEST_F(LoadDatasetMetadata, DanglingLinkBesideFallsBackToTheInnerFile) {
  dir_.make_symlink(dir_.at("missing.json"), "tree.x-scanner-dataset.json");
  dir_.write_text("tree/.x-scanner-dataset.json", "[2]");
  EXPECT_EQ(dumped(load_dataset_metadata(root_)), "[2]");
}

TEST_F(LoadDatasetMetadata, InvalidUtf8AndDeepNestingGiveNothing) {
  dir_.write_text("tree/.x-scanner-dataset.json", "\"caf\xE9\"");
  EXPECT_FALSE(load_dataset_metadata(root_).has_value());
  dir_.write_text("tree/.x-scanner-dataset.json", nested(200, '[', ']', ""));
  EXPECT_FALSE(load_dataset_metadata(root_).has_value());
  dir_.write_text("tree/.x-scanner-dataset.json", "{\"a\": 1} trailing");
  EXPECT_FALSE(load_dataset_metadata(root_).has_value());
}

TEST_F(LoadDatasetMetadata, UnreadableFileGivesNothing) {
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  dir_.write_text("tree/.x-scanner-dataset.json", "[3]");
  ASSERT_EQ(::chmod(inside_.c_str(), 0600), 0);
  const std::string root = root_;
  const int status =
      testing::run_unprivileged([&] { return load_dataset_metadata(root).has_value() ? 1 : 0; });
  if (status == -1) GTEST_SKIP() << "cannot drop privileges to uid 65534 here";
  EXPECT_EQ(status, 0);
  // The same file is read once it is readable.
  ASSERT_EQ(::chmod(inside_.c_str(), 0644), 0);
  EXPECT_EQ(
      testing::run_unprivileged([&] { return load_dataset_metadata(root).has_value() ? 0 : 1; }),
      0);
}

}  // namespace
}  // namespace tessaly
