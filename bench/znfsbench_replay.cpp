// The floor of bench/run.sh: issues, in a tight loop and without the library, the system calls
// that the POSIX backend makes for the same work, so that the library's rate can be read
// against what the kernel allows. Like the backend inside a pool task, a piece of work (one
// copied entry, one deletion batch) resolves each path once and keeps the descriptor until the
// piece ends or something is removed.
//
//   znfsbench_replay delete VOLDIR OBJDIR THREADS
//       per name of VOLDIR/snap/.delete/deletefilelist (the tree of "znfsbench_gen deletion"):
//       the entry read, the existence check, the uuid reads of /snap and /prev, then either the
//       hand-off append or the second uuid read and the unlink on OBJDIR
//   znfsbench_replay create VOLDIR SRC DST THREADS
//       copies the tree SRC into the existing empty DST (volume paths) as snapshot creation
//       does: per directory stat, mkdir and attributes, listing; per file stat, create, open,
//       the data in place (copy_file_range), attributes
//
// The list is cut into THREADS contiguous pieces (deletion) or the root's entries dealt out
// over THREADS threads (creation). Prints the work done and the seconds it took.

#include "znfs_xattr_at.h"

#include <znfssnapcore/znfssnapcore.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using znfs::xattr_at_args;

[[noreturn]] void die(const std::string& what)
{
    std::fprintf(stderr, "znfsbench_replay: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

int g_procfd = -1;

int resolve(int root, const char* path, uint64_t flags, uint64_t mode = 0)
{
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = flags | O_CLOEXEC;
    how.mode = mode;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(syscall(SYS_openat2, root, path, &how, sizeof how));
}

struct fd_name {
    char text[16];
    explicit fd_name(int fd) { std::snprintf(text, sizeof text, "%d", fd); }
};

// What the backend keeps for one pool task: a descriptor per path, O_PATH or open for real,
// the latest four.
struct task_fds {
    struct held {
        std::string path;
        int fd;
        bool real;
    };
    int root;
    std::vector<held> fds;

    explicit task_fds(int r) : root(r) {}
    ~task_fds() { clear(); }

    held* find(const std::string& path)
    {
        for (held& h : fds)
            if (h.path == path)
                return &h;
        return nullptr;
    }
    void put(const std::string& path, int fd, bool real)
    {
        if (held* h = find(path)) {
            ::close(h->fd);
            *h = held{path, fd, real};
            return;
        }
        if (fds.size() == 4) {
            ::close(fds.front().fd);
            fds.erase(fds.begin());
        }
        fds.push_back(held{path, fd, real});
    }
    // The path's descriptor, resolved O_PATH on first use.
    held* get(const std::string& path)
    {
        if (held* h = find(path))
            return h;
        int fd = resolve(root, path.c_str(), O_PATH);
        if (fd < 0)
            return nullptr;
        put(path, fd, false);
        return find(path);
    }
    void clear()
    {
        for (held& h : fds)
            ::close(h.fd);
        fds.clear();
    }

    long get_xattr(const std::string& path, const char* name, void* value, size_t size)
    {
        held* h = get(path);
        if (!h)
            return -1;
        if (h->real)
            return fgetxattr(h->fd, name, value, size);
        xattr_at_args args{reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size), 0};
        return syscall(SYS_getxattrat, g_procfd, fd_name(h->fd).text, 0, name, &args, sizeof args);
    }
    long list_xattr(const std::string& path, char* list, size_t size)
    {
        held* h = get(path);
        if (!h)
            return -1;
        if (h->real)
            return flistxattr(h->fd, list, size);
        return syscall(SYS_listxattrat, g_procfd, fd_name(h->fd).text, 0, list, size);
    }
    long set_xattr(const std::string& path, const char* name, const void* value, size_t size)
    {
        held* h = get(path);
        if (!h)
            return -1;
        if (h->real)
            return fsetxattr(h->fd, name, value, size, 0);
        xattr_at_args args{reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size), 0};
        return syscall(SYS_setxattrat, g_procfd, fd_name(h->fd).text, 0, name, &args, sizeof args);
    }
    // open for reading: the O_PATH descriptor checked (known: its status as the task already
    // saw it) and reopened; the task keeps the new descriptor, shared with the caller, who does
    // not close it.
    int open_read(const std::string& path, struct stat* st, bool known = false)
    {
        held* h = get(path);
        if (!h)
            return -1;
        if (!known && fstat(h->fd, st) != 0)
            return -1;
        if (!S_ISREG(st->st_mode) && !S_ISDIR(st->st_mode))
            return -1;
        if (h->real)
            return h->fd;
        int fd = ::openat(g_procfd, fd_name(h->fd).text, O_RDONLY | O_CLOEXEC);
        if (fd >= 0)
            put(path, fd, true);
        return fd;
    }
};

