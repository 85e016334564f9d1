#include "bookkeeping.h"
#include "commands.h"
#include "dataset_command.h"
#include "operations.h"
#include "options.h"
#include "report.h"
#include "snapshot_lock.h"
#include "volume_files.h"

#include <znfssnapcore/znfssnapcore.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace znfssnap {

namespace {

const char* k_help =
    "Usage: znfssnap list-add --volume DIR --snapdir PATH [--wait] [--] NAME...\n"
    "       znfssnap list-add --volume DIR --snapdir PATH [--wait] < NAMES\n"
    "\n"
    "A volume DIR is a host directory (a POSIX volume) or gluster://HOST[:PORT]/VOLNAME (a\n"
    "GlusterFS volume, reached without a mount).\n"
    "\n"
    "Appends names to the delete list PATH/.delete/deletefilelist of the finished snapshot\n"
    "PATH: the names of files whose data objects the live dataset has just dropped, as paths\n"
    "relative to the snapshot (\"docs/a.txt\"). Without NAME arguments the names are read from\n"
    "standard input, one per line.\n"
    "\n"
    "Every name is checked before anything is written: an empty name, an absolute name, a name\n"
    "with a \"..\" component, or one holding a line feed or a NUL byte (which a delete list\n"
    "cannot carry: it would name other files) refuses the whole call. All names are written in\n"
    "one write at the list's end and made durable before the command succeeds.\n"
    "\n"
    "Refused while a hand-off into the list is unfinished, and once the snapshot's deletion\n"
    "has completed or its removal has begun (names added then would never be processed).\n"
    "\n"
    "  --wait  wait while another run on this host works on the snapshot directory, instead\n"
    "          of failing at once (one run at a time per snapshot directory, on this host)\n"
    "\n"
    "Exit status: 0 names appended; 1 nothing appended (the list could not be written, the\n"
    "snapshot is not finished, or another run holds it); 2 usage error or a refused name\n"
    "(nothing appended).\n";

// Longer names cannot be paths on the volume at all.
const size_t k_longest_name = 4095;

// Why name cannot go into a delete list; "" when it can.
std::string name_fault(const std::string& name)
{
    if (name.empty())
        return "it is empty";
    if (name.find('\n') != std::string::npos)
        return "it holds a line feed (a delete list would read it as two names)";
    if (name.find('\0') != std::string::npos)
        return "it holds a NUL byte (a delete list would read it as two names)";
    if (name[0] == '/')
        return "it is absolute (names are relative to the snapshot)";
    if (has_dotdot(name))
        return "it has a \"..\" component";
    if (name.size() > k_longest_name)
        return "it is longer than " + std::to_string(k_longest_name) + " bytes";
    return std::string();
}

bool read_stdin(std::string& text)
{
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text.append(buf, static_cast<size_t>(n));
    }
}

}  // namespace

int cmd_list_add(const std::vector<std::string>& args)
{
    parsed_args pa;
    common_options co;
    int rc = start_command("list-add", k_help, args, {{"volume", true}, {"snapdir", true}, {"wait", false}},
                           {"volume", "snapdir"}, 0, SIZE_MAX, pa, co);
    if (rc >= 0)
        return rc;
    const std::string volume = pa.get("volume");
    const std::string snapdir = pa.get("snapdir");
    json_object j("list-add");
    j.str("volume", volume).str("snapdir", snapdir);

    std::vector<std::string> names = pa.positional;
    if (names.empty()) {
        std::string text;
        if (!read_stdin(text))
            return report_failure("list-add", co.json, j, "cannot read names from standard input",
                                  znfs::errno_code(errno));
        names = split_lines(text);
    }
    for (size_t i = 0; i < names.size(); ++i) {
        std::string fault = name_fault(names[i]);
        if (!fault.empty())
            return usage_error("list-add", "name " + std::to_string(i + 1) + " ('" + printable(names[i].substr(0, 200)) +
                                               "') refused: " + fault + "; nothing was appended");
    }

    opened_volume plain;
    if ((rc = open_reported("list-add", co.json, j, volume, plain, snapdir, "snapshot directory " + snapdir)) >= 0)
        return rc;
    snapshot_locks locks;
    std::string message;
    if (!locks.take(plain, volume, {snapdir}, holder_text("list-add", args), pa.has("wait"), message))
        return report_refusal("list-add", co.json, j, message, znfs::errno_code(EBUSY));
    std::error_code ec;
    const opened_volume vol = confined(plain, {snapdir}, ec);
    if (!vol.iopx)
        return report_failure("list-add", co.json, j, "cannot open snapshot directory " + snapdir, ec);
    const verdict v = append_refusal(vol, snapdir, true);
    if (!v.ok())
        return report_verdict("list-add", co.json, j, v, "; nothing was appended");

    const std::string list = snapdir + znfssnapcore::znfssnaputils::sdelfilelist;
    std::string data;
    for (const std::string& n : names)
        data += n + "\n";
    errno = 0;
    znfs::znfs_file_ptr f = vol.api->open(vol.iopx, list.c_str(), O_WRONLY, znfs::znfs_aio_ptr());
    if (!f)
        return report_failure("list-add", co.json, j, "cannot open " + list + "; nothing was appended",
                              znfs::errno_code(znfs::errno_or_eio()));
    const uint64_t offset = f->get_file_size();
    ec = write_at(vol.api, f, data.data(), data.size(), offset);
    if (!ec)
        ec = vol.api->fsync(f, znfs::znfs_aio_ptr());
    std::error_code cec = vol.api->close(f, znfs::znfs_aio_ptr());
    if (!ec)
        ec = cec;
    if (ec) {
        // A write that failed part-way leaves a cut last line; the next append refuses to join
        // a name to it, so the damage is seen, not spread.
        uint64_t after = 0;
        bool unchanged = !file_size(vol.api, vol.iopx, list, after) && after == offset;
        return report_failure("list-add", co.json, j,
                              unchanged ? "cannot append to " + list + "; nothing was appended"
                                        : "cannot append to " + list +
                                              " durably; the list may end in a cut line: check its end by hand",
                              ec);
    }
    j.error(ec).unum("names_appended", names.size()).unum("list_offset", offset);
    if (co.json)
        std::printf("%s\n", j.text().c_str());
    else
        std::printf("appended %zu names to %s\n", names.size(), printable(list).c_str());
    return exit_ok;
}

}  // namespace znfssnap
