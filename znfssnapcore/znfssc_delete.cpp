#include "znfssc_frame.h"

#include <znfs/znfs_gluster.h>
#include <znfs/znfs_utils.h>

#include <boost/bind/bind.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace znfssnapcore {

error_code snap_opdelete(znfssnapcore_opinfo* opinfo)
{
    return frame::run<znfssnapdelete::znfssnapdelete>(opinfo, &znfssnapdelete::znfssnapdelete::opdelete_start,
                                                      "snap_opdelete");
}

namespace znfssnapdelete {

using znfs::znfs_utils;
using namespace znfssnaputils;

namespace {

// A uuid as the object volume resolves it: without repeated slashes, "." components and the
// leading slash. climbs: set when it holds a ".." component.
string object_spelling(const string& uuid, bool& climbs)
{
    string out, part;
    for (size_t i = 0; i <= uuid.size(); ++i) {
        if (i < uuid.size() && uuid[i] != '/') {
            part += uuid[i];
            continue;
        }
        if (part == "..")
            climbs = true;
        if (!part.empty() && part != ".")
            out += (out.empty() ? "" : "/") + part;
        part.clear();
    }
    return out;
}

inline bool starts_with(const string& s, const char* p)
{
    size_t n = std::strlen(p);
    return s.size() >= n && s.compare(0, n, p) == 0;
}

inline bool ends_with(const string& s, const char* p)
{
    size_t n = std::strlen(p);
    return s.size() >= n && s.compare(s.size() - n, n, p) == 0;
}

// A listed name is joined to the snapshot directory unchanged; a ".." component would make it
// name a file of another snapshot (or of the live dataset), whose object we must not touch.
bool is_unsafe_name(const string& name)
{
    return name == ".." || starts_with(name, "../") || ends_with(name, "/..") ||
           name.find("/../") != string::npos;
}

// Outcome of reading one copy's uuid for the reference check.
enum class uuid_read { value, absent, unknown };

// No volume accepts a longer path, so a longer listed name names nothing: it is skipped
// without being held in memory whole, however long the line.
const uint64_t k_name_max = PATH_MAX;
// A list entry is gathered in reads of this size.
const uint64_t k_line_piece = 128;
// What of an overlong name goes into its log line.
const int k_name_shown = 64;

enum class entry_read { entry, end, failed };

// Reads the entry at offset: at most keep of its bytes into line, its whole length (without
// the terminator) into length. `end`: no byte at offset; `failed`: a read failed (errno).
entry_read read_bounded(znfs::znfs_api* api, const znfs::znfs_file_ptr& fp, const znfs::znfs_buff_ptr& buf,
                        uint64_t offset, uint64_t keep, string& line, uint64_t& length)
{
    line.clear();
    length = 0;
    const char* base = static_cast<const char*>(buf->get_base());
    for (;;) {
        int64_t n = api->read(fp, buf, k_line_piece, static_cast<int64_t>(offset + length), 0, znfs::znfs_aio_ptr());
        if (n < 0)
            return entry_read::failed;
        if (n == 0)
            return length == 0 ? entry_read::end : entry_read::entry;
        size_t got = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(n), k_line_piece));
        size_t used = got;
        bool ended = false;
        for (size_t i = 0; i < got; ++i) {
            if (base[i] == '\n' || base[i] == '\0') {
                used = i;
                ended = true;
                break;
            }
        }
        if (line.size() < keep)
            line.append(base, std::min<uint64_t>(used, keep - line.size()));
        length += used;
        if (ended)
            return entry_read::entry;
    }
}

// Appends name and a line feed to the list file, as filename_addtolist does, but says whether
// the whole line got there: a handed-on name that is not in the list is a name lost.
bool append_name(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const string& listfile, const string& name)
{
    znfs::znfs_file_ptr fp = api->open(iopx, listfile.c_str(), 1, znfs::znfs_aio_ptr());
    if (!fp)
        return false;
    znfs::znfs_buff_ptr buf = api->alloc_io_buffer(name.size() + 1);
    bool ok = false;
    if (buf) {
        std::memcpy(buf->get_base(), name.data(), name.size());
        static_cast<char*>(buf->get_base())[name.size()] = '\n';
        ok = api->write(fp, buf, name.size() + 1, static_cast<int64_t>(fp->get_file_size()), 1,
                        znfs::znfs_aio_ptr()) == static_cast<int64_t>(name.size() + 1);
    }
    int e = errno;
    api->close(fp, znfs::znfs_aio_ptr());
    errno = e;
    return ok;
}

