// The file-system service contract, written once and run on every backend.

#include "faultfs.h"
#include "testvol.h"

#include <znfs/znfs_gluster.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using znfs::znfs_aio_ptr;
using znfs::znfs_buff_ptr;
using znfs::znfs_file_ptr;
using testvol::pattern;

namespace {

std::string slurp_range(const std::string& hostpath, off_t offset, size_t n)
{
    std::string out(n, '\0');
    int fd = ::open(hostpath.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t got = fd < 0 ? -1 : ::pread(fd, &out[0], n, offset);
    if (fd >= 0)
        ::close(fd);
    out.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return out;
}

// Host-side access to the files of a volume under test, through the local directory that holds
// them: links and special files are made there, beside the service.
struct HostTree {
    std::string root;
    std::string host(const std::string& volpath) const { return root + volpath; }
    void symlink(const std::string& target, const std::string& volpath) const
    {
        ASSERT_EQ(0, ::symlink(target.c_str(), host(volpath).c_str())) << volpath << ": " << strerror(errno);
    }
    bool exists(const std::string& volpath) const  // the name itself, a link not followed
    {
        struct stat st;
        return ::lstat(host(volpath).c_str(), &st) == 0;
    }
};

// A backend under test: its service, a fresh empty volume and, when the volume's files lie in
// a local directory, host-side access to them (cases that need a FIFO or a link skip without).
struct Backend {
    virtual ~Backend() = default;
    virtual znfs::znfs_api* api() = 0;
    virtual znfs::znfs_iopx_ptr iopx() = 0;
    virtual const HostTree* host() = 0;
};

struct PosixBackend : Backend {
    testvol::TempVolume vol;
    HostTree tree{vol.root()};
    znfs::znfs_api* api() override { return vol.api(); }
    znfs::znfs_iopx_ptr iopx() override { return vol.iopx(); }
    const HostTree* host() override { return &tree; }
};

struct FaultFsBackend : PosixBackend {
    FaultFs fault{vol.api()};
    znfs::znfs_api* api() override { return &fault; }
};

struct BackendFactory {
    const char* name;
    // Null when the backend is not available here.
    std::function<std::unique_ptr<Backend>()> make;
};

void PrintTo(const BackendFactory& f, std::ostream* os) { *os << f.name; }

class ServiceContract : public ::testing::TestWithParam<BackendFactory> {
protected:
    void SetUp() override
    {
        m_backend = GetParam().make();
        if (!m_backend)
            GTEST_SKIP() << GetParam().name << " backend not available";
        api = m_backend->api();
        iopx = m_backend->iopx();
        host = m_backend->host();
    }

    znfs_buff_ptr buffer(const std::string& data) { return testvol::api_buffer(api, data); }

    void put(const char* path, const std::string& data, uint64_t mode = 0644) { testvol::api_put(api, iopx, path, data, mode); }
    std::string get(const char* path) { return testvol::api_get(api, iopx, path); }

    mode_t mode_of(const char* path)
    {
        struct stat st;
        std::error_code ec = api->stat(iopx, path, &st, none);
        return ec ? 0 : st.st_mode;
    }

    // Entry name -> d_type of a whole listing, "." and ".." included.
    std::map<std::string, int> listing(const char* path)
    {
        std::map<std::string, int> out;
        znfs_file_ptr d = api->opendir(iopx, path, none);
        if (!d)
            return out;
        while (struct dirent* e = api->readdir(d, none))
            out[e->d_name] = e->d_type;
        EXPECT_EQ(0, errno);
        api->closedir(d, none);
        return out;
    }

    std::unique_ptr<Backend> m_backend;
    znfs::znfs_api* api = nullptr;
    znfs::znfs_iopx_ptr iopx;
    const HostTree* host = nullptr;
    znfs_aio_ptr none;
};

TEST_P(ServiceContract, WriteAndReadBackCompletely)
{
    const std::string data = pattern(70000);
    znfs_file_ptr f = api->creat(iopx, "/f", 0x201, 0100644, none);
    ASSERT_TRUE(f);
    EXPECT_EQ(0u, f->get_file_size());
    EXPECT_EQ(70000, api->write(f, buffer(data), data.size(), 0, 0, none));
    EXPECT_EQ(5, api->write(f, buffer("tail!"), 5, 70000, 1, none));
    EXPECT_FALSE(api->close(f, none));

    f = api->open(iopx, "//f", 0, none);
    ASSERT_TRUE(f);
    EXPECT_EQ(70005u, f->get_file_size());
    znfs_buff_ptr b = api->alloc_io_buffer(70005);
    EXPECT_EQ(70005, api->read(f, b, 70005, 0, 0, none));
    EXPECT_EQ(data + "tail!", std::string(static_cast<char*>(b->get_base()), 70005));

    EXPECT_EQ(5, api->read(f, b, 100, 70000, 0, none)) << "short only at end of file";
    EXPECT_EQ(0, api->read(f, b, 100, 80000, 0, none));

    errno = 0;
    EXPECT_EQ(-1, api->read(f, api->alloc_io_buffer(10), 11, 0, 0, none)) << "longer than the buffer";
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, api->read(f, znfs_buff_ptr(), 1, 0, 0, none));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, api->read(znfs_file_ptr(), b, 1, 0, 0, none));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(-1, api->write(f, b, 1, 0, 0, none)) << "opened read-only";
    EXPECT_EQ(EBADF, errno);
    EXPECT_FALSE(api->close(f, none));
}

