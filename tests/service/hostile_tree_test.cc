// Trees that a file system allows but nobody plans for: hostile names, link
// cycles, FIFOs and sockets, files that change size during the scan, and a
// tree that another process keeps rewriting while both engines scan it.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/utf8.h"
#include "bulk/bulk_engine.h"
#include "jwalk/jwalk_engine.h"
#include "progress/progress.h"
#include "support/temp_tree.h"

extern char** environ;

namespace tessaly {
namespace {

using testing::allocated_size;
using testing::TempDir;

struct Counts {
  std::uint64_t files = 0;
  std::uint64_t dirs = 0;
  std::uint64_t bytes = 0;
  friend bool operator==(const Counts&, const Counts&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Counts& c) {
    return out << "{files " << c.files << ", dirs " << c.dirs << ", bytes " << c.bytes << "}";
  }
};

Counts counts_of(const ScanResult& result) {
  return {result.files_found, result.dirs_found, result.total_size};
}

// Names with a newline, quotes, a backslash, control characters and bytes
// that are not UTF-8.
const std::vector<std::string>& hostile_names() {
  static const std::vector<std::string> names = {
      "new\nline",
      "quote\"d",
      "single'q",
      "back\\slash",
      std::string("tab\tctl\x01\x1f\x7f"),
      "\xff\xfe bad",
      "trunc\xc3",
      "\xc3(",
      "{\"json\": [1]}",
      " lead and trail ",
  };
  return names;
}

class HostileTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { scan_cancel_flag().store(false); }
  void TearDown() override { scan_cancel_flag().store(false); }
};

TEST_F(HostileTreeTest, HostileNamesAreCountedAndShownAsUtf8) {
  TempDir dir;
  Counts expected;
  TESSALY_CREATE_OR_SKIP(for (std::size_t i = 0; i < hostile_names().size(); ++i) {
    const std::string& name = hostile_names()[i];
    expected.bytes += allocated_size(dir.write_file(name, 1000 + i));
    expected.bytes += allocated_size(dir.write_file("sub/" + name + "/inner", 5000));
    expected.files += 2;
    ++expected.dirs;
  });
  ++expected.dirs;  // "sub"

  for (const bool bulk : {false, true}) {
    SCOPED_TRACE(bulk ? "bulk-attrs" : "jwalk");
    const auto result =
        bulk ? scan_with_bulk_attrs(dir.path(), 8, {}) : scan_with_jwalk(dir.path(), 8, {});
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(counts_of(**result), expected);

    const auto* top = (*result)->children_of(dir.path());
    ASSERT_NE(top, nullptr);
    std::set<std::string> raw_names;
    for (const ChildEntry& child : *top) {
      EXPECT_TRUE(is_valid_utf8(child.name())) << child.name();
      raw_names.insert(std::string(child.raw_name()));
    }
    std::set<std::string> wanted(hostile_names().begin(), hostile_names().end());
    wanted.insert("sub");
    EXPECT_EQ(raw_names, wanted);
    // Each hostile directory is found and sized by its raw path.
    for (const std::string& name : hostile_names()) {
      const auto* size = (*result)->dir_size(dir.at("sub/" + name));
      ASSERT_NE(size, nullptr) << name;
      EXPECT_EQ(*size, allocated_size(dir.at("sub/" + name + "/inner")));
    }
  }
}

TEST_F(HostileTreeTest, ScanBenchReportStaysValidJsonForAHostileRoot) {
  TempDir dir;
  // Arguments must be UTF-8, so the root's name is hostile but valid; the
  // names inside are not.
  const std::string relative = "root \"q\"\n\x01\x1b[0m\\end\t";
  const std::string root = dir.make_dir(relative);
  const auto write_names = [&] {
    for (const std::string& name : hostile_names()) dir.write_file(relative + "/" + name, 100);
  };
  TESSALY_CREATE_OR_SKIP(write_names());
  const std::string report = dir.at("report.json");
  const auto run =
      testing::run_process({SCAN_BENCH_BINARY, "--root", root, "--engine", "jwalk", "--cold-runs",
                            "1", "--warm-runs", "1", "--output", report});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  std::ifstream file(report);
  std::stringstream text;
  text << file.rdbuf();
  nlohmann::json parsed;
  ASSERT_NO_THROW(parsed = nlohmann::json::parse(text.str())) << text.str();
  EXPECT_EQ(parsed["root"].get<std::string>(), root);
  ASSERT_EQ(parsed["runs"].size(), 2u);
  for (const auto& record : parsed["runs"]) {
    EXPECT_EQ(record["result"]["files_found"], hostile_names().size());
  }

  std::string not_utf8;
  TESSALY_CREATE_OR_SKIP(not_utf8 = dir.make_dir("bad\xff"));
  const auto refused = testing::run_process(
      {SCAN_BENCH_BINARY, "--root", not_utf8, "--engine", "jwalk", "--output", report});
  EXPECT_EQ(refused.exit_code, 2);
  EXPECT_TRUE(refused.err.starts_with("error: argument is not valid UTF-8: ")) << refused.err;
}

TEST_F(HostileTreeTest, SymbolicLinkCyclesAreNeverFollowed) {
  TempDir dir;
  Counts expected;
  expected.bytes += allocated_size(dir.write_file("a/file", 3000));
  expected.bytes += allocated_size(dir.write_file("a/b/file", 3000));
  expected.files = 2;
  expected.dirs = 2;
  dir.make_symlink(".", "a/self_dir");
  dir.make_symlink("..", "a/b/up");
  dir.make_symlink(dir.path(), "a/b/root");
  dir.make_symlink("loop2", "a/loop1");
  dir.make_symlink("loop1", "a/loop2");
  dir.make_symlink("me", "a/me");

  for (const bool bulk : {false, true}) {
    SCOPED_TRACE(bulk ? "bulk-attrs" : "jwalk");
    const auto result =
        bulk ? scan_with_bulk_attrs(dir.path(), 8, {}) : scan_with_jwalk(dir.path(), 8, {});
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(counts_of(**result), expected);
  }
}

TEST_F(HostileTreeTest, FifosAndSocketsAreNeverOpened) {
  TempDir dir;
  const std::uint64_t bytes = allocated_size(dir.write_file("d/file", 2000));
  dir.make_fifo("d/fifo");
  const std::string socket_path = dir.at("d/sock");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(sock);

  // The parallel walker counts them as files of their allocated size (none);
  // the bulk engine does not count them.
  const auto jwalk = scan_with_jwalk(dir.path(), 8, {});
  ASSERT_TRUE(jwalk.has_value());
  EXPECT_EQ(counts_of(**jwalk), (Counts{3, 1, bytes}));
  const auto bulk = scan_with_bulk_attrs(dir.path(), 8, {});
  ASSERT_TRUE(bulk.has_value());
  EXPECT_EQ(counts_of(**bulk), (Counts{1, 1, bytes}));
}

TEST_F(HostileTreeTest, FilesChangingSizeDuringTheScan) {
  TempDir dir;
  constexpr int kFiles = 40;
  constexpr std::size_t kLargest = 256 * 1024;
  std::vector<std::string> paths;
  for (int i = 0; i < kFiles; ++i) {
    paths.push_back(dir.write_file("d" + std::to_string(i % 4) + "/f" + std::to_string(i), 10));
  }
  // Taken before the writer starts: it holds a descriptor for a moment at a time.
  const auto fds = testing::open_descriptor_names();
  std::atomic<bool> done{false};
  std::thread changer([&] {
    const std::string data(kLargest, 'y');
    for (std::size_t round = 0; !done.load(); ++round) {
      for (std::size_t i = 0; i < paths.size(); ++i) {
        const int fd = ::open(paths[i].c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0) continue;
        const std::size_t size = (round + i) % 2 ? kLargest : (round * 7 + i) % 4096;
        if (::write(fd, data.data(), size) < 0) ADD_FAILURE() << "write failed";
        ::close(fd);
      }
    }
  });
  for (int i = 0; i < 20; ++i) {
    const bool bulk = i % 2 == 1;
    const auto result =
        bulk ? scan_with_bulk_attrs(dir.path(), 8, {}) : scan_with_jwalk(dir.path(), 8, {});
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ((*result)->files_found, static_cast<std::uint64_t>(kFiles));
    EXPECT_EQ((*result)->dirs_found, 4u);
    // Every file holds at most kLargest bytes, in blocks of at most 64 KiB
    // rounding, at any moment.
    EXPECT_LE((*result)->total_size, kFiles * (kLargest + 65536));
    const auto* size = (*result)->dir_size(dir.path());
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(*size, (*result)->total_size);
  }
  done.store(true);
  changer.join();
  EXPECT_EQ(testing::open_descriptor_names(), fds);
}

// Runs a shell loop that creates, renames and deletes directories and files in
// `dir` until it is killed.
class Churner {
 public:
  explicit Churner(const std::string& dir) {
    const char* script =
        "cd \"$1\" || exit 1; i=0; while :; do "
        "mkdir -p n$i/a/b && echo data > n$i/a/b/f && echo more > n$i/g; "
        "mv n$i m$i; mv m$i/g m$i/a/h; "
        "rm -rf m$((i - 4)); i=$((i + 1)); done";
    std::vector<std::string> args = {"/bin/sh", "-c", script, "churn", dir};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
  }
  ~Churner() { stop(); }
  Churner(const Churner&) = delete;
  Churner& operator=(const Churner&) = delete;

