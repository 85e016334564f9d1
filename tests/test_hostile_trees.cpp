// Snapshot creation over trees built to hurt it: links that loop or point out of the volume,
// special files, extreme depth, width and names, files that change under the copy, attributes
// at their limits, and a directory swapped for a link while the walk runs. Every run ends,
// copies what can be copied, reports what it could not, and never reads outside the volume.
#include <znfssnapcore/znfssnapcore.h>

#include "faultfs.h"
#include "test_access.h"
#include "testvol.h"

#include <znfs/znfs_forward.h>
#include <znfs/znfs_posix.h>
#include <znfs/znfs_thpool.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using znfssnapcore::error_code;
using znfssnapcore::znfssnapcore_opinfo;
using testvol::LogCapture;
using testvol::TempVolume;
using testvol::WithoutPool;
using testvol::host_xattrs;
using testvol::k_uuid;

using testvol::ends_with;
using testvol::slurp;
using testvol::spit;

namespace {

// True when any regular file below host holds needle.
bool tree_contains(const std::string& host, const std::string& needle)
{
    DIR* d = opendir(host.c_str());
    if (!d)
        return false;
    bool found = false;
    while (struct dirent* de = readdir(d)) {
        std::string name = de->d_name;
        if (name == "." || name == "..")
            continue;
        std::string h = host + "/" + name;
        struct stat st;
        if (lstat(h.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            found = tree_contains(h, needle) || found;
        else if (S_ISREG(st.st_mode))
            found = slurp(h).find(needle) != std::string::npos || found;
    }
    closedir(d);
    return found;
}

// A file outside every volume whose bytes must never reach a snapshot, watched so that any
// open or read of it is seen.
class Sentinel {
public:
    Sentinel()
    {
        char tmpl[] = "/tmp/znfssentinel.XXXXXX";
        if (!mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp");
        m_dir = tmpl;
        std::mt19937 rng(std::random_device{}());
        m_token = "SENTINEL-" + std::to_string(rng()) + "-" + std::to_string(rng());
        spit(file(), m_token + "\n");
        ::mkdir((m_dir + "/sub").c_str(), 0755);
        spit(m_dir + "/sub/secret", m_token + "\n");
        m_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        inotify_add_watch(m_inotify, m_dir.c_str(), IN_OPEN | IN_ACCESS);
        inotify_add_watch(m_inotify, (m_dir + "/sub").c_str(), IN_OPEN | IN_ACCESS);
    }
    ~Sentinel()
    {
        ::close(m_inotify);
        testvol::remove_tree(m_dir);
    }
    const std::string& dir() const { return m_dir; }
    std::string file() const { return m_dir + "/secret"; }
    const std::string& token() const { return m_token; }
    // Opens or reads of the sentinel since the last call.
    int touches()
    {
        alignas(struct inotify_event) char buf[4096];
        int events = 0;
        for (;;) {
            ssize_t n = ::read(m_inotify, buf, sizeof buf);
            if (n <= 0)
                return events;
            for (ssize_t i = 0; i < n;) {
                auto* ev = reinterpret_cast<struct inotify_event*>(buf + i);
                ++events;
                i += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
            }
        }
    }

private:
    std::string m_dir, m_token;
    int m_inotify = -1;
};

error_code create(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& snap,
                  znfssnapcore_opinfo& rec, const std::string& live = "/live")
{
    rec.snapfsapi = api;
    rec.snapiopx = iopx;
    rec.datasetdir = live;
    rec.snapdir = snap;
    return znfssnapcore::snap_opcreate(&rec);
}

// A volume on tmpfs, whose attributes may be as large and as many as the kernel allows.
class ShmVolume {
public:
    ShmVolume()
    {
        char tmpl[] = "/dev/shm/znfsvol.XXXXXX";
        if (!mkdtemp(tmpl))
            return;
        m_root = tmpl;
        std::error_code ec;
        m_iopx = znfs::make_posix_volume(m_root, ec);
    }
    ~ShmVolume()
    {
        m_iopx.reset();
        if (!m_root.empty())
            testvol::remove_tree(m_root);
    }
    bool ok() const { return static_cast<bool>(m_iopx); }
    std::string host(const std::string& p) const { return m_root + p; }
    znfs::znfs_iopx_ptr iopx() const { return m_iopx; }

private:
    std::string m_root;
    znfs::znfs_iopx_ptr m_iopx;
};

// Builds depth nested directories "d" below host, a file "leaf" at the bottom; returns whether
// it got there.
bool make_deep(const std::string& host, int depth)
{
    int fd = ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < depth && fd >= 0; ++i) {
        ::mkdirat(fd, "d", 0755);
        int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    if (fd < 0)
        return false;
    int f = ::openat(fd, "leaf", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = f >= 0 && ::write(f, "bottom", 6) == 6;
    if (f >= 0)
        ::close(f);
    ::close(fd);
    return ok;
}

// The content of "leaf" below depth nested "d" directories, or "<missing>".
std::string read_deep(const std::string& host, int depth)
{
    int fd = ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < depth && fd >= 0; ++i) {
        int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    if (fd < 0)
        return "<missing>";
    int f = ::openat(fd, "leaf", O_RDONLY | O_CLOEXEC);
    ::close(fd);
    if (f < 0)
        return "<missing>";
    char buf[64];
    ssize_t n = ::read(f, buf, sizeof buf);
    ::close(f);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// Calls a hook before chosen calls reach the volume, to change the tree under the copy.
class HookFs : public znfs::znfs_api_forward {
public:
    using znfs::znfs_api_forward::znfs_api_forward;
    std::function<void(const std::string&)> before_stat, before_opendir;
    std::function<void(int64_t offset)> before_read;
    std::string read_path_part;

    znfs::znfs_file_ptr open(znfs::znfs_iopx_ptr iopx, const char* path, int32_t flags,
                             znfs::znfs_aio_ptr aio) override
    {
        znfs::znfs_file_ptr f = znfs_api_forward::open(iopx, path, flags, aio);
        if (f && !read_path_part.empty() && std::string(path).find(read_path_part) != std::string::npos) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_watched = f.get();
        }
        return f;
    }
    int64_t read(znfs::znfs_file_ptr file, znfs::znfs_buff_ptr buff, uint64_t length, int64_t offset,
                 int32_t option, znfs::znfs_aio_ptr aio) override
    {
        bool watched;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            watched = file.get() == m_watched;
        }
        if (watched && before_read)
            before_read(offset);
        return znfs_api_forward::read(file, buff, length, offset, option, aio);
    }
    int64_t copy_range(znfs::znfs_file_ptr src, uint64_t srcoffset, znfs::znfs_file_ptr dst, uint64_t dstoffset,
                       uint64_t length, znfs::znfs_aio_ptr aio) override
    {
        bool watched;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            watched = src.get() == m_watched;
        }
        if (watched && before_read)
            before_read(static_cast<int64_t>(srcoffset));
        return znfs_api_forward::copy_range(src, srcoffset, dst, dstoffset, length, aio);
    }
    std::error_code stat(znfs::znfs_iopx_ptr iopx, const char* path, struct stat* st,
                         znfs::znfs_aio_ptr aio) override
    {
        if (before_stat)
            before_stat(path);
        return znfs_api_forward::stat(iopx, path, st, aio);
    }
    znfs::znfs_file_ptr opendir(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override
    {
        if (before_opendir)
            before_opendir(path);
        return znfs_api_forward::opendir(iopx, path, aio);
    }

private:
    std::mutex m_mutex;  // guards m_watched
    const znfs::znfs_file* m_watched = nullptr;
};

}  // namespace

TEST(HostileTrees, LinksNeverLeadOutOfTheVolume)
{
    Sentinel sentinel;
    testvol::with_and_without_pool([&](bool) {
        TempVolume vol;
        vol.mkdir("/live/a");
        vol.mkdir("/snap");
        vol.mkdir("/outside");
        vol.write("/outside/inside-volume", "in the volume\n");
        vol.write("/live/a/plain", "plain data\n");
        vol.symlink("loop2", "/live/loop1");
        vol.symlink("loop1", "/live/loop2");
        vol.symlink("self", "/live/self");
        vol.symlink("/", "/live/root");
        vol.symlink("../../..", "/live/a/up");
        vol.symlink(sentinel.file(), "/live/absfile");
        vol.symlink(sentinel.dir(), "/live/absdir");
        vol.symlink("../../../../../../../../../../.." + sentinel.file(), "/live/a/climb");
        vol.symlink("/proc/self/root" + sentinel.file(), "/live/magic");
        vol.symlink("/outside/inside-volume", "/live/a/in-volume");
        vol.symlink("plain", "/live/a/in-tree");
        vol.symlink("../a/plain", "/live/a/in-tree-up");
        vol.symlink("/live/a", "/live/dirlink");
        sentinel.touches();

        LogCapture log(-1);
        znfssnapcore_opinfo rec;
        EXPECT_EQ(0, create(vol.api(), vol.iopx(), "/snap", rec).value());

        EXPECT_EQ(0, sentinel.touches()) << "a file outside the volume was opened";
        EXPECT_FALSE(tree_contains(vol.host("/snap"), sentinel.token()));
        EXPECT_EQ("plain data\n", vol.read("/snap/a/plain"));
        EXPECT_EQ("plain data\n", vol.read("/snap/a/in-tree")) << "a link inside the dataset is copied through";
        EXPECT_EQ("plain data\n", vol.read("/snap/a/in-tree-up"));
        EXPECT_EQ("", vol.read("/snap/a/in-volume")) << "another tree's data never lands in the snapshot";
        EXPECT_EQ(0600u, vol.mode("/snap/a/in-volume") & 07777);
        EXPECT_TRUE(log.contains("Symbolic link [/live//a/in-volume] leads outside the dataset or nowhere")) << log.dump();
        // A link is never descended into: it is copied as a file or not at all.
        EXPECT_FALSE(S_ISDIR(vol.mode("/snap/dirlink")));
        EXPECT_FALSE(vol.exists("/snap/root/live"));
        EXPECT_EQ(-1, rec.opstatus) << "loops and directories behind links cannot be copied";
        EXPECT_TRUE(log.contains("loop1")) << log.dump();
        EXPECT_TRUE(vol.exists("/snap/.delete/deletefilelist"));
    });
}

TEST(HostileTrees, SpecialFilesBecomeEmptyFilesWithoutBeingOpened)
{
    WithoutPool nopool;
    TempVolume vol;
    vol.mkdir("/live");
    vol.mkdir("/snap");
    ASSERT_EQ(0, mkfifo(vol.host("/live/fifo").c_str(), 0640));
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::string sockpath = vol.host("/live/sock");
    ASSERT_LT(sockpath.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, sockpath.c_str());
    ASSERT_EQ(0, bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr));
    bool devices = mknod(vol.host("/live/zero").c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0;
    vol.symlink("fifo", "/live/fifolink");
    vol.setxattr("/live/fifo", "trusted.kept", "on a fifo");

    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, create(vol.api(), vol.iopx(), "/snap", rec).value());
    ::close(s);
    std::vector<std::string> names = {"fifo", "sock", "fifolink"};
    if (devices)
        names.push_back("zero");
    for (const auto& n : names) {
        SCOPED_TRACE(n);
        EXPECT_TRUE(S_ISREG(vol.mode("/snap/" + n)));
        EXPECT_EQ("", vol.read("/snap/" + n));
    }
    EXPECT_EQ("on a fifo", vol.getxattr("/snap/fifo", "trusted.kept"));
    EXPECT_EQ(0, rec.opstatus);
}

TEST(HostileTrees, TwoThousandLevelsDeepAreCopiedWithAndWithoutThePool)
{
    const int depth = 2000;
    testvol::with_and_without_pool([&](bool) {
        TempVolume vol;
        vol.mkdir("/live");
        vol.mkdir("/snap");
        ASSERT_TRUE(make_deep(vol.host("/live"), depth));
        znfssnapcore_opinfo rec;
        EXPECT_EQ(0, create(vol.api(), vol.iopx(), "/snap", rec).value());
        EXPECT_EQ(0, rec.opstatus);
        EXPECT_EQ("bottom", read_deep(vol.host("/snap"), depth));
    });
}

TEST(HostileTrees, DeepInlineWalkSurvivesASmallCallerStack)
{
    // A host may call from a thread with a modest stack; the walk's depth must not depend on it.
    WithoutPool nopool;
    TempVolume vol;
    vol.mkdir("/live");
    vol.mkdir("/snap");
    const int depth = 2000;
    ASSERT_TRUE(make_deep(vol.host("/live"), depth));
    znfssnapcore_opinfo rec;
    error_code ec;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    struct Args {
        TempVolume* vol;
        znfssnapcore_opinfo* rec;
        error_code* ec;
    } args{&vol, &rec, &ec};
    pthread_t t;
    ASSERT_EQ(0, pthread_create(
                     &t, &attr,
                     [](void* p) -> void* {
                         auto* a = static_cast<Args*>(p);
                         *a->ec = create(a->vol->api(), a->vol->iopx(), "/snap", *a->rec);
                         return nullptr;
                     },
                     &args));
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(0, ec.value());
    EXPECT_EQ(0, rec.opstatus);
    EXPECT_EQ("bottom", read_deep(vol.host("/snap"), depth));
}

TEST(HostileTrees, OddNamesArrive)
{
    TempVolume vol;
    vol.mkdir("/live/sub");
    vol.mkdir("/snap");
    std::vector<std::string> names = {std::string(255, 'n'), "new\nline", "carriage\rreturn", "\xff\xfe\x80latin",
                                      " lead and trail ", "-dash", "star*?[x]", ".hidden", "\x01\x1f"};
    for (const auto& n : names)
        vol.write("/live/sub/" + n, "content of " + n);
    vol.mkdir("/live/" + std::string(255, 'D'));
    vol.write("/live/" + std::string(255, 'D') + "/" + std::string(255, 'f'), "deep long");
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, create(vol.api(), vol.iopx(), "/snap", rec).value());
    EXPECT_EQ(0, rec.opstatus);
    for (const auto& n : names)
        EXPECT_EQ("content of " + n, vol.read("/snap/sub/" + n));
    EXPECT_EQ("deep long", vol.read("/snap/" + std::string(255, 'D') + "/" + std::string(255, 'f')));
}

// Creates /snap from /live with the pool, the queue limited to limit items (-1: as shipped);
// peak gets the most items that waited at once. Returns the creation's opstatus.
static int create_counting_queue(const TempVolume& vol, int64_t limit, uint64_t& peak)
{
    znfssnapcore_opinfo rec;
    rec.snapfsapi = vol.api();
    rec.snapiopx = vol.iopx();
    rec.datasetdir = "/live";
    rec.snapdir = "/snap";
    {
        znfssnapcore::znfssnapcreate::znfssnapcreate op(&rec);
        if (limit >= 0)
            znfssnapcore::znfssnapcore_test_access::set_queue_limit(op, limit);
        EXPECT_EQ(0, op.opcreate_start().value());
        peak = znfssnapcore::znfssnapcore_test_access::queued_peak(op);
    }
    return rec.opstatus;
}

TEST(HostileTrees, HundredThousandEntriesInOneDirectory)
{
    // Files and subdirectories alike: a directory of many subdirectories queued one item each
    // for every one of them.
    TempVolume vol;
    vol.mkdir("/live/wide");
    vol.mkdir("/snap");
    const int count = 100000;
    const int dirs_every = 4;  // every 4th entry is a directory
    int dfd = ::open(vol.host("/live/wide").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dfd, 0);
    for (int i = 0; i < count; ++i) {
        std::string name = "e" + std::to_string(i);
        if (i % dirs_every == 0) {
            ASSERT_EQ(0, ::mkdirat(dfd, name.c_str(), 0750));
            continue;
        }
        int f = ::openat(dfd, name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(f, 0);
        if (i % 1000 == 1) {
            ASSERT_GT(::write(f, "x", 1), 0);
        }
        ::close(f);
    }
    ::close(dfd);
    vol.write("/live/wide/e99000/inside", "in a subdirectory");
    uint64_t peak = 0;
    EXPECT_EQ(0, create_counting_queue(vol, -1, peak));
    EXPECT_EQ(static_cast<size_t>(count), vol.list("/snap/wide").size());
    EXPECT_EQ("x", vol.read("/snap/wide/e99001"));
    EXPECT_EQ("in a subdirectory", vol.read("/snap/wide/e99000/inside"));
    EXPECT_EQ(static_cast<mode_t>(S_IFDIR | 0750), vol.mode("/snap/wide/e4"));
    // The queue, and so the memory, does not grow with the directory. Listers of subdirectories
    // check the bound side by side, so each may pass it by the item it is posting.
    EXPECT_GT(peak, 0u);
    EXPECT_LE(peak, 4096u + 256) << "queued items grew with the entries";
}

TEST(HostileTrees, TreeCopiedWhileTheQueueStaysFullIsCopiedWhole)
{
    // With the queue full at every step each lister copies its entries itself, subdirectories
    // nested inside one another on its own stack as deep as the places for such listers allow,
    // and queued past that: the copy is the same, with every directory's mode set once it is
    // filled.
    TempVolume vol;
    vol.mkdir("/snap");
    std::string path = "/live";
    const int depth = 40;
    for (int i = 0; i < depth; ++i) {
        path += "/d" + std::to_string(i);
        vol.mkdir(path, i % 2 ? 0750 : 0705);
        vol.write(path + "/f", "level " + std::to_string(i), 0640);
        vol.mkdir(path + "/side");
        vol.write(path + "/side/g", "side " + std::to_string(i));
    }
    uint64_t peak = 1;
    EXPECT_EQ(0, create_counting_queue(vol, 0, peak));
    // Only a subdirectory met with every place taken is queued, never a file.
    EXPECT_LT(peak, static_cast<uint64_t>(depth)) << "entries were queued past the limit";
    std::string snap = "/snap";
    for (int i = 0; i < depth; ++i) {
        snap += "/d" + std::to_string(i);
        EXPECT_EQ(static_cast<mode_t>(S_IFDIR | (i % 2 ? 0750 : 0705)), vol.mode(snap)) << snap;
        EXPECT_EQ("level " + std::to_string(i), vol.read(snap + "/f"));
        EXPECT_EQ(static_cast<mode_t>(S_IFREG | 0640), vol.mode(snap + "/f"));
        EXPECT_EQ("side " + std::to_string(i), vol.read(snap + "/side/g"));
    }
}

TEST(HostileTrees, HardLinksAreCopiedAsSeparateFiles)
{
    TempVolume vol;
    vol.mkdir("/live/a");
    vol.mkdir("/snap");
    vol.write("/live/a/one", "shared inode");
    ASSERT_EQ(0, ::link(vol.host("/live/a/one").c_str(), vol.host("/live/two").c_str()));
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, create(vol.api(), vol.iopx(), "/snap", rec).value());
    EXPECT_EQ(0, rec.opstatus);
    EXPECT_EQ("shared inode", vol.read("/snap/a/one"));
    EXPECT_EQ("shared inode", vol.read("/snap/two"));
}

TEST(HostileTrees, FileThatGrowsDuringTheCopyGivesItsSizeAtOpen)
{
    WithoutPool nopool;
    TempVolume vol;
    vol.mkdir("/live");
    vol.mkdir("/snap");
    std::string first(50000, 'a');
    vol.write("/live/grow", first);
    HookFs fs(vol.api());
    fs.read_path_part = "/live//grow";
    fs.before_read = [&](int64_t offset) {
        if (offset == 0) {
            std::ofstream out(vol.host("/live/grow"), std::ios::binary | std::ios::app);
            out << std::string(70000, 'b');
        }
    };
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, create(&fs, vol.iopx(), "/snap", rec).value());
    EXPECT_EQ(first, vol.read("/snap/grow"));
}

