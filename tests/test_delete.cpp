#include <znfssnapcore/znfssnapcore.h>

#include "faultfs.h"
#include "test_access.h"
#include "testvol.h"

#include <znfs/znfs_thpool.h>

#include <znfs/znfs_forward.h>

#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include <array>

#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using znfssnapcore::error_code;
using znfssnapcore::snap_opdelete;
using znfssnapcore::znfssnapcore_opinfo;
using DeleteOp = znfssnapcore::znfssnapdelete::znfssnapdelete;
using test_access = znfssnapcore::znfssnapcore_test_access;
using testvol::k_uuid;
using testvol::LogCapture;
using testvol::TempVolume;
using testvol::WithoutPool;
namespace {

const std::string k_merged = "/snap2/.delete/deletefilelist_prevsnap";

// Two snapshots built by hand on a snapshot volume, their data objects on an object volume.
// /snap2 is the one deleted, /snap1 its previous snapshot.
struct Scene : testvol::SnapshotPair {
    FaultFs snapfs{snapvol.api()};
    FaultFs objfs{objvol.api()};
    znfssnapcore_opinfo rec;

    Scene() { aim(rec, &snapfs, &objfs); }

    static std::string obj(const std::string& id) { return "/objects/" + id; }

    void history()
    {
        testvol::delete_history([this](const auto&... a) { file(a...); }, [this](const auto& text) { dellist(text); });
    }

    // A long list, so that many batches have work.
    void big_history()
    {
        std::string list;
        for (int i = 0; i < 120; ++i) {
            std::string name = "f" + std::to_string(i);
            if (i % 3 != 0)
                file("snap1", name, i % 2 ? name : name + "old");
            if (i % 5 != 0)
                file("snap2", name, name);
            list += name + "\n";
        }
        dellist(list);
    }

    void attach(DeleteOp& d)
    {
        d.m_znfsapi = rec.snapfsapi;
        d.m_iopx = rec.snapiopx;
        d.m_snapdir = rec.snapdir;
    }

    // The deletion's steps by hand, with a chosen number of batches.
    error_code run_batches(uint32_t count)
    {
        DeleteOp d(&rec);
        attach(d);
        d.m_threadcount = count;
        error_code ec = d.deletelist_split();
        if (ec)
            return ec;
        for (uint32_t n = 1; n <= count; ++n)
            d.snap_batchdel_thr(n);
        return d.create_prevsnap_dellist(k_merged);
    }

