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

// --- Whether the volume is whole.
//
// On a distributed volume "no such entry" and "end of directory" are answers only the whole
// volume can give, and libgfapi gives them without it. Tried on a local volume of two bricks
// with one brick process killed: every lookup of a name whose file lay on the dead brick
// answered ENOENT (by handle and by path, on an instance connected before the kill and on one
// connected after it, and with the client's distribute options lookup-optimize off and
// lookup-unhashed on), and a listing gave only the entries of the live brick, ending without
// an error. The distribute translator skips a subvolume it holds for down, or finds a hole in
// the directory's layout where that subvolume's range was, and answers from the others.
//
// What it holds for down is what it answers for the virtual attribute "dht.subvol.status" on
// any object: "1" while every one of its subvolumes is up, "0" otherwise. A subvolume there is
// a brick of a pure distribute volume, or a whole replica or disperse set, so a replicated
// volume with one brick down still reads as whole, as it should: its replicas answer for the
// brick that is down. The answer comes from the client's own state, with no round trip (12-30
// us per look on this 2-CPU machine, against 300-900 us for a lookup that finds nothing), and
// it is exactly the state the translator decides by, which neither the layout (cached, and
// with holes only where it was fetched during an outage) nor a probe of the bricks (its own
// race) would be.
//
// So an answer of absence (ENOENT or ESTALE, from any call, and the end of a listing) is given
// only when the volume was whole from before the call until after it; otherwise the call
// answers ENOTCONN. "Before" is a look that found the volume whole at most k_whole_reuse ago,
// shared by every thread of the instance; "after" is a fresh look once the answer is known; and
// no look of any thread in between may have found it not whole. Two looks that both find the
// volume whole bracket no outage when they are close enough: the client notices a dead brick at
// once (the connection breaks), but reconnects only on a timer, every 3 s (a brick killed and
// started again at once was seen up again 6 s after it was seen down). A bracket longer than
// k_whole_bracket (a slow call) proves nothing, and the call answers ENOTCONN. Any other answer
// is given as it came: an entry found exists, and a failure other than absence is a failure
// already. Cost on a healthy volume, measured here: no round trip; a stat that finds nothing
// took 167 us against 132 us through libgfapi alone (one brick) and 265 against 214 us (two
// bricks), the after-look; one that finds an entry took the same time as without the rule.
//
// The rule is deliberately coarse: while any subvolume is down, every absence is unknown, even
// of a name whose own brick is up. Which brick would hold a name the translator can tell
// ("dht.file.hashed-subvol.NAME" on the directory), but not whether that brick is up, and a
// creation or deletion that went on around the names it cannot see would still stop at its
// bookkeeping names, which hash anywhere. Both stop at their first such question instead, having
// copied or unlinked nothing, and run in full once the volume is whole again.
//
// A listing is read ahead in batches of k_list_batch entries, each fetched inside one bracket:
// a batch that may lack a subvolume's entries, whether it ends the listing or not, fails the
// listing with ENOTCONN. The client's readdir-ahead and negative-lookup cache are bypassed, so
// that no entry or absence reaches a caller from a fetch made outside its bracket.
const std::chrono::milliseconds k_whole_reuse(100);
const std::chrono::milliseconds k_whole_bracket(1000);
const size_t k_list_batch = 256;
const char* const k_whole_key = "dht.subvol.status";

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool absence(int e) { return e == ENOENT || e == ESTALE; }

// What one libgfapi instance knows of its volume's wholeness; shared by every context made on
// the instance, and as long-lived as it.
class wholeness {
public:
    explicit wholeness(glfs_t* fs) : m_fs(fs)
    {
        struct stat st;
        m_root = glfs_h_lookupat(fs, nullptr, "/", &st, 0);
        // A volume with no distribute translator answers no such attribute; whatever it
        // answers for a name or a listing, it answers from all of its bricks.
        char value[8];
        ssize_t n = m_root ? glfs_h_getxattrs(fs, m_root, k_whole_key, value, sizeof value) : -1;
        m_distributed = !(n < 0 && (errno == ENODATA || errno == EOPNOTSUPP || errno == ENOTSUP));
    }
    ~wholeness()
    {
        if (m_root)
            glfs_h_close(m_root);
    }
    wholeness(const wholeness&) = delete;
    wholeness& operator=(const wholeness&) = delete;

    bool distributed() const { return m_distributed; }

    // A fresh look: whether every subvolume is up now; at gets the time of the look.
    bool whole_now(int64_t& at)
    {
        char value[8];
        ssize_t n = m_root ? glfs_h_getxattrs(m_fs, m_root, k_whole_key, value, sizeof value) : -1;
        at = now_ns();
        bool whole = n > 0 && value[0] == '1';
        std::atomic<int64_t>& last = whole ? m_last_whole : m_last_broken;
        int64_t seen = last.load(std::memory_order_relaxed);
        while (seen < at && !last.compare_exchange_weak(seen, at, std::memory_order_relaxed)) {
        }
        return whole;
    }