TEST(HostileTrees, FileThatShrinksDuringTheCopyIsReportedIncomplete)
{
    WithoutPool nopool;
    TempVolume vol;
    vol.mkdir("/live");
    vol.mkdir("/snap");
    vol.write("/live/shrink", std::string(100000, 's'));
    vol.write("/live/other", "other");
    HookFs fs(vol.api());
    fs.read_path_part = "/live//shrink";
    fs.before_read = [&](int64_t offset) {
        if (offset == 0) {
            ASSERT_EQ(0, ::truncate(vol.host("/live/shrink").c_str(), 1000));
        }
    };
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, create(&fs, vol.iopx(), "/snap", rec).value());
    EXPECT_EQ(-1, rec.opstatus);
    EXPECT_TRUE(log.contains("File copy failed from srcfile [/live//shrink]")) << log.dump();
    EXPECT_EQ(std::string(1000, 's'), vol.read("/snap/shrink")) << "never padded past what was read";
    EXPECT_EQ("other", vol.read("/snap/other"));
}

TEST(HostileTrees, EntriesDeletedDuringTheWalkAreReportedAndTheRestCopied)
{
    testvol::with_and_without_pool([&](bool) {
        TempVolume vol;
        vol.mkdir("/live/gonedir");
        vol.mkdir("/live/keep");
        vol.mkdir("/snap");
        vol.write("/live/victim", "soon gone");
        vol.write("/live/gonedir/inner", "soon gone too");
        vol.write("/live/keep/file", "stays");
        HookFs fs(vol.api());
        fs.before_stat = [&](const std::string& p) {
            if (ends_with(p, "/victim"))
                ::unlink(vol.host("/live/victim").c_str());
        };
        fs.before_opendir = [&](const std::string& p) {
            if (ends_with(p, "/gonedir")) {
                ::unlink(vol.host("/live/gonedir/inner").c_str());
                ::rmdir(vol.host("/live/gonedir").c_str());
            }
        };
        LogCapture log(-1);
        znfssnapcore_opinfo rec;
        EXPECT_EQ(0, create(&fs, vol.iopx(), "/snap", rec).value());
        EXPECT_EQ(-1, rec.opstatus);
        EXPECT_TRUE(log.contains("Failed to stat file [/live//victim]")) << log.dump();
        EXPECT_TRUE(log.contains("Failed to open directory [/gonedir] in livefs volume")) << log.dump();
        EXPECT_EQ("stays", vol.read("/snap/keep/file"));
        EXPECT_FALSE(vol.exists("/snap/victim"));
    });
}

