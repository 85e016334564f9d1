#include <znfs/znfs_gluster.h>

#include "znfs_backend.h"
#include "znfs_task_cache.h"

#include <errno.h>
#include <stdlib.h>

namespace znfs {

std::error_code parse_gluster_url(const std::string& url, std::string& host, uint16_t& port, std::string& volname)
{
    static const std::string scheme = "gluster://";
    if (url.compare(0, scheme.size(), scheme) != 0)
        return errno_code(EINVAL);
    size_t slash = url.find('/', scheme.size());
    if (slash == std::string::npos)
        return errno_code(EINVAL);
    std::string authority = url.substr(scheme.size(), slash - scheme.size());
    std::string vol = url.substr(slash + 1);
    if (!vol.empty() && vol.back() == '/')
        vol.pop_back();
    if (vol.empty() || vol.find('/') != std::string::npos)
        return errno_code(EINVAL);

    std::string h;
    std::string p;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos)
            return errno_code(EINVAL);
        h = authority.substr(1, close - 1);
        std::string rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':')
                return errno_code(EINVAL);
            p = rest.substr(1);
            if (p.empty())
                return errno_code(EINVAL);
        }
    } else {
        size_t colon = authority.find(':');
        h = authority.substr(0, colon);
        if (colon != std::string::npos) {
            p = authority.substr(colon + 1);
            if (p.empty())
                return errno_code(EINVAL);
        }
    }
    if (h.empty())
        return errno_code(EINVAL);

    unsigned long number = gluster_default_port;
    if (!p.empty()) {
        if (p.find_first_not_of("0123456789") != std::string::npos || p.size() > 5)
            return errno_code(EINVAL);
        number = strtoul(p.c_str(), nullptr, 10);
        if (number == 0 || number > 65535)
            return errno_code(EINVAL);
    }
    host = h;
    port = static_cast<uint16_t>(number);
    volname = vol;
    return std::error_code();
}

}  // namespace znfs

#ifdef ZNFS_HAVE_GLUSTER

#include <glusterfs/api/glfs-handles.h>
#include <glusterfs/api/glfs.h>

#include <fcntl.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace znfs {
namespace {

// How long a connection may take before make_gluster_volume gives up on it. glfs_init
// waits for the volume file and every brick; an address that drops packets would hold it
// for minutes.
const std::chrono::seconds k_init_timeout(30);

// Largest piece handed to one glfs_pread/glfs_pwrite: libgfapi builds one buffer per call.
const size_t k_io_chunk = 16u << 20;

// Immutable after construction; libgfapi instances are safe to call from any thread.
class gluster_volume final : public znfs_iopx {
public:
    gluster_volume(glfs_t* fs, std::string name)
        : m_fs(fs), m_name(std::move(name)), m_id(task_cache::new_volume_id())
    {
    }
    // The instance is not finished here: see the registry below. So object handles that a
    // pool task keeps never outlive it.
    ~gluster_volume() override {}
    std::string describe() const override { return m_name; }
    glfs_t* fs() const { return m_fs; }
    // Tells this volume's paths apart from other volumes' in what a pool task keeps.
    uint64_t id() const { return m_id; }

private:
    glfs_t* m_fs;
    std::string m_name;
    uint64_t m_id;
};

// One open file or directory. Used by one thread at a time; only the release is guarded, so
// that a libgfapi descriptor is closed exactly once however often close is asked for.
class gluster_file final : public znfs_file {
public:
    // A directory opened by open is a directory descriptor that does not list.
    enum kind { regular, directory, listing };

    gluster_file(glfs_fd_t* fd, uint64_t size, int accmode, kind k, std::string path)
        : znfs_file(size), m_fd(fd), m_accmode(accmode), m_kind(k), m_path(std::move(path))
    {
    }
    ~gluster_file() override { release(); }

    glfs_fd_t* fd() const { return m_fd; }
    int accmode() const { return m_accmode; }
    bool isdir() const { return m_kind != regular; }
    bool lists() const { return m_kind == listing; }
    const std::string& path() const { return m_path; }
    bool closed() const { return m_closed.load(std::memory_order_relaxed); }
    struct dirent* scratch() { return &m_scratch.entry; }
    struct dirent* entry() { return &m_entry; }

