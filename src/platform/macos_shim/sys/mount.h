// Stand-in for Apple's <sys/mount.h>, for compiling on other systems only.
#pragma once
// Treated like the system header it stands for.
#pragma GCC system_header

#include <stdint.h>

#define MFSTYPENAMELEN 16
#define MAXPATHLEN 1024
#define MNT_NOWAIT 2

struct statfs {
  uint32_t f_bsize;
  int32_t f_iosize;
  uint64_t f_blocks;
  uint64_t f_bfree;
  uint64_t f_bavail;
  uint64_t f_files;
  uint64_t f_ffree;
  uint32_t f_type;
  uint32_t f_flags;
  char f_fstypename[MFSTYPENAMELEN];
  char f_mntonname[MAXPATHLEN];
  char f_mntfromname[MAXPATHLEN];
};

#ifdef __cplusplus
extern "C" {
#endif

int statfs(const char* path, struct statfs* buf);
int getmntinfo(struct statfs** mntbufp, int flags);

#ifdef __cplusplus
}
#endif