TEST(HostileTrees, AttributesAtTheirLimitsArriveIntact)
{
    ShmVolume vol;
    if (!vol.ok())
        GTEST_SKIP() << "no tmpfs at /dev/shm";
    ASSERT_EQ(0, ::mkdir(vol.host("/live").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(vol.host("/snap").c_str(), 0755));
    spit(vol.host("/live/many"), "many");
    spit(vol.host("/live/big"), "big");
    spit(vol.host("/live/binary"), "binary");
    std::string nul_value("\0lead\0mid\0\xff\0", 12);
    ASSERT_EQ(0, ::setxattr(vol.host("/live/binary").c_str(), k_uuid, nul_value.data(),
                            nul_value.size(), 0));
    ASSERT_EQ(0, ::setxattr(vol.host("/live/binary").c_str(), "user.empty", "", 0, 0));
    std::string big(65536, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 256);
    ASSERT_EQ(0, ::setxattr(vol.host("/live/big").c_str(), "user.big", big.data(), big.size(), 0));
    for (int i = 0; i < 100; ++i) {
        std::string v = "value " + std::to_string(i) + std::string(static_cast<size_t>(i), '\0');
        ASSERT_EQ(0, ::setxattr(vol.host("/live/many").c_str(), ("trusted.attr" + std::to_string(i)).c_str(),
                                v.data(), v.size(), 0));
    }
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, create(znfs::posix_api(), vol.iopx(), "/snap", rec).value());
    EXPECT_EQ(0, rec.opstatus);
    for (const char* f : {"/many", "/big", "/binary"}) {
        SCOPED_TRACE(f);
        auto want = host_xattrs(vol.host(std::string("/live") + f));
        auto got = host_xattrs(vol.host(std::string("/snap") + f));
        EXPECT_EQ(want.size(), got.size());
        EXPECT_TRUE(want == got);
    }
    EXPECT_EQ(nul_value, host_xattrs(vol.host("/snap/binary"))[k_uuid]);
}

