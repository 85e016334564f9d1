#include <znfs/znfs_debug.h>
#include <znfs/znfs_error.h>
#include <znfs/znfs_utils.h>
#include <znlib/znprocess.h>

#include "testvol.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <atomic>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using znfs::znfs_debug;
using znfs::znfs_utils;

using testvol::host_exists;
using testvol::slurp;
using testvol::StdinWithData;

namespace {

struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/znfs-utils-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }

    std::string script(const std::string& name, const std::string& body) const
    {
        std::string p = path + "/" + name;
        std::ofstream(p) << "#!/bin/sh\n" << body;
        chmod(p.c_str(), 0755);
        return p;
    }
    // A program that records its arguments (NUL-separated) and its standard input here.
    std::string recorder() const
    {
        return script("recorder", "d=$(dirname \"$0\")\n"
                                  "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$d/argv\"\n"
                                  "cat > \"$d/stdin\"\n");
    }
    std::vector<std::string> recorded_argv() const { return testvol::split_nul(slurp(path + "/argv")); }
};

}  // namespace

TEST(UintText, RoundTripsAndEdges)
{
    unsigned seed = std::random_device{}();
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (int i = 0; i < 1000; ++i) {
        unsigned v = rng();
        ASSERT_EQ(v, znfs_utils::string_to_uint(znfs_utils::uint_to_string(v)));
    }
    EXPECT_EQ("0", znfs_utils::uint_to_string(0));
    EXPECT_EQ("4294967295", znfs_utils::uint_to_string(UINT_MAX));
    EXPECT_EQ(UINT_MAX, znfs_utils::string_to_uint("4294967295"));

    EXPECT_EQ(0u, znfs_utils::string_to_uint(""));
    EXPECT_EQ(0u, znfs_utils::string_to_uint("abc"));
    EXPECT_EQ(0u, znfs_utils::string_to_uint("-5"));
    EXPECT_EQ(0u, znfs_utils::string_to_uint("4294967296"));
    EXPECT_EQ(0u, znfs_utils::string_to_uint("99999999999999999999999"));
    EXPECT_EQ(42u, znfs_utils::string_to_uint(" \t 42"));
    EXPECT_EQ(7u, znfs_utils::string_to_uint("7 processors"));
    EXPECT_EQ(12u, znfs_utils::string_to_uint("0012\n"));
}

TEST(ErrorCodes, CategoriesAndTheUnsetErrnoFallback)
{
    EXPECT_EQ(std::error_code(ENOENT, std::system_category()), znfs::errno_code(ENOENT));
    EXPECT_EQ(std::error_code(ENOENT, std::generic_category()), znfs::generic_code(ENOENT));
    EXPECT_NE(znfs::errno_code(ENOENT), znfs::generic_code(ENOENT));
    EXPECT_EQ(znfs::errno_code(ENOENT), std::errc::no_such_file_or_directory);

    errno = EACCES;
    EXPECT_EQ(EACCES, znfs::errno_or_eio());
    errno = 0;
    EXPECT_EQ(EIO, znfs::errno_or_eio());
}

TEST(ExecuteCommand, CollectsLinesThroughTheShell)
{
    std::vector<std::string> lines{"stale"};
    std::string err = "stale";
    ASSERT_EQ(0, znfs_utils::execute_command("printf 'a\\nb\\n\\nlast' | cat", lines, err, 0));
    EXPECT_EQ((std::vector<std::string>{"a", "b", "", "last"}), lines);
    EXPECT_EQ("", err);

    EXPECT_EQ(3, znfs_utils::execute_command("echo partial; echo oops >&2; exit 3", lines, err, 100));
    EXPECT_EQ(std::vector<std::string>{"partial"}, lines);
    EXPECT_EQ("oops\n", err);
}

TEST(ExecuteCommand, ReadsLargeOutputOnBothStreams)
{
    std::vector<std::string> lines;
    std::string err;
    // Fills the error pipe first: a reader that drained only standard output would hang.
    ASSERT_EQ(0, znfs_utils::execute_command("yes e | head -n 100000 >&2; yes o | head -n 100000", lines, err, 0));
    EXPECT_EQ(100000u, lines.size());
    EXPECT_EQ(200000u, err.size());
}

