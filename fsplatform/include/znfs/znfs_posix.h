#ifndef ZNFS_POSIX_H
#define ZNFS_POSIX_H

// The POSIX backend: a volume is a local directory. The volume holds a descriptor of its root
// and resolves every path beneath it in the kernel (openat2 with RESOLVE_IN_ROOT), so neither
// ".." nor a symbolic link, absolute or relative, leads outside the root: "/" and every
// absolute link target mean the volume root, and ".." at the root stays there.
//
// What this backend adds to the service's rules:
// - open and creat reach only regular files and directories; a FIFO, socket or device node
//   gives EOPNOTSUPP (it is never opened, so nothing blocks and no driver is reached).
// - mkdir, rmdir and unlink act on the last component itself and never follow a link there;
//   a last component "." or ".." (or a path of slashes only) gives EINVAL.
// - stat, getxattr, listxattr, setxattr and opendir follow a final link (inside the volume);
//   a dangling link gives ENOENT, a loop ELOOP. In a confined context (confine) nothing below
//   a root follows a link: each root is held as a descriptor and paths below it are resolved
//   with RESOLVE_BENEATH|RESOLVE_NO_SYMLINKS (paths under no root with RESOLVE_IN_ROOT|
//   RESOLVE_NO_SYMLINKS), in pieces when longer than PATH_MAX; a final link a read may follow
//   is read with readlinkat and resolved beneath the same root. Names right below a root are
//   made and removed in the held root. What a pool task reached through a final link is never
//   kept for the task's later calls.
// - copy_range uses copy_file_range (a clone on XFS and btrfs): files of 1 MiB and more are
//   copied data segment by data segment (SEEK_DATA, SEEK_HOLE), so holes stay holes.
// - syncfs flushes the file system that holds the volume's root.
// - A context of another backend, or a null path, gives EINVAL; a handle of another backend
//   or one already closed gives EBADF (a second close reports EBADF and does nothing).
// - readdir never reports DT_UNKNOWN for an entry that still exists.
// - Inside one task of a worker pool (znfs_thpool) each path is resolved once: the task's later
//   stat, open for reading and attribute calls on the same path reach the file its first call
//   reached, even if the name was replaced meanwhile, so a copy takes status, data and
//   attributes from one file. A remove through the service ends this for the task, and the
//   task's descriptors are closed when it ends. Off the pool every call resolves afresh.
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
