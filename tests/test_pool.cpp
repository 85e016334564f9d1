#include <znfs/znfs_thpool.h>

#include "testvol.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using znfs::znfs_thpool;

namespace {

boost::shared_ptr<znfs_thpool> enabled_pool(unsigned workers)
{
    boost::shared_ptr<znfs_thpool> pool = znfs_thpool::create();
    EXPECT_TRUE(pool);
    EXPECT_EQ(workers, pool->enable_thpool(workers));
    return pool;
}

void wait_for(const std::atomic<bool>& flag)
{
    while (!flag.load())
        std::this_thread::yield();
}

// Posts fanout children per level below depth, each counting itself when it runs.
void post_tree(boost::shared_ptr<boost::asio::io_service> svc, int depth, int fanout, std::atomic<int>& ran)
{
    ran.fetch_add(1);
    if (depth == 0)
        return;
    for (int i = 0; i < fanout; ++i)
        svc->post([svc, depth, fanout, &ran] { post_tree(svc, depth - 1, fanout, ran); });
}

}  // namespace

TEST(Pool, WaitWithNothingPostedReturns)
{
    for (unsigned workers : {1u, 2u, 4u})
        enabled_pool(workers)->wait_joinall_threads();
}

TEST(Pool, PoolNeverEnabledIsHarmless)
{
    boost::shared_ptr<znfs_thpool> pool = znfs_thpool::create();
    ASSERT_TRUE(pool);
    EXPECT_FALSE(pool->get_iosvc());
    pool->wait_joinall_threads();
}

TEST(Pool, TasksPostedByTasksDuringTheWaitAllRun)
{
    const int depth = 5, fanout = 4;
    const int total = (1 + 4 + 16 + 64 + 256 + 1024);
    for (unsigned workers : {1u, 2u, 3u}) {
        for (int round = 0; round < 10; ++round) {
            auto pool = enabled_pool(workers);
            auto svc = pool->get_iosvc();
            std::atomic<bool> waiting(false);
            std::atomic<int> ran(0);
            // The root holds its worker until the caller is on its way into the wait, so the
            // work object may already be gone while the tree grows.
            svc->post([svc, &waiting, &ran] {
                wait_for(waiting);
                post_tree(svc, depth, fanout, ran);
            });
            svc.reset();
            waiting.store(true);
            pool->wait_joinall_threads();
            ASSERT_EQ(total, ran.load()) << workers << " workers, round " << round;
        }
    }
}

TEST(Pool, MoreTasksThanWorkersAllRun)
{
    auto pool = enabled_pool(1);
    std::atomic<int> ran(0);
    for (int i = 0; i < 100; ++i)
        pool->get_iosvc()->post([&ran] { ran.fetch_add(1); });
    pool->wait_joinall_threads();
    EXPECT_EQ(100, ran.load());
}

TEST(Pool, NoTaskRunsAfterTheDrain)
{
    auto pool = enabled_pool(2);
    auto svc = pool->get_iosvc();
    pool->wait_joinall_threads();
    std::atomic<int> ran(0);
    svc->post([&ran] { ran.fetch_add(1); });
    pool.reset();
    svc.reset();
    EXPECT_EQ(0, ran.load());
}

// Meaningful under ASan and TSan: a worker that touched the pool or its service after the
// pool went would show there.
TEST(Pool, DestroyedWithoutWaitLeavesNoWorkerBehind)
{
    for (int round = 0; round < 200; ++round) {
        auto pool = enabled_pool(1 + round % 3);
        boost::weak_ptr<boost::asio::io_service> svc = pool->get_iosvc();
        pool.reset();
        // The workers have left and dropped their references: the service is gone.
        ASSERT_TRUE(svc.expired()) << "round " << round;
    }
}

TEST(Pool, DestroyedOnItsOwnWorker)
{
    for (int round = 0; round < 50; ++round) {
        auto pool = enabled_pool(1);
        boost::weak_ptr<boost::asio::io_service> svc = pool->get_iosvc();
        std::atomic<bool> released(false), done(false);
        pool->get_iosvc()->post([owner = pool, &released, &done]() mutable {
            wait_for(released);
            owner.reset();
            done.store(true);
        });
        pool.reset();
        released.store(true);
        wait_for(done);
        // The detached worker leaves its loop on its own and releases the service last.
        while (!svc.expired())
            std::this_thread::yield();
    }
}

TEST(Pool, ThrowingTaskIsLoggedAndTheOthersRun)
{
    testvol::LogCapture log(-1);
    auto pool = enabled_pool(2);
    std::atomic<int> ran(0);
    auto svc = pool->get_iosvc();
    for (int i = 0; i < 50; ++i) {
        if (i == 10)
            svc->post([] { throw std::runtime_error("boom"); });
        if (i == 20)
            svc->post([] { throw 42; });
        svc->post([&ran] { ran.fetch_add(1); });
    }
    svc.reset();
    pool->wait_joinall_threads();
    EXPECT_EQ(50, ran.load());
    EXPECT_EQ(2u, log.count_level(-1)) << log.dump();
    EXPECT_TRUE(log.contains("boom")) << log.dump();
}

TEST(Pool, DefaultWorkersAreAllStarted)
{
    znfs_thpool::set_default_workers(3);
    EXPECT_EQ(3u, znfs_thpool::default_workers());
    auto pool = znfs_thpool::create();
    ASSERT_TRUE(pool);
    EXPECT_EQ(3u, pool->enable_thpool(0));
    znfs_thpool::set_default_workers(0);
    EXPECT_GE(znfs_thpool::default_workers(), 1u);

    // Three tasks that each wait for all three to be running finish only on three workers.
    std::atomic<int> arrived(0);
    for (int i = 0; i < 3; ++i)
        pool->get_iosvc()->post([&arrived] {
            arrived.fetch_add(1);
            while (arrived.load() < 3)
                std::this_thread::yield();
        });
    pool->wait_joinall_threads();
    EXPECT_EQ(3, arrived.load());
}

TEST(Pool, UnavailableGivesNoPool)
{
    znfs_thpool::set_unavailable(true);
    boost::shared_ptr<znfs_thpool> none = znfs_thpool::create();
    znfs_thpool::set_unavailable(false);
    EXPECT_FALSE(none);
    EXPECT_TRUE(znfs_thpool::create());
}
