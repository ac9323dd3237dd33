// Stand-in for Apple's <sys/attr.h>, for compiling on other systems only.
#pragma once
// Treated like the system header it stands for.
#pragma GCC system_header

#include <stddef.h>
#include <stdint.h>

typedef uint32_t attrgroup_t;

struct attrlist {
  unsigned short bitmapcount;
  uint16_t reserved;
  attrgroup_t commonattr;
  attrgroup_t volattr;
  attrgroup_t dirattr;
  attrgroup_t fileattr;
  attrgroup_t forkattr;
};

#define ATTR_BIT_MAP_COUNT 5

#define ATTR_CMN_NAME 0x00000001
#define ATTR_CMN_DEVID 0x00000002
#define ATTR_CMN_OBJTYPE 0x00000008
#define ATTR_CMN_FILEID 0x02000000
#define ATTR_CMN_ERROR 0x20000000
#define ATTR_CMN_RETURNED_ATTRS 0x80000000

#define ATTR_VOL_SPACEUSED 0x00800000
#define ATTR_VOL_INFO 0x80000000

#define ATTR_FILE_LINKCOUNT 0x00000001
#define ATTR_FILE_ALLOCSIZE 0x00000004

#define FSOPT_NOINMEMUPDATE 0x00000002

#ifdef __cplusplus
extern "C" {
#endif

int getattrlistbulk(int dirfd, void* attrList, void* attrBuf, size_t attrBufSize,
                    uint64_t options);

// Apple declares this one in <unistd.h>.
int getattrlist(const char* path, void* attrList, void* attrBuf, size_t attrBufSize,
                unsigned int options);

#ifdef __cplusplus
}
#endif