TEST_P(ServiceContract, CreateTruncatesAndOpensExisting)
{
    znfs_file_ptr f = api->open(iopx, "/new", 0x241, none);
    ASSERT_TRUE(f);
    EXPECT_EQ(3, api->write(f, buffer("abc"), 3, 0, 0, none));
    api->close(f, none);
    EXPECT_EQ(0100600u, mode_of("/new"));

    f = api->open(iopx, "/new", 0x241, none);
    ASSERT_TRUE(f);
    EXPECT_EQ(0u, f->get_file_size());
    api->close(f, none);
    EXPECT_EQ("", get("/new"));

    put("/c", "0123456789", 0100640);
    f = api->creat(iopx, "/c", 0x201, 0100777, none);
    ASSERT_TRUE(f);
    EXPECT_EQ(0u, f->get_file_size());
    EXPECT_EQ(2, api->write(f, buffer("xy"), 2, 0, 0, none));
    api->close(f, none);
    EXPECT_EQ("xy", get("/c"));
    EXPECT_EQ(0100640u, mode_of("/c")) << "an existing file keeps its mode";

    f = api->open(iopx, "/c", 1, none);
    ASSERT_TRUE(f);
    EXPECT_EQ(1, api->write(f, buffer("Z"), 1, 1, 0, none));
    api->close(f, none);
    EXPECT_EQ("xZ", get("/c")) << "O_WRONLY alone does not truncate";

    errno = 0;
    EXPECT_FALSE(api->open(iopx, "/missing", 0, none));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(api->creat(iopx, "/nodir/x", 0x201, 0644, none));
    EXPECT_EQ(ENOENT, errno);
    ASSERT_FALSE(api->mkdir(iopx, "/d", 0755, none));
    EXPECT_FALSE(api->creat(iopx, "/d", 0x201, 0644, none));
    EXPECT_EQ(EISDIR, errno);
    EXPECT_FALSE(api->open(iopx, "/c/x", 0, none));
    EXPECT_EQ(ENOTDIR, errno);
}

TEST_P(ServiceContract, ModesAreExactWhateverTheUmask)
{
    testvol::UmaskScope restrictive(077);
    znfs_file_ptr f = api->creat(iopx, "/f", 0x201, 0100775, none);
    ASSERT_TRUE(f);
    api->close(f, none);
    EXPECT_EQ(0100775u, mode_of("/f"));

    EXPECT_FALSE(api->mkdir(iopx, "/d", 040775, none));
    EXPECT_EQ(040775u, mode_of("/d"));
    EXPECT_FALSE(api->mkdir(iopx, "/d/sticky/", 041777, none));
    EXPECT_EQ(041777u, mode_of("/d/sticky"));
    EXPECT_FALSE(api->mkdir(iopx, "/d/closed", 0, none));
    EXPECT_EQ(040000u, mode_of("/d/closed"));

    f = api->creat(iopx, "/d/readonly", 0x201, 0400, none);
    ASSERT_TRUE(f) << "a new file is writable through its creating handle";
    EXPECT_EQ(2, api->write(f, buffer("ok"), 2, 0, 0, none));
    api->close(f, none);
    EXPECT_EQ(0100400u, mode_of("/d/readonly"));
}

TEST_P(ServiceContract, StatReportsTypeSizeAndErrors)
{
    put("/f", "hello");
    ASSERT_FALSE(api->mkdir(iopx, "/d", 0750, none));
    struct stat st;
    ASSERT_FALSE(api->stat(iopx, "/f", &st, none));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(5, st.st_size);
    ASSERT_FALSE(api->stat(iopx, "d", &st, none));
    EXPECT_EQ(040750u, st.st_mode);

    EXPECT_EQ(ENOENT, api->stat(iopx, "/nothing", &st, none).value());
    EXPECT_EQ(ENOTDIR, api->stat(iopx, "/f/x", &st, none).value());
    EXPECT_EQ(std::system_category(), api->stat(iopx, "/nothing", &st, none).category());

    if (!host)
        return;
    host->symlink("f", "/link");
    host->symlink("missing", "/dangling");
    host->symlink("loop", "/loop");
    ASSERT_FALSE(api->stat(iopx, "/link", &st, none));
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "a final link is followed";
    EXPECT_EQ(ENOENT, api->stat(iopx, "/dangling", &st, none).value());
    EXPECT_EQ(ELOOP, api->stat(iopx, "/loop", &st, none).value());
}

TEST_P(ServiceContract, RemovesNamesWithExactErrors)
{
    ASSERT_FALSE(api->mkdir(iopx, "/d", 0755, none));
    put("/d/f", "x");
    EXPECT_EQ(EEXIST, api->mkdir(iopx, "/d", 0755, none).value());
    EXPECT_EQ(ENOTEMPTY, api->rmdir(iopx, "/d", none).value());
    EXPECT_EQ(EISDIR, api->unlink(iopx, "/d", none).value());
    EXPECT_EQ(ENOTDIR, api->rmdir(iopx, "/d/f", none).value());
    EXPECT_EQ(ENOENT, api->unlink(iopx, "/d/none", none).value());
    EXPECT_EQ(ENOENT, api->rmdir(iopx, "/none/x", none).value());

    EXPECT_EQ(EINVAL, api->rmdir(iopx, "/", none).value());
    EXPECT_EQ(EINVAL, api->rmdir(iopx, "/d/..", none).value());
    EXPECT_EQ(EINVAL, api->rmdir(iopx, "/d/.", none).value());
    EXPECT_EQ(EINVAL, api->unlink(iopx, "/d/f/..", none).value());
    EXPECT_EQ(EINVAL, api->mkdir(iopx, "/d/..", 0755, none).value());

    EXPECT_FALSE(api->unlink(iopx, "/d//f", none));
    EXPECT_FALSE(api->rmdir(iopx, "/d/", none));
    struct stat st;
    EXPECT_EQ(ENOENT, api->stat(iopx, "/d", &st, none).value());
}

