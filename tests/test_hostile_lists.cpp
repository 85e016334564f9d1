// Snapshot deletion over delete lists built to hurt it: names that climb out of the snapshot,
// absolute names, a huge line, NUL bytes, CRLF, empty lines, duplicates, a million names and a
// list without its last line feed. Every run ends and unlinks exactly what it should; files
// outside both volumes and objects nobody listed survive.
#include <znfssnapcore/znfssnapcore.h>

#include "testvol.h"

#include <znfs/znfs_thpool.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using znfssnapcore::error_code;
using znfssnapcore::znfssnapcore_opinfo;
using testvol::k_uuid;
using testvol::LogCapture;
using testvol::TempVolume;
namespace {

// A file outside both volumes.
struct Outside {
    std::string dir;
    Outside()
    {
        char tmpl[] = "/tmp/znfsoutside.XXXXXX";
        dir = mkdtemp(tmpl);
        std::ofstream(dir + "/keep") << "outside";
    }
    ~Outside() { testvol::remove_tree(dir); }
    bool intact() const
    {
        std::ifstream in(dir + "/keep");
        std::string s;
        std::getline(in, s);
        return s == "outside";
    }
};

// /snap2 is deleted; /snap1 is its previous snapshot; every object lives in /objects.
struct ListScene : testvol::SnapshotPair {
    Outside outside;
    std::set<std::string> all_objects;

    ListScene()
    {
        snapvol.mkdir("/live");
        objvol.write("/objects/bystander", "nobody lists me");
        all_objects.insert("bystander");
        // Objects the ".." names would reach if they were followed.
        file("snap1", "b", "prev-b");
        file("live", "b", "live-b");
    }

    void file(const std::string& snap, const std::string& name, const std::string& id)
    {
        all_objects.insert(SnapshotPair::file(snap, name, id));
    }

    error_code run(const std::string& list, znfssnapcore_opinfo& rec, const std::string& prev = "")
    {
        dellist(list);
        aim(rec, snapvol.api(), objvol.api(), prev);
        return znfssnapcore::snap_opdelete(&rec);
    }

    // The objects that are gone.
    std::set<std::string> unlinked() const
    {
        auto left = objvol.list("/objects");
        std::set<std::string> gone;
        for (const auto& o : all_objects)
            if (!std::binary_search(left.begin(), left.end(), o))
                gone.insert(o);
        return gone;
    }

    std::string merged() const { return snapvol.read("/snap2/.delete/deletefilelist_prevsnap"); }
};

}  // namespace

TEST(HostileLists, ParentComponentsNeverLeaveTheSnapshot)
{
    ListScene s;
    s.file("snap2", "a", "a");
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, s.run("../snap1/b\n..\n../live/b\na/..\nx/../../snap1/b\n/../snap1/b\n./../live/b\na\n", rec).value());
    EXPECT_EQ(std::set<std::string>{"a"}, s.unlinked());
    EXPECT_EQ(7u, log.count("Skipping unsafe name [")) << log.dump();
    EXPECT_TRUE(s.outside.intact());
}

TEST(HostileLists, AbsoluteNamesStayInsideTheSnapshot)
{
    ListScene s;
    s.file("snap2", "a", "a");
    s.file("snap2", "d/e", "e");
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, s.run("/a\n//d/e\n/snap1/b\n" + s.outside.dir + "/keep\n", rec).value());
    EXPECT_EQ((std::set<std::string>{"a", "e"}), s.unlinked());
    EXPECT_TRUE(s.outside.intact());
}

TEST(HostileLists, UuidsNamingHostPathsStayOnTheObjectVolume)
{
    ListScene s;
    s.snapvol.write("/snap2/host", "x");
    s.snapvol.setxattr("/snap2/host", k_uuid, s.outside.dir + "/keep");
    s.snapvol.write("/snap2/climb", "x");
    s.snapvol.setxattr("/snap2/climb", k_uuid, "/../../../../../../.." + s.outside.dir + "/keep");
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, s.run("host\nclimb\n", rec).value());
    EXPECT_TRUE(s.unlinked().empty());
    EXPECT_TRUE(s.outside.intact());
}

// A name longer than any path names nothing: it is skipped with a short line, and a line of
// any length costs bounded memory (the deletion runs in a child whose peak is measured).
TEST(HostileLists, HundredMegabyteLineIsSkippedInBoundedMemoryAndTheNextLineStillCounts)
{
    ListScene s;
    s.file("snap2", "a", "a");
    s.file("snap2", "z", "z");
    std::string huge(100 << 20, 'q');
    huge[5000] = '/';
    s.dellist("a\n" + huge + "\nz\n");
    huge = std::string();
    long resident = 0;
    {
        std::ifstream statm("/proc/self/statm");
        long pages = 0;
        statm >> pages >> resident;
    }
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        size_t longest = 0;
        int outcome = 0;
        {
            testvol::WithoutPool nopool;
            LogCapture log(-1);
            znfssnapcore_opinfo rec;
            s.aim(rec, s.snapvol.api(), s.objvol.api(), "");
            outcome = znfssnapcore::snap_opdelete(&rec).value() == 0 && rec.opstatus == 0 ? 0 : 1;
            for (const auto& l : log.lines())
                longest = std::max(longest, l.message.size());
            if (!log.contains("Skipping name of [104857600] bytes, longer than any path"))
                outcome |= 2;
        }
        _exit(outcome | (longest > 1024 ? 4 : 0));
    }
    int status = 0;
    struct rusage ru {};
    ASSERT_EQ(child, wait4(child, &status, 0, &ru));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "1: failed or incomplete, 2: no skip line, 4: a log line over 1 KiB";
    long grown_kib = ru.ru_maxrss - resident * (sysconf(_SC_PAGESIZE) / 1024);
    EXPECT_LT(grown_kib, 64 * 1024) << "peak grew by " << grown_kib << " KiB";
    EXPECT_EQ((std::set<std::string>{"a", "z"}), s.unlinked());
}

