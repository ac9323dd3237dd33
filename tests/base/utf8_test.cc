#include "base/utf8.h"

#include <gtest/gtest.h>

namespace tessaly {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

TEST(Utf8, ValidTextPassesUnchanged) {
  for (const std::string_view s :
       {"", "plain", "caf\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xEF\xBF\xBF"}) {
    EXPECT_TRUE(is_valid_utf8(s)) << s;
    EXPECT_EQ(utf8_lossy(s), s);
  }
}

TEST(Utf8, EachMaximalInvalidSubpartBecomesOneReplacement) {
  const std::string r(kReplacement);
  EXPECT_EQ(utf8_lossy("a\xFF"
                       "b"),
            "a" + r + "b");
  EXPECT_EQ(utf8_lossy("\xC3"), r);  // truncated at end
  EXPECT_EQ(utf8_lossy("\xE2\x82"
                       "x"),
            r + "x");                                        // truncated sequence is one subpart
  EXPECT_EQ(utf8_lossy("\xF0\x9F\x98"), r);                  // three bytes of a four-byte char
  EXPECT_EQ(utf8_lossy("\xC0\xAF"), r + r);                  // overlong: both bytes invalid
  EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), r + r + r);          // surrogate
  EXPECT_EQ(utf8_lossy("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
  EXPECT_EQ(utf8_lossy("\x80\x80"), r + r);                  // stray continuations
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));
  EXPECT_FALSE(is_valid_utf8("ok\xC3"));
}

TEST(Utf8, AnInvalidByteIsFoundAtAnyPlaceOfALongName) {
  for (std::size_t at = 0; at < 21; ++at) {
    std::string name(21, 'a');
    name[at] = '\xFF';
    EXPECT_FALSE(is_valid_utf8(name)) << at;
    // A two-byte character there, across a word's end or not, is valid.
    std::string valid(21, 'a');
    valid.replace(at, 1, "\xC3\xA9");
    EXPECT_TRUE(is_valid_utf8(valid)) << at;
    valid.pop_back();
    EXPECT_EQ(is_valid_utf8(valid), at + 1 != valid.size()) << at;
  }
}

}  // namespace
}  // namespace tessaly
