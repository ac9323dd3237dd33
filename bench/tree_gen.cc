#include "tree_gen.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

namespace tessaly::bench {
namespace {

// Raised whenever the layout a recipe produces changes, so that trees built by
// an older generator are rebuilt rather than measured as if they were new.
constexpr int kLayoutVersion = 3;
constexpr std::uint64_t kMaxRealisticDepth = 12;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(fmt::format("{}: {}", what, std::strerror(errno)));
}

// Unbiased enough for layout choices, and identical on every standard library
// (std::uniform_int_distribution is not).
class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : engine_() % n; }
  bool one_in(std::uint64_t n) { return below(n) == 0; }

 private:
  std::mt19937_64 engine_;
};

constexpr std::string_view kWords[] = {"report", "cache", "index",  "data",  "image",  "thumb",
                                       "notes",  "build", "module", "asset", "config", "draft",
                                       "backup", "log",   "sample", "track", "chunk",  "page"};
constexpr std::string_view kExtensions[] = {".dat", ".txt", ".json", ".png", ".o",
                                            ".log", ".md",  ".jpg",  ".bin", ""};

std::string file_name(Random& random, std::uint64_t index) {
  const auto word = kWords[random.below(std::size(kWords))];
  const auto ext = kExtensions[random.below(std::size(kExtensions))];
  return fmt::format("{}_{}{}", word, index, ext);
}

// Mostly small files, as source trees and caches hold them: a third empty, most
// of the rest under 4 KiB, a few up to 64 KiB.
std::size_t file_size(Random& random) {
  const std::uint64_t roll = random.below(100);
  if (roll < 30) return 0;
  if (roll < 80) return 1 + random.below(4096);
  if (roll < 95) return 4096 + random.below(12 * 1024);
  return 16 * 1024 + random.below(48 * 1024 + 1);
}

const std::string& payload() {
  static const std::string bytes(64 * 1024 + 1, 'x');
  return bytes;
}

void write_file_at(int dir_fd, const std::string& name, std::size_t size) {
  const int fd = ::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("create " + name);
  if (size > 0 && ::write(fd, payload().data(), size) != static_cast<ssize_t>(size)) {
    ::close(fd);
    fail("write " + name);
  }
  ::close(fd);
}

void make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0) fail("mkdir " + path);
}

// Removes everything below the directory open as `dir_fd`, at any depth and
// path length.
void empty_directory(int dir_fd) {
  DIR* dir = ::fdopendir(::dup(dir_fd));
  if (dir == nullptr) fail("opendir");
  std::vector<std::pair<std::string, bool>> children;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    children.emplace_back(std::string(name), S_ISDIR(st.st_mode));
  }
  ::closedir(dir);
  for (const auto& [name, is_dir] : children) {
    if (is_dir) {
      const int child = ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
      if (child < 0) fail("open " + name);
      empty_directory(child);
      ::close(child);
    }
    if (::unlinkat(dir_fd, name.c_str(), is_dir ? AT_REMOVEDIR : 0) != 0) fail("remove " + name);
  }
}

bool is_empty_directory(int fd) {
  alignas(8) char buffer[4096];
  const ssize_t n = ::getdents64(fd, buffer, sizeof buffer);
  if (n < 0) fail("list");
  for (ssize_t at = 0; at < n;) {
    const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
    at += entry->d_reclen;
    const char* name = entry->d_name;
    if (!(name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))) {
      return false;
    }
  }
  return ::lseek(fd, 0, SEEK_SET) == 0;
}

// Empties `root` for a new tree. Only a directory this generator made (its
// record, finished or not, lies beside it) or an empty one is emptied: a path
// given by mistake must not cost anyone their files.
void reset_root(const std::string& root, bool generated_here) {
  if (::mkdir(root.c_str(), 0755) == 0) return;
  if (errno != EEXIST) fail("mkdir " + root);
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) fail("open " + root);
  if (!generated_here && !is_empty_directory(fd)) {
    ::close(fd);
    errno = ENOTEMPTY;
    fail("refusing to empty " + root + ", which holds files but no record of a generated tree");
  }
  empty_directory(fd);
  ::close(fd);
}

