#include "support/threads.h"

#include <dirent.h>

#include <chrono>
#include <thread>

namespace tessaly::testing {

std::size_t count_threads() {
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return 0;
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
  ::closedir(dir);
  return count;
}

std::size_t thread_count_settled_at(std::size_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::size_t count = count_threads();
  while (count != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    count = count_threads();
  }
  return count;
}

}  // namespace tessaly::testing
