#ifndef ZNFSSC_FRAME_H
#define ZNFSSC_FRAME_H

// What the two operation classes share besides their base znfssnapframe: the checks of the
// record's inputs and the entry-point wrapper. Internal to the library.

#include <znfssnapcore/znfssnapcore.h>

#include <znfs/znfs_thpool.h>

#include <boost/lexical_cast.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <cerrno>

namespace znfssnapcore {
namespace frame {

inline error_code invalid_argument() { return znfs::generic_code(EINVAL); }

const char* const k_acl_access = "system.posix_acl_access";
const char* const k_acl_default = "system.posix_acl_default";

// A failed attribute read that says there is none: not set, or a volume that keeps none.
inline bool no_such_attribute(int e) { return e == ENODATA || e == ENOTSUP || e == EOPNOTSUPP; }

// The text of the calling thread's identifier, for log lines.
// The words for an errno value ("No such file or directory"), for log lines of our own.
inline string errno_text(int e) { return std::generic_category().message(e); }

inline string thread_id_text() { return boost::lexical_cast<string>(boost::this_thread::get_id()); }

// A record input the operation needs is missing: logged, answered with EINVAL, nothing touched.
inline bool require(znfs::znfs_debug& logger, const char* fn, bool present, const char* field)
{
    if (!present)
        logger.debug(fn, -1, "Invalid operation record: [%s] is missing", field);
    return present;
}

// The line for work an exception stopped, what() naming it; a failure to write it is not
// another failure.
template <class What>
void log_stopped(znfs::znfs_debug& logger, const char* fn, What& what, const char* text) noexcept
{
    try {
        logger.error(fn, "Work on [%s] stopped by an exception [%s]", what().c_str(), text);
    } catch (...) {
    }
}

// Runs one pool task's work; what() names it (a path, a batch) for the line, and is called only
// then, so that a task costs nothing more when nothing is thrown. The pool only logs an
// exception that leaves a task, and the operation would report success for work never done: an
// exception counts the work in not_done instead, with a line.
template <class What, class Fn>
void count_if_thrown(znfs::znfs_debug& logger, const char* fn, What&& what, std::atomic<uint64_t>& not_done,
                     Fn&& work)
{
    try {
        work();
    } catch (const std::exception& e) {
        not_done.fetch_add(1, std::memory_order_relaxed);
        log_stopped(logger, fn, what, e.what());
    } catch (...) {
        not_done.fetch_add(1, std::memory_order_relaxed);
        log_stopped(logger, fn, what, "unknown");
    }
}

// The entry point: one operation object on this stack, its start method, its result.
template <class Op>
error_code run(znfssnapcore_opinfo* opinfo, error_code (Op::*start)(), const char* fn)
{
    if (!opinfo) {
        znfs::znfs_debug logger;
        logger.debug(fn, -1, "Invalid operation record: [%s] is missing", "opinfo");
        return invalid_argument();
    }
    error_code ec;
    Op op(opinfo);
    ec = (op.*start)();
    return ec;
}

}  // namespace frame

namespace znfssnaputils {

// file_copy of a whole file into a new one, leaving a hole where the source holds a block of
// zeros (other than the last one, which gives the copy its size).
error_code sparse_copy(znfs::znfs_api* api, const znfs::znfs_file_ptr& srcfp, const znfs::znfs_file_ptr& dstfp,
                       uint64_t size, znfs::znfs_debug& logger);

}  // namespace znfssnaputils
}  // namespace znfssnapcore

#endif
