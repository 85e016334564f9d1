// A deletion killed at any point and run again ends where an uninterrupted deletion ends: the
// same objects unlinked and the same previous-snapshot delete list (as a multiset of names).
// The command `znfssnap delete` is killed with SIGKILL once the object volume shows a chosen
// amount of progress, while its delete list is being split, or when the merge begins.
// A hand-off (`znfssnap handoff`) cut short at any of its steps and run again appends every
// handed-on name exactly once.
#include "testvol.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using testvol::k_uuid;
using testvol::TempVolume;

namespace {

// A snapshot pair and its object volume, the same every time it is built.
struct Pair : testvol::SnapshotPair {
    size_t objects = 0;

    explicit Pair(int names)
    {
        std::string list;
        for (int i = 0; i < names; ++i) {
            std::string name = "d" + std::to_string(i % 7) + "/f" + std::to_string(i);
            std::string id = "o" + std::to_string(i);
            if (i % 4 != 3)
                put("/snap2/" + name, id);
            if (i % 4 == 0)
                put("/snap1/" + name, id);  // shared: handed on
            else if (i % 4 == 1)
                put("/snap1/" + name, id + "old");  // changed: unlinked
            list += name + "\n";
            if (i % 10 == 0)
                list += name + "\n";  // listed twice
        }
        dellist(list);
        // The previous snapshot is a finished one: the command hands names on only to that.
        snapvol.mkdir("/snap1/.delete");
        snapvol.write("/snap1/.delete/deletefilelist", "");
    }

    void put(const std::string& path, const std::string& id)
    {
        snapvol.mkdir(path.substr(0, path.rfind('/')));
        snapvol.write(path, "data");
        snapvol.setxattr(path, k_uuid, "/objects/" + id);
        if (!objvol.exists("/objects/" + id)) {
            objvol.write("/objects/" + id, id);
            ++objects;
        }
    }

    // Starts znfssnap COMMAND --volume SNAPVOL ARGS, its output thrown away.
    pid_t spawn(const std::string& command, const std::vector<std::string>& args) const
    {
        std::string cmd = testvol::znfssnap_path();
        std::vector<std::string> words = {cmd, command, "--volume", snapvol.root()};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            int null = ::open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execv(cmd.c_str(), argv.data());
            _exit(127);
        }
        return pid;
    }

    // Runs it to its end; its exit status.
    int call(const std::string& command, const std::vector<std::string>& args) const
    {
        int status = 0;
        waitpid(spawn(command, args), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t start() const
    {
        return spawn("delete", {"--object-volume", objvol.root(), "--snapdir", "/snap2", "--prevsnap", "/snap1"});
    }

    // Runs the deletion to its end; its exit status.
    int run() const
    {
        int status = 0;
        waitpid(start(), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int handoff() const { return call("handoff", {"--snapdir", "/snap2", "--prevsnap", "/snap1"}); }

    std::vector<std::string> left() const { return objvol.list("/objects"); }

    std::multiset<std::string> merged() const
    {
        std::multiset<std::string> out;
        std::istringstream in(snapvol.read("/snap2/.delete/deletefilelist_prevsnap"));
        for (std::string line; std::getline(in, line);)
            out.insert(line);
        return out;
    }
};

}  // namespace

TEST(CrashRerun, KilledDeletionRerunEndsLikeAnUninterruptedOne)
{
    ASSERT_EQ(0, access(testvol::znfssnap_path().c_str(), X_OK)) << testvol::znfssnap_path();
    const int names = 1500;
    Pair reference(names);
    ASSERT_EQ(0, reference.run());
    const auto want_left = reference.left();
    const auto want_merged = reference.merged();
    const size_t unlinkable = reference.objects - want_left.size();
    ASSERT_GT(unlinkable, 100u);

    unsigned seed = std::random_device{}();
    std::printf("[ crash    ] seed %u\n", seed);
    std::mt19937 rng(seed);
    int killed_midway = 0;
    const int rounds = 8;
    for (int round = 0; round < rounds; ++round) {
        Pair pair(names);
        // Round 0 is killed as soon as the split has written its first batch, round 1 as soon
        // as the merge has begun; the others once a random number of objects is gone.
        size_t target = round < 2 ? 0 : 1 + rng() % (unlinkable - 1);
        SCOPED_TRACE("round " + std::to_string(round) + " kill after " + std::to_string(target) + " unlinks");
        const std::string objects = pair.objvol.host("/objects");
        const std::string batch = pair.snapvol.host(round == 0 ? "/snap2/.delete/delfilebatch_thr1"
                                                               : "/snap2/.delete/deletefilelist_prevsnap");
        pid_t pid = pair.start();
        bool exited = false;
        int status = 0;
        for (;;) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                break;
            }
            bool reached = target == 0 ? access(batch.c_str(), F_OK) == 0
                                       : pair.objects - testvol::names_in(objects).size() >= target;
            if (reached)
                break;
            std::this_thread::yield();
        }
        if (!exited) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            if (WIFSIGNALED(status))
                ++killed_midway;
        }
        EXPECT_EQ(0, pair.run()) << "the rerun failed";
        EXPECT_EQ(want_left, pair.left());
        EXPECT_EQ(want_merged, pair.merged());
    }
    std::printf("[ crash    ] %d of %d runs killed before their end\n", killed_midway, rounds);
}