TEST_P(ServiceContract, UnlinkRemovesALinkNotItsTarget)
{
    if (!host)
        GTEST_SKIP() << "needs host-side links";
    put("/target", "keep");
    ASSERT_FALSE(api->mkdir(iopx, "/dir", 0755, none));
    host->symlink("target", "/flink");
    host->symlink("/dir", "/dlink");
    EXPECT_EQ(ENOTDIR, api->rmdir(iopx, "/dlink", none).value());
    EXPECT_EQ(ENOTDIR, api->unlink(iopx, "/dlink/", none).value());
    EXPECT_FALSE(api->unlink(iopx, "/flink", none));
    EXPECT_FALSE(api->unlink(iopx, "/dlink", none));
    EXPECT_FALSE(host->exists("/flink"));
    EXPECT_FALSE(host->exists("/dlink"));
    EXPECT_EQ("keep", get("/target"));
    EXPECT_TRUE(S_ISDIR(mode_of("/dir")));
}

// A copy inside the service: the same bytes (holes kept where the backend finds them), short
// only where the source ends, or an answer that sends the caller to reading and writing.
TEST_P(ServiceContract, CopyRangeCopiesInPlaceOrSaysWhyNot)
{
    std::string data = pattern(200000, 7);
    put("/src", data);
    znfs_file_ptr src = api->open(iopx, "/src", 0, none);
    znfs_file_ptr dst = api->creat(iopx, "/dst", 0x201, 0644, none);
    ASSERT_TRUE(src && dst);
    errno = 0;
    int64_t n = api->copy_range(src, 0, dst, 0, data.size(), none);
    if (n < 0) {
        EXPECT_TRUE(errno == EXDEV || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL) << errno;
        GTEST_SKIP() << "no copy in place here (" << std::strerror(errno) << ")";
    }
    EXPECT_EQ(static_cast<int64_t>(data.size()), n);
    znfs_file_ptr tail = api->creat(iopx, "/tail", 0x201, 0644, none);
    EXPECT_EQ(1000, api->copy_range(src, data.size() - 1000, tail, 0, 5000, none)) << "short where the source ends";
    api->close(src, none);
    api->close(dst, none);
    api->close(tail, none);
    EXPECT_EQ(data, get("/dst"));
    EXPECT_EQ(data.substr(data.size() - 1000), get("/tail"));
    EXPECT_EQ(-1, api->copy_range(src, 0, dst, 0, 1, none));
    EXPECT_EQ(EBADF, errno);

    if (!host)
        return;
    // 64 MiB holding 4 KiB of data: the copy holds about as much.
    int fd = ::open(host->host("/sparse").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(4096, ::pwrite(fd, data.data(), 4096, 32 << 20));
    ASSERT_EQ(0, ::ftruncate(fd, 64 << 20));
    ::close(fd);
    src = api->open(iopx, "/sparse", 0, none);
    dst = api->creat(iopx, "/sparse.copy", 0x201, 0644, none);
    EXPECT_EQ(64 << 20, api->copy_range(src, 0, dst, 0, 64 << 20, none));
    api->close(src, none);
    api->close(dst, none);
    struct stat st;
    ASSERT_EQ(0, ::stat(host->host("/sparse.copy").c_str(), &st));
    EXPECT_EQ(64 << 20, st.st_size);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the holes were filled";
    EXPECT_EQ(slurp_range(host->host("/sparse"), 32 << 20, 8192), slurp_range(host->host("/sparse.copy"), 32 << 20, 8192));
}

// A confined context reaches its roots as the host named them (through links) and below them
// follows no link, except a final one on a read, when asked, that stays beneath its root.
TEST_P(ServiceContract, ConfinedContextsFollowNoLinkBelowTheirRoots)
{
    if (!host)
        GTEST_SKIP() << "needs host-side links";
    ASSERT_FALSE(api->mkdir(iopx, "/real", 0755, none));
    ASSERT_FALSE(api->mkdir(iopx, "/real/dir", 0755, none));
    ASSERT_FALSE(api->mkdir(iopx, "/other", 0755, none));
    put("/real/dir/f", "in", 0644);
    put("/other/secret", "secret", 0600);
    host->symlink("real", "/alias");
    host->symlink("dir/f", "/real/ln_in");
    host->symlink("/other/secret", "/real/ln_out");
    host->symlink("../../other/secret", "/real/dir/ln_up");
    host->symlink("dir", "/real/dirlink");
    host->symlink("nowhere", "/real/dangling");
    struct stat st;
    iovec v{const_cast<char*>("v"), 1};

    std::error_code ec;
    znfs::znfs_iopx_ptr follow = api->confine(iopx, {"/alias", "/missing"}, znfs::znfs_api::final_link::follow_beneath, ec);
    ASSERT_TRUE(follow) << ec.message();
    EXPECT_EQ("in", testvol::api_get(api, follow, "/alias/dir/f"));
    EXPECT_FALSE(api->stat(follow, "/alias", &st, none)) << "a root is reached as the host named it";
    EXPECT_FALSE(api->stat(follow, "/alias/ln_in", &st, none));
    EXPECT_EQ(2, st.st_size);
    EXPECT_EQ("in", testvol::api_get(api, follow, "/alias/ln_in"));
    EXPECT_EQ(EXDEV, api->stat(follow, "/alias/ln_out", &st, none).value());
    EXPECT_EQ(EXDEV, api->stat(follow, "/alias/dir/ln_up", &st, none).value());
    EXPECT_EQ(ENOENT, api->stat(follow, "/alias/dangling", &st, none).value());
    EXPECT_EQ(ELOOP, api->stat(follow, "/alias/dirlink/f", &st, none).value());
    EXPECT_EQ(EXDEV, api->stat(follow, "/alias/dir/../../other/secret", &st, none).value());
    EXPECT_EQ(ENOENT, api->stat(follow, "/missing/x", &st, none).value());
    errno = 0;
    EXPECT_FALSE(api->opendir(follow, "/alias/dirlink", none));
    EXPECT_EQ(ELOOP, errno);
    EXPECT_FALSE(api->creat(follow, "/alias/ln_in", 0x201, 0644, none)) << "never written through a link";
    EXPECT_FALSE(api->creat(follow, "/alias/ln_out", 0x201, 0644, none));
    EXPECT_FALSE(api->creat(follow, "/alias/dir/f", 0x201 | O_EXCL, 0644, none));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_EQ(ELOOP, api->setxattr(follow, "/alias/ln_in", "user.k", &v, 0, none).value());
    EXPECT_EQ(ELOOP, api->chmod(follow, "/alias/ln_out", 0777, none).value());
    EXPECT_FALSE(api->chmod(follow, "/alias/dir/f", 0640, none));
    EXPECT_FALSE(api->unlink(follow, "/alias/ln_out", none)) << "a link is removed as a name";

    znfs::znfs_iopx_ptr strict = api->confine(iopx, {"/real"}, znfs::znfs_api::final_link::refuse, ec);
    ASSERT_TRUE(strict);
    EXPECT_EQ(ELOOP, api->stat(strict, "/real/ln_in", &st, none).value());
    iovec q{nullptr, 0};
    errno = 0;
    EXPECT_EQ(-1, api->getxattr(strict, "/real/ln_in", "user.k", &q, none));
    EXPECT_EQ(ELOOP, errno);
    EXPECT_EQ(ELOOP, api->stat(strict, "/alias/dir/f", &st, none).value()) << "outside every root, no link either";
    EXPECT_FALSE(api->stat(strict, "/other/secret", &st, none));

    EXPECT_EQ("in", get("/real/dir/f"));
    EXPECT_EQ(0640u, mode_of("/real/dir/f") & 07777);
    EXPECT_EQ("secret", get("/other/secret"));
    EXPECT_EQ(0600u, mode_of("/other/secret") & 07777);
    EXPECT_FALSE(host->exists("/real/ln_out"));
}

// Below its roots a confined context makes, removes, lists and changes names without going
// through a link, follows a read's final link only as far as it stays beneath the root, and
// keeps reaching a root as it was resolved when the context was made. Run off and inside a pool
// task, where what a task keeps for a path must not let a later call through a link.
TEST_P(ServiceContract, ConfinedContextsActOnLinksAsNamesAndHoldTheirRoots)
{
    if (!host)
        GTEST_SKIP() << "needs host-side links";
    ASSERT_FALSE(api->mkdir(iopx, "/real", 0755, none));
    ASSERT_FALSE(api->mkdir(iopx, "/real/dir", 0755, none));
    ASSERT_FALSE(api->mkdir(iopx, "/other", 0755, none));
    put("/real/dir/f", "in", 0644);
    put("/other/secret", "secret", 0600);
    iovec v{const_cast<char*>("v"), 1};
    ASSERT_FALSE(api->setxattr(iopx, "/real/dir/f", "user.k", &v, 0, none));
    host->symlink("real", "/alias");
    host->symlink("dir/f", "/real/ln_in");
    host->symlink("ln_in", "/real/ln_chain");
    host->symlink("/real/dir/f", "/real/ln_abs");
    host->symlink("../ln_out", "/real/dir/ln_via");
    host->symlink("/other/secret", "/real/ln_out");
    host->symlink("dir", "/real/dirlink");

    auto checks = [&](const char* when) {
        SCOPED_TRACE(when);
        std::error_code ec;
        znfs::znfs_iopx_ptr c = api->confine(iopx, {"/real"}, znfs::znfs_api::final_link::follow_beneath, ec);
        ASSERT_TRUE(c) << ec.message();
        struct stat st;
        EXPECT_FALSE(api->stat(c, "/real/ln_chain", &st, none)) << "relative links that stay beneath";
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ("in", testvol::api_get(api, c, "/real/ln_abs"));
        EXPECT_EQ("in", testvol::api_get(api, c, "/real/dir/../dir/f"));
        EXPECT_EQ(EXDEV, api->stat(c, "/real/dir/ln_via", &st, none).value()) << "the next link leads out";
        iovec q{nullptr, 0};
        EXPECT_EQ(1, api->getxattr(c, "/real/ln_in", "user.k", &q, none));
        EXPECT_GT(api->listxattr(c, "/real/ln_in", &q, none), 0);

        // A task that followed the link for a read still meets the link for anything else.
        EXPECT_EQ(ELOOP, api->setxattr(c, "/real/ln_in", "user.k", &v, 0, none).value());
        EXPECT_EQ(ELOOP, api->chmod(c, "/real/ln_in", 0777, none).value());
        errno = 0;
        EXPECT_FALSE(api->open(c, "/real/ln_in", 1, none)) << "a write never follows a final link";
        EXPECT_EQ(ELOOP, errno);
        EXPECT_FALSE(api->open(c, "/real/ln_in", 0x241, none));
        EXPECT_EQ(ELOOP, errno);

        EXPECT_EQ(ELOOP, api->mkdir(c, "/real/dirlink/new", 0755, none).value());
        EXPECT_FALSE(api->creat(c, "/real/dirlink/new", 0x201, 0644, none));
        EXPECT_EQ(ELOOP, errno);
        EXPECT_EQ(ELOOP, api->setxattr(c, "/real/dirlink/f", "user.k", &v, 0, none).value());
        EXPECT_EQ(ELOOP, api->unlink(c, "/real/dirlink/f", none).value());
        EXPECT_EQ(ENOTDIR, api->rmdir(c, "/real/dirlink", none).value()) << "a link is no directory";
        EXPECT_EQ(ENOTDIR, api->unlink(c, "/real/dirlink/", none).value());
        errno = 0;
        EXPECT_FALSE(api->opendir(c, "/real/dirlink", none));
        EXPECT_EQ(ELOOP, errno);

        std::map<std::string, int> seen;
        znfs_file_ptr d = api->opendir(c, "/real", none);
        ASSERT_TRUE(d);
        while (struct dirent* e = api->readdir(d, none))
            seen[e->d_name] = e->d_type;
        api->closedir(d, none);
        EXPECT_EQ(DT_LNK, seen["dirlink"]);
        EXPECT_EQ(DT_DIR, seen["dir"]);

        EXPECT_FALSE(api->mkdir(c, "/real/dir/sub", 0700, none));
        EXPECT_FALSE(api->rmdir(c, "/real/dir/sub", none));

        EXPECT_EQ("in", get("/real/dir/f"));
        EXPECT_EQ(0644u, mode_of("/real/dir/f") & 07777);
        EXPECT_EQ("secret", get("/other/secret"));
        EXPECT_TRUE(host->exists("/real/dirlink"));
        EXPECT_FALSE(host->exists("/real/dir/new"));
        std::string value(1, '\0');
        iovec got{&value[0], 1};
        EXPECT_EQ(1, api->getxattr(iopx, "/real/dir/f", "user.k", &got, none));
        EXPECT_EQ("v", value) << "never set through the link";
    };
    checks("off a pool task");
    testvol::in_pool_task([&] { checks("inside a pool task"); });
    testvol::in_pool_task([&] {
        // What the task keeps for a path it read through a link serves no call on the link.
        std::error_code ec;
        znfs::znfs_iopx_ptr c = api->confine(iopx, {"/real"}, znfs::znfs_api::final_link::follow_beneath, ec);
        ASSERT_TRUE(c);
        struct stat st;
        EXPECT_FALSE(api->stat(c, "/real/ln_in", &st, none));
        iovec w{const_cast<char*>("w"), 1};
        EXPECT_EQ(ELOOP, api->setxattr(c, "/real/ln_in", "user.k", &w, 0, none).value());
    });

    // The host's root is resolved once: a link repointed later does not move the context.
    std::error_code ec;
    znfs::znfs_iopx_ptr held = api->confine(iopx, {"/alias"}, znfs::znfs_api::final_link::refuse, ec);
    ASSERT_TRUE(held) << ec.message();
    ASSERT_FALSE(api->unlink(iopx, "/alias", none));
    host->symlink("other", "/alias");
    EXPECT_EQ("in", testvol::api_get(api, held, "/alias/dir/f"));
    struct stat st;
    EXPECT_EQ(ENOENT, api->stat(held, "/alias/secret", &st, none).value());
    znfs_file_ptr made = api->creat(held, "/alias/secret", 0x201, 0600, none);
    ASSERT_TRUE(made) << "a name below the root is made in the held root";
    api->close(made, none);
    EXPECT_TRUE(host->exists("/real/secret"));
    EXPECT_FALSE(api->mkdir(held, "/alias/made", 0700, none));
    EXPECT_TRUE(host->exists("/real/made"));
    EXPECT_FALSE(api->rmdir(held, "/alias/made", none));
    EXPECT_FALSE(api->unlink(held, "/alias/secret", none));
    EXPECT_FALSE(host->exists("/real/secret"));
    EXPECT_FALSE(host->exists("/other/made"));
    EXPECT_EQ("secret", get("/other/secret"));
}

TEST_P(ServiceContract, ReaddirGivesEveryEntryWithItsRealType)
{
    ASSERT_FALSE(api->mkdir(iopx, "/d", 0755, none));
    ASSERT_FALSE(api->mkdir(iopx, "/d/sub", 0755, none));
    put("/d/file", "x");
    std::map<std::string, int> want{{".", DT_DIR}, {"..", DT_DIR}, {"sub", DT_DIR}, {"file", DT_REG}};
    if (host) {
        host->symlink("sub", "/d/link");
        ASSERT_EQ(0, mkfifo(host->host("/d/fifo").c_str(), 0644));
        want["link"] = DT_LNK;
        want["fifo"] = DT_FIFO;
    }
    EXPECT_EQ(want, listing("/d"));

    znfs_file_ptr d = api->opendir(iopx, "/d", none);
    ASSERT_TRUE(d);
    while (api->readdir(d, none)) {
    }
    EXPECT_EQ(0, errno) << "the end is not an error";
    EXPECT_EQ(nullptr, api->readdir(d, none));
    EXPECT_FALSE(api->closedir(d, none));

    errno = 0;
    EXPECT_FALSE(api->opendir(iopx, "/d/file", none));
    EXPECT_EQ(ENOTDIR, errno);
    EXPECT_FALSE(api->opendir(iopx, "/none", none));
    EXPECT_EQ(ENOENT, errno);

    znfs_file_ptr f = api->open(iopx, "/d/file", 0, none);
    ASSERT_TRUE(f);
    EXPECT_EQ(nullptr, api->readdir(f, none));
    EXPECT_EQ(EBADF, errno);
    api->close(f, none);
    EXPECT_EQ(nullptr, api->readdir(znfs_file_ptr(), none));
    EXPECT_EQ(EBADF, errno);
}

TEST_P(ServiceContract, ExtendedAttributesOnFilesAndDirectories)
{
    put("/f", "data");
    ASSERT_FALSE(api->mkdir(iopx, "/d", 0755, none));
    const std::string uuid = "objects/3f/2a-77";
    for (const char* path : {"/f", "/d"}) {
        SCOPED_TRACE(path);
        iovec v{const_cast<char*>(uuid.data()), uuid.size()};
        ASSERT_FALSE(api->setxattr(iopx, path, "trusted.vidoruvud.uuid", &v, 0, none));
        v = {const_cast<char*>("u"), 1};
        ASSERT_FALSE(api->setxattr(iopx, path, "user.one", &v, 0, none));
        v = {nullptr, 0};
        ASSERT_FALSE(api->setxattr(iopx, path, "user.empty", &v, 0, none));
        EXPECT_EQ(EEXIST, api->setxattr(iopx, path, "user.one", &v, XATTR_CREATE, none).value());

        iovec q{nullptr, 0};
        int64_t size = api->getxattr(iopx, path, "trusted.vidoruvud.uuid", &q, none);
        ASSERT_EQ(static_cast<int64_t>(uuid.size()), size);
        std::string value(static_cast<size_t>(size), '\0');
        iovec small{&value[0], value.size() - 1};
        EXPECT_EQ(-1, api->getxattr(iopx, path, "trusted.vidoruvud.uuid", &small, none));
        EXPECT_EQ(ERANGE, errno);
        iovec full{&value[0], value.size()};
        EXPECT_EQ(size, api->getxattr(iopx, path, "trusted.vidoruvud.uuid", &full, none));
        EXPECT_EQ(uuid, value);
        EXPECT_EQ(0, api->getxattr(iopx, path, "user.empty", &q, none));
        EXPECT_EQ(-1, api->getxattr(iopx, path, "user.absent", &q, none));
        EXPECT_EQ(ENODATA, errno);

        int64_t len = api->listxattr(iopx, path, &q, none);
        ASSERT_GT(len, 0);
        std::string names(static_cast<size_t>(len), '\0');
        iovec nl{&names[0], names.size()};
        ASSERT_EQ(len, api->listxattr(iopx, path, &nl, none));
        std::set<std::string> got;
        for (size_t i = 0; i < names.size(); i += strlen(names.c_str() + i) + 1)
            got.insert(names.c_str() + i);
        for (const char* n : {"trusted.vidoruvud.uuid", "user.one", "user.empty"})
            EXPECT_EQ(1u, got.count(n)) << n;
        if (len > 1) {
            iovec tiny{&names[0], 1};
            EXPECT_EQ(-1, api->listxattr(iopx, path, &tiny, none));
            EXPECT_EQ(ERANGE, errno);
        }
    }
    iovec q{nullptr, 0};
    EXPECT_EQ(-1, api->listxattr(iopx, "/none", &q, none));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(ENOENT, api->setxattr(iopx, "/none", "user.x", &q, 0, none).value());
}

TEST_P(ServiceContract, SpecialFilesAreRefusedWithoutBlocking)
{
    if (!host)
        GTEST_SKIP() << "needs host-side special files";
    ASSERT_EQ(0, mkfifo(host->host("/fifo").c_str(), 0666));
    for (int flags : {0, 1, 0x241}) {
        errno = 0;
        EXPECT_FALSE(api->open(iopx, "/fifo", flags, none)) << flags;
        EXPECT_EQ(EOPNOTSUPP, errno) << flags;
    }
    EXPECT_FALSE(api->creat(iopx, "/fifo", 0x201, 0644, none));
    EXPECT_EQ(EOPNOTSUPP, errno);
    EXPECT_FALSE(api->opendir(iopx, "/fifo", none));
    EXPECT_EQ(ENOTDIR, errno);
    struct stat st;
    EXPECT_FALSE(api->stat(iopx, "/fifo", &st, none));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    iovec q{nullptr, 0};
    EXPECT_GE(api->listxattr(iopx, "/fifo", &q, none), 0);

    // A character device (the null device's numbers) must not reach its driver either.
    if (mknod(host->host("/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        EXPECT_FALSE(api->open(iopx, "/null", 1, none));
        EXPECT_EQ(EOPNOTSUPP, errno);
    }
}

TEST_P(ServiceContract, HandlesCloseOnce)
{
    EXPECT_FALSE(api->close(znfs_file_ptr(), none)) << "an empty handle is accepted";
    put("/f", "x");
    znfs_file_ptr f = api->open(iopx, "/f", 0, none);
    ASSERT_TRUE(f);
    EXPECT_FALSE(api->fsync(f, none)) << "a file open for reading is flushed too";
    EXPECT_FALSE(api->close(f, none));
    EXPECT_EQ(EBADF, api->close(f, none).value());
    EXPECT_EQ(-1, api->read(f, api->alloc_io_buffer(1), 1, 0, 0, none));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(EBADF, api->fsync(f, none).value());
    std::error_code whole = api->syncfs(iopx, none);
    EXPECT_TRUE(!whole || whole.value() == ENOTSUP) << whole.message();

    znfs_file_ptr d = api->opendir(iopx, "/", none);
    ASSERT_TRUE(d);
    EXPECT_FALSE(api->closedir(d, none));
    EXPECT_EQ(EBADF, api->closedir(d, none).value());
    EXPECT_EQ(nullptr, api->readdir(d, none));
    EXPECT_EQ(EBADF, errno);

    // Handles that nobody closes are closed when dropped; a directory can be opened as a file.
    for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(api->open(iopx, "/f", 0, none)) << i;
        ASSERT_TRUE(api->opendir(iopx, "/", none)) << i;
        ASSERT_TRUE(api->open(iopx, "/", 0, none)) << i;
    }
}

TEST_P(ServiceContract, ForeignContextsAreRefused)
{
    struct foreign : znfs::znfs_iopx {
        std::string describe() const override { return "foreign"; }
    };
    znfs::znfs_iopx_ptr other(new foreign);
    struct stat st;
    EXPECT_EQ(EINVAL, api->stat(other, "/", &st, none).value());
    EXPECT_EQ(EINVAL, api->mkdir(znfs::znfs_iopx_ptr(), "/x", 0755, none).value());
    errno = 0;
    EXPECT_FALSE(api->open(other, "/", 0, none));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(EINVAL, api->stat(iopx, nullptr, &st, none).value());
    EXPECT_EQ(EINVAL, api->syncfs(other, none).value());
}

TEST_P(ServiceContract, ConcurrentCallsOnOneServiceObject)
{
    const int threads = 4, files = 40;
    std::vector<std::thread> pool;
    std::vector<int> failures(threads, 0);
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            std::string dir = "/t" + std::to_string(t);
            if (api->mkdir(iopx, dir.c_str(), 0755, none))
                ++failures[t];
            for (int i = 0; i < files; ++i) {
                std::string path = dir + "/f" + std::to_string(i);
                std::string data = pattern(static_cast<size_t>(100 + i * t));
                znfs_file_ptr f = api->creat(iopx, path.c_str(), 0x201, 0644, none);
                if (!f || api->write(f, buffer(data), data.size(), 0, 0, none) != int64_t(data.size()))
                    ++failures[t];
                api->close(f, none);
                if (get(path.c_str()) != data)
                    ++failures[t];
            }
        });
    }
    for (auto& th : pool)
        th.join();
    EXPECT_EQ(std::vector<int>(threads, 0), failures);
    EXPECT_EQ(size_t(files + 2), listing("/t3").size());
}

