#include "rules/bundles.h"

#include <gtest/gtest.h>

namespace tessaly {
namespace {

TEST(BundleName, SuffixesMatchByteForByte) {
  EXPECT_TRUE(is_bundle_name("Safari.app"));
  EXPECT_TRUE(is_bundle_name("Foundation.framework"));
  EXPECT_TRUE(is_bundle_name("Resources.bundle"));
  EXPECT_TRUE(is_bundle_name("Audio.plugin"));
  EXPECT_TRUE(is_bundle_name("Driver.kext"));
  EXPECT_TRUE(is_bundle_name(".app"));
  EXPECT_TRUE(is_bundle_name(".kext"));
  EXPECT_TRUE(is_bundle_name("bad\xff.app"));
  EXPECT_FALSE(is_bundle_name("app"));
  EXPECT_FALSE(is_bundle_name("Upper.APP"));
  EXPECT_FALSE(is_bundle_name("Safari.app.zip"));
  EXPECT_FALSE(is_bundle_name("Safariapp"));
  EXPECT_FALSE(is_bundle_name(".ap"));
  EXPECT_FALSE(is_bundle_name(""));
}

}  // namespace
}  // namespace tessaly
