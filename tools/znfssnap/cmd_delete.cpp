#include "bookkeeping.h"
#include "commands.h"
#include "operations.h"
#include "options.h"
#include "report.h"
#include "retire.h"
#include "snapshot_lock.h"
#include "volume_files.h"

#include <znfs/znfs_posix.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace znfssnap {

namespace {

const char* k_help =
    "Usage: znfssnap delete --volume DIR --object-volume DIR --snapdir PATH [--prevsnap PATH]\n"
    "                       [--new-prevsnap] [--dry-run] [--wait] [OPTIONS]\n"
    "\n"
    "A volume DIR is a host directory (a POSIX volume) or gluster://HOST[:PORT]/VOLNAME (a\n"
    "GlusterFS volume, reached without a mount).\n"
    "\n"
    "Processes the delete list PATH/.delete/deletefilelist of the snapshot PATH on the\n"
    "volume --volume. For every listed name (a path relative to the snapshot) that has\n"
    "a copy in the snapshot: when the previous snapshot --prevsnap holds the same name with the\n"
    "same \"trusted.vidoruvud.uuid\" value, the name is handed on to\n"
    "PATH/.delete/deletefilelist_prevsnap; otherwise the data object named by that value is\n"
    "unlinked on the object volume --object-volume. The snapshot's own files stay.\n"
    "An object is unlinked only when no one but root and this user can change the directories\n"
    "on the way to either copy (a user who may write one could have swapped the copy for\n"
    "another); other names keep their objects, are handed on, and are counted in a warning.\n"
    "A deletion that ran in full leaves the marker PATH/.delete/delete_complete; then hand the\n"
    "names on with 'znfssnap handoff' before anything else happens to either snapshot, and\n"
    "remove the snapshot with 'znfssnap rmtree'. A delete list whose last line has no line feed\n"
    "(an append cut short: the line may be part of another name) is refused, by a dry run too;\n"
    "check its end by hand first.\n"
    "\n"
    "  --prevsnap PATH  the previous snapshot on the same volume: the next older one that still\n"
    "                   exists (default: none, for the oldest snapshot); refused when it is\n"
    "                   part-way through its removal, holds nothing, is a creation that\n"
    "                   stopped part-way or was incomplete (it lacks copies), or has been\n"
    "                   deleted itself; refused too, by what creation records, when it was\n"
    "                   taken after PATH or of another dataset, or when a snapshot of the same\n"
    "                   dataset beside PATH, still in the chain, lies between (or, without\n"
    "                   --prevsnap, before PATH). A rerun after a deletion began (completed or\n"
    "                   not) must give the previous snapshot it recorded (or none, if it had none)\n"
    "  --new-prevsnap   rerun a deletion against --prevsnap (or against none) although\n"
    "                   it recorded another previous snapshot, or although what creation\n"
    "                   recorded doubts it: a deliberate change, for when the one it recorded\n"
    "                   is no longer the next older snapshot\n"
    "  --dry-run        write nothing to either volume: report the objects a real run would\n"
    "                   unlink and the names it would hand on. No batch file, hand-off file,\n"
    "                   deletefilelist_prevsnap or marker is written, and nothing is unlinked.\n"
    "  --wait           wait while another run on this host works on either snapshot directory,\n"
    "                   instead of failing at once (one run at a time per snapshot directory is\n"
    "                   enforced on this host only)\n"
    "\n"
    "Exit status: 0 success; 1 the deletion failed (also: another run holds the snapshot, or a\n"
    "hand-off is unfinished); 2 usage error; 3 the deletion is incomplete: some names were\n"
    "left unresolved (neither unlinked nor handed on), or the volume could not tell what the\n"
    "snapshots hold (a GlusterFS volume with a brick down) and nothing was unlinked; run the\n"
    "same delete again.\n";

}  // namespace

