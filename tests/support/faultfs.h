#ifndef ZNFS_TESTS_FAULTFS_H
#define ZNFS_TESTS_FAULTFS_H

// FaultFs: a znfs_api that forwards to a real service, counts every call and fails chosen
// ones. Operation names: "open", "creat", "close", "read", "write", "stat", "mkdir", "rmdir",
// "unlink", "opendir", "readdir", "closedir", "getxattr", "listxattr", "setxattr", "chmod",
// "fsync", "syncfs" (whose path is empty), "copy_range" (the source's path). confine is
// forwarded and not counted.
// get_malloc_intfx is not counted (see set_no_allocator).
//
// A failed call returns what the backend returns on failure (empty handle, -1 or an error
// code) with errno set to the chosen value, and is recorded in injected(), so a test can tell
// the faults it injected from real ones. "close" and "closedir" still release the handle
// before reporting the failure, as a real close does. Handle calls (read, write, close,
// readdir, closedir) match path filters against the path the handle was opened with.
//
// Thread-safe: every counter, rule and record is guarded by one mutex.

#include <znfs/znfs_forward.h>

#include <boost/weak_ptr.hpp>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class FaultFs : public znfs::znfs_api_forward {
public:
    explicit FaultFs(znfs::znfs_api* target) : znfs::znfs_api_forward(target) {}

    // Fails the k-th counted call (1-based, across all operations) with err.
    void fail_call(uint64_t k, int err);
    // As err of a rule: the call throws std::bad_alloc instead of failing, as an allocation
    // that failed below would.
    static const int k_throws = -1;

    // Fails calls of op whose path contains path_part (every path when empty); with nth > 0
    // only the nth such matching call, else every one.
    void fail_op(const std::string& op, int err, const std::string& path_part = std::string(),
                 uint64_t nth = 0);
    // get_malloc_intfx returns empty while on, so alloc_io_buffer gives no buffer.
    void set_no_allocator(bool on);
    // read transfers at most max_bytes per call (0: no limit).
    void set_short_reads(uint64_t max_bytes);
    // Removes every rule and mode; counters and records stay.
    void clear_faults();
    // Removes every rule and mode and zeroes counters and records.
    void reset();

    uint64_t calls() const;
    uint64_t calls(const std::string& op) const;
    uint64_t injected_count() const;
    // (op, path) of every injected failure, in order.
    std::vector<std::pair<std::string, std::string>> injected() const;

    znfs::znfs_file_ptr open(znfs::znfs_iopx_ptr iopx, const char* path, int32_t flags,
                             znfs::znfs_aio_ptr aio) override;
    znfs::znfs_file_ptr creat(znfs::znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t mode,
                              znfs::znfs_aio_ptr aio) override;
    std::error_code close(znfs::znfs_file_ptr file, znfs::znfs_aio_ptr aio) override;
    int64_t read(znfs::znfs_file_ptr file, znfs::znfs_buff_ptr buff, uint64_t length, int64_t offset,
                 int32_t option, znfs::znfs_aio_ptr aio) override;
    int64_t write(znfs::znfs_file_ptr file, znfs::znfs_buff_ptr buff, uint64_t length, int64_t offset,
                  int32_t option, znfs::znfs_aio_ptr aio) override;
    std::error_code stat(znfs::znfs_iopx_ptr iopx, const char* path, struct stat* st,
                         znfs::znfs_aio_ptr aio) override;
    std::error_code mkdir(znfs::znfs_iopx_ptr iopx, const char* path, uint32_t mode,
                          znfs::znfs_aio_ptr aio) override;
    std::error_code rmdir(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override;
    std::error_code unlink(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override;
    znfs::znfs_file_ptr opendir(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override;
    struct dirent* readdir(znfs::znfs_file_ptr dir, znfs::znfs_aio_ptr aio) override;
    std::error_code closedir(znfs::znfs_file_ptr dir, znfs::znfs_aio_ptr aio) override;
    int64_t getxattr(znfs::znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                     znfs::znfs_aio_ptr aio) override;
    int64_t listxattr(znfs::znfs_iopx_ptr iopx, const char* path, struct iovec* iov,
                      znfs::znfs_aio_ptr aio) override;
    std::error_code setxattr(znfs::znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                             uint64_t flags, znfs::znfs_aio_ptr aio) override;
    std::error_code chmod(znfs::znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs::znfs_aio_ptr aio) override;
    int64_t copy_range(znfs::znfs_file_ptr src, uint64_t srcoffset, znfs::znfs_file_ptr dst, uint64_t dstoffset,
                       uint64_t length, znfs::znfs_aio_ptr aio) override;
    std::error_code fsync(znfs::znfs_file_ptr file, znfs::znfs_aio_ptr aio) override;
    std::error_code syncfs(znfs::znfs_iopx_ptr iopx, znfs::znfs_aio_ptr aio) override;
    boost::shared_ptr<znfs::znfs_mem::malloc_intfx> get_malloc_intfx() override;

private:
    struct rule {
        std::string op;
        std::string path_part;
        uint64_t nth;
        int err;
        uint64_t matched;
    };
    struct opened {
        boost::weak_ptr<znfs::znfs_file> handle;
        std::string path;
    };

    // Counts the call; returns the errno to inject, or 0 to forward.
    int check(const char* op, const std::string& path);
    int check_handle(const char* op, const znfs::znfs_file_ptr& file);
    void remember(const znfs::znfs_file_ptr& file, const char* path);

    mutable std::mutex m_mutex;  // guards every member below
    uint64_t m_calls = 0;
    std::map<std::string, uint64_t> m_op_calls;
    std::vector<std::pair<uint64_t, int>> m_fail_calls;
    std::vector<rule> m_rules;
    bool m_no_allocator = false;
    uint64_t m_short_reads = 0;
    std::vector<std::pair<std::string, std::string>> m_injected;
    std::map<const znfs::znfs_file*, opened> m_paths;
};

#endif
