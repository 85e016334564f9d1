#include <znfssnapcore/znfssnapcore.h>
#include <znfs/znfs_forward.h>
#include <znfs/znfs_posix.h>
#include <znfs/znfs_thpool.h>

#include "faultfs.h"
#include "testvol.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

using znfssnapcore::znfssnapcore_opinfo;
using znfssnapcore::znfssnapcreate::znfssnapcreate;
using testvol::LogCapture;
using testvol::TempVolume;
using testvol::WithoutPool;
using testvol::k_uuid;
using testvol::names_in;
using testvol::slurp;

namespace {

znfssnapcore_opinfo record(znfs::znfs_api* api, const TempVolume& v, const std::string& live,
                           const std::string& snap)
{
    znfssnapcore_opinfo r;
    r.snapfsapi = api;
    r.snapiopx = v.iopx();
    r.datasetdir = live;
    r.snapdir = snap;
    return r;
}

// Attributes as seen through the path, following a final link as the copy does.
std::map<std::string, std::string> attrs(const std::string& hostpath)
{
    std::map<std::string, std::string> out;
    std::string names(65536, '\0');
    ssize_t n = ::listxattr(hostpath.c_str(), &names[0], names.size());
    for (ssize_t i = 0; i < n;) {
        std::string name(names.c_str() + i);
        std::string value(65536, '\0');
        ssize_t len = ::getxattr(hostpath.c_str(), name.c_str(), &value[0], value.size());
        value.resize(len < 0 ? 0 : static_cast<size_t>(len));
        out[name] = value;
        i += static_cast<ssize_t>(name.size()) + 1;
    }
    return out;
}

// How the copy at dst differs from the live tree at src (host paths); "" when it is faithful:
// the same names (".snaps" directories and the top-level ".delete" aside), data, permission
// bits less set-user-ID and set-group-ID, and attributes. Links compare as what they reach.
std::string diff_tree(const std::string& src, const std::string& dst, bool top = true)
{
    std::string out;
    std::set<std::string> want;
    for (const std::string& name : names_in(src)) {
        std::string s = src + "/" + name, d = dst + "/" + name;
        struct stat ss, ds;
        if (::stat(s.c_str(), &ss) != 0)
            continue;
        if (S_ISDIR(ss.st_mode) && name == ".snaps")
            continue;
        want.insert(name);
        if (::lstat(d.c_str(), &ds) != 0) {
            out += "missing " + d + "\n";
            continue;
        }
        if ((ds.st_mode & 07777) != (ss.st_mode & 07777 & ~(S_ISUID | S_ISGID)))
            out += "mode of " + d + "\n";
        if (attrs(s) != attrs(d))
            out += "attributes of " + d + "\n";
        if (S_ISDIR(ss.st_mode)) {
            out += S_ISDIR(ds.st_mode) ? diff_tree(s, d, false) : "not a directory: " + d + "\n";
        } else if (!S_ISREG(ds.st_mode)) {
            out += "not a file: " + d + "\n";
        } else if ((S_ISREG(ss.st_mode) ? slurp(s) : std::string()) != slurp(d)) {
            out += "data of " + d + "\n";
        }
    }
    for (const std::string& name : names_in(dst))
        if (!want.count(name) && !(top && name == ".delete"))
            out += "extra " + dst + "/" + name + "\n";
    return out;
}

size_t lines_from(const LogCapture& log, const std::string& function)
{
    size_t n = 0;
    for (const testvol::LogLine& l : log.lines())
        n += l.function == function;
    return n;
}

std::string random_bytes(std::mt19937& rng, size_t n)
{
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

// A tree with depth, empty directories, ".snaps" at several depths, links, files around the
// copy's block size and a file with many attributes.
void build_tree(const TempVolume& v, const std::string& root, std::mt19937& rng)
{
    v.mkdir(root);
    for (size_t n : {0, 1, 32767, 32768, 32769, 3 * 1024 * 1024 + 5})
        v.write(root + "/f" + std::to_string(n), random_bytes(rng, n), 0640);
    v.mkdir(root + "/.snaps");
    v.write(root + "/.snaps/hidden", "x");
    v.mkdir(root + "/a", 0750);
    v.setxattr(root + "/a", "user.dir", random_bytes(rng, 17));
    v.mkdir(root + "/a/.snaps/deeper");
    v.mkdir(root + "/a/empty", 0700);
    v.mkdir(root + "/a/b/c/d");
    v.mkdir(root + "/a/b/c/.snaps");
    v.write(root + "/a/b/c/.snaps/x", "x");
    v.write(root + "/a/b/.snaps", "a file named like the skipped directories");
    v.write(root + "/a/b/c/d/deep", random_bytes(rng, 100000), 0600);
    for (int i = 0; i < 40; ++i)
        v.write(root + "/a/many" + std::to_string(i), random_bytes(rng, rng() % 70000));
    v.symlink("f32769", root + "/link");
    v.symlink("../f1", root + "/a/uplink");
    v.write(root + "/attrs", "data");
    for (int i = 0; i < 30; ++i)
        v.setxattr(root + "/attrs", "user.k" + std::to_string(i), random_bytes(rng, i % 5 == 0 ? 0 : rng() % 50));
    v.setxattr(root + "/attrs", "user.large", random_bytes(rng, 1200));
    v.setxattr(root + "/attrs", k_uuid, "/objects/7f/3a9c");
}

TEST(Create, CopiesTheWholeTreeAlikeWithAndWithoutPool)
{
    unsigned seed = std::random_device()();
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    TempVolume v;
    build_tree(v, "/live", rng);
    v.mkdir("/pooled");
    v.mkdir("/inline");

    znfssnapcore_opinfo pooled = record(v.api(), v, "/live", "/pooled");
    EXPECT_EQ(0, znfssnapcore::snap_opcreate(&pooled).value());
    EXPECT_EQ(0, pooled.opstatus);
    {
        WithoutPool off;
        znfssnapcore_opinfo serial = record(v.api(), v, "/live", "/inline");
        EXPECT_EQ(0, znfssnapcore::snap_opcreate(&serial).value());
        EXPECT_EQ(0, serial.opstatus);
    }
    EXPECT_EQ("", diff_tree(v.host("/live"), v.host("/pooled")));
    EXPECT_EQ("", diff_tree(v.host("/live"), v.host("/inline")));
    EXPECT_EQ("/objects/7f/3a9c", v.getxattr("/pooled/attrs", k_uuid));
    EXPECT_EQ("", v.getxattr("/inline/attrs", "user.k0"));
    EXPECT_FALSE(v.exists("/pooled/.snaps"));
    EXPECT_FALSE(v.exists("/inline/a/b/c/.snaps"));
    EXPECT_EQ(v.read("/live/a/b/.snaps"), v.read("/inline/a/b/.snaps"));
}

TEST(Create, LogsJoinedPathsAsTheyAre)
{
    TempVolume v;
    v.mkdir("/live/a");
    v.write("/live/a/f", "f");
    v.write("/live/g", "g");
    v.mkdir("/snap");
    {
        LogCapture log(1);
        znfssnapcore_opinfo r = record(v.api(), v, "/live", "/snap");
        EXPECT_EQ(0, znfssnapcore::snap_opcreate(&r).value());
        EXPECT_TRUE(log.contains("Posting work for dirname [/live//a]")) << log.dump();
        EXPECT_TRUE(log.contains("Posting work for filename [g]"));
        EXPECT_TRUE(log.contains("Traverse: dirbasepath [/live] dirname [/a]"));
        EXPECT_TRUE(log.contains("Copying file [/live//a/f]"));
        EXPECT_TRUE(log.contains("Creating destination file [/snap//a/f]"));
        EXPECT_TRUE(log.contains("Creating destination directory [/snap//a]"));
        EXPECT_TRUE(log.contains("creating file [/snap/.delete/deletefilelist]"));
        EXPECT_EQ(1u, log.count("Waiting for all threads to join"));
        EXPECT_EQ(1u, lines_from(log, "znfssnapcreate::processdir"));
        EXPECT_EQ(2u, lines_from(log, "znfssnapcreate::processfile"));
    }
    v.mkdir("/snap2");
    WithoutPool off;
    LogCapture log(1);
    znfssnapcore_opinfo r = record(v.api(), v, "/live", "/snap2");
    EXPECT_EQ(0, znfssnapcore::snap_opcreate(&r).value());
    EXPECT_FALSE(log.contains("Waiting for all threads to join"));
    EXPECT_FALSE(log.contains("Posting work"));
    EXPECT_EQ(0u, lines_from(log, "znfssnapcreate::processdir"));
    EXPECT_EQ(2u, lines_from(log, "znfssnapcreate::processfile"));
    for (const testvol::LogLine& l : log.lines())
        if (l.message == "Starting snap_opcreate") {
            EXPECT_EQ("snap_opcreate", l.function);
        }
}

TEST(Create, UnreadableEntriesAreLoggedAndTheRestIsCopied)
{
    TempVolume v;
    v.mkdir("/live");
    v.write("/live/secret", "hidden data");
    v.mkdir("/live/locked");
    v.write("/live/locked/inner", "x");
    v.write("/live/plain", "plain");
    v.mkdir("/snap");
    FaultFs fs(v.api());
    fs.fail_op("open", EACCES, "/live//secret");
    fs.fail_op("opendir", EACCES, "/live//locked");
    LogCapture log(-1);
    znfssnapcore_opinfo r = record(&fs, v, "/live", "/snap");
    znfssnapcreate op(&r);
    EXPECT_EQ(0, op.opcreate_start().value());
    EXPECT_EQ(-1, r.opstatus);
    EXPECT_EQ(2u, op.entries_failed());
    EXPECT_EQ(1u, op.entries_copied());
    EXPECT_TRUE(log.contains("Failed to open file [/live//secret]")) << log.dump();
    EXPECT_TRUE(log.contains("Failed to open directory [/locked] in livefs volume"));
    EXPECT_TRUE(log.contains("Snapshot incomplete: [2] entries failed to copy"));
    EXPECT_EQ("", v.read("/snap/secret"));
    EXPECT_TRUE(v.list("/snap/locked").empty());
    EXPECT_EQ("plain", v.read("/snap/plain"));
    EXPECT_TRUE(v.exists("/snap/.delete/deletefilelist"));
}

// A link is copied as what it reaches; one that reaches nothing, or a directory, is no file.
TEST(Create, LinksThatReachNoFileCountAsFailed)
{
    TempVolume v;
    v.mkdir("/live");
    v.write("/live/target", "t");
    v.symlink("target", "/live/good");
    v.symlink("nowhere", "/live/dangling");
    v.symlink("loop", "/live/loop");
    v.mkdir("/live/dir");
    v.symlink("dir", "/live/dirlink");
    v.mkdir("/snap");
    LogCapture log(-1);
    znfssnapcore_opinfo r = record(v.api(), v, "/live", "/snap");
    znfssnapcreate op(&r);
    EXPECT_EQ(0, op.opcreate_start().value());
    EXPECT_EQ(-1, r.opstatus);
    EXPECT_EQ(3u, op.entries_failed());
    EXPECT_TRUE(log.contains("Failed to stat file [/live//dangling]"));
    EXPECT_TRUE(log.contains("File copy failed from srcfile [/live//dirlink]"));
    EXPECT_TRUE(log.contains("Failed to stat file [/live//loop]"));
    EXPECT_EQ("t", v.read("/snap/good"));
    EXPECT_TRUE(S_ISREG(v.mode("/snap/good")));
}

// A finished snapshot is a point-in-time copy and its delete list names objects to collect:
// a creation into it writes nothing. One that stopped before its bookkeeping is taken again.
TEST(Create, FinishedSnapshotIsNeverCopiedOverNorAStoppedOneWrittenThrough)
{
    TempVolume v;
    v.mkdir("/live");
    v.write("/live/f", "today");
    v.mkdir("/snap/.delete");
    v.write("/snap/f", "yesterday");
    v.write("/snap/.delete/deletefilelist", "kept\n");
    LogCapture log(-1);
    znfssnapcore_opinfo r = record(v.api(), v, "/live", "/snap");
    std::error_code ec = znfssnapcore::snap_opcreate(&r);
    EXPECT_EQ(std::error_code(EEXIST, std::generic_category()), ec);
    EXPECT_EQ(-1, r.opstatus);
    EXPECT_TRUE(log.contains("Snapshot [/snap] is finished ([/.delete] exists): nothing copied")) << log.dump();
    EXPECT_EQ("kept\n", v.read("/snap/.delete/deletefilelist"));
    EXPECT_EQ("yesterday", v.read("/snap/f"));
    EXPECT_EQ((std::vector<std::string>{".delete", "f"}), v.list("/snap"));

    // What a stopped creation left is never written through: each such entry fails, so the
    // host clears the directory and takes the snapshot again.
    v.mkdir("/part");
    v.write("/part/f", "half");
    znfssnapcore_opinfo again = record(v.api(), v, "/live", "/part");
    EXPECT_EQ(0, znfssnapcore::snap_opcreate(&again).value());
    EXPECT_EQ(-1, again.opstatus);
    EXPECT_EQ("half", v.read("/part/f"));
    EXPECT_TRUE(log.contains("Failed to create file [/part//f]")) << log.dump();
}

TEST(Create, BookkeepingIsPrivateAndEmpty)
{
    TempVolume v;
    v.mkdir("/live");
    v.mkdir("/snap");
    LogCapture log(1);
    znfssnapcore_opinfo r = record(v.api(), v, "/live", "/snap");
    EXPECT_EQ(0, znfssnapcore::snap_opcreate(&r).value());
    EXPECT_EQ(0, r.opstatus);
    EXPECT_TRUE(log.contains("Waiting for all threads to join"));
    EXPECT_EQ(std::vector<std::string>{".delete"}, v.list("/snap"));
    EXPECT_EQ(std::vector<std::string>{"deletefilelist"}, v.list("/snap/.delete"));
    EXPECT_EQ(0760u, v.mode("/snap/.delete") & 07777);
    EXPECT_EQ(0760u, v.mode("/snap/.delete/deletefilelist") & 07777);
    EXPECT_EQ("", v.read("/snap/.delete/deletefilelist"));
}

TEST(Create, DatasetRootThatCannotBeOpenedLeavesAnIncompleteSnapshot)
{
    TempVolume v;
    v.mkdir("/snap");
    LogCapture log(-1);
    znfssnapcore_opinfo r = record(v.api(), v, "/missing", "/snap");
    EXPECT_EQ(0, znfssnapcore::snap_opcreate(&r).value());
    EXPECT_EQ(-1, r.opstatus);
    EXPECT_TRUE(log.contains("Failed to open directory [] in livefs volume"));
    EXPECT_EQ(std::vector<std::string>{".delete"}, v.list("/snap"));
}

TEST(Create, CopiesDropSetIdBitsAndKeepTheRest)
{
    TempVolume v;
    v.mkdir("/live");
    v.write("/live/tool", "#!", 06755);
    v.write("/live/odd", "", 01604);
    v.mkdir("/live/shared", 02775);
    v.mkdir("/live/scratch", 01777);
    v.mkdir("/snap");
    znfssnapcore_opinfo r = record(v.api(), v, "/live", "/snap");
    EXPECT_EQ(0, znfssnapcore::snap_opcreate(&r).value());
    EXPECT_EQ(0755u, v.mode("/snap/tool") & 07777);
    EXPECT_EQ(01604u, v.mode("/snap/odd") & 07777);
    EXPECT_EQ(0775u, v.mode("/snap/shared") & 07777);
    EXPECT_EQ(01777u, v.mode("/snap/scratch") & 07777);
}

TEST(Create, SpecialFilesBecomeEmptyFilesWithoutBeingOpened)
{
    TempVolume v;
    v.mkdir("/live");
    ASSERT_EQ(0, ::mkfifo(v.host("/live/pipe").c_str(), 0640));
    v.setxattr("/live/pipe", "trusted.note", "fifo");
    bool device = ::mknod(v.host("/live/null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    v.mkdir("/snap");
    FaultFs fs(v.api());
    LogCapture log(1);
    znfssnapcore_opinfo r = record(&fs, v, "/live", "/snap");
    EXPECT_EQ(0, znfssnapcore::snap_opcreate(&r).value());
    EXPECT_EQ(0, r.opstatus);
    EXPECT_EQ(0u, fs.calls("open"));
    EXPECT_TRUE(log.contains("Special file [/live//pipe] copied as an empty file"));
    EXPECT_TRUE(S_ISREG(v.mode("/snap/pipe")));
    EXPECT_EQ(0640u, v.mode("/snap/pipe") & 07777);
    EXPECT_EQ("", v.read("/snap/pipe"));
    EXPECT_EQ("fifo", v.getxattr("/snap/pipe", "trusted.note"));
    if (device) {
        EXPECT_EQ("", v.read("/snap/null"));
    }
}

// Misreports the size of one attribute's value (or, with an empty name, of the name list) by
// skew bytes for the first `times` size queries, as if it changed right after the query; with
// too_small, the first read into a buffer answers ERANGE, as for a list that does not fit.
class SkewedSizes : public znfs::znfs_api_forward {
public:
    SkewedSizes(znfs::znfs_api* target, std::string name, int64_t skew, int times, bool too_small = false)
        : znfs::znfs_api_forward(target), m_name(std::move(name)), m_skew(skew), m_times(times),
          m_too_small(too_small)
    {
    }
    int64_t getxattr(znfs::znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                     znfs::znfs_aio_ptr aio) override
    {
        int64_t n = target()->getxattr(iopx, path, name, iov, aio);
        return m_name == name ? skew(iov, n) : n;
    }
    int64_t listxattr(znfs::znfs_iopx_ptr iopx, const char* path, struct iovec* iov, znfs::znfs_aio_ptr aio) override
    {
        int64_t n = target()->listxattr(iopx, path, iov, aio);
        return m_name.empty() ? skew(iov, n) : n;
    }
    int queries() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_queries;
    }

private:
    int64_t skew(const struct iovec* iov, int64_t n)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (iov->iov_base != nullptr && m_too_small) {
            m_too_small = false;
            errno = ERANGE;
            return -1;
        }
        if (iov->iov_base != nullptr || n < 0)
            return n;
        ++m_queries;
        return m_queries <= m_times ? std::max<int64_t>(1, n + m_skew) : n;
    }
    mutable std::mutex m_mutex;  // guards m_queries
    std::string m_name;
    int64_t m_skew;
    int m_times;
    bool m_too_small;
    int m_queries = 0;
};

struct XattrCase {
    TempVolume v;
    znfssnapcore_opinfo run(znfs::znfs_api* api)
    {
        znfssnapcore_opinfo r = record(api, v, "/live", "/snap");
        EXPECT_EQ(0, znfssnapcore::snap_opcreate(&r).value());
        return r;
    }
    XattrCase()
    {
        v.mkdir("/live");
        v.write("/live/f", "data");
        v.setxattr("/live/f", "user.a", "alpha");
        v.setxattr("/live/f", "user.v", "the value");
        v.setxattr("/live/f", "user.z", "zulu");
        v.mkdir("/snap");
    }
};

// A value or name list whose size changed after it was queried is settled: a value that shrank
// is set with the bytes read, one that grew (and a name list that grew) is queried again; every
// attribute reaches the copy.
TEST(Create, AttributeSizesThatChangeAfterTheQueryAreSettled)
{
    const struct {
        const char* skewed;  // "": the name list
        int64_t skew;
        int queries;  // 0: not counted
        const char* name;
        const char* value;
    } cases[] = {
        {"user.v", +7, 0, "user.v", "the value"},
        {"user.v", -3, 2, "user.v", "the value"},
        {"", -2, 2, "user.z", "zulu"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.skewed) + " skewed by " + std::to_string(k.skew));
        XattrCase c;
        SkewedSizes api(c.v.api(), k.skewed, k.skew, 1, true);
        EXPECT_EQ(0, c.run(&api).opstatus);
        if (k.queries) {
            EXPECT_EQ(k.queries, api.queries());
        }
        EXPECT_EQ(k.value, c.v.getxattr("/snap/f", k.name));
        EXPECT_EQ(3u, c.v.xattrs("/snap/f").size());
    }
}

TEST(Create, ValueThatKeepsGrowingFailsAfterBoundedRetries)
{
    XattrCase c;
    SkewedSizes api(c.v.api(), "user.v", -3, 1000, true);
    LogCapture log(-1);
    EXPECT_EQ(-1, c.run(&api).opstatus);
    EXPECT_EQ(5, api.queries());
    EXPECT_TRUE(log.contains("Failed to get value for extended attribute [user.v] from file [/live//f]"));
    EXPECT_TRUE(log.contains("Snapshot incomplete: [1] entries failed to copy"));
}

// A file system that keeps no attributes answers ENOTSUP to their listing: the copy has none
// to take, and everything below is still copied (a failure here used to stop at the top).
TEST(Create, EntriesWithoutAttributeSupportAreCopiedWithNone)
{
    XattrCase c;
    c.v.mkdir("/live/d/sub");
    c.v.write("/live/d/sub/g", "below");
    FaultFs fs(c.v.api());
    fs.fail_op("listxattr", ENOTSUP, "/live/d");
    LogCapture log(-1);
    znfssnapcore_opinfo r = c.run(&fs);
    EXPECT_EQ(0, r.opstatus) << log.dump();
    EXPECT_EQ("below", c.v.read("/snap/d/sub/g"));
    EXPECT_TRUE(c.v.xattrs("/snap/d/sub/g").empty());
    EXPECT_EQ("zulu", c.v.getxattr("/snap/f", "user.z"));
}

// Cuts a file short (truncate(2) to size) the first time its data is read, before that read
// goes on: a fanotify permission event holds the reader until the cut is made. Needs
// CAP_SYS_ADMIN; why() says when it could not be set up.
class CutShortOnFirstRead {
public:
    CutShortOnFirstRead(const std::string& path, off_t size) : m_path(path), m_size(size)
    {
        m_fan = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC);
        if (m_fan < 0 || ::pipe2(m_stop, O_CLOEXEC) != 0 ||
            fanotify_mark(m_fan, FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, path.c_str()) != 0) {
            m_why = std::string("no fanotify permission events: ") + std::strerror(errno);
            return;
        }
        m_thread = std::thread([this] { answer(); });
    }
    ~CutShortOnFirstRead()
    {
        if (m_stop[1] >= 0)
            ::close(m_stop[1]);
        if (m_thread.joinable())
            m_thread.join();
        else if (m_fan >= 0)
            ::close(m_fan);
        if (m_stop[0] >= 0)
            ::close(m_stop[0]);
    }
    const std::string& why() const { return m_why; }
    bool cut() const { return m_cut; }

private:
    void answer()
    {
        struct pollfd fds[2] = {{m_fan, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        for (;;) {
            int ready = ::poll(fds, 2, -1);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0 || (fds[1].revents & (POLLIN | POLLHUP)))
                break;
            if (!(fds[0].revents & POLLIN))
                continue;
            alignas(struct fanotify_event_metadata) char buf[4096];
            ssize_t n = ::read(m_fan, buf, sizeof buf);
            auto* ev = reinterpret_cast<struct fanotify_event_metadata*>(buf);
            for (; n > 0 && FAN_EVENT_OK(ev, n); ev = FAN_EVENT_NEXT(ev, n)) {
                if (!m_cut.exchange(true) && ::truncate(m_path.c_str(), m_size) != 0)
                    ADD_FAILURE() << "truncate: " << std::strerror(errno);
                struct fanotify_response allow = {ev->fd, FAN_ALLOW};
                if (::write(m_fan, &allow, sizeof allow) != static_cast<ssize_t>(sizeof allow))
                    ADD_FAILURE() << "fanotify response: " << std::strerror(errno);
                ::close(ev->fd);
            }
        }
        ::close(m_fan);  // lets any read still held go on
    }

    std::string m_path;
    off_t m_size;
    int m_fan = -1;
    int m_stop[2] = {-1, -1};
    std::atomic<bool> m_cut{false};
    std::string m_why;
    std::thread m_thread;
};

// File data moves in place where the service can, by blocks where it cannot; either way the
// copy has the source's bytes and holes, and a copy that fails part-way fails its entry, as
// does one of a source cut short under it (the rest of the range no longer a hole to step over).
TEST(Create, DataInPlaceOrByBlocksKeepsBytesAndHoles)
{
    TempVolume v;
    v.mkdir("/live");
    std::string head = testvol::pattern(70000, 3);
    v.write("/live/plain", head);
    int fd = ::open(v.host("/live/sparse").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0640);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(4096, ::pwrite(fd, head.data(), 4096, 16 << 20));
    ASSERT_EQ(0, ::ftruncate(fd, 32 << 20));
    ::close(fd);
    // Small too: in one call the kernel's copy would fill its holes.
    fd = ::open(v.host("/live/small-sparse").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0640);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(4096, ::pwrite(fd, head.data() + 4096, 4096, 256 << 10));
    ASSERT_EQ(0, ::ftruncate(fd, 768 << 10));
    ::close(fd);
    struct Run {
        const char* name;
        int err;             // copy_range fails with it (0: it works)
        const char* failed;  // the entry that fails, or null
    } runs[] = {{"in place", 0, nullptr},
                {"by blocks", EOPNOTSUPP, nullptr},
                {"failing", EIO, "plain"},
                {"cut short", 0, "sparse"}};  // last: the source stays cut
    for (const Run& r : runs) {
        SCOPED_TRACE(r.name);
        std::string snap = std::string("/snap-") + std::to_string(&r - runs);
        v.mkdir(snap);
        FaultFs fs(v.api());
        if (r.err)
            fs.fail_op("copy_range", r.err);
        // Into the hole after the only data, once that data is being copied.
        std::unique_ptr<CutShortOnFirstRead> cut;
        if (r.failed && std::string(r.failed) == "sparse") {
            cut.reset(new CutShortOnFirstRead(v.host("/live/sparse"), 24 << 20));
            if (!cut->why().empty())
                GTEST_SKIP() << cut->why();
        }
        LogCapture log(-1);
        znfssnapcore_opinfo rec = record(&fs, v, "/live", snap);
        EXPECT_EQ(0, znfssnapcore::snap_opcreate(&rec).value());
        EXPECT_EQ(r.failed ? -1 : 0, rec.opstatus) << log.dump();
        if (r.failed) {
            EXPECT_TRUE(log.contains(std::string("File copy failed from srcfile [/live//") + r.failed + "]"))
                << log.dump();
            if (cut) {
                EXPECT_TRUE(cut->cut()) << "the copy never read the source";
                EXPECT_TRUE(log.contains("[1] entries failed")) << log.dump();
                EXPECT_EQ(head, v.read(snap + "/plain"));
            }
            continue;
        }
        EXPECT_EQ(head, v.read(snap + "/plain"));
        EXPECT_EQ(testvol::slurp(v.host("/live/sparse")), testvol::slurp(v.host(snap + "/sparse")));
        struct stat st;
        ASSERT_EQ(0, ::stat(v.host(snap + "/sparse").c_str(), &st));
        EXPECT_EQ(32 << 20, st.st_size);
        EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the holes were filled";
        EXPECT_EQ(testvol::slurp(v.host("/live/small-sparse")), testvol::slurp(v.host(snap + "/small-sparse")));
        ASSERT_EQ(0, ::stat(v.host(snap + "/small-sparse").c_str(), &st));
        EXPECT_EQ(768 << 10, st.st_size);
        EXPECT_LT(st.st_blocks * 512, 256 << 10) << "the holes of the small file were filled";
    }
}

// Failing each call of a creation in turn: a snapshot reported complete is always a faithful
// copy, and only a failed bookkeeping step changes the result.
TEST(Create, FailingAnyCallNeverYieldsAnIncompleteSnapshotReportedComplete)
{
    TempVolume v;
    v.mkdir("/live/a/b");
    v.setxattr("/live/a", "user.d", "dir");
    v.write("/live/a/f", std::string(40000, 'f'));
    v.setxattr("/live/a/f", "user.x", "1");
    v.setxattr("/live/a/f", k_uuid, "/o/1");
    v.write("/live/g", "");
    v.setxattr("/live/g", "user.y", "");
    WithoutPool off;

    FaultFs clean(v.api());
    v.mkdir("/s0");
    znfssnapcore_opinfo r0 = record(&clean, v, "/live", "/s0");
    ASSERT_EQ(0, znfssnapcore::snap_opcreate(&r0).value());
    ASSERT_EQ(0, r0.opstatus);
    EXPECT_EQ(0u, clean.calls("fsync")) << "a POSIX volume is flushed whole, not file by file";
    uint64_t total = clean.calls();

    LogCapture quiet(-2);
    for (uint64_t k = 1; k <= total; ++k) {
        std::string snap = "/s" + std::to_string(k);
        v.mkdir(snap);
        FaultFs fs(v.api());
        fs.fail_call(k, EIO);
        znfssnapcore_opinfo r = record(&fs, v, "/live", snap);
        std::error_code ec = znfssnapcore::snap_opcreate(&r);
        ASSERT_EQ(1u, fs.injected_count()) << "call " << k;
        std::string op = fs.injected()[0].first, path = fs.injected()[0].second;
        SCOPED_TRACE("call " + std::to_string(k) + ": " + op + " " + path);
        // A volume that cannot be flushed whole has each copied file flushed instead.
        // So is a failed look for a default ACL on a copy's directory: it is taken as present,
        // which costs a check of each copy in it and changes nothing else.
        // A failed close of a copy is a write the file system may have lost; other closes
        // lose nothing.
        bool copy_closed = op == "close" && path.compare(0, snap.size() + 1, snap + "/") == 0 &&
                           path.find("/.delete") == std::string::npos;
        bool harmless = (op == "close" && !copy_closed) || op == "closedir" ||
                        (op == "syncfs" && fs.calls("fsync") > 1) ||
                        (op == "getxattr" && path.compare(0, snap.size(), snap) == 0);
        if (ec.value() != 0) {
            EXPECT_TRUE(path.find("/.delete") != std::string::npos || op == "syncfs" || v.list(snap).empty())
                << "a copy failure changed the result";
        }
        if (r.opstatus == 0) {
            EXPECT_EQ("", diff_tree(v.host("/live"), v.host(snap)));
        }
        EXPECT_EQ(harmless, r.opstatus == 0);
    }
}

// An ext2 file system on a loop device whose image lies on a tmpfs of 8 MiB: once fill() has
// taken the tmpfs's last block, writing back to the file system fails. Needs root, a loop
// device and mkfs.ext2; why() says which is missing.
class FailingWriteBack {
public:
    FailingWriteBack()
    {
        char dir[] = "/tmp/znfs-writeback-XXXXXX";
        if (geteuid() != 0 || !mkdtemp(dir)) {
            m_why = "needs root";
            return;
        }
        m_base = dir;
        std::string t = m_base + "/t", m = mnt();
        std::string setup = "mkdir " + t + " " + m + " && mount -t tmpfs -o size=8m znfs-writeback " + t +
                            " && truncate -s 64M " + t + "/image && mkfs.ext2 -q -F " + t +
                            "/image >/dev/null 2>&1 && mount -o loop,noatime " + t + "/image " + m + " 2>/dev/null";
        if (std::system(setup.c_str()) != 0)
            m_why = "no tmpfs, mkfs.ext2 or loop device";
    }
    ~FailingWriteBack()
    {
        if (m_base.empty())
            return;
        std::string m = mnt(), t = m_base + "/t";
        std::string teardown = "{ umount " + m + " || umount -l " + m + "; umount " + t + " || umount -l " + t +
                               "; } 2>/dev/null; rm -rf " + m_base;
        if (std::system(teardown.c_str()) != 0)
            ADD_FAILURE() << "could not clean up " << m_base;
    }
    const std::string& why() const { return m_why; }
    std::string mnt() const { return m_base + "/m"; }
    std::string filler() const { return m_base + "/t/filler"; }
    void fill() const
    {
        int fd = ::open(filler().c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        std::string block(65536, 'f');
        while (fd >= 0 && ::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
    }

private:
    std::string m_base, m_why;
};

// Another caller's flush of the same file system sees a write-back failure first (another
// creation, a host tool): the creation's own flush after the copy is still told of it, so no
// bookkeeping is made; so is every other thread that flushes the volume, once.
TEST(Create, WriteBackFailureSeenFirstElsewhereFailsTheCreation)
{
    FailingWriteBack disk;
    if (!disk.why().empty())
        GTEST_SKIP() << disk.why();
    const std::string m = disk.mnt();
    ASSERT_EQ(0, ::mkdir((m + "/live").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir((m + "/snap").c_str(), 0755));
    {
        std::ofstream(m + "/live/f") << std::string(1 << 20, 'd');
    }
    ::sync();
    disk.fill();

    struct FlushedFirstElsewhere : znfs::znfs_api_forward {
        using znfs::znfs_api_forward::znfs_api_forward;
        std::string mnt, filler;
        int calls = 0, elsewhere = 0;
        std::error_code syncfs(znfs::znfs_iopx_ptr iopx, znfs::znfs_aio_ptr aio) override
        {
            if (++calls == 2) {  // the flush after the copy
                int fd = ::open(mnt.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                elsewhere = ::syncfs(fd) == 0 ? 0 : errno;
                ::close(fd);
                ::unlink(filler.c_str());  // room again: only the failure already met remains
            }
            return znfs::znfs_api_forward::syncfs(iopx, aio);
        }
    } hook(znfs::posix_api());
    hook.mnt = m;
    hook.filler = disk.filler();
    {
        std::error_code ec;
        znfssnapcore_opinfo rec;
        rec.snapfsapi = &hook;
        rec.snapiopx = znfs::make_posix_volume(m, ec);
        ASSERT_FALSE(ec) << ec.message();
        rec.datasetdir = "/live";
        rec.snapdir = "/snap";
        LogCapture log(-1);
        ec = znfssnapcore::snap_opcreate(&rec);
        ASSERT_NE(0, hook.elsewhere) << "the full tmpfs failed no write-back";
        EXPECT_TRUE(ec) << log.dump();
        EXPECT_EQ(-1, rec.opstatus);
        EXPECT_TRUE(log.contains("Failed to make snapshot [/snap] durable")) << log.dump();
        struct stat st;
        EXPECT_NE(0, ::stat((m + "/snap/.delete").c_str(), &st)) << "bookkeeping for data that was lost";

        // A thread that flushes the volume for the first time is told of the failure, once;
        // the creation's thread, which flushed through its own confined context of the volume,
        // has been told already.
        std::vector<int> other;
        std::thread([&] {
            for (int i = 0; i < 2; ++i)
                other.push_back(hook.syncfs(rec.snapiopx, znfs::znfs_aio_ptr()).value());
        }).join();
        EXPECT_NE(0, other.at(0));
        EXPECT_EQ(0, other.at(1));
        EXPECT_FALSE(hook.syncfs(rec.snapiopx, znfs::znfs_aio_ptr()));
    }
}

}  // namespace

