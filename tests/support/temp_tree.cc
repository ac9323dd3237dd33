#include "support/temp_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace tessaly::testing {
namespace {

#if defined(__linux__)
constexpr const char* kDescriptorFolder = "/proc/self/fd";
#else
constexpr const char* kDescriptorFolder = "/dev/fd";
#endif

// The errno value travels with the exception, so that a caller can tell a
// refused name (see name_refused) from any other failure.
[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::string read_all(int fd) {
  std::string data;
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      data.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  return data;
}

std::string temp_base() {
  const char* base = std::getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}

bool unprivileged_can_execute(const std::string& path) {
  return run_unprivileged([&] { return ::access(path.c_str(), X_OK) == 0 ? 0 : 1; }) == 0;
}

// The copies unprivileged_program made. Only the process that made the folder
// removes it: a forked child that exits must leave it to its parent.
class UnprivilegedCopies {
 public:
  ~UnprivilegedCopies() {
    if (owner_ != ::getpid()) static_cast<void>(folder_.release());
  }

  std::expected<std::string, std::string> copy_of(const std::string& program) {
    const std::lock_guard lock(mutex_);
    if (const auto known = copies_.find(program); known != copies_.end()) return known->second;
    try {
      if (folder_ == nullptr) {
        owner_ = ::getpid();
        folder_ = std::make_unique<TempDir>();
        if (::chmod(folder_->path().c_str(), 0755) != 0) fail("chmod " + folder_->path());
      }
      const std::string copy = folder_->at(std::to_string(copies_.size()) + "-" +
                                           std::filesystem::path(program).filename().string());
      std::filesystem::copy_file(program, copy);
      std::filesystem::permissions(copy, std::filesystem::perms(0755));
      if (!unprivileged_can_execute(copy)) {
        return std::unexpected("uid 65534 can run neither " + program + " nor its copy " + copy +
                               ": " + temp_base() + " is closed to it");
      }
      return copies_[program] = copy;
    } catch (const std::exception& error) {
      return std::unexpected("cannot copy " + program + " for uid 65534: " + error.what());
    }
  }

 private:
  std::mutex mutex_;
  pid_t owner_ = 0;
  std::unique_ptr<TempDir> folder_;
  std::map<std::string, std::string> copies_;
};

}  // namespace

TempDir::TempDir() {
  std::string pattern = temp_base() + "/tessaly-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() { remove_tree(path_); }

void remove_tree(const std::string& path) {
  constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  // Anything but a directory, a link to one included, is unlinked as it is:
  // chmod would follow a link and change what it points to.
  struct stat itself {};
  if (::lstat(path.c_str(), &itself) != 0) return;
  if (!S_ISDIR(itself.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  ::chmod(path.c_str(), 0755);
  int fd = ::open(path.c_str(), kDirFlags);
  if (fd < 0) {
    ::rmdir(path.c_str());
    return;
  }
  // One descriptor at a time, whatever the depth: a directory is left through
  // "..", and its parent is read again from the start, which then removes the
  // emptied directory. Per level only the directory's name is kept, and the
  // names of entries that could not be removed, so that they are not tried
  // again and again.
  std::vector<std::string> names;
  std::vector<std::vector<std::string>> given_up(1);
  while (fd >= 0) {
    ::fchmod(fd, 0755);
    std::vector<std::string>& stuck = given_up.back();
    std::string next;
    if (DIR* dir = ::fdopendir(::dup(fd))) {
      while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." ||
            std::find(stuck.begin(), stuck.end(), name) != stuck.end()) {
          continue;
        }
        bool is_dir = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
          struct stat st {};
          is_dir =
              ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        if (!is_dir) {
          if (::unlinkat(fd, name.c_str(), 0) != 0) stuck.push_back(name);
          continue;
        }
        if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) == 0) continue;
        if (errno == ENOTEMPTY || errno == EEXIST) {
          next = name;
          break;
        }
        stuck.push_back(name);
      }
      ::closedir(dir);
    }
    if (!next.empty()) {
      ::fchmodat(fd, next.c_str(), 0755, 0);
      const int child = ::openat(fd, next.c_str(), kDirFlags);
      if (child < 0) {
        stuck.push_back(next);
        continue;
      }
      ::close(fd);
      fd = child;
      names.push_back(next);
      given_up.emplace_back();
      continue;
    }
    if (names.empty()) break;
    const int parent = ::openat(fd, "..", kDirFlags);
    ::close(fd);
    fd = parent;
    const bool emptied = given_up.back().empty();
    given_up.pop_back();
    if (!emptied) given_up.back().push_back(names.back());
    names.pop_back();
  }
  if (fd >= 0) ::close(fd);
  ::rmdir(path.c_str());
}

