#include "volume_files.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace znfssnap {

std::string parent_of(const std::string& path)
{
    std::string n = normalize_path(path);
    size_t slash = n.rfind('/');
    return slash == 0 ? std::string("/") : n.substr(0, slash);
}

std::vector<std::string> path_components(const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string normalize_path(const std::string& path)
{
    std::string out;
    for (const std::string& part : path_components(path))
        if (part != ".")
            out += "/" + part;
    return out.empty() ? std::string("/") : out;
}

bool has_dotdot(const std::string& path)
{
    const std::vector<std::string> parts = path_components(path);
    return std::find(parts.begin(), parts.end(), "..") != parts.end();
}

std::error_code probe_file(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path)
{
    errno = 0;
    znfs::znfs_file_ptr f = api->open(iopx, path.c_str(), O_RDONLY, znfs::znfs_aio_ptr());
    if (!f)
        return znfs::errno_code(znfs::errno_or_eio());
    api->close(f, znfs::znfs_aio_ptr());
    return std::error_code();
}

std::error_code file_size(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path,
                          uint64_t& size)
{
    errno = 0;
    znfs::znfs_file_ptr f = api->open(iopx, path.c_str(), O_RDONLY, znfs::znfs_aio_ptr());
    if (!f)
        return znfs::errno_code(znfs::errno_or_eio());
    size = f->get_file_size();
    api->close(f, znfs::znfs_aio_ptr());
    return std::error_code();
}

std::error_code read_whole_file(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path,
                                std::string& data, uint64_t limit)
{
    errno = 0;
    znfs::znfs_file_ptr f = api->open(iopx, path.c_str(), O_RDONLY, znfs::znfs_aio_ptr());
    if (!f)
        return znfs::errno_code(znfs::errno_or_eio());
    std::error_code ec;
    const uint64_t size = f->get_file_size();
    if (size > limit) {
        api->close(f, znfs::znfs_aio_ptr());
        return znfs::errno_code(EFBIG);
    }
    const uint64_t block = 1 << 20;
    znfs::znfs_buff_ptr buf = api->alloc_io_buffer(block);
    if (!buf) {
        api->close(f, znfs::znfs_aio_ptr());
        return znfs::errno_code(ENOMEM);
    }
    data.clear();
    while (data.size() < size) {
        uint64_t want = std::min<uint64_t>(block, size - data.size());
        errno = 0;
        int64_t got = api->read(f, buf, want, static_cast<int64_t>(data.size()), 0, znfs::znfs_aio_ptr());
        if (got < 0) {
            ec = znfs::errno_code(znfs::errno_or_eio());
            break;
        }
        if (got == 0) {
            // Shorter than when it was opened: another writer is at work, which the lock rules out.
            ec = znfs::errno_code(EIO);
            break;
        }
        data.append(static_cast<const char*>(buf->get_base()), static_cast<size_t>(got));
    }
    api->close(f, znfs::znfs_aio_ptr());
    return ec;
}

std::error_code write_at(znfs::znfs_api* api, const znfs::znfs_file_ptr& file, const char* data, uint64_t length,
                         uint64_t offset)
{
    if (length == 0)
        return std::error_code();
    znfs::znfs_buff_ptr buf = api->alloc_io_buffer(length);
    if (!buf)
        return znfs::errno_code(ENOMEM);
    std::memcpy(buf->get_base(), data, static_cast<size_t>(length));
    errno = 0;
    int64_t put = api->write(file, buf, length, static_cast<int64_t>(offset), 0, znfs::znfs_aio_ptr());
    if (put < 0)
        return znfs::errno_code(znfs::errno_or_eio());
    if (static_cast<uint64_t>(put) != length)
        return znfs::errno_code(EIO);
    return std::error_code();
}

std::error_code sync_directory(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& dir)
{
    errno = 0;
    znfs::znfs_file_ptr d = api->open(iopx, dir.c_str(), O_RDONLY, znfs::znfs_aio_ptr());
    std::error_code ec = d ? api->fsync(d, znfs::znfs_aio_ptr()) : znfs::errno_code(znfs::errno_or_eio());
    if (d)
        api->close(d, znfs::znfs_aio_ptr());
    if (!ec)
        return ec;
    // Some backends cannot open or flush a directory; a flush of the whole volume covers it,
    // and a backend without that makes a name durable with the fsync of its file.
    ec = api->syncfs(iopx, znfs::znfs_aio_ptr());
    if (ec.value() == ENOTSUP)
        return std::error_code();
    return ec;
}

std::error_code write_file_durably(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path,
                                   const std::string& data)
{
    errno = 0;
    znfs::znfs_file_ptr f = api->open(iopx, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, znfs::znfs_aio_ptr());
    if (!f)
        return znfs::errno_code(znfs::errno_or_eio());
    std::error_code ec = write_at(api, f, data.data(), data.size(), 0);
    if (!ec)
        ec = api->fsync(f, znfs::znfs_aio_ptr());
    std::error_code cec = api->close(f, znfs::znfs_aio_ptr());
    if (!ec)
        ec = cec;
    if (!ec)
        ec = sync_directory(api, iopx, parent_of(path));
    return ec;
}

std::error_code remove_file_durably(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path)
{
    std::error_code ec = api->unlink(iopx, path.c_str(), znfs::znfs_aio_ptr());
    if (ec.value() == ENOENT)
        return std::error_code();
    if (ec)
        return ec;
    return sync_directory(api, iopx, parent_of(path));
}

namespace {

// Whether directory inner is outer or lies below it.
std::error_code lies_within(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& inner,
                            const std::string& outer, bool& within)
{
    within = false;
    struct stat out {};
    std::error_code ec = api->stat(iopx, outer.c_str(), &out, znfs::znfs_aio_ptr());
    if (ec)
        return ec;
    std::string cur = inner;
    struct stat prev {};
    for (int depth = 0; depth < 4096; ++depth) {
        struct stat st {};
        if ((ec = api->stat(iopx, cur.c_str(), &st, znfs::znfs_aio_ptr())))
            return ec;
        if (st.st_dev == out.st_dev && st.st_ino == out.st_ino) {
            within = true;
            return std::error_code();
        }
        if (depth > 0 && st.st_dev == prev.st_dev && st.st_ino == prev.st_ino)
            break;  // the volume root: its ".." is itself
        prev = st;
        cur += "/..";
    }
    return std::error_code();
}

}  // namespace

std::error_code trees_overlap(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& a,
                              const std::string& b, bool& overlap)
{
    std::error_code ec = lies_within(api, iopx, a, b, overlap);
    if (ec || overlap)
        return ec;
    return lies_within(api, iopx, b, a, overlap);
}

std::error_code list_directory(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& dir,
                               std::vector<std::string>& names, size_t max)
{
    names.clear();
    errno = 0;
    znfs::znfs_file_ptr d = api->opendir(iopx, dir.c_str(), znfs::znfs_aio_ptr());
    if (!d)
        return znfs::errno_code(znfs::errno_or_eio());
    std::error_code ec;
    while (names.size() < max) {
        errno = 0;
        struct dirent* de = api->readdir(d, znfs::znfs_aio_ptr());
        if (!de) {
            if (errno != 0)
                ec = znfs::errno_code(errno);
            break;
        }
        if (std::strcmp(de->d_name, ".") != 0 && std::strcmp(de->d_name, "..") != 0)
            names.push_back(de->d_name);
    }
    api->closedir(d, znfs::znfs_aio_ptr());
    return ec;
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

}  // namespace znfssnap