TreeStats make_realistic(const std::string& root, const TreeRecipe& recipe, bool verbose) {
  Random random(recipe.seed);
  TreeStats stats;
  struct Dir {
    std::string path;
    std::uint64_t depth;
  };
  std::vector<Dir> dirs{{root, 0}};
  // Directories are made level by level, most of them four to eight levels
  // down as in home and source trees, each under a parent drawn with a bias
  // towards the first directories of the level above: a few bushy branches
  // and many thin ones.
  const std::uint64_t dir_target = std::max<std::uint64_t>(1, recipe.entries / 12);
  constexpr std::uint64_t kPerMille[kMaxRealisticDepth] = {1,   4,   60,  100, 140, 160,
                                                           150, 120, 100, 80,  55,  30};
  std::size_t level_begin = 0;
  std::size_t level_end = 1;
  for (std::uint64_t depth = 1; depth <= kMaxRealisticDepth; ++depth) {
    const std::uint64_t count =
        std::max<std::uint64_t>(1, dir_target * kPerMille[depth - 1] / 1000);
    for (std::uint64_t n = 0; n < count && stats.dirs < dir_target; ++n) {
      const std::size_t parents = level_end - level_begin;
      const std::size_t slot = level_begin + random.below(random.below(parents) + 1);
      const std::string parent = dirs[slot].path;
      const bool bundle = random.one_in(2000);
      const std::string path =
          fmt::format("{}/{}{}", parent, bundle ? "Tool" : kWords[random.below(std::size(kWords))],
                      bundle ? fmt::format("{}.app", stats.dirs) : fmt::format("_{}", stats.dirs));
      make_dir(path);
      ++stats.dirs;
      dirs.push_back({path, depth});
      stats.max_depth = depth;
    }
    level_begin = level_end;
    level_end = dirs.size();
    if (level_begin == level_end) break;
  }
  // One directory in fifty is busy and gets half of all files.
  std::vector<std::size_t> busy;
  for (std::size_t i = 0; i < dirs.size(); i += 50) busy.push_back(i);
  const std::uint64_t others = recipe.entries > stats.dirs ? recipe.entries - stats.dirs : 0;
  for (std::uint64_t i = 0; i < others; ++i) {
    const std::size_t slot =
        random.one_in(2) ? busy[random.below(busy.size())] : random.below(dirs.size());
    const Dir& dir = dirs[slot];
    if (random.one_in(200)) {
      const std::string path = fmt::format("{}/link_{}", dir.path, i);
      if (::symlink("..", path.c_str()) != 0) fail("symlink " + path);
      ++stats.symlinks;
      continue;
    }
    const std::string name = file_name(random, i);
    write_file_at(AT_FDCWD, dir.path + "/" + name, file_size(random));
    ++stats.files;
    if (verbose && (i & 0xffff) == 0)
      std::fprintf(stderr, "  %llu entries...\n", (unsigned long long)i);
  }
  return stats;
}

TreeStats make_flat(const std::string& root, const TreeRecipe& recipe) {
  Random random(recipe.seed);
  TreeStats stats;
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fail("open " + root);
  for (std::uint64_t i = 0; i < recipe.entries; ++i) {
    write_file_at(fd, file_name(random, i), file_size(random));
    ++stats.files;
  }
  ::close(fd);
  return stats;
}

// A chain of directories whose full path is far longer than PATH_MAX, built
// relative to each parent's descriptor.
TreeStats make_deep(const std::string& root, const TreeRecipe& recipe) {
  Random random(recipe.seed);
  TreeStats stats;
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fail("open " + root);
  const std::uint64_t levels = std::max<std::uint64_t>(1, recipe.entries / 2);
  for (std::uint64_t level = 0; level < levels; ++level) {
    write_file_at(fd, fmt::format("file_{}", level), file_size(random));
    ++stats.files;
    if (::mkdirat(fd, "level", 0755) != 0) fail("mkdir level");
    const int child = ::openat(fd, "level", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (child < 0) fail("open level");
    ::close(fd);
    fd = child;
    ++stats.dirs;
    stats.max_depth = level + 1;
  }
  ::close(fd);
  return stats;
}

// Every file has five names spread over different directories; a scanner that
// counts a multiply-linked file's blocks once sees a fifth of the bytes `du
// --count-links` sees.
TreeStats make_hardlinks(const std::string& root, const TreeRecipe& recipe) {
  Random random(recipe.seed);
  TreeStats stats;
  constexpr int kNames = 5;
  std::vector<std::string> dirs;
  const std::uint64_t dir_count = std::max<std::uint64_t>(2, recipe.entries / 50);
  for (std::uint64_t i = 0; i < dir_count; ++i) {
    const std::string path = i < 16 ? fmt::format("{}/group_{}", root, i)
                                    : fmt::format("{}/dir_{}", dirs[random.below(16)], i);
    make_dir(path);
    dirs.push_back(path);
    ++stats.dirs;
    stats.max_depth = std::max<std::uint64_t>(stats.max_depth, i < 16 ? 1 : 2);
  }
  const std::uint64_t originals = (recipe.entries - std::min(recipe.entries, dir_count)) / kNames;
  for (std::uint64_t i = 0; i < originals; ++i) {
    const std::string first =
        fmt::format("{}/{}", dirs[random.below(dirs.size())], file_name(random, i));
    write_file_at(AT_FDCWD, first, 1 + file_size(random));
    ++stats.files;
    for (int n = 1; n < kNames; ++n) {
      const std::string other = fmt::format("{}/link{}_{}", dirs[random.below(dirs.size())], n, i);
      if (::link(first.c_str(), other.c_str()) != 0) fail("link " + other);
      ++stats.files;
    }
  }
  return stats;
}

std::string record_path(const std::string& root) {
  std::string path = root;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path + ".tessaly-tree";
}

std::string describe(const TreeRecipe& recipe) {
  return fmt::format("layout {} kind {} entries {} seed {}", kLayoutVersion,
                     tree_kind_name(recipe.kind), recipe.entries, recipe.seed);
}

bool read_record(const std::string& root, const TreeRecipe& recipe, TreeStats& stats) {
  FILE* file = std::fopen(record_path(root).c_str(), "r");
  if (file == nullptr) return false;
  char line[256] = {};
  unsigned long long files = 0, dirs = 0, symlinks = 0, depth = 0;
  const bool ok = std::fgets(line, sizeof line, file) != nullptr &&
                  std::string_view(line) == describe(recipe) + "\n" &&
                  std::fscanf(file, "%llu %llu %llu %llu", &files, &dirs, &symlinks, &depth) == 4;
  std::fclose(file);
  if (ok) stats = TreeStats{files, dirs, symlinks, depth};
  return ok;
}

void write_record(const std::string& root, const std::string& text) {
  FILE* file = std::fopen(record_path(root).c_str(), "w");
  if (file == nullptr || std::fputs(text.c_str(), file) < 0 || std::fclose(file) != 0) {
    fail("write " + record_path(root));
  }
}

}  // namespace