TEST(HostileTrees, DirectorySwappedForALinkDuringTheWalkNeverEscapes)
{
    Sentinel sentinel;
    TempVolume vol;
    vol.mkdir("/live/sw/inner");
    vol.write("/live/sw/inner/file", "inside");
    vol.write("/live/sw/file", "inside");
    for (int i = 0; i < 20; ++i)
        vol.write("/live/pad" + std::to_string(i), "padding");
    vol.symlink(sentinel.dir(), "/live/swl");
    vol.symlink("../../../../../../../../.." + sentinel.dir(), "/live/sw/inner/climb");
    sentinel.touches();

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> swaps{0};
    std::string a = vol.host("/live/sw"), b = vol.host("/live/swl");
    std::thread swapper([&] {
        while (!stop.load()) {
            if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0)
                swaps.fetch_add(1);
        }
    });
    while (swaps.load() < 2)
        std::this_thread::yield();

    int runs = 0;
    for (int i = 0; i < 40; ++i) {
        std::unique_ptr<WithoutPool> nopool(i % 2 ? new WithoutPool : nullptr);
        std::string snap = "/snap" + std::to_string(i);
        vol.mkdir(snap);
        znfssnapcore_opinfo rec;
        EXPECT_EQ(0, create(vol.api(), vol.iopx(), snap, rec).value());
        ++runs;
    }
    stop = true;
    swapper.join();
    std::printf("[ hostile  ] %d creations during %llu swaps\n", runs, static_cast<unsigned long long>(swaps.load()));
    EXPECT_EQ(0, sentinel.touches()) << "a file outside the volume was opened";
    for (int i = 0; i < runs; ++i)
        EXPECT_FALSE(tree_contains(vol.host("/snap" + std::to_string(i)), sentinel.token())) << i;
}