TEST(ExecuteCommand, TimeoutKillsTheCommandAndWhatItStarted)
{
    TempDir dir;
    const std::string ready = dir.path + "/ready";
    // A command the limit stopped before it had written anything (a loaded machine) proves
    // nothing about what was read before the kill: it is run again with twice the limit.
    for (int limit = 1;; limit *= 2) {
        ASSERT_LE(limit, 64) << "the command never got as far as its first line within the limit";
        std::filesystem::remove(ready);
        std::vector<std::string> lines;
        std::string err;
        errno = 0;
        // The background job keeps the output pipe open; only killing it ends the read.
        EXPECT_EQ(-1, znfs_utils::execute_command("(sleep 1000; echo late) & echo early; : > " + ready + "; sleep 1000",
                                                  lines, err, limit));
        EXPECT_EQ(ETIMEDOUT, errno);
        if (!host_exists(ready))
            continue;
        EXPECT_EQ(std::vector<std::string>{"early"}, lines);
        break;
    }
}

TEST(ExecuteCommand, StdinIsEmpty)
{
    StdinWithData in("secret\n");
    std::vector<std::string> lines;
    std::string err;
    ASSERT_EQ(0, znfs_utils::execute_command("wc -c", lines, err, 0));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, znfs_utils::string_to_uint(lines[0]));
}

TEST(Process, ArgumentsAreTheBlankSeparatedWords)
{
    TempDir dir;
    std::string prog = dir.recorder();
    std::string out = "stale", err = "stale";
    ASSERT_EQ(0, ZnProcess::system((" \t" + prog + " one  two\tthree \t").c_str(), &out, &err, 0, false));
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three"}), dir.recorded_argv());
    EXPECT_EQ("", out);
    EXPECT_EQ("", err);
}

TEST(Process, ShellSyntaxReachesTheProgramAsPlainWords)
{
    TempDir dir;
    std::string prog = dir.recorder();
    const std::string owned = dir.path + "/owned";
    std::string line = prog + " x; touch " + owned + "1 $(touch " + owned + "2) `touch " + owned + "3` > " + owned +
                       "4 | tee " + owned + "5 && touch " + owned + "6";
    ASSERT_EQ(0, ZnProcess::system(line.c_str(), nullptr, nullptr, 0, false));
    EXPECT_EQ((std::vector<std::string>{"x;", "touch", owned + "1", "$(touch", owned + "2)", "`touch", owned + "3`",
                                        ">", owned + "4", "|", "tee", owned + "5", "&&", "touch", owned + "6"}),
              dir.recorded_argv());
    for (const char* suffix : {"1", "2", "3", "4", "5", "6", "2)", "3`"})
        EXPECT_FALSE(host_exists(owned + suffix)) << suffix;
}

TEST(Process, StdinIsDevNullEvenWhenOursHoldsData)
{
    TempDir dir;
    std::string prog = dir.recorder();
    StdinWithData in("secret\n");
    ASSERT_EQ(0, ZnProcess::system(prog.c_str(), nullptr, nullptr, 0, false));
    EXPECT_EQ("", slurp(dir.path + "/stdin"));
}

TEST(Process, FailuresSetErrno)
{
    TempDir dir;
    std::string out, err;

    errno = 0;
    EXPECT_EQ(-1, ZnProcess::system("znfs-no-such-program-4711 a b", &out, &err, 0, false));
    EXPECT_EQ(ENOENT, errno);
    errno = 0;
    EXPECT_EQ(-1, ZnProcess::system((dir.path + "/absent").c_str(), &out, &err, 0, false));
    EXPECT_EQ(ENOENT, errno);

    for (const char* empty : {"", " \t "}) {
        errno = 0;
        EXPECT_EQ(-1, ZnProcess::system(empty, &out, &err, 0, false));
        EXPECT_EQ(EINVAL, errno);
    }

    std::string fails = dir.script("fails", "echo to-out; echo to-err >&2; exit 2\n");
    errno = 0;
    EXPECT_EQ(-1, ZnProcess::system(fails.c_str(), &out, &err, 0, false));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ("to-out\n", out);
    EXPECT_EQ("to-err\n", err);

    errno = 0;
    EXPECT_EQ(-1, ZnProcess::system(fails.c_str(), &out, &err, 0, true));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ("to-out\nto-err\n", out);
    EXPECT_EQ("", err);

    std::string killed = dir.script("killed", "kill -KILL $$\n");
    errno = 0;
    EXPECT_EQ(-1, ZnProcess::system(killed.c_str(), &out, &err, 0, false));
    EXPECT_EQ(EINTR, errno);

    errno = 0;
    EXPECT_EQ(-1, ZnProcess::system("sleep 60", &out, &err, 1, false));
    EXPECT_EQ(ETIMEDOUT, errno);
}

