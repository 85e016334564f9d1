#include "commands.h"
#include "demo_tree.h"
#include "operations.h"
#include "options.h"
#include "report.h"
#include "tree_compare.h"
#include "znfs_mutex.h"

#include <znfs/znfs_error.h>
#include <znfs/znfs_posix.h>
#include <znfssnapcore/znfssnapcore.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

namespace znfssnap {

namespace {

const char* k_help =
    "Usage: znfssnap demo [--keep DIR] [OPTIONS]\n"
    "\n"
    "Runs both halves of the library on generated data and checks the outcome:\n"
    "  1. makes a snapshot volume and an object volume in a temporary directory (or in DIR),\n"
    "     and on it a dataset /live: nested directories, a few hundred files of varied sizes\n"
    "     and modes, extended attributes, \".snaps\" directories (never copied), a link and a\n"
    "     FIFO; most files carry \"trusted.vidoruvud.uuid\" naming a data object /objects/<id>\n"
    "     on the object volume;\n"
    "  2. creates snapshot /snaps1 and verifies it against /live;\n"
    "  3. changes /live (new data and new data objects for some files, new files), creates\n"
    "     /snaps2 and verifies it;\n"
    "  4. fills /snaps2's delete list with names shared with /snaps1, names changed since,\n"
    "     new names and names /snaps2 does not hold, deletes /snaps2 with /snaps1 as the\n"
    "     previous snapshot, and checks which objects were unlinked, which names were handed\n"
    "     on, and that /snaps1 and all of its objects are untouched.\n"
    "Removes everything afterwards unless --keep is given.\n"
    "\n"
    "  --keep DIR   build the volumes in DIR (created if missing, must be empty) and keep them\n"
    "\n"
    "Exit status: 0 every check held; 1 a check failed or the demo could not run; 2 usage error.\n";

const uint64_t k_seed = 20260815;

class demo_run {
public:
    explicit demo_run(bool quiet) : m_quiet(quiet) {}

    void say(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (m_quiet)
            return;
        va_list ap;
        va_start(ap, format);
        std::vprintf(format, ap);
        va_end(ap);
        std::fflush(stdout);
    }

    bool check(const std::string& what, bool ok)
    {
        ++m_checks;
        if (!ok)
            m_failed.push_back(what);
        say("  [%s] %s\n", ok ? " ok " : "FAIL", what.c_str());
        return ok;
    }

    void run(const std::string& base);

    // Library log lines are gathered and shown after the step that caused them, in order
    // with the narrative.
    void capture_log()
    {
        znfs::znfs_debug::set_sink([this](int level, const char* function, const char* message) {
            znfs::mutex_lock lock(m_log_mutex);
            m_log.push_back("[" + std::string(level < 0 ? "ERROR" : level == 0 ? "INFO" : "DEBUG") + "] " +
                            function + ": " + printable(message));
        });
    }
    void show_log(const char* why)
    {
        std::vector<std::string> lines;
        {
            znfs::mutex_lock lock(m_log_mutex);
            lines.swap(m_log);
        }
        if (lines.empty())
            return;
        say("   library log, %zu lines%s:\n", lines.size(), why);
        for (size_t i = 0; i < lines.size() && i < 6; ++i)
            say("     %s\n", lines[i].c_str());
        if (lines.size() > 6)
            say("     ... and %zu more\n", lines.size() - 6);
    }

    size_t checks() const { return m_checks; }
    const std::vector<std::string>& failed() const { return m_failed; }

private:
    bool snapshot(const std::string& snapdir);
    void show_differences(const std::vector<std::string>& diffs);

