// Fail-the-k-th-call sweeps over snapshot creation and deletion: every call of a fault-free
// run is failed once, and after each run the invariants hold (source untouched, nothing the
// previous snapshot needs lost, result and opstatus consistent, the failure visible).
#include <znfssnapcore/znfssnapcore.h>

#include "faultfs.h"
#include "testvol.h"

#include <znfs/znfs_thpool.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using znfssnapcore::error_code;
using znfssnapcore::znfssnapcore_opinfo;
using testvol::k_uuid;
using testvol::LogCapture;
using testvol::TempVolume;
using testvol::WithoutPool;
using testvol::host_xattrs;
using testvol::pattern;

namespace {

// Aborts the process with a message when a run does not end: a hang must not pass for a
// slow success, and the bound is far above any run's real length.
class Watchdog {
public:
    explicit Watchdog(std::string what) : m_what(std::move(what)), m_thread([this] { watch(); }) {}
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

private:
    void watch()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, std::chrono::minutes(2), [this] { return m_done; })) {
            std::fprintf(stderr, "watchdog: run did not end: %s\n", m_what.c_str());
            std::abort();
        }
    }
    std::string m_what;
    std::mutex m_mutex;  // guards m_done
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

// Everything a host sees of a tree: per relative path, type and permission bits, data (or link
// target) and extended attributes.
struct Node {
    mode_t mode = 0;
    std::string data;
    std::map<std::string, std::string> xattrs;
    bool operator==(const Node& o) const { return mode == o.mode && data == o.data && xattrs == o.xattrs; }
};
using Tree = std::map<std::string, Node>;

void capture(const std::string& host, const std::string& rel, Tree& tree, const std::set<std::string>& skip)
{
    DIR* d = opendir(host.c_str());
    if (!d)
        return;
    while (struct dirent* de = readdir(d)) {
        std::string name = de->d_name;
        if (name == "." || name == "..")
            continue;
        std::string r = rel + "/" + name;
        if (skip.count(r))
            continue;
        std::string h = host + "/" + name;
        struct stat st;
        if (lstat(h.c_str(), &st) != 0)
            continue;
        Node& n = tree[r];
        n.mode = st.st_mode;
        n.xattrs = host_xattrs(h);
        if (S_ISREG(st.st_mode)) {
            n.data = testvol::slurp(h);
        } else if (S_ISLNK(st.st_mode)) {
            char buf[4096];
            ssize_t len = readlink(h.c_str(), buf, sizeof buf);
            n.data.assign(buf, len > 0 ? static_cast<size_t>(len) : 0);
        } else if (S_ISDIR(st.st_mode)) {
            capture(h, r, tree, skip);
        }
    }
    closedir(d);
}

Tree capture(const TempVolume& vol, const std::string& volpath, const std::set<std::string>& skip = {})
{
    Tree t;
    capture(vol.host(volpath), "", t, skip);
    return t;
}

std::string diff(const Tree& a, const Tree& b)
{
    std::string out;
    for (const auto& e : a) {
        auto it = b.find(e.first);
        if (it == b.end())
            out += " missing " + e.first;
        else if (!(it->second == e.second))
            out += " differs " + e.first;
    }
    for (const auto& e : b)
        if (!a.count(e.first))
            out += " extra " + e.first;
    return out;
}

// The failure lines of a run; a fault is visible when they differ from a clean run's (a clean
// run may log some, e.g. a file the previous snapshot lacks).
std::multiset<std::string> failure_lines(const LogCapture& log)
{
    std::multiset<std::string> out;
    for (const auto& l : log.lines())
        if (l.level < 0)
            out.insert(l.function + ": " + l.message);
    return out;
}

bool trivial_op(const std::string& op) { return op == "close" || op == "closedir"; }

// Figures for the report: runs per operation, mode and errno.
std::map<std::string, int>& figures()
{
    static std::map<std::string, int> f;
    return f;
}

const char* errname(int e)
{
    switch (e) {
    case EIO: return "EIO";
    case ENOSPC: return "ENOSPC";
    case ENOMEM: return "ENOMEM";
    case EACCES: return "EACCES";
    default: return "other";
    }
}

