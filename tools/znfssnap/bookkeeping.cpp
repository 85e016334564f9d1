#include "bookkeeping.h"

#include "options.h"
#include "report.h"
#include "volume_files.h"

#include <znfssnapcore/znfssnapcore.h>

#include <fcntl.h>
#include <sys/uio.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace znfssnap {

const char* const k_delete_complete = "/.delete/delete_complete";
const char* const k_delete_started = "/.delete/delete_started";
const char* const k_handoff_pending = "/.delete/handoff_pending";
const char* const k_handoff_done = "/.delete/handoff_done";
const char* const k_destroying = "/.delete/destroying";
const char* const k_incomplete = "/.delete/incomplete";
const char* const k_created_attr = "user.znfssnap.created";

std::string format_pending(const pending_handoff& p)
{
    return std::to_string(p.offset) + " " + std::to_string(p.length) + " " + p.snapdir + "\n";
}

bool parse_pending(const std::string& text, pending_handoff& p)
{
    if (text.empty() || text.back() != '\n')
        return false;  // a marker is written whole before it counts; a cut one never got that far
    size_t s1 = text.find(' ');
    size_t s2 = s1 == std::string::npos ? s1 : text.find(' ', s1 + 1);
    if (s2 == std::string::npos)
        return false;
    long long off = 0, len = 0;
    if (!parse_int(text.substr(0, s1), off) || !parse_int(text.substr(s1 + 1, s2 - s1 - 1), len) || off < 0 ||
        len < 0)
        return false;
    p.offset = static_cast<uint64_t>(off);
    p.length = static_cast<uint64_t>(len);
    p.snapdir = text.substr(s2 + 1, text.size() - s2 - 2);
    return !p.snapdir.empty() && p.snapdir.find('\n') == std::string::npos;
}

std::error_code read_pending(const opened_volume& vol, const std::string& snapdir, pending_handoff& p)
{
    std::string text;
    std::error_code ec = read_whole_file(vol.api, vol.iopx, snapdir + k_handoff_pending, text, 65536);
    if (ec)
        return ec;
    // The marker is made durable before the append it guards begins: a cut one means that
    // append never started, so no hand-off is under way.
    return parse_pending(text, p) ? std::error_code() : znfs::errno_code(ENOENT);
}

std::error_code ends_with_line_feed(const opened_volume& vol, const std::string& path, bool& yes, uint64_t& size)
{
    errno = 0;
    znfs::znfs_file_ptr f = vol.api->open(vol.iopx, path.c_str(), O_RDONLY, znfs::znfs_aio_ptr());
    if (!f)
        return znfs::errno_code(znfs::errno_or_eio());
    size = f->get_file_size();
    yes = true;
    std::error_code ec;
    if (size > 0) {
        znfs::znfs_buff_ptr b = vol.api->alloc_io_buffer(1);
        errno = 0;
        int64_t n = b ? vol.api->read(f, b, 1, static_cast<int64_t>(size - 1), 0, znfs::znfs_aio_ptr()) : -1;
        if (n != 1)
            ec = znfs::errno_code(znfs::errno_or_eio());
        else
            yes = *static_cast<const char*>(b->get_base()) == '\n';
    }
    vol.api->close(f, znfs::znfs_aio_ptr());
    return ec;
}

verdict removal_refusal(const opened_volume& vol, const std::string& snapdir, bool empty_refuses)
{
    const std::string shown = printable(snapdir);
    snapshot_state st;
    std::error_code ec = read_snapshot_state(vol, snapdir, false, st);
    if (ec)
        return check_failed("cannot tell where " + shown + " stands", ec);
    if (st.destroying)
        return refused(shown + " is part-way through its removal (" + shown + k_destroying +
                           ", or only an empty .delete is left): it no longer holds its copies, nor can it take "
                           "names; finish its removal ('znfssnap destroy' of it again) and give the next older "
                           "snapshot instead",
                       EBUSY);
    if (st.incomplete)
        return refused(shown + " is an incomplete snapshot (" + shown + k_incomplete +
                           "): its creation could not copy every entry, so it is not in the chain; take it "
                           "again with 'znfssnap create --resume', or remove it with 'znfssnap rmtree', and "
                           "give the next older snapshot instead",
                       EINVAL);
    if (st.empty && empty_refuses)
        return refused(shown + " holds nothing (a removal at its very end, or no snapshot at all): it is no "
                               "previous snapshot; give the next older snapshot that still exists, or none for "
                               "the oldest",
                       ENOENT);
    // A creation that stopped part-way (a full volume, a kill) lacks copies as an incomplete one
    // does, without its marker: compared with it, a name it never reached reads as absent, and
    // an object older snapshots share would be unlinked.
    if (!st.empty && !st.bookkeeping && empty_refuses)
        return refused(shown + " is not a finished snapshot (it has no " + shown +
                           znfssnapcore::znfssnaputils::sdelfilelist +
                           "): its creation stopped part-way, so it lacks copies; take it again with 'znfssnap "
                           "create --resume', or remove it with 'znfssnap rmtree', and give the next older "
                           "snapshot instead",
                       EINVAL);
    return verdict();
}

