#include "bin/scan_tree/json_output.h"
#include "support/result_builder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <tessaly/text.h>

namespace tessaly::scan_tree {
namespace {

TEST(ScanTreeJson, ExactTextOfAKnownResult) {
  testing::ResultBuilder builder("/r", 8);
  const std::string root = "/r";
  const std::string a = "/r/a";
  // Recorded out of name order: the output is sorted regardless.
  builder.file(root, "top", 1, 100);
  builder.directory(root, "empty", 1);
  builder.directory(root, "a", 1);
  builder.directory(a, "x", 2);
  builder.file(a, "big", 2, kLargeFileThreshold);
  builder.file("/r/a/x", "f", 3, 200);
  const auto result = builder.finish();

  const std::string expected = fmt::format(
      R"({{
  "root": "/r",
  "files_found": 3,
  "dirs_found": 3,
  "total_size": 524288300,
  "compute_dir_sizes_ms": {},
  "large_files": [
    {{"name": "big", "path": "/r/a/big", "size": 524288000}}
  ],
  "children_map": {{
    "/r": [
      {{"name": "a", "size": 0, "is_dir": true}},
      {{"name": "empty", "size": 0, "is_dir": true}},
      {{"name": "top", "size": 100, "is_dir": false}}
    ],
    "/r/a": [
      {{"name": "big", "size": 524288000, "is_dir": false}},
      {{"name": "x", "size": 0, "is_dir": true}}
    ],
    "/r/a/x": [
      {{"name": "f", "size": 200, "is_dir": false}}
    ]
  }},
  "truncated_sizes": {{}},
  "dir_sizes": {{
    "/r": 524288300,
    "/r/a": 524288200,
    "/r/a/x": 200,
    "/r/empty": 0
  }}
}}
)",
      result->compute_dir_sizes_ms);
  EXPECT_EQ(result_json(*result), expected);
}

TEST(ScanTreeJson, EmptyCollectionsAndTruncatedSizes) {
  testing::ResultBuilder builder("/r", 0);
  builder.directory("/r", "d", 1);
  builder.file("/r/d", "f", 2, 7);
  const auto result = builder.finish();
  const nlohmann::json json = nlohmann::json::parse(result_json(*result));
  EXPECT_EQ(json["large_files"], nlohmann::json::array());
  EXPECT_EQ(json["children_map"], nlohmann::json::object());
  EXPECT_EQ(json["truncated_sizes"], (nlohmann::json{{"/r", 7}}));
  EXPECT_EQ(json["dir_sizes"], (nlohmann::json{{"/r", 7}}));
  EXPECT_NE(result_json(*result).find("  \"large_files\": [],\n  \"children_map\": {},\n"),
            std::string::npos);
}

TEST(ScanTreeJson, KeysComeInTheFixedOrder) {
  testing::ResultBuilder builder("/r", 8);
  const auto result = builder.finish();
  const nlohmann::ordered_json json = nlohmann::ordered_json::parse(result_json(*result));
  std::vector<std::string> keys;
  for (const auto& item : json.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"root", "files_found", "dirs_found", "total_size",
                                            "compute_dir_sizes_ms", "large_files", "children_map",
                                            "truncated_sizes", "dir_sizes"}));
}