namespace {

// True while pid names a process that has not exited (a zombie has: it only awaits its reaper).
bool running(pid_t pid)
{
    std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    std::string::size_type paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z' && stat[paren + 2] != 'X';
}

}  // namespace

// However a command hangs, the limit holds: while it writes, after it closed its output, with a
// background job still holding the output. A command that ends within the limit keeps its status.
TEST(Process, TimeLimitHoldsHoweverTheCommandHangs)
{
    TempDir dir;
    // A hanging command says it is ready once it has done what the row checks ($d is its
    // directory); one that finishes has a limit it never comes near, however loaded the machine.
    struct row {
        const char* name;
        const char* body;
        bool hangs;
        int rc;
        int error;
        const char* out;
    };
    const row table[] = {
        {"holds_output", "sleep 1000 &\necho $! > \"$d/started\"\necho early\n: > \"$d/ready\"\nexec sleep 1000\n",
         true, -1, ETIMEDOUT, "early\n"},
        {"closed_output", "echo early\nexec >/dev/null 2>&1\n: > \"$d/ready\"\nexec sleep 1000\n", true, -1,
         ETIMEDOUT, "early\n"},
        {"closed_with_job", "sleep 1000 >/dev/null 2>&1 &\necho $! > \"$d/started\"\n"
                            "exec >/dev/null 2>&1\n: > \"$d/ready\"\nexec sleep 1000\n", true, -1, ETIMEDOUT, ""},
        {"closed_then_failed", "echo early\nexec >/dev/null 2>&1\nsleep 0.3\nexit 3\n", false, -1, EIO, "early\n"},
        {"closed_then_done", "echo early\nexec >/dev/null 2>&1\nsleep 0.3\n", false, 0, 0, "early\n"},
    };
    for (const row& r : table) {
        SCOPED_TRACE(r.name);
        std::string prog = dir.script(r.name, "d='" + dir.path + "'\n" + r.body);
        // A hanging command that the limit stopped before it was ready (a loaded machine) is
        // run again with twice the limit: what it would have written or started had not
        // happened yet.
        for (int limit = r.hangs ? 1 : 60;; limit *= 2) {
            ASSERT_LE(limit, 64) << "the command was never ready within the limit";
            std::filesystem::remove(dir.path + "/started");
            std::filesystem::remove(dir.path + "/ready");
            std::string out, err;
            errno = 0;
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(r.rc, ZnProcess::system(prog.c_str(), &out, &err, limit, false));
            const auto took = std::chrono::steady_clock::now() - start;
            if (r.rc != 0) {
                EXPECT_EQ(r.error, errno);
            }
            if (r.hangs) {
                EXPECT_GE(took, std::chrono::seconds(limit));
                EXPECT_LT(took, std::chrono::seconds(limit + 60)) << "the command sleeps for 1000 s";
                if (!host_exists(dir.path + "/ready"))
                    continue;
            }
            EXPECT_EQ(r.out, out);
            if (host_exists(dir.path + "/started")) {
                // What the command started in the background went with it.
                const pid_t started = std::stoi(slurp(dir.path + "/started"));
                const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
                while (running(started) && std::chrono::steady_clock::now() < give_up)
                    usleep(10000);
                EXPECT_FALSE(running(started)) << "background process " << started << " still runs";
            }
            break;
        }
    }
}

