#include "testvol.h"

#include <znfs/znfs_posix.h>
#include <znfs/znfs_thpool.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testvol {

namespace {

void check(bool ok, const std::string& what)
{
    if (!ok)
        throw std::runtime_error(what + ": " + std::strerror(errno));
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

}  // namespace

TempVolume::TempVolume()
{
    char tmpl[] = "/tmp/znfsvol.XXXXXX";
    check(mkdtemp(tmpl) != nullptr, "mkdtemp");
    m_root = tmpl;
    std::error_code ec;
    m_iopx = znfs::make_posix_volume(m_root, ec);
    if (!m_iopx)
        throw std::runtime_error("make_posix_volume: " + ec.message());
}

TempVolume::~TempVolume()
{
    m_iopx.reset();
    // Make everything removable again (tests take permissions away).
    std::string cmd = "chmod -R u+rwx '" + m_root + "' 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) {
    }
    nftw(m_root.c_str(), remove_entry, 64, FTW_DEPTH | FTW_PHYS);
}

znfs::znfs_api* TempVolume::api() const { return znfs::posix_api(); }

void TempVolume::mkdir(const std::string& volpath, mode_t mode) const
{
    std::string p = host(volpath);
    for (size_t i = m_root.size() + 1; i <= p.size(); ++i) {
        if (i == p.size() || p[i] == '/') {
            std::string part = p.substr(0, i);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                check(false, "mkdir " + part);
        }
    }
    check(::chmod(p.c_str(), mode) == 0, "chmod " + p);
}

void TempVolume::write(const std::string& volpath, const std::string& data, mode_t mode) const
{
    std::string p = host(volpath);
    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(fd >= 0, "open " + p);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        check(n > 0, "write " + p);
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    check(::chmod(p.c_str(), mode) == 0, "chmod " + p);
}

