#ifndef ZNFSSNAP_SNAPSHOT_LOCK_H
#define ZNFSSNAP_SNAPSHOT_LOCK_H

// One run at a time per snapshot directory on a host (runs from two hosts on one GlusterFS
// volume are not kept apart): create, delete, handoff, list-add and rmtree hold an exclusive
// flock(2) per snapshot directory.
// - Each lock is a file in every lock directory the run can use (/run/lock/znfssnap,
//   /tmp/znfssnap-locks), whoever made it: any two runs share one of its files.
// - Files are taken in one order (lock, then directory), so no two waiting runs hold one each.
// - A lock directory is never reached through a link; its files are opened below it, never
//   through a link, and must be plain files with one name, else the run is refused.
// - A lock file there that this user may not open is refused, not passed by.
// - Every directory above a snapshot directory is locked shared meanwhile: up to the volume
//   root, and on a host directory volume that root and every host directory above it but "/".
// - The holder writes "PID COMMAND" in the files once all of a lock are held, so a refused run
//   names it; the last holder removes them where every user may make them again.

#include "operations.h"

#include <memory>
#include <string>
#include <vector>

namespace znfssnap {

// The host locks of some snapshot directories, released when the object goes (and by the
// kernel when the process dies, so a killed run leaves nothing to clean up).
class snapshot_locks {
public:
    snapshot_locks() = default;
    ~snapshot_locks();
    snapshot_locks(const snapshot_locks&) = delete;
    snapshot_locks& operator=(const snapshot_locks&) = delete;

    // Takes the lock of every directory in snapdirs on the volume (opened from volume_spec).
    // A directory is known by its own device and inode (and, on a GlusterFS volume, by the
    // volume), so that two spellings of one directory ("/s", "//s/.", a link to it, a path from
    // another volume root on the host) share a lock. Locks are taken in one fixed
    // order, so that two waiting runs never hold one each. Without wait, a lock that another
    // run holds fails at once; with it, the run waits (and says so on standard error). holder
    // is what a refused run is told ("znfssnap delete --snapdir /s"). Once all are held, the
    // paths must still name what was locked; if one was renamed, removed or made again
    // meanwhile, the run lets go and takes the locks of what they name now. False with message
    // set when a lock could not be taken; the locks taken so far are released then.
    bool take(const opened_volume& vol, const std::string& volume_spec, const std::vector<std::string>& snapdirs,
              const std::string& holder, bool wait, std::string& message);

private:
    struct held_lock {
        int fd;
        size_t dir;  // index into m_dirs
        std::string name;
        bool exclusive;
    };
    bool open_dirs(std::string& message);
    void release();
    std::vector<int> m_dirs;  // the lock directories, -1 where this run passes one by
    std::vector<held_lock> m_held;
};

// The command line as a lock holder shows it: "znfssnap COMMAND ARGS", control bytes escaped,
// cut to a few hundred bytes.
std::string holder_text(const std::string& command, const std::vector<std::string>& args);

}  // namespace znfssnap

#endif
