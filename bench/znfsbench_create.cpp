// Snapshot creation through the library on a GlusterFS volume, timed, with the file data copied
// in place (the backend's copy_range, as znfssnap create does) or through the library's own
// reads and writes, so that bench/gluster.sh compares the two on the same volume in one run.
// The read/write path is forced by a forwarding service that refuses every in-place copy as a
// backend without one does; nothing of it reaches the library or the command.
//
//   znfsbench_create gluster://HOST/VOL DATASET SNAPDIR inplace|readwrite
//       copies DATASET into the existing empty SNAPDIR (volume paths); prints the seconds taken

#include <znfs/znfs_forward.h>
#include <znfs/znfs_gluster.h>
#include <znfssnapcore/znfssnapcore.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

class no_copy_in_place final : public znfs::znfs_api_forward {
public:
    using znfs::znfs_api_forward::znfs_api_forward;
    int64_t copy_range(znfs::znfs_file_ptr, uint64_t, znfs::znfs_file_ptr, uint64_t, uint64_t,
                       znfs::znfs_aio_ptr) override
    {
        errno = EOPNOTSUPP;
        return -1;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc == 5 ? argv[4] : "";
    if (mode != "inplace" && mode != "readwrite") {
        std::fprintf(stderr, "usage: znfsbench_create gluster://HOST/VOL DATASET SNAPDIR inplace|readwrite\n");
        return 2;
    }
    std::string host, volname;
    uint16_t port = 0;
    std::error_code ec = znfs::parse_gluster_url(argv[1], host, port, volname);
    znfs::znfs_iopx_ptr iopx;
    if (!ec)
        iopx = znfs::make_gluster_volume(host, port, volname, ec);
    if (ec) {
        std::fprintf(stderr, "znfsbench_create: %s: %s\n", argv[1], ec.message().c_str());
        return 1;
    }
    no_copy_in_place readwrite(znfs::gluster_api());
    znfssnapcore::znfssnapcore_opinfo rec;
    rec.snapfsapi = mode == "inplace" ? znfs::gluster_api() : &readwrite;
    rec.snapiopx = iopx;
    rec.datasetdir = argv[2];
    rec.snapdir = argv[3];
    auto t0 = std::chrono::steady_clock::now();
    ec = znfssnapcore::snap_opcreate(&rec);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (ec || rec.opstatus != 0) {
        std::fprintf(stderr, "znfsbench_create: creation failed: %s (status %d)\n", ec.message().c_str(),
                     static_cast<int>(rec.opstatus));
        return 1;
    }
    std::printf("%.3f\n", seconds);
    return 0;
}
