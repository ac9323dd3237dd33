// Writing a file so that readers only ever see the old content or the whole
// new content: the bytes go to a fresh temporary file in the same directory,
// which is flushed to disk and then renamed over the target.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace tessaly::scan_tree {

// "failed to write {path}: {description} (os error {number})".
std::string write_error_text(std::string_view path, int error_number);

class AtomicFile {
 public:
  // Creates the temporary file beside `path` (named ".{name}.tmp-{pid}-{n}").
  // Fails with the write error text for `path` when the target is a directory
  // or its directory cannot take a new file.
  static std::expected<AtomicFile, std::string> create(const std::string& path);

  AtomicFile(AtomicFile&& other) noexcept;
  AtomicFile& operator=(AtomicFile&&) = delete;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  // Removes the temporary file unless it was committed.
  ~AtomicFile();

  // Appends `bytes`. After the first failure nothing more is written and the
  // failure is reported by commit.
  bool write(std::string_view bytes);

  // Flushes the file to disk, closes it and renames it over the target; on
  // any failure the temporary file is removed and the target left as it was.
  std::expected<void, std::string> commit();

  // Removes the temporary file; the target is left as it was.
  void discard();

  const std::string& temp_path() const { return temp_path_; }

 private:
  AtomicFile(std::string path, std::string directory, std::string temp_path, int fd)
      : path_(std::move(path)),
        directory_(std::move(directory)),
        temp_path_(std::move(temp_path)),
        fd_(fd) {}

  std::string path_;
  std::string directory_;
  std::string temp_path_;
  int fd_ = -1;
  int error_ = 0;
  bool active_ = true;
};

}  // namespace tessaly::scan_tree
