#ifndef ZNFS_TESTVOL_H
#define ZNFS_TESTVOL_H

// Test fixtures: a temporary POSIX volume with host-side helpers, and log capture.

#include <znfs/znfs_api.h>
#include <znfs/znfs_debug.h>
#include <znfs/znfs_thpool.h>
#include <znfssnapcore/znfssnapcore.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
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

// The library's attribute through which a snapshot file names its data object on the object
// volume, for the service calls that take a C string.
inline const char* const k_uuid = znfssnapcore::znfssnaputils::suuidxattr.c_str();

// Whole content of a host file; "" when it cannot be read.
std::string slurp(const std::string& hostpath);
// Replaces the content of a host file.
void spit(const std::string& hostpath, const std::string& data);
bool host_exists(const std::string& hostpath);
// Removes a host directory with everything in it, never following a link.
void remove_tree(const std::string& hostpath);
// Entry names of a host directory, without "." and ".."; empty when it cannot be read.
std::set<std::string> names_in(const std::string& hostpath);
// The words of a NUL-separated list, as the recording stand-in programs write them.
std::vector<std::string> split_nul(const std::string& all);
bool ends_with(const std::string& s, const std::string& tail);
// The znfssnap command of this build tree (beside the running test binary's directory).
std::string znfssnap_path();

// Service-side I/O, for any backend: a buffer holding data; a new file at path holding data
// (each step asserted); the whole file read back, or "<open failed: reason>" / "<read failed>".
znfs::znfs_buff_ptr api_buffer(znfs::znfs_api* api, const std::string& data);
void api_put(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path, const std::string& data,
             uint64_t mode = 0644);
std::string api_get(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path);
// The attribute's value through the service, or "<none>".
std::string api_xattr(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path, const char* name);
// Entry name -> d_type of a whole listing through the service, "." and ".." included; empty
// when the directory cannot be opened. A listing that ends with an errno fails the test.
std::map<std::string, int> api_listing(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path);

// n bytes of a fixed pattern that repeats only after many blocks; seed shifts it.
std::string pattern(size_t n, unsigned seed = 0);
// The environment variable's value, or fallback when it is unset or empty.
std::string env_or(const char* name, const char* fallback);

// Runs each body as one task, in order, on the single worker of a pool, and waits for them.
template <class... F>
void in_pool_task(F... bodies)
{
    boost::shared_ptr<znfs::znfs_thpool> pool = znfs::znfs_thpool::create();
    ASSERT_TRUE(pool);
    ASSERT_EQ(1u, pool->enable_thpool(1));
    (pool->get_iosvc()->post(bodies), ...);
    pool->wait_joinall_threads();
}

// Sets the process umask while alive.
class UmaskScope {
public:
    explicit UmaskScope(mode_t m) : m_saved(umask(m)) {}
    ~UmaskScope() { umask(m_saved); }
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;

private:
    mode_t m_saved;
};

// Makes the process's standard input a pipe holding data, for as long as it lives.
class StdinWithData {
public:
    explicit StdinWithData(const std::string& data);
    ~StdinWithData();
    StdinWithData(const StdinWithData&) = delete;
    StdinWithData& operator=(const StdinWithData&) = delete;

private:
    int m_saved;
};

// Two snapshots made by hand: /snap1 (the previous one) and /snap2, each with its .delete
// directory, on a snapshot volume, and /objects on an object volume.
struct SnapshotPair {
    TempVolume snapvol, objvol;
    SnapshotPair();
    // Creates /<snap>/<name> whose uuid attribute names object id ('/' in it becomes '_'),
    // and the object; no attribute and no object when id is "". Returns the object's name.
    std::string file(const std::string& snap, const std::string& name, const std::string& id);
    // Replaces the delete list of /snap2.
    void dellist(const std::string& text) const;
    // Points rec at deleting /snap2 through snapfs and objfs, with prev as previous snapshot.
    void aim(znfssnapcore::znfssnapcore_opinfo& rec, znfs::znfs_api* snapfs, znfs::znfs_api* objfs,
             const std::string& prev = "/snap1") const;
};

// The history most deletion cases start from, made through file(snapshot, name, object id, ""
// for no uuid) and dellist(the delete list of snap2), so that every backend builds the same one:
// "shared" names one object in snap1 and snap2, "changed" a new object in snap2, "d/fresh" one
// only in snap2, "plain" has no uuid, "only1" is in snap1 alone, and "gone" is listed without a
// copy. Deleting snap2 hands on "shared", keeps objects s, c1 and o1, and unlinks c2 and n.
void delete_history(const std::function<void(const std::string&, const std::string&, const std::string&)>& file,
                    const std::function<void(const std::string&)>& dellist);

// While alive, operations get no worker pool and run every task on the calling thread.
struct WithoutPool {
    WithoutPool();
    ~WithoutPool();
    WithoutPool(const WithoutPool&) = delete;
    WithoutPool& operator=(const WithoutPool&) = delete;
};

// Runs body(pool) with the worker pool (true) and without it (false), naming each run in failures.
template <class F>
void with_and_without_pool(F&& body)
{
    for (bool pool : {true, false}) {
        SCOPED_TRACE(pool ? "pool" : "inline");
        std::unique_ptr<WithoutPool> nopool(pool ? nullptr : new WithoutPool);
        body(pool);
    }
}

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
