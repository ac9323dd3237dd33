#include "base/paths.h"

#include "base/hash.h"

namespace tessaly {

bool PathComponents::next(std::string_view& out) {
  if (!started_) {
    started_ = true;
    if (!path_.empty() && path_[0] == '/') {
      pos_ = 1;
      out = std::string_view("/");
      return true;
    }
    // A leading "." survives only as the first component of a relative path.
    if (path_.size() >= 1 && path_[0] == '.' && (path_.size() == 1 || path_[1] == '/')) {
      pos_ = 1;
      out = path_.substr(0, 1);
      return true;
    }
  }
  const std::size_t size = path_.size();
  while (pos_ < size) {
    while (pos_ < size && path_[pos_] == '/') ++pos_;
    if (pos_ >= size) break;
    const std::size_t start = pos_;
    while (pos_ < size && path_[pos_] != '/') ++pos_;
    std::string_view component = path_.substr(start, pos_ - start);
    if (component == ".") continue;
    out = component;
    return true;
  }
  return false;
}

bool paths_equal(std::string_view a, std::string_view b) {
  if (a == b) return true;
  PathComponents left(a);
  PathComponents right(b);
  std::string_view l;
  std::string_view r;
  while (true) {
    const bool has_left = left.next(l);
    const bool has_right = right.next(r);
    if (has_left != has_right) return false;
    if (!has_left) return true;
    if (l != r) return false;
  }
}

bool path_starts_with(std::string_view path, std::string_view prefix) {
  PathComponents full(path);
  PathComponents head(prefix);
  std::string_view f;
  std::string_view h;
  while (head.next(h)) {
    if (!full.next(f) || f != h) return false;
  }
  return true;
}

std::size_t path_hash(std::string_view path) {
  // FNV-1a over the components, each followed by a byte no component holds.
  std::uint64_t hash = kFnvBasis;
  PathComponents components(path);
  std::string_view component;
  while (components.next(component)) hash = fnv1a(fnv1a(hash, component), "/");
  return static_cast<std::size_t>(hash ^ (hash >> 29));
}

void append_path(std::string& parent, std::string_view name) {
  if (!parent.empty() && parent.back() != '/') parent.push_back('/');
  parent.append(name);
}

std::string join_path(std::string_view parent, std::string_view name) {
  std::string joined;
  joined.reserve(parent.size() + name.size() + 1);
  joined.append(parent);
  append_path(joined, name);
  return joined;
}

}  // namespace tessaly
