#ifndef ZNFSSNAP_REPORT_H
#define ZNFSSNAP_REPORT_H

// Output of the command: the JSON outcome object, readable text for terminals, and the
// progress line.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace znfssnap {

// s as a JSON string literal, quotes included. Control characters and bytes that are not part
// of a valid UTF-8 sequence become \u00XX.
std::string json_quote(const std::string& s);

// Builds one JSON object, fields in the order they are added.
class json_object {
public:
    json_object& str(const std::string& key, const std::string& value);
    json_object& num(const std::string& key, int64_t value);
    json_object& unum(const std::string& key, uint64_t value);
    json_object& real(const std::string& key, double value);
    json_object& flag(const std::string& key, bool value);
    json_object& list(const std::string& key, const std::vector<std::string>& values);
    // error_value, error_category and error_message of ec.
    json_object& error(const std::error_code& ec);
    std::string text() const { return "{" + m_body + "}"; }

private:
    void key(const std::string& k);
    std::string m_body;
};

// s with control characters and invalid UTF-8 bytes shown as \xNN, for messages to people.
std::string printable(const std::string& s);

// "Value (category N)" for messages.
std::string describe_error(const std::error_code& ec);

// A failure before or of an operation: "znfssnap COMMAND: MESSAGE: ERROR" on standard error
// and, with json, obj completed by the error and the message on standard output. Returns
// exit status 1.
int report_failure(const std::string& command, bool json, json_object obj, const std::string& message,
                   const std::error_code& ec);

// A call refused for the state it found (a lock held, a marker present): "znfssnap COMMAND:
// MESSAGE" on standard error (the message says why; ec only fills in the JSON) and, with
// json, obj completed as by report_failure. Returns exit status 1.
int report_refusal(const std::string& command, bool json, json_object obj, const std::string& message,
                   const std::error_code& ec);

// The outcome of a check made before a command writes: empty message when it may go on.
struct verdict {
    std::string message;
    std::error_code ec;
    bool io_error = false;  // the check itself failed (message names what could not be read)
    bool ok() const { return message.empty(); }
};
verdict refused(const std::string& message, int code);
verdict check_failed(const std::string& message, const std::error_code& ec);
// report_failure or report_refusal, as v says; suffix is added to its message.
int report_verdict(const std::string& command, bool json, const json_object& obj, const verdict& v,
                   const std::string& suffix = std::string());

// Sends library log lines to standard error in step with the progress line.
void install_log_sink();
// With --inline the library runs without a pool as asked; its line about the missing pool
// is then left out.
void expect_no_pool(bool expected);

// While alive, rewrites one status line on standard error every 200 ms: the count that
// counter() returns and the rate since the start. Shows nothing unless wanted and standard
// error is a terminal.
class progress_meter {
public:
    progress_meter(std::string label, std::function<uint64_t()> counter, bool wanted);
    ~progress_meter();
    progress_meter(const progress_meter&) = delete;
    progress_meter& operator=(const progress_meter&) = delete;
    // Stops the thread and clears the line; later calls do nothing.
    void stop();

private:
    void run();
    std::string m_label;
    std::function<uint64_t()> m_counter;
    std::mutex m_mutex;  // guards m_stopping
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

// Seconds since a fixed start, for timing operations.
class stopwatch {
public:
    stopwatch();
    double seconds() const;

private:
    int64_t m_start_ns;
};

}  // namespace znfssnap

#endif
