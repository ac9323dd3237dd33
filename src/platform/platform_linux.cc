// Linux has no getattrlistbulk; it is supplied from getdents64 and one
// fstatat per entry relative to the directory's descriptor, packed into the
// same records the macOS kernel produces, so the record parser runs on real
// kernel data here too.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/platform.h"

namespace tessaly::platform {
namespace {

// Bulk records hold a 32-bit device id, so stat's 64-bit dev_t is folded into
// the kernel's own 32-bit encoding (major below 4096, minor below 2^20), the
// same one device_of reports, so that both compare equal for one volume.
std::uint32_t encode_device(dev_t dev) {
  const auto major_number = static_cast<std::uint32_t>(major(dev));
  const auto minor_number = static_cast<std::uint32_t>(minor(dev));
  return (minor_number & 0xffu) | ((major_number & 0xfffu) << 8) | ((minor_number & ~0xffu) << 12);
}

std::uint32_t object_type_of_mode(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return obj_type_regular;
    case S_IFDIR:
      return obj_type_directory;
    case S_IFBLK:
      return obj_type_block_device;
    case S_IFCHR:
      return obj_type_char_device;
    case S_IFLNK:
      return obj_type_symlink;
    case S_IFSOCK:
      return obj_type_socket;
    case S_IFIFO:
      return obj_type_fifo;
    default:
      return obj_type_none;
  }
}

std::uint32_t object_type_of_dirent(unsigned char type) {
  switch (type) {
    case DT_REG:
      return obj_type_regular;
    case DT_DIR:
      return obj_type_directory;
    case DT_BLK:
      return obj_type_block_device;
    case DT_CHR:
      return obj_type_char_device;
    case DT_LNK:
      return obj_type_symlink;
    case DT_SOCK:
      return obj_type_socket;
    case DT_FIFO:
      return obj_type_fifo;
    default:
      return obj_type_none;
  }
}

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

class LinuxPlatform final : public Platform {
 public:
  std::expected<std::string, int> volume_type_name(const char* path) override {
    struct statfs info {};
    if (::statfs(path, &info) != 0) return std::unexpected(errno);
    // f_type is a signed word; the magic numbers are 32-bit.
    return linux_fs_type_name(static_cast<std::uint32_t>(info.f_type));
  }

  std::expected<int, int> open_read_only(const char* path) override {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (fd < 0) return std::unexpected(errno);
    return fd;
  }

  void close_descriptor(int fd) override { ::close(fd); }

  std::expected<int, int> open_read_only_at(int dir_fd, const char* path,
                                            bool search_only) override {
    const int flags =
        search_only ? O_PATH | O_DIRECTORY | O_CLOEXEC : O_RDONLY | O_CLOEXEC | O_DIRECTORY;
    const int fd = ::openat(dir_fd, path, flags);
    if (fd < 0) return std::unexpected(errno);
    return fd;
  }

  std::expected<int, int> open_directory_no_follow_at(int dir_fd, const char* path) override {
    const int fd = ::openat(dir_fd, path, O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) return std::unexpected(errno);
    return fd;
  }

  std::expected<std::size_t, int> read_bulk_batch(int fd, const AttrListRequest& request,
                                                  std::span<std::byte> buffer,
                                                  std::uint64_t options) override;

  std::expected<std::uint64_t, int> device_of(const char* path) override {
    struct stat st {};
    if (::stat(path, &st) != 0) return std::unexpected(errno);
    return encode_device(st.st_dev);
  }

