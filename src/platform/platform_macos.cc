// The macOS kernel calls, as thin as possible.
#include <fcntl.h>
#include <sys/attr.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "platform/platform.h"

namespace tessaly::platform {
namespace {

// The wire format the bulk reader and the volume query exchange with the
// kernel, checked against the SDK: a wrong constant or layout stops the build.
static_assert(ATTR_BIT_MAP_COUNT == attr_bit_map_count);
static_assert(ATTR_CMN_NAME == attr_cmn_name && ATTR_CMN_DEVID == attr_cmn_devid &&
              ATTR_CMN_OBJTYPE == attr_cmn_objtype && ATTR_CMN_FILEID == attr_cmn_fileid &&
              ATTR_CMN_ERROR == attr_cmn_error &&
              ATTR_CMN_RETURNED_ATTRS == attr_cmn_returned_attrs);
static_assert(ATTR_FILE_LINKCOUNT == attr_file_linkcount &&
              ATTR_FILE_ALLOCSIZE == attr_file_allocsize);
static_assert(ATTR_VOL_INFO == attr_vol_info && ATTR_VOL_SPACEUSED == attr_vol_spaceused);
static_assert(FSOPT_NOINMEMUPDATE == fsopt_noinmemupdate);

static_assert(sizeof(attrlist) == 24 && sizeof(attrlist) == sizeof(AttrListRequest));
static_assert(offsetof(attrlist, bitmapcount) == offsetof(AttrListRequest, bitmapcount) &&
              offsetof(attrlist, reserved) == offsetof(AttrListRequest, reserved) &&
              offsetof(attrlist, commonattr) == offsetof(AttrListRequest, commonattr) &&
              offsetof(attrlist, volattr) == offsetof(AttrListRequest, volattr) &&
              offsetof(attrlist, dirattr) == offsetof(AttrListRequest, dirattr) &&
              offsetof(attrlist, fileattr) == offsetof(AttrListRequest, fileattr) &&
              offsetof(attrlist, forkattr) == offsetof(AttrListRequest, forkattr));
static_assert(sizeof(attribute_set_t) == returned_attrs_size && returned_attrs_size == 20);
static_assert(offsetof(attribute_set_t, commonattr) == 0 &&
              offsetof(attribute_set_t, volattr) == 4 && offsetof(attribute_set_t, dirattr) == 8 &&
              offsetof(attribute_set_t, fileattr) == 12 &&
              offsetof(attribute_set_t, forkattr) == 16);
static_assert(sizeof(attrreference_t) == attr_reference_size && attr_reference_size == 8);
static_assert(offsetof(attrreference_t, attr_dataoffset) == 0 &&
              offsetof(attrreference_t, attr_length) == 4 &&
              std::is_signed_v<decltype(attrreference_t::attr_dataoffset)> &&
              sizeof(attrreference_t::attr_length) == 4);
static_assert(MFSTYPENAMELEN == fs_type_name_size && fs_type_name_size == 16 &&
              sizeof(std::declval<struct statfs&>().f_fstypename) == MFSTYPENAMELEN);
// Bulk records carry the device as 32 bits, and device_of widens stat's.
static_assert(sizeof(dev_t) == sizeof(BulkFields::dev_id));
static_assert(sizeof(fsobj_type_t) == sizeof(BulkFields::obj_type) &&
              sizeof(fsobj_id_t) == sizeof(std::uint64_t) &&
              sizeof(BulkFields::file_id) == sizeof(std::uint64_t));

attrlist to_attrlist(const AttrListRequest& request) {
  attrlist list{};
  list.bitmapcount = request.bitmapcount;
  list.reserved = request.reserved;
  list.commonattr = request.commonattr;
  list.volattr = request.volattr;
  list.dirattr = request.dirattr;
  list.fileattr = request.fileattr;
  list.forkattr = request.forkattr;
  return list;
}

class MacosPlatform final : public Platform {
 public:
  std::expected<std::string, int> volume_type_name(const char* path) override {
    struct statfs info {};
    if (::statfs(path, &info) != 0) return std::unexpected(errno);
    const std::size_t length = ::strnlen(info.f_fstypename, sizeof info.f_fstypename);
    return std::string(info.f_fstypename, length);
  }

  std::expected<int, int> open_read_only(const char* path) override {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (fd < 0) return std::unexpected(errno);
    return fd;
  }

  void close_descriptor(int fd) override { ::close(fd); }

  std::expected<int, int> open_read_only_at(int dir_fd, const char* path,
                                            bool search_only) override {
#if defined(O_SEARCH)
    const int flags =
        search_only ? O_SEARCH | O_DIRECTORY | O_CLOEXEC : O_RDONLY | O_CLOEXEC | O_DIRECTORY;
#else
    const int flags =
        search_only ? O_RDONLY | O_DIRECTORY | O_CLOEXEC : O_RDONLY | O_CLOEXEC | O_DIRECTORY;
#endif
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
                                                  std::uint64_t options) override {
    attrlist list = to_attrlist(request);
    const int count = ::getattrlistbulk(fd, &list, buffer.data(), buffer.size(), options);
    if (count < 0) return std::unexpected(errno);
    return static_cast<std::size_t>(count);
  }

  std::expected<std::uint64_t, int> device_of(const char* path) override {
    struct stat st {};
    if (::stat(path, &st) != 0) return std::unexpected(errno);
    // dev_t is 32-bit here, as in the bulk records; widened without sign.
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(st.st_dev));
  }

  std::expected<std::int64_t, int> volume_space_used(const char* path) override {
    attrlist list = to_attrlist(volume_space_request);
    constexpr std::size_t kReturnedAt = sizeof(std::uint32_t);
    constexpr std::size_t kSpaceUsedAt = kReturnedAt + sizeof(attribute_set_t);
    alignas(8) unsigned char answer[kSpaceUsedAt + sizeof(off_t)] = {};
    if (::getattrlist(path, &list, answer, sizeof answer, 0) != 0) return std::unexpected(errno);
    std::uint32_t length = 0;
    attribute_set_t returned{};
    std::memcpy(&length, answer, sizeof length);
    std::memcpy(&returned, answer + kReturnedAt, sizeof returned);
    // A volume that does not report its space used has no size to give, not 0.
    if ((returned.volattr & ATTR_VOL_SPACEUSED) == 0 || length < sizeof answer) {
      return std::unexpected(ENOATTR);
    }
    off_t used = 0;
    std::memcpy(&used, answer + kSpaceUsedAt, sizeof used);
    return static_cast<std::int64_t>(used);
  }
};

}  // namespace

Platform& system_platform() {
  static MacosPlatform instance;
  return instance;
}

}  // namespace tessaly::platform