    std::vector<std::string> objects() const { return objvol.list("/objects"); }
};

class Delete : public ::testing::Test, public Scene {};

TEST_F(Delete, BatchOfThreeNamesHandsOnTheNeededOneAndUnlinksTheOther)
{
    file("snap2", "needed", "same");
    file("snap1", "needed", "same");
    file("snap2", "notneeded", "new");
    file("snap1", "notneeded", "old");
    snapvol.write("/snap2/.delete/delfilebatch_thr1", "nocopy\nneeded\nnotneeded\n");
    LogCapture log;
    DeleteOp d(&rec);
    attach(d);
    d.m_threadcount = 1;
    d.snap_batchdel_thr(1);

    EXPECT_EQ(objfs.calls("unlink"), 1u);
    EXPECT_EQ(objects(), (std::vector<std::string>{"old", "same"}));
    EXPECT_EQ(snapvol.read("/snap2/.delete/delfilebatch_prevsnap_thr1"), "needed\n");
    EXPECT_TRUE(snapvol.exists("/snap2/needed"));
    EXPECT_TRUE(snapvol.exists("/snap2/notneeded"));
    EXPECT_EQ(log.count("Checking file ["), 3u) << log.dump();
    EXPECT_EQ(log.count("File [needed] is needed by previous snap"), 1u);
    EXPECT_EQ(log.count("Deleting file ["), 1u);
    EXPECT_EQ(log.count("Deleting file [/objects/new]"), 1u);
    EXPECT_EQ(log.count("ThrID: "), 2u);
    EXPECT_EQ(log.count_level(-1), 0u) << log.dump();
    EXPECT_EQ(d.names_checked(), 3u);
    EXPECT_EQ(d.names_handed_on(), 1u);
    EXPECT_EQ(d.objects_unlinked(), 1u);
}

TEST_F(Delete, DeletionUnlinksWhatThePreviousSnapshotDoesNotShare)
{
    history();
    LogCapture log;
    error_code ec = snap_opdelete(&rec);
    EXPECT_EQ(ec.value(), 0) << log.dump();
    EXPECT_EQ(rec.opstatus, 0);
    EXPECT_EQ(rec.prevsnap_dellist, k_merged);
    EXPECT_EQ(objects(), (std::vector<std::string>{"c1", "o1", "s"}));
    EXPECT_EQ(snapvol.read(k_merged), "shared\n");
    EXPECT_TRUE(snapvol.exists("/snap2/changed"));
    EXPECT_TRUE(snapvol.exists("/snap2/.delete/deletefilelist"));
    EXPECT_EQ(log.count("Posting batch delete task for thread ["),
              test_access::batch_count(boost::thread::hardware_concurrency()));
    EXPECT_EQ(log.count("Waiting for threads to complete"), 1u);
}

TEST_F(Delete, WithoutPreviousSnapshotEveryObjectWithACopyGoes)
{
    history();
    rec.prevsnapdir.clear();
    LogCapture log;
    error_code ec = snap_opdelete(&rec);
    EXPECT_EQ(ec.value(), 0) << log.dump();
    EXPECT_EQ(rec.opstatus, 0);
    EXPECT_EQ(rec.prevsnap_dellist, k_merged);
    EXPECT_EQ(objects(), (std::vector<std::string>{"c1", "o1"}));
    EXPECT_EQ(snapvol.read(k_merged), "");
    for (uint32_t n = 1; n <= test_access::batch_count(boost::thread::hardware_concurrency()); ++n)
        EXPECT_EQ(snapvol.read("/snap2/.delete/delfilebatch_prevsnap_thr" + std::to_string(n)), "");
    EXPECT_EQ(log.count("No previous version - file not needed"), 4u);
}

TEST_F(Delete, UnreadablePreviousUuidKeepsTheObject)
{
    history();
    snapfs.fail_op("getxattr", EIO, "/snap1/changed");
    LogCapture log;
    EXPECT_EQ(snap_opdelete(&rec).value(), 0);
    EXPECT_TRUE(objvol.exists(obj("c2")));
    EXPECT_EQ(snapvol.read(k_merged), "shared\nchanged\n");
    EXPECT_EQ(log.count("File name [/snap1/changed] uuid unreadable, kept for previous snap"), 1u) << log.dump();
    EXPECT_FALSE(objvol.exists(obj("n")));
    EXPECT_EQ(-1, rec.opstatus) << "a name handed on without knowing is a question left open";
}

TEST_F(Delete, UnreadableOwnUuidKeepsTheObject)
{
    history();
    snapfs.fail_op("getxattr", EIO, "/snap2/d/fresh", 1);
    LogCapture log;
    EXPECT_EQ(snap_opdelete(&rec).value(), 0);
    EXPECT_TRUE(objvol.exists(obj("n")));
    EXPECT_EQ(snapvol.read(k_merged), "shared\nd/fresh\n");
    EXPECT_FALSE(objvol.exists(obj("c2")));
    EXPECT_EQ(-1, rec.opstatus);
}

TEST_F(Delete, FailedUuidReReadUnlinksNothing)
{
    history();
    rec.prevsnapdir.clear();
    snapfs.fail_op("getxattr", EIO, "/snap2/changed", 2);
    LogCapture log;
    EXPECT_EQ(snap_opdelete(&rec).value(), 0);
    EXPECT_TRUE(objvol.exists(obj("c2")));
    EXPECT_EQ(log.count("File name [/snap2/changed] uuid unreadable, nothing unlinked"), 1u) << log.dump();
    EXPECT_FALSE(objvol.exists(obj("n")));
    EXPECT_EQ(-1, rec.opstatus);
}

// Names that ended neither unlinked, nor handed on, nor proven to need nothing are counted,
// the run says it is incomplete, and the same deletion run again finishes the work.
TEST_F(Delete, WorkLeftUndoneIsCountedAndARerunFinishesIt)
{
    history();
    snapfs.fail_op("open", EACCES, "/snap2/d/fresh");
    objfs.fail_op("unlink", EIO, "/objects/c2");
    LogCapture log(-1);
    {
        DeleteOp d(&rec);
        EXPECT_EQ(0, d.opdelete_start().value());
        EXPECT_EQ(2u, d.names_unresolved());
    }
    EXPECT_EQ(-1, rec.opstatus);
    EXPECT_TRUE(objvol.exists(obj("n")));
    EXPECT_TRUE(objvol.exists(obj("c2")));
    EXPECT_TRUE(log.contains("incomplete: [2] names unresolved, run it again")) << log.dump();

    snapfs.clear_faults();
    objfs.clear_faults();
    EXPECT_EQ(0, snap_opdelete(&rec).value());
    EXPECT_EQ(0, rec.opstatus);
    EXPECT_EQ(objects(), (std::vector<std::string>{"c1", "o1", "s"}));
    EXPECT_EQ(snapvol.read(k_merged), "shared\n");
}

// Swaps one name's snapshot copy for another file just before its uuid is read again.
class SwapBeforeReread : public znfs::znfs_api_forward {
public:
    SwapBeforeReread(znfs::znfs_api* target, std::function<void()> swap, std::string path)
        : znfs::znfs_api_forward(target), m_swap(std::move(swap)), m_path(std::move(path))
    {
    }
    int64_t getxattr(znfs::znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                     znfs::znfs_aio_ptr aio) override
    {
        if (m_path == path && iov->iov_len == 0 && ++m_queries == 2)
            m_swap();
        return znfs_api_forward::getxattr(iopx, path, name, iov, aio);
    }

private:
    std::function<void()> m_swap;
    std::string m_path;
    int m_queries = 0;
};

TEST_F(Delete, CopyReplacedAfterTheComparisonUnlinksNothing)
{
    history();
    WithoutPool nopool;
    SwapBeforeReread swapping(
        snapvol.api(),
        [this] {
            snapvol.write("/snap2/.swap", "theirs");
            snapvol.setxattr("/snap2/.swap", k_uuid, obj("c1"));
            ASSERT_EQ(0, ::rename(snapvol.host("/snap2/.swap").c_str(), snapvol.host("/snap2/changed").c_str()));
        },
        "/snap2/changed");
    rec.snapfsapi = &swapping;
    LogCapture log(-1);
    EXPECT_EQ(0, snap_opdelete(&rec).value());
    EXPECT_EQ(-1, rec.opstatus);
    EXPECT_TRUE(objvol.exists(obj("c1"))) << "the previous snapshot's object";
    EXPECT_TRUE(objvol.exists(obj("c2"))) << "nothing unlinked for a name whose copy changed";
    EXPECT_EQ(snapvol.read(k_merged), "shared\nchanged\n");
    EXPECT_TRUE(log.contains("File name [/snap2/changed] uuid changed from [/objects/c2] to [/objects/c1]"))
        << log.dump();
}

// A user who may write a directory of a snapshot renames a copy whose object the live file
// still uses over a listed one: compared by name, its object would go.
TEST_F(Delete, CopiesInDirectoriesOthersMayWriteKeepTheirObjects)
{
    history();
    file("snap2", "d/live", "live");
    file("snap1", "d/live", "live0");
    auto chmod = [this](const char* dir, mode_t mode) { ASSERT_EQ(0, ::chmod(snapvol.host(dir).c_str(), mode)); };
    chmod("/snap2/d", 0777);
    ASSERT_EQ(0, ::rename(snapvol.host("/snap2/d/live").c_str(), snapvol.host("/snap2/d/fresh").c_str()));
    // Writable by root's group alone is root's: "changed" still goes.
    if (geteuid() == 0) {
        chmod("/snap2", 0775);
        ASSERT_EQ(0, ::chown(snapvol.host("/snap2").c_str(), 0, 0));
    }
    LogCapture log(-1);
    EXPECT_EQ(0, snap_opdelete(&rec).value()) << log.dump();
    EXPECT_EQ(0, rec.opstatus) << "a rerun would answer the same";
    EXPECT_TRUE(objvol.exists(obj("live"))) << "the live file's object";
    EXPECT_FALSE(objvol.exists(obj("c2")));
    EXPECT_EQ(snapvol.read(k_merged), "shared\nd/fresh\n");
    EXPECT_TRUE(
        log.contains("File [d/fresh] lies below a directory that others may write: object [/objects/live] "
                     "kept, name handed on"))
        << log.dump();

    // The previous snapshot's answer is as easy to fake; without one the object just stays.
    // A directory another user owns is theirs to open to anyone.
    for (const char* prev : {"/snap1", ""}) {
        SCOPED_TRACE(prev);
        file("snap2", "changed", "c3");
        file("snap1", "d/fresh", "f1");
        file("snap2", "d/fresh", "f2");
        chmod("/snap2/d", 0755);
        chmod("/snap1", 0757);
        aim(rec, &snapfs, &objfs, prev);
        rec.opstatus = -1;
        if (geteuid() == 0) {
            ASSERT_EQ(0, ::chown(snapvol.host("/snap2/d").c_str(), 65534, 0));
        } else {
            chmod("/snap2/d", 0775);
        }
        DeleteOp d(&rec);
        EXPECT_EQ(0, d.opdelete_start().value()) << log.dump();
        EXPECT_EQ(0, rec.opstatus);
        EXPECT_EQ(*prev != 0, objvol.exists(obj("c3"))) << "the previous snapshot's root is open to all";
        EXPECT_TRUE(objvol.exists(obj("f2")));
        EXPECT_EQ(d.names_unguarded(), *prev ? 2u : 1u);
        if (geteuid() == 0) {
            ASSERT_EQ(0, ::chown(snapvol.host("/snap2/d").c_str(), 0, 0));
        }
    }

    // What others may do in the directory decides, ACL entries past their mask included; a
    // directory no one else may enter guards everything below it. A sticky one is not trusted:
    // a copy moved in from a directory open to all could fill a name that has none.
    auto acl = [](unsigned user_perm, unsigned mask) {
        std::string v("\x02\0\0\0", 4);
        for (std::array<unsigned, 3> e : {std::array<unsigned, 3>{0x01, 7, ~0u},
                                          {0x02, user_perm, 65534},
                                          {0x04, 5, ~0u},
                                          {0x10, mask, ~0u},
                                          {0x20, 5, ~0u}})
            for (unsigned x :
                 {e[0] & 0xff, e[0] >> 8, e[1], 0u, e[2] & 0xff, (e[2] >> 8) & 0xff, (e[2] >> 16) & 0xff, e[2] >> 24})
                v.push_back(static_cast<char>(x));
        return v;
    };
    struct Row {
        const char* what;
        mode_t root, dir;
        std::string acl;
        bool unlinked;
    } rows[] = {
        {"root's group may write", 0755, 0775, "", geteuid() == 0},
        {"sticky, open to all", 0755, 01777, "", false},
        {"a named user may read", 0755, 0775, acl(5, 7), geteuid() == 0},
        {"a named user may write", 0755, 0775, acl(7, 7), false},
        {"a named user's write masked", 0755, 0755, acl(7, 5), true},
        {"open to all below a root no one else may enter", 0700, 0777, "", true},
    };
    aim(rec, &snapfs, &objfs, "/snap1");
    chmod("/snap1", 0755);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        file("snap2", "d/fresh", "f3");
        chmod("/snap2", row.root);
        chmod("/snap2/d", row.dir);
        const std::string host = snapvol.host("/snap2/d");
        ::removexattr(host.c_str(), "system.posix_acl_access");
        if (!row.acl.empty() &&
            ::setxattr(host.c_str(), "system.posix_acl_access", row.acl.data(), row.acl.size(), 0) != 0)
            continue;  // no POSIX ACLs on this file system
        EXPECT_EQ(0, snap_opdelete(&rec).value()) << log.dump();
        EXPECT_NE(row.unlinked, objvol.exists(obj("f3")));
    }
}