    // Whether any look, of any thread, found the volume not whole at or after time since.
    bool broken_since(int64_t since) const { return m_last_broken.load(std::memory_order_relaxed) >= since; }

    // The time of a look that found the volume whole, at most k_whole_reuse ago (a fresh one
    // when there is none); -1 when the volume is not whole now.
    int64_t whole_since()
    {
        if (!m_distributed)
            return 0;
        int64_t seen = m_last_whole.load(std::memory_order_relaxed);
        if (seen >= 0 && !broken_since(seen) && now_ns() - seen <= std::chrono::nanoseconds(k_whole_reuse).count())
            return seen;
        int64_t at = 0;
        return whole_now(at) ? at : -1;
    }

private:
    glfs_t* m_fs;
    glfs_object_t* m_root;
    bool m_distributed = true;
    std::atomic<int64_t> m_last_whole{-1};
    std::atomic<int64_t> m_last_broken{-1};
};

// One call's bracket: opened before the call, closed when its answer is one of absence.
class bracket {
public:
    explicit bracket(wholeness* w) : m_w(w), m_before(w ? w->whole_since() : 0) {}

    // Whether the volume was whole from the opening until now.
    bool held()
    {
        if (!m_w || !m_w->distributed())
            return true;
        if (m_before < 0)
            return false;
        int64_t after = 0;
        return m_w->whole_now(after) && after - m_before <= std::chrono::nanoseconds(k_whole_bracket).count() &&
               !m_w->broken_since(m_before);
    }

    // The errno a failed call answers with: e, or ENOTCONN for an absence the bracket does not
    // prove.
    int settle(int e) { return absence(e) && !held() ? ENOTCONN : e; }

private:
    wholeness* m_w;
    int64_t m_before;
};


int failure_errno();

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
    // The instance is not finished here: see the registry below. So object handles that a
    // pool task keeps never outlive it.
    ~gluster_volume() override
    {
        if (m_root)
            glfs_h_close(m_root);
        for (const anchor& a : m_anchors)
            if (a.obj)
                glfs_h_close(a.obj);
    }
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
    const anchor* anchor_of(const std::string& path, std::string& rest, bool& exact) const
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
    // releases; the types readdir has to look up are looked up below it.
    gluster_file(glfs_fd_t* fd, uint64_t size, int accmode, kind k, std::string path,
                 glfs_object_t* dirobj = nullptr, std::shared_ptr<wholeness> whole = nullptr)
        : znfs_file(size), m_fd(fd), m_accmode(accmode), m_kind(k), m_path(std::move(path)), m_dirobj(dirobj),
          m_whole(std::move(whole))
    {
    }
    ~gluster_file() override
    {
        release();
        if (m_dirobj)
            glfs_h_close(m_dirobj);
    }

    glfs_fd_t* fd() const { return m_fd; }
    int accmode() const { return m_accmode; }
    bool isdir() const { return m_kind != regular; }
    bool lists() const { return m_kind == listing; }
    const std::string& path() const { return m_path; }
    glfs_object_t* dirobj() const { return m_dirobj; }
    bool closed() const { return m_closed.load(std::memory_order_relaxed); }
    struct dirent* scratch() { return &m_scratch.entry; }
    struct dirent* entry() { return &m_entry; }

    // The next entry of the listing into entry(); false with errno (0 at the end). Entries are
    // fetched in batches, each inside one bracket (see wholeness): a batch the bracket does not
    // prove whole fails the listing, now and at every later call.
    bool next_entry()
    {
        if (m_next == m_batch.size() && !fetch_batch())
            return false;
        backend::copy_entry(m_batch[m_next++], m_entry);
        return true;
    }

    int release()
    {
        if (m_closed.exchange(true))
            return EBADF;
        int r = m_kind == regular ? glfs_close(m_fd) : glfs_closedir(m_fd);
        return r == 0 ? 0 : (errno ? errno : EIO);
    }

private:
    bool fetch_batch()
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
                m_failed = b.settle(r > 0 ? r : failure_errno());
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
// A trailing slash asks for a directory, which libgfapi does not check. Doubled slashes are
// made single, so that a path is matched against the roots of a confined context by its text.
struct volpath {
    std::string path;
    bool dir_only = false;

