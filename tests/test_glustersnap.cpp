#include <znfssnapcore/znfssnapcore.h>
#include <znfs/znfs_utils.h>

#include "testvol.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using znfssnapcore::glustersnap::glustersnap;

using testvol::host_exists;
using testvol::slurp;

namespace {

typedef std::vector<std::string> words;

// A stand-in `gluster` first on PATH. It records its arguments (NUL-separated) and its
// standard input beside itself, and exits with the status written by fail_with().
class GlusterSnap : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/znfs-gluster-XXXXXX";
        m_dir = mkdtemp(tmpl);
        const std::string prog = m_dir + "/gluster";
        std::ofstream(prog) << "#!/bin/sh\n"
                               "d=$(dirname \"$0\")\n"
                               "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$d/argv\"\n"
                               "cat > \"$d/stdin\"\n"
                               "[ -f \"$d/status\" ] && exit $(cat \"$d/status\")\n"
                               "exit 0\n";
        chmod(prog.c_str(), 0755);
        const char* path = getenv("PATH");
        m_saved_path = path ? path : "/usr/bin:/bin";
        setenv("PATH", (m_dir + ":" + m_saved_path).c_str(), 1);
        // Our own input holds a confirmation: the tool must never see it.
        int p[2];
        ASSERT_EQ(0, pipe(p));
        ASSERT_EQ(2, write(p[1], "y\n", 2));
        close(p[1]);
        m_saved_stdin = dup(0);
        dup2(p[0], 0);
        close(p[0]);
    }
    void TearDown() override
    {
        dup2(m_saved_stdin, 0);
        close(m_saved_stdin);
        setenv("PATH", m_saved_path.c_str(), 1);
        std::filesystem::remove_all(m_dir);
    }

    void fail_with(int status) { std::ofstream(m_dir + "/status") << status << "\n"; }

    words argv() const { return testvol::split_nul(slurp(m_dir + "/argv")); }
    bool ran() const { return host_exists(m_dir + "/argv"); }
    std::string input() const { return slurp(m_dir + "/stdin"); }

    std::string m_dir;
    std::string m_saved_path;
    int m_saved_stdin = -1;
    glustersnap m_gs;
};

}  // namespace

TEST_F(GlusterSnap, CreateRunsTheSnapshotCommand)
{
    testvol::LogCapture log(1);
    EXPECT_EQ(0, m_gs.create("vol1", "snap1", "nightly").value());
    EXPECT_EQ((words{"snapshot", "create", "snap1", "vol1", "no-timestamp", "description", "nightly"}), argv());
    EXPECT_EQ("", input());
    auto lines = log.lines();
    ASSERT_EQ(1u, lines.size()) << log.dump();
    EXPECT_EQ(1, lines[0].level);
    EXPECT_EQ("glustersnap::create", lines[0].function);
    EXPECT_EQ("Successfully created Snapshot for [vol1]", lines[0].message);
}

TEST_F(GlusterSnap, RemoveRunsInScriptModeWithoutInput)
{
    testvol::LogCapture log(1);
    EXPECT_EQ(0, m_gs.remove("snap1").value());
    EXPECT_EQ((words{"--mode=script", "snapshot", "delete", "snap1"}), argv());
    EXPECT_EQ("", input());
    auto lines = log.lines();
    ASSERT_EQ(1u, lines.size()) << log.dump();
    EXPECT_EQ("glustersnap::remove", lines[0].function);
    EXPECT_EQ("Successfully deleted Snapshot [snap1]", lines[0].message);
}

TEST_F(GlusterSnap, DescriptionWithBlanksBecomesSeveralWords)
{
    EXPECT_EQ(0, m_gs.create("vol1", "snap1", "nightly run  of\tvol1").value());
    EXPECT_EQ((words{"snapshot", "create", "snap1", "vol1", "no-timestamp", "description", "nightly", "run", "of",
                     "vol1"}),
              argv());
}

