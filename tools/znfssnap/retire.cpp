#include "retire.h"

#include "bookkeeping.h"
#include "options.h"
#include "volume_files.h"

#include <znfs/znfs_debug.h>
#include <znfssnapcore/znfssnapcore.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace znfssnap {

namespace {

// A refusal that carries the error the check met (check_failed marks a failure instead).
verdict refused_with(const std::string& message, const std::error_code& ec)
{
    verdict v;
    v.message = message;
    v.ec = ec;
    return v;
}

// Why a deletion of snapdir must not start now. A deletion that was handed on already would
// write a list nobody hands on; one whose own list is still being appended to, or whose
// hand-off is half done, would miss or change names.
verdict deletion_refusal(const opened_volume& vol, const std::string& snapdir, const std::string& prevsnap,
                         bool new_prevsnap)
{
    std::error_code ec = probe_file(vol.api, vol.iopx, snapdir + k_handoff_done);
    if (!ec)
        return refused("the deletion of " + printable(snapdir) + " was completed and handed on already (" +
                           printable(snapdir) + k_handoff_done + " exists): remove the snapshot with 'znfssnap rmtree'",
                       EBUSY);
    if (ec.value() != ENOENT)
        return check_failed("cannot tell whether " + printable(snapdir) + k_handoff_done + " exists", ec);
    // A completed deletion has set names aside for the previous snapshot it recorded, and that
    // one is what the hand-off expects: a rerun against another one (or none, which unlinks
    // every object the older snapshots share) is a decision, not a slip of the command line.
    bool complete = false;
    std::string recorded;
    if ((ec = read_delete_complete(vol, snapdir, complete, recorded)))
        return check_failed("cannot read " + printable(snapdir) + k_delete_complete, ec);
    // So has one that began and stopped: it may have unlinked what that previous snapshot does
    // not share, and the rest it compares again only against that one.
    bool started = false;
    if (!complete && (ec = read_delete_started(vol, snapdir, started, recorded)))
        return check_failed("cannot read " + printable(snapdir) + k_delete_started, ec);
    if ((complete || started) && !new_prevsnap &&
        recorded != (prevsnap.empty() ? std::string() : normalize_path(prevsnap)))
        return refused(
            "the deletion of " + printable(snapdir) + (complete ? " completed" : " began") + " against " +
                (recorded.empty() ? std::string("no previous snapshot") : printable(recorded)) + " (recorded in " +
                printable(snapdir) + (complete ? k_delete_complete : k_delete_started) + "), not against " +
                (prevsnap.empty() ? std::string("none") : printable(prevsnap)) + ": give " +
                (recorded.empty() ? std::string("no --prevsnap") : "--prevsnap " + printable(recorded)) +
                ", or add --new-prevsnap to rerun it against " +
                (prevsnap.empty() ? std::string("no previous snapshot") : printable(prevsnap)) + " deliberately",
            EINVAL);
    // A hand-off of this snapshot's names into the one recorded may be half done: rerun against
    // another, the names would reach both, and that one's marker would wait for good.
    if ((complete || started) && !recorded.empty() && recorded != normalize_path(prevsnap)) {
        pending_handoff p;
        ec = read_pending(vol, recorded, p);
        if (!ec && p.snapdir == normalize_path(snapdir))
            return refused("a hand-off of the names of " + printable(snapdir) + " into " + printable(recorded) +
                               " is half done (" + printable(recorded) + k_handoff_pending +
                               "): finish it with 'znfssnap handoff --snapdir " + printable(snapdir) + " --prevsnap " +
                               printable(recorded) + "'; the names are then that snapshot's",
                           EBUSY);
        if (ec && ec.value() != ENOENT && ec.value() != ENOTDIR)
            return check_failed("cannot read " + printable(recorded) + k_handoff_pending, ec);
    }
    if (!prevsnap.empty()) {
        const verdict v = removal_refusal(vol, prevsnap, true);
        if (!v.ok())
            return v;
    }
    // Compared with a newer snapshot, another dataset's, or past one still in the chain (none
    // given where an older one exists, too), objects that snapshot shares would be unlinked. A
    // rerun against the one the deletion began with was judged then (or meant, if overridden).
    const bool rerun_as_begun =
        (complete || started) && recorded == (prevsnap.empty() ? std::string() : normalize_path(prevsnap));
    if (!new_prevsnap && !rerun_as_begun) {
        const verdict v = chain_refusal(vol, snapdir, prevsnap);
        if (!v.ok())
            return v;
    }
    for (const std::string& dir : {snapdir, prevsnap}) {
        if (dir.empty())
            continue;
        pending_handoff p;
        ec = read_pending(vol, dir, p);
        // Into the previous snapshot only this snapshot's own hand-off matters: a rerun would
        // rewrite the list that hand-off is copying.
        if (!ec && dir == prevsnap && p.snapdir != normalize_path(snapdir))
            continue;
        if (!ec)
            return refused("a hand-off from " + printable(p.snapdir) + " into the delete list of " + printable(dir) +
                               " is unfinished: run 'znfssnap handoff --snapdir " + printable(p.snapdir) +
                               " --prevsnap " + printable(dir) + "' first",
                           EBUSY);
        if (ec.value() != ENOENT)
            return check_failed("cannot read " + printable(dir) + k_handoff_pending, ec);
    }
    // The names set aside for prevsnap must be handed on to it next, and the list of a snapshot
    // whose own deletion has run takes no more: the deletion would complete only to leave its
    // names with nowhere to go.
    for (const char* marker : {k_delete_complete, k_handoff_done}) {
        if (prevsnap.empty())
            break;
        ec = probe_file(vol.api, vol.iopx, prevsnap + marker);
        if (!ec)
            return refused("the deletion of " + printable(prevsnap) + " has run (" + printable(prevsnap) + marker +
                               " exists): it takes no more names; give the next older snapshot that is not being "
                               "deleted as --prevsnap",
                           EBUSY);
        if (ec.value() != ENOENT)
            return check_failed("cannot tell whether " + printable(prevsnap) + marker + " exists", ec);
    }
    // An append cut short (list-add on a full volume) leaves part of a name as the last line.
    // The library takes that line for a whole name, and the file it happens to name may be one
    // whose object the live dataset still uses: such a list is for a person to look at first.
    // A list that is not there is the library's to report.
    const std::string list = snapdir + znfssnapcore::znfssnaputils::sdelfilelist;
    bool clean = false;
    uint64_t size = 0;
    ec = ends_with_line_feed(vol, list, clean, size);
    if (ec && ec.value() != ENOENT)
        return check_failed("cannot read " + printable(list), ec);
    if (!ec && !clean)
        return refused(printable(list) +
                           " does not end with a line feed: its last line may be a name cut short, and the "
                           "object of whatever file that part names would be unlinked; check the end of the list "
                           "by hand (remove a cut name, end a whole one with a line feed), then run again",
                       EILSEQ);
    return verdict();
}

uint64_t count_lines(const std::string& text)
{
    uint64_t n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

}  // namespace

int start_deletion(const char* command, const char* help, const std::vector<std::string>& args, common_options& co,
                   deletion_request& r)
{
    std::vector<option_def> defs = {{"volume", true},   {"object-volume", true}, {"snapdir", true},
                                    {"prevsnap", true}, {"dry-run", false},      {"wait", false}};
    if (std::string(command) == "delete")
        defs.push_back({"new-prevsnap", false});
    parsed_args pa;
    int rc = start_command(command, help, args, defs, {"volume", "object-volume", "snapdir"}, 0, 0, pa, co);
    if (rc >= 0)
        return rc;
    r.volume = pa.get("volume");
    r.objvolume = pa.get("object-volume");
    r.snapdir = pa.get("snapdir");
    r.prevsnap = pa.get("prevsnap");
    // An empty value (an unset variable in a script) must not pass for "no previous snapshot":
    // the deletion would then unlink every object the previous snapshot shares.
    if (pa.values.count("prevsnap") && r.prevsnap.empty())
        return usage_error(command, "--prevsnap needs a path (leave it out for the oldest snapshot)");
    r.dry_run = pa.has("dry-run");
    r.wait = pa.has("wait");
    r.new_prevsnap = pa.has("new-prevsnap");
    return -1;
}

json_object deletion_record(const char* command, const deletion_request& r)
{
    json_object j(command);
    j.str("volume", r.volume)
        .str("object_volume", r.objvolume)
        .str("snapdir", r.snapdir)
        .str("prevsnap", r.prevsnap)
        .flag("dry_run", r.dry_run);
    return j;
}

int open_deletion_volumes(const char* command, bool json, const json_object& j, const deletion_request& r,
                          opened_volume& vol, opened_volume& obj)
{
    std::error_code ec;
    vol = open_volume(r.volume, ec);
    if (!vol.iopx)
        return report_failure(command, json, j, "cannot open volume " + r.volume, ec);
    obj = open_volume(r.objvolume, ec);
    if (!obj.iopx)
        return report_failure(command, json, j, "cannot open object volume " + r.objvolume, ec);
    return -1;
}

int undone_if_not_whole(int status, const std::error_code& ec)
{
    return ec.value() == ENOTCONN ? exit_incomplete : status;
}

deletion_step run_deletion_step(const opened_volume& plain, const opened_volume& obj, const std::string& snapdir,
                                const std::string& prevsnap, bool new_prevsnap, bool dry_run, bool show_progress)
{
    deletion_step step;
    // The bookkeeping is read and written below the two snapshots, no link followed: a marker
    // swapped for a link while the deletion runs would have the marker written (truncating
    // it) into whatever file it leads to, a live one among them.
    std::vector<std::string> roots = {snapdir};
    if (!prevsnap.empty())
        roots.push_back(prevsnap);
    std::error_code confine_ec;
    const opened_volume vol = confined(plain, roots, confine_ec);
    if (!vol.iopx) {
        step.stop = check_failed("cannot open " + snapdir, confine_ec);
        return step;
    }
    step.stop = deletion_refusal(vol, snapdir, prevsnap, new_prevsnap);
    if (!step.stop.ok())
        return step;
    // Before anything is unlinked the run records what it compares with, so that a rerun after a
    // cut (or a failure) against another previous snapshot, or none, is refused as after a
    // complete one. The marker of an earlier complete run goes next: while this run works, the
    // hand-off must not take the list it is rewriting for finished.
    const std::string compared = (prevsnap.empty() ? std::string() : normalize_path(prevsnap)) + "\n";
    std::error_code ec;
    // (Without .delete there is no list to delete from, which the library reports.)
    if (!dry_run && (ec = write_file_durably(vol.api, vol.iopx, snapdir + k_delete_started, compared)) &&
        ec.value() != ENOENT) {
        step.stop = check_failed("cannot write " + snapdir + k_delete_started, ec);
        return step;
    }
    if (!dry_run && (ec = remove_file_durably(vol.api, vol.iopx, snapdir + k_delete_complete))) {
        step.stop = check_failed("cannot remove " + snapdir + k_delete_complete, ec);
        return step;
    }
    step.out = run_delete(plain.api, plain.iopx, obj.api, obj.iopx, snapdir, prevsnap, dry_run, show_progress);
    // The marker names the previous snapshot the names were compared with: only that one may
    // receive them.
    if (step.ran_in_full() && !dry_run)
        step.marker_ec = write_file_durably(vol.api, vol.iopx, snapdir + k_delete_complete, compared);
    return step;
}

handoff_outcome run_handoff(const opened_volume& plain, const std::string& snapdir, const std::string& prevsnap)
{
    handoff_outcome out;
    std::error_code confine_ec;
    const opened_volume vol = confined(plain, {snapdir, prevsnap}, confine_ec);
    if (!vol.iopx) {
        out.stop = check_failed("cannot open " + snapdir + " and " + prevsnap, confine_ec);
        return out;
    }
    const std::string snapnorm = normalize_path(snapdir);
    const std::string prevnorm = normalize_path(prevsnap);
    const std::string done_path = snapdir + k_handoff_done;
    const std::string pending_path = prevsnap + k_handoff_pending;
    const std::string source = snapdir + znfssnapcore::znfssnaputils::sdelfilelist_prevsnap;
    const std::string target = prevsnap + znfssnapcore::znfssnaputils::sdelfilelist;
    pending_handoff pending;
    std::error_code pending_ec = read_pending(vol, prevsnap, pending);
    if (pending_ec && pending_ec.value() != ENOENT) {
        out.stop = check_failed("cannot read " + pending_path, pending_ec);
        return out;
    }
    const bool pending_ours = !pending_ec && pending.snapdir == snapnorm;

    // Done already: at most the marker of a run cut short after its last write is left.
    std::string done_text;
    std::error_code ec = read_whole_file(vol.api, vol.iopx, done_path, done_text, 65536);
    if (!ec) {
        pending_handoff done;
        if (parse_pending(done_text, done) && done.snapdir != prevnorm) {
            out.stop = refused("the names of " + snapdir + " were handed on to " + done.snapdir +
                                   " already, not to " + prevsnap,
                               EINVAL);
            return out;
        }
        if (pending_ours && (ec = remove_file_durably(vol.api, vol.iopx, pending_path))) {
            out.stop = check_failed("cannot remove " + pending_path, ec);
            return out;
        }
        out.already_done = true;
        return out;
    }
    if (ec.value() != ENOENT) {
        out.stop = check_failed("cannot tell whether " + done_path + " exists", ec);
        return out;
    }

    bool complete = false;
    std::string recorded;
    if ((ec = read_delete_complete(vol, snapdir, complete, recorded))) {
        out.stop = check_failed("cannot read " + snapdir + k_delete_complete, ec);
        return out;
    }
    if (!complete) {
        out.stop = refused_with("the deletion of " + snapdir +
                                    " has not completed: run the same 'znfssnap delete' until it exits 0 first",
                                znfs::errno_code(ENOENT));
        return out;
    }
    // A snapshot whose removal has begun (rmtree takes its delete list first, destroy marks it)
    // may have lost its done marker already, its names being in the previous list: handed on
    // again, they would be there twice.
    const std::error_code list_ec = probe_file(vol.api, vol.iopx, snapdir + znfssnapcore::znfssnaputils::sdelfilelist);
    const std::error_code destroying_ec = probe_file(vol.api, vol.iopx, snapdir + k_destroying);
    if (list_ec.value() == ENOENT || !destroying_ec) {
        out.stop = refused("the removal of " + snapdir + " has begun (" +
                               (destroying_ec ? snapdir + znfssnapcore::znfssnaputils::sdelfilelist + " is gone"
                                              : snapdir + k_destroying + " exists") +
                               "): its names may be in " + target + " already; check that list by hand",
                           EINVAL);
        return out;
    }
    if (list_ec || destroying_ec.value() != ENOENT) {
        out.stop = check_failed("cannot tell whether the removal of " + snapdir + " has begun",
                                list_ec ? list_ec : destroying_ec);
        return out;
    }
    if (recorded != prevnorm) {
        out.stop = refused("the deletion of " + snapdir + " compared its names with " +
                               (recorded.empty() ? std::string("no previous snapshot") : recorded) + ", not with " +
                               prevsnap + ": hand them on to that one, or run 'znfssnap delete --prevsnap " + prevsnap +
                               " --new-prevsnap' first",
                           EINVAL);
        return out;
    }
    // A hand-off under way is finished only into a snapshot that will process the names; a new
    // one is checked with the rest below.
    if (pending_ours) {
        out.stop = removal_refusal(vol, prevsnap, false);
        if (!out.stop.ok())
            return out;
    }
    if (!pending_ec && !pending_ours) {
        out.stop = refused("a hand-off from " + pending.snapdir + " into " + target +
                               " is unfinished: run 'znfssnap handoff --snapdir " + pending.snapdir + " --prevsnap " +
                               prevsnap + "' first",
                           EBUSY);
        return out;
    }
    if (!pending_ours) {
        // Its own deletion has run without these names: they go to the snapshot before it, by a
        // deletion of this one that compares with that one.
        bool prev_deleted = false;
        std::string prev_recorded;
        if (!read_delete_complete(vol, prevsnap, prev_deleted, prev_recorded) && prev_deleted) {
            out.stop = refused("the deletion of " + prevsnap + " has run, so its list takes no more names: run " +
                                   "'znfssnap delete --snapdir " + snapdir +
                                   (prev_recorded.empty() ? std::string() : " --prevsnap " + prev_recorded) +
                                   " --new-prevsnap', which compares these names with the snapshot before " + prevsnap +
                                   (prev_recorded.empty() ? " (none)" : "") + ", then hand them on",
                               EBUSY);
            return out;
        }
        out.stop = append_refusal(vol, prevsnap, false);
        if (!out.stop.ok())
            return out;
    }

    std::string names;
    if ((ec = read_whole_file(vol.api, vol.iopx, source, names))) {
        out.stop = check_failed("cannot read " + source, ec);
        return out;
    }
    if (!names.empty() && names.back() != '\n') {
        out.stop = refused(source + " does not end with a line feed: it is not a list a deletion wrote", EILSEQ);
        return out;
    }

    errno = 0;
    znfs::znfs_file_ptr f = vol.api->open(vol.iopx, target.c_str(), O_WRONLY, znfs::znfs_aio_ptr());
    if (!f) {
        out.stop = check_failed("cannot open " + target, znfs::errno_code(znfs::errno_or_eio()));
        return out;
    }
    const uint64_t size = f->get_file_size();
    if (pending_ours) {
        // A run cut short: its bytes go again to where it put them, whatever of them got there.
        if (pending.length != names.size() || size < pending.offset) {
            vol.api->close(f, znfs::znfs_aio_ptr());
            out.stop = refused("the unfinished hand-off recorded in " + pending_path + " (" +
                                   std::to_string(pending.length) + " bytes at " + std::to_string(pending.offset) +
                                   ") no longer matches " + source + " (" + std::to_string(names.size()) +
                                   " bytes) and " + target + " (" + std::to_string(size) +
                                   " bytes): compare them by hand",
                               EINVAL);
            return out;
        }
    } else {
        pending.offset = size;
        pending.length = names.size();
        pending.snapdir = snapnorm;
        if (!names.empty() && (ec = write_file_durably(vol.api, vol.iopx, pending_path, format_pending(pending)))) {
            vol.api->close(f, znfs::znfs_aio_ptr());
            out.stop = check_failed("cannot write " + pending_path + "; nothing appended", ec);
            return out;
        }
    }
    ec = write_at(vol.api, f, names.data(), names.size(), pending.offset);
    if (!ec && !names.empty())
        ec = vol.api->fsync(f, znfs::znfs_aio_ptr());
    std::error_code cec = vol.api->close(f, znfs::znfs_aio_ptr());
    if (!ec)
        ec = cec;
    if (ec) {
        out.stop = check_failed("cannot append to " + target + ": run the same handoff again to finish it", ec);
        return out;
    }
    pending_handoff done = pending;
    done.snapdir = prevnorm;  // the same record, naming where the names went
    if ((ec = write_file_durably(vol.api, vol.iopx, done_path, format_pending(done)))) {
        out.stop = check_failed("names appended, but " + done_path +
                                    " could not be written: run the same handoff again to finish it",
                                ec);
        return out;
    }
    if (!names.empty() && (ec = remove_file_durably(vol.api, vol.iopx, pending_path))) {
        out.stop = check_failed("names appended, but " + pending_path +
                                    " could not be removed: run the same handoff again to finish it",
                                ec);
        return out;
    }
    out.resumed = pending_ours;
    out.names = count_lines(names);
    out.offset = pending.offset;
    out.bytes = names.size();
    return out;
}

std::error_code remove_entries(const opened_volume& vol, const std::string& dir,
                               const std::vector<std::string>& entries, uint64_t& removed)
{
    znfs::znfs_debug logger;
    for (const std::string& name : entries) {
        const std::string path = dir + "/" + name;
        std::error_code ec = vol.api->unlink(vol.iopx, path.c_str(), znfs::znfs_aio_ptr());
        if (ec.value() == EISDIR || ec.value() == EPERM)
            ec = znfssnapcore::znfssnaputils::rmdir_nonempty(vol.api, vol.iopx, path, logger);
        if (ec && ec.value() != ENOENT)
            return ec;
        ++removed;
    }
    return std::error_code();
}

std::error_code remove_bookkeeping(const opened_volume& vol, const std::string& snapdir, const std::string& marker,
                                   uint64_t& removed)
{
    const std::string bookkeeping = snapdir + znfssnapcore::znfssnaputils::sdellistdir;
    // The delete list first and for good, the markers last: whatever a cut run leaves is the
    // less of a snapshot, never a list of names without the markers that tell what became of
    // it (a list alone reads as a finished snapshot).
    std::error_code ec = remove_file_durably(vol.api, vol.iopx, snapdir + znfssnapcore::znfssnaputils::sdelfilelist);
    if (ec)
        return ec;
    std::vector<std::string> names;
    if ((ec = list_directory(vol.api, vol.iopx, bookkeeping, names, SIZE_MAX)))
        return ec;
    auto leaf = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
    names.erase(std::remove(names.begin(), names.end(), leaf(marker)), names.end());
    auto last = [&](const std::string& name) {
        return name == leaf(k_delete_complete) || name == leaf(k_delete_started) || name == leaf(k_handoff_done);
    };
    std::stable_partition(names.begin(), names.end(), [&](const std::string& n) { return !last(n); });
    if ((ec = remove_entries(vol, bookkeeping, names, removed)))
        return ec;
    if ((ec = remove_file_durably(vol.api, vol.iopx, marker)))
        return ec;
    if ((ec = vol.api->rmdir(vol.iopx, bookkeeping.c_str(), znfs::znfs_aio_ptr())) && ec.value() != ENOENT)
        return ec;
    ++removed;
    return std::error_code();
}

std::error_code remove_snapshot_tree(const opened_volume& plain, const std::string& snapdir, uint64_t& removed)
{
    const std::string bookkeeping = snapdir + znfssnapcore::znfssnaputils::sdellistdir;
    const std::string marker = snapdir + k_destroying;
    // The directory as it resolves now, and no link below it ever followed: whoever can write
    // the snapshot may swap .delete, or a directory below, for a link meanwhile, and the marker,
    // the listings and the removals must not reach what it points to.
    std::error_code ec;
    opened_volume vol = plain;
    vol.iopx = plain.api->confine(plain.iopx, {snapdir}, znfs::znfs_api::final_link::refuse, ec);
    if (!vol.iopx)
        return ec ? ec : znfs::errno_code(EINVAL);
    std::vector<std::string> names;
    if ((ec = list_directory(vol.api, vol.iopx, snapdir, names, SIZE_MAX)))
        return ec;
    bool has_bookkeeping = false;
    for (size_t i = 0; i < names.size();) {
        if (names[i] == ".delete") {
            has_bookkeeping = true;
            names.erase(names.begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
    // A .delete that is a link is no bookkeeping of this snapshot: refused (ELOOP), and nothing
    // removed, before the marker would be written through it.
    struct stat st;
    if (has_bookkeeping && (ec = vol.api->stat(vol.iopx, bookkeeping.c_str(), &st, znfs::znfs_aio_ptr())))
        return ec;
    // The data goes before the bookkeeping, and the marker says so before either: a run cut
    // short anywhere leaves a directory that is still known to be on its way out.
    if (has_bookkeeping && (ec = write_file_durably(vol.api, vol.iopx, marker, "")))
        return ec;
    if ((ec = remove_entries(vol, snapdir, names, removed)))
        return ec;
    if ((ec = list_directory(vol.api, vol.iopx, snapdir, names, 2)))
        return ec;
    for (const std::string& n : names)
        if (n != ".delete")
            return znfs::errno_code(ENOTEMPTY);  // something appeared meanwhile: a rerun takes it too
    if (has_bookkeeping && (ec = remove_bookkeeping(vol, snapdir, marker, removed)))
        return ec;
    // The directory itself is named from above it, as the host reaches it (through a linked
    // parent too); below it nothing is left to reach.
    if ((ec = plain.api->rmdir(plain.iopx, snapdir.c_str(), znfs::znfs_aio_ptr())))
        return ec;
    std::string parent = normalize_path(snapdir);
    parent = parent.substr(0, std::max<size_t>(parent.rfind('/'), 1));
    return sync_directory(plain.api, plain.iopx, parent);  // above the root: reached as the host reaches it
}

}  // namespace znfssnap
