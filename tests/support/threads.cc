#include "support/threads.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace tessaly::testing {
namespace {

// True when the thread has left the process's memory: it is exiting, and its
// join may already have returned (the kernel shows such a thread's memory as
// all zeros), or it is gone.
bool exiting(int task_fd, const char* tid) {
  const int fd = ::openat(task_fd, (std::string(tid) + "/statm").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char text[32];
  const ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  return n < 2 || (text[0] == '0' && text[1] == ' ');
}

}  // namespace

std::size_t count_threads() {
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return 0;
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(dir))
    count += entry->d_name[0] != '.' && !exiting(::dirfd(dir), entry->d_name);
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
