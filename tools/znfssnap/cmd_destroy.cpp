#include "bookkeeping.h"
#include "commands.h"
#include "kill_hook.h"
#include "operations.h"
#include "options.h"
#include "report.h"
#include "retire.h"
#include "snapshot_lock.h"
#include "volume_files.h"

#include <znfssnapcore/znfssnapcore.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace znfssnap {

namespace {

const char* k_help =
    "Usage: znfssnap destroy --volume DIR --object-volume DIR --snapdir PATH [--prevsnap PATH]\n"
    "                        [-n|--dry-run] [--wait] [OPTIONS]\n"
    "\n"
    "A volume DIR is a host directory (a POSIX volume) or gluster://HOST[:PORT]/VOLNAME (a\n"
    "GlusterFS volume, reached without a mount).\n"
    "\n"
    "Retires the snapshot PATH in three steps, in this order, each only when the one before\n"
    "completed:\n"
    "  1. deletion, as 'znfssnap delete': the names of its delete list whose data objects the\n"
    "     previous snapshot does not share have their objects unlinked on the object volume;\n"
    "     the others are set aside for the previous snapshot\n"
    "  2. hand-off, as 'znfssnap handoff' (only with --prevsnap): the names set aside go to the\n"
    "     end of the previous snapshot's delete list, exactly once\n"
    "  3. removal of the tree, as 'znfssnap rmtree': the snapshot's data first, its bookkeeping\n"
    "     last, under the marker PATH/.delete/destroying\n"
    "Run it again after an interruption at any point (a crash, a kill, a failed step): the\n"
    "markers tell which steps are done, and a removal that began is finished. A directory\n"
    "without a delete list (a creation that never finished) is refused: it is no snapshot,\n"
    "remove it with 'znfssnap rmtree'. An empty directory is simply removed. A PATH that is\n"
    "a symbolic link is refused: give the directory it leads to.\n"
    "\n"
    "  --prevsnap PATH  the previous snapshot on the same volume: the next older one that still\n"
    "                   exists (default: none, for the oldest snapshot). Once the deletion has\n"
    "                   completed, it must be the one the deletion compared with.\n"
    "  -n, --dry-run    write nothing to either volume: show which steps would run, the objects\n"
    "                   the deletion would unlink and the names it would hand on\n"
    "  --wait           wait while another run on this host works on either snapshot directory,\n"
    "                   instead of failing at once (one run at a time per snapshot directory is\n"
    "                   enforced on this host only)\n"
    "\n"
    "Exit status: 0 the snapshot is gone (with --dry-run: every step would run); 1 a step\n"
    "failed or was refused (the message names the step; run again once the cause is fixed);\n"
    "2 usage error; 3 the deletion is incomplete: some names were left unresolved, or the\n"
    "volume could not tell what it holds (a GlusterFS volume with a brick down); nothing after\n"
    "the deletion ran: run the same destroy again.\n";

// "-n" for "--dry-run", up to a "--".
std::vector<std::string> expand_short_options(const std::vector<std::string>& args)
{
    std::vector<std::string> out = args;
    for (std::string& a : out) {
        if (a == "--")
            break;
        if (a == "-n")
            a = "--dry-run";
    }
    return out;
}

void print_list(const std::vector<std::string>& items)
{
    for (const std::string& s : items)
        std::printf("      %s\n", printable(s).c_str());
}

}  // namespace

