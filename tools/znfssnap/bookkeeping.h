#ifndef ZNFSSNAP_BOOKKEEPING_H
#define ZNFSSNAP_BOOKKEEPING_H

// The markers the command keeps beside the library's bookkeeping in SNAPDIR/.delete, and the
// checks made before a delete list is appended to. The service has no rename, so a step that
// must happen once (handing a deletion's names on) is made safe to redo instead: a marker
// written and made durable before the step says how to redo it, another one after it says it
// is done.

#include "operations.h"
#include "report.h"

#include <cstdint>
#include <string>
#include <system_error>

namespace znfssnap {

// Appended to a snapshot directory.
extern const char* const k_delete_complete;  // the deletion ran in full; holds the previous snapshot it used
extern const char* const k_handoff_pending;  // a hand-off into this snapshot's list is under way
extern const char* const k_handoff_done;     // this snapshot's handed-on names are in the previous list

// A hand-off: the source's bytes go to the previous snapshot's list at offset. The pending
// marker (in the previous snapshot) names the source snapshot; the done marker (in the
// source snapshot) names the previous one.
struct pending_handoff {
    uint64_t offset = 0;
    uint64_t length = 0;
    std::string snapdir;  // normalized
};

// "OFFSET LENGTH SNAPDIR\n"
std::string format_pending(const pending_handoff& p);
bool parse_pending(const std::string& text, pending_handoff& p);

// The pending marker of snapdir; ENOENT when there is none, or only a cut one.
std::error_code read_pending(const opened_volume& vol, const std::string& snapdir, pending_handoff& p);

// Whether the file ends with a line feed (an empty file does), and its size.
std::error_code ends_with_line_feed(const opened_volume& vol, const std::string& path, bool& yes, uint64_t& size);

// Whether names may be appended to the delete list of snapdir now. Refused: a snapshot without a delete list (not finished), one
// whose deletion has completed (names added then are never processed), a list that does not
// end with a line feed (the first new name would be joined to its cut last line), and, with
// pending_refuses, a list that a hand-off is still writing.
verdict append_refusal(const opened_volume& vol, const std::string& snapdir, bool pending_refuses);

}  // namespace znfssnap

#endif
