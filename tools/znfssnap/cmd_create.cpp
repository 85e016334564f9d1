#include "bookkeeping.h"
#include "commands.h"
#include "dataset_command.h"
#include "kill_hook.h"
#include "operations.h"
#include "options.h"
#include "report.h"
#include "retire.h"
#include "snapshot_lock.h"
#include "volume_files.h"

#include <znfs/znfs_forward.h>
#include <znfs/znfs_posix.h>
#include <znfssnapcore/znfssnapcore.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

namespace znfssnap {

namespace {

const char* k_help =
    "Usage: znfssnap create --volume DIR --dataset PATH --snapdir PATH [--mkdir] [--resume]\n"
    "                       [--wait] [OPTIONS]\n"
    "\n"
    "A volume DIR is a host directory (a POSIX volume) or gluster://HOST[:PORT]/VOLNAME (a\n"
    "GlusterFS volume, reached without a mount).\n"
    "\n"
    "Copies the dataset PATH into the snapshot directory PATH on the volume DIR: every\n"
    "directory with its mode, every other entry as a file with its data and mode, and the\n"
    "extended attributes of both. Directories named \".snaps\" are skipped.\n"
    "Then makes the snapshot's bookkeeping: PATH/.delete and an empty PATH/.delete/deletefilelist.\n"
    "Both PATHs are paths inside the volume (\"/live\"). The snapshot directory must exist\n"
    "and be empty: create it first, or give --mkdir. One kept inside the dataset (in a .snaps\n"
    "directory of it) is reached through no link below the dataset, whose owner may have put\n"
    "one there: such a path is refused, and nothing is made, copied or removed.\n"
    "\n"
    "  --mkdir   make the snapshot directory first, through the volume's own service (so on a\n"
    "            gluster:// volume no mount is needed). Its parent must exist: only the last\n"
    "            component is made. A directory that is there already is used as it is, under\n"
    "            the rules below (empty, or --resume). One it made is removed again when the\n"
    "            creation fails with it still empty. One that would lie inside the dataset\n"
    "            (but not in a .snaps directory of it) is refused before it is made, so the\n"
    "            live tree never shows it; a run killed just after making it leaves it empty,\n"
    "            and the same create takes it as it is.\n"
    "  --resume  take again a creation that stopped part-way, in its directory: what it\n"
    "            copied is removed first, then the dataset is copied afresh. Refused unless the\n"
    "            directory and the dataset lie apart and every entry in the directory has a\n"
    "            namesake in the dataset. A directory that holds .delete is a finished snapshot:\n"
    "            it is never removed nor copied into, unless .delete/incomplete marks it as a\n"
    "            creation that could not copy every entry, or .delete is empty (a creation\n"
    "            stopped as it made it): those are taken again whole.\n"
    "  --wait    wait while another run on this host works on the snapshot directory, instead\n"
    "            of failing at once. One run at a time per snapshot directory is enforced on\n"
    "            this host only.\n"
    "\n"
    "Exit status: 0 snapshot complete; 1 creation failed (also: the snapshot directory is\n"
    "already a finished snapshot, or another run holds it); 2 usage error (also: the snapshot\n"
    "directory is not empty and --resume was not given); 3 creation finished but some entries\n"
    "could not be copied (each is named in a log line; .delete/incomplete marks the snapshot so,\n"
    "and 'znfssnap list' shows it incomplete; a run killed after the copy leaves that marker\n"
    "too), or the volume could not tell what the\n"
    "snapshot directory holds (a GlusterFS volume with a brick down) and nothing was copied.\n"
    "A snapshot with exit status 1 or 3 is not to be used: take it again before the live\n"
    "dataset changes (the same create with --resume, or znfssnap rmtree and a new create).\n";

// Keeps the library's bookkeeping reading as incomplete until this run has judged the copy:
// the moment the library makes .delete, .delete/incomplete is written (and flushed) into it,
// before the delete list that would make the snapshot read as finished. A run killed with the
// library still at work, or after it returned and before the run's own verdict, so leaves a
// snapshot that reads as incomplete (which --resume takes again), never one that reads as
// finished with entries missing, which a deletion would take as the previous snapshot. The
// run removes the marker once the copy is known whole.
class marking_api final : public znfs::znfs_api_forward {
public:
    // below: the snapshot directory as this run locked it, following no link.
    marking_api(znfs::znfs_api* target, znfs::znfs_iopx_ptr below, const std::string& snapdir,
                const std::string& dataset, uint64_t dataset_ino)
        : znfs::znfs_api_forward(target), m_below(std::move(below)), m_snapdir(snapdir),
          m_dir(snapdir + znfssnapcore::znfssnaputils::sdellistdir), m_bookkeeping(normalize_path(m_dir)),
          m_marker(snapdir + k_incomplete)
    {
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        m_stamp.known = dataset_ino != 0;
        m_stamp.ns = static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
        m_stamp.dataset = normalize_path(dataset);
        m_stamp.dataset_ino = dataset_ino;
    }