// A name the tool would not read as one plain name must never reach it: `snapshot delete all`
// deletes every snapshot on the system, an empty name shifts the words after it, and a name
// with a blank becomes several words (`volume vol1` deletes every snapshot of vol1).
TEST_F(GlusterSnap, UnusableNamesAreRefusedBeforeAnythingRuns)
{
    struct refused {
        std::string name;
        std::string why;
    };
    const std::vector<refused> table = {
        {"", "it is empty"},
        {"all", "the tool reads it as a keyword"},
        {"ALL", "the tool reads it as a keyword"},
        {"volume", "the tool reads it as a keyword"},
        {"Volume", "the tool reads it as a keyword"},
        {"force", "the tool reads it as a keyword"},
        {"no-timestamp", "the tool reads it as a keyword"},
        {"description", "the tool reads it as a keyword"},
        {"-x", "the tool would read it as an option"},
        {"--mode=interactive", "the tool would read it as an option"},
        {"volume vol1", "it holds a blank"},
        {"snap\t1", "it holds a blank"},
        {" snap1", "it holds a blank"},
        // The tool would get the name cut at the NUL: another snapshot, or another volume.
        {std::string("snap1\0-old", 10), "it holds a NUL byte"},
        {std::string("all\0", 4), "it holds a NUL byte"},
    };
    const std::error_code einval(EINVAL, std::generic_category());
    for (const refused& r : table) {
        SCOPED_TRACE("[" + r.name + "]");
        const std::string shown = r.name.c_str();  // as the log line shows it
        testvol::LogCapture log(1);
        EXPECT_EQ(einval, m_gs.remove(r.name));
        EXPECT_EQ(einval, m_gs.create("vol1", r.name, "nightly"));
        EXPECT_EQ(einval, m_gs.create(r.name, "snap1", "nightly"));
        auto lines = log.lines();
        ASSERT_EQ(3u, lines.size()) << log.dump();
        for (const auto& l : lines)
            EXPECT_EQ(-1, l.level);
        EXPECT_EQ("glustersnap::remove", lines[0].function);
        EXPECT_EQ("Refused snapshot name [" + shown + "]: " + r.why, lines[0].message);
        EXPECT_EQ("glustersnap::create", lines[1].function);
        EXPECT_EQ("Refused snapshot name [" + shown + "]: " + r.why, lines[1].message);
        EXPECT_EQ("Refused volume name [" + shown + "]: " + r.why, lines[2].message);
        EXPECT_FALSE(ran());
    }

    // The tool takes "--" words in any position for its own options.
    testvol::LogCapture log(1);
    EXPECT_EQ(einval, m_gs.create("vol1", "snap1", "nightly --log-file=/etc/passwd"));
    EXPECT_TRUE(log.contains("Refused description word [--log-file=/etc/passwd]: the tool would read it as an option"))
        << log.dump();
    EXPECT_FALSE(ran());
    // The tool takes the word after "description" as the whole description and a "force"
    // after it as its force flag.
    EXPECT_EQ(einval, m_gs.create("vol1", "snap1", "nightly force"));
    EXPECT_TRUE(log.contains("Refused description word [force]: the tool would read it as its force flag"))
        << log.dump();
    EXPECT_EQ(einval, m_gs.create("vol1", "snap1", "force Force"));
    EXPECT_FALSE(ran());
    EXPECT_EQ(einval, m_gs.create("vol1", "snap1", std::string("keep\0 until 2027", 16)));
    EXPECT_TRUE(log.contains("Refused description [keep]: it holds a NUL byte (the tool would get it cut there)"))
        << log.dump();
    EXPECT_FALSE(ran());

    // Keywords and dashes inside a name, and a lone dash in a description, are plain words.
    EXPECT_EQ(0, m_gs.remove("all-snaps").value());
    EXPECT_EQ((words{"--mode=script", "snapshot", "delete", "all-snaps"}), argv());
    EXPECT_EQ(0, m_gs.create("vol1", "snap1", "force").value());
    EXPECT_EQ((words{"snapshot", "create", "snap1", "vol1", "no-timestamp", "description", "force"}), argv());
    EXPECT_EQ(0, m_gs.create("volume1", "snap-force", "before - after").value());
    EXPECT_EQ((words{"snapshot", "create", "snap-force", "volume1", "no-timestamp", "description", "before", "-",
                     "after"}),
              argv());
}

