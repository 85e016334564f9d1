#include "znfs_task_cache.h"

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace znfs {
namespace task_cache {
namespace {

// A copy needs two paths (its source and its destination); two more leave room for the
// parent directories and lists some tasks touch on the way.
const int k_entries = 4;

struct entry {
    uint64_t volume = 0;
    std::string path;
    kept item{-1, access::path};
};

struct store {
    int depth = 0;  // scopes open on this thread; a task may run another inline
    entry entries[k_entries];
    unsigned next = 0;  // the entry a keep replaces when none is free

    ~store() { clear(); }

    void clear()
    {
        int saved = errno;
        for (entry& e : entries) {
            if (e.item.fd >= 0)
                ::close(e.item.fd);
            e.item.fd = -1;
            e.path.clear();
        }
        errno = saved;
    }
};

thread_local store t_store;
std::atomic<uint64_t> g_next_volume{1};

}  // namespace

scope::scope() { ++t_store.depth; }

scope::~scope()
{
    if (--t_store.depth == 0)
        t_store.clear();
}

bool active() { return t_store.depth > 0; }

uint64_t new_volume_id() { return g_next_volume.fetch_add(1, std::memory_order_relaxed); }

const kept* find(uint64_t volume, const char* path)
{
    if (t_store.depth == 0)
        return nullptr;
    for (entry& e : t_store.entries)
        if (e.item.fd >= 0 && e.volume == volume && e.path == path)
            return &e.item;
    return nullptr;
}

void keep(uint64_t volume, const char* path, int fd, access mode)
{
    int saved = errno;
    store& s = t_store;
    entry* target = nullptr;
    if (s.depth > 0) {
        for (entry& e : s.entries)
            if (e.item.fd >= 0 && e.volume == volume && e.path == path)
                target = &e;
        for (entry& e : s.entries)
            if (!target && e.item.fd < 0)
                target = &e;
        if (!target) {
            target = &s.entries[s.next];
            s.next = (s.next + 1) % k_entries;
        }
        if (target->item.fd >= 0)
            ::close(target->item.fd);
        target->item.fd = -1;
        try {
            target->path = path;
            target->volume = volume;
            target->item = kept{fd, mode};
            fd = -1;
        } catch (...) {
            target->path.clear();
        }
    }
    if (fd >= 0)
        ::close(fd);
    errno = saved;
}

void forget_all() { t_store.clear(); }

}  // namespace task_cache
}  // namespace znfs
