#include <znlib/znprocess.h>

#include "znfs_child.h"

#include <cerrno>
#include <cstddef>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

std::vector<std::string> split_blanks(const char* line)
{
    std::vector<std::string> words;
    const char* p = line;
    while (*p != '\0') {
        while (*p == ' ' || *p == '\t')
            ++p;
        const char* start = p;
        while (*p != '\0' && *p != ' ' && *p != '\t')
            ++p;
        if (p != start)
            words.emplace_back(start, p);
    }
    return words;
}

int fail(int error)
{
    errno = error;
    return -1;
}

thread_local ZnProcessCapture* t_capture = nullptr;
const size_t k_capture_bytes = 64 * 1024;

}  // namespace

ZnProcessCapture::ZnProcessCapture() : m_outer(t_capture) { t_capture = this; }

ZnProcessCapture::~ZnProcessCapture() { t_capture = m_outer; }

void ZnProcessCapture::record(const std::string& output, const std::string& error_output)
{
    if (!t_capture)
        return;
    t_capture->m_output.assign(output, 0, k_capture_bytes);
    t_capture->m_error_output.assign(error_output, 0, k_capture_bytes);
}

int ZnProcess::system(const char* command_line, std::string* output, std::string* error_output,
                      int timeout_seconds, bool merge_stderr)
{
    if (output)
        output->clear();
    if (error_output)
        error_output->clear();
    if (command_line == nullptr)
        return fail(EINVAL);
    std::vector<std::string> words = split_blanks(command_line);
    if (words.empty())
        return fail(EINVAL);

    // A capture scope on this thread gets the outputs even when the caller passed no string.
    std::string own_output, own_error_output;
    if (t_capture) {
        if (!output)
            output = &own_output;
        if (!error_output && !merge_stderr)
            error_output = &own_error_output;
    }
    znfs::detail::child_result result;
    int rc = znfs::detail::run_child(words, true, timeout_seconds, merge_stderr, output, error_output, result);
    ZnProcessCapture::record(output ? *output : std::string(), error_output ? *error_output : std::string());
    if (rc != 0)
        return fail(rc);
    if (result.timed_out)
        return fail(ETIMEDOUT);
    if (WIFSIGNALED(result.wait_status))
        return fail(EINTR);
    if (!WIFEXITED(result.wait_status) || WEXITSTATUS(result.wait_status) != 0)
        return fail(EIO);
    return 0;
}
