#include "znfs_gluster_internal.h"

#include <fcntl.h>
#include <limits.h>

#include <algorithm>

namespace znfs {
namespace gluster {
namespace {

// Opens what obj (looked up for p, with status st) names, as open_existing.
znfs_file_ptr open_object(const gluster_volume& v, const volpath& p, glfs_object_t* obj, const struct stat& st,
                          int flags);

// Opens the file or directory path names (as v resolves it) with flags minus O_CREAT and
// O_EXCL. Lookup and open go through one object handle, so the type checked is the type of
// what is opened: a FIFO or device is refused before anything on the brick opens it.
znfs_file_ptr open_existing(const gluster_volume& v, const volpath& p, int flags)
{
    if (object_route(v, p)) {
        // The task may have looked the path up already; its object saves a lookup. Only a
        // plain read may follow a final link in a confined context.
        located at;
        if (!find_object(v, p, flags == O_RDONLY ? final_use::read : final_use::other, at))
            return znfs_file_ptr();
        if (!at.fresh && glfs_h_stat(v.fs(), at.obj, &at.st) != 0) {
            errno = errno_or_eio();
            return znfs_file_ptr();
        }
        return open_object(v, p, at.obj, at.st, flags);
    }
    struct stat st;
    object_ref obj(glfs_h_lookupat(v.fs(), nullptr, p.path.c_str(), &st, 1));
    if (!obj) {
        errno = errno_or_eio();
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
            errno = errno_or_eio();
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
        errno = errno_or_eio();
        return znfs_file_ptr();
    }
    uint64_t size = (flags & O_TRUNC) ? 0 : static_cast<uint64_t>(st.st_size);
    return znfs_file_ptr(new gluster_file(fd, size, accmode, gluster_file::regular, p.path, nullptr, v.whole()));
}


// Creates path as a new regular file with exactly the permission bits perm, opened with
// cflags (which hold O_CREAT and O_EXCL). Null with errno on failure.
glfs_fd_t* create_new(const gluster_volume& v, const volpath& p, int cflags, mode_t perm)
{
    if (!object_route(v, p)) {
        glfs_fd_t* fd = glfs_creat(v.fs(), p.path.c_str(), cflags, perm);
        if (!fd) {
            errno = errno_or_eio();
            return nullptr;
        }
        // The brick masks the bits at creation (storage.create-mask, set-id bits); set them
        // as asked, on the file just made.
        if (glfs_fchmod(fd, perm) != 0) {
            int e = errno_or_eio();
            glfs_close(fd);
            errno = e;
            return nullptr;
        }
        return fd;
    }
    // In a task the new file's object is kept for the calls that follow (a copy sets the
    // attributes next), and the status that comes with it tells whether the brick masked any
    // bits, so that the extra round trip to set them is made only when needed. A confined
    // context creates the name below the directory's object: O_EXCL never follows a final link.
    std::string dir, name;
    if (!p.split(dir, name))
        return nullptr;
    located parent;
    if (!lookup_parent(v, p, dir, parent))
        return nullptr;
    if (!S_ISDIR(parent.st.st_mode)) {
        errno = ENOTDIR;
        return nullptr;
    }
    struct stat st;
    glfs_fd_t* fd = nullptr;
    object_ref made(glfs_h_creat_open(v.fs(), parent.obj, name.c_str(), cflags, perm, &st, &fd));
    if (!made || !fd) {
        int e = errno_or_eio();
        if (fd)
            glfs_close(fd);
        errno = e;
        return nullptr;
    }
    if ((st.st_mode & 07777) != perm && glfs_fchmod(fd, perm) != 0) {
        int e = errno_or_eio();
        glfs_close(fd);
        errno = e;
        return nullptr;
    }
    // Outside a task the object is released at once.
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
            return znfs_file_ptr(
                new gluster_file(fd, 0, flags & O_ACCMODE, gluster_file::regular, p.path, nullptr, v.whole()));
        int e = errno_or_eio();
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

// The volume and path of a call on the last component itself (mkdir, chmod, rmdir, unlink),
// with the path's directory and that component; null with errno for a bad argument or a last
// component "." or "..", which would reach another directory than the one named.
const gluster_volume* name_target(const znfs_iopx_ptr& iopx, const char* path, volpath& p, std::string& dir,
                                  std::string& name)
{
    const gluster_volume* v = volume_of(iopx, path);
    if (!v || !p.set(path) || !p.split(dir, name))
        return nullptr;
    return v;
}

// name_target for a call that removes the name. What the running task keeps may lie at or
// beneath the name, so it is dropped.
const gluster_volume* removal_target(const znfs_iopx_ptr& iopx, const char* path, volpath& p)
{
    std::string dir, name;
    const gluster_volume* v = name_target(iopx, path, p, dir, name);
    if (!v)
        return nullptr;
    task_cache::forget_all();
    return v;
}

// rmdir (dir) or unlink in a confined context: the name is looked up below its directory's
// object and removed there, as a name (a link is never followed).
std::error_code remove_below(const gluster_volume& v, const volpath& p, bool dir)
{
    std::string parent_path, name;
    located parent;
    if (!p.split(parent_path, name) || !lookup_parent(v, p, parent_path, parent))
        return errno_code(errno);
    if (!S_ISDIR(parent.st.st_mode))
        return errno_code(ENOTDIR);
    struct stat st;
    object_ref entry(glfs_h_lookupat(v.fs(), parent.obj, name.c_str(), &st, 0));
    if (!entry)
        return errno_code(errno_or_eio());
    // glfs_h_unlink removes a directory as rmdir and anything else as unlink; the type asked
    // for is checked first. "name/" removes nothing for unlink: a directory is EISDIR, anything
    // else (a link to a directory too) ENOTDIR.
    if (dir && !S_ISDIR(st.st_mode))
        return errno_code(ENOTDIR);
    if (!dir && (S_ISDIR(st.st_mode) || p.dir_only))
        return errno_code(S_ISDIR(st.st_mode) ? EISDIR : ENOTDIR);
    if (glfs_h_unlink(v.fs(), parent.obj, name.c_str()) != 0)
        return errno_code(errno_or_eio());
    return std::error_code();
}

// opendir in a confined context: the directory's object is opened, and kept with the listing
// for the types readdir may have to look up.
znfs_file_ptr opendir_object(const gluster_volume& v, const volpath& p)
{
    located at;
    if (!lookup(v, p.path, final_use::other, at))
        return znfs_file_ptr();
    if (!S_ISDIR(at.st.st_mode)) {
        errno = ENOTDIR;
        return znfs_file_ptr();
    }
    object_ref dirobj(at.owned ? at.owned.release() : duplicate(v.fs(), at.obj));
    if (!dirobj)
        return znfs_file_ptr();
    glfs_fd_t* fd = glfs_h_opendir(v.fs(), dirobj.get());
    if (!fd) {
        errno = errno_or_eio();
        return znfs_file_ptr();
    }
    return znfs_file_ptr(
        new gluster_file(fd, 0, O_RDONLY, gluster_file::listing, p.path, dirobj.release(), v.whole()));
}

// getxattr (name) or listxattr (name null) in a confined context outside a pool task.
ssize_t object_getxattr(const gluster_volume& v, const volpath& p, const char* name, struct iovec* iov)
{
    located at;
    if (!find_object(v, p, final_use::read, at))
        return -1;
    ssize_t r = glfs_h_getxattrs(v.fs(), at.obj, name, iov->iov_base, iov->iov_len);
    if (r < 0)
        errno = errno_or_eio();
    return r;
}

// The calls as libgfapi answers them; gluster_api_impl below gives absence only from a whole
// volume.
class gluster_calls : public znfs_api {
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

    // The brick copies where it can; the rest is read and written (znfs_gluster_copy.cpp).
    int64_t copy_range(znfs_file_ptr src, uint64_t srcoffset, znfs_file_ptr dst, uint64_t dstoffset, uint64_t length,
                       znfs_aio_ptr) override
    {
        return gluster::copy_range(src, srcoffset, dst, dstoffset, length);
    }

    std::error_code chmod(znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs_aio_ptr) override
    {
        // The name itself: "." or ".." as the last component (or the root) is refused as the
        // other calls on a name refuse it.
        volpath p;
        std::string dir, name;
        const gluster_volume* v = name_target(iopx, path, p, dir, name);
        if (!v)
            return errno_code(errno);
        located at;
        if (!lookup(*v, p.path, final_use::itself, at))
            return errno_code(errno);
        struct stat& st = at.st;
        if (S_ISLNK(st.st_mode))
            return errno_code(ELOOP);
        st.st_mode = (st.st_mode & S_IFMT) | static_cast<mode_t>(mode & 07777);
        if (glfs_h_setattrs(v->fs(), at.obj, &st, GFAPI_SET_ATTR_MODE) != 0)
            return errno_code(errno_or_eio());
        return std::error_code();
    }

    znfs_iopx_ptr confine(znfs_iopx_ptr iopx, const std::vector<std::string>& roots, final_link finals,
                          std::error_code& ec) override
    {
        const gluster_volume* v = volume_of(iopx, "/");
        if (!v) {
            ec = errno_code(errno);
            return znfs_iopx_ptr();
        }
        glfs_t* fs = v->fs();
        struct stat st;
        object_ref root(glfs_h_lookupat(fs, nullptr, "/", &st, 0));
        if (!root) {
            ec = errno_code(errno_or_eio());
            return znfs_iopx_ptr();
        }
        // Each root is resolved as iopx resolves it, and held: from now on it is reached
        // through its object, whatever becomes of the names above it.
        std::vector<anchor> anchors;
        struct release_anchors {
            std::vector<anchor>& list;
            ~release_anchors()
            {
                for (const anchor& a : list)
                    if (a.obj)
                        glfs_h_close(a.obj);
            }
        } guard{anchors};
        // A root found missing is missing for every later call below it: the bracket is this one.
        bracket b(v->whole().get());
        for (const std::string& given : roots) {
            volpath rp;
            located at;
            anchor a{std::string(), nullptr, 0, 0};
            if (rp.set(given.c_str()) && lookup(*v, rp.path, final_use::other, at)) {
                a.obj = at.owned ? at.owned.release() : duplicate(fs, at.obj);
                a.type = at.st.st_mode & S_IFMT;
            }
            a.path = rp.path;
            a.err = a.obj ? 0 : errno_or_eio();
            anchors.push_back(std::move(a));
        }
        for (anchor& a : anchors)
            if (absence(a.err))
                a.err = b.settle(a.err);
        std::sort(anchors.begin(), anchors.end(),
                  [](const anchor& a, const anchor& b) { return a.path.size() > b.path.size(); });
        znfs_iopx_ptr confined(new gluster_volume(fs, v->describe(), v->whole(), root.release(), std::move(anchors),
                                                  finals == final_link::follow_beneath));
        anchors.clear();  // the context holds them now
        ec = std::error_code();
        return confined;
    }

    std::error_code fsync(znfs_file_ptr file, znfs_aio_ptr) override
    {
        gluster_file* f = file_of(file);
        if (!f)
            return errno_code(errno);
        if (f->isdir())  // the bricks order directory changes themselves; nothing to flush
            return std::error_code();
        return glfs_fsync(f->fd(), nullptr, nullptr) == 0 ? std::error_code() : errno_code(errno_or_eio());
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
        if (object_route(*v, p)) {
            located at;
            if (!find_object(*v, p, final_use::read, at))
                return errno_code(errno);
            if (!at.fresh && glfs_h_stat(v->fs(), at.obj, &at.st) != 0)
                return errno_code(errno_or_eio());
            *st = at.st;
            return std::error_code();
        }
        if (glfs_stat(v->fs(), p.path.c_str(), st) != 0)
            return errno_code(errno_or_eio());
        if (!dir_demand_met(p, *st))
            return errno_code(errno);
        return std::error_code();
    }

    std::error_code mkdir(znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs_aio_ptr) override
    {
        volpath p;
        std::string dir, name;
        const gluster_volume* v = name_target(iopx, path, p, dir, name);
        if (!v)
            return errno_code(errno);
        located parent;
        if (!lookup_parent(*v, p, dir, parent))
            return errno_code(errno);
        if (!S_ISDIR(parent.st.st_mode))
            return errno_code(ENOTDIR);
        const mode_t perm = static_cast<mode_t>(mode & 07777);
        struct stat st;
        object_ref made(glfs_h_mkdir(v->fs(), parent.obj, name.c_str(), perm, &st));
        if (!made)
            return errno_code(errno_or_eio());
        // The brick masks the bits at creation; set them exactly, on the directory just
        // made (the object handle never follows a link that replaced it).
        st.st_mode = S_IFDIR | perm;
        if (glfs_h_setattrs(v->fs(), made.get(), &st, GFAPI_SET_ATTR_MODE) != 0)
            return errno_code(errno_or_eio());
        return std::error_code();
    }

    std::error_code rmdir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr) override
    {
        return remove_name(iopx, path, true);
    }

    std::error_code unlink(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr) override
    {
        return remove_name(iopx, path, false);
    }

    znfs_file_ptr opendir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr) override
    {
        const gluster_volume* v = volume_of(iopx, path);
        volpath p;
        if (!v || !p.set(path))
            return znfs_file_ptr();
        if (v->confined())
            return opendir_object(*v, p);
        // libgfapi checks the type before it opens anything: a FIFO or device gives ENOTDIR.
        glfs_fd_t* fd = glfs_opendir(v->fs(), p.path.c_str());
        if (!fd) {
            errno = errno_or_eio();
            return znfs_file_ptr();
        }
        return znfs_file_ptr(new gluster_file(fd, 0, O_RDONLY, gluster_file::listing, p.path, nullptr, v->whole()));
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
        // writes into this handle's own buffer, from which batches are taken.
        if (!f->next_entry())
            return nullptr;
        struct dirent* out = f->entry();
        if (out->d_type == DT_UNKNOWN) {
            // Entries read back from some bricks leave the type out; find it without
            // following a link. A type the bracket does not prove stays unknown, for the caller
            // to ask a status of, which it proves or fails.
            glfs_t* fs = glfs_from_glfd(f->fd());
            struct stat st;
            bracket b(f->whole());
            bool found = false;
            if (f->dirobj()) {
                // A confined listing looks the name up below the directory it lists.
                object_ref entry(fs ? glfs_h_lookupat(fs, f->dirobj(), out->d_name, &st, 0) : nullptr);
                found = static_cast<bool>(entry);
            } else {
                std::string full =
                    f->path() == "/" ? "/" + std::string(out->d_name) : f->path() + "/" + out->d_name;
                found = fs && glfs_lstat(fs, full.c_str(), &st) == 0;
            }
            if (found && b.read_held())
                out->d_type = static_cast<unsigned char>(IFTODT(st.st_mode));
        }
        errno = 0;
        return out;
    }

