#ifndef ZNFS_FUZZ_VOLUME_H
#define ZNFS_FUZZ_VOLUME_H

// A temporary POSIX volume shared by every run of one fuzz process: made on first use, removed
// with everything in it at exit. Volume paths are used with the service, host paths to set up
// and inspect files around it.

#include <znfs/znfs_posix.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzzvol {

class Volume {
public:
    static Volume& get()
    {
        static Volume v;
        return v;
    }
    znfs::znfs_api* api() const { return znfs::posix_api(); }
    znfs::znfs_iopx_ptr iopx() const { return m_iopx; }
    std::string host(const std::string& volpath) const { return m_root + volpath; }

    void write(const std::string& volpath, const void* data, size_t size) const
    {
        int fd = ::open(host(volpath).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0)
            std::abort();
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            ssize_t n = ::write(fd, p, size);
            if (n <= 0)
                std::abort();
            p += n;
            size -= static_cast<size_t>(n);
        }
        ::close(fd);
    }
    // The file's bytes; false when it does not exist.
    bool read(const std::string& volpath, std::string& out) const
    {
        out.clear();
        int fd = ::open(host(volpath).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        char buf[65536];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(n));
        ::close(fd);
        return true;
    }
    // Names in the volume's root directory, "." and ".." left out.
    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        DIR* d = ::opendir(m_root.c_str());
        while (d) {
            struct dirent* e = ::readdir(d);
            if (!e)
                break;
            std::string n = e->d_name;
            if (n != "." && n != "..")
                out.push_back(n);
        }
        if (d)
            ::closedir(d);
        return out;
    }
    void remove(const std::string& volpath) const { ::unlink(host(volpath).c_str()); }

private:
    Volume()
    {
        char tmpl[] = "/tmp/znfsfuzz.XXXXXX";
        if (!mkdtemp(tmpl))
            std::abort();
        m_root = tmpl;
        s_root = m_root;
        std::atexit(cleanup);
        std::error_code ec;
        m_iopx = znfs::make_posix_volume(m_root, ec);
        if (!m_iopx)
            std::abort();
    }
    static int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }
    static void cleanup() { nftw(s_root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

    std::string m_root;
    znfs::znfs_iopx_ptr m_iopx;
    static inline std::string s_root;
};

}  // namespace fuzzvol

#endif