// A GlusterFS volume of its own (ZNFS_GLUSTER_CONTRACT, default znfs_contract) on the server
// named by ZNFS_GLUSTER_HOST, emptied before each case; skipped when that is not set.
void wipe(znfs::znfs_api* api, znfs::znfs_iopx_ptr v, const std::string& dir)
{
    znfs_file_ptr d = api->opendir(v, dir.c_str(), znfs_aio_ptr());
    std::vector<std::pair<std::string, int>> entries;
    while (struct dirent* e = d ? api->readdir(d, znfs_aio_ptr()) : nullptr) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            entries.emplace_back((dir == "/" ? "" : dir) + "/" + n, e->d_type);
    }
    api->closedir(d, znfs_aio_ptr());
    for (auto& e : entries) {
        if (e.second == DT_DIR) {
            wipe(api, v, e.first);
            api->rmdir(v, e.first.c_str(), znfs_aio_ptr());
        } else {
            api->unlink(v, e.first.c_str(), znfs_aio_ptr());
        }
    }
}

// The volume's single brick is its host-side tree when it lies on this machine, under
// ZNFS_GLUSTER_BRICKS (default /var/lib/znfs-gluster-test, where scripts/gluster-test-env.sh
// puts it): a link or special file made there is seen by the volume at its next lookup of the
// name, which gives the new entry its identity on the brick.
struct GlusterBackend : Backend {
    znfs::znfs_iopx_ptr v;
    HostTree brick;
    znfs::znfs_api* api() override { return znfs::gluster_api(); }
    znfs::znfs_iopx_ptr iopx() override { return v; }
    const HostTree* host() override { return brick.root.empty() ? nullptr : &brick; }
    static std::unique_ptr<Backend> make()
    {
        const std::string host = testvol::env_or("ZNFS_GLUSTER_HOST", "");
        const std::string vol = testvol::env_or("ZNFS_GLUSTER_CONTRACT", "znfs_contract");
        if (host.empty())
            return nullptr;
        std::error_code ec;
        znfs::znfs_iopx_ptr v = znfs::make_gluster_volume(host, znfs::gluster_default_port, vol, ec);
        if (!v)
            return nullptr;
        std::unique_ptr<GlusterBackend> b(new GlusterBackend);
        b->v = v;
        const std::string dir = testvol::env_or("ZNFS_GLUSTER_BRICKS", "/var/lib/znfs-gluster-test") + "/" + vol;
        struct stat st;
        if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            b->brick.root = dir;
        wipe(b->api(), v, "/");
        return std::unique_ptr<Backend>(b.release());
    }
};

