#ifndef ZNFSSNAP_REPORT_H
#define ZNFSSNAP_REPORT_H

// Output of the command: the JSON outcome object, readable text for terminals, and the
// progress line.

#include "znfs_mutex.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace znfssnap {

// s as a JSON string literal, quotes included. Control characters and bytes that are not part
// of a valid UTF-8 sequence become \u00XX.
std::string json_quote(const std::string& s);

// Version of what --json prints. Raised when a key is removed or changes its meaning or type;
// keys are added without raising it.
const int k_json_format = 1;

// Builds one JSON object, fields in the order they are added.
class json_object {
public:
    json_object() = default;
    // The outcome object of a command: begins with "format" (k_json_format) and "operation".
    explicit json_object(const std::string& operation);
    json_object& str(const std::string& key, const std::string& value);
    json_object& num(const std::string& key, int64_t value);
    json_object& unum(const std::string& key, uint64_t value);
    json_object& real(const std::string& key, double value);
    json_object& flag(const std::string& key, bool value);
    json_object& list(const std::string& key, const std::vector<std::string>& values);
    json_object& objects(const std::string& key, const std::vector<json_object>& values);
    // error_value, error_category and error_message of ec. A code of the system or the
    // generic category is an errno value either way and is named "errno"; success (value 0)
    // has category and message "".
    json_object& error(const std::error_code& ec);
    std::string text() const { return "{" + m_body + "}"; }

private:
    void key(const std::string& k);
    std::string m_body;
};

// s with control characters and invalid UTF-8 bytes shown as \xNN, for messages to people.
std::string printable(const std::string& s);

// "What happened (errno N)" for messages: the text of the error first, its number after.
std::string describe_error(const std::error_code& ec);

// The name the JSON output gives ec's category: "errno" for the system and generic
// categories (both carry errno values), "" for success, the category's own name otherwise.
std::string error_category_name(const std::error_code& ec);

// A failure before or of an operation: the log lines held back first (as for an operation that
// did not complete), then "znfssnap COMMAND: MESSAGE: ERROR" on standard error and, with json,
// obj completed by the error and the message on standard output. Returns exit status 1.
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

// ---- log lines ----
//
// The library logs a line for every name it could not read or find, and many of those are the
// normal course of a run that then completes: a name new since the previous snapshot has no
// uuid there, a worker finds no batch when the list had fewer names than workers. So by
// default the failure lines (level -1) of an operation are held back, folded by kind (the
// function and the message with its bracketed and numeric parts masked), and shown when the
// command knows the outcome (log_outcome): as one summary line per kind when it completed, as
// the lines themselves (the first few of each kind, then a count) when it did not. Memory
// stays bounded whatever the number of lines. Lines of level 0 and 1 are shown as they come,
// up to the --log-level threshold.

struct log_settings {
    int level = -1;        // lines of level 0 and 1 shown on standard error up to this level
    bool verbose = false;  // every line shown as it comes, none held back
    bool quiet = false;    // no log line and no progress line on standard error
    std::string file;      // when set, every line of every level is appended here, unfolded
};

// Sends library log lines to the command's sink (held back and folded, as set by
// configure_log). Lines still held when the process exits are shown as for an operation
// that did not complete.
void install_log_sink();
// Applies s, and sets the library logger's threshold so that the lines wanted reach the sink.
// The error of opening the log file, if any.
std::error_code configure_log(const log_settings& s);
// Shows the lines held back since the last call, as the outcome says: complete, the run did
// all it was asked (lines expected in its course are summed up), or not (they are shown).
void log_outcome(bool complete);
// Whether standard error is to stay silent but for the result (--quiet).
bool log_quiet();
// With --inline the library runs without a pool as asked; its line about the missing pool
// is then left out.
void expect_no_pool(bool expected);

// While alive, rewrites one status line on standard error every 200 ms: the count that
// counter() returns and the rate since the start. Shows nothing unless wanted, standard error
// is a terminal and the command is not --quiet.
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
    znfs::mutex m_mutex;
    znfs::cond_var m_wake;
    bool m_stopping GUARDED_BY(m_mutex) = false;
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
