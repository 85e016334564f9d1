#ifndef ZNLIB_ZNPROCESS_H
#define ZNLIB_ZNPROCESS_H

#include <znfs/znfs_export.h>

#include <string>

class ZNFS_EXPORT ZnProcess {
public:
    // Runs command_line without a shell: it is split on blanks and the first word is looked
    // up on PATH and executed directly, so no word is ever interpreted as shell syntax. The
    // child's standard input is /dev/null; output and error_output (either may be null) are
    // cleared and receive its standard output and error. timeout_seconds > 0 bounds the whole
    // run: the command runs in its own process group, and past the limit the group is killed
    // and the command reaped (ETIMEDOUT). merge_stderr sends the child's standard error to output.
    // 0 when the command exited with status 0; otherwise -1 with errno: ENOENT (no such
    // program), EINVAL (empty command line), EIO (non-zero exit status), EINTR (killed by a
    // signal), ETIMEDOUT, or the errno of a failed system call.
    static int system(const char* command_line, std::string* output, std::string* error_output,
                      int timeout_seconds, bool merge_stderr);
};

#endif