std::string backend_name(const ::testing::TestParamInfo<BackendFactory>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Backends, ServiceContract,
    ::testing::Values(BackendFactory{"posix", [] { return std::unique_ptr<Backend>(new PosixBackend); }},
                      BackendFactory{"faultfs_off", [] { return std::unique_ptr<Backend>(new FaultFsBackend); }},
                      BackendFactory{"gluster", [] { return GlusterBackend::make(); }}),
    backend_name);

// FaultFs itself: it forwards every operation and fails exactly what it is told to.

class FaultFsTest : public ::testing::Test {
protected:
    testvol::TempVolume vol;
    FaultFs fault{vol.api()};
    znfs_aio_ptr none;
};

TEST_F(FaultFsTest, ForwardsAndCountsEveryOperation)
{
    znfs::znfs_iopx_ptr v = vol.iopx();
    znfs_buff_ptr b = fault.alloc_io_buffer(4);
    memcpy(b->get_base(), "abcd", 4);
    struct stat st;
    iovec val{const_cast<char*>("v"), 1}, q{nullptr, 0};

    EXPECT_FALSE(fault.mkdir(v, "/d", 0755, none));
    znfs_file_ptr f = fault.creat(v, "/d/f", 0x201, 0644, none);
    EXPECT_EQ(4, fault.write(f, b, 4, 0, 0, none));
    EXPECT_FALSE(fault.fsync(f, none));
    EXPECT_FALSE(fault.close(f, none));
    EXPECT_FALSE(fault.chmod(v, "/d/f", 0600, none));
    EXPECT_FALSE(fault.syncfs(v, none));
    f = fault.open(v, "/d/f", 0, none);
    EXPECT_EQ(4, fault.read(f, b, 4, 0, 0, none));
    fault.close(f, none);
    EXPECT_FALSE(fault.stat(v, "/d/f", &st, none));
    EXPECT_FALSE(fault.setxattr(v, "/d/f", "user.k", &val, 0, none));
    EXPECT_EQ(1, fault.getxattr(v, "/d/f", "user.k", &q, none));
    EXPECT_GT(fault.listxattr(v, "/d/f", &q, none), 0);
    znfs_file_ptr d = fault.opendir(v, "/d", none);
    EXPECT_NE(nullptr, fault.readdir(d, none));
    EXPECT_FALSE(fault.closedir(d, none));
    EXPECT_FALSE(fault.unlink(v, "/d/f", none));
    EXPECT_FALSE(fault.rmdir(v, "/d", none));

    for (const char* op : {"open", "creat", "read", "write", "stat", "mkdir", "rmdir", "unlink", "opendir",
                           "readdir", "closedir", "getxattr", "listxattr", "setxattr", "chmod", "fsync", "syncfs"})
        EXPECT_EQ(1u, fault.calls(op)) << op;
    EXPECT_EQ(2u, fault.calls("close"));
    EXPECT_EQ(19u, fault.calls());
    EXPECT_EQ(0u, fault.injected_count());
    EXPECT_FALSE(vol.exists("/d"));
}

