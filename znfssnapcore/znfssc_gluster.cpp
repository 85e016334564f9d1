#include <znfssnapcore/znfssnapcore.h>

#include <znlib/znprocess.h>

#include <cerrno>
#include <strings.h>

namespace znfssnapcore {
namespace glustersnap {

namespace {

// Words the tool takes for part of the command rather than a name: `snapshot delete all`
// deletes every snapshot on the system, `snapshot delete volume V` every snapshot of V.
// Compared without case: a refused "ALL" costs nothing, a misread one everything.
const char* const k_keywords[] = {"all", "volume", "force", "no-timestamp", "description"};

// Why name cannot stand for one snapshot or volume on the tool's command line, or null.
const char* unusable_name(const string& name)
{
    if (name.empty())
        return "it is empty";
    // The command line is a C string: the tool would get the name cut at the NUL, another name.
    if (name.find('\0') != string::npos)
        return "it holds a NUL byte";
    // The command line is split on blanks: one name would become several arguments.
    if (name.find_first_of(" \t") != string::npos)
        return "it holds a blank";
    if (name[0] == '-')
        return "the tool would read it as an option";
    for (const char* k : k_keywords)
        if (strcasecmp(name.c_str(), k) == 0)
            return "the tool reads it as a keyword";
    return nullptr;
}

// The first word of description that the tool would take for one of its own options (it
// reads "--" words in any position: --log-file would have it write where the text says), or
// for a word of the command: it takes the first word after "description" as the description
// and a "force" after it as its force flag (the description cut, and a snapshot forced).
const char* option_in(const string& description, string& word)
{
    string::size_type p = 0;
    bool first = true;
    while ((p = description.find_first_not_of(" \t", p)) != string::npos) {
        string::size_type end = description.find_first_of(" \t", p);
        word = description.substr(p, end == string::npos ? string::npos : end - p);
        if (word.compare(0, 2, "--") == 0)
            return "the tool would read it as an option";
        if (!first && strcasecmp(word.c_str(), "force") == 0)
            return "the tool would read it as its force flag";
        first = false;
        p = end;
    }
    return nullptr;
}

// Runs line without a shell, so no argument is ever read as shell syntax, and kills it (with
// what it started) once it outlives timeout_seconds. Returns 0 or the errno of the failure,
// never 0 for a failed command.
int run_gluster(znfs::znfs_debug& log, const char* function, const string& line, int timeout_seconds)
{
    string out;
    string err;
    if (ZnProcess::system(line.c_str(), &out, &err, timeout_seconds, false) == 0)
        return 0;
    int e = znfs::errno_or_eio();
    if (e == ETIMEDOUT)
        log.error(function, "gluster did not finish within %d s and was killed", timeout_seconds);
    return e;
}

}  // namespace

glustersnap::glustersnap(int timeout_seconds)
    : m_timeout_seconds(timeout_seconds > 0 ? timeout_seconds : default_timeout_seconds)
{
}

error_code glustersnap::create(const string& volname, const string& snapname, const string& description)
{
    const char* why;
    string word;
    if ((why = unusable_name(snapname)) != nullptr) {
        error("glustersnap::create", "Refused snapshot name [%s]: %s", snapname.c_str(), why);
        return znfs::generic_code(EINVAL);
    }
    if ((why = unusable_name(volname)) != nullptr) {
        error("glustersnap::create", "Refused volume name [%s]: %s", volname.c_str(), why);
        return znfs::generic_code(EINVAL);
    }
    if (description.find('\0') != string::npos) {
        error("glustersnap::create", "Refused description [%s]: it holds a NUL byte (the tool would get it cut there)",
              description.c_str());
        return znfs::generic_code(EINVAL);
    }
    if ((why = option_in(description, word)) != nullptr) {
        error("glustersnap::create", "Refused description word [%s]: %s", word.c_str(), why);
        return znfs::generic_code(EINVAL);
    }
    const string line = "gluster snapshot create " + snapname + " " + volname + " no-timestamp description " + description;
    int e = run_gluster(*this, "glustersnap::create", line, m_timeout_seconds);
    if (e != 0) {
        error("glustersnap::create", "Snap creation failed for [%s]", volname.c_str());
        return znfs::generic_code(e);
    }
    debug("glustersnap::create", 1, "Successfully created Snapshot for [%s]", volname.c_str());
    return error_code();
}

error_code glustersnap::remove(const string& snapname)
{
    if (const char* why = unusable_name(snapname)) {
        error("glustersnap::remove", "Refused snapshot name [%s]: %s", snapname.c_str(), why);
        return znfs::generic_code(EINVAL);
    }
    // Script mode: otherwise the tool asks for confirmation, reads end of input, deletes
    // nothing and still exits 0.
    const string line = "gluster --mode=script snapshot delete " + snapname;
    int e = run_gluster(*this, "glustersnap::remove", line, m_timeout_seconds);
    if (e != 0) {
        error("glustersnap::remove", "Snap deletion failed for [%s]", snapname.c_str());
        return znfs::generic_code(e);
    }
    debug("glustersnap::remove", 1, "Successfully deleted Snapshot [%s]", snapname.c_str());
    return error_code();
}

}  // namespace glustersnap
}  // namespace znfssnapcore
