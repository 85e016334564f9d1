#include "tree_compare.h"

#include "report.h"
#include "znfs_mutex.h"

#include <znfs/znfs_thpool.h>

#include <boost/make_shared.hpp>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <utility>

namespace znfssnap {

namespace {

const uint64_t k_read_block = 1 << 20;
const uint32_t k_perm_mask = 01777;

// FNV-1a, 64 bits: enough to tell copies apart from changed data.
uint64_t digest_update(uint64_t h, const unsigned char* p, uint64_t n)
{
    for (uint64_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 1099511628211ULL;
    }
    return h;
}

const uint64_t k_digest_start = 14695981039346656037ULL;

// One value of name into value, retrying when it grows between the size query and the read.
// ENODATA when the attribute went away meanwhile.
std::error_code read_xattr(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path,
                           const char* name, std::string& value)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        struct iovec query = {nullptr, 0};
        int64_t n = api->getxattr(iopx, path.c_str(), name, &query, znfs::znfs_aio_ptr());
        if (n < 0)
            return znfs::errno_code(znfs::errno_or_eio());
        if (n == 0) {
            value.clear();
            return std::error_code();
        }
        std::vector<char> buf(static_cast<size_t>(n));
        struct iovec v = {buf.data(), buf.size()};
        int64_t m = api->getxattr(iopx, path.c_str(), name, &v, znfs::znfs_aio_ptr());
        if (m < 0) {
            if (errno == ERANGE)
                continue;
            return znfs::errno_code(znfs::errno_or_eio());
        }
        value.assign(buf.data(), static_cast<size_t>(m));
        return std::error_code();
    }
    return znfs::errno_code(ERANGE);
}

std::error_code read_xattrs(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path,
                            std::map<std::string, std::string>& out)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        out.clear();
        struct iovec query = {nullptr, 0};
        int64_t n = api->listxattr(iopx, path.c_str(), &query, znfs::znfs_aio_ptr());
        if (n < 0) {
            if (errno == ENOTSUP)
                return std::error_code();
            return znfs::errno_code(znfs::errno_or_eio());
        }
        if (n == 0)
            return std::error_code();
        std::vector<char> names(static_cast<size_t>(n));
        struct iovec v = {names.data(), names.size()};
        int64_t m = api->listxattr(iopx, path.c_str(), &v, znfs::znfs_aio_ptr());
        if (m < 0) {
            if (errno == ERANGE)
                continue;
            return znfs::errno_code(znfs::errno_or_eio());
        }
        size_t pos = 0;
        while (pos < static_cast<size_t>(m)) {
            const char* name = names.data() + pos;
            size_t len = strnlen(name, static_cast<size_t>(m) - pos);
            pos += len + 1;
            if (len == 0)
                continue;
            std::string value;
            std::error_code ec = read_xattr(api, iopx, path, name, value);
            if (ec.value() == ENODATA)
                continue;
            if (ec)
                return ec;
            out[std::string(name, len)] = value;
        }
        return std::error_code();
    }
    return znfs::errno_code(ERANGE);
}

std::error_code read_data(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path,
                          znfs::znfs_buff_ptr& buf, tree_entry& e)
{
    if (!buf) {
        buf = api->alloc_io_buffer(k_read_block);
        if (!buf)
            return znfs::errno_code(ENOMEM);
    }
    znfs::znfs_file_ptr f = api->open(iopx, path.c_str(), 0, znfs::znfs_aio_ptr());
    if (!f)
        return znfs::errno_code(znfs::errno_or_eio());
    uint64_t h = k_digest_start;
    uint64_t offset = 0;
    std::error_code ec;
    for (;;) {
        int64_t n = api->read(f, buf, k_read_block, static_cast<int64_t>(offset), 0, znfs::znfs_aio_ptr());
        if (n < 0) {
            ec = znfs::errno_code(znfs::errno_or_eio());
            break;
        }
        if (n == 0)
            break;
        h = digest_update(h, static_cast<const unsigned char*>(buf->get_base()), static_cast<uint64_t>(n));
        offset += static_cast<uint64_t>(n);
    }
    api->close(f, znfs::znfs_aio_ptr());
    e.size = offset;
    e.digest = h;
    return ec;
}

