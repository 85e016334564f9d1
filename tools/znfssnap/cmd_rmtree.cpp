#include "bookkeeping.h"
#include "commands.h"
#include "dataset_command.h"
#include "kill_hook.h"
#include "operations.h"
#include "options.h"
#include "report.h"
#include "snapshot_lock.h"
#include "volume_files.h"

#include <znfs/znfs_posix.h>
#include <znfssnapcore/znfssnapcore.h>

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace znfssnap {

namespace {

const char* k_help =
    "Usage: znfssnap rmtree --volume DIR [--wait] [--force] PATH [OPTIONS]\n"
    "\n"
    "A volume DIR is a host directory (a POSIX volume) or gluster://HOST[:PORT]/VOLNAME (a\n"
    "GlusterFS volume, reached without a mount).\n"
    "\n"
    "Removes the directory PATH and everything below it on the volume DIR\n"
    "(for example a whole snapshot directory). Symbolic links are removed, never followed,\n"
    "and none is followed on the way to PATH: a path that passes through one is refused.\n"
    "A snapshot's delete list goes first, so a removal cut short never leaves what reads as a\n"
    "finished snapshot.\n"
    "PATH must name a directory below the volume root, without \".\" or \"..\" components.\n"
    "PATH is removed only when no other run on this host works on it, or on a snapshot\n"
    "directory below it (each run holds the directories above its own shared, up to its\n"
    "volume root and, on a host directory volume, that root and the host directories above\n"
    "it, so a run whose --volume root lies inside PATH is seen too).\n"
    "\n"
    "A snapshot that still holds the last reference to data objects is refused, at PATH or\n"
    "anywhere below it: a finished snapshot whose delete list names files (delete it first:\n"
    "'znfssnap destroy' deletes, hands on and removes), one whose deletion has not completed,\n"
    "and one whose names for the previous snapshot are not handed on yet ('znfssnap\n"
    "handoff'). Removed, it would leave those objects on the object volume with nothing to ever\n"
    "unlink them. So is a PATH inside a finished snapshot: the next newer snapshot's deletion\n"
    "would find those copies absent and unlink objects the snapshot still names.\n"
    "\n"
    "  --wait   wait for such a run to end, instead of failing at once\n"
    "  --force  remove such a snapshot all the same (its objects are left for good)\n"
    "\n"
    "Exit status: 0 removed; 1 the removal failed or was refused; 2 usage error.\n";

// The tree removal would take the whole volume with it for a path that resolves to the root,
// and "x/.." is such a path; refuse anything but plain names.
bool plain_path(const std::string& path)
{
    const std::vector<std::string> parts = path_components(path);
    for (const std::string& part : parts)
        if (part == "." || part == "..")
            return false;
    return !parts.empty();
}

// Why removing the tree at path would strand data objects that only it still leads to: the
// names of its delete list, those its deletion means to hand on, or those a snapshot beside it
// means to hand on to it (awaited: awaited_handoffs of its siblings). Empty when nothing would.
verdict stranding_refusal(const opened_volume& vol, const std::string& path,
                          const std::map<std::string, std::string>& awaited)
{
    snapshot_state st;
    std::error_code ec = read_snapshot_state(vol, path, true, st);
    // Not there, not a directory, or a link (removed as a name, never followed): no snapshot.
    if (ec.value() == ENOENT || ec.value() == ENOTDIR || ec.value() == ELOOP ||
        (!ec && (!st.bookkeeping || st.incomplete || st.destroying)))
        return verdict();
    if (ec)
        return check_failed("cannot tell whether " + path + " is a snapshot that still holds data objects", ec);
    const std::string how = "; nothing was removed (--force removes it all the same, leaving those objects for good)";
    if (st.deletion_ran && !st.delete_complete)
        return refused(path +
                           " is a snapshot whose deletion began but has not completed: run the same delete (or "
                           "destroy) again first" +
                           how,
                       EBUSY);
    if (!st.delete_complete && (!st.list_entries_known || st.list_entries != 0))
        return refused(path + " is a finished snapshot whose delete list names " +
                           (st.list_entries_known ? std::to_string(st.list_entries) : std::string("some")) +
                           " files it may be the last to hold: delete it first ('znfssnap destroy' deletes it, "
                           "hands its names on and removes it)" +
                           how,
                       EBUSY);
    // A newer snapshot beside it whose deletion compared with it still has names to hand on to
    // it: removed, those names would have nowhere to go.
    const auto waiting = awaited.find(normalize_path(path));
    if (waiting != awaited.end())
        return refused(path + " is the previous snapshot of " + waiting->second +
                           ", whose deletion compared with it and has not handed its names on yet: run "
                           "'znfssnap handoff --snapdir " +
                           waiting->second + " --prevsnap " + path + "' (or destroy that one) first" + how,
                       EBUSY);
    if (st.handoff_pending()) {
        uint64_t names = 0;
        ec = count_list_entries(vol, path + znfssnapcore::znfssnaputils::sdelfilelist_prevsnap, names);
        if (ec || names != 0)
            return refused(path + " is a deleted snapshot whose names for the previous snapshot " + st.compared_with +
                               " are not handed on yet: run 'znfssnap handoff' (or destroy) first" + how,
                           EBUSY);
    }
    return verdict();
}

// The snapshot that path lies inside, if any: removing part of a finished one would take copies
// that a deletion of the next newer snapshot compares with, which then unlinks objects this
// one still names.
verdict inside_snapshot(const opened_volume& vol, const std::string& path)
{
    const std::vector<std::string> parts = path_components(path);
    std::string above;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        above += "/" + parts[i];
        snapshot_state st;
        std::error_code ec = probe_file(vol.api, vol.iopx, above + znfssnapcore::znfssnaputils::sdelfilelist);
        if (ec.value() == ENOENT || ec.value() == ENOTDIR)
            continue;
        if (!ec)
            ec = read_snapshot_state(vol, above, false, st);
        if (ec)
            return check_failed("cannot tell whether " + above + " is a snapshot", ec);
        if (!st.incomplete && !st.destroying)
            return refused(path + " lies inside the snapshot " + above +
                               ": without it, the deletion of the next newer snapshot would find those copies "
                               "absent and unlink objects " +
                               above + " still names; remove the whole snapshot (or give --force); nothing was removed",
                           EBUSY);
    }
    return verdict();
}

// stranding_refusal for path and, where it is no snapshot, for every snapshot below it (a
// snapshot's own copies hold none: creation leaves .snaps out). Only directories are read.
verdict stranding_at_or_below(const opened_volume& vol, const std::string& path,
                              const std::map<std::string, std::string>& awaited, unsigned depth)
{
    verdict v = stranding_refusal(vol, path, awaited);
    if (!v.ok())
        return v;
    struct stat st {};
    std::error_code ec = vol.api->stat(vol.iopx, (path + "/.delete").c_str(), &st, znfs::znfs_aio_ptr());
    if (ec.value() != ENOENT)
        return verdict();  // a snapshot, judged above; a link or an error: not entered
    ec.clear();
    // Snapshots are kept near the top of a volume; a tree this deep is a copy (a creation that
    // failed, say), which holds none.
    if (depth == 0)
        return verdict();
    errno = 0;
    znfs::znfs_file_ptr d = vol.api->opendir(vol.iopx, path.c_str(), znfs::znfs_aio_ptr());
    if (!d)
        return verdict();  // no directory, or none to read: the removal says what it is
    std::vector<std::string> dirs;
    for (;;) {
        errno = 0;
        struct dirent* de = vol.api->readdir(d, znfs::znfs_aio_ptr());
        if (!de) {
            if (errno != 0)
                ec = znfs::errno_code(errno);
            break;
        }
        if (std::strcmp(de->d_name, ".") == 0 || std::strcmp(de->d_name, "..") == 0)
            continue;
        if (de->d_type == DT_DIR || de->d_type == DT_UNKNOWN)
            dirs.push_back(path + "/" + de->d_name);
    }
    vol.api->closedir(d, znfs::znfs_aio_ptr());
    if (ec)
        return check_failed("cannot read " + path + " to look for snapshots below it", ec);
    const std::map<std::string, std::string> below = awaited_handoffs(vol, dirs);
    for (const std::string& dir : dirs) {
        v = stranding_at_or_below(vol, dir, below, depth - 1);
        if (!v.ok())
            return v;
    }
    return verdict();
}
}  // namespace