struct Fault {
    uint64_t k;  // 0: none
    int err;
};

std::vector<Fault> sweep_plan(uint64_t calls, uint64_t every, uint64_t sample)
{
    std::vector<Fault> plan;
    for (uint64_t k = 1; k <= calls; k += every) {
        plan.push_back({k, EIO});
        if (k % sample == 1 || sample == 1)
            for (int e : {ENOSPC, ENOMEM, EACCES})
                plan.push_back({k, e});
    }
    return plan;
}

// ---------------------------------------------------------------------------------------------
// Creation

struct CreateScene {
    TempVolume vol;
    FaultFs fs{vol.api()};
    Tree live_before;

    CreateScene()
    {
        vol.mkdir("/live/a/b");
        vol.mkdir("/live/c", 0700);
        vol.mkdir("/live/.snaps/x");
        vol.mkdir("/snap");
        vol.write("/live/a/small", "small file\n");
        vol.write("/live/a/big", pattern(70000, 1), 0600);
        vol.write("/live/a/b/empty", "");
        vol.write("/live/h", pattern(40000, 2), 0640);
        vol.write("/live/.snaps/x/hidden", "skip me");
        vol.setxattr("/live/a/big", "user.one", "1");
        vol.setxattr("/live/h", k_uuid, "/objects/h");
        vol.setxattr("/live/h", "user.bin", std::string("a\0b", 3));
        vol.setxattr("/live/c", "user.dir", "on a directory");
        vol.setxattr("/live/a/b/empty", "user.empty", "");
        live_before = capture(vol, "/live");
    }

    error_code run(znfssnapcore_opinfo& rec)
    {
        rec.snapfsapi = &fs;
        rec.snapiopx = vol.iopx();
        rec.datasetdir = "/live";
        rec.snapdir = "/snap";
        Watchdog w("snapshot creation");
        return znfssnapcore::snap_opcreate(&rec);
    }
};

struct CleanRun {
    uint64_t calls;
    std::multiset<std::string> failures;
};

CleanRun clean_create()
{
    CreateScene s;
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, s.run(rec).value());
    EXPECT_EQ(0, rec.opstatus);
    Tree expected = s.live_before;
    expected.erase("/.snaps");
    expected.erase("/.snaps/x");
    expected.erase("/.snaps/x/hidden");
    EXPECT_EQ("", diff(expected, capture(s.vol, "/snap", {"/.delete"})));
    return {s.fs.calls(), failure_lines(log)};
}

// One creation with call k failing, and every invariant checked after it.
void create_run(const Fault& f, const CleanRun& ref, const std::string& mode)
{
    CreateScene s;
    s.fs.fail_call(f.k, f.err);
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    error_code ec = s.run(rec);
    auto injected = s.fs.injected();
    std::string where = mode + " k=" + std::to_string(f.k) + " " + errname(f.err) +
                        (injected.empty() ? std::string(" (nothing injected)")
                                          : " op=" + injected[0].first + " path=" + injected[0].second);
    SCOPED_TRACE(where);
    figures()["create " + mode + " " + errname(f.err)]++;

    EXPECT_EQ("", diff(s.live_before, capture(s.vol, "/live"))) << "the live dataset changed";
    if (ec.value() != 0) {
        ASSERT_FALSE(injected.empty());
        EXPECT_TRUE(injected[0].second.find("/.delete") != std::string::npos || injected[0].first == "syncfs" ||
                    s.vol.list("/snap").empty())
            << "result from a copy failure";
        EXPECT_EQ(-1, rec.opstatus);
        // A creation that reports failure leaves no bookkeeping: with it the snapshot would read
        // as finished, and no rerun would take it again.
        EXPECT_FALSE(s.vol.exists("/snap/.delete")) << "a failed creation left its bookkeeping";
    }
    if (rec.opstatus == 0) {
        EXPECT_EQ(0, ec.value());
        Tree expected = s.live_before;
        for (auto it = expected.begin(); it != expected.end();)
            it = it->first.compare(0, 7, "/.snaps") == 0 ? expected.erase(it) : std::next(it);
        EXPECT_EQ("", diff(expected, capture(s.vol, "/snap", {"/.delete"}))) << "opstatus 0 but copy differs";
        EXPECT_TRUE(s.vol.exists("/snap/.delete/deletefilelist"));
        EXPECT_EQ("", s.vol.read("/snap/.delete/deletefilelist"));
    }
    // A volume that cannot be flushed as a whole is flushed file by file instead: harmless.
    bool flushed_per_file = !injected.empty() && injected[0].first == "syncfs" && s.fs.calls("fsync") > 1;
    if (!injected.empty() && !trivial_op(injected[0].first) && !flushed_per_file) {
        EXPECT_TRUE(ec.value() != 0 || rec.opstatus != 0 || failure_lines(log) != ref.failures)
            << "injected failure left no trace\n" << log.dump();
    }
}

