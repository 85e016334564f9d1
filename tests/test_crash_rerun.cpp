// A deletion killed at any point and run again ends where an uninterrupted deletion ends: the
// same objects unlinked and the same previous-snapshot delete list (as a multiset of names).
// The command `znfssnap delete` is killed with SIGKILL once the object volume shows a chosen
// amount of progress, while its delete list is being split, or when the merge begins.
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

using testvol::kUuid;
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
    }

    void put(const std::string& path, const std::string& id)
    {
        snapvol.mkdir(path.substr(0, path.rfind('/')));
        snapvol.write(path, "data");
        snapvol.setxattr(path, kUuid, "/objects/" + id);
        if (!objvol.exists("/objects/" + id)) {
            objvol.write("/objects/" + id, id);
            ++objects;
        }
    }

    pid_t start() const
    {
        std::string cmd = testvol::znfssnap_path();
        pid_t pid = fork();
        if (pid == 0) {
            int null = ::open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(cmd.c_str(), cmd.c_str(), "delete", "--volume", snapvol.root().c_str(), "--object-volume",
                  objvol.root().c_str(), "--snapdir", "/snap2", "--prevsnap", "/snap1", static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }

    // Runs the deletion to its end; its exit status.
    int run() const
    {
        int status = 0;
        waitpid(start(), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

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
