#include "manpage.h"

#include <cctype>
#include <cstdio>
#include <iostream>

#include <unistd.h>

namespace znfssnap {

namespace {

// Text for a no-fill block: lines kept as they are, with the characters troff would take
// as requests or escapes made literal, and "-" a real minus so that options copy and search
// as typed.
std::string literal(const std::string& text)
{
    std::string out;
    bool line_start = true;
    for (char c : text) {
        if (line_start && (c == '.' || c == '\''))
            out += "\\&";
        line_start = c == '\n';
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && out.back() != '\n')
        out += '\n';
    return out;
}

std::string block(const std::string& text)
{
    return ".nf\n" + literal(text) + ".fi\n";
}

std::string without_first_line(const std::string& text)
{
    size_t nl = text.find('\n');
    return nl == std::string::npos ? std::string() : text.substr(nl + 1);
}

std::string trimmed(std::string text)
{
    size_t begin = text.find_first_not_of('\n');
    if (begin == std::string::npos)
        return std::string();
    text.erase(0, begin);
    text.erase(text.find_last_not_of('\n') + 1);
    return text + "\n";
}

}  // namespace

bool capture_stdout(const std::function<void()>& f, std::string& out)
{
    std::cout.flush();
    std::fflush(stdout);
    FILE* tmp = std::tmpfile();
    if (!tmp)
        return false;
    int saved = dup(STDOUT_FILENO);
    if (saved < 0 || dup2(fileno(tmp), STDOUT_FILENO) < 0) {
        if (saved >= 0)
            close(saved);
        std::fclose(tmp);
        return false;
    }
    f();
    std::cout.flush();
    std::fflush(stdout);
    bool ok = dup2(saved, STDOUT_FILENO) >= 0;
    close(saved);
    out.clear();
    std::rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0)
        out.append(buf, n);
    ok = ok && !std::ferror(tmp);
    std::fclose(tmp);
    return ok;
}

std::string man_page(const std::string& version, const std::string& usage, const std::vector<command_help>& commands,
                     const std::string& common_options)
{
    std::string page = ".TH ZNFSSNAP 1 \"\" \"znfssnap " + version + "\" \"User Commands\"\n";
    page +=
        ".SH NAME\n"
        "znfssnap \\- snapshots of directory trees on file-system volumes\n"
        ".SH SYNOPSIS\n"
        ".B znfssnap\n.I COMMAND\n.RI [ OPTIONS ]\n.br\n"
        ".B znfssnap help\n.I COMMAND\n.br\n"
        ".B znfssnap \\-\\-version\n"
        ".SH DESCRIPTION\n";
    page += block(trimmed(without_first_line(usage)));
    page += ".SH COMMANDS\n";
    for (const command_help& c : commands) {
        // Every command's help ends with the common options; they are printed once below.
        std::string text = c.text;
        if (text.size() >= common_options.size() &&
            text.compare(text.size() - common_options.size(), common_options.size(), common_options) == 0)
            text.resize(text.size() - common_options.size());
        page += ".SS " + literal(c.name);
        page += block(trimmed(text));
    }
    page += ".SH COMMON OPTIONS\n";
    page += block(trimmed(without_first_line(common_options)));
    return page;
}

std::vector<std::string> help_options(const std::string& help_text)
{
    // Only the usage lines and the lines that describe an option: prose may quote other
    // programs' options ("gluster --mode=script"), which this command would refuse.
    std::string help;
    for (size_t start = 0; start < help_text.size();) {
        size_t end = help_text.find('\n', start);
        end = end == std::string::npos ? help_text.size() : end + 1;
        const std::string line = help_text.substr(start, end - start);
        const size_t first = line.find_first_not_of(' ');
        if (first != std::string::npos &&
            (line[first] == '-' || line[first] == '[' || line.compare(first, 6, "Usage:") == 0 ||
             line.compare(first, 9, "znfssnap ") == 0))
            help += line;
        start = end;
    }
    std::vector<std::string> names;
    for (size_t i = help.find("--"); i != std::string::npos; i = help.find("--", i + 2)) {
        if (i > 0 && (std::isalnum(static_cast<unsigned char>(help[i - 1])) || help[i - 1] == '-'))
            continue;
        size_t end = i + 2;
        while (end < help.size() && (std::islower(static_cast<unsigned char>(help[end])) ||
                                     std::isdigit(static_cast<unsigned char>(help[end])) || help[end] == '-'))
            ++end;
        while (end > i + 2 && help[end - 1] == '-')
            --end;
        if (end == i + 2 || !std::islower(static_cast<unsigned char>(help[i + 2])))
            continue;
        std::string name = help.substr(i, end - i);
        bool seen = false;
        for (const std::string& n : names)
            seen = seen || n == name;
        if (!seen)
            names.push_back(name);
    }
    return names;
}

}  // namespace znfssnap
