// What a desktop host does with tessaly, against the public headers alone:
// scans a tree with a progress handle and typed progress, with the platform's
// default engine, cancels scans through its own token (before a scan starts
// and from another thread while it runs), matches errors by kind (wrong roots
// and exclude paths included), reads the problems of a scan, and walks the
// result's directories with their sizes. Exits 0 when every check holds,
// else 1 with one line per failed check on standard error.
#include <sys/stat.h>
#include <tessaly/tessaly.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The layout this host is built for (package 0.2): an entry is a pointer to
// its record, and a list of them is contiguous.
static_assert(sizeof(tessaly::ChildEntry) == sizeof(void*));

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
  if (!ok) {
    std::cerr << "FAILED: " << what << "\n";
    ++failures;
  }
}

class Recorder final : public tessaly::ProgressEmitter {
 public:
  bool emit(std::string_view event, std::string_view json_payload) const override {
    const std::lock_guard lock(mutex_);
    events_.push_back(std::string(event) + " " + std::string(json_payload));
    return true;
  }
  std::vector<std::string> events() const {
    const std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  mutable std::mutex mutex_;
  mutable std::vector<std::string> events_;
};

std::uint64_t write_file(const std::filesystem::path& path, std::size_t bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
  struct stat info {};
  ::stat(path.c_str(), &info);
  return static_cast<std::uint64_t>(info.st_blocks) * 512;
}

// The total of `dir` added up from its walked children, checked against the
// size the result gives for it, down to every listed directory.
std::uint64_t walk(const tessaly::ResultDirectory& dir) {
  std::uint64_t sum = dir.unlisted_size();
  for (const tessaly::ChildEntry& entry : dir.children()) {
    if (const auto child = dir.child(entry)) {
      const std::uint64_t below = walk(*child);
      check(below == dir.child_size(entry), "walked size of " + child->path());
      sum += below;
    } else {
      sum += dir.child_size(entry);
    }
  }
  check(sum == dir.size(), "walked size of " + dir.path());
  return sum;
}

}  // namespace