// Fills e for one entry whose directory record said d_type.
void describe_entry(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path,
                    unsigned char d_type, tree_side side, znfs::znfs_buff_ptr& buf, tree_entry& e)
{
    e.digest = k_digest_start;
    if (side == tree_side::snapshot && d_type == DT_LNK) {
        e.kind = entry_kind::symlink;
        return;
    }
    struct stat st {};
    std::error_code ec = api->stat(iopx, path.c_str(), &st, znfs::znfs_aio_ptr());
    if (ec) {
        // EXDEV: a link to something outside its own tree, which creation leaves uncopied and
        // which is not read here either.
        e.kind = entry_kind::unreadable;
        e.problem = ec.value() == EXDEV ? std::string("cannot stat: a symbolic link that leads out of the ") +
                                              (side == tree_side::dataset ? "dataset" : "snapshot")
                                        : "cannot stat: " + ec.message();
        return;
    }
    e.perm = static_cast<uint32_t>(st.st_mode) & k_perm_mask;
    if (S_ISDIR(st.st_mode)) {
        e.kind = entry_kind::directory;
        e.descend = d_type == DT_DIR;
    } else if (S_ISREG(st.st_mode)) {
        e.kind = entry_kind::file;
        ec = read_data(api, iopx, path, buf, e);
        if (ec)
            e.problem = "cannot read data: " + ec.message();
    } else {
        // Creation copies a FIFO, socket or device as an empty file; its data is never read.
        e.kind = side == tree_side::dataset ? entry_kind::file : entry_kind::special;
    }
    ec = read_xattrs(api, iopx, path, e.xattrs);
    if (ec && e.problem.empty())
        e.problem = "cannot read extended attributes: " + ec.message();
}

const char* kind_name(entry_kind k)
{
    switch (k) {
    case entry_kind::directory: return "directory";
    case entry_kind::file: return "file";
    case entry_kind::symlink: return "symlink";
    case entry_kind::special: return "special";
    default: return "unreadable";
    }
}

const char* kind_words(const std::string& type)
{
    if (type == "directory")
        return "a directory";
    if (type == "file")
        return "a file";
    if (type == "symlink")
        return "a symbolic link";
    if (type == "special")
        return "a special file";
    return "unreadable";
}

std::string octal(uint32_t perm)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04o", perm);
    return buf;
}

std::string hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

void add(std::vector<difference>& diffs, const std::string& path, const char* kind, std::string expected,
         std::string found, const std::string& attribute = std::string())
{
    diffs.push_back(difference{path, kind, std::move(expected), std::move(found), attribute});
}

// The names and directory-record types of directory root + rel, as side sees them.
std::error_code list_names(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& root,
                           const std::string& rel, tree_side side,
                           std::vector<std::pair<std::string, unsigned char>>& names)
{
    names.clear();
    const std::string dirpath = root + rel;
    znfs::znfs_file_ptr dir = api->opendir(iopx, dirpath.empty() ? "/" : dirpath.c_str(), znfs::znfs_aio_ptr());
    if (!dir)
        return znfs::errno_code(znfs::errno_or_eio());
    std::error_code ec;
    for (;;) {
        errno = 0;
        struct dirent* de = api->readdir(dir, znfs::znfs_aio_ptr());
        if (!de) {
            if (errno != 0)
                ec = znfs::errno_code(znfs::errno_or_eio());
            break;
        }
        std::string name = de->d_name;
        if (name == "." || name == "..")
            continue;
        if (side == tree_side::dataset && de->d_type == DT_DIR && name == ".snaps")
            continue;
        // At the top a snapshot keeps its bookkeeping under that name, and creation skips a
        // dataset entry of the name for it: neither side compares it.
        if (rel.empty() && name == ".delete")
            continue;
        names.emplace_back(name, de->d_type);
    }
    api->closedir(dir, znfs::znfs_aio_ptr());
    return ec;
}

}  // namespace

std::error_code describe_directory(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& root,
                                   const std::string& rel, tree_side side, tree_listing& out)
{
    out.clear();
    std::vector<std::pair<std::string, unsigned char>> names;
    std::error_code ec = list_names(api, iopx, root, rel, side, names);
    if (ec)
        return ec;
    znfs::znfs_buff_ptr buf;
    for (const auto& n : names)
        describe_entry(api, iopx, root + rel + "/" + n.first, n.second, side, buf, out[n.first]);
    return std::error_code();
}