int cmd_rmtree(const std::vector<std::string>& args)
{
    parsed_args pa;
    common_options co;
    int rc = start_command("rmtree", k_help, args, {{"volume", true}, {"wait", false}, {"force", false}}, {"volume"}, 1,
                           1, pa, co);
    if (rc >= 0)
        return rc;
    const std::string volume = pa.get("volume");
    const std::string path = pa.positional[0];
    if (!plain_path(path))
        return usage_error("rmtree", "'" + printable(path) + "' does not name a directory below the volume root");
    json_object j("rmtree");
    j.str("volume", volume).str("path", path);

    opened_volume vol;
    if ((rc = open_reported("rmtree", co.json, j, volume, vol, path, path)) >= 0)
        return rc;
    kill_hook hook;
    hook.arm(vol);
    znfs::znfs_api* api = vol.api;
    snapshot_locks locks;
    std::string message;
    if (!locks.take(vol, volume, {path}, holder_text("rmtree", args), pa.has("wait"), message))
        return report_refusal("rmtree", co.json, j, message, znfs::errno_code(EBUSY));

    // The directories on the way to PATH may lie in a tree others write, a snapshot kept in its
    // dataset's .snaps for one: a directory there swapped for a link would lead the removal to
    // whatever it points to. The path is taken as it stands, no link followed above its last
    // name (a link there is refused; PATH itself, if a link, is removed as a name).
    std::error_code ec;
    const opened_volume strict = confined(vol, {"/"}, ec);
    if (!strict.iopx)
        return report_failure("rmtree", co.json, j, "cannot open the volume", ec);
    const size_t last = path.find_last_of('/');
    const std::string parent = last == std::string::npos ? std::string() : path.substr(0, last);
    struct stat st {};
    if (!parent.empty() && (ec = api->stat(strict.iopx, parent.c_str(), &st, znfs::znfs_aio_ptr())) &&
        ec.value() == ELOOP)
        return report_refusal("rmtree", co.json, j,
                              "the path to " + printable(path) +
                                  " passes through a symbolic link: give the path of the directory itself "
                                  "(rmtree follows no link); nothing was removed",
                              ec);
    // A snapshot's delete list goes first, and durably: cut short anywhere after, what is left
    // never reads as a finished snapshot, which a deletion could take as the previous one.
    const opened_volume below = confined(strict, {path}, ec);
    if (below.iopx && !pa.has("force")) {
        verdict v = inside_snapshot(strict, path);
        if (v.ok())
            v = stranding_at_or_below(strict, path, awaited_handoffs(strict, siblings_of(strict, path)), 64);
        if (!v.ok())
            return report_verdict("rmtree", co.json, j, v);
    }
    if (below.iopx &&
        (ec = remove_file_durably(below.api, below.iopx, path + znfssnapcore::znfssnaputils::sdelfilelist)) &&
        ec.value() != ENOTDIR && ec.value() != ELOOP)
        return report_failure("rmtree", co.json, j,
                              "cannot remove " + path + znfssnapcore::znfssnaputils::sdelfilelist +
                                  " (it goes first); nothing else was removed",
                              ec);

    znfs::znfs_debug logger;
    stopwatch clock;
    ec = znfssnapcore::znfssnaputils::rmdir_nonempty(api, strict.iopx, path, logger);
    double seconds = clock.seconds();
    log_outcome(!ec);
    if (ec)
        return report_failure("rmtree", co.json, j, "cannot remove " + path, ec);
    if (co.json)
        std::printf("%s\n", j.error(ec).real("seconds", seconds).text().c_str());
    else
        std::printf("removed %s, %.3f s\n", printable(path).c_str(), seconds);
    return exit_ok;
}

}  // namespace znfssnap
