#include "kill_hook.h"

#include "options.h"

#include <znfs/znfs_forward.h>

#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>

namespace znfssnap {

// Counts the calls that would change the volume, and kills the process before the Nth (or
// reports the Nth failed once it is carried out).
class killing_api final : public znfs::znfs_api_forward {
public:
    killing_api(znfs::znfs_api* target, std::atomic<long>* calls, long at, long fail_at)
        : znfs::znfs_api_forward(target), m_calls(calls), m_at(at), m_fail_at(fail_at)
    {
    }

    znfs::znfs_file_ptr open(znfs::znfs_iopx_ptr iopx, const char* path, int32_t flags, znfs::znfs_aio_ptr aio) override
    {
        const bool fail = ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_APPEND))) && step();
        return failed(target()->open(iopx, path, flags, aio), fail);
    }
    znfs::znfs_file_ptr creat(znfs::znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t mode,
                              znfs::znfs_aio_ptr aio) override
    {
        const bool fail = step();
        return failed(target()->creat(iopx, path, flags, mode, aio), fail);
    }
    int64_t write(znfs::znfs_file_ptr file, znfs::znfs_buff_ptr buff, uint64_t length, int64_t offset, int32_t option,
                  znfs::znfs_aio_ptr aio) override
    {
        const bool fail = step();
        return failed(target()->write(file, buff, length, offset, option, aio), fail);
    }
    int64_t copy_range(znfs::znfs_file_ptr src, uint64_t srcoffset, znfs::znfs_file_ptr dst, uint64_t dstoffset,
                       uint64_t length, znfs::znfs_aio_ptr aio) override
    {
        const bool fail = step();
        return failed(target()->copy_range(src, srcoffset, dst, dstoffset, length, aio), fail);
    }
    std::error_code mkdir(znfs::znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs::znfs_aio_ptr aio) override
    {
        const bool fail = step();
        return failed(target()->mkdir(iopx, path, mode, aio), fail);
    }
    std::error_code rmdir(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override
    {
        const bool fail = step();
        return failed(target()->rmdir(iopx, path, aio), fail);
    }
    std::error_code unlink(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override
    {
        const bool fail = step();
        return failed(target()->unlink(iopx, path, aio), fail);
    }
    std::error_code setxattr(znfs::znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                             uint64_t flags, znfs::znfs_aio_ptr aio) override
    {
        const bool fail = step();
        return failed(target()->setxattr(iopx, path, name, iov, flags, aio), fail);
    }
    std::error_code chmod(znfs::znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs::znfs_aio_ptr aio) override
    {
        const bool fail = step();
        return failed(target()->chmod(iopx, path, mode, aio), fail);
    }

private:
    // Counts a call; true when it is to be reported failed once carried out.
    bool step()
    {
        const long n = m_calls->fetch_add(1) + 1;
        if (n == m_at)
            ::raise(SIGKILL);
        return n == m_fail_at;
    }
    // A call carried out and then reported failed (EIO), as a backend whose answer was lost.
    znfs::znfs_file_ptr failed(znfs::znfs_file_ptr f, bool fail)
    {
        if (!fail || !f)
            return f;
        target()->close(f, znfs::znfs_aio_ptr());
        errno = EIO;
        return znfs::znfs_file_ptr();
    }
    static int64_t failed(int64_t n, bool fail)
    {
        if (!fail || n < 0)
            return n;
        errno = EIO;
        return -1;
    }
    static std::error_code failed(std::error_code ec, bool fail) { return fail && !ec ? znfs::errno_code(EIO) : ec; }
    std::atomic<long>* m_calls;  // shared by both volumes' wrappers
    long m_at;
    long m_fail_at;
};

kill_hook::kill_hook() = default;
kill_hook::~kill_hook() = default;

void kill_hook::arm(opened_volume& v, opened_volume* o)
{
    auto number = [](const char* name) {
        const char* text = std::getenv(name);
        long long n = 0;
        return text && parse_int(text, n) && n > 0 ? static_cast<long>(n) : 0L;
    };
    const long at = number("ZNFSSNAP_TEST_KILL_AT"), fail_at = number("ZNFSSNAP_TEST_FAIL_AT");
    if (at == 0 && fail_at == 0)
        return;
    m_vol.reset(new killing_api(v.api, &m_calls, at, fail_at));
    v.api = m_vol.get();
    if (o) {
        m_obj.reset(new killing_api(o->api, &m_calls, at, fail_at));
        o->api = m_obj.get();
    }
}

}  // namespace znfssnap
