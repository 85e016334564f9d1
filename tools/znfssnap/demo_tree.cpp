#include "demo_tree.h"

#include <znfssnapcore/znfssnapcore.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace znfssnap {

namespace {

using znfssnapcore::znfssnaputils::suuidxattr;

void check(bool ok, const std::string& what)
{
    if (!ok)
        throw std::runtime_error(what + ": " + std::strerror(errno));
}

void host_mkdir(const std::string& path, unsigned mode)
{
    check(::mkdir(path.c_str(), 0700) == 0, "mkdir " + path);
    check(::chmod(path.c_str(), mode) == 0, "chmod " + path);
}

void host_write(const std::string& path, const std::string& data, unsigned mode)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(fd >= 0, "create " + path);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int e = errno;
            ::close(fd);
            errno = e;
            check(false, "write " + path);
        }
        done += static_cast<size_t>(n);
    }
    check(::fchmod(fd, mode) == 0, "chmod " + path);
    check(::close(fd) == 0, "close " + path);
}

void host_setxattr(const std::string& path, const std::string& name, const std::string& value)
{
    check(::lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0,
          "setxattr " + name + " on " + path);
}

}  // namespace

demo_builder::demo_builder(std::string volroot, std::string objroot, uint64_t seed)
    : m_volroot(std::move(volroot)), m_objroot(std::move(objroot)), m_rng(seed)
{
}

std::string demo_builder::random_bytes(size_t n)
{
    std::string s(n, '\0');
    size_t i = 0;
    while (i < n) {
        uint64_t r = m_rng();
        for (int k = 0; k < 8 && i < n; ++k, ++i)
            s[i] = static_cast<char>(r >> (8 * k));
    }
    return s;
}

size_t demo_builder::pick_size()
{
    // Mostly small files, some around the 32 KiB copy block, a few of a megabyte or more.
    static const size_t k_edges[] = {0, 1, 32767, 32768, 32769, 65536};
    unsigned r = static_cast<unsigned>(m_rng() % 100);
    if (r < 6)
        return k_edges[r];
    if (r < 25)
        return static_cast<size_t>(m_rng() % 200);
    if (r < 75)
        return static_cast<size_t>(200 + m_rng() % 8000);
    if (r < 98)
        return static_cast<size_t>(8192 + m_rng() % 50000);
    return static_cast<size_t>((256 << 10) + m_rng() % (768 << 10));
}

std::string demo_builder::new_object(const std::string& content)
{
    char id[64];
    uint64_t a = m_rng();
    uint64_t b = m_rng();
    std::snprintf(id, sizeof id, "%08x-%04x-4%03x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                  static_cast<unsigned>((a >> 16) & 0xffff), static_cast<unsigned>(a & 0xfff),
                  static_cast<unsigned>(0x8000 | ((b >> 48) & 0x3fff)),
                  static_cast<unsigned long long>(b & 0xffffffffffffULL));
    std::string uuid = std::string("/objects/") + id;
    host_write(m_objroot + uuid, content, 0640);
    return uuid;
}

bool demo_builder::object_exists(const std::string& uuid) const
{
    struct stat st;
    return ::lstat((m_objroot + uuid).c_str(), &st) == 0;
}

size_t demo_builder::object_count() const
{
    size_t n = 0;
    std::string dir = m_objroot + "/objects";
    if (DIR* d = ::opendir(dir.c_str())) {
        while (struct dirent* de = ::readdir(d))
            if (de->d_name[0] != '.')
                ++n;
        ::closedir(d);
    }
    return n;
}

void demo_builder::write_volume_file(const std::string& volpath, const std::string& data, unsigned mode) const
{
    host_write(m_volroot + volpath, data, mode);
}

