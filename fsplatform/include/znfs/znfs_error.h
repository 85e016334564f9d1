#ifndef ZNFS_ERROR_H
#define ZNFS_ERROR_H

// errno values as error codes, the one vocabulary of the service, the snapshot library and the
// tools built on them. Copy errno into a local before any other call could overwrite it.

#include <cerrno>
#include <system_error>

namespace znfs {

// errno as an error code of the service (system category).
inline std::error_code errno_code(int e) { return std::error_code(e, std::system_category()); }

// errno as an error code of the snapshot library, which reports its own failures in the generic
// category; callers compare values, and some compare categories too.
inline std::error_code generic_code(int e) { return std::error_code(e, std::generic_category()); }

// errno after a call that signalled failure, or EIO when that call left it unset: a failure is
// never reported as success.
inline int errno_or_eio() { return errno != 0 ? errno : EIO; }

}  // namespace znfs

#endif
