// The request of a getattrlist or getattrlistbulk call, in a form that needs
// no system header, so that code exchanging records with the kernel can be
// built and tested anywhere.
#pragma once

#include <cstdint>

namespace tessaly {

inline constexpr std::uint16_t attr_bit_map_count = 5;

// Same layout as Apple's `struct attrlist` (24 bytes).
struct AttrListRequest {
  std::uint16_t bitmapcount = attr_bit_map_count;
  std::uint16_t reserved = 0;
  std::uint32_t commonattr = 0;
  std::uint32_t volattr = 0;
  std::uint32_t dirattr = 0;
  std::uint32_t fileattr = 0;
  std::uint32_t forkattr = 0;

  friend bool operator==(const AttrListRequest&, const AttrListRequest&) = default;
};
static_assert(sizeof(AttrListRequest) == 24);

}  // namespace tessaly
