// The calls both kernels answer the same way, through POSIX; each system's
// kernel adds the rest.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>

#include "platform/kernel.h"

namespace tessaly::platform {

class PosixKernel : public Kernel {
 public:
  std::expected<int, int> open_directory(int dir_fd, const char* path, OpenAs how) override;
  void close_descriptor(int fd) override;
  std::expected<std::int64_t, int> seek(int fd, std::int64_t offset, int whence) override;
  std::expected<void, int> stat_at(int dir_fd, const char* path, struct stat& result,
                                   int flags) override;
  std::expected<std::string, int> read_file(const char* path, std::size_t max_bytes) override;
};

}  // namespace tessaly::platform
