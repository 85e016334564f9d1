#include "snapshot_lock.h"

#include "report.h"
#include "volume_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace znfssnap {

namespace {

// The lock directories, in the order a run takes its files in them. A run takes each lock in
// every one it can use, so that two runs that can use different ones still share a file: one
// who may not make /run/lock/znfssnap locks in /tmp's only, and a root run beside it locks
// there too.
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

// What a run makes of one lock directory, or of one lock file in it.
enum class lock_use {
    used,
    passed,   // nothing of it this run can take: the others do
    refused,  // what is there keeps this run from going on (message set)
};

// Opens lock directory path, making it when it is not there (sticky and open to every user,
// like /tmp), without following a link: a link put in its place must not lead a root run's
// files elsewhere. Used whoever made it, since a run of its maker's may be locking there alone;
// its files are opened below this descriptor, never through a link, and must be plain files
// (open_lock_at), so another user's directory leads nowhere else. Passed by where this user
// cannot make or reach it, or where something else than a directory is there: a run that can
// use it locks in the other directories too, and one that cannot use any fails.
lock_use open_lock_dir(const char* path, int& fd, std::string& message)
{
    fd = -1;
    for (int tries = 0;; ++tries) {
        int made_err = 0;
        if (::mkdir(path, 01777) == 0) {
            // Shared by every user of the host, like /tmp, whatever the umask.
            const int made = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (made >= 0 && ::fchmod(made, 01777) != 0) {
                // Left as it is: runs of users who cannot write there pass it by.
            }
            if (made >= 0)
                ::close(made);
        } else {
            made_err = errno;
        }
        const int dir = ::open(path, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir < 0) {
            const int err = errno;
            if (err == ENOENT && made_err == EEXIST && tries == 0)
                continue;  // removed between the two calls: make it now
            if (err == ELOOP || err == ENOTDIR || err == EACCES ||
                (err == ENOENT && (made_err == EACCES || made_err == EPERM || made_err == ENOENT || made_err == EROFS)))
                return lock_use::passed;
            message = std::string("cannot open lock directory ") + path + ": " +
                      std::strerror(err == ENOENT && made_err != 0 ? made_err : err);
            return lock_use::refused;
        }
        struct stat st {};
        if (::fstat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
            ::close(dir);
            return lock_use::passed;
        }
        fd = dir;
        return lock_use::used;
    }
}

// Opens (creating it when needed) the lock file name in lock directory dir. Passed by when it is
// not there and this user may not make it there (a run that may locks in the other directories
// too). Refused (message set) otherwise: a file there that this user may not open, or that is no
// lock file of its own, may be its holder's only file of the lock, and one this user could not
// make for want of room may be made by the next run.
lock_use open_lock_at(int dir, const std::string& name, int& fd, std::string& message)
{
    fd = -1;
    bool made_again = false;
    for (int waits = 0;;) {
        fd = ::openat(dir, name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
        if (fd < 0 && (errno == EACCES || errno == EROFS)) {
            // Another user's lock file: flock works on a descriptor open for reading as well.
            fd = ::openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
            if (fd < 0 && errno == ENOENT) {
                if (made_again)
                    return lock_use::passed;
                made_again = true;  // its holder removed it between the two opens: make it now
                continue;
            }
        }
        if (fd >= 0) {
            // A link to another file, a fifo or a device put there is not written or waited on.
            struct stat st {};
            if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1) {
                ::close(fd);
                fd = -1;
                message = "not a plain file with one name";
                return lock_use::refused;
            }
            // Readable by every user whatever the umask: one who could not open it would be
            // refused while it is there.
            if (st.st_uid == ::geteuid() && (st.st_mode & 07777) != 0644 && ::fchmod(fd, 0644) != 0) {
                // Left as it is: another user's run waits for it, then refuses it.
            }
            return lock_use::used;
        }
        const int err = errno;
        struct stat st {};
        if (err != EACCES) {
            message = std::strerror(err);
            return lock_use::refused;
        }
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT && !made_again) {
                made_again = true;
                continue;
            }
            if (errno == EACCES)
                return lock_use::passed;  // a directory this user may not search: none of its files
            message = std::strerror(errno);
            return lock_use::refused;
        }
        // There, and not readable: made under a strict umask a moment ago (its maker opens it
        // to all at once), or left so by a killed run of another user.
        if (++waits > 100) {
            message = std::strerror(EACCES);
            return lock_use::refused;
        }
        ::usleep(1000);
    }
}

bool named(int fd)
{
    char c = 0;
    return ::pread(fd, &c, 1, 0) == 1;
}

// The command line of process pid, printable, cut short; "" when it cannot be read.
std::string command_line(long pid)
{
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), "re");
    if (!f)
        return std::string();
    char buf[512];
    const size_t n = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    std::string text(buf, n);
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    std::replace(text.begin(), text.end(), '\0', ' ');
    const size_t slash = text.rfind('/', text.find(' '));
    if (slash != std::string::npos && slash < text.find(' '))
        text.erase(0, slash + 1);  // "znfssnap create ...", as the holder writes it
    return printable(text);
}

