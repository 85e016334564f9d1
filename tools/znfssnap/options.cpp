#include "options.h"

#include "report.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <znfs/znfs_debug.h>
#include <znfs/znfs_gluster.h>
#include <znfs/znfs_thpool.h>

namespace znfssnap {

namespace {

const std::vector<option_def>& common_defs()
{
    static const std::vector<option_def> defs = {
        {"log-level", true}, {"verbose", false}, {"quiet", false}, {"log-file", true},
        {"threads", true},   {"inline", false},  {"json", false},  {"help", false},
    };
    return defs;
}

const option_def* find_def(const std::vector<option_def>& defs, const std::string& name)
{
    for (const option_def& d : defs)
        if (d.name == name)
            return &d;
    for (const option_def& d : common_defs())
        if (d.name == name)
            return &d;
    return nullptr;
}

}  // namespace

std::string parsed_args::get(const std::string& name, const std::string& fallback) const
{
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

bool wants_help(const std::vector<std::string>& args)
{
    for (const std::string& a : args) {
        if (a == "--")
            return false;
        if (a == "--help" || a == "-h")
            return true;
    }
    return false;
}

bool parse_args(const std::vector<std::string>& args, const std::vector<option_def>& defs, parsed_args& out,
                std::string& err)
{
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options_done || a.size() < 2 || a[0] != '-') {
            out.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            options_done = true;
            continue;
        }
        if (a == "-v" || a == "-q") {
            out.flags.insert(a == "-v" ? "verbose" : "quiet");
            continue;
        }
        if (a.compare(0, 2, "--") != 0) {
            err = "unknown option '" + a + "'";
            return false;
        }
        std::string name = a.substr(2);
        std::string value;
        bool inline_value = false;
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inline_value = true;
        }
        const option_def* def = find_def(defs, name);
        if (!def) {
            err = "unknown option '--" + name + "'";
            return false;
        }
        if (!def->has_value) {
            if (inline_value) {
                err = "option '--" + name + "' takes no value";
                return false;
            }
            out.flags.insert(name);
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= args.size()) {
                err = "option '--" + name + "' needs a value";
                return false;
            }
            value = args[++i];
        }
        out.values[name] = value;
    }
    return true;
}

