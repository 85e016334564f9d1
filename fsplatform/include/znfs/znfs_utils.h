#ifndef ZNFS_UTILS_H
#define ZNFS_UTILS_H

#include <znfs/znfs_export.h>

#include <string>
#include <vector>

namespace znfs {

class ZNFS_EXPORT znfs_utils {
public:
    // Plain decimal, no leading zeros.
    static std::string uint_to_string(unsigned int value);
    // The leading decimal digits of text (blanks before them skipped); 0 when there are none
    // or the number does not fit.
    static unsigned int string_to_uint(const std::string& text);
    // Runs command through /bin/sh with standard input from /dev/null; output_lines receives
    // its standard output line by line (line feeds removed), error_text its standard error.
    // timeout_seconds > 0 bounds its run time (the command and what it started are killed).
    // 0 when it exited 0, its exit status when it exited otherwise, -1 with errno when it could
    // not be run, was killed by a signal (EINTR) or ran out of time (ETIMEDOUT).
    static int execute_command(const std::string& command, std::vector<std::string>& output_lines,
                               std::string& error_text, int timeout_seconds);
};

}  // namespace znfs

#endif
