#include "kill_hook.h"

#include "options.h"

#include <znfs/znfs_forward.h>

#include <fcntl.h>
#include <signal.h>

#include <cstdlib>

namespace znfssnap {

// Counts the calls that would change the volume, and kills the process before the Nth.
class killing_api final : public znfs::znfs_api_forward {
public:
    killing_api(znfs::znfs_api* target, std::atomic<long>* calls, long at)
        : znfs::znfs_api_forward(target), m_calls(calls), m_at(at)
    {
    }

    znfs::znfs_file_ptr open(znfs::znfs_iopx_ptr iopx, const char* path, int32_t flags,
                             znfs::znfs_aio_ptr aio) override
    {
        if ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_APPEND)))
            step();
        return target()->open(iopx, path, flags, aio);
    }
    znfs::znfs_file_ptr creat(znfs::znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t mode,
                              znfs::znfs_aio_ptr aio) override
    {
        step();
        return target()->creat(iopx, path, flags, mode, aio);
    }
    int64_t write(znfs::znfs_file_ptr file, znfs::znfs_buff_ptr buff, uint64_t length, int64_t offset,
                  int32_t option, znfs::znfs_aio_ptr aio) override
    {
        step();
        return target()->write(file, buff, length, offset, option, aio);
    }
    int64_t copy_range(znfs::znfs_file_ptr src, uint64_t srcoffset, znfs::znfs_file_ptr dst, uint64_t dstoffset,
                       uint64_t length, znfs::znfs_aio_ptr aio) override
    {
        step();
        return target()->copy_range(src, srcoffset, dst, dstoffset, length, aio);
    }
    std::error_code mkdir(znfs::znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs::znfs_aio_ptr aio) override
    {
        step();
        return target()->mkdir(iopx, path, mode, aio);
    }
    std::error_code rmdir(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override
    {
        step();
        return target()->rmdir(iopx, path, aio);
    }
    std::error_code unlink(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override
    {
        step();
        return target()->unlink(iopx, path, aio);
    }
    std::error_code setxattr(znfs::znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                             uint64_t flags, znfs::znfs_aio_ptr aio) override
    {
        step();
        return target()->setxattr(iopx, path, name, iov, flags, aio);
    }
    std::error_code chmod(znfs::znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs::znfs_aio_ptr aio) override
    {
        step();
        return target()->chmod(iopx, path, mode, aio);
    }

private:
    void step()
    {
        if (m_calls->fetch_add(1) + 1 == m_at)
            ::raise(SIGKILL);
    }
    std::atomic<long>* m_calls;  // shared by both volumes' wrappers
    long m_at;
};

kill_hook::kill_hook() = default;
kill_hook::~kill_hook() = default;

void kill_hook::arm(opened_volume& v, opened_volume* o)
{
    const char* at = std::getenv("ZNFSSNAP_TEST_KILL_AT");
    long long n = 0;
    if (!at || !parse_int(at, n) || n <= 0)
        return;
    m_vol.reset(new killing_api(v.api, &m_calls, static_cast<long>(n)));
    v.api = m_vol.get();
    if (o) {
        m_obj.reset(new killing_api(o->api, &m_calls, static_cast<long>(n)));
        o->api = m_obj.get();
    }
}

}  // namespace znfssnap
