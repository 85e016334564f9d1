#ifndef ZNFSSNAP_RECORDING_API_H
#define ZNFSSNAP_RECORDING_API_H

// The object volume of a dry run: every call passes through, except unlink, which only
// records the path and reports success.

#include <znfs/znfs_forward.h>

#include <mutex>
#include <string>
#include <vector>

namespace znfssnap {

class recording_api final : public znfs::znfs_api_forward {
public:
    explicit recording_api(znfs::znfs_api* target) : znfs::znfs_api_forward(target) {}

    std::error_code unlink(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override;

    // Paths asked to be unlinked, in the order asked.
    std::vector<std::string> unlinked() const;

private:
    mutable std::mutex m_mutex;  // guards m_unlinked; delete workers call unlink concurrently
    std::vector<std::string> m_unlinked;
};

}  // namespace znfssnap

#endif
