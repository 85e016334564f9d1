#include <znfssnapcore/znfssnapcore.h>
#include <znfs/znfs_utils.h>

#include "testvol.h"

#include <gtest/gtest.h>

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

TEST_F(GlusterSnap, EmptyArgumentsStillRun)
{
    EXPECT_EQ(0, m_gs.create("", "", "").value());
    EXPECT_EQ((words{"snapshot", "create", "no-timestamp", "description"}), argv());
    EXPECT_EQ(0, m_gs.remove("").value());
    EXPECT_EQ((words{"--mode=script", "snapshot", "delete"}), argv());
}

TEST_F(GlusterSnap, ShellSyntaxInArgumentsRunsNothing)
{
    const std::string owned = m_dir + "/owned";
    EXPECT_EQ(0, m_gs.create("v;touch " + owned + "1", "$(touch " + owned + "2)", "`touch " + owned + "3` >" + owned + "4")
                     .value());
    EXPECT_EQ((words{"snapshot", "create", "$(touch", owned + "2)", "v;touch", owned + "1", "no-timestamp", "description",
                     "`touch", owned + "3`", ">" + owned + "4"}),
              argv());
    EXPECT_EQ(0, m_gs.remove("s && touch " + owned + "5 | tee " + owned + "6").value());
    EXPECT_EQ((words{"--mode=script", "snapshot", "delete", "s", "&&", "touch", owned + "5", "|", "tee", owned + "6"}),
              argv());
    for (const char* n : {"1", "2", "2)", "3", "3`", "4", "5", "6"})
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
