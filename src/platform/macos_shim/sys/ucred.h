// Stand-in for Apple's <sys/ucred.h>, for compiling on other systems only.
// Nothing of it is used directly; <sys/mount.h> needs it on macOS.
#pragma once
#pragma GCC system_header