verdict append_refusal(const opened_volume& vol, const std::string& snapdir, bool pending_refuses)
{
    const std::string shown = printable(snapdir);
    const std::string list = snapdir + znfssnapcore::znfssnaputils::sdelfilelist;
    const verdict removing = removal_refusal(vol, snapdir, false);
    if (!removing.ok())
        return removing;
    for (const char* marker : {k_delete_complete, k_handoff_done}) {
        std::error_code ec = probe_file(vol.api, vol.iopx, snapdir + marker);
        if (!ec)
            return refused("the deletion of " + shown + " has run (" + shown + marker +
                               " exists): names added to its list would never be processed; add them to the list "
                               "of the newest snapshot that is not being deleted",
                           EBUSY);
        if (ec.value() != ENOENT)
            return check_failed("cannot tell whether " + shown + marker + " exists", ec);
    }
    if (pending_refuses) {
        pending_handoff p;
        std::error_code ec = read_pending(vol, snapdir, p);
        if (!ec)
            return refused("a hand-off from " + printable(p.snapdir) + " into the list of " + shown +
                               " is unfinished: run 'znfssnap handoff --snapdir " + printable(p.snapdir) +
                               " --prevsnap " + shown + "' first",
                           EBUSY);
        if (ec.value() != ENOENT)
            return check_failed("cannot read " + shown + k_handoff_pending, ec);
    }
    bool clean = false;
    uint64_t size = 0;
    std::error_code ec = ends_with_line_feed(vol, list, clean, size);
    if (ec.value() == ENOENT)
        return refused(shown + " is not a finished snapshot (it has no " + shown +
                           znfssnapcore::znfssnaputils::sdelfilelist + ")",
                       ENOENT);
    if (ec)
        return check_failed("cannot read " + printable(list), ec);
    if (!clean)
        return refused(printable(list) +
                           " does not end with a line feed (an append was cut short?): a new name would be joined "
                           "to its last line; check that line by hand (a cut name must be removed, not ended)",
                       EILSEQ);
    return verdict();
}

namespace {

// A marker that names the previous snapshot a deletion compares with.
std::error_code read_prevsnap_marker(const opened_volume& vol, const std::string& path, bool& complete,
                                     std::string& compared_with)
{
    complete = false;
    compared_with.clear();
    std::string text;
    std::error_code ec = read_whole_file(vol.api, vol.iopx, path, text, 65536);
    if (ec.value() == ENOENT)
        return std::error_code();
    if (ec)
        return ec;
    // The service has no rename: a run killed between making the file and writing it leaves it
    // empty, and that is no record of a deletion, least of all of one without a previous snapshot.
    if (text.empty() || text.back() != '\n')
        return std::error_code();
    text.pop_back();
    complete = true;
    compared_with = text;
    return std::error_code();
}

}  // namespace

std::error_code read_delete_complete(const opened_volume& vol, const std::string& snapdir, bool& complete,
                                     std::string& compared_with)
{
    return read_prevsnap_marker(vol, snapdir + k_delete_complete, complete, compared_with);
}

std::error_code read_delete_started(const opened_volume& vol, const std::string& snapdir, bool& started,
                                    std::string& compared_with)
{
    return read_prevsnap_marker(vol, snapdir + k_delete_started, started, compared_with);
}

