#ifndef ZNFS_API_H
#define ZNFS_API_H

// The file-system service: every file access of the snapshot library goes through a znfs_api
// object on a volume named by a znfs_iopx. This header is the whole contract of every backend;
// a backend's own header (znfs_posix.h, znfs_gluster.h) says only how it keeps the contract
// and what it adds. tests/test_service.cpp checks the contract on each backend.
//
// Threads
// - One znfs_api object and one context (znfs_iopx) serve many threads at once without
//   external locking. A handle (znfs_file) is used by one thread at a time, since it holds its
//   listing's position and readdir's entry. It may pass from thread to thread, and any number
//   of handles, of one file too, are in use at once.
// - Every call is synchronous; the trailing znfs_aio_result pointer is always passed empty.
// - Inside one task of a worker pool (znfs_thpool) each path is resolved once: the task's later
//   stat, open for reading and attribute calls on that path reach what its first call reached,
//   even if the name was replaced meanwhile (or fail, ESTALE or ENOENT, once that is gone; never
//   the new file), so a copy takes status, data and attributes from one file. An rmdir or
//   unlink through the service ends this for the task. Off the pool every call resolves afresh.
//
// Results
// - Calls that return a handle give an empty pointer on failure; calls that return a count
//   give -1 on failure. In both cases errno tells why. Calls that return an error_code give
//   value 0 on success and errno in the system category on failure.
// - The errno values below are owed for the cases they name. Any call may also fail with what
//   the storage reports (EACCES, EIO, ENOSPC, EDQUOT, ENOTCONN, ...).
// - A context of another backend, or none, gives EINVAL, and so does a null path, status or
//   iovec pointer. A handle of another backend, or one already closed, gives EBADF (an empty
//   one too, except to close and closedir).
// - ENOENT and the end of a listing are certain. A backend that cannot tell whether a name
//   exists (part of the volume unreachable) answers with another errno instead.
//
// Paths
// - Volume paths: "/" is the volume root, a path without a leading "/" starts there too, and
//   doubled separators are accepted; "" names nothing (ENOENT). A trailing "/" asks for a
//   directory: ENOTDIR when the path names anything else (creat, which makes no directory,
//   answers EISDIR).
// - No path reaches outside the volume: ".." at the root stays there, and the target of an
//   absolute link is a path of the volume.
// - A missing component before the last gives ENOENT; one that is no directory gives ENOTDIR.
// - A symbolic link before the last component is followed. A final link is followed by stat,
//   open, creat of an existing name, opendir and the attribute calls; a link that leads nowhere
//   gives ENOENT, a loop ELOOP. (A confined context follows none: see confine.)
// - mkdir, rmdir, unlink and chmod act on the last component itself and never follow a link
//   there. A last component "." or "..", or a path of slashes only, gives them EINVAL.
// - Only regular files and directories are opened. A FIFO, socket or device node is listed
//   and stat'ed like any entry, and has attributes, but open and creat refuse it with
//   EOPNOTSUPP and opendir with ENOTDIR. It is never opened, so nothing blocks and no driver
//   is reached.
// - Flags and modes are Linux x86-64 numbers. A mode may carry file-type bits; only its
//   permission bits (07777, set-id and sticky bits included) are used, and they are applied
//   exactly, whatever the umask.

#include <znfs/znfs_error.h>
#include <znfs/znfs_export.h>

#include <boost/shared_ptr.hpp>

#include <dirent.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <string>
#include <system_error>
#include <vector>

namespace znfs {

// Names one volume. Backends derive from it. A context is immutable, so it serves every
// thread at once.
class ZNFS_EXPORT znfs_iopx {
public:
    virtual ~znfs_iopx();
    // Human-readable name of the volume (root directory, gluster URL), for messages.
    virtual std::string describe() const = 0;
};

// Always passed empty: every call of this service is synchronous.
class znfs_aio_result {};

// An open file or directory. get_file_size is the size a regular file had when it was
// opened (0 once created or truncated by the open). A handle that nobody closed is closed by
// its destructor, when its last pointer goes.
class ZNFS_EXPORT znfs_file {
public:
    explicit znfs_file(uint64_t filesize = 0) : m_filesize(filesize) {}
    virtual ~znfs_file();
    uint64_t get_file_size() const { return m_filesize; }

protected:
    uint64_t m_filesize;
};

namespace znfs_mem {

// An I/O buffer owning its memory; the first member is the start address.
struct ZNFS_EXPORT buff {
    void* m_base;
    uint64_t m_size;
    buff(void* base, uint64_t size) : m_base(base), m_size(size) {}
    ~buff();
    buff(const buff&) = delete;
    buff& operator=(const buff&) = delete;
    void* get_base() const { return m_base; }
    uint64_t get_size() const { return m_size; }
};

// Allocator of aligned I/O buffers.
class ZNFS_EXPORT malloc_intfx {
public:
    virtual ~malloc_intfx();
    // A buffer of `size` bytes aligned to `alignment`, contents undefined; empty on failure.
    virtual boost::shared_ptr<buff> posix_memalign(uint64_t alignment, uint64_t size);
    static uint64_t get_page_size() { return static_cast<uint64_t>(sysconf(_SC_PAGESIZE)); }
};

// The process-wide allocator (never empty).
ZNFS_EXPORT boost::shared_ptr<malloc_intfx> default_malloc_intfx();

}  // namespace znfs_mem

typedef boost::shared_ptr<znfs_iopx> znfs_iopx_ptr;
typedef boost::shared_ptr<znfs_file> znfs_file_ptr;
typedef boost::shared_ptr<znfs_aio_result> znfs_aio_ptr;
typedef boost::shared_ptr<znfs_mem::buff> znfs_buff_ptr;

class ZNFS_EXPORT znfs_api {
public:
    virtual ~znfs_api();

