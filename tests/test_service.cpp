// The file-system service contract (znfs_api.h), written once and run on every backend
// (tests/support/backends.h). A case that needs a link or a special file makes it in the
// directory that holds the volume's files, for GlusterFS the brick of a one-brick volume.

#include "backends.h"
#include "testvol.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
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
#include <utility>
#include <vector>

using znfs::znfs_aio_ptr;
using znfs::znfs_buff_ptr;
using znfs::znfs_file_ptr;
using testvol::Backend;
using testvol::BackendFactory;
using testvol::HostTree;
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

// A handle of no backend.
struct foreign_file : znfs::znfs_file {};

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

    bool is(const char* backend) const { return std::strcmp(GetParam().name, backend) == 0; }

    znfs_buff_ptr buffer(const std::string& data) { return testvol::api_buffer(api, data); }

    void put(const std::string& path, const std::string& data, uint64_t mode = 0644)
    {
        testvol::api_put(api, iopx, path, data, mode);
    }
    std::string get(const std::string& path) { return testvol::api_get(api, iopx, path); }
    // "mkdir", "rmdir" or "unlink" of path.
    std::error_code name_call(const std::string& op, const char* path)
    {
        return op == "mkdir"   ? api->mkdir(iopx, path, 0755, none)
               : op == "rmdir" ? api->rmdir(iopx, path, none)
                               : api->unlink(iopx, path, none);
    }
    // A root to confine to (/real, holding dir/f) and a tree beside it that must stay out of
    // reach (/other/secret).
    void two_trees()
    {
        mkdir("/real");
        mkdir("/real/dir");
        mkdir("/other");
        put("/real/dir/f", "in", 0644);
        put("/other/secret", "secret", 0600);
    }
    void mkdir(const std::string& path, uint32_t mode = 0755)
    {
        std::error_code ec = api->mkdir(iopx, path.c_str(), mode, none);
        ASSERT_FALSE(ec) << path << ": " << ec.message();
    }

    mode_t mode_of(const std::string& path)
    {
        struct stat st;
        std::error_code ec = api->stat(iopx, path.c_str(), &st, none);
        return ec ? 0 : st.st_mode;
    }

    std::string xattr(const std::string& path, const char* name) { return testvol::api_xattr(api, iopx, path, name); }
    std::map<std::string, int> listing(const std::string& path) { return testvol::api_listing(api, iopx, path); }

    // errno of a call that returns a handle (0: it gave one, which is closed).
    int opened(znfs_file_ptr f)
    {
        int e = f ? 0 : errno;
        api->close(f, none);
        return e;
    }

    std::unique_ptr<Backend> m_backend;
    znfs::znfs_api* api = nullptr;
    znfs::znfs_iopx_ptr iopx;
    const HostTree* host = nullptr;
    znfs_aio_ptr none;
};

