// The macOS kernel calls, as thin as possible.
#include <fcntl.h>
#include <sys/attr.h>
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/ucred.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "base/utf8.h"
#include "platform/kernel.h"
#include "platform/posix_kernel.h"

namespace tessaly::platform {
namespace {

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

// The dataless-file policy of a thread, as Apple's TN3150 sets it; checked
// against the SDK so that a wrong constant stops the build.
constexpr int kMaterializeDatalessFiles = 3;
constexpr int kScopeThread = 1;
constexpr int kMaterializeOff = 1;
static_assert(IOPOL_TYPE_VFS_MATERIALIZE_DATALESS_FILES == kMaterializeDatalessFiles &&
              IOPOL_SCOPE_THREAD == kScopeThread &&
              IOPOL_MATERIALIZE_DATALESS_FILES_OFF == kMaterializeOff);

class MacosKernel final : public PosixKernel {
 public:
  // The thread's policy is set once; later calls on the thread cost nothing.
  std::expected<void, int> leave_dataless_files() override {
    thread_local int outcome = -1;  // -1: not set yet; else 0 or the errno
    if (outcome < 0) {
      outcome = ::setiopolicy_np(IOPOL_TYPE_VFS_MATERIALIZE_DATALESS_FILES, IOPOL_SCOPE_THREAD,
                                 IOPOL_MATERIALIZE_DATALESS_FILES_OFF) == 0
                    ? 0
                    : errno;
    }
    if (outcome != 0) return std::unexpected(outcome);
    return {};
  }

  std::expected<std::size_t, int> read_entries(int, std::span<std::byte>) override {
    return std::unexpected(ENOSYS);
  }

  std::expected<std::size_t, int> read_attributes_bulk(int fd, const AttrListRequest& request,
                                                       std::span<std::byte> buffer,
                                                       std::uint64_t options) override {
    attrlist list = to_attrlist(request);
    const int count = ::getattrlistbulk(fd, &list, buffer.data(), buffer.size(), options);
    if (count < 0) return std::unexpected(errno);
    return static_cast<std::size_t>(count);
  }

  std::expected<std::string, int> volume_type_name(const char* path) override {
    struct statfs info {};
    if (::statfs(path, &info) != 0) return std::unexpected(errno);
    const std::size_t length = ::strnlen(info.f_fstypename, sizeof info.f_fstypename);
    return std::string(info.f_fstypename, length);
  }

  std::vector<MountEntry> mount_table() override {
    std::vector<MountEntry> mounts;
    struct statfs* entries = nullptr;
    const int count = ::getmntinfo(&entries, MNT_NOWAIT);
    for (int i = 0; i < count; ++i) {
      mounts.push_back({entries[i].f_mntonname, utf8_lossy(entries[i].f_fstypename)});
    }
    return mounts;
  }

  // The answer is a u32 length, the returned-attribute words, then the space
  // used as a signed 64-bit byte count, present only when the returned volattr
  // word has ATTR_VOL_SPACEUSED: a volume may leave it out.
  std::expected<std::int64_t, int> volume_space_used(const char* path) override {
    attrlist list{};
    list.bitmapcount = ATTR_BIT_MAP_COUNT;
    list.commonattr = ATTR_CMN_RETURNED_ATTRS;
    list.volattr = ATTR_VOL_INFO | ATTR_VOL_SPACEUSED;
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

Kernel& system_kernel() {
  static MacosKernel instance;
  return instance;
}

}  // namespace tessaly::platform