// The non-empty entries of an open list from offset on: the names a stopped batch never
// reached. A read that fails ends the count with one more, so that it is never 0.
uint64_t entries_from(znfs::znfs_api* api, const znfs::znfs_file_ptr& fp, uint64_t offset)
{
    const uint64_t piece = 32768;
    znfs::znfs_buff_ptr buf = api->alloc_io_buffer(piece);
    if (!buf)
        return 1;
    const char* base = static_cast<const char*>(buf->get_base());
    uint64_t count = 0;
    bool inside = false;
    for (;;) {
        int64_t n = api->read(fp, buf, piece, static_cast<int64_t>(offset), 0, znfs::znfs_aio_ptr());
        if (n < 0)
            return count + 1;
        if (n == 0)
            break;
        for (int64_t i = 0; i < n; ++i) {
            bool end = base[i] == '\n' || base[i] == '\0';
            if (!end && !inside)
                ++count;
            inside = !end;
        }
        offset += static_cast<uint64_t>(n);
    }
    return count;
}

// "absent" only for the failures that prove there is no uuid to compare; any other failure
// (EIO, ENOMEM, EACCES, ...) leaves the question open.
uuid_read classify(int64_t rc, int err, const string& value, bool missing_file_is_absent)
{
    if (rc > 0)
        return value.empty() ? uuid_read::absent : uuid_read::value;
    if (rc == 0)
        return uuid_read::absent;
    if (err == ENODATA)
        return uuid_read::absent;
    if (missing_file_is_absent && (err == ENOENT || err == ENOTDIR))
        return uuid_read::absent;
    return uuid_read::unknown;
}

// From an access ACL's value (the kernel's little-endian form: a 4-byte version, then 8-byte
// entries of tag, permissions and id), the rights (rwx bits) that named users other than
// root, owner and this process's user and named groups other than root's get past the
// mask, and those of the owning group's entry. False when the value is not such a list.
bool acl_reach(const string& value, uid_t owner, unsigned& named, unsigned& owning)
{
    auto u16 = [&](size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>(value[at])) |
               static_cast<unsigned>(static_cast<unsigned char>(value[at + 1])) << 8;
    };
    auto u32 = [&](size_t at) { return static_cast<uint32_t>(u16(at)) | static_cast<uint32_t>(u16(at + 2)) << 16; };
    if (value.size() < 4 || (value.size() - 4) % 8 != 0 || u32(0) != 2)
        return false;
    unsigned mask = 7, users = 0, groups = 0;
    owning = 0;
    for (size_t at = 4; at < value.size(); at += 8) {
        const unsigned tag = u16(at), perm = u16(at + 2) & 7;
        const uint32_t id = u32(at + 4);
        if (tag == 0x02 && id != 0 && id != owner && id != geteuid())
            users |= perm;
        else if (tag == 0x04)
            owning = perm;
        else if (tag == 0x08 && id != 0)
            groups |= perm;
        else if (tag == 0x10)
            mask = perm;
    }
    named = (users | groups) & mask;
    owning &= mask;
    return true;
}

}  // namespace

int64_t file_getxattr(znfs::znfs_api* api, boost::shared_ptr<znfs::znfs_iopx> iopx, string path, string name,
                      string& value, znfs::znfs_debug& logger)
{
    struct iovec iov;
    iov.iov_base = nullptr;
    iov.iov_len = 0;
    int64_t size = api->getxattr(iopx, path.c_str(), name.c_str(), &iov, znfs::znfs_aio_ptr());
    if (size < 0) {
        // Any negative count is a failure; one that is not -1 carries no errno we can trust.
        int e = size == -1 ? errno : EIO;
        logger.debug("file_getxattr", -1, "Failed to get size of extended attribute [%s] from file [%s]",
                     name.c_str(), path.c_str());
        errno = e;
        return -1;
    }
    if (size == 0) {
        int e = errno;
        logger.debug("file_getxattr", -1, "Zero size extended attribute [%s] from file [%s]", name.c_str(),
                     path.c_str());
        errno = e;
        return 0;
    }

    znfs::znfs_buff_ptr buff = api->alloc_io_buffer(static_cast<uint64_t>(size));
    if (!buff || !buff->get_base()) {
        logger.debug("file_getxattr", -1, "No buffer of [%lld] bytes for extended attribute [%s] from file [%s]",
                     static_cast<long long>(size), name.c_str(), path.c_str());
        errno = ENOMEM;
        return -1;
    }
    std::memset(buff->get_base(), 0, static_cast<size_t>(size));
    iov.iov_base = buff->get_base();
    iov.iov_len = static_cast<size_t>(size);

    int64_t got = api->getxattr(iopx, path.c_str(), name.c_str(), &iov, znfs::znfs_aio_ptr());
    if (got < 0) {
        int e = got == -1 ? errno : EIO;
        logger.debug("file_getxattr", -1, "File name [%s] getattr [%s] failed", path.c_str(), name.c_str());
        errno = e;
        return -1;
    }
    const char* base = static_cast<const char*>(buff->get_base());
    value.assign(base, strnlen(base, static_cast<size_t>(size)));
    return got;
}

