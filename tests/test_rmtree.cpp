#include <znfssnapcore/znfssnapcore.h>

#include "faultfs.h"
#include "testvol.h"

#include <znfs/znfs_forward.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace znfssnapcore::znfssnaputils;
using std::error_code;
using testvol::LogCapture;
using testvol::TempVolume;

namespace {

// Records rmdir paths; can rewrite each directory entry before the caller sees it.
class DirSpy : public znfs::znfs_api_forward {
public:
    explicit DirSpy(znfs::znfs_api* target) : znfs::znfs_api_forward(target) {}

    std::error_code rmdir(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override
    {
        removed.push_back(path);
        return znfs_api_forward::rmdir(iopx, path, aio);
    }
    struct dirent* readdir(znfs::znfs_file_ptr dir, znfs::znfs_aio_ptr aio) override
    {
        struct dirent* de = znfs_api_forward::readdir(dir, aio);
        if (de && on_entry)
            on_entry(de);
        return de;
    }

    std::vector<std::string> removed;
    std::function<void(struct dirent*)> on_entry;
};

std::vector<std::string> messages(const LogCapture& log)
{
    std::vector<std::string> out;
    for (const testvol::LogLine& l : log.lines()) {
        EXPECT_EQ(l.function, "znfssnaputils::rmdir_nonempty");
        out.push_back(l.message);
    }
    return out;
}

class RmTree : public ::testing::Test {
protected:
    TempVolume vol;
    znfs::znfs_api* api = vol.api();
    znfs::znfs_debug logger;
};

}  // namespace

TEST_F(RmTree, EmptyDirectory)
{
    vol.mkdir("/t");
    LogCapture log;
    EXPECT_FALSE(rmdir_nonempty(api, vol.iopx(), "/t", logger));
    EXPECT_EQ(messages(log), std::vector<std::string>{"Travserse: dirname [/t]"});
    EXPECT_FALSE(vol.exists("/t"));
}

TEST_F(RmTree, DepthFirstWithMessagesInWalkOrder)
{
    vol.mkdir("/t/d");
    vol.write("/t/a", "1");
    vol.write("/t/d/b", "2");
    LogCapture log;
    DirSpy spy(api);
    EXPECT_FALSE(rmdir_nonempty(&spy, vol.iopx(), "/t", logger));
    EXPECT_FALSE(vol.exists("/t"));
    EXPECT_EQ(spy.removed, (std::vector<std::string>{"/t/d", "/t"}));

    const std::vector<std::string> a_first = {"Travserse: dirname [/t]", "Removing file [/t/a]",
                                              "Travserse: dirname [/t/d]", "Removing file [/t/d/b]"};
    const std::vector<std::string> d_first = {"Travserse: dirname [/t]", "Travserse: dirname [/t/d]",
                                              "Removing file [/t/d/b]", "Removing file [/t/a]"};
    std::vector<std::string> got = messages(log);
    EXPECT_TRUE(got == a_first || got == d_first) << log.dump();
}

TEST_F(RmTree, SymbolicLinksAreUnlinkedNotFollowed)
{
    vol.mkdir("/keep/sub");
    vol.write("/keep/sub/f", "precious");
    vol.mkdir("/t");
    vol.symlink("../keep", "/t/dirlink");
    vol.symlink("/keep/sub/f", "/t/filelink");
    vol.symlink("nowhere", "/t/dangling");
    EXPECT_FALSE(rmdir_nonempty(api, vol.iopx(), "/t", logger));
    EXPECT_FALSE(vol.exists("/t"));
    EXPECT_EQ(vol.read("/keep/sub/f"), "precious");

    // A link given as the tree is removed as a name; its target is nobody's to empty.
    vol.symlink("keep", "/tlink");
    EXPECT_FALSE(rmdir_nonempty(api, vol.iopx(), "/tlink", logger));
    EXPECT_FALSE(vol.exists("/tlink"));
    EXPECT_EQ(vol.read("/keep/sub/f"), "precious");
}

// A directory of the tree swapped for a link after it was listed is never entered: the link
// goes, what it points at stays.
TEST_F(RmTree, DirectorySwappedForALinkMidWalkIsNeverEntered)
{
    vol.mkdir("/keep/sub");
    vol.write("/keep/sub/f", "precious");
    vol.mkdir("/t/d/e");
    vol.write("/t/d/e/f", "x");
    const std::string root = vol.root();
    DirSpy spy(api);
    spy.on_entry = [&](struct dirent* de) {
        if (std::strcmp(de->d_name, "d") == 0) {
            ASSERT_EQ(0, ::rename((root + "/t/d").c_str(), (root + "/moved").c_str()));
            ASSERT_EQ(0, ::symlink("../keep", (root + "/t/d").c_str()));
        }
    };
    EXPECT_FALSE(rmdir_nonempty(&spy, vol.iopx(), "/t", logger));
    EXPECT_FALSE(vol.exists("/t"));
    EXPECT_EQ(vol.read("/keep/sub/f"), "precious");
    EXPECT_EQ(vol.read("/moved/e/f"), "x");
}

// Paths longer than any the kernel resolves at once, removed from a thread with a modest stack.
TEST_F(RmTree, FiveThousandLevelsOnASmallStack)
{
    int fd = ::open(vol.root().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ::mkdirat(fd, "t", 0755));
    int cur = ::openat(fd, "t", O_PATH | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(0, ::mkdirat(cur, "d", 0755)) << i;
        ::close(::openat(cur, "f", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        int next = ::openat(cur, "d", O_PATH | O_DIRECTORY | O_CLOEXEC);
        ::close(cur);
        cur = next;
    }
    ::close(cur);
    struct Args {
        znfs::znfs_api* api;
        znfs::znfs_iopx_ptr iopx;
        znfs::znfs_debug* logger;
        error_code ec;
    } args{api, vol.iopx(), &logger, error_code()};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t t;
    ASSERT_EQ(0, pthread_create(
                     &t, &attr,
                     [](void* p) -> void* {
                         auto* a = static_cast<Args*>(p);
                         a->ec = rmdir_nonempty(a->api, a->iopx, "/t", *a->logger);
                         return nullptr;
                     },
                     &args));
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_FALSE(args.ec) << args.ec.message();
    EXPECT_FALSE(vol.exists("/t"));
}

TEST_F(RmTree, UnknownEntryTypesAreTold)
{
    vol.mkdir("/keep");
    vol.write("/keep/f", "precious");
    vol.mkdir("/t/d/e");
    vol.write("/t/d/e/f", "x");
    vol.write("/t/g", "y");
    vol.symlink("../keep", "/t/d/link");
    DirSpy spy(api);
    spy.on_entry = [](struct dirent* de) { de->d_type = DT_UNKNOWN; };
    EXPECT_FALSE(rmdir_nonempty(&spy, vol.iopx(), "/t", logger));
    EXPECT_FALSE(vol.exists("/t"));
    EXPECT_EQ(vol.read("/keep/f"), "precious");
}

TEST_F(RmTree, TrailingSeparatorGivesDoubledPaths)
{
    vol.mkdir("/t/d");
    vol.write("/t/d/b", "2");
    LogCapture log;
    EXPECT_FALSE(rmdir_nonempty(api, vol.iopx(), "/t/", logger));
    EXPECT_FALSE(vol.exists("/t"));
    EXPECT_TRUE(log.contains("Travserse: dirname [/t//d]")) << log.dump();
    EXPECT_TRUE(log.contains("Removing file [/t//d/b]")) << log.dump();
}

TEST_F(RmTree, MissingDirectory)
{
    LogCapture log;
    EXPECT_EQ(rmdir_nonempty(api, vol.iopx(), "/nope", logger), error_code(ENOENT, std::generic_category()));
    ASSERT_EQ(log.count_level(-1), 1u) << log.dump();
    EXPECT_TRUE(log.contains("Failed to open directory [/nope]"));
}

TEST_F(RmTree, EntriesThatVanishMidWalkCountAsGone)
{
    vol.mkdir("/t/gone/inner");
    vol.write("/t/file", "x");
    const std::string root = vol.root();
    DirSpy spy(api);
    spy.on_entry = [&](struct dirent* de) {
        if (std::strcmp(de->d_name, "gone") == 0) {
            ASSERT_EQ(::rmdir((root + "/t/gone/inner").c_str()), 0);
            ASSERT_EQ(::rmdir((root + "/t/gone").c_str()), 0);
        } else if (std::strcmp(de->d_name, "file") == 0) {
            ASSERT_EQ(::unlink((root + "/t/file").c_str()), 0);
        }
    };
    LogCapture log;
    EXPECT_FALSE(rmdir_nonempty(&spy, vol.iopx(), "/t", logger));
    EXPECT_FALSE(vol.exists("/t"));
    EXPECT_EQ(log.count_level(-1), 0u) << log.dump();
}

TEST_F(RmTree, WhatCannotBeRemovedFailsTheFinalRemoval)
{
    vol.mkdir("/t/d");
    vol.write("/t/d/b", "2");
    vol.write("/t/c", "3");
    FaultFs faulty(api);
    faulty.fail_op("unlink", EACCES, "/t/d/b");
    error_code ec = rmdir_nonempty(&faulty, vol.iopx(), "/t", logger);
    EXPECT_EQ(ec.value(), ENOTEMPTY);
    EXPECT_TRUE(vol.exists("/t/d/b"));
    EXPECT_FALSE(vol.exists("/t/c"));
}
