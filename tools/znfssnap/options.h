#ifndef ZNFSSNAP_OPTIONS_H
#define ZNFSSNAP_OPTIONS_H

// Command-line parsing shared by every command: "--name value", "--name=value", flags, and
// positional words ("--" ends the options).

#include <map>
#include <set>
#include <string>
#include <system_error>
#include <vector>

namespace znfssnap {

// Exit statuses of the command.
enum exit_status {
    exit_ok = 0,
    exit_failed = 1,       // the operation failed; its error was printed
    exit_usage = 2,        // bad command line
    exit_incomplete = 3,   // creation or deletion ran but left work undone: run it again
    exit_differences = 4,  // verify found differences
};

struct option_def {
    std::string name;  // without the leading "--"
    bool has_value;
};

struct parsed_args {
    std::map<std::string, std::string> values;  // options with a value (the last one given wins)
    std::set<std::string> flags;                // options without a value
    std::vector<std::string> positional;

    bool has(const std::string& name) const { return values.count(name) || flags.count(name); }
    std::string get(const std::string& name, const std::string& fallback = std::string()) const;
};

// Options every command accepts.
struct common_options {
    int log_level = -1;
    bool verbose = false;  // -v: every log line as it comes
    bool quiet = false;    // -q: the result only
    std::string log_file;  // every log line of every level appended here
    unsigned threads = 0;  // 0: the pool's own default
    bool run_inline = false;
    bool json = false;
};

// True when args ask for help (before any "--").
bool wants_help(const std::vector<std::string>& args);

// Parses args against defs plus the common options. False with a message for an unknown
// option or a missing value.
bool parse_args(const std::vector<std::string>& args, const std::vector<option_def>& defs, parsed_args& out,
                std::string& err);

// Reads and checks the common options. False with a message when one is out of range.
bool take_common(const parsed_args& args, common_options& out, std::string& err);

// Sets up the log lines and the worker pool's defaults from the common options. The error of
// opening the log file, if any.
std::error_code apply_common(const common_options& opts);

// Why volume (a --volume value) names no volume the command can open, or "" when it names one: a
// "gluster://" URL must have the form gluster://HOST[:PORT]/VOLNAME.
std::string volume_problem(const std::string& volume);

// Checks that every named option was given. False with a message naming the first missing.
bool require_options(const parsed_args& args, const std::vector<std::string>& names, std::string& err);

// Prints "znfssnap COMMAND: MESSAGE" and a pointer to the help on standard error; returns exit_usage.
int usage_error(const std::string& command, const std::string& message);

// Help text of the options every command accepts, for the commands' --help.
const char* common_options_help();

// The start every command shares: prints help (returns exit_ok) when asked, parses args and
// the common options, checks the required options and the number of positional words
// (returns exit_usage with a message on a fault; a malformed gluster:// URL in any option
// whose name ends in "volume" is one), and applies the common options (exit_failed, reported,
// when the log file cannot be opened). Returns -1 when the command should go on.
int start_command(const std::string& command, const char* help, const std::vector<std::string>& args,
                  const std::vector<option_def>& defs, const std::vector<std::string>& required,
                  size_t min_positional, size_t max_positional, parsed_args& parsed, common_options& common);

// Parses a whole decimal integer (optional sign); false for anything else or overflow.
bool parse_int(const std::string& text, long long& value);

}  // namespace znfssnap

#endif
