#include "commands.h"
#include "dataset_command.h"
#include "operations.h"
#include "options.h"
#include "report.h"

#include <znfs/znfs_posix.h>

#include <cinttypes>
#include <cstdio>

namespace znfssnap {

namespace {

const char* k_help =
    "Usage: znfssnap create --volume DIR --dataset PATH --snapdir PATH [OPTIONS]\n"
    "\n"
    "A volume DIR is a host directory (a POSIX volume) or gluster://HOST[:PORT]/VOLNAME (a\n"
    "GlusterFS volume, reached without a mount).\n"
    "\n"
    "Copies the dataset PATH into the snapshot directory PATH on the volume DIR: every\n"
    "directory with its mode, every other entry as a file with its data and mode, and the\n"
    "extended attributes of both. Directories named \".snaps\" are skipped.\n"
    "Then makes the snapshot's bookkeeping: PATH/.delete and an empty PATH/.delete/deletefilelist.\n"
    "Both PATHs are paths inside the volume (\"/live\"). The snapshot directory must exist:\n"
    "create it first (and leave it empty).\n"
    "\n"
    "Exit status: 0 snapshot complete; 1 creation failed; 2 usage error; 3 creation finished\n"
    "but some entries could not be copied (each is named in a log line).\n";

}  // namespace

int cmd_create(const std::vector<std::string>& args)
{
    dataset_command dc;
    int rc = start_dataset_command("create", k_help, args, dc);
    if (rc >= 0)
        return rc;
    std::error_code ec;
    if ((ec = check_directory(dc.vol.api, dc.vol.iopx, dc.dataset)))
        return report_failure("create", dc.co.json, dc.report, "dataset " + dc.dataset, ec);
    if ((ec = check_directory(dc.vol.api, dc.vol.iopx, dc.snapdir)))
        return report_failure("create", dc.co.json, dc.report,
                              "snapshot directory " + dc.snapdir + " (it must exist)", ec);

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