TEST(Process, FindsTheProgramOnPath)
{
    TempDir dir;
    dir.recorder();
    const char* old = getenv("PATH");
    std::string saved = old ? old : "";
    setenv("PATH", (dir.path + ":" + saved).c_str(), 1);
    int rc = ZnProcess::system("recorder via path", nullptr, nullptr, 0, false);
    setenv("PATH", saved.c_str(), 1);
    ASSERT_EQ(0, rc);
    EXPECT_EQ((std::vector<std::string>{"via", "path"}), dir.recorded_argv());
}

TEST(Process, LeavesNoDescriptorOpen)
{
    auto open_fds = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
    };
    const auto before = open_fds();
    std::string out, err;
    std::vector<std::string> lines;
    for (int i = 0; i < 20; ++i) {
        ZnProcess::system("true", &out, &err, 0, false);
        ZnProcess::system("false", nullptr, nullptr, 5, true);
        ZnProcess::system("znfs-no-such-program-4711", &out, &err, 0, false);
        znfs_utils::execute_command("echo x; echo y >&2", lines, err, 5);
    }
    EXPECT_EQ(before, open_fds());
}

TEST(Process, ConcurrentRunsKeepTheirOwnOutput)
{
    std::atomic<int> mismatches(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &mismatches] {
            for (int i = 0; i < 20; ++i) {
                std::string word = "w" + std::to_string(t) + "_" + std::to_string(i);
                std::string out, err;
                if (ZnProcess::system(("echo " + word).c_str(), &out, &err, 0, false) != 0 || out != word + "\n")
                    mismatches.fetch_add(1);
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(0, mismatches.load());
}

TEST(Logger, ThresholdFiltersDebugBeforeFormatting)
{
    testvol::LogCapture log(0);
    znfs_debug logger;
    int written = -7;
    // %n stores only when the line is formatted.
    logger.debug("fn", 1, "detail%n", &written);
    EXPECT_EQ(-7, written);
    logger.debug("fn", 0, "milestone %d of %s", 3, "five");
    znfs_debug::set_level(-2);
    logger.error("fn", "failure %s", "always");
    logger.debug("fn", -1, "filtered failure");

    auto lines = log.lines();
    ASSERT_EQ(2u, lines.size()) << log.dump();
    EXPECT_EQ(0, lines[0].level);
    EXPECT_EQ("fn", lines[0].function);
    EXPECT_EQ("milestone 3 of five", lines[0].message);
    EXPECT_EQ(-1, lines[1].level);
    EXPECT_EQ("failure always", lines[1].message);
}

TEST(Logger, LongMessagesArriveWhole)
{
    testvol::LogCapture log(1);
    std::string big(5000, 'q');
    znfs_debug().debug("fn", 1, "<%s>", big.c_str());
    ASSERT_EQ(1u, log.lines().size());
    EXPECT_EQ("<" + big + ">", log.lines()[0].message);
}

TEST(Logger, ConcurrentLinesOnStandardErrorStayWhole)
{
    TempDir dir;
    const std::string file = dir.path + "/stderr";
    const int threads = 8, per_thread = 300;
    int saved_level = znfs_debug::get_level();
    znfs_debug::set_level(0);
    fflush(stderr);
    int saved = dup(2);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, 2);
    close(fd);
    {
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([t] {
                znfs_debug logger;
                for (int n = 0; n < per_thread; ++n)
                    logger.debug("worker", 0, "t%d n%d %s", t, n, std::string(100 + n, 'x').c_str());
            });
        for (auto& th : pool)
            th.join();
    }
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    znfs_debug::set_level(saved_level);

    std::istringstream in(slurp(file));
    std::string line;
    std::set<std::pair<int, int>> seen;
    while (std::getline(in, line)) {
        int t = -1, n = -1, len = 0;
        ASSERT_EQ(2, sscanf(line.c_str(), "[INFO] worker: t%d n%d %*[x]%n", &t, &n, &len)) << line;
        ASSERT_EQ(line.size(), static_cast<size_t>(len)) << line;
        ASSERT_EQ(line.size() - line.find(" x") - 1, static_cast<size_t>(100 + n)) << line;
        seen.insert({t, n});
    }
    EXPECT_EQ(static_cast<size_t>(threads * per_thread), seen.size());
}
