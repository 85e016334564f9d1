#include <znfs/znfs_forward.h>

namespace znfs {

znfs_file_ptr znfs_api_forward::open(znfs_iopx_ptr iopx, const char* path, int32_t flags, znfs_aio_ptr aio)
{
    return m_target->open(iopx, path, flags, aio);
}

znfs_file_ptr znfs_api_forward::creat(znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t mode, znfs_aio_ptr aio)
{
    return m_target->creat(iopx, path, flags, mode, aio);
}

std::error_code znfs_api_forward::close(znfs_file_ptr file, znfs_aio_ptr aio)
{
    return m_target->close(file, aio);
}

int64_t znfs_api_forward::read(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset, int32_t option, znfs_aio_ptr aio)
{
    return m_target->read(file, buff, length, offset, option, aio);
}

int64_t znfs_api_forward::write(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset, int32_t option, znfs_aio_ptr aio)
{
    return m_target->write(file, buff, length, offset, option, aio);
}

std::error_code znfs_api_forward::stat(znfs_iopx_ptr iopx, const char* path, struct stat* st, znfs_aio_ptr aio)
{
    return m_target->stat(iopx, path, st, aio);
}

std::error_code znfs_api_forward::mkdir(znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs_aio_ptr aio)
{
    return m_target->mkdir(iopx, path, mode, aio);
}

std::error_code znfs_api_forward::rmdir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio)
{
    return m_target->rmdir(iopx, path, aio);
}

std::error_code znfs_api_forward::unlink(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio)
{
    return m_target->unlink(iopx, path, aio);
}

znfs_file_ptr znfs_api_forward::opendir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio)
{
    return m_target->opendir(iopx, path, aio);
}

struct dirent* znfs_api_forward::readdir(znfs_file_ptr dir, znfs_aio_ptr aio)
{
    return m_target->readdir(dir, aio);
}

std::error_code znfs_api_forward::closedir(znfs_file_ptr dir, znfs_aio_ptr aio)
{
    return m_target->closedir(dir, aio);
}

int64_t znfs_api_forward::getxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov, znfs_aio_ptr aio)
{
    return m_target->getxattr(iopx, path, name, iov, aio);
}

int64_t znfs_api_forward::listxattr(znfs_iopx_ptr iopx, const char* path, struct iovec* iov, znfs_aio_ptr aio)
{
    return m_target->listxattr(iopx, path, iov, aio);
}

std::error_code znfs_api_forward::setxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov, uint64_t flags, znfs_aio_ptr aio)
{
    return m_target->setxattr(iopx, path, name, iov, flags, aio);
}

std::error_code znfs_api_forward::chmod(znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs_aio_ptr aio)
{
    return m_target->chmod(iopx, path, mode, aio);
}

int64_t znfs_api_forward::copy_range(znfs_file_ptr src, uint64_t srcoffset, znfs_file_ptr dst, uint64_t dstoffset,
                                     uint64_t length, znfs_aio_ptr aio)
{
    return m_target->copy_range(src, srcoffset, dst, dstoffset, length, aio);
}

znfs_iopx_ptr znfs_api_forward::confine(znfs_iopx_ptr iopx, const std::vector<std::string>& roots, final_link finals,
                                        std::error_code& ec)
{
    return m_target->confine(iopx, roots, finals, ec);
}

std::error_code znfs_api_forward::fsync(znfs_file_ptr file, znfs_aio_ptr aio) { return m_target->fsync(file, aio); }

std::error_code znfs_api_forward::syncfs(znfs_iopx_ptr iopx, znfs_aio_ptr aio) { return m_target->syncfs(iopx, aio); }

boost::shared_ptr<znfs_mem::malloc_intfx> znfs_api_forward::get_malloc_intfx() { return m_target->get_malloc_intfx(); }

}  // namespace znfs