    int release()
    {
        if (m_closed.exchange(true))
            return EBADF;
        int r = m_kind == regular ? glfs_close(m_fd) : glfs_closedir(m_fd);
        return r == 0 ? 0 : (errno ? errno : EIO);
    }

private:
    glfs_fd_t* m_fd;
    int m_accmode;
    kind m_kind;
    std::string m_path;
    std::atomic<bool> m_closed{false};
    // glfs_readdir_r may write a name longer than struct dirent declares; give it room.
    union {
        struct dirent entry;
        char room[1024];
    } m_scratch{};
    struct dirent m_entry {};
};

// A libgfapi object handle, released with the holder.
class object_ref {
public:
    explicit object_ref(glfs_object_t* o = nullptr) : m_obj(o) {}
    ~object_ref()
    {
        if (m_obj) {
            int e = errno;
            glfs_h_close(m_obj);
            errno = e;
        }
    }
    object_ref(const object_ref&) = delete;
    object_ref& operator=(const object_ref&) = delete;
    glfs_object_t* get() const { return m_obj; }
    explicit operator bool() const { return m_obj != nullptr; }
    // Gives the handle up to the caller, who releases it.
    glfs_object_t* release()
    {
        glfs_object_t* o = m_obj;
        m_obj = nullptr;
        return o;
    }

private:
    glfs_object_t* m_obj;
};

// errno after a libgfapi call that reported failure; some paths of it forget to set one.
int failure_errno()
{
    int e = errno;
    return e ? e : EIO;
}

const gluster_volume* volume_of(const znfs_iopx_ptr& iopx, const char* path)
{
    return backend::volume_of<gluster_volume>(iopx, path);
}

gluster_file* file_of(const znfs_file_ptr& file) { return backend::file_of<gluster_file>(file); }

// A path as libgfapi takes it. libgfapi resolves relative paths against a working directory
// and takes "" for invalid; volume paths are always from the root, and "" names nothing.
// A trailing slash asks for a directory, which libgfapi does not check.
struct volpath {
    std::string path;
    bool dir_only = false;

    bool set(const char* given)
    {
        if (!*given) {
            errno = ENOENT;
            return false;
        }
        path = given[0] == '/' ? given : std::string("/") + given;
        size_t end = path.size();
        while (end > 1 && path[end - 1] == '/')
            --end;
        dir_only = end < path.size() && end > 1;
        path.resize(end);
        return true;
    }

