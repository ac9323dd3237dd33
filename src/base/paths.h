// Path comparison: the one notion of "the same path" every layer uses.
//
// Paths are byte strings. Two paths are equal when their component sequences
// are equal: a leading "/" is a root component, repeated separators count as
// one, a trailing separator is ignored, "." is dropped except at the very start
// of a relative path, and ".." is kept as an ordinary component. Components are
// compared byte for byte; nothing is resolved, folded or normalised further.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

// Iterates the components of a path in the order described above. The root
// component is yielded as "/".
class PathComponents {
 public:
  explicit PathComponents(std::string_view path) : path_(path) {}

  // Stores the next component in `out` and returns true, or returns false at
  // the end of the path.
  bool next(std::string_view& out);

 private:
  std::string_view path_;
  std::size_t pos_ = 0;
  bool started_ = false;
};

bool paths_equal(std::string_view a, std::string_view b);

// True when the components of `prefix` are the first components of `path`.
bool path_starts_with(std::string_view path, std::string_view prefix);

// A hash consistent with paths_equal: equal paths hash equally.
std::size_t path_hash(std::string_view path);

struct PathHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view path) const { return path_hash(path); }
};

struct PathEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return paths_equal(a, b); }
};

// `parent` and `name` with one "/" between them; none is added when `parent`
// is empty or already ends with "/".
std::string join_path(std::string_view parent, std::string_view name);
void append_path(std::string& parent, std::string_view name);

}  // namespace tessaly