// Sizes beyond what some backends move in one call (GlusterFS: 16 MiB).
TEST_P(ServiceContract, WriteAndReadBackCompletely)
{
    const std::string data = pattern((16u << 20) + 12345, 7);
    znfs_file_ptr f = api->creat(iopx, "/f", 0x201, 0100644, none);
    ASSERT_TRUE(f);
    EXPECT_EQ(0u, f->get_file_size());
    EXPECT_EQ(static_cast<int64_t>(data.size()), api->write(f, buffer(data), data.size(), 0, 0, none));
    EXPECT_EQ(5, api->write(f, buffer("tail!"), 5, static_cast<int64_t>(data.size()), 1, none)) << "option is ignored";
    EXPECT_FALSE(api->close(f, none));

    const int64_t size = static_cast<int64_t>(data.size()) + 5;
    f = api->open(iopx, "//f", 0, none);
    ASSERT_TRUE(f);
    EXPECT_EQ(static_cast<uint64_t>(size), f->get_file_size());
    znfs_buff_ptr b = api->alloc_io_buffer(static_cast<uint64_t>(size) + 10);
    EXPECT_EQ(size, api->read(f, b, static_cast<uint64_t>(size) + 10, 0, 1, none)) << "short only at end of file";
    EXPECT_TRUE(std::string(static_cast<char*>(b->get_base()), static_cast<size_t>(size)) == data + "tail!");
    EXPECT_EQ(5, api->read(f, b, 100, size - 5, 0, none));
    EXPECT_EQ(0, api->read(f, b, 100, size + 100, 0, none));

    znfs_file_ptr w = api->open(iopx, "/f", 1, none);
    ASSERT_TRUE(w);
    const struct {
        const char* what;
        std::function<int64_t()> call;
        int err;
    } refused[] = {
        {"read longer than the buffer", [&] { return api->read(f, api->alloc_io_buffer(10), 11, 0, 0, none); }, EINVAL},
        {"read into no buffer", [&] { return api->read(f, znfs_buff_ptr(), 1, 0, 0, none); }, EINVAL},
        {"read at a negative offset", [&] { return api->read(f, b, 1, -1, 0, none); }, EINVAL},
        {"write of no buffer", [&] { return api->write(w, znfs_buff_ptr(), 1, 0, 0, none); }, EINVAL},
        {"write longer than the buffer", [&] { return api->write(w, api->alloc_io_buffer(10), 11, 0, 0, none); }, EINVAL},
        {"write at a negative offset", [&] { return api->write(w, b, 1, -1, 0, none); }, EINVAL},
        {"write opened read-only", [&] { return api->write(f, b, 1, 0, 0, none); }, EBADF},
        {"read opened write-only", [&] { return api->read(w, b, 1, 0, 0, none); }, EBADF},
        {"read of no handle", [&] { return api->read(znfs_file_ptr(), b, 1, 0, 0, none); }, EBADF},
    };
    for (const auto& r : refused) {
        errno = 0;
        EXPECT_EQ(-1, r.call()) << r.what;
        EXPECT_EQ(r.err, errno) << r.what;
    }
    EXPECT_FALSE(api->close(f, none));
    EXPECT_FALSE(api->close(w, none));

    f = api->open(iopx, "/f", 2, none);
    ASSERT_TRUE(f) << "O_RDWR";
    EXPECT_EQ(2, api->write(f, buffer("AB"), 2, 0, 0, none));
    EXPECT_EQ(3, api->read(f, b, 3, 0, 0, none));
    EXPECT_EQ("AB" + data.substr(2, 1), std::string(static_cast<char*>(b->get_base()), 3));
    EXPECT_FALSE(api->close(f, none));

    if (host) {
        EXPECT_TRUE(host->read("/f") == "AB" + data.substr(2) + "tail!") << "what lies on the host";
    }
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

    mkdir("/d");
    const struct {
        const char* path;
        int32_t flags;
        int err;
    } opens[] = {
        {"/missing", 0, ENOENT},      {"", 0, ENOENT},        {"/nodir/x", 0x241, ENOENT},
        {"/c/x", 0, ENOTDIR},         {"/c/", 0, ENOTDIR},    {"/d", 1, EISDIR},
        {"/d", 2, EISDIR},            {"/d", 0x241, EISDIR},  {"/c", 0x241 | O_EXCL, EEXIST},
        {"/c", 3, EINVAL},            {"/c", 0x40000000, EINVAL},
    }, creats[] = {
        {"/nodir/x", 0x201, ENOENT},  {"/c/x", 0x201, ENOTDIR}, {"/d", 0x201, EISDIR},
        {"/new2/", 0x201, EISDIR},    {"/c", 0x201 | O_EXCL, EEXIST}, {"/c", 0x40000000, EINVAL},
    };
    for (const auto& r : opens) {
        errno = 0;
        EXPECT_EQ(r.err, opened(api->open(iopx, r.path, r.flags, none))) << "open " << r.path << " " << r.flags;
    }
    for (const auto& r : creats) {
        errno = 0;
        EXPECT_EQ(r.err, opened(api->creat(iopx, r.path, r.flags, 0644, none))) << "creat " << r.path << " " << r.flags;
    }
    EXPECT_EQ("xZ", get("/c"));
    EXPECT_EQ((std::map<std::string, int>{{".", DT_DIR}, {"..", DT_DIR}}), listing("/d"));
}

// Also inside a task of the worker pool, where a backend keeps what the task looked up.
TEST_P(ServiceContract, ModesAreExactWhateverTheUmask)
{
    testvol::UmaskScope restrictive(077);
    enum made_by { by_creat, by_mkdir, by_open };
    const struct {
        const char* path;
        made_by how;
        uint32_t mode;
        mode_t want;
    } made[] = {
        {"/f", by_creat, 0100775, 0100775},       {"/setuid", by_creat, 0104755, 0104755},
        {"/readonly", by_creat, 0400, 0100400},   {"/new", by_open, 0, 0100600},
        {"/d", by_mkdir, 040775, 040775},         {"/d/sticky/", by_mkdir, 041777, 041777},
        {"/d/setgid", by_mkdir, 042750, 042750},  {"/d/closed", by_mkdir, 0, 040000},
    };
    auto make = [&](const std::string& top) {
        mkdir(top);
        for (const auto& m : made) {
            const std::string path = top + m.path;
            if (m.how == by_mkdir) {
                EXPECT_FALSE(api->mkdir(iopx, path.c_str(), m.mode, none)) << path;
                continue;
            }
            znfs_file_ptr f = m.how == by_open ? api->open(iopx, path.c_str(), 0x241, none)
                                               : api->creat(iopx, path.c_str(), 0x201, m.mode, none);
            ASSERT_TRUE(f) << path;
            EXPECT_EQ(2, api->write(f, buffer("ok"), 2, 0, 0, none)) << "writable through its creating handle";
            api->close(f, none);
        }
        znfs_file_ptr f = api->creat(iopx, (top + "/setuid").c_str(), 0x201, 0100777, none);
        ASSERT_TRUE(f);
        api->close(f, none);
    };
    make("/plain");
    testvol::in_pool_task([&] { make("/task"); });
    for (const char* top : {"/plain", "/task"}) {
        for (const auto& m : made) {
            std::string path = top + std::string(m.path);
            if (path.back() == '/')
                path.pop_back();
            EXPECT_EQ(m.want, mode_of(path)) << path << (m.want == 0104755 ? " (an existing file keeps its mode)" : "");
            if (host) {
                EXPECT_EQ(m.want, host->mode(path)) << path << " on the host";
            }
        }
    }
}