// A link where a copy should be, or in a component above it, is never followed: on the deleted
// snapshot's side it is no copy (nothing unlinked), on the previous snapshot's side its object
// may still be used (handed on, kept).
TEST(HostileLists, LinksWhereCopiesShouldBeUnlinkNothing)
{
    ListScene s;
    s.snapvol.symlink("/live/b", "/snap2/theirs");
    s.snapvol.symlink("/live", "/snap2/dirlink");
    s.file("snap2", "shared", "mine");
    s.file("live", "copy-of-shared", "mine");
    s.snapvol.symlink("/live/copy-of-shared", "/snap1/shared");
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, s.run("theirs\ndirlink/b\nshared\n", rec, "/snap1").value());
    EXPECT_EQ(0, rec.opstatus) << log.dump();
    EXPECT_TRUE(s.unlinked().empty()) << "objects reached through links were unlinked";
    EXPECT_EQ("shared\n", s.merged());
    EXPECT_TRUE(log.contains("File [/snap2/theirs] is a symbolic link, not a copy: nothing unlinked")) << log.dump();
    EXPECT_TRUE(log.contains("File name [/snap1/shared] is a symbolic link, kept for previous snap"));
}

TEST(HostileLists, NulEndsANameAndSmugglesNothing)
{
    ListScene s;
    s.file("snap2", "a", "a");
    s.file("snap2", "c", "c");
    std::string list("a\0c\nb\0../snap1/b\n\0\0\n", 20);
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, s.run(list, rec).value());
    EXPECT_EQ((std::set<std::string>{"a", "c"}), s.unlinked());
    EXPECT_EQ(1u, log.count("Skipping unsafe name [../snap1/b]")) << log.dump();
}

TEST(HostileLists, CrlfEmptyLinesDuplicatesAndAMissingLastLineFeed)
{
    ListScene s;
    s.file("snap2", "cr", "cr");
    s.file("snap2", "dup", "dup");
    s.file("snap2", "shared", "shared");
    s.file("snap1", "shared", "shared");
    s.file("snap2", "last", "last");
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, s.run("cr\r\n\n\n\ndup\ndup\nshared\r\nshared\nshared\n\nlast", rec, "/snap1").value());
    EXPECT_EQ(0, rec.opstatus);
    // "cr\r" names no copy; the CR is part of the name, never dropped.
    EXPECT_EQ((std::set<std::string>{"dup", "last"}), s.unlinked());
    EXPECT_EQ("shared\nshared\n", s.merged());
    EXPECT_FALSE(log.contains("Failed to unlink")) << "a duplicate's second unlink is not a failure";
}

TEST(HostileLists, MillionNamesMostlyWithoutCopies)
{
    ListScene s;
    std::string list;
    list.reserve(9u << 20);
    std::set<std::string> want;
    for (int i = 0; i < 1000000; ++i) {
        std::string name = "n" + std::to_string(i);
        if (i % 100000 == 7) {
            s.file("snap2", name, name);
            want.insert(name);
        }
        list += name;
        list += '\n';
    }
    testvol::with_and_without_pool([&](bool) {
        znfssnapcore_opinfo rec;
        EXPECT_EQ(0, s.run(list, rec).value());
        EXPECT_EQ(0, rec.opstatus);
        EXPECT_EQ(want, s.unlinked());
        EXPECT_TRUE(s.outside.intact());
    });
}

TEST(HostileLists, UuidsNamingDirectoriesRemoveNothing)
{
    ListScene s;
    const std::vector<std::string> uuids = {"/", "/objects", "/objects/", ".", "/objects/.", std::string(3000, 'u')};
    std::string list;
    for (size_t i = 0; i < uuids.size(); ++i) {
        std::string name = "u" + std::to_string(i);
        s.snapvol.write("/snap2/" + name, "x");
        s.snapvol.setxattr("/snap2/" + name, k_uuid, uuids[i]);
        list += name + "\n";
    }
    LogCapture log(-1);
    znfssnapcore_opinfo rec;
    EXPECT_EQ(0, s.run(list, rec).value());
    EXPECT_TRUE(s.unlinked().empty());
    EXPECT_EQ(uuids.size(), log.count("Failed to unlink object [")) << log.dump();
}
