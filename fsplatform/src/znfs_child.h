#ifndef ZNFS_CHILD_H
#define ZNFS_CHILD_H

// Internal: runs one child process and collects what it writes. Shared by
// znfs_utils::execute_command (through /bin/sh) and ZnProcess::system (no shell).

#include <string>
#include <vector>

namespace znfs {
namespace detail {

struct child_result {
    int wait_status = 0;     // as reported by waitpid, valid when the child was reaped
    bool timed_out = false;  // the child ran past its time and was killed
};

// Starts argv[0] (looked up on PATH when search_path, else taken as a path) with argv as its
// argument vector, the caller's environment and standard input from /dev/null. Its standard
// output goes to out, its standard error to err, or to out when merge_stderr; a null string
// discards. timeout_seconds > 0 bounds the whole run, also after the child closed its output:
// then the child runs in its own process group, and the whole group is killed.
// Returns 0 once the child has been reaped, else the errno of the step that failed (ENOENT
// when the program does not exist).
int run_child(const std::vector<std::string>& argv, bool search_path, int timeout_seconds, bool merge_stderr,
              std::string* out, std::string* err, child_result& result);

}  // namespace detail
}  // namespace znfs

#endif