TEST_P(ServiceContract, StatReportsTypeSizeAndErrors)
{
    put("/f", "hello");
    mkdir("/d", 0750);
    struct stat st;
    ASSERT_FALSE(api->stat(iopx, "/f", &st, none));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(5, st.st_size);
    for (const char* same : {"d", "/d/", "//d//", "/d/.", "/d/../d"}) {
        ASSERT_FALSE(api->stat(iopx, same, &st, none)) << same;
        EXPECT_EQ(040750u, st.st_mode) << same;
    }

    const struct {
        const char* path;
        int err;
    } refused[] = {
        {"/nothing", ENOENT}, {"", ENOENT}, {"/nothing/x", ENOENT}, {"/f/x", ENOTDIR}, {"/f/", ENOTDIR},
        {"/f/..", ENOTDIR},
    };
    for (const auto& r : refused) {
        std::error_code ec = api->stat(iopx, r.path, &st, none);
        EXPECT_EQ(r.err, ec.value()) << r.path;
        EXPECT_EQ(std::system_category(), ec.category()) << r.path;
    }

    if (!host)
        return;
    host->symlink("f", "/link");
    host->symlink("d", "/dlink");
    host->symlink("missing", "/dangling");
    host->symlink("loop", "/loop");
    ASSERT_FALSE(api->stat(iopx, "/link", &st, none));
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "a final link is followed";
    ASSERT_FALSE(api->stat(iopx, "/dlink/", &st, none));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    put("/d/in", "x");
    ASSERT_FALSE(api->stat(iopx, "/dlink/in", &st, none)) << "a link before the last component is followed";
    EXPECT_EQ(1, st.st_size);
    EXPECT_EQ(ENOENT, api->stat(iopx, "/dangling", &st, none).value());
    EXPECT_EQ(ELOOP, api->stat(iopx, "/loop", &st, none).value());
    EXPECT_EQ(ENOTDIR, api->stat(iopx, "/link/", &st, none).value());
}

TEST_P(ServiceContract, RemovesNamesWithExactErrors)
{
    mkdir("/d");
    put("/d/f", "x");
    const struct {
        const char* op;
        const char* path;
        int err;
    } refused[] = {
        {"mkdir", "/d", EEXIST},       {"mkdir", "/d/", EEXIST},       {"mkdir", "/d/f", EEXIST},
        {"mkdir", "/none/x", ENOENT},  {"mkdir", "/d/f/x", ENOTDIR},   {"mkdir", "", ENOENT},
        {"mkdir", "/d/..", EINVAL},    {"mkdir", "/", EINVAL},
        {"rmdir", "/d", ENOTEMPTY},    {"rmdir", "/d/f", ENOTDIR},     {"rmdir", "/d/none", ENOENT},
        {"rmdir", "/none/x", ENOENT},  {"rmdir", "/d/f/x", ENOTDIR},   {"rmdir", "", ENOENT},
        {"rmdir", "/", EINVAL},        {"rmdir", "//", EINVAL},        {"rmdir", "/d/..", EINVAL},
        {"rmdir", "/d/.", EINVAL},     {"rmdir", "/d/f/..", EINVAL},
        {"unlink", "/d", EISDIR},      {"unlink", "/d/", EISDIR},      {"unlink", "/d/f/", ENOTDIR},
        {"unlink", "/d/none", ENOENT}, {"unlink", "/d/none/", ENOENT}, {"unlink", "/none/x", ENOENT},
        {"unlink", "", ENOENT},        {"unlink", "/", EINVAL},        {"unlink", "/d/f/..", EINVAL},
        {"unlink", "/d/f/.", EINVAL},
    };
    for (const auto& r : refused)
        EXPECT_EQ(r.err, name_call(r.op, r.path).value()) << r.op << " " << r.path;
    EXPECT_EQ("x", get("/d/f"));

    EXPECT_FALSE(api->unlink(iopx, "/d//f", none));
    EXPECT_FALSE(api->rmdir(iopx, "/d/", none));
    struct stat st;
    EXPECT_EQ(ENOENT, api->stat(iopx, "/d", &st, none).value());
}

// chmod is for the name itself too: it never follows a final link, and a last component "." or
// ".." names no entry of its own.
TEST_P(ServiceContract, ChmodSetsTheBitsOfTheNameItself)
{
    testvol::UmaskScope restrictive(077);
    put("/f", "x", 0600);
    mkdir("/d", 0700);
    EXPECT_FALSE(api->chmod(iopx, "/f", 0104651, none));
    EXPECT_EQ(0104651u, mode_of("/f"));
    EXPECT_FALSE(api->chmod(iopx, "/f", 0100640, none)) << "type bits are ignored";
    EXPECT_EQ(0100640u, mode_of("/f"));
    EXPECT_FALSE(api->chmod(iopx, "/d/", 041751, none));
    EXPECT_EQ(041751u, mode_of("/d"));
    for (const auto& r : std::vector<std::pair<const char*, int>>{
             {"/none", ENOENT}, {"/none/x", ENOENT}, {"/f/x", ENOTDIR}, {"", ENOENT}})
        EXPECT_EQ(r.second, api->chmod(iopx, r.first, 0755, none).value()) << r.first;

    if (host) {
        host->symlink("f", "/link");
        host->symlink("missing", "/dangling");
        EXPECT_EQ(ELOOP, api->chmod(iopx, "/link", 0777, none).value());
        EXPECT_EQ(ELOOP, api->chmod(iopx, "/dangling", 0777, none).value());
        EXPECT_EQ(0100640u, mode_of("/f")) << "nor through the link";
    }

    const mode_t root = mode_of("/");
    for (const char* path : {"/d/..", "/d/.", "/", "//"})
        EXPECT_EQ(EINVAL, api->chmod(iopx, path, 0700, none).value()) << path;
    EXPECT_EQ(root, mode_of("/"));
    EXPECT_EQ(041751u, mode_of("/d"));
}

