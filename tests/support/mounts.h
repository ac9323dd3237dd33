// File systems mounted for a test: Linux's own (tmpfs, ramfs), which needs
// root. Elsewhere, and without the privilege, nothing is mounted and the test
// skips saying so.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/mount.h>
#endif

#include <gtest/gtest.h>

namespace tessaly::testing {

// Mounts made by one test, detached again (innermost first) when it ends.
class Mounts {
 public:
  Mounts() = default;
  Mounts(const Mounts&) = delete;
  Mounts& operator=(const Mounts&) = delete;
  ~Mounts() {
#if defined(__linux__)
    for (auto it = points_.rbegin(); it != points_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
#endif
  }
  // Mounts a fresh, small file system of `type` at `point`; false (errno set)
  // when this machine does not allow it.
  bool add(const std::string& type, const std::string& point) {
#if defined(__linux__)
    if (::mount("tessaly-test", point.c_str(), type.c_str(), 0, "size=8m") != 0) return false;
    points_.push_back(point);
    return true;
#else
    (void)type;
    (void)point;
    errno = ENOTSUP;
    return false;
#endif
  }

 private:
  std::vector<std::string> points_;
};

#define MOUNT_OR_SKIP(mounts, type, point)                                           \
  if (!(mounts).add(type, point)) {                                                  \
    GTEST_SKIP() << "cannot mount a " << (type) << " here (" << std::strerror(errno) \
                 << "); what the mount table proves is not exercised";               \
  }

}  // namespace tessaly::testing
