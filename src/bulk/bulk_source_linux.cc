// Linux has no getattrlistbulk; it is supplied from getdents64 and one
// fstatat per entry relative to the directory's descriptor, packed into the
// same records the macOS kernel produces. A kernel interface that answers
// getattrlistbulk itself (a test's virtual volume, say) is used as it is.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/worker_pool.h"
#include "bulk/bulk_source.h"

namespace tessaly {
namespace {

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

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The largest record an entry can need: a file's, with a name of NAME_MAX
// bytes, padded.
std::size_t largest_record_size() {
  static const std::size_t size = [] {
    static constexpr char longest_name[NAME_MAX] = {};
    BulkRecordFields fields;
    fields.name = std::string_view(longest_name, sizeof longest_name);
    fields.obj_type = obj_type_regular;
    return (bulk_record_size(fields) + 7) & ~std::size_t{7};
  }();
  return size;
}

// What the records need of one entry's lookup: its errno (0 when it
// succeeded) and, only then, its status.
struct Lookup {
  int error = 0;
  mode_t mode = 0;
  dev_t device = 0;
  ino_t inode = 0;
  nlink_t links = 0;
  blkcnt_t blocks = 0;
};

Lookup look_up(platform::Kernel& kernel, int fd, const char* name) {
  struct stat st;  // filled by a successful fstatat, read only then
  const auto found = platform::retry_interrupted(
      [&] { return kernel.stat_at(fd, name, st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT); });
  if (!found) return Lookup{.error = found.error()};
  return Lookup{.mode = st.st_mode,
                .device = st.st_dev,
                .inode = st.st_ino,
                .links = st.st_nlink,
                .blocks = st.st_blocks};
}

// A batch that filled the listing buffer (a large directory's) and holds at
// least this many entries is looked up by more than one thread when a scope
// is given, in shares of kLookupShare entries taken in turn. Smaller
// directories are left whole to their own job: their lookups take less time
// than handing some to another thread costs, and the other workers are
// usually busy with directories of their own.
constexpr std::size_t kParallelLookups = 256;
constexpr std::size_t kLookupShare = 32;
// Bytes of the smallest and the largest getdents64 record: a name of one
// byte, or of NAME_MAX, padded to 8.
constexpr std::size_t kSmallestDirent = 24;
constexpr std::size_t kLargestDirent = (offsetof(dirent64, d_name) + NAME_MAX + 1 + 7) & ~7UL;

// The lookups of one batch, shared with the helper jobs. A helper touches the
// kernel, the descriptor and the names only while it holds a share, and the
// caller waits until every share taken is done, so they outlive every use; a
// helper that starts later finds no share left and only lets go of this.
struct SharedLookups {
  platform::Kernel* kernel = nullptr;
  int fd = -1;
  // Null for an entry left without a lookup (see pack_bulk_batch).
  std::vector<const char*> names;
  std::vector<Lookup> lookups;
  std::size_t shares = 0;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  // Helper jobs asked and not yet ended: while any is, this is not reused.
  std::atomic<std::size_t> helpers_out{0};