void demo_builder::build(const std::string& live, demo_dataset& ds)
{
    const std::string root = m_volroot + live;
    host_mkdir(root, 0755);
    if (!object_exists("/objects"))
        host_mkdir(m_objroot + "/objects", 0750);

    std::vector<std::string> dirs(1, std::string());
    static const unsigned k_dir_modes[] = {0755, 0755, 0750, 0700, 0775};
    for (int i = 0; i < 6; ++i) {
        std::string p = "proj" + std::to_string(i);
        host_mkdir(root + "/" + p, k_dir_modes[i % 5]);
        dirs.push_back(p);
        for (int k = 0; k < 3; ++k) {
            std::string q = p + "/part" + std::to_string(k);
            host_mkdir(root + "/" + q, 0755);
            dirs.push_back(q);
        }
        std::string deep = p + "/part0/deep";
        host_mkdir(root + "/" + deep, 0711);
        dirs.push_back(deep);
        host_mkdir(root + "/" + deep + "/deeper", 0755);
        dirs.push_back(deep + "/deeper");
    }
    ds.directories = dirs.size() - 1;
    host_setxattr(root + "/proj1", "user.demo.owner", "team-blue");

    static const unsigned k_file_modes[] = {0644, 0644, 0644, 0600, 0640, 0755, 0444};
    for (int i = 0; i < 300; ++i) {
        const std::string& dir = dirs[static_cast<size_t>(m_rng() % dirs.size())];
        char name[32];
        std::snprintf(name, sizeof name, "f%03d.dat", i);
        std::string rel = dir.empty() ? name : dir + "/" + name;
        std::string data = random_bytes(pick_size());
        host_write(root + "/" + rel, data, k_file_modes[m_rng() % 7]);
        demo_file f;
        f.rel = rel;
        if (i % 10 != 9) {
            f.uuid = new_object("data object of " + rel + "\n");
            host_setxattr(root + "/" + rel, suuidxattr, f.uuid);
        }
        if (i % 7 == 0)
            host_setxattr(root + "/" + rel, "user.demo.tag", "tag-" + std::to_string(i));
        if (i == 5)
            host_setxattr(root + "/" + rel, "user.demo.empty", "");
        ds.bytes += data.size();
        ds.files.push_back(f);
    }

    // Never copied: snapshots of the live tree kept inside it.
    for (const std::string& d : {std::string("/.snaps"), std::string("/proj1/part1/.snaps")}) {
        host_mkdir(root + d, 0755);
        host_mkdir(root + d + "/old", 0755);
        host_write(root + d + "/old/stale.dat", random_bytes(1000), 0644);
        ++ds.skipped_dirs;
    }
    // Copied as files: a file that happens to be called ".snaps", a link, a FIFO.
    host_write(root + "/proj3/.snaps", "not a directory\n", 0644);
    ds.files.push_back(demo_file{"proj3/.snaps", std::string()});
    check(::symlink(("../" + ds.files[0].rel).c_str(), (root + "/proj0/link-to-f000").c_str()) == 0, "symlink");
    check(::mkfifo((root + "/proj2/pipe").c_str(), 0620) == 0, "mkfifo");
    check(::chmod((root + "/proj2/pipe").c_str(), 0620) == 0, "chmod pipe");
    ds.others = 2;
}

std::vector<size_t> demo_builder::rewrite_files(const std::string& live, demo_dataset& ds, size_t n)
{
    std::vector<size_t> picked;
    for (size_t i = 0; i < ds.files.size() && picked.size() < n; i += 3) {
        demo_file& f = ds.files[i];
        if (f.uuid.empty())
            continue;
        const std::string path = m_volroot + live + "/" + f.rel;
        std::string data = random_bytes(pick_size() + 1);
        struct stat st;
        check(::stat(path.c_str(), &st) == 0, "stat " + path);
        host_write(path, data, st.st_mode & 07777);
        f.uuid = new_object("rewritten data object of " + f.rel + "\n");
        host_setxattr(path, suuidxattr, f.uuid);
        picked.push_back(i);
    }
    return picked;
}

std::vector<size_t> demo_builder::add_files(const std::string& live, demo_dataset& ds, size_t n)
{
    std::vector<size_t> added;
    for (size_t k = 0; k < n; ++k) {
        demo_file f;
        f.rel = "proj" + std::to_string(k % 6) + "/part2/new" + std::to_string(k) + ".dat";
        const std::string path = m_volroot + live + "/" + f.rel;
        host_write(path, random_bytes(pick_size()), 0644);
        f.uuid = new_object("data object of new file " + f.rel + "\n");
        host_setxattr(path, suuidxattr, f.uuid);
        added.push_back(ds.files.size());
        ds.files.push_back(f);
    }
    return added;
}

}  // namespace znfssnap