uint32_t get_numcpucores()
{
    std::vector<string> lines;
    string errtext;
    if (znfs_utils::execute_command("cat /proc/cpuinfo | grep processor | wc -l", lines, errtext, 100) != 0 ||
        lines.empty())
        return 0;
    return znfs_utils::string_to_uint(lines.front());
}

znfssnapdelete::znfssnapdelete(znfssnapcore_opinfo* opinfo)
    : znfssnapframe(opinfo, "znfssnapdelete::znfssnapdelete"), m_threadcount(0), m_checked(0), m_handed_on(0),
      m_unlinked(0), m_unresolved(0), m_unguarded(0), m_missing(0)
{
}

znfssnapdelete::~znfssnapdelete() {}

uint32_t znfssnapdelete::batch_count(unsigned hardware_threads)
{
    return hardware_threads == 0 ? 1 : hardware_threads;
}

string znfssnapdelete::get_snapdir() { return m_snapdir; }

error_code znfssnapdelete::opdelete_start()
{
    static const char* const fn = "znfssnapdelete::opdelete_start";

    // A half-filled record is refused before any volume is touched, rather than crashing on it.
    znfssnapcore_opinfo* op = m_opinfo;
    if (!frame::require(*this, fn, op != nullptr, "opinfo"))
        return frame::invalid_argument();
    bool ok = frame::require(*this, fn, op->snapfsapi != nullptr, "snapfsapi");
    ok = frame::require(*this, fn, static_cast<bool>(op->snapiopx), "snapiopx") && ok;
    ok = frame::require(*this, fn, op->objfsapi != nullptr, "objfsapi") && ok;
    ok = frame::require(*this, fn, static_cast<bool>(op->objiopx), "objiopx") && ok;
    ok = frame::require(*this, fn, !op->snapdir.empty(), "snapdir") && ok;
    if (!ok)
        return frame::invalid_argument();

    debug(fn, 0, "Starting snap_opdelete");
    if (enabled(1))
        debug(fn, 1, "ThrID: %s", frame::thread_id_text().c_str());

    m_znfsapi = op->snapfsapi;
    m_snapdir = op->snapdir;
    // Names come from a list anyone with access to the snapshot may have written, and the
    // snapshots' trees may change under us: below the snapshot roots and on the object volume
    // no symbolic link is followed, so no name reaches another tree or another user's object.
    std::vector<string> roots{m_snapdir};
    if (!op->prevsnapdir.empty())
        roots.push_back(op->prevsnapdir);
    error_code cec;
    m_iopx = m_znfsapi->confine(op->snapiopx, roots, znfs::znfs_api::final_link::refuse, cec);
    if (m_iopx)
        m_objiopx = op->objfsapi->confine(op->objiopx, {}, znfs::znfs_api::final_link::refuse, cec);
    if (!m_iopx || !m_objiopx) {
        error(fn, "Failed to confine snapdir [%s] or the object volume: %s", m_snapdir.c_str(),
              (cec ? cec : frame::invalid_argument()).message().c_str());
        return cec ? cec : frame::invalid_argument();
    }
    // A previous snapshot that is not there would make every copy of it read as absent, and
    // every listed object would be unlinked, its own included: a misspelt or vanished
    // directory stops the deletion before anything is touched.
    if (!op->prevsnapdir.empty()) {
        struct stat pst;
        error_code pec = m_znfsapi->stat(m_iopx, op->prevsnapdir.c_str(), &pst, znfs::znfs_aio_ptr());
        if (!pec && !S_ISDIR(pst.st_mode))
            pec = znfs::generic_code(ENOTDIR);
        if (pec) {
            error(fn, "Previous snapshot [%s] is not a directory (%s): nothing deleted", op->prevsnapdir.c_str(),
                  pec.message().c_str());
            return pec;
        }
    }

    m_threadcount = batch_count(boost::thread::hardware_concurrency());
    // Each name costs a GlusterFS volume several round trips, during which a batch's worker
    // waits: as many batches as the pool has workers keep that many in flight. Deleting 1,500
    // names (half handed on) on a local volume served from this 2-CPU machine took 2.9-3.0 s
    // with 2 batches, 1.9-2.7 s with 8 and no less with 16 or 32, the CPUs shared with the
    // bricks being the limit there; across a network the waits are longer and overlap more.
    if (m_thpool_enabled && znfs::is_gluster_volume(op->snapiopx))
        m_threadcount = std::max<uint32_t>(m_threadcount, znfs::znfs_thpool::default_workers());
    if (enabled(1)) {
        znfs::znfs_iopx_ptr iopx = m_iopx;
        debug(fn, 1, "snapdir=[%s] &m_znfsapi=[%p] &m_iopx=[%p] threadcount=[%d]", m_snapdir.c_str(),
              static_cast<void*>(m_znfsapi), static_cast<void*>(&iopx), static_cast<int>(m_threadcount));
    }

    error_code ec = deletelist_split();
    if (ec) {
        error(fn, "Split delete filelist failed for snapdir [%s]", m_snapdir.c_str());
        return ec;
    }

    boost::shared_ptr<boost::asio::io_service> iosvc;
    if (m_thpool_enabled)
        iosvc = m_thpool->get_iosvc();
    if (iosvc) {
        for (uint32_t n = 1; n <= m_threadcount; ++n) {
            debug(fn, 1, "Posting batch delete task for thread [%d]", static_cast<int>(n));
            iosvc->post(boost::bind(&znfssnapdelete::snap_batchdel_thr, this, n));
        }
        iosvc.reset();
        debug(fn, 1, "Waiting for threads to complete");
        m_thpool->wait_joinall_threads();
    } else {
        for (uint32_t n = 1; n <= m_threadcount; ++n)
            snap_batchdel_thr(n);
    }

    debug(fn, 1, "Create prevsnap deletelist");
    op->prevsnap_dellist = m_snapdir + sdelfilelist_prevsnap;
    ec = create_prevsnap_dellist(op->prevsnap_dellist);
    // The result keeps its meaning (the merge); opstatus also tells whether every listed name
    // was dealt with, so that a host reruns a deletion that left work undone.
    uint64_t unresolved = m_unresolved.load();
    if (unresolved != 0)
        debug(fn, -1, "Deletion of snapdir [%s] incomplete: [%llu] names unresolved, run it again",
              m_snapdir.c_str(), static_cast<unsigned long long>(unresolved));
    if (!ec && unresolved == 0)
        op->opstatus = 0;
    return ec;
}

