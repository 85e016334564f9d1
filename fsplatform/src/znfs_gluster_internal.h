#ifndef ZNFS_GLUSTER_INTERNAL_H
#define ZNFS_GLUSTER_INTERNAL_H

// What the files of the GlusterFS backend share: the volume and handle types with the path
// helpers (znfs_gluster_handles.cpp), the rule that answers absence only from a whole volume
// (znfs_gluster_wholeness.cpp), resolution in a confined context (znfs_gluster_resolve.cpp),
// what a pool task keeps (znfs_gluster_task.cpp) and copies on the servers
// (znfs_gluster_copy.cpp). The calls themselves are in znfs_gluster_api.cpp, connection and the
// registry of volumes in znfs_gluster_connection.cpp. Internal to libznfscore; built only with
// libgfapi (znfs_gluster_stub.cpp stands in without it).

#include <znfs/znfs_gluster.h>

#include "znfs_backend.h"
#include "znfs_task_cache.h"

#include <glusterfs/api/glfs-handles.h>
#include <glusterfs/api/glfs.h>

#include <errno.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace znfs {
namespace gluster {

// Largest piece handed to one glfs_pread/glfs_pwrite: libgfapi builds one buffer per call.
const size_t k_io_chunk = 16u << 20;

// Entries of a listing fetched inside one bracket (see wholeness).
const size_t k_list_batch = 256;

// Whether e is an answer of absence (ENOENT, ESTALE), given only by a whole volume.
inline bool absence(int e) { return e == ENOENT || e == ESTALE; }

// What one libgfapi instance knows of its volume's wholeness; shared by every context made on
// the instance, and as long-lived as it. Safe for any thread: its record of looks is atomic.
class wholeness {
public:
    explicit wholeness(glfs_t* fs);
    ~wholeness();
    wholeness(const wholeness&) = delete;
    wholeness& operator=(const wholeness&) = delete;

    bool distributed() const { return m_distributed; }
    // Whether the volume has replica sets, whose bricks may differ until healed.
    bool replicated() const { return !m_replica_sets.empty(); }

    // A fresh look: whether every subvolume is up now; at gets the time of the look.
    bool whole_now(int64_t& at);

    // Whether any look, of any thread, found the volume not whole at or after time since.
    bool broken_since(int64_t since) const { return m_last_broken.load(std::memory_order_relaxed) >= since; }

    // The time of a look that found the volume whole, at most k_whole_reuse ago (a fresh one
    // when there is none); -1 when the volume is not whole now.
    int64_t whole_since();

private:
    // Whether every brick of every replica set is up, as the client's replicate translators
    // record it; true where there are none.
    bool replicas_whole();

    glfs_t* m_fs;
    glfs_object_t* m_root;
    bool m_distributed = true;  // absence needs a look: a distribute or replicate translator
    bool m_has_dht = true;
    std::vector<std::string> m_replica_sets;  // the translators' state files under /.meta
    std::atomic<int64_t> m_last_whole{-1};
    std::atomic<int64_t> m_last_broken{-1};
};

// One call's bracket: opened before the call, closed when its answer is one of absence or, on
// a replicated volume, an answer read from it.
class bracket {
public:
    explicit bracket(wholeness* w) : m_w(w), m_before(w ? w->whole_since() : 0) {}

    // Whether the volume was whole from the opening until now.
    bool held();

    // The errno a failed call answers with: e, or ENOTCONN for an absence the bracket does not
    // prove. On a replicated volume "no such attribute" is an absence too: a brick that was
    // down when the attribute was set lacks it until healed, and may be the only one answering
    // (a file of a pure distribute volume lies whole on one brick).
    int settle(int e)
    {
        const bool absent = absence(e) || (e == ENODATA && m_w && m_w->replicated());
        return absent && !held() ? ENOTCONN : e;
    }

