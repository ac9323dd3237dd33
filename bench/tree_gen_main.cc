// Builds a benchmark tree (or finds it already built) and prints what it
// holds as one JSON object.
//
//   tree_gen [--kind realistic|flat|deep|hardlinks] [--entries N] [--seed N] ROOT
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "tree_gen.h"

int main(int argc, char** argv) {
  tessaly::bench::TreeRecipe recipe;
  std::string root;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string_view arg = argv[i];
      if (arg.starts_with("--")) {
        if (i + 1 >= argc) throw std::runtime_error(fmt::format("{} needs a value", arg));
        const char* value = argv[++i];
        char* end = nullptr;
        errno = 0;
        const unsigned long long number = std::strtoull(value, &end, 0);
        const bool numeric = end != value && *end == '\0' && errno == 0;
        if (arg == "--kind") {
          if (!tessaly::bench::parse_tree_kind(value, recipe.kind)) {
            throw std::runtime_error(fmt::format("unknown tree kind {}", value));
          }
        } else if (arg == "--entries" && numeric) {
          recipe.entries = number;
        } else if (arg == "--seed" && numeric) {
          recipe.seed = number;
        } else {
          throw std::runtime_error(fmt::format("bad argument {} {}", arg, value));
        }
      } else if (root.empty()) {
        root = std::string(arg);
      } else {
        throw std::runtime_error(fmt::format("unexpected argument {}", arg));
      }
    }
    if (root.empty()) throw std::runtime_error("the tree's root path is missing");
    const tessaly::bench::TreeStats stats = tessaly::bench::ensure_tree(root, recipe, true);
    std::printf(
        "{\"root\": \"%s\", \"kind\": \"%s\", \"files\": %llu, \"dirs\": %llu, \"symlinks\": %llu, "
        "\"max_depth\": %llu}\n",
        root.c_str(), tessaly::bench::tree_kind_name(recipe.kind),
        static_cast<unsigned long long>(stats.files), static_cast<unsigned long long>(stats.dirs),
        static_cast<unsigned long long>(stats.symlinks),
        static_cast<unsigned long long>(stats.max_depth));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tree_gen: %s\n", error.what());
    return 1;
  }
  return 0;
}