error_code znfssnapdelete::deletelist_split()
{
    static const char* const fn = "znfssnapdelete::deletelist_split";
    if (m_threadcount == 0)
        return frame::invalid_argument();

    // The split writes only as many batch files as the list needs, and every task up to the
    // batch count reads its batch file: one left by an earlier deletion of this snapshot would
    // be processed as if this split had written it.
    for (uint32_t n = 1; n <= m_threadcount; ++n) {
        string batch = m_snapdir + sdelfilebatch + znfs_utils::uint_to_string(n);
        error_code rc = m_znfsapi->unlink(m_iopx, batch.c_str(), znfs::znfs_aio_ptr());
        if (!rc) {
            debug(fn, 1, "Removed stale batch file [%s]", batch.c_str());
        } else if (rc.value() != ENOENT) {
            // A stale batch that stays would be processed as this run's: stop before any batch.
            debug(fn, -1, "Failed to remove stale batch file [%s]: %s", batch.c_str(), rc.message().c_str());
            return rc;
        }
    }

    return filesplit(m_znfsapi, m_iopx, m_snapdir + sdelfilelist, m_threadcount, m_snapdir + sdelfilebatch, *this);
}

void znfssnapdelete::snap_batchdel_thr(uint32_t thread_number)
{
    string snapdir = get_snapdir();
    string num = znfs_utils::uint_to_string(thread_number);
    // A batch stopped by an exception (an allocation that failed, say) leaves names neither
    // handed on nor unlinked; the pool would only log it, so it counts as unresolved here and
    // the deletion reports itself incomplete instead of complete.
    frame::count_if_thrown(*this, "znfssnapdelete::snap_batchdel_thr", [&] { return num; }, m_unresolved, [&] {
        snap_delete_batch(snapdir + sdelfilebatch + num, snapdir + sdelfilebatch_prevsnap + num);
    });
    if (enabled(1))
        debug("znfssnapdelete::snap_batchdel_thr", 1, "ThrID: %s completed", frame::thread_id_text().c_str());
}