std::error_code describe_tree(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& root,
                              tree_side side, tree_listing& out, std::atomic<uint64_t>* counter)
{
    out.clear();
    std::vector<std::string> pending(1, std::string());
    while (!pending.empty()) {
        std::string rel = std::move(pending.back());
        pending.pop_back();
        tree_listing dir;
        std::error_code ec = describe_directory(api, iopx, root, rel, side, dir);
        if (ec) {
            if (rel.empty())
                return ec;
            out[rel].problem = "cannot list: " + ec.message();
            continue;
        }
        for (auto& d : dir) {
            std::string path = rel + "/" + d.first;
            if (d.second.kind == entry_kind::directory && d.second.descend)
                pending.push_back(path);
            out[path] = std::move(d.second);
            if (counter)
                counter->fetch_add(1, std::memory_order_relaxed);
        }
    }
    return std::error_code();
}

std::string difference_text(const difference& d)
{
    const std::string p = printable(d.path) + ": ";
    const std::string& k = d.kind;
    if (k == "missing")
        return p + "missing in snapshot";
    if (k == "extra")
        return p + "not in dataset";
    if (k == "unreadable_dataset")
        return p + "in dataset " + d.found;
    if (k == "unreadable_snapshot")
        return p + "in snapshot " + d.found;
    if (k == "type")
        return p + kind_words(d.expected) + " in dataset, " + kind_words(d.found) + " in snapshot";
    if (k == "mode")
        return p + "mode " + d.expected + " in dataset, " + d.found + " in snapshot";
    if (k == "size")
        return p + d.expected + " bytes in dataset, " + d.found + " in snapshot";
    if (k == "data")
        return p + "data differs";
    const std::string attr = "extended attribute " + printable(d.attribute);
    if (k == "xattr_missing")
        return p + attr + " missing in snapshot";
    if (k == "xattr_extra")
        return p + attr + " not in dataset";
    if (k == "xattr_value")
        return p + attr + " differs";
    return p + k;
}

void compare_entry(const std::string& path, const tree_entry* expected, const tree_entry* actual,
                   std::vector<difference>& diffs)
{
    if (!actual) {
        add(diffs, path, "missing", kind_name(expected->kind), "");
        return;
    }
    if (!expected) {
        add(diffs, path, "extra", "", kind_name(actual->kind));
        return;
    }
    if (!expected->problem.empty())
        add(diffs, path, "unreadable_dataset", "", expected->problem);
    if (!actual->problem.empty())
        add(diffs, path, "unreadable_snapshot", "", actual->problem);
    if (!expected->problem.empty() || !actual->problem.empty())
        return;
    if (expected->kind != actual->kind) {
        add(diffs, path, "type", kind_name(expected->kind), kind_name(actual->kind));
        return;
    }
    if (expected->perm != actual->perm)
        add(diffs, path, "mode", octal(expected->perm), octal(actual->perm));
    if (expected->kind == entry_kind::file) {
        if (expected->size != actual->size)
            add(diffs, path, "size", std::to_string(expected->size), std::to_string(actual->size));
        else if (expected->digest != actual->digest)
            add(diffs, path, "data", hex(expected->digest), hex(actual->digest));
    }
    for (const auto& x : expected->xattrs) {
        auto it = actual->xattrs.find(x.first);
        if (it == actual->xattrs.end())
            add(diffs, path, "xattr_missing", x.second, "", x.first);
        else if (it->second != x.second)
            add(diffs, path, "xattr_value", x.second, it->second, x.first);
    }
    for (const auto& x : actual->xattrs)
        if (!expected->xattrs.count(x.first))
            add(diffs, path, "xattr_extra", "", x.second, x.first);
}

std::vector<std::string> compare_listings(const tree_listing& expected, const tree_listing& actual)
{
    std::vector<difference> diffs;
    auto e = expected.begin();
    auto a = actual.begin();
    while (e != expected.end() || a != actual.end()) {
        if (a == actual.end() || (e != expected.end() && e->first < a->first)) {
            compare_entry(e->first, &e->second, nullptr, diffs);
            ++e;
        } else if (e == expected.end() || a->first < e->first) {
            compare_entry(a->first, nullptr, &a->second, diffs);
            ++a;
        } else {
            compare_entry(e->first, &e->second, &a->second, diffs);
            ++e;
            ++a;
        }
    }
    std::vector<std::string> lines;
    for (const difference& d : diffs)
        lines.push_back(difference_text(d));
    return lines;
}

