#include "snapshot_lock.h"

#include "report.h"
#include "volume_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace znfssnap {

namespace {

const char* const k_lock_dirs[] = {"/run/lock/znfssnap", "/tmp/znfssnap-locks"};

// 64-bit FNV-1a. Two directories whose keys collide only share a lock: they wait for each
// other, nothing worse.
std::string key_hash(const std::string& key)
{
    uint64_t h = UINT64_C(14695981039346656037);
    for (unsigned char c : key) {
        h ^= c;
        h *= UINT64_C(1099511628211);
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

// What names the volume the same way however its --volume value is spelled: the root directory's
// device and inode for a host directory, the URL for a GlusterFS volume.
std::string volume_identity(const opened_volume& vol, const std::string& volume)
{
    if (volume.compare(0, 10, "gluster://") == 0)
        return "gluster " + vol.iopx->describe();
    struct stat st {};
    if (::stat(volume.c_str(), &st) == 0)
        return "posix " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    return "posix " + normalize_path(volume);
}

std::string directory_identity(const opened_volume& vol, const std::string& snapdir)
{
    struct stat st {};
    if (!vol.api->stat(vol.iopx, snapdir.c_str(), &st, znfs::znfs_aio_ptr()))
        return "inode " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    return "path " + normalize_path(snapdir);
}

// Opens (creating it when needed) the lock file at path; -1 with errno set when it cannot, and
// refuse set when the next lock directory must not be tried: a file is there that this user
// may not open, and another directory's file would not keep its holder out.
int open_lock_path(const std::string& path, bool& refuse)
{
    refuse = false;
    bool made_again = false;
    for (int waits = 0;;) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) {
            // Readable by every user whatever the umask: one who could not open it would lock
            // a file of the next directory instead, and both runs would hold the lock.
            struct stat st {};
            if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 07777) != 0644 &&
                ::fchmod(fd, 0644) != 0) {
                // Left as it is: another user's run waits for it, then refuses it.
            }
            return fd;
        }
        if (errno != EACCES)
            return -1;
        // Another user's lock file: flock works on a descriptor open for reading as well.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0)
            return fd;
        if (errno == ENOENT && !made_again) {
            made_again = true;  // its holder removed it between the two opens: make it now
            continue;
        }
        struct stat st {};
        if (errno != EACCES || ::lstat(path.c_str(), &st) != 0)
            return -1;  // nothing there this user can reach: the next directory
        // There, and not readable: made under a strict umask a moment ago (its maker opens it
        // to all at once), or left so by a killed run of another user.
        if (++waits > 100) {
            refuse = true;
            errno = EACCES;
            return -1;
        }
        ::usleep(1000);
    }
}

// Opens (creating it when needed) the lock file of hash in the first lock directory that
// takes it; -1 with errno set when none does.
int open_lock_file(const std::string& hash, std::string& path)
{
    int err = 0;
    for (const char* dir : k_lock_dirs) {
        if (::mkdir(dir, 01777) == 0)
            ::chmod(dir, 01777);  // shared by every user of the host, like /tmp
        path = std::string(dir) + "/" + hash + ".lock";
        bool refuse = false;
        const int fd = open_lock_path(path, refuse);
        if (fd >= 0 || refuse)
            return fd;
        err = errno;
    }
    errno = err;
    return -1;
}

std::string read_holder(int fd)
{
    char buf[512];
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    std::string s(buf, n > 0 ? static_cast<size_t>(n) : 0);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\0'))
        s.pop_back();
    if (s.empty())
        return "another run (it has not written its name yet)";
    size_t space = s.find(' ');
    if (space == std::string::npos)
        return "pid " + s;
    return "pid " + s.substr(0, space) + " (" + s.substr(space + 1) + ")";
}