    bool m_quiet;
    znfs::mutex m_log_mutex;  // workers log concurrently
    std::vector<std::string> m_log GUARDED_BY(m_log_mutex);
    size_t m_checks = 0;
    std::vector<std::string> m_failed;
    znfs::znfs_api* m_api = znfs::posix_api();
    znfs::znfs_iopx_ptr m_iopx;
    std::string m_volroot;
};

void demo_run::show_differences(const std::vector<std::string>& diffs)
{
    for (size_t i = 0; i < diffs.size() && i < 10; ++i)
        say("         %s\n", diffs[i].c_str());
    if (diffs.size() > 10)
        say("         ... and %zu more\n", diffs.size() - 10);
}

// Creates snapdir, takes the snapshot of /live into it and verifies it.
bool demo_run::snapshot(const std::string& snapdir)
{
    std::error_code ec = m_api->mkdir(m_iopx, snapdir.c_str(), 0755, znfs::znfs_aio_ptr());
    if (!check("make directory " + snapdir, !ec))
        return false;
    create_outcome c = run_create(m_api, m_iopx, "/live", snapdir, false);
    show_log("");
    say("  snapshot %s: %" PRIu64 " entries copied, %" PRIu64 " failed, %.3f s\n", snapdir.c_str(), c.copied,
        c.failed, c.seconds);
    bool ok = check("create " + snapdir + ": result " + describe_error(c.ec) + ", opstatus " +
                        std::to_string(c.opstatus),
                    !c.ec && c.opstatus == 0 && c.failed == 0);
    struct stat st {};
    ec = m_api->stat(m_iopx, (snapdir + "/.delete/deletefilelist").c_str(), &st, znfs::znfs_aio_ptr());
    ok = check(snapdir + "/.delete/deletefilelist exists and is empty", !ec && st.st_size == 0) && ok;
    verify_outcome v = verify_snapshot(m_api, m_iopx, "/live", snapdir, false);
    ok = check("verify " + snapdir + " against /live: " + std::to_string(v.entries) + " entries, " +
                   std::to_string(v.differences.size()) + " differences",
               !v.ec && v.differences.empty()) &&
         ok;
    std::vector<std::string> lines;
    for (const difference& d : v.differences)
        lines.push_back(difference_text(d));
    show_differences(lines);
    return ok;
}

std::set<std::string> read_lines(const std::string& hostpath)
{
    std::set<std::string> lines;
    std::ifstream in(hostpath);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            lines.insert(line);
    return lines;
}

void demo_run::run(const std::string& base)
{
    m_volroot = base + "/volume";
    const std::string objroot = base + "/object-volume";
    if (::mkdir(m_volroot.c_str(), 0755) != 0 || ::mkdir(objroot.c_str(), 0755) != 0)
        throw std::runtime_error("cannot make the volume directories in " + base);
    std::error_code ec;
    m_iopx = open_volume(m_volroot, ec).iopx;
    znfs::znfs_iopx_ptr objiopx = open_volume(objroot, ec).iopx;
    if (!m_iopx || !objiopx)
        throw std::runtime_error("cannot open the volumes: " + describe_error(ec));

    say("volumes: snapshot volume %s, object volume %s (seed %" PRIu64 ")\n\n", m_volroot.c_str(),
        objroot.c_str(), k_seed);
    demo_builder builder(m_volroot, objroot, k_seed);
    demo_dataset ds;
    builder.build("/live", ds);
    say("1. dataset /live: %zu files (%.1f MiB), %zu directories, a link and a FIFO,\n"
        "   %zu \".snaps\" directories that snapshots leave out; %zu data objects in /objects\n",
        ds.files.size(), static_cast<double>(ds.bytes) / (1 << 20), ds.directories, ds.skipped_dirs,
        builder.object_count());

    say("\n2. first snapshot\n");
    snapshot("/snaps1");
    tree_listing snaps1_before;
    ec = describe_tree(m_api, m_iopx, "/snaps1", tree_side::snapshot, snaps1_before);
    check("read /snaps1 for the later comparison", !ec);
    std::set<std::string> snaps1_objects;
    for (const demo_file& f : ds.files)
        if (!f.uuid.empty())
            snaps1_objects.insert(f.uuid);

    std::vector<size_t> changed = builder.rewrite_files("/live", ds, 20);
    std::vector<size_t> added = builder.add_files("/live", ds, 10);
    say("\n3. changed /live: %zu files rewritten with new data objects, %zu files added\n", changed.size(),
        added.size());
    snapshot("/snaps2");

    // The delete list: names whose object /snaps1 shares, names changed since /snaps1, new
    // names, and names /snaps2 does not hold.
    std::set<size_t> changed_set(changed.begin(), changed.end());
    std::vector<std::string> shared;
    for (size_t i = 1; i < ds.files.size() && shared.size() < 15; i += 7)
        if (!ds.files[i].uuid.empty() && !changed_set.count(i) && snaps1_objects.count(ds.files[i].uuid))
            shared.push_back(ds.files[i].rel);
    std::vector<std::string> names;
    std::set<std::string> expect_unlinked;
    std::set<std::string> expect_handed(shared.begin(), shared.end());
    size_t n_changed = 0;
    size_t n_new = 0;
    for (size_t k = 0; k < shared.size(); ++k) {
        names.push_back(shared[k]);
        if (k < changed.size() && k < 10) {
            names.push_back(ds.files[changed[k]].rel);
            expect_unlinked.insert(ds.files[changed[k]].uuid);
            ++n_changed;
        }
        if (k < added.size() && k < 5) {
            names.push_back(ds.files[added[k]].rel);
            expect_unlinked.insert(ds.files[added[k]].uuid);
            ++n_new;
        }
    }
    names.push_back("proj0/never-existed.dat");
    names.push_back("no/such/dir/file.dat");
    const std::string dellist = "/snaps2/.delete/deletefilelist";
    for (const std::string& n : names)
        znfssnapcore::znfssnaputils::filename_addtolist(m_api, m_iopx, dellist, n);
    say("\n4. delete list of /snaps2: %zu names: %zu shared with /snaps1, %zu changed since, %zu new, 2 "
        "not in /snaps2\n",
        names.size(), shared.size(), n_changed, n_new);
    check("delete list holds every name", read_lines(m_volroot + dellist).size() == names.size());

    const size_t objects_before = builder.object_count();
    delete_outcome d = run_delete(m_api, m_iopx, m_api, objiopx, "/snaps2", "/snaps1", false, false);
    say("   deleted /snaps2 with previous /snaps1: %" PRIu64 " names checked, %" PRIu64 " handed on, %" PRIu64
        " objects unlinked, %.3f s\n",
        d.checked, d.handed_on, d.unlinked, d.seconds);
    show_log(" (a failed uuid read is logged for each name that /snaps1 does not hold)");
    check("delete /snaps2: result " + describe_error(d.ec) + ", opstatus " + std::to_string(d.opstatus),
          !d.ec && d.opstatus == 0);
    check("prevsnap_dellist is /snaps2/.delete/deletefilelist_prevsnap",
          d.prevsnap_dellist == "/snaps2/.delete/deletefilelist_prevsnap");

    say("   objects unlinked:\n");
    bool all_gone = true;
    for (const std::string& o : expect_unlinked) {
        bool gone = !builder.object_exists(o);
        all_gone = all_gone && gone;
        say("     %s %s\n", o.c_str(), gone ? "" : "(still there)");
    }
    check("the objects of the changed and new names are unlinked", all_gone);
    check("no other object is unlinked", objects_before - builder.object_count() == expect_unlinked.size());
    check("the unlink count is " + std::to_string(expect_unlinked.size()), d.unlinked == expect_unlinked.size());

    std::set<std::string> handed = read_lines(m_volroot + d.prevsnap_dellist);
    say("   names handed on to /snaps1 (%s):\n", d.prevsnap_dellist.c_str());
    for (const std::string& n : handed)
        say("     %s\n", printable(n).c_str());
    check("exactly the shared names are handed on", handed == expect_handed);
    check("the hand-on count is " + std::to_string(expect_handed.size()), d.handed_on == expect_handed.size());

    say("\n5. the previous snapshot\n");
    tree_listing snaps1_after;
    ec = describe_tree(m_api, m_iopx, "/snaps1", tree_side::snapshot, snaps1_after);
    std::vector<std::string> diffs = compare_listings(snaps1_before, snaps1_after);
    check("/snaps1 is unchanged (" + std::to_string(snaps1_after.size()) + " entries)", !ec && diffs.empty());
    show_differences(diffs);
    size_t missing = 0;
    for (const std::string& o : snaps1_objects)
        if (!builder.object_exists(o))
            ++missing;
    check("all " + std::to_string(snaps1_objects.size()) + " data objects of /snaps1 still exist", missing == 0);
}

}  // namespace

int cmd_demo(const std::vector<std::string>& args)
{
    parsed_args pa;
    common_options co;
    int rc = start_command("demo", k_help, args, {{"keep", true}}, {}, 0, 0, pa, co);
    if (rc >= 0)
        return rc;
    namespace fs = std::filesystem;
    const bool keep = pa.values.count("keep") != 0;
    std::string base;
    std::error_code fsec;
    if (keep) {
        base = pa.get("keep");
        if (base.empty())
            return usage_error("demo", "--keep needs a directory");
        fs::create_directories(base, fsec);
        if (fsec || !fs::is_directory(base) || !fs::is_empty(base, fsec))
            return report_failure("demo", co.json, json_object("demo"),
                                  base + " must be an empty directory",
                                  fsec ? fsec : std::make_error_code(std::errc::directory_not_empty));
        base = fs::absolute(base).string();
    } else {
        const char* tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/znfssnap-demo.XXXXXX";
        if (!::mkdtemp(&tmpl[0]))
            return report_failure("demo", co.json, json_object("demo"),
                                  "cannot make a temporary directory", znfs::errno_code(errno));
        base = tmpl;
    }

    demo_run demo(co.json);
    demo.capture_log();
    stopwatch clock;
    std::string setup_error;
    try {
        demo.run(base);
    } catch (const std::exception& e) {
        setup_error = e.what();
    }
    install_log_sink();
    if (!keep)
        fs::remove_all(base, fsec);
    const bool ok = setup_error.empty() && demo.failed().empty();
    if (co.json) {
        json_object j("demo");
        // The error keys every outcome object carries; a failed check or set-up is no errno of
        // its own, and reads as an I/O error as list's unreadable directory does.
        j.str("directory", keep ? base : std::string())
            .error(ok ? std::error_code() : znfs::errno_code(EIO))
            .flag("passed", ok)
            .unum("checks", demo.checks())
            .list("failed_checks", demo.failed())
            .str("setup_error", setup_error)
            .real("seconds", clock.seconds());
        std::printf("%s\n", j.text().c_str());
    } else {
        if (!setup_error.empty())
            std::printf("\nthe demo could not run: %s\n", setup_error.c_str());
        else if (ok)
            std::printf("\nall %zu checks held (%.2f s)\n", demo.checks(), clock.seconds());
        else
            std::printf("\n%zu of %zu checks failed\n", demo.failed().size(), demo.checks());
        if (keep)
            std::printf("volumes kept in %s\n", base.c_str());
    }
    return ok ? exit_ok : exit_failed;
}

}  // namespace znfssnap