TEST_F(FaultFsTest, InjectedFailuresCarryTheAskedErrno)
{
    znfs::znfs_iopx_ptr v = vol.iopx();
    struct stat st;
    vol.write("/a", "1");
    vol.write("/b", "2");

    fault.fail_op("stat", EIO);
    EXPECT_EQ(std::error_code(EIO, std::system_category()), fault.stat(v, "/a", &st, none));
    fault.clear_faults();
    EXPECT_FALSE(fault.stat(v, "/a", &st, none));

    fault.fail_op("open", EACCES, "/b", 2);
    EXPECT_TRUE(fault.open(v, "/a", 0, none));
    EXPECT_TRUE(fault.open(v, "/b", 0, none));
    errno = 0;
    EXPECT_FALSE(fault.open(v, "/b", 0, none));
    EXPECT_EQ(EACCES, errno);
    EXPECT_TRUE(fault.open(v, "/b", 0, none));
    fault.clear_faults();

    fault.fail_call(fault.calls() + 2, ENOSPC);
    EXPECT_FALSE(fault.mkdir(v, "/d1", 0755, none));
    EXPECT_EQ(ENOSPC, fault.mkdir(v, "/d2", 0755, none).value());
    EXPECT_FALSE(vol.exists("/d2")) << "an injected failure does not reach the backend";
    fault.clear_faults();

    fault.fail_op("write", EDQUOT, "/b");
    znfs_buff_ptr buf = fault.alloc_io_buffer(1);
    znfs_file_ptr fa = fault.open(v, "/a", 1, none), fb = fault.open(v, "/b", 1, none);
    EXPECT_EQ(1, fault.write(fa, buf, 1, 0, 0, none));
    EXPECT_EQ(-1, fault.write(fb, buf, 1, 0, 0, none));
    EXPECT_EQ(EDQUOT, errno);

    fault.fail_op("close", EIO);
    EXPECT_EQ(EIO, fault.close(fb, none).value());
    fault.clear_faults();
    EXPECT_EQ(EBADF, fault.close(fb, none).value()) << "the failed close still released the handle";

    std::vector<std::pair<std::string, std::string>> want{
        {"stat", "/a"}, {"open", "/b"}, {"mkdir", "/d2"}, {"write", "/b"}, {"close", "/b"}};
    EXPECT_EQ(want, fault.injected());
    EXPECT_EQ(5u, fault.injected_count());

    fault.set_no_allocator(true);
    EXPECT_FALSE(fault.alloc_io_buffer(16));
    fault.set_no_allocator(false);
    EXPECT_TRUE(fault.alloc_io_buffer(16));

    vol.write("/long", pattern(1000));
    fault.set_short_reads(7);
    znfs_file_ptr fl = fault.open(v, "/long", 0, none);
    EXPECT_EQ(7, fault.read(fl, fault.alloc_io_buffer(100), 100, 0, 0, none));

    fault.reset();
    EXPECT_EQ(0u, fault.calls());
    EXPECT_EQ(0u, fault.injected_count());
    EXPECT_EQ(100, fault.read(fl, fault.alloc_io_buffer(100), 100, 0, 0, none));
}

}  // namespace