    std::error_code closedir(znfs_file_ptr dir, znfs_aio_ptr aio) override { return close(dir, aio); }

    int64_t getxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                     znfs_aio_ptr) override
    {
        return read_attributes(iopx, path, false, name, iov);
    }

    int64_t listxattr(znfs_iopx_ptr iopx, const char* path, struct iovec* iov, znfs_aio_ptr) override
    {
        return read_attributes(iopx, path, true, nullptr, iov);
    }

    std::error_code setxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                             uint64_t flags, znfs_aio_ptr) override
    {
        const gluster_volume* v = volume_of(iopx, path);
        if (!v || !name || !iov || flags > INT_MAX)
            return errno_code(EINVAL);
        // A length without a buffer is no value: libgfapi's path call would read it from
        // address 0 and its handle call from whatever lies beside our empty value. The
        // kernel answers it so for the other backend.
        if (!iov->iov_base && iov->iov_len != 0)
            return errno_code(EFAULT);
        volpath p;
        if (!p.set(path))
            return errno_code(errno);
        if (object_route(*v, p)) {
            task_cache::drop_attribute();
            located at;
            if (!find_object(*v, p, final_use::other, at))
                return errno_code(errno);
            // libgfapi's handle call refuses a null value even of length 0, which the path call
            // and the other backend take as the empty value it is.
            static const char k_empty = '\0';
            const void* value = iov->iov_base ? iov->iov_base : &k_empty;
            if (glfs_h_setxattrs(v->fs(), at.obj, name, value, iov->iov_len, static_cast<int>(flags)) != 0)
                return errno_code(errno_or_eio());
            return std::error_code();
        }
        if (!check_dir_demand(v->fs(), p))
            return errno_code(errno);
        if (glfs_setxattr(v->fs(), p.path.c_str(), name, iov->iov_base, iov->iov_len, static_cast<int>(flags)) != 0)
            return errno_code(errno_or_eio());
        return std::error_code();
    }

private:
    // rmdir (dir) or unlink: by the directory's object in a confined context, by path otherwise.
    std::error_code remove_name(const znfs_iopx_ptr& iopx, const char* path, bool dir)
    {
        volpath p;
        const gluster_volume* v = removal_target(iopx, path, p);
        if (!v)
            return errno_code(errno);
        if (v->confined())
            return remove_below(*v, p, dir);
        if (!dir && p.dir_only) {
            // "name/" removes nothing: a directory is EISDIR, anything else (a link to a
            // directory too, since unlink never follows one) ENOTDIR.
            struct stat st;
            if (glfs_lstat(v->fs(), p.path.c_str(), &st) != 0)
                return errno_code(errno_or_eio());
            return errno_code(S_ISDIR(st.st_mode) ? EISDIR : ENOTDIR);
        }
        int r = dir ? glfs_rmdir(v->fs(), p.path.c_str()) : glfs_unlink(v->fs(), p.path.c_str());
        if (r != 0)
            return errno_code(errno_or_eio());
        return std::error_code();
    }