int cmd_destroy(const std::vector<std::string>& raw_args)
{
    const std::vector<std::string> args = expand_short_options(raw_args);
    common_options co;
    deletion_request r;
    int rc = start_deletion("destroy", k_help, args, co, r);
    if (rc >= 0)
        return rc;
    const std::string& volume = r.volume;
    const std::string& snapdir = r.snapdir;
    const std::string& prevsnap = r.prevsnap;
    const std::string prevnorm = prevsnap.empty() ? std::string() : normalize_path(prevsnap);
    const bool dry_run = r.dry_run;
    // The removal would take whatever the path resolves to: the volume root for "/" or "s/..".
    if (normalize_path(snapdir) == "/" || has_dotdot(snapdir))
        return usage_error("destroy", "'" + printable(snapdir) + "' does not name a directory below the volume root");
    if (!prevsnap.empty() && prevnorm == normalize_path(snapdir))
        return usage_error("destroy", "--prevsnap names the snapshot being destroyed");
    if (normalize_path(snapdir).find('\n') != std::string::npos || prevnorm.find('\n') != std::string::npos)
        return usage_error("destroy", "a snapshot path holding a line feed cannot be recorded in a marker");
    json_object j = deletion_record("destroy", r);

    std::error_code ec;
    opened_volume vol, obj;
    if ((rc = open_deletion_volumes("destroy", co.json, j, r, vol, obj)) >= 0)
        return rc;
    kill_hook hook;
    hook.arm(vol, &obj);
    std::vector<std::string> locked = {snapdir};
    if (!prevsnap.empty())
        locked.push_back(prevsnap);
    snapshot_locks locks;
    std::string message;
    if (!locks.take(vol, volume, locked, holder_text("destroy", args), r.wait, message))
        return report_refusal("destroy", co.json, j, message, znfs::errno_code(EBUSY));
    // Everything below is decided from the paths, so it is decided only once they are locked
    // (take() has checked that they still name what it locked): a link or another directory
    // put in the snapshot's place while the run waited would otherwise be emptied unlocked.
    if ((ec = check_directory(vol.api, vol.iopx, snapdir)))
        return undone_if_not_whole(report_failure("destroy", co.json, j, "snapshot directory " + snapdir, ec), ec);
    // A link named as the snapshot would have the tree emptied where it leads, and then the last
    // step remove the name given, which no link lets it do: every rerun would stop there.
    {
        std::error_code above_ec;
        const opened_volume above = confined(vol, {parent_of(snapdir)}, above_ec);
        struct stat lst {};
        if (above.iopx && above.api->stat(above.iopx, snapdir.c_str(), &lst, znfs::znfs_aio_ptr()).value() == ELOOP)
            return report_refusal("destroy", co.json, j,
                                  printable(snapdir) +
                                      " is a symbolic link: give the snapshot directory it leads to; nothing was "
                                      "touched",
                                  znfs::errno_code(ELOOP));
    }
    // Spelled apart, the same directory (or one inside the other) would be compared with itself
    // and then removed with it. A previous snapshot that is gone has nothing to tell.
    bool overlap = false;
    if (!prevsnap.empty() && !trees_overlap(vol.api, vol.iopx, snapdir, prevsnap, overlap) && overlap)
        return usage_error("destroy", "--prevsnap names the snapshot being destroyed, or a directory inside it or "
                                      "around it");

    snapshot_state st;
    if ((ec = read_snapshot_state(vol, snapdir, false, st)))
        return undone_if_not_whole(
            report_failure("destroy", co.json, j, "cannot tell where " + snapdir + " stands", ec), ec);
    j.str("state_before", st.name());
    // The step that stopped the run refuses or fails with the step named.
    auto stopped = [&](const char* step, verdict v) {
        j.str("stopped_at", step);
        v.message = std::string("step ") + step + ": " + v.message;
        return undone_if_not_whole(report_verdict("destroy", co.json, j, v), v.ec);
    };

    const bool retiring = !st.destroying && !st.empty;
    std::string deletion = "done_before", handoff = prevsnap.empty() ? "none" : "done_before";
    deletion_step del;
    handoff_outcome handed;
    uint64_t would_hand_on = 0;
    if (retiring) {
        if (!st.bookkeeping && !st.delete_complete)
            return stopped("deletion", refused(printable(snapdir) + " has no delete list (" + printable(snapdir) +
                                                   znfssnapcore::znfssnaputils::sdelfilelist +
                                                   "): it is a creation that never finished, not a snapshot; "
                                                   "remove it with 'znfssnap rmtree'",
                                               ENOENT));
        // Once the names were compared with one previous snapshot, only that one may get them.
        if (st.delete_complete && st.compared_with != prevnorm)
            return stopped("deletion",
                           refused("the deletion of " + printable(snapdir) + " compared its names with " +
                                       (st.compared_with.empty() ? std::string("no previous snapshot")
                                                                 : printable(st.compared_with)) +
                                       ": give " +
                                       (st.compared_with.empty() ? std::string("no --prevsnap")
                                                                 : "--prevsnap " + printable(st.compared_with)) +
                                       ", or run 'znfssnap delete --new-prevsnap' again with the previous "
                                       "snapshot you mean",
                                   EINVAL));
        const bool hand_on = !prevsnap.empty() && !st.handoff_done;
        if (hand_on && (ec = check_directory(vol.api, vol.iopx, prevsnap)))
            return undone_if_not_whole(
                report_failure("destroy", co.json, j, "previous snapshot " + prevsnap, ec), ec);
        // A deletion whose names could not be handed on afterwards is better not begun.
        if (hand_on && !st.delete_complete) {
            const verdict v = append_refusal(vol, prevsnap, true);
            if (!v.ok())
                return stopped("deletion", v);
        }

        if (!st.delete_complete) {
            del = run_deletion_step(vol, obj, snapdir, prevsnap, false, dry_run, !co.json);
            if (!del.stop.ok())
                return stopped("deletion", del.stop);
            log_outcome(del.complete());
            j.num("opstatus", del.out.opstatus)
                .unum("names_checked", del.out.checked)
                .unum("names_handed_on", del.out.handed_on)
                .unum("objects_unlinked", del.out.unlinked)
                .unum("objects_missing", del.out.missing)
                .unum("names_unresolved", del.out.unresolved)
                .unum("names_unguarded", del.out.unguarded);
            if (dry_run)
                j.unum("dry_run_object_count", del.out.dry_run_objects.size())
                    .list("dry_run_objects", del.out.dry_run_objects)
                    .unum("dry_run_handed_on_count", del.out.dry_run_handed_on.size())
                    .list("dry_run_handed_on", del.out.dry_run_handed_on);
            if (del.out.ec)
                return stopped("deletion", check_failed("deletion of " + snapdir + " failed", del.out.ec));
            if (del.marker_ec)
                return stopped("deletion", check_failed("deletion of " + snapdir + " ran in full, but its marker " +
                                                            snapdir + k_delete_complete + " could not be written",
                                                        del.marker_ec));
            deletion = dry_run ? "would_run" : "done";
            warn_objects_left("destroy", del.out, !prevsnap.empty());
            if (!del.complete()) {
                j.str("deletion", "incomplete").str("stopped_at", "deletion").flag("complete", false);
                j.error(std::error_code());
                if (co.json)
                    std::printf("%s\n", j.text().c_str());
                std::fprintf(stderr,
                             "znfssnap destroy: step deletion: %s of %s is incomplete: %" PRIu64
                             " names were left unresolved (see the log lines above); nothing after it %s. Fix "
                             "the cause, then run the same destroy again.\n",
                             dry_run ? "a real deletion" : "the deletion", printable(snapdir).c_str(),
                             del.out.unresolved, dry_run ? "would run" : "ran");
                return exit_incomplete;
            }
            would_hand_on = del.out.dry_run_handed_on.size();
        } else if (dry_run && hand_on) {
            std::string names;
            if ((ec = read_whole_file(vol.api, vol.iopx, snapdir + znfssnapcore::znfssnaputils::sdelfilelist_prevsnap,
                                      names)))
                return stopped("hand-off", check_failed("cannot read " + snapdir +
                                                            znfssnapcore::znfssnaputils::sdelfilelist_prevsnap,
                                                        ec));
            would_hand_on = split_lines(names).size();
        }

        if (!prevsnap.empty()) {
            if (dry_run) {
                handoff = hand_on ? "would_run" : "done_before";
            } else {
                handed = run_handoff(vol, snapdir, prevsnap);
                if (!handed.stop.ok())
                    return stopped("hand-off", handed.stop);
                handoff = handed.already_done ? "done_before" : "done";
                j.unum("names_appended", handed.names);
            }
        }
    }
    j.str("deletion", deletion).str("handoff", handoff);

    uint64_t removed = 0;
    if (!dry_run)
        ec = remove_snapshot_tree(vol, snapdir, removed);
    log_outcome(!ec);
    if (ec) {
        j.str("removal", "failed").unum("entries_removed", removed);
        return stopped("removal",
                       check_failed("cannot remove " + snapdir +
                                        (ec.value() == ELOOP
                                             ? " (a symbolic link stands where a directory of it was expected, "
                                               ".delete or below: nothing behind it was touched; see what it is "
                                               "before running the same destroy again)"
                                             : " (run the same destroy again)"),
                                    ec));
    }
    j.str("removal", dry_run ? "would_run" : "done").unum("entries_removed", removed);
    j.str("stopped_at", "").flag("complete", true).error(std::error_code());
    if (co.json) {
        std::printf("%s\n", j.text().c_str());
        return exit_ok;
    }

    const std::string shown = printable(snapdir);
    if (dry_run)
        std::printf("dry run, nothing written: destroy %s would\n", shown.c_str());
    else
        std::printf("destroyed %s:\n", shown.c_str());
    if (!retiring)
        std::printf("  1-2 deletion and hand-off: done before (the removal had begun)\n");
    else if (deletion == "done_before")
        std::printf("  1 deletion: done before\n");
    else if (dry_run) {
        std::printf("  1 deletion: run; %zu objects would be unlinked:\n", del.out.dry_run_objects.size());
        print_list(del.out.dry_run_objects);
        std::printf("    %zu names would be handed on to the previous snapshot:\n", del.out.dry_run_handed_on.size());
        print_list(del.out.dry_run_handed_on);
    } else
        std::printf("  1 deletion: done, %" PRIu64 " names checked, %" PRIu64 " handed on, %" PRIu64
                    " objects unlinked\n",
                    del.out.checked, del.out.handed_on, del.out.unlinked);
    if (retiring && prevsnap.empty())
        std::printf("  2 hand-off: none (no previous snapshot)\n");
    else if (retiring && handoff == "done_before")
        std::printf("  2 hand-off to %s: done before\n", printable(prevsnap).c_str());
    else if (retiring && dry_run)
        std::printf("  2 hand-off to %s: append %" PRIu64 " names to its delete list\n", printable(prevsnap).c_str(),
                    would_hand_on);
    else if (retiring)
        std::printf("  2 hand-off to %s: done, %" PRIu64 " names appended%s\n", printable(prevsnap).c_str(),
                    handed.names, handed.resumed ? " (finishing an earlier run)" : "");
    if (dry_run)
        std::printf("  3 removal: remove %s and everything below it\n", shown.c_str());
    else
        std::printf("  3 removal: done, %" PRIu64 " entries removed\n", removed);
    return exit_ok;
}

}  // namespace znfssnap
