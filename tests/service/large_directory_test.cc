// One directory holding a very large number of entries, scanned by both
// engines at the default tree depth: every entry must be counted and listed
// exactly once, the sizes must add up, no descriptor may stay open, and the
// peak memory of a whole process scanning it must stay within a fixed number
// of bytes per scanned entry.
//
// The directory is built once for the whole suite, relative to its own
// descriptor, and removed the same way. Sanitizer builds use a tenth of the
// entries: their instrumentation makes every system call and allocation
// several times slower, and their shadow memory makes resident-set figures
// meaningless, so the memory bound is checked in normal builds only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bulk/bulk_engine.h"
#include "cache/scan_cache.h"
#include "jwalk/jwalk_engine.h"
#include "progress/progress.h"
#include "support/temp_tree.h"

extern char** environ;

namespace tessaly {
namespace {

using testing::allocated_size;
using testing::TempDir;

// The directory goes to memory when the machine has a tmpfs at /dev/shm:
// creating and removing a million names on a disk-backed file system takes
// several times longer, and nothing tested here depends on the file system.
const bool kScratchInMemory = [] {
  if (std::getenv("TMPDIR") == nullptr && ::access("/dev/shm", W_OK | X_OK) == 0) {
    ::setenv("TMPDIR", "/dev/shm", 0);
  }
  return true;
}();

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr std::uint64_t kEntries = kSanitized ? 100'000 : 1'000'000;
constexpr std::uint64_t kTreeDepth = 8;

// Peak resident memory a scanning process may reach, per scanned entry.
[[maybe_unused]] constexpr std::uint64_t kMaxPeakBytesPerEntry = 160;

// Layout of the directory by entry index: subdirectories first (each holding
// one file), then files with data that carry extra names, then those extra
// names, then plain files, one in kDataEvery of them with data.
constexpr std::uint64_t kSubdirectories = 12;
constexpr std::uint64_t kLinkTargets = 4;
constexpr std::uint64_t kLinksPerTarget = 2;
constexpr std::uint64_t kFirstLinkTarget = kSubdirectories;
constexpr std::uint64_t kFirstLink = kFirstLinkTarget + kLinkTargets;
constexpr std::uint64_t kFirstPlainFile = kFirstLink + kLinkTargets * kLinksPerTarget;
constexpr std::uint64_t kDataEvery = 997;
constexpr std::string_view kInnerName = "inner";

static_assert(kEntries > kFirstPlainFile);

enum class Role { kSubdirectory, kLinkTarget, kLink, kFile };

Role role_of(std::uint64_t index) {
  if (index < kFirstLinkTarget) return Role::kSubdirectory;
  if (index < kFirstLink) return Role::kLinkTarget;
  if (index < kFirstPlainFile) return Role::kLink;
  return Role::kFile;
}

// The link target whose names `index` is one of (the target itself or one of
// its links).
std::uint64_t link_group_of(std::uint64_t index) {
  return role_of(index) == Role::kLinkTarget ? index - kFirstLinkTarget
                                             : (index - kFirstLink) / kLinksPerTarget;
}

// Names differ in length and ending so that an entry whose name is cut,
// shifted or glued to a neighbour's cannot be taken for another one.
constexpr std::string_view kSuffixes[] = {"", ".txt", "_cache.bin", "-x"};

std::string entry_name(std::uint64_t index) {
  return "e" + std::to_string(index) + std::string(kSuffixes[index % std::size(kSuffixes)]);
}

// The index `name` was made from, or nothing when no index makes it.
std::optional<std::uint64_t> index_of(std::string_view name) {
  if (name.size() < 2 || name[0] != 'e') return std::nullopt;
  std::uint64_t index = 0;
  std::size_t at = 1;
  while (at < name.size() && name[at] >= '0' && name[at] <= '9' && at < 12) {
    index = index * 10 + static_cast<std::uint64_t>(name[at] - '0');
    ++at;
  }
  if (at == 1 || index >= kEntries || name != entry_name(index)) return std::nullopt;
  return index;
}

std::size_t data_bytes_of(std::uint64_t index) {
  switch (role_of(index)) {
    case Role::kSubdirectory:
    case Role::kLink:
      return 0;
    case Role::kLinkTarget:
      return 5000 + 4096 * index;
    case Role::kFile:
      return index % kDataEvery == 0 ? 1 + (index * 7919) % 30000 : 0;
  }
  return 0;
}

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The directory and what a scan of it must find.
class LargeDirectory {
 public:
  LargeDirectory() : root_(scratch_.at("big")) {
    const auto start = std::chrono::steady_clock::now();
    if (::mkdir(root_.c_str(), 0755) != 0) fail("mkdir " + root_);
    fd_ = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) fail("open " + root_);
    expected_size_.resize(kEntries, 0);
    const std::string payload(64 * 1024, 'd');
    for (std::uint64_t index = 0; index < kEntries; ++index) {
      const std::string name = entry_name(index);
      const Role role = role_of(index);
      if (role == Role::kSubdirectory) {
        if (::mkdirat(fd_, name.c_str(), 0755) != 0) fail("mkdir " + name);
        const std::string inner = name + "/" + std::string(kInnerName);
        create_file(inner, 100 * (index + 1), payload);
        inner_size_.push_back(allocated_size(root_ + "/" + inner));
        total_size_ += inner_size_.back();
        ++files_;
        ++dirs_;
        continue;
      }
      if (role == Role::kLink) {
        const std::string target = entry_name(kFirstLinkTarget + link_group_of(index));
        if (::linkat(fd_, target.c_str(), fd_, name.c_str(), 0) != 0) fail("link " + name);
        ++files_;
        continue;
      }
      const std::size_t bytes = data_bytes_of(index);
      const std::uint64_t blocks = create_file(name, bytes, payload);
      // Files with data are measured by path, as a scanner sees them.
      expected_size_[index] = bytes > 0 ? allocated_size(root_ + "/" + name) : blocks;
      total_size_ += expected_size_[index];
      ++files_;
    }
    creation_seconds_ = seconds_since(start);
  }

