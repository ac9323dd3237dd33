// The exclusion rules shared by both scan engines: the paths a scan never
// enters, compared as paths (see base/paths.h).
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

// The system volumes every scan leaves out, in this order.
inline constexpr std::array<std::string_view, 3> default_system_excludes = {
    "/System/Volumes/Data",
    "/System/Volumes/Update/mnt1",
    "/System/Volumes/Update/SFR/mnt1",
};

// The exclusion list of one scan: the caller's paths in order (duplicates
// kept), then each fixed system path not already equal to an entry.
class ExclusionList {
 public:
  explicit ExclusionList(const std::vector<std::string>& user_paths);

  bool contains(std::string_view path) const;
  // False when no excluded path ends in the component `name`: no path ending
  // in it is excluded then, so a walk need not form the path to ask.
  bool may_end_in(std::string_view name) const;
  const std::vector<std::string>& paths() const { return paths_; }

 private:
  std::vector<std::string> paths_;
  std::vector<std::string> last_components_;  // of paths_, distinct
};

}  // namespace tessaly
