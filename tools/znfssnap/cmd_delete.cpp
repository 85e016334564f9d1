#include "commands.h"
#include "operations.h"
#include "options.h"
#include "report.h"

#include <znfs/znfs_posix.h>

#include <cinttypes>
#include <cstdio>

namespace znfssnap {

namespace {

const char* k_help =
    "Usage: znfssnap delete --volume DIR --object-volume DIR --snapdir PATH [--prevsnap PATH]\n"
    "                       [--dry-run] [OPTIONS]\n"
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
    "\n"
    "  --prevsnap PATH  the previous snapshot on the same volume (default: none)\n"
    "  --dry-run        unlink nothing: list the objects that would be unlinked. The bookkeeping\n"
    "                   files under PATH/.delete (batch files, hand-off files and\n"
    "                   deletefilelist_prevsnap) are written as in a real run.\n"
    "\n"
    "Exit status: 0 success; 1 the deletion failed; 2 usage error.\n";

}  // namespace

int cmd_delete(const std::vector<std::string>& args)
{
    parsed_args pa;
    common_options co;
    int rc = start_command("delete", k_help, args,
                           {{"volume", true}, {"object-volume", true}, {"snapdir", true}, {"prevsnap", true},
                            {"dry-run", false}},
                           {"volume", "object-volume", "snapdir"}, 0, 0, pa, co);
    if (rc >= 0)
        return rc;
    const std::string volume = pa.get("volume");
    const std::string objvolume = pa.get("object-volume");
    const std::string snapdir = pa.get("snapdir");
    const std::string prevsnap = pa.get("prevsnap");
    const bool dry_run = pa.has("dry-run");
    json_object j;
    j.str("operation", "delete")
        .str("volume", volume)
        .str("object_volume", objvolume)
        .str("snapdir", snapdir)
        .str("prevsnap", prevsnap)
        .flag("dry_run", dry_run);

    std::error_code ec;
    opened_volume vol = open_volume(volume, ec);
    if (!vol.iopx)
        return report_failure("delete", co.json, j, "cannot open volume " + volume, ec);
    opened_volume obj = open_volume(objvolume, ec);
    if (!obj.iopx)
        return report_failure("delete", co.json, j, "cannot open object volume " + objvolume, ec);
    znfs::znfs_api* api = vol.api;
    znfs::znfs_iopx_ptr iopx = vol.iopx;
    if ((ec = check_directory(api, iopx, snapdir)))
        return report_failure("delete", co.json, j, "snapshot directory " + snapdir, ec);
    if (!prevsnap.empty() && (ec = check_directory(api, iopx, prevsnap)))
        return report_failure("delete", co.json, j, "previous snapshot " + prevsnap, ec);

    delete_outcome out = run_delete(api, iopx, obj.api, obj.iopx, snapdir, prevsnap, dry_run, !co.json);
    j.error(out.ec)
        .num("opstatus", out.opstatus)
        .str("prevsnap_dellist", out.prevsnap_dellist)
        .unum("names_checked", out.checked)
        .unum("names_handed_on", out.handed_on)
        .unum("objects_unlinked", out.unlinked);
    if (dry_run)
        j.unum("dry_run_object_count", out.dry_run_objects.size()).list("dry_run_objects", out.dry_run_objects);
    j.real("seconds", out.seconds);
    if (co.json)
        std::printf("%s\n", j.text().c_str());
    if (out.ec) {
        std::fprintf(stderr, "znfssnap delete: deletion of %s failed: %s\n", printable(snapdir).c_str(),
                     describe_error(out.ec).c_str());
        return exit_failed;
    }
    if (!co.json) {
        if (dry_run) {
            std::printf("dry run: %zu objects would be unlinked:\n", out.dry_run_objects.size());
            for (const std::string& o : out.dry_run_objects)
                std::printf("  %s\n", printable(o).c_str());
        }
        double rate = out.seconds > 0 ? static_cast<double>(out.checked) / out.seconds : 0.0;
        std::printf("snapshot %s: %" PRIu64 " names checked, %" PRIu64 " handed on, %" PRIu64
                    " objects %s, %.3f s (%.0f names/s)\n",
                    printable(snapdir).c_str(), out.checked, out.handed_on, out.unlinked,
                    dry_run ? "would be unlinked" : "unlinked", out.seconds, rate);
        std::printf("names for the previous snapshot: %s\n", printable(out.prevsnap_dellist).c_str());
    }
    return exit_ok;
}

}  // namespace znfssnap