error_code znfssnapdelete::snap_delete_batch(string batchfile, string handofffile)
{
    static const char* const fn = "znfssnapdelete::snap_delete_batch";
    if (enabled(1))
        debug(fn, 1, "ThrID: %s sbatchfile_snapthis=[%s] sbatchfile_snapprev=[%s]", frame::thread_id_text().c_str(),
              batchfile.c_str(), handofffile.c_str());

    // Emptied before anything else, so it never carries names from an earlier run. Without it
    // the names this batch hands on would be lost: the batch is left alone (its objects kept)
    // and all of its names count as unresolved.
    znfs::znfs_file_ptr handoff = m_znfsapi->open(m_iopx, handofffile.c_str(), 0x241, znfs::znfs_aio_ptr());
    if (!handoff) {
        int e = znfs::errno_or_eio();
        debug(fn, -1, "Failed to create file [%s] (%s), batch [%s] kept", handofffile.c_str(),
              frame::errno_text(e).c_str(), batchfile.c_str());
        znfs::znfs_file_ptr batch = m_znfsapi->open(m_iopx, batchfile.c_str(), 0, znfs::znfs_aio_ptr());
        if (batch) {
            m_unresolved.fetch_add(entries_from(m_znfsapi, batch, 0), std::memory_order_relaxed);
            m_znfsapi->close(batch, znfs::znfs_aio_ptr());
        } else if (errno != ENOENT) {
            m_unresolved.fetch_add(1, std::memory_order_relaxed);
        }
        return znfs::generic_code(e);
    }
    m_znfsapi->close(handoff, znfs::znfs_aio_ptr());

    znfs::znfs_file_ptr batch = m_znfsapi->open(m_iopx, batchfile.c_str(), 0, znfs::znfs_aio_ptr());
    if (!batch) {
        int e = errno;
        debug(fn, -1, "Failed to open file [%s]", batchfile.c_str());
        // No batch file is the normal lot of a task when the list had fewer names than tasks;
        // one that is there but cannot be read holds names nobody handled.
        if (e != ENOENT)
            m_unresolved.fetch_add(1, std::memory_order_relaxed);
        return znfs::generic_code(e);
    }
    znfs::znfs_buff_ptr buf = m_znfsapi->alloc_io_buffer(k_line_piece);
    if (!buf) {
        debug(fn, -1, "Failed to allocate I/O buffer for file [%s], batch kept", batchfile.c_str());
        m_unresolved.fetch_add(1, std::memory_order_relaxed);
        m_znfsapi->close(batch, znfs::znfs_aio_ptr());
        return znfs::generic_code(ENOMEM);
    }

    // A read that fails stops the batch: stepping on from an unknown place would read the tail
    // of a name as a name of its own and could unlink an object nobody listed. The names not
    // reached keep their objects and count as unresolved.
    error_code result;
    uint64_t handed_bytes = 0;
    uint64_t lost = 0;
    uint64_t offset = 0;
    string line;
    while (offset < batch->get_file_size()) {
        uint64_t linelen = 0;
        errno = 0;
        entry_read r = read_bounded(m_znfsapi, batch, buf, offset, k_name_max, line, linelen);
        if (r != entry_read::entry) {
            int e = znfs::errno_or_eio();
            uint64_t left = r == entry_read::end ? 1 : entries_from(m_znfsapi, batch, offset);
            debug(fn, -1, "Failed to read file [%s] at offset [%llu], rest of batch kept", batchfile.c_str(),
                  static_cast<unsigned long long>(offset));
            m_unresolved.fetch_add(std::max<uint64_t>(left, 1), std::memory_order_relaxed);
            result = znfs::generic_code(e);
            break;
        }
        if (linelen >= k_name_max) {
            debug(fn, -1, "Skipping name of [%llu] bytes, longer than any path: [%.*s...]",
                  static_cast<unsigned long long>(linelen), k_name_shown, line.c_str());
        } else if (!line.empty()) {
            bool unresolved = false;
            if (handle_name(line, unresolved) == 1) {
                if (append_name(m_znfsapi, m_iopx, handofffile, line)) {
                    handed_bytes += line.size() + 1;
                    m_handed_on.fetch_add(1, std::memory_order_relaxed);
                } else {
                    debug(fn, -1, "Failed to hand on name [%s] to file [%s] (%s): names lost for previous snap",
                          line.c_str(), handofffile.c_str(), frame::errno_text(errno).c_str());
                    unresolved = true;
                    ++lost;
                }
            }
            if (unresolved)
                m_unresolved.fetch_add(1, std::memory_order_relaxed);
        }
        offset += linelen + 1;
    }
    m_znfsapi->close(batch, znfs::znfs_aio_ptr());

    // A write that reported success is checked once more against the hand-off file's size:
    // a name that did not get there would keep the previous snapshot from ever releasing it.
    if (handed_bytes != 0) {
        znfs::znfs_file_ptr check = m_znfsapi->open(m_iopx, handofffile.c_str(), 0, znfs::znfs_aio_ptr());
        uint64_t size = check ? check->get_file_size() : 0;
        if (check)
            m_znfsapi->close(check, znfs::znfs_aio_ptr());
        if (size != handed_bytes) {
            debug(fn, -1, "Hand-off file [%s] holds [%llu] bytes, [%llu] expected: names lost for previous snap",
                  handofffile.c_str(), static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(handed_bytes));
            m_unresolved.fetch_add(1, std::memory_order_relaxed);
            ++lost;
        }
    }
    if (lost != 0 && !result)
        result = znfs::generic_code(EIO);
    return result;
}

int32_t znfssnapdelete::snap_handle_filedelete(string& name)
{
    bool unresolved = false;
    int32_t r = handle_name(name, unresolved);
    if (unresolved)
        m_unresolved.fetch_add(1, std::memory_order_relaxed);
    return r;
}

