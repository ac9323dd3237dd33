// The bundle rule shared by both scan engines: directories that stand in the
// result as one item, totalled instead of listed.
#pragma once

#include <string_view>

namespace tessaly {

// True when `name` ends with ".app", ".framework", ".bundle", ".plugin" or
// ".kext", byte for byte and case-sensitively. Replacing invalid UTF-8 never
// changes the answer, so raw names and their text agree.
bool is_bundle_name(std::string_view name);

}  // namespace tessaly
