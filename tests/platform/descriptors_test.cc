#include "platform/descriptors.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <expected>

#include "support/faulty_kernel.h"
#include "support/temp_tree.h"

namespace tessaly::platform {
namespace {

using namespace std::chrono_literals;
using tessaly::testing::FaultyKernel;
using tessaly::testing::TempDir;

TEST(RetryWhileOutOfDescriptors, RetriesOnlyForMissingDescriptors) {
  using Outcome = std::expected<int, int>;
  int calls = 0;
  EXPECT_EQ(retry_while_out_of_descriptors(
                [&] { return ++calls < 3 ? Outcome(std::unexpected(EMFILE)) : Outcome(7); }),
            Outcome(7));
  EXPECT_EQ(calls, 3);
  calls = 0;
  EXPECT_EQ(retry_while_out_of_descriptors([&] {
              ++calls;
              return Outcome(std::unexpected(EACCES));
            }),
            std::unexpected(EACCES));
  EXPECT_EQ(calls, 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(retry_while_out_of_descriptors([] { return Outcome(std::unexpected(ENFILE)); }, 30ms),
            std::unexpected(ENFILE));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(RetryWhileOutOfDescriptors, ShortageActionCanEndTheWait) {
  int calls = 0;
  int shortages = 0;
  const auto outcome = retry_while_out_of_descriptors(
      [&]() -> std::expected<int, int> {
        ++calls;
        return std::unexpected(EMFILE);
      },
      10s, [&] { return ++shortages < 2; });
  EXPECT_EQ(outcome, std::unexpected(EMFILE));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(shortages, 2);
}

TEST(KeptDirectories, KeepsWithinTheBudgetAndClosesAfterTheLastHolder) {
  TempDir dir;
  FaultyKernel kernel;
  KeptDirectories kept;
  kept.set_budget(1);
  const auto open = [&] {
    return Descriptor(kernel, ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  };
  Descriptor first = open();
  auto shared = kept.keep(first);
  ASSERT_NE(shared, nullptr);
  EXPECT_FALSE(first.is_open());
  auto copy = shared;

  Descriptor second = open();
  EXPECT_EQ(kept.keep(second), nullptr);
  EXPECT_TRUE(second.is_open());
  second.reset();
  EXPECT_EQ(kernel.closes.load(), 1);

  shared.reset();
  EXPECT_EQ(kernel.closes.load(), 1);
  const int fd = copy->get();
  EXPECT_GE(::fcntl(fd, F_GETFD), 0);
  copy.reset();
  EXPECT_EQ(kernel.closes.load(), 2);

  // The freed place can be taken again, until keeping stops.
  Descriptor third = open();
  EXPECT_NE(kept.keep(third), nullptr);
  kept.stop_keeping();
  Descriptor fourth = open();
  EXPECT_EQ(kept.keep(fourth), nullptr);
}

TEST(OpenDirectoryOfAnyLength, RefusesEmptyPathsAndNulBytes) {
  FaultyKernel kernel;
  EXPECT_EQ(open_directory_of_any_length(kernel, AT_FDCWD, "", OpenAs::kListing),
            std::unexpected(ENOENT));
  EXPECT_EQ(open_directory_of_any_length(kernel, AT_FDCWD, std::string_view("/tmp\0x", 6),
                                         OpenAs::kListing),
            std::unexpected(EINVAL));
  EXPECT_EQ(kernel.opens.load(), 0);
}

}  // namespace
}  // namespace tessaly::platform