    std::error_code mkdir(znfs::znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs::znfs_aio_ptr aio) override
    {
        std::error_code ec = target()->mkdir(iopx, path, mode, aio);
        if (ec || !is(path, m_bookkeeping))
            return ec;
        ec = write_file_durably(target(), m_below, m_marker, "the creation had not judged its copy yet\n");
        if (ec) {
            // No bookkeeping without its marker: the library is told it could not make it.
            target()->unlink(m_below, m_marker.c_str(), znfs::znfs_aio_ptr());
            target()->rmdir(m_below, m_dir.c_str(), znfs::znfs_aio_ptr());
            return ec;
        }
        m_marked = true;
        // Best effort: without it, deletions only do not judge the chain by this snapshot.
        if (m_stamp.known)
            write_created_stamp(target(), m_below, m_snapdir, m_stamp);
        return ec;
    }
    // The library takes back bookkeeping it could not finish: the marker goes with it, but only
    // from bookkeeping that holds nothing else. A delete list the library could not take back
    // (made, yet reported failed) keeps its marker, or the snapshot would read as finished.
    std::error_code rmdir(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override
    {
        if (m_marked && is(path, m_bookkeeping)) {
            std::vector<std::string> names;
            std::error_code ec = list_directory(target(), m_below, m_dir, names, 2);
            if (ec)
                return ec;
            for (const std::string& name : names)
                if (name != m_marker.substr(m_marker.rfind('/') + 1))
                    return znfs::errno_code(ENOTEMPTY);
            ec = target()->unlink(m_below, m_marker.c_str(), znfs::znfs_aio_ptr());
            if (ec && ec.value() != ENOENT)
                return ec;
            m_marked = false;
        }
        return target()->rmdir(iopx, path, aio);
    }

    // Whether the bookkeeping the library made carries the marker.
    bool marked() const { return m_marked; }

private:
    static bool is(const char* path, const std::string& norm)
    {
        const size_t n = std::strlen(path);
        const std::string leaf = norm.substr(norm.rfind('/'));
        return n >= leaf.size() && leaf.compare(0, leaf.size(), path + n - leaf.size()) == 0 &&
               normalize_path(path) == norm;
    }

    znfs::znfs_iopx_ptr m_below;
    const std::string m_snapdir;
    const std::string m_dir;  // as the snapshot directory was given, for calls below m_below
    const std::string m_bookkeeping, m_marker;
    created_stamp m_stamp;
    std::atomic<bool> m_marked{false};
};

// Whether the entries of snapdir can be what a creation of dataset left when it stopped: the
// two trees lie apart, and every entry has a namesake in the dataset, or is the bookkeeping of
// a creation marked incomplete (marked). Anything else (the dataset itself, a directory inside
// it, an unrelated one, a finished snapshot) is never emptied.
verdict stopped_creation(const opened_volume& vol, const std::string& dataset, const std::string& snapdir,
                         const std::vector<std::string>& entries, bool marked)
{
    bool overlap = false;
    std::error_code ec = trees_overlap(vol.api, vol.iopx, dataset, snapdir, overlap);
    if (ec)
        return check_failed("cannot tell whether " + printable(snapdir) + " and " + printable(dataset) + " overlap", ec);
    if (overlap)
        return refused("snapshot directory " + printable(snapdir) + " and dataset " + printable(dataset) +
                           " overlap: nothing is removed or copied",
                       EINVAL);
    std::vector<std::string> names;
    if ((ec = list_directory(vol.api, vol.iopx, dataset, names, SIZE_MAX)))
        return check_failed("cannot list dataset " + printable(dataset), ec);
    std::sort(names.begin(), names.end());
    for (const std::string& name : entries) {
        if (marked && name == ".delete")
            continue;
        if (name == ".snaps" || !std::binary_search(names.begin(), names.end(), name))
            return refused("snapshot directory " + printable(snapdir) + " holds '" + printable(name) +
                               "', which a creation of " + printable(dataset) +
                               " does not make: it is not a stopped creation of that dataset; nothing was removed",
                           EINVAL);
    }
    return verdict();
}

// Takes away the bookkeeping of a creation marked incomplete (or cut short with .delete still
// empty): the delete list first and the marker last, so that a run cut short never leaves a delete list without the marker, which
// would read as a finished snapshot. Below snapdir as it resolves now, following no link.
std::error_code remove_incomplete_bookkeeping(const opened_volume& plain, const std::string& snapdir,
                                              uint64_t& removed)
{
    std::error_code ec;
    opened_volume vol = plain;
    vol.iopx = plain.api->confine(plain.iopx, {snapdir}, znfs::znfs_api::final_link::refuse, ec);
    if (!vol.iopx)
        return ec ? ec : znfs::errno_code(EINVAL);
    if ((ec = remove_bookkeeping(vol, snapdir, snapdir + k_incomplete, removed)))
        return ec;
    return sync_directory(vol.api, vol.iopx, snapdir);
}

// Whether the normalised path names a place below the normalised dir, told from the names alone.
bool lies_below(const std::string& path, const std::string& dir)
{
    const std::string head = dir == "/" ? dir : dir + "/";
    return path.size() > head.size() && path.compare(0, head.size(), head) == 0;
}

// Whether a directory made at snapdir (not there yet) would lie inside the dataset, where the
// creation refuses it: told before it is made, so that a refused run never shows it in the live
// tree, nor leaves it there when killed before it can take it away again. Judged as the
// creation judges it: by device and inode up the ".." chain from its parent, a directory named
// ".snaps" on the way (entered by that name, no link) keeping it apart, as the copy skips it.
std::error_code would_lie_in_dataset(const opened_volume& vol, const std::string& dataset, const std::string& snapdir,
                                     bool& inside)
{
    inside = false;
    const std::string norm = normalize_path(snapdir);
    if (norm.substr(norm.rfind('/') + 1) == ".snaps")
        return std::error_code();
    struct stat ds {};
    std::error_code ec = vol.api->stat(vol.iopx, dataset.c_str(), &ds, znfs::znfs_aio_ptr());
    if (ec)
        return ec;
    std::vector<std::pair<std::string, struct stat>> chain;
    std::string cur = parent_of(norm);
    for (int depth = 0; depth < 4096; ++depth) {
        struct stat st {};
        if ((ec = vol.api->stat(vol.iopx, cur.c_str(), &st, znfs::znfs_aio_ptr())))
            return ec;
        chain.emplace_back(cur, st);
        if (st.st_dev == ds.st_dev && st.st_ino == ds.st_ino) {
            inside = true;
            break;
        }
        if (depth > 0 && st.st_dev == chain[depth - 1].second.st_dev && st.st_ino == chain[depth - 1].second.st_ino)
            return std::error_code();  // the volume root: its ".." is itself
        cur += "/..";
    }
    for (size_t up = 1; inside && up < chain.size(); ++up) {
        const opened_volume below = confined(vol, {chain[up].first}, ec);
        struct stat st {};
        if (below.iopx &&
            !below.api->stat(below.iopx, (chain[up].first + "/.snaps").c_str(), &st, znfs::znfs_aio_ptr()) &&
            S_ISDIR(st.st_mode) && st.st_dev == chain[up - 1].second.st_dev && st.st_ino == chain[up - 1].second.st_ino)
            inside = false;
    }
    return std::error_code();
}

}  // namespace

int cmd_create(const std::vector<std::string>& args)
{
    dataset_command dc;
    int rc = start_dataset_command("create", k_help, args, dc,
                                   {{"resume", false}, {"wait", false}, {"mkdir", false}});
    if (rc >= 0)
        return rc;
    kill_hook hook;
    hook.arm(dc.vol);
    const bool resume = dc.args.has("resume");
    dc.report.flag("resume", resume);
    std::error_code ec;
    if ((ec = check_directory(dc.vol.api, dc.vol.iopx, dc.dataset)))
        return undone_if_not_whole(report_failure("create", dc.co.json, dc.report, "dataset " + dc.dataset, ec), ec);
    // A snapshot kept in its dataset (in .snaps) is reached through the dataset's own tree, whose
    // owner may have swapped a directory on the way for a link: every step on the snapshot
    // directory goes below the dataset through no link, so that nothing elsewhere is made,
    // emptied or copied into.
    const bool kept_inside = lies_below(normalize_path(dc.snapdir), normalize_path(dc.dataset));
    opened_volume sv = dc.vol;
    if (kept_inside && !(sv = confined(dc.vol, {dc.dataset}, ec)).iopx)
        return report_failure("create", dc.co.json, dc.report, "dataset " + dc.dataset, ec);
    auto refuse_linked = [&] {
        return report_refusal("create", dc.co.json, dc.report,
                              "snapshot directory " + printable(dc.snapdir) +
                                  " is reached through a symbolic link inside dataset " + printable(dc.dataset) +
                                  ": give the directory it leads to; nothing was made, copied or removed",
                              znfs::errno_code(ELOOP));
    };
    bool made = false;
    if (dc.args.has("mkdir")) {
        struct stat there {};
        bool inside = false;
        if (sv.api->stat(sv.iopx, dc.snapdir.c_str(), &there, znfs::znfs_aio_ptr()).value() == ENOENT &&
            !would_lie_in_dataset(dc.vol, dc.dataset, dc.snapdir, inside) && inside)
            return report_refusal("create", dc.co.json, dc.report.flag("made_directory", false),
                                  "snapshot directory " + printable(dc.snapdir) + " would lie inside dataset " +
                                      printable(dc.dataset) + ", so the trees would overlap: nothing was made or "
                                      "copied",
                                  znfs::errno_code(EINVAL));
        // One that is there already is no fault: the checks below judge what it holds.
        ec = sv.api->mkdir(sv.iopx, dc.snapdir.c_str(), 0755, znfs::znfs_aio_ptr());
        made = !ec;
        dc.report.flag("made_directory", made);
        if (ec.value() == ELOOP && kept_inside)
            return refuse_linked();
        if (ec && ec.value() != EEXIST)
            return undone_if_not_whole(
                report_failure("create", dc.co.json, dc.report,
                               "cannot make snapshot directory " + dc.snapdir +
                                   (ec.value() == ENOENT ? " (its parent must exist)" : ""),
                               ec),
                ec);
    }
    if ((ec = check_directory(sv.api, sv.iopx, dc.snapdir)).value() == ELOOP && kept_inside)
        return refuse_linked();
    if (ec)
        return undone_if_not_whole(report_failure("create", dc.co.json, dc.report,
                                                  "snapshot directory " + dc.snapdir + " (it must exist)", ec),
                                   ec);

    snapshot_locks locks;
    std::string message;
    if (!locks.take(dc.vol, dc.volume, {dc.snapdir}, holder_text("create", args), dc.args.has("wait"), message))
        return report_refusal("create", dc.co.json, dc.report, message, znfs::errno_code(EBUSY));

    // Copying into a finished snapshot would replace its point-in-time data with today's, so
    // only an empty directory is copied into. One that a creation left unfinished is emptied
    // first when the operator says so (--resume): copies are made exclusively, never over an
    // entry that is there.
    struct stat st {};
    ec = sv.api->stat(sv.iopx, (dc.snapdir + "/.delete").c_str(), &st, znfs::znfs_aio_ptr());
    if (ec && ec.value() != ENOENT)
        return undone_if_not_whole(report_failure("create", dc.co.json, dc.report,
                                                  "cannot tell whether " + dc.snapdir + "/.delete exists", ec),
                                   ec);
    bool finished = !ec;
    // A creation killed right after it made .delete, before the delete list, leaves it empty:
    // no snapshot (list shows it unfinished), and --resume takes it again like one that stopped.
    bool cut_short = false;
    // One that cannot be listed (a link, say) counts as finished: refused, never removed.
    if (finished && S_ISDIR(st.st_mode)) {
        std::vector<std::string> inside;
        const opened_volume below = confined(sv, {dc.snapdir}, ec);
        if (below.iopx && !list_directory(below.api, below.iopx, dc.snapdir + "/.delete", inside, 1)) {
            cut_short = inside.empty();
            finished = !cut_short;
        }
    }
    // A creation that could not copy every entry marked itself: it is no snapshot, and
    // --resume takes it again like one that stopped.
    bool marked = false;
    if (finished) {
        ec = probe_file(sv.api, sv.iopx, dc.snapdir + k_incomplete);
        if (ec && ec.value() != ENOENT)
            return undone_if_not_whole(report_failure("create", dc.co.json, dc.report,
                                                      "cannot tell whether " + dc.snapdir + k_incomplete + " exists",
                                                      ec),
                                       ec);
        marked = !ec;
    }
    std::vector<std::string> entries;
    if ((ec = list_directory(sv.api, sv.iopx, dc.snapdir, entries, resume ? SIZE_MAX : 1)))
        return undone_if_not_whole(
            report_failure("create", dc.co.json, dc.report, "cannot list snapshot directory " + dc.snapdir, ec), ec);
    uint64_t removed = 0;
    if (marked && !resume)
        return usage_error("create", "snapshot directory " + printable(dc.snapdir) +
                                         " holds an incomplete snapshot (" + printable(dc.snapdir) + k_incomplete +
                                         "): give --resume to take it again, or remove it with 'znfssnap rmtree'");
    if (cut_short && !resume)
        return usage_error("create", "snapshot directory " + printable(dc.snapdir) +
                                         " holds a creation stopped as it made its bookkeeping (an empty .delete): "
                                         "give --resume to take it again, or remove it with 'znfssnap rmtree'");
    if (finished && !resume)
        return usage_error("create", "snapshot directory " + printable(dc.snapdir) +
                                         " already holds a finished snapshot (it has .delete); copying into it "
                                         "would overwrite that snapshot: use a new, empty directory");
    if (!entries.empty() && !resume)
        return usage_error("create", "snapshot directory " + printable(dc.snapdir) + " is not empty (it holds '" +
                                         printable(entries.front()) +
                                         "'): use an empty directory, or give --resume to take again a creation "
                                         "that stopped part-way");
    // A finished snapshot is left to the creation itself, which refuses it without writing.
    if (!entries.empty() && (!finished || marked)) {
        const verdict v = stopped_creation(dc.vol, dc.dataset, dc.snapdir, entries, marked || cut_short);
        if (!v.ok()) {
            if (!v.io_error)
                return usage_error("create", v.message);
            return undone_if_not_whole(report_verdict("create", dc.co.json, dc.report, v), v.ec);
        }
        // The copies before the bookkeeping: until the marker goes, a rerun knows what it is.
        std::vector<std::string> copies = entries;
        copies.erase(std::remove(copies.begin(), copies.end(), std::string(".delete")), copies.end());
        ec = remove_entries(sv, dc.snapdir, copies, removed);
        if (!ec && (marked || cut_short))
            ec = remove_incomplete_bookkeeping(sv, dc.snapdir, removed);
        if (ec)
            return report_failure("create", dc.co.json, dc.report,
                                  "cannot remove what the stopped creation left in " + dc.snapdir +
                                      " (run the same create --resume again)",
                                  ec);
    }
    dc.report.unum("entries_removed", removed);

    const opened_volume below = confined(sv, {dc.snapdir}, ec);
    if (!below.iopx)
        return undone_if_not_whole(
            report_failure("create", dc.co.json, dc.report, "cannot open snapshot directory " + dc.snapdir, ec), ec);
    // The dataset by its inode: a link or a ".." in the path given changes nothing there.
    struct stat dst {};
    const bool dataset_known = !dc.vol.api->stat(dc.vol.iopx, dc.dataset.c_str(), &dst, znfs::znfs_aio_ptr());
    marking_api marking(dc.vol.api, below.iopx, dc.snapdir, dc.dataset,
                        dataset_known ? static_cast<uint64_t>(dst.st_ino) : 0);
    create_outcome out = run_create(&marking, dc.vol.iopx, dc.dataset, dc.snapdir, !dc.co.json);
    // A directory this run made for a creation that failed with it still empty goes again: one
    // inside the dataset (which the creation refuses) would stay in the live tree. One that
    // holds anything stays, for --resume.
    const bool removed_again = made && out.ec && !sv.api->rmdir(sv.iopx, dc.snapdir.c_str(), znfs::znfs_aio_ptr());
    if (removed_again)
        dc.report = json_object("create")
                        .str("volume", dc.volume)
                        .str("dataset", dc.dataset)
                        .str("snapdir", dc.snapdir)
                        .flag("resume", resume)
                        .flag("made_directory", false)
                        .unum("entries_removed", removed);
    // A failed creation whose bookkeeping could not be taken back has it still marked.
    if (out.ec && marking.marked())
        dc.report.flag("marked_incomplete", true);
    const bool incomplete = !out.ec && (out.opstatus != 0 || out.failed != 0);
    log_outcome(!out.ec && !incomplete);
    // The exit status alone would be lost with the run: the snapshot itself must say it is
    // incomplete, or it would pass for a finished one.
    std::error_code marker_ec;
    bool bookkeeping_taken_back = false;
    if (incomplete) {
        // The marker the bookkeeping was made with now says why.
        marker_ec = write_file_durably(below.api, below.iopx, dc.snapdir + k_incomplete,
                                       std::to_string(out.failed) + " entries could not be copied\n");
        if (marker_ec && marking.marked() && !probe_file(below.api, below.iopx, dc.snapdir + k_incomplete))
            marker_ec.clear();  // its first words are left, but it is there: the snapshot reads incomplete
        dc.report.flag("marked_incomplete", !marker_ec);
        // Bookkeeping without its marker reads as a finished snapshot, which a deletion would
        // then take as the previous one and unlink objects that older snapshots share. Taking
        // it back (removals need no free space) leaves a creation that stopped part-way, which
        // list shows unfinished and create --resume takes again.
        if (marker_ec) {
            uint64_t taken_back = 0;
            bookkeeping_taken_back = !remove_incomplete_bookkeeping(sv, dc.snapdir, taken_back);
            dc.report.flag("bookkeeping_removed", bookkeeping_taken_back);
        }
    }
    // A whole copy: the marker goes, and the snapshot reads as finished from then on. Until it
    // is gone the snapshot is not one, whatever the copy was.
    std::error_code unmark_ec, unsynced_ec;
    if (!out.ec && !incomplete && marking.marked()) {
        unmark_ec = remove_file_durably(below.api, below.iopx, dc.snapdir + k_incomplete);
        // Gone all the same (only its removal could not be flushed, say): the snapshot reads as
        // finished, and it is whole. A crash may bring the marker back, which errs on the safe side.
        if (unmark_ec && probe_file(below.api, below.iopx, dc.snapdir + k_incomplete).value() == ENOENT)
            std::swap(unmark_ec, unsynced_ec);
        dc.report.flag("marked_incomplete", static_cast<bool>(unmark_ec));
    }
    dc.report.error(out.ec ? out.ec : unmark_ec)
        .num("opstatus", out.opstatus)
        .flag("complete", !out.ec && !incomplete && !unmark_ec)
        .unum("entries_copied", out.copied)
        .unum("entries_failed", out.failed)
        .real("seconds", out.seconds);
    if (dc.co.json)
        std::printf("%s\n", dc.report.text().c_str());
    if (out.ec == std::errc::file_exists) {
        std::fprintf(stderr,
                     "znfssnap create: %s is already a finished snapshot (it has .delete); nothing was "
                     "written: use a new, empty directory\n",
                     printable(dc.snapdir).c_str());
        return exit_failed;
    }
    if (out.ec) {
        std::fprintf(stderr, "znfssnap create: creation of %s failed: %s%s\n", printable(dc.snapdir).c_str(),
                     describe_error(out.ec).c_str(),
                     removed_again      ? "; the directory --mkdir made was removed again"
                     : marking.marked() ? "; its bookkeeping stays marked incomplete, for create --resume"
                                        : "");
        return undone_if_not_whole(exit_failed, out.ec);
    }
    if (incomplete) {
        std::fprintf(stderr,
                     "znfssnap create: snapshot %s is incomplete: %" PRIu64 " entries could not be copied "
                     "(see the log lines above)\n",
                     printable(dc.snapdir).c_str(), out.failed);
        if (marker_ec && bookkeeping_taken_back)
            std::fprintf(stderr,
                         "znfssnap create: the marker %s%s could not be written (%s), so the snapshot's "
                         "bookkeeping was taken back: it reads as a creation that stopped part-way, which the "
                         "same create with --resume takes again\n",
                         printable(dc.snapdir).c_str(), k_incomplete, describe_error(marker_ec).c_str());
        else if (marker_ec)
            std::fprintf(stderr,
                         "znfssnap create: the marker %s%s could not be written (%s): nothing on the volume tells "
                         "this snapshot is incomplete, and create --resume cannot tell it from a finished one; "
                         "remove it with 'znfssnap rmtree' and take it anew before anything uses it\n",
                         printable(dc.snapdir).c_str(), k_incomplete, describe_error(marker_ec).c_str());
    }
    if (unmark_ec)
        std::fprintf(stderr,
                     "znfssnap create: every entry of %s was copied, but its marker %s%s could not be removed "
                     "(%s): the snapshot reads as incomplete; the same create with --resume takes it again\n",
                     printable(dc.snapdir).c_str(), printable(dc.snapdir).c_str(), k_incomplete,
                     describe_error(unmark_ec).c_str());
    if (unsynced_ec)
        std::fprintf(stderr,
                     "znfssnap create: the marker %s%s was removed, but its removal could not be made durable "
                     "(%s): after a crash the snapshot may read as incomplete again, for create --resume\n",
                     printable(dc.snapdir).c_str(), k_incomplete, describe_error(unsynced_ec).c_str());
    if (!dc.co.json)
        std::printf("snapshot %s of %s: %" PRIu64 " entries copied, %" PRIu64 " failed, %.3f s\n",
                    printable(dc.snapdir).c_str(), printable(dc.dataset).c_str(), out.copied, out.failed,
                    out.seconds);
    return incomplete || unmark_ec ? exit_incomplete : exit_ok;
}

}  // namespace znfssnap