    bool set(const char* given)
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
        dir = path.substr(0, start > 1 ? start - 1 : 1);
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

// --- Resolution in a confined context.
//
// libgfapi resolves a path itself, component by component, and follows every symbolic link on
// the way; the follow flag of glfs_h_lookupat spares only a final one. A confined context must
// follow none, so it never hands libgfapi more than one name at a time: it looks each component
// up below the object of the one before (glfs_h_lookupat, follow 0), refuses a link with ELOOP,
// and takes ".." back to the object it came from, never above the root the path lies in
// (EXDEV). Each root was resolved once, when the context was made, to an object held from then
// on, so a link or a rename above a root later changes nothing below it. Every call of such a
// context then works on the object found (handle calls), never on a path libgfapi would resolve
// again.

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

// The symbolic links one confined resolution may follow (the kernel's limit).
const int k_max_links = 40;

// The target of the link obj, NUL-terminated in buf; false with errno.
bool read_link(glfs_t* fs, glfs_object_t* obj, char (&buf)[PATH_MAX])
{
    int n = glfs_h_readlink(fs, obj, buf, sizeof buf);
    if (n < 0) {
        errno = failure_errno();
        return false;
    }
    if (static_cast<size_t>(n) >= sizeof buf) {
        errno = ENAMETOOLONG;
        return false;
    }
    buf[n] = '\0';
    return true;
}

// Appends the components of path to parts, in order.
void split_components(const std::string& path, std::vector<std::string>& parts)
{
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos)
            slash = path.size();
        if (slash > at)
            parts.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
}

// Walks rest (the part of path below a, or below the volume root when a is null) one name at a
// time from the held object, following no link. A final link, when the call may follow it
// (follow_final), is read: its target, joined to the link's directory when relative, must lie
// beneath the same root (EXDEV), and is then walked from that root as openat2 with
// RESOLVE_BENEATH walks it: a further link is followed only when relative and while it stays
// beneath. The result goes to out; false with errno.
bool walk(const gluster_volume& v, const anchor* a, const std::string& path, const std::string& rest,
          bool follow_final, located& out)
{
    glfs_t* fs = v.fs();
    glfs_object_t* const start = a ? a->obj : v.root();
    const mode_t start_type = a ? a->type : S_IFDIR;
    // The objects walked through, start first (not owned); ".." goes back one.
    std::vector<glfs_object_t*> chain{start};
    std::vector<mode_t> types{start_type};
    struct drop_chain {
        std::vector<glfs_object_t*>& c;
        ~drop_chain()
        {
            int e = errno;
            for (size_t i = 1; i < c.size(); ++i)
                glfs_h_close(c[i]);
            errno = e;
        }
    } drop{chain};
    auto back_to_start = [&] {
        for (size_t i = 1; i < chain.size(); ++i)
            glfs_h_close(chain[i]);
        chain.resize(1);
        types.resize(1);
    };

    // Components still to walk, the next one last.
    std::vector<std::string> todo;
    split_components(rest, todo);
    std::reverse(todo.begin(), todo.end());
    bool beneath = false;  // walking the target of a followed final link
    int links = 0;
    struct stat st {};
    bool have_st = false;
    char target[PATH_MAX];
    while (!todo.empty()) {
        std::string name = std::move(todo.back());
        todo.pop_back();
        if (!S_ISDIR(types.back())) {
            errno = ENOTDIR;
            return false;
        }
        if (name == ".")
            continue;
        if (name == "..") {
            if (chain.size() == 1) {
                if (a) {
                    errno = EXDEV;
                    return false;
                }
                continue;  // ".." of the volume root is the root
            }
            glfs_h_close(chain.back());
            chain.pop_back();
            types.pop_back();
            have_st = false;
            continue;
        }
        object_ref found(glfs_h_lookupat(fs, chain.back(), name.c_str(), &st, 0));
        if (!found) {
            errno = failure_errno();
            return false;
        }
        if (!S_ISLNK(st.st_mode)) {
            chain.push_back(found.release());
            types.push_back(st.st_mode & S_IFMT);
            have_st = true;
            continue;
        }
        if (beneath) {
            if (++links > k_max_links) {
                errno = ELOOP;
                return false;
            }
            if (!read_link(fs, found.get(), target))
                return false;
            if (target[0] == '/') {
                errno = EXDEV;
                return false;
            }
            std::vector<std::string> parts;
            split_components(target, parts);
            todo.insert(todo.end(), parts.rbegin(), parts.rend());
            continue;
        }
        if (!todo.empty() || !follow_final || !a || !v.follow_final()) {
            errno = ELOOP;
            return false;
        }
        if (!read_link(fs, found.get(), target))
            return false;
        std::string full;
        if (target[0] == '/') {
            full = target;
        } else {
            size_t slash = path.rfind('/');
            full = path.substr(0, slash == std::string::npos ? 0 : slash) + "/" + target;
        }
        volpath joined;
        std::string below;
        bool exact = false;
        if (!joined.set(full.c_str()) || v.anchor_of(joined.path, below, exact) != a) {
            errno = EXDEV;
            return false;
        }
        back_to_start();
        split_components(below, todo);
        std::reverse(todo.begin(), todo.end());
        beneath = true;
        links = 1;
        have_st = false;
        out.followed = true;
    }
    if (chain.size() == 1) {
        // The walk ended where it began: the held object serves, with a fresh status.
        if (glfs_h_stat(fs, start, &out.st) != 0) {
            errno = failure_errno();
            return false;
        }
        out.obj = start;
        out.fresh = true;
        return true;
    }
    if (!have_st && glfs_h_stat(fs, chain.back(), &st) != 0) {
        errno = failure_errno();
        return false;
    }
    out.st = st;
    out.fresh = true;
    out.own(chain.back());
    chain.pop_back();
    return true;
}