// Attacks of a client that changes the dataset or the snapshot at the worst moment, each made
// deterministic by a hook between two calls of the creation, with and without the pool. After
// each, no byte outside the trees changed and the run reports the entry as failed.
TEST(HostileTrees, ClientsSwappingAndPlantingLinksGainNothing)
{
    testvol::with_and_without_pool([&](bool) {
        TempVolume vol;
        vol.mkdir("/live/sw/inner");
        vol.write("/live/sw/inner/f", "inside");
        vol.write("/live/f", "user data");
        vol.mkdir("/other");
        vol.write("/other/theirs", "another tree");
        vol.write("/victim", "root only", 0600);
        vol.mkdir("/snap");
        HookFs hooks(vol.api());
        std::string root = vol.root();
        hooks.before_opendir = [&](const std::string& path) {
            if (path == "/live//sw") {  // listed as a directory, a link to its ancestor by now
                ASSERT_EQ(0, ::rename((root + "/live/sw").c_str(), (root + "/sw.moved").c_str()));
                ASSERT_EQ(0, ::symlink("..", (root + "/live/sw").c_str()));
            }
        };
        hooks.before_stat = [&](const std::string& path) {
            if (path == "/live//f")  // a link planted where the copy is about to be created
                ::symlink((root + "/victim").c_str(), (root + "/snap/f").c_str());
        };
        LogCapture log(-1);
        znfssnapcore_opinfo rec;
        EXPECT_EQ(0, create(&hooks, vol.iopx(), "/snap", rec).value());
        EXPECT_EQ(-1, rec.opstatus);
        EXPECT_EQ("root only", vol.read("/victim"));
        EXPECT_EQ(0600u, vol.mode("/victim") & 07777);
        EXPECT_EQ("another tree", vol.read("/other/theirs"));
        EXPECT_EQ((std::vector<std::string>{".delete", "f", "sw"}), vol.list("/snap"));
        EXPECT_TRUE(vol.list("/snap/sw").empty()) << "the walk followed the swapped directory";
        EXPECT_TRUE(log.contains("Failed to create file [/snap//f]")) << log.dump();
        EXPECT_TRUE(log.contains("Failed to open directory [/sw] in livefs volume")) << log.dump();
    });
}