  ~LargeDirectory() {
    if (fd_ < 0) return;
    for (std::uint64_t index = 0; index < kEntries; ++index) {
      const std::string name = entry_name(index);
      if (role_of(index) == Role::kSubdirectory) {
        const std::string inner = name + "/" + std::string(kInnerName);
        ::unlinkat(fd_, inner.c_str(), 0);
        ::unlinkat(fd_, name.c_str(), AT_REMOVEDIR);
      } else {
        ::unlinkat(fd_, name.c_str(), 0);
      }
    }
    ::close(fd_);
  }

  LargeDirectory(const LargeDirectory&) = delete;
  LargeDirectory& operator=(const LargeDirectory&) = delete;

  const std::string& root() const { return root_; }
  std::uint64_t files() const { return files_; }
  std::uint64_t dirs() const { return dirs_; }
  std::uint64_t total_size() const { return total_size_; }
  // Allocated bytes of the file behind `index`; 0 for a subdirectory.
  std::uint64_t size_of(std::uint64_t index) const { return expected_size_[index]; }
  std::uint64_t inner_size(std::uint64_t subdirectory) const { return inner_size_[subdirectory]; }
  double creation_seconds() const { return creation_seconds_; }

 private:
  // Creates `name` below the directory with `bytes` of data; returns its
  // allocated bytes.
  std::uint64_t create_file(const std::string& name, std::size_t bytes,
                            const std::string& payload) {
    const int file = ::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (file < 0) fail("create " + name);
    std::size_t left = bytes;
    while (left > 0) {
      const std::size_t chunk = std::min(left, payload.size());
      if (::write(file, payload.data(), chunk) != static_cast<ssize_t>(chunk)) {
        ::close(file);
        fail("write " + name);
      }
      left -= chunk;
    }
    struct stat st {};
    if (::fstat(file, &st) != 0) fail("fstat " + name);
    ::close(file);
    return static_cast<std::uint64_t>(st.st_blocks) * 512;
  }