namespace {

// On the calling thread, when no pool can be had.
void verify_inline(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& datasetdir,
                   const std::string& snapdir, std::atomic<uint64_t>& examined, verify_outcome& out)
{
    // Directory by directory, so that memory follows the widest directory, not the tree.
    std::vector<std::string> pending(1, std::string());
    while (!pending.empty()) {
        std::string rel = std::move(pending.back());
        pending.pop_back();
        tree_listing want;
        tree_listing have;
        std::error_code ec = describe_directory(api, iopx, datasetdir, rel, tree_side::dataset, want);
        if (ec) {
            if (rel.empty()) {
                out.ec = ec;
                out.failure = "cannot list " + datasetdir;
                break;
            }
            add(out.differences, rel, "unreadable_dataset", "", "cannot list: " + ec.message());
            continue;
        }
        ec = describe_directory(api, iopx, snapdir, rel, tree_side::snapshot, have);
        if (ec) {
            if (rel.empty()) {
                out.ec = ec;
                out.failure = "cannot list " + snapdir;
                break;
            }
            add(out.differences, rel, "unreadable_snapshot", "", "cannot list: " + ec.message());
            continue;
        }
        examined.fetch_add(want.size() + have.size(), std::memory_order_relaxed);
        std::vector<std::string> subdirs;
        for (const auto& w : want) {
            auto h = have.find(w.first);
            const tree_entry* actual = h == have.end() ? nullptr : &h->second;
            std::string path = rel + "/" + w.first;
            compare_entry(path, &w.second, actual, out.differences);
            if (actual && w.second.kind == entry_kind::directory && w.second.descend &&
                actual->kind == entry_kind::directory && actual->descend)
                subdirs.push_back(path);
        }
        for (const auto& h : have)
            if (!want.count(h.first))
                compare_entry(rel + "/" + h.first, nullptr, &h.second, out.differences);
        // Reversed onto the stack, so that subdirectories are compared in name order.
        pending.insert(pending.end(), subdirs.rbegin(), subdirs.rend());
    }
}


// Entries described by one task of a parallel verification.
const size_t k_verify_chunk = 16;

// A parallel verification: each directory is listed on both sides by one task, its entries
// described in chunks by others, and compared by the task that finishes the last chunk, which
// posts the subdirectories. The differences are kept by directory and given out in the order of
// the walk on the calling thread, so that the report does not depend on timing.
struct verify_walk {
    znfs::znfs_api* api;
    znfs::znfs_iopx_ptr iopx;
    std::string datasetdir, snapdir;
    boost::shared_ptr<boost::asio::io_service> svc;
    std::atomic<uint64_t>* examined;
    znfs::mutex mutex;
    std::map<std::vector<std::string>, std::vector<difference>> diffs GUARDED_BY(mutex);  // by directory components
    std::error_code ec GUARDED_BY(mutex);
    std::string failure GUARDED_BY(mutex);

    struct directory {
        std::string rel;
        std::vector<std::string> key;
        std::vector<std::pair<std::string, unsigned char>> names[2];  // dataset, snapshot
        std::vector<tree_entry> entries[2];
        std::atomic<size_t> chunks_left{0};
    };
    typedef boost::shared_ptr<directory> directory_ptr;

