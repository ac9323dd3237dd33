// A scan of "/" on a Mac's volume group, emulated by the fake kernel: the
// System volume holds the root, firmlinks lead into the Data volume, which is
// also mounted at /System/Volumes/Data. Both engines must count what lies
// behind the firmlinks once, under the firmlink paths, and nothing else of
// the Data volume.
#include <cerrno>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bulk/bulk_engine.h"
#include "bulk/bulk_source.h"
#include "jwalk/jwalk_engine.h"
#include "result/result.h"
#include "rules/volume_group.h"
#include "support/faulty_kernel.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::allocated_size;
using ::testing::ElementsAre;
using testing::FaultyKernel;
using testing::TempDir;

constexpr std::uint32_t kDataDevice = 0xDA7A1;
constexpr std::uint32_t kPrebootDevice = 0xDA7A2;
constexpr std::uint32_t kExternalDevice = 0xDA7A3;
constexpr std::int64_t kPrebootUsed = 5'000'000'000;

// A host tree laid out as "/" of macOS 10.15 and later, with the sizes of
// what a scan of the group must count.
struct VolumeGroupTree {
  TempDir dir;
  std::uint64_t counted = 0;  // the bytes of the files a scan of "/" counts
  int counted_files = 0;

  std::uint64_t add(const std::string& path, std::uint64_t size) {
    const std::uint64_t bytes = allocated_size(dir.write_file(path, size));
    counted += bytes;
    ++counted_files;
    return bytes;
  }

  VolumeGroupTree() {
    add("Users/me/notes", 6000);
    add("Users/me/Documents/report", 3000);
    add("Applications/Tool/tool", 2000);
    add("usr/local/bin/x", 500);
    add("System/Library/kernel", 1000);
    const std::string firmlinks =
        "/Users\tUsers\n/Applications\tApplications\n/Library\tLibrary\n"
        "/usr/local\tusr/local\n/Volumes\tVolumes\nnot a firmlink\n";
    counted += allocated_size(dir.write_text("usr/share/firmlinks", firmlinks));
    ++counted_files;
    // The Data volume seen at its own mount point, an external disk under
    // the Volumes firmlink, and the Data volume mounted a second time
    // outside every firmlink: none of them is counted.
    dir.write_file("System/Volumes/Data/Users/me/notes", 6000);
    dir.write_file("System/Volumes/Preboot/boot.efi", 2000);
    dir.write_file("Volumes/External/stuff/f", 700);
    dir.write_file("elsewhere/f", 800);
  }

