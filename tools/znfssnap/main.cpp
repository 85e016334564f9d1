// znfssnap: snapshots of directory trees on POSIX and GlusterFS volumes, from the command line, through
// their life: create and verify, names added to the delete list, delete, handoff, list and destroy; also
// rmtree, Gluster volume snapshots (volsnap) and a self-checking demo.

#include "commands.h"
#include "manpage.h"
#include "options.h"
#include "report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>

namespace {

const char* k_usage =
    "Usage: znfssnap COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  create    copy a dataset into a snapshot directory\n"
    "  verify    compare a snapshot with its dataset\n"
    "  delete    process a snapshot's delete list (unlink unshared data objects)\n"
    "  handoff   append a deleted snapshot's handed-on names to the previous snapshot's list\n"
    "  list-add  append names to a snapshot's delete list\n"
    "  rmtree    remove a directory tree on a volume\n"
    "  list      show where each snapshot below a directory stands (finished, deleted, ...)\n"
    "  destroy   retire a snapshot: deletion, hand-off and removal of its tree, resumable\n"
    "  volsnap   create or delete a Gluster volume snapshot\n"
    "  demo      run a self-checking demonstration on temporary volumes\n"
    "\n"
    "'znfssnap help COMMAND' (or 'znfssnap COMMAND --help') describes a command;\n"
    "'znfssnap --version' prints the version.\n"
    "Commands that change a snapshot (create, delete, handoff, list-add, rmtree, destroy) run\n"
    "one at a time per snapshot directory on this host: a second run fails at once, or waits\n"
    "with --wait.\n"
    "\n"
    "Exit status: 0 success, 1 the operation failed, 2 usage error, 3 snapshot creation or\n"
    "deletion incomplete (run it again), 4 verify found differences.\n";

struct command {
    const char* name;
    int (*run)(const std::vector<std::string>&);
};

const command k_commands[] = {
    {"create", znfssnap::cmd_create},     {"verify", znfssnap::cmd_verify},   {"delete", znfssnap::cmd_delete},
    {"handoff", znfssnap::cmd_handoff},   {"list-add", znfssnap::cmd_list_add}, {"rmtree", znfssnap::cmd_rmtree},
    {"volsnap", znfssnap::cmd_volsnap},   {"demo", znfssnap::cmd_demo},
    {"list", znfssnap::cmd_list},         {"destroy", znfssnap::cmd_destroy},
};

const command* find_command(const std::string& name)
{
    for (const command& c : k_commands)
        if (name == c.name)
            return &c;
    return nullptr;
}

// A command's help is what it prints for --help: "help COMMAND", the manual page and the shell
// completion take it from there, so they describe every command in the table as it is.
std::string help_text(const command& c)
{
    std::string text;
    if (!znfssnap::capture_stdout([&c] { c.run({"--help"}); }, text))
        std::fprintf(stderr, "znfssnap: cannot capture the help of '%s'\n", c.name);
    return text;
}

int help_command(const std::vector<std::string>& args)
{
    const command* c = args.size() == 1 ? find_command(args[0]) : nullptr;
    if (!c) {
        const std::string why =
            args.size() == 1 ? "unknown command '" + znfssnap::printable(args[0]) + "'" : "takes one COMMAND";
        std::fprintf(stderr, "znfssnap help: %s\n\n%s", why.c_str(), k_usage);
        return znfssnap::exit_usage;
    }
    return c->run({"--help"});
}

// Hidden options, for the build and for the shell: "--man" prints the manual page, "--complete"
// the command names and "--complete COMMAND" the options that command's help names.
int hidden_option(const std::string& name, const std::vector<std::string>& args)
{
    if (name == "--man" && args.empty()) {
        std::vector<znfssnap::command_help> helps;
        for (const command& c : k_commands)
            helps.push_back({c.name, help_text(c)});
        std::fputs(znfssnap::man_page(ZNFSSNAP_VERSION, k_usage, helps, znfssnap::common_options_help()).c_str(),
                   stdout);
        return znfssnap::exit_ok;
    }
    if (name == "--complete" && args.empty()) {
        for (const command& c : k_commands)
            std::printf("%s\n", c.name);
        return znfssnap::exit_ok;
    }
    const command* c = args.size() == 1 ? find_command(args[0]) : nullptr;
    if (name == "--complete" && c) {
        for (const std::string& option : znfssnap::help_options(help_text(*c)))
            std::printf("%s\n", option.c_str());
        return znfssnap::exit_ok;
    }
    return znfssnap::exit_usage;
}

// What was printed is the result a caller reads: when it did not all reach standard output (a
// full disk, say), a success would be reported for output that never came, so
// the run fails instead. A failure status already given is kept: it says more. The operation
// itself is not undone, and the message says it completed: a caller that reruns it on the
// status alone must not take it for one that changed nothing.
int with_output_written(int status)
{
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int e = flushed ? 0 : errno;
    if (flushed && !std::ferror(stdout))
        return status;
    std::fprintf(stderr, "znfssnap: %scannot write to standard output: %s\n",
                 status == znfssnap::exit_ok ? "the run completed, but its result was lost: " : "",
                 znfssnap::describe_error(std::error_code(e != 0 ? e : EIO, std::system_category())).c_str());
    return status == znfssnap::exit_ok ? znfssnap::exit_failed : status;
}

int run(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs(k_usage, stderr);
        return znfssnap::exit_usage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || (name == "help" && argc == 2)) {
        std::fputs(k_usage, stdout);
        return znfssnap::exit_ok;
    }
    if (name == "--version") {
        std::printf("znfssnap %s\n", ZNFSSNAP_VERSION);
        return znfssnap::exit_ok;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    if (name == "help")
        return help_command(args);
    if (name == "--man" || name == "--complete")
        return hidden_option(name, args);
    for (const command& c : k_commands) {
        if (name == c.name) {
            znfssnap::install_log_sink();
            try {
                return c.run(args);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "znfssnap %s: %s\n", c.name, e.what());
                return znfssnap::exit_failed;
            }
        }
    }
    std::fprintf(stderr, "znfssnap: unknown command '%s'\n\n%s", znfssnap::printable(name).c_str(), k_usage);
    return znfssnap::exit_usage;
}

// A caller may start the command with standard input, output or error closed; the first
// descriptors the run opens (a volume's root, a lock file, a GlusterFS connection) would then
// take their numbers, and what is printed would be written into them. False when one of them
// cannot be held open.
bool hold_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDWR) != fd)
            return false;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!hold_standard_descriptors())
        return znfssnap::exit_failed;  // nowhere safe to print: no run rather than one writing into a volume
    // A reader of standard output or error that went away must not kill the run with SIGPIPE:
    // mid-run at a log line, or at its result once the work is done, with nothing said. The
    // write fails instead, and the result that did not reach its reader is reported as lost.
    // (The tools the command runs get SIGPIPE back.)
    std::signal(SIGPIPE, SIG_IGN);
    return with_output_written(run(argc, argv));
}