  TempDir scratch_;
  std::string root_;
  int fd_ = -1;
  std::vector<std::uint64_t> expected_size_;
  std::vector<std::uint64_t> inner_size_;
  std::uint64_t files_ = 0;
  std::uint64_t dirs_ = 0;
  std::uint64_t total_size_ = 0;
  double creation_seconds_ = 0;
};

// Checks that `listed` holds every entry of `dir` exactly once, each with its
// own kind and size; a multiply-linked file's blocks may sit on any one of its
// names.
void expect_every_entry_once(const LargeDirectory& dir, const ChildList& listed) {
  EXPECT_EQ(listed.size(), kEntries);
  std::vector<std::uint8_t> seen(kEntries, 0);
  std::vector<std::uint64_t> group_bytes(kLinkTargets, 0);
  std::vector<std::uint64_t> group_sized_names(kLinkTargets, 0);
  std::uint64_t strangers = 0;
  std::uint64_t duplicates = 0;
  std::uint64_t wrong = 0;
  for (const ChildEntry& entry : listed) {
    const auto index = index_of(entry.raw_name());
    if (!index) {
      if (++strangers <= 5) ADD_FAILURE() << "listed entry no one created: " << entry.raw_name();
      continue;
    }
    if (seen[*index]++ != 0) {
      if (++duplicates <= 5) ADD_FAILURE() << "listed more than once: " << entry.raw_name();
      continue;
    }
    const Role role = role_of(*index);
    bool right = entry.is_dir() == (role == Role::kSubdirectory);
    if (role == Role::kLinkTarget || role == Role::kLink) {
      const std::uint64_t group = link_group_of(*index);
      group_bytes[group] += entry.size();
      if (entry.size() != 0) ++group_sized_names[group];
    } else {
      right = right && entry.size() == dir.size_of(*index);
    }
    if (!right && ++wrong <= 5) {
      ADD_FAILURE() << entry.raw_name() << ": listed as " << (entry.is_dir() ? "directory" : "file")
                    << " of " << entry.size() << " bytes, expected "
                    << (role == Role::kSubdirectory ? "directory" : "file") << " of "
                    << dir.size_of(*index) << " bytes";
    }
  }
  std::uint64_t missing = 0;
  for (std::uint64_t index = 0; index < kEntries; ++index) {
    if (seen[index] == 0 && ++missing <= 5) ADD_FAILURE() << "not listed: " << entry_name(index);
  }
  EXPECT_EQ(strangers, 0u);
  EXPECT_EQ(duplicates, 0u);
  EXPECT_EQ(missing, 0u);
  EXPECT_EQ(wrong, 0u);
  for (std::uint64_t group = 0; group < kLinkTargets; ++group) {
    SCOPED_TRACE("names of " + entry_name(kFirstLinkTarget + group));
    EXPECT_EQ(group_bytes[group], dir.size_of(kFirstLinkTarget + group));
    EXPECT_EQ(group_sized_names[group], 1u);
  }
}

// Scans the suite's directory with one engine and checks the whole result.
void check_scan(const LargeDirectory& dir, bool bulk) {
  SCOPED_TRACE(bulk ? "bulk-attrs" : "jwalk");
  const auto descriptors_before = testing::open_descriptor_names().size();
  const auto start = std::chrono::steady_clock::now();
  auto outcome = bulk ? scan_with_bulk_attrs(dir.root(), kTreeDepth, {})
                      : scan_with_jwalk(dir.root(), kTreeDepth, {});
  const double scan_seconds = seconds_since(start);
  EXPECT_EQ(testing::open_descriptor_names().size(), descriptors_before);
  ASSERT_TRUE(outcome.has_value()) << outcome.error();
  std::printf("[ timing   ] %s: %llu entries created in %.2f s, scanned in %.2f s\n",
              bulk ? "bulk-attrs" : "jwalk", static_cast<unsigned long long>(kEntries),
              dir.creation_seconds(), scan_seconds);
  std::fflush(stdout);

  const ScanResult& result = **outcome;
  EXPECT_EQ(result.files_found, dir.files());
  EXPECT_EQ(result.dirs_found, dir.dirs());
  EXPECT_EQ(result.total_size, dir.total_size());
  const std::uint64_t* root_size = result.dir_size(dir.root());
  ASSERT_NE(root_size, nullptr);
  EXPECT_EQ(*root_size, dir.total_size());

  const ChildList* listed = result.children_of(dir.root());
  ASSERT_NE(listed, nullptr);
  expect_every_entry_once(dir, *listed);

  for (std::uint64_t index = 0; index < kSubdirectories; ++index) {
    const std::string subdirectory = dir.root() + "/" + entry_name(index);
    SCOPED_TRACE(subdirectory);
    const ChildList* inside = result.children_of(subdirectory);
    ASSERT_NE(inside, nullptr);
    ASSERT_EQ(inside->size(), 1u);
    EXPECT_EQ(inside->front().name(), kInnerName);
    EXPECT_FALSE(inside->front().is_dir());
    EXPECT_EQ(inside->front().size(), dir.inner_size(index));
  }
  EXPECT_EQ(result.children_map.size(), 1 + kSubdirectories);
}

// --- The memory probe --------------------------------------------------------

// The peak resident set is read from /proc/self/status.
#if defined(__linux__)

constexpr const char* kProbeRootVariable = "TESSALY_LARGE_DIR_PROBE_ROOT";
constexpr const char* kProbeEngineVariable = "TESSALY_LARGE_DIR_PROBE_ENGINE";
constexpr const char* kProbeOutVariable = "TESSALY_LARGE_DIR_PROBE_OUT";

// This process's peak resident set in KiB (VmHWM), or nothing.
std::optional<std::uint64_t> peak_resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    unsigned long long kib = 0;
    if (std::sscanf(line.c_str(), "VmHWM: %llu kB", &kib) == 1) return kib;
  }
  return std::nullopt;
}

struct ProbeReport {
  std::uint64_t files = 0;
  std::uint64_t dirs = 0;
  std::uint64_t peak_kib = 0;
};