// Whether fd is still the file at path: a holder removes its lock file before it lets go, so a
// run that got the lock of a removed file holds nothing.
bool still_at_path(int fd, const std::string& path)
{
    struct stat a {}, b {};
    return ::fstat(fd, &a) == 0 && ::lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether every user may make a file in the lock directory of path. Where some may only open
// the files there (an administrator's directory, not the one made here), a run of theirs that
// finds its file gone cannot make the path's new one: it would lock a file of the next lock
// directory instead, beside a run that did make the new one, and both would hold the lock.
bool everyone_creates_beside(const std::string& path)
{
    struct stat st {};
    const std::string dir = path.substr(0, path.rfind('/'));
    return ::stat(dir.c_str(), &st) == 0 && (st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_IXOTH) != 0;
}

// Locks the lock file of hash (for the directory described as what: "snapshot directory /s"),
// exclusively or shared, waiting for its holder when wait is set; the locked descriptor with
// path set, or -1 with message set.
int lock_one(const std::string& hash, const std::string& what, bool exclusive, bool wait, std::string& path,
             std::string& message)
{
    const int mode = exclusive ? LOCK_EX : LOCK_SH;
    bool told_waiting = false;
    for (;;) {
        const int fd = open_lock_file(hash, path);
        if (fd < 0) {
            message = "cannot open a lock file for " + what + " (" + path + "): " + std::strerror(errno);
            return -1;
        }
        int rc = ::flock(fd, mode | LOCK_NB);
        if (rc != 0 && errno == EWOULDBLOCK) {
            const std::string who = read_holder(fd);
            if (!wait) {
                message = what + " is in use by " + who + " on this host; run again when it has ended, or give --wait";
                ::close(fd);
                return -1;
            }
            if (!log_quiet() && !told_waiting)
                std::fprintf(stderr, "znfssnap: waiting for %s, in use by %s\n", what.c_str(), who.c_str());
            told_waiting = true;
            while ((rc = ::flock(fd, mode)) != 0 && errno == EINTR) {
            }
        }
        if (rc != 0) {
            message = "cannot lock " + what + ": " + std::strerror(errno);
            ::close(fd);
            return -1;
        }
        if (still_at_path(fd, path))
            return fd;
        ::close(fd);  // its holder removed it while we waited: lock the path's file now
    }
}

}  // namespace

std::string holder_text(const std::string& command, const std::vector<std::string>& args)
{
    std::string text = "znfssnap " + command;
    for (const std::string& a : args)
        text += " " + a;
    text = printable(text);
    if (text.size() > 400)
        text = text.substr(0, 400) + "...";
    return text;
}

snapshot_locks::~snapshot_locks() { release(); }

