#ifndef ZNFSSNAP_SNAPSHOT_LOCK_H
#define ZNFSSNAP_SNAPSHOT_LOCK_H

// One run at a time per snapshot directory: the commands that write a snapshot's bookkeeping
// (create, delete, handoff, list-add, rmtree) hold an exclusive flock(2) on a host file for
// each snapshot directory they touch. The file lives in /run/lock/znfssnap (or
// /tmp/znfssnap-locks where that cannot be written), so the lock keeps runs on one host
// apart; runs on two hosts against one GlusterFS volume are not. Every directory above a
// snapshot directory (up to, not with, the volume root) is locked shared at the same time, so
// that a run never has its tree removed by a run that holds a directory above it (an rmtree of
// a parent) and two such runs wait for, or refuse, each other. The holder writes
// "PID COMMAND" into the file, so that a refused run can name it, and removes the file when it
// lets go (where every user may make it again; a shared file, only its last holder).

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
        std::string path;
        bool exclusive;
    };
    void release();
    std::vector<held_lock> m_held;
};

// The command line as a lock holder shows it: "znfssnap COMMAND ARGS", control bytes escaped,
// cut to a few hundred bytes.
std::string holder_text(const std::string& command, const std::vector<std::string>& args);

}  // namespace znfssnap

#endif
