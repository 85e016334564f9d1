#include "znfssc_frame.h"

#include <boost/make_shared.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <sys/uio.h>
#include <utility>
#include <vector>

namespace znfssnapcore {

error_code snap_opcreate(znfssnapcore_opinfo* opinfo)
{
    return frame::run<znfssnapcreate::znfssnapcreate>(opinfo, &znfssnapcreate::znfssnapcreate::opcreate_start,
                                                      "snap_opcreate");
}

namespace znfssnapcreate {

namespace {

const char* const k_create_fn = "snap_opcreate";

// Owner and group are not carried over, so a copy must not become set-user-ID or
// set-group-ID for whoever happens to own it; every other bit stays as it was.
uint64_t copy_mode(mode_t mode) { return static_cast<uint64_t>(mode & ~static_cast<mode_t>(S_ISUID | S_ISGID)); }

// Entries that can be created but hold no data to copy; opening one could block (FIFO) or
// reach a driver (device).
bool is_special(mode_t mode) { return S_ISFIFO(mode) || S_ISSOCK(mode) || S_ISCHR(mode) || S_ISBLK(mode); }

// How often an attribute list or value that grew between the size query and the read is
// queried again before the attribute counts as failed.
const int k_xattr_attempts = 5;

// A copy is created exclusively (O_WRONLY|O_TRUNC|O_EXCL): an entry already there, or a link
// planted where the copy goes, is an error for that entry and is never written through.
const int32_t k_copy_flags = 0x201 | O_EXCL;

// The buffer an attribute list or value is first read into; a larger one is sized first.
const uint64_t k_attr_guess = 4096;

// How a read of an attribute list or value ended. On success its len bytes are at base, in buf.
struct sized_read {
    enum class step { none, size, buffer, read };
    step failed = step::none;  // the step that failed: the size query (or the read into the guess),
                               // the buffer of the size queried, or the read into that buffer
    int err = 0;               // errno of the failed step; ENOMEM for the buffer
    int64_t wanted = 0;        // the size of the buffer that could not be had
    znfs::znfs_buff_ptr buf;   // the guess itself when the bytes fitted it
    void* base = nullptr;
    int64_t len = 0;
};

// Reads a list or value whose size is not known beforehand; call is listxattr or getxattr of
// one name, and answers the size for an empty iovec. Most fit the guess buffer (when there is
// one) and take one call. What does not fit (ERANGE) takes the size query and a buffer of that
// size, zeroed; when it grew between the query and the read (ERANGE again) it is sized again,
// at most k_xattr_attempts times. A read that got less than the size keeps the bytes read. A
// size of 0 ends the read without a buffer, or with an empty one when empty_in_buffer.
sized_read read_sized(znfs::znfs_api* api, const znfs::znfs_buff_ptr& guess, bool empty_in_buffer,
                      const std::function<int64_t(struct iovec*)>& call)
{
    sized_read r;
    if (guess) {
        struct iovec first = {guess->get_base(), k_attr_guess};
        int64_t got = call(&first);
        if (got >= 0) {
            r.buf = guess;
            r.base = guess->get_base();
            r.len = got;
            return r;
        }
        if (errno != ERANGE) {
            r.failed = sized_read::step::size;
            r.err = errno;
            return r;
        }
    }
    for (int attempt = 1;; ++attempt) {
        struct iovec query = {nullptr, 0};
        int64_t size = call(&query);
        if (size == -1) {
            r.failed = sized_read::step::size;
            r.err = errno;
            return r;
        }
        if (size == 0 && !empty_in_buffer)
            return r;
        r.buf = api->alloc_io_buffer(static_cast<uint64_t>(size));
        if (!r.buf) {
            r.failed = sized_read::step::buffer;
            r.err = ENOMEM;
            r.wanted = size;
            return r;
        }
        std::memset(r.buf->get_base(), 0, static_cast<size_t>(size));
        r.base = r.buf->get_base();
        r.len = size;
        if (size == 0)
            return r;
        struct iovec v = {r.base, static_cast<size_t>(size)};
        int64_t got = call(&v);
        if (got != -1) {
            if (got < size)
                r.len = got;
            return r;
        }
        int e = errno;
        if (e == ERANGE && attempt < k_xattr_attempts)
            continue;
        r.failed = sized_read::step::read;
        r.err = e;
        return r;
    }
}

// Items queued for the pool beyond which a lister copies the next entry itself: a few MB of
// queued items, and still far more than the workers can take at once.
const int64_t k_queue_limit = 4096;

// Subdirectories copied by listers themselves at once, in the whole process. Each holds its
// directory open while it lists it, and listers nest on one thread's stack, so open handles
// and stack stay bounded whatever the pool size; past that a subdirectory is queued anyway
// (one item: the bound on the queue gives way only to a tree deep and wide at once).
const int k_nested_listers = 32;
std::atomic<int> g_nested_listers{0};

bool take_nested_lister()
{
    int n = g_nested_listers.load(std::memory_order_relaxed);
    while (n < k_nested_listers)
        if (g_nested_listers.compare_exchange_weak(n, n + 1, std::memory_order_relaxed))
            return true;
    return false;
}

// A directory copy stays owner-only until everything below it is copied, so that nobody can
// write into it meanwhile (and a host that is not root can fill a read-only one).
const uint32_t k_filling_mode = 0700;

// A copy created in a directory with a default ACL inherits it. Its own attributes must be
// exactly its source's, so an inherited ACL the source lacks is replaced: an access ACL by the
// one that stands for the mode alone (the kernel then drops it), a default ACL by an empty one.
using frame::k_acl_access;
using frame::k_acl_default;

string minimal_acl(uint32_t mode)
{
    auto le16 = [](string& out, uint16_t v) { out.push_back(char(v & 0xff)), out.push_back(char(v >> 8)); };
    auto le32 = [&](string& out, uint32_t v) { le16(out, uint16_t(v & 0xffff)), le16(out, uint16_t(v >> 16)); };
    string acl;
    le32(acl, 2);  // the version of the attribute's layout
    for (auto entry : {std::make_pair(0x01, (mode >> 6) & 7), std::make_pair(0x04, (mode >> 3) & 7),
                       std::make_pair(0x20, mode & 7)}) {
        le16(acl, uint16_t(entry.first));
        le16(acl, uint16_t(entry.second));
        le32(acl, 0xffffffffu);
    }
    return acl;
}

// 1 when path has the attribute, 0 when not (a volume without ACLs has none), -1 when the read
// failed otherwise (errno tells why).
int attribute_present(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const string& path, const char* name)
{
    struct iovec q = {nullptr, 0};
    if (api->getxattr(iopx, path.c_str(), name, &q, znfs::znfs_aio_ptr()) >= 0)
        return 1;
    return frame::no_such_attribute(errno) ? 0 : -1;
}

// Whether a copy's directory has a default ACL; a read that fails answers "yes", the cautious
// answer (each copy in it is then checked), and says so in the log.
bool has_default_acl(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const string& path,
                     znfs::znfs_debug& logger)
{
    int r = attribute_present(api, iopx, path, k_acl_default);
    if (r < 0)
        logger.debug("znfssnapcreate::copyattr", -1,
                     "Failed to read attribute [%s] of [%s], taken as present: %s", k_acl_default, path.c_str(),
                     frame::errno_text(errno).c_str());
    return r != 0;
}

// The log name of the walk's lines, whichever walk runs.
const char* const k_traverse_fn = "znfssnapcreate::dirtraverse";

// Directory entries the walk never copies: the directory itself, its parent, and ".snaps",
// where snapshots (this one perhaps) are kept.
bool skipped_dir(const string& name) { return name == "." || name == ".." || name == ".snaps"; }

bool same_inode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// EINVAL when one of the two trees is the other or lies below it, found by device and inode up
// the ".." chain (links and "." in the paths given do not hide it). A root that is not there is
// no overlap: its copy fails on its own. Any other failure leaves the question open: an error.
// snapst: the snapshot directory's status, when both roots were there to compare.
error_code trees_apart(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const string& dataset,
                       const string& snapdir, struct stat* snapst)
{
    struct stat dst, sst;
    for (auto root : {std::make_pair(&dataset, &dst), std::make_pair(&snapdir, &sst)}) {
        error_code ec = api->stat(iopx, root.first->c_str(), root.second, znfs::znfs_aio_ptr());
        if (ec)
            return ec.value() == ENOENT || ec.value() == ENOTDIR ? error_code() : ec;
    }
    *snapst = sst;
    // chain: inner and each directory above it, up to the one found to be outer.
    auto within = [&](const string& inner, const struct stat& outer,
                      std::vector<std::pair<string, struct stat>>& chain) -> error_code {
        string cur = inner;
        struct stat st {}, prev {};
        for (int depth = 0;; ++depth) {
            error_code ec = api->stat(iopx, cur.c_str(), &st, znfs::znfs_aio_ptr());
            if (ec)
                return ec;
            chain.emplace_back(cur, st);
            if (same_inode(st, outer))
                return znfs::generic_code(EINVAL);
            if (depth > 0 && same_inode(st, prev))
                return error_code();  // the volume root: its ".." is itself
            prev = st;
            cur += "/..";
        }
    };
    std::vector<std::pair<string, struct stat>> chain;
    error_code ec = within(snapdir, dst, chain);
    // The walk skips directories named ".snaps", so snapshots may live in one inside their
    // dataset: only when a directory on the way up really is one, entered by that name and no
    // link. A ".snaps" that is a link to another directory of the dataset, or a ".." after it,
    // would have the walk copy the snapshot into itself.
    for (size_t up = 1; ec.value() == EINVAL && up < chain.size(); ++up) {
        error_code cec;
        znfs::znfs_iopx_ptr below = api->confine(iopx, {chain[up].first}, znfs::znfs_api::final_link::refuse, cec);
        struct stat st {};
        if (below && !api->stat(below, (chain[up].first + "/.snaps").c_str(), &st, znfs::znfs_aio_ptr()) &&
            S_ISDIR(st.st_mode) && same_inode(st, chain[up - 1].second))
            ec = error_code();
    }
    chain.clear();
    return ec ? ec : within(dataset, sst, chain);
}

// Whether path names a place below dir, told from the names alone (repeated and trailing
// slashes aside).
bool lies_below(const string& path, const string& dir)
{
    auto plain = [](const string& p) {
        string out;
        for (char c : p)
            if (c != '/' || out.empty() || out.back() != '/')
                out += c;
        while (out.size() > 1 && out.back() == '/')
            out.pop_back();
        return out;
    };
    const string inner = plain(path), outer = plain(dir);
    const string head = outer == "/" ? outer : outer + "/";
    return inner.size() > head.size() && inner.compare(0, head.size(), head) == 0;
}

}  // namespace

znfssnapcreate::znfssnapcreate(znfssnapcore_opinfo* opinfo)
    : znfssnapframe(opinfo, "znfssnapcreate::znfssnapcreate"), m_copied(0), m_failed(0), m_sync_each_file(false),
      m_root_acl(false), m_queued(0), m_queued_peak(0), m_queue_limit(k_queue_limit)
{
}

znfssnapcreate::~znfssnapcreate() {}

error_code znfssnapcreate::opcreate_start()
{
    // A record without its inputs would send every call below through a null pointer.
    if (!frame::require(*this, k_create_fn, m_opinfo != nullptr, "opinfo"))
        return frame::invalid_argument();
    const znfssnapcore_opinfo& op = *m_opinfo;
    if (!frame::require(*this, k_create_fn, op.snapfsapi != nullptr, "snapfsapi") ||
        !frame::require(*this, k_create_fn, static_cast<bool>(op.snapiopx), "snapiopx") ||
        !frame::require(*this, k_create_fn, !op.snapdir.empty(), "snapdir") ||
        !frame::require(*this, k_create_fn, !op.datasetdir.empty(), "datasetdir"))
        return frame::invalid_argument();

    debug(k_create_fn, 0, "Starting snap_opcreate");
    if (enabled(1))
        debug(k_create_fn, 1, "ThrID: %s", frame::thread_id_text().c_str());

    m_znfsapi = op.snapfsapi;
    m_iopx = op.snapiopx;
    m_snapdir = op.snapdir;
    debug(k_create_fn, 1, "snapdir=[%s] &m_znfsapi=[%p] &m_iopx=[%p]", m_snapdir.c_str(),
          static_cast<void*>(m_znfsapi), static_cast<void*>(m_iopx.get()));

    // The two trees must lie apart: a snapshot that is its dataset would be emptied by its own
    // copy, one inside it would copy itself, and a dataset inside its snapshot likewise.
    struct stat snapst;
    std::memset(&snapst, 0, sizeof snapst);
    error_code ec = trees_apart(m_znfsapi, m_iopx, op.datasetdir, m_snapdir, &snapst);
    if (ec) {
        debug(k_create_fn, -1, "Snapshot [%s] and dataset [%s] overlap or cannot be told apart (%s): nothing copied",
              m_snapdir.c_str(), op.datasetdir.c_str(), ec.message().c_str());
        return ec;
    }

    // From here on the dataset and the snapshot are reached through their roots, and nothing
    // below a root through a symbolic link: their owners may swap a directory for a link at any
    // moment, and the copy must neither leave the dataset nor write outside the snapshot.
    znfs::znfs_iopx_ptr plain = m_iopx;
    // A snapshot kept in its dataset (in .snaps) is reached through the dataset's own tree, whose
    // owner may have swapped a directory on the way for a link to lead the copy elsewhere: it is
    // resolved below the dataset, through no link.
    const bool kept_inside = lies_below(m_snapdir, op.datasetdir);
    if (kept_inside)
        plain = m_znfsapi->confine(m_iopx, {op.datasetdir}, znfs::znfs_api::final_link::refuse, ec);
    if (plain)
        m_iopx = m_znfsapi->confine(plain, {op.datasetdir, m_snapdir}, znfs::znfs_api::final_link::follow_beneath, ec);
    else
        m_iopx.reset();
    if (m_iopx)
        m_iopx_nofollow = m_znfsapi->confine(plain, {op.datasetdir, m_snapdir}, znfs::znfs_api::final_link::refuse, ec);
    if (!m_iopx || !m_iopx_nofollow) {
        debug(k_create_fn, -1, "Failed to confine snapshot [%s] and dataset [%s] (%s): nothing copied",
              m_snapdir.c_str(), op.datasetdir.c_str(), (ec ? ec : znfs::generic_code(EINVAL)).message().c_str());
        return ec ? ec : znfs::generic_code(EINVAL);
    }

    // The snapshot as the copy will write it, which is the one the walk must never enter: the
    // path may have named another directory a moment ago.
    struct stat anchored;
    ec = m_znfsapi->stat(m_iopx_nofollow, (m_snapdir + "/.").c_str(), &anchored, znfs::znfs_aio_ptr());
    if (ec) {
        if (ec.value() == ELOOP && kept_inside)
            debug(k_create_fn, -1,
                  "Snapshot [%s] is reached through a symbolic link inside dataset [%s]: nothing copied",
                  m_snapdir.c_str(), op.datasetdir.c_str());
        else
            debug(k_create_fn, -1, "Failed to reach snapshot [%s] (%s): nothing copied", m_snapdir.c_str(),
                  ec.message().c_str());
        return ec;
    }
    snapst = anchored;
    if (snapst.st_ino != 0) {
        m_snapdir_dev = static_cast<uint64_t>(snapst.st_dev);
        m_snapdir_ino = static_cast<uint64_t>(snapst.st_ino);
        m_snapdir_known = true;
    }

    // A snapshot that has its bookkeeping is finished: copying today's data over it would
    // destroy the point-in-time copy and empty its delete list. One without bookkeeping (a
    // creation that stopped part-way) is copied into again.
    string dirpath = m_snapdir + znfssnaputils::sdellistdir;
    struct stat bst;
    ec = m_znfsapi->stat(m_iopx, dirpath.c_str(), &bst, znfs::znfs_aio_ptr());
    if (!ec || ec.value() != ENOENT) {
        if (!ec) {
            debug(k_create_fn, -1, "Snapshot [%s] is finished ([%s] exists): nothing copied", m_snapdir.c_str(),
                  znfssnaputils::sdellistdir.c_str());
            return znfs::generic_code(EEXIST);
        }
        debug(k_create_fn, -1, "Failed to look for [%s] in snapshot [%s] (%s): nothing copied",
              znfssnaputils::sdellistdir.c_str(), m_snapdir.c_str(), ec.message().c_str());
        return ec;
    }

    // Bookkeeping present must mean data present after a power cut. A volume-wide flush after
    // the copy is cheap; where the backend has none, every copied file is flushed on its own.
    m_sync_each_file = static_cast<bool>(m_znfsapi->syncfs(m_iopx, znfs::znfs_aio_ptr()));
    m_root_acl = has_default_acl(m_znfsapi, m_iopx, m_snapdir, *this);

    copy_dataset(op.datasetdir);

    uint64_t failed = m_failed.load();
    if (failed != 0)
        debug(k_create_fn, -1, "Snapshot incomplete: [%llu] entries failed to copy",
              static_cast<unsigned long long>(failed));

    if (!m_sync_each_file) {
        ec = m_znfsapi->syncfs(m_iopx, znfs::znfs_aio_ptr());
        if (ec) {
            debug(k_create_fn, -1, "Failed to make snapshot [%s] durable: %s", m_snapdir.c_str(), ec.message().c_str());
            return ec;
        }
    }

    // The bookkeeping is made only now, when no worker is left copying.
    debug(k_create_fn, 1, "creating directory [%s]", dirpath.c_str());
    ec = m_znfsapi->mkdir(m_iopx, dirpath.c_str(), 0760, znfs::znfs_aio_ptr());
    if (ec.value() != 0) {
        debug(k_create_fn, -1, "Failed to create directory [%s]", znfssnaputils::sdellistdir.c_str());
        return ec;
    }

    string listpath = m_snapdir + znfssnaputils::sdelfilelist;
    // Bookkeeping that is there reads as a finished snapshot, and a rerun would refuse to take
    // it again: a creation that reports failure takes back what it made of it.
    auto take_back = [&](bool list_made) {
        error_code uec = list_made ? m_znfsapi->unlink(m_iopx, listpath.c_str(), znfs::znfs_aio_ptr()) : error_code();
        if (!uec)
            uec = m_znfsapi->rmdir(m_iopx, dirpath.c_str(), znfs::znfs_aio_ptr());
        if (uec)
            error(k_create_fn, "Failed to remove the unfinished bookkeeping [%s] of snapshot [%s]: %s",
                  znfssnaputils::sdellistdir.c_str(), m_snapdir.c_str(), uec.message().c_str());
    };
    debug(k_create_fn, 1, "creating file [%s]", listpath.c_str());
    znfs::znfs_file_ptr fp = m_znfsapi->creat(m_iopx, listpath.c_str(), 0x201, 0760, znfs::znfs_aio_ptr());
    if (!fp) {
        int e = znfs::errno_or_eio();
        error(k_create_fn, "Failed to create file [%s] ", znfssnaputils::sdelfilelist.c_str());
        take_back(false);
        return znfs::generic_code(e);
    }
    // A success is reported only for bookkeeping that a power cut does not take back.
    error_code sc = m_sync_each_file ? m_znfsapi->fsync(fp, znfs::znfs_aio_ptr())
                                     : m_znfsapi->syncfs(m_iopx, znfs::znfs_aio_ptr());
    m_znfsapi->close(fp, znfs::znfs_aio_ptr());
    if (sc) {
        debug(k_create_fn, -1, "Failed to make file [%s] durable: %s", listpath.c_str(), sc.message().c_str());
        take_back(true);
        return sc;
    }

    if (failed == 0)
        m_opinfo->opstatus = 0;
    return ec;
}

int znfssnapcreate::copy_dataset(string datasetdir)
{
    dirtraverse(datasetdir, "");
    if (m_thpool_enabled) {
        debug("znfssnapcreate::copy_dataset", 1, "Waiting for all threads to join");
        m_thpool->wait_joinall_threads();
    }
    return 0;
}

// A directory copy that keeps its owner-only mode until every item below it has finished.
struct znfssnapcreate::pending_dir {
    pending_dir(string path, uint32_t m, bool acl, pending_ptr up)
        : destpath(std::move(path)), mode(m), default_acl(acl), parent(std::move(up))
    {
    }
    string destpath;
    uint32_t mode;
    bool default_acl;  // the copy has a default ACL, which what is copied into it inherits
    pending_ptr parent;
    std::atomic<int64_t> open{1};  // the listing itself, and one per item posted for an entry
};

void znfssnapcreate::dirtraverse(string dirbasepath, string dirname) { traverse(dirbasepath, dirname, pending_ptr()); }

bool znfssnapcreate::inherits_acl(const pending_ptr& dir) const { return dir ? dir->default_acl : m_root_acl; }

void znfssnapcreate::traverse(const string& dirbasepath, const string& dirname, const pending_ptr& dir)
{
    if (m_thpool_enabled)
        pool_walk(dirbasepath, dirname, dir);
    else
        inline_walk(dirbasepath, dirname, inherits_acl(dir));
}

void znfssnapcreate::list_directory(const string& dirbasepath, const string& rel, const entry_fn& take)
{
    debug(k_traverse_fn, 1, "Traverse: dirbasepath [%s] dirname [%s]", dirbasepath.c_str(), rel.c_str());
    string srcdirpath = dirbasepath + "/" + rel;
    znfs::znfs_file_ptr dh = m_znfsapi->opendir(m_iopx, srcdirpath.c_str(), znfs::znfs_aio_ptr());
    if (!dh) {
        error(k_traverse_fn, "Failed to open directory [%s] in livefs volume", rel.c_str());
        m_failed.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    bool listed = true;
    for (;;) {
        errno = 0;
        struct dirent* de = m_znfsapi->readdir(dh, znfs::znfs_aio_ptr());
        if (!de) {
            int e = errno;
            if (e != 0) {
                debug(k_traverse_fn, -1, "Failed to read directory [%s]: %s", srcdirpath.c_str(),
                      frame::errno_text(e).c_str());
                listed = false;
            }
            break;
        }
        string name(de->d_name);
        if (rel.empty() && name == ".delete") {
            // The snapshot keeps its bookkeeping under that name: a copy of a directory would
            // collide with it, and deletion would read the user's list as the snapshot's own; a
            // copy of a file or link would take the name and fail every creation.
            debug(k_traverse_fn, -1, "Skipping %s [%s/.delete]: the name of the snapshot's bookkeeping",
                  de->d_type == DT_DIR ? "directory" : "entry", dirbasepath.c_str());
            continue;
        }
        take(de->d_type, std::move(name));
    }
    m_znfsapi->closedir(dh, znfs::znfs_aio_ptr());
    // A directory counts as copied once it was created and all of its entries dispatched.
    if (!listed)
        m_failed.fetch_add(1, std::memory_order_relaxed);
    else if (!rel.empty())
        m_copied.fetch_add(1, std::memory_order_relaxed);
}

void znfssnapcreate::pool_walk(const string& dirbasepath, const string& dirname, const pending_ptr& dir)
{
    // Only the entries of this directory are dispatched from here; a subdirectory is listed by
    // its own item.
    string srcdirpath = dirbasepath + "/" + dirname;
    list_directory(dirbasepath, dirname, [&](unsigned char type, string&& name) {
        if (type == DT_DIR) {
            if (skipped_dir(name))
                return;
            if (enabled(1))
                debug(k_traverse_fn, 1, "Posting work for dirname [%s]", (srcdirpath + "/" + name).c_str());
            if (dir)
                dir->open.fetch_add(1, std::memory_order_relaxed);
            string destbasepath = m_snapdir + "/" + dirname;
            // A directory of a million subdirectories would otherwise queue a million items.
            if (m_queued.load(std::memory_order_relaxed) >= m_queue_limit && take_nested_lister()) {
                directory_here(dirbasepath, dirname, name, destbasepath, dir);
                return;
            }
            queued(1);
            m_thpool->get_iosvc()->post([this, dirbasepath, dirname, name, destbasepath, dir] {
                queued(-1);
                frame::count_if_thrown(
                    *this, k_traverse_fn, [&] { return dirbasepath + "/" + dirname + "/" + name; }, m_failed,
                    [&] { directory_item(dirbasepath, dirname, name, destbasepath, dir); });
            });
            return;
        }
        debug(k_traverse_fn, 1, "Posting work for filename [%s]", name.c_str());
        if (dir)
            dir->open.fetch_add(1, std::memory_order_relaxed);
        // A full queue is drained by the lister itself: it copies the file at once instead of
        // queueing it, so the queue never holds more than about k_queue_limit files however
        // large a directory is, and no thread ever waits for another to make room.
        if (m_queued.load(std::memory_order_relaxed) >= m_queue_limit) {
            process_file(srcdirpath, name, m_snapdir, dirname, inherits_acl(dir));
            finished(dir);
        } else {
            queued(1);
            m_thpool->get_iosvc()->post([this, srcdirpath, name, dirname, dir] {
                queued(-1);
                file_item(srcdirpath, name, m_snapdir, dirname, dir);
            });
        }
    });
}

void znfssnapcreate::directory_here(const string& dirbasepath, const string& dirname, const string& name,
                                    const string& destbasepath, const pending_ptr& parent)
{
    struct slot {
        ~slot() { g_nested_listers.fetch_sub(1, std::memory_order_relaxed); }
    } taken;
    frame::count_if_thrown(
        *this, k_traverse_fn, [&] { return dirbasepath + "/" + dirname + "/" + name; }, m_failed,
        [&] { directory_item(dirbasepath, dirname, name, destbasepath, parent); });
}

void znfssnapcreate::inline_walk(const string& dirbasepath, const string& dirname, bool default_acl)
{
    // Depth first in readdir order on the caller's thread. The pending levels live on the heap,
    // not on that thread's stack, and each directory is read whole before its entries are
    // copied: a deep tree needs neither a deep stack nor one open handle per level. A level's
    // directory gets its final mode when the level is done (the first level's is the caller's).
    struct level {
        string rel;
        uint32_t mode;
        bool default_acl;
        std::vector<std::pair<unsigned char, string>> entries;
        size_t next;
    };
    std::vector<level> pending;
    auto push = [&](const string& rel, uint32_t mode, bool acl) {
        pending.push_back(level{rel, mode, acl, {}, 0});
        std::vector<std::pair<unsigned char, string>> entries;
        list_directory(dirbasepath, rel,
                       [&](unsigned char type, string&& name) { entries.emplace_back(type, std::move(name)); });
        pending.back().entries = std::move(entries);
    };
    push(dirname, 0, default_acl);
    while (!pending.empty()) {
        level& top = pending.back();
        if (top.next == top.entries.size()) {
            if (pending.size() > 1)
                set_final_mode(m_snapdir + "/" + top.rel, top.mode);
            pending.pop_back();
            continue;
        }
        std::pair<unsigned char, string> entry = std::move(top.entries[top.next++]);
        string rel = top.rel;  // top does not survive a push
        if (entry.first == DT_DIR) {
            if (skipped_dir(entry.second))
                continue;
            uint32_t mode = 0;
            bool acl = top.default_acl;
            error_code ec = make_directory(dirbasepath + "/" + rel, entry.second, m_snapdir + "/" + rel, mode, acl);
            if (ec.value() == 0)
                push(rel + "/" + entry.second, mode, acl);
        } else {
            process_file(dirbasepath + "/" + rel, entry.second, m_snapdir, rel, top.default_acl);
        }
    }
}

void znfssnapcreate::processdir(string dirbasepath, string srcdirpath, string dirname, string destbasepath)
{
    directory_item(dirbasepath, srcdirpath, dirname, destbasepath, pending_ptr());
}

void znfssnapcreate::queued(int64_t n)
{
    int64_t now = m_queued.fetch_add(n, std::memory_order_relaxed) + n;
    uint64_t peak = m_queued_peak.load(std::memory_order_relaxed);
    while (now > 0 && static_cast<uint64_t>(now) > peak &&
           !m_queued_peak.compare_exchange_weak(peak, static_cast<uint64_t>(now), std::memory_order_relaxed)) {
    }
}

void znfssnapcreate::directory_item(string dirbasepath, string srcdirpath, string dirname, string destbasepath,
                                    pending_ptr parent)
{

    if (enabled(1))
        debug("znfssnapcreate::processdir", 1,
              "ThrID: [%s] dirbasepath [%s] srcdirpath [%s] dirname [%s] destbasepath [%s]",
              frame::thread_id_text().c_str(), dirbasepath.c_str(), srcdirpath.c_str(), dirname.c_str(),
              destbasepath.c_str());
    uint32_t mode = 0;
    bool acl = inherits_acl(parent);
    error_code ec = make_directory(dirbasepath + "/" + srcdirpath, dirname, destbasepath, mode, acl);
    if (ec.value() == 0) {
        pending_ptr dir = boost::make_shared<pending_dir>(destbasepath + "/" + dirname, mode, acl, parent);
        traverse(dirbasepath, srcdirpath + "/" + dirname, dir);
        finished(dir);
    } else {
        finished(parent);
    }
}

void znfssnapcreate::processfile(string srcdirpath, string filename, string destbasepath, string dirname)
{
    process_file(srcdirpath, filename, destbasepath, dirname,
                 has_default_acl(m_znfsapi, m_iopx, destbasepath + "/" + dirname, *this));
}

void znfssnapcreate::process_file(const string& srcdirpath, const string& filename, const string& destbasepath,
                                  const string& dirname, bool parent_acl)
{
    if (enabled(1))
        debug("znfssnapcreate::processfile", 1,
              "ThrID: [%s] srcdirpath [%s] filename [%s] destbasepath [%s] dirname [%s]",
              frame::thread_id_text().c_str(), srcdirpath.c_str(), filename.c_str(), destbasepath.c_str(),
              dirname.c_str());
    copy_file(srcdirpath, filename, destbasepath, dirname, parent_acl);
}

void znfssnapcreate::file_item(string srcdirpath, string filename, string destbasepath, string dirname,
                               pending_ptr parent)
{
    frame::count_if_thrown(
        *this, k_traverse_fn, [&] { return srcdirpath + "/" + filename; }, m_failed,
        [&] { process_file(srcdirpath, filename, destbasepath, dirname, inherits_acl(parent)); });
    finished(parent);
}

void znfssnapcreate::finished(pending_ptr dir)
{
    // The last item of a directory sets its mode and finishes its parent in turn; a loop, not
    // recursion, however deep the tree.
    while (dir && dir->open.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        set_final_mode(dir->destpath, dir->mode);
        dir = dir->parent;
    }
}

void znfssnapcreate::set_final_mode(const string& destpath, uint32_t mode)
{
    error_code ec = m_znfsapi->chmod(m_iopx, destpath.c_str(), mode, znfs::znfs_aio_ptr());
    if (ec) {
        debug("znfssnapcreate::copydir", -1, "Failed to set mode of directory [%s]: %s", destpath.c_str(),
              ec.message().c_str());
        m_failed.fetch_add(1, std::memory_order_relaxed);
    }
}

error_code znfssnapcreate::copyfile(string srcdirpath, string filename, string destbasepath, string dirname)
{
    return copy_file(srcdirpath, filename, destbasepath, dirname,
                     has_default_acl(m_znfsapi, m_iopx, destbasepath + "/" + dirname, *this));
}

error_code znfssnapcreate::copy_file(const string& srcdirpath, const string& filename, const string& destbasepath,
                                     const string& dirname, bool parent_acl)
{
    const char* fn = "znfssnapcreate::copyfile";
    string srcpath = srcdirpath + "/" + filename;
    debug(fn, 1, "Copying file [%s]", srcpath.c_str());

    struct stat st;
    std::memset(&st, 0, sizeof st);
    string destpath = destbasepath + "/" + dirname + "/" + filename;
    error_code ec = m_znfsapi->stat(m_iopx, srcpath.c_str(), &st, znfs::znfs_aio_ptr());
    if (ec.value() != 0) {
        debug(fn, -1, "Failed to stat file [%s]", srcpath.c_str());
        m_failed.fetch_add(1, std::memory_order_relaxed);
        // A link that leads out of the dataset, or nowhere, leaves an empty owner-only file:
        // the name is kept, and nobody's data from elsewhere gets into the snapshot.
        struct stat lst;
        if (m_znfsapi->stat(m_iopx_nofollow, srcpath.c_str(), &lst, znfs::znfs_aio_ptr()).value() == ELOOP) {
            debug(fn, -1, "Symbolic link [%s] leads outside the dataset or nowhere: copied as an empty file",
                  srcpath.c_str());
            m_znfsapi->close(m_znfsapi->creat(m_iopx, destpath.c_str(), k_copy_flags, 0600, znfs::znfs_aio_ptr()),
                             znfs::znfs_aio_ptr());
        }
        return ec;
    }

    debug(fn, 1, "Creating destination file [%s]", destpath.c_str());
    // Setting a user attribute checks the file's own mode, whatever the descriptor: a copy its
    // owner may not write would refuse them to a host that is not root. Such a copy is writable
    // by its owner until its attributes are set, and gets its own mode last.
    const uint64_t mode = copy_mode(st.st_mode);
    const bool widened = (mode & S_IWUSR) == 0;
    znfs::znfs_file_ptr dstfp =
        m_znfsapi->creat(m_iopx, destpath.c_str(), k_copy_flags, widened ? mode | S_IWUSR : mode, znfs::znfs_aio_ptr());
    if (!dstfp) {
        int e = errno;
        error(fn, "Failed to create file [%s] ", destpath.c_str());
        m_failed.fetch_add(1, std::memory_order_relaxed);
        return znfs::generic_code(e);
    }

    bool complete = true;
    if (is_special(st.st_mode)) {
        // All such an entry can hold is its mode and attributes: nothing is lost by not opening it.
        debug(fn, 1, "Special file [%s] copied as an empty file", srcpath.c_str());
    } else {
        znfs::znfs_file_ptr srcfp = m_znfsapi->open(m_iopx, srcpath.c_str(), 0, znfs::znfs_aio_ptr());
        if (!srcfp) {
            int e = errno;
            error(fn, "Failed to open file [%s]", srcpath.c_str());
            m_znfsapi->close(dstfp, znfs::znfs_aio_ptr());
            m_failed.fetch_add(1, std::memory_order_relaxed);
            return znfs::generic_code(e);
        }
        error_code cec = copy_data(srcfp, dstfp, srcfp->get_file_size());
        if (cec.value() != 0) {
            error(fn, "File copy failed from srcfile [%s] error [%d]", srcpath.c_str(), cec.value());
            complete = false;
        }
        m_znfsapi->close(srcfp, znfs::znfs_aio_ptr());
    }

    // The copy stays open while its attributes are set (a backend may serve those calls with
    // its descriptor), and its close counts: a file system that reports a lost write there
    // has not kept the data.
    ec = copyattr(srcpath, destpath);
    if (ec.value() != 0) {
        debug(fn, 1, "Failed to copy attributes from file [%s] to file [%s]", srcpath.c_str(), destpath.c_str());
        complete = false;
    } else if (parent_acl) {
        ec = drop_inherited_acls(srcpath, destpath, static_cast<uint32_t>(mode), false);
        complete = complete && ec.value() == 0;
    }
    if (widened) {
        error_code mec = m_znfsapi->chmod(m_iopx, destpath.c_str(), mode, znfs::znfs_aio_ptr());
        if (mec) {
            debug(fn, -1, "Failed to set mode of file [%s]: %s", destpath.c_str(), mec.message().c_str());
            complete = false;
            if (!ec)
                ec = mec;
        }
    }
    // Where the volume cannot be flushed as a whole, each copy is flushed once it is whole:
    // after its attributes, so that the uuid deletion relies on survives with the data, and
    // for an empty or special file as well as for one with data.
    if (complete && m_sync_each_file) {
        error_code sec = m_znfsapi->fsync(dstfp, znfs::znfs_aio_ptr());
        if (sec) {
            debug(fn, -1, "Failed to make file [%s] durable: %s", destpath.c_str(), sec.message().c_str());
            complete = false;
            if (!ec)
                ec = znfs::generic_code(sec.value());
        }
    }
    error_code close_ec = m_znfsapi->close(dstfp, znfs::znfs_aio_ptr());
    if (close_ec) {
        debug(fn, -1, "Failed to close file [%s]: %s", destpath.c_str(), close_ec.message().c_str());
        complete = false;
        if (!ec)
            ec = znfs::generic_code(close_ec.value());
    }
    if (complete)
        m_copied.fetch_add(1, std::memory_order_relaxed);
    else
        m_failed.fetch_add(1, std::memory_order_relaxed);
    return ec;
}

error_code znfssnapcreate::copy_data(const znfs::znfs_file_ptr& srcfp, const znfs::znfs_file_ptr& dstfp, uint64_t size)
{
    // In place where the backend can (a clone, or a copy inside the file system or on the
    // servers), else through our buffers; holes stay holes either way.
    if (size == 0)
        return error_code();
    errno = 0;
    int64_t n = m_znfsapi->copy_range(srcfp, 0, dstfp, 0, size, znfs::znfs_aio_ptr());
    if (n == static_cast<int64_t>(size))
        return error_code();
    if (n >= 0) {
        error("file_copy", "Failed to read data from offset [%llu] error [%d]", static_cast<unsigned long long>(n),
              ENODATA);
        return znfs::generic_code(ENODATA);
    }
    int e = znfs::errno_or_eio();
    if (e != EXDEV && e != EOPNOTSUPP && e != ENOSYS && e != EINVAL) {
        error("file_copy", "Failed to copy data in place: %s", frame::errno_text(e).c_str());
        return znfs::generic_code(e);
    }
    return znfssnaputils::sparse_copy(m_znfsapi, srcfp, dstfp, size, *this);
}

error_code znfssnapcreate::copydir(string srcdirpath, string dirname, string destbasepath)
{
    uint32_t mode = 0;
    bool acl = has_default_acl(m_znfsapi, m_iopx, destbasepath, *this);
    error_code ec = make_directory(srcdirpath, dirname, destbasepath, mode, acl);
    if (ec.value() == 0)
        set_final_mode(destbasepath + "/" + dirname, mode);
    return ec;
}

error_code znfssnapcreate::make_directory(const string& srcdirpath, const string& dirname,
                                          const string& destbasepath, uint32_t& finalmode, bool& default_acl)
{
    const char* fn = "znfssnapcreate::copydir";
    debug(fn, 0, "srcdirpath [%s] dirname [%s] destbasepath [%s]", srcdirpath.c_str(), dirname.c_str(),
          destbasepath.c_str());
    string srcpath = srcdirpath + "/" + dirname;
    debug(fn, 0, "Copying directory [%s]", srcpath.c_str());

    // A directory is never reached through a link, not even one that stays in the dataset: a
    // directory swapped for a link to its own ancestor would make the walk copy forever.
    struct stat st;
    std::memset(&st, 0, sizeof st);
    error_code ec = m_znfsapi->stat(m_iopx_nofollow, srcpath.c_str(), &st, znfs::znfs_aio_ptr());
    if (ec.value() == 0 && m_snapdir_known && static_cast<uint64_t>(st.st_dev) == m_snapdir_dev &&
        static_cast<uint64_t>(st.st_ino) == m_snapdir_ino) {
        // The snapshot itself, reached inside the dataset through another mount of the same
        // tree: copied, it would be copied into itself without end, into the live tree.
        debug(fn, -1, "Skipping directory [%s]: it is the snapshot directory itself", srcpath.c_str());
        return znfs::errno_code(ELOOP);
    }
    if (ec.value() == 0 && !S_ISDIR(st.st_mode))
        ec = znfs::errno_code(ENOTDIR);
    if (ec.value() != 0) {
        debug(fn, -1, "Failed to stat directory [%s]", srcpath.c_str());
        m_failed.fetch_add(1, std::memory_order_relaxed);
        return ec;
    }

    string destpath = destbasepath + "/" + dirname;
    debug(fn, 0, "Creating destination directory [%s]", destpath.c_str());
    ec = m_znfsapi->mkdir(m_iopx, destpath.c_str(), k_filling_mode, znfs::znfs_aio_ptr());
    if (ec.value() != 0) {
        debug(fn, -1, "Failed to copy directory [%s] to [%s]", srcpath.c_str(), destpath.c_str());
        m_failed.fetch_add(1, std::memory_order_relaxed);
        return ec;
    }
    finalmode = static_cast<uint32_t>(copy_mode(st.st_mode));

    bool set_default_acl = false;
    ec = copy_attributes(srcpath, destpath, set_default_acl);
    if (ec.value() == 0 && default_acl)
        ec = drop_inherited_acls(srcpath, destpath, k_filling_mode, true);
    if (ec.value() != 0) {
        debug(fn, -1, "Failed to copy attributes from directory [%s] to [%s]", srcpath.c_str(), destpath.c_str());
        m_failed.fetch_add(1, std::memory_order_relaxed);
        return ec;
    }
    // A new directory gets a default ACL only from its parent's or from its source's copy:
    // with neither there is nothing to look for.
    default_acl = (default_acl || set_default_acl) && has_default_acl(m_znfsapi, m_iopx, destpath, *this);
    return ec;
}

error_code znfssnapcreate::drop_inherited_acls(const string& srcpath, const string& destpath, uint32_t mode, bool dir)
{
    int access = attribute_present(m_znfsapi, m_iopx, srcpath, k_acl_access);
    int deflt = dir ? attribute_present(m_znfsapi, m_iopx, srcpath, k_acl_default) : 1;
    if (access < 0 || deflt < 0)
        return znfs::errno_code(znfs::errno_or_eio());
    if (access == 0) {
        string acl = minimal_acl(mode);
        struct iovec v = {&acl[0], acl.size()};
        error_code ec = m_znfsapi->setxattr(m_iopx, destpath.c_str(), k_acl_access, &v, 0, znfs::znfs_aio_ptr());
        if (ec)
            return ec;
    }
    if (deflt == 0) {
        string empty = minimal_acl(0).substr(0, 4);
        struct iovec v = {&empty[0], empty.size()};
        return m_znfsapi->setxattr(m_iopx, destpath.c_str(), k_acl_default, &v, 0, znfs::znfs_aio_ptr());
    }
    return error_code();
}

error_code znfssnapcreate::copyattr(string srcpath, string destpath)
{
    bool set_default_acl = false;
    return copy_attributes(srcpath, destpath, set_default_acl);
}

error_code znfssnapcreate::copy_attributes(const string& srcpath, const string& destpath, bool& set_default_acl)
{
    const char* fn = "znfssnapcreate::copyattr";
    debug(fn, 1, "Copy list of extended attributes from file [%s] to file [%s]", srcpath.c_str(), destpath.c_str());

    // One small buffer serves most lists and values; after the list has taken it, the values
    // get another.
    znfs::znfs_buff_ptr guess = m_znfsapi->alloc_io_buffer(k_attr_guess);
    sized_read list = read_sized(m_znfsapi, guess, false, [&](struct iovec* iov) {
        return m_znfsapi->listxattr(m_iopx, srcpath.c_str(), iov, znfs::znfs_aio_ptr());
    });
    switch (list.failed) {
    case sized_read::step::none:
        break;
    case sized_read::step::size:
        if (list.err == ENOTSUP)  // no attributes kept here
            return error_code();
        error(fn, "Failed to get size of list of extended attributes from file [%s] error [%d]", srcpath.c_str(),
              list.err);
        return znfs::generic_code(list.err);
    case sized_read::step::buffer:
        error(fn, "Failed to allocate [%lld] bytes for the list of extended attributes of file [%s]",
              static_cast<long long>(list.wanted), srcpath.c_str());
        return znfs::generic_code(ENOMEM);
    case sized_read::step::read:
        error(fn, "Failed to get list of extended attributes from file [%s] error [%d]", srcpath.c_str(), list.err);
        return znfs::generic_code(list.err);
    }
    if (list.len == 0)
        return error_code();
    if (list.buf == guess)
        guess = m_znfsapi->alloc_io_buffer(k_attr_guess);

    const char* p = static_cast<const char*>(list.base);
    int64_t left = list.len;
    while (left > 0) {
        // Bounded by what is left, in case the service ends the list without a NUL.
        size_t namelen = strnlen(p, static_cast<size_t>(left));
        string name(p, namelen);
        debug(fn, 1, "Get value for extended attribute [%s] from file [%s] and set for file [%s]", name.c_str(),
              srcpath.c_str(), destpath.c_str());

        // An empty value is set from a buffer too, as any other.
        sized_read value = read_sized(m_znfsapi, guess, true, [&](struct iovec* iov) {
            return m_znfsapi->getxattr(m_iopx, srcpath.c_str(), name.c_str(), iov, znfs::znfs_aio_ptr());
        });
        switch (value.failed) {
        case sized_read::step::none:
            break;
        case sized_read::step::size:
            debug(fn, -1, "Failed to get size of value for extended attribute [%s] from file [%s]", name.c_str(),
                  srcpath.c_str());
            return znfs::generic_code(value.err);
        case sized_read::step::buffer:
            debug(fn, -1, "Failed to allocate [%lld] bytes for extended attribute [%s] of file [%s]",
                  static_cast<long long>(value.wanted), name.c_str(), srcpath.c_str());
            return znfs::generic_code(ENOMEM);
        case sized_read::step::read:
            debug(fn, -1, "Failed to get value for extended attribute [%s] from file [%s]", name.c_str(),
                  srcpath.c_str());
            return znfs::generic_code(value.err);
        }

        struct iovec val = {value.base, static_cast<size_t>(value.len)};
        error_code ec = m_znfsapi->setxattr(m_iopx, destpath.c_str(), name.c_str(), &val, 0, znfs::znfs_aio_ptr());
        if (ec.value() != 0) {
            debug(fn, -1, "Failed to set extended attribute [%s] for file [%s]", name.c_str(), destpath.c_str());
            return ec;
        }
        if (name == k_acl_default)
            set_default_acl = true;
        p += namelen + 1;
        left -= static_cast<int64_t>(namelen + 1);
    }
    return error_code();
}

}  // namespace znfssnapcreate
}  // namespace znfssnapcore
