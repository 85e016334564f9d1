#include <znfssnapcore/znfssnapcore.h>

#include <znfs/znfs_utils.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace znfssnapcore {
namespace znfssnaputils {

// Built in this order during library initialisation, before any entry point can run.
const string sdellistdir = "/.delete";
const string sdelfilelist = sdellistdir + "/deletefilelist";
const string sdelfilebatch = sdellistdir + "/delfilebatch_thr";
const string sdelfilebatch_prevsnap = sdellistdir + "/delfilebatch_prevsnap_thr";
const string sdelfilelist_prevsnap = sdellistdir + "/deletefilelist_prevsnap";
const string suuidxattr = "trusted.vidoruvud.uuid";

namespace {

using znfs::errno_or_eio;
using znfs::generic_code;
using znfs::znfs_api;
using znfs::znfs_buff_ptr;
using znfs::znfs_file_ptr;
using znfs::znfs_iopx_ptr;

const uint64_t k_line_piece = 128;    // a list entry is gathered in reads of this size
const uint64_t k_copy_block = 32768;  // one read and one write per block

znfs::znfs_aio_ptr sync_call() { return znfs::znfs_aio_ptr(); }

enum class entry_read { entry, end, failed };

// Gathers the entry that starts at offset into line, reading k_line_piece bytes at a time into
// buf (at least k_line_piece bytes). `end`: no byte at offset. `failed`: a read failed, errno
// tells why, line holds nothing useful.
entry_read read_entry(znfs_api* api, const znfs_file_ptr& fp, const znfs_buff_ptr& buf, uint64_t offset,
                      string& line)
{
    line.clear();
    const char* base = static_cast<const char*>(buf->get_base());
    for (;;) {
        int64_t n = api->read(fp, buf, k_line_piece, static_cast<int64_t>(offset), 0, sync_call());
        if (n < 0)
            return entry_read::failed;
        if (n == 0)
            return line.empty() ? entry_read::end : entry_read::entry;
        size_t got = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(n), k_line_piece));
        for (size_t i = 0; i < got; ++i) {
            if (base[i] == '\n' || base[i] == '\0') {
                line.append(base, i);
                return entry_read::entry;
            }
        }
        // A short read is not the end of the file (a network backend may return less than
        // asked): only a read of nothing is. Taking it for the end would cut a name in two
        // and hand on, or unlink the object of, a name nobody listed.
        line.append(base, got);
        offset += got;
    }
}

// The length of the entry that starts at offset, found without holding it: a single line of
// any size costs one buffer. Outcomes as read_entry.
entry_read entry_length(znfs_api* api, const znfs_file_ptr& fp, const znfs_buff_ptr& buf, uint64_t offset,
                        uint64_t& length)
{
    length = 0;
    const char* base = static_cast<const char*>(buf->get_base());
    for (;;) {
        int64_t n = api->read(fp, buf, k_copy_block, static_cast<int64_t>(offset + length), 0, sync_call());
        if (n < 0)
            return entry_read::failed;
        if (n == 0)
            return length == 0 ? entry_read::end : entry_read::entry;
        size_t got = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(n), k_copy_block));
        for (size_t i = 0; i < got; ++i) {
            if (base[i] == '\n' || base[i] == '\0') {
                length += i;
                return entry_read::entry;
            }
        }
        length += got;
    }
}

bool all_zero(const char* p, uint64_t n)
{
    static const char zeros[4096] = {};
    for (uint64_t at = 0; at < n; at += sizeof zeros)
        if (std::memcmp(p + at, zeros, std::min<uint64_t>(sizeof zeros, n - at)) != 0)
            return false;
    return true;
}

