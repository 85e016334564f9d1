#ifndef ZNFSSNAP_DRY_RUN_API_H
#define ZNFSSNAP_DRY_RUN_API_H

// The snapshot volume of a dry run. A deletion writes its working files (batch files, hand-off
// files, the previous snapshot's list) below SNAPDIR/.delete/; here they live in memory, and
// everything else is read from the real volume. Nothing reaches the volume that would change
// it: a call that would (a directory made or removed, an attribute or mode set, a file written
// or removed outside the working area) is refused with EROFS. A confined context (confine) is
// the volume's own; the calls made with it still come here.

#include "znfs_mutex.h"

#include <znfs/znfs_forward.h>

#include <map>
#include <memory>
#include <set>
#include <string>

namespace znfssnap {

class dry_run_api final : public znfs::znfs_api_forward {
public:
    // snapdir: the snapshot being deleted, spelled as the deletion is given it.
    dry_run_api(znfs::znfs_api* target, const std::string& snapdir);

    znfs::znfs_file_ptr open(znfs::znfs_iopx_ptr iopx, const char* path, int32_t flags,
                             znfs::znfs_aio_ptr aio) override;
    znfs::znfs_file_ptr creat(znfs::znfs_iopx_ptr iopx, const char* path, int32_t flags, uint64_t mode,
                              znfs::znfs_aio_ptr aio) override;
    std::error_code close(znfs::znfs_file_ptr file, znfs::znfs_aio_ptr aio) override;
    int64_t read(znfs::znfs_file_ptr file, znfs::znfs_buff_ptr buff, uint64_t length, int64_t offset, int32_t option,
                 znfs::znfs_aio_ptr aio) override;
    int64_t write(znfs::znfs_file_ptr file, znfs::znfs_buff_ptr buff, uint64_t length, int64_t offset,
                  int32_t option, znfs::znfs_aio_ptr aio) override;
    std::error_code stat(znfs::znfs_iopx_ptr iopx, const char* path, struct stat* st, znfs::znfs_aio_ptr aio) override;
    std::error_code mkdir(znfs::znfs_iopx_ptr iopx, const char* path, uint32_t mode, znfs::znfs_aio_ptr aio) override;
    std::error_code rmdir(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override;
    std::error_code unlink(znfs::znfs_iopx_ptr iopx, const char* path, znfs::znfs_aio_ptr aio) override;
    int64_t getxattr(znfs::znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                     znfs::znfs_aio_ptr aio) override;
    int64_t listxattr(znfs::znfs_iopx_ptr iopx, const char* path, struct iovec* iov, znfs::znfs_aio_ptr aio) override;
    std::error_code setxattr(znfs::znfs_iopx_ptr iopx, const char* path, const char* name, struct iovec* iov,
                             uint64_t flags, znfs::znfs_aio_ptr aio) override;
    std::error_code chmod(znfs::znfs_iopx_ptr iopx, const char* path, uint64_t mode, znfs::znfs_aio_ptr aio) override;
    std::error_code fsync(znfs::znfs_file_ptr file, znfs::znfs_aio_ptr aio) override;
    std::error_code syncfs(znfs::znfs_iopx_ptr iopx, znfs::znfs_aio_ptr aio) override;

    // The content of the in-memory file at path (spelled as the deletion spelled it); false
    // when the dry run made no such file.
    bool contents(const std::string& path, std::string& data) const;

private:
    struct mem_data;
    class mem_file;

    // The key of path in the working area, or "" when path lies outside it.
    std::string working_key(const char* path) const;
    // Opens the working file key for a call that may write it; creates it empty (create), or
    // from the real file's bytes when the volume has it and truncate is not asked for.
    znfs::znfs_file_ptr open_working(znfs::znfs_iopx_ptr iopx, const std::string& key, const char* path,
                                     int32_t flags) REQUIRES(m_mutex);

    std::string m_prefix;  // normalized SNAPDIR/.delete/
    // Also guards every in-memory file's bytes and its handles' closed flags, which the
    // analysis cannot follow from here.
    mutable znfs::mutex m_mutex;
    std::map<std::string, std::shared_ptr<mem_data>> m_files GUARDED_BY(m_mutex);
    std::set<std::string> m_removed GUARDED_BY(m_mutex);  // real files this run has unlinked: gone for it
};

}  // namespace znfssnap

#endif