// The object path (normalised) names for a call of v, with its status: as libgfapi resolves
// it on a plain volume and for a path that names a root of a confined one (the host may reach
// a root through links), by walk otherwise. False with errno.
bool lookup(const gluster_volume& v, const std::string& path, final_use use, located& out)
{
    const anchor* a = nullptr;
    std::string rest;
    bool exact = false;
    if (v.confined())
        a = v.anchor_of(path, rest, exact);
    if (!v.confined() || exact) {
        glfs_object_t* o = glfs_h_lookupat(v.fs(), nullptr, path.c_str(), &out.st, use == final_use::itself ? 0 : 1);
        if (!o) {
            errno = failure_errno();
            return false;
        }
        out.own(o);
        out.fresh = true;
        return true;
    }
    if (a && !a->obj) {
        errno = a->err;
        return false;
    }
    if (!a)
        rest = path;
    return walk(v, a, path, rest, use == final_use::read, out);
}

// The directory dir that holds the last component of p, for a call that makes or removes that
// name itself. Below a root of a confined context it is found beneath the root's held object,
// the root itself included: a name below a root is never made or removed through what the
// root's path names now. Elsewhere as lookup finds dir. False with errno.
bool lookup_parent(const gluster_volume& v, const volpath& p, const std::string& dir, located& out)
{
    std::string rest;
    bool exact = false;
    const anchor* a = v.confined() ? v.anchor_of(p.path, rest, exact) : nullptr;
    if (!a)
        return lookup(v, dir, final_use::other, out);
    if (!a->obj) {
        errno = a->err;
        return false;
    }
    size_t slash = rest.rfind('/');
    return walk(v, a, dir, slash == std::string::npos ? std::string() : rest.substr(0, slash), false, out);
}

// A handle of its own on what obj names (for one that is borrowed); null with errno.
glfs_object_t* duplicate(glfs_t* fs, glfs_object_t* obj)
{
    unsigned char id[GFAPI_HANDLE_LENGTH];
    if (glfs_h_extract_handle(obj, id, sizeof id) < 0) {
        errno = failure_errno();
        return nullptr;
    }
    glfs_object_t* copy = glfs_h_create_from_handle(fs, id, sizeof id, nullptr);
    if (!copy)
        errno = failure_errno();
    return copy;
}

// --- What a pool task keeps: object handles by path, so that a task looks each path up once
// (the brick answers every lookup), and attribute values fetched whole by a size query.

void release_object(intptr_t handle) { glfs_h_close(reinterpret_cast<glfs_object_t*>(handle)); }

// Whether a call may take the task's route: inside a pool task, for a path without the
// trailing slash that asks for a directory check.
bool task_route(const volpath& p) { return task_cache::active() && !p.dir_only; }

// Whether a call goes through an object handle: in a pool task (see task_route) and always in
// a confined context, where a path is never given to libgfapi to resolve.
bool object_route(const gluster_volume& v, const volpath& p) { return v.confined() || task_route(p); }

// The object p names for a call on the object route: the one the running task keeps, or a
// fresh lookup (st then set), which the task keeps for its later calls on p. What a followed
// final link led to is not kept: the task's calls that act on the link itself must still meet
// the link. False with errno.
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
    located at;
    if (!find_object(v, p, final_use::read, at))
        return -1;
    glfs_object_t* obj = at.obj;
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
            errno = failure_errno();
            return znfs_file_ptr();
        }
        return open_object(v, p, at.obj, at.st, flags);
    }
    struct stat st;
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
    if (!object_route(v, p)) {
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
        return code_after_failure();
    // glfs_h_unlink removes a directory as rmdir and anything else as unlink; the type asked
    // for is checked first. "name/" removes nothing for unlink: a directory is EISDIR, anything
    // else (a link to a directory too) ENOTDIR.
    if (dir && !S_ISDIR(st.st_mode))
        return errno_code(ENOTDIR);
    if (!dir && (S_ISDIR(st.st_mode) || p.dir_only))
        return errno_code(S_ISDIR(st.st_mode) ? EISDIR : ENOTDIR);
    if (glfs_h_unlink(v.fs(), parent.obj, name.c_str()) != 0)
        return code_after_failure();
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
        errno = failure_errno();
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
        errno = failure_errno();
    return r;
}