int main() {
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("tessaly-host-" + std::to_string(::getpid()));
  const std::uint64_t a = write_file(root / "docs" / "a.txt", 10'000);
  const std::uint64_t b = write_file(root / "docs" / "deep" / "b.txt", 20'000);
  const std::uint64_t c = write_file(root / "c.bin", 5'000);
  for (int i = 0; i < 300; ++i)
    write_file(root / "many" / std::to_string(i % 30) / std::to_string(i), 0);

  // A whole scan with a progress handle.
  Recorder recorder;
  tessaly::ScanRequest request;
  request.root = root.string();
  request.engine = std::string(tessaly::kJwalkEngineName);
  request.tree_depth = 2;
  const auto scanned = tessaly::run_scan(request, &recorder);
  check(scanned.has_value(), "scan succeeds: " + (scanned ? "" : scanned.error()));
  if (scanned) {
    const tessaly::ScanResult& result = *scanned->result;
    check(result.files_found == 303, "files_found " + std::to_string(result.files_found));
    check(result.dirs_found == 33, "dirs_found " + std::to_string(result.dirs_found));
    check(result.total_size == a + b + c, "total_size " + std::to_string(result.total_size));
    const std::uint64_t* docs = result.dir_size((root / "docs").string());
    check(docs != nullptr && *docs == a + b, "size of docs");
    const auto* top = result.children_of(root.string());
    check(top != nullptr && top->size() == 3, "three children at the root");
    const auto events = recorder.events();
    const std::string last =
        "scan-progress {\"files_found\":303,\"dirs_found\":33,\"total_size\":" +
        std::to_string(a + b + c) + ",\"elapsed_ms\":";
    check(!events.empty() && events.back().starts_with(last),
          "final event: " + (events.empty() ? std::string("none") : events.back()));
  }

  // Cancelled from another thread while the scan runs on a worker, as a UI
  // thread would; the reset at the start of a scan clears any earlier request,
  // so the request is repeated until the scan is over.
  bool cancelled = false;
  for (int attempt = 0; attempt < 20 && !cancelled; ++attempt) {
    std::atomic<bool> done = false;
    std::string error;
    std::thread worker([&] {
      const auto outcome = tessaly::run_scan(request);
      if (!outcome) error = outcome.error();
      done = true;
    });
    while (!done) {
      tessaly::request_scan_cancel();
      std::this_thread::yield();
    }
    worker.join();
    check(error.empty() || error == tessaly::kScanCancelled, "cancel gives: " + error);
    cancelled = error == tessaly::kScanCancelled;
  }
  check(cancelled, "a scan is cancelled from another thread");

  // After a cancellation the next scan runs whole; unknown engines are refused.
  const auto again = tessaly::run_scan(request);
  check(again.has_value() && again->result->files_found == 303, "scan after a cancellation");
  request.engine = "JWALK";
  const auto refused = tessaly::run_scan(request);
  check(!refused && refused.error() == "Unsupported scanner engine: JWALK", "unknown engine");
  const auto benchmark = tessaly::run_scan_benchmark(root.string(), 8, {}, "jwalk");
  check(benchmark && benchmark->files_found == 303, "run_scan_benchmark");
  tessaly::clear_scan_cache();

  // The host's door. A request made before the scan starts ends it at once.
  tessaly::ScanRequest host;
  host.root = root.string();
  host.cancel.request_cancel();
  const auto early = tessaly::scan(host);
  check(!early && early.error().kind == tessaly::ScanErrorKind::kCancelled &&
            early.error().message == "Scan cancelled",
        "cancel before the scan starts");

  // The platform default, with typed progress equal to the JSON events.
  host.cancel = tessaly::CancelToken();
  std::vector<tessaly::ScanProgress> typed;
  host.on_progress = [&typed](const tessaly::ScanProgress& progress) { typed.push_back(progress); };
  Recorder both;
  const auto by_default = tessaly::scan(host, &both);
  check(by_default.has_value(), "scan with the default engine");
  if (by_default) {
    check(by_default->engine == tessaly::default_scan_engine(host.root), "default engine ran");
#if defined(__linux__)
    check(by_default->engine == tessaly::ScanEngine::kJwalk, "default engine on Linux is jwalk");
#endif
    const auto events = both.events();
    check(!typed.empty() && typed.size() == events.size(), "one typed report per event");
    if (!typed.empty() && !events.empty()) {
      const tessaly::ScanProgress& last = typed.back();
      check(events.back() == "scan-progress {\"files_found\":" + std::to_string(last.files_found) +
                                 ",\"dirs_found\":" + std::to_string(last.dirs_found) +
                                 ",\"total_size\":" + std::to_string(last.total_size) +
                                 ",\"elapsed_ms\":" + std::to_string(last.elapsed_ms) + "}",
            "typed progress matches the event: " + events.back());
      check(last.files_found == 303 && last.total_size == a + b + c, "final typed progress");
    }
    // Walking the result's directories with their sizes.
    const tessaly::ResultDirectory top = by_default->result->root_directory();
    check(walk(top) == a + b + c, "walked total");
    bool docs_found = false;
    for (const tessaly::ChildEntry& entry : top.children()) {
      if (entry.name() != "docs") continue;
      docs_found = true;
      check(top.child_size(entry) == a + b, "size of docs through the walk");
    }
    check(docs_found, "docs listed at the root");
  }
  host.on_progress = nullptr;

  // Cancelled from another thread while the scan runs: the token is never
  // cleared, so one request is enough whenever it comes.
  bool stopped = false;
  for (int attempt = 0; attempt < 20 && !stopped; ++attempt) {
    host.cancel = tessaly::CancelToken();
    std::atomic<bool> started = false;
    std::optional<tessaly::ScanError> error;
    std::thread worker([&] {
      started = true;
      const auto outcome = tessaly::scan(host);
      if (!outcome) error = outcome.error();
    });
    while (!started) std::this_thread::yield();
    host.cancel.request_cancel();
    worker.join();
    check(!error || error->kind == tessaly::ScanErrorKind::kCancelled, "token cancel gives kind");
    stopped = error.has_value();
  }
  check(stopped, "a scan is cancelled through its token from another thread");

  // Errors by kind: an unknown engine, and a scan refused while another runs
  // (held here inside its progress callback).
  host.cancel = tessaly::CancelToken();
  host.engine = "JWALK";
  const auto unknown = tessaly::scan(host);
  check(!unknown && unknown.error().kind == tessaly::ScanErrorKind::kUnknownEngine &&
            unknown.error().message == "Unsupported scanner engine: JWALK",
        "unknown engine by kind");
  host.engine.reset();
  std::mutex mutex;
  std::condition_variable changed;
  bool inside = false;
  bool release = false;
  host.on_progress = [&](const tessaly::ScanProgress&) {
    std::unique_lock lock(mutex);
    inside = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
  };
  std::thread holder([&] { check(tessaly::scan(host).has_value(), "held scan completes"); });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return inside; });
  }
  tessaly::ScanRequest second;
  second.root = root.string();
  const auto busy = tessaly::scan(second);
  check(!busy && busy.error().kind == tessaly::ScanErrorKind::kBusy &&
            busy.error().message == "Scan already in progress",
        "busy by kind");
  {
    const std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
  holder.join();

  // Requests that cannot be scanned, by kind, each naming what is wrong.
  const auto refusal_of = [](const std::string& path, std::vector<std::string> excludes = {}) {
    tessaly::ScanRequest wrong;
    wrong.root = path;
    wrong.exclude_paths = std::move(excludes);
    const auto outcome = tessaly::scan(wrong);
    return outcome ? std::optional<tessaly::ScanError>() : outcome.error();
  };
  const std::string missing = (root / "missing").string();
  const auto not_found = refusal_of(missing);
  check(not_found && not_found->kind == tessaly::ScanErrorKind::kRootNotFound &&
            not_found->message == missing + ": No such file or directory (os error 2)",
        "missing root by kind");
  const auto not_dir = refusal_of((root / "c.bin").string());
  check(not_dir && not_dir->kind == tessaly::ScanErrorKind::kNotADirectory, "file root by kind");
  const auto relative = refusal_of(root.string(), {"docs"});
  check(relative && relative->kind == tessaly::ScanErrorKind::kInvalidRequest &&
            relative->message == "Exclude path is not absolute: docs",
        "relative exclude path by kind");
  if (::geteuid() != 0) {  // root opens every directory
    std::filesystem::create_directories(root / "locked");
    std::filesystem::permissions(root / "locked", std::filesystem::perms::none);
    const auto denied = refusal_of((root / "locked").string());
    check(denied && denied->kind == tessaly::ScanErrorKind::kPermissionDenied,
          "locked root by kind");
    tessaly::ScanRequest around;
    around.root = root.string();
    const auto listed = tessaly::scan(around);
    check(listed && listed->problems_total == 1 && listed->problems.size() == 1 &&
              listed->problems[0].path == (root / "locked").string(),
          "locked folder listed as a problem");
    std::filesystem::permissions(root / "locked", std::filesystem::perms::owner_all);
  }
  if (by_default) {
    check(by_default->problems.empty() && by_default->problems_total == 0,
          "a tree read whole has no problems");
  }

  std::filesystem::remove_all(root);
  std::cout << (failures == 0 ? "host: all checks passed\n" : "host: checks failed\n");
  return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