std::string TempDir::at(std::string_view relative) const {
  if (relative.empty()) return path_;
  return path_ + "/" + std::string(relative);
}

std::string TempDir::make_dir(std::string_view relative) const {
  const std::string full = at(relative);
  std::filesystem::create_directories(full);
  return full;
}

std::string TempDir::write_file(std::string_view relative, std::uint64_t size) const {
  const std::string full = at(relative);
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  const int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("open " + full);
  std::string chunk(65536, 'x');
  std::uint64_t left = size;
  while (left > 0) {
    const std::size_t n = left < chunk.size() ? static_cast<std::size_t>(left) : chunk.size();
    if (::write(fd, chunk.data(), n) != static_cast<ssize_t>(n)) fail("write " + full);
    left -= n;
  }
  ::close(fd);
  return full;
}

std::string TempDir::write_text(std::string_view relative, std::string_view text) const {
  const std::string full = at(relative);
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  const int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("open " + full);
  if (!text.empty() && ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    fail("write " + full);
  ::close(fd);
  return full;
}

std::string TempDir::make_symlink(std::string_view target, std::string_view relative) const {
  const std::string full = at(relative);
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  if (::symlink(std::string(target).c_str(), full.c_str()) != 0) fail("symlink " + full);
  return full;
}

std::string TempDir::make_hardlink(std::string_view existing, std::string_view relative) const {
  const std::string full = at(relative);
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  if (::link(at(existing).c_str(), full.c_str()) != 0) fail("link " + full);
  return full;
}

std::string TempDir::make_fifo(std::string_view relative) const {
  const std::string full = at(relative);
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  if (::mkfifo(full.c_str(), 0644) != 0) fail("mkfifo " + full);
  return full;
}

std::uint64_t allocated_size(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) fail("lstat " + path);
  return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd) {
  TempDir capture;
  const std::string out_path = capture.at("out");
  const std::string err_path = capture.at("err");
  const pid_t pid = ::fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) ::_exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ProcessResult result;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const int out = ::open(out_path.c_str(), O_RDONLY);
  const int err = ::open(err_path.c_str(), O_RDONLY);
  if (out >= 0) {
    result.out = read_all(out);
    ::close(out);
  }
  if (err >= 0) {
    result.err = read_all(err);
    ::close(err);
  }
  return result;
}

int run_unprivileged(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(255);
    ::_exit(body());
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status)) return -2;
  const int code = WEXITSTATUS(status);
  return code == 255 ? -1 : code;
}

std::expected<std::string, std::string> unprivileged_program(const std::string& program) {
  if (::geteuid() != 0) return std::unexpected("needs root to run a program as uid 65534");
  if (program.empty()) return std::unexpected("the program's path is unknown");
  if (unprivileged_can_execute(program)) return program;
  static UnprivilegedCopies copies;
  return copies.copy_of(program);
}

std::set<std::string> open_descriptor_names() {
  std::set<std::string> names;
  DIR* dir = ::opendir(kDescriptorFolder);
  if (dir == nullptr) fail(std::string("opendir ") + kDescriptorFolder);
  const std::string own = std::to_string(::dirfd(dir));
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name != own) names.insert(name);
  }
  ::closedir(dir);
  return names;
}

std::string own_program_path() {
  char buffer[PATH_MAX] = {};
#if defined(__APPLE__)
  std::uint32_t size = sizeof buffer;
  if (::_NSGetExecutablePath(buffer, &size) != 0) return {};
  return buffer;
#else
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(length));
#endif
}