// open(): resolve O_PATH, check the type, reopen through /proc/self/fd.
int open_checked(int root, const char* path, int flags, struct stat* st)
{
    int pfd = resolve(root, path, O_PATH);
    if (pfd < 0)
        return -1;
    if (fstat(pfd, st) != 0 || (!S_ISREG(st->st_mode) && !S_ISDIR(st->st_mode))) {
        ::close(pfd);
        return -1;
    }
    int fd = ::openat(g_procfd, fd_name(pfd).text, flags | O_CLOEXEC);
    ::close(pfd);
    return fd;
}

// The attribute value as the deletion reads it: size query, then the value.
std::string read_uuid(task_fds& task, const std::string& path)
{
    const char* name = znfssnapcore::znfssnaputils::suuidxattr.c_str();
    long size = task.get_xattr(path, name, nullptr, 0);
    if (size <= 0)
        return std::string();
    std::string value(static_cast<size_t>(size), '\0');
    long got = task.get_xattr(path, name, &value[0], value.size());
    if (got < 0)
        return std::string();
    value.resize(std::strlen(value.c_str()));
    return value;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void replay_delete_piece(int vol, int obj, int listfd, uint64_t begin, uint64_t end, unsigned number,
                         std::atomic<uint64_t>& names)
{
    const std::string handoff = "/snap/.delete/replay_handoff" + std::to_string(number);
    int h = resolve(vol, handoff.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (h < 0)
        die("create " + handoff);
    ::close(h);
    char buf[128];
    uint64_t offset = begin;
    uint64_t count = 0;
    task_fds task(vol);
    while (offset < end) {
        std::string line;
        for (;;) {
            ssize_t n = pread(listfd, buf, sizeof buf, static_cast<off_t>(offset + line.size()));
            if (n <= 0)
                break;
            void* nl = std::memchr(buf, '\n', static_cast<size_t>(n));
            if (nl) {
                line.append(buf, static_cast<const char*>(nl) - buf);
                break;
            }
            line.append(buf, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof buf)
                break;
        }
        offset += line.size() + 1;
        if (line.empty())
            continue;
        ++count;
        const std::string path = "/snap/" + line;
        struct stat st;
        if (task.open_read(path, &st) < 0)
            continue;
        std::string mine = read_uuid(task, path);
        std::string prev = mine.empty() ? std::string() : read_uuid(task, "/prev/" + line);
        if (!mine.empty() && mine == prev) {
            int hf = open_checked(vol, handoff.c_str(), O_WRONLY, &st);
            if (hf >= 0) {
                std::string entry = line + "\n";
                if (pwrite(hf, entry.data(), entry.size(), st.st_size) < 0)
                    die("append " + handoff);
                ::close(hf);
            }
            continue;
        }
        std::string uuid = read_uuid(task, path);
        if (uuid.empty())
            continue;
        task.clear();  // a remove ends what the task keeps
        size_t slash = uuid.rfind('/');
        int parent = slash == 0 ? -1 : resolve(obj, uuid.substr(0, slash).c_str(), O_PATH | O_DIRECTORY);
        unlinkat(parent < 0 ? obj : parent, uuid.c_str() + slash + 1, 0);
        if (parent >= 0)
            ::close(parent);
    }
    names += count;
}

int replay_delete(const char* voldir, const char* objdir, unsigned threads)
{
    int vol = ::open(voldir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    int obj = ::open(objdir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (vol < 0 || obj < 0)
        die("open volumes");
    struct stat st;
    int listfd = open_checked(vol, "/snap/.delete/deletefilelist", O_RDONLY, &st);
    if (listfd < 0)
        die("open the delete list");
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    // Cut points on entry starts, as the split does.
    std::vector<uint64_t> cuts{0};
    for (unsigned t = 1; t < threads; ++t) {
        uint64_t at = size * t / threads;
        char c;
        while (at < size && at > cuts.back() && pread(listfd, &c, 1, static_cast<off_t>(at - 1)) == 1 && c != '\n')
            ++at;
        cuts.push_back(std::max(at, cuts.back()));
    }
    cuts.push_back(size);

    std::atomic<uint64_t> names(0);
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back(replay_delete_piece, vol, obj, listfd, cuts[t], cuts[t + 1], t + 1, std::ref(names));
    for (auto& w : workers)
        w.join();
    double secs = seconds_since(t0);
    std::printf("names %llu seconds %.3f names_per_second %.0f\n", static_cast<unsigned long long>(names.load()),
                secs, secs > 0 ? names.load() / secs : 0.0);
    return 0;
}

struct create_replay {
    int vol;
    std::atomic<uint64_t> entries{0};

    // Lists and values read straight into 4 KiB buffers (what fits in them, which is all of
    // this tree's), as creation does.
    void copy_attrs(task_fds& task, const std::string& src, const std::string& dst)
    {
        char list[4096], value[4096];
        long len = task.list_xattr(src, list, sizeof list);
        for (long at = 0; at < len;) {
            const char* name = list + at;
            long vsize = task.get_xattr(src, name, value, sizeof value);
            task.set_xattr(dst, name, value, static_cast<size_t>(vsize > 0 ? vsize : 0));
            at += static_cast<long>(std::strlen(name)) + 1;
        }
    }

    void copy_file(const std::string& src, const std::string& dst, char* block)
    {
        task_fds task(vol);
        struct stat st;
        task_fds::held* s = task.get(src);
        if (!s || fstat(s->fd, &st) != 0)
            return;
        int out = resolve(vol, dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC, st.st_mode & 07777);
        if (out < 0)
            return;
        fchmod(out, st.st_mode & 07777);
        task.put(dst, out, true);
        int in = task.open_read(src, &st, true);
        if (in >= 0) {
            // In place where the kernel can, by blocks where it cannot.
            loff_t from = 0, to = 0;
            while (from < st.st_size) {
                ssize_t n = copy_file_range(in, &from, out, &to, static_cast<size_t>(st.st_size - from), 0);
                if (n <= 0)
                    break;
            }
            for (off_t off = from; off < st.st_size;) {
                ssize_t n = pread(in, block, 32768, off);
                if (n <= 0 || pwrite(out, block, static_cast<size_t>(n), off) != n)
                    break;
                off += n;
            }
        }
        copy_attrs(task, src, dst);
        ++entries;
    }

    bool copy_dir(const std::string& src, const std::string& dst)
    {
        task_fds task(vol);
        struct stat st;
        task_fds::held* s = task.get(src);
        if (!s || fstat(s->fd, &st) != 0)
            return false;
        size_t slash = dst.rfind('/');
        int parent = resolve(vol, dst.substr(0, slash).c_str(), O_PATH | O_DIRECTORY);
        if (parent < 0)
            return false;
        const char* name = dst.c_str() + slash + 1;
        bool ok = mkdirat(parent, name, st.st_mode & 07777) == 0;
        if (ok) {
            int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
                fchmod(fd, st.st_mode & 07777);
                ::close(fd);
            }
        }
        ::close(parent);
        if (ok) {
            copy_attrs(task, src, dst);
            ++entries;
        }
        return ok;
    }

    // Lists src; with a filter, only the entries whose index in the listing is t mod n.
    void walk(const std::string& src, const std::string& dst, char* block, unsigned t = 0, unsigned n = 1)
    {
        int fd = resolve(vol, src.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0)
            return;
        DIR* d = fdopendir(fd);
        unsigned index = 0;
        while (struct dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            if (index++ % n != t)
                continue;
            if (e->d_type == DT_DIR) {
                if (name != ".snaps" && copy_dir(src + "/" + name, dst + "/" + name))
                    walk(src + "/" + name, dst + "/" + name, block);
            } else {
                copy_file(src + "/" + name, dst + "/" + name, block);
            }
        }
        closedir(d);
    }
};

int replay_create(const char* voldir, const char* src, const char* dst, unsigned threads)
{
    create_replay r;
    r.vol = ::open(voldir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (r.vol < 0)
        die("open volume");
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back([&r, src, dst, t, threads] {
            std::vector<char> block(32768);
            r.walk(src, dst, block.data(), t, threads);
        });
    for (auto& w : workers)
        w.join();
    double secs = seconds_since(t0);
    std::printf("entries %llu seconds %.3f\n", static_cast<unsigned long long>(r.entries.load()), secs);
    return 0;
}

unsigned thread_count(const char* text)
{
    char* end = nullptr;
    unsigned long n = std::strtoul(text, &end, 10);
    if (!end || *end || n == 0 || n > 256) {
        std::fprintf(stderr, "znfsbench_replay: bad thread count %s\n", text);
        std::exit(2);
    }
    return static_cast<unsigned>(n);
}

}  // namespace

int main(int argc, char** argv)
{
    g_procfd = ::open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (g_procfd < 0)
        die("open /proc/self/fd");
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "delete" && argc == 5)
        return replay_delete(argv[2], argv[3], thread_count(argv[4]));
    if (mode == "create" && argc == 6)
        return replay_create(argv[2], argv[3], argv[4], thread_count(argv[5]));
    std::fprintf(stderr, "usage: znfsbench_replay delete VOLDIR OBJDIR THREADS\n"
                         "       znfsbench_replay create VOLDIR SRC DST THREADS\n");
    return 2;
}
