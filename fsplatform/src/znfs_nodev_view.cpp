#include "znfs_nodev_view.h"

#include <fcntl.h>
#include <linux/mount.h>
#include <poll.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifndef AT_RECURSIVE
#define AT_RECURSIVE 0x8000
#endif

namespace znfs {
namespace {

// How long a copy serves before the mount table is looked at again.
const int64_t k_watch_interval_ns = 10 * 1000 * 1000;

int64_t monotonic_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A detached copy of the mounts at and below dirfd, all of them nodev; -1 on failure.
int copy_nodev(int dirfd)
{
#if defined(SYS_open_tree) && defined(SYS_mount_setattr)
    int fd = static_cast<int>(
        syscall(SYS_open_tree, dirfd, "", OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE | AT_EMPTY_PATH));
    if (fd < 0)
        return -1;
    struct mount_attr attr;
    memset(&attr, 0, sizeof attr);
    attr.attr_set = MOUNT_ATTR_NODEV;
    if (syscall(SYS_mount_setattr, fd, "", AT_EMPTY_PATH | AT_RECURSIVE, &attr, sizeof attr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
#else
    (void)dirfd;
    return -1;
#endif
}

}  // namespace

nodev_view::~nodev_view()
{
    mutex_lock hold(m_mutex);
    int top = m_top.load();
    if (top >= 0)
        ::close(top);
    for (int fd : m_retired)
        ::close(fd);
    if (m_watch >= 0)
        ::close(m_watch);
}

int nodev_view::top()
{
    if (m_gone.load(std::memory_order_acquire))
        return -1;
    int fd = m_top.load(std::memory_order_acquire);
    int64_t now = monotonic_ns();
    if (fd >= 0 && now - m_checked.load(std::memory_order_relaxed) < k_watch_interval_ns)
        return fd;
    int e = errno;
    fd = refresh(now);
    errno = e;
    return fd;
}

int nodev_view::refresh(int64_t now)
{
    mutex_lock hold(m_mutex);
    if (m_gone.load(std::memory_order_relaxed))
        return -1;
    int top = m_top.load(std::memory_order_relaxed);
    if (top >= 0 && now - m_checked.load(std::memory_order_relaxed) < k_watch_interval_ns)
        return top;  // another thread looked meanwhile
    auto give_up = [&]() REQUIRES(m_mutex) {
        m_gone.store(true, std::memory_order_release);
        if (m_watch >= 0) {
            ::close(m_watch);
            m_watch = -1;
        }
        return -1;
    };
    bool changed = top < 0;
    if (m_watch < 0) {
        // Opened before the first copy is made: a change after it is seen by the next look.
        m_watch = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        if (m_watch < 0)
            return give_up();
    } else {
        struct pollfd p;
        p.fd = m_watch;
        p.events = POLLPRI;
        p.revents = 0;
        int r;
        do
            r = poll(&p, 1, 0);
        while (r < 0 && errno == EINTR);
        if (r < 0)
            return give_up();
        changed = changed || (p.revents & (POLLPRI | POLLERR)) != 0;
    }
    if (changed) {
        if (m_copies == k_max_copies)
            return give_up();
        int fd = copy_nodev(m_dir);
        if (fd < 0)
            return give_up();
        ++m_copies;
        if (top >= 0)
            m_retired.push_back(top);  // another thread may be resolving beneath it
        m_top.store(fd, std::memory_order_release);
        top = fd;
    }
    m_checked.store(now, std::memory_order_relaxed);
    return top;
}

int nodev_view::copies() const
{
    mutex_lock hold(m_mutex);
    return m_copies;
}

}  // namespace znfs