TEST_P(ServiceContract, UnlinkRemovesALinkNotItsTarget)
{
    if (!host)
        GTEST_SKIP() << "needs host-side links";
    put("/target", "keep");
    mkdir("/dir");
    host->symlink("target", "/flink");
    host->symlink("/dir", "/dlink");
    host->symlink("missing", "/dangling");
    const struct {
        const char* op;
        const char* path;
        int err;
    } refused[] = {
        {"rmdir", "/dlink", ENOTDIR}, {"rmdir", "/dlink/", ENOTDIR},     {"unlink", "/dlink/", ENOTDIR},
        {"mkdir", "/flink", EEXIST},  {"mkdir", "/dangling", EEXIST},
    };
    for (const auto& r : refused)
        EXPECT_EQ(r.err, name_call(r.op, r.path).value()) << r.op << " " << r.path;
    for (const char* link : {"/flink", "/dlink", "/dangling"}) {
        EXPECT_FALSE(api->unlink(iopx, link, none)) << link;
        EXPECT_FALSE(host->exists(link)) << link;
    }
    EXPECT_EQ("keep", get("/target"));
    EXPECT_TRUE(S_ISDIR(mode_of("/dir")));
    EXPECT_FALSE(host->exists("/missing"));
}

// ".." at the root stays there, an absolute link target is a path of the volume, and the calls
// that read, open or set attributes follow links (a dangling one makes nothing).
TEST_P(ServiceContract, PathsAndLinksNeverLeaveTheVolume)
{
    mkdir("/d");
    put("/d/f", "inside");
    struct stat root, st;
    ASSERT_FALSE(api->stat(iopx, "/", &root, none));
    ASSERT_FALSE(api->stat(iopx, "/../../..", &st, none));
    EXPECT_EQ(root.st_ino, st.st_ino) << "\"..\" at the root stays there";
    EXPECT_EQ("inside", get("/../../../d/f"));
    EXPECT_EQ("inside", get("/d/../../../../../../../../../../../../d/f"));

    if (!host)
        return;
    ASSERT_EQ(0, ::access("/etc/hostname", F_OK)) << "the host has the file a link names";
    host->symlink("/d/f", "/abs");
    host->symlink("../../../../../../../..", "/d/top");
    host->symlink("/etc/hostname", "/hostfile");
    host->symlink("/..", "/rootdotdot");
    host->symlink("d", "/dl");
    host->symlink("missing", "/dangling");
    EXPECT_EQ("inside", get("/abs"));
    EXPECT_EQ("inside", get("/d/top/d/f"));
    EXPECT_EQ("inside", get("/dl/f"));
    ASSERT_FALSE(api->stat(iopx, "/rootdotdot", &st, none));
    EXPECT_EQ(root.st_ino, st.st_ino);
    EXPECT_EQ(ENOENT, api->stat(iopx, "/hostfile", &st, none).value())
        << "an absolute link names a path of the volume, not of the host";
    errno = 0;
    EXPECT_EQ(ENOENT, opened(api->open(iopx, "/hostfile", 0, none)));
    EXPECT_EQ((std::map<std::string, int>{{".", DT_DIR}, {"..", DT_DIR}, {"f", DT_REG}, {"top", DT_LNK}}),
              listing("/dl"));

    znfs_file_ptr f = api->open(iopx, "/abs", 1, none);
    ASSERT_TRUE(f) << "written through a link";
    EXPECT_EQ(3, api->write(f, buffer("IN!"), 3, 0, 0, none));
    api->close(f, none);
    EXPECT_EQ("IN!ide", get("/d/f"));
    EXPECT_EQ("IN!ide", host->read("/d/f"));
    iovec v{const_cast<char*>("v"), 1};
    EXPECT_FALSE(api->setxattr(iopx, "/abs", "user.k", &v, 0, none));
    EXPECT_EQ("v", xattr("/d/f", "user.k")) << "set through a link";
    EXPECT_EQ("v", xattr("/abs", "user.k"));
    f = api->creat(iopx, "/abs", 0x201, 0777, none);
    ASSERT_TRUE(f) << "an existing name reached through a link";
    api->close(f, none);
    EXPECT_EQ("", get("/d/f"));
    EXPECT_EQ(0100644u, mode_of("/d/f"));
    errno = 0;
    EXPECT_EQ(ENOENT, opened(api->creat(iopx, "/dangling", 0x201, 0644, none)));
    EXPECT_EQ(ENOENT, opened(api->open(iopx, "/dangling", 0x241, none)));
    EXPECT_FALSE(host->exists("/missing")) << "nothing made through a dangling link";

    EXPECT_FALSE(api->unlink(iopx, "/abs", none));
    EXPECT_FALSE(host->exists("/abs"));
    EXPECT_TRUE(S_ISREG(host->mode("/d/f")));
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
    src = api->open(iopx, "/src", 0, none);
    dst = api->creat(iopx, "/dst2", 0x201, 0644, none);
    ASSERT_TRUE(src && dst);
    EXPECT_EQ(-1, api->copy_range(src, 0, src, 0, 1, none)) << "a destination open for reading only";
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(-1, api->copy_range(dst, 0, src, 0, 1, none)) << "a source open for writing only";
    EXPECT_EQ(EBADF, errno);
    api->close(src, none);
    api->close(dst, none);

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

    // Its first 16 MiB are a hole: a range that moves no data still wants a source open for
    // reading and a destination open for writing, and leaves the destination as it was.
    for (const bool source_writes : {true, false}) {
        src = api->open(iopx, "/sparse", source_writes ? 1 : 0, none);
        dst = source_writes ? api->creat(iopx, "/sparse.none", 0x201, 0644, none)
                            : api->open(iopx, "/sparse.none", 0, none);
        ASSERT_TRUE(src && dst);
        EXPECT_EQ(-1, api->copy_range(src, 0, dst, 0, 16 << 20, none))
            << (source_writes ? "a source open for writing only" : "a destination open for reading only");
        EXPECT_EQ(EBADF, errno);
        api->close(src, none);
        api->close(dst, none);
        ASSERT_EQ(0, ::stat(host->host("/sparse.none").c_str(), &st));
        EXPECT_EQ(0, st.st_size);
    }
}

