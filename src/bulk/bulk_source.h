// Where the bulk records of a directory come from: getattrlistbulk on macOS,
// and elsewhere the same records packed from the kernel's directory listing
// and one fstatat per entry, so that the record parser runs on real kernel
// data on every system. Elsewhere a kernel interface that answers
// read_attributes_bulk itself is used as it is.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "bulk/bulk_record.h"
#include "platform/kernel.h"

namespace tessaly {

class JobScope;

// One getattrlistbulk call on the open directory `fd`, made through `kernel`:
// packs the records of the next entries into `buffer` and returns how many it
// wrote, 0 once the directory is exhausted. Successive calls continue where
// the previous one stopped and never repeat an entry. A call that fails has
// consumed no entry, so one interrupted by a signal (EINTR) may simply be
// repeated. `expected_device`, when given, is the directory's device as its
// parent's listing reported it (the records' 32-bit encoding): where records
// are packed from a listing, the directory's own lookup is then spared when
// the first entry looked up shows that device. `helpers`, when given, is a
// scope whose pool may take part: where records are packed from a listing, a
// large batch's entries are then looked up on its idle workers too (the
// calling thread never runs other jobs meanwhile). `one_device`, when given,
// is the device (records' encoding) of every entry below the walk's root, no
// volume being mounted anywhere below it (platform::VolumeFacts): where
// records are packed from a listing, a subdirectory the listing types as one
// then needs no lookup of its own (the call still fails whole without search
// permission on the directory). The records are the same either way.
std::expected<std::size_t, int> read_bulk_batch(
    platform::Kernel& kernel, int fd, const AttrListRequest& request, std::span<std::byte> buffer,
    std::uint64_t options, std::optional<std::uint32_t> expected_device = std::nullopt,
    JobScope* helpers = nullptr, std::optional<std::uint32_t> one_device = std::nullopt);

// A device number as stat reports it, in the 32-bit encoding the records
// carry, so that a record's device and a stat's compare equal for one volume.
std::uint32_t bulk_device_id(dev_t device);

}  // namespace tessaly
