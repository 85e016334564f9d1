#ifndef ZNFSSNAP_RECORDING_API_H
#define ZNFSSNAP_RECORDING_API_H

// The object volume of a dry run: reads pass through; unlink only records the path and
// reports success; any other call that would change the volume is refused with EROFS.

#include "znfs_mutex.h"

#include <znfs/znfs_forward.h>

#include <string>
#include <vector>

namespace znfssnap {

class recording_api final : public znfs::znfs_api_forward {
public:
    explicit recording_api(znfs::znfs_api* target) : znfs::znfs_api_forward(target) {}

    std::error_code unlink(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override;

    znfs::znfs_file_ptr open(znfs::znfs_iopx_ptr iopx, const char* path, int32_t flags,
                             znfs::znfs_aio_ptr aio) override;
    znfs::znfs_file_ptr creat(znfs::znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t mode,
                              znfs::znfs_aio_ptr aio) override;
    int64_t write(znfs::znfs_file_ptr file, znfs::znfs_buff_ptr buff, uint64_t length, int64_t offset,
                  int32_t option, znfs::znfs_aio_ptr aio) override;
    std::error_code mkdir(znfs::znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs::znfs_aio_ptr aio) override;
    std::error_code rmdir(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override;
    std::error_code setxattr(znfs::znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                             uint64_t flags, znfs::znfs_aio_ptr aio) override;
    std::error_code chmod(znfs::znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs::znfs_aio_ptr aio) override;

    // Paths asked to be unlinked, in the order asked.
    std::vector<std::string> unlinked() const;

private:
    mutable znfs::mutex m_mutex;  // delete workers call unlink concurrently
    std::vector<std::string> m_unlinked GUARDED_BY(m_mutex);
};

}  // namespace znfssnap

#endif