int open_pipe(int fds[2], int flags) {
#if defined(__linux__)
  return ::pipe2(fds, flags);
#else
  if (::pipe(fds) != 0) return -1;
  for (int i = 0; i < 2; ++i) {
    const bool failed = ((flags & O_CLOEXEC) != 0 && ::fcntl(fds[i], F_SETFD, FD_CLOEXEC) != 0) ||
                        ((flags & O_NONBLOCK) != 0 &&
                         ::fcntl(fds[i], F_SETFL, ::fcntl(fds[i], F_GETFL) | O_NONBLOCK) != 0);
    if (failed) {
      const int error = errno;
      ::close(fds[0]);
      ::close(fds[1]);
      errno = error;
      return -1;
    }
  }
  return 0;
#endif
}

int reserve_blocks(int fd, std::uint64_t bytes) {
  const auto length = static_cast<off_t>(bytes);
#if defined(__APPLE__)
  fstore_t store{};
  store.fst_flags = F_ALLOCATEALL;
  store.fst_posmode = F_PEOFPOSMODE;
  store.fst_offset = 0;
  store.fst_length = length;
  if (length > 0 && ::fcntl(fd, F_PREALLOCATE, &store) == -1) return errno;
  return ::ftruncate(fd, length) == 0 ? 0 : errno;
#else
  return ::posix_fallocate(fd, 0, length);
#endif
}

std::string run_test_child(const std::string& filter, const std::vector<std::string>& environment,
                           bool unprivileged, rlim_t max_descriptors) {
  const auto name_of = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> env_storage;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const bool replaced = std::any_of(environment.begin(), environment.end(), [&](const auto& own) {
      return name_of(own) == name_of(*entry);
    });
    if (!replaced) env_storage.emplace_back(*entry);
  }
  for (const std::string& entry : environment) {
    if (entry.find('=') != std::string::npos) env_storage.push_back(entry);
  }
  std::vector<char*> envp;
  for (std::string& entry : env_storage) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = own_program_path();
  if (program.empty()) return "own program path not found";
  if (unprivileged) {
    auto runnable = unprivileged_program(program);
    if (!runnable) return "cannot run as uid 65534: " + runnable.error();
    program = *runnable;
  }
  std::string filter_arg = "--gtest_filter=" + filter;
  char* argv[] = {program.data(), filter_arg.data(), nullptr};
  int pipe_fds[2];
  if (open_pipe(pipe_fds, O_CLOEXEC) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls until exec.
    ::dup2(pipe_fds[1], 1);
    if (max_descriptors != 0) {
      const rlimit limit{max_descriptors, max_descriptors};
      if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(125);
    }
    if (unprivileged && (::chdir("/") != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(126);
    }
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  std::string output;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
    output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "child failed (status " + std::to_string(status) + "): " + output;
  }
  const auto start = output.find("RESULT ");
  if (start == std::string::npos) return "no result: " + output;
  const auto end = output.find('\n', start);
  return output.substr(start + 7, end - start - 7);
}

std::string make_long_chain(const std::string& base, const std::string& segment,
                            std::size_t length) {
  int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fail("open " + base);
  std::string path = base;
  while (path.size() <= length) {
    if (::mkdirat(fd, segment.c_str(), 0755) != 0) fail("mkdirat");
    const int next = ::openat(fd, segment.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    if (next < 0) fail("openat");
    fd = next;
    path += "/" + segment;
  }
  const int file = ::openat(fd, "deep.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  const std::string data(5000, 'd');
  const bool written =
      file >= 0 && ::write(file, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  if (file >= 0) ::close(file);
  ::close(fd);
  if (!written) fail("write deep.txt");
  return path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::string read_stream(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  return text;
}

std::vector<std::string> entry_names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool path_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::optional<std::string> name_refused(const std::function<void()>& create) {
  try {
    create();
  } catch (const std::system_error& e) {
    if (e.code() != std::errc::illegal_byte_sequence) throw;
    return "this file system refuses names that are not valid UTF-8 (" + std::string(e.what()) +
           ")";
  }
  return std::nullopt;
}

}  // namespace tessaly::testing
