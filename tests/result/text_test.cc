#include <tessaly/text.h>

#include <gtest/gtest.h>

#include <string>

#include "support/result_builder.h"

namespace tessaly {
namespace {

TEST(PublicText, InvalidBytesBecomeReplacementCharacters) {
  EXPECT_TRUE(is_utf8(""));
  EXPECT_TRUE(is_utf8("caf\xc3\xa9"));
  EXPECT_FALSE(is_utf8("d\xff"));
  EXPECT_FALSE(is_utf8("\xed\xa0\x80"));  // a surrogate
  EXPECT_EQ(utf8_text("caf\xc3\xa9"), "caf\xc3\xa9");
  EXPECT_EQ(utf8_text("a\xff"
                      "b"),
            "a\xef\xbf\xbd"
            "b");
  // A truncated sequence is one maximal subpart: one replacement.
  EXPECT_EQ(utf8_text("\xe2\x82"
                      "c"),
            "\xef\xbf\xbd"
            "c");
}

TEST(PublicText, JoinsRawPathsAsTheResultDoes) {
  EXPECT_EQ(join_raw_path("", "a"), "a");
  EXPECT_EQ(join_raw_path("/", "a"), "/a");
  EXPECT_EQ(join_raw_path("/r/", "a"), "/r/a");
  EXPECT_EQ(join_raw_path("/r", "d\xff"), "/r/d\xff");

  testing::ResultBuilder builder("/r", 8);
  builder.directory("/r", "d\xff", 1);
  builder.file("/r/d\xff", "f", 2, 5);
  const auto result = builder.finish();
  const ResultDirectory root = result->root_directory();
  ASSERT_EQ(root.children().size(), 1u);
  const ChildEntry& entry = root.children()[0];
  EXPECT_EQ(entry.name(), utf8_text(entry.raw_name()));
  const auto child = root.child(entry);
  ASSERT_TRUE(child.has_value());
  EXPECT_EQ(child->path(), join_raw_path(root.path(), entry.raw_name()));
  EXPECT_EQ(child->size(), 5u);
}

}  // namespace
}  // namespace tessaly
