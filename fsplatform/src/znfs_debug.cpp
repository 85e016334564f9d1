#include <znfs/znfs_debug.h>

#include "znfs_mutex.h"

#include <cstdio>
#include <string>

namespace znfs {

std::atomic<int> znfs_debug::s_threshold(-1);

namespace {

// Guards the installed sink and serialises every write through it.
mutex g_sink_mutex;
znfs_debug::sink_fn g_sink GUARDED_BY(g_sink_mutex);

const char* level_name(int level)
{
    switch (level) {
    case -1: return "ERROR";
    case 0: return "INFO";
    default: return "DEBUG";
    }
}

}  // namespace

void znfs_debug::set_sink(sink_fn sink)
{
    mutex_lock lock(g_sink_mutex);
    g_sink = std::move(sink);
}

void znfs_debug::vwrite(int level, const char* function, const char* format, va_list ap)
{
    char stackbuf[512];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(stackbuf, sizeof stackbuf, format, copy);
    va_end(copy);
    std::string heap;
    const char* message = stackbuf;
    if (n >= static_cast<int>(sizeof stackbuf)) {
        heap.resize(static_cast<size_t>(n) + 1);
        vsnprintf(&heap[0], heap.size(), format, ap);
        heap.resize(static_cast<size_t>(n));
        message = heap.c_str();
    } else if (n < 0) {
        message = format;
    }
    mutex_lock lock(g_sink_mutex);
    if (g_sink) {
        g_sink(level, function, message);
        return;
    }
    fprintf(stderr, "[%s] %s: %s\n", level_name(level), function, message);
}

}  // namespace znfs