bool parse_int(const std::string& text, long long& value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    // strtoll would skip leading blanks; a number here is digits only, with an optional sign.
    if (errno != 0 || end == text.c_str() || *end != '\0' || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    value = v;
    return true;
}

bool take_common(const parsed_args& args, common_options& out, std::string& err)
{
    long long n = 0;
    if (args.values.count("log-level")) {
        if (!parse_int(args.get("log-level"), n) || n < -1 || n > 1) {
            err = "--log-level takes -1, 0 or 1";
            return false;
        }
        out.log_level = static_cast<int>(n);
    }
    if (args.values.count("threads")) {
        if (!parse_int(args.get("threads"), n) || n < 1 || n > 4096) {
            err = "--threads takes a worker count from 1 to 4096";
            return false;
        }
        out.threads = static_cast<unsigned>(n);
    }
    out.run_inline = args.flags.count("inline") != 0;
    out.json = args.flags.count("json") != 0;
    out.verbose = args.flags.count("verbose") != 0;
    out.quiet = args.flags.count("quiet") != 0;
    if (args.values.count("log-file")) {
        out.log_file = args.get("log-file");
        if (out.log_file.empty()) {
            err = "--log-file needs a file name";
            return false;
        }
    }
    if (out.verbose && out.quiet) {
        err = "--verbose and --quiet exclude each other";
        return false;
    }
    if (out.run_inline && out.threads != 0) {
        err = "--inline and --threads exclude each other";
        return false;
    }
    return true;
}

std::error_code apply_common(const common_options& opts)
{
    log_settings ls;
    ls.level = opts.log_level;
    ls.verbose = opts.verbose;
    ls.quiet = opts.quiet;
    ls.file = opts.log_file;
    znfs::znfs_thpool::set_default_workers(opts.threads);
    znfs::znfs_thpool::set_unavailable(opts.run_inline);
    expect_no_pool(opts.run_inline);
    return configure_log(ls);
}

std::string volume_problem(const std::string& volume)
{
    if (volume.compare(0, 10, "gluster://") != 0)
        return std::string();
    std::string host, volname;
    uint16_t port = 0;
    if (!znfs::parse_gluster_url(volume, host, port, volname))
        return std::string();
    return "'" + printable(volume) +
           "' is no GlusterFS volume: expected gluster://HOST[:PORT]/VOLNAME (HOST a name or address, an IPv6 "
           "address in brackets; one VOLNAME, no further '/')";
}

bool require_options(const parsed_args& args, const std::vector<std::string>& names, std::string& err)
{
    for (const std::string& n : names) {
        if (!args.values.count(n) || args.get(n).empty()) {
            err = "missing --" + n;
            return false;
        }
    }
    return true;
}

int usage_error(const std::string& command, const std::string& message)
{
    // Messages quote the words of the command line, which may hold any byte: a line feed or an
    // escape sequence would reach the terminal as such. Escaping twice changes nothing.
    std::fprintf(stderr, "znfssnap %s: %s\nTry 'znfssnap %s --help'.\n", command.c_str(), printable(message).c_str(),
                 command.c_str());
    return exit_usage;
}

int start_command(const std::string& command, const char* help, const std::vector<std::string>& args,
                  const std::vector<option_def>& defs, const std::vector<std::string>& required,
                  size_t min_positional, size_t max_positional, parsed_args& parsed, common_options& common)
{
    if (wants_help(args)) {
        std::fputs(help, stdout);
        std::fputs("\n", stdout);
        std::fputs(common_options_help(), stdout);
        return exit_ok;
    }
    std::string err;
    if (!parse_args(args, defs, parsed, err) || !take_common(parsed, common, err) ||
        !require_options(parsed, required, err))
        return usage_error(command, err);
    if (parsed.positional.size() < min_positional)
        return usage_error(command, "missing argument");
    if (parsed.positional.size() > max_positional)
        return usage_error(command, "unexpected argument '" + parsed.positional[max_positional] + "'");
    for (const auto& v : parsed.values) {
        const std::string& name = v.first;
        if (name.size() >= 6 && name.compare(name.size() - 6, 6, "volume") == 0) {
            std::string problem = volume_problem(v.second);
            if (!problem.empty())
                return usage_error(command, "--" + name + " " + problem);
        }
    }
    std::error_code ec = apply_common(common);
    if (ec) {
        // Like every failure before the operation, it gives the command's arguments: here the
        // command's own options given with a value, each under its name ("object-volume" as
        // "object_volume").
        json_object j(command);
        for (const option_def& d : defs) {
            if (!d.has_value || !parsed.values.count(d.name))
                continue;
            std::string key = d.name;
            std::replace(key.begin(), key.end(), '-', '_');
            j.str(key, parsed.get(d.name));
        }
        return report_failure(command, common.json, j, "cannot open log file " + common.log_file, ec);
    }
    return -1;
}

const char* common_options_help()
{
    return "Common options:\n"
           "  --log-level N   library log lines on standard error up to level N:\n"
           "                  -1 failures (default), 0 milestones and per-file progress, 1 detail\n"
           "                  Failure lines are held until the outcome is known: when the run\n"
           "                  completed, those that its course expects (a name new since the\n"
           "                  previous snapshot has no uuid there, ...) are summed up in one line\n"
           "                  per kind; otherwise the first few of each kind are shown, then a count.\n"
           "  -v, --verbose   show every log line as it comes, none held back\n"
           "  -q, --quiet     no log line and no progress line: the result only\n"
           "  --log-file FILE append every log line of every level to FILE, with its time\n"
           "  --threads N     worker threads of the pool (N >= 1; default: four times the\n"
           "                  hardware threads, at least 8)\n"
           "  --inline        no worker pool: all work runs on the calling thread\n"
           "  --json          print one JSON object with the outcome on standard output\n"
           "  --help          show this help\n";
}

}  // namespace znfssnap
