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
  const std::vector<std::string>& paths() const { return paths_; }

 private:
  std::vector<std::string> paths_;
};

}  // namespace tessaly
