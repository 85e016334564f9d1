#include "recording_api.h"

#include <fcntl.h>

#include <cerrno>

namespace znfssnap {

std::error_code recording_api::unlink(znfs::znfs_iopx_ptr, const char* path, znfs::znfs_aio_ptr)
{
    znfs::mutex_lock lock(m_mutex);
    m_unlinked.emplace_back(path ? path : "");
    return std::error_code();
}

znfs::znfs_file_ptr recording_api::open(znfs::znfs_iopx_ptr iopx, const char* path, int32_t flags,
                                        znfs::znfs_aio_ptr aio)
{
    if ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_APPEND))) {
        errno = EROFS;
        return znfs::znfs_file_ptr();
    }
    return target()->open(iopx, path, flags, aio);
}

znfs::znfs_file_ptr recording_api::creat(znfs::znfs_iopx_ptr, const char*, int32_t, uint64_t, znfs::znfs_aio_ptr)
{
    errno = EROFS;
    return znfs::znfs_file_ptr();
}

int64_t recording_api::write(znfs::znfs_file_ptr, znfs::znfs_buff_ptr, uint64_t, int64_t, int32_t, znfs::znfs_aio_ptr)
{
    errno = EROFS;
    return -1;
}

std::error_code recording_api::mkdir(znfs::znfs_iopx_ptr, const char*, uint32_t, znfs::znfs_aio_ptr)
{
    return znfs::errno_code(EROFS);
}

std::error_code recording_api::rmdir(znfs::znfs_iopx_ptr, const char*, znfs::znfs_aio_ptr)
{
    return znfs::errno_code(EROFS);
}

std::error_code recording_api::setxattr(znfs::znfs_iopx_ptr, const char*, const char*, struct iovec*, uint64_t,
                                        znfs::znfs_aio_ptr)
{
    return znfs::errno_code(EROFS);
}

std::error_code recording_api::chmod(znfs::znfs_iopx_ptr, const char*, uint64_t, znfs::znfs_aio_ptr)
{
    return znfs::errno_code(EROFS);
}

std::vector<std::string> recording_api::unlinked() const
{
    znfs::mutex_lock lock(m_mutex);
    return m_unlinked;
}

}  // namespace znfssnap
