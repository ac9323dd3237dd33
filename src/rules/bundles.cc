#include "rules/bundles.h"

#include <algorithm>
#include <array>

namespace tessaly {
namespace {

constexpr std::array<std::string_view, 5> kBundleSuffixes = {".app", ".framework", ".bundle",
                                                             ".plugin", ".kext"};

}  // namespace

bool is_bundle_name(std::string_view name) {
  if (name.size() < 4) return false;
  return std::any_of(kBundleSuffixes.begin(), kBundleSuffixes.end(),
                     [name](std::string_view suffix) { return name.ends_with(suffix); });
}

}  // namespace tessaly
