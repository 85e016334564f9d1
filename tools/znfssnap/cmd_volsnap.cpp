#include "commands.h"
#include "options.h"
#include "report.h"

#include <znfssnapcore/znfssnapcore.h>
#include <znlib/znprocess.h>

#include <cerrno>
#include <cstdio>

namespace znfssnap {

namespace {

const char* k_help =
    "Usage: znfssnap volsnap create VOLNAME SNAPNAME DESCRIPTION... [OPTIONS]\n"
    "       znfssnap volsnap delete SNAPNAME [OPTIONS]\n"
    "\n"
    "Creates or deletes a snapshot of a whole Gluster volume with the gluster command-line tool\n"
    "(found on PATH):\n"
    "  gluster snapshot create SNAPNAME VOLNAME no-timestamp description DESCRIPTION...\n"
    "  gluster --mode=script snapshot delete SNAPNAME\n"
    "The description words are joined by single blanks. Volume and snapshot names are single\n"
    "words (no blanks).\n"
    "When the tool fails, what it wrote (its standard error, then its standard output) is\n"
    "shown in the failure line and, with --json, given as \"tool_output\".\n"
    "\n"
    "Exit status: 0 success; 1 the gluster command failed; 2 usage error.\n";

// The tool's command line is split on blanks, so a name with one would become several words.
bool single_word(const std::string& s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f')
            return false;
    return true;
}

std::string trimmed(const std::string& s)
{
    const char* blank = " \t\r\n";
    size_t from = s.find_first_not_of(blank);
    if (from == std::string::npos)
        return std::string();
    return s.substr(from, s.find_last_not_of(blank) - from + 1);
}

// What the tool said about its failure: its standard error, then its standard output (the
// tool writes some of its refusals there), cut to a size a log line can carry.
std::string tool_words(const ZnProcessCapture& capture)
{
    std::string err = trimmed(capture.error_output());
    std::string out = trimmed(capture.output());
    std::string words = err.empty() ? out : out.empty() ? err : err + "\n" + out;
    const size_t limit = 4096;
    if (words.size() > limit)
        words = words.substr(0, limit) + "...";
    return words;
}

// Why the tool did not do its work, in words, for the failure line.
std::string failure_text(const std::string& action, const std::error_code& ec, const std::string& words)
{
    std::string what = "gluster snapshot " + action + " failed";
    if (ec.value() == ENOENT && words.empty())
        return "cannot run gluster: no such program on PATH";
    if (ec.value() == ETIMEDOUT)
        return what + ": the tool did not finish in time and was killed";
    if (ec.value() == EINVAL && words.empty())
        return what + ": a name or description word was refused before the tool ran (see the line above)";
    if (!words.empty()) {
        std::string said = words;
        for (char& c : said)
            if (c == '\n')
                c = ' ';
        return what + ": gluster said: " + said;
    }
    return what;
}

}  // namespace

int cmd_volsnap(const std::vector<std::string>& args)
{
    parsed_args pa;
    common_options co;
    int rc = start_command("volsnap", k_help, args, {}, {}, 1, static_cast<size_t>(-1), pa, co);
    if (rc >= 0)
        return rc;
    const std::vector<std::string>& words = pa.positional;
    const std::string& action = words[0];
    json_object j("volsnap " + action);
    znfssnapcore::glustersnap::glustersnap gluster;
    std::error_code ec;
    stopwatch clock;
    ZnProcessCapture capture;
    if (action == "create") {
        if (words.size() < 4)
            return usage_error("volsnap", "create needs VOLNAME SNAPNAME DESCRIPTION...");
        if (!single_word(words[1]) || !single_word(words[2]))
            return usage_error("volsnap", "volume and snapshot names are single words");
        std::string description = words[3];
        for (size_t i = 4; i < words.size(); ++i)
            description += " " + words[i];
        j.str("volname", words[1]).str("snapname", words[2]).str("description", description);
        ec = gluster.create(words[1], words[2], description);
    } else if (action == "delete") {
        if (words.size() != 2)
            return usage_error("volsnap", "delete needs exactly one SNAPNAME");
        if (!single_word(words[1]))
            return usage_error("volsnap", "snapshot names are single words");
        j.str("snapname", words[1]);
        ec = gluster.remove(words[1]);
    } else {
        return usage_error("volsnap", "unknown action '" + printable(action) + "' (create or delete)");
    }
    if (ec) {
        const std::string words = tool_words(capture);
        j.str("tool_output", words);
        return report_failure("volsnap", co.json, j, failure_text(action, ec, words), ec);
    }
    if (co.json)
        std::printf("%s\n", j.error(ec).str("tool_output", "").real("seconds", clock.seconds()).text().c_str());
    else
        std::printf("volume snapshot %s %s\n", printable(words[action == "create" ? 2 : 1]).c_str(),
                    action == "create" ? "created" : "deleted");
    return exit_ok;
}

}  // namespace znfssnap
