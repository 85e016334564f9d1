#include "znfssc_frame.h"

#include <znfs/znfs_utils.h>

#include <boost/bind/bind.hpp>

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

const char* const kuuidattr = "trusted.vidoruvud.uuid";

inline error_code generic_errno(int e) { return error_code(e, std::generic_category()); }

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
    : m_znfsapi(nullptr), m_thpool_enabled(false), m_opinfo(opinfo), m_threadcount(0), m_checked(0),
      m_handed_on(0), m_unlinked(0), m_unresolved(0)
{
    frame::construct(this, opinfo, "znfssnapdelete::znfssnapdelete");
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
    m_iopx = op->snapiopx;
    m_snapdir = op->snapdir;

    m_threadcount = batch_count(boost::thread::hardware_concurrency());
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
    if (!ec)
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
            debug(fn, -1, "Failed to remove stale batch file [%s] error [%d]", batch.c_str(), rc.value());
            return rc;
        }
    }

    return filesplit(m_znfsapi, m_iopx, m_snapdir + sdelfilelist, m_threadcount, m_snapdir + sdelfilebatch, *this);
}

void znfssnapdelete::snap_batchdel_thr(uint32_t thread_number)
{
    string snapdir = get_snapdir();
    string num = znfs_utils::uint_to_string(thread_number);
    snap_delete_batch(snapdir + sdelfilebatch + num, snapdir + sdelfilebatch_prevsnap + num);
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
    // the names this batch hands on would be lost: the batch is left alone (its objects kept).
    znfs::znfs_file_ptr handoff = m_znfsapi->open(m_iopx, handofffile.c_str(), 0x241, znfs::znfs_aio_ptr());
    if (!handoff) {
        int e = errno != 0 ? errno : EIO;
        debug(fn, -1, "Failed to create file [%s] error [%d], batch [%s] kept", handofffile.c_str(), e,
              batchfile.c_str());
        return generic_errno(e);
    }
    m_znfsapi->close(handoff, znfs::znfs_aio_ptr());

    znfs::znfs_file_ptr batch = m_znfsapi->open(m_iopx, batchfile.c_str(), 0, znfs::znfs_aio_ptr());
    if (!batch) {
        int e = errno;
        debug(fn, -1, "Failed to open file [%s]", batchfile.c_str());
        return generic_errno(e);
    }

    // fileptr_getline leaves linelen alone when it has no entry to give (a failed read, or a
    // file that shrank). Stepping one byte on from there would read the tail of a name as a
    // name of its own and could unlink an object nobody listed, so the batch stops instead:
    // the names not reached keep their objects.
    const uint64_t noentry = UINT64_MAX;
    error_code result;
    uint64_t handed_bytes = 0;
    uint64_t offset = 0;
    while (offset < batch->get_file_size()) {
        uint64_t linelen = noentry;
        errno = 0;
        string line = fileptr_getline(m_znfsapi, batch, offset, linelen);
        if (linelen == noentry) {
            int e = errno != 0 ? errno : EIO;
            debug(fn, -1, "Failed to read file [%s] at offset [%llu], rest of batch kept", batchfile.c_str(),
                  static_cast<unsigned long long>(offset));
            result = generic_errno(e);
            break;
        }
        if (!line.empty() && snap_handle_filedelete(line) == 1) {
            filename_addtolist(m_znfsapi, m_iopx, handofffile, line);
            handed_bytes += line.size() + 1;
            m_handed_on.fetch_add(1, std::memory_order_relaxed);
        }
        offset += linelen + 1;
    }
    m_znfsapi->close(batch, znfs::znfs_aio_ptr());

    // filename_addtolist reports nothing; a name it failed to append would silently keep the
    // previous snapshot from ever releasing that object. The hand-off file's size tells.
    if (handed_bytes != 0) {
        znfs::znfs_file_ptr check = m_znfsapi->open(m_iopx, handofffile.c_str(), 0, znfs::znfs_aio_ptr());
        uint64_t size = check ? check->get_file_size() : 0;
        if (check)
            m_znfsapi->close(check, znfs::znfs_aio_ptr());
        if (size != handed_bytes) {
            debug(fn, -1, "Hand-off file [%s] holds [%llu] bytes, [%llu] expected: names lost for previous snap",
                  handofffile.c_str(), static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(handed_bytes));
            if (!result)
                result = generic_errno(EIO);
        }
    }
    return result;
}

