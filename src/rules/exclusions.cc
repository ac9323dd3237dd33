#include "rules/exclusions.h"

#include <algorithm>

#include "base/paths.h"

namespace tessaly {
namespace {

// The path's last component as PathComponents gives it ("/" for the root, ""
// for an empty path), found from the end: asked for every directory a walk
// meets, it must not cost a pass over the whole path.
std::string_view last_component(std::string_view path) {
  std::size_t end = path.size();
  while (true) {
    while (end > 0 && path[end - 1] == '/') --end;
    if (end == 0) return path.empty() ? std::string_view() : std::string_view("/");
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    const std::string_view part = path.substr(start, end - start);
    // "." names no component, except as the first of a relative path.
    if (part != "." || start == 0) return part;
    end = start;
  }
}

}  // namespace

ExclusionList::ExclusionList(const std::vector<std::string>& user_paths) : paths_(user_paths) {
  for (const std::string_view fixed : default_system_excludes) {
    const bool present = std::any_of(paths_.begin(), paths_.end(), [fixed](const std::string& p) {
      return paths_equal(p, fixed);
    });
    if (!present) paths_.emplace_back(fixed);
  }
  for (const std::string& path : paths_) {
    const std::string_view last = last_component(path);
    if (std::find(last_components_.begin(), last_components_.end(), last) == last_components_.end())
      last_components_.emplace_back(last);
  }
}

bool ExclusionList::contains(std::string_view path) const {
  // Comparing whole paths costs more than a walk's per-directory work; most
  // paths end in a name no excluded path ends in.
  if (!may_end_in(last_component(path))) return false;
  return std::any_of(paths_.begin(), paths_.end(),
                     [path](const std::string& p) { return paths_equal(p, path); });
}

bool ExclusionList::may_end_in(std::string_view name) const {
  return std::find(last_components_.begin(), last_components_.end(), name) !=
         last_components_.end();
}

}  // namespace tessaly
