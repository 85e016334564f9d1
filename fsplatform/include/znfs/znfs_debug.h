#ifndef ZNFS_DEBUG_H
#define ZNFS_DEBUG_H

// The logger. Stateless: every znfs_debug writes to the one process-wide sink, filtered by
// the one process-wide threshold. Safe to call from any number of threads at once.
// Levels: -1 failures, 0 milestones and per-file progress, 1 detail. debug() lines with a
// level above the threshold are dropped before anything is formatted; error() lines are
// always written (at level -1).

#include <znfs/znfs_export.h>

#include <atomic>
#include <cstdarg>
#include <functional>

namespace znfs {

class ZNFS_EXPORT znfs_debug {
public:
    // Receives one finished line: its level, the function literal and the formatted message.
    typedef std::function<void(int level, const char* function, const char* message)> sink_fn;

    void debug(const char* function, int level, const char* format, ...) __attribute__((format(printf, 4, 5)))
    {
        if (level > s_threshold.load(std::memory_order_relaxed))
            return;
        va_list ap;
        va_start(ap, format);
        vwrite(level, function, format, ap);
        va_end(ap);
    }
    void error(const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)))
    {
        va_list ap;
        va_start(ap, format);
        vwrite(-1, function, format, ap);
        va_end(ap);
    }

    static bool enabled(int level) { return level <= s_threshold.load(std::memory_order_relaxed); }
    // Lines up to and including this level are written; default -1 (failures only).
    static void set_level(int threshold) { s_threshold.store(threshold, std::memory_order_relaxed); }
    static int get_level() { return s_threshold.load(std::memory_order_relaxed); }
    // Installs a sink (calls to it are serialised); an empty function restores standard error.
    static void set_sink(sink_fn sink);

private:
    static void vwrite(int level, const char* function, const char* format, va_list ap);
    static std::atomic<int> s_threshold;
};

}  // namespace znfs

#endif