// --- Copies on the servers.
//
// libgfapi's copy_file_range asks the brick to copy the data itself, so it never crosses to the
// client: one call copied 32 MiB in 90 ms on a local single-brick volume, where reading and
// writing it through the client took 380 ms. What GlusterFS 10.3 does with it, tried on local
// volumes:
// - The source offset is lost on the way: every call copies from offset 0 of the source
//   (to the right destination offset). Only a range that starts at 0 is copied by the brick;
//   any other range, and whatever a brick call leaves undone, is read and written here.
// - The cluster translators pass the call to their first subvolume alone. On a distribute
//   volume of two bricks, pairs of files that lay on the second brick failed (EPERM, ENOENT
//   from the first); on replica 2 only the first brick got the data, with nothing marked to
//   heal, and a read served by the other replica found an empty file. Disperse was not tried,
//   and shards would not be followed. So the brick copies only on a volume of exactly one brick
//   and no sharding, as the client's own volume file tells at the time of the call (a brick
//   added later changes it); every other volume answers EOPNOTSUPP before anything moved, and
//   the caller reads and writes.
// - The metadata cache keeps the destination's size from before the call (a stat after it
//   said 0), so the backend refreshes it with the destination's true length.
//
// A small file is read and written here instead: the client's quick-read hands over its data
// with the lookup that found it, and write-behind keeps the write until the fsync that follows
// a copy, so that reading and writing it costs no round trip of its own, while the brick's copy
// costs two (the copy and the refresh). Creation of 200 files measured on a local volume, in
// place against read and written: 8 KiB files 0.45 s against 0.44 s, 32 KiB 0.50 against 0.53,
// 64 KiB 0.45 against 0.52, 128 KiB 0.47 against 0.70, 256 KiB 0.54 against 1.02; 32 files of
// 32 MiB 8 times faster (1.4 s against 11.2 s). The cut lies at the library's own block.
const uint64_t k_brick_copy_size = 32768;

// A range below this size has no holes worth looking for: one round trip fewer.
const uint64_t k_hole_scan_size = 1u << 20;

// Whether the brick may copy for this instance: its volume file has one brick and no shards.
bool brick_copies(glfs_t* fs)
{
    // glfs_get_volfile copies as many bytes as it is given room for, past the end of the
    // volume file, so it is first asked for the size (too little room: minus the size) and
    // then given exactly that.
    std::string graph;
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t n = glfs_get_volfile(fs, nullptr, 0);
        if (n >= 0)
            return false;
        graph.assign(static_cast<size_t>(-n), '\0');
        if (glfs_get_volfile(fs, &graph[0], graph.size()) == static_cast<ssize_t>(graph.size()))
            break;
        graph.clear();  // the volume file changed in between
    }
    graph.resize(strnlen(graph.c_str(), graph.size()));
    size_t bricks = 0;
    for (size_t at = graph.find("type protocol/client"); at != std::string::npos;
         at = graph.find("type protocol/client", at + 1))
        ++bricks;
    return bricks == 1 && graph.find("type features/shard") == std::string::npos;
}

// The failure of a copy that may have moved data already: never an answer that sends the
// caller to reading and writing over what was copied.
int64_t after_partial_copy()
{
    int e = failure_errno();
    errno = e == EXDEV || e == EOPNOTSUPP || e == ENOSYS || e == EINVAL ? EIO : e;
    return -1;
}

