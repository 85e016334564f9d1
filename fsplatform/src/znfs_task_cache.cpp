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
    kept item{0, access::path, nullptr};

    bool used() const { return item.release != nullptr; }
    void release()
    {
        if (item.release)
            item.release(item.handle);
        item.release = nullptr;
        path.clear();
    }
};

struct attribute_memo {
    bool held = false;
    uint64_t volume = 0;
    bool list = false;
    std::string path, name, value;
};

struct store {
    int depth = 0;  // scopes open on this thread; a task may run another inline
    entry entries[k_entries];
    unsigned next = 0;  // the entry a keep replaces when none is free
    attribute_memo memo;

    ~store() { clear(); }

    void clear()
    {
        int saved = errno;
        for (entry& e : entries)
            e.release();
        memo.held = false;
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
        if (e.used() && e.volume == volume && e.path == path)
            return &e.item;
    return nullptr;
}

bool keep(uint64_t volume, const char* path, intptr_t handle, access mode, release_fn release)
{
    int saved = errno;
    store& s = t_store;
    bool taken = false;
    if (s.depth > 0) {
        entry* target = nullptr;
        for (entry& e : s.entries)
            if (e.used() && e.volume == volume && e.path == path)
                target = &e;
        for (entry& e : s.entries)
            if (!target && !e.used())
                target = &e;
        if (!target) {
            target = &s.entries[s.next];
            s.next = (s.next + 1) % k_entries;
        }
        target->release();
        try {
            target->path = path;
            target->volume = volume;
            target->item = kept{handle, mode, release};
            taken = true;
        } catch (...) {
            target->path.clear();
        }
    }
    if (!taken)
        release(handle);
    errno = saved;
    return taken;
}

void remember_attribute(uint64_t volume, const char* path, const char* name, const char* value, size_t size)
{
    attribute_memo& m = t_store.memo;
    m.held = false;
    if (t_store.depth == 0)
        return;
    try {
        m.path = path;
        m.list = name == nullptr;
        m.name = name ? name : "";
        m.value.assign(value, size);
        m.volume = volume;
        m.held = true;
    } catch (...) {
    }
}

bool recall_attribute(uint64_t volume, const char* path, const char* name, std::string& out)
{
    attribute_memo& m = t_store.memo;
    if (!m.held)
        return false;
    m.held = false;
    if (m.volume != volume || m.path != path || m.list != (name == nullptr) || (name && m.name != name))
        return false;
    out.swap(m.value);
    return true;
}

void drop_attribute() { t_store.memo.held = false; }

void forget_all() { t_store.clear(); }

}  // namespace task_cache
}  // namespace znfs