int32_t znfssnapdelete::handle_name(const string& name, bool& unresolved)
{
    static const char* const fn = "znfssnapdelete::snap_handle_filedelete";
    debug(fn, 0, "Checking file [%s]", name.c_str());
    m_checked.fetch_add(1, std::memory_order_relaxed);

    if (is_unsafe_name(name)) {
        debug(fn, -1, "Skipping unsafe name [%s]", name.c_str());
        return 0;
    }

    string path = m_opinfo->snapdir + "/" + name;
    errno = 0;
    if (!file_exists(m_znfsapi, m_iopx, path)) {
        // Only a copy that is not there is passed over quietly; one that could not be opened
        // keeps its object, and says so. A link is not a copy: its object is nobody's to guess.
        int e = errno;
        if (e == ELOOP) {
            debug(fn, -1, "File [%s] is a symbolic link, not a copy: nothing unlinked", path.c_str());
        } else if (e != ENOENT && e != ENOTDIR && e != ENAMETOOLONG) {
            debug(fn, -1, "Failed to open file [%s] (%s), nothing unlinked", path.c_str(), frame::errno_text(e).c_str());
            unresolved = true;
        }
        return 0;
    }

    string compared;
    bool read_this = false;
    switch (check_reference(name, compared, read_this)) {
    case reference::needed:
        debug(fn, 1, "File [%s] is needed by previous snap", name.c_str());
        return 1;
    case reference::unknown:
        // Handed on so that nothing the previous snapshot may use is lost, but the question
        // is still open: a rerun asks it again.
        debug(fn, 1, "File [%s] is needed by previous snap", name.c_str());
        unresolved = true;
        return 1;
    case reference::not_needed:
        break;
    }

    string uuid;
    int64_t rc = file_getxattr(m_znfsapi, m_iopx, path, suuidxattr, uuid, *this);

    // The copy is compared by its name, so a user who may rename or link entries in one of its
    // directories could have put another copy there: one whose object the live file or an older
    // snapshot still uses. The previous snapshot's answer ("absent", "another uuid") is as easy
    // to fake. Only when no one but root and this user can change those directories does the
    // answer stand; otherwise the object is kept, and the log line names it for reclaiming by
    // hand once no snapshot holds it.
    const bool has_prev = !m_opinfo->prevsnapdir.empty();
    if (rc > 0 && !uuid.empty()) {
        guard g = directories_guarded(m_opinfo->snapdir, name);
        if (g == guard::safe && has_prev)
            g = directories_guarded(m_opinfo->prevsnapdir, name);
        if (g == guard::unknown) {
            debug(fn, -1, "Directories of file [%s] unreadable, object [%s] kept%s", name.c_str(), uuid.c_str(),
                  has_prev ? ", handed on" : "");
            unresolved = true;
            return has_prev ? 1 : 0;
        }
        if (g != guard::safe) {
            debug(fn, -1, "File [%s] lies below a directory that others may write: object [%s] kept%s", name.c_str(),
                  uuid.c_str(), has_prev ? ", name handed on" : "");
            m_unguarded.fetch_add(1, std::memory_order_relaxed);
            return has_prev ? 1 : 0;
        }
    }

    debug(fn, 0, "Deleting file [%s]", uuid.c_str());
    if (rc < 0 && errno != ENODATA) {
        // Without a value we cannot tell what to unlink; keeping the object costs space,
        // guessing could cost data.
        debug(fn, -1, "File name [%s] uuid unreadable, nothing unlinked (%s)", path.c_str(),
              frame::errno_text(errno).c_str());
        unresolved = true;
        return 0;
    }
    if (rc <= 0)
        uuid.clear();

    // Only the object whose uuid was compared may go: a copy replaced since the comparison
    // may name an object that the previous snapshot holds.
    if (read_this && uuid != compared) {
        debug(fn, -1, "File name [%s] uuid changed from [%s] to [%s] since it was compared: handed on, nothing unlinked",
              path.c_str(), compared.c_str(), uuid.c_str());
        unresolved = true;
        return 1;
    }
    if (uuid.empty())
        return 0;

    // The uuid text is a path on the object volume only; that volume's backend keeps it inside
    // the volume's root whatever it contains.
    error_code ec = m_opinfo->objfsapi->unlink(m_objiopx ? m_objiopx : m_opinfo->objiopx, uuid.c_str(),
                                               znfs::znfs_aio_ptr());
    if (!ec) {
        m_unlinked.fetch_add(1, std::memory_order_relaxed);
    } else if (ec.value() == ENOENT) {  // gone already, e.g. by an interrupted earlier run
        m_missing.fetch_add(1, std::memory_order_relaxed);
    } else {
        debug(fn, -1, "Failed to unlink object [%s]: %s", uuid.c_str(), ec.message().c_str());
        unresolved = true;
    }
    return 0;
}

