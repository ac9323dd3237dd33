// On macOS the kernel answers getattrlistbulk itself.
#include <sys/attr.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstddef>
#include <type_traits>
#include <utility>

#include "bulk/bulk_source.h"

namespace tessaly {
namespace {

// The wire format the bulk reader exchanges with the kernel, checked against
// the SDK: a wrong constant or layout stops the build.
static_assert(ATTR_BIT_MAP_COUNT == attr_bit_map_count);
static_assert(ATTR_CMN_NAME == attr_cmn_name && ATTR_CMN_DEVID == attr_cmn_devid &&
              ATTR_CMN_OBJTYPE == attr_cmn_objtype && ATTR_CMN_FILEID == attr_cmn_fileid &&
              ATTR_CMN_ERROR == attr_cmn_error &&
              ATTR_CMN_RETURNED_ATTRS == attr_cmn_returned_attrs);
static_assert(ATTR_DIR_MOUNTSTATUS == attr_dir_mountstatus &&
              DIR_MNTSTATUS_MNTPOINT == dir_mntstatus_mntpoint &&
              DIR_MNTSTATUS_TRIGGER == dir_mntstatus_trigger);
static_assert(ATTR_BULK_REQUIRED == (attr_cmn_name | attr_cmn_returned_attrs) &&
              (bulk_dir_request.commonattr & ATTR_BULK_REQUIRED) == ATTR_BULK_REQUIRED);
static_assert((bulk_dir_request.dirattr & ~ATTR_DIR_VALIDMASK) == 0 &&
              (bulk_dir_request.fileattr & ~ATTR_FILE_VALIDMASK) == 0 &&
              (bulk_dir_request.commonattr & ~ATTR_CMN_VALIDMASK) == 0);
static_assert(ATTR_FILE_LINKCOUNT == attr_file_linkcount &&
              ATTR_FILE_ALLOCSIZE == attr_file_allocsize);

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
// Bulk records carry the device as 32 bits, as stat does here.
static_assert(sizeof(dev_t) == sizeof(BulkFields::dev_id));
static_assert(sizeof(fsobj_type_t) == sizeof(BulkFields::obj_type) &&
              sizeof(fsobj_id_t) == sizeof(std::uint64_t) &&
              sizeof(BulkFields::file_id) == sizeof(std::uint64_t));

}  // namespace

std::uint32_t bulk_device_id(dev_t device) { return static_cast<std::uint32_t>(device); }

// The kernel looks the entries up itself: the devices known spare nothing.
std::expected<std::size_t, int> read_bulk_batch(platform::Kernel& kernel, int fd,
                                                const AttrListRequest& request,
                                                std::span<std::byte> buffer, std::uint64_t options,
                                                std::optional<std::uint32_t> /*expected_device*/,
                                                JobScope* /*helpers*/,
                                                std::optional<std::uint32_t> /*one_device*/) {
  return kernel.read_attributes_bulk(fd, request, buffer, options);
}

}  // namespace tessaly