// ---------------------------------------------------------------------------------------------
// Deletion

struct DeleteScene : testvol::SnapshotPair {
    FaultFs snapfs{snapvol.api()};
    FaultFs objfs{objvol.api()};
    Tree snaps_before;
    std::set<std::string> prev_objects;

    void file(const std::string& snap, const std::string& name, const std::string& id)
    {
        std::string object = SnapshotPair::file(snap, name, id);
        if (!object.empty() && snap == "snap1")
            prev_objects.insert(object);
    }

    DeleteScene()
    {
        std::string list;
        for (int i = 0; i < 12; ++i) {
            std::string name = (i % 4 == 0 ? "d/" : "") + std::string("f") + std::to_string(i);
            if (i % 3 != 0)
                file("snap1", name, i % 2 ? name : name + "old");
            if (i % 5 != 0)
                file("snap2", name, i % 2 ? name : name + "new");
            list += name + "\n";
        }
        file("snap2", "plain", "");
        dellist(list + "plain\n\ngone\n");
        snaps_before = capture(snapvol, "", {"/snap2/.delete"});
    }

    error_code run(znfssnapcore_opinfo& rec)
    {
        aim(rec, &snapfs, &objfs);
        Watchdog w("snapshot deletion");
        return znfssnapcore::snap_opdelete(&rec);
    }

    std::vector<std::string> objects() const { return objvol.list("/objects"); }

    std::multiset<std::string> merged() const
    {
        std::multiset<std::string> out;
        if (!snapvol.exists("/snap2/.delete/deletefilelist_prevsnap"))
            return out;
        std::istringstream in(snapvol.read("/snap2/.delete/deletefilelist_prevsnap"));
        for (std::string line; std::getline(in, line);)
            out.insert(line);
        return out;
    }
};

struct DeleteOutcome {
    std::vector<std::string> objects;
    std::multiset<std::string> merged;
    uint64_t snapcalls, objcalls;
    std::multiset<std::string> failures;
};

DeleteOutcome reference_delete()
{
    DeleteScene s;
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, s.run(rec).value());
    EXPECT_EQ(0, rec.opstatus);
    return {s.objects(), s.merged(), s.snapfs.calls(), s.objfs.calls(), failure_lines(log)};
}

// The same deletion run again without faults resolves whatever the faulty run left undone.
void rerun_completes(DeleteScene& s, const DeleteOutcome& ref)
{
    s.snapfs.reset();
    s.objfs.reset();
    LogCapture quiet(-2);
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, s.run(rec).value());
    EXPECT_EQ(0, rec.opstatus) << "a rerun left work undone";
    EXPECT_EQ(ref.objects, s.objects()) << "rerun with a different outcome";
    EXPECT_EQ(ref.merged, s.merged()) << "rerun with a different merged list";
}

