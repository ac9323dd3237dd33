#include "support/fault_tree.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace tessaly::testing {

std::string describe_result(const ScanResult& result) {
  std::vector<std::string> lines;
  for (const auto& [dir, children] : result.children_map) {
    for (const ChildEntry& child : children) {
      lines.push_back("child " + dir + " | " + std::string(child.raw_name()) + " " +
                      std::to_string(child.size()) + (child.is_dir() ? " dir" : " file"));
    }
  }
  for (const auto& [dir, size] : result.truncated_sizes) {
    lines.push_back("truncated " + dir + " " + std::to_string(size));
  }
  for (const auto& [dir, size] : result.dir_sizes) {
    lines.push_back("dir_size " + dir + " " + std::to_string(size));
  }
  for (const LargeFile& file : result.large_files) {
    lines.push_back("large " + file.path + " " + std::to_string(file.size));
  }
  std::sort(lines.begin(), lines.end());
  std::string text = "files " + std::to_string(result.files_found) + " dirs " +
                     std::to_string(result.dirs_found) + " total " +
                     std::to_string(result.total_size) + "\n";
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::size_t count_open_descriptors() { return open_descriptor_names().size(); }

std::string last_component(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

int interrupt_streak(int times) {
  thread_local int streak = 0;
  if (streak < times) {
    ++streak;
    return EINTR;
  }
  streak = 0;
  return 0;
}

std::string one_line(std::string text) {
  std::replace(text.begin(), text.end(), '\n', '|');
  return text;
}

void FaultTreeTest::SetUp() {
  ::chmod(dir_.path().c_str(), 0755);
  root_ = dir_.at("root");
  outside_ = dir_.make_dir("outside");
  dir_.write_file("outside/far.bin", 777 * 1024);
  build();
}

void FaultTreeTest::build() {
  remove_tree(root_);
  dir_.make_dir("root");
  dir_.write_file("root/top.bin", 5000);
  dir_.write_file("root/a/a1.txt", 100);
  dir_.write_file("root/a/a2.txt", 20000);
  dir_.write_file("root/a/victim/v1.dat", 3000);
  dir_.write_file("root/a/victim/v2.dat", 9000);
  dir_.write_file("root/a/victim/deep/d1.dat", 70000);
  dir_.write_file("root/b/b1.bin", 4096);
  dir_.make_symlink(outside_, "root/b/to_outside");
  dir_.write_file("root/b/Tool.app/x.bin", 10000);
  dir_.write_file("root/b/Tool.app/sub/y.bin", 50000);
  for (int i = 0; i < 20; ++i) {
    dir_.write_file("root/c/f" + std::to_string(i), static_cast<std::uint64_t>(i) * 1000);
  }
  dir_.write_file("root/c/target.dat", 12000);
  dir_.write_file("root/d/e/f/g.dat", 30000);
  dir_.make_hardlink("root/d/e/f/g.dat", "root/d/e/f/g2.dat");
  dir_.make_fifo("root/d/pipe");
  dir_.make_dir("root/d/empty");
}

std::string FaultTreeTest::clean_after(const std::function<void()>& change) {
  change();
  std::string text = clean();
  build();
  return text;
}

void FaultTreeTest::empty_out(const std::string& relative) {
  const std::string path = root_ + "/" + relative;
  for (const std::string& name : entry_names(path)) remove_tree(path + "/" + name);
}

}  // namespace tessaly::testing
