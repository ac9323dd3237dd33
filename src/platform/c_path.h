// A NUL-terminated copy of a path piece, on the stack, for kernel calls made
// for every directory: a heap copy would cost an allocation each.
#pragma once

#include <climits>
#include <cstring>
#include <string_view>

namespace tessaly::platform {

// `text` must be shorter than PATH_MAX.
class CPath {
 public:
  explicit CPath(std::string_view text) {
    std::memcpy(buffer_, text.data(), text.size());
    buffer_[text.size()] = '\0';
  }
  CPath(const CPath&) = delete;
  CPath& operator=(const CPath&) = delete;
  const char* get() const { return buffer_; }

 private:
  char buffer_[PATH_MAX];
};

}  // namespace tessaly::platform