    // getxattr (list false: the value of name) and listxattr (list true: the names), which
    // take the same route to the entry.
    int64_t read_attributes(const znfs_iopx_ptr& iopx, const char* path, bool list, const char* name,
                            struct iovec* iov)
    {
        const gluster_volume* v = volume_of(iopx, path);
        if (!v)
            return -1;
        if (!backend::valid_attribute_args(!list, name, iov))
            return -1;
        volpath p;
        if (!p.set(path))
            return -1;
        if (task_route(p))
            return task_getxattr(*v, p, name, iov);
        if (v->confined())
            return object_getxattr(*v, p, name, iov);
        if (!check_dir_demand(v->fs(), p))
            return -1;
        ssize_t r = list ? glfs_listxattr(v->fs(), p.path.c_str(), iov->iov_base, iov->iov_len)
                         : glfs_getxattr(v->fs(), p.path.c_str(), name, iov->iov_base, iov->iov_len);
        if (r < 0)
            errno = errno_or_eio();
        return r;
    }
};

// Every call that names a path answers absence (ENOENT, ESTALE) only when the volume was whole
// from before the call until after it (see wholeness); listings keep the rule themselves. On a
// replicated volume a call that reads (stat, getxattr, listxattr, an open for reading, a read of
// data) is held to that rule when it succeeds too, and fails with ENOTCONN otherwise: the brick
// that answered may be one that missed the last updates (bracket::read_held). Writes answer as
// they came.
class gluster_api_impl final : public gluster_calls {
public:
    znfs_file_ptr open(znfs_iopx_ptr iopx, const char* path, int32_t flags, znfs_aio_ptr aio) override
    {
        // An open that may create or truncate writes; any other gives a status to read by.
        const bool reads = (flags & O_ACCMODE) == O_RDONLY && !(flags & (O_CREAT | O_TRUNC));
        return file_call(iopx, reads, [&] { return gluster_calls::open(iopx, path, flags, aio); });
    }
    znfs_file_ptr creat(znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t mode, znfs_aio_ptr aio) override
    {
        return file_call(iopx, false, [&] { return gluster_calls::creat(iopx, path, flags, mode, aio); });
    }
    std::error_code stat(znfs_iopx_ptr iopx, const char* path, struct stat* st, znfs_aio_ptr aio) override
    {
        return code_call(iopx, true, [&] { return gluster_calls::stat(iopx, path, st, aio); });
    }
    int64_t read(znfs_file_ptr file, znfs_buff_ptr buff, uint64_t length, int64_t offset, int32_t flags,
                 znfs_aio_ptr aio) override
    {
        const gluster_file* f = dynamic_cast<const gluster_file*>(file.get());
        bracket b(f ? f->whole() : nullptr);
        int64_t n = gluster_calls::read(file, buff, length, offset, flags, aio);
        if (n < 0) {
            errno = b.settle(errno_or_eio());
            return n;
        }
        return b.read_held() ? n : unproven();
    }
    std::error_code mkdir(znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs_aio_ptr aio) override
    {
        return code_call(iopx, false, [&] { return gluster_calls::mkdir(iopx, path, mode, aio); });
    }
    std::error_code rmdir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) override
    {
        return code_call(iopx, false, [&] { return gluster_calls::rmdir(iopx, path, aio); });
    }
    std::error_code unlink(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) override
    {
        return code_call(iopx, false, [&] { return gluster_calls::unlink(iopx, path, aio); });
    }
    znfs_file_ptr opendir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) override
    {
        return file_call(iopx, false, [&] { return gluster_calls::opendir(iopx, path, aio); });
    }
    int64_t getxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                     znfs_aio_ptr aio) override
    {
        return count_call(iopx, true, [&] { return gluster_calls::getxattr(iopx, path, name, iov, aio); });
    }
    int64_t listxattr(znfs_iopx_ptr iopx, const char* path, struct iovec* iov, znfs_aio_ptr aio) override
    {
        return count_call(iopx, true, [&] { return gluster_calls::listxattr(iopx, path, iov, aio); });
    }
    std::error_code setxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                             uint64_t flags, znfs_aio_ptr aio) override
    {
        return code_call(iopx, false, [&] { return gluster_calls::setxattr(iopx, path, name, iov, flags, aio); });
    }
    std::error_code chmod(znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs_aio_ptr aio) override
    {
        return code_call(iopx, false, [&] { return gluster_calls::chmod(iopx, path, mode, aio); });
    }

