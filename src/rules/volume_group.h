// The device rule of both engines: a walk stays on the volumes of its root.
//
// On macOS 10.15 and later "/" is a volume group: the read-only System volume
// holds the root, and firmlinks on it (listed in /usr/share/firmlinks) lead
// into the Data volume, mounted at /System/Volumes/Data, where the user's
// files live: /Users, /Applications, /Library, /private, /usr/local and more.
// A path lookup crosses a firmlink into the Data volume, so a walk of "/"
// meets the Data volume's device below each firmlink. Such directories
// belong to the scan; the Data volume's own mount point stays excluded (see
// exclusions.h), so each file of the group is reached once, under its
// firmlink path. docs/macos-volumes.md gives the evidence.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel.h"

namespace tessaly {

// Where macOS lists the firmlinks of the System volume, and where the Data
// volume of the group is mounted.
inline constexpr std::string_view kFirmlinksFile = "/usr/share/firmlinks";
inline constexpr std::string_view kDataVolumeMount = "/System/Volumes/Data";

// The firmlinked paths of a firmlinks file: each line is an absolute path on
// the System volume, a tab, and the path of its target relative to the Data
// volume's root. Lines of any other form are ignored.
std::vector<std::string> parse_firmlinks(std::string_view text);

// The volume group of the volume holding a scan's root, as stat devices.
struct VolumeGroup {
  std::uint64_t data_device = 0;  // the Data volume's; 0: no group
  std::vector<std::string> firmlinks;
};

// The group when `root` lies on the System volume of one: on the device of
// "/", with another volume mounted at /System/Volumes/Data and a firmlinks
// file listing at least one path. Otherwise (any failure included) no group,
// and the device rule keeps a walk on the root's own device alone. Costs one
// stat where nothing is mounted at /System/Volumes/Data, at most three stats
// and one small file read elsewhere, once per scan.
VolumeGroup find_volume_group(platform::Kernel& kernel, std::string_view root);

// Which directories below a root lie on the scan's volumes. Devices are in
// the encoding of the engine that asks, the same for all three.
class DeviceRule {
 public:
  DeviceRule() = default;  // no rule: every device belongs
  // `root_device` 0 switches the rule off. `data_device` 0: no volume group.
  DeviceRule(std::uint64_t root_device, std::uint64_t data_device,
             std::vector<std::string> firmlinks);

  std::uint64_t root_device() const { return root_device_; }

  // Whether a directory on `device` is on the root's volume (or the rule is
  // off), which needs no path.
  bool on_root_volume(std::uint64_t device) const {
    return root_device_ == 0 || device == root_device_;
  }
  // Whether a directory on another `device` than the root's is walked all
  // the same: it lies on the Data volume of the root's group, at or below a
  // firmlinked path (compared as paths; a relative root never matches).
  bool through_firmlink(std::uint64_t device, std::string_view path) const;

 private:
  std::uint64_t root_device_ = 0;
  std::uint64_t data_device_ = 0;
  std::vector<std::string> firmlinks_;
};

}  // namespace tessaly
