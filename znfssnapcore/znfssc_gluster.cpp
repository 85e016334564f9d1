#include <znfssnapcore/znfssnapcore.h>

#include <znlib/znprocess.h>

#include <cerrno>

namespace znfssnapcore {
namespace glustersnap {

namespace {

// Runs line without a shell, so no argument is ever read as shell syntax. Returns 0 or the
// errno of the failure, never 0 for a failed command.
int run_gluster(const string& line)
{
    string out;
    string err;
    if (ZnProcess::system(line.c_str(), &out, &err, 0, false) == 0)
        return 0;
    int e = errno;
    return e != 0 ? e : EIO;
}

}  // namespace

error_code glustersnap::create(const string& volname, const string& snapname, const string& description)
{
    const string line = "gluster snapshot create " + snapname + " " + volname + " no-timestamp description " + description;
    int e = run_gluster(line);
    if (e != 0) {
        error("glustersnap::create", "Snap creation failed for [%s]", volname.c_str());
        return error_code(e, std::generic_category());
    }
    debug("glustersnap::create", 1, "Successfully created Snapshot for [%s]", volname.c_str());
    return error_code();
}

error_code glustersnap::remove(const string& snapname)
{
    // Script mode: otherwise the tool asks for confirmation, reads end of input, deletes
    // nothing and still exits 0.
    const string line = "gluster --mode=script snapshot delete " + snapname;
    int e = run_gluster(line);
    if (e != 0) {
        error("glustersnap::remove", "Snap deletion failed for [%s]", snapname.c_str());
        return error_code(e, std::generic_category());
    }
    debug("glustersnap::remove", 1, "Successfully deleted Snapshot [%s]", snapname.c_str());
    return error_code();
}

}  // namespace glustersnap
}  // namespace znfssnapcore