  bool running() const { return pid_ > 0; }
  // True when the loop was still running when stopped (it did not fail).
  bool stop() {
    if (pid_ <= 0) return false;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

 private:
  pid_t pid_ = -1;
};

TEST_F(HostileTreeTest, TreeRewrittenByAnotherProcessDuringScans) {
  TempDir dir;
  Counts stable;
  for (int i = 0; i < 30; ++i) {
    stable.bytes += allocated_size(dir.write_file("stable/s" + std::to_string(i) + "/f", 4096));
  }
  stable.files = 30;
  stable.dirs = 31;
  const std::string churn = dir.make_dir("churn");
  ++stable.dirs;

  const auto fds = testing::open_descriptor_names();
  Churner churner(churn);
  ASSERT_TRUE(churner.running());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (int i = 0; i < 30; ++i) {
    const bool bulk = i % 2 == 1;
    const auto result =
        bulk ? scan_with_bulk_attrs(dir.path(), 3, {}) : scan_with_jwalk(dir.path(), 3, {});
    ASSERT_TRUE(result.has_value()) << result.error();
    const ScanResult& r = **result;
    // The stable part is always there; the churning part holds at most a few
    // small directories at any moment, each of a handful of tiny files.
    EXPECT_GE(r.files_found, stable.files);
    EXPECT_LE(r.files_found, stable.files + 200);
    EXPECT_GE(r.total_size, stable.bytes);
    EXPECT_LE(r.total_size, stable.bytes + 200 * 65536);
    const auto* stable_size = r.dir_size(dir.at("stable"));
    ASSERT_NE(stable_size, nullptr);
    EXPECT_EQ(*stable_size, stable.bytes);
    const auto* root_size = r.dir_size(dir.path());
    ASSERT_NE(root_size, nullptr);
    EXPECT_EQ(*root_size, r.total_size);
  }
  EXPECT_TRUE(churner.stop()) << "the churning process ended early";
  EXPECT_EQ(testing::open_descriptor_names(), fds);
}

}  // namespace
}  // namespace tessaly
