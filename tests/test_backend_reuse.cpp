// What the POSIX backend and the buffer allocator keep between calls: the held /proc
// descriptor directory (which a forked child must not share), the per-thread cache of
// page-aligned blocks (which must never hand out a block too small or still in use) and the
// descriptors a pool task keeps for the paths it calls on again.

#include "testvol.h"

#include <znfs/znfs_posix.h>
#include <znfs/znfs_thpool.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using znfs::znfs_aio_ptr;
using znfs::znfs_buff_ptr;
using testvol::in_pool_task;

namespace {

// Runs body in a forked child (no exec) and returns its exit status; 99 if it crashed.
template <class F>
int in_child(F body)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return 99;
    return WEXITSTATUS(status);
}

TEST(BackendReuse, ForkedChildReachesItsOwnDescriptors)
{
    testvol::TempVolume vol;
    vol.write("/parent", "p");
    vol.setxattr("/parent", "user.side", "parent");
    znfs::znfs_api* api = vol.api();
    // The parent has used the attribute calls and a reopen before the fork.
    char buf[16];
    struct iovec iov = {buf, sizeof buf};
    ASSERT_EQ(6, api->getxattr(vol.iopx(), "/parent", "user.side", &iov, znfs_aio_ptr()));
    znfs::znfs_file_ptr held = api->open(vol.iopx(), "/parent", 0, znfs_aio_ptr());
    ASSERT_TRUE(held);

    int status = in_child([&]() -> int {
        znfs::znfs_file_ptr f = api->creat(vol.iopx(), "/child", 0x201, 0644, znfs_aio_ptr());
        if (!f)
            return 1;
        api->close(f, znfs_aio_ptr());
        char value[] = "child";
        struct iovec set = {value, 5};
        if (api->setxattr(vol.iopx(), "/child", "user.side", &set, 0, znfs_aio_ptr()))
            return 2;
        char got[16] = {};
        struct iovec get = {got, sizeof got};
        if (api->getxattr(vol.iopx(), "/child", "user.side", &get, znfs_aio_ptr()) != 5 ||
            std::string(got, 5) != "child")
            return 3;
        char names[64] = {};
        struct iovec list = {names, sizeof names};
        if (api->listxattr(vol.iopx(), "/child", &list, znfs_aio_ptr()) < 10)
            return 4;
        f = api->open(vol.iopx(), "/child", 0, znfs_aio_ptr());
        if (!f || f->get_file_size() != 0)
            return 5;
        api->close(f, znfs_aio_ptr());
        return 0;
    });
    EXPECT_EQ(0, status);
    EXPECT_EQ("child", vol.getxattr("/child", "user.side"));
    EXPECT_EQ("parent", vol.getxattr("/parent", "user.side"));
    api->close(held, znfs_aio_ptr());

    // And the parent goes on as before.
    iov = {buf, sizeof buf};
    EXPECT_EQ(5, api->getxattr(vol.iopx(), "/child", "user.side", &iov, znfs_aio_ptr()));
}

bool disjoint(const std::vector<znfs_buff_ptr>& live)
{
    for (size_t i = 0; i < live.size(); ++i)
        for (size_t j = i + 1; j < live.size(); ++j) {
            auto a = reinterpret_cast<uintptr_t>(live[i]->get_base());
            auto b = reinterpret_cast<uintptr_t>(live[j]->get_base());
            uint64_t an = live[i]->get_size() ? live[i]->get_size() : 1;
            uint64_t bn = live[j]->get_size() ? live[j]->get_size() : 1;
            if (a < b + bn && b < a + an)
                return false;
        }
    return true;
}

