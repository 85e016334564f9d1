#ifndef ZNFS_TASK_CACHE_H
#define ZNFS_TASK_CACHE_H

// What one task of the worker pool has resolved. The library gives the pool one task per
// entry it copies, and the calls of that task go to one or two paths again and again: the
// status, the data and every attribute of a file, then the attributes of its copy. Inside a
// task a backend resolves each path once and lets the descriptor serve the task's later calls
// on it; the task's descriptors are closed when the task ends. A remove through any volume
// drops them all at once, since it may change what any kept path names.
//
// A task thus sees an entry as it was when the task first reached it, even if the entry is
// replaced while the task runs: its status, data and attributes then come from one file, never
// from two. Outside a pool task nothing is kept and every call resolves afresh.
//
// Everything here belongs to the calling thread; nothing is shared. Internal to libznfscore.

#include <cstddef>
#include <cstdint>
#include <string>

namespace znfs {
namespace task_cache {

// Marks the lifetime of one pool task on the calling thread; the end closes what it kept.
class scope {
public:
    scope();
    ~scope();
    scope(const scope&) = delete;
    scope& operator=(const scope&) = delete;
};

// What a kept handle can do: only locate its file (an O_PATH descriptor, an object handle),
// or read, or write it.
enum class access { path, read, write };

// A backend's handle (a descriptor, a pointer) and how to let it go.
using release_fn = void (*)(intptr_t handle);

struct kept {
    intptr_t handle;
    access mode;
    release_fn release;
};

// True inside a pool task: only then is anything kept.
bool active();

// A new number for a volume, so that a kept path is never taken for another volume's, even
// one that later reuses the same memory.
uint64_t new_volume_id();

// The handle kept for path on the volume, or null. It stays owned by the cache and valid until
// the next keep, forget_all or the end of the task.
const kept* find(uint64_t volume, const char* path);

// Takes handle, which locates what path on the volume names now, for the rest of the task,
// replacing what was kept for the path and, when full, the oldest entry. False when nothing
// was kept (outside a task, or the path could not be stored): the handle is then released at
// once. errno is left as it was.
bool keep(uint64_t volume, const char* path, intptr_t handle, access mode, release_fn release);

// An attribute value (name null: the list of names) that a size query of this task fetched
// whole, so that the read which follows the query costs nothing. One is held per thread.
void remember_attribute(uint64_t volume, const char* path, const char* name, const char* value, size_t size);

// Moves the remembered value into out if it is for this volume, path and name; it is gone
// from the cache either way, so a value serves one read only.
bool recall_attribute(uint64_t volume, const char* path, const char* name, std::string& out);

// Drops the remembered value (a call that may change attributes comes between).
void drop_attribute();

// Releases everything kept on this thread. errno is left as it was.
void forget_all();

}  // namespace task_cache
}  // namespace znfs

#endif
