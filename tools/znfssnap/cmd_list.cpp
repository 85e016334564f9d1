#include "bookkeeping.h"
#include "commands.h"
#include "dataset_command.h"
#include "operations.h"
#include "options.h"
#include "report.h"
#include "volume_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace znfssnap {

namespace {

const char* k_help =
    "Usage: znfssnap list --volume DIR PARENT [OPTIONS]\n"
    "\n"
    "A volume DIR is a host directory (a POSIX volume) or gluster://HOST[:PORT]/VOLNAME (a\n"
    "GlusterFS volume, reached without a mount).\n"
    "\n"
    "Shows where each snapshot directory directly below PARENT (a path inside the volume)\n"
    "stands in its life, as its bookkeeping tells. Entries that are not directories are left\n"
    "out. Nothing is written, and no lock is taken: a run working on a snapshot meanwhile may\n"
    "show it half-way. The states:\n"
    "\n"
    "  unfinished  no delete list: a creation that never finished (or never began); it is no\n"
    "              snapshot, remove it with 'znfssnap rmtree'\n"
    "  incomplete  its creation could not copy every entry, or was killed before it could\n"
    "              tell (.delete/incomplete): it is no snapshot of the chain; take it again\n"
    "              with 'znfssnap create --resume', or\n"
    "              remove it with 'znfssnap rmtree'\n"
    "  finished    a snapshot with its delete list (LIST: the names in it)\n"
    "  deleting    a deletion ran but did not complete: run the same delete again\n"
    "  deleted     the deletion completed; HAND-OFF says whether its names still wait to go to\n"
    "              the previous snapshot (pending), went (done), or had nowhere to go (none);\n"
    "              the tree is still there\n"
    "  destroying  a removal of the tree began ('znfssnap destroy' finishes it)\n"
    "  empty       an empty directory\n"
    "\n"
    "With --json: one object whose \"snapshots\" array holds a record per directory (name,\n"
    "path, state, bookkeeping, delete_list_names, delete_complete, compared_with,\n"
    "handoff_pending, handoff_done), sorted by name.\n"
    "\n"
    "Exit status: 0 every directory was read; 1 PARENT could not be listed, or some directory\n"
    "could not be read (its record says why); 2 usage error.\n";

struct row {
    std::string name;
    std::string path;
    snapshot_state state;
    std::error_code ec;
};

const char* handoff_word(const snapshot_state& s)
{
    if (!s.delete_complete)
        return "-";
    if (s.compared_with.empty())
        return "none";
    return s.handoff_done ? "done" : "pending";
}

}  // namespace

int cmd_list(const std::vector<std::string>& args)
{
    parsed_args pa;
    common_options co;
    int rc = start_command("list", k_help, args, {{"volume", true}}, {"volume"}, 1, 1, pa, co);
    if (rc >= 0)
        return rc;
    const std::string volume = pa.get("volume");
    const std::string parent = pa.positional[0];
    if (parent.empty())
        return usage_error("list", "PARENT is empty: give a directory of the volume (\"/\" for its root)");
    json_object j("list");
    j.str("volume", volume).str("parent", parent);

    opened_volume vol;
    if ((rc = open_reported("list", co.json, j, volume, vol, parent, parent)) >= 0)
        return rc;
    std::error_code ec;
    std::vector<std::string> names;
    if ((ec = list_directory(vol.api, vol.iopx, parent, names, SIZE_MAX)))
        return report_failure("list", co.json, j, "cannot list " + parent, ec);
    std::sort(names.begin(), names.end());

    const std::string base = parent.empty() || parent.back() == '/' ? parent : parent + "/";
    std::vector<row> rows;
    bool all_read = true;
    for (const std::string& name : names) {
        row r;
        r.name = name;
        r.path = base + name;
        struct stat st {};
        // stat follows a link: one that leads to a directory of the volume lists it, as
        // every other command would reach it by that name.
        r.ec = vol.api->stat(vol.iopx, r.path.c_str(), &st, znfs::znfs_aio_ptr());
        if (!r.ec && !S_ISDIR(st.st_mode))
            continue;
        if (r.ec.value() == ENOENT)
            continue;  // gone since it was listed, or a link that leads nowhere
        // Below it nothing is reached through a link: a .delete that leads to another
        // snapshot's would show that one's state as this one's.
        if (!r.ec) {
            const opened_volume below = confined(vol, {r.path}, r.ec);
            if (!r.ec)
                r.ec = read_snapshot_state(below, r.path, true, r.state);
        }
        all_read = all_read && !r.ec;
        rows.push_back(r);
    }

    if (co.json) {
        std::vector<json_object> records;
        for (const row& r : rows) {
            json_object o;
            o.str("name", r.name).str("path", r.path).str("state", r.ec ? "unknown" : r.state.name());
            o.flag("bookkeeping", r.state.bookkeeping);
            if (r.state.list_entries_known)
                o.unum("delete_list_names", r.state.list_entries);
            o.flag("delete_complete", r.state.delete_complete)
                .str("compared_with", r.state.compared_with)
                .flag("handoff_pending", r.state.handoff_pending())
                .flag("handoff_done", r.state.handoff_done);
            if (r.ec)
                o.error(r.ec);
            records.push_back(o);
        }
        j.error(all_read ? std::error_code() : znfs::errno_code(EIO))
            .unum("count", rows.size())
            .objects("snapshots", records);
        std::printf("%s\n", j.text().c_str());
    } else {
        std::printf("%-10s %10s %-8s %s\n", "STATE", "LIST", "HAND-OFF", "SNAPSHOT");
        for (const row& r : rows) {
            const std::string list =
                r.state.list_entries_known ? std::to_string(r.state.list_entries) : std::string("-");
            std::printf("%-10s %10s %-8s %s\n", r.ec ? "unknown" : r.state.name(), list.c_str(),
                        r.ec ? "-" : handoff_word(r.state), printable(r.path).c_str());
        }
    }
    for (const row& r : rows)
        if (r.ec)
            std::fprintf(stderr, "znfssnap list: cannot read %s: %s\n", printable(r.path).c_str(),
                         describe_error(r.ec).c_str());
    return all_read ? exit_ok : exit_failed;
}

}  // namespace znfssnap
