// Scans a temporary tree, deletes a file in one of its folders, refreshes
// that folder alone and prints the totals before and after, as a desktop
// application does after each deletion it performs.
// Usage: refresh_after_delete [ENGINE]   (ENGINE: bulk-attrs on macOS, jwalk
// anywhere; without one the platform's default)
#include <tessaly/tessaly.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

void write_file(const fs::path& path, std::size_t bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
}

void print_totals(const char* when, const tessaly::ScanOutput& output, const fs::path& folder) {
  const tessaly::ScanResult& result = *output.result;
  const std::uint64_t* folder_size = result.dir_size(folder.string());
  std::printf("%s: %llu files, %llu directories, %llu bytes; %s: %llu bytes\n", when,
              static_cast<unsigned long long>(result.files_found),
              static_cast<unsigned long long>(result.dirs_found),
              static_cast<unsigned long long>(result.total_size), folder.string().c_str(),
              static_cast<unsigned long long>(folder_size != nullptr ? *folder_size : 0));
}

}  // namespace

int main(int argc, char** argv) {
  std::string pattern = (fs::temp_directory_path() / "refresh-example-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path root = pattern;
  write_file(root / "photos" / "a.jpg", 200000);
  write_file(root / "photos" / "b.jpg", 300000);
  write_file(root / "docs" / "notes.txt", 5000);

  tessaly::ScanRequest request;
  request.root = root.string();
  if (argc > 1) request.engine = argv[1];
  int status = 0;
  if (const auto before = tessaly::scan(request); !before) {
    std::fprintf(stderr, "scan failed: %s\n", before.error().message.c_str());
    status = 1;
  } else {
    print_totals("before", *before, root / "photos");
    fs::remove(root / "photos" / "b.jpg");
    // Only the folder is walked again; `before` stays as it was.
    const auto after = tessaly::refresh(*before, (root / "photos").string());
    if (!after) {
      std::fprintf(stderr, "refresh failed: %s\n", after.error().message.c_str());
      status = 1;
    } else {
      print_totals("after", *after, root / "photos");
    }
  }
  fs::remove_all(root);
  return status;
}
