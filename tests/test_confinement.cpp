// A POSIX volume never reaches outside its root: not through "..", nor through a symbolic
// link (absolute or relative, last or in the middle of a path), nor through a link swapped in
// while a call is resolving.

#include "testvol.h"

#include <znfs/znfs_posix.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using znfs::znfs_aio_ptr;
using znfs::znfs_file_ptr;

using testvol::slurp;

namespace {

// Open descriptors without FD_CLOEXEC (the test runner may have left some).
std::vector<int> inheritable_fds()
{
    std::vector<int> out;
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        while (struct dirent* e = ::readdir(fds)) {
            int fd = atoi(e->d_name);
            if (e->d_name[0] != '.' && fd != dirfd(fds) && !(fcntl(fd, F_GETFD) & FD_CLOEXEC))
                out.push_back(fd);
        }
        ::closedir(fds);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// A volume and, beside it, a directory outside it whose name shares the volume's prefix
// ("<root>-outside"), holding a sentinel file and directory that no call may touch.
class Confinement : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_out = vol.root() + "-outside";
        m_base = m_out.substr(m_out.rfind('/') + 1);
        ASSERT_EQ(0, ::mkdir(m_out.c_str(), 0755));
        ASSERT_EQ(0, ::mkdir((m_out + "/victimdir").c_str(), 0755));
        std::ofstream(m_out + "/secret") << "outside";
        ASSERT_EQ(0, ::chmod((m_out + "/secret").c_str(), 0644));
        vol.write("/inside", "in");
    }

