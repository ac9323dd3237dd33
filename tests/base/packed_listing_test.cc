#include "base/packed_listing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tessaly {
namespace {

struct Fields {
  std::uint32_t value = 0;
};

TEST(PackedListing, KeepsNamesAndFieldsInOrderWithEmbeddedBytes) {
  PackedListing<Fields> listing;
  listing.add(std::string("a\0b", 3), Fields{1});
  listing.add("", Fields{2});
  listing.add("r\xe9sum\xe9", Fields{3});
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_EQ(listing.name_bytes(), 3u + 0u + 6u);
  EXPECT_EQ(listing[0].name, std::string_view("a\0b", 3));
  EXPECT_EQ(listing[0].fields.value, 1u);
  EXPECT_EQ(listing[1].name, "");
  EXPECT_EQ(listing[1].fields.value, 2u);
  EXPECT_EQ(listing[2].name, "r\xe9sum\xe9");
  EXPECT_EQ(listing[2].fields.value, 3u);
  listing.clear();
  EXPECT_TRUE(listing.empty());
  EXPECT_EQ(listing.name_bytes(), 0u);
}

TEST(PackedListing, TrimLetsGoOnlyOfMoreThanTheLimit) {
  PackedListing<Fields> listing;
  for (std::uint32_t i = 0; i < 100; ++i) listing.add("name" + std::to_string(i), Fields{i});
  listing.trim(1000);
  ASSERT_EQ(listing.size(), 100u);
  EXPECT_EQ(listing[99].name, "name99");
  listing.trim(10);
  EXPECT_TRUE(listing.empty());
  EXPECT_EQ(listing.name_bytes(), 0u);
  listing.add("again", Fields{7});
  EXPECT_EQ(listing[0].name, "again");
}

}  // namespace
}  // namespace tessaly
