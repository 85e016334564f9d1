#include "commands.h"
#include "dataset_command.h"
#include "operations.h"
#include "options.h"
#include "report.h"
#include "snapshot_lock.h"
#include "volume_files.h"

#include <znfs/znfs_posix.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace znfssnap {

namespace {

const char* k_help =
    "Usage: znfssnap create --volume DIR --dataset PATH --snapdir PATH [--resume] [--wait]\n"
    "                       [OPTIONS]\n"
    "\n"
    "A volume DIR is a host directory (a POSIX volume) or gluster://HOST[:PORT]/VOLNAME (a\n"
    "GlusterFS volume, reached without a mount).\n"
    "\n"
    "Copies the dataset PATH into the snapshot directory PATH on the volume DIR: every\n"
    "directory with its mode, every other entry as a file with its data and mode, and the\n"
    "extended attributes of both. Directories named \".snaps\" are skipped.\n"
    "Then makes the snapshot's bookkeeping: PATH/.delete and an empty PATH/.delete/deletefilelist.\n"
    "Both PATHs are paths inside the volume (\"/live\"). The snapshot directory must exist\n"
    "and be empty: create it first.\n"
    "\n"
    "  --resume  copy into a snapshot directory that is not empty: one whose creation stopped\n"
    "            part-way (no .delete in it yet), with the live dataset unchanged since. A\n"
    "            directory that holds .delete is a finished snapshot and is never copied into.\n"
    "  --wait    wait while another run on this host works on the snapshot directory, instead\n"
    "            of failing at once. One run at a time per snapshot directory is enforced on\n"
    "            this host only.\n"
    "\n"
    "Exit status: 0 snapshot complete; 1 creation failed (also: the snapshot directory is\n"
    "already a finished snapshot, or another run holds it); 2 usage error (also: the snapshot\n"
    "directory is not empty and --resume was not given); 3 creation finished but some entries\n"
    "could not be copied (each is named in a log line). A snapshot with exit status 1 or 3 is\n"
    "not to be used: remove it (znfssnap rmtree) and take it again, or run the same create\n"
    "with --resume before the live dataset changes.\n";

}  // namespace

int cmd_create(const std::vector<std::string>& args)
{
    dataset_command dc;
    int rc = start_dataset_command("create", k_help, args, dc, {{"resume", false}, {"wait", false}});
    if (rc >= 0)
        return rc;
    const bool resume = dc.args.has("resume");
    dc.report.flag("resume", resume);
    std::error_code ec;
    if ((ec = check_directory(dc.vol.api, dc.vol.iopx, dc.dataset)))
        return report_failure("create", dc.co.json, dc.report, "dataset " + dc.dataset, ec);
    if ((ec = check_directory(dc.vol.api, dc.vol.iopx, dc.snapdir)))
        return report_failure("create", dc.co.json, dc.report,
                              "snapshot directory " + dc.snapdir + " (it must exist)", ec);

    snapshot_locks locks;
    std::string message;
    if (!locks.take(dc.vol, dc.volume, {dc.snapdir}, holder_text("create", args), dc.args.has("wait"), message))
        return report_refusal("create", dc.co.json, dc.report, message, znfs::errno_code(EBUSY));

    // Creation writes every file with truncation: copying into a finished snapshot would
    // replace its point-in-time data with today's. Only an empty directory, or one the
    // operator says holds a stopped creation, is copied into.
    std::vector<std::string> entries;
    if ((ec = list_directory(dc.vol.api, dc.vol.iopx, dc.snapdir, entries, 64)))
        return report_failure("create", dc.co.json, dc.report, "cannot list snapshot directory " + dc.snapdir, ec);
    if (!entries.empty() && !resume) {
        std::sort(entries.begin(), entries.end());
        if (std::find(entries.begin(), entries.end(), ".delete") != entries.end())
            return usage_error("create", "snapshot directory " + printable(dc.snapdir) +
                                             " already holds a finished snapshot (it has .delete); copying into "
                                             "it would overwrite that snapshot: use a new, empty directory");
        return usage_error("create", "snapshot directory " + printable(dc.snapdir) + " is not empty (it holds '" +
                                         printable(entries.front()) +
                                         "'): use an empty directory, or give --resume to finish a creation that "
                                         "stopped part-way");
    }

    create_outcome out = run_create(dc.vol.api, dc.vol.iopx, dc.dataset, dc.snapdir, !dc.co.json);
    const bool incomplete = !out.ec && (out.opstatus != 0 || out.failed != 0);
    dc.report.error(out.ec)
        .num("opstatus", out.opstatus)
        .flag("complete", !out.ec && !incomplete)
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
        std::fprintf(stderr, "znfssnap create: creation of %s failed: %s\n", printable(dc.snapdir).c_str(),
                     describe_error(out.ec).c_str());
        return exit_failed;
    }
    if (incomplete) {
        std::fprintf(stderr,
                     "znfssnap create: snapshot %s is incomplete: %" PRIu64 " entries could not be copied "
                     "(see the log lines above)\n",
                     printable(dc.snapdir).c_str(), out.failed);
    }
    if (!dc.co.json)
        std::printf("snapshot %s of %s: %" PRIu64 " entries copied, %" PRIu64 " failed, %.3f s\n",
                    printable(dc.snapdir).c_str(), printable(dc.dataset).c_str(), out.copied, out.failed,
                    out.seconds);
    return incomplete ? exit_incomplete : exit_ok;
}

}  // namespace znfssnap
