#ifndef ZNFS_POSIX_H
#define ZNFS_POSIX_H

// The POSIX backend: a volume is a local directory. It keeps the service contract
// (znfs_api.h) as follows.
//
// - Confinement comes from the kernel. The volume holds a descriptor of its root and resolves
//   every path beneath it with openat2 and RESOLVE_IN_ROOT, so neither ".." nor a symbolic
//   link, absolute or relative, leads outside the root. A confined context (confine) holds
//   each root as a descriptor and resolves the paths below it with RESOLVE_BENEATH|
//   RESOLVE_NO_SYMLINKS (paths under no root with RESOLVE_IN_ROOT|RESOLVE_NO_SYMLINKS), in
//   pieces when longer than PATH_MAX; a final link a read may follow is read with readlinkat
//   and resolved beneath the same root.
// - Names are made and removed with the *at calls in their parent directory, so the last
//   component is never followed; the exact mode is set on the new file's own descriptor.
// - What a pool task keeps is a descriptor per path: a name replaced meanwhile still reaches
//   the file the task first reached, and a file the task opens shares that descriptor. The
//   task's descriptors are closed when it ends; what it reached through a final link is
//   never kept.
// - readdir finds a type the file system leaves out with fstatat (AT_SYMLINK_NOFOLLOW).
// - copy_range uses copy_file_range (a clone on XFS and btrfs): files of 1 MiB and more, and
//   smaller ones with fewer blocks than bytes when opened, are copied data segment by data
//   segment (SEEK_DATA, SEEK_HOLE), so holes stay holes.
// - syncfs flushes the file system that holds the volume's root.
// - Every descriptor is close-on-exec. Needs Linux 5.6 (openat2) and /proc mounted.

#include <znfs/znfs_api.h>

#include <string>

namespace znfs {

// The service object of the POSIX backend. Stateless; one serves any number of volumes
// and threads.
ZNFS_EXPORT znfs_api* posix_api();

// Opens the directory rootdir (a host path) as a volume; empty with ec set on failure
// (ENOENT, ENOTDIR, ENOSYS when the kernel lacks openat2).
ZNFS_EXPORT znfs_iopx_ptr make_posix_volume(const std::string& rootdir, std::error_code& ec);

}  // namespace znfs

#endif
