#include "report.h"

#include <znfs/znfs_debug.h>

#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace znfssnap {

namespace {

// Guards standard error and g_line_shown: log lines and the progress line take turns.
std::mutex g_stderr_mutex;
bool g_line_shown = false;
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

std::string describe_error(const std::error_code& ec)
{
    return ec.message() + " (" + ec.category().name() + " " + std::to_string(ec.value()) + ")";
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

json_object& json_object::error(const std::error_code& ec)
{
    num("error_value", ec.value());
    str("error_category", ec.category().name());
    str("error_message", ec ? ec.message() : std::string());
    return *this;
}

int report_failure(const std::string& command, bool json, json_object obj, const std::string& message,
                   const std::error_code& ec)
{
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
    v.ec = std::error_code(code, std::generic_category());
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

void install_log_sink()
{
    znfs::znfs_debug::set_sink([](int level, const char* function, const char* message) {
        if (g_no_pool_expected.load() && std::strcmp(message, "Failed to allocate threadpool") == 0)
            return;
        const char* name = level < 0 ? "ERROR" : level == 0 ? "INFO" : "DEBUG";
        std::lock_guard<std::mutex> lock(g_stderr_mutex);
        if (g_line_shown) {
            std::fputs("\r\033[K", stderr);
            g_line_shown = false;
        }
        std::fprintf(stderr, "[%s] %s: %s\n", name, function, printable(message).c_str());
    });
}

progress_meter::progress_meter(std::string label, std::function<uint64_t()> counter, bool wanted)
    : m_label(std::move(label)), m_counter(std::move(counter))
{
    if (wanted && isatty(STDERR_FILENO))
        m_thread = std::thread([this] { run(); });
}

progress_meter::~progress_meter() { stop(); }

void progress_meter::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void progress_meter::run()
{
    stopwatch clock;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait_for(lock, std::chrono::milliseconds(200), [this] { return m_stopping; });
        if (m_stopping)
            break;
        uint64_t done = m_counter();
        double secs = clock.seconds();
        double rate = secs > 0 ? static_cast<double>(done) / secs : 0.0;
        std::lock_guard<std::mutex> out(g_stderr_mutex);
        std::fprintf(stderr, "\r\033[K%s: %" PRIu64 " (%.0f/s)", m_label.c_str(), done, rate);
        std::fflush(stderr);
        g_line_shown = true;
    }
    std::lock_guard<std::mutex> out(g_stderr_mutex);
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