    void TearDown() override
    {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(m_out.c_str())) {
            while (struct dirent* e = ::readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    names.push_back(e->d_name);
            ::closedir(d);
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ((std::vector<std::string>{"secret", "victimdir"}), names) << "outside directory changed";
        EXPECT_EQ("outside", slurp(m_out + "/secret"));
        struct stat st;
        EXPECT_EQ(0, ::stat((m_out + "/secret").c_str(), &st));
        EXPECT_EQ(0100644u, st.st_mode);
        EXPECT_EQ(0, ::listxattr((m_out + "/secret").c_str(), nullptr, 0)) << "attribute set outside";
        EXPECT_EQ(0, ::listxattr((m_out + "/victimdir").c_str(), nullptr, 0)) << "attribute set outside";
        testvol::remove_tree(m_out);
    }

    std::string get(const std::string& path)
    {
        znfs_file_ptr f = api->open(iopx, path.c_str(), 0, none);
        if (!f)
            return "<" + std::string(strerror(errno)) + ">";
        auto b = api->alloc_io_buffer(f->get_file_size());
        int64_t n = api->read(f, b, f->get_file_size(), 0, 0, none);
        return std::string(static_cast<char*>(b->get_base()), static_cast<size_t>(n < 0 ? 0 : n));
    }

    // Every operation on paths meant to lead outside either fails with ENOENT or acts inside.
    void expect_every_call_stays_in(const std::string& dir)
    {
        SCOPED_TRACE(dir);
        struct stat st;
        iovec q{nullptr, 0}, v{const_cast<char*>("x"), 1};
        const std::string secret = dir + "/secret", victim = dir + "/victimdir";
        EXPECT_EQ("<No such file or directory>", get(secret));
        EXPECT_EQ(ENOENT, api->stat(iopx, secret.c_str(), &st, none).value());
        errno = 0;
        EXPECT_FALSE(api->open(iopx, secret.c_str(), 1, none));
        EXPECT_EQ(ENOENT, errno);
        EXPECT_FALSE(api->open(iopx, secret.c_str(), 0x241, none));
        EXPECT_FALSE(api->creat(iopx, secret.c_str(), 0x201, 0777, none));
        EXPECT_FALSE(api->creat(iopx, (dir + "/new").c_str(), 0x201, 0644, none));
        EXPECT_FALSE(api->opendir(iopx, victim.c_str(), none));
        EXPECT_EQ(ENOENT, api->mkdir(iopx, (dir + "/newdir").c_str(), 0755, none).value());
        EXPECT_EQ(ENOENT, api->unlink(iopx, secret.c_str(), none).value());
        EXPECT_EQ(ENOENT, api->rmdir(iopx, victim.c_str(), none).value());
        EXPECT_EQ(-1, api->getxattr(iopx, secret.c_str(), "user.x", &q, none));
        EXPECT_EQ(-1, api->listxattr(iopx, secret.c_str(), &q, none));
        EXPECT_EQ(ENOENT, api->setxattr(iopx, secret.c_str(), "user.x", &v, 0, none).value());
        EXPECT_EQ(ENOENT, api->setxattr(iopx, victim.c_str(), "user.x", &v, 0, none).value());
    }

    testvol::TempVolume vol;
    znfs::znfs_api* api = vol.api();
    znfs::znfs_iopx_ptr iopx = vol.iopx();
    znfs_aio_ptr none;
    std::string m_out;   // host path of the outside directory
    std::string m_base;  // its name, a sibling of the volume root
};

TEST_F(Confinement, DotDotStopsAtTheRoot)
{
    EXPECT_EQ("in", get("/../../../inside"));
    EXPECT_EQ("in", get("../inside"));
    expect_every_call_stays_in("/../" + m_base);
    expect_every_call_stays_in("../../../.." + m_out);

    vol.mkdir("/" + m_base);
    vol.write("/" + m_base + "/secret", "mirror");
    EXPECT_EQ("mirror", get("/../" + m_base + "/secret")) << "resolved inside the volume";
}

TEST_F(Confinement, LinkToSlashMeansTheVolumeRoot)
{
    vol.symlink("/", "/rootlink");
    EXPECT_EQ("in", get("/rootlink/inside"));
    EXPECT_EQ("in", get("/rootlink/rootlink/../inside"));
    expect_every_call_stays_in("/rootlink" + m_out);
    expect_every_call_stays_in("/rootlink/../" + m_base);

    EXPECT_FALSE(api->mkdir(iopx, "/rootlink/made", 0755, none));
    EXPECT_TRUE(vol.exists("/made"));
    EXPECT_EQ(EINVAL, api->rmdir(iopx, "/rootlink/..", none).value());
    EXPECT_EQ(EINVAL, api->rmdir(iopx, "/rootlink/.", none).value());
    EXPECT_FALSE(api->unlink(iopx, "/rootlink", none));
    EXPECT_TRUE(vol.exists("/made")) << "only the link went";
}

TEST_F(Confinement, AbsoluteLinkToAHostPath)
{
    vol.symlink(m_out + "/secret", "/abs");
    vol.symlink(m_out, "/absdir");
    vol.mkdir("/sub");
    vol.symlink("/proc/self/root" + m_out + "/secret", "/magic");
    EXPECT_EQ("<No such file or directory>", get("/abs"));
    EXPECT_EQ("<No such file or directory>", get("/magic"));
    expect_every_call_stays_in("/absdir");
    expect_every_call_stays_in("/sub/../absdir");

    // The same absolute name, made inside the volume, is what the link reaches.
    vol.mkdir(m_out);
    vol.write(m_out + "/secret", "mirror");
    EXPECT_EQ("mirror", get("/abs"));
    znfs_file_ptr f = api->creat(iopx, "/abs", 0x201, 0600, none);
    ASSERT_TRUE(f);
    api->close(f, none);
    EXPECT_EQ("", vol.read(m_out + "/secret")) << "truncated inside";

    EXPECT_FALSE(api->unlink(iopx, "/abs", none));
    EXPECT_FALSE(vol.exists("/abs"));
}

TEST_F(Confinement, RelativeLinksClimbingOut)
{
    vol.mkdir("/a/b");
    vol.symlink("../" + m_base + "/secret", "/rel");
    vol.symlink("../../../" + m_base, "/a/b/reldir");
    vol.symlink("b/reldir", "/a/chain");
    EXPECT_EQ("<No such file or directory>", get("/rel"));
    expect_every_call_stays_in("/a/b/reldir");
    expect_every_call_stays_in("/a/chain");
    expect_every_call_stays_in("/a/b/reldir/../" + m_base);
}

TEST_F(Confinement, DescriptorsAreNotInheritedAndRootMustBeADirectory)
{
    std::vector<int> before = inheritable_fds();
    std::error_code ec;
    EXPECT_FALSE(znfs::make_posix_volume(m_out + "/none", ec));
    EXPECT_EQ(ENOENT, ec.value());
    EXPECT_FALSE(znfs::make_posix_volume(m_out + "/secret", ec));
    EXPECT_EQ(ENOTDIR, ec.value());
    znfs::znfs_iopx_ptr outside = znfs::make_posix_volume(m_out, ec);
    ASSERT_TRUE(outside) << ec.message();
    EXPECT_EQ(m_out, outside->describe());

    znfs_file_ptr f = api->open(iopx, "/inside", 0, none);
    znfs_file_ptr d = api->opendir(iopx, "/", none);
    znfs_file_ptr w = api->creat(iopx, "/new", 0x201, 0644, none);
    ASSERT_TRUE(f && d && w);
    EXPECT_EQ(before, inheritable_fds());
}

// A directory on the path is swapped with a link to the outside over and over while another
// thread creates, reads and removes files through it: nothing may land outside.
TEST_F(Confinement, LinkSwappedInDuringResolution)
{
    vol.mkdir("/d");
    vol.symlink(m_out, "/l");
    const std::string d = vol.host("/d"), l = vol.host("/l");
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        for (int i = 0; i < 1000000 && !stop; ++i)
            renameat2(AT_FDCWD, d.c_str(), AT_FDCWD, l.c_str(), RENAME_EXCHANGE);
    });
    int created = 0;
    for (int i = 0; i < 2000; ++i) {
        std::string name = "/d/f" + std::to_string(i % 4);
        if (znfs_file_ptr f = api->creat(iopx, name.c_str(), 0x201, 0644, none)) {
            ++created;
            api->close(f, none);
        }
        api->unlink(iopx, "/d/secret", none);
        api->rmdir(iopx, "/d/victimdir", none);
        api->unlink(iopx, name.c_str(), none);
    }
    stop = true;
    swapper.join();
    EXPECT_GT(created, 0);
}

}  // namespace
