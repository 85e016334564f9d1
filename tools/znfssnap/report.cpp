#include "report.h"

#include <znfs/znfs_debug.h>
#include <znfs/znfs_error.h>

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_map>

namespace znfssnap {

namespace {

// Guards standard error and every GUARDED_BY(g_stderr_mutex) below: log lines and the progress
// line take turns.
znfs::mutex g_stderr_mutex;
bool g_line_shown GUARDED_BY(g_stderr_mutex) = false;
std::atomic<bool> g_no_pool_expected(false);

// Length of the valid UTF-8 sequence starting at s[i], or 0 when the byte there does not start one.
size_t utf8_sequence(const std::string& s, size_t i)
{
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len;
    uint32_t cp;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (size_t k = 1; k < len; ++k) {
        unsigned char cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not valid UTF-8.
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

std::string hex_escape(const char* prefix, unsigned char c)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%02x", prefix, c);
    return buf;
}

}  // namespace

std::string json_quote(const std::string& s)
{
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len = utf8_sequence(s, i);
        if (len == 0) {
            out += hex_escape("\\u00", c);
            ++i;
            continue;
        }
        if (len > 1) {
            out.append(s, i, len);
            i += len;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c < 0x20 || c == 0x7F)
                out += hex_escape("\\u00", c);
            else
                out += static_cast<char>(c);
        }
        ++i;
    }
    out += "\"";
    return out;
}

std::string printable(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len = utf8_sequence(s, i);
        if (len == 0 || (len == 1 && (c < 0x20 || c == 0x7F))) {
            out += hex_escape("\\x", c);
            ++i;
        } else {
            out.append(s, i, len);
            i += len;
        }
    }
    return out;
}

std::string error_category_name(const std::error_code& ec)
{
    if (!ec)
        return std::string();
    if (ec.category() == std::system_category() || ec.category() == std::generic_category())
        return "errno";
    return ec.category().name();
}

std::string describe_error(const std::error_code& ec)
{
    return ec.message() + " (" + error_category_name(ec) + " " + std::to_string(ec.value()) + ")";
}

json_object::json_object(const std::string& operation)
{
    num("format", k_json_format);
    str("operation", operation);
}

void json_object::key(const std::string& k)
{
    if (!m_body.empty())
        m_body += ",";
    m_body += json_quote(k);
    m_body += ":";
}

json_object& json_object::str(const std::string& k, const std::string& value)
{
    key(k);
    m_body += json_quote(value);
    return *this;
}

json_object& json_object::num(const std::string& k, int64_t value)
{
    key(k);
    m_body += std::to_string(value);
    return *this;
}

json_object& json_object::unum(const std::string& k, uint64_t value)
{
    key(k);
    m_body += std::to_string(value);
    return *this;
}

json_object& json_object::real(const std::string& k, double value)
{
    key(k);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", value);
    m_body += buf;
    return *this;
}

json_object& json_object::flag(const std::string& k, bool value)
{
    key(k);
    m_body += value ? "true" : "false";
    return *this;
}

json_object& json_object::list(const std::string& k, const std::vector<std::string>& values)
{
    key(k);
    m_body += "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i)
            m_body += ",";
        m_body += json_quote(values[i]);
    }
    m_body += "]";
    return *this;
}

json_object& json_object::objects(const std::string& k, const std::vector<json_object>& values)
{
    key(k);
    m_body += "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i)
            m_body += ",";
        m_body += values[i].text();
    }
    m_body += "]";
    return *this;
}

json_object& json_object::error(const std::error_code& ec)
{
    num("error_value", ec.value());
    str("error_category", error_category_name(ec));
    str("error_message", ec ? ec.message() : std::string());
    return *this;
}

int report_failure(const std::string& command, bool json, json_object obj, const std::string& message,
                   const std::error_code& ec)
{
    log_outcome(false);
    std::fprintf(stderr, "znfssnap %s: %s: %s\n", command.c_str(), printable(message).c_str(),
                 describe_error(ec).c_str());
    if (json) {
        obj.error(ec).str("message", message);
        std::printf("%s\n", obj.text().c_str());
    }
    return 1;
}

int report_refusal(const std::string& command, bool json, json_object obj, const std::string& message,
                   const std::error_code& ec)
{
    log_outcome(false);
    std::fprintf(stderr, "znfssnap %s: %s\n", command.c_str(), printable(message).c_str());
    if (json) {
        obj.error(ec).str("message", message);
        std::printf("%s\n", obj.text().c_str());
    }
    return 1;
}

