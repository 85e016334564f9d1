#ifndef ZNFS_XATTR_AT_H
#define ZNFS_XATTR_AT_H

// The attribute calls relative to a directory descriptor (Linux 6.13), for headers that do not
// name them yet. Older kernels answer ENOSYS. Internal to libznfscore and its benchmarks.

#include <sys/syscall.h>

#include <cstdint>

#ifndef SYS_setxattrat
#define SYS_setxattrat 463
#endif
#ifndef SYS_getxattrat
#define SYS_getxattrat 464
#endif
#ifndef SYS_listxattrat
#define SYS_listxattrat 465
#endif

namespace znfs {

// The value argument of setxattrat and getxattrat.
struct xattr_at_args {
    uint64_t value;
    uint32_t size;
    uint32_t flags;
};

}  // namespace znfs

#endif