    void record(const std::vector<std::string>& key, std::vector<difference>&& lines)
    {
        if (lines.empty())
            return;
        znfs::mutex_lock lock(mutex);
        std::vector<difference>& to = diffs[key];
        to.insert(to.end(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
    }

    void post_directory(const std::string& rel, const std::vector<std::string>& key)
    {
        svc->post([this, rel, key] { list(rel, key); });
    }

    void list(const std::string& rel, const std::vector<std::string>& key)
    {
        directory_ptr d = boost::make_shared<directory>();
        d->rel = rel;
        d->key = key;
        const tree_side sides[2] = {tree_side::dataset, tree_side::snapshot};
        const std::string* roots[2] = {&datasetdir, &snapdir};
        for (int s = 0; s < 2; ++s) {
            std::error_code lec = list_names(api, iopx, *roots[s], rel, sides[s], d->names[s]);
            if (!lec)
                continue;
            if (rel.empty()) {
                znfs::mutex_lock lock(mutex);
                if (!ec) {
                    ec = lec;
                    failure = "cannot list " + *roots[s];
                }
                return;
            }
            std::vector<difference> failed;
            add(failed, rel, s == 0 ? "unreadable_dataset" : "unreadable_snapshot", "", "cannot list: " + lec.message());
            record(key, std::move(failed));
            return;
        }
        size_t chunks = 0;
        for (int s = 0; s < 2; ++s) {
            d->entries[s].resize(d->names[s].size());
            chunks += (d->names[s].size() + k_verify_chunk - 1) / k_verify_chunk;
        }
        if (chunks == 0) {
            compare(d);
            return;
        }
        d->chunks_left.store(chunks);
        for (int s = 0; s < 2; ++s)
            for (size_t from = 0; from < d->names[s].size(); from += k_verify_chunk)
                svc->post([this, d, s, from] { describe(d, s, from); });
    }

    void describe(const directory_ptr& d, int s, size_t from)
    {
        const std::string& root = s == 0 ? datasetdir : snapdir;
        const tree_side side = s == 0 ? tree_side::dataset : tree_side::snapshot;
        znfs::znfs_buff_ptr buf;
        const size_t to = std::min(from + k_verify_chunk, d->names[s].size());
        for (size_t i = from; i < to; ++i)
            describe_entry(api, iopx, root + d->rel + "/" + d->names[s][i].first, d->names[s][i].second, side, buf,
                           d->entries[s][i]);
        if (d->chunks_left.fetch_sub(1) == 1)
            compare(d);
    }

    void compare(const directory_ptr& d)
    {
        tree_listing want, have;
        for (size_t i = 0; i < d->names[0].size(); ++i)
            want[d->names[0][i].first] = std::move(d->entries[0][i]);
        for (size_t i = 0; i < d->names[1].size(); ++i)
            have[d->names[1][i].first] = std::move(d->entries[1][i]);
        examined->fetch_add(want.size() + have.size(), std::memory_order_relaxed);
        std::vector<difference> lines;
        for (const auto& w : want) {
            auto h = have.find(w.first);
            const tree_entry* actual = h == have.end() ? nullptr : &h->second;
            std::string path = d->rel + "/" + w.first;
            compare_entry(path, &w.second, actual, lines);
            if (actual && w.second.kind == entry_kind::directory && w.second.descend &&
                actual->kind == entry_kind::directory && actual->descend) {
                std::vector<std::string> key = d->key;
                key.push_back(w.first);
                post_directory(path, key);
            }
        }
        for (const auto& h : have)
            if (!want.count(h.first))
                compare_entry(d->rel + "/" + h.first, nullptr, &h.second, lines);
        record(d->key, std::move(lines));
    }
};

}  // namespace

verify_outcome verify_snapshot(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& plain, const std::string& datasetdir,
                               const std::string& snapdir, bool show_progress)
{
    verify_outcome out;
    stopwatch clock;
    // A dataset belongs to its users, who may point a link anywhere on the volume: read through
    // the plain context, a link to another user's file would put that file's size and attribute
    // values into the report. Confined as creation confines its copy, a link is followed only to
    // an entry beneath its own root, so what verify reads is what creation read.
    std::error_code cec;
    const znfs::znfs_iopx_ptr iopx =
        api->confine(plain, {datasetdir, snapdir}, znfs::znfs_api::final_link::follow_beneath, cec);
    if (!iopx) {
        out.ec = cec ? cec : znfs::errno_code(EINVAL);
        out.failure = "cannot confine the reads to " + datasetdir + " and " + snapdir;
        out.seconds = clock.seconds();
        return out;
    }
    std::atomic<uint64_t> examined(0);
    progress_meter meter("entries compared", [&examined] { return examined.load(std::memory_order_relaxed); },
                         show_progress);
    // Every entry costs a few calls, and on a volume reached over the network each waits for an
    // answer: both trees are described on the pool, many entries at once.
    boost::shared_ptr<znfs::znfs_thpool> pool = znfs::znfs_thpool::create();
    if (pool && pool->enable_thpool(0) > 0 && pool->get_iosvc()) {
        verify_walk walk;
        walk.api = api;
        walk.iopx = iopx;
        walk.datasetdir = datasetdir;
        walk.snapdir = snapdir;
        walk.svc = pool->get_iosvc();
        walk.examined = &examined;
        walk.post_directory(std::string(), std::vector<std::string>());
        pool->wait_joinall_threads();
        walk.svc.reset();
        znfs::mutex_lock lock(walk.mutex);  // uncontended: every task has finished
        out.ec = walk.ec;
        out.failure = walk.failure;
        if (!out.ec)
            for (auto& d : walk.diffs)
                out.differences.insert(out.differences.end(), d.second.begin(), d.second.end());
    } else {
        verify_inline(api, iopx, datasetdir, snapdir, examined, out);
    }
    meter.stop();
    out.entries = examined.load();
    out.seconds = clock.seconds();
    return out;
}

}  // namespace znfssnap