verdict refused(const std::string& message, int code)
{
    verdict v;
    v.message = message;
    v.ec = znfs::generic_code(code);
    return v;
}

verdict check_failed(const std::string& message, const std::error_code& ec)
{
    verdict v;
    v.message = message;
    v.ec = ec;
    v.io_error = true;
    return v;
}

int report_verdict(const std::string& command, bool json, const json_object& obj, const verdict& v,
                   const std::string& suffix)
{
    if (v.io_error)
        return report_failure(command, json, obj, v.message + suffix, v.ec);
    return report_refusal(command, json, obj, v.message + suffix, v.ec);
}

void expect_no_pool(bool expected) { g_no_pool_expected.store(expected); }

namespace {

// The lines of one kind held back: how many, and the first few whole.
struct log_kind {
    int level;
    std::string function;
    std::string masked;  // the message with its variable parts masked
    uint64_t count = 0;
    std::vector<std::string> examples;
};

// Bounds of what is held: kinds beyond k_max_kinds are only counted, and an example is cut.
const size_t k_max_kinds = 64;
const size_t k_examples = 5;
const size_t k_example_bytes = 1024;
const size_t k_masked_bytes = 200;

log_settings g_settings GUARDED_BY(g_stderr_mutex);
FILE* g_log_file GUARDED_BY(g_stderr_mutex) = nullptr;
std::vector<log_kind> g_kinds GUARDED_BY(g_stderr_mutex);  // in the order of their first line
std::unordered_map<std::string, size_t> g_kind_index GUARDED_BY(g_stderr_mutex);
uint64_t g_other_lines GUARDED_BY(g_stderr_mutex) = 0;  // lines of kinds past k_max_kinds

const char* level_name(int level) { return level < 0 ? "ERROR" : level == 0 ? "INFO" : "DEBUG"; }

// message with every bracketed part shown as "[*]" and every run of digits as "#": names,
// offsets and error numbers vary from line to line, the words around them tell the kind.
std::string mask_message(const char* message)
{
    std::string out;
    int depth = 0;
    for (const char* p = message; *p != '\0' && out.size() < k_masked_bytes; ++p) {
        char c = *p;
        if (c == '[') {
            if (depth++ == 0)
                out += "[*]";
        } else if (c == ']' && depth > 0) {
            --depth;
        } else if (depth == 0) {
            if (std::isdigit(static_cast<unsigned char>(c))) {
                if (out.empty() || out.back() != '#')
                    out += '#';
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string cut(const std::string& s, size_t n) { return s.size() <= n ? s : s.substr(0, n) + "..."; }

// Clears the progress line before a line of text.
void clear_progress_line() REQUIRES(g_stderr_mutex)
{
    if (g_line_shown) {
        std::fputs("\r\033[K", stderr);
        g_line_shown = false;
    }
}

void write_to_file(int level, const char* function, const char* message) REQUIRES(g_stderr_mutex)
{
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm {};
    gmtime_r(&ts.tv_sec, &tm);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &tm);
    std::fprintf(g_log_file, "%s.%03ldZ [%s] %s: %s\n", when, ts.tv_nsec / 1000000, level_name(level), function,
                 printable(message).c_str());
}

void hold(int level, const char* function, const char* message) REQUIRES(g_stderr_mutex)
{
    std::string masked = mask_message(message);
    std::string key = std::to_string(level) + '\0' + function + '\0' + masked;
    auto it = g_kind_index.find(key);
    if (it == g_kind_index.end()) {
        if (g_kinds.size() >= k_max_kinds) {
            ++g_other_lines;
            return;
        }
        it = g_kind_index.emplace(std::move(key), g_kinds.size()).first;
        g_kinds.push_back(log_kind{level, function, std::move(masked), 0, {}});
    }
    log_kind& k = g_kinds[it->second];
    ++k.count;
    if (k.examples.size() < k_examples)
        k.examples.push_back(cut(printable(message), k_example_bytes));
}

// Shows and forgets what is held.
void release_held(bool complete) REQUIRES(g_stderr_mutex)
{
    if (g_kinds.empty() && g_other_lines == 0)
        return;
    clear_progress_line();
    for (const log_kind& k : g_kinds) {
        if (complete) {
            if (k.count == 1)
                std::fprintf(stderr, "note, run complete: %s: %s\n", k.function.c_str(), k.examples[0].c_str());
            else
                std::fprintf(stderr, "note, run complete: %" PRIu64 " lines like %s: %s\n", k.count,
                             k.function.c_str(), k.examples[0].c_str());
            continue;
        }
        for (const std::string& e : k.examples)
            std::fprintf(stderr, "[%s] %s: %s\n", level_name(k.level), k.function.c_str(), e.c_str());
        if (k.count > k.examples.size())
            std::fprintf(stderr, "[%s] %s: ... %" PRIu64 " more like this: %s\n", level_name(k.level),
                         k.function.c_str(), k.count - k.examples.size(), printable(k.masked).c_str());
    }
    if (g_other_lines != 0)
        std::fprintf(stderr, "%s%" PRIu64 " more lines of other kinds (-v or --log-file shows every line)\n",
                     complete ? "note, run complete: " : "[ERROR] ", g_other_lines);
    std::fflush(stderr);
    g_kinds.clear();
    g_kind_index.clear();
    g_other_lines = 0;
}

// Keeps errno as it was: the library may look at it after logging a line.
struct errno_kept {
    int saved = errno;
    ~errno_kept() { errno = saved; }
};

void sink(int level, const char* function, const char* message)
{
    if (g_no_pool_expected.load() && std::strcmp(message, "Failed to allocate threadpool") == 0)
        return;
    errno_kept keep;
    znfs::mutex_lock lock(g_stderr_mutex);
    if (g_log_file)
        write_to_file(level, function, message);
    if (g_settings.quiet)
        return;
    if (level >= 0 ? level <= g_settings.level : g_settings.verbose) {
        clear_progress_line();
        std::fprintf(stderr, "[%s] %s: %s\n", level_name(level), function, printable(message).c_str());
        return;
    }
    if (level < 0)
        hold(level, function, message);
}

void release_at_exit()
{
    znfs::mutex_lock lock(g_stderr_mutex);
    release_held(false);
    if (g_log_file)
        std::fflush(g_log_file);
}

}  // namespace

void install_log_sink()
{
    static bool at_exit = std::atexit(release_at_exit) == 0;
    (void)at_exit;
    znfs::znfs_debug::set_sink(sink);
}

std::error_code configure_log(const log_settings& s)
{
    std::error_code ec;
    FILE* file = nullptr;
    if (!s.file.empty()) {
        file = std::fopen(s.file.c_str(), "ae");
        if (!file)
            ec = znfs::generic_code(errno);
    }
    {
        znfs::mutex_lock lock(g_stderr_mutex);
        if (g_log_file)
            std::fclose(g_log_file);
        g_log_file = file;
        g_settings = s;
    }
    // Lines above the threshold are never formatted; the log file wants them all.
    znfs::znfs_debug::set_level(file ? 1 : s.level);
    return ec;
}

void log_outcome(bool complete)
{
    znfs::mutex_lock lock(g_stderr_mutex);
    release_held(complete);
}

bool log_quiet()
{
    znfs::mutex_lock lock(g_stderr_mutex);
    return g_settings.quiet;
}

progress_meter::progress_meter(std::string label, std::function<uint64_t()> counter, bool wanted)
    : m_label(std::move(label)), m_counter(std::move(counter))
{
    if (wanted && !log_quiet() && isatty(STDERR_FILENO))
        m_thread = std::thread([this] { run(); });
}

progress_meter::~progress_meter() { stop(); }

void progress_meter::stop()
{
    {
        znfs::mutex_lock lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void progress_meter::run()
{
    stopwatch clock;
    znfs::mutex_lock lock(m_mutex);
    for (;;) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (!m_stopping && m_wake.wait_until(m_mutex, deadline)) {
        }
        if (m_stopping)
            break;
        uint64_t done = m_counter();
        double secs = clock.seconds();
        double rate = secs > 0 ? static_cast<double>(done) / secs : 0.0;
        znfs::mutex_lock out(g_stderr_mutex);
        std::fprintf(stderr, "\r\033[K%s: %" PRIu64 " (%.0f/s)", m_label.c_str(), done, rate);
        std::fflush(stderr);
        g_line_shown = true;
    }
    znfs::mutex_lock out(g_stderr_mutex);
    if (g_line_shown) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        g_line_shown = false;
    }
}

stopwatch::stopwatch()
    : m_start_ns(std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count())
{
}

double stopwatch::seconds() const
{
    int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    return static_cast<double>(now - m_start_ns) / 1e9;
}

}  // namespace znfssnap