// file_copy through a caller-provided buffer of k_copy_block bytes. sparse: a block of zeros
// other than the last is not written, so that it stays a hole in a new destination.
error_code copy_range(znfs_api* api, const znfs_buff_ptr& buf, const znfs_file_ptr& srcfp, uint64_t srcoffset,
                      const znfs_file_ptr& dstfp, uint64_t dstoffset, uint64_t size, znfs::znfs_debug& logger,
                      bool sparse = false)
{
    char* base = static_cast<char*>(buf->get_base());
    while (size != 0) {
        uint64_t n = std::min(size, k_copy_block);
        int64_t got = api->read(srcfp, buf, n, static_cast<int64_t>(srcoffset), 0, sync_call());
        if (got <= 0) {
            // A source that ends early must not be padded with stale buffer bytes: stop here and
            // report ENODATA ("no data available") so the short copy is never taken as complete.
            int e = got < 0 ? errno_or_eio() : ENODATA;
            logger.error("file_copy", "Failed to read data from offset [%llu] error [%d]",
                         static_cast<unsigned long long>(srcoffset), e);
            return generic_code(e);
        }
        uint64_t pending = std::min(static_cast<uint64_t>(got), n);
        srcoffset += pending;
        size -= pending;
        if (sparse && size != 0 && all_zero(base, pending)) {
            dstoffset += pending;
            continue;
        }
        while (pending != 0) {
            int64_t put = api->write(dstfp, buf, pending, static_cast<int64_t>(dstoffset), 0, sync_call());
            if (put <= 0) {
                int e = put < 0 ? errno_or_eio() : EIO;
                logger.error("file_copy", "Failed to write data to offset [%llu] error [%d]",
                             static_cast<unsigned long long>(dstoffset), e);
                return generic_code(e);
            }
            uint64_t done = std::min(static_cast<uint64_t>(put), pending);
            dstoffset += done;
            pending -= done;
            if (pending != 0)  // a short write: the rest moves to the buffer's start
                std::memmove(base, base + done, pending);
        }
    }
    return error_code();
}

znfs_buff_ptr copy_buffer(znfs_api* api, const char* fn, znfs::znfs_debug& logger)
{
    znfs_buff_ptr buf = api->alloc_io_buffer(k_copy_block);
    if (!buf)
        logger.error(fn, "Failed to allocate I/O buffer of [%llu] bytes: %s",
                     static_cast<unsigned long long>(k_copy_block),
                     std::generic_category().message(ENOMEM).c_str());
    return buf;
}

}  // namespace

bool file_exists(znfs_api* api, znfs_iopx_ptr iopx, string path)
{
    znfs_file_ptr fp = api->open(iopx, path.c_str(), 0, sync_call());
    if (!fp)
        return false;
    api->close(fp, sync_call());
    return true;
}

bool is_file_empty(znfs_api* api, znfs_iopx_ptr iopx, string path)
{
    znfs_file_ptr fp = api->open(iopx, path.c_str(), 0, sync_call());
    if (!fp)
        return true;
    bool empty = fp->get_file_size() == 0;
    api->close(fp, sync_call());
    return empty;
}

string fileptr_getline(znfs_api* api, znfs_file_ptr fileptr, uint64_t offset, uint64_t& linelen)
{
    string line;
    znfs_buff_ptr buf = api->alloc_io_buffer(k_line_piece);
    if (!buf)
        return line;
    if (read_entry(api, fileptr, buf, offset, line) != entry_read::entry) {
        line.clear();
        return line;
    }
    linelen = line.size();
    return line;
}

void filename_addtolist(znfs_api* api, znfs_iopx_ptr iopx, string listfile, string filename)
{
    // A line feed or a NUL would end the entry early: the list would name other files.
    if (filename.find('\n') != string::npos || filename.find('\0') != string::npos)
        return;
    // Read and write: the list's last byte is looked at before anything is added.
    znfs_file_ptr fp = api->open(iopx, listfile.c_str(), 2, sync_call());
    if (!fp)
        return;
    filename.push_back('\n');
    const uint64_t at = fp->get_file_size();
    znfs_buff_ptr buf = api->alloc_io_buffer(filename.size() + 1);
    char* base = buf ? static_cast<char*>(buf->get_base()) : nullptr;
    // A list whose last entry has no terminator (an append cut short, or a writer that died)
    // would have the name joined to that entry: a name nobody listed, and both lost.
    bool ends_clean = at == 0 || (buf && api->read(fp, buf, 1, static_cast<int64_t>(at - 1), 0, sync_call()) == 1 &&
                                  (base[0] == '\n' || base[0] == '\0'));
    if (buf && ends_clean) {
        std::memcpy(base, filename.data(), filename.size());
        // Appends at the size seen at open: each list has one writer at a time.
        if (api->write(fp, buf, filename.size(), static_cast<int64_t>(at), 1, sync_call()) !=
            static_cast<int64_t>(filename.size())) {
            // A write that failed part-way (a full volume) left the start of the entry: it
            // would be read as a name of its own, and the next entry joined to it. What got
            // there becomes empty lines, which every reader skips.
            struct stat st;
            if (!api->stat(iopx, listfile.c_str(), &st, sync_call()) && static_cast<uint64_t>(st.st_size) > at) {
                uint64_t cut = std::min<uint64_t>(static_cast<uint64_t>(st.st_size) - at, filename.size());
                std::memset(base, '\n', cut);
                api->write(fp, buf, cut, static_cast<int64_t>(at), 1, sync_call());
            }
        }
    }
    api->close(fp, sync_call());
}

