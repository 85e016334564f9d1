#include <znfs/znfs_posix.h>
// Placeholder: the confined POSIX backend is being written.
namespace znfs {
znfs_api* posix_api() { return nullptr; }
znfs_iopx_ptr make_posix_volume(const std::string&, std::error_code& ec)
{
    ec = std::error_code(ENOSYS, std::system_category());
    return znfs_iopx_ptr();
}
}  // namespace znfs