void delete_run(const Fault& f, const DeleteOutcome& ref, const std::string& mode)
{
    DeleteScene s;
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    // Calls on the snapshot volume here; the object volume has its own sweep below.
    s.snapfs.fail_call(f.k, f.err);
    error_code ec = s.run(rec);
    auto injected = s.snapfs.injected();
    std::string where = mode + " k=" + std::to_string(f.k) + " " + errname(f.err) +
                        (injected.empty() ? std::string(" (nothing injected)")
                                          : " op=" + injected[0].first + " path=" + injected[0].second);
    SCOPED_TRACE(where);
    figures()["delete " + mode + " " + errname(f.err)]++;

    EXPECT_EQ("", diff(s.snaps_before, capture(s.snapvol, "", {"/snap2/.delete"}))) << "a snapshot changed";
    auto objs = s.objects();
    for (const auto& id : s.prev_objects)
        EXPECT_TRUE(std::binary_search(objs.begin(), objs.end(), id)) << "object of the previous snapshot gone: " << id;
    for (const auto& id : ref.objects)
        EXPECT_TRUE(std::binary_search(objs.begin(), objs.end(), id)) << "object unlinked that a clean run keeps: " << id;
    if (ec.value() != 0) {
        EXPECT_EQ(-1, rec.opstatus);
    }
    bool visible = ec.value() != 0 || rec.opstatus != 0 || failure_lines(log) != ref.failures;
    if (!injected.empty() && !trivial_op(injected[0].first)) {
        EXPECT_TRUE(visible) << "injected failure left no trace\n" << log.dump();
    }
    // A run that reports itself complete did the whole job.
    if (rec.opstatus == 0 || !visible) {
        EXPECT_EQ(ref.objects, objs) << "complete run with a different outcome";
        EXPECT_EQ(ref.merged, s.merged()) << "complete run with a different merged list";
    }
    rerun_completes(s, ref);
}

void delete_object_volume_run(const Fault& f, const DeleteOutcome& ref)
{
    DeleteScene s;
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    s.objfs.fail_call(f.k, f.err);
    error_code ec = s.run(rec);
    auto injected = s.objfs.injected();
    SCOPED_TRACE("object volume k=" + std::to_string(f.k) + " " + errname(f.err));
    figures()["delete objvol inline " + std::string(errname(f.err))]++;
    auto objs = s.objects();
    for (const auto& id : s.prev_objects)
        EXPECT_TRUE(std::binary_search(objs.begin(), objs.end(), id));
    EXPECT_EQ(0, ec.value());
    EXPECT_EQ(ref.merged, s.merged());
    if (!injected.empty()) {
        EXPECT_EQ(-1, rec.opstatus) << "an object left behind is work undone";
        EXPECT_NE(ref.failures, failure_lines(log)) << "failed unlink left no trace\n" << log.dump();
    }
    rerun_completes(s, ref);
}

void print_figures()
{
    for (const auto& f : figures())
        std::printf("[ sweep    ] %-32s %5d runs\n", f.first.c_str(), f.second);
    figures().clear();
}

}  // namespace

// Inline, every call fails in turn (and two past the last, where nothing is left to fail); with
// the pool, where each run costs more, every third call, and every ninth with each errno.
struct SweepMode {
    const char* name;
    bool pool;
    uint64_t past_end;
    uint64_t every;
    uint64_t sample;
};

class FailedCallSweep : public ::testing::TestWithParam<SweepMode> {
protected:
    std::vector<Fault> plan(uint64_t calls) const
    {
        return sweep_plan(calls + GetParam().past_end, GetParam().every, GetParam().sample);
    }
    std::unique_ptr<WithoutPool> m_nopool{GetParam().pool ? nullptr : new WithoutPool};
};

TEST_P(FailedCallSweep, CreationSurvivesEveryFailedCall)
{
    CleanRun ref = clean_create();
    std::printf("[ sweep    ] creation (%s) makes %llu calls\n", GetParam().name,
                static_cast<unsigned long long>(ref.calls));
    ASSERT_GT(ref.calls, 20u);
    for (const Fault& f : plan(ref.calls))
        create_run(f, ref, GetParam().name);
    print_figures();
}

TEST_P(FailedCallSweep, DeletionSurvivesEveryFailedCall)
{
    DeleteOutcome ref = reference_delete();
    std::printf("[ sweep    ] deletion (%s) makes %llu snapshot-volume and %llu object-volume calls\n", GetParam().name,
                static_cast<unsigned long long>(ref.snapcalls), static_cast<unsigned long long>(ref.objcalls));
    ASSERT_GT(ref.snapcalls, 20u);
    for (const Fault& f : plan(ref.snapcalls))
        delete_run(f, ref, GetParam().name);
    // The object volume sees few calls: inline, each fails with every errno.
    if (!GetParam().pool)
        for (const Fault& f : sweep_plan(ref.objcalls, 1, 1))
            delete_object_volume_run(f, ref);
    print_figures();
}

