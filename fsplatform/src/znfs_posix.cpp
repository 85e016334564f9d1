#include <znfs/znfs_posix.h>

#include "znfs_backend.h"
#include "znfs_mutex.h"
#include "znfs_task_cache.h"
#include "znfs_xattr_at.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace znfs {
namespace {

// A root of a confined context: what the host named, and the descriptor it resolved to then.
struct anchor {
    std::string path;
    int fd;   // O_PATH, or -1 when the root did not resolve
    int err;  // why it did not
};

// The write-back failures of each volume this thread has been told of, for the last few
// volumes it flushed. A volume it no longer remembers starts again from none, so an old failure
// is reported to it once more: never one too few.
struct seen_failures {
    uint64_t volume = 0;  // 0: a free slot (volume ids start at 1)
    uint64_t count = 0;
};
thread_local seen_failures t_seen[8];
thread_local unsigned t_seen_next = 0;

seen_failures& seen_for(uint64_t volume)
{
    for (seen_failures& s : t_seen)
        if (s.volume == volume)
            return s;
    seen_failures& s = t_seen[t_seen_next++ % (sizeof t_seen / sizeof t_seen[0])];
    s = seen_failures{volume, 0};
    return s;
}

// syncfs(2) of a volume's file system, shared by the volume and its confined contexts. The
// kernel tells a write-back failure to each descriptor opened before it exactly once, whoever
// else flushed first (one opened after it, only if nobody has seen it): so every flush goes
// through one descriptor opened with the volume. As that one tells only its first caller, each
// failure is counted, and a thread not yet told of every failure counted is told now.
class flusher {
public:
    // rootfd: the volume's root, O_PATH (which syncfs refuses).
    explicit flusher(int rootfd, uint64_t id)
        : m_fd(openat(rootfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), m_open_err(m_fd < 0 ? errno : 0), m_id(id)
    {
    }
    ~flusher()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    flusher(const flusher&) = delete;
    flusher& operator=(const flusher&) = delete;

    // 0, or the errno to report to the calling thread.
    int flush()
    {
        if (m_fd < 0)
            return m_open_err;
        seen_failures& seen = seen_for(m_id);
        mutex_lock hold(m_mutex);  // a failure is counted before another flush returns
        int err = ::syncfs(m_fd) == 0 ? 0 : errno;
        if (err != 0) {
            ++m_failures;
            m_last_failure = err;
        } else if (seen.count < m_failures) {
            err = m_last_failure;
        }
        seen.count = m_failures;
        return err;
    }

private:
    const int m_fd;        // -1 when the root could not be opened for reading,
    const int m_open_err;  // for this reason
    const uint64_t m_id;
    mutex m_mutex;
    uint64_t m_failures GUARDED_BY(m_mutex) = 0;
    int m_last_failure GUARDED_BY(m_mutex) = 0;
};

// Immutable after construction (the flusher guards its own record): the descriptors are only
// read, so volumes are shared between threads freely.
class posix_volume final : public znfs_iopx {
public:
    posix_volume(int rootfd, std::string root)
        : m_rootfd(rootfd), m_root(std::move(root)), m_id(task_cache::new_volume_id()),
          m_flusher(std::make_shared<flusher>(rootfd, m_id))
    {
    }
    // A confined context (see znfs_api::confine) of a volume whose flusher it shares; anchors
    // sorted longest path first.
    posix_volume(int rootfd, std::string root, std::shared_ptr<flusher> flush, std::vector<anchor> anchors,
                 bool follow_final)
        : m_rootfd(rootfd), m_root(std::move(root)), m_id(task_cache::new_volume_id()),
          m_flusher(std::move(flush)), m_confined(true), m_follow_final(follow_final), m_anchors(std::move(anchors))
    {
    }
    ~posix_volume() override
    {
        ::close(m_rootfd);
        for (const anchor& a : m_anchors)
            if (a.fd >= 0)
                ::close(a.fd);
    }
    std::string describe() const override { return m_root; }
    int rootfd() const { return m_rootfd; }
    // Tells this volume's paths apart from other volumes' in what a pool task keeps.
    uint64_t id() const { return m_id; }
    bool confined() const { return m_confined; }
    bool follow_final() const { return m_follow_final; }

    // The root path lies below, and in rest the part of path below it without leading slashes.
    // Null with exact set for a path that names a root itself, null alone for a path below no
    // root.
    const anchor* anchor_of(const char* path, const char*& rest, bool& exact) const
    {
        exact = false;
        for (const anchor& a : m_anchors) {
            size_t n = a.path.size();
            if (n == 0 || strncmp(path, a.path.c_str(), n) != 0)
                continue;
            if (path[n] != '/' && path[n] != '\0' && a.path[n - 1] != '/')
                continue;
            rest = path + n;
            while (*rest == '/')
                ++rest;
            if (*rest == '\0') {
                exact = true;
                return nullptr;
            }
            return &a;
        }
        return nullptr;
    }

    // The root that path names itself, in a confined context; null otherwise.
    const anchor* root_named(const char* path) const
    {
        for (const anchor& a : m_anchors) {
            size_t n = a.path.size();
            if (n == 0 || strncmp(path, a.path.c_str(), n) != 0)
                continue;
            const char* rest = path + n;
            while (*rest == '/')
                ++rest;
            if (*rest == '\0')
                return &a;
        }
        return nullptr;
    }