std::string TempVolume::read(const std::string& volpath) const
{
    std::ifstream in(host(volpath), std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + volpath);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool TempVolume::exists(const std::string& volpath) const
{
    struct stat st;
    return ::lstat(host(volpath).c_str(), &st) == 0;
}

mode_t TempVolume::mode(const std::string& volpath) const
{
    struct stat st;
    check(::lstat(host(volpath).c_str(), &st) == 0, "lstat " + volpath);
    return st.st_mode;
}

void TempVolume::symlink(const std::string& target, const std::string& volpath) const
{
    check(::symlink(target.c_str(), host(volpath).c_str()) == 0, "symlink " + volpath);
}

void TempVolume::setxattr(const std::string& volpath, const std::string& name, const std::string& value) const
{
    check(::lsetxattr(host(volpath).c_str(), name.c_str(), value.data(), value.size(), 0) == 0,
          "setxattr " + volpath + " " + name);
}

std::string TempVolume::getxattr(const std::string& volpath, const std::string& name) const
{
    std::string p = host(volpath);
    ssize_t n = ::lgetxattr(p.c_str(), name.c_str(), nullptr, 0);
    if (n < 0)
        return "<none>";
    std::string v(static_cast<size_t>(n), '\0');
    n = ::lgetxattr(p.c_str(), name.c_str(), &v[0], v.size());
    check(n >= 0, "getxattr " + volpath);
    v.resize(static_cast<size_t>(n));
    return v;
}

std::map<std::string, std::string> TempVolume::xattrs(const std::string& volpath) const
{
    std::map<std::string, std::string> out;
    std::string p = host(volpath);
    ssize_t n = ::llistxattr(p.c_str(), nullptr, 0);
    check(n >= 0, "listxattr " + volpath);
    std::string names(static_cast<size_t>(n), '\0');
    n = ::llistxattr(p.c_str(), &names[0], names.size());
    check(n >= 0, "listxattr " + volpath);
    for (size_t i = 0; i < static_cast<size_t>(n);) {
        std::string name(names.c_str() + i);
        out[name] = getxattr(volpath, name);
        i += name.size() + 1;
    }
    return out;
}

std::vector<std::string> TempVolume::list(const std::string& volpath) const
{
    std::vector<std::string> out;
    DIR* d = ::opendir(host(volpath).c_str());
    check(d != nullptr, "opendir " + volpath);
    while (struct dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            out.push_back(n);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::map<std::string, std::string> host_xattrs(const std::string& hostpath)
{
    std::map<std::string, std::string> out;
    ssize_t n = ::llistxattr(hostpath.c_str(), nullptr, 0);
    if (n <= 0)
        return out;
    std::string names(static_cast<size_t>(n), '\0');
    n = ::llistxattr(hostpath.c_str(), &names[0], names.size());
    for (ssize_t i = 0; i < n;) {
        std::string name(names.c_str() + i);
        ssize_t vn = ::lgetxattr(hostpath.c_str(), name.c_str(), nullptr, 0);
        std::string value(vn > 0 ? static_cast<size_t>(vn) : 0, '\0');
        if (vn > 0) {
            vn = ::lgetxattr(hostpath.c_str(), name.c_str(), &value[0], value.size());
            value.resize(vn > 0 ? static_cast<size_t>(vn) : 0);
        }
        out[name] = value;
        i += static_cast<ssize_t>(name.size()) + 1;
    }
    return out;
}

WithoutPool::WithoutPool() { znfs::znfs_thpool::set_unavailable(true); }
WithoutPool::~WithoutPool() { znfs::znfs_thpool::set_unavailable(false); }

LogCapture::LogCapture(int threshold) : m_saved_threshold(znfs::znfs_debug::get_level())
{
    znfs::znfs_debug::set_level(threshold);
    znfs::znfs_debug::set_sink([this](int level, const char* function, const char* message) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(LogLine{level, function, message});
    });
}

LogCapture::~LogCapture()
{
    znfs::znfs_debug::set_sink(znfs::znfs_debug::sink_fn());
    znfs::znfs_debug::set_level(m_saved_threshold);
}

std::vector<LogLine> LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

size_t LogCapture::count(const std::string& text) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<size_t>(std::count_if(m_lines.begin(), m_lines.end(), [&](const LogLine& l) {
        return l.message.find(text) != std::string::npos;
    }));
}

size_t LogCapture::count_level(int level) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<size_t>(
        std::count_if(m_lines.begin(), m_lines.end(), [&](const LogLine& l) { return l.level == level; }));
}

std::string LogCapture::dump() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out;
    for (const LogLine& l : m_lines)
        out += "[" + std::to_string(l.level) + "] " + l.function + ": " + l.message + "\n";
    return out;
}