bool parse_tree_kind(const std::string& text, TreeKind& kind) {
  for (TreeKind k :
       {TreeKind::kRealistic, TreeKind::kFlat, TreeKind::kDeep, TreeKind::kHardlinks}) {
    if (text == tree_kind_name(k)) {
      kind = k;
      return true;
    }
  }
  return false;
}

const char* tree_kind_name(TreeKind kind) {
  switch (kind) {
    case TreeKind::kRealistic:
      return "realistic";
    case TreeKind::kFlat:
      return "flat";
    case TreeKind::kDeep:
      return "deep";
    case TreeKind::kHardlinks:
      return "hardlinks";
  }
  return "?";
}

std::optional<TreeRecipe> recorded_recipe(const std::string& root) {
  FILE* file = std::fopen(record_path(root).c_str(), "r");
  if (file == nullptr) return std::nullopt;
  char line[256] = {};
  const bool read = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  if (!read) return std::nullopt;
  int layout = 0;
  char kind_name[32] = {};
  unsigned long long entries = 0;
  unsigned long long seed = 0;
  if (std::sscanf(line, "layout %d kind %31s entries %llu seed %llu", &layout, kind_name, &entries,
                  &seed) != 4 ||
      layout != kLayoutVersion) {
    return std::nullopt;
  }
  TreeRecipe recipe;
  if (!parse_tree_kind(kind_name, recipe.kind)) return std::nullopt;
  recipe.entries = entries;
  recipe.seed = seed;
  // Only a record this generator would write again names a finished tree.
  if (std::string_view(line) != describe(recipe) + "\n") return std::nullopt;
  return recipe;
}

TreeStats ensure_tree(const std::string& root, const TreeRecipe& recipe, bool verbose) {
  TreeStats stats;
  if (read_record(root, recipe, stats)) return stats;
  if (verbose) std::fprintf(stderr, "building %s at %s\n", describe(recipe).c_str(), root.c_str());
  // A record of an unfinished build goes first, so that an interrupted build
  // is never taken for a finished one and may be emptied by the next run.
  const bool generated_here = ::access(record_path(root).c_str(), F_OK) == 0;
  reset_root(root, generated_here);
  write_record(root, "building " + describe(recipe) + "\n");
  switch (recipe.kind) {
    case TreeKind::kRealistic:
      stats = make_realistic(root, recipe, verbose);
      break;
    case TreeKind::kFlat:
      stats = make_flat(root, recipe);
      break;
    case TreeKind::kDeep:
      stats = make_deep(root, recipe);
      break;
    case TreeKind::kHardlinks:
      stats = make_hardlinks(root, recipe);
      break;
  }
  write_record(root, fmt::format("{}\n{} {} {} {}\n", describe(recipe), stats.files, stats.dirs,
                                 stats.symlinks, stats.max_depth));
  return stats;
}

}  // namespace tessaly::bench