TEST_F(GlusterSnap, ShellSyntaxInArgumentsRunsNothing)
{
    const std::string owned = m_dir + "/owned";
    EXPECT_EQ(0, m_gs.create("v;touch${IFS}" + owned + "1", "$(touch${IFS}" + owned + "2)",
                             "`touch " + owned + "3` >" + owned + "4 && touch " + owned + "5 | tee " + owned + "6")
                     .value());
    EXPECT_EQ((words{"snapshot", "create", "$(touch${IFS}" + owned + "2)", "v;touch${IFS}" + owned + "1", "no-timestamp",
                     "description", "`touch", owned + "3`", ">" + owned + "4", "&&", "touch", owned + "5", "|", "tee",
                     owned + "6"}),
              argv());
    EXPECT_EQ(0, m_gs.remove("s&&touch${IFS}" + owned + "7|tee${IFS}" + owned + "8").value());
    EXPECT_EQ((words{"--mode=script", "snapshot", "delete", "s&&touch${IFS}" + owned + "7|tee${IFS}" + owned + "8"}),
              argv());
    for (const char* n : {"1", "2", "2)", "3", "3`", "4", "5", "6", "7", "8"})
        EXPECT_FALSE(host_exists(owned + n)) << n;
}

TEST_F(GlusterSnap, FailingToolIsReportedAndLogged)
{
    fail_with(1);
    testvol::LogCapture log(1);
    std::error_code ec = m_gs.create("vol1", "snap1", "nightly");
    EXPECT_EQ(EIO, ec.value());
    EXPECT_EQ(std::generic_category(), ec.category());
    ec = m_gs.remove("snap1");
    EXPECT_EQ(EIO, ec.value());
    EXPECT_EQ(std::generic_category(), ec.category());

    auto lines = log.lines();
    ASSERT_EQ(2u, lines.size()) << log.dump();
    EXPECT_EQ(-1, lines[0].level);
    EXPECT_EQ("glustersnap::create", lines[0].function);
    EXPECT_EQ("Snap creation failed for [vol1]", lines[0].message);
    EXPECT_EQ(-1, lines[1].level);
    EXPECT_EQ("glustersnap::remove", lines[1].function);
    EXPECT_EQ("Snap deletion failed for [snap1]", lines[1].message);
}

TEST_F(GlusterSnap, MissingToolIsNoSuchFile)
{
    setenv("PATH", (m_dir + "/empty").c_str(), 1);
    testvol::LogCapture log(1);
    std::error_code ec = m_gs.create("vol1", "snap1", "nightly");
    EXPECT_EQ(std::error_code(ENOENT, std::generic_category()), ec);
    ec = m_gs.remove("snap1");
    EXPECT_EQ(std::error_code(ENOENT, std::generic_category()), ec);
    EXPECT_EQ(2u, log.count_level(-1)) << log.dump();
    EXPECT_FALSE(ran());
}

namespace {

// True while pid names a process that has not exited (a zombie has: it only awaits its reaper).
bool running(pid_t pid)
{
    std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    std::string::size_type paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size())
        return false;
    char state = stat[paren + 2];
    return state != 'Z' && state != 'X';
}

// Waits for pid to be gone: SIGKILL reaches a process the runner does not reap (it belongs to
// the same group) a moment later. The minute only turns one that never goes into a failure.
bool ends(pid_t pid)
{
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (running(pid) && std::chrono::steady_clock::now() < give_up)
        usleep(10000);
    return !running(pid);
}

}  // namespace