std::error_code count_list_entries(const opened_volume& vol, const std::string& path, uint64_t& entries)
{
    entries = 0;
    errno = 0;
    znfs::znfs_file_ptr f = vol.api->open(vol.iopx, path.c_str(), O_RDONLY, znfs::znfs_aio_ptr());
    if (!f)
        return znfs::errno_code(znfs::errno_or_eio());
    const uint64_t block = 1 << 20;
    znfs::znfs_buff_ptr b = vol.api->alloc_io_buffer(block);
    std::error_code ec = b ? std::error_code() : znfs::errno_code(ENOMEM);
    bool in_entry = false;
    for (int64_t offset = 0; !ec;) {
        errno = 0;
        int64_t n = vol.api->read(f, b, block, offset, 0, znfs::znfs_aio_ptr());
        if (n < 0)
            ec = znfs::errno_code(znfs::errno_or_eio());
        if (n <= 0)
            break;
        const char* p = static_cast<const char*>(b->get_base());
        for (int64_t i = 0; i < n; ++i) {
            const bool end = p[i] == '\n' || p[i] == '\0';
            if (end && in_entry)
                ++entries;
            in_entry = !end;
        }
        offset += n;
    }
    if (in_entry)
        ++entries;  // a last name without its line feed is still a name
    vol.api->close(f, znfs::znfs_aio_ptr());
    return ec;
}

const char* snapshot_state::name() const
{
    if (destroying)
        return "destroying";
    if (empty)
        return "empty";
    if (incomplete)
        return "incomplete";
    if (delete_complete)
        return "deleted";
    if (!bookkeeping)
        return "unfinished";
    return deletion_ran ? "deleting" : "finished";
}

std::error_code read_snapshot_state(const opened_volume& vol, const std::string& snapdir, bool count_names,
                                    snapshot_state& state)
{
    state = snapshot_state();
    // Two names tell all that matters here: none, only .delete, or more.
    std::vector<std::string> names;
    std::error_code ec = list_directory(vol.api, vol.iopx, snapdir, names, 2);
    if (ec)
        return ec;
    state.empty = names.empty();
    if (state.empty)
        return ec;
    auto exists = [&](const std::string& path, bool& yes) {
        std::error_code e = probe_file(vol.api, vol.iopx, path);
        yes = !e;
        return e.value() == ENOENT ? std::error_code() : e;
    };
    if ((ec = exists(snapdir + k_destroying, state.destroying)))
        return ec;
    if (!state.destroying && names.size() == 1 && names[0] == ".delete") {
        // What a removal leaves in its last steps; no creation leaves an empty .delete behind
        // anything it copied.
        std::vector<std::string> inside;
        ec = list_directory(vol.api, vol.iopx, snapdir + "/.delete", inside, 1);
        if (ec && ec.value() != ENOTDIR)
            return ec;
        state.destroying = !ec && inside.empty();
    }
    if (state.destroying)
        return std::error_code();
    if ((ec = exists(snapdir + k_incomplete, state.incomplete)))
        return ec;
    if ((ec = read_delete_complete(vol, snapdir, state.delete_complete, state.compared_with)))
        return ec;
    if ((ec = exists(snapdir + k_handoff_done, state.handoff_done)))
        return ec;
    const std::string list = snapdir + znfssnapcore::znfssnaputils::sdelfilelist;
    if ((ec = exists(list, state.bookkeeping)))
        return ec;
    if (state.bookkeeping && count_names) {
        if ((ec = count_list_entries(vol, list, state.list_entries)))
            return ec;
        state.list_entries_known = true;
    }
    if (!state.delete_complete && (ec = exists(snapdir + k_delete_started, state.deletion_ran)))
        return ec;
    if (!state.delete_complete && !state.deletion_ran &&
        (ec = exists(snapdir + znfssnapcore::znfssnaputils::sdelfilelist_prevsnap, state.deletion_ran)))
        return ec;
    // A deletion stopped before it wrote its hand-off list (killed, say) may have unlinked
    // objects already; its split of the list into batches is there from its start.
    if (!state.delete_complete && !state.deletion_ran &&
        (ec = exists(snapdir + znfssnapcore::znfssnaputils::sdelfilebatch + "1", state.deletion_ran)))
        return ec;
    return std::error_code();
}

std::error_code write_created_stamp(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& snapdir,
                                    const created_stamp& stamp)
{
    std::string text = std::to_string(stamp.ns) + " " + std::to_string(stamp.dataset_ino) + " " + stamp.dataset;
    struct iovec v = {&text[0], text.size()};
    return api->setxattr(iopx, (snapdir + znfssnapcore::znfssnaputils::sdellistdir).c_str(), k_created_attr, &v, 0,
                         znfs::znfs_aio_ptr());
}

