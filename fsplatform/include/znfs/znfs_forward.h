#ifndef ZNFS_FORWARD_H
#define ZNFS_FORWARD_H

// A znfs_api that forwards every call to a target. Decorators (fault injection, recording,
// read-only) derive from it and override only what they change.

#include <znfs/znfs_api.h>

namespace znfs {

class ZNFS_EXPORT znfs_api_forward : public znfs_api {
public:
    // target is borrowed and must outlive this object.
    explicit znfs_api_forward(znfs_api* target) : m_target(target) {}
    znfs_api* target() const { return m_target; }

    znfs_file_ptr open(znfs_iopx_ptr iopx, const char* path, int32_t flags, znfs_aio_ptr aio) override;
    znfs_file_ptr creat(znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t mode,
                        znfs_aio_ptr aio) override;
    std::error_code close(znfs_file_ptr file, znfs_aio_ptr aio) override;
    int64_t read(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset, int32_t option,
                 znfs_aio_ptr aio) override;
    int64_t write(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset, int32_t option,
                  znfs_aio_ptr aio) override;
    std::error_code stat(znfs_iopx_ptr iopx, const char* path, struct stat* st, znfs_aio_ptr aio) override;
    std::error_code mkdir(znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs_aio_ptr aio) override;
    std::error_code rmdir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) override;
    std::error_code unlink(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) override;
    znfs_file_ptr opendir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) override;
    struct dirent* readdir(znfs_file_ptr dir, znfs_aio_ptr aio) override;
    std::error_code closedir(znfs_file_ptr dir, znfs_aio_ptr aio) override;
    int64_t getxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                     znfs_aio_ptr aio) override;
    int64_t listxattr(znfs_iopx_ptr iopx, const char* path, struct iovec* iov, znfs_aio_ptr aio) override;
    std::error_code setxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                             uint64_t flags, znfs_aio_ptr aio) override;
    std::error_code chmod(znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs_aio_ptr aio) override;
    int64_t copy_range(znfs_file_ptr src, uint64_t srcoffset, znfs_file_ptr dst, uint64_t dstoffset, uint64_t length,
                       znfs_aio_ptr aio) override;
    znfs_iopx_ptr confine(znfs_iopx_ptr iopx, const std::vector<std::string>& roots, final_link finals,
                          std::error_code& ec) override;
    std::error_code fsync(znfs_file_ptr file, znfs_aio_ptr aio) override;
    std::error_code syncfs(znfs_iopx_ptr iopx, znfs_aio_ptr aio) override;
    boost::shared_ptr<znfs_mem::malloc_intfx> get_malloc_intfx() override;

private:
    znfs_api* m_target;
};

}  // namespace znfs

#endif