// A confined context reaches its roots as the host named them (through links) and below them
// follows no link, except a final one on a read, when asked, that stays beneath its root.
TEST_P(ServiceContract, ConfinedContextsFollowNoLinkBelowTheirRoots)
{
    if (!host)
        GTEST_SKIP() << "needs host-side links";
    ASSERT_NO_FATAL_FAILURE(two_trees());
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
    ASSERT_NO_FATAL_FAILURE(two_trees());
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

    // A root spelled with a trailing slash is the same root, names right below it too.
    ASSERT_FALSE(api->unlink(iopx, "/alias", none));
    host->symlink("real", "/alias");
    znfs::znfs_iopx_ptr slashed = api->confine(iopx, {"/alias/"}, znfs::znfs_api::final_link::refuse, ec);
    ASSERT_TRUE(slashed) << ec.message();
    EXPECT_FALSE(api->mkdir(slashed, "/alias//made", 0700, none));
    EXPECT_FALSE(api->stat(slashed, "/alias", &st, none));
    EXPECT_FALSE(api->rmdir(slashed, "/alias/made", none));
    EXPECT_FALSE(host->exists("/real/made"));
}

TEST_P(ServiceContract, ReaddirGivesEveryEntryWithItsRealType)
{
    mkdir("/d");
    mkdir("/d/sub");
    put("/d/file", "x");
    std::map<std::string, int> want{{".", DT_DIR}, {"..", DT_DIR}, {"sub", DT_DIR}, {"file", DT_REG}};
    if (host) {
        host->symlink("sub", "/d/link");
        host->symlink("nowhere", "/d/dangling");
        host->mkfifo("/d/fifo");
        want["link"] = DT_LNK;
        want["dangling"] = DT_LNK;
        want["fifo"] = DT_FIFO;
        if (host->mknull("/d/null"))
            want["null"] = DT_CHR;
    }
    EXPECT_EQ(want, listing("/d"));

    znfs_file_ptr d = api->opendir(iopx, "/d", none);
    ASSERT_TRUE(d);
    while (api->readdir(d, none)) {
    }
    EXPECT_EQ(0, errno) << "the end is not an error";
    EXPECT_EQ(nullptr, api->readdir(d, none));
    EXPECT_EQ(0, errno);
    errno = 0;
    EXPECT_EQ(-1, api->read(d, api->alloc_io_buffer(1), 1, 0, 0, none));
    EXPECT_EQ(EISDIR, errno);
    EXPECT_FALSE(api->fsync(d, none));
    EXPECT_FALSE(api->closedir(d, none));

    for (const auto& r : std::vector<std::pair<const char*, int>>{
             {"/d/file", ENOTDIR}, {"/none", ENOENT}, {"", ENOENT}, {"/d/file/", ENOTDIR}}) {
        errno = 0;
        EXPECT_EQ(r.second, opened(api->opendir(iopx, r.first, none))) << r.first;
    }

    // A directory opened with open reads as neither a listing nor a file.
    znfs_file_ptr f = api->open(iopx, "/d", 0, none);
    ASSERT_TRUE(f);
    errno = 0;
    EXPECT_EQ(nullptr, api->readdir(f, none));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(-1, api->read(f, api->alloc_io_buffer(1), 1, 0, 0, none));
    EXPECT_EQ(EISDIR, errno);
    EXPECT_EQ(-1, api->write(f, buffer("x"), 1, 0, 0, none));
    EXPECT_EQ(EBADF, errno);
    EXPECT_FALSE(api->fsync(f, none));
    api->close(f, none);
    f = api->open(iopx, "/d/file", 0, none);
    ASSERT_TRUE(f);
    EXPECT_EQ(nullptr, api->readdir(f, none));
    EXPECT_EQ(EBADF, errno);
    api->close(f, none);
}