    // Whether what a call read (a status, attributes, data, an open for reading) may be taken
    // as true. On a replicated volume not while any brick was down across the call: a brick
    // that missed updates answers alone for its set once the others are down, with the old
    // uuid and data as readily as with nothing, and nothing in the answer tells them apart.
    // On a whole volume this costs the closing look alone, still with no round trip.
    bool read_held() { return !m_w || !m_w->replicated() || held(); }

private:
    wholeness* m_w;
    int64_t m_before;
};

// A root of a confined context: the volume path the host named and the object it resolved to
// then, with that object's type.
struct anchor {
    std::string path;
    glfs_object_t* obj;  // null when the root did not resolve
    int err;             // why it did not
    mode_t type;
};

// Immutable after construction; libgfapi instances and object handles may be used from any
// thread, so the objects a confined context holds serve all its callers at once.
class gluster_volume final : public znfs_iopx {
public:
    gluster_volume(glfs_t* fs, std::string name, std::shared_ptr<wholeness> whole)
        : m_fs(fs), m_name(std::move(name)), m_id(task_cache::new_volume_id()), m_whole(std::move(whole))
    {
    }
    // A confined context (see znfs_api::confine) on the same instance: the volume root's object
    // and the anchors, sorted longest path first, are this volume's to release.
    gluster_volume(glfs_t* fs, std::string name, std::shared_ptr<wholeness> whole, glfs_object_t* root,
                   std::vector<anchor> anchors, bool follow_final)
        : m_fs(fs), m_name(std::move(name)), m_id(task_cache::new_volume_id()), m_whole(std::move(whole)), m_root(root),
          m_follow_final(follow_final), m_anchors(std::move(anchors))
    {
    }
    // The instance is not finished here: see the registry in znfs_gluster_connection.cpp. So
    // object handles that a pool task keeps never outlive it.
    ~gluster_volume() override;
    std::string describe() const override { return m_name; }
    glfs_t* fs() const { return m_fs; }
    const std::shared_ptr<wholeness>& whole() const { return m_whole; }
    // Tells this volume's paths apart from other volumes' in what a pool task keeps.
    uint64_t id() const { return m_id; }
    bool confined() const { return m_root != nullptr; }
    bool follow_final() const { return m_follow_final; }
    // The volume root, where a confined walk of a path below no root starts.
    glfs_object_t* root() const { return m_root; }

    // The root path (normalised, see volpath) lies below, and in rest the part of path below it
    // without its leading slash. Null with exact set for a path that names a root itself, null
    // alone for a path below no root.
    const anchor* anchor_of(const std::string& path, std::string& rest, bool& exact) const;

private:
    glfs_t* m_fs;
    std::string m_name;
    uint64_t m_id;
    std::shared_ptr<wholeness> m_whole;
    glfs_object_t* m_root = nullptr;
    bool m_follow_final = false;
    std::vector<anchor> m_anchors;
};

// One open file or directory. Used by one thread at a time; only the release is guarded, so
// that a libgfapi descriptor is closed exactly once however often close is asked for.
class gluster_file final : public znfs_file {
public:
    // A directory opened by open is a directory descriptor that does not list.
    enum kind { regular, directory, listing };

    // dirobj: for a listing of a confined context, the directory's object, which the handle
    // releases; the types readdir has to look up are looked up below it. whole: the volume's
    // wholeness record, by which a listing's batches and a regular file's reads are bracketed.
    gluster_file(glfs_fd_t* fd, uint64_t size, int accmode, kind k, std::string path,
                 glfs_object_t* dirobj = nullptr, std::shared_ptr<wholeness> whole = nullptr)
        : znfs_file(size), m_fd(fd), m_accmode(accmode), m_kind(k), m_path(std::move(path)), m_dirobj(dirobj),
          m_whole(std::move(whole))
    {
    }
    ~gluster_file() override;

    glfs_fd_t* fd() const { return m_fd; }
    int accmode() const { return m_accmode; }
    bool isdir() const { return m_kind != regular; }
    bool lists() const { return m_kind == listing; }
    const std::string& path() const { return m_path; }
    glfs_object_t* dirobj() const { return m_dirobj; }
    wholeness* whole() const { return m_whole.get(); }
    bool closed() const { return m_closed.load(std::memory_order_relaxed); }
    struct dirent* scratch() { return &m_scratch.entry; }
    struct dirent* entry() { return &m_entry; }

    // The next entry of the listing into entry(); false with errno (0 at the end). Entries are
    // fetched in batches, each inside one bracket (see wholeness): a batch the bracket does not
    // prove whole fails the listing, now and at every later call.
    bool next_entry();

    // Closes the descriptor the first time it is asked: 0 or the errno of the close; EBADF after.
    int release();

private:
    // Fetches the next batch of the listing inside one bracket; false with errno (0 at the end).
    bool fetch_batch();