  // Takes and looks up shares until none is left.
  void take_shares() {
    for (std::size_t share = next.fetch_add(1, std::memory_order_relaxed); share < shares;
         share = next.fetch_add(1, std::memory_order_relaxed)) {
      const std::size_t end = std::min(names.size(), (share + 1) * kLookupShare);
      for (std::size_t i = share * kLookupShare; i < end; ++i) {
        if (names[i] != nullptr) lookups[i] = look_up(*kernel, fd, names[i]);
      }
      if (done.fetch_add(1, std::memory_order_release) + 1 == shares) done.notify_all();
    }
  }
};

// The calling thread's lookups, kept for its next large batch unless a helper
// job still holds them (it then keeps them alive, and new ones are made), so
// that a batch costs no allocation. Null when memory ran out.
std::shared_ptr<SharedLookups> thread_lookups() {
  thread_local std::shared_ptr<SharedLookups> kept;
  if (kept && kept->helpers_out.load(std::memory_order_acquire) == 0) return kept;
  try {
    kept = std::make_shared<SharedLookups>();
  } catch (const std::bad_alloc&) {
    kept.reset();
  }
  return kept;
}

// Looks up the entries of the getdents64 batch `entries` ("." and ".." left
// out, and subdirectories when `skip_directories`) relative to the open
// directory `fd`, on the calling thread and on as
// many of `helpers`' idle workers as take part, and returns their lookups in
// listing order. Null when the batch holds too few entries or memory ran out
// first: the caller then looks the entries up itself.
std::shared_ptr<SharedLookups> look_up_in_shares(platform::Kernel& kernel, int fd,
                                                 JobScope& helpers,
                                                 std::span<const std::byte> entries,
                                                 bool skip_directories) {
  std::shared_ptr<SharedLookups> shared = thread_lookups();
  if (!shared) return nullptr;
  shared->kernel = &kernel;
  shared->fd = fd;
  shared->names.clear();
  try {
    shared->names.reserve(entries.size() / kSmallestDirent);
    for (std::size_t pos = 0; pos < entries.size();) {
      const auto* entry = reinterpret_cast<const dirent64*>(entries.data() + pos);
      pos += entry->d_reclen;
      if (is_dot_or_dot_dot(entry->d_name)) continue;
      shared->names.push_back(skip_directories && entry->d_type == DT_DIR ? nullptr
                                                                          : entry->d_name);
    }
    if (shared->names.size() < kParallelLookups) return nullptr;
    shared->lookups.resize(shared->names.size());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  shared->shares = (shared->names.size() + kLookupShare - 1) / kLookupShare;
  shared->next.store(0, std::memory_order_relaxed);
  shared->done.store(0, std::memory_order_relaxed);
  const std::size_t asked = std::min(shared->shares, helpers.pool().thread_count()) - 1;
  for (std::size_t i = 0; i < asked; ++i) {
    shared->helpers_out.fetch_add(1, std::memory_order_relaxed);
    try {
      helpers.spawn([shared] {
        shared->take_shares();
        shared->helpers_out.fetch_sub(1, std::memory_order_release);
      });
    } catch (const std::bad_alloc&) {
      // Those not asked leave their shares to this thread.
      shared->helpers_out.fetch_sub(1, std::memory_order_relaxed);
      break;
    }
  }
  shared->take_shares();
  for (std::size_t done = shared->done.load(std::memory_order_acquire); done < shared->shares;
       done = shared->done.load(std::memory_order_acquire)) {
    shared->done.wait(done, std::memory_order_acquire);
  }
  return shared;
}

}  // namespace

// Bulk records hold a 32-bit device id, so stat's 64-bit dev_t is folded into
// the kernel's own 32-bit encoding (major below 4096, minor below 2^20).
std::uint32_t bulk_device_id(dev_t device) {
  const auto major_number = static_cast<std::uint32_t>(major(device));
  const auto minor_number = static_cast<std::uint32_t>(minor(device));
  return (minor_number & 0xffu) | ((major_number & 0xfffu) << 8) | ((minor_number & ~0xffu) << 12);
}

// Only the directory request is emulated; anything else is refused rather
// than answered in a layout the caller did not ask for. Records follow the
// macOS kernel (bsd/vfs/vfs_attrlist.c, readdirattr): an entry that vanished
// before it could be looked up gets no record; one whose attributes cannot be
// read gets an error record; a directory with a volume mounted on it (its
// device differs from its directory's) is listed with the attributes of the
// directory underneath: the parent's device, the covered inode, and the
// mount-point status. A record whose padding does not fit ends the batch.
// As the macOS call does for a request with file attributes (getattrlistbulk
// authorizes KAUTH_VNODE_SEARCH besides listing), each call needs search
// permission on the directory and fails whole with EACCES without it, also
// when the directory could be read. One call packs the entries of one
// getdents64 batch (more only while a batch holds nothing but "." and ".."),
// so a directory read costs the same kernel calls as reading it directly.
// The lookup of "." that checks that permission and gives the directory's own
// device is made only when needed: a lookup of an entry that succeeds (or finds
// the entry gone) has shown the permission, and the device is compared only
// with a subdirectory's. So a call makes it when the first failing lookup of an
// entry comes before any that shows the permission, when its listing holds only
// "." and "..", or for its first subdirectory, unless the first entry looked up
// showed the device the caller expected. When the buffer fills first, the
// descriptor is repositioned to just after the last packed entry, and the next
// call resumes there. Only a buffer too small for some record needs the
// starting position, read once. A batch of many entries may be looked up
// ahead on several threads; the records are packed from those lookups in
// listing order all the same, and those past where the call ends are dropped.
// Where the caller knows that no volume is mounted below its walk's root, a
// subdirectory (as getdents64 types it) is packed from the listing alone: the
// root's device, its inode, no mount status, as its lookup would give. The
// permission those records need is then shown by a later lookup of the call,
// or by that of "." before the call returns them: a directory of
// subdirectories costs one lookup, and one that holds a file after them none
// of its own.
namespace {

std::expected<std::size_t, int> pack_bulk_batch(platform::Kernel& kernel, int fd,
                                                const AttrListRequest& request,
                                                std::span<std::byte> buffer, std::uint64_t options,
                                                std::optional<std::uint32_t> expected_device,
                                                JobScope* helpers,
                                                std::optional<std::uint32_t> one_device) {
  if (request != bulk_dir_request || options != bulk_dir_options) return std::unexpected(EINVAL);

  std::int64_t resume = 0;
  if (buffer.size() < largest_record_size()) {
    const auto position = kernel.seek(fd, 0, SEEK_CUR);
    if (!position) return std::unexpected(position.error() == ESPIPE ? ENOTDIR : position.error());
    resume = *position;
  }
  alignas(dirent64) std::array<std::byte, 32768> listing;
  std::size_t used = 0;
  std::size_t count = 0;
  // The directory's own device, from the lookup of ".", which needs search
  // permission on the directory as the entries' lookups do. Made after the
  // call's first listing, so that a call that is interrupted and repeated has
  // passed its first kernel call already.
  std::optional<std::uint32_t> directory_device = one_device;
  bool searchable = false;  // a lookup in this call has shown search permission
  // Records packed without a lookup before the permission was shown.
  bool unconfirmed = false;
  // The device the caller expects, until the first entry looked up.
  bool expect_device = expected_device.has_value();
  const std::uint32_t expected_id = expected_device.value_or(0);
  const auto look_up_itself = [&]() -> std::expected<void, int> {
    struct stat own;  // filled by a successful fstatat, read only then
    const auto searched = platform::retry_interrupted(
        [&] { return kernel.stat_at(fd, ".", own, AT_SYMLINK_NOFOLLOW); });
    if (!searched) return std::unexpected(searched.error());
    directory_device = bulk_device_id(own.st_dev);
    searchable = true;
    return {};
  };
  // The call's way out with `count` records: they stand only once search
  // permission is shown, and the call fails whole without it.
  const auto packed = [&]() -> std::expected<std::size_t, int> {
    if (unconfirmed && !searchable) {
      if (const auto searched = look_up_itself(); !searched)
        return std::unexpected(searched.error());
    }
    return count;
  };
  bool listed = false;
  while (count == 0) {
    const auto n = kernel.read_entries(fd, listing);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) {
      // Nothing but "." and "..": the call still needs the permission.
      if (listed && !searchable) {
        if (const auto searched = look_up_itself(); !searched)
          return std::unexpected(searched.error());
      }
      return 0;
    }
    listed = true;

    // A large directory's batch is looked up ahead, in shares.
    std::shared_ptr<SharedLookups> ahead;
    if (helpers != nullptr && helpers->pool().thread_count() > 1 &&
        *n + kLargestDirent > listing.size() && *n / kSmallestDirent >= kParallelLookups) {
      ahead = look_up_in_shares(kernel, fd, *helpers, std::span(listing).first(*n),
                                one_device.has_value());
    }
    std::size_t looked = 0;  // entries other than "." and ".." met so far

    for (std::size_t pos = 0; pos < *n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(listing.data() + pos);
      pos += entry->d_reclen;
      const char* name = entry->d_name;
      if (is_dot_or_dot_dot(name)) {
        resume = entry->d_off;
        continue;
      }

      BulkRecordFields fields;
      fields.name = std::string_view(name, std::strlen(name));
      if (one_device && entry->d_type == DT_DIR) {
        // No volume is mounted below: the subdirectory is on the one device
        // and no mount point, so its lookup would show nothing more.
        ++looked;
        unconfirmed = unconfirmed || !searchable;
        fields.dev_id = *one_device;
        fields.obj_type = obj_type_directory;
        fields.file_id = entry->d_ino;
      } else {
        const Lookup st = ahead && ahead->names[looked] != nullptr ? ahead->lookups[looked]
                                                                   : look_up(kernel, fd, name);
        ++looked;
        if (st.error == 0) {
          searchable = true;
          fields.dev_id = bulk_device_id(st.device);
          // The first entry looked up on the expected device confirms it as the
          // directory's (an entry elsewhere, a mount point say, leaves it to the
          // lookup of ".").
          if (expect_device && !directory_device && fields.dev_id == expected_id)
            directory_device = expected_id;
          expect_device = false;
          fields.obj_type = object_type_of_mode(st.mode);
          fields.file_id = st.inode;
          fields.link_count = st.links > std::numeric_limits<std::uint32_t>::max()
                                  ? std::numeric_limits<std::uint32_t>::max()
                                  : static_cast<std::uint32_t>(st.links);
          fields.alloc_size = static_cast<std::int64_t>(st.blocks) * 512;
          if (fields.obj_type == obj_type_directory) {
            if (!directory_device) {
              if (const auto searched = look_up_itself(); !searched) {
                // The call ends before this entry, or fails having packed none.
                if (count == 0) return std::unexpected(searched.error());
                if (const auto back = kernel.seek(fd, resume, SEEK_SET); !back)
                  return std::unexpected(back.error());
                return count;
              }
            }
            if (fields.dev_id != *directory_device) {
              fields.dev_id = *directory_device;
              fields.file_id = entry->d_ino;
              fields.mount_status = dir_mntstatus_mntpoint;
            }
          }
        } else if (st.error == ENOENT) {
          // Gone: its lookup was permitted, so the directory is searchable.
          searchable = true;
          resume = entry->d_off;
          continue;
        } else {
          if (!searchable) {
            if (const auto searched = look_up_itself(); !searched)
              return std::unexpected(searched.error());
          }
          fields.error = static_cast<std::uint32_t>(st.error);
        }
      }

      const std::size_t written = pack_bulk_record(buffer.subspan(used), fields);
      if (written == 0) {
        if (const auto back = kernel.seek(fd, resume, SEEK_SET); !back)
          return std::unexpected(back.error());
        if (count == 0) return std::unexpected(ERANGE);
        return packed();
      }
      used += written;
      ++count;
      resume = entry->d_off;
      if (written % 8 != 0) {
        if (const auto back = kernel.seek(fd, resume, SEEK_SET); !back)
          return std::unexpected(back.error());
        return packed();
      }
    }
  }
  return packed();
}

}  // namespace

std::expected<std::size_t, int> read_bulk_batch(platform::Kernel& kernel, int fd,
                                                const AttrListRequest& request,
                                                std::span<std::byte> buffer, std::uint64_t options,
                                                std::optional<std::uint32_t> expected_device,
                                                JobScope* helpers,
                                                std::optional<std::uint32_t> one_device) {
  auto answered = kernel.read_attributes_bulk(fd, request, buffer, options);
  if (answered || answered.error() != ENOSYS) return answered;
  return pack_bulk_batch(kernel, fd, request, buffer, options, expected_device, helpers,
                         one_device);
}

}  // namespace tessaly
