#ifndef ZNFS_BACKEND_H
#define ZNFS_BACKEND_H

// The argument checks every backend makes, written once so that all backends answer a bad
// argument with the same errno. Internal to libznfscore.

#include <znfs/znfs_api.h>

#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

namespace znfs {
namespace backend {

// Open flags a caller may pass; anything else, or access mode 3, is EINVAL.
const int k_open_flags = O_ACCMODE | O_CREAT | O_EXCL | O_TRUNC | O_APPEND;

inline bool valid_open_flags(int32_t flags)
{
    if ((flags & ~k_open_flags) != 0 || (flags & O_ACCMODE) == O_ACCMODE) {
        errno = EINVAL;
        return false;
    }
    return true;
}

// The backend's volume behind a context, or null with EINVAL (another backend's context, or
// no path).
template <class Volume>
const Volume* volume_of(const znfs_iopx_ptr& iopx, const char* path)
{
    const Volume* v = dynamic_cast<const Volume*>(iopx.get());
    if (!v || !path) {
        errno = EINVAL;
        return nullptr;
    }
    return v;
}

// An attribute call's arguments: a name where one is needed (name_needed), and a buffer
// descriptor; otherwise EINVAL.
inline bool valid_attribute_args(bool name_needed, const char* name, const struct iovec* iov)
{
    if ((name_needed && !name) || !iov) {
        errno = EINVAL;
        return false;
    }
    return true;
}

// Copies a directory entry field by field into out: the library's record may be shorter
// than struct dirent, and a name is cut to what out holds.
inline void copy_entry(const struct dirent& de, struct dirent& out)
{
    out.d_ino = de.d_ino;
    out.d_off = de.d_off;
    out.d_reclen = de.d_reclen;
    out.d_type = de.d_type;
    size_t n = strnlen(de.d_name, sizeof out.d_name - 1);
    memcpy(out.d_name, de.d_name, n);
    out.d_name[n] = '\0';
}

// The backend's open handle, or null with EBADF (another backend's handle, or closed).
template <class File>
File* file_of(const znfs_file_ptr& file)
{
    File* f = dynamic_cast<File*>(file.get());
    if (!f || f->closed()) {
        errno = EBADF;
        return nullptr;
    }
    return f;
}

// Releases a handle once; an empty handle is accepted.
template <class File>
std::error_code close_handle(const znfs_file_ptr& file)
{
    if (!file)
        return std::error_code();
    File* f = dynamic_cast<File*>(file.get());
    if (!f)
        return errno_code(EBADF);
    int e = f->release();
    return e ? errno_code(e) : std::error_code();
}

// A transfer fits its buffer and starts at a real offset; otherwise EINVAL.
inline bool valid_transfer(const znfs_buff_ptr& buff, uint64_t length, int64_t offset)
{
    if (!buff || length > buff->get_size() || offset < 0) {
        errno = EINVAL;
        return false;
    }
    return true;
}

// Moves length bytes at offset through step(done, chunk, position), which returns a count or
// -1 with errno, in chunks of at most max_chunk, retrying EINTR and partial counts. A read is
// short only at end of file (a count of 0); a write that makes no progress fails with EIO, and
// so does a failure that left errno unset.
enum class transfer_kind { read, write };

template <class Step>
int64_t complete_transfer(transfer_kind kind, uint64_t length, int64_t offset, uint64_t max_chunk, Step step)
{
    uint64_t done = 0;
    while (done < length) {
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(length - done, max_chunk));
        ssize_t n = step(done, chunk, offset + static_cast<int64_t>(done));
        if (n < 0) {
            int e = errno_or_eio();
            if (e == EINTR)
                continue;
            errno = e;
            return -1;
        }
        if (n == 0) {
            if (kind == transfer_kind::read)
                break;
            errno = EIO;
            return -1;
        }
        done += static_cast<uint64_t>(n);
    }
    return static_cast<int64_t>(done);
}

}  // namespace backend
}  // namespace znfs

#endif