// Also inside a task of the worker pool, where a backend keeps what the task looked up (and
// GlusterFS the value a size query fetched).
TEST_P(ServiceContract, ExtendedAttributesOnFilesAndDirectories)
{
    const std::string uuid = "objects/3f/2a-77";
    auto calls = [&](const std::string& top) {
        mkdir(top);
        put(top + "/f", "data");
        mkdir(top + "/d");
        for (const std::string& p : {top + "/f", top + "/d"}) {
            SCOPED_TRACE(p);
            const char* path = p.c_str();
            iovec v{const_cast<char*>(uuid.data()), uuid.size()};
            ASSERT_FALSE(api->setxattr(iopx, path, testvol::k_uuid, &v, 0, none));
            v = {const_cast<char*>("u"), 1};
            ASSERT_FALSE(api->setxattr(iopx, path, "user.one", &v, 0, none));
            EXPECT_FALSE(api->setxattr(iopx, path, "user.one", &v, XATTR_REPLACE, none));
            char nothing[1];
            iovec empty{nothing, 0};
            ASSERT_FALSE(api->setxattr(iopx, path, "user.empty", &empty, 0, none));
            EXPECT_EQ(EEXIST, api->setxattr(iopx, path, "user.one", &v, XATTR_CREATE, none).value());
            EXPECT_EQ(ENODATA, api->setxattr(iopx, path, "user.two", &v, XATTR_REPLACE, none).value());
            EXPECT_EQ(EINVAL, api->setxattr(iopx, path, "user.two", &v, 99, none).value());

            iovec q{nullptr, 0};
            int64_t size = api->getxattr(iopx, path, testvol::k_uuid, &q, none);
            ASSERT_EQ(static_cast<int64_t>(uuid.size()), size);
            std::string value(static_cast<size_t>(size), '\0');
            iovec small{&value[0], value.size() - 1};
            errno = 0;
            EXPECT_EQ(-1, api->getxattr(iopx, path, testvol::k_uuid, &small, none));
            EXPECT_EQ(ERANGE, errno);
            iovec full{&value[0], value.size()};
            EXPECT_EQ(size, api->getxattr(iopx, path, testvol::k_uuid, &full, none));
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
            for (const char* n : {testvol::k_uuid, "user.one", "user.empty"})
                EXPECT_EQ(1u, got.count(n)) << n;
            for (const std::string& n : got)
                EXPECT_GE(api->getxattr(iopx, path, n.c_str(), &q, none), 0) << n << " is listed but unreadable";
            iovec tiny{&names[0], 1};
            EXPECT_EQ(-1, api->listxattr(iopx, path, &tiny, none));
            EXPECT_EQ(ERANGE, errno);
        }
    };
    calls("/plain");
    testvol::in_pool_task([&] { calls("/task"); });
    if (host) {
        for (const char* p : {"/plain/f", "/plain/d", "/task/f", "/task/d"}) {
            EXPECT_EQ(uuid, host->xattr(p, testvol::k_uuid)) << p << " on the host";
            EXPECT_EQ("u", host->xattr(p, "user.one")) << p << " on the host";
        }
        host->symlink("plain/f", "/link");
        EXPECT_EQ(uuid, xattr("/link", testvol::k_uuid)) << "read through a final link";
        iovec q{nullptr, 0};
        EXPECT_GT(api->listxattr(iopx, "/link", &q, none), 0);
    }

    iovec q{nullptr, 0}, v{const_cast<char*>("v"), 1};
    const struct {
        const char* what;
        std::function<int()> call;
        int err;
    } refused[] = {
        {"getxattr of a missing file", [&] { return api->getxattr(iopx, "/none", "user.x", &q, none) < 0 ? errno : 0; }, ENOENT},
        {"listxattr of a missing file", [&] { return api->listxattr(iopx, "/none", &q, none) < 0 ? errno : 0; }, ENOENT},
        {"setxattr of a missing file", [&] { return api->setxattr(iopx, "/none", "user.x", &v, 0, none).value(); }, ENOENT},
        {"getxattr of a file as a directory", [&] { return api->getxattr(iopx, "/plain/f/", "user.one", &q, none) < 0 ? errno : 0; }, ENOTDIR},
        {"setxattr of a file as a directory", [&] { return api->setxattr(iopx, "/plain/f/", "user.x", &v, 0, none).value(); }, ENOTDIR},
        {"getxattr with no name", [&] { return api->getxattr(iopx, "/plain/f", nullptr, &q, none) < 0 ? errno : 0; }, EINVAL},
        {"getxattr with no iovec", [&] { return api->getxattr(iopx, "/plain/f", "user.one", nullptr, none) < 0 ? errno : 0; }, EINVAL},
        {"listxattr with no iovec", [&] { return api->listxattr(iopx, "/plain/f", nullptr, none) < 0 ? errno : 0; }, EINVAL},
        {"setxattr with no name", [&] { return api->setxattr(iopx, "/plain/f", nullptr, &v, 0, none).value(); }, EINVAL},
        {"setxattr with no iovec", [&] { return api->setxattr(iopx, "/plain/f", "user.x", nullptr, 0, none).value(); }, EINVAL},
    };
    for (const auto& r : refused) {
        errno = 0;
        EXPECT_EQ(r.err, r.call()) << r.what;
    }
}

