#ifndef ZNFSSNAP_MANPAGE_H
#define ZNFSSNAP_MANPAGE_H

// The manual page and the shell completion of znfssnap, both made from the help texts the
// commands print, so that they describe whatever commands the binary has.

#include <functional>
#include <string>
#include <vector>

namespace znfssnap {

struct command_help {
    std::string name;
    std::string text;  // what "znfssnap NAME --help" prints
};

// Runs f with standard output (stdio and iostreams) going into out instead. False when standard
// output could not be redirected or read back.
bool capture_stdout(const std::function<void()>& f, std::string& out);

// The manual page in troff (man macros): the usage text, then every command's help without
// the common options, which follow once in a section of their own.
std::string man_page(const std::string& version, const std::string& usage, const std::vector<command_help>& commands,
                     const std::string& common_options);

// The options a help text names ("--word") in its usage lines and option lines, each once, in
// order of first mention.
std::vector<std::string> help_options(const std::string& help);

}  // namespace znfssnap

#endif
