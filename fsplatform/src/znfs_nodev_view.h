#ifndef ZNFS_NODEV_VIEW_H
#define ZNFS_NODEV_VIEW_H

// A private copy of the mounts at and below a directory, on which device files cannot be
// opened (every mount of the copy is "nodev"). A name believed to be a regular file can be
// opened there at once, without checking its type through a path descriptor first: a device
// swapped in for it meanwhile is refused by the kernel (EACCES) instead of reaching its driver.
// Internal to the POSIX backend.
//
// Making the copy takes the right to mount (open_tree, mount_setattr); without it, or on a
// kernel without those calls, there is no copy and callers keep to their checked route.
// Mounts made or removed after the copy do not show in it, so the mount table is watched: a
// change seen makes a new copy, at most a short while after the change (what a listing made
// just before it can see differs from the copy no longer than a name swapped meanwhile can).
// After k_max_copies copies the view gives up, and a host whose mounts keep changing keeps to
// the checked route. Thread-safe.

#include "znfs_mutex.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace znfs {

class nodev_view {
public:
    static const int k_max_copies = 16;

    // dirfd: the directory to copy the mounts from (any descriptor of it, O_PATH will do);
    // borrowed, it must stay open as long as the view. Nothing is made before the first top().
    explicit nodev_view(int dirfd) : m_dir(dirfd) {}
    ~nodev_view();
    nodev_view(const nodev_view&) = delete;
    nodev_view& operator=(const nodev_view&) = delete;

    // The top directory of the current copy, or -1 when there is none. A descriptor returned
    // stays open as long as the view, even once a newer copy replaces it. errno is kept.
    int top();

    // How many copies were made so far (for tests).
    int copies() const;

private:
    int refresh(int64_t now);

    const int m_dir;
    std::atomic<int> m_top{-1};
    std::atomic<int64_t> m_checked{0};   // when the mount table was last looked at
    std::atomic<bool> m_gone{false};     // no copy, now or later
    mutable mutex m_mutex;
    int m_watch GUARDED_BY(m_mutex) = -1;  // /proc/self/mountinfo, polled for changes
    int m_copies GUARDED_BY(m_mutex) = 0;
    std::vector<int> m_retired GUARDED_BY(m_mutex);  // older copies, perhaps still in use
};

}  // namespace znfs

#endif
