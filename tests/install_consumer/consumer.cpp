#include <znfssnapcore/znfssnapcore.h>
#include <znfs/znfs_posix.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// Snapshots a one-file dataset through the installed library and checks the copy and the
// bookkeeping from the host side.
int main()
{
    char tmpl[] = "/tmp/znfsconsumer.XXXXXX";
    if (!mkdtemp(tmpl))
        return 10;
    std::string root = tmpl;
    mkdir((root + "/live").c_str(), 0755);
    mkdir((root + "/snap").c_str(), 0755);
    FILE* f = fopen((root + "/live/hello").c_str(), "w");
    fputs("hello\n", f);
    fclose(f);

    std::error_code ec;
    znfssnapcore::znfssnapcore_opinfo rec;
    rec.snapfsapi = znfs::posix_api();
    rec.snapiopx = znfs::make_posix_volume(root, ec);
    if (!rec.snapiopx)
        return 11;
    rec.datasetdir = "/live";
    rec.snapdir = "/snap";
    ec = znfssnapcore::snap_opcreate(&rec);
    struct stat st;
    bool ok = !ec && rec.opstatus == 0 && stat((root + "/snap/hello").c_str(), &st) == 0 && st.st_size == 6 &&
              stat((root + "/snap/.delete/deletefilelist").c_str(), &st) == 0;
    std::printf("consumer: %s (%s)\n", ok ? "ok" : "FAILED", ec.message().c_str());
    std::system(("rm -rf '" + root + "'").c_str());
    return ok ? 0 : 1;
}