// An empty value may come without a buffer: an iovec of (null, 0). Off a pool task, inside one,
// and in a confined context, where backends take other routes to the entry. A length without a
// buffer is no value (EFAULT, as the kernel says) on every route: nothing is set, and nothing
// crashes.
TEST_P(ServiceContract, AnEmptyAttributeValueNeedsNoBuffer)
{
    put("/f", "x");
    iovec empty{nullptr, 0}, q{nullptr, 0}, unbacked{nullptr, 4};
    EXPECT_FALSE(api->setxattr(iopx, "/f", "user.plain", &empty, 0, none));
    EXPECT_EQ(0, api->getxattr(iopx, "/f", "user.plain", &q, none));
    EXPECT_EQ(EFAULT, api->setxattr(iopx, "/f", "user.bad", &unbacked, 0, none).value());
    std::error_code in_task, bad_in_task;
    testvol::in_pool_task([&] {
        in_task = api->setxattr(iopx, "/f", "user.task", &empty, 0, none);
        bad_in_task = api->setxattr(iopx, "/f", "user.bad", &unbacked, 0, none);
    });
    EXPECT_FALSE(in_task) << in_task.message();
    EXPECT_EQ(EFAULT, bad_in_task.value());
    std::error_code ec;
    znfs::znfs_iopx_ptr confined = api->confine(iopx, {"/"}, znfs::znfs_api::final_link::refuse, ec);
    ASSERT_TRUE(confined) << ec.message();
    ec = api->setxattr(confined, "/f", "user.confined", &empty, 0, none);
    EXPECT_FALSE(ec) << ec.message();
    EXPECT_EQ(EFAULT, api->setxattr(confined, "/f", "user.bad", &unbacked, 0, none).value());
    for (const char* name : {"user.task", "user.confined"})
        EXPECT_EQ(0, api->getxattr(iopx, "/f", name, &q, none)) << name;
    EXPECT_EQ(-1, api->getxattr(iopx, "/f", "user.bad", &q, none));
    EXPECT_EQ(ENODATA, errno) << "a length without a buffer set nothing";
}

TEST_P(ServiceContract, SpecialFilesAreRefusedWithoutBlocking)
{
    if (!host)
        GTEST_SKIP() << "needs host-side special files";
    host->mkfifo("/fifo");
    host->symlink("fifo", "/tofifo");
    for (const char* name : {"/fifo", "/tofifo"}) {
        for (int flags : {0, 1, 2, 0x241}) {
            errno = 0;
            EXPECT_EQ(EOPNOTSUPP, opened(api->open(iopx, name, flags, none))) << name << " " << flags;
        }
        EXPECT_EQ(EOPNOTSUPP, opened(api->creat(iopx, name, 0x201, 0644, none))) << name;
        EXPECT_EQ(ENOTDIR, opened(api->opendir(iopx, name, none))) << name;
    }
    struct stat st;
    EXPECT_FALSE(api->stat(iopx, "/fifo", &st, none));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    iovec q{nullptr, 0};
    EXPECT_GE(api->listxattr(iopx, "/fifo", &q, none), 0) << "attributes like any entry";
    EXPECT_EQ(-1, api->getxattr(iopx, "/fifo", "user.absent", &q, none));
    EXPECT_EQ(ENODATA, errno);

    // A character device (the null device's numbers) must not reach its driver either.
    if (host->mknull("/null")) {
        for (int flags : {0, 1}) {
            errno = 0;
            EXPECT_EQ(EOPNOTSUPP, opened(api->open(iopx, "/null", flags, none))) << flags;
        }
        EXPECT_FALSE(api->stat(iopx, "/null", &st, none));
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
}

TEST_P(ServiceContract, HandlesCloseOnce)
{
    EXPECT_FALSE(api->close(znfs_file_ptr(), none)) << "an empty handle is accepted";
    EXPECT_FALSE(api->closedir(znfs_file_ptr(), none));
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

    // Handles of no backend, or none at all.
    znfs_file_ptr out = api->creat(iopx, "/out", 0x201, 0644, none);
    ASSERT_TRUE(out);
    znfs_buff_ptr b = api->alloc_io_buffer(1);
    for (const znfs_file_ptr& h : {znfs_file_ptr(new foreign_file), znfs_file_ptr()}) {
        SCOPED_TRACE(h ? "foreign" : "empty");
        const struct {
            const char* what;
            std::function<int()> call;
        } refused[] = {
            {"read", [&] { return api->read(h, b, 1, 0, 0, none) < 0 ? errno : 0; }},
            {"write", [&] { return api->write(h, b, 1, 0, 0, none) < 0 ? errno : 0; }},
            {"readdir", [&] { return api->readdir(h, none) ? 0 : errno; }},
            {"fsync", [&] { return api->fsync(h, none).value(); }},
            {"copy_range from", [&] { return api->copy_range(h, 0, out, 0, 1, none) < 0 ? errno : 0; }},
            {"close", [&] { return h ? api->close(h, none).value() : EBADF; }},
            {"closedir", [&] { return h ? api->closedir(h, none).value() : EBADF; }},
        };
        for (const auto& r : refused) {
            errno = 0;
            EXPECT_EQ(EBADF, r.call()) << r.what;
        }
    }
    api->close(out, none);

    // Handles that nobody closes are closed when dropped; a directory can be opened as a file.
    for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(api->open(iopx, "/f", 0, none)) << i;
        ASSERT_TRUE(api->opendir(iopx, "/", none)) << i;
        ASSERT_TRUE(api->open(iopx, "/", 0, none)) << i;
    }
}

