// znfssnap: snapshots of directory trees on POSIX volumes, from the command line.

#include "commands.h"
#include "options.h"
#include "report.h"

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
    "  volsnap   create or delete a Gluster volume snapshot\n"
    "  demo      run a self-checking demonstration on temporary volumes\n"
    "\n"
    "'znfssnap COMMAND --help' describes a command.\n"
    "Commands that change a snapshot (create, delete, handoff, list-add, rmtree) run one at a\n"
    "time per snapshot directory on this host: a second run fails at once, or waits with --wait.\n"
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
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs(k_usage, stderr);
        return znfssnap::exit_usage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        std::fputs(k_usage, stdout);
        return znfssnap::exit_ok;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
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
