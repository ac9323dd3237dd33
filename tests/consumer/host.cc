// What a desktop host does with tessaly, against the public headers alone:
// scans a tree with a progress handle, cancels a scan from another thread, and
// reads the result. Exits 0 when every check holds, else 1 with one line per
// failed check on standard error.
#include <sys/stat.h>
#include <tessaly/tessaly.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

  std::filesystem::remove_all(root);
  std::cout << (failures == 0 ? "host: all checks passed\n" : "host: checks failed\n");
  return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