TEST_F(Delete, ReferenceCheckAnswersNotNeededOnlyWhenItKnows)
{
    file("snap1", "same", "x");
    file("snap2", "same", "x");
    file("snap2", "new", "y");
    file("snap1", "noattr", "");
    file("snap2", "noattr", "z");
    LogCapture log;
    DeleteOp d(&rec);
    attach(d);

    EXPECT_TRUE(d.is_file_needed("same"));
    // One object spelled two ways is one object, and a ".." is not judged from the names.
    file("snap1", "spelled", "o");
    file("snap2", "spelled", "o");
    for (const char* spelled : {"objects/o", "/objects//./o", "/x/../objects/other"}) {
        snapvol.setxattr("/snap2/spelled", k_uuid, spelled);
        EXPECT_TRUE(d.is_file_needed("spelled")) << spelled;
    }
    snapvol.setxattr("/snap2/spelled", k_uuid, "/objects/o2");
    EXPECT_FALSE(d.is_file_needed("spelled"));
    EXPECT_FALSE(d.is_file_needed("new"));     // ENOENT on the previous copy
    EXPECT_FALSE(d.is_file_needed("noattr"));  // ENODATA on the previous copy
    snapvol.write("/snap1/dir", "");
    file("snap2", "dir/under", "u");
    EXPECT_FALSE(d.is_file_needed("dir/under"));  // ENOTDIR on the previous copy
    EXPECT_EQ(log.count("uuid unreadable"), 0u);
    for (int err : {EIO, ENOMEM, EACCES}) {
        for (const char* which : {"/snap2/new", "/snap1/new"}) {
            snapfs.reset();
            snapfs.fail_op("getxattr", err, which, 1);
            EXPECT_TRUE(d.is_file_needed("new")) << err << which;
        }
    }
    snapfs.reset();
    snapfs.set_no_allocator(true);
    EXPECT_TRUE(d.is_file_needed("same"));
    EXPECT_TRUE(d.is_file_needed("new"));
    snapfs.set_no_allocator(false);
    for (const testvol::LogLine& l : log.lines()) {
        if (l.message.find("uuid unreadable") != std::string::npos) {
            EXPECT_EQ(l.function, "znfssnapdelete::is_file_needed()");
        }
    }
    EXPECT_EQ(log.count("uuid unreadable, kept for previous snap"), 8u) << log.dump();
}