error_code file_copy(znfs_api* api, znfs_file_ptr srcfp, uint64_t srcoffset, znfs_file_ptr dstfp,
                     uint64_t dstoffset, uint64_t size, znfs::znfs_debug& logger)
{
    if (size == 0)
        return error_code();
    znfs_buff_ptr buf = copy_buffer(api, "file_copy", logger);
    if (!buf)
        return generic_code(ENOMEM);
    return copy_range(api, buf, srcfp, srcoffset, dstfp, dstoffset, size, logger);
}

error_code sparse_copy(znfs_api* api, const znfs_file_ptr& srcfp, const znfs_file_ptr& dstfp, uint64_t size,
                       znfs::znfs_debug& logger)
{
    if (size == 0)
        return error_code();
    znfs_buff_ptr buf = copy_buffer(api, "file_copy", logger);
    if (!buf)
        return generic_code(ENOMEM);
    return copy_range(api, buf, srcfp, 0, dstfp, 0, size, logger, true);
}

error_code filesplit(znfs_api* api, znfs_iopx_ptr iopx, string filetosplit, uint32_t splitcount,
                     string splitfileprefix, znfs::znfs_debug& logger)
{
    logger.debug("filesplit", 1, "filetosplit=[%s] splitcount=[%d] splitfileprefix=[%s]", filetosplit.c_str(),
                 static_cast<int>(splitcount), splitfileprefix.c_str());
    if (splitcount == 0) {
        logger.error("filesplit", "Invalid split count [%u] for file [%s]", splitcount,
                     filetosplit.c_str());
        return generic_code(EINVAL);
    }
    znfs_file_ptr listfp = api->open(iopx, filetosplit.c_str(), 0, sync_call());
    if (!listfp) {
        int e = errno_or_eio();
        logger.error("filesplit", "Failed to open file [%s] error [%d]", filetosplit.c_str(), e);
        return generic_code(e);
    }
    const uint64_t total = listfp->get_file_size();
    if (total == 0) {
        api->close(listfp, sync_call());
        return error_code();
    }
    // One buffer serves the cut search and every piece copy.
    znfs_buff_ptr buf = copy_buffer(api, "filesplit", logger);
    if (!buf) {
        api->close(listfp, sync_call());
        return generic_code(ENOMEM);
    }

    // Each piece runs from its start through the terminator of the entry holding the byte at
    // start + chunk, so no entry is cut and every piece but the last is longer than chunk.
    const uint64_t chunk = total / splitcount;
    std::vector<std::pair<uint64_t, uint64_t>> pieces;
    uint64_t linelen = 0;
    for (uint64_t start = 0; start < total;) {
        if (chunk > total - start) {
            pieces.emplace_back(start, total - start);
            break;
        }
        uint64_t cut = start + chunk;
        if (entry_length(api, listfp, buf, cut, linelen) == entry_read::failed) {
            int e = errno_or_eio();
            logger.error("filesplit", "Failed to read data from offset [%llu] error [%d]",
                         static_cast<unsigned long long>(cut), e);
            api->close(listfp, sync_call());
            return generic_code(e);
        }
        uint64_t length = std::min(chunk + linelen + 1, total - start);
        pieces.emplace_back(start, length);
        start += length;
    }

    for (size_t i = 0; i < pieces.size(); ++i) {
        string piecepath = splitfileprefix + znfs::znfs_utils::uint_to_string(static_cast<unsigned>(i + 1));
        znfs_file_ptr piecefp = api->open(iopx, piecepath.c_str(), 0x241, sync_call());
        int open_errno = piecefp ? 0 : errno_or_eio();
        logger.debug("filesplit", 1, "Creating file [%s]", piecepath.c_str());
        error_code ec = piecefp ? copy_range(api, buf, listfp, pieces[i].first, piecefp, 0, pieces[i].second, logger)
                                : generic_code(open_errno);
        // A close may be where a write that never got there is told (GlusterFS writes behind):
        // a piece short of names would leave them neither deleted nor handed on.
        const error_code close_ec = piecefp ? api->close(piecefp, sync_call()) : error_code();
        if (!ec && close_ec)
            ec = generic_code(close_ec.value());
        if (ec) {
            logger.error("filesplit", "Failed to copy file [src: %s] to dest [%s] with error [%d]",
                         filetosplit.c_str(), piecepath.c_str(), ec.value());
            api->close(listfp, sync_call());
            return ec;
        }
    }
    api->close(listfp, sync_call());
    return error_code();
}

