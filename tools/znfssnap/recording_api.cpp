#include "recording_api.h"

namespace znfssnap {

std::error_code recording_api::unlink(znfs::znfs_iopx_ptr, const char* path, znfs::znfs_aio_ptr)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unlinked.emplace_back(path ? path : "");
    return std::error_code();
}

std::vector<std::string> recording_api::unlinked() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unlinked;
}

}  // namespace znfssnap