znfssnapdelete::guard znfssnapdelete::directories_guarded(const string& root, const string& name)
{
    string dir = root;
    size_t from = 0;
    for (;;) {
        guard g = guard::unknown;
        bool known = false;
        {
            std::lock_guard<std::mutex> lock(m_guard_mutex);
            auto it = m_guarded.find(dir);
            if (it != m_guarded.end()) {
                g = it->second;
                known = true;
            }
        }
        if (!known) {
            g = directory_guard(dir);
            // An unreadable directory is asked again for the next name: the fault may pass.
            if (g != guard::unknown) {
                std::lock_guard<std::mutex> lock(m_guard_mutex);
                m_guarded.emplace(dir, g);
            }
        }
        if (g == guard::absent || g == guard::sealed)
            return guard::safe;
        if (g != guard::safe)
            return g;
        size_t slash = name.find('/', from);
        while (slash == from && slash != string::npos)  // "a//b": no directory between
            slash = name.find('/', ++from);
        if (slash == string::npos)
            return guard::safe;
        dir = root + "/" + name.substr(0, slash);
        from = slash + 1;
    }
}

int64_t znfssnapdelete::raw_getxattr(const string& path, const char* name, string& value)
{
    znfs::znfs_buff_ptr buff = m_znfsapi->alloc_io_buffer(4096);
    if (!buff || !buff->get_base()) {
        errno = ENOMEM;
        return -1;
    }
    struct iovec iov;
    iov.iov_base = buff->get_base();
    iov.iov_len = 4096;
    int64_t got = m_znfsapi->getxattr(m_iopx, path.c_str(), name, &iov, znfs::znfs_aio_ptr());
    if (got >= 0)
        value.assign(static_cast<const char*>(buff->get_base()), static_cast<size_t>(got));
    else if (got != -1)
        errno = EIO;
    return got;
}