int cmd_delete(const std::vector<std::string>& args)
{
    common_options co;
    deletion_request r;
    int rc = start_deletion("delete", k_help, args, co, r);
    if (rc >= 0)
        return rc;
    const std::string& volume = r.volume;
    const std::string& snapdir = r.snapdir;
    const std::string& prevsnap = r.prevsnap;
    const bool dry_run = r.dry_run;
    // The marker records the previous snapshot, and the hand-off that must follow records both
    // paths, one per line: refused before anything is unlinked, not once the deletion is done.
    if (!prevsnap.empty() && (normalize_path(prevsnap).find('\n') != std::string::npos ||
                              normalize_path(snapdir).find('\n') != std::string::npos))
        return usage_error("delete", "a snapshot path holding a line feed cannot be recorded in a marker");
    json_object j = deletion_record("delete", r);

    std::error_code ec;
    opened_volume vol, obj;
    if ((rc = open_deletion_volumes("delete", co.json, j, r, vol, obj)) >= 0)
        return rc;
    znfs::znfs_api* api = vol.api;
    znfs::znfs_iopx_ptr iopx = vol.iopx;
    if ((ec = check_directory(api, iopx, snapdir)))
        return undone_if_not_whole(report_failure("delete", co.json, j, "snapshot directory " + snapdir, ec), ec);
    if (!prevsnap.empty() && (ec = check_directory(api, iopx, prevsnap)))
        return undone_if_not_whole(report_failure("delete", co.json, j, "previous snapshot " + prevsnap, ec), ec);
    // Spelled apart ("s/../s", a linked parent), the same directory would have every name
    // compared with itself and handed on to itself, and no object ever unlinked.
    bool overlap = false;
    if (!prevsnap.empty() && (normalize_path(prevsnap) == normalize_path(snapdir) ||
                              (!trees_overlap(api, iopx, snapdir, prevsnap, overlap) && overlap)))
        return usage_error("delete", "--prevsnap names the snapshot being deleted, or a directory inside it or "
                                     "around it");

    // The previous snapshot is held too: a removal of it running meanwhile would make its copies
    // read as absent, and the objects it still holds would be unlinked.
    std::vector<std::string> locked = {snapdir};
    if (!prevsnap.empty())
        locked.push_back(prevsnap);
    snapshot_locks locks;
    std::string message;
    if (!locks.take(vol, volume, locked, holder_text("delete", args), r.wait, message))
        return report_refusal("delete", co.json, j, message, znfs::errno_code(EBUSY));
    deletion_step step = run_deletion_step(vol, obj, snapdir, prevsnap, r.new_prevsnap, dry_run, !co.json);
    if (!step.stop.ok())
        return undone_if_not_whole(report_verdict("delete", co.json, j, step.stop), step.stop.ec);
    const delete_outcome& out = step.out;
    const bool complete = step.ran_in_full();
    const std::error_code marker_ec = step.marker_ec;
    // Every name resolved and the list for the previous snapshot written: the lines the library
    // logged on the way (a name new since the previous snapshot has no uuid there, a worker
    // found no batch) were its normal course.
    log_outcome(complete && !marker_ec);
    j.error(out.ec ? out.ec : marker_ec)
        .num("opstatus", out.opstatus)
        .flag("complete", complete && !marker_ec)
        .str("prevsnap_dellist", out.prevsnap_dellist)
        .unum("names_checked", out.checked)
        .unum("names_handed_on", out.handed_on)
        .unum("objects_unlinked", out.unlinked)
        .unum("objects_missing", out.missing)
        .unum("names_unresolved", out.unresolved)
        .unum("names_unguarded", out.unguarded);
    if (dry_run)
        j.unum("dry_run_object_count", out.dry_run_objects.size())
            .list("dry_run_objects", out.dry_run_objects)
            .unum("dry_run_handed_on_count", out.dry_run_handed_on.size())
            .list("dry_run_handed_on", out.dry_run_handed_on);
    j.real("seconds", out.seconds);
    if (co.json)
        std::printf("%s\n", j.text().c_str());
    if (out.ec) {
        std::fprintf(stderr, "znfssnap delete: deletion of %s failed: %s\n", printable(snapdir).c_str(),
                     describe_error(out.ec).c_str());
        return undone_if_not_whole(exit_failed, out.ec);
    }
    if (marker_ec) {
        std::fprintf(stderr,
                     "znfssnap delete: deletion of %s ran in full, but its marker %s%s could not be written "
                     "(%s): run the same delete again before the hand-off\n",
                     printable(snapdir).c_str(), printable(snapdir).c_str(), k_delete_complete,
                     describe_error(marker_ec).c_str());
        return exit_failed;
    }
    if (!co.json) {
        if (dry_run) {
            std::printf("dry run, nothing written: %zu objects would be unlinked:\n", out.dry_run_objects.size());
            for (const std::string& o : out.dry_run_objects)
                std::printf("  %s\n", printable(o).c_str());
            std::printf("%zu names would be handed on to the previous snapshot:\n", out.dry_run_handed_on.size());
            for (const std::string& n : out.dry_run_handed_on)
                std::printf("  %s\n", printable(n).c_str());
        }
        double rate = out.seconds > 0 ? static_cast<double>(out.checked) / out.seconds : 0.0;
        std::printf("snapshot %s: %" PRIu64 " names checked, %" PRIu64 " handed on, %" PRIu64
                    " objects %s, %.3f s (%.0f names/s)\n",
                    printable(snapdir).c_str(), out.checked, out.handed_on, out.unlinked,
                    dry_run ? "would be unlinked" : "unlinked", out.seconds, rate);
        if (!dry_run)
            std::printf("names for the previous snapshot: %s\n", printable(out.prevsnap_dellist).c_str());
    }
    warn_objects_left("delete", out, !prevsnap.empty());
    if (!complete) {
        std::string what = out.unresolved != 0
                               ? std::to_string(out.unresolved) +
                                     " names were left unresolved (neither unlinked nor handed on)"
                               : std::string("names meant for the previous snapshot could not all be written");
        std::fprintf(stderr, "znfssnap delete: %s of %s is incomplete: %s; see the log lines above. %s\n",
                     dry_run ? "a real deletion" : "deletion", printable(snapdir).c_str(), what.c_str(),
                     dry_run ? "Fix their cause, then run the deletion."
                             : "Run the same delete again (after fixing the cause); do not hand on or remove "
                               "the snapshot before it completes.");
        return exit_incomplete;
    }
    return exit_ok;
}

}  // namespace znfssnap
