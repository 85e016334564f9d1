// Generates the trees that bench/run.sh times. Host calls only, deterministic for a seed.
//
//   znfsbench_gen small DIR FILES DIRS      files of 1-16 KiB spread over DIRS directories,
//                                           two "user." attributes each
//   znfsbench_gen large DIR FILES MIB       FILES files of MIB MiB each
//   znfsbench_gen deletion VOLDIR OBJDIR NAMES
//                                           a snapshot /snap whose delete list names NAMES files,
//                                           a previous snapshot /prev sharing the data object of
//                                           every even-numbered name, and the objects
//   znfsbench_gen objects OBJDIR NAMES      recreates the objects of "deletion" that are missing

#include <znfssnapcore/znfssnapcore.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

[[noreturn]] void die(const std::string& what)
{
    std::fprintf(stderr, "znfsbench_gen: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

void make_dir(const std::string& path)
{
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        die("mkdir " + path);
}

int create_file(const std::string& path)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        die("create " + path);
    return fd;
}

// Appends size bytes to fd, the file at path.
void write_all(int fd, const std::string& path, const char* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            die("write " + path);
        done += static_cast<size_t>(n);
    }
}

void close_file(int fd, const std::string& path)
{
    if (::close(fd) != 0)
        die("close " + path);
}

void write_file(const std::string& path, const char* data, size_t size)
{
    int fd = create_file(path);
    write_all(fd, path, data, size);
    close_file(fd, path);
}

void set_attr(const std::string& path, const char* name, const std::string& value)
{
    if (::setxattr(path.c_str(), name, value.data(), value.size(), 0) != 0)
        die(std::string("setxattr ") + name + " on " + path);
}

std::vector<char> random_block(size_t size, uint64_t seed)
{
    std::mt19937_64 rng(seed);
    std::vector<char> block(size);
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t r = rng();
        std::memcpy(&block[i], &r, 8);
    }
    return block;
}

unsigned long arg_number(const char* text)
{
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 10);
    if (!*text || *end) {
        std::fprintf(stderr, "znfsbench_gen: not a number: %s\n", text);
        std::exit(2);
    }
    return v;
}

void small_tree(const std::string& dir, unsigned long files, unsigned long dirs)
{
    make_dir(dir);
    std::mt19937_64 rng(1);
    // Each file starts at its own offset of one random block, so that neighbours differ.
    const std::vector<char> data = random_block((16 << 10) + 64, 2);
    for (unsigned long d = 0; d < dirs; ++d)
        make_dir(dir + "/d" + std::to_string(d));
    for (unsigned long i = 0; i < files; ++i) {
        std::string path = dir + "/d" + std::to_string(i % dirs) + "/f" + std::to_string(i);
        size_t size = 1024 + static_cast<size_t>(rng() % (15 * 1024 + 1));
        write_file(path, data.data() + (i % 64), size);
        set_attr(path, "user.bench.owner", "owner-" + std::to_string(i % 97));
        set_attr(path, "user.bench.tag", std::string(32, static_cast<char>('a' + i % 26)));
    }
}

void large_tree(const std::string& dir, unsigned long files, unsigned long mib)
{
    make_dir(dir);
    const std::vector<char> data = random_block(1 << 20, 3);
    for (unsigned long i = 0; i < files; ++i) {
        std::string path = dir + "/large" + std::to_string(i);
        int fd = create_file(path);
        for (unsigned long m = 0; m < mib; ++m) {
            // A different first word per MiB, so that no two blocks are alike.
            std::vector<char> block = data;
            uint64_t mark = i * 1000003 + m;
            std::memcpy(block.data(), &mark, sizeof mark);
            write_all(fd, path, block.data(), block.size());
        }
        close_file(fd, path);
    }
}

std::string name_of(unsigned long i) { return "d" + std::to_string(i / 100) + "/f" + std::to_string(i); }

// Every name has a previous object p<i>; odd names have a newer object s<i> in /snap.
void objects(const std::string& objdir, unsigned long names)
{
    make_dir(objdir + "/objects");
    for (unsigned long i = 0; i < names; ++i) {
        for (int newer = 0; newer < 2; ++newer) {
            if (newer && i % 2 == 0)
                continue;
            std::string path = objdir + "/objects/" + (newer ? "s" : "p") + std::to_string(i);
            if (::access(path.c_str(), F_OK) != 0)
                write_file(path, "", 0);
        }
    }
}

void deletion(const std::string& voldir, const std::string& objdir, unsigned long names)
{
    for (const char* snap : {"/snap", "/prev"}) {
        make_dir(voldir + snap);
        for (unsigned long d = 0; d * 100 < names; ++d)
            make_dir(voldir + snap + "/d" + std::to_string(d));
    }
    // Both are finished snapshots: a deletion refuses a previous snapshot without a delete list.
    make_dir(voldir + "/snap/.delete");
    make_dir(voldir + "/prev/.delete");
    write_file(voldir + "/prev/.delete/deletefilelist", "", 0);
    std::string list;
    for (unsigned long i = 0; i < names; ++i) {
        const std::string name = name_of(i);
        const std::string prev = voldir + "/prev/" + name;
        const std::string snap = voldir + "/snap/" + name;
        write_file(prev, "", 0);
        set_attr(prev, znfssnapcore::znfssnaputils::suuidxattr.c_str(), "/objects/p" + std::to_string(i));
        write_file(snap, "", 0);
        set_attr(snap, znfssnapcore::znfssnaputils::suuidxattr.c_str(),
                 std::string("/objects/") + (i % 2 ? "s" : "p") + std::to_string(i));
        list += name + "\n";
    }
    write_file(voldir + "/snap/.delete/deletefilelist", list.data(), list.size());
    objects(objdir, names);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "small" && argc == 5)
        small_tree(argv[2], arg_number(argv[3]), arg_number(argv[4]));
    else if (mode == "large" && argc == 5)
        large_tree(argv[2], arg_number(argv[3]), arg_number(argv[4]));
    else if (mode == "deletion" && argc == 5)
        deletion(argv[2], argv[3], arg_number(argv[4]));
    else if (mode == "objects" && argc == 4)
        objects(argv[2], arg_number(argv[3]));
    else {
        std::fprintf(stderr, "usage: znfsbench_gen small DIR FILES DIRS | large DIR FILES MIB |\n"
                             "       deletion VOLDIR OBJDIR NAMES | objects OBJDIR NAMES\n");
        return 2;
    }
    return 0;
}