int32_t znfssnapdelete::snap_handle_filedelete(string& name)
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
        // keeps its object, and says so.
        int e = errno;
        if (e != ENOENT && e != ENOTDIR)
            debug(fn, -1, "Failed to open file [%s] error [%d], nothing unlinked", path.c_str(), e);
        return 0;
    }

    if (is_file_needed(name)) {
        debug(fn, 1, "File [%s] is needed by previous snap", name.c_str());
        return 1;
    }

    string uuid;
    int64_t rc = file_getxattr(m_znfsapi, m_iopx, path, kuuidattr, uuid, *this);
    debug(fn, 0, "Deleting file [%s]", uuid.c_str());
    if (rc < 0) {
        // The check said "not needed" a moment ago, but without a value we cannot tell what to
        // unlink; keeping the object costs space, guessing could cost data.
        debug(fn, -1, "File name [%s] uuid unreadable, nothing unlinked (error [%d])", path.c_str(),
              errno);
        return 0;
    }
    if (uuid.empty())
        return 0;

    // The uuid text is a path on the object volume only; that volume's backend keeps it inside
    // the volume's root whatever it contains.
    error_code ec = m_opinfo->objfsapi->unlink(m_opinfo->objiopx, uuid.c_str(), znfs::znfs_aio_ptr());
    if (!ec)
        m_unlinked.fetch_add(1, std::memory_order_relaxed);
    else if (ec.value() != ENOENT)  // ENOENT: gone already, e.g. by an interrupted earlier run
        debug(fn, -1, "Failed to unlink object [%s] error [%d]", uuid.c_str(), ec.value());
    return 0;
}

bool znfssnapdelete::is_file_needed(const string& name)
{
    static const char* const fn = "znfssnapdelete::is_file_needed()";
    if (m_opinfo->prevsnapdir.empty()) {
        debug(fn, 1, "No previous version - file not needed");
        return false;
    }

    string thispath = m_opinfo->snapdir + "/" + name;
    string prevpath = m_opinfo->prevsnapdir + "/" + name;

    // Answering "not needed" lets the caller unlink the object, so that answer is given only
    // when a read proves there is nothing to share; every other failure keeps the object.
    string thisuuid;
    int64_t rc = file_getxattr(m_znfsapi, m_iopx, thispath, kuuidattr, thisuuid, *this);
    switch (classify(rc, errno, thisuuid, false)) {
    case uuid_read::value:
        break;
    case uuid_read::absent:
        debug(fn, -1, "File name [%s] getattr uuid failed", thispath.c_str());
        return false;
    case uuid_read::unknown:
        debug(fn, -1, "File name [%s] uuid unreadable, kept for previous snap", thispath.c_str());
        return true;
    }

    string prevuuid;
    rc = file_getxattr(m_znfsapi, m_iopx, prevpath, kuuidattr, prevuuid, *this);
    switch (classify(rc, errno, prevuuid, true)) {
    case uuid_read::value:
        break;
    case uuid_read::absent:
        debug(fn, -1, "File name [%s] getattr uuid failed", prevpath.c_str());
        return false;
    case uuid_read::unknown:
        debug(fn, -1, "File name [%s] uuid unreadable, kept for previous snap", prevpath.c_str());
        return true;
    }
    return thisuuid == prevuuid;
}

error_code znfssnapdelete::create_prevsnap_dellist(string listpath)
{
    static const char* const fn = "znfssnapdelete::create_prevsnap_dellist";
    error_code result;
    if (listpath.empty()) {
        error(fn, "Filename for deletelist of previous snap missing");
        return frame::invalid_argument();
    }

    znfs::znfs_file_ptr list = m_znfsapi->open(m_iopx, listpath.c_str(), 0x241, znfs::znfs_aio_ptr());
    if (!list) {
        int e = errno;
        error(fn, "Failed to create file [%s]", listpath.c_str());
        return generic_errno(e);
    }
    m_znfsapi->close(list, znfs::znfs_aio_ptr());

    for (uint32_t n = 1; n <= m_threadcount; ++n) {
        string handoff = m_snapdir + sdelfilebatch_prevsnap + znfs_utils::uint_to_string(n);
        errno = 0;
        if (!file_exists(m_znfsapi, m_iopx, handoff)) {
            // Only a hand-off file that is not there has nothing to give; one that cannot be
            // opened holds names the previous snapshot must not lose.
            int e = errno;
            if (e != ENOENT && e != 0) {
                error(fn, "Failed to open file [%s] error [%d]", handoff.c_str(), e);
                result = generic_errno(e);
            }
            continue;
        }
        list = m_znfsapi->open(m_iopx, listpath.c_str(), 1, znfs::znfs_aio_ptr());
        if (!list) {
            int e = errno;
            error(fn, "Failed to reopen file [%s] for append from [%s] error [%d]", listpath.c_str(),
                  handoff.c_str(), e);
            result = generic_errno(e);
            continue;
        }
        error_code rc = fileappend(m_znfsapi, m_iopx, handoff, list, list->get_file_size(), *this);
        if (rc) {
            error(fn, "File append failed from [%s] to file [%s] with error [%d]", handoff.c_str(),
                  listpath.c_str(), rc.value());
            result = rc;
        }
        m_znfsapi->close(list, znfs::znfs_aio_ptr());
    }
    return result;
}

}  // namespace znfssnapdelete
}  // namespace znfssnapcore