  std::expected<std::int64_t, int> volume_space_used(const char* path) override {
    struct statvfs info {};
    if (::statvfs(path, &info) != 0) return std::unexpected(errno);
    const std::uint64_t used_blocks =
        info.f_blocks > info.f_bfree ? info.f_blocks - info.f_bfree : 0;
    const std::uint64_t fragment = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
    if (fragment != 0 &&
        used_blocks >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / fragment)
      return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(used_blocks * fragment);
  }
};

// The largest record an entry can need: a name of NAME_MAX bytes, the error
// word and the file fields.
std::size_t largest_record_size() {
  static const std::size_t size = [] {
    static constexpr char longest_name[NAME_MAX] = {};
    BulkRecordFields fields;
    fields.name = std::string_view(longest_name, sizeof longest_name);
    fields.error = 1;
    fields.has_file_attrs = true;
    return bulk_record_size(fields);
  }();
  return size;
}

// Only the directory request is emulated; anything else is refused rather
// than answered in a layout the caller did not ask for. One call packs the
// entries of one getdents64 batch (more only while a batch holds nothing but
// "." and ".."), so a directory read costs the same kernel calls as reading it
// directly. When the buffer fills first, the descriptor is repositioned to
// just after the last packed entry, and the next call resumes there. Only a
// buffer too small for some record needs the starting position, read once.
std::expected<std::size_t, int> LinuxPlatform::read_bulk_batch(int fd,
                                                               const AttrListRequest& request,
                                                               std::span<std::byte> buffer,
                                                               std::uint64_t options) {
  if (request != bulk_dir_request || (options & ~fsopt_noinmemupdate) != 0)
    return std::unexpected(EINVAL);

  off_t resume = 0;
  if (buffer.size() < largest_record_size()) {
    resume = ::lseek(fd, 0, SEEK_CUR);
    if (resume < 0) return std::unexpected(errno == ESPIPE ? ENOTDIR : errno);
  }
  alignas(dirent64) std::array<std::byte, 32768> listing;
  std::size_t used = 0;
  std::size_t count = 0;
  while (count == 0) {
    const ssize_t n = ::getdents64(fd, listing.data(), listing.size());
    if (n < 0) return std::unexpected(errno);
    if (n == 0) return 0;

    for (std::size_t pos = 0; pos < static_cast<std::size_t>(n);) {
      const auto* entry = reinterpret_cast<const dirent64*>(listing.data() + pos);
      pos += entry->d_reclen;
      const char* name = entry->d_name;
      if (is_dot_or_dot_dot(name)) {
        resume = entry->d_off;
        continue;
      }

      BulkRecordFields fields;
      fields.name = std::string_view(name, std::strlen(name));
      struct stat st;  // filled by a successful fstatat, read only then
      int stated;
      do {
        stated = ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT);
      } while (stated != 0 && errno == EINTR);
      if (stated == 0) {
        fields.dev_id = encode_device(st.st_dev);
        fields.obj_type = object_type_of_mode(st.st_mode);
        fields.file_id = st.st_ino;
        fields.has_file_attrs = fields.obj_type != obj_type_directory;
        fields.link_count = st.st_nlink > std::numeric_limits<std::uint32_t>::max()
                                ? std::numeric_limits<std::uint32_t>::max()
                                : static_cast<std::uint32_t>(st.st_nlink);
        fields.alloc_size = static_cast<std::int64_t>(st.st_blocks) * 512;
      } else {
        fields.error = static_cast<std::uint32_t>(errno);
        fields.obj_type = object_type_of_dirent(entry->d_type);
        fields.file_id = entry->d_ino;
      }

      const std::size_t written = pack_bulk_record(buffer.subspan(used), fields);
      if (written == 0) {
        if (::lseek(fd, resume, SEEK_SET) < 0) return std::unexpected(errno);
        if (count == 0) return std::unexpected(ERANGE);
        return count;
      }
      used += written;
      ++count;
      resume = entry->d_off;
    }
  }
  return count;
}

}  // namespace

std::string linux_fs_type_name(std::uint64_t magic) {
  struct Known {
    std::uint64_t magic;
    const char* name;
  };
  static constexpr Known known[] = {
      {0x4244, "hfs"},   // HFS
      {0x482b, "hfs"},   // HFS+ and HFSX
      {0xef53, "ext4"},  // ext2, ext3 and ext4 share it
      {0x01021994, "tmpfs"},     {0x9123683e, "btrfs"},    {0x58465342, "xfs"},
      {0x794c7630, "overlay"},   {0xf2f52010, "f2fs"},     {0x2fc12fc1, "zfs"},
      {0xe0f5e1e2, "erofs"},     {0x73717368, "squashfs"}, {0x28cd3d45, "cramfs"},
      {0x9660, "iso9660"},       {0x15013346, "udf"},      {0x4d44, "vfat"},
      {0x2011bab0, "exfat"},     {0x5346544e, "ntfs"},     {0x7366746e, "ntfs3"},
      {0x6969, "nfs"},           {0xff534d42, "cifs"},     {0xfe534d42, "smb3"},
      {0x01021997, "9p"},        {0x65735546, "fuse"},     {0x858458f6, "ramfs"},
      {0x958458f6, "hugetlbfs"}, {0x9fa0, "proc"},         {0x62656572, "sysfs"},
      {0x1cd1, "devpts"},        {0x63677270, "cgroup2"},  {0x27e0eb, "cgroup"},
      {0x64626720, "debugfs"},   {0x74726163, "tracefs"},  {0xcafe4a11, "bpf"},
      {0x19800202, "mqueue"},    {0x6e736673, "nsfs"},     {0x0187, "autofs"},
      {0x52654973, "reiserfs"},  {0x3153464a, "jfs"},      {0x72b6, "jffs2"},
      {0xde5e81e4, "efivarfs"},  {0xca451a4e, "bcachefs"},
  };
  for (const Known& k : known) {
    if (k.magic == magic) return k.name;
  }
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(magic));
  return text;
}

Platform& system_platform() {
  static LinuxPlatform instance;
  return instance;
}

}  // namespace tessaly::platform
