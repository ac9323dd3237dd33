#include "platform/descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "platform/c_path.h"

namespace tessaly::platform {
namespace {

// The descriptors this process has open, or an estimate when they cannot be
// listed.
std::int64_t count_open_descriptors(std::int64_t limit) {
  for (const char* listing : {"/proc/self/fd", "/dev/fd"}) {
    DIR* dir = ::opendir(listing);
    if (dir == nullptr) continue;
    std::int64_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      ++count;
    }
    ::closedir(dir);
    return count > 0 ? count - 1 : 0;  // less the listing's own descriptor
  }
  return limit / 2;
}

}  // namespace

std::string describe_io_error(std::string_view path, int error) {
  return fmt::format("{}{}: {} (os error {})", kIoErrorPrefix, path, std::strerror(error), error);
}

std::int64_t descriptor_budget(std::size_t threads, std::int64_t cap) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  const std::int64_t soft =
      limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > static_cast<rlim_t>(1) << 40
          ? std::int64_t{1} << 40
          : static_cast<std::int64_t>(limit.rlim_cur);
  const std::int64_t left = soft - count_open_descriptors(soft);
  const std::int64_t reserve = 16 + 4 * static_cast<std::int64_t>(threads);
  return std::clamp<std::int64_t>((left - reserve) / 2, 0, cap);
}

std::shared_ptr<const Descriptor> KeptDirectories::keep(Descriptor& fd) {
  if (kept_.fetch_add(1, std::memory_order_relaxed) >= budget_.load(std::memory_order_relaxed)) {
    kept_.fetch_sub(1, std::memory_order_relaxed);
    return nullptr;
  }
  struct Kept {
    Kept(Descriptor descriptor, std::atomic<std::int64_t>& counter)
        : fd(std::move(descriptor)), kept(counter) {}
    ~Kept() {
      fd.reset();
      kept.fetch_sub(1, std::memory_order_relaxed);
    }
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;

    Descriptor fd;
    std::atomic<std::int64_t>& kept;
  };
  std::shared_ptr<Kept> kept;
  try {
    kept = std::make_shared<Kept>(std::move(fd), kept_);
  } catch (...) {
    kept_.fetch_sub(1, std::memory_order_relaxed);
    throw;
  }
  const Descriptor* shared = &kept->fd;
  return std::shared_ptr<const Descriptor>(std::move(kept), shared);
}

std::expected<int, int> open_directory_of_any_length(Kernel& kernel, int base_fd,
                                                     std::string_view path, OpenAs last) {
  if (path.empty()) return std::unexpected(ENOENT);
  // The kernel would stop reading at the NUL and open another file.
  if (path.find('\0') != std::string_view::npos) return std::unexpected(EINVAL);
  const auto open = [&kernel](int dir_fd, const char* piece, OpenAs how) {
    return retry_interrupted([&] { return kernel.open_directory(dir_fd, piece, how); });
  };
  if (path.size() < PATH_MAX) return open(base_fd, CPath(path).get(), last);
  Descriptor current;
  int current_fd = base_fd;
  std::string_view rest = path;
  while (rest.size() >= PATH_MAX) {
    // Cut at the last separator that leaves a piece shorter than PATH_MAX. A
    // leading "/" is kept with the first piece, so it stays absolute.
    const std::size_t cut = rest.rfind('/', PATH_MAX - 2);
    if (cut == std::string_view::npos || cut == 0) return std::unexpected(ENAMETOOLONG);
    const auto next = open(current_fd, CPath(rest.substr(0, cut)).get(), OpenAs::kSearch);
    if (!next) return next;
    current = Descriptor(kernel, *next);
    current_fd = *next;
    rest.remove_prefix(cut);
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  }
  return open(current_fd, rest.empty() ? "." : CPath(rest).get(), last);
}

}  // namespace tessaly::platform