znfssnapdelete::guard znfssnapdelete::directory_guard(const string& dir)
{
    static const char* const fn = "znfssnapdelete::directory_guard";
    struct stat st;
    std::memset(&st, 0, sizeof st);
    error_code ec = m_znfsapi->stat(m_iopx, dir.c_str(), &st, znfs::znfs_aio_ptr());
    if (ec.value() == ENOENT || ec.value() == ENOTDIR || (!ec && !S_ISDIR(st.st_mode)))
        return guard::absent;
    if (ec.value() == ELOOP)  // a link where a directory was copied: someone put it there
        return guard::unsafe;
    if (ec) {
        debug(fn, -1, "Failed to stat directory [%s]: %s", dir.c_str(), ec.message().c_str());
        return guard::unknown;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return guard::unsafe;

    // Who else may search (x) and change (w) it: others by the mode, the owning group unless it
    // is root's, and with an access ACL every named user and group but root's and ours (the
    // group bits are then the mask, and the owning group has an entry of its own).
    unsigned others = st.st_mode & S_IRWXO;
    unsigned group = st.st_gid != 0 ? (st.st_mode & S_IRWXG) >> 3 : 0;
    if ((st.st_mode & (S_IWGRP | S_IXGRP)) != 0) {
        string acl;
        errno = 0;
        int64_t rc = raw_getxattr(dir, frame::k_acl_access, acl);
        if (rc >= 0) {
            unsigned named = 0, owning = 0;
            if (!acl_reach(acl, st.st_uid, named, owning)) {
                debug(fn, -1, "Unreadable ACL on directory [%s]", dir.c_str());
                return guard::unsafe;
            }
            group = (st.st_gid != 0 ? owning : 0) | named;
        } else if (errno == ERANGE) {  // an ACL of hundreds of entries
            return guard::unsafe;
        } else if (!frame::no_such_attribute(errno)) {
            debug(fn, -1, "Failed to read the ACL of directory [%s]: %s", dir.c_str(),
                  frame::errno_text(errno).c_str());
            return guard::unknown;
        }
    }
    // Entries are changed only by those who may both search and write the directory, and
    // nothing below one that no one else may search can be reached at all.
    if (((others | group) & 1) == 0)
        return guard::sealed;
    return ((others | group) & 2) != 0 ? guard::unsafe : guard::safe;
}

bool znfssnapdelete::is_file_needed(const string& name)
{
    string thisuuid;
    bool read_this = false;
    return check_reference(name, thisuuid, read_this) != reference::not_needed;
}

znfssnapdelete::reference znfssnapdelete::check_reference(const string& name, string& thisuuid, bool& read_this)
{
    static const char* const fn = "znfssnapdelete::is_file_needed()";
    if (m_opinfo->prevsnapdir.empty()) {
        debug(fn, 1, "No previous version - file not needed");
        return reference::not_needed;
    }

    string thispath = m_opinfo->snapdir + "/" + name;
    string prevpath = m_opinfo->prevsnapdir + "/" + name;

    // Answering "not needed" lets the caller unlink the object, so that answer is given only
    // when a read proves there is nothing to share; every other failure keeps the object.
    int64_t rc = file_getxattr(m_znfsapi, m_iopx, thispath, suuidxattr, thisuuid, *this);
    switch (classify(rc, errno, thisuuid, false)) {
    case uuid_read::value:
        break;
    case uuid_read::absent:
        thisuuid.clear();
        read_this = true;
        debug(fn, -1, "File name [%s] getattr uuid failed", thispath.c_str());
        return reference::not_needed;
    case uuid_read::unknown:
        debug(fn, -1, "File name [%s] uuid unreadable, kept for previous snap", thispath.c_str());
        return reference::unknown;
    }
    read_this = true;

    string prevuuid;
    rc = file_getxattr(m_znfsapi, m_iopx, prevpath, suuidxattr, prevuuid, *this);
    if (rc < 0 && errno == ELOOP) {
        // Whatever the link stands for, the previous snapshot may still use the object.
        debug(fn, -1, "File name [%s] is a symbolic link, kept for previous snap", prevpath.c_str());
        return reference::needed;
    }
    switch (classify(rc, errno, prevuuid, true)) {
    case uuid_read::value:
        break;
    case uuid_read::absent:
        debug(fn, -1, "File name [%s] getattr uuid failed", prevpath.c_str());
        return reference::not_needed;
    case uuid_read::unknown:
        debug(fn, -1, "File name [%s] uuid unreadable, kept for previous snap", prevpath.c_str());
        return reference::unknown;
    }
    if (thisuuid == prevuuid)
        return reference::needed;
    // The object volume resolves a uuid as a path: two spellings of one path name one object,
    // which the previous snapshot still uses. A ".." is not judged from the names: kept.
    bool climbs = false;
    if (object_spelling(thisuuid, climbs) == object_spelling(prevuuid, climbs) || climbs) {
        debug(fn, -1, "File name [%s] uuid [%s] names the object of [%s], kept for previous snap", thispath.c_str(),
              thisuuid.c_str(), prevpath.c_str());
        return reference::needed;
    }
    return reference::not_needed;
}

error_code znfssnapdelete::create_prevsnap_dellist(string listpath)
{
    static const char* const fn = "znfssnapdelete::create_prevsnap_dellist";
    error_code result;
    if (listpath.empty()) {
        error(fn, "Filename for deletelist of previous snap missing");
        return frame::invalid_argument();
    }

    // A close may be where a write that never got there is told (GlusterFS writes behind): the
    // list would be reported without names it lacks.
    auto close_list = [&](znfs::znfs_file_ptr& list) {
        error_code cec = m_znfsapi->close(list, znfs::znfs_aio_ptr());
        if (cec) {
            error(fn, "Failed to close file [%s]: %s", listpath.c_str(), cec.message().c_str());
            if (!result)
                result = znfs::generic_code(cec.value());
        }
    };

    znfs::znfs_file_ptr list = m_znfsapi->open(m_iopx, listpath.c_str(), 0x241, znfs::znfs_aio_ptr());
    if (!list) {
        int e = errno;
        error(fn, "Failed to create file [%s]", listpath.c_str());
        return znfs::generic_code(e);
    }
    close_list(list);

    for (uint32_t n = 1; n <= m_threadcount; ++n) {
        string handoff = m_snapdir + sdelfilebatch_prevsnap + znfs_utils::uint_to_string(n);
        errno = 0;
        if (!file_exists(m_znfsapi, m_iopx, handoff)) {
            // Only a hand-off file that is not there has nothing to give; one that cannot be
            // opened holds names the previous snapshot must not lose.
            int e = errno;
            if (e != ENOENT && e != 0) {
                error(fn, "Failed to open file [%s] error [%d]", handoff.c_str(), e);
                result = znfs::generic_code(e);
            }
            continue;
        }
        list = m_znfsapi->open(m_iopx, listpath.c_str(), 1, znfs::znfs_aio_ptr());
        if (!list) {
            int e = errno;
            error(fn, "Failed to reopen file [%s] for append from [%s]: %s", listpath.c_str(),
                  handoff.c_str(), frame::errno_text(e).c_str());
            result = znfs::generic_code(e);
            continue;
        }
        error_code rc = fileappend(m_znfsapi, m_iopx, handoff, list, list->get_file_size(), *this);
        if (rc) {
            error(fn, "File append failed from [%s] to file [%s] with error [%d]", handoff.c_str(),
                  listpath.c_str(), rc.value());
            result = rc;
        }
        close_list(list);
    }

    // The list is reported as the names to hand on: it must survive a power cut first.
    if (!result) {
        list = m_znfsapi->open(m_iopx, listpath.c_str(), 1, znfs::znfs_aio_ptr());
        error_code sc = list ? m_znfsapi->fsync(list, znfs::znfs_aio_ptr()) : znfs::errno_code(znfs::errno_or_eio());
        if (sc) {
            m_znfsapi->close(list, znfs::znfs_aio_ptr());
            error(fn, "Failed to make file [%s] durable: %s", listpath.c_str(), sc.message().c_str());
            result = sc;
        } else {
            close_list(list);
        }
    }
    return result;
}

}  // namespace znfssnapdelete
}  // namespace znfssnapcore