// Random sizes around the page multiples, taken and released in random order on several
// threads, buffers often released on another thread than the one that took them: every
// buffer is page-aligned, exactly as large as asked, wholly writable and shared with no
// other live buffer.
TEST(BackendReuse, RecycledBuffersAreAlignedSizedAndDisjoint)
{
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    znfs::znfs_api* api = znfs::posix_api();
    const uint64_t page = znfs::znfs_mem::malloc_intfx::get_page_size();

    std::vector<znfs_buff_ptr> handed_over[4];
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (unsigned t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 rng(seed + t);
            std::vector<znfs_buff_ptr> live;
            for (int i = 0; i < 3000; ++i) {
                if (!live.empty() && rng() % 2) {
                    size_t k = rng() % live.size();
                    if (rng() % 8 == 0)
                        handed_over[t].push_back(live[k]);
                    live.erase(live.begin() + static_cast<long>(k));
                    continue;
                }
                uint64_t pages = rng() % 20;
                uint64_t size = pages * page + (rng() % 3 == 0 ? 0 : rng() % page);
                if (rng() % 10 == 0)
                    size = rng() % 200;
                znfs_buff_ptr b = api->alloc_io_buffer(size);
                if (!b || b->get_size() != size || reinterpret_cast<uintptr_t>(b->get_base()) % page != 0) {
                    ++failures[t];
                    continue;
                }
                std::memset(b->get_base(), static_cast<int>(i & 0xff), static_cast<size_t>(size));
                live.push_back(b);
                if (live.size() > 24)
                    live.erase(live.begin());
                if (i % 97 == 0 && !disjoint(live))
                    ++failures[t];
            }
        });
    for (auto& th : threads)
        th.join();
    for (unsigned t = 0; t < 4; ++t)
        EXPECT_EQ(0, failures[t]) << "thread " << t;
    // Buffers taken on threads that have ended are released here.
    for (auto& v : handed_over)
        v.clear();
}


// --- What one task of the worker pool keeps ---