TEST(ScanTreeJson, StringsAreEscaped) {
  testing::ResultBuilder builder("/r\"q", 8);
  const std::string root = "/r\"q";
  builder.file(root, "tab\there", 1, 1);
  builder.file(root, "back\\slash", 1, 2);
  builder.file(root, std::string("ctl\x01\x1f", 5), 1, 3);
  builder.file(root, "nl\n", 1, 4);
  const auto result = builder.finish();
  const std::string text = result_json(*result);
  EXPECT_NE(text.find(R"("root": "/r\"q")"), std::string::npos) << text;
  EXPECT_NE(text.find(R"({"name": "tab\there", "size": 1)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"({"name": "back\\slash", "size": 2)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"({"name": "ctl\u0001\u001f", "size": 3)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"({"name": "nl\n", "size": 4)"), std::string::npos) << text;
  const nlohmann::json json = nlohmann::json::parse(text);
  EXPECT_EQ(json["root"], "/r\"q");
  EXPECT_EQ(json["children_map"]["/r\"q"][1]["name"], std::string("ctl\x01\x1f", 5));
}

TEST(ScanTreeJson, RawKeysThatCollideAsTextKeepSeparateEntries) {
  testing::ResultBuilder builder("/r", 8);
  const std::string root = "/r";
  builder.directory(root, "d\xff", 1);
  builder.file("/r/d\xff", "f", 2, 10);
  builder.directory(root, "d\xfe", 1);
  builder.file("/r/d\xfe", "g", 2, 20);
  // A real name that already reads like the replaced text.
  builder.directory(root, "d\uFFFD", 1);
  builder.file("/r/d\uFFFD", "h", 2, 40);
  const auto result = builder.finish();
  const std::string text = result_json(*result);
  ASSERT_TRUE(is_utf8(text));
  const nlohmann::json json = nlohmann::json::parse(text);
  // The valid name keeps its own key; the raw names take the next free ones
  // in byte order ("\xfe" before "\xff").
  EXPECT_EQ(json["dir_sizes"],
            (nlohmann::json{
                {"/r", 70}, {"/r/d\uFFFD", 40}, {"/r/d\uFFFD (2)", 20}, {"/r/d\uFFFD (3)", 10}}));
  EXPECT_EQ(json["children_map"]["/r/d\uFFFD (2)"][0]["name"], "g");
  EXPECT_EQ(json["children_map"]["/r/d\uFFFD (3)"][0]["name"], "f");
  EXPECT_EQ(json["children_map"]["/r"].size(), 3u);
  // The same result always gives the same text.
  EXPECT_EQ(result_json(*result), text);
}

TEST(ScanTreeJsonKeys, AssignmentRules) {
  EXPECT_EQ(json_keys({}), std::vector<std::string>{});
  EXPECT_EQ(json_keys({"b", "a"}), (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(json_keys({"x\xff", "x\uFFFD (2)", "x\uFFFD"}),
            (std::vector<std::string>{"x\uFFFD (3)", "x\uFFFD (2)", "x\uFFFD"}));
  EXPECT_EQ(json_keys({"x\xff", "x\xfe"}), (std::vector<std::string>{"x\uFFFD (2)", "x\uFFFD"}));
  EXPECT_EQ(json_keys({"x\xfe", "x\xff"}), (std::vector<std::string>{"x\uFFFD", "x\uFFFD (2)"}));
}

TEST(ScanTreeJson, LargeFilesOfEqualSizeAreOrderedByPath) {
  testing::ResultBuilder builder("/r", 8);
  const std::string root = "/r";
  builder.file(root, "b", 1, kLargeFileThreshold);
  builder.file(root, "c", 1, kLargeFileThreshold + 1);
  builder.file(root, "a", 1, kLargeFileThreshold);
  const auto result = builder.finish();
  const nlohmann::json json = nlohmann::json::parse(result_json(*result));
  ASSERT_EQ(json["large_files"].size(), 3u);
  EXPECT_EQ(json["large_files"][0]["path"], "/r/c");
  EXPECT_EQ(json["large_files"][1]["path"], "/r/a");
  EXPECT_EQ(json["large_files"][2]["path"], "/r/b");
}

TEST(ScanTreeJson, AgreesWithTheResultOnABiggerTree) {
  testing::ResultBuilder builder("/big", 2);
  std::uint64_t expected_total = 0;
  for (int i = 0; i < 40; ++i) {
    const std::string dir = fmt::format("/big/d{}", i);
    builder.directory("/big", fmt::format("d{}", i), 1);
    for (int j = 0; j < 30; ++j) {
      const std::string sub = fmt::format("{}/s{}", dir, j);
      builder.directory(dir, fmt::format("s{}", j), 2);
      builder.file(sub, "deep", 3, static_cast<std::uint64_t>(i * 100 + j));
      expected_total += static_cast<std::uint64_t>(i * 100 + j);
    }
  }
  const auto result = builder.finish();
  std::vector<std::string> chunks;
  ASSERT_TRUE(write_result_json(*result, [&](std::string_view chunk) {
    chunks.emplace_back(chunk);
    return true;
  }));
  EXPECT_GT(chunks.size(), 1u) << "a result this size is written in several chunks";
  std::string text;
  for (const std::string& chunk : chunks) text += chunk;
  EXPECT_EQ(text, result_json(*result));

  const nlohmann::json json = nlohmann::json::parse(text);
  EXPECT_EQ(json["total_size"], expected_total);
  EXPECT_EQ(json["dirs_found"], 40u + 40u * 30u);
  ASSERT_EQ(json["dir_sizes"].size(), result->dir_sizes.size());
  for (const auto& [path, size] : result->dir_sizes) EXPECT_EQ(json["dir_sizes"].at(path), size);
  ASSERT_EQ(json["truncated_sizes"].size(), result->truncated_sizes.size());
  for (const auto& [path, size] : result->truncated_sizes) {
    EXPECT_EQ(json["truncated_sizes"].at(path), size);
  }
  EXPECT_EQ(json["children_map"].size(), result->children_map.size());
}

TEST(ScanTreeJson, StopsWhenTheSinkFails) {
  testing::ResultBuilder builder("/big", 8);
  for (int i = 0; i < 5000; ++i) {
    builder.file("/big", fmt::format("file-{}", i), 1, 1);
  }
  const auto result = builder.finish();
  int calls = 0;
  EXPECT_FALSE(write_result_json(*result, [&](std::string_view) {
    ++calls;
    return false;
  }));
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace tessaly::scan_tree