// A directory copy is owner-only while it fills, whatever its source allows, and gets the
// source's mode once everything below it is there: nobody writes into a world-writable copy
// meanwhile, and a read-only one is still filled.
TEST(HostileTrees, DirectoryCopiesAreOwnerOnlyUntilTheirSubtreeIsDone)
{
    testvol::with_and_without_pool([&](bool) {
        TempVolume vol;
        vol.mkdir("/live/pub/deep", 0755);
        vol.write("/live/pub/deep/x", "x");
        vol.mkdir("/live/ro", 0755);
        vol.write("/live/ro/y", "y");
        ::chmod(vol.host("/live/pub").c_str(), 01777);
        ::chmod(vol.host("/live/ro").c_str(), 0555);
        vol.mkdir("/live/.delete");
        vol.write("/live/.delete/deletefilelist", "the user's own list\n");
        vol.mkdir("/live/sub/.delete");
        vol.mkdir("/snap");
        HookFs hooks(vol.api());
        std::vector<mode_t> seen;
        std::mutex m;
        hooks.before_stat = [&](const std::string& path) {
            if (path == "/live//pub/deep/x") {
                std::lock_guard<std::mutex> lock(m);
                seen.push_back(vol.mode("/snap/pub") & 07777);
            }
        };
        LogCapture log(-1);
        znfssnapcore_opinfo rec;
        EXPECT_EQ(0, create(&hooks, vol.iopx(), "/snap", rec).value());
        EXPECT_EQ(0, rec.opstatus) << log.dump();
        EXPECT_EQ((std::vector<mode_t>{0700}), seen);
        EXPECT_EQ(01777u, vol.mode("/snap/pub") & 07777);
        EXPECT_EQ(0555u, vol.mode("/snap/ro") & 07777);
        EXPECT_EQ("y", vol.read("/snap/ro/y"));
        EXPECT_EQ("", vol.read("/snap/.delete/deletefilelist")) << "the user's .delete became the bookkeeping";
        EXPECT_TRUE(S_ISDIR(vol.mode("/snap/sub/.delete")));
        EXPECT_TRUE(log.contains("Skipping directory [/live/.delete]")) << log.dump();
        ::chmod(vol.host("/live/ro").c_str(), 0755);
        ::chmod(vol.host("/snap/ro").c_str(), 0755);

        // A file of that name at the top would take the bookkeeping's place and fail every
        // creation of the dataset; a link likewise.
        vol.mkdir("/flat");
        vol.write("/flat/.delete", "a user's file");
        vol.write("/flat/g", "g");
        vol.mkdir("/snap2");
        znfssnapcore_opinfo flat;
        EXPECT_EQ(0, create(vol.api(), vol.iopx(), "/snap2", flat, "/flat").value()) << log.dump();
        EXPECT_EQ("", vol.read("/snap2/.delete/deletefilelist"));
        EXPECT_EQ("g", vol.read("/snap2/g"));
        EXPECT_TRUE(log.contains("Skipping entry [/flat/.delete]")) << log.dump();
    });
}

