// A small tmpfs mounted on a directory of a test tree for the life of the
// object, where this process may mount one (Linux, as root); tests check
// mounted() and skip saying so otherwise.
#pragma once

#include <string>

#if defined(__linux__)
#include <sys/mount.h>
#endif

namespace tessaly::testing {

class TmpfsMount {
 public:
  explicit TmpfsMount(std::string path) : path_(std::move(path)) {
#if defined(__linux__)
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=1m") == 0;
#endif
  }
  ~TmpfsMount() {
#if defined(__linux__)
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
#endif
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

}  // namespace tessaly::testing
