#include "faultfs.h"

#include <cerrno>
#include <iterator>

using znfs::znfs_aio_ptr;
using znfs::znfs_buff_ptr;
using znfs::znfs_file_ptr;
using znfs::znfs_iopx_ptr;

void FaultFs::fail_call(uint64_t k, int err)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fail_calls.emplace_back(k, err);
}

void FaultFs::fail_op(const std::string& op, int err, const std::string& path_part, uint64_t nth)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.push_back(rule{op, path_part, nth, err, 0});
}

void FaultFs::set_no_allocator(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_no_allocator = on;
}

void FaultFs::set_short_reads(uint64_t max_bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_short_reads = max_bytes;
}

void FaultFs::clear_faults()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fail_calls.clear();
    m_rules.clear();
    m_no_allocator = false;
    m_short_reads = 0;
}

void FaultFs::reset()
{
    clear_faults();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls = 0;
    m_op_calls.clear();
    m_injected.clear();
    m_paths.clear();
}

uint64_t FaultFs::calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

uint64_t FaultFs::calls(const std::string& op) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_op_calls.find(op);
    return it == m_op_calls.end() ? 0 : it->second;
}

uint64_t FaultFs::injected_count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_injected.size();
}

std::vector<std::pair<std::string, std::string>> FaultFs::injected() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_injected;
}

int FaultFs::check(const char* op, const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t n = ++m_calls;
    ++m_op_calls[op];
    int err = 0;
    for (const auto& fc : m_fail_calls)
        if (fc.first == n)
            err = fc.second;
    for (auto& r : m_rules) {
        if (r.op != op || path.find(r.path_part) == std::string::npos)
            continue;
        ++r.matched;
        if (err == 0 && (r.nth == 0 || r.nth == r.matched))
            err = r.err;
    }
    if (err != 0)
        m_injected.emplace_back(op, path);
    if (err == k_throws)
        throw std::bad_alloc();
    return err;
}

int FaultFs::check_handle(const char* op, const znfs_file_ptr& file)
{
    std::string path;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_paths.find(file.get());
        if (it != m_paths.end() && it->second.handle.lock() == file)
            path = it->second.path;
    }
    return check(op, path);
}

void FaultFs::remember(const znfs_file_ptr& file, const char* path)
{
    if (!file)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    // Handles dropped without close leave stale entries; sweep them when the map has grown.
    if (m_paths.size() >= 1024 && (m_paths.size() & (m_paths.size() - 1)) == 0) {
        for (auto it = m_paths.begin(); it != m_paths.end();)
            it = it->second.handle.expired() ? m_paths.erase(it) : std::next(it);
    }
    m_paths[file.get()] = opened{file, path ? path : ""};
}

static std::string str(const char* p) { return p ? std::string(p) : std::string(); }

znfs_file_ptr FaultFs::open(znfs_iopx_ptr iopx, const char* path, int32_t flags, znfs_aio_ptr aio)
{
    if (int err = check("open", str(path))) {
        errno = err;
        return znfs_file_ptr();
    }
    znfs_file_ptr f = znfs_api_forward::open(iopx, path, flags, aio);
    int saved = errno;
    remember(f, path);
    errno = saved;
    return f;
}

znfs_file_ptr FaultFs::creat(znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t mode, znfs_aio_ptr aio)
{
    if (int err = check("creat", str(path))) {
        errno = err;
        return znfs_file_ptr();
    }
    znfs_file_ptr f = znfs_api_forward::creat(iopx, path, flags, mode, aio);
    int saved = errno;
    remember(f, path);
    errno = saved;
    return f;
}

std::error_code FaultFs::close(znfs_file_ptr file, znfs_aio_ptr aio)
{
    int err = check_handle("close", file);
    std::error_code ec = znfs_api_forward::close(file, aio);
    if (err) {
        errno = err;
        return znfs::errno_code(err);
    }
    return ec;
}

int64_t FaultFs::read(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset, int32_t option,
                      znfs_aio_ptr aio)
{
    if (int err = check_handle("read", file)) {
        errno = err;
        return -1;
    }
    uint64_t limit;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        limit = m_short_reads;
    }
    if (limit != 0 && length > limit)
        length = limit;
    return znfs_api_forward::read(file, buff, length, offset, option, aio);
}

int64_t FaultFs::write(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset, int32_t option,
                       znfs_aio_ptr aio)
{
    if (int err = check_handle("write", file)) {
        errno = err;
        return -1;
    }
    return znfs_api_forward::write(file, buff, length, offset, option, aio);
}

