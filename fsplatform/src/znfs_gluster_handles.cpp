#include "znfs_gluster_internal.h"

namespace znfs {
namespace gluster {

const gluster_volume* volume_of(const znfs_iopx_ptr& iopx, const char* path)
{
    return backend::volume_of<gluster_volume>(iopx, path);
}

gluster_file* file_of(const znfs_file_ptr& file) { return backend::file_of<gluster_file>(file); }

gluster_volume::~gluster_volume()
{
    if (m_root)
        glfs_h_close(m_root);
    for (const anchor& a : m_anchors)
        if (a.obj)
            glfs_h_close(a.obj);
}

const anchor* gluster_volume::anchor_of(const std::string& path, std::string& rest, bool& exact) const
{
    exact = false;
    for (const anchor& a : m_anchors) {
        size_t n = a.path.size();
        if (n == 0 || path.compare(0, n, a.path) != 0)
            continue;
        if (n < path.size() && path[n] != '/' && a.path[n - 1] != '/')
            continue;
        size_t from = n < path.size() && path[n] == '/' ? n + 1 : n;
        if (from >= path.size()) {
            exact = true;
            return nullptr;
        }
        rest = path.substr(from);
        return &a;
    }
    return nullptr;
}

gluster_file::~gluster_file()
{
    release();
    if (m_dirobj)
        glfs_h_close(m_dirobj);
}

bool gluster_file::next_entry()
{
    if (m_next == m_batch.size() && !fetch_batch())
        return false;
    backend::copy_entry(m_batch[m_next++], m_entry);
    return true;
}

int gluster_file::release()
{
    if (m_closed.exchange(true))
        return EBADF;
    int r = m_kind == regular ? glfs_close(m_fd) : glfs_closedir(m_fd);
    return r == 0 ? 0 : errno_or_eio();
}

bool gluster_file::fetch_batch()
{
    m_batch.clear();
    m_next = 0;
    if (m_failed || m_ended) {
        errno = m_failed;
        return false;
    }
    bracket b(m_whole.get());
    while (m_batch.size() < k_list_batch) {
        struct dirent* de = nullptr;
        errno = 0;
        int r = glfs_readdir_r(m_fd, scratch(), &de);
        if (r != 0) {
            m_failed = b.settle(r > 0 ? r : errno_or_eio());
            m_batch.clear();
            errno = m_failed;
            return false;
        }
        if (!de) {
            m_ended = true;
            break;
        }
        m_batch.emplace_back();
        backend::copy_entry(*de, m_batch.back());
    }
    if (!b.held()) {
        m_failed = ENOTCONN;
        m_batch.clear();
        errno = m_failed;
        return false;
    }
    errno = 0;
    return !m_batch.empty();
}

bool volpath::set(const char* given)
{
    if (!*given) {
        errno = ENOENT;
        return false;
    }
    path.assign(1, '/');
    for (const char* c = given; *c; ++c)
        if (*c != '/' || path.back() != '/')
            path += *c;
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    dir_only = end < path.size() && end > 1;
    path.resize(end);
    return true;
}

bool volpath::split(std::string& dir, std::string& name) const
{
    size_t start = path.rfind('/') + 1;
    name = path.substr(start);
    if (name.empty() || name == "." || name == "..") {
        errno = EINVAL;
        return false;
    }
    dir = path.substr(0, start > 1 ? start - 1 : 1);
    return true;
}

bool dir_demand_met(const volpath& p, const struct stat& st)
{
    if (p.dir_only && !S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

bool check_dir_demand(glfs_t* fs, const volpath& p)
{
    if (!p.dir_only)
        return true;
    struct stat st;
    if (glfs_stat(fs, p.path.c_str(), &st) != 0) {
        errno = errno_or_eio();
        return false;
    }
    return dir_demand_met(p, st);
}

}  // namespace gluster
}  // namespace znfs
