// What the POSIX backend and the buffer allocator keep between calls: the held /proc
// descriptor directory (which a forked child must not share) and the per-thread cache of
// page-aligned blocks (which must never hand out a block too small or still in use).

#include "testvol.h"

#include <znfs/znfs_posix.h>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

using znfs::znfs_aio_ptr;
using znfs::znfs_buff_ptr;

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

}  // namespace