error_code fileappend(znfs_api* api, znfs_iopx_ptr iopx, string srcfile, znfs_file_ptr dstfp, uint64_t dstoffset,
                      znfs::znfs_debug& logger)
{
    znfs_file_ptr srcfp = api->open(iopx, srcfile.c_str(), 0, sync_call());
    if (!srcfp) {
        int e = errno_or_eio();
        logger.error("fileappend", "Failed to open file [%s] error [%d]", srcfile.c_str(), e);
        return generic_code(e);
    }
    uint64_t size = srcfp->get_file_size();
    error_code ec;
    if (size == 0) {
        // The normal output of a batch that handed nothing on: nothing to append, no failure.
        logger.debug("fileappend", 1, "File size is 0 for srcfile [%s] error [%d]", srcfile.c_str(), 0);
    } else {
        ec = file_copy(api, srcfp, 0, dstfp, dstoffset, size, logger);
        if (ec)
            logger.error("fileappend", "File copy failed from srcfile [%s] error [%d]", srcfile.c_str(),
                         ec.value());
    }
    api->close(srcfp, sync_call());
    return ec;
}

namespace {

const char* const k_rmdir_fn = "znfssnaputils::rmdir_nonempty";

// One directory of the removal: listed once, its subdirectories removed before itself.
struct removal {
    string path;
    bool listed;
};

}  // namespace

error_code rmdir_nonempty(znfs_api* api, znfs_iopx_ptr iopx, string dirname, znfs::znfs_debug& logger)
{
    // Others may swap a directory of the tree for a link while it is removed: below the parent
    // of dirname nothing is reached through a link, so nothing outside the tree is touched, and
    // dirname itself, if it is a link, is removed as a name. The walk keeps its pending
    // directories on the heap, so a deep tree needs no deep stack.
    string parent = dirname;
    while (parent.size() > 1 && parent.back() == '/')
        parent.pop_back();
    size_t slash = parent.rfind('/');
    parent = slash == string::npos || slash == 0 ? string("/") : parent.substr(0, slash);
    error_code ec;
    znfs_iopx_ptr tree = api->confine(iopx, {parent}, znfs::znfs_api::final_link::refuse, ec);
    if (!tree) {
        logger.error(k_rmdir_fn, "Failed to open directory [%s]", dirname.c_str());
        return ec;
    }

    std::vector<removal> pending{removal{dirname, false}};
    string child;
    while (!pending.empty()) {
        if (pending.back().listed) {
            string path = std::move(pending.back().path);
            pending.pop_back();
            ec = api->rmdir(tree, path.c_str(), sync_call());
            continue;
        }
        pending.back().listed = true;
        const string dir = pending.back().path;
        const bool nested = pending.size() > 1;
        logger.debug(k_rmdir_fn, 1, "Travserse: dirname [%s]", dir.c_str());
        znfs_file_ptr dh = api->opendir(tree, dir.c_str(), sync_call());
        if (!dh) {
            int e = errno_or_eio();
            pending.pop_back();
            if (e == ELOOP) {
                logger.debug(k_rmdir_fn, 1, "Removing link [%s]", dir.c_str());
                ec = api->unlink(tree, dir.c_str(), sync_call());
            } else {
                // A directory listed a moment ago that is gone now is simply gone.
                if (!(nested && e == ENOENT))
                    logger.error(k_rmdir_fn, "Failed to open directory [%s]", dir.c_str());
                ec = generic_code(e);
            }
            continue;
        }
        for (;;) {
            errno = 0;
            struct dirent* de = api->readdir(dh, sync_call());
            if (!de) {
                int e = errno;
                if (e != 0)
                    logger.error(k_rmdir_fn, "Failed to read directory [%s]: %s", dir.c_str(),
                                 std::generic_category().message(e).c_str());
                break;
            }
            const char* name = de->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            unsigned char type = de->d_type;
            child.assign(dir).append("/").append(name);
            if (type == DT_DIR) {
                pending.push_back(removal{child, false});
                continue;
            }
            logger.debug(k_rmdir_fn, 1, "Removing file [%s]", child.c_str());
            error_code uec = api->unlink(tree, child.c_str(), sync_call());
            // An entry of unknown type that refuses unlink as a directory is one: unlink never
            // follows a link, so this never reaches outside the tree.
            if (type == DT_UNKNOWN && (uec.value() == EISDIR || uec.value() == EPERM))
                pending.push_back(removal{child, false});
        }
        api->closedir(dh, sync_call());
    }
    // Every removal above set ec; the last one is that of dirname itself.
    return ec;
}

}  // namespace znfssnaputils
}  // namespace znfssnapcore
