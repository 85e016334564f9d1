#ifndef ZNLIB_ZNPROCESS_H
#define ZNLIB_ZNPROCESS_H

#include <znfs/znfs_export.h>

#include <string>

class ZnProcessCapture;

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

// While alive, also receives what every command that this thread runs through
// ZnProcess::system writes on its standard output and error (the last command's, each cut to
// its first 64 KiB), whatever the caller of system() does with them: for a host that wants
// the command's own words about a failure from a caller that discards them. Scopes nest; the
// innermost one receives.
class ZNFS_EXPORT ZnProcessCapture {
public:
    ZnProcessCapture();
    ~ZnProcessCapture();
    ZnProcessCapture(const ZnProcessCapture&) = delete;
    ZnProcessCapture& operator=(const ZnProcessCapture&) = delete;

    const std::string& output() const { return m_output; }
    const std::string& error_output() const { return m_error_output; }

private:
    friend class ZnProcess;
    // Records the outputs of one command into the innermost scope of this thread, if any.
    static void record(const std::string& output, const std::string& error_output);

    ZnProcessCapture* m_outer;
    std::string m_output;
    std::string m_error_output;
};

#endif
