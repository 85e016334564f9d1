#ifndef ZNFS_TESTVOL_H
#define ZNFS_TESTVOL_H

// Test fixtures: a temporary POSIX volume with host-side helpers, and log capture.

#include <znfs/znfs_api.h>
#include <znfs/znfs_debug.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace testvol {

// A fresh directory under /tmp made into a POSIX volume; removed with everything in it when
// the object goes. Paths given to the helpers are volume paths ("/live/a").
class TempVolume {
public:
    TempVolume();
    ~TempVolume();
    TempVolume(const TempVolume&) = delete;
    TempVolume& operator=(const TempVolume&) = delete;

    znfs::znfs_api* api() const;
    znfs::znfs_iopx_ptr iopx() const { return m_iopx; }
    const std::string& root() const { return m_root; }
    std::string host(const std::string& volpath) const { return m_root + volpath; }

    void mkdir(const std::string& volpath, mode_t mode = 0755) const;   // parents too
    void write(const std::string& volpath, const std::string& data, mode_t mode = 0644) const;
    std::string read(const std::string& volpath) const;                  // throws if missing
    bool exists(const std::string& volpath) const;                      // lstat
    mode_t mode(const std::string& volpath) const;                      // lstat st_mode
    void symlink(const std::string& target, const std::string& volpath) const;
    void setxattr(const std::string& volpath, const std::string& name, const std::string& value) const;
    // The value, or "<none>" when the attribute is missing.
    std::string getxattr(const std::string& volpath, const std::string& name) const;
    std::map<std::string, std::string> xattrs(const std::string& volpath) const;
    // Entry names of a directory, sorted, without "." and "..".
    std::vector<std::string> list(const std::string& volpath) const;

private:
    std::string m_root;
    znfs::znfs_iopx_ptr m_iopx;
};

// Extended attributes of a host path (links not followed): name to value; empty when none can
// be listed.
std::map<std::string, std::string> host_xattrs(const std::string& hostpath);

// While alive, operations get no worker pool and run every task on the calling thread.
struct WithoutPool {
    WithoutPool();
    ~WithoutPool();
    WithoutPool(const WithoutPool&) = delete;
    WithoutPool& operator=(const WithoutPool&) = delete;
};

struct LogLine {
    int level;
    std::string function;
    std::string message;
};

// Collects every log line while alive (installs itself as the sink and sets the threshold,
// restoring both afterwards). Thread-safe.
class LogCapture {
public:
    explicit LogCapture(int threshold = 1);
    ~LogCapture();
    std::vector<LogLine> lines() const;
    // Lines whose message contains text.
    size_t count(const std::string& text) const;
    bool contains(const std::string& text) const { return count(text) > 0; }
    size_t count_level(int level) const;
    std::string dump() const;  // all lines, for failure messages

private:
    mutable std::mutex m_mutex;  // guards m_lines
    std::vector<LogLine> m_lines;
    int m_saved_threshold;
};

}  // namespace testvol

#endif