// A hung tool hangs its caller no longer than the limit: the tool, and what it started in the
// background, are killed, and the call says why.
TEST_F(GlusterSnap, HungToolIsKilledAtTheLimit)
{
    // "ready" comes last: once it is there, the pids before it are written whole.
    std::ofstream(m_dir + "/gluster") << "#!/bin/sh\n"
                                         "d='" + m_dir + "'\n"
                                         "sleep 1000 &\n"
                                         "echo $! > \"$d/started\"\n"
                                         "echo $$ > \"$d/tool\"\n"
                                         ": > \"$d/ready\"\n"
                                         "exec sleep 1000\n";
    for (bool create : {true, false}) {
        SCOPED_TRACE(create ? "create" : "remove");
        // A tool the limit stopped before it was ready (a loaded machine) is run again with
        // twice the limit: what it would have started had not been started yet.
        for (int limit = 1;; limit *= 2) {
            ASSERT_LE(limit, 64) << "the tool was never ready within the limit";
            for (const char* f : {"/tool", "/started", "/ready"})
                std::filesystem::remove(m_dir + f);
            glustersnap gs(limit);
            testvol::LogCapture log(1);
            const auto start = std::chrono::steady_clock::now();
            std::error_code ec = create ? gs.create("vol1", "snap1", "nightly") : gs.remove("snap1");
            const auto took = std::chrono::steady_clock::now() - start;
            EXPECT_EQ(std::error_code(ETIMEDOUT, std::generic_category()), ec);
            EXPECT_GE(took, std::chrono::seconds(limit));
            EXPECT_LT(took, std::chrono::seconds(limit + 60)) << "the tool sleeps for 1000 s";

            auto lines = log.lines();
            ASSERT_EQ(2u, lines.size()) << log.dump();
            const std::string function = create ? "glustersnap::create" : "glustersnap::remove";
            EXPECT_EQ(-1, lines[0].level);
            EXPECT_EQ(function, lines[0].function);
            EXPECT_EQ("gluster did not finish within " + std::to_string(limit) + " s and was killed",
                      lines[0].message);
            EXPECT_EQ(-1, lines[1].level);
            EXPECT_EQ(create ? "Snap creation failed for [vol1]" : "Snap deletion failed for [snap1]",
                      lines[1].message);

            if (!host_exists(m_dir + "/ready"))
                continue;
            const pid_t tool = std::stoi(slurp(m_dir + "/tool"));
            const pid_t started = std::stoi(slurp(m_dir + "/started"));
            // The tool itself was our child: it must be reaped, not merely killed.
            EXPECT_EQ(-1, kill(tool, 0));
            EXPECT_EQ(ESRCH, errno);
            EXPECT_TRUE(ends(started)) << "background process " << started << " still runs";
            break;
        }
    }
}

namespace {

// The first volume glusterd lists, or "" when gluster or a glusterd is not there to answer.
bool glusterd_answers(std::string& first_volume)
{
    std::vector<std::string> lines;
    std::string err;
    if (znfs::znfs_utils::execute_command("command -v gluster >/dev/null && gluster --mode=script volume list",
                                          lines, err, 10) != 0)
        return false;
    first_volume = lines.empty() || lines[0].find(' ') != std::string::npos ? "" : lines[0];
    return true;
}

}  // namespace

TEST(GlusterSnapReal, SnapshotOfAThickVolumeFails)
{
    std::string volume;
    if (!glusterd_answers(volume))
        GTEST_SKIP() << "no gluster tool with a running glusterd";
    if (volume.empty())
        volume = "znfs_no_such_volume";
    const std::string snap = "znfs_test_" + std::to_string(getpid());
    testvol::LogCapture log(1);
    glustersnap gs;
    std::error_code ec = gs.create(volume, snap, "test snapshot");
    if (!ec) {
        // The bricks were thin-provisioned after all: then removal must really delete it.
        EXPECT_EQ(0, gs.remove(snap).value());
        std::vector<std::string> lines;
        std::string err;
        znfs::znfs_utils::execute_command("gluster --mode=script snapshot list", lines, err, 30);
        for (const std::string& l : lines)
            EXPECT_NE(snap, l);
        return;
    }
    EXPECT_EQ(std::generic_category(), ec.category());
    EXPECT_TRUE(log.contains("Snap creation failed for [" + volume + "]")) << log.dump();
}

TEST(GlusterSnapReal, RemovingAMissingSnapshotFails)
{
    std::string volume;
    if (!glusterd_answers(volume))
        GTEST_SKIP() << "no gluster tool with a running glusterd";
    // Asked for confirmation with no input, the tool deletes nothing and still exits 0.
    const std::string snap = "znfs_missing_" + std::to_string(getpid());
    testvol::LogCapture log(1);
    std::error_code ec = glustersnap().remove(snap);
    EXPECT_NE(0, ec.value());
    EXPECT_TRUE(log.contains("Snap deletion failed for [" + snap + "]")) << log.dump();
}
