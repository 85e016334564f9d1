#include "dry_run_api.h"

#include "volume_files.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

namespace znfssnap {

struct dry_run_api::mem_data {
    std::string bytes;
};

// A handle on an in-memory file. Its size is the one the file had when it was opened, as for
// a real handle.
class dry_run_api::mem_file final : public znfs::znfs_file {
public:
    mem_file(std::shared_ptr<mem_data> data, bool writable)
        : znfs::znfs_file(data->bytes.size()), m_data(std::move(data)), m_writable(writable)
    {
    }
    std::shared_ptr<mem_data> m_data;
    bool m_writable;
    bool m_closed = false;
};

namespace {

znfs::znfs_file_ptr fail_open(int e)
{
    errno = e;
    return znfs::znfs_file_ptr();
}

bool writes(int32_t flags) { return (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_APPEND)); }

}  // namespace

dry_run_api::dry_run_api(znfs::znfs_api* target, const std::string& snapdir)
    : znfs::znfs_api_forward(target), m_prefix(normalize_path(snapdir + "/.delete") + "/")
{
}

std::string dry_run_api::working_key(const char* path) const
{
    if (!path)
        return std::string();
    std::string n = normalize_path(path);
    if (n.size() > m_prefix.size() && n.compare(0, m_prefix.size(), m_prefix) == 0)
        return n;
    return std::string();
}

znfs::znfs_file_ptr dry_run_api::open_working(znfs::znfs_iopx_ptr iopx, const std::string& key, const char* path,
                                              int32_t flags)
{
    const bool create = (flags & O_CREAT) != 0;
    const bool exclusive = create && (flags & O_EXCL);
    const bool truncate = (flags & O_TRUNC) != 0;
    const bool writable = (flags & O_ACCMODE) != O_RDONLY;
    auto it = m_files.find(key);
    if (it != m_files.end()) {
        if (exclusive)
            return fail_open(EEXIST);
        if (truncate && writable)
            it->second->bytes.clear();
        return znfs::znfs_file_ptr(new mem_file(it->second, writable));
    }
    auto data = std::make_shared<mem_data>();
    if (m_removed.count(key)) {
        if (!create)
            return fail_open(ENOENT);
    } else {
        // The volume's own file, if it has one, is where this run's copy starts from.
        struct stat st {};
        std::error_code ec = target()->stat(iopx, path, &st, znfs::znfs_aio_ptr());
        if (!ec) {
            if (exclusive)
                return fail_open(EEXIST);
            if (S_ISDIR(st.st_mode))
                return fail_open(EISDIR);
            if (!(truncate && writable)) {
                ec = read_whole_file(target(), iopx, path, data->bytes);
                if (ec)
                    return fail_open(ec.value());
            }
        } else if (ec.value() != ENOENT || !create) {
            return fail_open(ec.value());
        }
    }
    m_removed.erase(key);
    m_files[key] = data;
    return znfs::znfs_file_ptr(new mem_file(data, writable));
}

znfs::znfs_file_ptr dry_run_api::open(znfs::znfs_iopx_ptr iopx, const char* path, int32_t flags,
                                      znfs::znfs_aio_ptr aio)
{
    const std::string key = working_key(path);
    if (key.empty()) {
        if (writes(flags))
            return fail_open(EROFS);
        return target()->open(iopx, path, flags, aio);
    }
    znfs::mutex_lock lock(m_mutex);
    if (!writes(flags)) {
        auto it = m_files.find(key);
        if (it != m_files.end())
            return znfs::znfs_file_ptr(new mem_file(it->second, false));
        if (m_removed.count(key))
            return fail_open(ENOENT);
        return target()->open(iopx, path, flags, aio);
    }
    return open_working(iopx, key, path, flags);
}

znfs::znfs_file_ptr dry_run_api::creat(znfs::znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t,
                                       znfs::znfs_aio_ptr)
{
    const std::string key = working_key(path);
    if (key.empty())
        return fail_open(EROFS);
    znfs::mutex_lock lock(m_mutex);
    int32_t f = flags | O_CREAT;
    if ((f & O_ACCMODE) == O_RDONLY)
        f |= O_WRONLY;
    return open_working(iopx, key, path, f);
}

std::error_code dry_run_api::close(znfs::znfs_file_ptr file, znfs::znfs_aio_ptr aio)
{
    if (mem_file* m = dynamic_cast<mem_file*>(file.get())) {
        znfs::mutex_lock lock(m_mutex);
        if (m->m_closed)
            return znfs::errno_code(EBADF);
        m->m_closed = true;
        return std::error_code();
    }
    return target()->close(file, aio);
}

int64_t dry_run_api::read(znfs::znfs_file_ptr file, znfs::znfs_buff_ptr buff, uint64_t length, int64_t offset,
                          int32_t option, znfs::znfs_aio_ptr aio)
{
    mem_file* m = dynamic_cast<mem_file*>(file.get());
    if (!m)
        return target()->read(file, buff, length, offset, option, aio);
    if (!buff || !buff->get_base() || length > buff->get_size() || offset < 0) {
        errno = EINVAL;
        return -1;
    }
    znfs::mutex_lock lock(m_mutex);
    if (m->m_closed) {
        errno = EBADF;
        return -1;
    }
    const std::string& bytes = m->m_data->bytes;
    uint64_t pos = static_cast<uint64_t>(offset);
    if (pos >= bytes.size())
        return 0;
    uint64_t n = std::min<uint64_t>(length, bytes.size() - pos);
    std::memcpy(buff->get_base(), bytes.data() + pos, static_cast<size_t>(n));
    return static_cast<int64_t>(n);
}

