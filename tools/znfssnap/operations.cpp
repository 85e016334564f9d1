#include "operations.h"

#include "dry_run_api.h"
#include "recording_api.h"
#include "report.h"
#include "volume_files.h"

#include <znfs/znfs_gluster.h>
#include <znfs/znfs_posix.h>
#include <znfssnapcore/znfssnapcore.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace znfssnap {

opened_volume open_volume(const std::string& volume, std::error_code& ec)
{
    opened_volume v;
    if (volume.compare(0, 10, "gluster://") == 0) {
        std::string host, volname;
        uint16_t port = 0;
        if ((ec = znfs::parse_gluster_url(volume, host, port, volname)))
            return v;
        v.api = znfs::gluster_api();
        v.iopx = znfs::make_gluster_volume(host, port, volname, ec);
        return v;
    }
    v.api = znfs::posix_api();
    v.iopx = znfs::make_posix_volume(volume, ec);
    return v;
}

opened_volume confined(const opened_volume& vol, const std::vector<std::string>& roots, std::error_code& ec)
{
    opened_volume c = vol;
    ec.clear();
    c.iopx = vol.api->confine(vol.iopx, roots, znfs::znfs_api::final_link::refuse, ec);
    if (!c.iopx && !ec)
        ec = znfs::errno_code(EINVAL);
    return c;
}

std::error_code check_directory(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path)
{
    struct stat st {};
    std::error_code ec = api->stat(iopx, path.c_str(), &st, znfs::znfs_aio_ptr());
    if (ec)
        return ec;
    if (!S_ISDIR(st.st_mode))
        return znfs::errno_code(ENOTDIR);
    return std::error_code();
}

create_outcome run_create(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& datasetdir,
                          const std::string& snapdir, bool show_progress)
{
    znfssnapcore::znfssnapcore_opinfo rec;
    rec.snapfsapi = api;
    rec.snapiopx = iopx;
    rec.datasetdir = datasetdir;
    rec.snapdir = snapdir;

    create_outcome out;
    stopwatch clock;
    {
        znfssnapcore::znfssnapcreate::znfssnapcreate op(&rec);
        progress_meter meter("entries copied", [&op] { return op.entries_copied() + op.entries_failed(); },
                             show_progress);
        out.ec = op.opcreate_start();
        meter.stop();
        out.copied = op.entries_copied();
        out.failed = op.entries_failed();
    }
    out.seconds = clock.seconds();
    out.opstatus = rec.opstatus;
    return out;
}

delete_outcome run_delete(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, znfs::znfs_api* objapi,
                          const znfs::znfs_iopx_ptr& objiopx, const std::string& snapdir,
                          const std::string& prevsnapdir, bool dry_run, bool show_progress)
{
    recording_api recorder(objapi);
    dry_run_api overlay(api, snapdir);
    znfssnapcore::znfssnapcore_opinfo rec;
    rec.snapfsapi = dry_run ? &overlay : api;
    rec.snapiopx = iopx;
    rec.objfsapi = dry_run ? &recorder : objapi;
    rec.objiopx = objiopx;
    rec.snapdir = snapdir;
    rec.prevsnapdir = prevsnapdir;

    delete_outcome out;
    stopwatch clock;
    {
        znfssnapcore::znfssnapdelete::znfssnapdelete op(&rec);
        progress_meter meter("names checked", [&op] { return op.names_checked(); }, show_progress);
        out.ec = op.opdelete_start();
        meter.stop();
        out.checked = op.names_checked();
        out.handed_on = op.names_handed_on();
        out.unlinked = op.objects_unlinked();
        out.unresolved = op.names_unresolved();
        out.unguarded = op.names_unguarded();
        out.missing = op.objects_missing();
    }
    out.seconds = clock.seconds();
    out.opstatus = rec.opstatus;
    out.prevsnap_dellist = rec.prevsnap_dellist;
    if (dry_run) {
        out.dry_run_objects = recorder.unlinked();
        std::sort(out.dry_run_objects.begin(), out.dry_run_objects.end());
        std::string handed;
        if (!rec.prevsnap_dellist.empty() && overlay.contents(rec.prevsnap_dellist, handed))
            out.dry_run_handed_on = split_lines(handed);
        out.prevsnap_dellist.clear();
    }
    return out;
}

void warn_objects_left(const char* command, const delete_outcome& out, bool has_prev)
{
    // A rerun finds the objects an earlier run unlinked gone; a run that finds every one gone
    // may as well be unlinking on the wrong volume.
    if (out.missing != 0 && out.unlinked == 0)
        std::fprintf(stderr,
                     "znfssnap %s: none of the %" PRIu64
                     " objects to unlink was on the object volume: unlinked by an earlier run, or "
                     "--object-volume is not the volume their uuids name\n",
                     command, out.missing);
    if (out.unguarded == 0)
        return;
    std::fprintf(stderr,
                 "znfssnap %s: %" PRIu64
                 " objects were kept%s: their copies lie below directories that users other than root and "
                 "this one may change, where a copy may have been swapped for another. The log lines "
                 "\"object [...] kept\" name them (each one with --log-file or -v), and nothing else will: "
                 "unlink them by hand once no snapshot holds them\n",
                 command, out.unguarded, has_prev ? " (their names handed on)" : "");
}

}  // namespace znfssnap
