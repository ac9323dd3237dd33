#include "rules/exclusions.h"

#include <algorithm>

#include "base/paths.h"

namespace tessaly {

ExclusionList::ExclusionList(const std::vector<std::string>& user_paths) : paths_(user_paths) {
  for (const std::string_view fixed : default_system_excludes) {
    const bool present = std::any_of(paths_.begin(), paths_.end(), [fixed](const std::string& p) {
      return paths_equal(p, fixed);
    });
    if (!present) paths_.emplace_back(fixed);
  }
}

bool ExclusionList::contains(std::string_view path) const {
  return std::any_of(paths_.begin(), paths_.end(),
                     [path](const std::string& p) { return paths_equal(p, path); });
}

}  // namespace tessaly
