#include <znfs/znfs_thpool.h>

#include "znfs_task_cache.h"

#include <atomic>
#include <exception>
#include <new>

namespace znfs {

namespace {

std::atomic<unsigned> g_default_workers(0);
std::atomic<bool> g_unavailable(false);

// The worker's own reference keeps the service alive until its loop returns, even when the
// pool was destroyed without a wait.
void worker_loop(boost::shared_ptr<boost::asio::io_service> svc)
{
    znfs_debug logger;
    for (;;) {
        try {
            // One task at a time, each in its own scope, so that what a backend keeps for a
            // task is closed as soon as the task ends.
            for (;;) {
                task_cache::scope task;
                if (svc->run_one() == 0)
                    return;
            }
        } catch (const std::exception& e) {
            logger.error("znfs_thpool::worker", "Task failed with exception [%s]", e.what());
        } catch (...) {
            logger.error("znfs_thpool::worker", "Task failed with an unknown exception");
        }
    }
}

}  // namespace

void znfs_thpool::set_default_workers(unsigned count) { g_default_workers.store(count); }

void znfs_thpool::set_unavailable(bool unavailable) { g_unavailable.store(unavailable); }

boost::shared_ptr<znfs_thpool> znfs_thpool::create()
{
    if (g_unavailable.load())
        return boost::shared_ptr<znfs_thpool>();
    try {
        return boost::make_shared<znfs_thpool>();
    } catch (const std::bad_alloc&) {
        return boost::shared_ptr<znfs_thpool>();
    }
}

// Four times the hardware threads, at least 8 and at most 64. On a local file system the tasks
// are system calls that keep a CPU busy, so workers beyond the CPU count cost little and change
// nothing. When calls wait on a server, or the CPUs are shared with other work, a worker that
// waits leaves its CPU to another and the waits overlap, so the extra workers pay. Beyond that,
// threads mostly contend for the same directories. The measurements behind the choice are in the
// README's performance section (BENCH_SWEEP=1 make bench repeats them): figures in a comment go
// stale as the code changes.
unsigned znfs_thpool::default_workers()
{
    unsigned n = g_default_workers.load();
    if (n != 0)
        return n;
    n = boost::thread::hardware_concurrency();
    if (n > 16)
        n = 16;
    return n < 2 ? 8 : 4 * n;
}

unsigned znfs_thpool::enable_thpool(unsigned count)
{
    if (m_enabled)
        return 0;
    if (count == 0)
        count = default_workers();
    m_iosvc = boost::make_shared<boost::asio::io_service>();
    m_work = boost::make_shared<boost::asio::io_service::work>(*m_iosvc);
    m_started.reserve(count);
    for (unsigned i = 0; i < count; ++i)
        m_started.push_back(m_threads.create_thread([svc = m_iosvc] { worker_loop(svc); }));
    m_enabled = true;
    return count;
}

}  // namespace znfs