size_t open_descriptors()
{
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

ino_t inode_of(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path)
{
    struct stat st;
    std::memset(&st, 0, sizeof st);
    if (api->stat(iopx, path.c_str(), &st, znfs_aio_ptr()))
        return 0;
    return st.st_ino;
}

std::string value_of(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path,
                     const char* name)
{
    char buf[64] = {};
    struct iovec iov = {buf, sizeof buf};
    int64_t n = api->getxattr(iopx, path.c_str(), name, &iov, znfs_aio_ptr());
    return n < 0 ? "<error " + std::to_string(errno) + ">" : std::string(buf, static_cast<size_t>(n));
}

// Replaces the file at a volume path on the host: a new inode under the same name.
void replace_on_host(const testvol::TempVolume& vol, const std::string& path, const std::string& tag)
{
    vol.write(path + ".new", tag);
    vol.setxattr(path + ".new", "user.tag", tag);
    ASSERT_EQ(0, ::rename(vol.host(path + ".new").c_str(), vol.host(path).c_str()));
}

// A file replaced while a task copies it: the task's status, data and attributes all come from
// the file it reached first; the next task sees the new one.
TEST(TaskCache, ATaskSeesOneFileEvenIfItIsReplacedMidway)
{
    testvol::TempVolume vol;
    vol.write("/live", "first");
    vol.setxattr("/live", "user.tag", "first");
    znfs::znfs_api* api = vol.api();
    ino_t before = 0, during = 0, next_task = 0;
    std::string data, tag, next_tag;
    in_pool_task([&] {
        before = inode_of(api, vol.iopx(), "/live");
        replace_on_host(vol, "/live", "second");
        during = inode_of(api, vol.iopx(), "/live");
        znfs::znfs_file_ptr f = api->open(vol.iopx(), "/live", 0, znfs_aio_ptr());
        if (f) {
            znfs_buff_ptr b = api->alloc_io_buffer(16);
            int64_t n = api->read(f, b, 16, 0, 0, znfs_aio_ptr());
            data.assign(static_cast<char*>(b->get_base()), n > 0 ? static_cast<size_t>(n) : 0);
            api->close(f, znfs_aio_ptr());
        }
        tag = value_of(api, vol.iopx(), "/live", "user.tag");
    });
    in_pool_task([&] {
        next_task = inode_of(api, vol.iopx(), "/live");
        next_tag = value_of(api, vol.iopx(), "/live", "user.tag");
    });
    EXPECT_NE(0u, before);
    EXPECT_EQ(before, during);
    EXPECT_EQ("first", data);
    EXPECT_EQ("first", tag);
    EXPECT_NE(before, next_task);
    EXPECT_EQ("second", next_tag);
}

// Off the pool nothing is kept: each call sees the name as it is now.
TEST(TaskCache, OutsideATaskEveryCallResolvesAfresh)
{
    testvol::TempVolume vol;
    vol.write("/live", "first");
    vol.setxattr("/live", "user.tag", "first");
    znfs::znfs_api* api = vol.api();
    ino_t before = inode_of(api, vol.iopx(), "/live");
    znfs::znfs_file_ptr f = api->open(vol.iopx(), "/live", 0, znfs_aio_ptr());
    ASSERT_TRUE(f);
    api->close(f, znfs_aio_ptr());
    replace_on_host(vol, "/live", "second");
    EXPECT_NE(before, inode_of(api, vol.iopx(), "/live"));
    EXPECT_EQ("second", value_of(api, vol.iopx(), "/live", "user.tag"));
}

// A remove through the service inside a task drops what the task kept, also for paths beneath
// a removed directory, so a name made again is reached as new.
TEST(TaskCache, ARemoveInsideATaskDropsWhatItKept)
{
    testvol::TempVolume vol;
    vol.mkdir("/d");
    vol.write("/d/f", "old");
    vol.setxattr("/d/f", "user.tag", "old");
    vol.write("/g", "old");
    vol.setxattr("/g", "user.tag", "old");
    znfs::znfs_api* api = vol.api();
    std::string after_unlink, after_rmdir;
    in_pool_task([&] {
        value_of(api, vol.iopx(), "/d/f", "user.tag");
        value_of(api, vol.iopx(), "/g", "user.tag");
        api->unlink(vol.iopx(), "/g", znfs_aio_ptr());
        vol.write("/g", "new");
        vol.setxattr("/g", "user.tag", "new");
        after_unlink = value_of(api, vol.iopx(), "/g", "user.tag");

        value_of(api, vol.iopx(), "/d/f", "user.tag");
        // The directory goes away through the service (after its file, on the host) and comes
        // back with a new file of the same name.
        ::unlink(vol.host("/d/f").c_str());
        api->rmdir(vol.iopx(), "/d", znfs_aio_ptr());
        vol.mkdir("/d");
        vol.write("/d/f", "new");
        vol.setxattr("/d/f", "user.tag", "new");
        after_rmdir = value_of(api, vol.iopx(), "/d/f", "user.tag");
    });
    EXPECT_EQ("new", after_unlink);
    EXPECT_EQ("new", after_rmdir);
}

// The same path on two volumes names two files, also inside one task.
TEST(TaskCache, KeptPathsBelongToTheirVolume)
{
    testvol::TempVolume a, b;
    a.write("/f", "a");
    a.setxattr("/f", "user.tag", "a");
    b.write("/f", "b");
    b.setxattr("/f", "user.tag", "b");
    znfs::znfs_api* api = znfs::posix_api();
    std::string from_a, from_b;
    in_pool_task([&] {
        from_a = value_of(api, a.iopx(), "/f", "user.tag");
        from_b = value_of(api, b.iopx(), "/f", "user.tag");
    });
    EXPECT_EQ("a", from_a);
    EXPECT_EQ("b", from_b);
}

// A copy made inside a task: created write-only, filled, given attributes, then read back in
// the same task. A FIFO is still refused after the task located it, and what the tasks kept
// is closed when they end, also when one throws.
TEST(TaskCache, CopiesInATaskBehaveAsOutsideAndLeaveNoDescriptors)
{
    testvol::TempVolume vol;
    vol.write("/src", "payload", 0640);
    ASSERT_EQ(0, ::mkfifo(vol.host("/fifo").c_str(), 0644));
    znfs::znfs_api* api = vol.api();
    const size_t before = open_descriptors();
    std::string back, attr;
    int fifo_errno = 0;
    mode_t mode = 0;
    in_pool_task([&] {
        znfs::znfs_file_ptr out = api->creat(vol.iopx(), "/dst", 0x201, 0100640, znfs_aio_ptr());
        if (!out)
            return;
        znfs_buff_ptr b = api->alloc_io_buffer(7);
        std::memcpy(b->get_base(), "payload", 7);
        api->write(out, b, 7, 0, 0, znfs_aio_ptr());
        // A write-only handle still refuses reads, whatever the task keeps.
        EXPECT_EQ(-1, api->read(out, b, 7, 0, 0, znfs_aio_ptr()));
        api->close(out, znfs_aio_ptr());
        char value[] = "v";
        struct iovec iov = {value, 1};
        EXPECT_FALSE(api->setxattr(vol.iopx(), "/dst", "user.tag", &iov, 0, znfs_aio_ptr()));
        attr = value_of(api, vol.iopx(), "/dst", "user.tag");
        znfs::znfs_file_ptr in = api->open(vol.iopx(), "/dst", 0, znfs_aio_ptr());
        if (in) {
            znfs_buff_ptr r = api->alloc_io_buffer(16);
            int64_t n = api->read(in, r, in->get_file_size(), 0, 0, znfs_aio_ptr());
            back.assign(static_cast<char*>(r->get_base()), n > 0 ? static_cast<size_t>(n) : 0);
            api->close(in, znfs_aio_ptr());
        }
        struct stat st;
        if (!api->stat(vol.iopx(), "/dst", &st, znfs_aio_ptr()))
            mode = st.st_mode;
        inode_of(api, vol.iopx(), "/fifo");
        if (!api->open(vol.iopx(), "/fifo", 0, znfs_aio_ptr()))
            fifo_errno = errno;
    });
    // Counted on the worker, which is still alive, after its earlier tasks ended.
    size_t after = 0;
    in_pool_task(
        [&] {
            value_of(api, vol.iopx(), "/src", "user.none");
            throw std::runtime_error("task fails after a call");
        },
        [&] {
            value_of(api, vol.iopx(), "/src", "user.none");
            api->open(vol.iopx(), "/src", 0, znfs_aio_ptr());
        },
        [&] { after = open_descriptors(); });
    EXPECT_EQ("payload", back);
    EXPECT_EQ("v", attr);
    EXPECT_EQ(0100640u, mode);
    EXPECT_EQ(EOPNOTSUPP, fifo_errno);
    EXPECT_EQ(before, after);
    EXPECT_EQ(before, open_descriptors());
}

// A small file with holes opened again in the task that holds it open shares that descriptor,
// and is still copied hole by hole: in one call the kernel's copy would fill the holes.
TEST(TaskCache, SecondOpenInATaskKeepsTheHolesOfASmallFile)
{
    testvol::TempVolume vol;
    const int fd = ::open(vol.host("/sparse").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0640);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(4, ::pwrite(fd, "data", 4, 256 << 10));
    ASSERT_EQ(0, ::ftruncate(fd, 768 << 10));
    ::close(fd);
    znfs::znfs_api* api = vol.api();
    int64_t copied = -2;
    in_pool_task([&] {
        znfs::znfs_file_ptr first = api->open(vol.iopx(), "/sparse", 0, znfs_aio_ptr());
        znfs::znfs_file_ptr again = api->open(vol.iopx(), "/sparse", 0, znfs_aio_ptr());
        znfs::znfs_file_ptr out = api->creat(vol.iopx(), "/copy", 0x201, 0100640, znfs_aio_ptr());
        if (first && again && out)
            copied = api->copy_range(again, 0, out, 0, again->get_file_size(), znfs_aio_ptr());
        for (znfs::znfs_file_ptr* f : {&first, &again, &out})
            if (*f)
                api->close(*f, znfs_aio_ptr());
    });
    EXPECT_EQ(768 << 10, copied);
    EXPECT_EQ(testvol::slurp(vol.host("/sparse")), testvol::slurp(vol.host("/copy")));
    struct stat st;
    ASSERT_EQ(0, ::stat(vol.host("/copy").c_str(), &st));
    EXPECT_LT(st.st_blocks * 512, 256 << 10) << "the holes were filled";
}

}  // namespace