// Reads length bytes at from of in and writes them at to of out, through a buffer of this
// backend; with holes, only the data segments the brick reports (holes stay holes, and the
// caller gives the destination its length). Returns length, less where the source ends
// before it, or -1 + errno.
int64_t copy_through(glfs_fd_t* in, uint64_t from, glfs_fd_t* out, uint64_t to, uint64_t length, bool holes)
{
    const size_t room = static_cast<size_t>(std::min<uint64_t>(length, k_io_chunk));
    std::unique_ptr<char[]> buf(new (std::nothrow) char[room]);
    if (!buf) {
        errno = ENOMEM;
        return -1;
    }
    const uint64_t end = from + length;
    uint64_t pos = from;
    while (pos < end) {
        uint64_t stop = end;
        if (holes) {
            off_t data = glfs_lseek(in, static_cast<off_t>(pos), SEEK_DATA);
            if ((data < 0 && errno == ENXIO) || (data >= 0 && static_cast<uint64_t>(data) >= end))
                break;  // nothing but a hole up to the end
            if (data >= 0) {
                pos = static_cast<uint64_t>(data);
                off_t hole = glfs_lseek(in, data, SEEK_HOLE);
                if (hole >= 0)
                    stop = std::min<uint64_t>(static_cast<uint64_t>(hole), end);
            }
        }
        while (pos < stop) {
            size_t chunk = static_cast<size_t>(std::min<uint64_t>(stop - pos, room));
            ssize_t got = glfs_pread(in, buf.get(), chunk, static_cast<off_t>(pos), 0, nullptr);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                errno = failure_errno();
                return -1;
            }
            if (got == 0)  // the source ends here
                return static_cast<int64_t>(pos - from);
            int64_t put = backend::complete_transfer(
                backend::transfer_kind::write, static_cast<uint64_t>(got), static_cast<int64_t>(to + (pos - from)),
                k_io_chunk, [&](uint64_t done, size_t n, int64_t at) {
                    return glfs_pwrite(out, buf.get() + done, n, at, 0, nullptr, nullptr);
                });
            if (put < 0)
                return -1;
            pos += static_cast<uint64_t>(got);
        }
    }
    return static_cast<int64_t>(length);
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

    // The brick copies a range of 32 KiB and more that starts at offset 0 of a source without
    // holes, on a volume where it can (see "Copies on the servers"); the rest of the range, or
    // all of it, is read and written here. Holes of a source of 1 MiB and more stay holes.
    int64_t copy_range(znfs_file_ptr src, uint64_t srcoffset, znfs_file_ptr dst, uint64_t dstoffset, uint64_t length,
                       znfs_aio_ptr) override
    {
        gluster_file* in = file_of(src);
        gluster_file* out = in ? file_of(dst) : nullptr;
        if (!in || !out)
            return -1;
        if (in->accmode() == O_WRONLY || out->accmode() == O_RDONLY) {
            errno = EBADF;
            return -1;
        }
        if (in->isdir() || out->isdir()) {
            errno = EISDIR;
            return -1;
        }
        if (srcoffset > INT64_MAX || dstoffset > INT64_MAX || length > INT64_MAX - std::max(srcoffset, dstoffset)) {
            errno = EINVAL;
            return -1;
        }
        // Files of two volumes, or a volume whose bricks cannot copy: the caller reads and writes.
        glfs_t* fs = glfs_from_glfd(in->fd());
        if (fs != glfs_from_glfd(out->fd())) {
            errno = EXDEV;
            return -1;
        }
        if (!brick_copies(fs)) {
            errno = EOPNOTSUPP;
            return -1;
        }
        if (length == 0)
            return 0;
        bool holes = false;
        if (srcoffset != 0 || in->get_file_size() >= k_hole_scan_size) {
            struct stat st;
            if (glfs_fstat(in->fd(), &st) != 0) {
                errno = failure_errno();
                return -1;
            }
            const uint64_t size = static_cast<uint64_t>(st.st_size);
            length = srcoffset >= size ? 0 : std::min(length, size - srcoffset);
            if (length == 0)
                return 0;
            // Holes not reported (an error) are copied as data.
            off_t hole = glfs_lseek(in->fd(), static_cast<off_t>(srcoffset), SEEK_HOLE);
            holes = hole >= 0 && static_cast<uint64_t>(hole) < srcoffset + length;
        }
        uint64_t done = 0;
        if (srcoffset == 0 && !holes && std::min(length, in->get_file_size()) >= k_brick_copy_size) {
            off64_t from = 0, to = static_cast<off64_t>(dstoffset);
            struct glfs_stat post;
            memset(&post, 0, sizeof post);
            ssize_t n = glfs_copy_file_range(in->fd(), &from, out->fd(), &to, static_cast<size_t>(length), 0, nullptr,
                                             nullptr, &post);
            if (n < 0) {
                errno = failure_errno();  // nothing was copied: a refusal reaches the caller as it is
                return -1;
            }
            done = static_cast<uint64_t>(n);
            // The refresh of the metadata cache, at the destination's true length.
            uint64_t length_now = dstoffset + done;
            if (GLFS_STAT_SIZE_VALID(post.glfs_st_mask))
                length_now = std::max<uint64_t>(length_now, static_cast<uint64_t>(post.glfs_st_size));
            if (glfs_ftruncate(out->fd(), static_cast<off_t>(length_now), nullptr, nullptr) != 0)
                return after_partial_copy();
            // Short: where the source ends, or at the most one brick call copies (about 2 GiB);
            // a read tells which.
            if (done == length || done == 0)
                return static_cast<int64_t>(done);
        }
        int64_t n = copy_through(in->fd(), srcoffset + done, out->fd(), dstoffset + done, length - done, holes);
        if (n < 0)
            return after_partial_copy();
        done += static_cast<uint64_t>(n);
        if (holes) {
            // Holes at the end leave the destination short: give it the range's full length.
            struct stat st;
            if (glfs_fstat(out->fd(), &st) != 0)
                return after_partial_copy();
            if (static_cast<uint64_t>(st.st_size) < dstoffset + done &&
                glfs_ftruncate(out->fd(), static_cast<off_t>(dstoffset + done), nullptr, nullptr) != 0)
                return after_partial_copy();
        }
        return static_cast<int64_t>(done);
    }

    std::error_code chmod(znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs_aio_ptr) override
    {
        const gluster_volume* v = volume_of(iopx, path);
        if (!v)
            return errno_code(EINVAL);
        volpath p;
        if (!p.set(path))
            return errno_code(errno);
        located at;
        if (!lookup(*v, p.path, final_use::itself, at))
            return errno_code(errno);
        struct stat& st = at.st;
        if (S_ISLNK(st.st_mode))
            return errno_code(ELOOP);
        st.st_mode = (st.st_mode & S_IFMT) | static_cast<mode_t>(mode & 07777);
        if (glfs_h_setattrs(v->fs(), at.obj, &st, GFAPI_SET_ATTR_MODE) != 0)
            return errno_code(failure_errno());
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
            ec = code_after_failure();
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
            a.err = a.obj ? 0 : failure_errno();
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
        if (object_route(*v, p)) {
            located at;
            if (!find_object(*v, p, final_use::read, at))
                return errno_code(errno);
            if (!at.fresh && glfs_h_stat(v->fs(), at.obj, &at.st) != 0)
                return code_after_failure();
            *st = at.st;
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
        located parent;
        if (!lookup_parent(*v, p, dir, parent))
            return errno_code(errno);
        if (!S_ISDIR(parent.st.st_mode))
            return errno_code(ENOTDIR);
        const mode_t perm = static_cast<mode_t>(mode & 07777);
        struct stat st;
        object_ref made(glfs_h_mkdir(v->fs(), parent.obj, name.c_str(), perm, &st));
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
        if (v->confined())
            return remove_below(*v, p, true);
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
        if (v->confined())
            return remove_below(*v, p, false);
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
        if (v->confined())
            return opendir_object(*v, p);
        // libgfapi checks the type before it opens anything: a FIFO or device gives ENOTDIR.
        glfs_fd_t* fd = glfs_opendir(v->fs(), p.path.c_str());
        if (!fd) {
            errno = failure_errno();
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
            // following a link.
            glfs_t* fs = glfs_from_glfd(f->fd());
            struct stat st;
            if (f->dirobj()) {
                // A confined listing looks the name up below the directory it lists.
                object_ref entry(fs ? glfs_h_lookupat(fs, f->dirobj(), out->d_name, &st, 0) : nullptr);
                if (entry)
                    out->d_type = static_cast<unsigned char>(IFTODT(st.st_mode));
            } else {
                std::string full =
                    f->path() == "/" ? "/" + std::string(out->d_name) : f->path() + "/" + out->d_name;
                if (fs && glfs_lstat(fs, full.c_str(), &st) == 0)
                    out->d_type = static_cast<unsigned char>(IFTODT(st.st_mode));
            }
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
        if (!p.set(path))
            return -1;
        if (task_route(p))
            return task_getxattr(*v, p, name, iov);
        if (v->confined())
            return object_getxattr(*v, p, name, iov);
        if (!check_dir_demand(v->fs(), p))
            return -1;
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
        if (!p.set(path))
            return -1;
        if (task_route(p))
            return task_getxattr(*v, p, nullptr, iov);
        if (v->confined())
            return object_getxattr(*v, p, nullptr, iov);
        if (!check_dir_demand(v->fs(), p))
            return -1;
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
        if (!p.set(path))
            return errno_code(errno);
        if (object_route(*v, p)) {
            task_cache::drop_attribute();
            located at;
            if (!find_object(*v, p, final_use::other, at))
                return errno_code(errno);
            if (glfs_h_setxattrs(v->fs(), at.obj, name, iov->iov_base, iov->iov_len, static_cast<int>(flags)) != 0)
                return code_after_failure();
            return std::error_code();
        }
        if (!check_dir_demand(v->fs(), p))
            return errno_code(errno);
        if (glfs_setxattr(v->fs(), p.path.c_str(), name, iov->iov_base, iov->iov_len, static_cast<int>(flags)) != 0)
            return code_after_failure();
        return std::error_code();
    }
};

// Every call that names a path answers absence (ENOENT, ESTALE) only when the volume was whole
// from before the call until after it (see wholeness); listings keep the rule themselves.
class gluster_api_impl final : public gluster_calls {
public:
    znfs_file_ptr open(znfs_iopx_ptr iopx, const char* path, int32_t flags, znfs_aio_ptr aio) override
    {
        return file_call(iopx, [&] { return gluster_calls::open(iopx, path, flags, aio); });
    }
    znfs_file_ptr creat(znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t mode, znfs_aio_ptr aio) override
    {
        return file_call(iopx, [&] { return gluster_calls::creat(iopx, path, flags, mode, aio); });
    }
    std::error_code stat(znfs_iopx_ptr iopx, const char* path, struct stat* st, znfs_aio_ptr aio) override
    {
        return code_call(iopx, [&] { return gluster_calls::stat(iopx, path, st, aio); });
    }
    std::error_code mkdir(znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs_aio_ptr aio) override
    {
        return code_call(iopx, [&] { return gluster_calls::mkdir(iopx, path, mode, aio); });
    }
    std::error_code rmdir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) override
    {
        return code_call(iopx, [&] { return gluster_calls::rmdir(iopx, path, aio); });
    }
    std::error_code unlink(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) override
    {
        return code_call(iopx, [&] { return gluster_calls::unlink(iopx, path, aio); });
    }
    znfs_file_ptr opendir(znfs_iopx_ptr iopx, const char* path, znfs_aio_ptr aio) override
    {
        return file_call(iopx, [&] { return gluster_calls::opendir(iopx, path, aio); });
    }
    int64_t getxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                     znfs_aio_ptr aio) override
    {
        return count_call(iopx, [&] { return gluster_calls::getxattr(iopx, path, name, iov, aio); });
    }
    int64_t listxattr(znfs_iopx_ptr iopx, const char* path, struct iovec* iov, znfs_aio_ptr aio) override
    {
        return count_call(iopx, [&] { return gluster_calls::listxattr(iopx, path, iov, aio); });
    }
    std::error_code setxattr(znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                             uint64_t flags, znfs_aio_ptr aio) override
    {
        return code_call(iopx, [&] { return gluster_calls::setxattr(iopx, path, name, iov, flags, aio); });
    }
    std::error_code chmod(znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs_aio_ptr aio) override
    {
        return code_call(iopx, [&] { return gluster_calls::chmod(iopx, path, mode, aio); });
    }