    // Directory and last component of the path, for calls that make or remove the name
    // itself. A last component "." or ".." or none at all is refused with EINVAL, so nothing
    // at or above a directory is reached through it.
    bool split(std::string& dir, std::string& name) const
    {
        size_t start = path.rfind('/') + 1;
        name = path.substr(start);
        if (name.empty() || name == "." || name == "..") {
            errno = EINVAL;
            return false;
        }
        size_t dirend = start;
        while (dirend > 1 && path[dirend - 1] == '/')
            --dirend;
        dir = path.substr(0, dirend);
        return true;
    }
};

// Checks the directory demand of a trailing slash against what the path names.
bool dir_demand_met(const volpath& p, const struct stat& st)
{
    if (p.dir_only && !S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

// With a trailing slash, the path must name a directory (following links).
bool check_dir_demand(glfs_t* fs, const volpath& p)
{
    if (!p.dir_only)
        return true;
    struct stat st;
    if (glfs_stat(fs, p.path.c_str(), &st) != 0) {
        errno = failure_errno();
        return false;
    }
    return dir_demand_met(p, st);
}

// --- What a pool task keeps: object handles by path, so that a task looks each path up once
// (the brick answers every lookup), and attribute values fetched whole by a size query.

void release_object(intptr_t handle) { glfs_h_close(reinterpret_cast<glfs_object_t*>(handle)); }

// Whether a call may take the task's route: inside a pool task, for a path without the
// trailing slash that asks for a directory check.
bool task_route(const volpath& p) { return task_cache::active() && !p.dir_only; }

// The object path names (following links) for a call of the running task: the one the task
// keeps, or a fresh lookup, whose status then goes to *fresh_status if asked, handed to the
// task to keep. Null with errno on failure.
glfs_object_t* task_object(const gluster_volume& v, const volpath& p, struct stat* fresh_status = nullptr,
                           bool* fresh = nullptr)
{
    if (fresh)
        *fresh = false;
    if (const task_cache::kept* k = task_cache::find(v.id(), p.path.c_str()))
        return reinterpret_cast<glfs_object_t*>(k->handle);
    struct stat st;
    glfs_object_t* obj = glfs_h_lookupat(v.fs(), nullptr, p.path.c_str(), fresh_status ? fresh_status : &st, 1);
    if (!obj) {
        errno = failure_errno();
        return nullptr;
    }
    if (!task_cache::keep(v.id(), p.path.c_str(), reinterpret_cast<intptr_t>(obj), task_cache::access::path,
                          release_object)) {
        errno = ENOMEM;
        return nullptr;
    }
    if (fresh)
        *fresh = true;
    return obj;
}

// Room for any attribute value or name list (the Linux limits of both).
const size_t k_xattr_room = 65536;

// getxattr (name) or listxattr (name null) on an object for a pool task. A size query fetches
// the value whole and remembers it, and the read that follows the query takes it from there:
// one round trip to the brick instead of two, and the read gets exactly the value whose size
// the query told.
ssize_t task_getxattr(const gluster_volume& v, const volpath& p, const char* name, struct iovec* iov)
{
    const char* path = p.path.c_str();
    std::string value;
    if (iov->iov_base && task_cache::recall_attribute(v.id(), path, name, value)) {
        if (value.size() > iov->iov_len) {
            errno = ERANGE;
            return -1;
        }
        memcpy(iov->iov_base, value.data(), value.size());
        return static_cast<ssize_t>(value.size());
    }
    task_cache::drop_attribute();
    glfs_object_t* obj = task_object(v, p);
    if (!obj)
        return -1;
    if (iov->iov_base || iov->iov_len) {
        ssize_t r = glfs_h_getxattrs(v.fs(), obj, name, iov->iov_base, iov->iov_len);
        if (r < 0)
            errno = failure_errno();
        return r;
    }
    thread_local std::unique_ptr<char[]> room(new char[k_xattr_room]);
    ssize_t r = glfs_h_getxattrs(v.fs(), obj, name, room.get(), k_xattr_room);
    if (r >= 0) {
        task_cache::remember_attribute(v.id(), path, name, room.get(), static_cast<size_t>(r));
        return r;
    }
    if (errno != ERANGE) {
        errno = failure_errno();
        return -1;
    }
    r = glfs_h_getxattrs(v.fs(), obj, name, nullptr, 0);
    if (r < 0)
        errno = failure_errno();
    return r;
}

// Opens what obj (looked up for p, with status st) names, as open_existing.
znfs_file_ptr open_object(const gluster_volume& v, const volpath& p, glfs_object_t* obj, const struct stat& st,
                          int flags);

// Opens the file or directory path names (following links) with flags minus O_CREAT and
// O_EXCL. Lookup and open go through one object handle, so the type checked is the type of
// what is opened: a FIFO or device is refused before anything on the brick opens it.
znfs_file_ptr open_existing(const gluster_volume& v, const volpath& p, int flags)
{
    struct stat st;
    if (task_route(p)) {
        // The task may have looked the path up already; its object saves a lookup.
        bool fresh = false;
        glfs_object_t* kept = task_object(v, p, &st, &fresh);
        if (!kept)
            return znfs_file_ptr();
        if (!fresh && glfs_h_stat(v.fs(), kept, &st) != 0) {
            errno = failure_errno();
            return znfs_file_ptr();
        }
        return open_object(v, p, kept, st, flags);
    }
    object_ref obj(glfs_h_lookupat(v.fs(), nullptr, p.path.c_str(), &st, 1));
    if (!obj) {
        errno = failure_errno();
        return znfs_file_ptr();
    }
    return open_object(v, p, obj.get(), st, flags);
}

znfs_file_ptr open_object(const gluster_volume& v, const volpath& p, glfs_object_t* obj, const struct stat& st,
                          int flags)
{
    if (!dir_demand_met(p, st))
        return znfs_file_ptr();
    const int accmode = flags & O_ACCMODE;
    if (S_ISDIR(st.st_mode)) {
        if (accmode != O_RDONLY || (flags & O_TRUNC)) {
            errno = EISDIR;
            return znfs_file_ptr();
        }
        glfs_fd_t* fd = glfs_h_opendir(v.fs(), obj);
        if (!fd) {
            errno = failure_errno();
            return znfs_file_ptr();
        }
        return znfs_file_ptr(
            new gluster_file(fd, static_cast<uint64_t>(st.st_size), accmode, gluster_file::directory, p.path));
    }
    if (!S_ISREG(st.st_mode)) {
        errno = EOPNOTSUPP;
        return znfs_file_ptr();
    }
    glfs_fd_t* fd = glfs_h_open(v.fs(), obj, flags & ~(O_CREAT | O_EXCL));
    if (!fd) {
        errno = failure_errno();
        return znfs_file_ptr();
    }
    uint64_t size = (flags & O_TRUNC) ? 0 : static_cast<uint64_t>(st.st_size);
    return znfs_file_ptr(new gluster_file(fd, size, accmode, gluster_file::regular, p.path));
}


// Creates path as a new regular file with exactly the permission bits perm, opened with
// cflags (which hold O_CREAT and O_EXCL). Null with errno on failure.
glfs_fd_t* create_new(const gluster_volume& v, const volpath& p, int cflags, mode_t perm)
{
    if (!task_route(p)) {
        glfs_fd_t* fd = glfs_creat(v.fs(), p.path.c_str(), cflags, perm);
        if (!fd) {
            errno = failure_errno();
            return nullptr;
        }
        // The brick masks the bits at creation (storage.create-mask, set-id bits); set them
        // as asked, on the file just made.
        if (glfs_fchmod(fd, perm) != 0) {
            int e = failure_errno();
            glfs_close(fd);
            errno = e;
            return nullptr;
        }
        return fd;
    }
    // In a task the new file's object is kept for the calls that follow (a copy sets the
    // attributes next), and the status that comes with it tells whether the brick masked any
    // bits, so that the extra round trip to set them is made only when needed.
    std::string dir, name;
    if (!p.split(dir, name))
        return nullptr;
    struct stat st;
    object_ref parent(glfs_h_lookupat(v.fs(), nullptr, dir.c_str(), &st, 1));
    if (!parent) {
        errno = failure_errno();
        return nullptr;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return nullptr;
    }
    glfs_fd_t* fd = nullptr;
    object_ref made(glfs_h_creat_open(v.fs(), parent.get(), name.c_str(), cflags, perm, &st, &fd));
    if (!made || !fd) {
        int e = failure_errno();
        if (fd)
            glfs_close(fd);
        errno = e;
        return nullptr;
    }
    if ((st.st_mode & 07777) != perm && glfs_fchmod(fd, perm) != 0) {
        int e = failure_errno();
        glfs_close(fd);
        errno = e;
        return nullptr;
    }
    task_cache::keep(v.id(), p.path.c_str(), reinterpret_cast<intptr_t>(made.release()), task_cache::access::path,
                     release_object);
    return fd;
}

// Creates path as a new regular file with exactly the permission bits of mode, or opens the
// existing one with flags (minus O_CREAT), under the same checks as open.
znfs_file_ptr create_or_open(const gluster_volume& v, const volpath& p, int flags, uint64_t mode)
{
    if (p.dir_only) {
        errno = EISDIR;
        return znfs_file_ptr();
    }
    const mode_t perm = static_cast<mode_t>(mode & 07777);
    // A name that vanishes between the two attempts is tried again, a few times.
    for (int attempt = 0; attempt < 4; ++attempt) {
        glfs_fd_t* fd = create_new(v, p, (flags & ~O_TRUNC) | O_CREAT | O_EXCL, perm);
        if (fd)
            return znfs_file_ptr(new gluster_file(fd, 0, flags & O_ACCMODE, gluster_file::regular, p.path));
        int e = failure_errno();
        if (e != EEXIST || (flags & O_EXCL)) {
            errno = e;
            return znfs_file_ptr();
        }
        znfs_file_ptr f = open_existing(v, p, flags);
        if (f || errno != ENOENT)
            return f;
    }
    return znfs_file_ptr();
}

std::error_code code_after_failure() { return errno_code(failure_errno()); }

// The volume and path of a call that removes the last component itself; null with errno for
// a bad argument or a last component "." or "..". What the running task keeps may lie at or
// beneath the name, so it is dropped.
const gluster_volume* removal_target(const znfs_iopx_ptr& iopx, const char* path, volpath& p)
{
    const gluster_volume* v = volume_of(iopx, path);
    std::string dir, name;
    if (!v || !p.set(path) || !p.split(dir, name))
        return nullptr;
    task_cache::forget_all();
    return v;
}

class gluster_api_impl final : public znfs_api {
public:
    znfs_file_ptr open(znfs_iopx_ptr iopx, const char* path, int32_t flags, znfs_aio_ptr) override
    {
        const gluster_volume* v = volume_of(iopx, path);
        volpath p;
        if (!v || !p.set(path))
            return znfs_file_ptr();
        if (!backend::valid_open_flags(flags))
            return znfs_file_ptr();
        if (flags & O_CREAT)
            return create_or_open(*v, p, flags, 0600);
        return open_existing(*v, p, flags);
    }

    znfs_file_ptr creat(znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t mode, znfs_aio_ptr) override
    {
        const gluster_volume* v = volume_of(iopx, path);
        volpath p;
        if (!v || !p.set(path))
            return znfs_file_ptr();
        if (!backend::valid_open_flags(flags))
            return znfs_file_ptr();
        return create_or_open(*v, p, flags | O_CREAT, mode);
    }

    std::error_code close(znfs_file_ptr file, znfs_aio_ptr) override { return backend::close_handle<gluster_file>(file); }

    int64_t read(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset, int32_t,
                 znfs_aio_ptr) override
    {
        gluster_file* f = file_of(file);
        if (!f)
            return -1;
        if (f->accmode() == O_WRONLY) {
            errno = EBADF;
            return -1;
        }
        if (f->isdir()) {
            errno = EISDIR;
            return -1;
        }
        if (!backend::valid_transfer(buff, length, offset))
            return -1;
        char* base = static_cast<char*>(buff->get_base());
        return backend::complete_transfer(backend::transfer_kind::read, length, offset, k_io_chunk,
                                          [&](uint64_t done, size_t chunk, int64_t pos) {
                                              return glfs_pread(f->fd(), base + done, chunk, pos, 0, nullptr);
                                          });
    }

    int64_t write(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset, int32_t,
                  znfs_aio_ptr) override
    {
        gluster_file* f = file_of(file);
        if (!f)
            return -1;
        if (f->accmode() == O_RDONLY) {
            errno = EBADF;
            return -1;
        }
        if (!backend::valid_transfer(buff, length, offset))
            return -1;
        const char* base = static_cast<const char*>(buff->get_base());
        return backend::complete_transfer(backend::transfer_kind::write, length, offset, k_io_chunk,
                                          [&](uint64_t done, size_t chunk, int64_t pos) {
                                              return glfs_pwrite(f->fd(), base + done, chunk, pos, 0, nullptr,
                                                                 nullptr);
                                          });
    }

    std::error_code chmod(znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs_aio_ptr) override
    {
        const gluster_volume* v = volume_of(iopx, path);
        if (!v)
            return errno_code(EINVAL);
        volpath p;
        if (!p.set(path))
            return errno_code(errno);
        struct stat st;
        object_ref obj(glfs_h_lookupat(v->fs(), nullptr, p.path.c_str(), &st, 0));
        if (!obj)
            return errno_code(failure_errno());
        if (S_ISLNK(st.st_mode))
            return errno_code(ELOOP);
        st.st_mode = (st.st_mode & S_IFMT) | static_cast<mode_t>(mode & 07777);
        if (glfs_h_setattrs(v->fs(), obj.get(), &st, GFAPI_SET_ATTR_MODE) != 0)
            return errno_code(failure_errno());
        return std::error_code();
    }

    znfs_iopx_ptr confine(znfs_iopx_ptr iopx, const std::vector<std::string>&, final_link, std::error_code& ec) override
    {
        if (!volume_of(iopx, "/")) {
            ec = errno_code(errno);
            return znfs_iopx_ptr();
        }
        ec = std::error_code();
        return iopx;
    }

    std::error_code fsync(znfs_file_ptr file, znfs_aio_ptr) override
    {
        gluster_file* f = file_of(file);
        if (!f)
            return errno_code(errno);
        if (f->isdir())  // the bricks order directory changes themselves; nothing to flush
            return std::error_code();
        return glfs_fsync(f->fd(), nullptr, nullptr) == 0 ? std::error_code() : errno_code(errno ? errno : EIO);
    }

    // libgfapi has no volume-wide flush: a write is durable on the bricks only after an fsync
    // of its file.
    std::error_code syncfs(znfs_iopx_ptr iopx, znfs_aio_ptr) override
    {
        if (!volume_of(iopx, "/"))
            return errno_code(errno);
        return errno_code(ENOTSUP);
    }

    std::error_code stat(znfs_iopx_ptr iopx, const char* path, struct stat* st, znfs_aio_ptr) override
    {
        const gluster_volume* v = volume_of(iopx, path);
        if (!v || !st)
            return errno_code(EINVAL);
        volpath p;
        if (!p.set(path))
            return errno_code(errno);
        if (task_route(p)) {
            bool fresh = false;
            glfs_object_t* obj = task_object(*v, p, st, &fresh);
            if (!obj)
                return errno_code(errno);
            if (!fresh && glfs_h_stat(v->fs(), obj, st) != 0)
                return code_after_failure();
            return std::error_code();
        }
        if (glfs_stat(v->fs(), p.path.c_str(), st) != 0)
            return code_after_failure();
        if (!dir_demand_met(p, *st))
            return errno_code(errno);
        return std::error_code();
    }

    std::error_code mkdir(znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs_aio_ptr) override
    {
        const gluster_volume* v = volume_of(iopx, path);
        if (!v)
            return errno_code(EINVAL);
        volpath p;
        std::string dir, name;
        if (!p.set(path) || !p.split(dir, name))
            return errno_code(errno);
        struct stat st;
        object_ref parent(glfs_h_lookupat(v->fs(), nullptr, dir.c_str(), &st, 1));
        if (!parent)
            return code_after_failure();
        if (!S_ISDIR(st.st_mode))
            return errno_code(ENOTDIR);
        const mode_t perm = static_cast<mode_t>(mode & 07777);
        object_ref made(glfs_h_mkdir(v->fs(), parent.get(), name.c_str(), perm, &st));
        if (!made)
            return code_after_failure();
        // The brick masks the bits at creation; set them exactly, on the directory just
        // made (the object handle never follows a link that replaced it).
        st.st_mode = S_IFDIR | perm;
        if (glfs_h_setattrs(v->fs(), made.get(), &st, GFAPI_SET_ATTR_MODE) != 0)
            return code_after_failure();
        return std::error_code();
    }

    std::error_code rmdir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr) override
    {
        volpath p;
        const gluster_volume* v = removal_target(iopx, path, p);
        if (!v)
            return errno_code(errno);
        if (glfs_rmdir(v->fs(), p.path.c_str()) != 0)
            return code_after_failure();
        return std::error_code();
    }

    std::error_code unlink(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr) override
    {
        volpath p;
        const gluster_volume* v = removal_target(iopx, path, p);
        if (!v)
            return errno_code(errno);
        if (p.dir_only) {
            // "name/" removes nothing: a directory is EISDIR, anything else (a link to a
            // directory too, since unlink never follows one) ENOTDIR.
            struct stat st;
            if (glfs_lstat(v->fs(), p.path.c_str(), &st) != 0)
                return code_after_failure();
            return errno_code(S_ISDIR(st.st_mode) ? EISDIR : ENOTDIR);
        }
        if (glfs_unlink(v->fs(), p.path.c_str()) != 0)
            return code_after_failure();
        return std::error_code();
    }

    znfs_file_ptr opendir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr) override
    {
        const gluster_volume* v = volume_of(iopx, path);
        volpath p;
        if (!v || !p.set(path))
            return znfs_file_ptr();
        // libgfapi checks the type before it opens anything: a FIFO or device gives ENOTDIR.
        glfs_fd_t* fd = glfs_opendir(v->fs(), p.path.c_str());
        if (!fd) {
            errno = failure_errno();
            return znfs_file_ptr();
        }
        return znfs_file_ptr(new gluster_file(fd, 0, O_RDONLY, gluster_file::listing, p.path));
    }

    struct dirent* readdir(znfs_file_ptr dir, znfs_aio_ptr) override
    {
        gluster_file* f = file_of(dir);
        if (!f)
            return nullptr;
        if (!f->lists()) {
            errno = EBADF;
            return nullptr;
        }
        // glfs_readdir keeps its entry in the descriptor and is not re-entrant; the _r form
        // writes into this handle's own buffer.
        struct dirent* de = nullptr;
        errno = 0;
        int r = glfs_readdir_r(f->fd(), f->scratch(), &de);
        if (r != 0) {
            errno = r > 0 ? r : failure_errno();
            return nullptr;
        }
        if (!de) {
            errno = 0;
            return nullptr;
        }
        struct dirent* out = f->entry();
        backend::copy_entry(*de, *out);
        if (out->d_type == DT_UNKNOWN) {
            // Entries read back from some bricks leave the type out; find it without
            // following a link.
            glfs_t* fs = glfs_from_glfd(f->fd());
            std::string full = f->path() == "/" ? "/" + std::string(out->d_name) : f->path() + "/" + out->d_name;
            struct stat st;
            if (fs && glfs_lstat(fs, full.c_str(), &st) == 0)
                out->d_type = static_cast<unsigned char>(IFTODT(st.st_mode));
        }
        errno = 0;
        return out;
    }

    std::error_code closedir(znfs_file_ptr dir, znfs_aio_ptr aio) override { return close(dir, aio); }

    int64_t getxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                     znfs_aio_ptr) override
    {
        const gluster_volume* v = volume_of(iopx, path);
        if (!v)
            return -1;
        if (!backend::valid_attribute_args(true, name, iov))
            return -1;
        volpath p;
        if (!p.set(path) || !check_dir_demand(v->fs(), p))
            return -1;
        if (task_route(p))
            return task_getxattr(*v, p, name, iov);
        ssize_t r = glfs_getxattr(v->fs(), p.path.c_str(), name, iov->iov_base, iov->iov_len);
        if (r < 0)
            errno = failure_errno();
        return r;
    }