// A snapshot directory that is the dataset, or lies inside it, or holds it, is refused before
// anything is written, however the paths spell it.
TEST(HostileTrees, OverlappingSnapshotAndDatasetAreRefused)
{
    TempVolume vol;
    vol.mkdir("/live/in");
    vol.write("/live/f", "data");
    vol.mkdir("/outer/live2");
    vol.write("/outer/live2/g", "more");
    vol.symlink("live", "/alias");
    struct Case {
        const char* dataset;
        const char* snapdir;
    } cases[] = {{"/live", "/live"}, {"/live", "/live/."}, {"/live", "/alias"},      {"/live", "/live/in"},
                 {"/live", "/alias/in"}, {"/outer/live2", "/outer"}, {"/live/in/..", "/live/in"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dataset) + " into " + c.snapdir);
        LogCapture log(-1);
        znfssnapcore_opinfo rec;
        EXPECT_EQ(std::error_code(EINVAL, std::generic_category()), create(vol.api(), vol.iopx(), c.snapdir, rec, c.dataset));
        EXPECT_EQ(-1, rec.opstatus);
        EXPECT_TRUE(log.contains("overlap")) << log.dump();
    }
    EXPECT_EQ("data", vol.read("/live/f"));
    EXPECT_EQ("more", vol.read("/outer/live2/g"));
    EXPECT_EQ((std::vector<std::string>{"f", "in"}), vol.list("/live"));
    EXPECT_TRUE(vol.list("/live/in").empty());

    // Inside a ".snaps" directory, which the walk skips, a snapshot of its dataset is fine; a
    // ".." after it is not taken for one.
    vol.mkdir("/live/.snaps/s1");
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, create(vol.api(), vol.iopx(), "/live/.snaps/s1", rec).value());
    EXPECT_EQ(0, rec.opstatus);
    EXPECT_EQ((std::vector<std::string>{".delete", "f", "in"}), vol.list("/live/.snaps/s1"));
    LogCapture log(-1);
    EXPECT_EQ(EINVAL, create(vol.api(), vol.iopx(), "/live/.snaps/../in", rec).value());

    // Nor is a ".snaps" that is a link to a directory the walk does copy: the snapshot would be
    // copied into itself, again and again, inside the dataset.
    vol.mkdir("/live3/d/s1");
    vol.write("/live3/d/f", "f");
    vol.symlink("d", "/live3/.snaps");
    znfssnapcore_opinfo looped;
    EXPECT_EQ(EINVAL, create(vol.api(), vol.iopx(), "/live3/.snaps/s1", looped, "/live3").value());
    EXPECT_TRUE(vol.list("/live3/d/s1").empty());

    // Nor one reached through a link that the dataset's owner put on its way: the copy would go
    // wherever the link leads, outside both trees.
    vol.mkdir("/elsewhere");
    vol.symlink("/elsewhere", "/live/.snaps/s2");
    znfssnapcore_opinfo led;
    EXPECT_EQ(ELOOP, create(vol.api(), vol.iopx(), "/live/.snaps/s2", led).value());
    EXPECT_TRUE(vol.list("/elsewhere").empty());

    // Nor through a bind mount of a directory of the dataset, which no ".." chain shows: the
    // snapshot is never copied into itself (it was, without end, inside the live tree).
    vol.mkdir("/live4/sub/s");
    vol.write("/live4/sub/f", "f");
    vol.mkdir("/bound");
    if (::mount(vol.host("/live4/sub").c_str(), vol.host("/bound").c_str(), nullptr, MS_BIND, nullptr) != 0)
        return;  // needs the right to mount
    struct unmount {
        std::string at;
        ~unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unbind{vol.host("/bound")};
    testvol::with_and_without_pool([&](bool) {
        testvol::remove_tree(vol.host("/live4/sub/s"));
        vol.mkdir("/live4/sub/s");
        LogCapture skipped(-1);
        znfssnapcore_opinfo bound;
        EXPECT_EQ(0, create(vol.api(), vol.iopx(), "/bound/s", bound, "/live4").value()) << skipped.dump();
        EXPECT_EQ(0, bound.opstatus);
        EXPECT_EQ((std::vector<std::string>{".delete", "sub"}), vol.list("/live4/sub/s"));
        EXPECT_EQ((std::vector<std::string>{"f"}), vol.list("/live4/sub/s/sub"));
        EXPECT_TRUE(skipped.contains("it is the snapshot directory itself")) << skipped.dump();
    });
}

