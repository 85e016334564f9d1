#include <znfs/znfs_utils.h>

#include "znfs_child.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <sys/wait.h>

namespace znfs {

std::string znfs_utils::uint_to_string(unsigned int value) { return std::to_string(value); }

unsigned int znfs_utils::string_to_uint(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
        if (value > UINT_MAX)
            return 0;
    }
    return static_cast<unsigned int>(value);
}

int znfs_utils::execute_command(const std::string& command, std::vector<std::string>& output_lines,
                                std::string& error_text, int timeout_seconds)
{
    output_lines.clear();
    error_text.clear();
    std::string out;
    detail::child_result result;
    int rc = detail::run_child({"/bin/sh", "-c", command}, false, timeout_seconds, false, &out, &error_text, result);

    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos)
            end = out.size();
        output_lines.emplace_back(out, start, end - start);
        start = end + 1;
    }

    if (rc != 0) {
        errno = rc;
        return -1;
    }
    if (result.timed_out) {
        errno = ETIMEDOUT;
        return -1;
    }
    if (WIFEXITED(result.wait_status))
        return WEXITSTATUS(result.wait_status);
    errno = EINTR;
    return -1;
}

}  // namespace znfs