    glfs_fd_t* m_fd;
    int m_accmode;
    kind m_kind;
    std::string m_path;
    glfs_object_t* m_dirobj;
    std::shared_ptr<wholeness> m_whole;
    std::atomic<bool> m_closed{false};
    std::vector<struct dirent> m_batch;
    size_t m_next = 0;
    bool m_ended = false;
    int m_failed = 0;
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
    // Releases the handle held and holds o instead.
    void reset(glfs_object_t* o = nullptr)
    {
        object_ref old(m_obj);
        m_obj = o;
    }
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

// This backend's volume behind a context, or null with EINVAL.
const gluster_volume* volume_of(const znfs_iopx_ptr& iopx, const char* path);

// This backend's open handle, or null with EBADF.
gluster_file* file_of(const znfs_file_ptr& file);

// A path as libgfapi takes it. libgfapi resolves relative paths against a working directory
// and takes "" for invalid; volume paths are always from the root, and "" names nothing.
// A trailing slash asks for a directory, which libgfapi does not check. Doubled slashes are
// made single, so that a path is matched against the roots of a confined context by its text.
struct volpath {
    std::string path;
    bool dir_only = false;

    // Takes the path given; false with ENOENT for "".
    bool set(const char* given);

    // Directory and last component of the path, for calls that make or remove the name
    // itself. A last component "." or ".." or none at all is refused with EINVAL, so nothing
    // at or above a directory is reached through it.
    bool split(std::string& dir, std::string& name) const;
};

// Checks the directory demand of a trailing slash against what the path names.
bool dir_demand_met(const volpath& p, const struct stat& st);

// With a trailing slash, the path must name a directory (following links).
bool check_dir_demand(glfs_t* fs, const volpath& p);

// What a call does with a symbolic link at the end of its path. A plain context follows it
// (read, other) or hands the link back (itself). A confined one refuses it, except that a read
// follows it beneath its root when the context was made to.
enum class final_use { read, other, itself };

// An object found for a call: its own (held by owned) or one the volume or the running task
// holds (borrowed). fresh: st is its status, fetched with it.
struct located {
    glfs_object_t* obj = nullptr;
    object_ref owned;
    struct stat st {};
    bool fresh = false;
    bool followed = false;  // a final link was followed to reach it

    void own(glfs_object_t* o)
    {
        owned.reset(o);
        obj = o;
    }
};

// The object path (normalised) names for a call of v, with its status: as libgfapi resolves
// it on a plain volume and for a path that names a root of a confined one (the host may reach
// a root through links), by walk otherwise. False with errno.
bool lookup(const gluster_volume& v, const std::string& path, final_use use, located& out);

// The directory dir that holds the last component of p, for a call that makes or removes that
// name itself. Below a root of a confined context it is found beneath the root's held object,
// the root itself included: a name below a root is never made or removed through what the
// root's path names now. Elsewhere as lookup finds dir. False with errno.
bool lookup_parent(const gluster_volume& v, const volpath& p, const std::string& dir, located& out);

// A handle of its own on what obj names (for one that is borrowed); null with errno.
glfs_object_t* duplicate(glfs_t* fs, glfs_object_t* obj);

// Releases an object handle the running task kept (a task_cache::release_fn).
void release_object(intptr_t handle);

// Whether a call may take the task's route: inside a pool task, for a path without the
// trailing slash that asks for a directory check.
bool task_route(const volpath& p);

// Whether a call goes through an object handle: in a pool task (see task_route) and always in
// a confined context, where a path is never given to libgfapi to resolve.
bool object_route(const gluster_volume& v, const volpath& p);

// The object p names for a call on the object route: the one the running task keeps, or a
// fresh lookup (st then set), which the task keeps for its later calls on p. What a followed
// final link led to is not kept: the task's calls that act on the link itself must still meet
// the link. False with errno.
bool find_object(const gluster_volume& v, const volpath& p, final_use use, located& at);

// getxattr (name) or listxattr (name null) on an object for a pool task. A size query fetches
// the value whole and remembers it, and the read that follows the query takes it from there:
// one round trip to the brick instead of two, and the read gets exactly the value whose size
// the query told.
ssize_t task_getxattr(const gluster_volume& v, const volpath& p, const char* name, struct iovec* iov);

// copy_range of the service: the brick copies where it can, the backend reads and writes the rest
// (znfs_gluster_copy.cpp, "Copies on the servers"). The count copied, or -1 with errno.
int64_t copy_range(const znfs_file_ptr& src, uint64_t srcoffset, const znfs_file_ptr& dst, uint64_t dstoffset,
                   uint64_t length);

}  // namespace gluster
}  // namespace znfs

#endif
