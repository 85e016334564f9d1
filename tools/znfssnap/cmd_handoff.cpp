#include "bookkeeping.h"
#include "commands.h"
#include "dataset_command.h"
#include "operations.h"
#include "options.h"
#include "report.h"
#include "retire.h"
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
    "was run with another previous snapshot, when --prevsnap is not a finished snapshot, has\n"
    "been deleted itself or is part-way through its removal, and while a hand-off from another snapshot into the same list is\n"
    "unfinished (finish that one first). It keeps SNAPDIR/.delete/handoff_done when done, and\n"
    "PREVSNAP/.delete/handoff_pending while under way.\n"
    "\n"
    "  --wait  wait while another run on this host works on either snapshot directory, instead\n"
    "          of failing at once (one run at a time per snapshot directory, on this host)\n"
    "\n"
    "Exit status: 0 the names are in the previous list (now or already); 1 the hand-off\n"
    "failed or was refused (run it again once the cause is fixed); 2 usage error.\n";

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

    opened_volume vol;
    if ((rc = open_reported("handoff", co.json, j, volume, vol, snapdir, "snapshot directory " + snapdir)) >= 0)
        return rc;
    std::error_code ec;
    if ((ec = check_directory(vol.api, vol.iopx, prevsnap)))
        return report_failure("handoff", co.json, j,
                              "previous snapshot " + prevsnap +
                                  (ec.value() == ENOENT ? " (removed? then run 'znfssnap delete --snapdir " + snapdir +
                                                              " --prevsnap <the next older snapshot> --new-prevsnap', "
                                                              "or without --prevsnap if none is left, and hand on "
                                                              "to that one)"
                                                        : std::string()),
                              ec);
    bool overlap = false;
    if (!trees_overlap(vol.api, vol.iopx, snapdir, prevsnap, overlap) && overlap)
        return usage_error("handoff", "--prevsnap names the snapshot whose names are handed on, or a directory "
                                      "inside it or around it");
    snapshot_locks locks;
    std::string message;
    if (!locks.take(vol, volume, {snapdir, prevsnap}, holder_text("handoff", args), pa.has("wait"), message))
        return report_refusal("handoff", co.json, j, message, znfs::errno_code(EBUSY));

    const handoff_outcome out = run_handoff(vol, snapdir, prevsnap);
    if (!out.stop.ok())
        return report_verdict("handoff", co.json, j, out.stop);
    j.error(std::error_code())
        .flag("already_done", out.already_done)
        .flag("resumed", out.resumed)
        .unum("names_handed_on", out.names);
    if (!out.already_done)
        j.unum("list_offset", out.offset).unum("bytes", out.bytes);
    if (co.json)
        std::printf("%s\n", j.text().c_str());
    else if (out.already_done)
        std::printf("the names of %s were handed on to %s already; nothing appended\n", printable(snapdir).c_str(),
                    printable(prevsnap).c_str());
    else
        std::printf("handed on %" PRIu64 " names from %s to %s%s\n", out.names, printable(snapdir).c_str(),
                    printable(prevsnap + znfssnapcore::znfssnaputils::sdelfilelist).c_str(),
                    out.resumed ? " (finishing an earlier run)" : "");
    return exit_ok;
}

}  // namespace znfssnap
