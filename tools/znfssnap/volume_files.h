#ifndef ZNFSSNAP_VOLUME_FILES_H
#define ZNFSSNAP_VOLUME_FILES_H

// Small whole-file steps on a volume, for the command's own bookkeeping. Every write is made
// durable before the step counts as done, since the next step trusts it after a crash.

#include <znfs/znfs_api.h>

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

namespace znfssnap {

// The names between path's separators, in order; empty ones (doubled, leading or trailing
// separators) left out, "." and ".." kept.
std::vector<std::string> path_components(const std::string& path);

// path with doubled separators, "." components and a trailing separator taken out, always
// starting with "/" ("" and "/" give "/"). ".." is kept: it is not resolved.
std::string normalize_path(const std::string& path);

// The directory path names its last component in ("/" for one right below the root).
std::string parent_of(const std::string& path);

// True when path has a ".." component.
bool has_dotdot(const std::string& path);

// Success when path opens for reading; otherwise why not (ENOENT when it is not there).
std::error_code probe_file(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path);

// The size of the file at path.
std::error_code file_size(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path,
                          uint64_t& size);

// The whole file at path into data; refuses (EFBIG) a file larger than limit.
std::error_code read_whole_file(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path,
                                std::string& data, uint64_t limit = UINT64_C(1) << 30);

// Writes length bytes of data at offset into an open file; complete or an error.
std::error_code write_at(znfs::znfs_api* api, const znfs::znfs_file_ptr& file, const char* data, uint64_t length,
                         uint64_t offset);

// Makes the names in directory dir durable (an fsync of the directory, or a volume-wide flush
// where the backend cannot fsync a directory).
std::error_code sync_directory(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& dir);

// Creates (or empties) path, writes data, and makes file and name durable.
std::error_code write_file_durably(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path,
                                   const std::string& data);

// Removes path and makes the removal durable; a path that is not there is success.
std::error_code remove_file_durably(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path);

// Whether one of the directories a and b is the other or lies below it, told by device and
// inode up the ".." chain, so that links and "." in the paths do not hide it.
std::error_code trees_overlap(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& a,
                              const std::string& b, bool& overlap);

// Up to max names of directory dir ("." and ".." left out) into names.
std::error_code list_directory(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& dir,
                               std::vector<std::string>& names, size_t max);

// The entries of a list file's text (each ended by a line feed; a last one without is kept).
std::vector<std::string> split_lines(const std::string& text);

}  // namespace znfssnap

#endif
