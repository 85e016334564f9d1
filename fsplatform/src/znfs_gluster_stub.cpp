// The GlusterFS backend of a build without libgfapi: every call refuses with ENOTSUP, so the
// library exports the same symbols on every build host.

#include <znfs/znfs_gluster.h>

#include <errno.h>

namespace znfs {
namespace {

class gluster_unsupported final : public znfs_api {
public:
    znfs_file_ptr open(znfs_iopx_ptr, const char*, int32_t, znfs_aio_ptr) override { return none(); }
    znfs_file_ptr creat(znfs_iopx_ptr, const char*, int32_t, uint64_t, znfs_aio_ptr) override { return none(); }
    std::error_code close(znfs_file_ptr file, znfs_aio_ptr) override
    {
        return file ? errno_code(EBADF) : std::error_code();
    }
    int64_t read(znfs_file_ptr, znfs_buff_ptr, uint64_t, int64_t, int32_t, znfs_aio_ptr) override { return fail(); }
    int64_t write(znfs_file_ptr, znfs_buff_ptr, uint64_t, int64_t, int32_t, znfs_aio_ptr) override { return fail(); }
    std::error_code fsync(znfs_file_ptr file, znfs_aio_ptr) override
    {
        return file ? errno_code(EBADF) : errno_code(EINVAL);
    }
    std::error_code syncfs(znfs_iopx_ptr, znfs_aio_ptr) override { return code(); }
    std::error_code chmod(znfs_iopx_ptr, const char*, uint64_t, znfs_aio_ptr) override { return code(); }
    znfs_iopx_ptr confine(znfs_iopx_ptr, const std::vector<std::string>&, final_link, std::error_code& ec) override
    {
        ec = code();
        return znfs_iopx_ptr();
    }
    std::error_code stat(znfs_iopx_ptr, const char*, struct stat*, znfs_aio_ptr) override { return code(); }
    std::error_code mkdir(znfs_iopx_ptr, const char*, uint32_t, znfs_aio_ptr) override { return code(); }
    std::error_code rmdir(znfs_iopx_ptr, const char*, znfs_aio_ptr) override { return code(); }
    std::error_code unlink(znfs_iopx_ptr, const char*, znfs_aio_ptr) override { return code(); }
    znfs_file_ptr opendir(znfs_iopx_ptr, const char*, znfs_aio_ptr) override { return none(); }
    struct dirent* readdir(znfs_file_ptr, znfs_aio_ptr) override
    {
        errno = ENOTSUP;
        return nullptr;
    }
    std::error_code closedir(znfs_file_ptr dir, znfs_aio_ptr aio) override { return close(dir, aio); }
    int64_t getxattr(znfs_iopx_ptr, const char*, const char*, struct iovec*, znfs_aio_ptr) override { return fail(); }
    int64_t listxattr(znfs_iopx_ptr, const char*, struct iovec*, znfs_aio_ptr) override { return fail(); }
    std::error_code setxattr(znfs_iopx_ptr, const char*, const char*, struct iovec*, uint64_t, znfs_aio_ptr) override
    {
        return code();
    }

private:
    static znfs_file_ptr none()
    {
        errno = ENOTSUP;
        return znfs_file_ptr();
    }
    static int64_t fail()
    {
        errno = ENOTSUP;
        return -1;
    }
    static std::error_code code() { return errno_code(ENOTSUP); }
};

}  // namespace

znfs_api* gluster_api()
{
    static gluster_unsupported s_api;
    return &s_api;
}

bool is_gluster_volume(const znfs_iopx_ptr&) { return false; }

znfs_iopx_ptr make_gluster_volume(const std::string&, uint16_t, const std::string&, std::error_code& ec)
{
    ec = errno_code(ENOTSUP);
    return znfs_iopx_ptr();
}

}  // namespace znfs