    int64_t listxattr(znfs_iopx_ptr iopx, const char* path, struct iovec* iov, znfs_aio_ptr) override
    {
        const gluster_volume* v = volume_of(iopx, path);
        if (!v)
            return -1;
        if (!backend::valid_attribute_args(false, nullptr, iov))
            return -1;
        volpath p;
        if (!p.set(path) || !check_dir_demand(v->fs(), p))
            return -1;
        if (task_route(p))
            return task_getxattr(*v, p, nullptr, iov);
        ssize_t r = glfs_listxattr(v->fs(), p.path.c_str(), iov->iov_base, iov->iov_len);
        if (r < 0)
            errno = failure_errno();
        return r;
    }

    std::error_code setxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                             uint64_t flags, znfs_aio_ptr) override
    {
        const gluster_volume* v = volume_of(iopx, path);
        if (!v || !name || !iov || flags > INT_MAX)
            return errno_code(EINVAL);
        volpath p;
        if (!p.set(path) || !check_dir_demand(v->fs(), p))
            return errno_code(errno);
        if (task_route(p)) {
            task_cache::drop_attribute();
            glfs_object_t* obj = task_object(*v, p);
            if (!obj)
                return errno_code(errno);
            if (glfs_h_setxattrs(v->fs(), obj, name, iov->iov_base, iov->iov_len, static_cast<int>(flags)) != 0)
                return code_after_failure();
            return std::error_code();
        }
        if (glfs_setxattr(v->fs(), p.path.c_str(), name, iov->iov_base, iov->iov_len, static_cast<int>(flags)) != 0)
            return code_after_failure();
        return std::error_code();
    }
};

