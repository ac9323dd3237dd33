// TESSALY_EXPORT marks the declarations a shared build of tessaly exports;
// everything else in the library is hidden.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define TESSALY_EXPORT __attribute__((visibility("default")))
#else
#define TESSALY_EXPORT
#endif
