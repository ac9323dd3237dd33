// What the engines' fault-injection tests share: one tree with something of
// every kind a fault can aim at, a description of a result that does not
// depend on the order of the walk, and the small hooks that inject faults.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "result/result.h"
#include "support/temp_tree.h"

namespace tessaly::testing {

// Every field of a result that a scan determines, one fact per line, in an
// order that does not depend on the order in which directories were listed.
std::string describe_result(const ScanResult& result);

// The descriptors this process holds open.
std::size_t count_open_descriptors();

// The last component of `path` (trailing separators ignored).
std::string last_component(std::string_view path);

// A hook answer: EINTR `times` times in a row on each thread, then one call
// let through, over and over.
int interrupt_streak(int times);

// `text` with its line breaks turned into "|", to travel as one line.
std::string one_line(std::string text);

// A fixture over one tree below `root_`: files of distinct sizes at several
// depths, a directory "a/victim" with a subdirectory, a bundle "b/Tool.app", a
// symbolic link to `outside_` (a directory beside the tree holding a file), a
// hard-link pair below the listed depth, a FIFO and an empty directory. Names
// the faults aim at are unique in it. The tests supply clean(): the
// description of a scan without faults.
class FaultTreeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Builds the tree afresh.
  void build();
  virtual std::string clean() = 0;
  // The clean scan of the tree as `change` leaves it; the tree is then built
  // afresh.
  std::string clean_after(const std::function<void()>& change);
  // Empties the directory `relative` below the root (its contents go), as a
  // directory whose reading failed contributes nothing.
  void empty_out(const std::string& relative);

  TempDir dir_;
  std::string root_;
  std::string outside_;
};

}  // namespace tessaly::testing
