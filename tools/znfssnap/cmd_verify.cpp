#include "commands.h"
#include "dataset_command.h"
#include "operations.h"
#include "options.h"
#include "report.h"
#include "tree_compare.h"

#include <znfs/znfs_posix.h>

#include <cinttypes>
#include <cstdio>

namespace znfssnap {

namespace {

const char* k_help =
    "Usage: znfssnap verify --volume DIR --dataset PATH --snapdir PATH [OPTIONS]\n"
    "\n"
    "A volume DIR is a host directory (a POSIX volume) or gluster://HOST[:PORT]/VOLNAME (a\n"
    "GlusterFS volume, reached without a mount).\n"
    "\n"
    "Compares the snapshot PATH with the dataset PATH on the volume DIR, as\n"
    "creation copies it. Every entry below the dataset, except directories named \".snaps\" and\n"
    "their content and a top-level \".delete\" (the name of the snapshot's bookkeeping, which\n"
    "creation skips), must exist in the snapshot with:\n"
    "  - the same kind: directory, or file for anything else (a symbolic link is compared by\n"
    "    what it points to; a FIFO, socket or device must be an empty file),\n"
    "  - the same permission bits (set-user-ID and set-group-ID bits are not copied, so not\n"
    "    compared),\n"
    "  - the same bytes,\n"
    "  - the same extended attribute names and values.\n"
    "Entries of the snapshot that are not in the dataset are differences too, except the\n"
    "snapshot's bookkeeping directory \".delete\". Both trees are read as creation reads them: a\n"
    "link is followed only to an entry beneath its own tree, so a dataset link that leads out of\n"
    "the dataset (creation copies nothing of what it leads to) is a difference, its entry\n"
    "unreadable, and a link in the snapshot is reported as a link. Each difference is printed on\n"
    "its own line; with --json each is a record {\"path\", \"kind\", \"expected\", \"found\",\n"
    "\"attribute\"}.\n"
    "\n"
    "Exit status: 0 no difference; 1 a tree could not be read; 2 usage error; 4 differences.\n";

}  // namespace

int cmd_verify(const std::vector<std::string>& args)
{
    dataset_command dc;
    int rc = start_dataset_command("verify", k_help, args, dc);
    if (rc >= 0)
        return rc;

    verify_outcome out = verify_snapshot(dc.vol.api, dc.vol.iopx, dc.dataset, dc.snapdir, !dc.co.json);
    if (out.ec)
        return report_failure("verify", dc.co.json, dc.report, out.failure, out.ec);
    std::vector<json_object> records;
    if (dc.co.json)
        for (const difference& d : out.differences)
            records.push_back(json_object()
                                  .str("path", d.path)
                                  .str("kind", d.kind)
                                  .str("expected", d.expected)
                                  .str("found", d.found)
                                  .str("attribute", d.attribute));
    dc.report.error(out.ec)
        .unum("entries_compared", out.entries)
        .unum("difference_count", out.differences.size())
        .objects("differences", records)
        .real("seconds", out.seconds);
    if (dc.co.json) {
        std::printf("%s\n", dc.report.text().c_str());
    } else {
        for (const difference& d : out.differences)
            std::printf("%s\n", difference_text(d).c_str());
        if (out.differences.empty())
            std::printf("snapshot %s matches %s: %" PRIu64 " entries compared, %.3f s\n",
                        printable(dc.snapdir).c_str(), printable(dc.dataset).c_str(), out.entries, out.seconds);
        else
            std::printf("snapshot %s differs from %s: %zu differences\n", printable(dc.snapdir).c_str(),
                        printable(dc.dataset).c_str(), out.differences.size());
    }
    return out.differences.empty() ? exit_ok : exit_differences;
}

}  // namespace znfssnap
