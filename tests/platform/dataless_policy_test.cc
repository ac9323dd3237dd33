// The scanning threads' dataless-file policy: listing a folder must not
// download iCloud Drive or File Provider contents. scripts/macos-check.sh runs
// this program on a Mac.
#include <gtest/gtest.h>

#if defined(__APPLE__)
#include <sys/resource.h>
#endif

#include <thread>

#include "platform/kernel.h"

namespace tessaly::platform {
namespace {

#if defined(__APPLE__)
TEST(DatalessPolicy, SetForTheCallingThreadAloneOncePerThread) {
  const int process_before =
      ::getiopolicy_np(IOPOL_TYPE_VFS_MATERIALIZE_DATALESS_FILES, IOPOL_SCOPE_PROCESS);
  int before = -2, after = -2, again = -2;
  bool first = false, second = false;
  std::thread scanning([&] {
    before = ::getiopolicy_np(IOPOL_TYPE_VFS_MATERIALIZE_DATALESS_FILES, IOPOL_SCOPE_THREAD);
    first = system_kernel().leave_dataless_files().has_value();
    after = ::getiopolicy_np(IOPOL_TYPE_VFS_MATERIALIZE_DATALESS_FILES, IOPOL_SCOPE_THREAD);
    second = system_kernel().leave_dataless_files().has_value();
    again = ::getiopolicy_np(IOPOL_TYPE_VFS_MATERIALIZE_DATALESS_FILES, IOPOL_SCOPE_THREAD);
  });
  scanning.join();
  EXPECT_NE(before, IOPOL_MATERIALIZE_DATALESS_FILES_OFF);
  EXPECT_TRUE(first);
  EXPECT_EQ(after, IOPOL_MATERIALIZE_DATALESS_FILES_OFF);
  EXPECT_TRUE(second);
  EXPECT_EQ(again, IOPOL_MATERIALIZE_DATALESS_FILES_OFF);
  // The host's own threads and the process keep their policy.
  EXPECT_NE(::getiopolicy_np(IOPOL_TYPE_VFS_MATERIALIZE_DATALESS_FILES, IOPOL_SCOPE_THREAD),
            IOPOL_MATERIALIZE_DATALESS_FILES_OFF);
  EXPECT_EQ(::getiopolicy_np(IOPOL_TYPE_VFS_MATERIALIZE_DATALESS_FILES, IOPOL_SCOPE_PROCESS),
            process_before);
}
#else
TEST(DatalessPolicy, NothingToSetWhereNoFileIsDataless) {
  std::thread scanning([] { EXPECT_TRUE(system_kernel().leave_dataless_files().has_value()); });
  scanning.join();
}
#endif

}  // namespace
}  // namespace tessaly::platform