// One connection attempt. Shared by the caller, who may stop waiting, and the thread that
// runs glfs_init, which may outlive the wait; m_mutex guards m_done and m_result.
struct init_attempt {
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_done = false;
    bool m_abandoned = false;
    int m_result = 0;
    glfs_t* m_fs = nullptr;
};

void run_init(std::shared_ptr<init_attempt> a)
{
    int r = glfs_init(a->m_fs);
    int e = r == 0 ? 0 : failure_errno();
    if (r == 0) {
        // glfs_init can succeed with no brick up; the root answers only when one is.
        struct stat st;
        if (glfs_stat(a->m_fs, "/", &st) != 0)
            e = failure_errno();
    }
    bool abandoned;
    {
        std::lock_guard<std::mutex> lock(a->m_mutex);
        a->m_done = true;
        a->m_result = e;
        abandoned = a->m_abandoned;
    }
    a->m_cond.notify_all();
    // Nobody will take an instance whose caller gave up, nor one that failed.
    if (abandoned || e != 0)
        glfs_fini(a->m_fs);
}

// Sets up a libgfapi instance for host:port/volname; null with errno on failure.
glfs_t* connect_volume(const std::string& host, uint16_t port, const std::string& volname)
{
    glfs_t* fs = glfs_new(volname.c_str());
    if (!fs) {
        errno = ENOMEM;
        return nullptr;
    }
    // Level 0 is GF_LOG_NONE: libgfapi would otherwise write its own log beside the caller's.
    if (glfs_set_volfile_server(fs, "tcp", host.c_str(), port) != 0 || glfs_set_logging(fs, "/dev/null", 0) != 0) {
        int e = failure_errno();
        glfs_fini(fs);
        errno = e;
        return nullptr;
    }
    // Open-behind may answer an open without reaching the brick, and an open closed without
    // any I/O is the case it handles worst (libgfapi 10 has been seen to keep such handles).
    // A deletion opens and closes one file per listed name, so this client bypasses it:
    // every open here is real, and every close releases it on the brick.
    glfs_set_xlator_option(fs, "*-open-behind", "pass-through", "true");

    std::shared_ptr<init_attempt> a = std::make_shared<init_attempt>();
    a->m_fs = fs;
    try {
        std::thread(run_init, a).detach();
    } catch (const std::system_error& ex) {
        glfs_fini(fs);
        errno = ex.code().value() ? ex.code().value() : EAGAIN;
        return nullptr;
    }
    std::unique_lock<std::mutex> lock(a->m_mutex);
    if (!a->m_cond.wait_for(lock, k_init_timeout, [&] { return a->m_done; })) {
        a->m_abandoned = true;
        errno = ETIMEDOUT;
        return nullptr;
    }
    if (a->m_result != 0) {
        errno = a->m_result;
        return nullptr;
    }
    return fs;
}

