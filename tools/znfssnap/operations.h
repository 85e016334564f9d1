#ifndef ZNFSSNAP_OPERATIONS_H
#define ZNFSSNAP_OPERATIONS_H

// The library's operations as the commands and the demo run them: one record, the operation
// object (for its progress counters), the outcome and its duration.

#include <znfs/znfs_api.h>

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

namespace znfssnap {

// A volume and the service that reaches it.
struct opened_volume {
    znfs::znfs_api* api = nullptr;
    znfs::znfs_iopx_ptr iopx;
};

// Opens the volume a --volume value names: "gluster://HOST[:PORT]/VOLNAME" through the GlusterFS backend,
// anything else as a host directory through the POSIX backend. Empty iopx with ec set on failure.
opened_volume open_volume(const std::string& volume, std::error_code& ec);

// vol confined to the snapshot directories roots, each resolved now as the host reaches it:
// below them no link is followed (ELOOP). Whoever can write a snapshot may swap a name of its
// bookkeeping for a link, and a marker or a list read or written through it would be another
// snapshot's, or any file of the volume. Empty iopx with ec set on failure.
opened_volume confined(const opened_volume& vol, const std::vector<std::string>& roots, std::error_code& ec);

// Success when path is a directory on the volume; otherwise the reason (ENOTDIR if it is not one).
std::error_code check_directory(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path);

struct create_outcome {
    std::error_code ec;
    int32_t opstatus = -1;
    uint64_t copied = 0;
    uint64_t failed = 0;
    double seconds = 0;
};

create_outcome run_create(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& datasetdir,
                          const std::string& snapdir, bool show_progress);

struct delete_outcome {
    std::error_code ec;
    int32_t opstatus = -1;
    std::string prevsnap_dellist;
    uint64_t checked = 0;
    uint64_t handed_on = 0;
    uint64_t unlinked = 0;
    uint64_t unresolved = 0;                     // names left for a rerun to resolve
    uint64_t missing = 0;                        // objects to unlink that were not there (ENOENT)
    uint64_t unguarded = 0;                      // objects kept: a copy's directory others may write
    std::vector<std::string> dry_run_objects;    // sorted; dry runs only
    std::vector<std::string> dry_run_handed_on;  // in list order; dry runs only
    double seconds = 0;
};

// With dry_run, neither volume changes: the object volume sits behind a recording_api (no
// object is unlinked; the objects that would be are listed), the snapshot volume behind a
// dry_run_api (the working files under .delete stay in memory; the names that would be handed
// on are read back from there), and prevsnap_dellist is left empty since no list was written.
delete_outcome run_delete(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, znfs::znfs_api* objapi,
                          const znfs::znfs_iopx_ptr& objiopx, const std::string& snapdir,
                          const std::string& prevsnapdir, bool dry_run, bool show_progress);

// Tells stderr how many objects the deletion kept because their copies' directories may be
// written by others, and when none of the objects it was to unlink was there (nothing when
// neither happened).
void warn_objects_left(const char* command, const delete_outcome& out, bool has_prev);

}  // namespace znfssnap

#endif