std::string slurp(const std::string& hostpath)
{
    std::ifstream in(hostpath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const std::string& hostpath, const std::string& data)
{
    std::ofstream out(hostpath, std::ios::binary | std::ios::trunc);
    out << data;
}

bool host_exists(const std::string& hostpath) { return access(hostpath.c_str(), F_OK) == 0; }

void remove_tree(const std::string& hostpath) { nftw(hostpath.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

std::set<std::string> names_in(const std::string& hostpath)
{
    std::set<std::string> out;
    if (DIR* d = ::opendir(hostpath.c_str())) {
        while (struct dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                out.insert(e->d_name);
        ::closedir(d);
    }
    return out;
}

std::vector<std::string> split_nul(const std::string& all)
{
    std::vector<std::string> out;
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find('\0', start);
        out.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool ends_with(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string znfssnap_path()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return std::string();
    std::string self(buf, static_cast<size_t>(n));
    return self.substr(0, self.rfind('/')) + "/../tools/znfssnap/znfssnap";
}

znfs::znfs_buff_ptr api_buffer(znfs::znfs_api* api, const std::string& data)
{
    znfs::znfs_buff_ptr b = api->alloc_io_buffer(data.size());
    if (!data.empty())
        memcpy(b->get_base(), data.data(), data.size());
    return b;
}

void api_put(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path, const std::string& data,
             uint64_t mode)
{
    const znfs::znfs_aio_ptr none;
    znfs::znfs_file_ptr f = api->creat(iopx, path.c_str(), 0x201, mode, none);
    ASSERT_TRUE(f) << path << ": " << strerror(errno);
    ASSERT_EQ(static_cast<int64_t>(data.size()), api->write(f, api_buffer(api, data), data.size(), 0, 0, none));
    EXPECT_FALSE(api->close(f, none));
}

std::string api_get(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path)
{
    const znfs::znfs_aio_ptr none;
    znfs::znfs_file_ptr f = api->open(iopx, path.c_str(), 0, none);
    if (!f)
        return "<open failed: " + std::string(strerror(errno)) + ">";
    uint64_t size = f->get_file_size();
    znfs::znfs_buff_ptr b = api->alloc_io_buffer(size);
    int64_t n = api->read(f, b, size, 0, 0, none);
    api->close(f, none);
    return n < 0 ? "<read failed>" : std::string(static_cast<char*>(b->get_base()), static_cast<size_t>(n));
}

std::string api_xattr(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path, const char* name)
{
    char value[4096];
    iovec v{value, sizeof value};
    int64_t n = api->getxattr(iopx, path.c_str(), name, &v, znfs::znfs_aio_ptr());
    return n < 0 ? "<none>" : std::string(value, static_cast<size_t>(n));
}

std::map<std::string, int> api_listing(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& path)
{
    const znfs::znfs_aio_ptr none;
    std::map<std::string, int> out;
    znfs::znfs_file_ptr d = api->opendir(iopx, path.c_str(), none);
    if (!d)
        return out;
    while (struct dirent* e = api->readdir(d, none))
        out[e->d_name] = e->d_type;
    EXPECT_EQ(0, errno) << path;
    api->closedir(d, none);
    return out;
}

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + i / 7 + seed) & 0xff);
    return s;
}

std::string env_or(const char* name, const char* fallback)
{
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}

StdinWithData::StdinWithData(const std::string& data)
{
    int p[2];
    EXPECT_EQ(0, pipe(p));
    EXPECT_EQ(static_cast<ssize_t>(data.size()), write(p[1], data.data(), data.size()));
    close(p[1]);
    m_saved = dup(0);
    dup2(p[0], 0);
    close(p[0]);
}

StdinWithData::~StdinWithData()
{
    dup2(m_saved, 0);
    close(m_saved);
}

SnapshotPair::SnapshotPair()
{
    snapvol.mkdir("/snap1/.delete");
    snapvol.mkdir("/snap2/.delete");
    objvol.mkdir("/objects");
}

std::string SnapshotPair::file(const std::string& snap, const std::string& name, const std::string& id)
{
    std::string path = "/" + snap + "/" + name;
    snapvol.mkdir(path.substr(0, path.rfind('/')));
    snapvol.write(path, "data of " + name);
    if (id.empty())
        return std::string();
    std::string object = id;
    std::replace(object.begin(), object.end(), '/', '_');
    snapvol.setxattr(path, k_uuid, "/objects/" + object);
    objvol.write("/objects/" + object, id);
    return object;
}

void SnapshotPair::dellist(const std::string& text) const
{
    snapvol.write("/snap2/.delete/deletefilelist", text);
}

void SnapshotPair::aim(znfssnapcore::znfssnapcore_opinfo& rec, znfs::znfs_api* snapfs, znfs::znfs_api* objfs,
                       const std::string& prev) const
{
    rec.snapfsapi = snapfs;
    rec.snapiopx = snapvol.iopx();
    rec.objfsapi = objfs;
    rec.objiopx = objvol.iopx();
    rec.snapdir = "/snap2";
    rec.prevsnapdir = prev;
}

void delete_history(const std::function<void(const std::string&, const std::string&, const std::string&)>& file,
                    const std::function<void(const std::string&)>& dellist)
{
    file("snap1", "shared", "s");
    file("snap2", "shared", "s");
    file("snap1", "changed", "c1");
    file("snap2", "changed", "c2");
    file("snap2", "d/fresh", "n");
    file("snap2", "plain", "");
    file("snap1", "only1", "o1");
    dellist("shared\nchanged\n\nd/fresh\nplain\ngone\n");
}

}  // namespace testvol