void snapshot_locks::release()
{
    for (const held_lock& h : m_held) {
        // A shared lock is let go as it is while another run shares it: the file is theirs to
        // clear and remove. The last one finds itself alone (the exclusive lock is granted at
        // once) and clears it; a run granted the lock in between keeps the file.
        if (!h.exclusive && ::flock(h.fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(h.fd);
            continue;
        }
        // Cleared while still held, so that nobody reads a holder that has gone.
        if (::ftruncate(h.fd, 0) != 0) {
            // A lock file this user may only read keeps the last holder's name; harmless.
        }
        // Removed while still held, so that the lock directory does not gather a file per
        // snapshot directory ever touched; a run that waited on this file sees it gone once
        // it has the lock, and takes the path's new file instead. Another user's file stays,
        // and so does every file of a directory where not everyone can make it again.
        if (everyone_creates_beside(h.path))
            ::unlink(h.path.c_str());
        ::close(h.fd);
    }
    m_held.clear();
}

namespace {

std::string lock_key(const opened_volume& vol, const std::string& volid, bool host_directory,
                     const std::string& dir)
{
    // A host directory's device and inode name it whatever volume root it was reached from
    // ("--volume /srv/v --snapdir /snaps/s" and "--volume /srv/v/snaps --snapdir /s"); only
    // a path, or an inode of a GlusterFS volume, needs its volume beside it.
    const std::string dirid = directory_identity(vol, dir);
    const bool by_inode = host_directory && dirid.compare(0, 6, "inode ") == 0;
    return key_hash((by_inode ? std::string("posix") : volid) + "\n" + dirid);
}

// The device and inode of each directory above dir (reached by ".."), the volume root left out:
// nothing removes the root, so its lock would keep no run from another.
std::vector<std::string> ancestor_identities(const opened_volume& vol, const std::string& dir)
{
    std::vector<std::string> ids;
    struct stat below {};
    if (vol.api->stat(vol.iopx, dir.c_str(), &below, znfs::znfs_aio_ptr()))
        return ids;
    std::string cur = dir;
    for (int depth = 0; depth < 4096; ++depth) {
        struct stat st {};
        cur += "/..";
        if (vol.api->stat(vol.iopx, cur.c_str(), &st, znfs::znfs_aio_ptr()))
            break;
        if (st.st_dev == below.st_dev && st.st_ino == below.st_ino) {
            if (!ids.empty())
                ids.pop_back();  // the one before was the root: its ".." is itself
            break;
        }
        ids.push_back("inode " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
        below = st;
    }
    return ids;
}

struct wanted_lock {
    std::string hash;
    std::string what;
    bool exclusive;
};

// The locks a run on snapdirs takes, as the paths name directories now: one per file, sorted,
// exclusive where any of them needs it so.
std::vector<wanted_lock> locks_for(const opened_volume& vol, const std::string& volid, bool host_directory,
                                   const std::vector<std::string>& snapdirs)
{
    std::vector<wanted_lock> wanted;
    for (const std::string& dir : snapdirs) {
        wanted.push_back({lock_key(vol, volid, host_directory, dir), "snapshot directory " + printable(dir), true});
        // Each directory above it is held shared, so that a removal of one of them (rmtree,
        // which holds the directory it removes exclusively) waits for every run below it, and
        // runs in sibling directories go on side by side.
        for (const std::string& id : ancestor_identities(vol, dir))
            wanted.push_back({key_hash((host_directory ? std::string("posix") : volid) + "\n" + id),
                              "a directory above snapshot directory " + printable(dir), false});
    }
    std::sort(wanted.begin(), wanted.end(), [](const wanted_lock& a, const wanted_lock& b) {
        return a.hash != b.hash ? a.hash < b.hash : a.exclusive > b.exclusive;
    });
    wanted.erase(std::unique(wanted.begin(), wanted.end(),
                             [](const wanted_lock& a, const wanted_lock& b) { return a.hash == b.hash; }),
                 wanted.end());
    return wanted;
}

}  // namespace

bool snapshot_locks::take(const opened_volume& vol, const std::string& volume_spec,
                          const std::vector<std::string>& snapdirs, const std::string& holder, bool wait,
                          std::string& message)
{
    const std::string volid = volume_identity(vol, volume_spec);
    const bool host_directory = volume_spec.compare(0, 10, "gluster://") != 0;
    // The locks are keyed by what the paths named before the run took them, which may have been
    // a while (--wait), or a moment in which a directory was renamed, removed or made again:
    // once all are held, the paths must still name what is locked, or the run takes the locks
    // of what they name now.
    for (int attempt = 0;; ++attempt) {
        const std::vector<wanted_lock> wanted = locks_for(vol, volid, host_directory, snapdirs);
        for (const wanted_lock& w : wanted) {
            std::string path;
            const int fd = lock_one(w.hash, w.what, w.exclusive, wait, path, message);
            if (fd < 0) {
                release();
                return false;
            }
            const std::string line = std::to_string(::getpid()) + " " + holder + "\n";
            if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, line.data(), line.size(), 0) < 0) {
                // Read-only lock file (another user's): the lock holds all the same, unnamed.
            }
            m_held.push_back({fd, path, w.exclusive});
        }
        const std::vector<wanted_lock> now = locks_for(vol, volid, host_directory, snapdirs);
        const bool same = std::equal(now.begin(), now.end(), wanted.begin(), wanted.end(),
                                     [](const wanted_lock& a, const wanted_lock& b) {
                                         return a.hash == b.hash && a.exclusive == b.exclusive;
                                     });
        if (same)
            return true;
        release();
        if (attempt == 8) {
            message = "the snapshot directories kept changing while this run took their locks; nothing was "
                      "touched: run again";
            return false;
        }
    }
}

}  // namespace znfssnap