int64_t dry_run_api::write(znfs::znfs_file_ptr file, znfs::znfs_buff_ptr buff, uint64_t length, int64_t offset,
                           int32_t, znfs::znfs_aio_ptr)
{
    mem_file* m = dynamic_cast<mem_file*>(file.get());
    if (!m) {
        // Real files are only ever opened for reading here; nothing is written to them.
        errno = EROFS;
        return -1;
    }
    if (!buff || !buff->get_base() || length > buff->get_size() || offset < 0) {
        errno = EINVAL;
        return -1;
    }
    znfs::mutex_lock lock(m_mutex);
    if (m->m_closed || !m->m_writable) {
        errno = EBADF;
        return -1;
    }
    std::string& bytes = m->m_data->bytes;
    uint64_t pos = static_cast<uint64_t>(offset);
    if (bytes.size() < pos + length)
        bytes.resize(static_cast<size_t>(pos + length));
    std::memcpy(&bytes[static_cast<size_t>(pos)], buff->get_base(), static_cast<size_t>(length));
    return static_cast<int64_t>(length);
}

std::error_code dry_run_api::stat(znfs::znfs_iopx_ptr iopx, const char* path, struct stat* st, znfs::znfs_aio_ptr aio)
{
    const std::string key = working_key(path);
    if (!key.empty()) {
        znfs::mutex_lock lock(m_mutex);
        auto it = m_files.find(key);
        if (it != m_files.end()) {
            if (!st)
                return znfs::errno_code(EINVAL);
            std::memset(st, 0, sizeof *st);
            st->st_mode = S_IFREG | 0600;
            st->st_nlink = 1;
            st->st_size = static_cast<off_t>(it->second->bytes.size());
            return std::error_code();
        }
        if (m_removed.count(key))
            return znfs::errno_code(ENOENT);
    }
    return target()->stat(iopx, path, st, aio);
}

std::error_code dry_run_api::mkdir(znfs::znfs_iopx_ptr, const char*, uint32_t, znfs::znfs_aio_ptr)
{
    return znfs::errno_code(EROFS);
}

std::error_code dry_run_api::rmdir(znfs::znfs_iopx_ptr, const char*, znfs::znfs_aio_ptr)
{
    return znfs::errno_code(EROFS);
}

std::error_code dry_run_api::unlink(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr)
{
    const std::string key = working_key(path);
    if (key.empty())
        return znfs::errno_code(EROFS);
    znfs::mutex_lock lock(m_mutex);
    const bool had_copy = m_files.erase(key) != 0;
    if (m_removed.count(key))
        return had_copy ? std::error_code() : znfs::errno_code(ENOENT);
    struct stat st {};
    std::error_code ec = target()->stat(iopx, path, &st, znfs::znfs_aio_ptr());
    if (!ec) {
        if (S_ISDIR(st.st_mode))
            return znfs::errno_code(EISDIR);
        m_removed.insert(key);
        return std::error_code();
    }
    if (ec.value() == ENOENT && had_copy)
        return std::error_code();
    return ec;
}

int64_t dry_run_api::getxattr(znfs::znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                              znfs::znfs_aio_ptr aio)
{
    const std::string key = working_key(path);
    if (!key.empty()) {
        znfs::mutex_lock lock(m_mutex);
        if (m_files.count(key) || m_removed.count(key)) {
            errno = m_files.count(key) ? ENODATA : ENOENT;
            return -1;
        }
    }
    return target()->getxattr(iopx, path, name, iov, aio);
}

int64_t dry_run_api::listxattr(znfs::znfs_iopx_ptr iopx, const char* path, struct iovec* iov, znfs::znfs_aio_ptr aio)
{
    const std::string key = working_key(path);
    if (!key.empty()) {
        znfs::mutex_lock lock(m_mutex);
        if (m_files.count(key))
            return 0;
        if (m_removed.count(key)) {
            errno = ENOENT;
            return -1;
        }
    }
    return target()->listxattr(iopx, path, iov, aio);
}

std::error_code dry_run_api::setxattr(znfs::znfs_iopx_ptr, const char*, const char*, struct iovec*, uint64_t,
                                      znfs::znfs_aio_ptr)
{
    return znfs::errno_code(EROFS);
}

std::error_code dry_run_api::chmod(znfs::znfs_iopx_ptr, const char* path, uint64_t, znfs::znfs_aio_ptr)
{
    const std::string key = working_key(path);
    if (!key.empty()) {
        znfs::mutex_lock lock(m_mutex);
        if (m_files.count(key))
            return std::error_code();  // an in-memory file has no mode to keep
    }
    return znfs::errno_code(EROFS);
}

std::error_code dry_run_api::fsync(znfs::znfs_file_ptr file, znfs::znfs_aio_ptr aio)
{
    if (mem_file* m = dynamic_cast<mem_file*>(file.get())) {
        znfs::mutex_lock lock(m_mutex);
        return m->m_closed ? znfs::errno_code(EBADF) : std::error_code();
    }
    return target()->fsync(file, aio);
}

std::error_code dry_run_api::syncfs(znfs::znfs_iopx_ptr, znfs::znfs_aio_ptr)
{
    // Nothing of this run is on the volume to flush.
    return std::error_code();
}

bool dry_run_api::contents(const std::string& path, std::string& data) const
{
    const std::string key = working_key(path.c_str());
    znfs::mutex_lock lock(m_mutex);
    auto it = m_files.find(key);
    if (it == m_files.end())
        return false;
    data = it->second->bytes;
    return true;
}

}  // namespace znfssnap