  void mount(FaultyKernel& os) const {
    os.root = dir.path();
    os.volumes["/System/Volumes/Data"] = {kDataDevice, 900'000'000'000};
    os.volumes["/System/Volumes/Preboot"] = {kPrebootDevice, kPrebootUsed};
    os.volumes["/Volumes/External"] = {kExternalDevice, 8'000'000};
    os.volumes["/elsewhere"] = {kDataDevice, 900'000'000'000};
    for (const char* firmlink : {"/Users", "/Applications", "/usr/local", "/Volumes"}) {
      os.firmlinks[firmlink] = kDataDevice;
    }
  }
};

std::set<std::string> names(const ScanResult& result, std::string_view dir) {
  std::set<std::string> out;
  if (const auto* children = result.children_of(dir)) {
    for (const ChildEntry& c : *children)
      out.insert(std::string(c.name()) + (c.is_dir() ? "/" : ""));
  }
  return out;
}

// A scan of "/" through `os` with bulk-attrs or jwalk, the kernel set to answer
// bulk reads for the first.
auto scan_root(FaultyKernel& os, bool bulk) {
  os.answers_bulk = bulk;
  return bulk ? scan_with_bulk_attrs(os, "/", 8, {}) : scan_with_jwalk(os, "/", 8, {});
}

// Directories: Users me Documents Applications Tool usr share local bin
// System Library (System/)Volumes Volumes.
constexpr std::uint64_t kCountedDirs = 13;

TEST(VolumeGroupScan, BothEnginesCountTheDataVolumeOnceUnderItsFirmlinks) {
  VolumeGroupTree tree;
  for (const bool bulk : {false, true}) {
    SCOPED_TRACE(bulk ? "bulk-attrs" : "jwalk");
    FaultyKernel os;
    tree.mount(os);
    const auto outcome = scan_root(os, bulk);
    ASSERT_TRUE(outcome.has_value()) << outcome.error();
    const ScanResult& result = **outcome;
    // bulk-attrs alone sizes a system volume other than Data as one item.
    EXPECT_EQ(result.files_found, static_cast<std::uint64_t>(tree.counted_files) + (bulk ? 1 : 0));
    EXPECT_EQ(result.total_size, tree.counted + (bulk ? kPrebootUsed : 0));
    EXPECT_EQ(result.dirs_found, kCountedDirs);
    EXPECT_EQ(names(result, "/"),
              (std::set<std::string>{"Users/", "Applications/", "usr/", "System/", "Volumes/"}));
    EXPECT_EQ(names(result, "/Users/me"), (std::set<std::string>{"notes", "Documents/"}));
    EXPECT_EQ(names(result, "/Users/me/Documents"), (std::set<std::string>{"report"}));
    EXPECT_EQ(names(result, "/usr/local/bin"), (std::set<std::string>{"x"}));
    EXPECT_EQ(names(result, "/Volumes"), (std::set<std::string>{}));
    EXPECT_EQ(names(result, "/System/Volumes"),
              bulk ? std::set<std::string>{"Preboot"} : std::set<std::string>{});
    EXPECT_EQ(result.children_of("/System/Volumes/Data"), nullptr);
    EXPECT_TRUE(os.listings_left_dataless_files());
  }
}

// Without its firmlinks file the group is not recognised, and the walk stays
// on the System volume as on any other volume: nothing is counted twice.
TEST(VolumeGroupScan, WithoutAFirmlinksFileTheWalkStaysOnTheRootsVolume) {
  VolumeGroupTree tree;
  for (const bool bulk : {false, true}) {
    SCOPED_TRACE(bulk ? "bulk-attrs" : "jwalk");
    FaultyKernel os;
    tree.mount(os);
    os.on_open = [](const testing::KernelCall& call) {
      return call.path == kFirmlinksFile ? ENOENT : 0;
    };
    const auto outcome = scan_root(os, bulk);
    ASSERT_TRUE(outcome.has_value()) << outcome.error();
    EXPECT_EQ((*outcome)->children_of("/Users/me"), nullptr);
    EXPECT_EQ((*outcome)->children_of("/Users/me/Documents"), nullptr);
  }
}

TEST(VolumeGroup, FoundOnlyForARootOnTheSystemVolume) {
  VolumeGroupTree tree;
  FaultyKernel os;
  tree.mount(os);
  const VolumeGroup group = find_volume_group(os, "/System");
  EXPECT_THAT(group.firmlinks,
              ElementsAre("/Users", "/Applications", "/Library", "/usr/local", "/Volumes"));
  EXPECT_EQ(bulk_device_id(static_cast<dev_t>(group.data_device)), kDataDevice);
  // Below a firmlink the root is on the Data volume itself; a relative root
  // cannot be compared with the firmlinked paths.
  EXPECT_EQ(find_volume_group(os, "/Users/me").data_device, 0u);
  EXPECT_EQ(find_volume_group(os, "System").data_device, 0u);
  os.volumes.erase("/System/Volumes/Data");
  EXPECT_EQ(find_volume_group(os, "/").data_device, 0u);
}

TEST(VolumeGroup, FirmlinksFileLinesAreAPathATabAndATarget) {
  EXPECT_THAT(parse_firmlinks("/Users\tUsers\n/usr/local\tusr/local\n\n"
                              "relative\tx\n/NoTarget\t\n/NoTab\n/\t\n/Last\tLast"),
              ElementsAre("/Users", "/usr/local", "/Last"));
  EXPECT_THAT(parse_firmlinks(""), ::testing::IsEmpty());
}

TEST(VolumeGroup, DataDeviceIsAdmittedOnlyAtOrBelowAFirmlink) {
  const DeviceRule rule(7, 9, {"/Users", "/usr/local"});
  EXPECT_TRUE(rule.on_root_volume(7));
  EXPECT_FALSE(rule.on_root_volume(9));
  EXPECT_TRUE(rule.through_firmlink(9, "/Users"));
  EXPECT_TRUE(rule.through_firmlink(9, "//Users/me/"));
  EXPECT_TRUE(rule.through_firmlink(9, "/usr/local/bin"));
  EXPECT_FALSE(rule.through_firmlink(9, "/usr"));
  EXPECT_FALSE(rule.through_firmlink(9, "/Users2"));
  EXPECT_FALSE(rule.through_firmlink(9, "/System/Volumes/Data/Users"));
  EXPECT_FALSE(rule.through_firmlink(9, "Users"));
  EXPECT_FALSE(rule.through_firmlink(8, "/Users"));
  // With the rule off, every device is the root's.
  EXPECT_TRUE(DeviceRule(0, 9, {"/Users"}).on_root_volume(8));
  EXPECT_FALSE(DeviceRule(0, 9, {"/Users"}).through_firmlink(9, "/Users"));
}

}  // namespace
}  // namespace tessaly
