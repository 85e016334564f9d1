#ifndef ZNFS_THPOOL_H
#define ZNFS_THPOOL_H

// A pool of worker threads serving one io_service. Work is posted to get_iosvc() from any
// thread, also from a running task; wait_joinall_threads() returns when every posted task,
// including tasks posted by tasks, has finished and every worker has left. A pool runs one
// drain only. A task that throws is logged and the worker goes on. Workers run tasks one at a
// time, each in its own scope: what a backend keeps for a task (see znfs_posix.h) is released
// as soon as the task ends.

#include <znfs/znfs_debug.h>
#include <znfs/znfs_export.h>

#include <boost/asio/io_service.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/thread.hpp>

#include <vector>

namespace znfs {

class ZNFS_EXPORT znfs_thpool {
public:
    znfs_thpool() : m_enabled(false) {}

    // Releases the keep-alive and joins the workers; with nothing queued they leave their
    // loops at once. Joining rather than detaching means no worker outlives the pool, the
    // object that owns it, or (at exit) the process's static objects. Destroyed on one of its
    // own workers, which cannot join itself, it detaches them instead: each worker holds its
    // own reference to the service and leaves its loop without touching this object.
    ~znfs_thpool()
    {
        m_work.reset();
        if (m_threads.is_this_thread_in()) {
            for (boost::thread* t : m_started)
                if (t->joinable())
                    t->detach();
            return;
        }
        boost::this_thread::disable_interruption no_interrupt;
        m_threads.join_all();
    }

    znfs_thpool(const znfs_thpool&) = delete;
    znfs_thpool& operator=(const znfs_thpool&) = delete;

    // Starts count workers (0: the process default, see set_default_workers). Returns the
    // number started; at least one unless the thread library refused, which it throws.
    unsigned enable_thpool(unsigned count);

    boost::shared_ptr<boost::asio::io_service> get_iosvc() { return m_iosvc; }

    void wait_joinall_threads()
    {
        m_work.reset();
        m_threads.join_all();
    }

    // Worker count used for enable_thpool(0); 0 restores the built-in choice.
    static void set_default_workers(unsigned count);
    static unsigned default_workers();
    // Makes create() give no pool, as when the system cannot provide one (for tests and for
    // hosts that want every operation on the calling thread).
    static void set_unavailable(bool unavailable);
    // A new pool in shared ownership, not yet enabled; empty when none can be had.
    static boost::shared_ptr<znfs_thpool> create();

private:
    bool m_enabled;
    boost::shared_ptr<boost::asio::io_service> m_iosvc;
    boost::shared_ptr<boost::asio::io_service::work> m_work;
    boost::thread_group m_threads;
    // Unused since the logger became stateless; kept so that the class keeps its layout for
    // hosts built against it.
    [[maybe_unused]] znfs_debug m_logger;
    // The same threads as m_threads (which offers no iteration), so that they can be detached.
    std::vector<boost::thread*> m_started;
};

}  // namespace znfs

#endif
