#include "znfs_gluster_internal.h"

#include <string.h>

#include <memory>

// --- What a pool task keeps: object handles by path, so that a task looks each path up once
// (the brick answers every lookup), and attribute values fetched whole by a size query.

namespace znfs {
namespace gluster {
namespace {

// Room for any attribute value or name list (the Linux limits of both).
const size_t k_xattr_room = 65536;

}  // namespace

void release_object(intptr_t handle) { glfs_h_close(reinterpret_cast<glfs_object_t*>(handle)); }

bool task_route(const volpath& p) { return task_cache::active() && !p.dir_only; }

bool object_route(const gluster_volume& v, const volpath& p) { return v.confined() || task_route(p); }

bool find_object(const gluster_volume& v, const volpath& p, final_use use, located& at)
{
    if (task_route(p)) {
        if (const task_cache::kept* k = task_cache::find(v.id(), p.path.c_str())) {
            at.obj = reinterpret_cast<glfs_object_t*>(k->handle);
            return true;
        }
    }
    if (!lookup(v, p.path, use, at) || !dir_demand_met(p, at.st))
        return false;
    if (task_route(p) && at.owned && !at.followed) {
        if (!task_cache::keep(v.id(), p.path.c_str(), reinterpret_cast<intptr_t>(at.owned.release()),
                              task_cache::access::path, release_object)) {
            errno = ENOMEM;
            return false;
        }
    }
    return true;
}

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
    located at;
    if (!find_object(v, p, final_use::read, at))
        return -1;
    glfs_object_t* obj = at.obj;
    if (iov->iov_base || iov->iov_len) {
        ssize_t r = glfs_h_getxattrs(v.fs(), obj, name, iov->iov_base, iov->iov_len);
        if (r < 0)
            errno = errno_or_eio();
        return r;
    }
    thread_local std::unique_ptr<char[]> room(new char[k_xattr_room]);
    ssize_t r = glfs_h_getxattrs(v.fs(), obj, name, room.get(), k_xattr_room);
    if (r >= 0) {
        task_cache::remember_attribute(v.id(), path, name, room.get(), static_cast<size_t>(r));
        return r;
    }
    if (errno != ERANGE) {
        errno = errno_or_eio();
        return -1;
    }
    r = glfs_h_getxattrs(v.fs(), obj, name, nullptr, 0);
    if (r < 0)
        errno = errno_or_eio();
    return r;
}

}  // namespace gluster
}  // namespace znfs
