#ifndef ZNFS_TESTS_BACKENDS_H
#define ZNFS_TESTS_BACKENDS_H

// The backends the service contract runs on, one factory each (as RocksDB's env_basic_test
// takes its custom environments): POSIX, the fault wrapper with injection off, and GlusterFS
// when a server is named. Each gives its service, a fresh empty volume and, where the volume's
// files lie in a directory of this machine, host-side access to them, so that a case can make
// the links and special files the service has no call for, and look at what the service left.

#include "faultfs.h"
#include "testvol.h"

#include <znfs/znfs_gluster.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace testvol {

// The local directory that holds a volume's files. For GlusterFS it is the brick of a
// one-brick volume: a name made there is taken into the volume at the client's next lookup of
// it, which gives the entry its identity on the brick, with no wait (the client keeps no
// negative lookups, see znfs_gluster.h). So make only new names there, and read there what the
// service wrote once its handle is closed; an entry the client has looked up may keep its
// cached status for a while after a change made there.
struct HostTree {
    std::string root;

    std::string host(const std::string& volpath) const { return root + volpath; }
    void symlink(const std::string& target, const std::string& volpath) const
    {
        ASSERT_EQ(0, ::symlink(target.c_str(), host(volpath).c_str())) << volpath << ": " << strerror(errno);
    }
    void mkfifo(const std::string& volpath) const
    {
        ASSERT_EQ(0, ::mkfifo(host(volpath).c_str(), 0644)) << volpath << ": " << strerror(errno);
    }
    // A character device with the null device's numbers; false where this process may not make one.
    bool mknull(const std::string& volpath) const;
    // The name itself, a link not followed.
    bool exists(const std::string& volpath) const
    {
        struct stat st;
        return ::lstat(host(volpath).c_str(), &st) == 0;
    }
    // st_mode of the name itself; 0 when missing.
    mode_t mode(const std::string& volpath) const
    {
        struct stat st;
        return ::lstat(host(volpath).c_str(), &st) == 0 ? st.st_mode : 0;
    }
    // Whole content, or "<missing>".
    std::string read(const std::string& volpath) const
    {
        return host_exists(host(volpath)) ? slurp(host(volpath)) : "<missing>";
    }
    // The attribute's value on the name itself, or "<none>".
    std::string xattr(const std::string& volpath, const char* name) const
    {
        char value[4096];
        ssize_t n = ::lgetxattr(host(volpath).c_str(), name, value, sizeof value);
        return n < 0 ? "<none>" : std::string(value, static_cast<size_t>(n));
    }
};

inline bool HostTree::mknull(const std::string& volpath) const
{
    return ::mknod(host(volpath).c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
}

// A backend under test, made afresh for each case.
struct Backend {
    virtual ~Backend() = default;
    virtual znfs::znfs_api* api() = 0;
    virtual znfs::znfs_iopx_ptr iopx() = 0;
    // Host-side access to the volume's files; null when they are not on this machine (the
    // cases that need it then skip, or skip that part).
    virtual const HostTree* host() = 0;
};

struct BackendFactory {
    const char* name;
    // Null when the backend is not available here.
    std::function<std::unique_ptr<Backend>()> make;
};

inline void PrintTo(const BackendFactory& f, std::ostream* os) { *os << f.name; }

struct PosixBackend : Backend {
    TempVolume vol;
    HostTree tree{vol.root()};
    znfs::znfs_api* api() override { return vol.api(); }
    znfs::znfs_iopx_ptr iopx() override { return vol.iopx(); }
    const HostTree* host() override { return &tree; }
};

struct FaultFsBackend : PosixBackend {
    FaultFs fault{vol.api()};
    znfs::znfs_api* api() override { return &fault; }
};

// Removes everything below dir through the service, links as names.
inline void wipe(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& v, const std::string& dir)
{
    const znfs::znfs_aio_ptr none;
    znfs::znfs_file_ptr d = api->opendir(v, dir.c_str(), none);
    std::vector<std::pair<std::string, int>> entries;
    while (struct dirent* e = d ? api->readdir(d, none) : nullptr) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            entries.emplace_back((dir == "/" ? "" : dir) + "/" + n, e->d_type);
    }
    api->closedir(d, none);
    for (auto& e : entries) {
        if (e.second == DT_DIR) {
            wipe(api, v, e.first);
            api->rmdir(v, e.first.c_str(), none);
        } else {
            api->unlink(v, e.first.c_str(), none);
        }
    }
}

// A GlusterFS volume of its own (ZNFS_GLUSTER_CONTRACT, default znfs_contract) on the server
// named by ZNFS_GLUSTER_HOST, emptied before each case; not available when that is not set.
// Its single brick is the host-side tree when it lies on this machine, under
// ZNFS_GLUSTER_BRICKS (default /var/lib/znfs-gluster-test, where scripts/gluster-test-env.sh
// puts it).
struct GlusterBackend : Backend {
    znfs::znfs_iopx_ptr v;
    HostTree brick;
    znfs::znfs_api* api() override { return znfs::gluster_api(); }
    znfs::znfs_iopx_ptr iopx() override { return v; }
    const HostTree* host() override { return brick.root.empty() ? nullptr : &brick; }

    static std::unique_ptr<Backend> make()
    {
        const std::string host = env_or("ZNFS_GLUSTER_HOST", "");
        const std::string vol = env_or("ZNFS_GLUSTER_CONTRACT", "znfs_contract");
        if (host.empty())
            return nullptr;
        std::error_code ec;
        znfs::znfs_iopx_ptr v = znfs::make_gluster_volume(host, znfs::gluster_default_port, vol, ec);
        if (!v)
            return nullptr;
        std::unique_ptr<GlusterBackend> b(new GlusterBackend);
        b->v = v;
        const std::string dir = env_or("ZNFS_GLUSTER_BRICKS", "/var/lib/znfs-gluster-test") + "/" + vol;
        struct stat st;
        if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            b->brick.root = dir;
        wipe(b->api(), v, "/");
        return std::unique_ptr<Backend>(b.release());
    }
};

// Every backend of the contract suite, available or not.
inline std::vector<BackendFactory> contract_backends()
{
    return {BackendFactory{"posix", [] { return std::unique_ptr<Backend>(new PosixBackend); }},
            BackendFactory{"faultfs_off", [] { return std::unique_ptr<Backend>(new FaultFsBackend); }},
            BackendFactory{"gluster", [] { return GlusterBackend::make(); }}};
}

}  // namespace testvol

#endif