TEST_F(Delete, EmptyUuidsAreNotNeeded)
{
    file("snap1", "a", "a");
    file("snap2", "a", "");
    snapvol.setxattr("/snap2/a", k_uuid, "");
    file("snap1", "b", "");
    snapvol.setxattr("/snap1/b", k_uuid, "");
    file("snap2", "b", "b");
    LogCapture log;
    DeleteOp d(&rec);
    attach(d);
    EXPECT_FALSE(d.is_file_needed("a"));
    EXPECT_FALSE(d.is_file_needed("b"));
    EXPECT_EQ(log.count("Zero size extended attribute [trusted.vidoruvud.uuid] from file [/snap2/a]"), 1u);
    EXPECT_EQ(log.count("File name [/snap1/b] getattr uuid failed"), 1u) << log.dump();
}

TEST_F(Delete, GetxattrLeavesErrnoAndValueOnFailure)
{
    file("snap2", "a", "a");
    LogCapture log;
    znfs::znfs_debug logger;
    using znfssnapcore::znfssnapdelete::file_getxattr;
    snapfs.fail_op("getxattr", EACCES, "/snap2/a", 2);
    std::string value = "keep";
    errno = 0;
    EXPECT_EQ(file_getxattr(&snapfs, rec.snapiopx, "/snap2/a", k_uuid, value, logger), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(value, "keep");
    EXPECT_EQ(log.count("File name [/snap2/a] getattr [trusted.vidoruvud.uuid] failed"), 1u);
    EXPECT_EQ(file_getxattr(&snapfs, rec.snapiopx, "/snap2/a", k_uuid, value, logger),
              static_cast<int64_t>(obj("a").size()));
    EXPECT_EQ(value, obj("a"));
}

TEST_F(Delete, NamesWithParentComponentsAreSkipped)
{
    file("snap1", "b", "sentinel");
    snapvol.mkdir("/snap2/x");
    rec.prevsnapdir.clear();
    dellist("../snap1/b\n..\nx/../../snap1/b\nx/..\n");
    LogCapture log;
    EXPECT_EQ(snap_opdelete(&rec).value(), 0);
    EXPECT_TRUE(objvol.exists(obj("sentinel")));
    EXPECT_EQ(objfs.calls("unlink"), 0u);
    EXPECT_EQ(snapfs.calls("getxattr"), 0u);
    EXPECT_EQ(log.count("Skipping unsafe name ["), 4u) << log.dump();
    EXPECT_EQ(log.count("Skipping unsafe name [../snap1/b]"), 1u);
}

TEST_F(Delete, UuidPathsStayOnTheObjectVolume)
{
    rec.prevsnapdir.clear();
    file("snap2", "escape", "");
    snapvol.setxattr("/snap2/escape", k_uuid, "/../../etc/x");
    objvol.mkdir("/etc");
    objvol.write("/etc/x", "inside");
    std::string sibling = snapvol.root().substr(snapvol.root().rfind('/') + 1);
    snapvol.write("/outside", "keep");
    file("snap2", "sibling", "");
    snapvol.setxattr("/snap2/sibling", k_uuid, "/../" + sibling + "/outside");
    dellist("escape\nsibling\n");
    LogCapture log;
    EXPECT_EQ(snap_opdelete(&rec).value(), 0);
    EXPECT_FALSE(objvol.exists("/etc/x"));
    EXPECT_TRUE(snapvol.exists("/outside"));
    EXPECT_EQ(objfs.calls("unlink"), 2u);
    EXPECT_EQ(snapfs.calls("unlink"), test_access::batch_count(boost::thread::hardware_concurrency()));
}

TEST_F(Delete, StaleBatchFilesAreNotProcessed)
{
    history();
    file("snap2", "stale", "stale");
    uint32_t count = test_access::batch_count(boost::thread::hardware_concurrency());
    for (uint32_t n = 1; n <= count; ++n)
        snapvol.write("/snap2/.delete/delfilebatch_thr" + std::to_string(n), "stale\n");
    dellist("changed\n");
    LogCapture log;
    EXPECT_EQ(snap_opdelete(&rec).value(), 0);
    EXPECT_TRUE(objvol.exists(obj("stale")));
    EXPECT_FALSE(objvol.exists(obj("c2")));
    EXPECT_EQ(log.count("Checking file [stale]"), 0u) << log.dump();
    EXPECT_EQ(snapvol.read("/snap2/.delete/delfilebatch_thr1"), "changed\n");
}

TEST_F(Delete, MissingDeleteListStopsBeforeAnyBatch)
{
    history();
    ::unlink(snapvol.host("/snap2/.delete/deletefilelist").c_str());
    LogCapture log;
    error_code ec = snap_opdelete(&rec);
    EXPECT_EQ(ec, error_code(ENOENT, std::generic_category()));
    EXPECT_EQ(rec.opstatus, -1);
    EXPECT_EQ(rec.prevsnap_dellist, "");
    EXPECT_EQ(log.count("Split delete filelist failed for snapdir [/snap2]"), 1u) << log.dump();
    EXPECT_EQ(log.count("Checking file"), 0u);
    EXPECT_FALSE(snapvol.exists("/snap2/.delete/delfilebatch_prevsnap_thr1"));
    EXPECT_EQ(objects().size(), 5u);
}

// A previous snapshot that is not there would make every copy read as absent and unlink the
// objects it shares: a misspelt or vanished one, or a file, stops the deletion untouched.
TEST_F(Delete, PreviousSnapshotThatIsNoDirectoryStopsBeforeAnything)
{
    history();
    snapvol.write("/plainfile", "x");
    for (auto c : {std::make_pair("/snap1-typo", ENOENT), std::make_pair("/plainfile", ENOTDIR)}) {
        SCOPED_TRACE(c.first);
        rec.prevsnapdir = c.first;
        LogCapture log;
        EXPECT_EQ(snap_opdelete(&rec).value(), c.second);
        EXPECT_EQ(rec.opstatus, -1);
        EXPECT_EQ(log.count("is not a directory"), 1u) << log.dump();
        EXPECT_EQ(log.count("Checking file"), 0u);
        EXPECT_FALSE(snapvol.exists("/snap2/.delete/delfilebatch_thr1"));
        EXPECT_EQ(objects().size(), 5u);
    }
}

TEST_F(Delete, EmptyDeleteListSucceedsWithEmptyMergedList)
{
    history();
    dellist("");
    snapvol.write(k_merged, "left over\n");
    LogCapture log;
    EXPECT_EQ(snap_opdelete(&rec).value(), 0) << log.dump();
    EXPECT_EQ(rec.opstatus, 0);
    EXPECT_EQ(snapvol.read(k_merged), "");
    EXPECT_EQ(objects().size(), 5u);
    EXPECT_FALSE(snapvol.exists("/snap2/.delete/delfilebatch_thr1"));
}

TEST_F(Delete, IncompleteRecordIsRefusedUntouched)
{
    history();
    LogCapture log;
    rec.objfsapi = nullptr;
    rec.snapdir.clear();
    rec.prevsnap_dellist = "old";
    error_code ec = snap_opdelete(&rec);
    EXPECT_EQ(ec, error_code(EINVAL, std::generic_category()));
    EXPECT_EQ(rec.opstatus, -1);
    EXPECT_EQ(rec.prevsnap_dellist, "");
    EXPECT_EQ(snapfs.calls(), 0u);
    EXPECT_EQ(objfs.calls(), 0u);
    EXPECT_EQ(log.count("Invalid operation record"), 2u) << log.dump();
}

TEST_F(Delete, BatchReadFailureStopsTheBatchInsteadOfReadingNameTails)
{
    rec.prevsnapdir.clear();
    file("snap2", "xa", "xa");
    file("snap2", "a", "a");
    file("snap2", "b", "b");
    snapvol.write("/snap2/.delete/delfilebatch_thr1", "b\nxa\n");
    snapfs.fail_op("read", EIO, "delfilebatch_thr1", 2);
    LogCapture log;
    DeleteOp d(&rec);
    attach(d);
    error_code ec =
        d.snap_delete_batch("/snap2/.delete/delfilebatch_thr1", "/snap2/.delete/delfilebatch_prevsnap_thr1");
    EXPECT_EQ(ec, error_code(EIO, std::generic_category()));
    EXPECT_FALSE(objvol.exists(obj("b")));
    EXPECT_TRUE(objvol.exists(obj("a")));
    EXPECT_TRUE(objvol.exists(obj("xa")));
    EXPECT_EQ(log.count("Checking file [a]"), 0u) << log.dump();
}

class Merge : public Delete {
protected:
    void handoff(int n, const std::string& text)
    {
        snapvol.write("/snap2/.delete/delfilebatch_prevsnap_thr" + std::to_string(n), text);
    }
    error_code merge() { return merge_into(k_merged); }
    error_code merge_into(const std::string& path)
    {
        DeleteOp d(&rec);
        attach(d);
        d.m_threadcount = 4;
        return d.create_prevsnap_dellist(path);
    }
};

TEST_F(Merge, HandOffFilesAreConcatenatedInNumberOrder)
{
    handoff(1, "a\n");
    handoff(2, "");
    handoff(3, "b\nc\n");
    snapvol.write(k_merged, "from an earlier run\n");
    LogCapture log;
    EXPECT_EQ(merge().value(), 0) << log.dump();
    EXPECT_EQ(snapvol.read(k_merged), "a\nb\nc\n");
    EXPECT_EQ(log.count_level(-1), 0u);
}

// One call of the merge failing: the merge returns its errno, and the list keeps the names of
// every hand-off file appended after it.
struct MergeFault {
    const char* name;
    const char* op;
    std::vector<std::pair<int, std::string>> handoffs;  // number, content
    const char* path;                                   // the call that fails, and which one
    int nth;
    int err;
    std::string merged;
    std::string line;
};

class MergeFaults : public Merge, public ::testing::WithParamInterface<MergeFault> {};

TEST_P(MergeFaults, FailedCallKeepsTheRest)
{
    const MergeFault& f = GetParam();
    for (const auto& h : f.handoffs)
        handoff(h.first, h.second);
    snapfs.fail_op(f.op, f.err, f.path, f.nth);
    LogCapture log;
    EXPECT_EQ(merge(), error_code(f.err, std::generic_category()));
    EXPECT_EQ(snapvol.read(k_merged), f.merged);
    EXPECT_EQ(log.count(f.line), 1u) << log.dump();
}

const MergeFault k_merge_faults[] = {
    // A failed reopen of the list counts as a failed append.
    {"Reopen",
     "open",
     {{1, "a\n"}, {3, "b\nc\n"}},
     "deletefilelist_prevsnap",
     2,
     EIO,
     "b\nc\n",
     "Failed to reopen file [" + k_merged + "]"},
    // The second open of hand-off file 2 is the append's (the first tests that it exists).
    {"Append",
     "open",
     {{1, "a\n"}, {2, "x\n"}, {3, "b\nc\n"}},
     "delfilebatch_prevsnap_thr2",
     2,
     EACCES,
     "a\nb\nc\n",
     "File append failed from [/snap2/.delete/delfilebatch_prevsnap_thr2] to file [" + k_merged + "] with error [13]"},
    // The close after an append may be where its write is told lost (the data is there here).
    {"CloseAfterAppend",
     "close",
     {{1, "a\n"}, {3, "b\nc\n"}},
     "deletefilelist_prevsnap",
     2,
     ENOSPC,
     "a\nb\nc\n",
     "Failed to close file [" + k_merged + "]"},
};

INSTANTIATE_TEST_SUITE_P(Merge, MergeFaults, ::testing::ValuesIn(k_merge_faults),
                         [](const ::testing::TestParamInfo<MergeFault>& i) { return std::string(i.param.name); });

TEST_F(Merge, ListThatCannotBeCreatedMergesNothing)
{
    handoff(1, "a\n");
    LogCapture log;
    EXPECT_EQ(merge_into(""), error_code(EINVAL, std::generic_category()));
    EXPECT_EQ(log.count("Filename for deletelist of previous snap missing"), 1u);
    snapfs.fail_op("open", ENOSPC, "deletefilelist_prevsnap");
    EXPECT_EQ(merge(), error_code(ENOSPC, std::generic_category()));
    EXPECT_EQ(log.count("Failed to create file [" + k_merged + "]"), 1u) << log.dump();
}

TEST(DeleteRuns, PoolAndInlineRunsAgree)
{
    LogCapture log(-1);
    Scene pooled, serial;
    pooled.big_history();
    serial.big_history();
    error_code pooled_ec = snap_opdelete(&pooled.rec);
    error_code serial_ec;
    {
        WithoutPool nopool;
        serial_ec = snap_opdelete(&serial.rec);
    }
    EXPECT_EQ(pooled_ec, serial_ec);
    EXPECT_EQ(pooled.rec.opstatus, serial.rec.opstatus);
    EXPECT_EQ(pooled.objects(), serial.objects());
    EXPECT_EQ(pooled.snapvol.read(k_merged), serial.snapvol.read(k_merged));
    EXPECT_EQ(pooled.objfs.calls("unlink"), serial.objfs.calls("unlink"));
    EXPECT_EQ(pooled.objfs.calls("unlink"), 64u);
}

TEST(DeleteRuns, OneAndSixtyFourBatchesAgree)
{
    LogCapture log(-1);
    Scene one, many;
    one.big_history();
    many.big_history();
    EXPECT_EQ(one.run_batches(1).value(), 0);
    EXPECT_EQ(many.run_batches(64).value(), 0);
    EXPECT_EQ(one.objects(), many.objects());
    EXPECT_EQ(one.objfs.calls("unlink"), many.objfs.calls("unlink"));
    // Batches are contiguous pieces merged in number order, so even the order agrees.
    EXPECT_EQ(one.snapvol.read(k_merged), many.snapvol.read(k_merged));
    EXPECT_FALSE(one.snapvol.read(k_merged).empty());
    EXPECT_TRUE(many.snapvol.exists("/snap2/.delete/delfilebatch_thr40"));
}

}  // namespace
