#ifndef ZNFS_POSIX_H
#define ZNFS_POSIX_H

// The POSIX backend: a volume is a local directory. The volume holds a descriptor of its root
// and resolves every path beneath it in the kernel (openat2 with RESOLVE_IN_ROOT), so neither
// ".." nor a symbolic link, absolute or relative, leads outside the root.

#include <znfs/znfs_api.h>

#include <string>

namespace znfs {

// The service object of the POSIX backend. Stateless; one serves any number of volumes.
ZNFS_EXPORT znfs_api* posix_api();

// Opens the directory rootdir (a host path) as a volume; empty with ec set on failure.
ZNFS_EXPORT znfs_iopx_ptr make_posix_volume(const std::string& rootdir, std::error_code& ec);

}  // namespace znfs

#endif