TEST(CrashRerun, HandoffCutShortIsFinishedExactlyOnce)
{
    ASSERT_EQ(0, access(testvol::znfssnap_path().c_str(), X_OK)) << testvol::znfssnap_path();
    // Where the run stopped: before it began; its marker cut while written; the marker
    // written; the append half done; the append done; the hand-off recorded as done, its
    // marker not yet removed.
    const char* const cuts[] = {"none", "marker cut", "marker", "half appended", "appended", "done"};
    const std::string list = "/snap1/.delete/deletefilelist", pending = "/snap1/.delete/handoff_pending";
    for (int cut = 0; cut < 6; ++cut) {
        SCOPED_TRACE(std::string("cut: ") + cuts[cut]);
        Pair pair(300);
        pair.snapvol.write(list, "older\n");
        ASSERT_EQ(0, pair.run());
        const std::string handed = pair.snapvol.read("/snap2/.delete/deletefilelist_prevsnap");
        ASSERT_GT(handed.size(), 100u);
        const std::string marker = "6 " + std::to_string(handed.size()) + " /snap2\n";
        if (cut == 1)
            pair.snapvol.write(pending, marker.substr(0, 4));
        if (cut >= 2)
            pair.snapvol.write(pending, marker);
        if (cut == 3)
            pair.snapvol.write(list, "older\n" + handed.substr(0, handed.size() / 2 + 3));
        if (cut >= 4)
            pair.snapvol.write(list, "older\n" + handed);
        if (cut == 5)
            pair.snapvol.write("/snap2/.delete/handoff_done", "6 " + std::to_string(handed.size()) + " /snap1\n");
        if (cut == 2 || cut == 3) {
            // Until the hand-off is finished, nothing else may write or rewrite either list.
            const std::string before = pair.snapvol.read(list);
            EXPECT_EQ(1, pair.call("list-add", {"--snapdir", "/snap1", "other"}));
            EXPECT_EQ(1, pair.run()) << "a rerun of the deletion would rewrite what is being handed on";
            EXPECT_EQ(1, pair.call("delete", {"--object-volume", pair.objvol.root(), "--snapdir", "/snap1"}));
            EXPECT_EQ(before, pair.snapvol.read(list));
        }
        EXPECT_EQ(0, pair.handoff());
        EXPECT_EQ(0, pair.handoff());
        EXPECT_EQ("older\n" + handed, pair.snapvol.read(list));
        EXPECT_FALSE(pair.snapvol.exists(pending));
        EXPECT_TRUE(pair.snapvol.exists("/snap2/.delete/handoff_done"));
    }
}