    // Opens an existing regular file or directory. flags: O_RDONLY, O_WRONLY or O_RDWR, with
    // any of O_CREAT, O_EXCL, O_TRUNC, O_APPEND; another bit, or access mode 3, gives EINVAL.
    // O_CREAT makes a missing file with mode 0600 (EEXIST with O_EXCL when the name exists;
    // ENOENT, and nothing made, through a final link that leads nowhere).
    // A directory opens only for reading (EISDIR), as a handle that does not list.
    virtual znfs_file_ptr open(znfs_iopx_ptr iopx, const char* path, int32_t flags, znfs_aio_ptr aio) = 0;
    // Creates a regular file with the permission bits of mode, writable through the handle
    // whatever they are; flags as open, O_CREAT implied. An existing file is opened as open
    // opens it: its mode unchanged, truncated only with O_TRUNC. EISDIR for a directory (or a
    // trailing "/"), ENOENT for a final link that leads nowhere (nothing is made).
    virtual znfs_file_ptr creat(znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t mode,
                                znfs_aio_ptr aio) = 0;
    // Releases a handle, once, even when the close reports a failure; a second close gives
    // EBADF and does nothing. An empty handle is accepted.
    virtual std::error_code close(znfs_file_ptr file, znfs_aio_ptr aio) = 0;
    // Reads up to length bytes at offset into buff; short only at end of file (0 at or past
    // it). EINVAL when buff is empty or shorter than length, or offset is negative; EBADF when
    // the handle is not open for reading; EISDIR for a directory. option is ignored (pass 0).
    virtual int64_t read(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset,
                         int32_t option, znfs_aio_ptr aio) = 0;
    // Writes length bytes from buff at offset: all of them, or -1 + errno. EINVAL as read;
    // EBADF when the handle is not open for writing. option is ignored (pass 0).
    virtual int64_t write(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset,
                          int32_t option, znfs_aio_ptr aio) = 0;
    // Fills st for path, following a final link.
    virtual std::error_code stat(znfs_iopx_ptr iopx, const char* path, struct stat* st, znfs_aio_ptr aio) = 0;
    // Makes a directory with the permission bits of mode. EEXIST when the name exists, as
    // anything (a link that leads nowhere too).
    virtual std::error_code mkdir(znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs_aio_ptr aio) = 0;
    // Removes an empty directory. ENOTEMPTY; ENOTDIR for anything else (a link to a directory
    // too).
    virtual std::error_code rmdir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) = 0;
    // Removes a name that is no directory (EISDIR); a link is removed, never its target. With a
    // trailing "/" nothing is removed: EISDIR for a directory, ENOTDIR for anything else.
    virtual std::error_code unlink(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) = 0;
    // Opens a directory for listing, following a final link. ENOTDIR for anything else.
    virtual znfs_file_ptr opendir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) = 0;
    // The next entry, "." and ".." included; valid until the next call on the handle. Null at
    // the end with errno 0, null with errno set on failure (EBADF for a handle that opendir did
    // not give). d_type is the entry's own type (DT_LNK for a link), found without following
    // a link where the storage leaves it out; DT_UNKNOWN only for an entry that vanished in
    // between.
    virtual struct dirent* readdir(znfs_file_ptr dir, znfs_aio_ptr aio) = 0;
    // As close.
    virtual std::error_code closedir(znfs_file_ptr dir, znfs_aio_ptr aio) = 0;
    // With iov (null, 0): the value's size. With a buffer: the value, its length returned;
    // ERANGE when it does not fit. -1 + errno: ENODATA no such attribute, EINVAL no name;
    // ENOTSUP the entry keeps no extended attributes at all (see listxattr).
    virtual int64_t getxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                             znfs_aio_ptr aio) = 0;
    // The NUL-separated names of the entry's attributes, each readable with getxattr, in the
    // same two steps as getxattr. ENOTSUP means the entry keeps no extended attributes: callers
    // take it as an empty list, since there is nothing to read or copy.
    virtual int64_t listxattr(znfs_iopx_ptr iopx, const char* path, struct iovec* iov, znfs_aio_ptr aio) = 0;
    // Sets name to the iov_len bytes at iov_base (an empty value may come without a buffer:
    // iov_base null, iov_len 0). flags as setxattr(2): 0 creates or replaces,
    // XATTR_CREATE gives EEXIST when the attribute exists, XATTR_REPLACE ENODATA when it does
    // not; EINVAL for other flags. ENOTSUP: the entry cannot keep attributes, and the value is
    // not kept (a failure the caller reports).
    virtual std::error_code setxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                                     uint64_t flags, znfs_aio_ptr aio) = 0;

    // Sets the permission bits of path exactly (07777 of mode, whatever the umask). A final
    // symbolic link gives ELOOP: the bits of a link are never set, nor its target's through it.
    virtual std::error_code chmod(znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs_aio_ptr aio) = 0;

    // A context on iopx's volume for one operation on trees that others may change under it.
    // Each root (a volume path) is resolved now, the way iopx resolves it: the host may reach a
    // root through links. In the new context no call ever follows a symbolic link in any
    // component of a path below a root, or of any other path of the volume: such a path
    // answers ELOOP, and ".." never climbs above the root a path lies in (EXDEV). The longest
    // root that is a prefix of a path (ending at a "/") is the one it lies in; a path equal to
    // a root is resolved as iopx resolves it. With final_link::follow_beneath, stat, open for
    // reading, getxattr and listxattr follow a final link whose target lies beneath the same
    // root (EXDEV when it leads elsewhere, ENOENT when nowhere); every other call acts on the
    // link itself or refuses it. A name made or removed right below a root is made or removed in
    // the root as resolved now, wherever its path leads later. A root that does not resolve
    // makes the paths below it answer that root's errno. Empty with ec set (EINVAL) when iopx
    // is not this backend's.
    enum class final_link { refuse, follow_beneath };
    virtual znfs_iopx_ptr confine(znfs_iopx_ptr iopx, const std::vector<std::string>& roots, final_link finals,
                                  std::error_code& ec) = 0;

    // Copies length bytes at srcoffset of src to dstoffset of dst without passing them through
    // the caller: the file system may share the blocks (a clone) or copy them itself. Holes of
    // the source stay holes where the backend can find them; the destination range is expected
    // to hold no data yet (a new copy). Returns the bytes copied, short only where the source
    // ends, or -1 + errno: EBADF when src is not open for reading or dst not for writing.
    // EXDEV, EOPNOTSUPP, ENOSYS or EINVAL before anything was copied mean the backend cannot
    // copy between these two files: the caller then reads and writes (a failure after some
    // data moved is never one of these). A backend without such a copy answers EOPNOTSUPP,
    // which is what this default does.
    virtual int64_t copy_range(znfs_file_ptr src, uint64_t srcoffset, znfs_file_ptr dst, uint64_t dstoffset,
                               uint64_t length, znfs_aio_ptr aio);

    // Makes the file's data and size durable (fsync(2)); any open handle is accepted, one open
    // for reading or a directory's too.
    virtual std::error_code fsync(znfs_file_ptr file, znfs_aio_ptr aio) = 0;
    // Makes everything written to the volume so far durable, names included (syncfs(2)).
    // A failure to write back is reported to every thread that flushes the volume after it, at
    // least once, whoever else flushed first (a thread's first flush of a volume is told of any
    // earlier one). ENOTSUP from a backend that has no volume-wide flush: callers then fsync
    // each file.
    virtual std::error_code syncfs(znfs_iopx_ptr iopx, znfs_aio_ptr aio) = 0;

    // The allocator of this service's I/O buffers; empty when it has none to give.
    virtual boost::shared_ptr<znfs_mem::malloc_intfx> get_malloc_intfx();

    // A page-aligned buffer of exactly size bytes, not cleared; empty when there is no allocator.
    znfs_buff_ptr alloc_io_buffer(uint64_t size)
    {
        boost::shared_ptr<znfs_mem::malloc_intfx> m = get_malloc_intfx();
        if (!m)
            return znfs_buff_ptr();
        return m->posix_memalign(znfs_mem::malloc_intfx::get_page_size(), size);
    }
};

}  // namespace znfs

#endif