// A context of another backend, no context, or no path (or status) is refused by every call.
TEST_P(ServiceContract, ForeignContextsAreRefused)
{
    struct foreign : znfs::znfs_iopx {
        std::string describe() const override { return "foreign"; }
    };
    struct stat st;
    iovec q{nullptr, 0};
    const struct {
        const char* what;
        std::function<int(const znfs::znfs_iopx_ptr&, const char*)> call;
    } calls[] = {
        {"open", [&](auto& v, auto p) { return opened(api->open(v, p, 0, none)); }},
        {"creat", [&](auto& v, auto p) { return opened(api->creat(v, p, 0x201, 0644, none)); }},
        {"opendir", [&](auto& v, auto p) { return opened(api->opendir(v, p, none)); }},
        {"stat", [&](auto& v, auto p) { return api->stat(v, p, &st, none).value(); }},
        {"mkdir", [&](auto& v, auto p) { return api->mkdir(v, p, 0755, none).value(); }},
        {"rmdir", [&](auto& v, auto p) { return api->rmdir(v, p, none).value(); }},
        {"unlink", [&](auto& v, auto p) { return api->unlink(v, p, none).value(); }},
        {"chmod", [&](auto& v, auto p) { return api->chmod(v, p, 0755, none).value(); }},
        {"getxattr", [&](auto& v, auto p) { return api->getxattr(v, p, "user.x", &q, none) < 0 ? errno : 0; }},
        {"listxattr", [&](auto& v, auto p) { return api->listxattr(v, p, &q, none) < 0 ? errno : 0; }},
        {"setxattr", [&](auto& v, auto p) { return api->setxattr(v, p, "user.x", &q, 0, none).value(); }},
    };
    const znfs::znfs_iopx_ptr other(new foreign);
    for (const auto& c : calls) {
        errno = 0;
        EXPECT_EQ(EINVAL, c.call(other, "/x")) << c.what << " in a foreign context";
        errno = 0;
        EXPECT_EQ(EINVAL, c.call(znfs::znfs_iopx_ptr(), "/x")) << c.what << " in no context";
        errno = 0;
        EXPECT_EQ(EINVAL, c.call(iopx, nullptr)) << c.what << " of no path";
    }
    EXPECT_EQ(EINVAL, api->stat(iopx, "/", nullptr, none).value()) << "no status";
    EXPECT_EQ(EINVAL, api->syncfs(other, none).value());
    std::error_code ec;
    EXPECT_FALSE(api->confine(other, {"/"}, znfs::znfs_api::final_link::refuse, ec));
    EXPECT_EQ(EINVAL, ec.value());
}

TEST_P(ServiceContract, ConcurrentCallsOnOneServiceObject)
{
    const int threads = 4, files = 40;
    mkdir("/shared");
    for (int i = 0; i < files; ++i)
        put("/shared/s" + std::to_string(i), "s");
    std::vector<std::thread> pool;
    std::vector<int> failures(threads, 0);
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            std::string dir = "/t" + std::to_string(t);
            if (api->mkdir(iopx, dir.c_str(), 0755, none))
                ++failures[t];
            for (int i = 0; i < files; ++i) {
                std::string path = dir + "/f" + std::to_string(i);
                std::string data = pattern(static_cast<size_t>(100 + i * t), static_cast<unsigned>(t));
                znfs_file_ptr f = api->creat(iopx, path.c_str(), 0x201, 0644, none);
                if (!f || api->write(f, buffer(data), data.size(), 0, 0, none) != int64_t(data.size()))
                    ++failures[t];
                api->close(f, none);
                if (get(path) != data)
                    ++failures[t];
                if (i % 10 == 0 && listing("/shared").size() != size_t(files + 2))
                    ++failures[t];
            }
        });
    }
    for (auto& th : pool)
        th.join();
    EXPECT_EQ(std::vector<int>(threads, 0), failures);
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(size_t(files + 2), listing("/t" + std::to_string(t)).size());
}

// Inside a pool task a path reaches what the task first reached (or fails once that is gone),
// never a file made under the name meanwhile, until the task removes the name through the
// service; the next task resolves afresh.
TEST_P(ServiceContract, APoolTaskKeepsWhatItReachedUntilItRemovesTheName)
{
    put("/f", "old");
    struct stat st;
    int replaced_stat = -1;
    off_t replaced_size = -1, removed_size = -1, next_size = -1;
    std::string replaced_data, removed_data, next_data;
    testvol::in_pool_task(
        [&] {
            ASSERT_FALSE(api->stat(iopx, "/f", &st, none));
            // Replaced by a thread that runs no task.
            std::thread([&] {
                EXPECT_FALSE(api->unlink(iopx, "/f", none));
                put("/f", "newer");
            }).join();
            replaced_stat = api->stat(iopx, "/f", &st, none).value();
            replaced_size = replaced_stat ? -1 : st.st_size;
            replaced_data = get("/f");

            EXPECT_FALSE(api->unlink(iopx, "/f", none));
            std::thread([&] { put("/f", "newest"); }).join();
            if (!api->stat(iopx, "/f", &st, none))
                removed_size = st.st_size;
            removed_data = get("/f");
        },
        [&] {
            std::thread([&] {
                EXPECT_FALSE(api->unlink(iopx, "/f", none));
                put("/f", "in the next task");
            }).join();
            if (!api->stat(iopx, "/f", &st, none))
                next_size = st.st_size;
            next_data = get("/f");
        });
    EXPECT_TRUE(replaced_stat == 0 || replaced_stat == ESTALE || replaced_stat == ENOENT) << replaced_stat;
    EXPECT_TRUE(replaced_size == -1 || replaced_size == 3) << replaced_size;
    EXPECT_TRUE(replaced_data == "old" || replaced_data.compare(0, 13, "<open failed:") == 0) << replaced_data;
    EXPECT_EQ(6, removed_size);
    EXPECT_EQ("newest", removed_data);
    EXPECT_EQ(16, next_size);
    EXPECT_EQ("in the next task", next_data);
}

INSTANTIATE_TEST_SUITE_P(Backends, ServiceContract, ::testing::ValuesIn(testvol::contract_backends()),
                         [](const ::testing::TestParamInfo<BackendFactory>& info) { return info.param.name; });

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
