#include <tessaly/text.h>

#include "base/paths.h"
#include "base/utf8.h"

namespace tessaly {

bool is_utf8(std::string_view bytes) { return is_valid_utf8(bytes); }

std::string utf8_text(std::string_view bytes) { return utf8_lossy(bytes); }

std::string join_raw_path(std::string_view parent, std::string_view name) {
  return join_path(parent, name);
}

}  // namespace tessaly