    const std::shared_ptr<flusher>& shared_flusher() const { return m_flusher; }

private:
    int m_rootfd;
    std::string m_root;
    uint64_t m_id;
    std::shared_ptr<flusher> m_flusher;
    bool m_confined = false;
    bool m_follow_final = false;
    std::vector<anchor> m_anchors;
};

using task_cache::access;

// A descriptor a pool task keeps for a path. An open file of the same path shares it rather
// than a duplicate, which would cost a dup and a close per file. The task and the file each
// hold a reference and the last one closes it; but a file open for writing closes it itself,
// so that its close reports what the file system says about the data, and from then on the
// task's reference no longer serves (the next call on the path resolves afresh).
struct kept_descriptor {
    int fd;
    access mode;
    std::atomic<int> refs;
    std::atomic<bool> closed{false};
    bool have_stat = false;
    struct stat st {};  // the status the task saw: a file's type never changes

    kept_descriptor(int d, access m, int r) : fd(d), mode(m), refs(r) {}
};

void drop_reference(kept_descriptor* d)
{
    if (d->refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    if (!d->closed.load(std::memory_order_acquire)) {
        int e = errno;
        ::close(d->fd);
        errno = e;
    }
    delete d;
}

void release_kept(intptr_t handle) { drop_reference(reinterpret_cast<kept_descriptor*>(handle)); }

// The entries of an open directory, read with getdents64 into a buffer of its own: a stream
// from fdopendir would add a status query and two descriptor-flag calls to every directory.
class dir_stream {
public:
    // The next entry (valid until the next call), or null: errno 0 at the end, set on failure.
    const struct dirent* next(int fd)
    {
        if (m_pos >= m_end) {
            long n;
            do
                n = syscall(SYS_getdents64, fd, m_buf, sizeof m_buf);
            while (n < 0 && errno == EINTR);
            if (n <= 0) {
                if (n == 0)
                    errno = 0;
                return nullptr;
            }
            m_pos = 0;
            m_end = static_cast<size_t>(n);
        }
        // The kernel's records have struct dirent's layout on this platform, each name ending
        // in a NUL within its record.
        const struct dirent* de = reinterpret_cast<const struct dirent*>(m_buf + m_pos);
        m_pos += de->d_reclen;
        return de;
    }

private:
    alignas(struct dirent) char m_buf[32768];
    size_t m_pos = 0, m_end = 0;
};

// One open file or directory. Used by one thread at a time; only the release is guarded, so
// that a descriptor is closed exactly once however often close is asked for.
class posix_file final : public znfs_file {
public:
    posix_file(int fd, uint64_t size) : znfs_file(size), m_fd(fd) {}
    posix_file(int fd, std::unique_ptr<dir_stream> dir) : znfs_file(0), m_fd(fd), m_dir(std::move(dir)) {}
    ~posix_file() override { release(); }

    int fd() const { return m_fd; }
    dir_stream* dir() const { return m_dir.get(); }
    // A page or more fewer blocks than bytes when opened: holes (or packed data) to step over.
    bool sparse() const { return m_sparse; }
    void set_sparse(bool sparse) { m_sparse = sparse; }
    bool closed() const { return m_closed.load(std::memory_order_relaxed); }
    struct dirent* entry() { return &m_entry; }

    // Lets the task keep this file's descriptor (see kept_descriptor): the reference given
    // is the file's own, taken over from the plain ownership.
    void share(kept_descriptor* d) { m_shared = d; }

    // Closes the descriptor (through the stream for a directory); 0 or errno. Only the first
    // call closes; later ones get EBADF, since the number may already belong to someone else.
    int release()
    {
        if (m_closed.exchange(true))
            return EBADF;
        if (m_shared) {
            int r = 0;
            if (m_shared->mode == access::write) {
                m_shared->closed.store(true, std::memory_order_release);
                r = ::close(m_fd) == 0 ? 0 : errno;
            }
            drop_reference(m_shared);
            return r;
        }
        int r = ::close(m_fd);
        return r == 0 ? 0 : errno;
    }

private:
    int m_fd;
    bool m_sparse = false;
    std::unique_ptr<dir_stream> m_dir;
    kept_descriptor* m_shared = nullptr;
    std::atomic<bool> m_closed{false};
    struct dirent m_entry {};
};

const uint64_t k_resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
const uint64_t k_resolve_confined = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;

// Opens path relative to dirfd with the given resolve flags; -1 with errno on failure.
int resolve_at(int dirfd, const char* path, uint64_t flags, uint64_t mode, uint64_t resolve_flags)
{
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = flags | O_CLOEXEC;
    how.mode = mode;
    how.resolve = resolve_flags;
    // EAGAIN: a rename raced with a ".." walk and the kernel could not prove confinement.
    for (int again = 0;;) {
        long r = syscall(SYS_openat2, dirfd, path, &how, sizeof how);
        if (r >= 0)
            return static_cast<int>(r);
        int e = errno;
        if (e == EINTR || (e == EAGAIN && ++again < 64))
            continue;
        errno = e;
        return -1;
    }
}

// Opens path beneath the volume root; the kernel keeps "..", absolute names and symbolic
// links inside it. -1 with errno on failure.
int resolve(int rootfd, const char* path, uint64_t flags, uint64_t mode = 0)
{
    return resolve_at(rootfd, path, flags, mode, k_resolve);
}

// Opens path in the volume v: as above for a plain volume; in a confined one beneath the root
// it lies in, following no link (see znfs_api::confine). follow_final: a read that may follow a
// final link beneath its root.
// followed, when given, is set when a final link was followed.
int resolve(const posix_volume& v, const char* path, uint64_t flags, uint64_t mode = 0, bool follow_final = false,
            bool* followed = nullptr);

const posix_volume* volume_of(const znfs_iopx_ptr& iopx, const char* path)
{
    return backend::volume_of<posix_volume>(iopx, path);
}

posix_file* file_of(const znfs_file_ptr& file) { return backend::file_of<posix_file>(file); }

void close_keep_errno(int fd)
{
    int e = errno;
    ::close(fd);
    errno = e;
}

struct proc_path {
    char text[32];
    explicit proc_path(int fd) { snprintf(text, sizeof text, "/proc/self/fd/%d", fd); }
};

// The decimal name of a descriptor's entry in /proc/self/fd.
struct fd_name {
    char text[16];
    explicit fd_name(int fd)
    {
        char digits[16];
        int n = 0;
        unsigned v = static_cast<unsigned>(fd);
        do
            digits[n++] = static_cast<char>('0' + v % 10);
        while ((v /= 10) != 0);
        for (int i = 0; i < n; ++i)
            text[i] = digits[n - 1 - i];
        text[n] = '\0';
    }
};

// /proc/self/fd held open. The calls that refuse O_PATH descriptors (the attribute calls and
// the reopen with real flags) reach the inode through the descriptor's entry there; looking
// up one name below a held directory costs far less than walking "/proc/self/fd/N" from the
// top on every call, which profiles showed as a large share of a snapshot's system time.
// Any failure falls back to the full path, so results and errno stay those of the full walk.
// Thread-safe: an atomic descriptor, installed once; a forked child forgets the parent's
// (whose entries name the parent's descriptors) before it can use it.
std::atomic<int> g_procfd_dir(-1);
std::once_flag g_procfd_atfork;

void forget_procfd_dir()
{
    int fd = g_procfd_dir.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

int procfd_dir()
{
    int fd = g_procfd_dir.load(std::memory_order_acquire);
    if (fd >= 0)
        return fd;
    std::call_once(g_procfd_atfork, [] { pthread_atfork(nullptr, nullptr, forget_procfd_dir); });
    int e = errno;
    fd = ::open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
    errno = e;
    if (fd < 0)
        return -1;
    int expected = -1;
    if (!g_procfd_dir.compare_exchange_strong(expected, fd, std::memory_order_acq_rel)) {
        ::close(fd);
        return expected;
    }
    return fd;
}

// A kernel without the attribute calls relative to a directory answers ENOSYS once, and the
// full /proc path is used from then on.
std::atomic<bool> g_no_xattrat(false);

// The attribute calls on the inode behind an O_PATH descriptor. -1 with errno on failure.
// Every length the kernel accepts fits the 32-bit field; a larger one is refused (set) or
// clamped (get, list) by the kernel alike, so passing UINT32_MAX keeps its answer.
ssize_t fd_getxattr(int pathfd, const char* name, void* value, size_t size)
{
    int dir = g_no_xattrat.load(std::memory_order_relaxed) ? -1 : procfd_dir();
    if (dir >= 0) {
        xattr_at_args args{reinterpret_cast<uintptr_t>(value),
                           static_cast<uint32_t>(std::min<size_t>(size, UINT32_MAX)), 0};
        long r = syscall(SYS_getxattrat, dir, fd_name(pathfd).text, 0, name, &args, sizeof args);
        if (r >= 0 || errno != ENOSYS)
            return r;
        g_no_xattrat.store(true, std::memory_order_relaxed);
    }
    return ::getxattr(proc_path(pathfd).text, name, value, size);
}

ssize_t fd_listxattr(int pathfd, char* list, size_t size)
{
    int dir = g_no_xattrat.load(std::memory_order_relaxed) ? -1 : procfd_dir();
    if (dir >= 0) {
        long r = syscall(SYS_listxattrat, dir, fd_name(pathfd).text, 0, list, size);
        if (r >= 0 || errno != ENOSYS)
            return r;
        g_no_xattrat.store(true, std::memory_order_relaxed);
    }
    return ::listxattr(proc_path(pathfd).text, list, size);
}

int fd_setxattr(int pathfd, const char* name, const void* value, size_t size, int flags)
{
    int dir = g_no_xattrat.load(std::memory_order_relaxed) ? -1 : procfd_dir();
    if (dir >= 0) {
        xattr_at_args args{reinterpret_cast<uintptr_t>(value),
                           static_cast<uint32_t>(std::min<size_t>(size, UINT32_MAX)),
                           static_cast<uint32_t>(flags)};
        long r = syscall(SYS_setxattrat, dir, fd_name(pathfd).text, 0, name, &args, sizeof args);
        if (r >= 0 || errno != ENOSYS)
            return static_cast<int>(r);
        g_no_xattrat.store(true, std::memory_order_relaxed);
    }
    return ::setxattr(proc_path(pathfd).text, name, value, size, flags);
}

// Opens the inode behind an O_PATH descriptor with real flags, as open(2) of its /proc entry.
int fd_reopen(int pathfd, int flags)
{
    int dir = procfd_dir();
    int fd;
    do
        fd = dir >= 0 ? ::openat(dir, fd_name(pathfd).text, flags | O_CLOEXEC)
                      : ::open(proc_path(pathfd).text, flags | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// The parent directory of path opened O_PATH (or the root descriptor itself, not to be
// closed) and the last component. A last component ".." or "." or none at all is refused
// with EINVAL, so nothing at or above a directory is reached through it.
class parent_dir {
public:
    parent_dir(const posix_volume& v, const char* path)
    {
        size_t len = strlen(path);
        if (len == 0) {
            errno = ENOENT;
            return;
        }
        size_t end = len;
        while (end > 0 && path[end - 1] == '/')
            --end;
        size_t start = end;
        while (start > 0 && path[start - 1] != '/')
            --start;
        m_name.assign(path + start, end - start);
        if (m_name.empty() || m_name == "." || m_name == "..") {
            errno = EINVAL;
            return;
        }
        m_tail = path + start;
        size_t dirend = start;
        while (dirend > 0 && path[dirend - 1] == '/')
            --dirend;
        if (dirend == 0) {
            m_fd = v.rootfd();
            return;
        }
        std::string dir(path, dirend);
        if (const anchor* a = v.root_named(dir.c_str())) {
            // A name made or removed right below a root goes into the root resolved when the
            // context was made, not wherever the root's path points now.
            m_fd = a->fd;
            if (m_fd < 0)
                errno = a->err;
            return;
        }
        m_fd = resolve(v, dir.c_str(), O_PATH | O_DIRECTORY);
        m_owned = m_fd >= 0;
    }
    ~parent_dir()
    {
        if (m_owned)
            close_keep_errno(m_fd);
    }
    parent_dir(const parent_dir&) = delete;
    parent_dir& operator=(const parent_dir&) = delete;

    bool ok() const { return m_fd >= 0 && m_tail; }
    int fd() const { return m_fd; }
    // The last component without trailing slashes.
    const char* name() const { return m_name.c_str(); }
    // The last component as given. With a trailing slash unlinkat insists on a directory and
    // still never follows a link; other calls take name(), since a trailing slash would make
    // them follow one.
    const char* tail() const { return m_tail; }

private:
    int m_fd = -1;
    bool m_owned = false;
    std::string m_name;
    const char* m_tail = nullptr;
};

// A final link in a confined context with final_link::follow_beneath: followed only when its
// target lies beneath the root the path lies in, and then without leaving that root.
int follow_final_link(const posix_volume& v, const anchor& a, const char* path, uint64_t flags, uint64_t mode)
{
    parent_dir parent(v, path);
    if (!parent.ok())
        return -1;
    char target[PATH_MAX];
    ssize_t n = readlinkat(parent.fd(), parent.name(), target, sizeof target - 1);
    if (n < 0) {
        errno = ELOOP;  // not the last component: a link further up, which is never followed
        return -1;
    }
    target[n] = '\0';
    std::string full;
    if (target[0] == '/') {
        full = target;
    } else {
        std::string dir(path);
        while (!dir.empty() && dir.back() == '/')
            dir.pop_back();
        dir.resize(dir.rfind('/') == std::string::npos ? 0 : dir.rfind('/'));
        full = dir + "/" + target;
    }
    const char* rest = nullptr;
    bool exact = false;
    if (v.anchor_of(full.c_str(), rest, exact) != &a) {
        errno = EXDEV;
        return -1;
    }
    return resolve_at(a.fd, rest, flags, mode, RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS);
}

// openat2 refuses a path of PATH_MAX bytes or more. Where no link is followed, such a path is
// walked in pieces, each beneath the directory the piece before it reached (a ".." cannot climb
// back over a cut: EXDEV), so that a tree of any depth can be copied and removed.
int resolve_pieces(int dirfd, const char* path, uint64_t flags, uint64_t mode, uint64_t resolve_flags)
{
    size_t len = strlen(path);
    if (len < PATH_MAX)
        return resolve_at(dirfd, path, flags, mode, resolve_flags);
    size_t cut = PATH_MAX - 1;
    while (cut > 0 && path[cut] != '/')
        --cut;
    if (cut == 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::string head(path, cut);
    int headfd = resolve_at(dirfd, head.c_str(), O_PATH | O_DIRECTORY, 0, resolve_flags);
    if (headfd < 0)
        return -1;
    const char* rest = path + cut;
    while (*rest == '/')
        ++rest;
    int fd = resolve_pieces(headfd, *rest ? rest : ".", flags, mode,
                            (resolve_flags & ~static_cast<uint64_t>(RESOLVE_IN_ROOT)) | RESOLVE_BENEATH);
    close_keep_errno(headfd);
    return fd;
}

int resolve(const posix_volume& v, const char* path, uint64_t flags, uint64_t mode, bool follow_final, bool* followed)
{
    if (!v.confined())
        return resolve(v.rootfd(), path, flags, mode);
    const char* rest = nullptr;
    bool exact = false;
    const anchor* a = v.anchor_of(path, rest, exact);
    if (exact)  // a root itself: reached as the host named it
        return resolve(v.rootfd(), path, flags, mode);
    if (a && a->fd < 0) {
        errno = a->err;
        return -1;
    }
    int fd = a ? resolve_pieces(a->fd, rest, flags, mode, RESOLVE_BENEATH | k_resolve_confined)
               : resolve_pieces(v.rootfd(), path, flags, mode, RESOLVE_IN_ROOT | k_resolve_confined);
    if (fd < 0 && errno == ELOOP && follow_final && a && v.follow_final()) {
        if (followed)
            *followed = true;
        return follow_final_link(v, *a, path, flags, mode);
    }
    return fd;
}

const off_t k_sequential_size = 1 << 20;

// At least a page short of its size: data kept inline in the inode (a few hundred bytes with
// no blocks of its own) is not a hole.
bool has_holes(const struct stat& st, uint64_t size)
{
    return S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_blocks) * 512 + 4096 <= size;
}

// Reopens the inode held by an O_PATH descriptor with real open flags, if it is a regular
// file or a directory: a FIFO would block and a device would reach its driver. The O_PATH
// descriptor is consumed unless it is borrowed. known: the descriptor's status as this task
// already saw it, if it did.
znfs_file_ptr reopen_checked(int pathfd, int flags, bool borrowed = false, const struct stat* known = nullptr)
{
    auto done_with_path = [&] {
        if (!borrowed)
            close_keep_errno(pathfd);
    };
    struct stat st;
    if (known) {
        st = *known;
    } else if (fstat(pathfd, &st) != 0) {
        done_with_path();
        return znfs_file_ptr();
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        done_with_path();
        errno = EOPNOTSUPP;
        return znfs_file_ptr();
    }
    int fd = fd_reopen(pathfd, flags);
    done_with_path();
    if (fd < 0)
        return znfs_file_ptr();
    // A large file opened for reading is read from start to end in blocks: a wider read-ahead
    // keeps a disk streaming. Advice only; its result changes nothing.
    if (S_ISREG(st.st_mode) && (flags & O_ACCMODE) == O_RDONLY && st.st_size >= k_sequential_size) {
        int e = errno;
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        errno = e;
    }
    uint64_t size = (flags & O_TRUNC) && S_ISREG(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    posix_file* file = new posix_file(fd, size);
    file->set_sparse(has_holes(st, size));
    return znfs_file_ptr(file);
}


// Creates path as a new regular file with exactly the permission bits of mode, or opens the
// existing one with flags (minus O_CREAT), under the same checks as open.
znfs_file_ptr create_or_open(const posix_volume& v, const char* path, int flags, uint64_t mode)
{
    const int reopen_flags = flags & ~(O_CREAT | O_EXCL);
    const mode_t perm = static_cast<mode_t>(mode & 07777);
    // A name that vanishes between the two attempts is tried again, a few times.
    for (int attempt = 0; attempt < 4; ++attempt) {
        int fd = resolve(v, path, static_cast<uint64_t>(reopen_flags | O_CREAT | O_EXCL), perm);
        if (fd >= 0) {
            // The umask narrowed the bits given to the kernel; set them as asked.
            if (fchmod(fd, perm) != 0) {
                int e = errno;
                ::close(fd);
                errno = e;
                return znfs_file_ptr();
            }
            return znfs_file_ptr(new posix_file(fd, 0));
        }
        if (errno != EEXIST || (flags & O_EXCL))
            return znfs_file_ptr();
        int pfd = resolve(v, path, O_PATH);
        if (pfd >= 0)
            return reopen_checked(pfd, reopen_flags);
        if (errno != ENOENT)
            return znfs_file_ptr();
    }
    return znfs_file_ptr();
}

// Lets the rest of the pool task, if one runs, use an open file's descriptor for calls on its
// path, sharing it with the file.
void keep_shared(const posix_volume& v, const char* path, const znfs_file_ptr& file, access mode)
{
    if (!file || !task_cache::active())
        return;
    posix_file* f = file_of(file);
    kept_descriptor* d = new (std::nothrow) kept_descriptor(f->fd(), mode, 2);
    if (!d)
        return;
    f->share(d);
    task_cache::keep(v.id(), path, reinterpret_cast<intptr_t>(d), mode, release_kept);
}

// A descriptor that locates path (O_PATH, or one the task keeps): the task's own when it has
// one (borrowed, not to be closed), else a fresh resolution that the caller hands to
// task_cache::keep when done. -1 with errno on failure.
struct located {
    int fd = -1;
    access mode = access::path;
    bool borrowed = false;
    bool followed = false;  // reached through a final link: never kept for the task
    kept_descriptor* kept = nullptr;  // the task's record when borrowed
};

located locate(const posix_volume& v, const char* path, bool follow_final = false)
{
    located at;
    if (const task_cache::kept* k = task_cache::find(v.id(), path)) {
        kept_descriptor* d = reinterpret_cast<kept_descriptor*>(k->handle);
        if (!d->closed.load(std::memory_order_acquire)) {
            at.fd = d->fd;
            at.mode = d->mode;
            at.borrowed = true;
            at.kept = d;
            return at;
        }
    }
    at.fd = resolve(v, path, O_PATH, 0, follow_final, &at.followed);
    return at;
}

// Gives a fresh resolution to the task to keep (closing it outside a task), with the status
// seen through it when st is given; errno kept. A descriptor reached through a final link is
// closed instead: the task's later calls on the path that must not follow (setxattr, chmod)
// would otherwise reach the link's target.
void done_with(const posix_volume& v, const char* path, const located& at, const struct stat* st = nullptr)
{
    if (at.fd < 0)
        return;
    if (at.borrowed) {
        if (st && at.kept && !at.kept->have_stat) {
            at.kept->st = *st;
            at.kept->have_stat = true;
        }
        return;
    }
    if (at.followed || !task_cache::active()) {
        close_keep_errno(at.fd);
        return;
    }
    kept_descriptor* d = new (std::nothrow) kept_descriptor(at.fd, at.mode, 1);
    if (!d) {
        close_keep_errno(at.fd);
        return;
    }
    if (st) {
        d->st = *st;
        d->have_stat = true;
    }
    task_cache::keep(v.id(), path, reinterpret_cast<intptr_t>(d), at.mode, release_kept);
}

class posix_api_impl final : public znfs_api {
public:
    znfs_file_ptr open(znfs_iopx_ptr iopx, const char* path, int32_t flags, znfs_aio_ptr) override
    {
        const posix_volume* v = volume_of(iopx, path);
        if (!v)
            return znfs_file_ptr();
        if (!backend::valid_open_flags(flags))
            return znfs_file_ptr();
        if (flags & O_CREAT)
            return create_or_open(*v, path, flags, 0600);
        if (flags != O_RDONLY || !task_cache::active()) {
            int pfd = resolve(*v, path, O_PATH, 0, flags == O_RDONLY);
            if (pfd < 0)
                return znfs_file_ptr();
            return reopen_checked(pfd, flags);
        }
        located at = locate(*v, path, true);
        if (at.fd < 0)
            return znfs_file_ptr();
        if (at.mode == access::read) {
            // Already open for reading in this task: the file shares the task's descriptor.
            struct stat st;
            if (fstat(at.fd, &st) != 0)
                return znfs_file_ptr();
            posix_file* f = new posix_file(at.fd, static_cast<uint64_t>(st.st_size));
            // Copied hole by hole like the task's first handle on it.
            f->set_sparse(has_holes(st, static_cast<uint64_t>(st.st_size)));
            at.kept->refs.fetch_add(1, std::memory_order_relaxed);
            f->share(at.kept);
            return znfs_file_ptr(f);
        }
        const struct stat* known = at.kept && at.kept->have_stat ? &at.kept->st : nullptr;
        znfs_file_ptr file = reopen_checked(at.fd, flags, at.borrowed, known);
        // The task's attribute calls on this path that follow use the descriptor open for
        // reading, not the /proc route an O_PATH one needs.
        if (!at.followed)
            keep_shared(*v, path, file, access::read);
        return file;
    }

    znfs_file_ptr creat(znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t mode, znfs_aio_ptr) override
    {
        const posix_volume* v = volume_of(iopx, path);
        if (!v)
            return znfs_file_ptr();
        if (!backend::valid_open_flags(flags))
            return znfs_file_ptr();
        znfs_file_ptr file = create_or_open(*v, path, flags | O_CREAT, mode);
        // A new copy gets its attributes next, in the same task.
        keep_shared(*v, path, file, access::write);
        return file;
    }

    std::error_code close(znfs_file_ptr file, znfs_aio_ptr) override { return backend::close_handle<posix_file>(file); }

    int64_t read(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset, int32_t,
                 znfs_aio_ptr) override
    {
        posix_file* f = file_of(file);
        if (!f)
            return -1;
        if (!backend::valid_transfer(buff, length, offset))
            return -1;
        char* base = static_cast<char*>(buff->get_base());
        return backend::complete_transfer(backend::transfer_kind::read, length, offset, SSIZE_MAX,
                                          [&](uint64_t done, size_t chunk, int64_t pos) {
                                              return pread(f->fd(), base + done, chunk, pos);
                                          });
    }

    int64_t write(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset, int32_t,
                  znfs_aio_ptr) override
    {
        posix_file* f = file_of(file);
        if (!f)
            return -1;
        if (!backend::valid_transfer(buff, length, offset))
            return -1;
        const char* base = static_cast<const char*>(buff->get_base());
        return backend::complete_transfer(backend::transfer_kind::write, length, offset, SSIZE_MAX,
                                          [&](uint64_t done, size_t chunk, int64_t pos) {
                                              return pwrite(f->fd(), base + done, chunk, pos);
                                          });
    }

    // Copies the data segments of the range with copy_file_range (a clone on XFS and btrfs, a
    // copy inside the kernel elsewhere) and steps over the holes SEEK_DATA reports, then gives
    // the destination the range's full length.
    int64_t copy_range(znfs_file_ptr src, uint64_t srcoffset, znfs_file_ptr dst, uint64_t dstoffset, uint64_t length,
                       znfs_aio_ptr) override
    {
        posix_file* in = file_of(src);
        posix_file* out = in ? file_of(dst) : nullptr;
        if (!in || !out)
            return -1;
        if (srcoffset > INT64_MAX || dstoffset > INT64_MAX || length > INT64_MAX - std::max(srcoffset, dstoffset)) {
            errno = EINVAL;
            return -1;
        }
        // A small file without holes is copied by one call, with no look at its layout
        // (copy_file_range refuses what is not a regular file itself). A small file with
        // holes takes the way below: copy_file_range would fill them where it copies in the
        // kernel rather than cloning.
        if (in->get_file_size() < static_cast<uint64_t>(k_sequential_size) && !in->sparse()) {
            loff_t from = static_cast<loff_t>(srcoffset), to = static_cast<loff_t>(dstoffset);
            uint64_t done = 0;
            while (done < length) {
                ssize_t n = copy_file_range(in->fd(), &from, out->fd(), &to, static_cast<size_t>(length - done), 0);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0) {
                    int e = errno;
                    if (done != 0 && (e == EXDEV || e == EOPNOTSUPP || e == ENOSYS || e == EINVAL))
                        errno = EIO;
                    return -1;
                }
                if (n == 0)
                    break;
                done += static_cast<uint64_t>(n);
            }
            return static_cast<int64_t>(done);
        }
        // copy_file_range checks the access modes only when it runs: a range of holes alone
        // would be "copied" from a handle not open for reading, or into one not open for
        // writing (and ftruncate's EINVAL there would send the caller to a block copy).
        const int inflags = fcntl(in->fd(), F_GETFL);
        const int outflags = fcntl(out->fd(), F_GETFL);
        if (inflags < 0 || outflags < 0)
            return -1;
        if ((inflags & O_ACCMODE) == O_WRONLY || (outflags & O_ACCMODE) == O_RDONLY) {
            errno = EBADF;
            return -1;
        }
        struct stat st;
        if (fstat(in->fd(), &st) != 0)
            return -1;
        if (!S_ISREG(st.st_mode)) {
            errno = EINVAL;
            return -1;
        }
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        const uint64_t end = std::min(srcoffset + length, std::max(size, srcoffset));
        uint64_t pos = srcoffset;
        bool copied_any = false;
        while (pos < end) {
            off_t data = lseek(in->fd(), static_cast<off_t>(pos), SEEK_DATA);
            if (data < 0) {
                if (errno == ENXIO)  // nothing but a hole up to the end
                    break;
                data = static_cast<off_t>(pos);  // holes not reported: copy it all
            }
            if (static_cast<uint64_t>(data) >= end)
                break;
            off_t hole = lseek(in->fd(), data, SEEK_HOLE);
            uint64_t stop = hole < 0 ? end : std::min<uint64_t>(static_cast<uint64_t>(hole), end);
            loff_t from = data;
            loff_t to = static_cast<loff_t>(dstoffset + (static_cast<uint64_t>(data) - srcoffset));
            while (static_cast<uint64_t>(from) < stop) {
                ssize_t n = copy_file_range(in->fd(), &from, out->fd(), &to, static_cast<size_t>(stop - from), 0);
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    int e = errno;
                    // Refused before anything moved: the caller copies by reading and writing.
                    if (!copied_any && (e == EXDEV || e == EOPNOTSUPP || e == ENOSYS || e == EINVAL))
                        errno = e;
                    else if (e == EXDEV || e == EOPNOTSUPP || e == ENOSYS || e == EINVAL)
                        errno = EIO;
                    return -1;
                }
                if (n == 0)  // the source shrank under the copy
                    return static_cast<int64_t>(static_cast<uint64_t>(from) - srcoffset);
                copied_any = true;
            }
            pos = stop;
        }
        if (pos < end) {
            // Only a hole is left, or the source was cut short under the copy: the rest is a
            // hole only while the source still reaches the end.
            if (fstat(in->fd(), &st) != 0)
                return -1;
            const uint64_t now = static_cast<uint64_t>(st.st_size);
            if (now < end)
                return static_cast<int64_t>(std::max(std::min(pos, now), srcoffset) - srcoffset);
        }
        // Holes at the end leave the destination short: give it the range's full length.
        uint64_t want = dstoffset + (end - srcoffset);
        struct stat dst_st;
        if (fstat(out->fd(), &dst_st) != 0)
            return -1;
        if (static_cast<uint64_t>(dst_st.st_size) < want && ftruncate(out->fd(), static_cast<off_t>(want)) != 0)
            return -1;
        return static_cast<int64_t>(end - srcoffset);
    }

    std::error_code chmod(znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs_aio_ptr) override
    {
        const posix_volume* v = volume_of(iopx, path);
        if (!v)
            return errno_code(EINVAL);
        parent_dir parent(*v, path);
        if (!parent.ok())
            return errno_code(errno);
        int fd = openat(parent.fd(), parent.name(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return errno_code(errno);
        struct stat st;
        int r = fstat(fd, &st);
        if (r == 0 && S_ISLNK(st.st_mode)) {
            r = -1;
            errno = ELOOP;
        }
        // fchmod refuses O_PATH descriptors; the /proc entry reaches the same inode.
        if (r == 0)
            r = ::chmod(proc_path(fd).text, static_cast<mode_t>(mode & 07777));
        int e = errno;
        ::close(fd);
        return r == 0 ? std::error_code() : errno_code(e);
    }

    znfs_iopx_ptr confine(znfs_iopx_ptr iopx, const std::vector<std::string>& roots, final_link finals,
                          std::error_code& ec) override
    {
        const posix_volume* v = volume_of(iopx, "/");
        if (!v) {
            ec = errno_code(errno);
            return znfs_iopx_ptr();
        }
        std::vector<anchor> anchors;
        for (const std::string& root : roots) {
            int fd = resolve(*v, root.c_str(), O_PATH);
            const int err = fd < 0 ? errno : 0;
            // Known without its trailing slashes: "/s/" is the root "/s", and a name right
            // below it ("/s//x") has its directory spelled "/s".
            std::string path = root;
            while (path.size() > 1 && path.back() == '/')
                path.pop_back();
            anchors.push_back(anchor{path, fd, err});
        }
        std::sort(anchors.begin(), anchors.end(),
                  [](const anchor& a, const anchor& b) { return a.path.size() > b.path.size(); });
        int rootfd = fcntl(v->rootfd(), F_DUPFD_CLOEXEC, 0);
        if (rootfd < 0) {
            ec = errno_code(errno);
            for (const anchor& a : anchors)
                if (a.fd >= 0)
                    ::close(a.fd);
            return znfs_iopx_ptr();
        }
        ec = std::error_code();
        return znfs_iopx_ptr(new posix_volume(rootfd, v->describe(), v->shared_flusher(), std::move(anchors),
                                              finals == final_link::follow_beneath));
    }

    std::error_code fsync(znfs_file_ptr file, znfs_aio_ptr) override
    {
        posix_file* f = file_of(file);
        if (!f)
            return errno_code(errno);
        return ::fsync(f->fd()) == 0 ? std::error_code() : errno_code(errno);
    }

    std::error_code syncfs(znfs_iopx_ptr iopx, znfs_aio_ptr) override
    {
        const posix_volume* v = volume_of(iopx, "/");
        if (!v)
            return errno_code(errno);
        int err = v->shared_flusher()->flush();
        return err == 0 ? std::error_code() : errno_code(err);
    }

    std::error_code stat(znfs_iopx_ptr iopx, const char* path, struct stat* st, znfs_aio_ptr) override
    {
        const posix_volume* v = volume_of(iopx, path);
        if (!v || !st)
            return errno_code(EINVAL);
        located at = locate(*v, path, true);
        if (at.fd < 0)
            return errno_code(errno);
        int r = fstat(at.fd, st);
        int e = errno;
        done_with(*v, path, at, r == 0 ? st : nullptr);
        return r == 0 ? std::error_code() : errno_code(e);
    }

    std::error_code mkdir(znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs_aio_ptr) override
    {
        const posix_volume* v = volume_of(iopx, path);
        if (!v)
            return errno_code(EINVAL);
        parent_dir parent(*v, path);
        if (!parent.ok())
            return errno_code(errno);
        const mode_t perm = static_cast<mode_t>(mode & 07777);
        if (mkdirat(parent.fd(), parent.name(), perm) != 0)
            return errno_code(errno);
        // mkdirat applies the umask (and drops the set-id bits); set the bits exactly, on the
        // directory just made and never through a link that replaced it.
        int fd = openat(parent.fd(), parent.name(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return errno_code(errno);
        int r = fchmod(fd, perm);
        int e = errno;
        ::close(fd);
        return r == 0 ? std::error_code() : errno_code(e);
    }

    std::error_code rmdir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr) override
    {
        return remove(iopx, path, AT_REMOVEDIR);
    }

    std::error_code unlink(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr) override
    {
        return remove(iopx, path, 0);
    }

    znfs_file_ptr opendir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr) override
    {
        const posix_volume* v = volume_of(iopx, path);
        if (!v)
            return znfs_file_ptr();
        // O_DIRECTORY refuses FIFOs and devices before any open of them happens.
        int fd = resolve(*v, path, O_RDONLY | O_DIRECTORY);
        if (fd < 0)
            return znfs_file_ptr();
        std::unique_ptr<dir_stream> d(new (std::nothrow) dir_stream);
        if (!d) {
            ::close(fd);
            errno = ENOMEM;
            return znfs_file_ptr();
        }
        return znfs_file_ptr(new posix_file(fd, std::move(d)));
    }

    struct dirent* readdir(znfs_file_ptr dir, znfs_aio_ptr) override
    {
        posix_file* f = file_of(dir);
        if (!f)
            return nullptr;
        if (!f->dir()) {
            errno = EBADF;
            return nullptr;
        }
        errno = 0;
        const struct dirent* de = f->dir()->next(f->fd());
        if (!de)
            return nullptr;  // errno 0 at the end, set on failure
        struct dirent* out = f->entry();
        backend::copy_entry(*de, *out);
        if (out->d_type == DT_UNKNOWN) {
            // Some file systems leave the type out; find it without following a link.
            struct stat st;
            if (fstatat(f->fd(), out->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                out->d_type = static_cast<unsigned char>(IFTODT(st.st_mode));
        }
        errno = 0;
        return out;
    }

    std::error_code closedir(znfs_file_ptr dir, znfs_aio_ptr aio) override { return close(dir, aio); }

    int64_t getxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                     znfs_aio_ptr) override
    {
        const posix_volume* v = volume_of(iopx, path);
        if (!v)
            return -1;
        if (!backend::valid_attribute_args(true, name, iov))
            return -1;
        located at = locate(*v, path, true);
        if (at.fd < 0)
            return -1;
        // fgetxattr refuses O_PATH descriptors; the /proc link reaches the same inode.
        ssize_t r = at.mode == access::path ? fd_getxattr(at.fd, name, iov->iov_base, iov->iov_len)
                                            : fgetxattr(at.fd, name, iov->iov_base, iov->iov_len);
        done_with(*v, path, at);
        return r;
    }

    int64_t listxattr(znfs_iopx_ptr iopx, const char* path, struct iovec* iov, znfs_aio_ptr) override
    {
        const posix_volume* v = volume_of(iopx, path);
        if (!v)
            return -1;
        if (!backend::valid_attribute_args(false, nullptr, iov))
            return -1;
        located at = locate(*v, path, true);
        if (at.fd < 0)
            return -1;
        char* list = static_cast<char*>(iov->iov_base);
        ssize_t r = at.mode == access::path ? fd_listxattr(at.fd, list, iov->iov_len)
                                            : flistxattr(at.fd, list, iov->iov_len);
        done_with(*v, path, at);
        return r;
    }

    std::error_code setxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                             uint64_t flags, znfs_aio_ptr) override
    {
        const posix_volume* v = volume_of(iopx, path);
        if (!v || !name || !iov || flags > INT_MAX)
            return errno_code(EINVAL);
        located at = locate(*v, path);
        if (at.fd < 0)
            return errno_code(errno);
        // The attribute calls check the inode's permissions, not the descriptor's access mode.
        int r = at.mode == access::path
                    ? fd_setxattr(at.fd, name, iov->iov_base, iov->iov_len, static_cast<int>(flags))
                    : fsetxattr(at.fd, name, iov->iov_base, iov->iov_len, static_cast<int>(flags));
        int e = errno;
        done_with(*v, path, at);
        return r == 0 ? std::error_code() : errno_code(e);
    }

private:
    std::error_code remove(const znfs_iopx_ptr& iopx, const char* path, int flags)
    {
        const posix_volume* v = volume_of(iopx, path);
        if (!v)
            return errno_code(EINVAL);
        // What the task keeps may lie at or beneath the name removed.
        task_cache::forget_all();
        parent_dir parent(*v, path);
        if (!parent.ok())
            return errno_code(errno);
        if (unlinkat(parent.fd(), flags == 0 ? parent.tail() : parent.name(), flags) != 0)
            return errno_code(errno);
        return std::error_code();
    }
};

}  // namespace

znfs_api* posix_api()
{
    // Stateless, so one object serves every thread and volume.
    static posix_api_impl s_api;
    return &s_api;
}

znfs_iopx_ptr make_posix_volume(const std::string& rootdir, std::error_code& ec)
{
    int fd = ::open(rootdir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        ec = errno_code(errno);
        return znfs_iopx_ptr();
    }
    // Every call depends on openat2; a kernel without it is told here, not on each call.
    int probe = resolve(fd, ".", O_PATH | O_DIRECTORY);
    if (probe < 0) {
        ec = errno_code(errno);
        ::close(fd);
        return znfs_iopx_ptr();
    }
    ::close(probe);
    ec = std::error_code();
    return znfs_iopx_ptr(new posix_volume(fd, rootdir));
}

}  // namespace znfs