private:
    // The volume's wholeness record; null for a context that is not this backend's (the call
    // refuses it).
    static wholeness* whole_of(const znfs_iopx_ptr& iopx)
    {
        const gluster_volume* v = dynamic_cast<const gluster_volume*>(iopx.get());
        return v ? v->whole().get() : nullptr;
    }
    template <class F>
    static std::error_code code_call(const znfs_iopx_ptr& iopx, F call)
    {
        bracket b(whole_of(iopx));
        std::error_code ec = call();
        return ec ? errno_code(b.settle(ec.value())) : ec;
    }
    template <class F>
    static znfs_file_ptr file_call(const znfs_iopx_ptr& iopx, F call)
    {
        bracket b(whole_of(iopx));
        znfs_file_ptr f = call();
        if (!f)
            errno = b.settle(failure_errno());
        return f;
    }
    template <class F>
    static int64_t count_call(const znfs_iopx_ptr& iopx, F call)
    {
        bracket b(whole_of(iopx));
        int64_t r = call();
        if (r < 0)
            errno = b.settle(failure_errno());
        return r;
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
    // A listing or a lookup that finds nothing is trusted only when made while the volume is
    // whole (see wholeness): entries read ahead and absences remembered from earlier, which
    // these translators would hand out when a volume enables them, were not.
    glfs_set_xlator_option(fs, "*-readdir-ahead", "pass-through", "true");
    glfs_set_xlator_option(fs, "*-nl-cache", "pass-through", "true");

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
// volume does not hold up the others; g_registry_mutex guards the map only.
struct registry_entry {
    std::mutex m_mutex;  // guards m_volume
    znfs_iopx_ptr m_volume;
};

std::mutex g_registry_mutex;
std::map<std::string, std::shared_ptr<registry_entry>>* g_registry;

std::shared_ptr<registry_entry> registry_slot(const std::string& key)
{
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    // Never destroyed: instances outlive static destruction, since handles may still be
    // open while the process ends.
    if (!g_registry)
        g_registry = new std::map<std::string, std::shared_ptr<registry_entry>>();
    std::shared_ptr<registry_entry>& slot = (*g_registry)[key];
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

bool is_gluster_volume(const znfs_iopx_ptr& iopx) { return dynamic_cast<const gluster_volume*>(iopx.get()) != nullptr; }

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
        slot->m_volume.reset(new gluster_volume(fs, "gluster://" + key, std::make_shared<wholeness>(fs)));
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

bool is_gluster_volume(const znfs_iopx_ptr&) { return false; }

znfs_iopx_ptr make_gluster_volume(const std::string&, uint16_t, const std::string&, std::error_code& ec)
{
    ec = errno_code(ENOTSUP);
    return znfs_iopx_ptr();
}

}  // namespace znfs

#endif