created_stamp read_created_stamp(const opened_volume& vol, const std::string& snapdir)
{
    created_stamp stamp;
    char buf[4200];
    struct iovec v = {buf, sizeof buf};
    const int64_t n = vol.api->getxattr(vol.iopx, (snapdir + znfssnapcore::znfssnaputils::sdellistdir).c_str(),
                                        k_created_attr, &v, znfs::znfs_aio_ptr());
    if (n <= 0)
        return stamp;
    const std::string text(buf, static_cast<size_t>(n));
    int at = 0;
    unsigned long long ns = 0, ino = 0;
    if (std::sscanf(text.c_str(), "%llu %llu %n", &ns, &ino, &at) != 2 || at == 0 || !std::isdigit(text[0]))
        return stamp;
    stamp.ns = ns;
    stamp.dataset_ino = ino;
    stamp.dataset = text.substr(static_cast<size_t>(at));
    stamp.known = !stamp.dataset.empty();
    return stamp;
}

verdict chain_refusal(const opened_volume& vol, const std::string& snapdir, const std::string& prevsnap)
{
    const created_stamp self = read_created_stamp(vol, snapdir);
    if (!self.known)
        return verdict();
    const std::string shown = printable(snapdir);
    const std::string how = "; if this is meant, run 'znfssnap delete' with --new-prevsnap";
    created_stamp prev;
    if (!prevsnap.empty()) {
        prev = read_created_stamp(vol, prevsnap);
        if (prev.known && prev.dataset_ino != self.dataset_ino)
            return refused(printable(prevsnap) + " is a snapshot of " + printable(prev.dataset) + ", " + shown +
                               " one of " + printable(self.dataset) + ": it is no previous snapshot of it" + how,
                           EINVAL);
        if (prev.known && prev.ns >= self.ns)
            return refused(printable(prevsnap) + " was taken after " + shown +
                               ": its previous snapshot is an older one (the next older that still exists)" + how,
                           EINVAL);
    }
    // Snapshots of one dataset are mostly kept side by side: one of them older than snapdir and
    // newer than prevsnap, still in the chain, is the previous snapshot, and compared with the
    // wrong one the objects it shares would be unlinked.
    const std::string prev_norm = normalize_path(prevsnap);
    for (const std::string& dir : siblings_of(vol, snapdir)) {
        if (dir == prev_norm)
            continue;
        const created_stamp other = read_created_stamp(vol, dir);
        // A previous snapshot without a stamp is older than any with one.
        if (!other.known || other.dataset_ino != self.dataset_ino || other.ns >= self.ns ||
            (prev.known && other.ns <= prev.ns))
            continue;
        snapshot_state st;
        if (read_snapshot_state(vol, dir, false, st) || !st.bookkeeping || st.incomplete || st.destroying ||
            st.delete_complete)
            continue;
        return refused(printable(dir) + ", a snapshot of the same dataset taken before " + shown +
                           (prevsnap.empty() ? std::string() : " and after " + printable(prevsnap)) +
                           ", is still in the chain: give --prevsnap " + printable(dir) + how,
                       EINVAL);
    }
    return verdict();
}

std::vector<std::string> siblings_of(const opened_volume& vol, const std::string& dir)
{
    const std::string self = normalize_path(dir), parent = parent_of(self);
    std::vector<std::string> names, out;
    if (list_directory(vol.api, vol.iopx, parent, names, SIZE_MAX))
        return out;
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string path = (parent == "/" ? std::string() : parent) + "/" + name;
        if (path != self)
            out.push_back(std::move(path));
    }
    return out;
}

std::map<std::string, std::string> awaited_handoffs(const opened_volume& vol, const std::vector<std::string>& dirs)
{
    std::map<std::string, std::string> out;
    for (const std::string& other : dirs) {
        bool complete = false, started = false;
        std::string compared_with;
        if (read_delete_complete(vol, other, complete, compared_with) ||
            (!complete && read_delete_started(vol, other, started, compared_with)))
            continue;
        if ((complete || started) && !compared_with.empty() &&
            probe_file(vol.api, vol.iopx, other + k_handoff_done).value() == ENOENT)
            out.emplace(compared_with, other);
    }
    return out;
}

}  // namespace znfssnap