std::error_code FaultFs::stat(znfs_iopx_ptr iopx, const char* path, struct stat* st, znfs_aio_ptr aio)
{
    if (int err = check("stat", str(path))) {
        errno = err;
        return znfs::errno_code(err);
    }
    return znfs_api_forward::stat(iopx, path, st, aio);
}

std::error_code FaultFs::mkdir(znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs_aio_ptr aio)
{
    if (int err = check("mkdir", str(path))) {
        errno = err;
        return znfs::errno_code(err);
    }
    return znfs_api_forward::mkdir(iopx, path, mode, aio);
}

std::error_code FaultFs::rmdir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio)
{
    if (int err = check("rmdir", str(path))) {
        errno = err;
        return znfs::errno_code(err);
    }
    return znfs_api_forward::rmdir(iopx, path, aio);
}

std::error_code FaultFs::unlink(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio)
{
    if (int err = check("unlink", str(path))) {
        errno = err;
        return znfs::errno_code(err);
    }
    return znfs_api_forward::unlink(iopx, path, aio);
}

znfs_file_ptr FaultFs::opendir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio)
{
    if (int err = check("opendir", str(path))) {
        errno = err;
        return znfs_file_ptr();
    }
    znfs_file_ptr d = znfs_api_forward::opendir(iopx, path, aio);
    int saved = errno;
    remember(d, path);
    errno = saved;
    return d;
}

struct dirent* FaultFs::readdir(znfs_file_ptr dir, znfs_aio_ptr aio)
{
    if (int err = check_handle("readdir", dir)) {
        errno = err;
        return nullptr;
    }
    return znfs_api_forward::readdir(dir, aio);
}

std::error_code FaultFs::closedir(znfs_file_ptr dir, znfs_aio_ptr aio)
{
    int err = check_handle("closedir", dir);
    std::error_code ec = znfs_api_forward::closedir(dir, aio);
    if (err) {
        errno = err;
        return znfs::errno_code(err);
    }
    return ec;
}

int64_t FaultFs::getxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                          znfs_aio_ptr aio)
{
    if (int err = check("getxattr", str(path))) {
        errno = err;
        return -1;
    }
    return znfs_api_forward::getxattr(iopx, path, name, iov, aio);
}

int64_t FaultFs::listxattr(znfs_iopx_ptr iopx, const char* path, struct iovec* iov, znfs_aio_ptr aio)
{
    if (int err = check("listxattr", str(path))) {
        errno = err;
        return -1;
    }
    return znfs_api_forward::listxattr(iopx, path, iov, aio);
}

std::error_code FaultFs::setxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                                  uint64_t flags, znfs_aio_ptr aio)
{
    if (int err = check("setxattr", str(path))) {
        errno = err;
        return znfs::errno_code(err);
    }
    return znfs_api_forward::setxattr(iopx, path, name, iov, flags, aio);
}

int64_t FaultFs::copy_range(znfs_file_ptr src, uint64_t srcoffset, znfs_file_ptr dst, uint64_t dstoffset,
                            uint64_t length, znfs_aio_ptr aio)
{
    if (int err = check_handle("copy_range", src)) {
        errno = err;
        return -1;
    }
    return znfs_api_forward::copy_range(src, srcoffset, dst, dstoffset, length, aio);
}

std::error_code FaultFs::chmod(znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs_aio_ptr aio)
{
    if (int err = check("chmod", str(path))) {
        errno = err;
        return znfs::errno_code(err);
    }
    return znfs_api_forward::chmod(iopx, path, mode, aio);
}

std::error_code FaultFs::fsync(znfs_file_ptr file, znfs_aio_ptr aio)
{
    if (int err = check_handle("fsync", file)) {
        errno = err;
        return znfs::errno_code(err);
    }
    return znfs_api_forward::fsync(file, aio);
}

std::error_code FaultFs::syncfs(znfs_iopx_ptr iopx, znfs_aio_ptr aio)
{
    if (int err = check("syncfs", std::string())) {
        errno = err;
        return znfs::errno_code(err);
    }
    return znfs_api_forward::syncfs(iopx, aio);
}

boost::shared_ptr<znfs::znfs_mem::malloc_intfx> FaultFs::get_malloc_intfx()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_no_allocator)
            return boost::shared_ptr<znfs::znfs_mem::malloc_intfx>();
    }
    return znfs_api_forward::get_malloc_intfx();
}