INSTANTIATE_TEST_SUITE_P(FaultSweep, FailedCallSweep,
                         ::testing::Values(SweepMode{"inline", false, 2, 1, 5}, SweepMode{"pool", true, 0, 3, 9}),
                         [](const ::testing::TestParamInfo<SweepMode>& i) { return std::string(i.param.name); });

TEST(FaultSweep, CreationWithoutAllocatorReportsIncompleteSnapshot)
{
    WithoutPool nopool;
    CreateScene s;
    s.fs.set_no_allocator(true);
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, s.run(rec).value());
    EXPECT_EQ(-1, rec.opstatus);
    EXPECT_GT(log.count_level(-1), 0u);
    EXPECT_EQ("", diff(s.live_before, capture(s.vol, "/live")));
}

// A call that throws (an allocation that failed below) inside a pool task is only logged by the
// pool: the work it stopped must still count. Creation reports the snapshot incomplete, and a
// deletion whose batch stopped reports names unresolved, keeping the objects it did not reach.
TEST(FaultSweep, WorkStoppedByAnExceptionInAPoolTaskCountsAsNotDone)
{
    {
        CreateScene s;
        s.fs.fail_op("stat", FaultFs::k_throws, "a/small");
        s.fs.fail_op("opendir", FaultFs::k_throws, "a/b");
        LogCapture log(-1);
        znfssnapcore_opinfo rec;
        EXPECT_EQ(0, s.run(rec).value());
        EXPECT_EQ(-1, rec.opstatus) << log.dump();
        EXPECT_EQ(2u, s.fs.injected_count());
        EXPECT_TRUE(log.contains("stopped by an exception [std::bad_alloc]")) << log.dump();
        EXPECT_EQ("", diff(s.live_before, capture(s.vol, "/live")));
        EXPECT_EQ(pattern(40000, 2), s.vol.read("/snap/h")) << "the other entries are copied";
    }
    {
        DeleteScene s;
        s.snapfs.fail_op("getxattr", FaultFs::k_throws, "f7", 1);
        LogCapture log(-1);
        znfssnapcore_opinfo rec;
        EXPECT_EQ(0, s.run(rec).value());
        EXPECT_EQ(-1, rec.opstatus) << log.dump();
        EXPECT_EQ(1u, s.snapfs.injected_count());
        EXPECT_TRUE(log.contains("incomplete")) << log.dump();
        auto objects = s.objects();
        for (const auto& o : s.prev_objects)
            EXPECT_TRUE(std::find(objects.begin(), objects.end(), o) != objects.end())
                << o << " of the previous snapshot was unlinked";
    }
}

// A volume without a volume-wide flush has each copy flushed on its own, once it is whole: after
// the last of its attributes (the uuid deletion relies on must survive with the data), and for
// an empty file too.
TEST(FaultSweep, CopiesFlushedOneByOneAreFlushedWithTheirAttributes)
{
    struct Recorder : znfs::znfs_api_forward {
        using znfs::znfs_api_forward::znfs_api_forward;
        std::vector<std::string> events;
        std::error_code setxattr(znfs::znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                                 uint64_t flags, znfs::znfs_aio_ptr aio) override
        {
            events.push_back(std::string("setxattr ") + path);
            return znfs_api_forward::setxattr(iopx, path, name, iov, flags, aio);
        }
        std::error_code fsync(znfs::znfs_file_ptr file, znfs::znfs_aio_ptr aio) override
        {
            events.push_back("fsync");
            return znfs_api_forward::fsync(file, aio);
        }
        std::error_code syncfs(znfs::znfs_iopx_ptr, znfs::znfs_aio_ptr) override
        {
            return std::error_code(ENOTSUP, std::generic_category());
        }
    };
    WithoutPool nopool;
    CreateScene s;
    Recorder rec_fs(s.vol.api());
    znfssnapcore_opinfo rec;
    rec.snapfsapi = &rec_fs;
    rec.snapiopx = s.vol.iopx();
    rec.datasetdir = "/live";
    rec.snapdir = "/snap";
    ASSERT_EQ(0, znfssnapcore::snap_opcreate(&rec).value());
    EXPECT_EQ(0, rec.opstatus);
    // Four files and the delete list; each file with attributes has its last one set just
    // before its flush.
    EXPECT_EQ(5, std::count(rec_fs.events.begin(), rec_fs.events.end(), "fsync"));
    for (const char* f : {"/snap//a/big", "/snap//h", "/snap//a/b/empty"}) {
        auto last = std::find(rec_fs.events.rbegin(), rec_fs.events.rend(), std::string("setxattr ") + f);
        ASSERT_NE(last, rec_fs.events.rend()) << f;
        EXPECT_EQ("fsync", *std::prev(last)) << f << " was flushed before its attributes were set";
    }
}