// The processes that hold a flock on fd's file, as /proc/locks shows them (waiters left out).
std::vector<long> flock_holders(int fd)
{
    std::vector<long> pids;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return pids;
    FILE* locks = std::fopen("/proc/locks", "re");
    if (!locks)
        return pids;
    char line[256];
    while (std::fgets(line, sizeof line, locks)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF"; a waiter's line has "->" after the number.
        const char* p = std::strchr(line, ':');
        if (!p || std::strstr(p, "->"))
            continue;
        char kind[16], how[16], mode[16];
        long pid = 0;
        unsigned maj = 0, min = 0;
        unsigned long long ino = 0;
        if (std::sscanf(p + 1, " %15s %15s %15s %ld %x:%x:%llu", kind, how, mode, &pid, &maj, &min, &ino) == 7 &&
            std::strcmp(kind, "FLOCK") == 0 && pid > 0 && maj == major(st.st_dev) && min == minor(st.st_dev) &&
            ino == st.st_ino && std::find(pids.begin(), pids.end(), pid) == pids.end())
            pids.push_back(pid);
    }
    std::fclose(locks);
    return pids;
}

// Who holds the lock of fd. The kernel's own list of holders comes first: the name in the file
// is the last sharer's to write it, which may have let go since. Each holder is named by the
// line it wrote when that is its own, else by its command line.
std::string read_holder(int fd)
{
    char buf[512];
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    std::string s(buf, n > 0 ? static_cast<size_t>(n) : 0);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\0'))
        s.pop_back();
    auto label = [](const std::string& pid, const std::string& what) {
        return "pid " + pid + (what.empty() ? std::string() : " (" + what + ")");
    };
    const size_t space = s.find(' ');
    const std::string written_pid = s.substr(0, space);
    const std::string written_what = space == std::string::npos ? std::string() : s.substr(space + 1);
    std::string who;
    const std::vector<long> pids = flock_holders(fd);
    for (size_t i = 0; i < pids.size() && i < 3; ++i) {
        const std::string pid = std::to_string(pids[i]);
        const std::string what = pid == written_pid ? written_what : command_line(pids[i]);
        who += (who.empty() ? "" : ", ") + label(pid, what);
    }
    if (pids.size() > 3)
        who += " and " + std::to_string(pids.size() - 3) + " more";
    if (!who.empty())
        return who;
    if (s.empty())
        return "another run (it has not written its name yet)";
    return label(written_pid, written_what);
}

