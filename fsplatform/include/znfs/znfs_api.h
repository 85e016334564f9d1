#ifndef ZNFS_API_H
#define ZNFS_API_H

// The file-system service: every file access of the snapshot library goes through a znfs_api
// object on a volume named by a znfs_iopx.
//
// Rules every implementation shares:
// - One znfs_api object is called from many threads at once without external locking.
// - Every call is synchronous; the trailing znfs_aio_result pointer is always passed empty.
// - Paths are volume paths: "/" is the volume root, doubled separators are accepted, and no
//   path (through "..", or a symbolic link anywhere in it) ever reaches outside the volume.
// - Calls that return a handle give an empty pointer on failure; calls that return a count
//   give -1 on failure. In both cases errno tells why. Calls that return an error_code give
//   value 0 on success and errno in the system category on failure.
// - Flags and modes are Linux x86-64 numbers. A mode may carry file-type bits; only its
//   permission bits (07777) are used, and they are applied exactly, whatever the umask.

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

// Names one volume. Backends derive from it; a context of one backend given to another
// backend's calls is refused with EINVAL.
class ZNFS_EXPORT znfs_iopx {
public:
    virtual ~znfs_iopx();
    // Human-readable name of the volume (root directory, gluster URL), for messages.
    virtual std::string describe() const = 0;
};

// Always passed empty: every call of this service is synchronous.
class znfs_aio_result {};

// An open file or directory. The size is the one the file had when it was opened.
// A handle that nobody closed is closed by its destructor.
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

    // Opens an existing regular file or directory (flags 0 O_RDONLY, 1 O_WRONLY) or creates
    // one (0x241 O_WRONLY|O_CREAT|O_TRUNC, new files get mode 0600). A FIFO, socket or
    // device node is never opened: EOPNOTSUPP, without blocking or reaching a driver.
    virtual znfs_file_ptr open(znfs_iopx_ptr iopx, const char* path, int32_t flags, znfs_aio_ptr aio) = 0;
    // Creates (or, with O_TRUNC, truncates) a regular file with the permission bits of mode.
    virtual znfs_file_ptr creat(znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t mode,
                                znfs_aio_ptr aio) = 0;
    // Releases a handle; an empty handle is accepted. A handle is closed once, even when the
    // close reports a failure.
    virtual std::error_code close(znfs_file_ptr file, znfs_aio_ptr aio) = 0;
    // Reads up to length bytes at offset into buff; short only at end of file. -1 + errno.
    virtual int64_t read(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset,
                         int32_t option, znfs_aio_ptr aio) = 0;
    // Writes length bytes from buff at offset; complete or -1 + errno.
    virtual int64_t write(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset,
                          int32_t option, znfs_aio_ptr aio) = 0;
    // Fills st for path, following a final symbolic link (inside the volume).
    virtual std::error_code stat(znfs_iopx_ptr iopx, const char* path, struct stat* st, znfs_aio_ptr aio) = 0;
    virtual std::error_code mkdir(znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs_aio_ptr aio) = 0;
    virtual std::error_code rmdir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) = 0;
    // Removes the name itself; a symbolic link is removed, never followed.
    virtual std::error_code unlink(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) = 0;
    virtual znfs_file_ptr opendir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) = 0;
    // Next entry ("." and ".." included) with its real type (never DT_UNKNOWN when the type
    // can be found without following a link); valid until the next call on the handle.
    // Null at the end of the directory, and null with errno set on failure.
    virtual struct dirent* readdir(znfs_file_ptr dir, znfs_aio_ptr aio) = 0;
    virtual std::error_code closedir(znfs_file_ptr dir, znfs_aio_ptr aio) = 0;
    // With iov (null, 0): the value's size. With a buffer: the value, its length returned;
    // ERANGE when it does not fit. -1 + errno (ENODATA: no such attribute).
    virtual int64_t getxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                             znfs_aio_ptr aio) = 0;
    // The NUL-separated attribute names, in the same two steps as getxattr. ENOTSUP (from
    // getxattr too) means the file system keeps no extended attributes on that entry: callers
    // take it as an empty list, since there is nothing to read or copy.
    virtual int64_t listxattr(znfs_iopx_ptr iopx, const char* path, struct iovec* iov, znfs_aio_ptr aio) = 0;
    // Sets name to the iov_len bytes at iov_base; flags as setxattr(2) (0: create or replace).
    virtual std::error_code setxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                                     uint64_t flags, znfs_aio_ptr aio) = 0;

    // Sets the permission bits of path exactly (07777 of mode, whatever the umask); a final
    // symbolic link is never followed (ELOOP).
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
    // link itself or refuses it. A root that does not resolve makes the paths below it answer
    // that root's errno. Empty with ec set when iopx is not this backend's.
    enum class final_link { refuse, follow_beneath };
    virtual znfs_iopx_ptr confine(znfs_iopx_ptr iopx, const std::vector<std::string>& roots, final_link finals,
                                  std::error_code& ec) = 0;

    // Copies length bytes at srcoffset of src to dstoffset of dst without passing them through
    // the caller: the file system may share the blocks (a clone) or copy them itself. Holes of
    // the source stay holes where the backend can find them; the destination range is expected
    // to hold no data yet (a new copy). Returns the bytes copied, short only where the source
    // ends, or -1 + errno. EXDEV, EOPNOTSUPP, ENOSYS or EINVAL before anything was copied mean
    // the backend cannot copy between these two files: the caller then reads and writes. A
    // backend without such a copy answers EOPNOTSUPP, which is what this default does.
    virtual int64_t copy_range(znfs_file_ptr src, uint64_t srcoffset, znfs_file_ptr dst, uint64_t dstoffset,
                               uint64_t length, znfs_aio_ptr aio);

    // Makes the file's data and size durable (fsync(2)); EBADF for a closed or foreign handle.
    virtual std::error_code fsync(znfs_file_ptr file, znfs_aio_ptr aio) = 0;
    // Makes everything written to the volume so far durable, names included (syncfs(2)).
    // ENOTSUP from a backend that has no volume-wide flush: callers then fsync each file.
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

// errno as an error code of the service (system category).
inline std::error_code errno_code(int e) { return std::error_code(e, std::system_category()); }

}  // namespace znfs

#endif