// The snapshot directory carries a default ACL that grants a stranger access: copies created
// in it must not keep what they inherit, while ACLs of their own sources arrive intact.
TEST(HostileTrees, InheritedAclsNeverWidenAccess)
{
    auto acl = [](std::initializer_list<std::array<uint32_t, 3>> entries) {
        std::string out("\x02\x00\x00\x00", 4);
        for (const auto& e : entries) {
            for (int i = 0; i < 2; ++i)
                out.push_back(static_cast<char>((e[i] >> (8 * 0)) & 0xff)), out.push_back(static_cast<char>(e[i] >> 8));
            for (int i = 0; i < 4; ++i)
                out.push_back(static_cast<char>((e[2] >> (8 * i)) & 0xff));
        }
        return out;
    };
    const std::string stranger = acl({{0x01, 7, ~0u}, {0x02, 7, 65534}, {0x04, 5, ~0u}, {0x10, 7, ~0u}, {0x20, 0, ~0u}});
    const std::string own = acl({{0x01, 6, ~0u}, {0x02, 4, 4242}, {0x04, 0, ~0u}, {0x10, 4, ~0u}, {0x20, 0, ~0u}});
    testvol::with_and_without_pool([&](bool) {
        TempVolume vol;
        vol.mkdir("/live/d");
        vol.write("/live/d/plain", "p", 0600);
        vol.write("/live/shared", "s", 0640);
        vol.mkdir("/snap");
        if (::setxattr(vol.host("/snap").c_str(), "system.posix_acl_default", stranger.data(), stranger.size(), 0) != 0)
            GTEST_SKIP() << "no POSIX ACLs here";
        ASSERT_EQ(0, ::setxattr(vol.host("/live/shared").c_str(), "system.posix_acl_access", own.data(), own.size(), 0));
        // A source directory whose default ACL came after its entries: its copy gets the ACL
        // first, and what is then created in the copy must not inherit it.
        vol.mkdir("/live/late/sub");
        vol.write("/live/late/kid", "k", 0600);
        ASSERT_EQ(0, ::setxattr(vol.host("/live/late").c_str(), "system.posix_acl_default", stranger.data(),
                                stranger.size(), 0));
        LogCapture log(-1);
        znfssnapcore_opinfo rec;
        EXPECT_EQ(0, create(vol.api(), vol.iopx(), "/snap", rec).value());
        EXPECT_EQ(0, rec.opstatus) << log.dump();
        for (const char* p : {"/d", "/d/plain", "/shared", "/late", "/late/sub", "/late/kid"})
            EXPECT_EQ(host_xattrs(vol.host(std::string("/live") + p)), host_xattrs(vol.host(std::string("/snap") + p))) << p;
        EXPECT_EQ(0600u, vol.mode("/snap/d/plain") & 07777);
        EXPECT_EQ("p", vol.read("/snap/d/plain"));
        // The same below a snapshot directory without a default ACL of its own.
        vol.mkdir("/plain");
        znfssnapcore_opinfo rec2;
        EXPECT_EQ(0, create(vol.api(), vol.iopx(), "/plain", rec2).value());
        for (const char* p : {"/late", "/late/sub", "/late/kid", "/d"})
            EXPECT_EQ(host_xattrs(vol.host(std::string("/live") + p)), host_xattrs(vol.host(std::string("/plain") + p))) << p;
    });
}