// Whether fd is still the file name in dir: a holder removes its lock file before it lets go,
// so a run that got the lock of a removed file holds nothing.
bool still_there(int fd, int dir, const std::string& name)
{
    struct stat a {}, b {};
    return ::fstat(fd, &a) == 0 && ::fstatat(dir, name.c_str(), &b, AT_SYMLINK_NOFOLLOW) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Whether every user may make a file in lock directory dir. Where some may only open the files
// there (an administrator's directory, not the one made here), a run of theirs that finds its
// file gone cannot make it again: it shares fewer files with the others, and none at all where
// it can use no other directory.
bool everyone_creates_in(int dir)
{
    struct stat st {};
    return ::fstat(dir, &st) == 0 && (st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_IXOTH) != 0;
}

// Locks the lock file at path (name in lock directory dir; for the directory described as what:
// "snapshot directory /s"), exclusively or shared, waiting for its holder when wait is set (and
// saying so once, told_waiting). Used with fd locked, passed by, or refused with message set.
lock_use lock_one(int dir, const std::string& path, const std::string& name, const std::string& what, bool exclusive,
                  bool wait, bool& told_waiting, int& fd, std::string& message)
{
    const int mode = exclusive ? LOCK_EX : LOCK_SH;
    for (int settles = 0;;) {
        std::string why;
        const lock_use use = open_lock_at(dir, name, fd, why);
        if (use != lock_use::used) {
            if (use == lock_use::refused)
                message = "cannot open a lock file for " + what + " (" + path + "): " + why;
            return use;
        }
        int rc = ::flock(fd, mode | LOCK_NB);
        if (rc != 0 && errno == EWOULDBLOCK) {
            // A file nobody has named is held by one about to name itself, and one that a
            // shared lock is wanted of may be held by its last sharer letting it go (it clears
            // and removes the file under a lock of its own, still named until it has cleared
            // it): either is done in a moment, and no run is refused for it.
            if (!wait && (!exclusive || !named(fd)) && ++settles <= 100) {
                ::close(fd);
                ::usleep(1000);
                continue;
            }
            const std::string who = read_holder(fd);
            if (!wait) {
                message = what + " is in use by " + who + " on this host; run again when it has ended, or give --wait";
                ::close(fd);
                return lock_use::refused;
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
            return lock_use::refused;
        }
        if (still_there(fd, dir, name))
            return lock_use::used;
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
        const int dir = m_dirs[h.dir];
        if (everyone_creates_in(dir))
            ::unlinkat(dir, h.name.c_str(), 0);
        ::close(h.fd);
    }
    m_held.clear();
    for (int dir : m_dirs)
        if (dir >= 0)
            ::close(dir);
    m_dirs.clear();
}

bool snapshot_locks::open_dirs(std::string& message)
{
    bool any = false;
    for (const char* path : k_lock_dirs) {
        int fd = -1;
        if (open_lock_dir(path, fd, message) == lock_use::refused)
            return false;
        m_dirs.push_back(fd);
        any = any || fd >= 0;
    }
    if (!any)
        message = std::string("cannot open a lock file: this user can use no lock directory (") + k_lock_dirs[0] +
                  ", " + k_lock_dirs[1] + ")";
    return any;
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

// The device and inode of dir and of each directory above it (reached by ".."), up to, not
// with, the first whose ".." is itself: a root, which nothing removes. stat_at answers for a
// path as the volume (or the host) sees it, false when it cannot.
template <class Stat>
std::vector<std::string> chain_identities(const std::string& dir, Stat stat_at)
{
    std::vector<std::string> ids;
    struct stat below {};
    if (!stat_at(dir, below))
        return ids;
    std::string cur = dir;
    for (int depth = 0; depth < 4096; ++depth) {
        struct stat st {};
        cur += "/..";
        if (!stat_at(cur, st) || (st.st_dev == below.st_dev && st.st_ino == below.st_ino))
            break;
        ids.push_back("inode " + std::to_string(below.st_dev) + ":" + std::to_string(below.st_ino));
        below = st;
    }
    return ids;
}

// Each directory above dir on the volume, its root left out: a GlusterFS volume's root is never
// removed, and a host one is held with the host directories above it (host_root_identities).
std::vector<std::string> ancestor_identities(const opened_volume& vol, const std::string& dir)
{
    std::vector<std::string> ids = chain_identities(dir, [&](const std::string& path, struct stat& st) {
        return !vol.api->stat(vol.iopx, path.c_str(), &st, znfs::znfs_aio_ptr());
    });
    if (!ids.empty())
        ids.erase(ids.begin());  // dir itself
    return ids;
}

// A host volume root and each host directory above it but "/": an rmtree issued through an
// outer volume root may remove a tree that holds this one, and must see the runs below it.
std::vector<std::string> host_root_identities(const std::string& root)
{
    return chain_identities(root,
                            [](const std::string& path, struct stat& st) { return ::stat(path.c_str(), &st) == 0; });
}

struct wanted_lock {
    std::string hash;
    std::string what;
    bool exclusive;
};

// The locks a run on snapdirs takes, as the paths name directories now: one per file, sorted,
// exclusive where any of them needs it so.
std::vector<wanted_lock> locks_for(const opened_volume& vol, const std::string& volid, bool host_directory,
                                   const std::string& volume_spec, const std::vector<std::string>& snapdirs)
{
    std::vector<wanted_lock> wanted;
    // A host volume root, and the host directories above it, shared too.
    if (host_directory)
        for (const std::string& id : host_root_identities(volume_spec))
            wanted.push_back(
                {key_hash("posix\n" + id), "volume " + printable(volume_spec) + " or a directory above it", false});
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
        if (!open_dirs(message)) {
            release();
            return false;
        }
        const std::vector<wanted_lock> wanted = locks_for(vol, volid, host_directory, volume_spec, snapdirs);
        // Each lock in every lock directory this run can use, in the order of the lock, then of
        // the directory: any two runs share a file of it, and two that wait take their files in
        // one order, so that neither holds one the other waits for while it waits itself.
        for (const wanted_lock& w : wanted) {
            const size_t first = m_held.size();
            bool told_waiting = false;
            const std::string name = w.hash + ".lock";
            for (size_t i = 0; i < m_dirs.size(); ++i) {
                if (m_dirs[i] < 0)
                    continue;
                int fd = -1;
                const lock_use use = lock_one(m_dirs[i], std::string(k_lock_dirs[i]) + "/" + name, name, w.what,
                                              w.exclusive, wait, told_waiting, fd, message);
                if (use == lock_use::refused) {
                    release();
                    return false;
                }
                if (use == lock_use::used)
                    m_held.push_back({fd, i, name, w.exclusive});
            }
            if (m_held.size() == first) {
                message = "cannot open a lock file for " + w.what + " (" + name +
                          "): this user may make it in no lock directory";
                release();
                return false;
            }
            // Named once every file of the lock is held: a name in one says the whole lock is.
            const std::string line = std::to_string(::getpid()) + " " + holder + "\n";
            for (size_t j = first; j < m_held.size(); ++j)
                if (::ftruncate(m_held[j].fd, 0) != 0 || ::pwrite(m_held[j].fd, line.data(), line.size(), 0) < 0) {
                    // Read-only lock file (another user's): the lock holds all the same, unnamed.
                }
        }
        const std::vector<wanted_lock> now = locks_for(vol, volid, host_directory, volume_spec, snapdirs);
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