private:
    // The volume's wholeness record; null for a context that is not this backend's (the call
    // refuses it).
    static wholeness* whole_of(const znfs_iopx_ptr& iopx)
    {
        const gluster_volume* v = dynamic_cast<const gluster_volume*>(iopx.get());
        return v ? v->whole().get() : nullptr;
    }
    // The answer to a read the bracket does not prove: ENOTCONN. An attribute value a pool
    // task's size query fetched for the read after it came from the same answer, and goes too.
    static int64_t unproven()
    {
        task_cache::drop_attribute();
        errno = ENOTCONN;
        return -1;
    }
    // reads: whether the call's success is an answer read from the volume.
    template <class F>
    static std::error_code code_call(const znfs_iopx_ptr& iopx, bool reads, F call)
    {
        bracket b(whole_of(iopx));
        std::error_code ec = call();
        if (ec)
            return errno_code(b.settle(ec.value()));
        if (reads && !b.read_held()) {
            unproven();
            return errno_code(ENOTCONN);
        }
        return ec;
    }
    template <class F>
    static znfs_file_ptr file_call(const znfs_iopx_ptr& iopx, bool reads, F call)
    {
        bracket b(whole_of(iopx));
        znfs_file_ptr f = call();
        if (!f) {
            errno = b.settle(errno_or_eio());
        } else if (reads && !b.read_held()) {
            f.reset();  // closes what was just opened
            unproven();
        }
        return f;
    }
    template <class F>
    static int64_t count_call(const znfs_iopx_ptr& iopx, bool reads, F call)
    {
        bracket b(whole_of(iopx));
        int64_t r = call();
        if (r < 0)
            errno = b.settle(errno_or_eio());
        else if (reads && !b.read_held())
            return unproven();
        return r;
    }
};

}  // namespace
}  // namespace gluster

znfs_api* gluster_api()
{
    // Stateless, so one object serves every thread and volume.
    static gluster::gluster_api_impl s_api;
    return &s_api;
}

}  // namespace znfs