// Contexts by "host:port/volname", for the life of the process. Each entry's mutex is held
// while its volume connects, so that concurrent first calls make one instance and a slow
// volume does not hold up the others; s_registry_mutex guards the map only.
struct registry_entry {
    std::mutex m_mutex;  // guards m_volume
    znfs_iopx_ptr m_volume;
};

std::mutex s_registry_mutex;
std::map<std::string, std::shared_ptr<registry_entry>>* s_registry;

std::shared_ptr<registry_entry> registry_slot(const std::string& key)
{
    std::lock_guard<std::mutex> lock(s_registry_mutex);
    // Never destroyed: instances outlive static destruction, since handles may still be
    // open while the process ends.
    if (!s_registry)
        s_registry = new std::map<std::string, std::shared_ptr<registry_entry>>();
    std::shared_ptr<registry_entry>& slot = (*s_registry)[key];
    if (!slot)
        slot = std::make_shared<registry_entry>();
    return slot;
}

}  // namespace

znfs_api* gluster_api()
{
    // Stateless, so one object serves every thread and volume.
    static gluster_api_impl s_api;
    return &s_api;
}

znfs_iopx_ptr make_gluster_volume(const std::string& host, uint16_t port, const std::string& volname,
                                  std::error_code& ec)
{
    if (host.empty() || volname.empty() || port == 0) {
        ec = errno_code(EINVAL);
        return znfs_iopx_ptr();
    }
    const std::string key = host + ":" + std::to_string(port) + "/" + volname;
    std::shared_ptr<registry_entry> slot = registry_slot(key);
    std::lock_guard<std::mutex> lock(slot->m_mutex);
    if (!slot->m_volume) {
        glfs_t* fs = connect_volume(host, port, volname);
        if (!fs) {
            ec = errno_code(failure_errno());
            return znfs_iopx_ptr();
        }
        slot->m_volume.reset(new gluster_volume(fs, "gluster://" + key));
    }
    ec = std::error_code();
    return slot->m_volume;
}

}  // namespace znfs

#else  // no libgfapi in this build

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

znfs_iopx_ptr make_gluster_volume(const std::string&, uint16_t, const std::string&, std::error_code& ec)
{
    ec = errno_code(ENOTSUP);
    return znfs_iopx_ptr();
}

}  // namespace znfs

#endif