TEST(FaultSweep, DeletionWithoutAllocatorKeepsEveryObject)
{
    WithoutPool nopool;
    DeleteScene s;
    s.snapfs.set_no_allocator(true);
    auto before = s.objects();
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    error_code ec = s.run(rec);
    EXPECT_NE(0, ec.value());
    EXPECT_EQ(-1, rec.opstatus);
    EXPECT_EQ(before, s.objects());
}

TEST(FaultSweep, ShortReadsChangeNothing)
{
    WithoutPool nopool;
    DeleteOutcome ref = reference_delete();
    for (uint64_t piece : {1u, 3u, 100u}) {
        SCOPED_TRACE("reads of at most " + std::to_string(piece) + " bytes");
        DeleteScene s;
        s.snapfs.set_short_reads(piece);
        znfssnapcore_opinfo rec;
        EXPECT_EQ(0, s.run(rec).value());
        EXPECT_EQ(ref.objects, s.objects());
        EXPECT_EQ(ref.merged, s.merged());

        CreateScene c;
        c.fs.set_short_reads(piece);
        znfssnapcore_opinfo crec;
        EXPECT_EQ(0, c.run(crec).value());
        EXPECT_EQ(0, crec.opstatus);
        EXPECT_EQ(capture(c.vol, "/live", {"/.snaps"}), capture(c.vol, "/snap", {"/.delete"}));
    }
}

TEST(FaultSweep, StaleBatchThatCannotBeRemovedStopsTheDeletion)
{
    DeleteScene s;
    s.snapvol.write("/snap2/.delete/delfilebatch_thr1", "f1\nf2\n");
    s.snapfs.fail_op("unlink", EIO, "delfilebatch_thr1");
    auto before = s.objects();
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    EXPECT_EQ(EIO, s.run(rec).value());
    EXPECT_EQ(-1, rec.opstatus);
    EXPECT_EQ(before, s.objects());
    EXPECT_TRUE(log.contains("Failed to remove stale batch file [/snap2/.delete/delfilebatch_thr1]")) << log.dump();
}

TEST(FaultSweep, HandOffThatCannotBeEmptiedLeavesItsBatchAlone)
{
    WithoutPool nopool;
    DeleteOutcome ref = reference_delete();
    DeleteScene s;
    s.snapfs.fail_op("open", EACCES, "delfilebatch_prevsnap_thr1", 1);
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, s.run(rec).value());
    EXPECT_EQ(-1, rec.opstatus) << "names of the batch left alone are work undone";
    EXPECT_TRUE(log.contains("Failed to create file [/snap2/.delete/delfilebatch_prevsnap_thr1]")) << log.dump();
    auto objs = s.objects();
    for (const auto& id : ref.objects)
        EXPECT_TRUE(std::binary_search(objs.begin(), objs.end(), id)) << id;
    EXPECT_GT(objs.size(), ref.objects.size()) << "the first batch's objects are kept";
}

TEST(FaultSweep, NamesLostFromAHandOffFileAreReported)
{
    WithoutPool nopool;
    DeleteScene s;
    s.snapfs.fail_op("write", ENOSPC, "delfilebatch_prevsnap_thr", 1);
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    s.run(rec);
    EXPECT_EQ(-1, rec.opstatus);
    EXPECT_TRUE(log.contains("names lost for previous snap")) << log.dump();
    DeleteOutcome ref = reference_delete();
    rerun_completes(s, ref);
}
