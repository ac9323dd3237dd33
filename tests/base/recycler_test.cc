#include "base/recycler.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tessaly {
namespace {

TEST(Recycler, KeepsPreparedObjectsUpToItsLimit) {
  Recycler<std::string> recycler(2);
  EXPECT_FALSE(recycler.take().has_value());
  std::vector<std::string> spent{"a", "b", "c"};
  recycler.give_back(spent, [](std::string& s) { s += "!"; });
  EXPECT_EQ(spent[2], "c");  // over the limit: left where it was, unprepared
  EXPECT_EQ(recycler.take(), "b!");
  EXPECT_EQ(recycler.take(), "a!");
  EXPECT_FALSE(recycler.take().has_value());
}

}  // namespace
}  // namespace tessaly
