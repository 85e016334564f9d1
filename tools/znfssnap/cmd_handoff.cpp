#include "bookkeeping.h"
#include "commands.h"
#include "operations.h"
#include "options.h"
#include "report.h"
#include "snapshot_lock.h"
#include "volume_files.h"

#include <znfssnapcore/znfssnapcore.h>

#include <fcntl.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace znfssnap {

namespace {

const char* k_help =
    "Usage: znfssnap handoff --volume DIR --snapdir PATH --prevsnap PATH [--wait] [OPTIONS]\n"
    "\n"
    "A volume DIR is a host directory (a POSIX volume) or gluster://HOST[:PORT]/VOLNAME (a\n"
    "GlusterFS volume, reached without a mount).\n"
    "\n"
    "Appends the names a completed deletion of the snapshot --snapdir handed on\n"
    "(SNAPDIR/.delete/deletefilelist_prevsnap) to the delete list of the previous snapshot\n"
    "--prevsnap (PREVSNAP/.delete/deletefilelist), exactly once: a run after one that already\n"
    "did it appends nothing, and a run after one that was cut short (a crash, a power cut)\n"
    "finishes its append without doubling or losing a name. Run it right after the deletion\n"
    "exits 0, before anything else happens to either snapshot, with the same --prevsnap the\n"
    "deletion was given.\n"
    "\n"
    "Refused when the deletion of --snapdir has not completed (no SNAPDIR/.delete/delete_complete),\n"
    "was run with another previous snapshot, when --prevsnap is not a finished snapshot or has\n"
    "been deleted itself, and while a hand-off from another snapshot into the same list is\n"
    "unfinished (finish that one first). It keeps SNAPDIR/.delete/handoff_done when done, and\n"
    "PREVSNAP/.delete/handoff_pending while under way.\n"
    "\n"
    "  --wait  wait while another run on this host works on either snapshot directory, instead\n"
    "          of failing at once (one run at a time per snapshot directory, on this host)\n"
    "\n"
    "Exit status: 0 the names are in the previous list (now or already); 1 the hand-off\n"
    "failed or was refused (run it again once the cause is fixed); 2 usage error.\n";

size_t count_lines(const std::string& text)
{
    size_t n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

}  // namespace

int cmd_handoff(const std::vector<std::string>& args)
{
    parsed_args pa;
    common_options co;
    int rc = start_command("handoff", k_help, args,
                           {{"volume", true}, {"snapdir", true}, {"prevsnap", true}, {"wait", false}},
                           {"volume", "snapdir", "prevsnap"}, 0, 0, pa, co);
    if (rc >= 0)
        return rc;
    const std::string volume = pa.get("volume");
    const std::string snapdir = pa.get("snapdir");
    const std::string prevsnap = pa.get("prevsnap");
    const std::string snapnorm = normalize_path(snapdir);
    const std::string prevnorm = normalize_path(prevsnap);
    if (snapnorm == prevnorm)
        return usage_error("handoff", "--prevsnap names the snapshot whose names are handed on");
    if (snapnorm.find('\n') != std::string::npos || prevnorm.find('\n') != std::string::npos)
        return usage_error("handoff", "a snapshot path holding a line feed cannot be recorded in a marker");
    json_object j("handoff");
    j.str("volume", volume).str("snapdir", snapdir).str("prevsnap", prevsnap);

    std::error_code ec;
    opened_volume vol = open_volume(volume, ec);
    if (!vol.iopx)
        return report_failure("handoff", co.json, j, "cannot open volume " + volume, ec);
    if ((ec = check_directory(vol.api, vol.iopx, snapdir)))
        return report_failure("handoff", co.json, j, "snapshot directory " + snapdir, ec);
    if ((ec = check_directory(vol.api, vol.iopx, prevsnap)))
        return report_failure("handoff", co.json, j, "previous snapshot " + prevsnap, ec);
    snapshot_locks locks;
    std::string message;
    if (!locks.take(vol, volume, {snapdir, prevsnap}, holder_text("handoff", args), pa.has("wait"), message))
        return report_refusal("handoff", co.json, j, message, znfs::errno_code(EBUSY));

    const std::string done_path = snapdir + k_handoff_done;
    const std::string pending_path = prevsnap + k_handoff_pending;
    const std::string source = snapdir + znfssnapcore::znfssnaputils::sdelfilelist_prevsnap;
    const std::string target = prevsnap + znfssnapcore::znfssnaputils::sdelfilelist;
    pending_handoff pending;
    std::error_code pending_ec = read_pending(vol, prevsnap, pending);
    if (pending_ec && pending_ec.value() != ENOENT)
        return report_failure("handoff", co.json, j, "cannot read " + pending_path, pending_ec);
    const bool pending_ours = !pending_ec && pending.snapdir == snapnorm;

    // Done already: at most the marker of a run cut short after its last write is left.
    std::string done_text;
    ec = read_whole_file(vol.api, vol.iopx, done_path, done_text, 65536);
    if (!ec) {
        pending_handoff done;
        if (parse_pending(done_text, done) && done.snapdir != prevnorm)
            return report_refusal("handoff", co.json, j,
                                  "the names of " + snapdir + " were handed on to " + done.snapdir + " already, not to " +
                                      prevsnap,
                                  znfs::errno_code(EINVAL));
        if (pending_ours && (ec = remove_file_durably(vol.api, vol.iopx, pending_path)))
            return report_failure("handoff", co.json, j, "cannot remove " + pending_path, ec);
        j.error(ec).flag("already_done", true).flag("resumed", false).unum("names_handed_on", 0);
        if (co.json)
            std::printf("%s\n", j.text().c_str());
        else
            std::printf("the names of %s were handed on to %s already; nothing appended\n",
                        printable(snapdir).c_str(), printable(prevsnap).c_str());
        return exit_ok;
    }
    if (ec.value() != ENOENT)
        return report_failure("handoff", co.json, j, "cannot tell whether " + done_path + " exists", ec);

    std::string recorded;
    ec = read_whole_file(vol.api, vol.iopx, snapdir + k_delete_complete, recorded, 65536);
    if (ec.value() == ENOENT)
        return report_refusal("handoff", co.json, j,
                              "the deletion of " + snapdir +
                                  " has not completed: run the same 'znfssnap delete' until it exits 0 first",
                              ec);
    if (ec)
        return report_failure("handoff", co.json, j, "cannot read " + snapdir + k_delete_complete, ec);
    if (!recorded.empty() && recorded.back() == '\n')
        recorded.pop_back();
    if (recorded != prevnorm)
        return report_refusal("handoff", co.json, j,
                              "the deletion of " + snapdir + " compared its names with " +
                                  (recorded.empty() ? std::string("no previous snapshot") : recorded) + ", not with " +
                                  prevsnap +
                                  ": hand them on to that one, or run the deletion again with --prevsnap " + prevsnap,
                              znfs::errno_code(EINVAL));
    if (!pending_ec && !pending_ours)
        return report_refusal("handoff", co.json, j,
                              "a hand-off from " + pending.snapdir + " into " + target +
                                  " is unfinished: run 'znfssnap handoff --snapdir " + pending.snapdir +
                                  " --prevsnap " + prevsnap + "' first",
                              znfs::errno_code(EBUSY));
    if (!pending_ours) {
        const verdict v = append_refusal(vol, prevsnap, false);
        if (!v.ok())
            return report_verdict("handoff", co.json, j, v);
    }

    std::string names;
    if ((ec = read_whole_file(vol.api, vol.iopx, source, names)))
        return report_failure("handoff", co.json, j, "cannot read " + source, ec);
    if (!names.empty() && names.back() != '\n')
        return report_refusal("handoff", co.json, j,
                              source + " does not end with a line feed: it is not a list a deletion wrote",
                              znfs::errno_code(EILSEQ));

    errno = 0;
    znfs::znfs_file_ptr f = vol.api->open(vol.iopx, target.c_str(), O_WRONLY, znfs::znfs_aio_ptr());
    if (!f)
        return report_failure("handoff", co.json, j, "cannot open " + target, znfs::errno_code(errno ? errno : EIO));
    const uint64_t size = f->get_file_size();
    if (pending_ours) {
        // A run cut short: its bytes go again to where it put them, whatever of them got there.
        if (pending.length != names.size() || size < pending.offset) {
            vol.api->close(f, znfs::znfs_aio_ptr());
            return report_refusal("handoff", co.json, j,
                                  "the unfinished hand-off recorded in " + pending_path + " (" +
                                      std::to_string(pending.length) + " bytes at " + std::to_string(pending.offset) +
                                      ") no longer matches " + source + " (" + std::to_string(names.size()) +
                                      " bytes) and " + target + " (" + std::to_string(size) +
                                      " bytes): compare them by hand",
                                  znfs::errno_code(EINVAL));
        }
    } else {
        pending.offset = size;
        pending.length = names.size();
        pending.snapdir = snapnorm;
        if (!names.empty() && (ec = write_file_durably(vol.api, vol.iopx, pending_path, format_pending(pending)))) {
            vol.api->close(f, znfs::znfs_aio_ptr());
            return report_failure("handoff", co.json, j, "cannot write " + pending_path + "; nothing appended", ec);
        }
    }
    ec = write_at(vol.api, f, names.data(), names.size(), pending.offset);
    if (!ec && !names.empty())
        ec = vol.api->fsync(f, znfs::znfs_aio_ptr());
    std::error_code cec = vol.api->close(f, znfs::znfs_aio_ptr());
    if (!ec)
        ec = cec;
    if (ec)
        return report_failure("handoff", co.json, j,
                              "cannot append to " + target + ": run the same handoff again to finish it", ec);
    pending_handoff done = pending;
    done.snapdir = prevnorm;  // the same record, naming where the names went
    if ((ec = write_file_durably(vol.api, vol.iopx, done_path, format_pending(done))))
        return report_failure("handoff", co.json, j,
                              "names appended, but " + done_path +
                                  " could not be written: run the same handoff again to finish it",
                              ec);
    if (!names.empty() && (ec = remove_file_durably(vol.api, vol.iopx, pending_path)))
        return report_failure("handoff", co.json, j,
                              "names appended, but " + pending_path +
                                  " could not be removed: run the same handoff again to finish it",
                              ec);

    const size_t count = count_lines(names);
    j.error(ec)
        .flag("already_done", false)
        .flag("resumed", pending_ours)
        .unum("names_handed_on", count)
        .unum("list_offset", pending.offset)
        .unum("bytes", names.size());
    if (co.json)
        std::printf("%s\n", j.text().c_str());
    else
        std::printf("handed on %zu names from %s to %s%s\n", count, printable(snapdir).c_str(),
                    printable(target).c_str(), pending_ours ? " (finishing an earlier run)" : "");
    return exit_ok;
}

}  // namespace znfssnap
