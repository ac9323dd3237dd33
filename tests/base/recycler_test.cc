#include "base/recycler.h"

#include <optional>
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

// Takers are not held up while objects are prepared: a take from inside
// `prepare` would wait for ever on a lock held meanwhile.
TEST(Recycler, PreparesOutsideItsLockOnlyWhatThereWasRoomFor) {
  Recycler<int> recycler(2);
  std::vector<int> first{1};
  recycler.give_back(first, [](int&) {});
  std::vector<int> spent{2, 3};
  std::vector<std::optional<int>> taken;
  recycler.give_back(spent, [&](int& object) {
    taken.push_back(recycler.take());
    object *= 10;
  });
  EXPECT_EQ(taken, (std::vector<std::optional<int>>{1}));
  EXPECT_EQ(spent[1], 3);  // no room when the call began: left unprepared
  EXPECT_EQ(recycler.take(), 20);
  EXPECT_FALSE(recycler.take().has_value());
}

}  // namespace
}  // namespace tessaly