// Runs the probe test in a fresh image of this program (never a fork of this
// one, whose worker pool would be missing its threads) and reads its report.
ProbeReport run_probe(const std::string& root, const std::string& engine) {
  TempDir out_dir;
  const std::string out = out_dir.at("report");
  std::vector<std::string> env_storage;
  for (char** entry = environ; *entry != nullptr; ++entry) env_storage.emplace_back(*entry);
  env_storage.push_back(std::string(kProbeRootVariable) + "=" + root);
  env_storage.push_back(std::string(kProbeEngineVariable) + "=" + engine);
  env_storage.push_back(std::string(kProbeOutVariable) + "=" + out);
  std::vector<char*> envp;
  for (std::string& entry : env_storage) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = testing::own_program_path();
  if (program.empty()) fail("own program path");
  std::string filter = "--gtest_filter=LargeDirectoryMemoryProbe.*";
  char* argv[] = {program.data(), filter.data(), nullptr};
  const pid_t pid = ::fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    const int quiet = ::open("/dev/null", O_WRONLY);
    if (quiet >= 0) ::dup2(quiet, 1);
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("probe for " + engine + " ended with status " +
                             std::to_string(status));
  }
  std::ifstream in(out);
  std::string text;
  std::getline(in, text);
  ProbeReport report;
  std::istringstream fields(text);
  if (!(fields >> report.files >> report.dirs >> report.peak_kib)) {
    throw std::runtime_error("probe for " + engine + " reported: " + text);
  }
  return report;
}

// Not a test of its own: run by run_probe in a fresh process, where it scans
// the directory named in the environment once and writes the counters and
// the process's peak resident set.
TEST(LargeDirectoryMemoryProbe, ScanAndReportPeak) {
  const char* root = std::getenv(kProbeRootVariable);
  const char* engine = std::getenv(kProbeEngineVariable);
  const char* out = std::getenv(kProbeOutVariable);
  if (root == nullptr || engine == nullptr || out == nullptr) {
    GTEST_SKIP() << "runs only in a child started by the memory test";
  }
  const bool bulk = std::string_view(engine) == "bulk-attrs";
  auto outcome =
      bulk ? scan_with_bulk_attrs(root, kTreeDepth, {}) : scan_with_jwalk(root, kTreeDepth, {});
  ASSERT_TRUE(outcome.has_value()) << outcome.error();
  const auto peak = peak_resident_kib();
  ASSERT_TRUE(peak.has_value());
  std::ofstream file(out);
  file << (*outcome)->files_found << " " << (*outcome)->dirs_found << " " << *peak << "\n";
}
#endif  // defined(__linux__)

// --- The tests ---------------------------------------------------------------

class LargeDirectoryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { shared_directory = new LargeDirectory(); }
  static void TearDownTestSuite() {
    delete shared_directory;
    shared_directory = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(shared_directory, nullptr) << "the directory could not be built";
    scan_cancel_flag().store(false);
  }
  // The cache holds the last result of each root: several hundred megabytes
  // here, which later tests need not carry.
  void TearDown() override { clear_scan_cache(); }

  static LargeDirectory* shared_directory;
};

LargeDirectory* LargeDirectoryTest::shared_directory = nullptr;

TEST_F(LargeDirectoryTest, ParallelWalkerCountsAndListsEveryEntryOnce) {
  check_scan(*shared_directory, false);
}

TEST_F(LargeDirectoryTest, BulkWalkerCountsAndListsEveryEntryOnce) {
  check_scan(*shared_directory, true);
}

#if defined(__linux__)
TEST_F(LargeDirectoryTest, PeakMemoryPerScannedEntryIsBounded) {
  if (kSanitized) {
    GTEST_SKIP() << "sanitizer shadow memory makes resident-set figures meaningless";
  }
  const LargeDirectory& dir = *shared_directory;
  for (const std::string engine : {"jwalk", "bulk-attrs"}) {
    SCOPED_TRACE(engine);
    const ProbeReport report = run_probe(dir.root(), engine);
    EXPECT_EQ(report.files, dir.files());
    EXPECT_EQ(report.dirs, dir.dirs());
    const std::uint64_t entries = report.files + report.dirs;
    ASSERT_GT(entries, 0u);
    const double per_entry =
        static_cast<double>(report.peak_kib) * 1024.0 / static_cast<double>(entries);
    std::printf("[ memory   ] %s: peak %llu KiB over %llu entries, %.1f bytes per entry\n",
                engine.c_str(), static_cast<unsigned long long>(report.peak_kib),
                static_cast<unsigned long long>(entries), per_entry);
    std::fflush(stdout);
    EXPECT_LE(report.peak_kib * 1024, kMaxPeakBytesPerEntry * entries)
        << per_entry << " bytes per entry";
  }
}
#endif  // defined(__linux__)

}  // namespace
}  // namespace tessaly
